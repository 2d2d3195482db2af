// Start, Stop and ApplyConfig, and the pieces of reconfiguration they share.
#include "engine/Lifecycle.h"

#include <algorithm>
#include <chrono>
#include <mutex>
#include <shared_mutex>
#include <thread>

#include "capture/CaptureLoop.h"
#include "conntrack/ConnectionTracking.h"
#include "conntrack/FlowTracking.h"
#include "engine/LocalAddresses.h"
#include "engine/PacketProcessor.h"
#include "platform/Clock.h"
#include "services/Log.h"
#include "services/ServiceLoops.h"
#include "services/Supervision.h"
#include "windivert.h"

namespace bastion {

void TakeAndCloseHandle(std::atomic<HANDLE>& slot, bool cancelIo) {
    HANDLE handle = slot.exchange(nullptr, std::memory_order_acq_rel);
    if (!IsValidHandle(handle)) return;
    if (cancelIo) CancelIoEx(handle, nullptr);
    WinDivertClose(handle);
}

uint32_t WorkerCountFor(uint32_t hardwareThreads) {
    const uint64_t scaled = uint64_t{hardwareThreads} * 8 / 10;
    return static_cast<uint32_t>(std::clamp<uint64_t>(scaled, 5, 36));
}

std::optional<std::string> SlowShutdownWarning(int64_t elapsedMs) {
    if (elapsedMs <= kSlowShutdownMs) return std::nullopt;
    return "[⚠️] WinDivertShutdown took " + std::to_string(elapsedMs) +
           "ms in Stop() - Possible kernel driver issue";
}

uint32_t CaptureWorkerCount() {
    DWORD count = GetActiveProcessorCount(ALL_PROCESSOR_GROUPS);
    if (count == 0) {
        SYSTEM_INFO info{};
        GetSystemInfo(&info);
        count = info.dwNumberOfProcessors;
    }
    return WorkerCountFor(count);
}

namespace {

// Takes the main handle out of its slot and closes it: pending receives are cancelled so
// that the workers let go of it, then the driver stops queueing and sending for it. The
// shutdown is timed because a slow one points at the driver, not at the engine.
void ShutDownCaptureHandle(PacketProcessor& engine) {
    std::lock_guard lock(engine.handleMutex);
    HANDLE handle = engine.captureHandle.exchange(nullptr, std::memory_order_acq_rel);
    if (!IsValidHandle(handle)) return;
    CancelIoEx(handle, nullptr);
    const int64_t started = SteadyNowNs();
    WinDivertShutdown(handle, WINDIVERT_SHUTDOWN_BOTH);
    const int64_t elapsedMs = (SteadyNowNs() - started) / kNsPerMs;
    if (std::optional<std::string> warning = SlowShutdownWarning(elapsedMs)) {
        EmitLogEvent(engine, std::move(*warning));
    }
    WinDivertClose(handle);
}

// Opens the main handle for `config` and puts it in place of the current one. The new
// handle is opened before the old one is closed: when the driver refuses the new filter,
// the handle in force keeps protecting the traffic of the configuration still in force.
// False (and logged) when the open failed; nothing has changed then.
bool ReplaceCaptureHandle(PacketProcessor& engine, const AppConfig& config) {
    const std::string filter = BuildMainFilter(config);
    std::lock_guard lock(engine.handleMutex);
    HANDLE opened =
        WinDivertOpen(filter.c_str(), WINDIVERT_LAYER_NETWORK, kCaptureHandlePriority, 0);
    if (opened == INVALID_HANDLE_VALUE) {
        const DWORD error = GetLastError();
        EmitLogEvent(engine, "❌ [RELOAD FAIL] WinDivertOpen error " + std::to_string(error) +
                                 " - Không thể mở filter mới [vui lòng chạy với quyền "
                                 "administrator]");
        return false;
    }
    if (opened != nullptr) {
        // Failures here leave the driver's defaults, which still capture.
        WinDivertSetParam(opened, WINDIVERT_PARAM_QUEUE_LENGTH, kCaptureQueueLength);
        WinDivertSetParam(opened, WINDIVERT_PARAM_QUEUE_SIZE, kCaptureQueueSize);
        WinDivertSetParam(opened, WINDIVERT_PARAM_QUEUE_TIME, kCaptureQueueTimeMs);
    }
    HANDLE old = engine.captureHandle.exchange(opened, std::memory_order_acq_rel);
    if (IsValidHandle(old)) {
        // Workers blocked on the old handle wake with "cancelled" and reload the slot.
        CancelIoEx(old, nullptr);
        WinDivertShutdown(old, WINDIVERT_SHUTDOWN_BOTH);
        WinDivertClose(old);
    }
    return true;
}

std::string DescribeAddress(const std::string& address, const std::vector<std::string>& detected) {
    if (address.empty()) return "all IP";
    if (!IsAutomaticAddress(address)) return address;
    if (detected.empty()) return "0.0.0.0 (no public IP found)";
    std::string text = "Auto-detect [";
    for (size_t i = 0; i < detected.size(); ++i) {
        if (i != 0) text += ", ";
        text += detected[i];
    }
    return text + "]";
}

std::string DescribePorts(const std::set<uint16_t>& ports) {
    if (IsUnrestrictedPortSet(ports)) return ", all port";
    std::string text = ", port ";
    bool first = true;
    for (uint16_t port : ports) {  // std::set: ascending
        if (!first) text += "+";
        text += std::to_string(port);
        first = false;
    }
    return text;
}

}  // namespace

void ApplyConfiguration(PacketProcessor& engine, const AppConfig& config, const FilterKey& key) {
    {
        std::unique_lock lock(engine.configLock);
        engine.engineConfig = config;
        engine.runtimeState.config = config;
        CopyLogSwitches(engine.logState, config);
        TakeConfig(engine.ruleEngine, config);
    }
    engine.runtimeState.packetLog.SetEnabled(config.packetLogEnabled || config.statsLogEnabled);
    engine.runtimeState.ipLists.SetFirewallBlockDuration(
        std::chrono::seconds(config.firewallBlockDurationSeconds));
    SetFileLogging(engine, config.fileLogEnabled);
    std::lock_guard lock(engine.filterKeyMutex);
    engine.filterKey = key;
}

void LogConfigurationSummary(PacketProcessor& engine, const AppConfig& config) {
    const bool automatic = (config.tcpEnabled && IsAutomaticAddress(config.tcpTargetAddress)) ||
                           (config.udpEnabled && IsAutomaticAddress(config.udpTargetAddress)) ||
                           (config.icmpEnabled && IsAutomaticAddress(config.icmpTargetAddress));
    const std::vector<std::string> detected =
        automatic ? DetectPublicAddresses() : std::vector<std::string>{};

    std::string line = "Cấu hình - ";
    bool first = true;
    auto addPart = [&](std::string part) {
        if (!first) line += " | ";
        line += part;
        first = false;
    };
    if (config.tcpEnabled) {
        addPart("TCP: " + DescribeAddress(config.tcpTargetAddress, detected) +
                DescribePorts(config.tcpPorts));
    }
    if (config.udpEnabled) {
        addPart("UDP: " + DescribeAddress(config.udpTargetAddress, detected) +
                DescribePorts(config.udpPorts));
    }
    if (config.icmpEnabled) addPart("ICMP: " + DescribeAddress(config.icmpTargetAddress, detected));
    EmitLogEvent(engine, std::move(line));
}

bool PacketProcessor::Start() {
    std::lock_guard lifecycle(lifecycleMutex);
    if (!initialised.load(std::memory_order_acquire)) return false;
    if (running.exchange(true, std::memory_order_acq_rel)) return false;

    logState.engineThreadErrors.store(0, std::memory_order_relaxed);
    logState.hadThreadError.store(false, std::memory_order_relaxed);
    {
        std::lock_guard lock(metricsMutex);
        runtimeState.metrics.threadErrorCount = 0;
        runtimeState.metrics.threadErrorActive = false;
        runtimeState.metrics.threadErrorTime = 0;
    }
    droppedLogEvents.store(0, std::memory_order_relaxed);

    // Addresses may have changed since construction; the sets only grow, and no thread
    // that reads them runs yet.
    ResolveApiHostAddresses(*this);
    InitializeLocalInterfaceWhitelist(*this);

    // Stop closed the log file; the configuration in force says whether it is wanted.
    SetFileLogging(*this, logState.fileLogEnabled.load(std::memory_order_relaxed));

    // The previous Stop joined every loop, so none is waiting on the event now.
    if (serviceStopEvent != nullptr) ResetEvent(serviceStopEvent);
    metricsRunning.store(true, std::memory_order_release);
    cleanupRunning.store(true, std::memory_order_release);
    logState.loggingRunning.store(true, std::memory_order_release);
    metricsThread = std::thread([this] {
        RunSupervised(*this, "MetricsLoop", metricsRunning, [this] { MetricsLoop(*this); });
    });
    cleanupThread = std::thread([this] {
        RunSupervised(*this, "CleanupLoop", cleanupRunning, [this] { CleanupLoop(*this); });
    });
    loggingThread = std::thread([this] { RunLoggingThread(*this); });
    flowRunning.store(true, std::memory_order_release);
    flowThread = std::thread(
        [this] { RunSupervised(*this, "FlowLoop", flowRunning, [this] { FlowLoop(*this); }); });

    AppConfig config;
    {
        std::shared_lock lock(configLock);
        config = runtimeState.config;
    }
    ConfigureFlowTracking(*this, config);
    // Peer-based modules go here, in this order: SYN-ACK protection, spoof tracking (the
    // sniff handle), UDP amplification, invalid UDP (no reopen on change).

    workerCount = CaptureWorkerCount();
    workerThreads.reserve(workerCount);
    for (uint32_t i = 0; i < workerCount; ++i) {
        workerThreads.emplace_back([this, i] { CaptureLoop(*this, static_cast<int>(i)); });
    }
    return true;
}

void PacketProcessor::Stop() {
    std::lock_guard lifecycle(lifecycleMutex);
    if (!running.exchange(false, std::memory_order_acq_rel)) return;

    // Sniff handle and its reader go first, then the SYN-ACK protection and UDP
    // amplification handles: they feed on traffic the steps below stop.

    metricsRunning.store(false, std::memory_order_release);
    cleanupRunning.store(false, std::memory_order_release);
    // After the flags: a loop that wakes sees them cleared.
    if (serviceStopEvent != nullptr) SetEvent(serviceStopEvent);
    RequestLoggingStop(*this);  // wakes the logging thread, which drains the queue
    for (std::thread* thread : {&metricsThread, &cleanupThread, &loggingThread}) {
        if (thread->joinable()) thread->join();
    }

    flowRunning.store(false, std::memory_order_release);
    TakeAndCloseHandle(flow.flowHandle, true);
    if (flowThread.joinable()) flowThread.join();

    ShutDownCaptureHandle(*this);
    for (std::thread& worker : workerThreads) {
        if (worker.joinable()) worker.join();
    }
    workerThreads.clear();

    SetFileLogging(*this, false);

    // Forgetting the flow filter makes the next ConfigureFlowTracking reopen the flow handle.
    ClearConnectionTables(*this);
    {
        std::unique_lock lock(flow.flowTableLock);
        flow.flowSeen.clear();
    }
    {
        std::lock_guard lock(flow.flowFilterMutex);
        flow.flowFilterText.clear();
    }
    {
        std::lock_guard lock(metricsMutex);
        runtimeState.metrics.activeConnections = 0;
    }

    // The idle tracker and the signature tables are emptied here, then the protocol
    // validation handle and both drop-filter lanes are closed.
}

void PacketProcessor::ApplyConfig(const AppConfig& newConfig) {
    // A copy: the caller may pass the host's own record, which this call overwrites.
    const AppConfig config = newConfig;
    const FilterKey key = MakeFilterKey(config);
    const HANDLE current = captureHandle.load(std::memory_order_acquire);
    bool sameFilter = false;
    {
        std::lock_guard lock(filterKeyMutex);
        sameFilter = key == filterKey;
    }
    if (sameFilter && IsValidHandle(current)) {
        ApplyConfiguration(*this, config, key);
    } else {
        if (!ReplaceCaptureHandle(*this, config)) return;
        ApplyConfiguration(*this, config, key);
        LogConfigurationSummary(*this, config);
    }

    ConfigureFlowTracking(*this, config);
    // Modules are re-evaluated here, in this order: SYN-ACK protection, spoof tracking,
    // protocol validation (no reopen on change), signature defense, UDP amplification,
    // invalid UDP (no reopen on change), invalid ICMP (no forced reopen).
}

}  // namespace bastion
