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

TEST(HeldPackets, ExpiryFollowsArrivalOrderAndStepsOverPacketsDivertedAgain) {
    HeldPackets held(16);
    const uint32_t ids[] = {100, 101, 102, 103, 104, 105};
    const int64_t arrival[] = {100, 100, 200, 200, 300, 300};  // deadline bounds
    for (int i = 0; i < 6; ++i) {
        held.Begin(ids[i], arrival[i]);
        held.EndBatch(&ids[i], 1, arrival[i]);
    }
    EXPECT_TRUE(held.Resolve(101));
    held.Hold(102, 0xA, 400);  // sent back and diverted again: a later deadline

    std::vector<uint32_t> taken;
    EXPECT_EQ(held.TakeExpired(99, &taken), 0u);
    EXPECT_EQ(held.TakeExpired(150, &taken), 1u);
    EXPECT_EQ(held.TakeExpired(250, &taken), 1u);  // 103, past the one held longer
    EXPECT_EQ(taken, (std::vector<uint32_t>{100, 103}));
    EXPECT_TRUE(held.Pending(102));
    EXPECT_EQ(held.TakeExpired(400, &taken), 3u);
    EXPECT_EQ(taken, (std::vector<uint32_t>{100, 103, 102, 104, 105}));
    EXPECT_EQ(held.HeldCount(), 0u);

    // Packets that arrive after a walk ended are found by the next one.
    const uint32_t later[] = {106, 107};
    held.Begin(106, 500);
    held.Begin(107, 500);
    EXPECT_EQ(held.TakeExpired(600, &taken), 0u);  // still in flight
    held.EndBatch(later, 2, 500);
    EXPECT_EQ(held.TakeExpired(600, &taken), 2u);
}

TEST(HeldPackets, ExpiryWalksAcrossTheIdWrapAndPastEvictedPackets) {
    HeldPackets held(4);
    const uint32_t ids[] = {0xFFFFFFFEu, 0xFFFFFFFFu, 0, 1};
    for (uint32_t id : ids)
        held.Begin(id, 10);
    held.EndBatch(ids, 4, 10);
    std::vector<uint32_t> taken;
    EXPECT_EQ(held.TakeExpired(10, &taken), 4u);
    EXPECT_EQ(taken, (std::vector<uint32_t>{0xFFFFFFFEu, 0xFFFFFFFFu, 0, 1}));

    // Six more on a ring of four: the first two are evicted, the walk takes the rest.
    std::vector<uint32_t> more;
    for (uint32_t id = 2; id < 8; ++id) {
        if (auto old = held.Begin(id, 20)) {
            EXPECT_TRUE(*old == 2 || *old == 3);
        }
        more.push_back(id);
    }
    held.EndBatch(more.data(), more.size(), 20);
    taken.clear();
    EXPECT_EQ(held.TakeExpired(20, &taken), 4u);
    EXPECT_EQ(taken, (std::vector<uint32_t>{4, 5, 6, 7}));
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
