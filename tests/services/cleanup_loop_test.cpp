// The cleanup loop: task periods and order, the times kept across a restart of the body,
// flowSeen ageing, the host list calls, and a stop that arrives during the sleep.
#include <gtest/gtest.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <filesystem>
#include <memory>
#include <shared_mutex>
#include <thread>

#include "conntrack/FlowTracking.h"
#include "engine/PacketProcessor.h"
#include "platform/Clock.h"
#include "rules/Enforcement.h"
#include "services/ServiceLoops.h"
#include "tests/conntrack/TableChecks.h"
#include "tests/services/LogTestSupport.h"

namespace bastion {
namespace {

using testing::FlowEventShape;
using testing::MakeFlowEvent;
using testing::QueuedTexts;
using testing::ScratchDir;

constexpr int64_t kSecond = kNsPerSecond;
constexpr int64_t kStart = 5'000 * kSecond;  // steady time at which the test's body starts
constexpr uint32_t kLocal = 0x0A000001;      // 10.0.0.1
constexpr uint32_t kSourceA = 0xC6336401;    // 198.51.100.1
constexpr uint32_t kSourceB = 0xC6336402;    // 198.51.100.2

class CleanupLoopTest : public ::testing::Test {
  protected:
    void SetUp() override {
        // One connection the engine does not track: a table that reads as empty is taken
        // for a failed read and reconciles nothing.
        platform::TcpRow other;
        other.localAddr = kLocal;
        other.localPort = 22;
        other.remoteAddr = 0xCB007101;  // 203.0.113.1
        other.remotePort = 51000;
        system_->SetRows({other});
        platform::SetSystemTables(system_);
    }
    void TearDown() override { platform::SetSystemTables(nullptr); }

    // Runs passes at kStart + each offset, in order.
    void RunPassesAt(std::initializer_list<int64_t> offsets) {
        for (int64_t offset : offsets)
            CleanupIteration(engine_, schedule_, kStart + offset);
    }
    void Establish(uint32_t remote, uint16_t remotePort) {
        ApplyFlowEvent(engine_,
                       MakeFlowEvent(FlowEventShape{WINDIVERT_EVENT_FLOW_ESTABLISHED, false, kLocal,
                                                    443, remote, remotePort}),
                       kStart);
    }
    // A connection the system's TCP table does not list: the next refresh of the
    // table removes it, which tells the tests when a refresh ran.
    void PlantUnlistedConnection() { Establish(kSourceB, 40000); }
    bool Refreshed() { return engine_.connections.inboundConnections.empty(); }
    size_t InboundConnections() {
        std::shared_lock lock(engine_.connections.connTableLock);
        return engine_.connections.inboundConnections.size();
    }
    bool FlowSeen(uint32_t address) { return engine_.flow.flowSeen.contains(address); }

