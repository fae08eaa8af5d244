// The places a worker gives its open streams, per client address and in all.
#include "open_streams.hpp"

#include <gtest/gtest.h>

using vexa::tiles::OpenStreams;
using Refusal = OpenStreams::Refusal;

TEST(OpenStreams, AnAddressPastItsBoundIsRefusedAndTheOthersAreNot) {
    OpenStreams streams;
    for (int i = 0; i < 3; ++i) EXPECT_EQ(streams.take("10.0.0.1", 3, 10), Refusal::none) << i;
    EXPECT_EQ(streams.take("10.0.0.1", 3, 10), Refusal::address_full);
    EXPECT_EQ(streams.take("10.0.0.2", 3, 10), Refusal::none);
    EXPECT_EQ(streams.open(), 4);
    EXPECT_EQ(streams.open_of("10.0.0.1"), 3);  // a refusal takes nothing
}

TEST(OpenStreams, AFullWorkerRefusesEveryAddress) {
    OpenStreams streams;
    EXPECT_EQ(streams.take("a", 2, 3), Refusal::none);
    EXPECT_EQ(streams.take("b", 2, 3), Refusal::none);
    EXPECT_EQ(streams.take("c", 2, 3), Refusal::none);
    EXPECT_EQ(streams.take("d", 2, 3), Refusal::worker_full);
    EXPECT_EQ(streams.take("a", 2, 3), Refusal::worker_full);  // the worker's bound is told first
    EXPECT_EQ(streams.take("a", 0, 0), Refusal::worker_full);
    EXPECT_EQ(streams.take("e", 0, 5), Refusal::address_full);  // a bound of 0 refuses every stream
}

TEST(OpenStreams, APlaceGivenBackServesTheNextStreamAndAnEmptyAddressIsForgotten) {
    OpenStreams streams;
    streams.take("a", 1, 2);
    streams.take("b", 1, 2);
    EXPECT_EQ(streams.take("c", 1, 2), Refusal::worker_full);
    streams.give_back("a");
    EXPECT_EQ(streams.addresses(), 1u);
    EXPECT_EQ(streams.take("c", 1, 2), Refusal::none);
    EXPECT_EQ(streams.take("a", 1, 2), Refusal::worker_full);
    streams.give_back("b");
    EXPECT_EQ(streams.take("a", 1, 2), Refusal::none);
    EXPECT_EQ(streams.open(), 2);
}

TEST(OpenStreams, GivingBackWhatAnAddressNeverTookFreesNoOtherPlace) {
    OpenStreams streams;
    streams.take("a", 1, 1);
    streams.give_back("b");
    streams.give_back("b");
    EXPECT_EQ(streams.open(), 1);
    EXPECT_EQ(streams.take("b", 1, 1), Refusal::worker_full);
    streams.give_back("a");
    streams.give_back("a");  // once only
    EXPECT_EQ(streams.open(), 0);
    EXPECT_EQ(streams.addresses(), 0u);
}
