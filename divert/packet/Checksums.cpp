// Internet checksums (IPv4 header, TCP, UDP, ICMP, ICMPv6) and the TTL decrement.
#include "divert/filter/PacketInfo.h"
#include "divert/packet/Packet.h"

namespace divert::packet {

uint32_t SumWords(const uint8_t* data, size_t length, uint32_t sum) {
    uint64_t total = sum;
    size_t i = 0;
    for (; i + 1 < length; i += 2)
        total += Load16(data + i);
    if (i < length) total += uint32_t{data[i]} << 8;
    while (total >> 16)
        total = (total & 0xFFFF) + (total >> 16);
    return static_cast<uint32_t>(total);
}

uint16_t FoldChecksum(uint32_t sum) {
    while (sum >> 16)
        sum = (sum & 0xFFFF) + (sum >> 16);
    return static_cast<uint16_t>(~sum);
}

namespace {

using filter::PacketInfo;

// Sum of the pseudo-header for a transport segment of `length` bytes.
uint32_t PseudoHeaderSum(const PacketInfo& info, uint8_t protocol, uint32_t length) {
    uint32_t sum = 0;
    if (const uint8_t* ip = info.header[filter::kSlotIpv4]) {
        sum = SumWords(ip + 12, 8, 0);  // source and destination
        sum += protocol;
        sum += length;
    } else {
        const uint8_t* ip6 = info.header[filter::kSlotIpv6];
        sum = SumWords(ip6 + 8, 32, 0);
        sum += length >> 16;
        sum += length & 0xFFFF;
        sum += protocol;
    }
    return sum;
}

}  // namespace
}  // namespace divert::packet

extern "C" BOOL WinDivertHelperCalcChecksums(VOID* pPacket, UINT packetLen,
                                             WINDIVERT_ADDRESS* pAddr, UINT64 flags) {
    using namespace divert::packet;
    using divert::filter::PacketInfo;
    namespace f = divert::filter;
    PacketInfo info;
    if (!f::ParsePacketInfo(static_cast<const uint8_t*>(pPacket), packetLen, info)) return FALSE;
    uint8_t* packet = static_cast<uint8_t*>(pPacket);

    if (info.header[f::kSlotIpv4] != nullptr && !(flags & WINDIVERT_HELPER_NO_IP_CHECKSUM)) {
        const size_t headerLength = (packet[0] & 0x0F) * 4u;
        Store16(packet + 10, 0);
        Store16(packet + 10, FoldChecksum(SumWords(packet, headerLength, 0)));
        if (pAddr) pAddr->IPChecksum = 1;
    }

    // The one transport header present, if any, and the flag that skips it.
    uint8_t slot = f::kHeaderSlots;
    uint64_t skipFlag = 0;
    uint8_t protocol = 0;
    size_t checksumOffset = 0;
    if (info.header[f::kSlotTcp]) {
        slot = f::kSlotTcp;
        skipFlag = WINDIVERT_HELPER_NO_TCP_CHECKSUM;
        protocol = IPPROTO_TCP;
        checksumOffset = 16;
    } else if (info.header[f::kSlotUdp]) {
        slot = f::kSlotUdp;
        skipFlag = WINDIVERT_HELPER_NO_UDP_CHECKSUM;
        protocol = IPPROTO_UDP;
        checksumOffset = 6;
    } else if (info.header[f::kSlotIcmp]) {
        slot = f::kSlotIcmp;
        skipFlag = WINDIVERT_HELPER_NO_ICMP_CHECKSUM;
        protocol = IPPROTO_ICMP;
        checksumOffset = 2;
    } else if (info.header[f::kSlotIcmpv6]) {
        slot = f::kSlotIcmpv6;
        skipFlag = WINDIVERT_HELPER_NO_ICMPV6_CHECKSUM;
        protocol = IPPROTO_ICMPV6;
        checksumOffset = 2;
    }
    if (slot == f::kHeaderSlots || (flags & skipFlag)) return TRUE;
    // A partial packet or a single fragment does not hold the whole segment to sum.
    if (info.Truncated() || info.fragment) return FALSE;

    uint8_t* transport = const_cast<uint8_t*>(info.header[slot]);
    const size_t length =
        info.payloadOffset + info.payloadLength - static_cast<size_t>(transport - info.packet);
    Store16(transport + checksumOffset, 0);
    uint32_t sum = protocol == IPPROTO_ICMP
                       ? 0
                       : PseudoHeaderSum(info, protocol, static_cast<uint32_t>(length));
    uint16_t checksum = FoldChecksum(SumWords(transport, length, sum));
    if (protocol == IPPROTO_UDP && checksum == 0) checksum = 0xFFFF;  // 0 means "none"
    Store16(transport + checksumOffset, checksum);
    if (pAddr) {
        if (protocol == IPPROTO_TCP) pAddr->TCPChecksum = 1;
        if (protocol == IPPROTO_UDP) pAddr->UDPChecksum = 1;
    }
    return TRUE;
}

extern "C" BOOL WinDivertHelperDecrementTTL(VOID* pPacket, UINT packetLen) {
    uint8_t* p = static_cast<uint8_t*>(pPacket);
    if (p == nullptr || packetLen < 20) return FALSE;
    switch (p[0] >> 4) {
        case 4: {
            if (p[8] <= 1) return FALSE;
            --p[8];
            // Incremental update for TTL - 1 (RFC 1624), on the checksum as stored.
            uint32_t v = p[10] | (uint32_t{p[11]} << 8);
            v = v >= 0xFFFE ? v - 0xFFFE : v + 1;
            p[10] = static_cast<uint8_t>(v);
            p[11] = static_cast<uint8_t>(v >> 8);
            return TRUE;
        }
        case 6:
            if (packetLen < 40 || p[7] <= 1) return FALSE;
            --p[7];
            return TRUE;
        default:
            return FALSE;
    }
}
