// cost_account.cpp: a client's debt of work, paid off at its budget.
#include "cost_account.hpp"

#include <algorithm>

namespace vexa::tiles {

double CostDebt::at_time(double now, const CostRule& rule) const {
    return std::max(0.0, debt_ms - std::max(0.0, now - at) * rule.budget_ms);
}

double wait_ms(double debt_ms, const CostRule& rule) {
    if (debt_ms <= rule.burst_ms) return 0;
    return rule.budget_ms > 0 ? (debt_ms - rule.burst_ms) * 1000.0 / rule.budget_ms : 1000.0;
}

CostDebt& CostAccounts::account(const std::string& key, double now, const CostRule& rule) {
    auto found = accounts_.find(key);
    if (found == accounts_.end()) {
        if (accounts_.size() >= max_keys_) sweep(now, rule);
        found = accounts_.emplace(key, CostDebt{0, now}).first;
    }
    CostDebt& debt = found->second;
    debt.debt_ms = debt.at_time(now, rule);
    debt.at = now;
    return debt;
}

double CostAccounts::admit(const std::string& key, double now, const CostRule& rule, double advance_ms) {
    CostDebt& debt = account(key, now, rule);
    const double wait = wait_ms(debt.debt_ms, rule);
    if (wait == 0) debt.debt_ms += std::max(0.0, advance_ms);
    return wait;
}

void CostAccounts::charge(const std::string& key, double now, const CostRule& rule, double charge_ms) {
    CostDebt& debt = account(key, now, rule);
    debt.debt_ms = std::max(0.0, debt.debt_ms + charge_ms);
}

double CostAccounts::debt(const std::string& key, double now, const CostRule& rule) const {
    auto found = accounts_.find(key);
    return found == accounts_.end() ? 0 : found->second.at_time(now, rule);
}

void CostAccounts::sweep(double now, const CostRule& rule) {
    std::erase_if(accounts_, [&](const auto& entry) { return entry.second.at_time(now, rule) == 0; });
    if (accounts_.size() >= max_keys_) accounts_.clear();
}

}  // namespace vexa::tiles
