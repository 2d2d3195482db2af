// EvaluateUdp and EvaluateIcmp: counting, rates over the metrics period, rule-list order,
// the new-source and source-count limits, expiry through chosen times, and reason texts.
#include <gtest/gtest.h>

#include <future>
#include <thread>

#include "RuleTestSupport.h"

namespace bastion {
namespace {

using namespace testing_support;

constexpr uint8_t kEchoRequest = 8;
constexpr uint8_t kEchoReply = 0;
constexpr uint8_t kUnreachable = 3;

class UdpIcmpTest : public RuleEngineTest {
  protected:
    // `count` UDP packets of `source` judged by no rule.
    void UdpTraffic(uint32_t source, uint32_t count, uint32_t payload = 0) {
        for (uint32_t i = 0; i < count; ++i)
            Udp(Packet::Udp().From(source).Payload(payload));
    }
    void EchoTraffic(uint32_t source, uint32_t count, uint32_t payload = 0) {
        for (uint32_t i = 0; i < count; ++i) {
            Icmp(Packet::Icmp(kEchoRequest).From(source).Payload(payload));
        }
    }
};

// ---- UDP ----------------------------------------------------------------------------------

TEST_F(UdpIcmpTest, UdpOffAllowsAndCountsNothing) {
    SetUdpRules({Rule(RuleKind::UdpIpPacketRate, "udp", 1, 1)});
    Configure(true, false, true, true, true);
    for (int i = 0; i < 5; ++i) {
        VerdictResult result = Udp(Packet::Udp().Payload(100));
        EXPECT_EQ(result.verdict, Verdict::Allow);
        EXPECT_TRUE(result.reason.empty());
    }
    EXPECT_EQ(rules().udpPackets, 0u);
    EXPECT_EQ(rules().udpBytes, 0u);
    EXPECT_EQ(UdpSourceCount(*engine), 0u);
    EXPECT_TRUE(ShardOf(kClient).udpFlows.empty());
}

TEST_F(UdpIcmpTest, PerSourcePacketRateDropsAtThreeHundredAndBlocksAtFiveHundred) {
    struct Case {
        uint32_t packetsBefore;
        Verdict expected;
    };
    // The packet under judgement is counted first: 399 before it make a rate of 400.
    const Case cases[] = {
        {298, Verdict::Allow}, {299, Verdict::Drop},        {399, Verdict::Drop},
        {498, Verdict::Drop},  {499, Verdict::BlockSource}, {599, Verdict::BlockSource},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.packetsBefore);
        FreshEngine();
        UdpTraffic(kClient, c.packetsBefore);
        SetUdpRules({Rule(RuleKind::UdpIpPacketRate, "udp pps", 300, 500)});
        EXPECT_EQ(Udp(Packet::Udp()).verdict, c.expected);
    }
}

TEST_F(UdpIcmpTest, RatesUseTheLastMetricsPeriod) {
    SetUdpRules({Rule(RuleKind::UdpIpPacketRate, "udp pps", 300, 500)});
    rules().udpMetricsInterval = 2.0;
    UdpTraffic(kClient, 799);
    EXPECT_EQ(Udp(Packet::Udp()).verdict, Verdict::Drop);  // 800 in 2 s = 400/s

    FreshEngine();
    SetUdpRules({Rule(RuleKind::UdpIpPacketRate, "udp pps", 1000)});
    rules().udpMetricsInterval = 0.0;  // never below a millisecond: 1 packet = 1000/s
    EXPECT_EQ(Udp(Packet::Udp()).verdict, Verdict::Drop);
}

TEST_F(UdpIcmpTest, UdpRulesAreTriedInListOrderAcrossKinds) {
    UdpTraffic(kClient, 19, 100);
    const RuleDefinition total = Rule(RuleKind::UdpTotalPacketRate, "total", 10);
    const RuleDefinition perSource = Rule(RuleKind::UdpIpPacketRate, "per source", 0, 5);
    SetUdpRules({total, perSource});
    VerdictResult first = Udp(Packet::Udp());
    EXPECT_EQ(first.verdict, Verdict::Drop);
    EXPECT_NE(first.reason.find("\"total\""), std::string::npos) << first.reason;
    SetUdpRules({perSource, total});
    VerdictResult second = Udp(Packet::Udp());
    EXPECT_EQ(second.verdict, Verdict::BlockSource);
    EXPECT_NE(second.reason.find("\"per source\""), std::string::npos) << second.reason;
}

TEST_F(UdpIcmpTest, ByteRatesAndKindsThatAreNotUdpRules) {
    UdpTraffic(kClient, 9, 1000);  // 9,000 bytes before
    SetUdpRules({Rule(RuleKind::IpPacketRate, "tcp kind", 1, 1),
                 Rule(RuleKind::UdpIpByteRate, "bytes", 10'000, 20'000),
                 Rule(RuleKind::UdpTotalByteRate, "all bytes", 15'000)});
    EXPECT_EQ(Udp(Packet::Udp().Payload(999)).verdict, Verdict::Allow);  // 9,999 B/s
    EXPECT_EQ(Udp(Packet::Udp().Payload(1)).verdict, Verdict::Drop);     // 10,000 B/s
    VerdictResult other = Udp(Packet::Udp().From(Ip(10, 0, 0, 2)).Payload(5'000));
    EXPECT_EQ(other.verdict, Verdict::Drop);  // 15,000 B/s total
    EXPECT_NE(other.reason.find("\"all bytes\""), std::string::npos) << other.reason;
    EXPECT_EQ(Udp(Packet::Udp().Payload(10'000)).verdict, Verdict::BlockSource);
    EXPECT_EQ(rules().udpPackets, 13u);
    EXPECT_EQ(rules().udpBytes, 9'000u + 999 + 1 + 5'000 + 10'000);
}

TEST_F(UdpIcmpTest, NewSourceLimitTurnsAwayOnlySourcesNewInTheWindow) {
    for (uint32_t i = 0; i < 1000; ++i)
        UdpTraffic(Ip(10, 8, 0, 0) + i, 1);
    ASSERT_EQ(UdpSourceCount(*engine), 1000u);
    SetUdpRules({Rule(RuleKind::UdpNewSourceLimit, "Giới hạn IP mới", 1000)});

    EXPECT_EQ(Udp(Packet::Udp().From(Ip(10, 8, 0, 7))).verdict, Verdict::Allow);
    VerdictResult fresh = Udp(Packet::Udp().From(Ip(10, 9, 0, 1)));
    EXPECT_EQ(fresh.verdict, Verdict::Drop);
    EXPECT_EQ(fresh.reason,
              "Drop IP mới 10.9.0.1 bởi \"Giới hạn IP mới\" - Đang có 1001 IP UDP active vượt "
              "giới hạn 1000, chỉ từ chối IP mới để bảo toàn phiên cũ");
    // Its first packet was counted: it is known from now on.
    EXPECT_EQ(Udp(Packet::Udp().From(Ip(10, 9, 0, 1))).verdict, Verdict::Allow);
    // A new window forgets every source.
    ResetWindow(*engine, scratch.batchTime + kNsPerSecond);
    EXPECT_EQ(Udp(Packet::Udp().From(Ip(10, 8, 0, 7))).verdict, Verdict::Allow);
}

TEST_F(UdpIcmpTest, ABusyShardLeavesTheUdpPacketUncountedAndTheSourceNew) {
    UdpTraffic(kClient, 5);
    SetUdpRules(
        {Rule(RuleKind::UdpNewSourceLimit, "new", 1), Rule(RuleKind::UdpIpPacketRate, "pps", 3)});
    std::promise<void> locked;
    std::promise<void> release;
    std::thread holder([&] {
        std::lock_guard lock(ShardOf(kClient).mutex);
        locked.set_value();
        release.get_future().wait();
    });
    locked.get_future().wait();
    VerdictResult result = Udp(Packet::Udp());
    release.set_value();
    holder.join();
    // Unreadable counts read as a source with no packets: the per-source rate is 0, and
    // the source counts as new (the total of sources is still known).
    EXPECT_EQ(result.verdict, Verdict::Drop);
    EXPECT_NE(result.reason.find("Drop IP mới"), std::string::npos) << result.reason;
    EXPECT_EQ(*ShardOf(kClient).udpIpPackets.find(kClient), 5u);
    EXPECT_EQ(rules().udpPackets, 6u);
}

TEST_F(UdpIcmpTest, UdpFlowsRecordFirstAndLastSeenFromTheBatchTime) {
    scratch.batchTime = kStart + 100;
    Udp(Packet::Udp().Payload(10));
    scratch.batchTime = kStart + 900;
    Udp(Packet::Udp().Payload(30));
    Udp(Packet::Udp().From(kClient, 5353).Payload(1));
    const UdpFlowEntry* flow =
        ShardOf(kClient).udpFlows.find(PackUdpFlow(kClient, kClientPort, kServerPort));
    ASSERT_NE(flow, nullptr);
    EXPECT_EQ(flow->firstSeen, kStart + 100);
    EXPECT_EQ(flow->lastSeen, kStart + 900);
    EXPECT_EQ(flow->packets, 2u);
    EXPECT_EQ(flow->bytes, 40u);
    EXPECT_EQ(ShardOf(kClient).udpFlows.size(), 2u);
    EXPECT_EQ(*ShardOf(kClient).udpIpBytes.find(kClient), 41u);
}

TEST_F(UdpIcmpTest, EveryUdpReasonTextExactly) {
    UdpTraffic(kClient, 599);
    SetUdpRules({Rule(RuleKind::UdpIpPacketRate, "UDP flood", 300, 500)});
    EXPECT_EQ(Udp(Packet::Udp()).reason,
              "Chặn IP 10.0.0.1 bởi \"UDP flood\" - Giá trị UDP hiện tại: 600 vượt giới hạn "
              "block 500 [UDP 10.0.0.1:40000 -> 192.168.1.10:80]");
    SetUdpRules({Rule(RuleKind::UdpIpPacketRate, "UDP flood", 300)});
    EXPECT_EQ(Udp(Packet::Udp()).reason,
              "Drop gói UDP 10.0.0.1:40000 -> 192.168.1.10:80 bởi \"UDP flood\" - Giá trị "
              "hiện tại: 601 vượt giới hạn drop 300");
    // Rates are truncated, not rounded: 602 packets in 0.9 s = 668.9/s.
    rules().udpMetricsInterval = 0.9;
    SetUdpRules({Rule(RuleKind::UdpTotalPacketRate, "tổng", 600)});
    EXPECT_EQ(Udp(Packet::Udp()).reason,
              "Drop gói UDP 10.0.0.1:40000 -> 192.168.1.10:80 bởi \"tổng\" - Giá trị hiện "
              "tại: 668 vượt giới hạn drop 600");
    // The new-source text is checked with its limit above.
}

TEST_F(UdpIcmpTest, NoUdpOrIcmpReasonTextWhenBothLogSwitchesAreOff) {
    Configure(true, true, true, false, false);
    engine->SetRules({}, {}, {}, {}, {}, {}, {Rule(RuleKind::UdpIpPacketRate, "u", 1, 2)},
                     {Rule(RuleKind::IcmpTotalPacketRate, "i", 1)});
    VerdictResult udp = Udp(Packet::Udp());
    VerdictResult blocked = Udp(Packet::Udp());
    VerdictResult icmp = Icmp(Packet::Icmp(kEchoRequest));
    EXPECT_EQ(udp.verdict, Verdict::Drop);
    EXPECT_EQ(blocked.verdict, Verdict::BlockSource);
    EXPECT_EQ(icmp.verdict, Verdict::Drop);
    EXPECT_TRUE(udp.reason.empty() && blocked.reason.empty() && icmp.reason.empty());
}

// ---- ICMP ---------------------------------------------------------------------------------

TEST_F(UdpIcmpTest, IcmpOffAllowsAndCountsNothing) {
    SetIcmpRules({Rule(RuleKind::IcmpTotalPacketRate, "all", 1)});
    Configure(true, true, false, true, true);
    EXPECT_EQ(Icmp(Packet::Icmp(kEchoRequest).Payload(56)).verdict, Verdict::Allow);
    EXPECT_EQ(rules().icmpPackets, 0u);
    EXPECT_EQ(IcmpSourceCount(*engine), 0u);
}

TEST_F(UdpIcmpTest, RepliesAndUnreachablesCountInTotalsOnly) {
    EchoTraffic(kClient, 10, 56);
    SetIcmpRules({Rule(RuleKind::IcmpIpPacketRate, "echo", 1, 1)});
    for (uint8_t type : {kEchoReply, kUnreachable}) {
        VerdictResult result = Icmp(Packet::Icmp(type).Payload(100));
        EXPECT_EQ(result.verdict, Verdict::Allow) << int{type};
    }
    EXPECT_EQ(rules().icmpPackets, 12u);
    EXPECT_EQ(rules().icmpBytes, 560u + 200u);
    const IcmpSourceStats* stats = ShardOf(kClient).icmpIpStats.find(kClient);
    ASSERT_NE(stats, nullptr);
    EXPECT_EQ(stats->packets, 10u);
    EXPECT_EQ(stats->bytes, 560u);
    // A source that only sends replies never gets an entry.
    Icmp(Packet::Icmp(kEchoReply).From(Ip(10, 0, 0, 9)));
    EXPECT_EQ(IcmpSourceCount(*engine), 1u);
    // An echo request is judged (at the threshold).
    EXPECT_EQ(Icmp(Packet::Icmp(kEchoRequest)).verdict, Verdict::BlockSource);
}

TEST_F(UdpIcmpTest, IcmpRatesFireAtTheirThresholdInListOrder) {
    struct Case {
        const char* description;
        std::vector<RuleDefinition> rules;
        uint32_t echoesBefore;  // of this source, 10 payload bytes each
        Packet packet;
        Verdict expected;
    };
    const Case cases[] = {
        {"per-source rate below drop",
         {Rule(RuleKind::IcmpIpPacketRate, "r", 5)},
         3,
         Packet::Icmp(kEchoRequest).Payload(10),
         Verdict::Allow},
        {"per-source rate at drop",
         {Rule(RuleKind::IcmpIpPacketRate, "r", 5)},
         4,
         Packet::Icmp(kEchoRequest).Payload(10),
         Verdict::Drop},
        {"per-source rate at block",
         {Rule(RuleKind::IcmpIpPacketRate, "r", 2, 5)},
         4,
         Packet::Icmp(kEchoRequest).Payload(10),
         Verdict::BlockSource},
        {"total rate at drop",
         {Rule(RuleKind::IcmpTotalPacketRate, "t", 5)},
         4,
         Packet::Icmp(kEchoReply),
         Verdict::Drop},
        {"per-source bytes at block, any type",
         {Rule(RuleKind::IcmpIpByteRate, "b", 10, 40)},
         4,
         Packet::Icmp(kUnreachable),
         Verdict::BlockSource},
        {"per-source bytes at drop",
         {Rule(RuleKind::IcmpIpByteRate, "b", 50, 100)},
         4,
         Packet::Icmp(kEchoRequest).Payload(10),
         Verdict::Drop},
        {"total bytes at drop",
         {Rule(RuleKind::IcmpTotalByteRate, "tb", 45)},
         4,
         Packet::Icmp(kEchoReply).Payload(5),
         Verdict::Drop},
        {"list order: total before per-source",
         {Rule(RuleKind::IcmpTotalPacketRate, "t", 5), Rule(RuleKind::IcmpIpPacketRate, "r", 0, 5)},
         4,
         Packet::Icmp(kEchoRequest),
         Verdict::Drop},
        {"list order: per-source before total",
         {Rule(RuleKind::IcmpIpPacketRate, "r", 0, 5), Rule(RuleKind::IcmpTotalPacketRate, "t", 5)},
         4,
         Packet::Icmp(kEchoRequest),
         Verdict::BlockSource},
        {"other kinds are passed over",
         {Rule(RuleKind::UdpTotalPacketRate, "u", 1)},
         4,
         Packet::Icmp(kEchoRequest),
         Verdict::Allow},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.description);
        FreshEngine();
        EchoTraffic(kClient, c.echoesBefore, 10);
        SetIcmpRules(c.rules);
        EXPECT_EQ(Icmp(c.packet).verdict, c.expected);
    }
}

TEST_F(UdpIcmpTest, SourceCountLimitDropsEveryIcmpPacketUntilEntriesExpire) {
    const int64_t pingTime = scratch.batchTime;
    for (uint32_t i = 0; i < 100; ++i)
        EchoTraffic(Ip(10, 7, 0, 0) + i, 1);
    SetIcmpRules({Rule(RuleKind::IcmpSourceCount, "nguồn", 100)});
    for (Packet packet : {Packet::Icmp(kEchoRequest).From(Ip(10, 7, 0, 3)),
                          Packet::Icmp(kEchoReply).From(Ip(10, 6, 0, 1)),
                          Packet::Icmp(kUnreachable).From(Ip(10, 6, 0, 2))}) {
        EXPECT_EQ(Icmp(packet).verdict, Verdict::Drop);
    }
    // Resets zero the counts but keep the entries of sources seen in the last 10 s.
    ResetWindow(*engine, pingTime + kNsPerSecond);
    ResetWindow(*engine, pingTime + 10 * kNsPerSecond);
    EXPECT_EQ(Icmp(Packet::Icmp(kEchoReply).From(Ip(10, 6, 0, 1))).verdict, Verdict::Drop);
    // Source 3 pinged again (at pingTime) — all 100 entries are now more than 10 s old.
    ResetWindow(*engine, pingTime + 10 * kNsPerSecond + 1);
    EXPECT_EQ(IcmpSourceCount(*engine), 0u);
    EXPECT_EQ(Icmp(Packet::Icmp(kEchoReply).From(Ip(10, 6, 0, 1))).verdict, Verdict::Allow);
}

TEST_F(UdpIcmpTest, EveryIcmpReasonTextExactly) {
    EchoTraffic(kClient, 4, 56);
    SetIcmpRules({Rule(RuleKind::IcmpIpPacketRate, "ICMP flood", 2, 5)});
    EXPECT_EQ(Icmp(Packet::Icmp(kEchoRequest).Payload(56)).reason,
              "Chặn IP 10.0.0.1 bởi \"ICMP flood\" - Giá trị ICMP hiện tại: 5 vượt giới hạn "
              "block 5 [ICMP 10.0.0.1 -> 192.168.1.10 Type:8 Size:56B]");
    SetIcmpRules({Rule(RuleKind::IcmpSourceCount, "nguồn", 1)});
    EXPECT_EQ(Icmp(Packet::Icmp(kUnreachable).Payload(28)).reason,
              "Drop gói ICMP 10.0.0.1 -> 192.168.1.10 bởi \"nguồn\" - Giá trị hiện tại: 1 vượt "
              "giới hạn drop 1 [Type:3 Size:28B]");
}

}  // namespace
}  // namespace bastion
