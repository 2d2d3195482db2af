// The address lists under concurrent use (also run under ThreadSanitizer): adds from many
// threads, lookups while tables are copied, shrunk and freed, and the allow/block race.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <unordered_set>

#include "control/IpListManager.h"
#include "control/ReadGuard.h"
#include "tests/control/ListTestSupport.h"

namespace bastion {
namespace {

using namespace testing_support;
using namespace std::chrono_literals;

#if defined(__SANITIZE_THREAD__)
constexpr size_t kScale = 1;
#else
constexpr size_t kScale = 4;
#endif

TEST(ReadGuard, SynchronizeWaitsForAnOpenSectionOnly) {
    std::atomic<bool> entered{false}, release{false}, synchronized{false};
    std::thread reader([&] {
        ReadGuard guard;
        {
            ReadGuard nested;  // closing the inner section must not close the outer one
        }
        entered = true;
        while (!release)
            std::this_thread::yield();
    });
    while (!entered)
        std::this_thread::yield();
    std::thread writer([&] {
        EXPECT_TRUE(SynchronizeReaders());
        synchronized = true;
    });
    std::this_thread::sleep_for(50ms);
    EXPECT_FALSE(synchronized);  // the reader still holds its section
    release = true;
    writer.join();
    reader.join();
    EXPECT_TRUE(synchronized);
    // With no section open it returns at once.
    EXPECT_TRUE(SynchronizeReaders());
}

TEST(IpListConcurrency, EachAddressIsAddedExactlyOnceAcrossThreads) {
    IpListManager lists;
    lists.SetFirewallBlockDuration(3600s);
    const auto addresses = DistinctAddresses(5000 * kScale, 21);
    constexpr int kThreads = 4;
    std::vector<std::vector<char>> added(kThreads, std::vector<char>(addresses.size()));
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            // Each thread walks the same addresses from a different starting point, so
            // adds of one address meet while the table grows from its smallest size.
            size_t n = addresses.size();
            for (size_t k = 0; k < n; ++k) {
                size_t i = (k + t * n / kThreads) % n;
                added[t][i] = lists.AddToBlock(addresses[i], kT0) ? 1 : 0;
            }
        });
    }
    for (auto& thread : threads)
        thread.join();
    for (size_t i = 0; i < addresses.size(); ++i) {
        int count = 0;
        for (int t = 0; t < kThreads; ++t)
            count += added[t][i];
        ASSERT_EQ(count, 1) << "address #" << i;
        ASSERT_TRUE(lists.IsBlockedLockFree(addresses[i]));
    }
    EXPECT_EQ(lists.BlockedCount(), addresses.size());
    EXPECT_EQ(lists.BlockedList().size(), addresses.size());
}

