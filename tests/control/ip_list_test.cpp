// IpListManager and AddressList on one thread: block semantics, expiry at chosen times,
// the allow list's precedence, growth, compaction and limits.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <thread>
#include <unordered_set>

#include "control/AddressList.h"
#include "control/IpListManager.h"
#include "control/ReadGuard.h"
#include "tests/control/ListTestSupport.h"

namespace bastion {
namespace {

using namespace testing_support;
using namespace std::chrono_literals;

TEST(AddressCode, ConvertsBetweenSecondsAndCodes) {
    using namespace address_code;
    EXPECT_EQ(FromUnixSeconds(kEpochSeconds), 1u);
    EXPECT_EQ(ToUnixSeconds(FromUnixSeconds(kUnixT0)), kUnixT0);
    // Before the epoch clamps to the first code, far future to the last expiry.
    EXPECT_EQ(FromUnixSeconds(0), 1u);
    EXPECT_EQ(FromUnixSeconds(INT64_C(1) << 40), kLastExpiry);
    // "now" is the second containing the time: live while the expiry code is greater.
    uint32_t expiry = FromUnixSeconds(kUnixT0);
    EXPECT_TRUE(IsLiveAt(expiry, NowCode(kT0 - 1)));
    EXPECT_FALSE(IsLiveAt(expiry, NowCode(kT0)));
    EXPECT_FALSE(IsLiveAt(expiry, NowCode(kT0 + Seconds(1) - 1)));
    EXPECT_EQ(NowCode(-1), 0u);
    EXPECT_TRUE(IsLiveAt(kNever, kLastExpiry));
    EXPECT_FALSE(IsPresent(kRemoved));
    EXPECT_FALSE(IsPresent(kEmpty));
}

TEST(IpListManager, BlockLastsTheConfiguredDurationRoundedUpToWholeSeconds) {
    struct Case {
        int64_t addedAt;         // offset from T0, ticks
        int64_t stillBlockedAt;  // offset, ticks: ExpireEntries keeps it
        int64_t expiredAt;       // offset, ticks: ExpireEntries removes it
    };
    const Case cases[] = {
        {0, Seconds(60) - 1, Seconds(60)},
        {1, Seconds(61) - 1, Seconds(61)},  // a tick past T0 starts the count at T0 + 1 s
        {Seconds(1) - 1, Seconds(61) - 1, Seconds(61)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.addedAt);
        IpListManager lists;
        lists.SetFirewallBlockDuration(60s);
        const uint32_t address = Ip(203, 0, 113, 7);
        ASSERT_TRUE(lists.AddToBlock(address, kT0 + c.addedAt));
        EXPECT_TRUE(lists.IsBlockedLockFree(address));
        EXPECT_EQ(lists.ExpireEntries(kT0 + c.stillBlockedAt), 0u);
        EXPECT_TRUE(lists.IsBlockedLockFree(address));
        EXPECT_EQ(lists.ExpireEntries(kT0 + c.expiredAt), 1u);
        EXPECT_FALSE(lists.IsBlockedLockFree(address));
        EXPECT_EQ(lists.BlockedCount(), 0u);
    }
}

TEST(IpListManager, AddToBlockIsTrueOnlyWhenItAdded) {
    IpListManager lists;
    lists.SetFirewallBlockDuration(60s);
    const uint32_t address = Ip(198, 51, 100, 1);
    EXPECT_TRUE(lists.AddToBlock(address, kT0));
    EXPECT_FALSE(lists.AddToBlock(address, kT0));
    EXPECT_FALSE(lists.AddToBlock(address, kT0 + Seconds(59)));
    // Past its expiry but not yet removed: treated as absent and renewed.
    EXPECT_TRUE(lists.AddToBlock(address, kT0 + Seconds(60)));
    auto blocks = lists.BlockedList();
    ASSERT_EQ(blocks.size(), 1u);
    EXPECT_EQ(blocks[0].expiresAt, kT0 + Seconds(120));
    // A removed block can be added again.
    EXPECT_TRUE(lists.RemoveBlocked(address));
    EXPECT_FALSE(lists.RemoveBlocked(address));
    EXPECT_FALSE(lists.IsBlockedLockFree(address));
    EXPECT_TRUE(lists.AddToBlock(address, kT0 + Seconds(61)));
    EXPECT_EQ(lists.BlockedCount(), 1u);
}

TEST(IpListManager, AllowListedAddressIsNeverBlocked) {
    IpListManager lists;
    const uint32_t allowed = Ip(10, 0, 0, 1);
    EXPECT_TRUE(lists.AddAllowed(allowed));
    EXPECT_FALSE(lists.AddAllowed(allowed));
    EXPECT_TRUE(lists.IsAllowedLockFree(allowed));
    EXPECT_TRUE(lists.IsAllowed(allowed));
    EXPECT_FALSE(lists.AddToBlock(allowed, kT0));
    EXPECT_FALSE(lists.IsBlockedLockFree(allowed));
    EXPECT_EQ(lists.BlockedCount(), 0u);
    EXPECT_EQ(lists.RefusedBlockCount(), 0u);  // a refusal, not an overflow
    // Once no longer allowed it can be blocked.
    EXPECT_TRUE(lists.RemoveAllowed(allowed));
    EXPECT_FALSE(lists.RemoveAllowed(allowed));
    EXPECT_FALSE(lists.IsAllowedLockFree(allowed));
    EXPECT_TRUE(lists.AddToBlock(allowed, kT0));
}

TEST(IpListManager, AllowingABlockedAddressLiftsItsBlock) {
    IpListManager lists;
    const uint32_t address = Ip(192, 0, 2, 55);
    ASSERT_TRUE(lists.AddToBlock(address, kT0));
    EXPECT_TRUE(lists.AddAllowed(address));
    EXPECT_FALSE(lists.IsBlockedLockFree(address));
    EXPECT_TRUE(lists.BlockedList().empty());
}

TEST(IpListManager, DurationChangeAppliesToLaterBlocksOnly) {
    IpListManager lists;
    lists.SetFirewallBlockDuration(60s);
    ASSERT_TRUE(lists.AddToBlock(Ip(1, 1, 1, 1), kT0));
    lists.SetFirewallBlockDuration(3600s);
    ASSERT_TRUE(lists.AddToBlock(Ip(2, 2, 2, 2), kT0));
    lists.SetFirewallBlockDuration(0s);  // until removed
    ASSERT_TRUE(lists.AddToBlock(Ip(3, 3, 3, 3), kT0));
    auto blocks = lists.BlockedList();
    ASSERT_EQ(blocks.size(), 3u);
    EXPECT_EQ(blocks[0].expiresAt, kT0 + Seconds(60));
    EXPECT_EQ(blocks[1].expiresAt, kT0 + Seconds(3600));
    EXPECT_EQ(blocks[2].expiresAt, 0);
    EXPECT_EQ(lists.ExpireEntries(kT0 + Seconds(100'000'000)), 2u);
    EXPECT_TRUE(lists.IsBlockedLockFree(Ip(3, 3, 3, 3)));
}

TEST(IpListManager, LowestAndHighestAddressesBehaveLikeAnyOther) {
    // Address 0 with an empty state would look like an empty slot: it must not.
    for (uint32_t address : {0u, 0xFFFF'FFFFu}) {
        SCOPED_TRACE(address);
        IpListManager lists;
        lists.SetFirewallBlockDuration(60s);
        for (uint32_t other : DistinctAddresses(3000, 7, {0u, 0xFFFF'FFFFu})) {
            lists.AddToBlock(other, kT0);
        }
        EXPECT_FALSE(lists.IsBlockedLockFree(address));
        EXPECT_TRUE(lists.AddToBlock(address, kT0));
        EXPECT_FALSE(lists.AddToBlock(address, kT0));
        EXPECT_TRUE(lists.IsBlockedLockFree(address));
        EXPECT_TRUE(lists.RemoveBlocked(address));
        EXPECT_FALSE(lists.IsBlockedLockFree(address));
        EXPECT_TRUE(lists.AddToBlock(address, kT0));
        lists.ShrinkToFit();
        EXPECT_TRUE(lists.IsBlockedLockFree(address));
        EXPECT_TRUE(lists.AddAllowed(address));
        EXPECT_TRUE(lists.IsAllowedLockFree(address));
        EXPECT_FALSE(lists.IsBlockedLockFree(address));
    }
}

TEST(IpListManager, GrowsToManyEntriesAndFindsEveryOne) {
    IpListManager lists;
    lists.SetFirewallBlockDuration(3600s);
    auto blocked = DistinctAddresses(300'000, 1);
    for (uint32_t address : blocked)
        ASSERT_TRUE(lists.AddToBlock(address, kT0));
    std::unordered_set<uint32_t> blockedSet(blocked.begin(), blocked.end());
    for (uint32_t address : blocked)
        ASSERT_TRUE(lists.IsBlockedLockFree(address));
    for (uint32_t address : DistinctAddresses(300'000, 2, blockedSet)) {
        ASSERT_FALSE(lists.IsBlockedLockFree(address));
    }
    EXPECT_EQ(lists.BlockedCount(), blocked.size());
    // Rebuilt at half load: at least two slots per entry.
    EXPECT_GE(lists.BlockCapacity(), 2 * blocked.size());
    lists.ExpireEntries(kT0);  // frees the tables the growth replaced
    EXPECT_LE(lists.MemoryBytes(), lists.BlockCapacity() * 8 + (1 << 16));
}

TEST(IpListManager, ShrinkToFitGivesMemoryBackAfterExpiry) {
    IpListManager lists;
    lists.SetFirewallBlockDuration(60s);
    for (uint32_t address : DistinctAddresses(100'000, 3))
        lists.AddToBlock(address, kT0);
    const size_t grown = lists.BlockCapacity();
    lists.SetFirewallBlockDuration(0s);
    const uint32_t survivor = Ip(198, 51, 100, 200);
    ASSERT_TRUE(lists.AddToBlock(survivor, kT0));
    EXPECT_EQ(lists.ExpireEntries(kT0 + Seconds(60)), 100'000u);
    EXPECT_EQ(lists.BlockCapacity(), grown);  // expiry alone does not resize
    lists.ShrinkToFit();
    EXPECT_LE(lists.BlockCapacity(), 1024u);
    EXPECT_LT(lists.MemoryBytes(), 64u * 1024);
    EXPECT_TRUE(lists.IsBlockedLockFree(survivor));
    EXPECT_EQ(lists.BlockedCount(), 1u);
}

TEST(IpListManager, ChurnDoesNotGrowTheTableWithoutBound) {
    // Expired entries leave removed slots; rebuilds must purge them rather than double.
    IpListManager lists;
    lists.SetFirewallBlockDuration(10s);
    for (int round = 0; round < 20; ++round) {
        int64_t now = kT0 + Seconds(20 * round);
        for (uint32_t address : DistinctAddresses(20'000, 100 + round)) {
            lists.AddToBlock(address, now);
        }
        lists.ExpireEntries(now + Seconds(10));
    }
    EXPECT_EQ(lists.BlockedCount(), 0u);
    EXPECT_LE(lists.BlockCapacity(), 128u * 1024);
}

TEST(IpListManager, FullListRefusesNewBlocksAndCountsThem) {
    IpListManager lists;
    lists.SetMaxBlocked(1000);
    lists.SetFirewallBlockDuration(60s);
    auto addresses = DistinctAddresses(1500, 4);
    size_t added = 0;
    for (uint32_t address : addresses)
        added += lists.AddToBlock(address, kT0) ? 1 : 0;
    EXPECT_EQ(added, 1000u);
    EXPECT_EQ(lists.RefusedBlockCount(), 500u);
    EXPECT_EQ(lists.BlockedCount(), 1000u);
    for (size_t i = 0; i < 1000; ++i)
        EXPECT_TRUE(lists.IsBlockedLockFree(addresses[i]));
    // Room comes back when blocks expire.
    lists.ExpireEntries(kT0 + Seconds(60));
    EXPECT_TRUE(lists.AddToBlock(addresses[1200], kT0 + Seconds(60)));
}

TEST(IpListManager, ListsAreSortedByAddress) {
    IpListManager lists;
    lists.SetFirewallBlockDuration(60s);
    for (uint32_t address : {Ip(9, 9, 9, 9), Ip(1, 2, 3, 4), Ip(200, 1, 1, 1)}) {
        lists.AddAllowed(address);
        lists.AddToBlock(address + 1, kT0);
    }
    EXPECT_EQ(lists.AllowedList(),
              (std::vector<uint32_t>{Ip(1, 2, 3, 4), Ip(9, 9, 9, 9), Ip(200, 1, 1, 1)}));
    auto blocks = lists.BlockedList();
    ASSERT_EQ(blocks.size(), 3u);
    EXPECT_EQ(blocks[0].address, Ip(1, 2, 3, 5));
    EXPECT_EQ(blocks[2].address, Ip(200, 1, 1, 2));
    EXPECT_EQ(lists.AllowedCount(), 3u);
}

TEST(IpListManager, MatchSourceGivesTheAllowListPrecedenceAndFollowsEveryChange) {
    IpListManager lists;
    const uint32_t allowed = Ip(10, 0, 0, 1), blocked = Ip(198, 51, 100, 7);
    const uint32_t other = Ip(198, 51, 100, 8);
    EXPECT_EQ(lists.MatchSourceLockFree(blocked), SourceListMatch::kNeither);
    ASSERT_TRUE(lists.AddToBlock(blocked, kT0));
    EXPECT_EQ(lists.MatchSourceLockFree(blocked), SourceListMatch::kBlocked);
    EXPECT_EQ(lists.MatchSourceLockFree(other), SourceListMatch::kNeither);
    ASSERT_TRUE(lists.AddAllowed(allowed));
    EXPECT_EQ(lists.MatchSourceLockFree(allowed), SourceListMatch::kAllowed);
    EXPECT_EQ(lists.MatchSourceLockFree(blocked), SourceListMatch::kBlocked);
    // Allowing a blocked address lifts the block; the answer is "allowed" either way.
    ASSERT_TRUE(lists.AddAllowed(blocked));
    EXPECT_EQ(lists.MatchSourceLockFree(blocked), SourceListMatch::kAllowed);
    ASSERT_TRUE(lists.RemoveAllowed(blocked));
    ASSERT_TRUE(lists.RemoveAllowed(allowed));
    EXPECT_EQ(lists.MatchSourceLockFree(allowed), SourceListMatch::kNeither);
    EXPECT_EQ(lists.MatchSourceLockFree(blocked), SourceListMatch::kNeither);
    // Blocked again after the allow list became empty, and past its expiry until removed.
    ASSERT_TRUE(lists.AddToBlock(blocked, kT0));
    EXPECT_EQ(lists.MatchSourceLockFree(blocked), SourceListMatch::kBlocked);
    EXPECT_FALSE(lists.IsAllowedLockFree(blocked));
    EXPECT_EQ(lists.ExpireEntries(kT0 + Seconds(299)), 0u);
    EXPECT_EQ(lists.MatchSourceLockFree(blocked), SourceListMatch::kBlocked);
    EXPECT_EQ(lists.ExpireEntries(kT0 + Seconds(302)), 1u);
    EXPECT_EQ(lists.MatchSourceLockFree(blocked), SourceListMatch::kNeither);
    EXPECT_FALSE(lists.IsBlockedLockFree(blocked));
}

TEST(AddressList, OccupancyClearsOnlyWhenTheLastEntryGoes) {
    using namespace address_code;
    AddressList list(16, 1000);
    EXPECT_FALSE(list.MayHoldEntries());
    ASSERT_EQ(list.Add(1, 100, 0), AddressList::AddResult::kAdded);
    ASSERT_EQ(list.Merge(2, kNever), AddressList::AddResult::kAdded);
    EXPECT_TRUE(list.Remove(1));
    EXPECT_TRUE(list.MayHoldEntries());  // 2 is still there
    EXPECT_EQ(list.Find(2), kNever);
    EXPECT_TRUE(list.Remove(2));
    EXPECT_FALSE(list.MayHoldEntries());
    // A removed slot brought back, and growth past the first table's size.
    ASSERT_EQ(list.Add(1, 100, 0), AddressList::AddResult::kAdded);
    EXPECT_TRUE(list.MayHoldEntries());
    for (uint32_t a = 10; a < 200; ++a)
        ASSERT_EQ(list.Add(a, 100, 0), AddressList::AddResult::kAdded);
    EXPECT_EQ(list.RemoveExpired(99), 0u);
    EXPECT_TRUE(list.MayHoldEntries());
    EXPECT_EQ(list.RemoveExpired(100), 191u);
    EXPECT_FALSE(list.MayHoldEntries());
    // Replace marks before the new table is reachable and clears when it is empty.
    EXPECT_EQ(list.Replace({{7, kNever}}), 0u);
    EXPECT_TRUE(list.MayHoldEntries());
    EXPECT_EQ(list.Find(7), kNever);
    EXPECT_EQ(list.Replace({}), 0u);
    EXPECT_FALSE(list.MayHoldEntries());
    // An add refused at the limit leaves an empty list empty.
    list.SetMaxEntries(0);
    EXPECT_EQ(list.Add(8, 100, 0), AddressList::AddResult::kAtLimit);
    EXPECT_FALSE(list.MayHoldEntries());
}

TEST(AddressList, AddressesSharingLowBitsDoNotShareAProbeChain) {
    // Every address ends in the same 16 bits: an unkeyed "address mod size" table would
    // put them all in one chain.
    AddressList list(1024, 1'000'000);
    for (uint32_t i = 0; i < 50'000; ++i) {
        ASSERT_EQ(list.Add(i << 16, address_code::kNever, 0), AddressList::AddResult::kAdded);
    }
    EXPECT_LT(list.LongestProbe(), 64u);
}

TEST(AddressList, MergeKeepsTheLaterExpiry) {
    using namespace address_code;
    AddressList list(64, 100);
    EXPECT_EQ(list.Merge(5, 100), AddressList::AddResult::kAdded);
    EXPECT_EQ(list.Merge(5, 50), AddressList::AddResult::kPresent);
    EXPECT_EQ(list.Find(5), 100u);
    EXPECT_EQ(list.Merge(5, kNever), AddressList::AddResult::kAdded);
    EXPECT_EQ(list.Merge(5, kLastExpiry), AddressList::AddResult::kPresent);
    EXPECT_EQ(list.Find(5), kNever);
    EXPECT_EQ(list.Count(), 1u);
}

TEST(AddressList, AddsThatReachASuccessorFoundTooSmallAreKept) {
    // A table whose copies arrived after its adds holds more entries than its claim limit.
    // When a rebuild starts and adds revive its removed entries before the successor is
    // linked, that first successor proves too small for the copy; an add that moved into it
    // meanwhile must still be in the list once the rebuild is done. Sizes are chosen so
    // that each step lands exactly; the adds run on another thread because the rebuilding
    // thread holds the writer mutex.
    using namespace address_code;
    using Result = AddressList::AddResult;
    AddressList list(16, 1000);
    const auto a = DistinctAddresses(41, 71);
    std::function<void(bool)> step = [](bool) {};
    list.SetRebuildObserverForTesting(
        [](void* context, bool linked) {
            (*static_cast<std::function<void(bool)>*>(context))(linked);
        },
        &step);
    auto addOnOtherThread = [&](size_t from, size_t to, Result expected) {
        std::thread([&] {
            ReadGuard guard;
            for (size_t i = from; i < to; ++i)
                EXPECT_EQ(list.Add(a[i], kNever, 0), expected) << i;
        }).join();
    };

    // The ninth add grows the 16-slot table into 32 slots: two more adds reach the old
    // table before the successor is linked, then 18 fill the successor to its claim
    // limit before the 11 copies arrive.
    step = [&](bool linked) {
        linked ? addOnOtherThread(11, 29, Result::kAdded) : addOnOtherThread(9, 11, Result::kAdded);
    };
    for (size_t i = 0; i < 9; ++i)
        ASSERT_EQ(list.Add(a[i], kNever, 0), Result::kAdded);
    step = [](bool) {};
    ASSERT_EQ(list.Capacity(), 32u);
    ASSERT_EQ(list.Count(), 29u);

    // Compact after removals rebuilds into 32 slots again; revivals before the link bring
    // the count back to 29, too many for that size, and the add of a[40] goes into it.
    for (size_t i = 0; i < 23; ++i)
        ASSERT_TRUE(list.Remove(a[i]));
    int unlinked = 0;
    step = [&](bool linked) {
        if (linked) return;
        if (++unlinked == 1) addOnOtherThread(0, 23, Result::kAdded);
        if (unlinked == 2) addOnOtherThread(40, 41, Result::kAdded);
    };
    list.Compact();
    step = [](bool) {};
    ASSERT_EQ(unlinked, 2);
    EXPECT_EQ(list.Find(a[40]), kNever);
    EXPECT_EQ(list.Add(a[40], kNever, 0), Result::kPresent);
    EXPECT_EQ(list.Count(), 30u);
    for (size_t i = 0; i < 29; ++i)
        EXPECT_EQ(list.Find(a[i]), kNever) << i;
    list.FreeRetired();
    EXPECT_EQ(list.Find(a[40]), kNever);
}

}  // namespace
}  // namespace bastion
