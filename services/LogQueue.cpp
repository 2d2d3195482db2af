// The log queue: producers' EmitLogEvent and the logging thread that drains it.
#include <exception>
#include <new>
#include <utility>

#include "engine/PacketProcessor.h"
#include "platform/Clock.h"
#include "services/Log.h"
#include "services/Supervision.h"

namespace bastion {
namespace {

// Depth of EmitLogEvent calls (and LogNestingScopes) in progress on this thread.
thread_local int32_t tLogNesting = 0;

// Logging from inside logging is allowed one level deep; the third level is discarded.
constexpr int32_t kMaxLogNesting = 2;

bool AnySinkOn(const LogState& log) {
    return log.packetLogEnabled.load(std::memory_order_relaxed) ||
           log.statsLogEnabled.load(std::memory_order_relaxed) ||
           log.fileLogEnabled.load(std::memory_order_relaxed) ||
           log.fileLogActive.load(std::memory_order_relaxed);
}

}  // namespace

LogNestingScope::LogNestingScope() {
    ++tLogNesting;
}
LogNestingScope::~LogNestingScope() {
    --tLogNesting;
}
int LogNestingScope::Depth() {
    return tLogNesting;
}

void EmitLogEvent(PacketProcessor& engine, LogEvent&& event) noexcept {
    if (tLogNesting >= kMaxLogNesting) return;
    LogNestingScope nesting;

    LogState& log = engine.logState;
    if (!AnySinkOn(log)) return;

    std::unique_lock lock(log.logQueueMutex, std::try_to_lock);
    if (!lock.owns_lock()) {
        engine.droppedLogEvents.fetch_add(1, std::memory_order_relaxed);
        return;
    }
    if (log.logQueue.size() >= log.logQueueCapacity) {
        log.logQueue.PopFront();
        engine.droppedLogEvents.fetch_add(1, std::memory_order_relaxed);
    }
    try {
        log.logQueue.PushBack(std::move(event));
    } catch (const std::bad_alloc&) {
        // Only growing the ring allocates; without memory the event is lost, and counted.
        engine.droppedLogEvents.fetch_add(1, std::memory_order_relaxed);
        return;
    }
    lock.unlock();
    log.logQueueCond.notify_one();
}

void EmitLogEvent(PacketProcessor& engine, std::string text) noexcept {
    LogEvent event;
    event.time = static_cast<uint64_t>(WallTicksNow());
    event.visible = 1;
    event.text = std::move(text);
    EmitLogEvent(engine, std::move(event));
}

void LoggingLoop(PacketProcessor& engine) {
    LogState& log = engine.logState;
    while (log.loggingRunning.load(std::memory_order_acquire)) {
        LogEvent event;
        {
            std::unique_lock lock(log.logQueueMutex);
            log.logQueueCond.wait(lock, [&] {
                return !log.logQueue.empty() || !log.loggingRunning.load(std::memory_order_acquire);
            });
            if (log.logQueue.empty()) break;
            event = log.logQueue.PopFront();
        }
        WriteLogEvent(engine, std::move(event));
    }

    DrainLogQueue(engine);
}

void DrainLogQueue(PacketProcessor& engine) {
    LogState& log = engine.logState;
    std::unique_lock lock(log.logQueueMutex);
    for (size_t pending = log.logQueue.size(); pending > 0 && !log.logQueue.empty(); --pending) {
        LogEvent event = log.logQueue.PopFront();
        lock.unlock();
        WriteLogEvent(engine, std::move(event));
        lock.lock();
    }
}

void RunLoggingThread(PacketProcessor& engine) {
    RunSupervised(engine, "LoggingLoop", engine.logState.loggingRunning,
                  [&engine] { LoggingLoop(engine); });
    try {
        DrainLogQueue(engine);
    } catch (const std::exception& failure) {
        ReportThreadFailure(engine, "LoggingLoop", -1, failure.what());
    }
}

void RequestLoggingStop(PacketProcessor& engine) {
    LogState& log = engine.logState;
    {
        // Clearing the flag under the lock orders it against the waiter's predicate check:
        // the waiter either sees the flag clear or is already waiting when we notify.
        std::lock_guard lock(log.logQueueMutex);
        log.loggingRunning.store(false, std::memory_order_release);
    }
    log.logQueueCond.notify_all();
}

}  // namespace bastion
