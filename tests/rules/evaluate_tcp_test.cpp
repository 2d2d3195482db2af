// EvaluateTcp: which test decides, in which order, with which comparison, and what moves.
// Each fixture case starts from a fresh engine with the given window counts and connection
// facts, evaluates one packet and checks the verdict and the deciding rule.
#include <gtest/gtest.h>

#include <cmath>

#include "RuleTestSupport.h"
#include "rules/ReasonText.h"

namespace bastion {
namespace {

using namespace testing_support;

struct TcpCase {
    const char* description;
    std::vector<RuleDefinition> rules;
    PortRules ports;
    Packet packet;
    Verdict verdict;
    const char* decidingRule;  // "" when no rule fired
    // Window state before the packet.
    struct Window {
        uint64_t ipPackets = 0;        // merged packets of the client (and to the packet's port)
        uint64_t ipSyns = 0;           // merged pure SYNs of the client (and to the port)
        uint32_t connections = 0;      // established connections of the client
        uint32_t portConnections = 0;  // of the client to the packet's port
        uint32_t busyAddresses = 0;    // addresses holding connections, the client included
        uint64_t allowedSyns = 0;      // validSynWindow
        uint64_t evaluated = 0;        // evaluatedPackets
    } window = {};
};

class EvaluateTcpCases : public RuleEngineTest {
  protected:
    // A fresh engine with `rules`, `ports` and the window state, then one packet.
    VerdictResult Evaluate(const std::vector<RuleDefinition>& tcpRules, const PortRules& ports,
                           const PacketView& packet, const TcpCase::Window& w) {
        FreshEngine();
        SetTcpRules(tcpRules, ports);
        if (w.ipPackets != 0 || w.ipSyns != 0) {
            SeedTcp(packet.srcAddr, packet.dstPort, w.ipPackets, w.ipSyns);
        }
        if (w.connections != 0 || w.portConnections != 0) {
            SeedConnections(packet.srcAddr, packet.dstPort, w.portConnections, w.connections);
        }
        if (w.busyAddresses != 0) SeedEstablishedAddresses(w.busyAddresses);
        rules().validSynWindow.value = w.allowedSyns;
        rules().evaluatedPackets.value = w.evaluated;
        return Tcp(packet);
    }

