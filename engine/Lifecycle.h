// The engine's life between construction and destruction: Start brings up the background
// threads and the capture workers, Stop tears them down in a fixed order, ApplyConfig
// opens the main divert handle for the configured traffic and applies the rest of the
// configuration in place. The member functions are in engine/Lifecycle.cpp; these are the
// pieces they share with tests and with the other folders.
//
// Driver handles live in atomic slots. Taking one is an exchange with null, so whichever
// path gets the old value is the only one that closes it, even when two paths race.
#pragma once

#include <atomic>
#include <cstdint>
#include <optional>
#include <string>

#include "engine/FilterBuilder.h"
#include "platform/Win32.h"

namespace bastion {

class PacketProcessor;

// Priority of the main inline handle: above every drop-filter module, so that a packet
// the engine passes is not diverted to it again.
inline constexpr INT16 kCaptureHandlePriority = 29983;
// Queue parameters of the main handle: the largest queue the driver accepts.
inline constexpr UINT64 kCaptureQueueLength = 16384;   // packets
inline constexpr UINT64 kCaptureQueueSize = 33554432;  // bytes (32 MiB)
inline constexpr UINT64 kCaptureQueueTimeMs = 1000;    // ms a packet may wait
// A driver shutdown slower than this is reported by Stop.
inline constexpr int64_t kSlowShutdownMs = 500;

// Neither null nor INVALID_HANDLE_VALUE.
inline bool IsValidHandle(HANDLE handle) {
    return handle != nullptr && handle != INVALID_HANDLE_VALUE;
}

// Empties `slot` and closes what it held, once: cancels its pending I/O first when
// `cancelIo` (which wakes readers blocked on it) and does nothing for an invalid value.
void TakeAndCloseHandle(std::atomic<HANDLE>& slot, bool cancelIo);

// Capture workers for a machine with `hardwareThreads` logical processors: 80 % of them,
// at least 5 and at most 36.
uint32_t WorkerCountFor(uint32_t hardwareThreads);
// The capture workers Start launches on this machine (its logical processors, as the
// platform reports them).
uint32_t CaptureWorkerCount();

// The warning Stop logs when shutting the main handle down took `elapsedMs`; none at or
// below kSlowShutdownMs.
std::optional<std::string> SlowShutdownWarning(int64_t elapsedMs);

// The in-place part of a reconfiguration: the engine's and the host's copy of `config`,
// the log switches, the packet log, the block duration, and `key` as the filter key.
void ApplyConfiguration(PacketProcessor& engine, const AppConfig& config, const FilterKey& key);

// Logs "Cấu hình - " and one part per enabled protocol (TCP, UDP, ICMP) joined with " | ":
// its target address ("all IP", the detected addresses for "0.0.0.0", or the text) and,
// for TCP and UDP, its ports (", all port" or ", port 80+443").
void LogConfigurationSummary(PacketProcessor& engine, const AppConfig& config);

}  // namespace bastion
