// cost_account.hpp: what a client's expensive requests have cost, as a debt of milliseconds of
// work that its budget pays off continuously: the rule the Redis accounts follow, and the
// accounts a process keeps itself while their Redis is out of reach (each worker its own, so the
// budget is approximate there, never absent).
#pragma once

#include <cstddef>
#include <string>
#include <unordered_map>

namespace vexa::tiles {

/// How a client's work is paid for: `budget_ms` milliseconds of work every second, and at most
/// `burst_ms` of debt before its next request is refused (a client may spend a burst at once).
struct CostRule {
    double budget_ms;
    double burst_ms;
};

/// One client's debt and when it was last brought up to date (`at`, seconds).
struct CostDebt {
    double debt_ms = 0;
    double at = 0;

    /// The debt at `now`, paid off at the rule's budget since `at` (never below zero).
    double at_time(double now, const CostRule& rule) const;
};

/// Milliseconds until a debt of `debt_ms` is back within the burst (0: it is).
double wait_ms(double debt_ms, const CostRule& rule);

class CostAccounts {
public:
    /// At most `max_keys` accounts are kept; past that, accounts paid off are dropped first, and if
    /// none is, the table starts afresh (a flood of addresses must not grow it without end).
    explicit CostAccounts(size_t max_keys = 100000) : max_keys_(max_keys) {}

    /// Admit a request of `key` at `now` (seconds, monotonic): 0 when its debt is within the burst
    /// (and `advance_ms` is then added to it), otherwise the milliseconds until it will be.
    double admit(const std::string& key, double now, const CostRule& rule, double advance_ms);

    /// Add `charge_ms` (negative: a refund) to `key`'s debt at `now`; the debt never goes below zero.
    void charge(const std::string& key, double now, const CostRule& rule, double charge_ms);

    double debt(const std::string& key, double now, const CostRule& rule) const;
    size_t size() const { return accounts_.size(); }

private:
    CostDebt& account(const std::string& key, double now, const CostRule& rule);
    void sweep(double now, const CostRule& rule);

    size_t max_keys_;
    std::unordered_map<std::string, CostDebt> accounts_;
};

}  // namespace vexa::tiles