    void Run(const TcpCase& c) {
        SCOPED_TRACE(c.description);
        VerdictResult result = Evaluate(c.rules, c.ports, c.packet, c.window);
        EXPECT_EQ(VerdictName(result.verdict), VerdictName(c.verdict));
        EXPECT_EQ(RuleOf(result.reason), c.decidingRule) << result.reason;
        EXPECT_EQ(result.reason.empty(), c.verdict == Verdict::Allow || *c.decidingRule == 0);
    }
};

constexpr Verdict kAllow = Verdict::Allow;
constexpr Verdict kDrop = Verdict::Drop;
constexpr Verdict kBlock = Verdict::BlockSource;

TEST_F(EvaluateTcpCases, ThresholdsOfZeroNeverFire) {
    const TcpCase cases[] = {
        {"IpPacketRate 0/0",
         {Rule(RuleKind::IpPacketRate, "r", 0, 0)},
         {},
         Packet::Tcp(),
         kAllow,
         "",
         {.ipPackets = 1'000'000}},
        {"IpEstablished 0/0",
         {Rule(RuleKind::IpEstablished, "r", 0, 0)},
         {},
         Packet::Syn(),
         kAllow,
         "",
         {.connections = 500}},
        {"IpSynRate 0/0",
         {Rule(RuleKind::IpSynRate, "r", 0, 0)},
         {},
         Packet::Syn(),
         kAllow,
         "",
         {.ipSyns = 1'000'000}},
        {"WindowSynTotal 0",
         {Rule(RuleKind::WindowSynTotal, "r", 0, 0)},
         {},
         Packet::Syn(),
         kAllow,
         "",
         {.allowedSyns = 1'000'000}},
        {"GlobalPacketRate 0",
         {Rule(RuleKind::GlobalPacketRate, "r", 0, 0)},
         {},
         Packet::Tcp(),
         kAllow,
         "",
         {.evaluated = 1'000'000}},
        {"EstablishedIpTotal 0",
         {Rule(RuleKind::EstablishedIpTotal, "r", 0, 0)},
         {},
         Packet::Syn(),
         kAllow,
         "",
         {.busyAddresses = 1000}},
        {"PayloadSize 0 with parameter 0",
         {Rule(RuleKind::PayloadSize, "r", 0, 0, 0)},
         {},
         Packet::Tcp().Payload(1400),
         kAllow,
         ""},
        {"port tables 0/0",
         {},
         {.pps = {PortRule(80, 0, 0)},
          .size = {PortRule(80, 0, 0)},
          .conn = {PortRule(80, 0, 0)},
          .syn = {PortRule(80, 0, 0)}},
         Packet::Syn().Payload(1400),
         kAllow,
         "",
         {.ipPackets = 1000, .ipSyns = 1000, .connections = 50, .portConnections = 50}},
    };
    for (const TcpCase& c : cases)
        Run(c);
}

TEST_F(EvaluateTcpCases, ComparisonSensesPerKind) {
    const TcpCase cases[] = {
        // Packet rates, SYN rates and sizes fire strictly above the threshold.
        {"IpPacketRate at drop",
         {Rule(RuleKind::IpPacketRate, "pps", 10)},
         {},
         Packet::Tcp(),
         kAllow,
         "",
         {.ipPackets = 10}},
        {"IpPacketRate above drop",
         {Rule(RuleKind::IpPacketRate, "pps", 10)},
         {},
         Packet::Tcp(),
         kDrop,
         "pps",
         {.ipPackets = 11}},
        {"IpPacketRate at block",
         {Rule(RuleKind::IpPacketRate, "pps", 0, 10)},
         {},
         Packet::Tcp(),
         kAllow,
         "",
         {.ipPackets = 10}},
        {"IpPacketRate above block",
         {Rule(RuleKind::IpPacketRate, "pps", 5, 10)},
         {},
         Packet::Tcp(),
         kBlock,
         "pps",
         {.ipPackets = 11}},
        {"IpSynRate at drop",
         {Rule(RuleKind::IpSynRate, "syn", 4)},
         {},
         Packet::Syn(),
         kAllow,
         "",
         {.ipSyns = 4}},
        {"IpSynRate above drop",
         {Rule(RuleKind::IpSynRate, "syn", 4)},
         {},
         Packet::Syn(),
         kDrop,
         "syn",
         {.ipSyns = 5}},
        {"IpSynRate above block",
         {Rule(RuleKind::IpSynRate, "syn", 4, 8)},
         {},
         Packet::Syn(),
         kBlock,
         "syn",
         {.ipSyns = 9}},
        {"PayloadSize at limit",
         {Rule(RuleKind::PayloadSize, "size", 100)},
         {},
         Packet::Tcp().Payload(100),
         kAllow,
         ""},
        {"PayloadSize above limit",
         {Rule(RuleKind::PayloadSize, "size", 100)},
         {},
         Packet::Tcp().Payload(101),
         kDrop,
         "size"},
        {"PayloadSize never blocks",
         {Rule(RuleKind::PayloadSize, "size", 0, 10)},
         {},
         Packet::Tcp().Payload(1000),
         kAllow,
         ""},
        // Connection counts and window totals fire at the threshold.
        {"IpEstablished at block",
         {Rule(RuleKind::IpEstablished, "est", 0, 3)},
         {},
         Packet::Tcp(),
         kBlock,
         "est",
         {.connections = 3}},
        {"IpEstablished below block",
         {Rule(RuleKind::IpEstablished, "est", 0, 3)},
         {},
         Packet::Tcp(),
         kAllow,
         "",
         {.connections = 2}},
        {"WindowSynTotal at drop",
         {Rule(RuleKind::WindowSynTotal, "win", 50)},
         {},
         Packet::Syn(),
         kDrop,
         "win",
         {.allowedSyns = 50}},
        {"WindowSynTotal below drop",
         {Rule(RuleKind::WindowSynTotal, "win", 50)},
         {},
         Packet::Syn(),
         kAllow,
         "",
         {.allowedSyns = 49}},
        // The packet under evaluation is counted first: 99 before it make 100.
        {"GlobalPacketRate at drop",
         {Rule(RuleKind::GlobalPacketRate, "global", 100)},
         {},
         Packet::Tcp(),
         kDrop,
         "global",
         {.evaluated = 99}},
        {"GlobalPacketRate below drop",
         {Rule(RuleKind::GlobalPacketRate, "global", 100)},
         {},
         Packet::Tcp(),
         kAllow,
         "",
         {.evaluated = 98}},
        {"EstablishedIpTotal at drop, new client",
         {Rule(RuleKind::EstablishedIpTotal, "all", 20)},
         {},
         Packet::Syn(),
         kDrop,
         "all",
         {.busyAddresses = 20}},
        {"EstablishedIpTotal below drop",
         {Rule(RuleKind::EstablishedIpTotal, "all", 20)},
         {},
         Packet::Syn(),
         kAllow,
         "",
         {.busyAddresses = 19}},
        {"EstablishedIpTotal spares a client holding a connection",
         {Rule(RuleKind::EstablishedIpTotal, "all", 20)},
         {},
         Packet::Syn(),
         kAllow,
         "",
         {.connections = 1, .busyAddresses = 20}},
        {"EstablishedIpTotal needs the SYN flag",
         {Rule(RuleKind::EstablishedIpTotal, "all", 20)},
         {},
         Packet::Tcp(),
         kAllow,
         "",
         {.busyAddresses = 20}},
        // Per-port limits.
        {"port pps at drop",
         {},
         {.pps = {PortRule(80, 10)}},
         Packet::Tcp(),
         kAllow,
         "",
         {.ipPackets = 10}},
        {"port pps above drop",
         {},
         {.pps = {PortRule(80, 10)}},
         Packet::Tcp(),
         kDrop,
         "Giới hạn PPS mỗi IP theo cổng 80",
         {.ipPackets = 11}},
        {"port pps above block",
         {},
         {.pps = {PortRule(80, 10, 20)}},
         Packet::Tcp(),
         kBlock,
         "Giới hạn PPS mỗi IP theo cổng 80",
         {.ipPackets = 21}},
        {"port pps of another port",
         {},
         {.pps = {PortRule(443, 10)}},
         Packet::Tcp(),
         kAllow,
         "",
         {.ipPackets = 11}},
        {"port conn at drop with SYN",
         {},
         {.conn = {PortRule(80, 4)}},
         Packet::Syn(),
         kDrop,
         "Giới hạn kết nối theo cổng 80",
         {.connections = 4, .portConnections = 4}},
        {"port conn at drop without SYN",
         {},
         {.conn = {PortRule(80, 4)}},
         Packet::Tcp(),
         kAllow,
         "",
         {.connections = 4, .portConnections = 4}},
        {"port conn at block without SYN",
         {},
         {.conn = {PortRule(80, 4, 6)}},
         Packet::Tcp(),
         kBlock,
         "Giới hạn kết nối theo cổng 80",
         {.connections = 6, .portConnections = 6}},
        {"port size at drop",
         {},
         {.size = {PortRule(80, 512)}},
         Packet::Tcp().Payload(512),
         kAllow,
         ""},
        {"port size above drop",
         {},
         {.size = {PortRule(80, 512)}},
         Packet::Tcp().Payload(513),
         kDrop,
         "Giới hạn size theo cổng 80"},
        {"port size above block",
         {},
         {.size = {PortRule(80, 512, 1024)}},
         Packet::Tcp().Payload(1025),
         kBlock,
         "Giới hạn size theo cổng 80"},
        {"port syn at drop",
         {},
         {.syn = {PortRule(80, 3)}},
         Packet::Syn(),
         kDrop,
         "Giới hạn SYN/s theo cổng 80",
         {.ipSyns = 3}},
        {"port syn below drop",
         {},
         {.syn = {PortRule(80, 3)}},
         Packet::Syn(),
         kAllow,
         "",
         {.ipSyns = 2}},
        {"port syn at block",
         {},
         {.syn = {PortRule(80, 3, 5)}},
         Packet::Syn(),
         kBlock,
         "Giới hạn SYN/s theo cổng 80",
         {.ipSyns = 5}},
    };
    for (const TcpCase& c : cases)
        Run(c);
}

TEST_F(EvaluateTcpCases, PayloadSizeUsesParameterWhenDropThresholdIsZero) {
    const TcpCase cases[] = {
        {"parameter is the limit",
         {Rule(RuleKind::PayloadSize, "size", 0, 0, 100)},
         {},
         Packet::Tcp().Payload(101),
         kDrop,
         "size"},
        {"at the parameter",
         {Rule(RuleKind::PayloadSize, "size", 0, 0, 100)},
         {},
         Packet::Tcp().Payload(100),
         kAllow,
         ""},
        {"drop threshold wins over parameter",
         {Rule(RuleKind::PayloadSize, "size", 50, 0, 100)},
         {},
         Packet::Tcp().Payload(60),
         kDrop,
         "size"},
    };
    for (const TcpCase& c : cases)
        Run(c);
}

TEST_F(EvaluateTcpCases, FirstFiringTestDecides) {
    const TcpCase cases[] = {
        {"first rule of a kind decides with its drop before the second's block",
         {Rule(RuleKind::IpPacketRate, "first", 5), Rule(RuleKind::IpPacketRate, "second", 0, 8)},
         {},
         Packet::Tcp(),
         kDrop,
         "first",
         {.ipPackets = 10}},
        {"block is tested before drop within a rule",
         {Rule(RuleKind::IpPacketRate, "both", 5, 8)},
         {},
         Packet::Tcp(),
         kBlock,
         "both",
         {.ipPackets = 10}},
        {"a rule that does not fire passes on to the next of its kind",
         {Rule(RuleKind::IpPacketRate, "high", 100), Rule(RuleKind::IpPacketRate, "low", 5)},
         {},
         Packet::Tcp(),
         kDrop,
         "low",
         {.ipPackets = 10}},
        {"kind order, not list order: IpPacketRate before PayloadSize",
         {Rule(RuleKind::PayloadSize, "size", 10), Rule(RuleKind::IpPacketRate, "pps", 5)},
         {},
         Packet::Tcp().Payload(100),
         kDrop,
         "pps",
         {.ipPackets = 10}},
        {"IpEstablished before PayloadSize",
         {Rule(RuleKind::PayloadSize, "size", 10), Rule(RuleKind::IpEstablished, "est", 0, 2)},
         {},
         Packet::Tcp().Payload(100),
         kBlock,
         "est",
         {.connections = 2}},
        {"PayloadSize before IpSynRate",
         {Rule(RuleKind::IpSynRate, "syn", 1), Rule(RuleKind::PayloadSize, "size", 10)},
         {},
         Packet::Syn().Payload(100),
         kDrop,
         "size",
         {.ipSyns = 5}},
        {"IpSynRate before WindowSynTotal",
         {Rule(RuleKind::WindowSynTotal, "win", 1), Rule(RuleKind::IpSynRate, "syn", 1)},
         {},
         Packet::Syn(),
         kDrop,
         "syn",
         {.ipSyns = 5, .allowedSyns = 5}},
        {"WindowSynTotal before GlobalPacketRate",
         {Rule(RuleKind::GlobalPacketRate, "global", 1), Rule(RuleKind::WindowSynTotal, "win", 1)},
         {},
         Packet::Syn(),
         kDrop,
         "win",
         {.allowedSyns = 5}},
        {"GlobalPacketRate before EstablishedIpTotal",
         {Rule(RuleKind::EstablishedIpTotal, "all", 1), Rule(RuleKind::GlobalPacketRate, "g", 1)},
         {},
         Packet::Syn(),
         kDrop,
         "g",
         {.busyAddresses = 5}},
        {"rule kinds before port limits",
         {Rule(RuleKind::IpPacketRate, "pps", 5)},
         {.pps = {PortRule(80, 5, 6)}},
         Packet::Tcp(),
         kDrop,
         "pps",
         {.ipPackets = 10}},
        {"port pps before port conn",
         {},
         {.pps = {PortRule(80, 5)}, .conn = {PortRule(80, 0, 1)}},
         Packet::Tcp(),
         kDrop,
         "Giới hạn PPS mỗi IP theo cổng 80",
         {.ipPackets = 10, .connections = 1, .portConnections = 1}},
        {"port conn before port size",
         {},
         {.size = {PortRule(80, 10)}, .conn = {PortRule(80, 0, 1)}},
         Packet::Tcp().Payload(100),
         kBlock,
         "Giới hạn kết nối theo cổng 80",
         {.connections = 1, .portConnections = 1}},
        {"port size before port syn",
         {},
         {.size = {PortRule(80, 10)}, .syn = {PortRule(80, 0, 1)}},
         Packet::Syn().Payload(100),
         kDrop,
         "Giới hạn size theo cổng 80",
         {.ipSyns = 5}},
    };
    for (const TcpCase& c : cases)
        Run(c);
}

TEST_F(EvaluateTcpCases, SynFlagAndPureSynGating) {
    const TcpCase cases[] = {
        {"IpEstablished drop needs the SYN flag",
         {Rule(RuleKind::IpEstablished, "est", 3)},
         {},
         Packet::Tcp(),
         kAllow,
         "",
         {.connections = 3}},
        {"IpEstablished drop with SYN",
         {Rule(RuleKind::IpEstablished, "est", 3)},
         {},
         Packet::Syn(),
         kDrop,
         "est",
         {.connections = 3}},
        {"IpEstablished block needs no SYN",
         {Rule(RuleKind::IpEstablished, "est", 3, 3)},
         {},
         Packet::Tcp(),
         kBlock,
         "est",
         {.connections = 3}},
        {"IpEstablished passed over reaches the next rule",
         {Rule(RuleKind::IpEstablished, "est", 3), Rule(RuleKind::PayloadSize, "size", 10)},
         {},
         Packet::Tcp().Payload(50),
         kDrop,
         "size",
         {.connections = 3}},
        {"non-SYN not judged by IpSynRate",
         {Rule(RuleKind::IpSynRate, "syn", 1, 2)},
         {},
         Packet::Tcp(),
         kAllow,
         "",
         {.ipSyns = 100}},
        {"non-SYN not judged by WindowSynTotal",
         {Rule(RuleKind::WindowSynTotal, "win", 1)},
         {},
         Packet::Tcp(),
         kAllow,
         "",
         {.allowedSyns = 100}},
        {"non-SYN not judged by port SYN limits",
         {},
         {.syn = {PortRule(80, 1, 2)}},
         Packet::Tcp(),
         kAllow,
         "",
         {.ipSyns = 100}},
        {"SYN-ACK not judged by IpSynRate",
         {Rule(RuleKind::IpSynRate, "syn", 1, 2)},
         {},
         Packet::SynAck(),
         kAllow,
         "",
         {.ipSyns = 100}},
        {"SYN-ACK not judged by WindowSynTotal",
         {Rule(RuleKind::WindowSynTotal, "win", 1)},
         {},
         Packet::SynAck(),
         kAllow,
         "",
         {.allowedSyns = 100}},
        {"SYN-ACK judged by port SYN limits",
         {},
         {.syn = {PortRule(80, 1)}},
         Packet::SynAck(),
         kDrop,
         "Giới hạn SYN/s theo cổng 80",
         {.ipSyns = 100}},
        {"SYN-ACK judged by IpEstablished drop",
         {Rule(RuleKind::IpEstablished, "est", 1)},
         {},
         Packet::SynAck(),
         kDrop,
         "est",
         {.connections = 1}},
        {"FIN is not a SYN",
         {Rule(RuleKind::IpSynRate, "syn", 1)},
         {},
         Packet::Tcp(tcp_flags::kFin | tcp_flags::kAck),
         kAllow,
         "",
         {.ipSyns = 100}},
    };
    for (const TcpCase& c : cases)
        Run(c);
}

TEST_F(RuleEngineTest, BlockListedSourceWithNoRuleFiringIsDroppedWithoutReason) {
    SetTcpRules({Rule(RuleKind::IpPacketRate, "pps", 1000)});
    state->ipLists.AddToBlock(kClient);
    VerdictResult result = Tcp(Packet::Tcp());
    EXPECT_EQ(result.verdict, Verdict::Drop);
    EXPECT_TRUE(result.reason.empty());
    // Another source passes.
    EXPECT_EQ(Tcp(Packet::Tcp().From(Ip(10, 0, 0, 2))).verdict, Verdict::Allow);
}

TEST_F(RuleEngineTest, AllowListBeatsBlockListButNotARule) {
    state->ipLists.AddToBlock(kClient);
    state->ipLists.AddAllowed(kClient);
    EXPECT_EQ(Tcp(Packet::Tcp()).verdict, Verdict::Allow);
    // The lists are consulted only when no rule fired.
    SetTcpRules({Rule(RuleKind::PayloadSize, "size", 10)});
    EXPECT_EQ(Tcp(Packet::Tcp().Payload(11)).verdict, Verdict::Drop);
}

TEST_F(RuleEngineTest, OnlyAllowedPureSynsRaiseTheValidSynWindow) {
    SetTcpRules({Rule(RuleKind::PayloadSize, "size", 10)});
    EXPECT_EQ(Tcp(Packet::Syn()).verdict, Verdict::Allow);
    EXPECT_EQ(flushedRules().validSynWindow.value, 1u);
    EXPECT_EQ(Tcp(Packet::Syn().Payload(11)).verdict, Verdict::Drop);
    EXPECT_EQ(flushedRules().validSynWindow.value, 1u);
    EXPECT_EQ(Tcp(Packet::SynAck()).verdict, Verdict::Allow);
    EXPECT_EQ(Tcp(Packet::Tcp()).verdict, Verdict::Allow);
    EXPECT_EQ(flushedRules().validSynWindow.value, 1u);
    state->ipLists.AddToBlock(kClient);
    EXPECT_EQ(Tcp(Packet::Syn()).verdict, Verdict::Drop);
    EXPECT_EQ(flushedRules().validSynWindow.value, 1u);
}

TEST_F(RuleEngineTest, EvaluatedAndSynCountersCountEveryExaminedPacket) {
    Tcp(Packet::Syn());
    Tcp(Packet::SynAck());
    Tcp(Packet::Tcp());
    EXPECT_EQ(flushedRules().evaluatedPackets.value, 3u);
    EXPECT_EQ(flushedRules().synPackets.value, 1u);
}

TEST_F(RuleEngineTest, WindowTotalsIncludeTheWorkersUnflushedShare) {
    // The worker's counts reach the engine counters only when it flushes them after its
    // batch; the window-wide rules must still see every packet the worker has judged.
    SetTcpRules(
        {Rule(RuleKind::WindowSynTotal, "syns", 2), Rule(RuleKind::GlobalPacketRate, "global", 5)});
    rules().evaluatedPackets.value = 0;
    EXPECT_EQ(RuleOf(Tcp(Packet::Syn()).reason), "");
    EXPECT_EQ(RuleOf(Tcp(Packet::Syn()).reason), "");
    EXPECT_EQ(RuleOf(Tcp(Packet::Syn()).reason), "syns");  // two allowed SYNs before it
    EXPECT_EQ(RuleOf(Tcp(Packet::Tcp()).reason), "");
    EXPECT_EQ(rules().evaluatedPackets.value, 0u);
    EXPECT_EQ(RuleOf(Tcp(Packet::Tcp()).reason), "global");  // the fifth packet
    EXPECT_EQ(flushedRules().evaluatedPackets.value, 5u);
    EXPECT_EQ(rules().synPackets.value, 3u);
    EXPECT_EQ(rules().validSynWindow.value, 2u);
    // Flushing moves the share, it does not add it twice.
    EXPECT_EQ(RuleOf(Tcp(Packet::Tcp()).reason), "global");
    EXPECT_EQ(flushedRules().evaluatedPackets.value, 6u);
}

TEST_F(RuleEngineTest, SourcesScreenedByTheCallerAreNotLookedUpAgain) {
    // The capture worker hands over only sources that are neither own addresses nor on a
    // list; the evaluator trusts that rather than repeating the lookups.
    const uint32_t own = Ip(192, 168, 1, 10);
    engine->localAddresses.Insert(own);
    state->ipLists.AddToBlock(kClient);
    VerdictResult result;
    EvaluateTcp(*engine, result, Packet::Tcp(), SourceChecks::DoneByCaller);
    EXPECT_EQ(result.verdict, Verdict::Allow);
    EvaluateTcp(*engine, result, Packet::Tcp().From(own), SourceChecks::DoneByCaller);
    EvaluateUdp(*engine, result, Packet::Udp().From(own), SourceChecks::DoneByCaller);
    EvaluateIcmp(*engine, result, Packet::Icmp(8).From(own), SourceChecks::DoneByCaller);
    EXPECT_EQ(flushedRules().evaluatedPackets.value, 2u);
    EXPECT_EQ(rules().udpPackets + rules().icmpPackets, 2u);
    // Left to the evaluator, the same packets are screened by it.
    EXPECT_EQ(Tcp(Packet::Tcp()).verdict, Verdict::Drop);
    Tcp(Packet::Tcp().From(own));
    EXPECT_EQ(flushedRules().evaluatedPackets.value, 3u);
}

TEST_F(RuleEngineTest, TcpProtectionOffAllowsAndMovesNoCounter) {
    SetTcpRules({Rule(RuleKind::IpPacketRate, "pps", 1), Rule(RuleKind::PayloadSize, "s", 1)});
    SeedTcp(kClient, kServerPort, 100);
    Configure(false, true, true, true, true);
    state->ipLists.AddToBlock(kClient);
    for (int i = 0; i < 3; ++i) {
        VerdictResult result = Tcp(Packet::Syn().Payload(500));
        EXPECT_EQ(result.verdict, Verdict::Allow);
        EXPECT_TRUE(result.reason.empty());
    }
    EXPECT_EQ(flushedRules().evaluatedPackets.value, 0u);
    EXPECT_EQ(flushedRules().synPackets.value, 0u);
    EXPECT_EQ(flushedRules().validSynWindow.value, 0u);
    for (const WorkerCounterShard& shard : scratch.counterShards.shards) {
        EXPECT_TRUE(shard.empty());
    }
}

TEST_F(RuleEngineTest, OwnAndApiHostSourcesAreNeitherJudgedNorCounted) {
    const uint32_t own = Ip(192, 168, 1, 10);
    const uint32_t apiHost = Ip(203, 0, 113, 7);
    engine->localAddresses.Insert(own);
    engine->apiHostAddresses.Insert(apiHost);
    SetAllRules({Rule(RuleKind::PayloadSize, "size", 1)},
                {Rule(RuleKind::UdpTotalPacketRate, "udp", 1)},
                {Rule(RuleKind::IcmpTotalPacketRate, "icmp", 1)});
    for (uint32_t source : {own, apiHost}) {
        EXPECT_EQ(Tcp(Packet::Syn().From(source).Payload(100)).verdict, Verdict::Allow);
        EXPECT_EQ(Udp(Packet::Udp().From(source).Payload(100)).verdict, Verdict::Allow);
        EXPECT_EQ(Icmp(Packet::Icmp(8).From(source).Payload(100)).verdict, Verdict::Allow);
    }
    EXPECT_EQ(flushedRules().evaluatedPackets.value + flushedRules().synPackets.value, 0u);
    EXPECT_EQ(rules().udpPackets + rules().icmpPackets, 0u);
    EXPECT_EQ(UdpSourceCount(*engine) + IcmpSourceCount(*engine), 0u);
    EXPECT_TRUE(scratch.counterShards.ShardFor(own).empty());
    EXPECT_TRUE(scratch.counterShards.ShardFor(apiHost).empty());
    // Anyone else is judged.
    EXPECT_EQ(Tcp(Packet::Tcp().Payload(100)).verdict, Verdict::Drop);
}

TEST_F(RuleEngineTest, ConnectionFactsAreReadOnlyWhenARuleNeedsThem) {
    // With the connection table held exclusively elsewhere, a packet that needs connection
    // facts reads them as zero instead of waiting; one that does not is unaffected.
    SetTcpRules({Rule(RuleKind::IpEstablished, "est", 0, 1), Rule(RuleKind::PayloadSize, "s", 10)});
    SeedConnections(kClient, kServerPort, 1, 1);
    EXPECT_EQ(Tcp(Packet::Tcp()).verdict, Verdict::BlockSource);

    std::unique_lock held(engine->connections.connTableLock);
    std::thread other([&] {
        VerdictResult result;
        EvaluateTcp(*engine, result, Packet::Tcp());
        EXPECT_EQ(result.verdict, Verdict::Allow);
        EvaluateTcp(*engine, result, Packet::Tcp().Payload(11));
        EXPECT_EQ(result.verdict, Verdict::Drop);
    });
    other.join();
}

TEST_F(RuleEngineTest, ANewRuleSetAppliesFromTheNextPacket) {
    SeedTcp(kClient, kServerPort, 10);
    SetTcpRules({Rule(RuleKind::IpPacketRate, "lenient", 100)});
    EXPECT_EQ(Tcp(Packet::Tcp()).verdict, Verdict::Allow);
    SetTcpRules({Rule(RuleKind::IpPacketRate, "strict", 5)});
    VerdictResult result = Tcp(Packet::Tcp());
    EXPECT_EQ(result.verdict, Verdict::Drop);
    EXPECT_EQ(RuleOf(result.reason), "strict");

    // The hint stored beside the rule set only decides what is fetched ahead: read stale
    // (as by a packet racing a publication), it changes no verdict and no count.
    engine->ruleEngine.tcpTestsHint.store(false);
    EvaluateTcp(*engine, result, Packet::Tcp(), SourceChecks::DoneByCaller);
    EXPECT_EQ(result.verdict, Verdict::Drop);
    SetTcpRules({});
    engine->ruleEngine.tcpTestsHint.store(true);
    EvaluateTcp(*engine, result, Packet::Tcp(), SourceChecks::DoneByCaller);
    EXPECT_EQ(result.verdict, Verdict::Allow);
    EXPECT_EQ(flushedRules().evaluatedPackets.value, 4u);
}

// Every TCP reason text, once, as it leaves EvaluateTcp.
struct ReasonCase {
    std::vector<RuleDefinition> rules;
    PortRules ports;
    Packet packet;
    TcpCase::Window window;
    const char* reason;
};

TEST_F(EvaluateTcpCases, EveryTcpReasonTextExactly) {
    const char* kDrop = "[Drop] 10.0.0.1:40000 -> 192.168.1.10:80 | Rule: ";
    const char* kBlock = "[BlockSource] 10.0.0.1:40000 -> 192.168.1.10:80 | Rule: ";
    const ReasonCase cases[] = {
        {{Rule(RuleKind::IpPacketRate, "Giới hạn PPS", 0, 5)},
         {},
         Packet::Tcp(),
         {.ipPackets = 7},
         "B|Giới hạn PPS | PPS hiện tại của IP là 7 vượt giới hạn block 5"},
        {{Rule(RuleKind::IpPacketRate, "Giới hạn PPS", 5)},
         {},
         Packet::Tcp(),
         {.ipPackets = 7},
         "D|Giới hạn PPS | PPS hiện tại của IP là 7 vượt giới hạn drop 5"},
        {{Rule(RuleKind::IpEstablished, "est", 0, 3)},
         {},
         Packet::Tcp(),
         {.connections = 4},
         "B|est | IP giữ 4 kết nối ESTABLISHED vượt ngưỡng block 3"},
        {{Rule(RuleKind::IpEstablished, "est", 3)},
         {},
         Packet::Syn(),
         {.connections = 3},
         "D|est | IP giữ 3 kết nối ESTABLISHED vượt ngưỡng drop 3"},
        {{Rule(RuleKind::PayloadSize, "size", 0, 0, 100)},
         {},
         Packet::Tcp().Payload(150),
         {},
         "D|size | Kích thước payload 150 byte vượt giới hạn 100 byte"},
        {{Rule(RuleKind::IpSynRate, "syn", 0, 2)},
         {},
         Packet::Syn(),
         {.ipSyns = 3},
         "B|syn | SYN mỗi giây của IP là 3 vượt ngưỡng block 2"},
        {{Rule(RuleKind::IpSynRate, "syn", 2)},
         {},
         Packet::Syn(),
         {.ipSyns = 3},
         "D|syn | SYN mỗi giây của IP là 3 vượt ngưỡng drop 2"},
        {{Rule(RuleKind::WindowSynTotal, "win", 50)},
         {},
         Packet::Syn(),
         {.allowedSyns = 60},
         "D|win | Tổng số SYN hợp lệ trong cửa sổ là 60 vượt giới hạn 50"},
        {{Rule(RuleKind::GlobalPacketRate, "global", 100)},
         {},
         Packet::Tcp(),
         {.evaluated = 149},
         "D|global | PPS hiện tại 150/s (150 gói trong 1s) vượt giới hạn 100/s"},
        {{Rule(RuleKind::EstablishedIpTotal, "all", 20)},
         {},
         Packet::Syn(),
         {.busyAddresses = 25},
         "D|all | 25 IP đang giữ kết nối ESTABLISHED vượt giới hạn 20"},
        {{},
         {.pps = {PortRule(80, 10, 20)}},
         Packet::Tcp(),
         {.ipPackets = 21},
         "B|Giới hạn PPS mỗi IP theo cổng 80 | IP 10.0.0.1 gửi 21 PPS tới cổng 80 vượt giới "
         "hạn block 20"},
        {{},
         {.pps = {PortRule(80, 10)}},
         Packet::Tcp(),
         {.ipPackets = 11},
         "D|Giới hạn PPS mỗi IP theo cổng 80 | IP 10.0.0.1 gửi 11 PPS tới cổng 80 vượt giới "
         "hạn drop 10"},
        {{},
         {.conn = {PortRule(80, 0, 5)}},
         Packet::Tcp(),
         {.connections = 5, .portConnections = 5},
         "B|Giới hạn kết nối theo cổng 80 | IP 10.0.0.1 đang giữ 5 kết nối ESTABLISHED tới "
         "cổng 80 vượt ngưỡng block 5"},
        {{},
         {.conn = {PortRule(80, 4)}},
         Packet::Syn(),
         {.connections = 4, .portConnections = 4},
         "D|Giới hạn kết nối theo cổng 80 | IP 10.0.0.1 đang giữ 4 kết nối ESTABLISHED tới "
         "cổng 80 vượt ngưỡng cho phép 4"},
        {{},
         {.size = {PortRule(80, 512, 1024)}},
         Packet::Tcp().Payload(1025),
         {},
         "B|Giới hạn size theo cổng 80 | Packet tới cổng 80 có kích thước 1025 bytes vượt "
         "giới hạn block 1024 bytes"},
        {{},
         {.size = {PortRule(80, 512)}},
         Packet::Tcp().Payload(513),
         {},
         "D|Giới hạn size theo cổng 80 | Packet tới cổng 80 có kích thước 513 bytes vượt giới "
         "hạn drop 512 bytes"},
        {{},
         {.syn = {PortRule(80, 3, 5)}},
         Packet::Syn(),
         {.ipSyns = 6},
         "B|Giới hạn SYN/s theo cổng 80 | IP 10.0.0.1 có 6 SYN/s tới cổng 80 vượt ngưỡng "
         "block 5"},
        {{},
         {.syn = {PortRule(80, 3)}},
         Packet::Syn(),
         {.ipSyns = 3},
         "D|Giới hạn SYN/s theo cổng 80 | IP 10.0.0.1 có 3 SYN/s tới cổng 80 vượt ngưỡng drop "
         "3"},
    };
    for (const ReasonCase& c : cases) {
        std::string expected = (c.reason[0] == 'B' ? kBlock : kDrop) + std::string(c.reason + 2);
        SCOPED_TRACE(expected);
        VerdictResult result = Evaluate(c.rules, c.ports, c.packet, c.window);
        EXPECT_EQ(result.verdict, c.reason[0] == 'B' ? Verdict::BlockSource : Verdict::Drop);
        EXPECT_EQ(result.reason, expected);
    }
}

TEST_F(RuleEngineTest, NoReasonTextWhenBothLogSwitchesAreOff) {
    SetTcpRules({Rule(RuleKind::IpPacketRate, "pps", 5, 8), Rule(RuleKind::PayloadSize, "s", 10)});
    SeedTcp(kClient, kServerPort, 20);
    SeedTcp(Ip(10, 0, 0, 2), kServerPort, 6);
    for (bool packetLog : {false, true}) {
        for (bool statsLog : {false, true}) {
            Configure(true, true, true, packetLog, statsLog);
            bool wanted = packetLog || statsLog;
            VerdictResult blocked = Tcp(Packet::Tcp());
            VerdictResult dropped = Tcp(Packet::Tcp().From(Ip(10, 0, 0, 2)));
            VerdictResult sized = Tcp(Packet::Tcp().From(Ip(10, 0, 0, 3)).Payload(11));
            EXPECT_EQ(blocked.verdict, Verdict::BlockSource);
            EXPECT_EQ(dropped.verdict, Verdict::Drop);
            EXPECT_EQ(sized.verdict, Verdict::Drop);
            EXPECT_EQ(!blocked.reason.empty(), wanted);
            EXPECT_EQ(!dropped.reason.empty(), wanted);
            EXPECT_EQ(!sized.reason.empty(), wanted);
        }
    }
}

TEST(RuleEventText, VerdictNamesEmptyDetailAndAddresses) {
    PacketView packet = Packet::Tcp().From(Ip(255, 255, 255, 255), 65535).To(0, 0);
    EXPECT_EQ(FormatRuleEvent(packet, static_cast<Verdict>(7), "r", "d"),
              "[Unknown] 255.255.255.255:65535 -> 0.0.0.0:0 | Rule: r | d");
    EXPECT_EQ(FormatRuleEvent(packet, Verdict::Allow, "Quy tắc", ""),
              "[Allow] 255.255.255.255:65535 -> 0.0.0.0:0 | Rule: Quy tắc");
    packet = Packet::Tcp().From(Ip(1, 2, 3, 4), 1).To(Ip(10, 20, 30, 40), 8080);
    EXPECT_EQ(FormatRuleEvent(packet, Verdict::BlockSource, "", "x"),
              "[BlockSource] 1.2.3.4:1 -> 10.20.30.40:8080 | Rule:  | x");
}

TEST(RuleEventText, MeasuredValuesTruncateSafely) {
    EXPECT_EQ(TruncatedValue(599.99), 599u);
    EXPECT_EQ(TruncatedValue(-3.0), 0u);
    EXPECT_EQ(TruncatedValue(std::nan("")), 0u);
    EXPECT_EQ(TruncatedValue(1e30), UINT64_MAX);
}

}  // namespace
}  // namespace bastion
