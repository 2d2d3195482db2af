// Filter evaluation: tables of expressions applied to packets built with PacketBuilder,
// with the expected match per packet. Every row runs through the runtime path (Compile,
// ParsePacketInfo, Evaluate) and through WinDivertHelperEvalFilter, which must agree.
#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "divert/filter/Filter.h"
#include "divert/filter/PacketInfo.h"
#include "tests/divert/EngineFilters.h"
#include "tests/divert/PacketBuilder.h"
#include "tests/divert/ReferenceEval.h"

namespace divert::testing {
namespace {

using filter::Compile;
using filter::Evaluate;
using filter::PacketInfo;
using filter::ParsePacketInfo;

struct Packet {
    Bytes bytes;
    bool outbound = false;
};

// Named packets used by the tables.
const std::map<std::string, Packet>& Packets() {
    static const std::map<std::string, Packet> packets = [] {
        std::map<std::string, Packet> p;
        auto in = [](Bytes b) { return Packet{std::move(b), false}; };
        auto out = [](Bytes b) { return Packet{std::move(b), true}; };
        auto v4 = [](const char* s, const char* d) { return PacketBuilder::Ipv4(s, d); };
        const Bytes mss = {2, 4, 0x05, 0xb4};

        // Main filter: protected TCP to 1.2.3.4 ports 80/443, ICMP anywhere.
        p["tcp80"] =
            in(v4("203.0.113.7", "1.2.3.4").Tcp(5000, 80).Syn().Seq(1).Window(1024).Build());
        p["tcp443"] = in(v4("203.0.113.7", "1.2.3.4")
                             .Tcp(5000, 443)
                             .Ack()
                             .Seq(1)
                             .AckNumber(1)
                             .Window(1024)
                             .Build());
        p["tcp22"] =
            in(v4("203.0.113.7", "1.2.3.4").Tcp(5000, 22).Syn().Seq(1).Window(1024).Build());
        p["tcp80other"] =
            in(v4("203.0.113.7", "1.2.3.5").Tcp(5000, 80).Syn().Seq(1).Window(1024).Build());
        p["tcp80out"] =
            out(v4("1.2.3.4", "203.0.113.7").Tcp(80, 5000).Syn().Ack().Seq(1).Window(1024).Build());
        p["icmpIn"] = in(v4("203.0.113.7", "9.9.9.9").Icmp(8, 0, 0x10001).Payload("ping").Build());
        p["udpIn"] = in(v4("203.0.113.7", "1.2.3.4").Udp(4000, 80).Payload("data").Build());
        p["tcp6"] = in(PacketBuilder::Ipv6("2001:db8::7", "2001:db8::1")
                           .Tcp(5000, 80)
                           .Syn()
                           .Window(1024)
                           .Build());

        // Sniff filter (outbound SYN, SYN-ACK, UDP queries).
        p["synOut"] =
            out(v4("1.2.3.4", "198.51.100.20").Tcp(40000, 443).Syn().Seq(7).Window(64240).Build());
        p["synIn"] =
            in(v4("198.51.100.20", "1.2.3.4").Tcp(40000, 443).Syn().Seq(7).Window(64240).Build());
        p["synAckOut"] = out(v4("1.2.3.4", "203.0.113.7")
                                 .Tcp(80, 5000)
                                 .Syn()
                                 .Ack()
                                 .Seq(9)
                                 .AckNumber(2)
                                 .Window(64240)
                                 .Build());
        p["rstOut"] = out(v4("1.2.3.4", "203.0.113.7").Tcp(80, 5000).Rst().Seq(9).Build());
        p["dnsOut"] = out(v4("1.2.3.4", "8.8.8.8").Udp(33000, 53).Payload("query").Build());
        p["webUdpOut"] = out(v4("1.2.3.4", "8.8.8.8").Udp(33000, 80).Payload("query").Build());

        // Header lane: the learned packet (SYN, port 80, 60 bytes, window 64240, 10 words)
        // and near misses.
        const Bytes options20(20, 1);
        auto learned = [&] {
            return v4("203.0.113.7", "1.2.3.4")
                .Tcp(5000, 80)
                .Syn()
                .Seq(5)
                .Window(64240)
                .TcpOptions(options20);
        };
        p["learned"] = in(learned().Build());
        p["learnedWindow"] = in(learned().Window(64241).Build());
        p["learnedAck"] = in(learned().Ack().Build());
        p["learnedPayload"] = in(learned().Payload("x").Build());
        p["learnedOut"] = out(learned().Build());

        // Deep inspection: 300-byte payloads.
        auto get = [&](const std::string& start) {
            std::string payload = start + std::string(300 - start.size(), 'a');
            return in(v4("203.0.113.7", "1.2.3.4")
                          .Tcp(5000, 80)
                          .Ack()
                          .Psh()
                          .Seq(5)
                          .AckNumber(6)
                          .Window(502)
                          .Payload(payload)
                          .Build());
        };
        p["getInd"] = get("GET /index.html");
        p["getAbc"] = get("GET /abc.html");
        p["getIndShort"] = in(v4("203.0.113.7", "1.2.3.4")
                                  .Tcp(5000, 80)
                                  .Ack()
                                  .Psh()
                                  .Seq(5)
                                  .AckNumber(6)
                                  .Window(502)
                                  .Payload("GET /index.html")
                                  .Build());

        // Protocol validation.
        auto tcpIn = [&] {
            return v4("203.0.113.7", "1.2.3.4").Tcp(5000, 80).Seq(100).Window(64240);
        };
        p["normalSyn"] = in(tcpIn().Syn().TcpOptions(mss).Build());
        p["synFin"] = in(tcpIn().Syn().Fin().Build());
        p["noFlags"] = in(tcpIn().Build());
        p["srcPort0"] = in(v4("203.0.113.7", "1.2.3.4")
                               .Tcp(0, 80)
                               .Ack()
                               .Seq(100)
                               .AckNumber(5)
                               .Window(64240)
                               .Build());
        p["synPayload10"] = in(tcpIn().Syn().Payload(std::string(10, 'z')).Build());
        p["xmas"] = in(tcpIn().Fin().Psh().Urg().Build());
        p["synWindow0"] = in(v4("203.0.113.7", "1.2.3.4").Tcp(5000, 80).Syn().Seq(100).Build());
        p["ackData"] = in(tcpIn().Ack().Psh().AckNumber(9).Payload("hello").Build());
        p["ttl0Ack"] = in(tcpIn().Ack().AckNumber(9).Ttl(0).Build());
        // IP length 39: one byte short of a TCP header, so there is no TCP header at all.
        p["ipLength39"] = in(tcpIn().Ack().AckNumber(9).TruncateTo(39).IpLength(39).Build());
        p["dataOffset4"] = in(tcpIn().Ack().AckNumber(9).DataOffset(4).Build());

        // Invalid UDP / ICMP modules.
        auto udpIn = [&] { return v4("203.0.113.7", "1.2.3.4").Udp(4000, 53).Payload("q"); };
        p["udpNormal"] = in(udpIn().Build());
        p["udpSrc0"] = in(v4("203.0.113.7", "1.2.3.4").Udp(0, 53).Payload("q").Build());
        p["udpTtl1"] = in(udpIn().Ttl(1).Build());
        p["udpLength4"] = in(udpIn().UdpLength(4).Build());
        p["udpEmpty"] = in(v4("203.0.113.7", "1.2.3.4").Udp(4000, 53).Build());
        p["udpLastFragment"] = in(v4("203.0.113.7", "1.2.3.4")
                                      .Protocol(IPPROTO_UDP)
                                      .FragmentOffset(185)
                                      .Zeros(16)
                                      .Build());
        p["udpFirstFragment"] = in(udpIn().Mf().Zeros(64).Build());
        auto icmpIn = [&](uint8_t type, uint8_t code) {
            return v4("203.0.113.7", "1.2.3.4").Icmp(type, code, 1).Payload("abcd");
        };
        p["echo"] = in(icmpIn(8, 0).Build());
        p["echoCode1"] = in(icmpIn(8, 1).Build());
        p["icmpType19"] = in(icmpIn(19, 0).Build());
        p["icmpType30"] = in(icmpIn(30, 0).Build());
        p["icmpType15"] = in(icmpIn(15, 0).Build());
        p["icmpTtl0"] = in(icmpIn(0, 0).Ttl(0).Build());
        p["icmpEmpty"] = in(v4("203.0.113.7", "1.2.3.4").Icmp(0, 0, 1).Build());
        p["icmpBig"] = in(icmpIn(0, 0).Zeros(1100).Build());
        p["icmpFirstFragment"] = in(icmpIn(8, 0).Mf().Build());

        // UDP amplification and SYN-ACK protection.
        p["dnsAnswer"] = in(v4("203.0.113.5", "1.2.3.4").Udp(53, 33000).Payload("answer").Build());
        p["dnsAnswerPeer"] =
            in(v4("192.0.2.10", "1.2.3.4").Udp(53, 33000).Payload("answer").Build());
        p["mdnsAnswer"] =
            in(v4("203.0.113.5", "1.2.3.4").Udp(5353, 33000).Payload("answer").Build());
        p["ntpAnswer"] = in(v4("203.0.113.5", "1.2.3.4").Udp(123, 33000).Payload("answer").Build());
        p["synAckIn"] = in(v4("203.0.113.9", "1.2.3.4")
                               .Tcp(443, 40000)
                               .Syn()
                               .Ack()
                               .Seq(3)
                               .AckNumber(8)
                               .Window(100)
                               .Build());
        p["synAckPeer"] = in(v4("198.51.100.20", "1.2.3.4")
                                 .Tcp(443, 40000)
                                 .Syn()
                                 .Ack()
                                 .Seq(3)
                                 .AckNumber(8)
                                 .Window(100)
                                 .Build());
        return p;
    }();
    return packets;
}

struct Row {
    std::string filter;
    std::string packet;
    bool expected;
};

// Runs one row through the runtime path and the public helper.
void Apply(const Row& row) {
    SCOPED_TRACE("filter: " + row.filter + "  packet: " + row.packet);
    auto it = Packets().find(row.packet);
    ASSERT_NE(it, Packets().end()) << "no packet named " << row.packet;
    const Packet& packet = it->second;
    const bool ipv6 = (packet.bytes[0] >> 4) == 6;
    WINDIVERT_ADDRESS address = NetworkAddress(packet.outbound, ipv6);

    filter::CompileResult compiled = Compile(row.filter.c_str(), WINDIVERT_LAYER_NETWORK);
    ASSERT_NE(compiled.program, nullptr) << compiled.error << " at " << compiled.errorPosition;
    PacketInfo info;
    ASSERT_TRUE(ParsePacketInfo(packet.bytes.data(), static_cast<UINT>(packet.bytes.size()), info));
    EXPECT_EQ(Evaluate(*compiled.program, &info, address), row.expected);
    EXPECT_EQ(ReferenceEvaluate(*compiled.program, &info, address), row.expected);

    SetLastError(12345);
    BOOL helper = WinDivertHelperEvalFilter(row.filter.c_str(), packet.bytes.data(),
                                            static_cast<UINT>(packet.bytes.size()), &address);
    EXPECT_EQ(helper != FALSE, row.expected);
    if (!helper) {
        EXPECT_EQ(GetLastError(), ERROR_SUCCESS) << "no-match must set GLE 0";
    }
}

void ApplyAll(const std::vector<Row>& rows) {
    for (const Row& row : rows)
        Apply(row);
}

TEST(FilterApply, MainDivertFilterSelectsProtectedInboundTraffic) {
    ApplyAll({
        {kMainFilter, "tcp80", true},
        {kMainFilter, "tcp443", true},
        {kMainFilter, "tcp22", false},
        {kMainFilter, "tcp80other", false},
        {kMainFilter, "tcp80out", false},
        {kMainFilter, "icmpIn", true},
        {kMainFilter, "udpIn", false},
        {kMainFilter, "tcp6", false},
        {"false", "tcp80", false},
        {"ip and tcp and inbound", "tcp22", true},
        {"ip and udp and inbound and ip.DstAddr == 1.2.3.4 and (udp.DstPort == 80)", "udpIn", true},
        {"ip and udp and inbound and ip.DstAddr == 10.1.1.1 and (udp.DstPort == 80)", "udpIn",
         false},
    });
}

TEST(FilterApply, SniffFilterSeesOutboundSynSynAckAndQueries) {
    ApplyAll({
        {kSniffFilter, "synOut", true},
        {kSniffFilter, "synIn", false},
        {kSniffFilter, "synAckOut", true},
        {kSniffFilter, "rstOut", false},
        {kSniffFilter, "dnsOut", true},
        {kSniffFilter, "webUdpOut", false},
        {"outbound and ((udp and (udp.DstPort == 53 or udp.DstPort == 123)))", "dnsOut", true},
    });
}

TEST(FilterApply, HeaderLaneClauseMatchesOnlyTheLearnedShape) {
    const std::string filter = LaneFilter(kHeaderClause);
    ApplyAll({
        {filter, "learned", true},
        {filter, "learnedWindow", false},
        {filter, "learnedAck", false},
        {filter, "learnedPayload", false},
        {filter, "learnedOut", false},
        {filter, "tcp80", false},
        {HeaderLaneFilter(10), "learned", true},
        {HeaderLaneFilter(10), "learnedWindow", false},
    });
}

TEST(FilterApply, DeepInspectionClauseMatchesPayloadPrefix) {
    const std::string filter = LaneFilter(kPayloadClause);
    ApplyAll({
        {filter, "getInd", true},
        {filter, "getAbc", false},
        {filter, "getIndShort", false},  // right prefix, payload below 257 bytes
        {filter, "tcp80", false},
    });
}

TEST(FilterApply, ProtocolValidationDropsMalformedTcp) {
    const std::string strict = StrictProtocolValidationFilter();
    ApplyAll({
        {kProtocolValidationFilter, "synFin", true},
        {kProtocolValidationFilter, "noFlags", true},
        {kProtocolValidationFilter, "srcPort0", true},
        {kProtocolValidationFilter, "xmas", true},
        {kProtocolValidationFilter, "synWindow0", true},
        {kProtocolValidationFilter, "ttl0Ack", true},
        {kProtocolValidationFilter, "normalSyn", false},
        {kProtocolValidationFilter, "ackData", false},
        {kProtocolValidationFilter, "synPayload10", false},
        {strict, "synPayload10", true},
        {strict, "normalSyn", false},
        {strict, "synFin", true},
        // Without a complete TCP header a packet is not TCP to the filter, so the clauses
        // `ip.Length < 40` and `tcp.HdrLength < 5` can never fire.
        {kProtocolValidationFilter, "ipLength39", false},
        {kProtocolValidationFilter, "dataOffset4", false},
        {"tcp", "ipLength39", false},
        {"not tcp", "ipLength39", true},
    });
}

TEST(FilterApply, InvalidUdpAndIcmpModules) {
    const std::string rejectEmpty = InvalidUdpRejectEmptyFilter();
    ApplyAll({
        {kInvalidUdpFilter, "udpNormal", false},
        {kInvalidUdpFilter, "udpSrc0", true},
        {kInvalidUdpFilter, "udpTtl1", true},
        {kInvalidUdpFilter, "udpLength4", true},
        {kInvalidUdpFilter, "udpEmpty", false},
        {rejectEmpty, "udpEmpty", true},
        {rejectEmpty, "udpNormal", false},
        // A later fragment carries no UDP header, so `udp and ip.FragOff > 0` never holds.
        {kInvalidUdpFilter, "udpLastFragment", false},
        {kInvalidUdpFilter, "udpFirstFragment", false},
        {kInvalidIcmpFilter, "echo", false},
        {kInvalidIcmpFilter, "echoCode1", true},
        {kInvalidIcmpFilter, "icmpType19", true},
        {kInvalidIcmpFilter, "icmpType30", false},
        {kInvalidIcmpFilter, "icmpType15", true},
        {kInvalidIcmpFilter, "icmpTtl0", true},
        {kInvalidIcmpFilter, "icmpEmpty", true},
        {kInvalidIcmpFilter, "icmpBig", true},
        {kInvalidIcmpFilter, "icmpFirstFragment", false},
        {kInvalidIcmpFilter, "udpNormal", false},
    });
}

TEST(FilterApply, PeerExclusionFilters) {
    ApplyAll({
        {kUdpAmplificationFilter, "dnsAnswer", true},
        {kUdpAmplificationFilter, "ntpAnswer", true},
        {kUdpAmplificationFilter, "dnsAnswerPeer", false},
        {kUdpAmplificationFilter, "mdnsAnswer", false},
        {kSynAckFilter, "synAckIn", true},
        {kSynAckFilter, "synAckPeer", false},
        {kSynAckFilter, "synIn", false},
        {"inbound and tcp and tcp.Syn and tcp.Ack", "synAckPeer", true},
        {SynAckFilter(150), "synAckIn", true},
    });
}

TEST(FilterApply, AbsentHeaderMakesEveryTestFalse) {
    ApplyAll({
        {"tcp.DstPort == 80", "udpIn", false},
        {"tcp.DstPort != 80", "udpIn", false},
        {"not tcp.Syn", "udpIn", false},
        {"!tcp.DstPort == 80", "udpIn", false},
        {"(tcp.DstPort == 80? false: true)", "udpIn", true},
        {"!tcp", "udpIn", true},
        {"ip.TTL > 0 or ip", "tcp6", false},
        {"ipv6.HopLimit == 64", "tcp80", false},
        {"icmp.Type != 8", "tcp80", false},
        {"tcp.Payload[0] == 0 or tcp.Payload[0] != 0", "udpIn", false},
        {"udp.Payload[0] == 0x64", "udpIn", true},
        // Array tests that hold for any byte still need the byte to exist.
        {"packet[1000] <= 255", "udpIn", false},
        {"packet[-33] <= 255", "udpIn", false},
        {"packet[-32] <= 255", "udpIn", true},
        {"tcp.Payload[5] >= 0", "tcp80", false},
        {"tcp.Payload[0] >= 0", "ackData", true},
    });
}

TEST(FilterApply, FusedEvaluationAgreesWithTestByTestEvaluation) {
    const std::vector<std::string> filters = {
        kMainFilter,
        kSniffFilter,
        HeaderLaneFilter(10),
        LaneFilter(kPayloadClause),
        kProtocolValidationFilter,
        StrictProtocolValidationFilter(),
        kInvalidUdpFilter,
        InvalidUdpRejectEmptyFilter(),
        kInvalidIcmpFilter,
        kUdpAmplificationFilter,
        SynAckFilter(150),
        // Flag runs that must not fuse across an `or`, or with contradicting bits.
        "tcp.Syn or tcp.Ack or not tcp.Fin",
        "tcp.Syn and not tcp.Syn and tcp.Ack",
        "(tcp.Syn and tcp.Ack? tcp.Fin and not tcp.Rst: not tcp.Psh and tcp.Urg)",
        "ip.DF and not ip.MF and tcp.Syn",
        "tcp.Syn and tcp.DstPort == 80 and tcp.Ack",
        "(tcp.Syn? tcp.Ack: tcp.Fin)",
        "(tcp.Syn and not tcp.Ack? false: tcp.Fin and tcp.Syn)",
    };
    int matches = 0, total = 0;
    for (const std::string& text : filters) {
        auto compiled = Compile(text.c_str(), WINDIVERT_LAYER_NETWORK);
        ASSERT_NE(compiled.program, nullptr) << text;
        for (const auto& [name, packet] : Packets()) {
            PacketInfo info;
            ASSERT_TRUE(
                ParsePacketInfo(packet.bytes.data(), static_cast<UINT>(packet.bytes.size()), info));
            for (bool outbound : {false, true}) {
                WINDIVERT_ADDRESS address = NetworkAddress(outbound, (packet.bytes[0] >> 4) == 6);
                bool fused = Evaluate(*compiled.program, &info, address);
                EXPECT_EQ(fused, ReferenceEvaluate(*compiled.program, &info, address))
                    << text << " on " << name;
                matches += fused;
                ++total;
            }
        }
    }
    // Both outcomes occur often enough for the comparison to mean something.
    EXPECT_GT(matches, total / 20);
    EXPECT_LT(matches, total - total / 20);
}

TEST(FilterApply, PacketProgramsNeverMatchWithoutAPacket) {
    auto packetTest = Compile("tcp or not tcp", WINDIVERT_LAYER_NETWORK);
    auto addressOnly = Compile("inbound", WINDIVERT_LAYER_NETWORK);
    ASSERT_NE(packetTest.program, nullptr);
    ASSERT_NE(addressOnly.program, nullptr);
    EXPECT_FALSE(Evaluate(*packetTest.program, nullptr, NetworkAddress(false)));
    EXPECT_TRUE(Evaluate(*addressOnly.program, nullptr, NetworkAddress(false)));
}

// ---- FLOW layer ------------------------------------------------------------------------

struct FlowRow {
    std::string filter;
    bool expected;
};

// Host-order 4-word form of an IPv6 or (mapped) IPv4 address text.
void SetAddress(UINT32 out[4], const char* text) {
    if (WinDivertHelperParseIPv6Address(text, out)) return;
    ASSERT_TRUE(WinDivertHelperParseIPv4Address(text, &out[0])) << text;
    out[1] = 0xFFFF;
    out[2] = out[3] = 0;
}

WINDIVERT_ADDRESS Flow(const char* local, uint16_t localPort, const char* remote,
                       uint16_t remotePort, uint8_t protocol, bool ipv6 = false) {
    WINDIVERT_ADDRESS a{};
    a.Layer = WINDIVERT_LAYER_FLOW;
    a.Event = WINDIVERT_EVENT_FLOW_ESTABLISHED;
    a.Sniffed = 1;
    a.Outbound = 1;
    a.IPv6 = ipv6 ? 1 : 0;
    a.Flow.ProcessId = 1234;
    a.Flow.LocalPort = localPort;
    a.Flow.RemotePort = remotePort;
    a.Flow.Protocol = protocol;
    SetAddress(a.Flow.LocalAddr, local);
    SetAddress(a.Flow.RemoteAddr, remote);
    return a;
}

void ApplyFlow(const WINDIVERT_ADDRESS& address, const std::vector<FlowRow>& rows) {
    for (const FlowRow& row : rows) {
        SCOPED_TRACE("filter: " + row.filter);
        filter::CompileResult compiled = Compile(row.filter.c_str(), WINDIVERT_LAYER_FLOW);
        ASSERT_NE(compiled.program, nullptr) << compiled.error << " at " << compiled.errorPosition;
        EXPECT_EQ(Evaluate(*compiled.program, nullptr, address), row.expected);
        EXPECT_EQ(ReferenceEvaluate(*compiled.program, nullptr, address), row.expected);
        BOOL helper = WinDivertHelperEvalFilter(row.filter.c_str(), nullptr, 0, &address);
        EXPECT_EQ(helper != FALSE, row.expected);
    }
}

TEST(FilterFlow, FlowFilterMatchesProtectedLocalEndpoints) {
    ApplyFlow(Flow("10.0.0.5", 22, "203.0.113.7", 50000, IPPROTO_TCP),
              {{kFlowFilter, true}, {kDefaultFlowFilter, true}, {"udp", false}});
    ApplyFlow(Flow("10.0.0.5", 23, "203.0.113.7", 50000, IPPROTO_TCP), {{kFlowFilter, false}});
    ApplyFlow(Flow("10.0.0.6", 22, "203.0.113.7", 50000, IPPROTO_TCP), {{kFlowFilter, false}});
    ApplyFlow(Flow("10.0.0.5", 22, "203.0.113.7", 50000, IPPROTO_UDP),
              {{kDefaultFlowFilter, false}, {"udp and localPort == 22", true}});
}

TEST(FilterFlow, FlowFieldsFromTheAddressRecord) {
    WINDIVERT_ADDRESS a = Flow("10.0.0.1", 50000, "8.8.8.8", 443, IPPROTO_TCP);
    ApplyFlow(a, {
                     {"tcp", true},
                     {"udp", false},
                     {"icmp", false},
                     {"localAddr == 10.0.0.1 and remotePort == 443", true},
                     {"remoteAddr == 8.8.8.8 and localPort == 50000", true},
                     {"processId == 1234 and event == ESTABLISHED and outbound", true},
                     {"inbound", false},
                     {"protocol == TCP", true},
                     {"event == DELETED", false},
                     {"localAddr >= 10.0.0.0 and localAddr <= 10.255.255.255", true},
                     // The flow's IP version decides ip/ipv6 (the published evaluator said 0).
                     {"ip", true},
                     {"ipv6", false},
                     {"not ip", false},
                 });
    WINDIVERT_ADDRESS v6 = Flow("2001:db8::1", 443, "2001:db8::2", 50000, IPPROTO_ICMPV6, true);
    ApplyFlow(v6, {
                      {"ipv6 and icmpv6", true},
                      {"ip or icmp", false},
                      {"localAddr == 2001:db8::1 and remoteAddr == 2001:db8::2", true},
                  });
}

}  // namespace
}  // namespace divert::testing
