// Supervision of the engine's threads: an exception that escapes a thread body becomes a
// log line, a thread-error indication for the host and, for background threads, a restart.
#pragma once

#include <atomic>
#include <functional>
#include <string_view>

namespace bastion {

class PacketProcessor;

// Runs `body` while `runningFlag` is set: returns when the body returns normally; when it
// throws, reports the failure (ReportThreadFailure, worker index -1) and, if the flag is
// still set, runs it again 200 ms later. Does nothing if the flag is clear at entry.
void RunSupervised(PacketProcessor& engine, std::string_view threadName,
                   std::atomic<bool>& runningFlag, const std::function<void()>& body);

// Records a thread failure: counts it in the engine, publishes threadErrorCount,
// threadErrorActive and threadErrorTime in the host's metrics (under metricsMutex) and logs
// "[❌ THREAD] <name>[ #<workerIndex>] gặp lỗi: <message>". `workerIndex` is -1 for the
// single background threads and the worker number for capture workers.
void ReportThreadFailure(PacketProcessor& engine, std::string_view threadName, int workerIndex,
                         std::string_view message);

}  // namespace bastion
