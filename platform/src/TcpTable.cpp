// GetExtendedTcpTable over the current world's TCP table.
//
// Every call reads the world afresh, as the real call does: between the size query and the
// call with the buffer the table may grow, and the caller sees ERROR_INSUFFICIENT_BUFFER
// again.
#include <algorithm>
#include <cstddef>
#include <cstring>
#include <new>
#include <tuple>
#include <vector>

#include "platform/SystemTables.h"
#include "platform/Win32.h"

namespace {

bool Selected(platform::TcpState state, TCP_TABLE_CLASS tableClass) {
    bool listener = state == platform::TcpState::Listen;
    switch (tableClass) {
        case TCP_TABLE_OWNER_PID_LISTENER:
            return listener;
        case TCP_TABLE_OWNER_PID_CONNECTIONS:
            return !listener;
        default:
            return true;
    }
}

MIB_TCPROW_OWNER_PID ToMibRow(const platform::TcpRow& row) {
    MIB_TCPROW_OWNER_PID mib{};
    mib.dwState = static_cast<DWORD>(row.state);
    mib.dwLocalAddr = htonl(row.localAddr);
    mib.dwLocalPort = htons(row.localPort);
    mib.dwRemoteAddr = htonl(row.remoteAddr);
    mib.dwRemotePort = htons(row.remotePort);
    mib.dwOwningPid = row.pid;
    return mib;
}

}  // namespace

extern "C" DWORD GetExtendedTcpTable(PVOID tcpTable, PDWORD size, BOOL order, ULONG addressFamily,
                                     TCP_TABLE_CLASS tableClass, ULONG /*reserved*/) {
    if (size == nullptr) return ERROR_INVALID_PARAMETER;
    if (addressFamily == AF_INET6) return ERROR_NOT_SUPPORTED;
    if (addressFamily != AF_INET) return ERROR_INVALID_PARAMETER;
    if (tableClass != TCP_TABLE_OWNER_PID_LISTENER &&
        tableClass != TCP_TABLE_OWNER_PID_CONNECTIONS && tableClass != TCP_TABLE_OWNER_PID_ALL) {
        return ERROR_INVALID_PARAMETER;
    }

    try {
        std::vector<platform::TcpRow> rows = platform::CurrentSystemTables()->TcpTable();
        std::erase_if(rows, [tableClass](const platform::TcpRow& row) {
            return !Selected(row.state, tableClass);
        });

        size_t needed =
            offsetof(MIB_TCPTABLE_OWNER_PID, table) + rows.size() * sizeof(MIB_TCPROW_OWNER_PID);
        needed = std::max(needed, sizeof(MIB_TCPTABLE_OWNER_PID));
        if (needed > UINT32_MAX) return ERROR_NOT_ENOUGH_MEMORY;
        if (tcpTable == nullptr || *size < needed) {
            *size = static_cast<DWORD>(needed);
            return ERROR_INSUFFICIENT_BUFFER;
        }

        if (order) {
            std::sort(rows.begin(), rows.end(), [](const auto& a, const auto& b) {
                return std::tie(a.localAddr, a.localPort, a.remoteAddr, a.remotePort) <
                       std::tie(b.localAddr, b.localPort, b.remoteAddr, b.remotePort);
            });
        }
        // Copied through memcpy: a caller's buffer need not be aligned for DWORDs.
        DWORD count = static_cast<DWORD>(rows.size());
        std::memcpy(tcpTable, &count, sizeof(count));
        auto* out = static_cast<unsigned char*>(tcpTable) + offsetof(MIB_TCPTABLE_OWNER_PID, table);
        for (const platform::TcpRow& row : rows) {
            MIB_TCPROW_OWNER_PID mib = ToMibRow(row);
            std::memcpy(out, &mib, sizeof(mib));
            out += sizeof(mib);
        }
        return NO_ERROR;
    } catch (const std::bad_alloc&) {
        return ERROR_NOT_ENOUGH_MEMORY;
    }
}
