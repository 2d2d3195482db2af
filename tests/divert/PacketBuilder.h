// A small fluent builder of IPv4/IPv6 packets for the filter and helper tests.
//
//   auto syn = PacketBuilder::Ipv4("10.0.0.2", "192.0.2.1").Ttl(64).Df()
//                  .Tcp(40000, 80).Syn().Seq(1000).Window(64240).Build();
//
// Lengths are filled in from what was added unless overridden; checksums are left 0 (the
// tests that need them compute them explicitly).
#pragma once

#include <arpa/inet.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

#include "windivert.h"

namespace divert::testing {

using Bytes = std::vector<uint8_t>;

class PacketBuilder {
  public:
    static PacketBuilder Ipv4(const char* source, const char* destination) {
        PacketBuilder b;
        b.v6_ = false;
        b.src_.resize(4);
        b.dst_.resize(4);
        if (inet_pton(AF_INET, source, b.src_.data()) != 1 ||
            inet_pton(AF_INET, destination, b.dst_.data()) != 1) {
            throw std::invalid_argument("bad IPv4 address");
        }
        return b;
    }

    static PacketBuilder Ipv6(const char* source, const char* destination) {
        PacketBuilder b;
        b.v6_ = true;
        b.ttl_ = 64;
        b.src_.resize(16);
        b.dst_.resize(16);
        if (inet_pton(AF_INET6, source, b.src_.data()) != 1 ||
            inet_pton(AF_INET6, destination, b.dst_.data()) != 1) {
            throw std::invalid_argument("bad IPv6 address");
        }
        return b;
    }

    // ---- IP ------------------------------------------------------------------------------
    PacketBuilder& Ttl(uint8_t ttl) { return Set(ttl_, ttl); }
    PacketBuilder& Tos(uint8_t tos) { return Set(tos_, tos); }
    PacketBuilder& Id(uint16_t id) { return Set(id_, id); }
    PacketBuilder& Df() { return Set(df_, true); }
    PacketBuilder& Mf() { return Set(mf_, true); }
    PacketBuilder& FragmentOffset(uint16_t units) { return Set(fragOffset_, units); }
    PacketBuilder& FlowLabel(uint32_t label) { return Set(flowLabel_, label); }
    PacketBuilder& IpHeaderWords(uint8_t words) { return Set(ihl_, words); }
    PacketBuilder& IpOptions(Bytes options) { return Set(ipOptions_, std::move(options)); }
    // Overrides the IP length field (IPv4 total length, IPv6 payload length).
    PacketBuilder& IpLength(uint16_t length) {
        ipLengthOverride_ = length;
        return *this;
    }
    // IPv6 extension header of `type` with `body` (its own next-header byte is filled in).
    PacketBuilder& Ipv6Extension(uint8_t type, Bytes body) {
        extensions_.push_back({type, std::move(body)});
        return *this;
    }

    // ---- Transport ---------------------------------------------------------------------
    PacketBuilder& Tcp(uint16_t source, uint16_t destination) {
        protocol_ = IPPROTO_TCP;
        raw_ = false;
        sport_ = source;
        dport_ = destination;
        return *this;
    }
    PacketBuilder& Flags(uint8_t flags) { return Set(tcpFlags_, flags); }
    PacketBuilder& Fin() { return AddFlag(0x01); }
    PacketBuilder& Syn() { return AddFlag(0x02); }
    PacketBuilder& Rst() { return AddFlag(0x04); }
    PacketBuilder& Psh() { return AddFlag(0x08); }
    PacketBuilder& Ack() { return AddFlag(0x10); }
    PacketBuilder& Urg() { return AddFlag(0x20); }
    PacketBuilder& Seq(uint32_t seq) { return Set(seq_, seq); }
    PacketBuilder& AckNumber(uint32_t ack) { return Set(ack_, ack); }
    PacketBuilder& Window(uint16_t window) { return Set(window_, window); }
    PacketBuilder& UrgentPointer(uint16_t pointer) { return Set(urgPtr_, pointer); }
    PacketBuilder& TcpOptions(Bytes options) { return Set(tcpOptions_, std::move(options)); }
    // Overrides the TCP data offset (in 32-bit words) written into the header.
    PacketBuilder& DataOffset(uint8_t words) { return Set(dataOffset_, words); }

