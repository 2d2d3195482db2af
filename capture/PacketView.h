// PacketView: the parsed view of one IPv4 packet that the capture worker hands to the rule
// evaluators and the signature learner. Built on the worker's stack per packet; `payload`
// points into the batch buffer and is valid only while the packet is being evaluated.
// Addresses and ports are in host byte order.
#pragma once

#include <cstdint>

namespace bastion {

struct PacketView {
    uint32_t srcAddr = 0;         // IPv4 source
    uint32_t dstAddr = 0;         // IPv4 destination
    uint16_t srcPort = 0;         // TCP/UDP source port; 0 for ICMP
    uint16_t dstPort = 0;         // TCP/UDP destination port; 0 for ICMP
    uint8_t tcpFlags = 0;         // TCP flags & 0x3F (FIN 0x01 SYN 0x02 RST 0x04 PSH 0x08 ACK 0x10 URG 0x20)
    uint32_t seq = 0;             // TCP sequence number
    uint32_t ack = 0;             // TCP acknowledgement number
    uint32_t payloadLength = 0;   // bytes after the transport header
    const uint8_t* payload = nullptr;  // first byte after the transport header
    uint8_t ttl = 0;              // IPv4 TTL
    uint16_t window = 0;          // TCP window
    uint8_t hasMss = 0;           // SYN only: MSS option with a non-zero value found
    uint16_t mss = 0;             // SYN only: MSS option value
    uint8_t tcpOptionCount = 0;   // SYN only: options other than NOP/EOL
    uint8_t dataOffset = 5;       // TCP data offset in 32-bit words; 5 for UDP/ICMP
    uint8_t hasWindowScale = 0;   // SYN only: window-scale option present
    uint8_t hasTimestamps = 0;    // SYN only: timestamp option present
    uint8_t inbound = 1;          // 1 when the address's Outbound bit is clear
    uint8_t isUdp = 0;            // protocol 17
    uint8_t isIcmp = 0;           // protocol 1
    uint8_t icmpType = 0;         // first byte of the ICMP header
    uint32_t packetLength = 0;    // IPv4 total length
    uint16_t fragmentOffset = 0;  // fragment offset field, 8-byte units
    uint8_t isFragment = 0;       // offset non-zero or More-Fragments set
};

namespace tcp_flags {
constexpr uint8_t kFin = 0x01;
constexpr uint8_t kSyn = 0x02;
constexpr uint8_t kRst = 0x04;
constexpr uint8_t kPsh = 0x08;
constexpr uint8_t kAck = 0x10;
constexpr uint8_t kUrg = 0x20;
}  // namespace tcp_flags

// SYN set, ACK clear.
inline bool IsPureSyn(const PacketView& packet) {
    return (packet.tcpFlags & (tcp_flags::kSyn | tcp_flags::kAck)) == tcp_flags::kSyn;
}

}  // namespace bastion
