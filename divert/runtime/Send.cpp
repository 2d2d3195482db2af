// WinDivertSend and WinDivertSendEx: batch validation, the driver's checksum and TTL
// fixes, then re-injection below the sending handle.
#include <cstring>
#include <memory>
#include <vector>

#include "divert/packet/Packet.h"
#include "divert/runtime/ApiSupport.h"
#include "divert/runtime/Dispatch.h"
#include "divert/runtime/Faults.h"
#include "divert/runtime/Registry.h"

using divert::ApiFunction;
using divert::Fail;
using divert::TraceScope;

namespace divert {
namespace {

struct SendScratch {
    std::vector<PacketRef> packets;
    std::vector<uint8_t> copies;  // mirrors the caller's buffer where a packet had to change
};

thread_local std::vector<std::unique_ptr<SendScratch>> tlsSendScratch;
thread_local size_t tlsSendDepth = 0;

inline uint16_t Load16(const uint8_t* p) {
    return static_cast<uint16_t>((p[0] << 8) | p[1]);
}

// One's-complement update of the IPv4 header checksum after the TTL byte dropped by one
// (the TTL is the high byte of the 16-bit word at offset 8).
void DecrementIPv4Ttl(uint8_t* ip) {
    uint32_t sum = static_cast<uint16_t>(~Load16(ip + 10)) + uint32_t{0xFEFF};  // + ~0x0100
    sum = (sum & 0xFFFF) + (sum >> 16);
    sum = (sum & 0xFFFF) + (sum >> 16);
    const uint16_t checksum = static_cast<uint16_t>(~sum);
    ip[8] = static_cast<uint8_t>(ip[8] - 1);
    ip[10] = static_cast<uint8_t>(checksum >> 8);
    ip[11] = static_cast<uint8_t>(checksum);
}

// Validates and re-injects the batch; returns the error (0 on success) and the bytes of
// the packets processed.
DWORD Inject(const DivertHandle& handle, const uint8_t* buffer, UINT bufferLength,
             const WINDIVERT_ADDRESS* addresses, UINT count, UINT* processed) {
    if (tlsSendScratch.size() <= tlsSendDepth)
        tlsSendScratch.push_back(std::make_unique<SendScratch>());
    SendScratch& s = *tlsSendScratch[tlsSendDepth++];
    s.packets.clear();
    const std::shared_ptr<World> world = CurrentWorld();

    DWORD hardError = 0, softError = 0;
    UINT offset = 0;
    for (UINT i = 0; i < count; ++i) {
        const UINT rest = bufferLength - offset;
        const uint8_t* p = buffer + offset;
        if (rest < 20) {
            hardError = ERROR_INSUFFICIENT_BUFFER;
            break;
        }
        UINT length = 0;
        const unsigned version = p[0] >> 4;
        if (version == 4) {
            length = Load16(p + 2);
            if (length < 20) {  // would inject a fragment of a header, and loop on length 0
                hardError = ERROR_INVALID_PARAMETER;
                break;
            }
        } else if (version == 6) {
            if (rest < 40) {
                hardError = ERROR_INSUFFICIENT_BUFFER;
                break;
            }
            length = UINT{Load16(p + 4)} + 40;
        } else {
            hardError = ERROR_INVALID_PARAMETER;
            break;
        }
        if (rest < length) {
            hardError = ERROR_INSUFFICIENT_BUFFER;
            break;
        }
        offset += length;

        const WINDIVERT_ADDRESS& a = addresses[i];
        const bool fixChecksums = !a.IPChecksum || !a.TCPChecksum || !a.UDPChecksum;
        const uint8_t* data = p;
        if (fixChecksums || a.Impostor) {
            if (s.copies.size() < bufferLength) s.copies.resize(bufferLength);
            uint8_t* copy = s.copies.data() + (p - buffer);
            std::memcpy(copy, p, length);
            if (a.Impostor) {
                uint8_t& ttl = version == 4 ? copy[8] : copy[7];
                if (ttl <= 1) {
                    softError = ERROR_HOST_UNREACHABLE;
                    continue;
                }
                if (version == 4) {
                    DecrementIPv4Ttl(copy);
                } else {
                    --ttl;
                }
            }
            if (fixChecksums) {
                UINT64 keep =
                    WINDIVERT_HELPER_NO_ICMP_CHECKSUM | WINDIVERT_HELPER_NO_ICMPV6_CHECKSUM;
                if (a.IPChecksum) keep |= WINDIVERT_HELPER_NO_IP_CHECKSUM;
                if (a.TCPChecksum) keep |= WINDIVERT_HELPER_NO_TCP_CHECKSUM;
                if (a.UDPChecksum) keep |= WINDIVERT_HELPER_NO_UDP_CHECKSUM;
                WinDivertHelperCalcChecksums(copy, length, nullptr, keep);
            }
            data = copy;
        }
        PacketRef ref;
        ref.data = data;
        ref.length = length;
        ref.meta.outbound = a.Outbound;
        ref.meta.impostor = a.Impostor;
        ref.meta.ifIdx = a.Network.IfIdx;
        ref.meta.subIfIdx = a.Network.SubIfIdx;
        ref.meta.worldTag = WorldTagOf(a);
        if (world != nullptr && !world->AcceptsSend(ref)) {
            hardError = ERROR_INVALID_PARAMETER;
            offset -= length;
            break;
        }
        s.packets.push_back(ref);
    }
    // Packets before a hard error are injected, as the driver does one by one.
    DispatchNetwork(s.packets.data(), s.packets.size(), handle.InternalPriority());
    --tlsSendDepth;
    *processed = offset;
    return hardError != 0 ? hardError : softError;
}

BOOL SendCall(TraceScope& trace, HANDLE value, const VOID* pPacket, UINT packetLen, UINT* pSendLen,
              UINT64 flags, const WINDIVERT_ADDRESS* pAddr, UINT addrLen,
              LPOVERLAPPED lpOverlapped) {
    if (flags != 0 || addrLen < kAddressBytes || addrLen > kMaxAddressBytes || pAddr == nullptr) {
        return Fail(ERROR_INVALID_PARAMETER);
    }
    const UINT count = addrLen / kAddressBytes;
    if (trace.Active()) trace.Record().packets = count;
    auto h = LookupDivertHandle(value);
    if (!h) return FALSE;
    if (h->Closing()) return Fail(ERROR_BAD_COMMAND);
    if (h->SendShutDown()) return Fail(ERROR_NO_DATA);
    if ((h->Flags() & WINDIVERT_FLAG_RECV_ONLY) || h->Layer() != WINDIVERT_LAYER_NETWORK) {
        return Fail(ERROR_INVALID_PARAMETER);
    }
    if (pPacket == nullptr) return Fail(ERROR_INVALID_PARAMETER);

    const SendFault fault = faults_internal::TakeSendFault();
    if (fault.outcome == SendOutcome::Fail) return Fail(fault.error);
    if (fault.outcome == SendOutcome::HoldPending && lpOverlapped != nullptr) {
        platform::MarkOverlappedPending(lpOverlapped);
        if (!h->Hold(HeldSend{pPacket, packetLen, pAddr, addrLen, lpOverlapped})) {
            platform::CompleteOverlapped(lpOverlapped, ERROR_OPERATION_ABORTED, 0);
        }
        return Fail(ERROR_IO_PENDING);
    }

    UINT processed = 0;
    DWORD error =
        Inject(*h, static_cast<const uint8_t*>(pPacket), packetLen, pAddr, count, &processed);
    if (error != 0) return Fail(error);
    if (lpOverlapped != nullptr) platform::CompleteOverlapped(lpOverlapped, 0, processed);
    if (fault.outcome == SendOutcome::ReportPending && lpOverlapped != nullptr) {
        return Fail(ERROR_IO_PENDING);
    }
    if (pSendLen != nullptr) *pSendLen = processed;
    return TRUE;
}

}  // namespace

size_t ReleaseHeldSends() {
    size_t released = 0;
    std::shared_ptr<const HandleList> list = CurrentHandles();
    for (const auto& handle : list->network) {
        for (const HeldSend& send : handle->TakeHeld()) {
            UINT processed = 0;
            DWORD error =
                Inject(*handle, static_cast<const uint8_t*>(send.packet), send.packetLength,
                       send.addresses, send.addrLen / kAddressBytes, &processed);
            platform::CompleteOverlapped(send.overlapped, error, error == 0 ? processed : 0);
            ++released;
        }
    }
    return released;
}

}  // namespace divert

extern "C" BOOL WinDivertSendEx(HANDLE handle, const VOID* pPacket, UINT packetLen, UINT* pSendLen,
                                UINT64 flags, const WINDIVERT_ADDRESS* pAddr, UINT addrLen,
                                LPOVERLAPPED lpOverlapped) {
    TraceScope trace(ApiFunction::SendEx, handle);
    trace.Record().overlapped = lpOverlapped != nullptr;
    trace.Record().bytes = packetLen;
    return trace.Finish(divert::SendCall(trace, handle, pPacket, packetLen, pSendLen, flags, pAddr,
                                         addrLen, lpOverlapped));
}

extern "C" BOOL WinDivertSend(HANDLE handle, const VOID* pPacket, UINT packetLen, UINT* pSendLen,
                              const WINDIVERT_ADDRESS* pAddr) {
    TraceScope trace(ApiFunction::Send, handle);
    trace.Record().bytes = packetLen;
    return trace.Finish(divert::SendCall(trace, handle, pPacket, packetLen, pSendLen, 0, pAddr,
                                         divert::kAddressBytes, nullptr));
}