    std::shared_ptr<testing::ScriptedTcpTable> system_ =
        std::make_shared<testing::ScriptedTcpTable>();
    RuntimeState state_;
    PacketProcessor engine_{state_};
    CleanupSchedule schedule_ = BeginCleanup(engine_, kStart);
};

TEST_F(CleanupLoopTest, FlowSeenKeepsSixtySecondsAndDropsAnythingOlder) {
    const int64_t now = kStart + 100 * kSecond;
    engine_.flow.flowSeen[kSourceA] = now - 60 * kSecond;
    engine_.flow.flowSeen[kSourceB] = now - 60 * kSecond - kNsPerMs;
    CleanupIteration(engine_, schedule_, now);
    EXPECT_TRUE(FlowSeen(kSourceA));
    EXPECT_FALSE(FlowSeen(kSourceB));

    // A millisecond later the survivor is past the limit too.
    CleanupIteration(engine_, schedule_, now + kNsPerMs);
    EXPECT_FALSE(FlowSeen(kSourceA));
}

TEST_F(CleanupLoopTest, PeriodicTimesRunOnEqualityAndSurviveARestartOfTheBody) {
    // Signature learning does not exist here; its expiry time still advances once a second.
    RunPassesAt({kSecond - 1});
    EXPECT_EQ(engine_.serviceLoops.lastAutoRuleExpiryTime.load(), kStart);
    EXPECT_EQ(engine_.ruleEngine.lastWindowResetTime.load(), kStart);
    RunPassesAt({kSecond});
    EXPECT_EQ(engine_.serviceLoops.lastAutoRuleExpiryTime.load(), kStart + kSecond);
    EXPECT_EQ(engine_.ruleEngine.lastWindowResetTime.load(), kStart + kSecond);
    RunPassesAt({60 * kSecond});
    EXPECT_EQ(engine_.serviceLoops.lastListShrinkTime.load(), kStart + 60 * kSecond);

    // A body restarted after a failure keeps the engine-held times but restarts its own
    // periods: the 30 s refresh counts from the new start.
    const int64_t restart = kStart + 61 * kSecond;
    schedule_ = BeginCleanup(engine_, restart);
    EXPECT_EQ(engine_.serviceLoops.lastListShrinkTime.load(), kStart + 60 * kSecond);
    EXPECT_EQ(engine_.serviceLoops.lastAutoRuleExpiryTime.load(), kStart + 60 * kSecond);
    EXPECT_EQ(engine_.ruleEngine.lastWindowResetTime.load(), kStart + 60 * kSecond);
    PlantUnlistedConnection();
    CleanupIteration(engine_, schedule_, restart + 25 * kSecond);  // a 5-second step
    EXPECT_FALSE(Refreshed());
    CleanupIteration(engine_, schedule_, restart + 30 * kSecond);
    EXPECT_TRUE(Refreshed());
}

TEST_F(CleanupLoopTest, TcpTableIsFirstRefreshedAtTheFirstFiveSecondStepFromThirtySeconds) {
    // Passes 1.4 s apart: the 5-second step runs at 5.6, 11.2, 16.8, 22.4, 28.0, 33.6 s.
    PlantUnlistedConnection();
    int64_t at = 0;
    while (at < 33 * kSecond) {
        at += 1'400 * kNsPerMs;
        CleanupIteration(engine_, schedule_, kStart + at);
        if (at < 33 * kSecond) {
            ASSERT_FALSE(Refreshed()) << "pass at " << at;
        }
    }
    EXPECT_EQ(at, 33'600 * kNsPerMs);
    EXPECT_TRUE(Refreshed());
    PlantUnlistedConnection();
    // The next refresh comes on the first 5-second step at least 30 s after that one:
    // steps at 39.2, 44.8, 50.4, 56.0, 61.6 (28 s after it) and 67.2 s.
    for (int i = 0; i < 20; ++i) {
        at += 1'400 * kNsPerMs;
        CleanupIteration(engine_, schedule_, kStart + at);
    }
    EXPECT_EQ(at, 61'600 * kNsPerMs);
    EXPECT_FALSE(Refreshed());
    for (int i = 0; i < 3; ++i) {
        at += 1'400 * kNsPerMs;
        CleanupIteration(engine_, schedule_, kStart + at);
    }
    EXPECT_FALSE(Refreshed());  // 65.8 s: 32.2 s since the refresh, but no step yet
    at += 1'400 * kNsPerMs;
    CleanupIteration(engine_, schedule_, kStart + at);
    EXPECT_TRUE(Refreshed());  // 67.2 s
}

TEST_F(CleanupLoopTest, HostListsExpireEveryFiveSecondsAndAreWrittenEveryThirty) {
    ScratchDir dir;
    IpListManager& lists = state_.ipLists;
    lists.SetStorageDirectory(dir.path().string());
    lists.SetFirewallBlockDuration(std::chrono::seconds(1));
    ASSERT_TRUE(lists.AddToBlock(kSourceA, WallTicksNow() - 10 * kWallTicksPerSecond));
    const auto blockFile = dir.path() / IpListManager::kBlockFileName;

    RunPassesAt({1 * kSecond, 2 * kSecond, 3 * kSecond, 4 * kSecond});
    EXPECT_EQ(lists.BlockedCount(), 1u);
    RunPassesAt({5 * kSecond});
    EXPECT_EQ(lists.BlockedCount(), 0u);

    ASSERT_TRUE(lists.AddToBlock(kSourceB));
    RunPassesAt({29 * kSecond});
    EXPECT_FALSE(std::filesystem::exists(blockFile));
    RunPassesAt({30 * kSecond});
    EXPECT_NE(testing::ReadWholeFile(blockFile).find("198.51.100.2"), std::string::npos);
}

TEST_F(CleanupLoopTest, FailingListWriteIsLoggedOnceUntilAWriteSucceeds) {
    ScratchDir dir;
    engine_.logState.packetLogEnabled = true;  // lets the warning into the log queue
    // A storage "directory" that is a file: every write fails.
    const auto notADirectory = dir.path() / "file";
    { std::ofstream(notADirectory) << "x"; }
    state_.ipLists.SetStorageDirectory(notADirectory.string());
    ASSERT_TRUE(state_.ipLists.AddToBlock(kSourceA));

    FlushHostLists(engine_);
    FlushHostLists(engine_);
    std::vector<std::string> texts = QueuedTexts(engine_);
    ASSERT_EQ(texts.size(), 1u);
    EXPECT_EQ(texts[0].rfind("[⚠️] Saving the address lists failed: ", 0), 0u) << texts[0];

    state_.ipLists.SetStorageDirectory(dir.path().string());
    FlushHostLists(engine_);  // succeeds, so a later failure is news again
    state_.ipLists.SetStorageDirectory(notADirectory.string());
    ASSERT_TRUE(state_.ipLists.AddToBlock(kSourceB));
    FlushHostLists(engine_);
    EXPECT_EQ(QueuedTexts(engine_).size(), 2u);
}

// Counts the files created in a directory from now on.
class CreationCounter {
  public:
    explicit CreationCounter(const std::filesystem::path& directory)
        : fd_(::inotify_init1(IN_NONBLOCK)) {
        EXPECT_GE(fd_, 0);
        EXPECT_GE(::inotify_add_watch(fd_, directory.c_str(), IN_CREATE), 0);
    }
    ~CreationCounter() { ::close(fd_); }
    int Count() {
        alignas(inotify_event) char buffer[4096];
        for (;;) {
            const ssize_t got = ::read(fd_, buffer, sizeof(buffer));
            if (got <= 0) return count_;
            for (ssize_t at = 0; at < got;) {
                const auto* event = reinterpret_cast<const inotify_event*>(buffer + at);
                ++count_;
                at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
            }
        }
    }

  private:
    int fd_;
    int count_ = 0;
};

// The flag alone (as a body restarted by supervision sees it) is read between passes.
TEST_F(CleanupLoopTest, FlagClearedDuringTheSleepFinishesThePassThenWritesTheListsOnce) {
    ScratchDir dir;
    // A directory where the block list's file belongs: every write of the list then makes
    // its temporary file and fails to put it in place, so the list stays due and each
    // write attempt shows as exactly one file created.
    std::filesystem::create_directory(dir.path() / IpListManager::kBlockFileName);
    state_.ipLists.SetStorageDirectory(dir.path().string());
    ASSERT_TRUE(state_.ipLists.AddToBlock(kSourceA));
    state_.ipLists.FlushToFiles();  // whatever else was due is written now
    CreationCounter created(dir.path());
    state_.ipLists.FlushToFiles();
    ASSERT_EQ(created.Count(), 1);

    Establish(kSourceA, 50000);
    ASSERT_TRUE(QueueBlockedAddress(engine_, kSourceA));
    engine_.cleanupRunning = true;
    const int64_t began = SteadyNowNs();
    std::thread loop([this] { CleanupLoop(engine_); });
    std::this_thread::sleep_for(std::chrono::milliseconds(100));  // inside the first sleep
    EXPECT_EQ(InboundConnections(), 1u);
    engine_.cleanupRunning = false;
    loop.join();
    const int64_t took = SteadyNowNs() - began;

    // The pass after the sleep still ran: the blocked source's connection is gone.
    EXPECT_EQ(InboundConnections(), 0u);
    EXPECT_GE(took, kSecond);
    EXPECT_LT(took, 2 * kSecond);  // one pass, not a second sleep
    // No periodic write is due a second in: the one write is the one on the way out.
    EXPECT_EQ(created.Count(), 2);
}

// Stop clears the flag and sets the stop event: the wait ends at once, the pass is
// skipped, and the lists are still written on the way out.
TEST_F(CleanupLoopTest, StopEventEndsTheSleepAtOnceAndTheListsAreStillWritten) {
    ScratchDir dir;
    std::filesystem::create_directory(dir.path() / IpListManager::kBlockFileName);
    state_.ipLists.SetStorageDirectory(dir.path().string());
    ASSERT_TRUE(state_.ipLists.AddToBlock(kSourceA));
    state_.ipLists.FlushToFiles();
    CreationCounter created(dir.path());

    Establish(kSourceA, 50000);
    ASSERT_TRUE(QueueBlockedAddress(engine_, kSourceA));
    ASSERT_NE(engine_.serviceStopEvent, nullptr);
    ResetEvent(engine_.serviceStopEvent);
    engine_.cleanupRunning = true;
    std::thread loop([this] { CleanupLoop(engine_); });
    std::this_thread::sleep_for(std::chrono::milliseconds(100));  // inside the first sleep
    const int64_t stopped = SteadyNowNs();
    engine_.cleanupRunning = false;
    SetEvent(engine_.serviceStopEvent);
    loop.join();

    EXPECT_LT(SteadyNowNs() - stopped, kSecond / 2);
    EXPECT_EQ(InboundConnections(), 1u);  // no pass ran
    EXPECT_EQ(created.Count(), 1);        // the write on the way out
}

TEST(ServiceLoopSleep, StopEventEndsTheWaitElseItLastsToTheDeadline) {
    HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    ASSERT_NE(event, nullptr);
    const auto before = std::chrono::steady_clock::now();
    EXPECT_FALSE(WaitUntilSteadyOrStop(SteadyNowNs() + 20 * kNsPerMs, event));
    EXPECT_GE(std::chrono::steady_clock::now() - before, std::chrono::milliseconds(20));
    SetEvent(event);
    const auto set = std::chrono::steady_clock::now();
    EXPECT_TRUE(WaitUntilSteadyOrStop(SteadyNowNs() + 10 * kSecond, event));
    EXPECT_LT(std::chrono::steady_clock::now() - set, std::chrono::milliseconds(500));
    // A deadline already passed returns false even with the event set.
    EXPECT_FALSE(WaitUntilSteadyOrStop(SteadyNowNs() - 1, event));
    CloseHandle(event);
    EXPECT_FALSE(WaitUntilSteadyOrStop(SteadyNowNs() + 10 * kNsPerMs, nullptr));
}

TEST(ServiceLoopSleep, ChunksRoundUpToMillisecondsAndStopAtADay) {
    EXPECT_EQ(SleepChunkMs(0), 0u);
    EXPECT_EQ(SleepChunkMs(-5 * kSecond), 0u);
    EXPECT_EQ(SleepChunkMs(1), 1u);
    EXPECT_EQ(SleepChunkMs(kNsPerMs), 1u);
    EXPECT_EQ(SleepChunkMs(kNsPerMs + 1), 2u);
    EXPECT_EQ(SleepChunkMs(kSecond), 1000u);
    EXPECT_EQ(SleepChunkMs(3 * kLongestSleepNs + 7), 86'400'000u);
}

TEST(ServiceLoopSleep, WakesAtTheDeadlineOfTheSteadyClockItReads) {
    // A deadline the shifted clock has already passed returns at once.
    const int64_t deadline = SteadyNowNs() + 10 * kSecond;
    testing::AdvanceSteadyClock(11 * kSecond);
    const auto before = std::chrono::steady_clock::now();
    SleepUntilSteady(deadline);
    EXPECT_LT(std::chrono::steady_clock::now() - before, std::chrono::milliseconds(50));
    SleepUntilSteady(SteadyNowNs() + 20 * kNsPerMs);
    EXPECT_GE(std::chrono::steady_clock::now() - before, std::chrono::milliseconds(20));
}

}  // namespace
}  // namespace bastion
