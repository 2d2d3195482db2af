// The engine's log: how every subsystem reports an event, the logging thread that writes
// events to "log.txt" and the host's packet log, and the log file's life.
//
// Producers never wait: EmitLogEvent takes the queue lock by try-lock, so a busy lock or a
// full queue costs one event (counted in droppedLogEvents), never a stalled packet.
#pragma once

#include <string>

#include "services/LogState.h"

namespace bastion {

class PacketProcessor;
struct AppConfig;

// Queues `event` for the sinks. Never blocks on the queue lock and never throws. The
// event is discarded, uncounted, when every sink is off or when this thread is already two
// EmitLogEvent calls deep; it is discarded and counted in droppedLogEvents when the queue
// lock is busy. A full queue drops (and counts) its oldest event instead.
void EmitLogEvent(PacketProcessor& engine, LogEvent&& event) noexcept;

// The usual way to log: `text` stamped with the current wall-clock time, visible.
void EmitLogEvent(PacketProcessor& engine, std::string text) noexcept;

// Body of the "LoggingLoop" thread: writes queued events while loggingRunning is set, then
// drains whatever is still queued and returns. Nothing queued before the stop is lost.
void LoggingLoop(PacketProcessor& engine);

// Writes what is queued now (logging thread only), releasing the queue lock around every
// write. Later events stay queued: capture workers still log while the engine stops and
// could otherwise keep the queue from ever emptying.
void DrainLogQueue(PacketProcessor& engine);

// The logging thread's whole life: LoggingLoop under supervision while loggingRunning is
// set, then a last drain, so that a stop that comes before the thread got going, or while
// a failed body waits for its restart, still finds every earlier event written.
void RunLoggingThread(PacketProcessor& engine);

// Clears loggingRunning and wakes the logging thread so that it drains and returns. The
// flag is cleared under the queue lock, so a thread about to wait cannot miss the wake-up.
void RequestLoggingStop(PacketProcessor& engine);

// Writes one event to the sinks (logging thread only). Takes the event's text over for the
// host's packet log. Events that are not visible or have no text are written nowhere.
void WriteLogEvent(PacketProcessor& engine, LogEvent&& event);

// "[YYYY-MM-DD hh:mm:ss.mmm] text" in the local time zone.
std::string FormatLogLine(const LogEvent& event);

// Computes logFilePath once: "log.txt" in the executable's directory, else in the current
// directory, else plain "log.txt". Does nothing when the path is already known.
void ResolveLogFilePath(PacketProcessor& engine);

// Copies the configuration's log switches into the engine's sink switches.
void CopyLogSwitches(LogState& log, const AppConfig& config);

// Opens the log file for appending (enable) or closes it. An open failure leaves file
// logging off and reports the path to the packet log.
void SetFileLogging(PacketProcessor& engine, bool enable);

// Raises this thread's log nesting depth for its lifetime, exactly as an EmitLogEvent call
// in progress does. Code that logs while writing a log event (a sink reporting its own
// trouble) runs inside one, so that a loop of logging about logging ends at two levels.
class LogNestingScope {
  public:
    LogNestingScope();
    ~LogNestingScope();
    LogNestingScope(const LogNestingScope&) = delete;
    LogNestingScope& operator=(const LogNestingScope&) = delete;

    // This thread's current depth.
    static int Depth();
};

}  // namespace bastion
