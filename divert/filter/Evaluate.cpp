// Evaluator: runs a validated program over one parsed packet and its address record.
//
// The program was checked when it was built (known accesses, forward links, array offsets
// inside the packet limit), so this is a plain loop: fetch, compare, follow a link. A fetch
// that fails (absent header, index outside the packet or payload) makes the test false
// whatever its operator. Nothing here allocates.
#include "divert/filter/PacketInfo.h"
#include "divert/filter/Program.h"
#include "divert/packet/Packet.h"

namespace divert::filter {
namespace {

using packet::Load16;
using packet::Load32;

constexpr uint64_t kSignBias = uint64_t{1} << 63;

inline uint64_t LoadWord(const uint8_t* p, unsigned size) {
    switch (size) {
        case 1:
            return p[0];
        case 2:
            return Load16(p);
        default:
            return Load32(p);
    }
}

inline u128 Load128(const uint8_t* p) {
    u128 hi = (uint64_t{Load32(p)} << 32) | Load32(p + 4);
    u128 lo = (uint64_t{Load32(p + 8)} << 32) | Load32(p + 12);
    return (hi << 64) | lo;
}

inline u128 FlowAddress(const UINT32 words[4]) {
    return (u128{words[3]} << 96) | (u128{words[2]} << 64) | (u128{words[1]} << 32) | words[0];
}

constexpr u128 kMappedPrefix = u128{0xFFFF} << 32;

// The source (`source` true) or destination address of the packet, IPv4 in mapped form;
// 0 without an IP header.
inline u128 PacketAddress(const PacketInfo& info, bool source) {
    if (const uint8_t* ip = info.header[kSlotIpv4]) {
        return kMappedPrefix | Load32(ip + (source ? 12 : 16));
    }
    if (const uint8_t* ip6 = info.header[kSlotIpv6]) return Load128(ip6 + (source ? 8 : 24));
    return 0;
}

// Port of the packet for localPort/remotePort: `local` selects which end.
inline uint64_t PacketPort(const PacketInfo& info, bool outbound, bool local) {
    const uint8_t* transport = info.header[kSlotTcp];
    if (transport == nullptr) transport = info.header[kSlotUdp];
    if (transport != nullptr) {
        // The local end is the source of an outbound packet and the destination of an
        // inbound one.
        bool source = local == outbound;
        return Load16(transport + (source ? 0 : 2));
    }
    const uint8_t* icmp = info.header[kSlotIcmp];
    if (icmp == nullptr) icmp = info.header[kSlotIcmpv6];
    // ICMP type shows as the local port of outbound and the remote port of inbound messages.
    if (icmp != nullptr && local == outbound) return icmp[0];
    return 0;
}

struct Context {
    const PacketInfo* info;
    const WINDIVERT_ADDRESS& address;
    uint64_t random = 0;
    bool haveRandom = false;

