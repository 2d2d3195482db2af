// Start, Stop and ApplyConfig from several threads at once: every thread the engine started
// is joined, every handle is closed once, and only one of two racing Starts (or Stops)
// does the work.
#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <thread>
#include <vector>

#include "tests/engine/LifecycleFixture.h"

namespace bastion::testing {
namespace {

// Threads of this process right now.
size_t ThreadCount() {
    size_t count = 0;
    for ([[maybe_unused]] const auto& entry :
         std::filesystem::directory_iterator("/proc/self/task")) {
        ++count;
    }
    return count;
}

class LifecycleConcurrencyTest : public LifecycleTest {
  protected:
    // Reconfigures between two port sets, so that every call replaces the main handle,
    // until told to stop; counts the calls made.
    void StartReconfiguring() {
        stopReconfiguring_ = false;
        reconfigurer_ = std::thread([this] {
            for (uint64_t i = 0; !stopReconfiguring_.load(); ++i) {
                engine->ApplyConfig(TcpOnly("", {static_cast<uint16_t>(i % 2 == 0 ? 80 : 443)}));
                reconfigurations_.fetch_add(1);
            }
        });
    }
    void WaitForReconfigurations(uint64_t count) {
        while (reconfigurations_.load() < count)
            std::this_thread::yield();
    }
    void StopReconfiguring() {
        stopReconfiguring_ = true;
        reconfigurer_.join();
    }

    void ExpectNothingRunning() {
        EXPECT_FALSE(engine->running.load());
        for (std::thread* thread : {&engine->metricsThread, &engine->cleanupThread,
                                    &engine->loggingThread, &engine->flowThread}) {
            EXPECT_FALSE(thread->joinable());
        }
        EXPECT_TRUE(engine->workerThreads.empty());
    }

  private:
    std::thread reconfigurer_;
    std::atomic<bool> stopReconfiguring_{false};
    std::atomic<uint64_t> reconfigurations_{0};
};

TEST_F(LifecycleConcurrencyTest, StopJoinsEveryThreadWhileTheHandleIsBeingReplaced) {
    platform::testing::SetProcessorCount(8);  // 6 workers
    engine->ApplyConfig(TcpOnly("", {22}));   // whatever the driver starts lazily, starts now
    std::thread([] {}).join();  // a sanitizer's helper thread starts with the first thread
    const size_t baseline = ThreadCount();

    for (int round = 0; round < 2; ++round) {
        ASSERT_TRUE(engine->Start());
        StartReconfiguring();
        WaitForReconfigurations(uint64_t(round + 1) * 5);
        engine->Stop();
        ExpectNothingRunning();
        EXPECT_EQ(ThreadCount(), baseline + 1);  // only the reconfiguring thread is left
        StopReconfiguring();
        EXPECT_EQ(ThreadCount(), baseline);
        // A reconfiguration that came after the stop may have opened a handle: the one
        // handle in the slot, open, never one closed behind the engine's back.
        HANDLE handle = Handle();
        if (handle != nullptr) {
            EXPECT_TRUE(IsOpen(handle));
        }
    }
}

TEST_F(LifecycleConcurrencyTest, OfTwoRacingStartsOrStopsOnlyOneActs) {
    for (int round = 0; round < 2; ++round) {
        std::atomic<int> started{0};
        std::vector<std::thread> starters;
        for (int i = 0; i < 2; ++i) {
            starters.emplace_back([&] {
                if (engine->Start()) started.fetch_add(1);
            });
        }
        for (std::thread& t : starters)
            t.join();
        EXPECT_EQ(started.load(), 1);
        EXPECT_EQ(engine->workerThreads.size(), engine->workerCount);

        std::vector<std::thread> stoppers;
        for (int i = 0; i < 2; ++i)
            stoppers.emplace_back([&] { engine->Stop(); });
        for (std::thread& t : stoppers)
            t.join();
        ExpectNothingRunning();
    }
}

TEST_F(LifecycleConcurrencyTest, StartAndStopInterleavedWithReconfiguration) {
    StartReconfiguring();
    for (int round = 0; round < 2; ++round) {
        ASSERT_TRUE(engine->Start());
        WaitForReconfigurations(uint64_t(round + 1) * 3);
        engine->Stop();
    }
    StopReconfiguring();
    ExpectNothingRunning();
    // Whatever came last, the slot holds an open handle or none, and the key matches the
    // configuration in force.
    HANDLE handle = Handle();
    if (handle != nullptr) {
        EXPECT_TRUE(IsOpen(handle));
    }
    EXPECT_EQ(engine->filterKey, MakeFilterKey(engine->GetConfig()));
}

}  // namespace
}  // namespace bastion::testing