    PacketBuilder& Udp(uint16_t source, uint16_t destination) {
        protocol_ = IPPROTO_UDP;
        raw_ = false;
        sport_ = source;
        dport_ = destination;
        return *this;
    }
    PacketBuilder& UdpLength(uint16_t length) {
        udpLengthOverride_ = length;
        return *this;
    }

    PacketBuilder& Icmp(uint8_t type, uint8_t code, uint32_t body) {
        protocol_ = static_cast<uint8_t>(v6_ ? int{IPPROTO_ICMPV6} : int{IPPROTO_ICMP});
        raw_ = false;
        icmpType_ = type;
        icmpCode_ = code;
        icmpBody_ = body;
        return *this;
    }

    // Any protocol number with no header built for it: the payload is all there is (for
    // later fragments, or protocols the filter does not know).
    PacketBuilder& Protocol(uint8_t protocol) {
        raw_ = true;
        return Set(protocol_, protocol);
    }

    PacketBuilder& Payload(const std::string& text) {
        payload_.assign(text.begin(), text.end());
        return *this;
    }
    PacketBuilder& Payload(Bytes bytes) { return Set(payload_, std::move(bytes)); }
    PacketBuilder& Zeros(size_t count) { return Set(payload_, Bytes(count, 0)); }

    // Cuts the built packet to its first `length` bytes (the IP length field keeps the
    // full size).
    PacketBuilder& TruncateTo(size_t length) {
        truncate_ = length;
        return *this;
    }

    Bytes Build() const {
        Bytes transport = Transport();
        Bytes body;
        // IPv6 extension headers chain their next-header bytes to the transport protocol.
        for (size_t i = 0; i < extensions_.size(); ++i) {
            uint8_t next = i + 1 < extensions_.size() ? extensions_[i + 1].type : protocol_;
            Bytes ext = extensions_[i].body;
            if (!ext.empty()) ext[0] = next;
            body.insert(body.end(), ext.begin(), ext.end());
        }
        body.insert(body.end(), transport.begin(), transport.end());

        Bytes packet;
        if (!v6_) {
            size_t headerLength = 20 + ipOptions_.size();
            packet.resize(headerLength);
            uint8_t words = ihl_ ? ihl_ : static_cast<uint8_t>(headerLength / 4);
            packet[0] = static_cast<uint8_t>(0x40 | (words & 0x0F));
            packet[1] = tos_;
            Put16(packet, 2,
                  ipLengthOverride_ >= 0 ? ipLengthOverride_
                                         : static_cast<int>(headerLength + body.size()));
            Put16(packet, 4, id_);
            uint16_t fragment = static_cast<uint16_t>((df_ ? 0x4000 : 0) | (mf_ ? 0x2000 : 0) |
                                                      (fragOffset_ & 0x1FFF));
            Put16(packet, 6, fragment);
            packet[8] = ttl_;
            packet[9] = protocol_;
            std::memcpy(&packet[12], src_.data(), 4);
            std::memcpy(&packet[16], dst_.data(), 4);
            std::copy(ipOptions_.begin(), ipOptions_.end(), packet.begin() + 20);
        } else {
            packet.resize(40);
            uint32_t first = (6u << 28) | (uint32_t{tos_} << 20) | (flowLabel_ & 0xFFFFF);
            packet[0] = static_cast<uint8_t>(first >> 24);
            packet[1] = static_cast<uint8_t>(first >> 16);
            packet[2] = static_cast<uint8_t>(first >> 8);
            packet[3] = static_cast<uint8_t>(first);
            Put16(packet, 4,
                  ipLengthOverride_ >= 0 ? ipLengthOverride_ : static_cast<int>(body.size()));
            packet[6] = extensions_.empty() ? protocol_ : extensions_[0].type;
            packet[7] = ttl_;
            std::memcpy(&packet[8], src_.data(), 16);
            std::memcpy(&packet[24], dst_.data(), 16);
        }
        packet.insert(packet.end(), body.begin(), body.end());
        if (truncate_ < packet.size()) packet.resize(truncate_);
        return packet;
    }

