// The kinds of traffic the generator produces, and how a packet says which kind it is.
//
// Every generated packet carries its class in the top four bits of the IPv4
// identification field (the low twelve bits count packets), so whoever sees the packet
// later (the world's delivery, a capture) can attribute it without a lookup table.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

namespace bastion::tools {

enum class TrafficClass : uint8_t {
    LegitTcp = 0,          // clients: handshake, request with payload, orderly close
    LegitUdp = 1,          // a few UDP users (game or DNS-like datagrams)
    LegitIcmp = 2,         // a few pinging hosts
    SynFloodSpoofed = 3,   // SYNs from random spoofed sources
    AckFlood = 4,          // out-of-state ACKs from random spoofed sources
    TcpFloodSingle = 5,    // one real source sending TCP at a high rate
    SynFloodFew = 6,       // SYNs from a few real sources
    UdpFlood = 7,          // large UDP datagrams to the service port from two hosts
    UdpAmplification = 8,  // reflected replies from ports 53, 123, 1900, 11211
    IcmpFlood = 9,         // echo requests from a few sources
    MalformedTcp = 10,     // impossible TCP flag combinations
};

constexpr size_t kTrafficClassCount = 11;

constexpr std::array<TrafficClass, kTrafficClassCount> kAllTrafficClasses = {
    TrafficClass::LegitTcp,        TrafficClass::LegitUdp,     TrafficClass::LegitIcmp,
    TrafficClass::SynFloodSpoofed, TrafficClass::AckFlood,     TrafficClass::TcpFloodSingle,
    TrafficClass::SynFloodFew,     TrafficClass::UdpFlood,     TrafficClass::UdpAmplification,
    TrafficClass::IcmpFlood,       TrafficClass::MalformedTcp,
};

constexpr bool IsLegitimate(TrafficClass c) {
    return c == TrafficClass::LegitTcp || c == TrafficClass::LegitUdp ||
           c == TrafficClass::LegitIcmp;
}

// Short names used in scenario files and on the demo's lines ("legit-tcp", "syn-spoofed").
std::string_view ClassName(TrafficClass c);
std::optional<TrafficClass> ClassFromName(std::string_view name);

// The identification field of the `counter`-th packet of a class.
constexpr uint16_t TagId(TrafficClass c, uint32_t counter) {
    return static_cast<uint16_t>((static_cast<unsigned>(c) << 12) | (counter & 0x0FFFu));
}

// The class a packet's identification field names; nullopt for a packet too short to
// carry one or naming no class.
std::optional<TrafficClass> ClassOfPacket(const uint8_t* packet, size_t length);

}  // namespace bastion::tools
