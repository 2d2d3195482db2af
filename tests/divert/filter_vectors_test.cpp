// Conformance vectors for WinDivertHelperEvalFilter (published evaluation results, with
// the rows where this library deliberately differs marked), and a field-by-field table
// covering every packet field, arrays with negative indexes, and the helper's argument
// checks.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/divert/PacketBuilder.h"
#include "windivert.h"

namespace divert::testing {
namespace {

enum class Expect { Match, NoMatch, Error };

struct Row {
    std::string filter;
    Expect expect;
};

void EvalRows(const Bytes& packet, const WINDIVERT_ADDRESS& address, const std::vector<Row>& rows,
              UINT length = 0) {
    if (length == 0) length = static_cast<UINT>(packet.size());
    for (const Row& row : rows) {
        SCOPED_TRACE("filter: " + row.filter);
        SetLastError(4242);
        BOOL result = WinDivertHelperEvalFilter(
            row.filter.c_str(), packet.empty() ? nullptr : packet.data(), length, &address);
        switch (row.expect) {
            case Expect::Match:
                EXPECT_TRUE(result);
                // A successful call leaves the last error alone (no stale value from address
                // parsing attempts).
                EXPECT_EQ(GetLastError(), 4242u);
                break;
            case Expect::NoMatch:
                EXPECT_FALSE(result);
                EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SUCCESS));
                break;
            case Expect::Error:
                EXPECT_FALSE(result);
                EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
                break;
        }
    }
}

constexpr Expect kMatch = Expect::Match;
constexpr Expect kNo = Expect::NoMatch;
constexpr Expect kError = Expect::Error;

Bytes PacketA() {
    return PacketBuilder::Ipv4("10.0.0.2", "192.0.2.1")
        .Ttl(64)
        .Df()
        .Tcp(40000, 80)
        .Syn()
        .Seq(1000)
        .Window(64240)
        .Build();
}
Bytes PacketB() {
    return PacketBuilder::Ipv4("10.0.0.2", "8.8.8.8").Udp(5353, 53).Payload("abcd").Build();
}
Bytes PacketC() {
    return PacketBuilder::Ipv6("2001:db8::1", "::2").Tcp(443, 50000).Ack().Payload("hello").Build();
}
Bytes PacketD() {
    return PacketBuilder::Ipv4("10.0.0.2", "1.1.1.1")
        .Icmp(8, 0, 0x00010001)
        .Payload("ping")
        .Build();
}
Bytes PacketE() {
    return PacketBuilder::Ipv4("10.0.0.2", "8.8.8.8")
        .Protocol(IPPROTO_UDP)
        .FragmentOffset(185)
        .Zeros(16)
        .Build();
}

TEST(EvalVectors, PacketA) {
    Bytes a = PacketA();
    ASSERT_EQ(a.size(), 40u);
    EvalRows(a, NetworkAddress(true),
             {
                 {"tcp.Syn and not tcp.Ack", kMatch},
                 {"tcp.HdrLength == 5 and ip.HdrLength == 5 and ip.Length == 40 and length == 40",
                  kMatch},
                 {"localPort == 40000 and remotePort == 80 and localAddr == 10.0.0.2", kMatch},
                 {"ip.DF and not ip.MF and ip.FragOff == 0 and not fragment", kMatch},
                 {"ip.SrcAddr >= 10.0.0.0 and ip.SrcAddr <= 10.255.255.255", kMatch},
                 {"ip.SrcAddr == ::ffff:10.0.0.2", kMatch},
                 {"packet[9] == 6 and packet16[1] == 40 and packet32[-2] == 0x5002faf0", kMatch},
             });
    EvalRows(a, NetworkAddress(false), {{"localPort == 80 and remoteAddr == 10.0.0.2", kMatch}});
}

