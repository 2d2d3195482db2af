// A small fluent builder of IPv4 packets (TCP with flags, options and payload, UDP, ICMP,
// any other protocol) with valid checksums, and the deliberate faults tests need
// (wrong length fields, short headers, bad checksums, truncation, fragments).
//
//   auto syn = PacketBuilder::Tcp(Ipv4("198.51.100.7"), 40000, Ipv4("203.0.113.10"), 80)
//                  .Syn().Mss(1460).WindowScale(7).Window(64240).Build();
//
// Addresses are host-order uint32, ports host order; the packet is in network order.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace divert::sim {

// "a.b.c.d" as a host-order address; 0 for text that is not a dotted quad.
uint32_t Ipv4(std::string_view text);
std::string FormatIpv4(uint32_t address);

// TCP flag bits (the byte at offset 13 of the TCP header).
namespace tcp {
constexpr uint8_t kFin = 0x01, kSyn = 0x02, kRst = 0x04, kPsh = 0x08, kAck = 0x10, kUrg = 0x20,
                  kEce = 0x40, kCwr = 0x80;
}

class PacketBuilder {
  public:
    static PacketBuilder Tcp(uint32_t src, uint16_t srcPort, uint32_t dst, uint16_t dstPort);
    static PacketBuilder Udp(uint32_t src, uint16_t srcPort, uint32_t dst, uint16_t dstPort);
    static PacketBuilder Icmp(uint32_t src, uint32_t dst, uint8_t type, uint8_t code = 0);
    // Any protocol: the payload follows the IP header as it is.
    static PacketBuilder Ip(uint32_t src, uint32_t dst, uint8_t protocol);

    // TCP header.
    PacketBuilder& Flags(uint8_t flags);
    PacketBuilder& Syn() { return AddFlags(tcp::kSyn); }
    PacketBuilder& Ack() { return AddFlags(tcp::kAck); }
    PacketBuilder& Fin() { return AddFlags(tcp::kFin); }
    PacketBuilder& Rst() { return AddFlags(tcp::kRst); }
    PacketBuilder& Psh() { return AddFlags(tcp::kPsh); }
    PacketBuilder& Urg() { return AddFlags(tcp::kUrg); }
    PacketBuilder& Seq(uint32_t seq);
    PacketBuilder& AckNumber(uint32_t ack);
    PacketBuilder& Window(uint16_t window);
    PacketBuilder& UrgentPointer(uint16_t pointer);
    // TCP options, in the order given; padded with EOL to a multiple of four bytes.
    PacketBuilder& Mss(uint16_t mss);
    PacketBuilder& WindowScale(uint8_t shift);
    PacketBuilder& SackPermitted();
    PacketBuilder& Timestamps(uint32_t value, uint32_t echo);
    PacketBuilder& Nop();
    PacketBuilder& Option(const std::vector<uint8_t>& bytes);  // raw kind, length, data

    // ICMP rest-of-header word (host order), e.g. identifier << 16 | sequence.
    PacketBuilder& IcmpBody(uint32_t body);

    PacketBuilder& Payload(std::string_view bytes);
    PacketBuilder& Payload(const std::vector<uint8_t>& bytes);
    PacketBuilder& PayloadSize(size_t size, uint8_t fill = 0);

    // IPv4 header.
    PacketBuilder& Ttl(uint8_t ttl);
    PacketBuilder& Tos(uint8_t tos);
    PacketBuilder& Id(uint16_t id);
    PacketBuilder& DontFragment(bool on = true);
    PacketBuilder& MoreFragments(bool on = true);
    PacketBuilder& FragmentOffset(uint16_t units);  // 8-byte units

    // Deliberate faults.
    PacketBuilder& TotalLength(uint16_t length);  // written instead of the true length
    PacketBuilder& HeaderLength(uint8_t words);   // IHL field; > 5 adds NOP options
    PacketBuilder& DataOffset(uint8_t words);     // TCP data offset field
    PacketBuilder& BadIpChecksum();
    PacketBuilder& BadTransportChecksum();
    PacketBuilder& TruncateTo(size_t bytes);  // cut the finished packet
    PacketBuilder& Trailer(size_t bytes);     // bytes after the IP length (padding)

    std::vector<uint8_t> Build() const;

  private:
    PacketBuilder(uint32_t src, uint32_t dst, uint8_t protocol);
    PacketBuilder& AddFlags(uint8_t flags);

    uint32_t src_, dst_;
    uint8_t protocol_;
    uint16_t srcPort_ = 0, dstPort_ = 0;
    uint8_t flags_ = 0;
    uint32_t seq_ = 0, ack_ = 0;
    uint16_t window_ = 64240, urgent_ = 0;
    std::vector<uint8_t> options_;
    uint8_t icmpType_ = 0, icmpCode_ = 0;
    uint32_t icmpBody_ = 0;
    std::vector<uint8_t> payload_;
    uint8_t ttl_ = 64, tos_ = 0;
    uint16_t id_ = 0x1234;
    bool df_ = false, mf_ = false;
    uint16_t fragmentOffset_ = 0;
    std::optional<uint16_t> totalLength_;
    std::optional<uint8_t> headerLength_, dataOffset_;
    bool badIpChecksum_ = false, badTransportChecksum_ = false;
    std::optional<size_t> truncateTo_;
    size_t trailer_ = 0;
};

// RFC 1071 sum over `length` bytes (a trailing odd byte is padded with zero), folded and
// complemented; `initial` adds a pseudo-header sum.
uint16_t InternetChecksum(const uint8_t* data, size_t length, uint32_t initial = 0);

// Which checksums of an IPv4 packet are correct. A field of a header the packet does not
// carry (or carries only in part) is reported false.
struct ChecksumCheck {
    bool ip = false;
    bool tcp = false;
    bool udp = false;
    bool icmp = false;
};
ChecksumCheck CheckChecksums(const uint8_t* packet, size_t length);

// Recomputes the IPv4 header checksum and the TCP, UDP or ICMP checksum in place (a first
// fragment's transport checksum is left alone: it covers bytes the packet lacks).
void WriteChecksums(uint8_t* packet, size_t length);

}  // namespace divert::sim