TEST(IpListConcurrency, ReadersSeeStableEntriesWhileTablesAreCopiedAndFreed) {
    IpListManager lists;
    lists.SetFirewallBlockDuration(0s);
    const auto stable = DistinctAddresses(2000, 31);
    std::unordered_set<uint32_t> stableSet(stable.begin(), stable.end());
    const auto absent = DistinctAddresses(2000, 32, stableSet);
    std::unordered_set<uint32_t> excluded = stableSet;
    excluded.insert(absent.begin(), absent.end());
    const auto churn = DistinctAddresses(20'000 * kScale, 33, excluded);
    for (uint32_t address : stable)
        ASSERT_TRUE(lists.AddToBlock(address, kT0));
    lists.AddAllowed(absent[0]);
    lists.SetFirewallBlockDuration(10s);

    std::atomic<bool> done{false};
    std::atomic<uint64_t> misses{0}, falseHits{0}, lookups{0};
    std::vector<std::thread> readers;
    for (int r = 0; r < 2; ++r) {
        readers.emplace_back([&, r] {
            size_t i = r * 997;
            while (!done.load(std::memory_order_relaxed)) {
                if (!lists.IsBlockedLockFree(stable[i % stable.size()])) ++misses;
                if (lists.IsBlockedLockFree(absent[i % absent.size()])) ++falseHits;
                if (!lists.IsAllowedLockFree(absent[0])) ++misses;
                ++i;
                ++lookups;
            }
        });
    }
    // Two adders grow the table; the host thread expires, shrinks (rebuilds and frees
    // tables) and removes churn entries at the same time.
    std::vector<std::thread> writers;
    for (int w = 0; w < 2; ++w) {
        writers.emplace_back([&, w] {
            for (size_t i = w; i < churn.size(); i += 2) {
                lists.AddToBlock(churn[i], kT0 + Seconds(static_cast<int64_t>(i / 2000)));
            }
        });
    }
    std::thread host([&] {
        for (int round = 0; round < 20; ++round) {
            lists.ExpireEntries(kT0 + Seconds(round));
            lists.ShrinkToFit();
            lists.RemoveBlocked(churn[round * 100]);
            lists.FlushToFiles();
            std::this_thread::sleep_for(1ms);
        }
    });
    for (auto& writer : writers)
        writer.join();
    host.join();
    lists.ShrinkToFit();
    done = true;
    for (auto& reader : readers)
        reader.join();
    EXPECT_EQ(misses.load(), 0u);
    EXPECT_EQ(falseHits.load(), 0u);
    EXPECT_GT(lookups.load(), 0u);
    for (uint32_t address : stable)
        ASSERT_TRUE(lists.IsBlockedLockFree(address));
    EXPECT_EQ(lists.BlockedCount(), lists.BlockedList().size());
}

TEST(IpListConcurrency, AllowingWhileCaptureThreadsBlockLeavesNoAllowedAddressBlocked) {
    IpListManager lists;
    const auto addresses = DistinctAddresses(300 * kScale, 41);
    std::atomic<bool> done{false};
    std::vector<std::thread> blockers;
    for (int b = 0; b < 2; ++b) {
        blockers.emplace_back([&, b] {
            while (!done.load(std::memory_order_relaxed)) {
                for (size_t i = b; i < addresses.size(); i += 2)
                    lists.AddToBlock(addresses[i]);
            }
        });
    }
    for (uint32_t address : addresses)
        lists.AddAllowed(address);
    done = true;
    for (auto& blocker : blockers)
        blocker.join();
    for (uint32_t address : addresses) {
        ASSERT_TRUE(lists.IsAllowedLockFree(address));
        ASSERT_FALSE(lists.IsBlockedLockFree(address));
    }
    EXPECT_EQ(lists.BlockedCount(), 0u);
}

TEST(IpListConcurrency, AddsRacingTheEmptyingOfTheListAreSeenOnceTheyReturn) {
    // Each thread blocks its own address, looks it up, and lifts the block again, so the
    // list keeps becoming empty while other threads add: the occupancy clear that every
    // removal tries must never hide an entry whose add has returned. The allow list keeps
    // one entry, which every lookup must still give precedence.
    IpListManager lists;
    lists.SetFirewallBlockDuration(60s);
    const uint32_t allowed = Ip(10, 0, 0, 1);
    lists.AddAllowed(allowed);
    constexpr int kThreads = 3;
    const auto addresses = DistinctAddresses(kThreads, 61, {allowed});
    std::atomic<uint64_t> hidden{0}, wrongAllow{0}, rounds{0};
    std::atomic<bool> done{false};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            const uint32_t own = addresses[t];
            while (!done.load(std::memory_order_relaxed)) {
                if (!lists.AddToBlock(own, kT0)) ++hidden;  // only this thread lifts it
                if (lists.MatchSourceLockFree(own) != SourceListMatch::kBlocked) ++hidden;
                if (!lists.IsBlockedLockFree(own)) ++hidden;
                if (lists.MatchSourceLockFree(allowed) != SourceListMatch::kAllowed) ++wrongAllow;
                if (!lists.RemoveBlocked(own)) ++hidden;
                // Out of the list for a while, so that all threads often are at once.
                for (int k = 0; k < 16; ++k) {
                    if (lists.MatchSourceLockFree(own) != SourceListMatch::kNeither) ++hidden;
                }
                ++rounds;
            }
        });
    }
    std::this_thread::sleep_for(300ms);
    done = true;
    for (auto& thread : threads)
        thread.join();
    EXPECT_EQ(hidden.load(), 0u);
    EXPECT_EQ(wrongAllow.load(), 0u);
    EXPECT_GT(rounds.load(), 100u);
    EXPECT_EQ(lists.BlockedCount(), 0u);
    EXPECT_EQ(lists.MatchSourceLockFree(addresses[0]), SourceListMatch::kNeither);
}

TEST(IpListConcurrency, ManyThreadsAddAndLookUpAtOnce) {
    // More threads than cores, as with 36 capture workers: every thread's own addresses
    // are found as soon as its add returns.
    IpListManager lists;
    lists.SetFirewallBlockDuration(60s);
    constexpr int kThreads = 12;
    const auto addresses = DistinctAddresses(kThreads * 500 * kScale, 51);
    std::atomic<uint64_t> missing{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            for (size_t i = t; i < addresses.size(); i += kThreads) {
                if (!lists.AddToBlock(addresses[i], kT0)) ++missing;
                if (!lists.IsBlockedLockFree(addresses[i])) ++missing;
            }
        });
    }
    for (auto& thread : threads)
        thread.join();
    EXPECT_EQ(missing.load(), 0u);
    EXPECT_EQ(lists.BlockedCount(), addresses.size());
}

}  // namespace
}  // namespace bastion