TEST(EvalVectors, PacketB) {
    EvalRows(
        PacketB(), NetworkAddress(true),
        {
            {"tcp.DstPort == 80", kNo},
            {"tcp.DstPort != 80", kNo},
            {"not tcp.Syn", kNo},
            {"!tcp", kMatch},
            {"(tcp.DstPort == 80? false: true)", kMatch},
            {"udp.Length == 12 and udp.PayloadLength == 4 and udp.Payload[0] == 0x61", kMatch},
            {"udp.Payload32[0] == 0x61626364 and udp.Payload[-1] == 0x64 and udp.Payload16[-1] == "
             "0x6364",
             kMatch},
            {"udp.Payload[4] == 0 or udp.Payload[4] != 0", kNo},
            {"udp.Payload16[-1b] == 0", kError},
            {"random8 == random8", kError},
            {"protocol == UDP and remotePort == 53", kMatch},
            // Published: TRUE (the constant folded to "not tcp"). Here an out-of-range
            // constant is an error and an always-false test is false.
            {"tcp.DstPort == 70000", kError},
            {"tcp.DstPort > 65535", kNo},
            {"udp.DstPort > 65535", kNo},
        });
}

TEST(EvalVectors, PacketC) {
    Bytes c = PacketC();
    ASSERT_EQ(c.size(), 65u);
    EvalRows(c, NetworkAddress(true, true),
             {
                 {"ipv6 and tcp.Ack and tcp.PayloadLength == 5 and tcp.Payload[0] == 0x68", kMatch},
                 {"ipv6.SrcAddr == 2001:db8::1 and ipv6.DstAddr == ::2", kMatch},
                 {"localAddr == 2001:db8::1 and localPort == 443", kMatch},
                 {"ip or ip.TTL > 0", kNo},
                 {"ipv6.Length == 25 and length == 65 and ipv6.NextHdr == 6", kMatch},
             });
}

TEST(EvalVectors, PacketsDAndE) {
    EvalRows(PacketD(), NetworkAddress(true),
             {
                 {"icmp.Type == 8 and icmp.Code == 0 and icmp.Body == 0x10001", kMatch},
                 {"localPort == 8 and remotePort == 0", kMatch},
             });
    EvalRows(PacketD(), NetworkAddress(false), {{"localPort == 0 and remotePort == 8", kMatch}});
    EvalRows(PacketE(), NetworkAddress(true),
             {
                 {"fragment and ip.FragOff == 185 and not ip.MF", kMatch},
                 {"udp", kNo},
                 {"protocol == 17 and udp.DstPort == 53", kNo},
             });
}

TEST(EvalVectors, UpstreamCorpusFacts) {
    Bytes firstFragment =
        PacketBuilder::Ipv4("10.0.0.2", "1.1.1.1").Mf().Icmp(8, 0, 1).Zeros(64).Build();
    EvalRows(firstFragment, NetworkAddress(true), {{"icmp and ip.MF == 1", kMatch}});
    Bytes laterFragment = PacketBuilder::Ipv4("10.0.0.2", "1.1.1.1")
                              .Protocol(IPPROTO_ICMP)
                              .FragmentOffset(9)
                              .Zeros(64)
                              .Build();
    EvalRows(laterFragment, NetworkAddress(true),
             {{"icmp", kNo}, {"fragment and protocol == 1", kMatch}});
    Bytes options = PacketBuilder::Ipv6("2001:db8::1", "2001:db8::2")
                        .Ipv6Extension(0, {0, 0, 1, 4, 0, 0, 0, 0})
                        .Ipv6Extension(60, {0, 0, 1, 4, 0, 0, 0, 0})
                        .Udp(1, 2)
                        .Build();
    EvalRows(options, NetworkAddress(true, true),
             {{"ipv6.NextHdr == 0 and protocol == 17 and udp", kMatch}});
    Bytes reply = PacketBuilder::Ipv6("2001:db8::1", "::1").Icmp(129, 0, 1).Build();
    EvalRows(reply, NetworkAddress(false, true),
             {{"ipv6.DstAddr <= 1 and icmpv6.Type == 129", kMatch}, {"timestamp > -1", kMatch}});
}

