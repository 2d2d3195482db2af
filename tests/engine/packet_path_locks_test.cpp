// The packet path's locks: exclusion between writers and readers (plain, unsynchronised
// data guarded by them, so that the thread sanitizer sees any hole), try-acquires failing
// exactly while the other side holds, and reader slots given back by ending threads.
#include <gtest/gtest.h>

#include <atomic>
#include <barrier>
#include <mutex>
#include <shared_mutex>
#include <thread>
#include <vector>

#include "engine/PacketPathLocks.h"

namespace bastion {
namespace {

// Two fields a writer keeps equal; a reader that sees them differ saw a write in progress.
struct Guarded {
    uint64_t first = 0;
    uint64_t second = 0;
};

TEST(ReaderSlotSharedMutexTest, WritersExcludeReadersAndEachOther) {
    ReaderSlotSharedMutex lock;
    Guarded data;
    std::atomic<bool> stop{false};
    std::atomic<uint64_t> reads{0};
    std::atomic<uint64_t> torn{0};
    std::vector<std::thread> threads;
    // More readers than slots, so that the shared line of slotless threads is used too.
    constexpr int kReaders = static_cast<int>(ReaderSlotSharedMutex::kReaderSlots) + 4;
    for (int r = 0; r < kReaders; ++r) {
        threads.emplace_back([&, r] {
            while (!stop.load(std::memory_order_relaxed)) {
                // Half the readers try like the packet path, half wait like the tests do.
                std::shared_lock hold(lock, std::defer_lock);
                if (r % 2 == 0) {
                    if (!hold.try_lock()) continue;
                } else {
                    hold.lock();
                }
                if (data.first != data.second) torn.fetch_add(1);
                reads.fetch_add(1, std::memory_order_relaxed);
                hold.unlock();
                std::this_thread::yield();
            }
        });
    }
    uint64_t writes = 0;
    std::thread tryingWriter([&] {
        for (int i = 0; i < 200; ++i) {
            std::unique_lock hold(lock, std::try_to_lock);
            if (!hold.owns_lock()) continue;
            ++data.first;
            ++data.second;
            ++writes;
        }
    });
    for (int i = 0; i < 200; ++i) {
        std::unique_lock hold(lock);
        ++data.first;
        std::this_thread::yield();
        ++data.second;
        ++writes;
    }
    tryingWriter.join();
    stop = true;
    for (std::thread& thread : threads)
        thread.join();
    EXPECT_EQ(torn.load(), 0u);
    EXPECT_GT(reads.load(), 0u);
    EXPECT_GE(writes, 200u);
    EXPECT_EQ(data.first, writes);
    EXPECT_EQ(data.second, writes);
}

TEST(ReaderSlotSharedMutexTest, TryAcquiresFailExactlyWhileTheOtherSideHolds) {
    ReaderSlotSharedMutex lock;
    auto elsewhere = [](auto attempt) {
        bool result = false;
        std::thread([&] { result = attempt(); }).join();
        return result;
    };
    auto tryShared = [&] {
        if (!lock.try_lock_shared()) return false;
        lock.unlock_shared();
        return true;
    };
    auto tryExclusive = [&] {
        if (!lock.try_lock()) return false;
        lock.unlock();
        return true;
    };

    lock.lock();
    EXPECT_FALSE(elsewhere(tryShared));
    EXPECT_FALSE(elsewhere(tryExclusive));
    lock.unlock();

    // Nested shared holds of one thread count as two.
    ASSERT_TRUE(lock.try_lock_shared());
    ASSERT_TRUE(lock.try_lock_shared());
    EXPECT_TRUE(elsewhere(tryShared));
    EXPECT_FALSE(elsewhere(tryExclusive));
    lock.unlock_shared();
    EXPECT_FALSE(elsewhere(tryExclusive));
    lock.unlock_shared();
    EXPECT_TRUE(elsewhere(tryExclusive));
    EXPECT_TRUE(tryShared());
}

TEST(ReaderSlotSharedMutexTest, EndingThreadsGiveTheirSlotsBack) {
    ReaderSlotSharedMutex lock;
    (void)lock_detail::ThreadReaderSlot();
    const uint64_t before = lock_detail::claimedReaderSlots.load();
    // Every slot taken at once and then some: all hold shared together.
    constexpr size_t kThreads = ReaderSlotSharedMutex::kReaderSlots + 3;
    std::barrier allHolding(static_cast<std::ptrdiff_t>(kThreads + 1));
    std::barrier release(static_cast<std::ptrdiff_t>(kThreads + 1));
    std::atomic<int> held{0};
    std::vector<std::thread> threads;
    for (size_t i = 0; i < kThreads; ++i) {
        threads.emplace_back([&] {
            std::shared_lock hold(lock, std::try_to_lock);
            if (hold.owns_lock()) held.fetch_add(1);
            allHolding.arrive_and_wait();
            release.arrive_and_wait();
        });
    }
    allHolding.arrive_and_wait();
    EXPECT_EQ(held.load(), static_cast<int>(kThreads));
    EXPECT_FALSE(lock.try_lock());
    release.arrive_and_wait();
    for (std::thread& thread : threads)
        thread.join();
    EXPECT_TRUE(lock.try_lock());
    lock.unlock();
    EXPECT_EQ(lock_detail::claimedReaderSlots.load(), before);
}

TEST(TryFirstMutexTest, TryLockFailsWhileHeldAndLockWaitsForTheRelease) {
    TryFirstMutex mutex;
    uint64_t counter = 0;  // guarded by mutex only
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < 2000; ++i) {
                if (t % 2 == 0) {
                    std::lock_guard hold(mutex);
                    ++counter;
                } else {
                    while (!mutex.try_lock()) {
                        std::this_thread::yield();
                    }
                    ++counter;
                    mutex.unlock();
                }
            }
        });
    }
    for (std::thread& thread : threads)
        thread.join();
    EXPECT_EQ(counter, 8000u);

    mutex.lock();
    bool triedWhileHeld = true;
    std::thread([&] { triedWhileHeld = mutex.try_lock(); }).join();
    EXPECT_FALSE(triedWhileHeld);
    std::atomic<bool> acquired{false};
    std::thread waiter([&] {
        std::lock_guard hold(mutex);
        acquired = true;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
    EXPECT_FALSE(acquired.load());
    mutex.unlock();
    waiter.join();
    EXPECT_TRUE(acquired.load());
}

}  // namespace
}  // namespace bastion
