// Packet builder and the checksum routines of the simulated network.
#include "divert/sim/PacketBuilder.h"

#include <algorithm>
#include <cstring>

#include "divert/packet/Packet.h"

namespace divert::sim {
namespace {

constexpr uint8_t kTcp = 6, kUdp = 17, kIcmp = 1;

using packet::Load16;
using packet::Store16;

void Store32(uint8_t* p, uint32_t v) {
    Store16(p, static_cast<uint16_t>(v >> 16));
    Store16(p + 2, static_cast<uint16_t>(v));
}

uint32_t PseudoHeaderSum(const uint8_t* ip, uint8_t protocol, size_t transportLength) {
    uint32_t sum = packet::SumWords(ip + 12, 8, 0);  // source and destination
    sum += protocol;
    sum += static_cast<uint32_t>(transportLength);
    return sum;
}

struct Ipv4View {
    size_t headerLength = 0;
    size_t totalLength = 0;
    uint8_t protocol = 0;
    bool laterFragment = false;
};

// The IPv4 header facts checksums need; false if there is no usable header.
bool ViewIpv4(const uint8_t* p, size_t length, Ipv4View* view) {
    if (length < 20 || (p[0] >> 4) != 4) return false;
    view->headerLength = size_t{p[0] & 0x0Fu} * 4;
    if (view->headerLength < 20 || view->headerLength > length) return false;
    view->totalLength = Load16(p + 2);
    view->protocol = p[9];
    view->laterFragment = (Load16(p + 6) & 0x1FFF) != 0;
    return true;
}

}  // namespace

uint32_t Ipv4(std::string_view text) {
    uint32_t address = 0;
    return packet::ParseIPv4Text(text.data(), text.size(), address) ? address : 0;
}

std::string FormatIpv4(uint32_t address) {
    char text[16];
    return std::string(text, packet::FormatIPv4Text(address, text));
}

uint16_t InternetChecksum(const uint8_t* data, size_t length, uint32_t initial) {
    return packet::FoldChecksum(packet::SumWords(data, length, initial));
}

PacketBuilder::PacketBuilder(uint32_t src, uint32_t dst, uint8_t protocol)
    : src_(src), dst_(dst), protocol_(protocol) {}

PacketBuilder PacketBuilder::Tcp(uint32_t src, uint16_t srcPort, uint32_t dst, uint16_t dstPort) {
    PacketBuilder b(src, dst, kTcp);
    b.srcPort_ = srcPort;
    b.dstPort_ = dstPort;
    return b;
}

PacketBuilder PacketBuilder::Udp(uint32_t src, uint16_t srcPort, uint32_t dst, uint16_t dstPort) {
    PacketBuilder b(src, dst, kUdp);
    b.srcPort_ = srcPort;
    b.dstPort_ = dstPort;
    return b;
}

PacketBuilder PacketBuilder::Icmp(uint32_t src, uint32_t dst, uint8_t type, uint8_t code) {
    PacketBuilder b(src, dst, kIcmp);
    b.icmpType_ = type;
    b.icmpCode_ = code;
    return b;
}

PacketBuilder PacketBuilder::Ip(uint32_t src, uint32_t dst, uint8_t protocol) {
    return PacketBuilder(src, dst, protocol);
}

PacketBuilder& PacketBuilder::Flags(uint8_t flags) {
    flags_ = flags;
    return *this;
}
PacketBuilder& PacketBuilder::AddFlags(uint8_t flags) {
    flags_ |= flags;
    return *this;
}
PacketBuilder& PacketBuilder::Seq(uint32_t seq) {
    seq_ = seq;
    return *this;
}
PacketBuilder& PacketBuilder::AckNumber(uint32_t ack) {
    ack_ = ack;
    return *this;
}
PacketBuilder& PacketBuilder::Window(uint16_t window) {
    window_ = window;
    return *this;
}
PacketBuilder& PacketBuilder::UrgentPointer(uint16_t pointer) {
    urgent_ = pointer;
    return *this;
}
PacketBuilder& PacketBuilder::Mss(uint16_t mss) {
    return Option({2, 4, static_cast<uint8_t>(mss >> 8), static_cast<uint8_t>(mss)});
}
PacketBuilder& PacketBuilder::WindowScale(uint8_t shift) {
    return Option({3, 3, shift});
}
PacketBuilder& PacketBuilder::SackPermitted() {
    return Option({4, 2});
}
PacketBuilder& PacketBuilder::Timestamps(uint32_t value, uint32_t echo) {
    std::vector<uint8_t> option(10);
    option[0] = 8;
    option[1] = 10;
    Store32(option.data() + 2, value);
    Store32(option.data() + 6, echo);
    return Option(option);
}
PacketBuilder& PacketBuilder::Nop() {
    return Option({1});
}
PacketBuilder& PacketBuilder::Option(const std::vector<uint8_t>& bytes) {
    options_.insert(options_.end(), bytes.begin(), bytes.end());
    return *this;
}
PacketBuilder& PacketBuilder::IcmpBody(uint32_t body) {
    icmpBody_ = body;
    return *this;
}
PacketBuilder& PacketBuilder::Payload(std::string_view bytes) {
    payload_.assign(bytes.begin(), bytes.end());
    return *this;
}
PacketBuilder& PacketBuilder::Payload(const std::vector<uint8_t>& bytes) {
    payload_ = bytes;
    return *this;
}
PacketBuilder& PacketBuilder::PayloadSize(size_t size, uint8_t fill) {
    payload_.assign(size, fill);
    return *this;
}
PacketBuilder& PacketBuilder::Ttl(uint8_t ttl) {
    ttl_ = ttl;
    return *this;
}
PacketBuilder& PacketBuilder::Tos(uint8_t tos) {
    tos_ = tos;
    return *this;
}
PacketBuilder& PacketBuilder::Id(uint16_t id) {
    id_ = id;
    return *this;
}
PacketBuilder& PacketBuilder::DontFragment(bool on) {
    df_ = on;
    return *this;
}
PacketBuilder& PacketBuilder::MoreFragments(bool on) {
    mf_ = on;
    return *this;
}
PacketBuilder& PacketBuilder::FragmentOffset(uint16_t units) {
    fragmentOffset_ = units & 0x1FFF;
    return *this;
}
PacketBuilder& PacketBuilder::TotalLength(uint16_t length) {
    totalLength_ = length;
    return *this;
}
PacketBuilder& PacketBuilder::HeaderLength(uint8_t words) {
    headerLength_ = words & 0x0F;
    return *this;
}
PacketBuilder& PacketBuilder::DataOffset(uint8_t words) {
    dataOffset_ = words & 0x0F;
    return *this;
}
PacketBuilder& PacketBuilder::BadIpChecksum() {
    badIpChecksum_ = true;
    return *this;
}
PacketBuilder& PacketBuilder::BadTransportChecksum() {
    badTransportChecksum_ = true;
    return *this;
}
PacketBuilder& PacketBuilder::TruncateTo(size_t bytes) {
    truncateTo_ = bytes;
    return *this;
}
PacketBuilder& PacketBuilder::Trailer(size_t bytes) {
    trailer_ = bytes;
    return *this;
}

std::vector<uint8_t> PacketBuilder::Build() const {
    const uint8_t ihl = headerLength_.value_or(5);
    const size_t ipHeader = std::max<size_t>(20, size_t{ihl} * 4);
    // A later fragment carries only data.
    const uint8_t transport = fragmentOffset_ != 0 ? 0 : protocol_;

    std::vector<uint8_t> tcpOptions = options_;
    while (tcpOptions.size() % 4 != 0)
        tcpOptions.push_back(0);
    size_t transportHeader = 0;
    if (transport == kTcp) transportHeader = 20 + tcpOptions.size();
    if (transport == kUdp || transport == kIcmp) transportHeader = 8;
    const size_t total = ipHeader + transportHeader + payload_.size();

    std::vector<uint8_t> p(total, 0);
    p[0] = static_cast<uint8_t>(0x40 | ihl);
    p[1] = tos_;
    Store16(&p[2], totalLength_.value_or(static_cast<uint16_t>(total)));
    Store16(&p[4], id_);
    Store16(&p[6],
            static_cast<uint16_t>((df_ ? 0x4000 : 0) | (mf_ ? 0x2000 : 0) | fragmentOffset_));
    p[8] = ttl_;
    p[9] = protocol_;
    Store32(&p[12], src_);
    Store32(&p[16], dst_);
    std::fill(p.begin() + 20, p.begin() + static_cast<ptrdiff_t>(ipHeader), uint8_t{1});  // IP NOPs

    uint8_t* t = p.data() + ipHeader;
    if (transport == kTcp) {
        Store16(t, srcPort_);
        Store16(t + 2, dstPort_);
        Store32(t + 4, seq_);
        Store32(t + 8, ack_);
        const uint8_t offset = dataOffset_.value_or(static_cast<uint8_t>(transportHeader / 4));
        t[12] = static_cast<uint8_t>(offset << 4);
        t[13] = flags_;
        Store16(t + 14, window_);
        Store16(t + 18, urgent_);
        std::copy(tcpOptions.begin(), tcpOptions.end(), t + 20);
    } else if (transport == kUdp) {
        Store16(t, srcPort_);
        Store16(t + 2, dstPort_);
        Store16(t + 4, static_cast<uint16_t>(transportHeader + payload_.size()));
    } else if (transport == kIcmp) {
        t[0] = icmpType_;
        t[1] = icmpCode_;
        Store32(t + 4, icmpBody_);
    }
    std::copy(payload_.begin(), payload_.end(), t + transportHeader);

    WriteChecksums(p.data(), p.size());
    if (badIpChecksum_) p[11] ^= 0x01;
    if (badTransportChecksum_) {
        if (transport == kTcp) t[17] ^= 0x01;
        if (transport == kUdp) t[7] ^= 0x01;
        if (transport == kIcmp) t[3] ^= 0x01;
    }
    p.resize(p.size() + trailer_, 0);
    if (truncateTo_ && *truncateTo_ < p.size()) p.resize(*truncateTo_);
    return p;
}

void WriteChecksums(uint8_t* p, size_t length) {
    Ipv4View ip;
    if (length < 20 || (p[0] >> 4) != 4) return;
    // The header as physically present (the IHL field may lie).
    const size_t header = std::max<size_t>(20, size_t{p[0] & 0x0Fu} * 4);
    if (header > length) return;
    p[10] = p[11] = 0;
    Store16(p + 10, InternetChecksum(p, header));
    if (!ViewIpv4(p, length, &ip) || ip.laterFragment) return;
    const size_t end = std::min(length, ip.totalLength);
    if (end < header) return;
    uint8_t* t = p + header;
    const size_t transportLength = end - header;
    if (ip.protocol == kTcp && transportLength >= 20) {
        t[16] = t[17] = 0;
        Store16(t + 16,
                InternetChecksum(t, transportLength, PseudoHeaderSum(p, kTcp, transportLength)));
    } else if (ip.protocol == kUdp && transportLength >= 8) {
        t[6] = t[7] = 0;
        uint16_t sum =
            InternetChecksum(t, transportLength, PseudoHeaderSum(p, kUdp, transportLength));
        Store16(t + 6, sum == 0 ? 0xFFFF : sum);
    } else if (ip.protocol == kIcmp && transportLength >= 8) {
        t[2] = t[3] = 0;
        Store16(t + 2, InternetChecksum(t, transportLength));
    }
}

ChecksumCheck CheckChecksums(const uint8_t* p, size_t length) {
    ChecksumCheck check;
    Ipv4View ip;
    if (!ViewIpv4(p, length, &ip)) return check;
    check.ip = InternetChecksum(p, ip.headerLength) == 0;
    if (ip.laterFragment || ip.totalLength > length || ip.totalLength < ip.headerLength)
        return check;
    const uint8_t* t = p + ip.headerLength;
    const size_t transportLength = ip.totalLength - ip.headerLength;
    if (ip.protocol == kTcp && transportLength >= 20) {
        check.tcp =
            InternetChecksum(t, transportLength, PseudoHeaderSum(p, kTcp, transportLength)) == 0;
    } else if (ip.protocol == kUdp && transportLength >= 8) {
        check.udp =
            Load16(t + 6) == 0 ||
            InternetChecksum(t, transportLength, PseudoHeaderSum(p, kUdp, transportLength)) == 0;
    } else if (ip.protocol == kIcmp && transportLength >= 8) {
        check.icmp = InternetChecksum(t, transportLength) == 0;
    }
    return check;
}

}  // namespace divert::sim
