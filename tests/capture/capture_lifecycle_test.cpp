// Worker lifecycle: stop, handle replacement, receive failures and their throttle, Winsock
// start-up retries, and a send still in flight when the worker ends. Workers run on their
// own threads where the test is about waiting; time is moved through the clock seam.
#include <atomic>
#include <chrono>
#include <thread>

#include "capture/CaptureLoop.h"
#include "platform/Clock.h"
#include "platform/Testing.h"
#include "tests/capture/CaptureTestSupport.h"

namespace bastion::capture_test {
namespace {

using Clock = std::chrono::steady_clock;

class WorkerLifecycle : public CaptureTest {
  protected:
    void TearDown() override {
        engine->running.store(false);
        if (thread_.joinable()) thread_.join();
        CaptureTest::TearDown();
    }

    void StartWorker(int index = 0) {
        thread_ = std::thread([this, index] {
            CaptureLoop(*engine, index);
            finished_.store(true);
        });
    }

    // Polls `condition` for up to two seconds.
    template <typename Condition>
    static bool Eventually(Condition condition) {
        const auto deadline = Clock::now() + std::chrono::seconds(2);
        while (Clock::now() < deadline) {
            if (condition()) return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        return condition();
    }

    // Injects a packet and waits until the worker has passed it on.
    bool PassesThrough(uint16_t tag) {
        sim->InjectInbound(InboundTcp(tag));
        return Eventually([&] {
            for (const auto& record : sim->TakeDelivered()) {
                if (TagOf(record.bytes) == tag) return true;
            }
            return false;
        });
    }

    std::thread thread_;
    std::atomic<bool> finished_{false};
};

TEST_F(WorkerLifecycle, AStopIsNoticedWithinTheWaitStepWithoutTraffic) {
    platform::testing::SetAffinityEnabled(false);
    StartWorker();
    ASSERT_TRUE(PassesThrough(1));
    std::this_thread::sleep_for(std::chrono::milliseconds(30));  // waiting on its receive
    const auto stop = Clock::now();
    engine->running.store(false);
    thread_.join();
    // One 10 ms wait step, plus room for a loaded machine.
    EXPECT_LT(Clock::now() - stop, std::chrono::milliseconds(250));
    EXPECT_TRUE(finished_.load());
    platform::testing::SetAffinityEnabled(true);
}

TEST_F(WorkerLifecycle, WorkerWaitsForAHandleAndPicksUpAReplacement) {
    platform::testing::SetAffinityEnabled(false);
    engine->captureHandle.store(nullptr);
    StartWorker();
    std::this_thread::sleep_for(std::chrono::milliseconds(25));
    engine->captureHandle.store(handle);
    ASSERT_TRUE(PassesThrough(1));

    // Replaced as a reload does, but the old handle left open: the 50th wait timeout
    // finds the new one.
    HANDLE second = WinDivertOpen("true", WINDIVERT_LAYER_NETWORK, 0, 0);
    ASSERT_NE(second, INVALID_HANDLE_VALUE);
    divert::SetTraceEnabled(true);
    engine->captureHandle.store(second);
    EXPECT_TRUE(Eventually([&] {
        for (const TraceRecord& record : divert::TakeTrace()) {
            if (record.function == ApiFunction::RecvEx && record.handle == second) return true;
        }
        return false;
    })) << "the worker receives on the new handle";
    // The old handle would see what the new one re-injects; a reload closes it.
    WinDivertClose(handle);
    handle = INVALID_HANDLE_VALUE;
    EXPECT_TRUE(PassesThrough(2));

    // Replaced and the old one closed: the pending receive fails quietly and the next
    // cycle takes the new handle at once.
    HANDLE third = WinDivertOpen("true", WINDIVERT_LAYER_NETWORK, 0, 0);
    ASSERT_NE(third, INVALID_HANDLE_VALUE);
    engine->captureHandle.store(third);
    CancelIoEx(second, nullptr);
    WinDivertClose(second);
    EXPECT_TRUE(PassesThrough(3));
    EXPECT_TRUE(LogTexts("[⚠️]").empty()) << "replacement errors are quiet";

    engine->running.store(false);
    thread_.join();
    engine->captureHandle.store(nullptr);
    WinDivertClose(third);
    platform::testing::SetAffinityEnabled(true);
}

TEST_F(WorkerLifecycle, ReceiveFailureLogsNothingFirstAndOnceAfterThirtySeconds) {
    // A send-only handle refuses receives with 87: not one of the quiet errors.
    HANDLE sendOnly = WinDivertOpen("false", WINDIVERT_LAYER_NETWORK, 0, WINDIVERT_FLAG_SEND_ONLY);
    ASSERT_NE(sendOnly, INVALID_HANDLE_VALUE);
    engine->captureHandle.store(sendOnly);
    auto worker = NewWorker(3);
    const std::string warning =
        "[⚠️] WinDivertRecvEx failed (Thread 3, Error: 87) - Driver error or kernel issue";
    worker->RunCycle();
    worker->RunCycle();
    EXPECT_TRUE(LogTexts("[⚠️]").empty());
    testing::AdvanceSteadyClock(29 * kNsPerSecond);
    worker->RunCycle();
    EXPECT_TRUE(LogTexts("[⚠️]").empty());
    testing::AdvanceSteadyClock(1 * kNsPerSecond);
    worker->RunCycle();
    worker->RunCycle();
    EXPECT_EQ(LogTexts("[⚠️]"), std::vector<std::string>{warning});

    // Each worker keeps its own throttle: another worker's first failure is quiet too.
    auto other = NewWorker(4);
    other->RunCycle();
    EXPECT_EQ(LogTexts("[⚠️]").size(), 1u);
    worker.reset();
    other.reset();
    engine->captureHandle.store(handle);
    WinDivertClose(sendOnly);
}

TEST_F(WorkerLifecycle, WinsockFailureIsReportedAndRetried) {
    platform::testing::SetAffinityEnabled(false);
    platform::testing::FailWsaStartup(1, WSASYSNOTREADY);
    StartWorker(2);
    EXPECT_TRUE(PassesThrough(5));
    EXPECT_EQ(LogTexts("[❌ THREAD]"),
              std::vector<std::string>{
                  "[❌ THREAD] CaptureLoop #2 gặp lỗi: WSAStartup thất bại (Code: 10091)"});
    EXPECT_EQ(state->metrics.threadErrorCount, 1u);
    platform::testing::SetAffinityEnabled(true);
}

TEST_F(WorkerLifecycle, AnUncollectedSendIsCancelledBeforeItsBuffersGo) {
    auto worker = NewWorker();
    divert::SetTraceEnabled(true);
    divert::ScriptSends(divert::SendFault{divert::SendOutcome::HoldPending, 0});
    sim->InjectInbound(InboundTcp(1));
    worker->RunCycle();
    ASSERT_TRUE(worker->sendPending);
    worker.reset();
    EXPECT_EQ(divert::ReleaseHeldSends(), 0u) << "the held send was cancelled and collected";
}

TEST_F(WorkerLifecycle, APendingSendIsCollectedOrCancelledByTheNextCycle) {
    auto worker = NewWorker();
    divert::ScriptSends(divert::SendFault{divert::SendOutcome::HoldPending, 0});
    sim->InjectInbound(InboundTcp(1));
    worker->RunCycle();
    ASSERT_TRUE(worker->sendPending);
    EXPECT_EQ(worker->receiveSet, CaptureWorker::kSetB);
    sim->InjectInbound(InboundTcp(2));
    worker->RunCycle();  // gives the held send 5 ms, then cancels it
    EXPECT_FALSE(worker->sendPending);
    EXPECT_EQ(DeliveredTags(), std::vector<uint16_t>{2});
    EXPECT_EQ(divert::ReleaseHeldSends(), 0u);
    EXPECT_TRUE(LogTexts("[⚠️] Async").empty()) << "a cancelled send is not a failure";
}

TEST_F(WorkerLifecycle, WorkersSharingTheHandlePassEveryPacketOnce) {
    platform::testing::SetAffinityEnabled(false);
    constexpr int kWorkers = 3;
    std::vector<std::thread> workers;
    for (int i = 0; i < kWorkers; ++i)
        workers.emplace_back([this, i] { CaptureLoop(*engine, i); });
    constexpr uint16_t kPackets = 600;
    for (uint16_t tag = 0; tag < kPackets; tag += 20) {
        std::vector<Bytes> batch;
        for (uint16_t k = 0; k < 20; ++k)
            batch.push_back(InboundTcp(static_cast<uint16_t>(tag + k)));
        sim->InjectInbound(batch);
    }
    EXPECT_TRUE(Eventually([&] { return sim->DeliveredCount() >= kPackets; }));
    engine->running.store(false);
    for (std::thread& t : workers)
        t.join();
    std::vector<uint16_t> tags = DeliveredTags();
    std::sort(tags.begin(), tags.end());
    ASSERT_EQ(tags.size(), kPackets);
    for (uint16_t i = 0; i < kPackets; ++i)
        EXPECT_EQ(tags[i], i);
    EXPECT_EQ(engine->ruleEngine.statsRecv.load(), kPackets) << "counters flushed at exit";
    platform::testing::SetAffinityEnabled(true);
}

}  // namespace
}  // namespace bastion::capture_test
