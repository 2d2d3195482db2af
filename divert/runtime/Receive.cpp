// WinDivertRecv and WinDivertRecvEx: argument checks, then the handle's queue.
#include "divert/runtime/ApiSupport.h"

using divert::ApiFunction;
using divert::Fail;
using divert::TraceScope;

namespace {

BOOL ReceiveCall(TraceScope& trace, HANDLE handle, VOID* pPacket, UINT packetLen, UINT* pRecvLen,
                 UINT64 flags, WINDIVERT_ADDRESS* pAddr, UINT* pAddrLen,
                 LPOVERLAPPED lpOverlapped) {
    if (flags != 0) return Fail(ERROR_INVALID_PARAMETER);
    if (pAddrLen != nullptr) {
        if (*pAddrLen < divert::kAddressBytes || *pAddrLen > divert::kMaxAddressBytes ||
            pAddr == nullptr) {
            return Fail(ERROR_INVALID_PARAMETER);
        }
    }
    auto h = divert::LookupDivertHandle(handle);
    if (!h) return FALSE;
    if (h->Flags() & WINDIVERT_FLAG_SEND_ONLY) return Fail(ERROR_INVALID_PARAMETER);

    divert::RecvRequest request;
    request.buffer = static_cast<uint8_t*>(pPacket);
    request.bufferLength = pPacket != nullptr ? packetLen : 0;
    request.addresses = pAddr;
    request.addressCapacity = pAddrLen != nullptr ? *pAddrLen / divert::kAddressBytes : 1;
    request.pAddrLen = pAddrLen;
    request.overlapped = lpOverlapped;
    UINT received = 0;
    if (!h->Receive(request, &received)) return FALSE;
    if (pRecvLen != nullptr) *pRecvLen = received;
    if (trace.Active()) {
        trace.Record().bytes = received;
        trace.Record().packets = pAddrLen != nullptr ? *pAddrLen / divert::kAddressBytes : 1;
    }
    return TRUE;
}

}  // namespace

extern "C" BOOL WinDivertRecvEx(HANDLE handle, VOID* pPacket, UINT packetLen, UINT* pRecvLen,
                                UINT64 flags, WINDIVERT_ADDRESS* pAddr, UINT* pAddrLen,
                                LPOVERLAPPED lpOverlapped) {
    TraceScope trace(ApiFunction::RecvEx, handle);
    trace.Record().overlapped = lpOverlapped != nullptr;
    return trace.Finish(ReceiveCall(trace, handle, pPacket, packetLen, pRecvLen, flags, pAddr,
                                    pAddrLen, lpOverlapped));
}

extern "C" BOOL WinDivertRecv(HANDLE handle, VOID* pPacket, UINT packetLen, UINT* pRecvLen,
                              WINDIVERT_ADDRESS* pAddr) {
    TraceScope trace(ApiFunction::Recv, handle);
    return trace.Finish(
        ReceiveCall(trace, handle, pPacket, packetLen, pRecvLen, 0, pAddr, nullptr, nullptr));
}
