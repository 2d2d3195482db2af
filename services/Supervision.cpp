// Thread supervision: failure reports and the restart wrapper of the background threads.
#include "services/Supervision.h"

#include <chrono>
#include <exception>
#include <string>
#include <thread>

#include "engine/PacketProcessor.h"
#include "platform/Clock.h"
#include "services/Log.h"

namespace bastion {
namespace {
constexpr auto kRestartDelay = std::chrono::milliseconds(200);
constexpr char kUnknownException[] = "Ngoại lệ không xác định";
}  // namespace

void ReportThreadFailure(PacketProcessor& engine, std::string_view threadName, int workerIndex,
                         std::string_view message) {
    LogState& log = engine.logState;
    const uint64_t count = log.engineThreadErrors.fetch_add(1, std::memory_order_relaxed) + 1;
    log.hadThreadError.store(true, std::memory_order_relaxed);
    {
        std::lock_guard lock(engine.metricsMutex);
        AppMetrics& metrics = engine.runtimeState.metrics;
        metrics.threadErrorCount = count;
        metrics.threadErrorActive = true;
        metrics.threadErrorTime = WallTicksNow();
    }

    std::string text = "[❌ THREAD] ";
    text += threadName;
    if (workerIndex >= 0) {
        text += " #";
        text += std::to_string(workerIndex);
    }
    text += " gặp lỗi: ";
    text += message;
    EmitLogEvent(engine, std::move(text));
}

void RunSupervised(PacketProcessor& engine, std::string_view threadName,
                   std::atomic<bool>& runningFlag, const std::function<void()>& body) {
    if (!runningFlag.load(std::memory_order_acquire)) return;
    for (;;) {
        std::string message;
        try {
            body();
            return;
        } catch (const std::exception& failure) {
            message = failure.what();
        } catch (...) {
            message = kUnknownException;
        }
        ReportThreadFailure(engine, threadName, -1, message);
        if (!runningFlag.load(std::memory_order_acquire)) return;
        // The body runs again even if the flag was cleared meanwhile: bodies check it
        // themselves, and the logging thread still drains its queue on the way out.
        std::this_thread::sleep_for(kRestartDelay);
    }
}

}  // namespace bastion
