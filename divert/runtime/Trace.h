// An optional record of diversion API calls, so a test can check what the engine asked of
// the driver ("one SendEx of 8 packets", "Open at priority 29983 with this filter").
// Off by default; while off a call pays one relaxed atomic load.
//
// Thread-safety: all functions may be called from any thread; records of concurrent calls
// appear in the order the calls returned.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "windivert.h"

namespace divert {

enum class ApiFunction { Open, Close, Shutdown, Recv, RecvEx, Send, SendEx, SetParam, GetParam };

const char* ApiFunctionName(ApiFunction function);

struct TraceRecord {
    ApiFunction function = ApiFunction::Open;
    HANDLE handle = nullptr;  // Open: the handle returned
    uint32_t packets = 0;     // Recv: packets returned; Send: packets in the batch (addrLen / 80)
    uint32_t bytes = 0;       // Recv: bytes returned; Send: packetLen passed
    bool overlapped = false;  // an OVERLAPPED was passed
    BOOL result = FALSE;
    DWORD error = 0;  // GetLastError after a FALSE result, else 0
    // Open
    std::string filter;
    int layer = WINDIVERT_LAYER_NETWORK;  // as passed, possibly out of range
    INT16 priority = 0;
    UINT64 flags = 0;
    // Shutdown: how; SetParam/GetParam: the parameter and the value set or read
    uint64_t argument = 0;
    uint64_t value = 0;
};

void SetTraceEnabled(bool enabled);
// Returns and clears the records so far.
std::vector<TraceRecord> TakeTrace();

namespace trace_internal {
bool Enabled();
void Append(TraceRecord record);
}  // namespace trace_internal

}  // namespace divert