    uint64_t Random() {
        if (!haveRandom) {
            random = packet::HashParsed(*info, static_cast<uint64_t>(address.Timestamp)) |
                     0xFF00000000000000ull;
            haveRandom = true;
        }
        return random;
    }
};

inline bool In(const Step& s, uint64_t value) {
    return ((value - s.lo) <= s.span) != s.invert;
}

inline bool In128(const Step& s, u128 value) {
    u128 lo = (u128{s.loHigh} << 64) | s.lo;
    u128 span = (u128{s.spanHigh} << 64) | s.span;
    return ((value - lo) <= span) != s.invert;
}

inline bool Word(const Step& s, uint64_t start, uint64_t end, const uint8_t* base) {
    // Offsets are within +-65575 and lengths below 2^32, so signed 64-bit arithmetic is exact.
    int64_t offset =
        s.index >= 0 ? static_cast<int64_t>(start) + s.index : static_cast<int64_t>(end) + s.index;
    if (offset < static_cast<int64_t>(start) || offset + s.size > static_cast<int64_t>(end)) {
        return false;
    }
    return In(s, LoadWord(base + offset, s.size));
}

__attribute__((always_inline)) inline bool Run(const Step& s, Context& c) {
    const WINDIVERT_ADDRESS& a = c.address;
    const PacketInfo* p = c.info;
    switch (s.access) {
        case Access::Zero:
            return In(s, 0);
        case Access::Event:
            return In(s, a.Event);
        case Access::Timestamp:
            return In(s, static_cast<uint64_t>(a.Timestamp) ^ kSignBias);
        case Access::Outbound:
            return In(s, a.Outbound);
        case Access::Inbound:
            return In(s, !a.Outbound);
        case Access::Loopback:
            return In(s, a.Loopback);
        case Access::Impostor:
            return In(s, a.Impostor);
        case Access::IfIdx:
            return In(s, a.Network.IfIdx);
        case Access::SubIfIdx:
            return In(s, a.Network.SubIfIdx);
        case Access::FlowProcessId:
            return In(s, a.Flow.ProcessId);
        case Access::ReflectProcessId:
            return In(s, a.Reflect.ProcessId);
        case Access::EndpointId:
            return In(s, a.Flow.EndpointId);
        case Access::ParentEndpointId:
            return In(s, a.Flow.ParentEndpointId);
        case Access::ReflectLayer:
            return In(s, static_cast<uint32_t>(a.Reflect.Layer));
        case Access::ReflectPriority:
            return In(s, static_cast<uint64_t>(int64_t{a.Reflect.Priority}) ^ kSignBias);
        case Access::FlowProtocol:
            return In(s, a.Flow.Protocol);
        case Access::FlowLocalAddr:
            return In128(s, FlowAddress(a.Flow.LocalAddr));
        case Access::FlowRemoteAddr:
            return In128(s, FlowAddress(a.Flow.RemoteAddr));
        case Access::FlowLocalPort:
            return In(s, a.Flow.LocalPort);
        case Access::FlowRemotePort:
            return In(s, a.Flow.RemotePort);
        // A flow has no headers; its IP version and protocol say which ones it would have.
        case Access::FlowIp:
            return In(s, !a.IPv6);
        case Access::FlowIpv6:
            return In(s, a.IPv6);
        case Access::FlowIcmp:
            return In(s, !a.IPv6 && a.Flow.Protocol == IPPROTO_ICMP);
        case Access::FlowIcmpv6:
            return In(s, a.IPv6 && a.Flow.Protocol == IPPROTO_ICMPV6);
        case Access::FlowTcp:
            return In(s, a.Flow.Protocol == IPPROTO_TCP);
        case Access::FlowUdp:
            return In(s, a.Flow.Protocol == IPPROTO_UDP);

        case Access::HeaderPresent:
            return In(s, p->header[s.slot] != nullptr);
        case Access::HeaderByte: {
            const uint8_t* h = p->header[s.slot];
            if (h == nullptr) return false;
            return In(s, (h[s.offset] >> s.shift) & s.mask);
        }
        case Access::HeaderWord16: {
            const uint8_t* h = p->header[s.slot];
            if (h == nullptr) return false;
            return In(s, (Load16(h + s.offset) >> s.shift) & s.mask);
        }
        case Access::HeaderWord32: {
            const uint8_t* h = p->header[s.slot];
            if (h == nullptr) return false;
            return In(s, Load32(h + s.offset) & s.mask);
        }
        case Access::HeaderBits: {
            const uint8_t* h = p->header[s.slot];
            return h != nullptr && (h[s.offset] & s.mask) == s.lo;
        }
        case Access::Ipv4Address: {
            const uint8_t* h = p->header[s.slot];
            if (h == nullptr) return false;
            return In(s, (uint64_t{0xFFFF} << 32) | Load32(h + s.offset));
        }
        case Access::Ipv6Address: {
            const uint8_t* h = p->header[s.slot];
            if (h == nullptr) return false;
            return In128(s, Load128(h + s.offset));
        }
        case Access::PayloadLength:
            if (p->header[s.slot] == nullptr) return false;
            return In(s, p->payloadLength);
        case Access::Fragment:
            return In(s, p->fragment);
        case Access::Length:
            return In(s, p->length);
        case Access::Random8:
            return In(s, (c.Random() >> 48) & 0xFF);
        case Access::Random16:
            return In(s, (c.Random() >> 32) & 0xFFFF);
        case Access::Random32:
            return In(s, c.Random() & 0xFFFFFFFF);
        case Access::Protocol:
            return In(s, p->protocol);
        case Access::LocalAddr:
            return In128(s, PacketAddress(*p, a.Outbound));
        case Access::RemoteAddr:
            return In128(s, PacketAddress(*p, !a.Outbound));
        case Access::LocalPort:
            return In(s, PacketPort(*p, a.Outbound, true));
        case Access::RemotePort:
            return In(s, PacketPort(*p, a.Outbound, false));
        case Access::PacketWord:
            return Word(s, 0, p->length, p->packet);
        case Access::PayloadWord:
            if (p->header[s.slot] == nullptr) return false;
            return Word(s, p->payloadOffset, uint64_t{p->payloadOffset} + p->payloadLength,
                        p->packet);
    }
    return false;
}

}  // namespace

bool Evaluate(const Program& program, const PacketInfo* info, const WINDIVERT_ADDRESS& address) {
    if (program.needsPacket && info == nullptr) return false;
    Context context{info, address};
    const Step* steps = program.steps.data();
    unsigned next = 0;
    while (next < kAccept) {
        const Step& step = steps[next];
        next = Run(step, context) ? step.success : step.failure;
    }
    return next == kAccept;
}

bool NeverMatches(const Program& program) {
    return program.neverMatches;
}

unsigned TestCount(const Program& program) {
    return static_cast<unsigned>(program.tests.size());
}

}  // namespace divert::filter
