// Packet parsing shared by the filter evaluator and WinDivertHelperParsePacket.
#include "divert/filter/PacketInfo.h"
#include "divert/packet/Packet.h"

namespace divert::filter {

using packet::Load16;

bool ParsePacketInfo(const uint8_t* p, UINT length, PacketInfo& out) {
    out = PacketInfo{};
    if (p == nullptr || length < 20) return false;
    out.packet = p;
    out.length = length;

    UINT offset;  // first byte after the headers recognised so far
    UINT usable;  // IP length, clamped to the bytes present
    bool v4 = false;
    switch (p[0] >> 4) {
        case 4: {
            UINT headerLength = (p[0] & 0x0F) * 4u;
            UINT total = Load16(p + 2);
            if (headerLength < 20 || total < headerLength || length < headerLength) return false;
            v4 = true;
            out.header[kSlotIpv4] = p;
            out.ipLength = total;
            out.protocol = p[9];
            uint16_t fragment = Load16(p + 6);
            out.fragmentOffset = fragment & 0x1FFF;
            out.moreFragments = (fragment & 0x2000) != 0;
            out.fragment = out.moreFragments || out.fragmentOffset != 0;
            offset = headerLength;
            usable = total < length ? total : length;
            break;
        }
        case 6: {
            if (length < 40) return false;
            out.header[kSlotIpv6] = p;
            out.ipLength = Load16(p + 4) + 40u;
            usable = out.ipLength < length ? out.ipLength : length;
            offset = 40;
            uint8_t next = p[6];
            bool sawFragment = false;
            // Skip extension headers until the transport header, a later fragment (which has
            // no transport header) or a header that does not fit.
            while (out.fragmentOffset == 0 && offset + 2 <= usable) {
                UINT size;
                switch (next) {
                    case 0:    // hop-by-hop options
                    case 43:   // routing
                    case 60:   // destination options
                    case 135:  // mobility
                        size = (p[offset + 1] + 1u) * 8;
                        break;
                    case 51:  // authentication header
                        size = (p[offset + 1] + 2u) * 4;
                        break;
                    case 44:  // fragment
                        size = 8;
                        break;
                    default:
                        size = 0;
                        break;
                }
                if (size == 0 || offset + size > usable) break;
                if (next == 44 && !sawFragment) {
                    // Only the first fragment header counts.
                    sawFragment = true;
                    uint16_t fragment = Load16(p + offset + 2);
                    out.fragmentOffset = fragment >> 3;
                    out.moreFragments = (fragment & 1) != 0;
                    out.fragment = true;
                }
                next = p[offset];
                offset += size;
            }
            out.protocol = next;
            break;
        }
        default:
            return false;
    }

    if (out.fragmentOffset == 0) {
        UINT remaining = usable - offset;
        const uint8_t* transport = p + offset;
        switch (out.protocol) {
            case IPPROTO_TCP:
                if (remaining >= 20 && (transport[12] >> 4) >= 5) {
                    out.header[kSlotTcp] = transport;
                    UINT size = (transport[12] >> 4) * 4u;
                    offset += size < remaining ? size : remaining;
                }
                break;
            case IPPROTO_UDP:
                if (remaining >= 8) {
                    out.header[kSlotUdp] = transport;
                    offset += 8;
                }
                break;
            case IPPROTO_ICMP:
                if (v4 && remaining >= 8) {
                    out.header[kSlotIcmp] = transport;
                    offset += 8;
                }
                break;
            case IPPROTO_ICMPV6:
                if (!v4 && remaining >= 8) {
                    out.header[kSlotIcmpv6] = transport;
                    offset += 8;
                }
                break;
            default:
                break;
        }
    }
    out.payloadOffset = offset;
    out.payloadLength = usable - offset;
    return true;
}

}  // namespace divert::filter

extern "C" BOOL WinDivertHelperParsePacket(const VOID* pPacket, UINT packetLen,
                                           PWINDIVERT_IPHDR* ppIpHdr, PWINDIVERT_IPV6HDR* ppIpv6Hdr,
                                           UINT8* pProtocol, PWINDIVERT_ICMPHDR* ppIcmpHdr,
                                           PWINDIVERT_ICMPV6HDR* ppIcmpv6Hdr,
                                           PWINDIVERT_TCPHDR* ppTcpHdr, PWINDIVERT_UDPHDR* ppUdpHdr,
                                           PVOID* ppData, UINT* pDataLen, PVOID* ppNext,
                                           UINT* pNextLen) {
    using namespace divert::filter;
    PacketInfo info;
    const bool parsed = ParsePacketInfo(static_cast<const uint8_t*>(pPacket), packetLen, info);
    auto at = [&](uint8_t slot) {
        return parsed ? const_cast<uint8_t*>(info.header[slot]) : nullptr;
    };
    if (ppIpHdr) *ppIpHdr = reinterpret_cast<PWINDIVERT_IPHDR>(at(kSlotIpv4));
    if (ppIpv6Hdr) *ppIpv6Hdr = reinterpret_cast<PWINDIVERT_IPV6HDR>(at(kSlotIpv6));
    if (pProtocol) *pProtocol = parsed ? info.protocol : 0;
    if (ppIcmpHdr) *ppIcmpHdr = reinterpret_cast<PWINDIVERT_ICMPHDR>(at(kSlotIcmp));
    if (ppIcmpv6Hdr) *ppIcmpv6Hdr = reinterpret_cast<PWINDIVERT_ICMPV6HDR>(at(kSlotIcmpv6));
    if (ppTcpHdr) *ppTcpHdr = reinterpret_cast<PWINDIVERT_TCPHDR>(at(kSlotTcp));
    if (ppUdpHdr) *ppUdpHdr = reinterpret_cast<PWINDIVERT_UDPHDR>(at(kSlotUdp));
    const bool hasData = parsed && info.payloadLength > 0;
    if (ppData) {
        *ppData = hasData ? const_cast<uint8_t*>(info.packet + info.payloadOffset) : nullptr;
    }
    if (pDataLen) *pDataLen = parsed ? info.payloadLength : 0;
    // A longer buffer holds further packets of a batch.
    const bool more = parsed && packetLen > info.ipLength;
    if (ppNext) *ppNext = more ? const_cast<uint8_t*>(info.packet + info.ipLength) : nullptr;
    if (pNextLen) *pNextLen = more ? packetLen - info.ipLength : 0;
    return parsed && !info.Truncated();
}