TEST(EvalVectors, RandomFieldsComeFromThePacketHash) {
    Bytes b = PacketBuilder::Ipv4("10.0.0.2", "192.0.2.1")
                  .Id(0x1234)
                  .Df()
                  .Udp(5353, 53)
                  .Payload("abcd")
                  .Build();
    WINDIVERT_ADDRESS address = NetworkAddress(true);
    EvalRows(b, address,
             {{"random32 == 0xa64ecb3c and random16 == 0xeec2 and random8 == 0xdd", kMatch},
              {"random8 == 0xde", kNo}});
    address.Timestamp = 0x123456789abcdef0;  // the seed
    EvalRows(b, address,
             {{"random32 == 0x5a693011 and random16 == 0x6d35 and random8 == 0x49", kMatch}});
}

TEST(EvalVectors, FlowAndReflectLayers) {
    WINDIVERT_ADDRESS flow{};
    flow.Layer = WINDIVERT_LAYER_FLOW;
    flow.Event = WINDIVERT_EVENT_FLOW_ESTABLISHED;
    flow.Outbound = 1;
    flow.Flow.ProcessId = 1234;
    flow.Flow.LocalAddr[0] = 0x0A000001;
    flow.Flow.LocalAddr[1] = 0xFFFF;
    flow.Flow.RemoteAddr[0] = 0x08080808;
    flow.Flow.RemoteAddr[1] = 0xFFFF;
    flow.Flow.LocalPort = 50000;
    flow.Flow.RemotePort = 443;
    flow.Flow.Protocol = IPPROTO_TCP;
    flow.Flow.EndpointId = 0x1122334455667788ull;
    EvalRows({}, flow,
             {
                 {"tcp", kMatch},
                 {"udp", kNo},
                 {"localAddr == 10.0.0.1 and remotePort == 443", kMatch},
                 {"processId == 1234 and event == ESTABLISHED and outbound", kMatch},
                 {"endpointId == 0x1122334455667788 and parentEndpointId == 0", kMatch},
                 // Published: ip and ipv6 are always 0 at this layer. Here they follow the flow.
                 {"ip", kMatch},
                 {"ipv6", kNo},
                 {"not ip", kNo},
                 {"tcp.DstPort == 443", kError},
             });
    Bytes packet = PacketA();
    EXPECT_FALSE(WinDivertHelperEvalFilter("tcp", packet.data(), 40, &flow));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));

    WINDIVERT_ADDRESS reflect{};
    reflect.Layer = WINDIVERT_LAYER_REFLECT;
    reflect.Event = WINDIVERT_EVENT_REFLECT_OPEN;
    reflect.Timestamp = 123;
    reflect.Reflect.ProcessId = 77;
    reflect.Reflect.Layer = WINDIVERT_LAYER_NETWORK;
    reflect.Reflect.Priority = -5;
    EvalRows(
        {}, reflect,
        {
            {"processId == 77 and layer == NETWORK and priority == -5 and priority < 0 and event "
             "== OPEN and timestamp == 123",
             kMatch},
            {"priority > -10 and priority < -1", kMatch},
            {"priority >= -4 or layer == FLOW", kNo},
            {"event == CLOSE", kNo},
        });
}

// ---- Every packet field -------------------------------------------------------------------

