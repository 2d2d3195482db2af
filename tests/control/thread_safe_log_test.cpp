// ThreadSafeLog: capacity, order, sequence numbers, the disabled switch, and pushes from
// several threads while viewers take snapshots (also run under ThreadSanitizer).
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>

#include "control/ThreadSafeLog.h"

namespace bastion {
namespace {

PacketLogEntry Entry(int64_t time, std::string text) {
    PacketLogEntry entry;
    entry.time = time;
    entry.text = std::move(text);
    return entry;
}

std::vector<std::string> Texts(const std::vector<PacketLogEntry>& entries) {
    std::vector<std::string> texts;
    for (const auto& entry : entries)
        texts.push_back(entry.text);
    return texts;
}

TEST(ThreadSafeLog, KeepsTheNewestEntriesUpToItsCapacityInOrder) {
    ThreadSafeLog log(3);
    EXPECT_TRUE(log.Snapshot().empty());
    for (int i = 1; i <= 5; ++i)
        log.Push(Entry(i, "e" + std::to_string(i)));
    auto entries = log.Snapshot();
    EXPECT_EQ(Texts(entries), (std::vector<std::string>{"e3", "e4", "e5"}));
    EXPECT_EQ(entries[0].sequence, 3u);
    EXPECT_EQ(entries[2].sequence, 5u);
    EXPECT_EQ(entries[2].time, 5);
    EXPECT_EQ(log.LastSequence(), 5u);
    EXPECT_EQ(log.Size(), 3u);
    EXPECT_EQ(ThreadSafeLog().Capacity(), 10'000u);
}

TEST(ThreadSafeLog, EntriesAfterReturnsOnlyNewerEntries) {
    ThreadSafeLog log(4);
    for (int i = 1; i <= 6; ++i)
        log.Push(Entry(i, "e" + std::to_string(i)));
    // Held: 3..6.
    struct Case {
        uint64_t after;
        size_t limit;
        std::vector<std::string> expected;
    };
    const Case cases[] = {
        {0, SIZE_MAX, {"e3", "e4", "e5", "e6"}},  // older than the ring: everything held
        {3, SIZE_MAX, {"e4", "e5", "e6"}},
        {4, 1, {"e5"}},
        {6, SIZE_MAX, {}},
        {99, SIZE_MAX, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.after);
        EXPECT_EQ(Texts(log.EntriesAfter(c.after, c.limit)), c.expected);
    }
}

TEST(ThreadSafeLog, DiscardsWhileDisabledAndKeepsWhatItHad) {
    ThreadSafeLog log(10);
    log.Push(Entry(1, "kept"));
    log.SetEnabled(false);
    EXPECT_FALSE(log.IsEnabled());
    log.Push(Entry(2, "dropped"));
    EXPECT_EQ(Texts(log.Snapshot()), (std::vector<std::string>{"kept"}));
    EXPECT_EQ(log.LastSequence(), 1u);  // no number spent on a discarded entry
    log.SetEnabled(true);
    log.Push(Entry(3, "again"));
    EXPECT_EQ(log.Snapshot().back().sequence, 2u);
}

TEST(ThreadSafeLog, CapacityChangesKeepTheNewestAndSequencesContinueAfterClear) {
    ThreadSafeLog log(5);
    for (int i = 1; i <= 7; ++i)
        log.Push(Entry(i, "e" + std::to_string(i)));
    log.SetCapacity(2);
    EXPECT_EQ(Texts(log.Snapshot()), (std::vector<std::string>{"e6", "e7"}));
    log.SetCapacity(4);
    log.Push(Entry(8, "e8"));
    log.Push(Entry(9, "e9"));
    log.Push(Entry(10, "e10"));
    EXPECT_EQ(Texts(log.Snapshot()), (std::vector<std::string>{"e7", "e8", "e9", "e10"}));
    EXPECT_EQ(Texts(log.EntriesAfter(8)), (std::vector<std::string>{"e9", "e10"}));
    log.SetCapacity(0);  // at least one
    EXPECT_EQ(log.Capacity(), 1u);
    EXPECT_EQ(Texts(log.Snapshot()), (std::vector<std::string>{"e10"}));
    log.Clear();
    EXPECT_TRUE(log.Snapshot().empty());
    log.Push(Entry(11, "e11"));
    EXPECT_EQ(log.Snapshot()[0].sequence, 11u);
}

TEST(ThreadSafeLog, ConcurrentPushesAndSnapshotsStayConsistent) {
    constexpr int kWriters = 3;
    constexpr int kPerWriter = 3000;
    ThreadSafeLog log(500);
    std::atomic<bool> done{false};
    std::atomic<int> badSnapshots{0};
    std::thread viewer([&] {
        uint64_t seen = 0;
        while (!done.load()) {
            auto entries = log.Snapshot();
            // Consecutive sequences, and each writer's entries in the order it pushed.
            int lastOf[kWriters] = {-1, -1, -1};
            for (size_t i = 0; i < entries.size(); ++i) {
                if (i > 0 && entries[i].sequence != entries[i - 1].sequence + 1) ++badSnapshots;
                int writer = static_cast<int>(entries[i].time / kPerWriter);
                int index = static_cast<int>(entries[i].time % kPerWriter);
                if (index <= lastOf[writer]) ++badSnapshots;
                lastOf[writer] = index;
            }
            auto fresh = log.EntriesAfter(seen, 100);
            if (!fresh.empty()) {
                if (fresh.front().sequence <= seen) ++badSnapshots;
                seen = fresh.back().sequence;
            }
        }
    });
    std::vector<std::thread> writers;
    for (int w = 0; w < kWriters; ++w) {
        writers.emplace_back([&, w] {
            for (int i = 0; i < kPerWriter; ++i) {
                log.Push(Entry(int64_t{w} * kPerWriter + i, "writer " + std::to_string(w)));
                if (i == kPerWriter / 2 && w == 0) {
                    log.SetEnabled(false);
                    log.SetEnabled(true);
                }
            }
        });
    }
    for (auto& writer : writers)
        writer.join();
    done = true;
    viewer.join();
    EXPECT_EQ(badSnapshots.load(), 0);
    EXPECT_LE(log.LastSequence(), uint64_t{kWriters} * kPerWriter);
    EXPECT_GE(log.LastSequence(), uint64_t{kPerWriter});
    EXPECT_EQ(log.Size(), 500u);
}

}  // namespace
}  // namespace bastion
