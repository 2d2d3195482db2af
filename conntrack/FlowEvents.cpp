// Bookkeeping of one flow event, and the texts of the flow layer.
#include <mutex>
#include <shared_mutex>
#include <string>

#include "conntrack/ConnectionTableOps.h"
#include "conntrack/ConnectionTracking.h"
#include "conntrack/FlowTracking.h"
#include "engine/PacketProcessor.h"

namespace bastion {
namespace {

constexpr UINT8 kTcp = 6;
constexpr size_t kShownFilterBytes = 256;

// The first `limit` bytes of `text`, shortened further so as not to split a UTF-8 sequence.
std::string Utf8Prefix(const std::string& text, size_t limit) {
    if (text.size() <= limit) return text;
    size_t end = limit;
    while (end > 0 && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80)
        --end;
    return text.substr(0, end);
}

}  // namespace

bool IsTrackedFlowEvent(const WINDIVERT_ADDRESS& event) {
    if (event.Event != WINDIVERT_EVENT_FLOW_ESTABLISHED &&
        event.Event != WINDIVERT_EVENT_FLOW_DELETED) {
        return false;
    }
    if (event.IPv6 || event.Flow.Protocol != kTcp) return false;
    return event.Flow.LocalAddr[0] != 0 && event.Flow.RemoteAddr[0] != 0;
}

void ApplyFlowEvent(PacketProcessor& engine, const WINDIVERT_ADDRESS& event, int64_t now,
                    FlowSource source) {
    const WINDIVERT_DATA_FLOW& flow = event.Flow;
    // Read under connTableLock: the switch-off exchanges the handle out before it takes the
    // lock to clear the tables.
    auto trackingOff = [&engine, source] {
        if (source != FlowSource::OpenHandle) return false;
        HANDLE handle = engine.flow.flowHandle.load(std::memory_order_acquire);
        return handle == nullptr || handle == INVALID_HANDLE_VALUE;
    };
    bool established = event.Event == WINDIVERT_EVENT_FLOW_ESTABLISHED;
    ConnectionTables& tables = engine.connections;

    if (event.Outbound) {
        OutboundKey key;
        key.localAddr = flow.LocalAddr[0];
        key.remoteAddr = flow.RemoteAddr[0];
        key.localPort = flow.LocalPort;
        key.remotePort = flow.RemotePort;
        std::unique_lock lock(tables.connTableLock);
        if (trackingOff()) return;
        if (established) {
            AddOutboundConnection(tables, key, now);
        } else {
            RemoveOutboundConnection(tables, key);
        }
        return;
    }

    ConnectionKey key;
    key.remoteAddr = flow.RemoteAddr[0];
    key.localAddr = flow.LocalAddr[0];
    key.remotePort = flow.RemotePort;
    key.localPort = flow.LocalPort;
    InboundChange change;
    {
        std::unique_lock lock(tables.connTableLock);
        if (trackingOff()) return;
        if (established) {
            change = AddInboundConnection(tables, key, now);
            // Idle-connection detection takes every establishment, new or repeated, here:
            // under this lock, for remote addresses that are neither allow-listed nor the
            // machine's own or the vendor API host's (TrackNewConnection).
            if (change.added) {
                std::unique_lock seenLock(engine.flow.flowTableLock);
                engine.flow.flowSeen[key.remoteAddr] = now;
            }
        } else {
            change = RemoveInboundConnection(tables, key);
        }
    }
    if (change.addressSetChanged) PublishActiveConnections(engine);
}

std::string FormatFlowFilterWarning(const std::string& filter, UINT errorPosition,
                                    const char* errorString) {
    std::string text =
        "⚠️ [FLOW] Filter không hợp lệ tại vị trí " + std::to_string(errorPosition);
    if (errorString != nullptr) {
        text += " (";
        text += errorString;
        text += ")";
    }
    if (!filter.empty()) {
        text += " | filter: ";
        text += Utf8Prefix(filter, kShownFilterBytes);
        if (filter.size() > kShownFilterBytes) text += "…";
    }
    text += " → dùng filter mặc định '";
    text += kDefaultFlowFilter;
    text += "'";
    return text;
}

}  // namespace bastion
