// A client's debt of work, paid off at its budget: the rule of the shared accounts, and the
// accounts a process keeps while Redis is out of reach.
#include "cost_account.hpp"

#include <gtest/gtest.h>

using vexa::tiles::CostAccounts;
using vexa::tiles::CostRule;

constexpr CostRule RULE{.budget_ms = 250, .burst_ms = 1000};

TEST(CostAccounts, ADebtPastTheBurstRefusesUntilTheBudgetHasPaidItDown) {
    CostAccounts accounts;
    EXPECT_EQ(accounts.admit("a", 10.0, RULE, 50), 0);
    accounts.charge("a", 10.0, RULE, 1500 - 50);  // the request cost 1.5 s of work, not the 50 ms advanced
    EXPECT_NEAR(accounts.debt("a", 10.0, RULE), 1500, 1e-9);
    EXPECT_NEAR(accounts.debt("a", 10.4, RULE), 1400, 1e-9);  // paid off at 250 ms a second
    // 500 ms past the burst: two seconds at 250 ms a second.
    EXPECT_NEAR(accounts.admit("a", 10.0, RULE, 50), 2000, 1e-6);
    EXPECT_NEAR(accounts.admit("a", 11.0, RULE, 50), 1000, 1e-6);  // refusals add nothing
    EXPECT_EQ(accounts.admit("a", 12.0, RULE, 50), 0);
    EXPECT_EQ(accounts.admit("b", 10.0, RULE, 50), 0);  // each client its own account
}

TEST(CostAccounts, AdvancesBoundWhatConcurrentRequestsMayRunUpAndRefundsNeverGoBelowZero) {
    CostAccounts accounts;
    int admitted = 0;
    while (accounts.admit("a", 5.0, RULE, 100) == 0) ++admitted;  // all at one moment, none settled yet
    EXPECT_EQ(admitted, 11);  // 0, 100, ... 1000 ms of debt were each within the burst
    for (int i = 0; i < admitted; ++i) accounts.charge("a", 5.0, RULE, -100);  // each cost nothing after all
    EXPECT_EQ(accounts.debt("a", 5.0, RULE), 0);
    accounts.charge("a", 5.0, RULE, -500);
    EXPECT_EQ(accounts.debt("a", 5.0, RULE), 0);
    EXPECT_EQ(accounts.admit("a", 5.0, RULE, 100), 0);
}

TEST(CostAccounts, AFloodOfClientsDoesNotGrowTheTableWithoutEnd) {
    CostAccounts accounts(3);
    accounts.admit("paid", 1.0, RULE, 100);
    accounts.admit("owing", 2.0, RULE, 900);
    accounts.admit("x", 2.0, RULE, 0);
    accounts.admit("new", 2.0, RULE, 100);  // full: the accounts paid off (paid, x) go first
    EXPECT_EQ(accounts.size(), 2u);
    EXPECT_NEAR(accounts.debt("owing", 2.0, RULE), 900, 1e-9);
}
