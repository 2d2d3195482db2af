// Traffic through a worker: rules deciding real packets end to end, and random batches
// that must neither crash the worker nor make it send what it did not receive.
#include <algorithm>
#include <map>
#include <random>

#include "platform/Clock.h"
#include "rules/Counters.h"
#include "tests/capture/CaptureTestSupport.h"

namespace bastion::capture_test {
namespace {

RuleDefinition Rule(RuleKind kind, const char* name, uint64_t drop, uint64_t block) {
    RuleDefinition rule;
    rule.kind = static_cast<int32_t>(kind);
    rule.name = name;
    rule.enabled = true;
    rule.dropThreshold = drop;
    rule.blockThreshold = block;
    return rule;
}

class RulesThroughTheWorker : public CaptureTest {
  protected:
    // One batch: `flood` packets from the attacker, then one from a legitimate client.
    // Returns how many of each were delivered.
    std::pair<size_t, size_t> Batch(CaptureWorker& worker, size_t flood, bool udp) {
        std::vector<Bytes> batch;
        for (size_t i = 0; i < flood; ++i)
            batch.push_back(Packet(attacker, static_cast<uint16_t>(i), udp));
        batch.push_back(Packet(kOtherClient, 60000, udp));
        sim->InjectInbound(batch);
        worker.RunCycle();
        size_t fromAttacker = 0;
        size_t fromClient = 0;
        for (const auto& record : sim->TakeDelivered()) {
            (TagOf(record.bytes) == 60000 ? fromClient : fromAttacker) += 1;
        }
        return {fromAttacker, fromClient};
    }

    static Bytes Packet(uint32_t source, uint16_t tag, bool udp) {
        if (udp) return PacketBuilder::Udp(source, 5000, kServer, 53).Id(tag).Payload("q").Build();
        return InboundTcp(tag, source);
    }

    const uint32_t attacker = Ipv4("198.18.7.7");
};

TEST_F(RulesThroughTheWorker, TcpPacketRateRuleDropsThenBlocksAFloodingSource) {
    engine->SetRules({Rule(RuleKind::IpPacketRate, "pps", 100, 400)}, {}, {}, {}, {}, {}, {}, {});
    auto worker = NewWorker();
    // Counts reach the shared table through the merge after a batch, at most every 100 ms.
    EXPECT_EQ(Batch(*worker, 150, false), std::make_pair(size_t{150}, size_t{1}));
    // The engine counters take the worker's share at the end of every batch.
    EXPECT_EQ(engine->ruleEngine.evaluatedPackets.value.load(), 151u);
    testing::AdvanceSteadyClock(150 * kNsPerMs);
    EXPECT_EQ(Batch(*worker, 150, false), std::make_pair(size_t{150}, size_t{1}));
    ASSERT_EQ(ReadSnapshot(*engine, attacker, 80).ipPackets, 300u);

    // Above the drop threshold, below the block threshold.
    testing::AdvanceSteadyClock(150 * kNsPerMs);
    EXPECT_EQ(Batch(*worker, 150, false), std::make_pair(size_t{0}, size_t{1}));
    EXPECT_FALSE(state->ipLists.IsBlockedLockFree(attacker));
    EXPECT_EQ(engine->ruleEngine.statsDrop.load(), 150u);
    EXPECT_EQ(engine->ruleEngine.enforcedPackets.value.load(), 150u);

    // Above the block threshold: the first packet blocks the source, the host's block
    // list drops the rest uncounted.
    testing::AdvanceSteadyClock(150 * kNsPerMs);
    EXPECT_EQ(Batch(*worker, 150, false), std::make_pair(size_t{0}, size_t{1}));
    EXPECT_TRUE(state->ipLists.IsBlockedLockFree(attacker));
    worker->FlushCounters(SteadyNowNs());
    EXPECT_EQ(engine->ruleEngine.statsBlock.load(), 1u);
    EXPECT_EQ(Batch(*worker, 10, false), std::make_pair(size_t{0}, size_t{1}));
    EXPECT_FALSE(state->ipLists.IsBlockedLockFree(kOtherClient));
}

TEST_F(RulesThroughTheWorker, UdpRateRuleDropsTheSourceAboveItsRate) {
    engine->SetRules({}, {}, {}, {}, {}, {}, {Rule(RuleKind::UdpIpPacketRate, "udp pps", 50, 0)},
                     {});
    auto worker = NewWorker();
    // UDP counts are live: packet 50 of the window reaches the threshold.
    EXPECT_EQ(Batch(*worker, 80, true), std::make_pair(size_t{49}, size_t{1}));
    EXPECT_EQ(Batch(*worker, 20, true), std::make_pair(size_t{0}, size_t{1}));
    EXPECT_FALSE(state->ipLists.IsBlockedLockFree(attacker));
}

TEST_F(RulesThroughTheWorker, DropReasonsGoToTheLog) {
    engine->SetRules({}, {}, {}, {}, {}, {}, {Rule(RuleKind::UdpIpPacketRate, "udp pps", 3, 0)},
                     {});
    auto worker = NewWorker();
    Batch(*worker, 4, true);
    std::vector<std::string> reasons;
    for (const std::string& text : LogTexts()) {
        if (text.find("udp pps") != std::string::npos) reasons.push_back(text);
    }
    EXPECT_EQ(reasons.size(), 2u) << "packets 3 and 4 of the source";
}

// Random batches: lengths, versions, truncation, address counts, send failures.
class Robustness : public CaptureTest {
  protected:
    // A random packet: valid TCP, UDP, ICMP, GRE or outbound TCP, one from a blocked
    // source, or (unless `wellFormed`) random bytes, often with an IPv4-looking start.
    Bytes RandomPacket(std::mt19937& random, uint16_t tag, bool wellFormed, bool& outbound) {
        outbound = false;
        const uint32_t source = Ipv4("198.18.0.0") + random() % 64;
        switch (random() % (wellFormed ? 7 : 9)) {
            case 0:
                return InboundTcp(tag, source, random() % 200);
            case 1:
                return PacketBuilder::Udp(source, 1, kServer, 53)
                    .Id(tag)
                    .PayloadSize(random() % 50)
                    .Build();
            case 2:
                return PacketBuilder::Icmp(source, kServer, 8).Id(tag).Build();
            case 3:
                return PacketBuilder::Ip(source, kServer, 47).Id(tag).Payload("gre").Build();
            case 4:
                return InboundTcp(tag, blockedSource);
            case 5:
                outbound = true;
                return OutboundTcp(tag);
            case 6:
                return InboundTcp(tag, source);
            default:
                break;
        }
        Bytes p(random() % 90);
        for (uint8_t& b : p)
            b = static_cast<uint8_t>(random());
        if (p.size() >= 4 && random() % 2) {
            p[0] = static_cast<uint8_t>(0x40 | (random() % 16));
            p[2] = 0;
            p[3] = static_cast<uint8_t>(random() % 120);
        }
        return p;
    }