TEST(EvalFields, Ipv4AndTcpHeaderFields) {
    Bytes b = PacketBuilder::Ipv4("192.0.2.9", "198.51.100.1")
                  .Tos(0xB8)
                  .Id(0xBEEF)
                  .Ttl(3)
                  .Tcp(1234, 5678)
                  .Seq(0xDEADBEEF)
                  .AckNumber(0x01020304)
                  .Flags(0x3F)
                  .Window(0x4321)
                  .UrgentPointer(7)
                  .TcpOptions({1, 1, 1, 0})
                  .Payload("0123456789")
                  .Build();
    b[10] = 0xAB;  // IP checksum
    b[11] = 0xCD;
    b[36] = 0x12;  // TCP checksum (20 + 16)
    b[37] = 0x34;
    EvalRows(
        b, NetworkAddress(false),
        {
            {"ip.TOS == 0xB8 and ip.Id == 0xBEEF and ip.TTL == 3 and ip.Protocol == 6", kMatch},
            {"ip.Checksum == 0xABCD and ip.Length == 54 and ip.HdrLength == 5", kMatch},
            {"ip.SrcAddr == 192.0.2.9 and ip.DstAddr == 198.51.100.1", kMatch},
            {"ip.DstAddr > 198.51.100.1 or ip.DstAddr < 198.51.100.1", kNo},
            {"tcp.SrcPort == 1234 and tcp.DstPort == 5678", kMatch},
            {"tcp.SeqNum == 0xDEADBEEF and tcp.AckNum == 16909060", kMatch},
            {"tcp.Urg and tcp.Ack and tcp.Psh and tcp.Rst and tcp.Syn and tcp.Fin", kMatch},
            {"tcp.HdrLength == 6 and tcp.Window == 0x4321 and tcp.UrgPtr == 7", kMatch},
            {"tcp.Checksum == 0x1234 and tcp.PayloadLength == 10", kMatch},
            {"tcp.Payload[0] == 0x30 and tcp.Payload[-1] == 0x39 and tcp.Payload16[1] == 0x3233",
             kMatch},
            {"tcp.Payload32[-1] == 0x36373839 and tcp.Payload32[-5b] == 0x35363738", kMatch},
            {"tcp.Payload16[-3b] == 0x3738 and tcp.Payload[9] == 0x39", kMatch},
            {"tcp.Payload[10] == 0 or tcp.Payload[10] != 0", kNo},
            {"tcp.Payload[-11] == 0 or tcp.Payload[-11] != 0", kNo},
            {"packet[0] == 0x45 and packet[-1] == 0x39 and packet16[-3b] == 0x3738", kMatch},
            {"packet32[13] == 0x30313233 and packet[54] <= 255", kNo},
            {"packet[53b] == 0x39 and packet32[10] == 0x01010100", kMatch},
            {"length == 54 and not fragment and protocol == TCP", kMatch},
            {"localPort == 5678 and remotePort == 1234", kMatch},
            {"localAddr == 198.51.100.1 and remoteAddr == 192.0.2.9", kMatch},
            {"udp or icmp or icmpv6 or ipv6", kNo},
        });
}

TEST(EvalFields, Ipv6UdpIcmpv6AndAddressFields) {
    Bytes b = PacketBuilder::Ipv6("2001:db8::5", "2001:db8:ffff::6")
                  .Tos(0x2C)
                  .FlowLabel(0x12345)
                  .Ttl(200)
                  .Udp(53, 1024)
                  .UdpLength(99)
                  .Payload("xyz")
                  .Build();
    b[46] = 0xFE;  // UDP checksum (40 + 6)
    b[47] = 0xDC;
    EvalRows(
        b, NetworkAddress(true, true),
        {
            {"ipv6.TrafficClass == 0x2C and ipv6.HopLimit == 200 and ipv6.Length == 11", kMatch},
            // The 20-bit flow label (the published evaluator swapped its bytes).
            {"ipv6.FlowLabel == 0x12345 and ipv6.FlowLabel > 65536", kMatch},
            {"udp.SrcPort == 53 and udp.DstPort == 1024 and udp.Length == 99", kMatch},
            {"udp.Checksum == 0xFEDC and udp.PayloadLength == 3", kMatch},
            {"udp.Payload16[0] == 0x7879 and udp.Payload16[1] == 0", kNo},
            {"ipv6.SrcAddr == 2001:db8::5 and ipv6.DstAddr > 2001:db8:fffe::", kMatch},
            {"localAddr == 2001:db8::5 and remoteAddr == 2001:db8:ffff::6", kMatch},
            {"localPort == 53 and remotePort == 1024 and protocol == 17", kMatch},
            {"ip.TTL == 200", kNo},
        });
    Bytes label1 = PacketBuilder::Ipv6("::1", "::2").FlowLabel(1).Udp(1, 2).Build();
    EvalRows(label1, NetworkAddress(true, true),
             {{"ipv6.FlowLabel == 1", kMatch}, {"ipv6.FlowLabel == 65536", kNo}});

    Bytes echo = PacketBuilder::Ipv6("2001:db8::1", "2001:db8::2").Icmp(128, 3, 0x00070001).Build();
    EvalRows(echo, NetworkAddress(false, true),
             {
                 {"icmpv6.Type == 128 and icmpv6.Code == 3 and icmpv6.Body == 0x70001", kMatch},
                 {"icmpv6.Checksum == 0 and icmpv6 and not icmp", kMatch},
                 {"localPort == 0 and remotePort == 128", kMatch},
             });
}