  private:
    struct Extension {
        uint8_t type;
        Bytes body;
    };

    template <typename T, typename V>
    PacketBuilder& Set(T& field, V value) {
        field = std::move(value);
        return *this;
    }
    PacketBuilder& AddFlag(uint8_t flag) {
        tcpFlags_ = static_cast<uint8_t>(tcpFlags_ | flag);
        return *this;
    }

    static void Put16(Bytes& b, size_t at, int v) {
        b[at] = static_cast<uint8_t>(v >> 8);
        b[at + 1] = static_cast<uint8_t>(v);
    }
    static void Put32(Bytes& b, size_t at, uint32_t v) {
        Put16(b, at, static_cast<int>(v >> 16));
        Put16(b, at + 2, static_cast<int>(v & 0xFFFF));
    }

    Bytes Transport() const {
        Bytes t;
        switch (raw_ ? 0 : protocol_) {
            case IPPROTO_TCP: {
                size_t headerLength = 20 + tcpOptions_.size();
                t.resize(headerLength);
                Put16(t, 0, sport_);
                Put16(t, 2, dport_);
                Put32(t, 4, seq_);
                Put32(t, 8, ack_);
                uint8_t words = dataOffset_ ? dataOffset_ : static_cast<uint8_t>(headerLength / 4);
                t[12] = static_cast<uint8_t>(words << 4);
                t[13] = tcpFlags_;
                Put16(t, 14, window_);
                Put16(t, 18, urgPtr_);
                std::copy(tcpOptions_.begin(), tcpOptions_.end(), t.begin() + 20);
                break;
            }
            case IPPROTO_UDP:
                t.resize(8);
                Put16(t, 0, sport_);
                Put16(t, 2, dport_);
                Put16(t, 4,
                      udpLengthOverride_ >= 0 ? udpLengthOverride_
                                              : static_cast<int>(8 + payload_.size()));
                break;
            case IPPROTO_ICMP:
            case IPPROTO_ICMPV6:
                t.resize(8);
                t[0] = icmpType_;
                t[1] = icmpCode_;
                Put32(t, 4, icmpBody_);
                break;
            default:
                break;
        }
        t.insert(t.end(), payload_.begin(), payload_.end());
        return t;
    }

    bool v6_ = false, raw_ = false;
    Bytes src_, dst_;
    uint8_t ttl_ = 64, tos_ = 0, ihl_ = 0, protocol_ = 0;
    uint16_t id_ = 0, fragOffset_ = 0;
    bool df_ = false, mf_ = false;
    uint32_t flowLabel_ = 0;
    int ipLengthOverride_ = -1;
    Bytes ipOptions_;
    std::vector<Extension> extensions_;
    uint16_t sport_ = 0, dport_ = 0;
    uint8_t tcpFlags_ = 0, dataOffset_ = 0;
    uint32_t seq_ = 0, ack_ = 0;
    uint16_t window_ = 0, urgPtr_ = 0;
    Bytes tcpOptions_;
    int udpLengthOverride_ = -1;
    uint8_t icmpType_ = 0, icmpCode_ = 0;
    uint32_t icmpBody_ = 0;
    Bytes payload_;
    size_t truncate_ = SIZE_MAX;
};

// Address records for the tests.
inline WINDIVERT_ADDRESS NetworkAddress(bool outbound, bool ipv6 = false) {
    WINDIVERT_ADDRESS a{};
    a.Layer = WINDIVERT_LAYER_NETWORK;
    a.Event = WINDIVERT_EVENT_NETWORK_PACKET;
    a.Outbound = outbound ? 1 : 0;
    a.IPv6 = ipv6 ? 1 : 0;
    return a;
}

}  // namespace divert::testing