    static uint32_t SourceOf(const Bytes& p) {
        return (uint32_t{p[12]} << 24) | (uint32_t{p[13]} << 16) | (uint32_t{p[14]} << 8) | p[15];
    }

    const uint32_t blockedSource = Ipv4("192.0.2.200");
};

TEST_F(Robustness, RandomBatchesNeverCrashNorSendForeignBytesNorLosePassingPackets) {
    auto worker = NewWorker();
    state->ipLists.AddToBlock(blockedSource);
    std::mt19937 random(20261206);
    uint64_t wellFormedPassing = 0;
    for (int round = 0; round < 400; ++round) {
        const bool wellFormed = round % 2 == 0;
        const size_t count = 1 + random() % (wellFormed ? kMaxBatchPackets : 300);
        std::vector<Bytes> packets;
        std::vector<bool> outbound;
        Bytes received;
        size_t passing = 0;
        for (size_t i = 0; i < count; ++i) {
            bool out = false;
            Bytes p = RandomPacket(random, static_cast<uint16_t>(i), wellFormed, out);
            if (wellFormed && SourceOf(p) != blockedSource) ++passing;
            received.insert(received.end(), p.begin(), p.end());
            packets.push_back(std::move(p));
            outbound.push_back(out);
        }
        UINT addrLen = static_cast<UINT>(std::min(count, kMaxBatchPackets) * kAddressBytes);
        if (!wellFormed) {
            if (random() % 3 == 0) addrLen = static_cast<UINT>(random() % 30000);
            if (random() % 3 == 0) received.resize(random() % (received.size() + 1));
            if (random() % 3 == 0) divert::FailSends(1 + random() % 3, ERROR_NOT_ENOUGH_MEMORY);
        }
        LoadBytes(*worker, received, outbound, addrLen);
        divert::ClearFaults();

        std::vector<divert::sim::PacketRecord> sent = sim->TakeDelivered();
        for (auto& record : sim->TakeWire())
            sent.push_back(std::move(record));
        for (const auto& record : sent) {
            ASSERT_NE(std::search(received.begin(), received.end(), record.bytes.begin(),
                                  record.bytes.end()),
                      received.end())
                << "round " << round << ": sent bytes that were never received";
        }
        if (wellFormed) {
            ASSERT_EQ(sent.size(), passing) << "round " << round;
            wellFormedPassing += passing;
        }
    }
    EXPECT_GT(wellFormedPassing, 10'000u);
}

}  // namespace
}  // namespace bastion::capture_test