TEST(EvalFields, AddressRecordFieldsAtTheNetworkLayer) {
    Bytes b = PacketA();
    WINDIVERT_ADDRESS a = NetworkAddress(true);
    a.Network.IfIdx = 7;
    a.Network.SubIfIdx = 3;
    a.Loopback = 1;
    a.Impostor = 1;
    a.Timestamp = -42;
    EvalRows(
        b, a,
        {
            {"ifIdx == 7 and subIfIdx == 3 and loopback and impostor", kMatch},
            {"timestamp == -42 and timestamp < -41 and timestamp > -43 and timestamp < 0", kMatch},
            {"timestamp >= -0", kNo},
            {"timestamp < -0", kMatch},
            {"event == PACKET and outbound and not inbound and zero == 0", kMatch},
        });
}

TEST(EvalFields, ForwardLayer) {
    Bytes b = PacketA();
    WINDIVERT_ADDRESS a = NetworkAddress(true);
    a.Layer = WINDIVERT_LAYER_NETWORK_FORWARD;
    EvalRows(b, a,
             {
                 {"ip and tcp.DstPort == 80 and ifIdx == 0", kMatch},
                 {"localPort == 80", kError},
                 {"outbound", kError},
             });
}

// ---- Argument checks and lengths ----------------------------------------------------------

TEST(EvalFilterHelper, RejectsBadArguments) {
    Bytes a = PacketA();
    WINDIVERT_ADDRESS address = NetworkAddress(true);
    auto expectError = [](BOOL result) {
        EXPECT_FALSE(result);
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    };
    expectError(WinDivertHelperEvalFilter(nullptr, a.data(), 40, &address));
    expectError(WinDivertHelperEvalFilter("true", a.data(), 40, nullptr));
    expectError(WinDivertHelperEvalFilter("true", nullptr, 40, &address));
    expectError(WinDivertHelperEvalFilter("true", a.data(), 19, &address));
    WINDIVERT_ADDRESS v6 = NetworkAddress(true, true);
    expectError(WinDivertHelperEvalFilter("true", a.data(), 40, &v6));
    WINDIVERT_ADDRESS bad = address;
    bad.Layer = 9;
    expectError(WinDivertHelperEvalFilter("true", a.data(), 40, &bad));
    expectError(WinDivertHelperEvalFilter("tcp and", a.data(), 40, &address));
    expectError(WinDivertHelperEvalFilter("@WinDiv_junk", a.data(), 40, &address));
}

TEST(EvalFilterHelper, LengthIsTheBufferLengthAndTruncatedPacketsEvaluate) {
    Bytes a = PacketA();
    a.resize(44, 0xEE);  // four bytes beyond the packet
    WINDIVERT_ADDRESS address = NetworkAddress(true);
    EvalRows(a, address,
             {{"length == 44 and ip.Length == 40", kMatch}, {"packet[-1] == 0xEE", kMatch}});
    Bytes cut = PacketA();
    EvalRows(cut, address, {{"tcp and length == 30", kNo}, {"ip and length == 30", kMatch}}, 30);
}

TEST(EvalFilterHelper, AcceptsObjectStrings) {
    char object[256];
    ASSERT_TRUE(WinDivertHelperCompileFilter("tcp.DstPort == 80 and ip.TTL == 64",
                                             WINDIVERT_LAYER_NETWORK, object, sizeof(object),
                                             nullptr, nullptr));
    EvalRows(PacketA(), NetworkAddress(true), {{object, kMatch}});
    EvalRows(PacketB(), NetworkAddress(true), {{object, kNo}});
}

}  // namespace
}  // namespace divert::testing
