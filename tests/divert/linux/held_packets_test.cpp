#include <gtest/gtest.h>

#include <vector>

#include "divert/linux/HeldPackets.h"

namespace divert::linuxworld {
namespace {

TEST(HeldPackets, ResolvesEachPendingPacketOnce) {
    HeldPackets held(16);
    EXPECT_FALSE(held.Begin(5).has_value());
    EXPECT_TRUE(held.Pending(5));
    EXPECT_FALSE(held.Pending(21));  // same slot, other id
    EXPECT_FALSE(held.Resolve(21));
    EXPECT_TRUE(held.Resolve(5));
    EXPECT_FALSE(held.Resolve(5));
    EXPECT_FALSE(held.Pending(5));
}

TEST(HeldPackets, OnlyUnresolvedPacketsOfABatchAreHeldAndExpireAtTheirDeadline) {
    HeldPackets held(16);
    const uint32_t ids[] = {1, 2, 3};
    for (uint32_t id : ids)
        held.Begin(id);
    EXPECT_TRUE(held.Resolve(2));  // delivered during dispatch
    held.EndBatch(ids, 3, 1000);
    EXPECT_EQ(held.HeldCount(), 2u);

    std::vector<uint32_t> expired;
    EXPECT_EQ(held.TakeExpired(999, &expired), 0u);
    EXPECT_EQ(held.TakeExpired(1000, &expired), 2u);
    EXPECT_EQ(expired, (std::vector<uint32_t>{1, 3}));
    EXPECT_EQ(held.HeldCount(), 0u);
    EXPECT_FALSE(held.Resolve(1));  // a late send-back finds nothing to answer
}

TEST(HeldPackets, InFlightPacketsNeverExpire) {
    HeldPackets held(16);
    held.Begin(7);
    std::vector<uint32_t> expired;
    EXPECT_EQ(held.TakeExpired(INT64_MAX, &expired), 0u);
    EXPECT_TRUE(held.Pending(7));
}

TEST(HeldPackets, HoldRecordsTheHandleAndRestartsTheGracePeriod) {
    HeldPackets held(16);
    const uint32_t ids[] = {1, 2};
    held.Begin(1);
    held.Begin(2);
    held.Hold(1, 0xA, 500);
    held.Hold(2, 0xB, 500);
    held.EndBatch(ids, 2, 100);  // keeps the deadline the diversion set

    std::vector<uint32_t> taken;
    EXPECT_EQ(held.TakeExpired(400, &taken), 0u);
    EXPECT_EQ(held.TakeHeldBy(0xA, &taken), 1u);
    EXPECT_EQ(taken, std::vector<uint32_t>{1});
    // Sent back and diverted again by a lower handle: a new grace period.
    held.Hold(2, 0xC, 900);
    EXPECT_EQ(held.TakeHeldBy(0xB, &taken), 0u);
    EXPECT_EQ(held.TakeExpired(800, &taken), 0u);
    EXPECT_EQ(held.TakeExpired(900, &taken), 1u);
    EXPECT_EQ(taken.back(), 2u);
}

TEST(HeldPackets, ANewerPacketEvictsTheOlderOneInItsSlot) {
    HeldPackets held(4);
    const uint32_t first[] = {3};
    held.Begin(3);
    held.EndBatch(first, 1, 100);
    const auto evicted = held.Begin(7);  // 7 & 3 == 3
    ASSERT_TRUE(evicted.has_value());
    EXPECT_EQ(*evicted, 3u);
    EXPECT_EQ(held.HeldCount(), 0u);
    EXPECT_TRUE(held.Pending(7));
    EXPECT_FALSE(held.Pending(3));
}

}  // namespace
}  // namespace divert::linuxworld
