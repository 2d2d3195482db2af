// Handle life: WinDivertOpen, WinDivertShutdown, WinDivertClose, the parameters, and the
// world entry points.
#include <vector>

#include "divert/runtime/ApiSupport.h"
#include "divert/runtime/Dispatch.h"
#include "divert/runtime/Faults.h"
#include "divert/runtime/Registry.h"
#include "divert/runtime/Ticks.h"
#include "divert/runtime/World.h"

namespace divert {
namespace {

constexpr UINT64 kKnownFlags = 0x3F;

bool FlagsValid(UINT64 flags) {
    if (flags & ~kKnownFlags) return false;
    if ((flags & WINDIVERT_FLAG_SNIFF) && (flags & WINDIVERT_FLAG_DROP)) return false;
    if ((flags & WINDIVERT_FLAG_RECV_ONLY) && (flags & WINDIVERT_FLAG_SEND_ONLY)) return false;
    return true;
}

bool HasLayerFlags(WINDIVERT_LAYER layer, UINT64 flags) {
    const UINT64 sniffRecv = WINDIVERT_FLAG_SNIFF | WINDIVERT_FLAG_RECV_ONLY;
    switch (layer) {
        case WINDIVERT_LAYER_FLOW:
        case WINDIVERT_LAYER_REFLECT:
            return (flags & sniffRecv) == sniffRecv;
        case WINDIVERT_LAYER_SOCKET:
            return (flags & WINDIVERT_FLAG_RECV_ONLY) != 0;
        default:
            return true;
    }
}

PacketMeta MetaOf(const WINDIVERT_ADDRESS& a) {
    PacketMeta meta;
    meta.outbound = a.Outbound;
    meta.loopback = a.Loopback;
    meta.impostor = a.Impostor;
    meta.ipChecksum = a.IPChecksum;
    meta.tcpChecksum = a.TCPChecksum;
    meta.udpChecksum = a.UDPChecksum;
    meta.ifIdx = a.Network.IfIdx;
    meta.subIfIdx = a.Network.SubIfIdx;
    meta.worldTag = WorldTagOf(a);
    return meta;
}

HANDLE OpenHandle(const char* filter, int rawLayer, INT16 priority, UINT64 flags) {
    if (rawLayer < WINDIVERT_LAYER_NETWORK || rawLayer > WINDIVERT_LAYER_REFLECT ||
        !FlagsValid(flags) || priority < WINDIVERT_PRIORITY_LOWEST ||
        priority > WINDIVERT_PRIORITY_HIGHEST || filter == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    const auto layer = static_cast<WINDIVERT_LAYER>(rawLayer);
    filter::CompileResult compiled = filter::Compile(filter, layer);
    if (!compiled.program) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    if (auto error = faults_internal::TakeOpenFailure(priority, flags)) {
        SetLastError(*error);
        return INVALID_HANDLE_VALUE;
    }
    if (!HasLayerFlags(layer, flags)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    // Routed traffic, socket and handle events are not emulated.
    if (layer != WINDIVERT_LAYER_NETWORK && layer != WINDIVERT_LAYER_FLOW) {
        SetLastError(ERROR_NOT_SUPPORTED);
        return INVALID_HANDLE_VALUE;
    }
    uint64_t sequence = 0;
    uint32_t internalPriority = NextInternalPriority(priority, &sequence);
    auto handle = std::make_shared<DivertHandle>(
        layer, priority, flags, std::move(compiled.program), internalPriority, sequence);
    HANDLE value = platform::RegisterObject(handle);
    handle->SetHandle(value);
    RegisterHandle(std::move(handle));
    return value;
}

BOOL CloseDivertHandle(HANDLE value) {
    std::shared_ptr<DivertHandle> handle = LookupDivertHandle(value);
    if (!handle) return FALSE;
    if (!platform::UnregisterObject(value)) return Fail(ERROR_INVALID_HANDLE);  // lost a race
    UnregisterHandle(handle.get());
    PacketQueue rest = handle->BeginClose();

    // Queued packets the application never read: fresh diverted ones continue past this
    // handle; expired ones and sniffed copies are lost.
    const int64_t now = NowTicks();
    const int64_t maxAge = handle->QueueTimeTicks();
    std::vector<PacketRef> pass;
    uint64_t expired = 0, discarded = 0;
    for (size_t i = 0; i < rest.Size(); ++i) {
        const PacketQueue::Entry& entry = rest.At(i);
        if (now - entry.address.Timestamp > maxAge) {
            ++expired;
        } else if (handle->IsSniff() || handle->Layer() != WINDIVERT_LAYER_NETWORK) {
            ++discarded;
        } else {
            pass.push_back(PacketRef{rest.DataOf(entry), entry.length, MetaOf(entry.address)});
        }
    }
    handle->CountExpired(expired);
    handle->CountDiscardedAtClose(discarded);
    handle->CountReinjectedAtClose(pass.size());
    DispatchNetwork(pass.data(), pass.size(), handle->InternalPriority());

    if (std::shared_ptr<World> world = CurrentWorld())
        world->HandleClosed(value, handle->Counters());
    return TRUE;
}

}  // namespace

std::shared_ptr<DivertHandle> LookupDivertHandle(HANDLE value) {
    auto handle = platform::LookupObjectAs<DivertHandle>(value);
    if (!handle) SetLastError(ERROR_INVALID_HANDLE);
    return handle;
}

void SetWorld(std::shared_ptr<World> world) {
    std::shared_ptr<platform::SystemTables> tables = world ? world->Tables() : nullptr;
    PublishWorld(std::move(world));
    platform::SetSystemTables(std::move(tables));
}

std::shared_ptr<World> CurrentWorld() {
    return CurrentHandles()->world;
}

void Ingress(const PacketRef* packets, size_t count) {
    DispatchNetwork(packets, count, kFromWorld);
}

void RaiseFlowEvent(const FlowEvent& event) {
    DispatchFlow(event);
}

bool GetHandleCounters(HANDLE value, HandleCounters* counters) {
    auto handle = platform::LookupObjectAs<DivertHandle>(value);
    if (!handle) return false;
    *counters = handle->Counters();
    return true;
}

}  // namespace divert

using divert::ApiFunction;
using divert::Fail;
using divert::TraceScope;

extern "C" HANDLE WinDivertOpen(const char* filter, WINDIVERT_LAYER layer, INT16 priority,
                                UINT64 flags) {
    const int rawLayer = divert::RawValue(layer);
    HANDLE handle = divert::OpenHandle(filter, rawLayer, priority, flags);
    TraceScope trace(ApiFunction::Open, handle);
    if (trace.Active()) {
        divert::TraceRecord& r = trace.Record();
        r.filter = filter != nullptr ? filter : "";
        r.layer = rawLayer;
        r.priority = priority;
        r.flags = flags;
    }
    trace.Finish(handle != INVALID_HANDLE_VALUE);
    return handle;
}

extern "C" BOOL WinDivertClose(HANDLE handle) {
    TraceScope trace(ApiFunction::Close, handle);
    return trace.Finish(divert::CloseDivertHandle(handle));
}

extern "C" BOOL WinDivertShutdown(HANDLE handle, WINDIVERT_SHUTDOWN how) {
    TraceScope trace(ApiFunction::Shutdown, handle);
    const int rawHow = divert::RawValue(how);
    trace.Record().argument = static_cast<uint64_t>(rawHow);
    if (rawHow < WINDIVERT_SHUTDOWN_RECV || rawHow > WINDIVERT_SHUTDOWN_BOTH) {
        return trace.Finish(Fail(ERROR_INVALID_PARAMETER));
    }
    auto h = divert::LookupDivertHandle(handle);
    if (!h) return trace.Finish(FALSE);
    if (h->Closing()) return trace.Finish(Fail(ERROR_BAD_COMMAND));
    h->Shutdown(static_cast<WINDIVERT_SHUTDOWN>(rawHow));
    return trace.Finish(TRUE);
}

extern "C" BOOL WinDivertSetParam(HANDLE handle, WINDIVERT_PARAM param, UINT64 value) {
    TraceScope trace(ApiFunction::SetParam, handle);
    const int rawParam = divert::RawValue(param);
    trace.Record().argument = static_cast<uint64_t>(rawParam);
    trace.Record().value = value;
    auto h = divert::LookupDivertHandle(handle);
    if (!h) return trace.Finish(FALSE);
    if (h->Closing()) return trace.Finish(Fail(ERROR_BAD_COMMAND));
    if (rawParam < WINDIVERT_PARAM_QUEUE_LENGTH || rawParam > WINDIVERT_PARAM_QUEUE_SIZE) {
        return trace.Finish(Fail(ERROR_INVALID_PARAMETER));
    }
    return trace.Finish(h->SetParam(static_cast<WINDIVERT_PARAM>(rawParam), value));
}

extern "C" BOOL WinDivertGetParam(HANDLE handle, WINDIVERT_PARAM param, UINT64* pValue) {
    TraceScope trace(ApiFunction::GetParam, handle);
    const int rawParam = divert::RawValue(param);
    trace.Record().argument = static_cast<uint64_t>(rawParam);
    auto h = divert::LookupDivertHandle(handle);
    if (!h) return trace.Finish(FALSE);
    if (h->Closing()) return trace.Finish(Fail(ERROR_BAD_COMMAND));
    if (pValue == nullptr || rawParam < WINDIVERT_PARAM_QUEUE_LENGTH ||
        rawParam > WINDIVERT_PARAM_MAX) {
        return trace.Finish(Fail(ERROR_INVALID_PARAMETER));
    }
    BOOL ok = h->GetParam(static_cast<WINDIVERT_PARAM>(rawParam), pValue);
    if (ok) trace.Record().value = *pValue;
    return trace.Finish(ok);
}
