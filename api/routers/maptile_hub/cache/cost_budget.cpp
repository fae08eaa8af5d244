// cost_budget.cpp: the per-client accounts of expensive work, in Redis (one script) and, while
// Redis cannot keep them, in the process.
#include "cost_budget.hpp"

#include "guarded.hpp"
#include "rate_limit.hpp"
#include "redis_guard.hpp"
#include "redis_protocol.hpp"
#include "core/cost_account.hpp"
#include "endpoints/responses.hpp"
#include "sql/transaction.hpp"
#include "startup.hpp"

#include <cmath>

namespace vexa::maptile {

namespace {

// KEYS[1]: the client's account (a hash of its debt in milliseconds and when, in Redis's own
// clock, it was last brought up to date); ARGV: the charge (negative: a refund), the budget a
// second, the burst, and "1" when admitting. The debt is paid off at the budget since then; an
// admission past the burst charges nothing and gives the milliseconds until it is within it,
// anything else gives 0. The account expires once paid off.
constexpr const char* COST_ACCOUNT = R"(
local clock = redis.call('TIME')
local now = clock[1] * 1000 + math.floor(clock[2] / 1000)
local account = redis.call('HMGET', KEYS[1], 'debt', 'at')
local budget, burst = tonumber(ARGV[2]), tonumber(ARGV[3])
local debt = tonumber(account[1]) or 0
local at = tonumber(account[2]) or now
debt = math.max(0, debt - math.max(0, now - at) * budget / 1000)
if ARGV[4] == '1' and debt > burst then
    return math.ceil((debt - burst) * 1000 / budget)
end
debt = math.max(0, debt + tonumber(ARGV[1]))
redis.call('HSET', KEYS[1], 'debt', tostring(debt), 'at', tostring(now))
redis.call('PEXPIRE', KEYS[1], math.ceil(debt * 1000 / budget) + 1000)
return 0
)";

constexpr const char* COST_DETAIL = "Too much work asked from this address. Please slow down.";

struct CostState {
    tiles::CostAccounts local;
    LuaScript account;
};

CostState& state() { return kept<CostState>(); }

/// The budget as the module's attributes have it now (a host may change them).
tiles::CostRule rule() {
    return {.budget_ms = number(ns()["COST_BUDGET_MS"]), .burst_ms = number(ns()["COST_BURST_MS"])};
}

std::string account_key(const std::string& address) { return "cost_budget:" + address; }

/// Charge `charge_ms` to the account of `address` (an admission when `admitting`): the
/// milliseconds to wait (an admission refused) or 0, as a float; kept by the process when its
/// Redis cannot keep it.
Coro charge(std::string address, double charge_ms, bool admitting) {
    const tiles::CostRule now_rule = rule();
    Held client = bound::redis_client();
    // A host's own client that offers no scripts at all (only the rate limit's commands) keeps
    // no accounts: the process keeps them.
    if (nb::hasattr(client, "evalsha") && !refused_for_now(client, Feature::scripts)) {
        RedisCall call(client, "the cost budget");
        if (!call.skipped()) {
            bool failed = false;
            OnError on_error{.level = "warning", .message = "Cost budget check failed: ",
                             .then = [&](const nb::python_error& e) {
                                 failed = true;
                                 call.failed(e);
                             }};
            nb::tuple keys = nb::make_tuple(pystr(account_key(address)));
            nb::tuple arguments = nb::make_tuple(charge_ms, now_rule.budget_ms, now_rule.burst_ms, admitting ? "1" : "0");
            Held answer = co_await guarded(
                [&]() -> Coro {
                    Held got = co_await within(run_script(client, state().account, keys, arguments), RATE_LIMIT_TIMEOUT);
                    call.succeeded();
                    co_return got.is_valid() ? object(got) : object(nb::none());
                }(),
                std::move(on_error));
            if (!failed && !answer.is_none()) co_return nb::float_(number(answer));
        }
    }
    auto& local = state().local;
    if (admitting) co_return nb::float_(local.admit(address, steady_seconds(), now_rule, charge_ms));
    local.charge(address, steady_seconds(), now_rule, charge_ms);
    co_return nb::float_(0.0);
}

Coro admit_cost_function(Args& a) {
    co_await admit_cost(text(a["address"]));
    co_return nb::none();
}

Coro settle_cost_function(Args& a) {
    co_await settle_cost(text(a["address"]), number(a["spent_s"]));
    co_return nb::none();
}

}  // namespace

Coro admit_cost(std::string address) {
    Held waited = co_await charge(address, number(ns()["COST_ADVANCE_MS"]), true);
    const double wait_ms = number(waited);
    if (wait_ms > 0) raise_retry_later(429, COST_DETAIL, static_cast<int>(std::max(1.0, std::ceil(wait_ms / 1000.0))));
    co_return nb::none();
}

Coro settle_cost(std::string address, double spent_s) {
    const double charge_ms = std::max(0.0, spent_s) * 1000.0 - number(ns()["COST_ADVANCE_MS"]);
    co_await charge(std::move(address), charge_ms, false);
    co_return nb::none();
}

void define_cost_budget() {
    state().account = lua_script(COST_ACCOUNT);
    object str_type = builtin::str_type(), float_type = builtin::float_type();
    define({.name = "admit_cost",
            .doc = "Admit an expensive request of the client at address: 429 with Retry-After while the client's\n"
                   "debt of work is past COST_BURST_MS, otherwise COST_ADVANCE_MS charged on account.",
            .params = {{"address", str_type}},
            .async_body = admit_cost_function});
    define({.name = "settle_cost",
            .doc = "Charge the admitted request of address with the spent_s seconds of work it cost, in place\n"
                   "of its advance.",
            .params = {{"address", str_type}, {"spent_s", float_type}},
            .async_body = settle_cost_function});
}

}  // namespace vexa::maptile
