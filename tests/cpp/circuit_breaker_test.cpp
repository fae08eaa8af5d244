// The circuit breaker's transitions, on a clock the tests move by hand.
#include "circuit_breaker.hpp"

#include <gtest/gtest.h>

using namespace vexa::tiles;
using Admission = CircuitBreaker::Admission;
using Change = CircuitBreaker::Change;

TEST(CircuitBreaker, OneFailureOpensAndOnlyTheProbeAfterTheBackoffCloses) {
    CircuitBreaker breaker;
    EXPECT_EQ(breaker.admit(0), Admission::call);
    Admission late = breaker.admit(0);  // admitted before the failure, answers after it
    EXPECT_EQ(breaker.failed(Admission::call, 10), Change::opened);
    EXPECT_EQ(breaker.failed(Admission::call, 10.1), Change::none);  // already open: no second warning
    EXPECT_EQ(breaker.state(10.5), BreakerState::open);
    EXPECT_EQ(breaker.admit(10.9), Admission::skip);
    EXPECT_EQ(breaker.succeeded(late), Change::none);  // an old answer does not close it
    EXPECT_EQ(breaker.state(11), BreakerState::half_open);
    EXPECT_EQ(breaker.admit(11, false), Admission::skip);  // a write never probes
    EXPECT_EQ(breaker.admit(11), Admission::probe);
    EXPECT_EQ(breaker.admit(11), Admission::skip);  // one probe at a time
    EXPECT_EQ(breaker.succeeded(Admission::probe), Change::closed);
    EXPECT_EQ(breaker.state(11), BreakerState::closed);
    EXPECT_EQ(breaker.backoff(), 0);
}

TEST(CircuitBreaker, FailedProbesDoubleTheBackoffUpToItsBound) {
    CircuitBreaker breaker;
    breaker.failed(breaker.admit(0), 0);
    double now = 0;
    const double expected[] = {2, 4, 8, 16, 30, 30};
    for (double backoff : expected) {
        now += breaker.backoff();
        EXPECT_EQ(breaker.admit(now - 0.01), Admission::skip);
        ASSERT_EQ(breaker.admit(now), Admission::probe);
        EXPECT_EQ(breaker.failed(Admission::probe, now), Change::reopened);
        EXPECT_EQ(breaker.backoff(), backoff);
        EXPECT_EQ(breaker.state(now), BreakerState::open);
    }
    // Closing resets it: the next opening starts from the first back-off again.
    now += breaker.backoff();
    breaker.succeeded(breaker.admit(now));
    EXPECT_EQ(breaker.failed(breaker.admit(now), now), Change::opened);
    EXPECT_EQ(breaker.backoff(), CircuitBreaker::first_backoff);
}

TEST(CircuitBreaker, AnAbandonedProbeLetsTheNextCallerProbe) {
    CircuitBreaker breaker;
    breaker.failed(breaker.admit(0), 0);
    ASSERT_EQ(breaker.admit(1), Admission::probe);
    breaker.abandoned(Admission::probe);
    EXPECT_EQ(breaker.state(1), BreakerState::half_open);
    EXPECT_EQ(breaker.admit(1), Admission::probe);
    breaker.abandoned(Admission::skip);  // nothing to give up
    EXPECT_EQ(breaker.admit(1), Admission::skip);
    EXPECT_STREQ(state_name(BreakerState::half_open), "half_open");
    EXPECT_STREQ(state_name(BreakerState::open), "open");
    EXPECT_STREQ(state_name(BreakerState::closed), "closed");
}
