// The engine's log state: the event record, the bounded event queue, the log file and the
// sink switches, plus the engine-side record of background-thread failures.
//
// Every message of the engine travels as one LogEvent from a producer (any thread) through
// the queue to the logging thread, which writes it to "log.txt" and the host's packet log.
// The operations are in services/Log.h; thread supervision is in services/Supervision.h.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <fstream>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

namespace bastion {

// One queued message. Move-only: its strings travel from producer to queue to writer
// without being copied.
struct LogEvent {
    // Wall-clock time of the event in 100-ns ticks since 1970-01-01 00:00 UTC.
    uint64_t time = 0;
    // Written to a sink only when non-zero; every engine producer sets 1.
    uint8_t visible = 0;
    // Carried through the queue untouched; producers set 0.
    uint8_t aux = 0;
    // The message line (UTF-8) without time stamp or line end.
    std::string text;
    // Carried with the event; neither sink writes them.
    std::string detail1;
    std::string detail2;

    LogEvent() = default;
    LogEvent(LogEvent&&) noexcept = default;
    LogEvent& operator=(LogEvent&&) noexcept = default;
    LogEvent(const LogEvent&) = delete;
    LogEvent& operator=(const LogEvent&) = delete;
};

// FIFO of log events in one ring of slots. Storage grows by doubling when the ring is full
// and is kept afterwards, so once it has reached its working size pushing and popping only
// move events. The caller bounds the size (LogState::logQueueCapacity).
// Thread-safety: none; guarded by LogState::logQueueMutex.
class LogRing {
  public:
    bool empty() const { return count_ == 0; }
    size_t size() const { return count_; }
    // Storage currently reserved, in events.
    size_t slotCount() const { return slots_.size(); }

    // The i-th oldest event (0 = front); i < size().
    LogEvent& operator[](size_t i) { return slots_[(head_ + i) % slots_.size()]; }

    // Appends at the back. Throws std::bad_alloc only when the storage must grow.
    void PushBack(LogEvent&& event) {
        if (count_ == slots_.size()) Grow();
        slots_[(head_ + count_) % slots_.size()] = std::move(event);
        ++count_;
    }

    // Moves the oldest event out; the ring must not be empty.
    LogEvent PopFront() {
        LogEvent event = std::move(slots_[head_]);
        head_ = (head_ + 1) % slots_.size();
        --count_;
        return event;
    }

  private:
    static constexpr size_t kInitialSlots = 64;

    void Grow() {
        std::vector<LogEvent> larger(slots_.empty() ? kInitialSlots : slots_.size() * 2);
        for (size_t i = 0; i < count_; ++i)
            larger[i] = std::move((*this)[i]);
        slots_.swap(larger);
        head_ = 0;
    }

    std::vector<LogEvent> slots_;
    size_t head_ = 0;
    size_t count_ = 0;
};

// The log state held by the engine object.
//
// Locks: producers take logQueueMutex only by try-lock; the logging thread takes it
// blockingly and never holds it while writing. logFileMutex serialises file writes against
// SetFileLogging (which runs on the host's thread). Neither is held while taking the other.
struct LogState {
    static constexpr size_t kQueueCapacity = 2048;

    // ---- Queue -------------------------------------------------------------------------
    std::mutex logQueueMutex;
    std::condition_variable logQueueCond;  // signalled on every enqueue and at stop
    LogRing logQueue;                      // under logQueueMutex
    // At this many queued events the oldest gives way to a new one.
    size_t logQueueCapacity = kQueueCapacity;

    // ---- File --------------------------------------------------------------------------
    std::mutex logFileMutex;
    // "log.txt" beside the executable; resolved once (at construction, or under
    // logFileMutex); empty until then.
    std::wstring logFilePath;
    std::ofstream logFile;  // under logFileMutex; bytes written without conversion
    // True only while logFile is open for writing.
    std::atomic<bool> fileLogActive{false};

    // ---- Sink switches: the engine's copies of the configuration's log switches ---------
    std::atomic<bool> packetLogEnabled{false};  // events go to the host's packet log
    std::atomic<bool> statsLogEnabled{false};   // statistics lines and verdict reasons
    std::atomic<bool> fileLogEnabled{false};    // the configuration wants the file open

    // ---- Logging thread ----------------------------------------------------------------
    // LoggingLoop runs while set. Clear it with RequestLoggingStop, which also wakes the
    // thread so that it drains the queue and returns.
    std::atomic<bool> loggingRunning{false};

    // ---- Background-thread failures (engine side) ---------------------------------------
    std::atomic<uint64_t> engineThreadErrors{0};  // failures since the last start
    std::atomic<bool> hadThreadError{false};
};

}  // namespace bastion
