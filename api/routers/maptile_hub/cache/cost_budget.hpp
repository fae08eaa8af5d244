// cost_budget.hpp: each client's share of the service's expensive work, counted in what its
// requests cost (milliseconds of database or drawing time) rather than in requests: a debt that
// a budget of COST_BUDGET_MS a second pays off, kept in Redis so that every worker of every host
// sees one account per client address, and past COST_BURST_MS of debt a refusal (429) with the
// time until the debt is back within it.
#pragma once

#include "hub.hpp"

namespace vexa::maptile {

/// Admit an expensive request of the client at `address`: the 429 "Too much work asked from this
/// address. Please slow down." with Retry-After (whole seconds) while its debt is past
/// COST_BURST_MS; otherwise COST_ADVANCE_MS is charged on account, so that requests running at
/// once cannot all pass before the first is settled. Redis skipped, failing or without scripts:
/// the process keeps the account itself (approximate, each worker its own, never absent).
Coro admit_cost(std::string address);

/// The admitted request of `address` cost `spent_s` seconds of work: charged in place of its
/// advance (a request that cost less gets the difference back). Never raises for a Redis fault.
Coro settle_cost(std::string address, double spent_s);

}  // namespace vexa::maptile
