#include <algorithm>
#include <cstddef>
#include <cstring>
#include <mutex>
#include <new>
#include <vector>

#include "conntrack/ConnectionTableOps.h"
#include "conntrack/ConnectionTracking.h"
#include "engine/PacketProcessor.h"
#include "platform/Win32.h"

namespace bastion {
namespace {

constexpr int kTableAttempts = 3;
// Slack on top of the announced size: the table may grow between the two calls.
constexpr DWORD kTableSlack = 1024;

// Reads the system's IPv4 TCP connections into `buffer`. False when the table could not be
// read in kTableAttempts rounds of the size protocol, or reads as empty.
bool ReadSystemTcpTable(std::vector<unsigned char>& buffer, DWORD& filled) {
    for (int attempt = 0; attempt < kTableAttempts; ++attempt) {
        DWORD size = 0;
        GetExtendedTcpTable(nullptr, &size, FALSE, AF_INET, TCP_TABLE_OWNER_PID_CONNECTIONS, 0);
        if (size == 0) return false;
        filled = size + kTableSlack;
        buffer.resize(filled);
        DWORD result = GetExtendedTcpTable(buffer.data(), &filled, FALSE, AF_INET,
                                           TCP_TABLE_OWNER_PID_CONNECTIONS, 0);
        if (result == NO_ERROR) {
            filled = static_cast<DWORD>(buffer.size());
            return true;
        }
        if (result != ERROR_INSUFFICIENT_BUFFER) return false;
    }
    return false;
}

// The established connections of a MIB_TCPTABLE_OWNER_PID image of `length` bytes. The
// row count is trusted only as far as the bytes reach.
ConnectionKeySet EstablishedConnections(const unsigned char* image, size_t length) {
    constexpr size_t kHeader = offsetof(MIB_TCPTABLE_OWNER_PID, table);
    ConnectionKeySet established;
    if (length < kHeader) return established;
    DWORD announced = 0;
    std::memcpy(&announced, image, sizeof(announced));
    size_t rows = std::min<size_t>(announced, (length - kHeader) / sizeof(MIB_TCPROW_OWNER_PID));
    established.reserve(rows);
    for (size_t i = 0; i < rows; ++i) {
        MIB_TCPROW_OWNER_PID row;
        std::memcpy(&row, image + kHeader + i * sizeof(row), sizeof(row));
        if (row.dwState != MIB_TCP_STATE_ESTAB) continue;
        ConnectionKey key;
        key.remoteAddr = ntohl(row.dwRemoteAddr);
        key.localAddr = ntohl(row.dwLocalAddr);
        key.remotePort = ntohs(static_cast<uint16_t>(row.dwRemotePort & 0xFFFF));
        key.localPort = ntohs(static_cast<uint16_t>(row.dwLocalPort & 0xFFFF));
        established.try_emplace(key);
    }
    return established;
}

}  // namespace

void PublishActiveConnections(PacketProcessor& engine) {
    std::lock_guard lock(engine.metricsMutex);
    engine.runtimeState.metrics.activeConnections =
        engine.connections.activeAddressCount.load(std::memory_order_relaxed);
}

void RefreshTcpConnectionTable(PacketProcessor& engine) {
    ConnectionKeySet established;
    try {
        std::vector<unsigned char> buffer;
        DWORD filled = 0;
        if (!ReadSystemTcpTable(buffer, filled)) return;
        established = EstablishedConnections(buffer.data(), filled);
    } catch (const std::bad_alloc&) {
        return;  // a table too large for memory is skipped like an unreadable one
    }
    ReconcileResult result;
    {
        std::unique_lock lock(engine.connections.connTableLock);
        result = ReconcileWithSystem(engine.connections, established);
    }
    if (result.removedInbound > 0) PublishActiveConnections(engine);
}

void RebuildConnectionCounts(PacketProcessor& engine) {
    RecountResult result;
    {
        std::unique_lock lock(engine.connections.connTableLock);
        result = RecountConnections(engine.connections);
    }
    if (result.inboundChanged) PublishActiveConnections(engine);
}

void ForgetSourceConnections(PacketProcessor& engine, uint32_t address) {
    bool addressGone = false;
    {
        std::vector<ConnectionKey> forgotten;
        std::unique_lock lock(engine.connections.connTableLock);
        addressGone = ForgetAddress(engine.connections, address, forgotten);
        // Each forgotten key also leaves the idle-connection tracker here, under this lock,
        // once idle-connection detection keeps one.
    }
    if (addressGone) PublishActiveConnections(engine);
}

void ClearConnectionTables(PacketProcessor& engine) {
    {
        std::unique_lock lock(engine.connections.connTableLock);
        ClearTables(engine.connections, true);
    }
    PublishActiveConnections(engine);
}

}  // namespace bastion
