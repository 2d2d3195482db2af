// Packet helpers: header layouts, ParsePacket (including batch walking), HashPacket,
// CalcChecksums against independently computed fixtures, DecrementTTL, the address
// parse/format helpers and the byte-order helpers.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "tests/divert/PacketBuilder.h"
#include "windivert.h"

namespace divert::testing {
namespace {

Bytes FromHex(const std::string& hex) {
    Bytes out;
    for (size_t i = 0; i + 1 < hex.size(); i += 2) {
        out.push_back(static_cast<uint8_t>(std::stoi(hex.substr(i, 2), nullptr, 16)));
    }
    return out;
}

// ---- Layouts ------------------------------------------------------------------------------

TEST(HeaderLayout, AddressBitFieldsSitWhereThePublishedLayoutPutsThem) {
    WINDIVERT_ADDRESS a{};
    a.Layer = 0xAB;
    a.Event = 0xCD;
    a.Sniffed = 1;
    uint8_t raw[sizeof(a)];
    std::memcpy(raw, &a, sizeof(a));
    EXPECT_EQ(raw[8], 0xAB);
    EXPECT_EQ(raw[9], 0xCD);
    EXPECT_EQ(raw[10], 0x01);
    EXPECT_EQ(raw[11], 0x00);

    struct Bit {
        void (*set)(WINDIVERT_ADDRESS&);
        uint8_t mask;
    };
    for (const Bit& bit : std::vector<Bit>{
             {[](WINDIVERT_ADDRESS& x) { x.Outbound = 1; }, 0x02},
             {[](WINDIVERT_ADDRESS& x) { x.Loopback = 1; }, 0x04},
             {[](WINDIVERT_ADDRESS& x) { x.Impostor = 1; }, 0x08},
             {[](WINDIVERT_ADDRESS& x) { x.IPv6 = 1; }, 0x10},
             {[](WINDIVERT_ADDRESS& x) { x.IPChecksum = 1; }, 0x20},
             {[](WINDIVERT_ADDRESS& x) { x.TCPChecksum = 1; }, 0x40},
             {[](WINDIVERT_ADDRESS& x) { x.UDPChecksum = 1; }, 0x80},
         }) {
        WINDIVERT_ADDRESS b{};
        bit.set(b);
        std::memcpy(raw, &b, sizeof(b));
        EXPECT_EQ(raw[10], bit.mask);
    }
}

TEST(HeaderLayout, HeaderBitFieldsMatchTheWire) {
    WINDIVERT_IPHDR ip{};
    ip.HdrLength = 5;
    ip.Version = 4;
    EXPECT_EQ(reinterpret_cast<uint8_t*>(&ip)[0], 0x45);
    WINDIVERT_TCPHDR tcp{};
    tcp.HdrLength = 5;
    tcp.Syn = 1;
    tcp.Ack = 1;
    EXPECT_EQ(reinterpret_cast<uint8_t*>(&tcp)[12], 0x50);
    EXPECT_EQ(reinterpret_cast<uint8_t*>(&tcp)[13], 0x12);

    // Fragment macros work on the raw little-endian load of bytes 6-7.
    Bytes frag = PacketBuilder::Ipv4("1.1.1.1", "2.2.2.2").Df().Mf().FragmentOffset(185).Build();
    auto* hdr = reinterpret_cast<WINDIVERT_IPHDR*>(frag.data());
    EXPECT_TRUE(WINDIVERT_IPHDR_GET_DF(hdr));
    EXPECT_TRUE(WINDIVERT_IPHDR_GET_MF(hdr));
    EXPECT_FALSE(WINDIVERT_IPHDR_GET_RESERVED(hdr));
    EXPECT_EQ(WinDivertHelperNtohs(WINDIVERT_IPHDR_GET_FRAGOFF(hdr)), 185);
    WINDIVERT_IPHDR_SET_MF(hdr, 0);
    EXPECT_FALSE(WINDIVERT_IPHDR_GET_MF(hdr));
    EXPECT_TRUE(WINDIVERT_IPHDR_GET_DF(hdr));

    WINDIVERT_IPV6HDR v6{};
    WINDIVERT_IPV6HDR_SET_TRAFFICCLASS(&v6, 0xA5);
    EXPECT_EQ(WINDIVERT_IPV6HDR_GET_TRAFFICCLASS(&v6), 0xA5);
    WINDIVERT_IPV6HDR_SET_FLOWLABEL(&v6, 0x12345);
    EXPECT_EQ(WINDIVERT_IPV6HDR_GET_FLOWLABEL(&v6), 0x12345u);
}

TEST(ByteOrder, SwapsAndAddressReversal) {
    EXPECT_EQ(WinDivertHelperNtohs(0x1234), 0x3412);
    EXPECT_EQ(WinDivertHelperHtonl(0x01020304u), 0x04030201u);
    EXPECT_EQ(WinDivertHelperNtohll(0x0102030405060708ull), 0x0807060504030201ull);
    UINT in[4] = {0x01020304, 0x05060708, 0x090a0b0c, 0x0d0e0f10};
    UINT out[4];
    WinDivertHelperNtohIPv6Address(in, out);
    EXPECT_EQ(out[0], 0x100f0e0du);
    EXPECT_EQ(out[3], 0x04030201u);
    WinDivertHelperHtonIPv6Address(in, in);  // in place
    EXPECT_EQ(std::memcmp(in, out, sizeof(out)), 0);
}

// ---- ParsePacket --------------------------------------------------------------------------

struct Parsed {
    BOOL ok;
    PWINDIVERT_IPHDR ip = nullptr;
    PWINDIVERT_IPV6HDR ip6 = nullptr;
    UINT8 protocol = 0xEE;
    PWINDIVERT_ICMPHDR icmp = nullptr;
    PWINDIVERT_ICMPV6HDR icmp6 = nullptr;
    PWINDIVERT_TCPHDR tcp = nullptr;
    PWINDIVERT_UDPHDR udp = nullptr;
    PVOID data = nullptr;
    UINT dataLength = 0;
    PVOID next = nullptr;
    UINT nextLength = 0;
};

Parsed Parse(const Bytes& b, size_t length = SIZE_MAX) {
    Parsed p;
    UINT n = static_cast<UINT>(length == SIZE_MAX ? b.size() : length);
    p.ok =
        WinDivertHelperParsePacket(b.data(), n, &p.ip, &p.ip6, &p.protocol, &p.icmp, &p.icmp6,
                                   &p.tcp, &p.udp, &p.data, &p.dataLength, &p.next, &p.nextLength);
    return p;
}

TEST(ParsePacket, FindsHeadersAndPayload) {
    Bytes b = PacketBuilder::Ipv4("10.0.0.2", "8.8.8.8").Udp(5353, 53).Payload("abcd").Build();
    Parsed p = Parse(b);
    ASSERT_TRUE(p.ok);
    EXPECT_EQ(reinterpret_cast<uint8_t*>(p.ip), b.data());
    EXPECT_EQ(p.ip6, nullptr);
    EXPECT_EQ(p.protocol, IPPROTO_UDP);
    EXPECT_EQ(reinterpret_cast<uint8_t*>(p.udp), b.data() + 20);
    EXPECT_EQ(p.tcp, nullptr);
    EXPECT_EQ(p.data, b.data() + 28);
    EXPECT_EQ(p.dataLength, 4u);
    EXPECT_EQ(p.next, nullptr);
    EXPECT_EQ(p.nextLength, 0u);

    Bytes empty = PacketBuilder::Ipv4("10.0.0.2", "1.2.3.4").Tcp(1, 2).Syn().Build();
    Parsed e = Parse(empty);
    ASSERT_TRUE(e.ok);
    EXPECT_NE(e.tcp, nullptr);
    EXPECT_EQ(e.data, nullptr);  // no payload
    EXPECT_EQ(e.dataLength, 0u);
}

TEST(ParsePacket, RejectsWhatIsNotAnIpPacket) {
    Bytes good = PacketBuilder::Ipv4("10.0.0.2", "1.2.3.4").Tcp(1, 2).Build();
    EXPECT_FALSE(Parse(good, 19).ok);
    Bytes v5 = good;
    v5[0] = 0x55;
    EXPECT_FALSE(Parse(v5).ok);
    Bytes ihl4 = good;
    ihl4[0] = 0x44;
    EXPECT_FALSE(Parse(ihl4).ok);
    Bytes shortTotal = PacketBuilder::Ipv4("10.0.0.2", "1.2.3.4").Tcp(1, 2).IpLength(19).Build();
    EXPECT_FALSE(Parse(shortTotal).ok);
    Bytes v6 = PacketBuilder::Ipv6("::1", "::2").Udp(1, 2).Build();
    EXPECT_FALSE(Parse(v6, 39).ok);
    Parsed none = Parse(v5);
    EXPECT_EQ(none.ip, nullptr);
    EXPECT_EQ(none.next, nullptr);
    EXPECT_FALSE(WinDivertHelperParsePacket(nullptr, 40, nullptr, nullptr, nullptr, nullptr,
                                            nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                                            nullptr));
}

TEST(ParsePacket, TruncatedPacketParsesButReportsFalse) {
    Bytes b = PacketBuilder::Ipv4("10.0.0.2", "1.2.3.4").Tcp(1, 2).Payload("0123456789").Build();
    Parsed p = Parse(b, 45);
    EXPECT_FALSE(p.ok);
    EXPECT_NE(p.tcp, nullptr);
    EXPECT_EQ(p.dataLength, 5u);
    EXPECT_EQ(p.next, nullptr);
}

TEST(ParsePacket, WalksABatchThroughNext) {
    Bytes batch;
    std::vector<size_t> sizes;
    for (const Bytes& b : {PacketBuilder::Ipv4("10.0.0.1", "1.2.3.4").Tcp(1, 2).Build(),
                           PacketBuilder::Ipv6("::1", "::2").Udp(3, 4).Payload("xyz").Build(),
                           PacketBuilder::Ipv4("10.0.0.3", "1.2.3.4").Icmp(8, 0, 0).Build()}) {
        batch.insert(batch.end(), b.begin(), b.end());
        sizes.push_back(b.size());
    }
    const void* p = batch.data();
    UINT length = static_cast<UINT>(batch.size());
    std::vector<UINT8> protocols;
    PVOID next;
    UINT nextLength;
    UINT8 protocol;
    while (WinDivertHelperParsePacket(p, length, nullptr, nullptr, &protocol, nullptr, nullptr,
                                      nullptr, nullptr, nullptr, nullptr, &next, &nextLength)) {
        protocols.push_back(protocol);
        p = next;
        length = nextLength;
    }
    EXPECT_EQ(protocols, (std::vector<UINT8>{IPPROTO_TCP, IPPROTO_UDP, IPPROTO_ICMP}));
}

TEST(ParsePacket, Ipv6ExtensionHeadersAndFragments) {
    // Hop-by-hop and destination options before UDP.
    Bytes b = PacketBuilder::Ipv6("2001:db8::1", "::2")
                  .Ipv6Extension(0, {0, 0, 1, 4, 0, 0, 0, 0})
                  .Ipv6Extension(60, {0, 1, 1, 12, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0})
                  .Udp(1, 53)
                  .Payload("q")
                  .Build();
    Parsed p = Parse(b);
    ASSERT_TRUE(p.ok);
    EXPECT_EQ(p.protocol, IPPROTO_UDP);
    EXPECT_EQ(reinterpret_cast<uint8_t*>(p.udp), b.data() + 40 + 8 + 16);
    EXPECT_EQ(p.dataLength, 1u);

    // A first fragment (offset 0, M set) keeps its UDP header; a later one has none.
    Bytes first = PacketBuilder::Ipv6("::1", "::2")
                      .Ipv6Extension(44, {0, 0, 0x00, 0x01, 0, 0, 0, 7})
                      .Udp(1, 53)
                      .Payload("abc")
                      .Build();
    EXPECT_NE(Parse(first).udp, nullptr);
    Bytes later = PacketBuilder::Ipv6("::1", "::2")
                      .Ipv6Extension(44, {0, 0, 0x05, 0xC8, 0, 0, 0, 7})
                      .Protocol(IPPROTO_UDP)
                      .Zeros(16)
                      .Build();
    Parsed l = Parse(later);
    EXPECT_TRUE(l.ok);
    EXPECT_EQ(l.udp, nullptr);
    EXPECT_EQ(l.protocol, IPPROTO_UDP);
    EXPECT_EQ(l.dataLength, 16u);

    // An extension header that runs past the packet stops the walk.
    Bytes cut = PacketBuilder::Ipv6("::1", "::2").Ipv6Extension(0, {17, 5, 0, 0}).Build();
    Parsed c = Parse(cut);
    EXPECT_TRUE(c.ok);
    EXPECT_EQ(c.protocol, 0);
    EXPECT_EQ(c.udp, nullptr);
}

TEST(ParsePacket, TransportHeadersNeedTheirFullSize) {
    // IPv4 later fragment: no transport header.
    Bytes later = PacketBuilder::Ipv4("10.0.0.2", "8.8.8.8")
                      .Protocol(IPPROTO_UDP)
                      .FragmentOffset(185)
                      .Zeros(16)
                      .Build();
    EXPECT_EQ(Parse(later).udp, nullptr);
    // TCP data offset below 5: the bytes are payload.
    Bytes doff = PacketBuilder::Ipv4("10.0.0.2", "8.8.8.8").Tcp(1, 2).DataOffset(4).Build();
    Parsed d = Parse(doff);
    EXPECT_EQ(d.tcp, nullptr);
    EXPECT_EQ(d.dataLength, 20u);
    // A data offset beyond the packet is clamped: the header is found, the payload empty.
    Bytes big = PacketBuilder::Ipv4("10.0.0.2", "8.8.8.8").Tcp(1, 2).DataOffset(15).Build();
    Parsed g = Parse(big);
    EXPECT_NE(g.tcp, nullptr);
    EXPECT_EQ(g.dataLength, 0u);
    // ICMP only counts in IPv4, ICMPv6 only in IPv6.
    Bytes icmpIn6 = PacketBuilder::Ipv6("::1", "::2").Protocol(IPPROTO_ICMP).Zeros(8).Build();
    Parsed i = Parse(icmpIn6);
    EXPECT_EQ(i.icmp, nullptr);
    EXPECT_EQ(i.icmp6, nullptr);
    Bytes shortUdp =
        PacketBuilder::Ipv4("10.0.0.2", "8.8.8.8").Protocol(IPPROTO_UDP).Zeros(7).Build();
    EXPECT_EQ(Parse(shortUdp).udp, nullptr);
}

// ---- HashPacket ---------------------------------------------------------------------------

TEST(HashPacket, PublishedVectors) {
    auto v4 = [] { return PacketBuilder::Ipv4("10.0.0.2", "192.0.2.1").Id(0x1234).Df().Ttl(64); };
    auto v6 = [] { return PacketBuilder::Ipv6("2001:db8::1", "::2").Ttl(64); };
    struct Vector {
        const char* name;
        Bytes packet;
        uint64_t seed0, seed1;
    };
    for (const Vector& v : std::vector<Vector>{
             {"v4 tcp", v4().Tcp(40000, 80).Seq(1000).Syn().Window(64240).Build(),
              0xae4002f9dc69b325ull, 0x6ae574e0605f5f59ull},
             {"v4 udp", v4().Udp(5353, 53).Payload("abcd").Build(), 0xbbddeec2a64ecb3cull,
              0x2f496d355a693011ull},
             {"v4 icmp", v4().Icmp(8, 0, 0x00010001).Build(), 0xe96ad396c4e6a409ull,
              0x23704e900c6124bfull},
             {"v4 gre", v4().Protocol(47).Zeros(8).Build(), 0xa20580070c27f98dull,
              0xd25022f6a3d0b3a6ull},
             {"v6 tcp", v6().Tcp(40000, 80).Seq(1000).Syn().Window(64240).Build(),
              0x905dd069e7024e81ull, 0xd3a73a132bcf93a5ull},
             {"v6 udp", v6().Udp(5353, 53).Payload("abcd").Build(), 0xb3c6e434512d18bbull,
              0xa207a956ca8937dbull},
             {"v6 icmpv6", v6().Icmp(8, 0, 0x00010001).Build(), 0x5eba02f7b69aec43ull,
              0x897c208a5e2547f9ull},
         }) {
        SCOPED_TRACE(v.name);
        const UINT n = static_cast<UINT>(v.packet.size());
        EXPECT_EQ(WinDivertHelperHashPacket(v.packet.data(), n), v.seed0);
        EXPECT_EQ(WinDivertHelperHashPacket(v.packet.data(), n, 0x123456789abcdef0ull), v.seed1);
        EXPECT_EQ(WinDivertHelperHashPacket(v.packet.data(), n - 1), 0u) << "truncated";
    }
    EXPECT_EQ(WinDivertHelperHashPacket(nullptr, 40), 0u);
}

// ---- Checksums ----------------------------------------------------------------------------

// Packets with correct checksums, made by tools/make_checksum_fixtures.py, which builds
// them with Python's struct module and computes every checksum itself (RFC 1071 sum with
// the IPv4 and IPv6 pseudo-headers) without using this library.
struct Fixture {
    const char* name;
    const char* hex;
};
const Fixture kFixtures[] = {
    {"Ipv4TcpSynOddPayload",
     "4500002f1234400040065c920a000002c00002019c400050000003e800000000"
     "6002faf06c540000020405b4616263"},
    {"Ipv4Udp", "450000201234400040110e880a0000020808080814e90035000c0be061626364"},
    {"Ipv4UdpZeroSumIsFFFF", "450000201234400040110d8c0a0102030a04050603e807d0000cffff1234c6dc"},
    {"Ipv4IcmpEcho", "450000201234400040011ca60a000002010101010800192d0001000170696e67"},
    {"Ipv4OptionsTcpData",
     "46000038123440004006cd67ac100001ac1000020101010001bbc35001020304"
     "0a0b0c0d501801f63631000068656c6c6f2c20776f726c64"},
    {"Ipv6TcpAck",
     "600000000019064020010db80000000000000000000000010000000000000000"
     "000000000000000201bbc3500000000100000001501003e8754c000068656c6c"
     "6f"},
    {"Ipv6HopByHopUdp",
     "60000000001a0040fe800000000000000000000000000001ff02000000000000"
     "00000000000000fb110001040000000014e914e90012e6506d646e732d717565"
     "7279"},
    {"Ipv6IcmpEcho",
     "6000000000103a4020010db800000000000000000000000120010db800000000"
     "0000000000000002800092a2000700016162636465666768"},
};

// Offsets of the checksum fields of a packet (IPv4 header, transport).
std::vector<size_t> ChecksumOffsets(const Bytes& b) {
    Parsed p = Parse(b);
    std::vector<size_t> at;
    if (p.ip) at.push_back(10);
    auto offset = [&](void* h) { return static_cast<size_t>(static_cast<uint8_t*>(h) - b.data()); };
    if (p.tcp) at.push_back(offset(p.tcp) + 16);
    if (p.udp) at.push_back(offset(p.udp) + 6);
    if (p.icmp) at.push_back(offset(p.icmp) + 2);
    if (p.icmp6) at.push_back(offset(p.icmp6) + 2);
    return at;
}

TEST(CalcChecksums, MatchIndependentlyComputedFixtures) {
    for (const Fixture& f : kFixtures) {
        SCOPED_TRACE(f.name);
        const Bytes expected = FromHex(f.hex);
        Bytes packet = expected;
        for (size_t at : ChecksumOffsets(packet))
            packet[at] = packet[at + 1] = 0xA5;
        WINDIVERT_ADDRESS address{};
        ASSERT_TRUE(WinDivertHelperCalcChecksums(packet.data(), static_cast<UINT>(packet.size()),
                                                 &address, 0));
        EXPECT_EQ(packet, expected);
        const bool v4 = (expected[0] >> 4) == 4;
        EXPECT_EQ(address.IPChecksum, v4 ? 1u : 0u);
        Parsed p = Parse(packet);
        EXPECT_EQ(address.TCPChecksum, p.tcp ? 1u : 0u);
        EXPECT_EQ(address.UDPChecksum, p.udp ? 1u : 0u);
    }
}

TEST(CalcChecksums, FlagsSkipChecksumsAndAddressIsOptional) {
    const Bytes expected = FromHex(kFixtures[0].hex);  // IPv4 TCP
    Bytes packet = expected;
    packet[10] = packet[11] = 0;
    packet[36] = packet[37] = 0;
    ASSERT_TRUE(WinDivertHelperCalcChecksums(packet.data(), static_cast<UINT>(packet.size()),
                                             nullptr, WINDIVERT_HELPER_NO_TCP_CHECKSUM));
    EXPECT_EQ(packet[10], expected[10]);
    EXPECT_EQ(packet[36], 0);
    WINDIVERT_ADDRESS address{};
    ASSERT_TRUE(WinDivertHelperCalcChecksums(packet.data(), static_cast<UINT>(packet.size()),
                                             &address, WINDIVERT_HELPER_NO_IP_CHECKSUM));
    EXPECT_EQ(packet, expected);
    EXPECT_EQ(address.IPChecksum, 0u);
    EXPECT_EQ(address.TCPChecksum, 1u);
    // ICMP has no address flag; its skip flag leaves it alone.
    Bytes icmp = FromHex(kFixtures[3].hex);
    icmp[22] = icmp[23] = 0;
    ASSERT_TRUE(WinDivertHelperCalcChecksums(icmp.data(), static_cast<UINT>(icmp.size()), nullptr,
                                             WINDIVERT_HELPER_NO_ICMP_CHECKSUM));
    EXPECT_EQ(icmp[22], 0);
}

TEST(CalcChecksums, TruncatedOrFragmentedSegmentsFailAfterTheIpHeader) {
    Bytes packet = FromHex(kFixtures[1].hex);  // IPv4 UDP
    const uint8_t ipChecksum[2] = {packet[10], packet[11]};
    packet[10] = packet[11] = 0;
    EXPECT_FALSE(WinDivertHelperCalcChecksums(packet.data(), 30, nullptr, 0));
    EXPECT_EQ(packet[10], ipChecksum[0]);
    EXPECT_EQ(packet[11], ipChecksum[1]);

    Bytes first = PacketBuilder::Ipv4("10.0.0.2", "8.8.8.8").Mf().Udp(1, 2).Zeros(16).Build();
    EXPECT_FALSE(
        WinDivertHelperCalcChecksums(first.data(), static_cast<UINT>(first.size()), nullptr, 0));
    Bytes other = PacketBuilder::Ipv4("10.0.0.2", "8.8.8.8").Protocol(47).Zeros(8).Build();
    EXPECT_TRUE(
        WinDivertHelperCalcChecksums(other.data(), static_cast<UINT>(other.size()), nullptr, 0));
    EXPECT_FALSE(WinDivertHelperCalcChecksums(other.data(), 19, nullptr, 0));
}

TEST(DecrementTTL, KeepsTheIpv4ChecksumValid) {
    for (uint8_t ttl : {uint8_t{2}, uint8_t{64}, uint8_t{255}}) {
        for (uint16_t id : {uint16_t{0}, uint16_t{0x1234}, uint16_t{0xFFFF}, uint16_t{0xBEEF}}) {
            Bytes packet =
                PacketBuilder::Ipv4("10.0.0.2", "8.8.8.8").Ttl(ttl).Id(id).Udp(1, 2).Build();
            ASSERT_TRUE(WinDivertHelperCalcChecksums(packet.data(),
                                                     static_cast<UINT>(packet.size()), nullptr, 0));
            ASSERT_TRUE(
                WinDivertHelperDecrementTTL(packet.data(), static_cast<UINT>(packet.size())));
            EXPECT_EQ(packet[8], ttl - 1);
            Bytes recomputed = packet;
            ASSERT_TRUE(WinDivertHelperCalcChecksums(recomputed.data(),
                                                     static_cast<UINT>(recomputed.size()), nullptr,
                                                     WINDIVERT_HELPER_NO_UDP_CHECKSUM));
            // One's-complement sums have two zeros; compare the header sums instead of bytes.
            auto sum = [](const Bytes& b) {
                uint32_t s = 0;
                for (int i = 0; i < 20; i += 2)
                    s += (b[i] << 8) | b[i + 1];
                while (s >> 16)
                    s = (s & 0xFFFF) + (s >> 16);
                return s;
            };
            EXPECT_EQ(sum(packet), 0xFFFFu) << "ttl " << int{ttl} << " id " << id;
        }
    }
}

TEST(DecrementTTL, RefusesExpiredAndShortPackets) {
    Bytes one = PacketBuilder::Ipv4("10.0.0.2", "8.8.8.8").Ttl(1).Udp(1, 2).Build();
    Bytes before = one;
    EXPECT_FALSE(WinDivertHelperDecrementTTL(one.data(), static_cast<UINT>(one.size())));
    EXPECT_EQ(one, before);
    Bytes v6 = PacketBuilder::Ipv6("::1", "::2").Ttl(9).Udp(1, 2).Build();
    EXPECT_TRUE(WinDivertHelperDecrementTTL(v6.data(), static_cast<UINT>(v6.size())));
    EXPECT_EQ(v6[7], 8);
    EXPECT_FALSE(WinDivertHelperDecrementTTL(v6.data(), 39));
    EXPECT_FALSE(WinDivertHelperDecrementTTL(one.data(), 19));
    EXPECT_FALSE(WinDivertHelperDecrementTTL(nullptr, 40));
}

// ---- Addresses ----------------------------------------------------------------------------

TEST(AddressText, ParseIpv4) {
    struct Row {
        const char* text;
        bool ok;
        UINT32 value;
    };
    for (const Row& r : std::vector<Row>{
             {"1.2.3.4", true, 0x01020304},
             {"01.2.3.4", true, 0x01020304},
             {"255.255.255.255", true, 0xFFFFFFFF},
             {"0.0.0.0", true, 0},
             {"1.2.3.256", false, 0},
             {"1.2.3", false, 0},
             {"1.2.3.4.", false, 0},
             {"1.2.3.4 ", false, 0},
             {" 1.2.3.4", false, 0},
             {"1..3.4", false, 0},
             {"a.b.c.d", false, 0},
             {"", false, 0},
         }) {
        SCOPED_TRACE(r.text);
        UINT32 value = 0xDEADBEEF;
        SetLastError(0);
        EXPECT_EQ(WinDivertHelperParseIPv4Address(r.text, &value) != FALSE, r.ok);
        if (r.ok) {
            EXPECT_EQ(value, r.value);
        } else {
            EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
        }
    }
    EXPECT_TRUE(WinDivertHelperParseIPv4Address("1.2.3.4", nullptr));
    EXPECT_FALSE(WinDivertHelperParseIPv4Address(nullptr, nullptr));
}

TEST(AddressText, ParseIpv6) {
    struct Row {
        const char* text;
        bool ok;
        UINT32 w[4];
    };
    for (const Row& r : std::vector<Row>{
             {"::1", true, {1, 0, 0, 0}},
             {"::", true, {0, 0, 0, 0}},
             {"1234:5678:1::aabb:ccdd", true, {0xAABBCCDD, 0, 0x00010000, 0x12345678}},
             {"1:2:3:4:5:6:7:8", true, {0x70008, 0x50006, 0x30004, 0x10002}},
             {"1::2:3:4:5:6:7", true, {0x60007, 0x40005, 0x20003, 0x10000}},
             {"ABCD::", true, {0, 0, 0, 0xABCD0000}},
             {"::1.2.3.4", true, {0x01020304, 0, 0, 0}},
             {"::ffff:1.2.3.4", true, {0x01020304, 0xFFFF, 0, 0}},
             {"::FFFF:10.0.0.1", true, {0x0A000001, 0xFFFF, 0, 0}},
             {"64:ff9b::1.2.3.4", false, {}},
             {":::", false, {}},
             {"1::2::3", false, {}},
             {"12345::", false, {}},
             {"fe80::1%1", false, {}},
             {"1:2:3:4:5:6:7:8:9", false, {}},  // not silently cut after the 8th group
             {"1:2:3:4:5:6:7", false, {}},
             {"1::2:3:4:5:6:7:8", false, {}},
             {":1::", false, {}},
             {"1:", false, {}},
             {"", false, {}},
         }) {
        SCOPED_TRACE(r.text);
        UINT32 w[4] = {9, 9, 9, 9};
        SetLastError(0);
        EXPECT_EQ(WinDivertHelperParseIPv6Address(r.text, w) != FALSE, r.ok);
        if (r.ok) {
            EXPECT_EQ(std::memcmp(w, r.w, sizeof(w)), 0)
                << std::hex << w[3] << ":" << w[2] << ":" << w[1] << ":" << w[0];
        } else {
            EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
        }
    }
    EXPECT_FALSE(WinDivertHelperParseIPv6Address(nullptr, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
}

TEST(AddressText, FormatIpv6) {
    struct Row {
        UINT32 w[4];
        const char* text;
    };
    for (const Row& r : std::vector<Row>{
             {{1, 0, 0, 0}, "::1"},
             {{0, 0, 0, 0}, "::"},
             {{0x60007, 0x40005, 0x20003, 0x10000}, "1::2:3:4:5:6:7"},
             {{0xAABBCCDD, 0, 0x00010000, 0x12345678}, "1234:5678:1::aabb:ccdd"},
             {{0x01020304, 0xFFFF, 0, 0}, "1.2.3.4"},
             {{0x01020304, 0, 0, 0}, "::102:304"},
             {{0, 0, 0, 0x20010db8}, "2001:db8::"},
             {{0x10000, 0, 0x10000, 0}, "0:0:1::1:0"},
             {{0x30004, 0, 2, 0x10000}, "1::2:0:0:3:4"},  // ties go to the first run
             {{0x70008, 0x50006, 0x30004, 0x10002}, "1:2:3:4:5:6:7:8"},
         }) {
        char buffer[64];
        ASSERT_TRUE(WinDivertHelperFormatIPv6Address(r.w, buffer, sizeof(buffer)));
        EXPECT_STREQ(buffer, r.text);
        // The text parses back to the same address (mapped IPv4 prints as plain IPv4).
        UINT32 back[4];
        if (std::strchr(buffer, ':') != nullptr) {
            ASSERT_TRUE(WinDivertHelperParseIPv6Address(buffer, back)) << buffer;
            EXPECT_EQ(std::memcmp(back, r.w, sizeof(back)), 0);
        }
    }
}

TEST(AddressText, FormatNeedsRoomForTheTerminator) {
    char buffer[16];
    ASSERT_TRUE(WinDivertHelperFormatIPv4Address(0x01020304, buffer, 8));
    EXPECT_STREQ(buffer, "1.2.3.4");
    // Exactly the text without room for its NUL: fails, as a too-short buffer does.
    std::memset(buffer, 'x', sizeof(buffer));
    SetLastError(0);
    EXPECT_FALSE(WinDivertHelperFormatIPv4Address(0x01020304, buffer, 7));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    EXPECT_STREQ(buffer, "1.2.3.");
    UINT32 zero[4] = {};
    EXPECT_FALSE(WinDivertHelperFormatIPv6Address(zero, buffer, 2));
    EXPECT_STREQ(buffer, ":");
    EXPECT_TRUE(WinDivertHelperFormatIPv6Address(zero, buffer, 3));
    EXPECT_STREQ(buffer, "::");
    EXPECT_FALSE(WinDivertHelperFormatIPv6Address(zero, buffer, 0));
    EXPECT_FALSE(WinDivertHelperFormatIPv6Address(nullptr, buffer, 16));
    EXPECT_FALSE(WinDivertHelperFormatIPv4Address(1, nullptr, 16));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
}

}  // namespace
}  // namespace divert::testing
