// The cleanup and metrics loops inside a running engine on the simulated network: traffic
// through the capture workers and the flow thread becomes published rates, source counts,
// active connections and statistics lines in the host's packet log.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "divert/sim/PacketBuilder.h"
#include "platform/Clock.h"
#include "tests/engine/LifecycleFixture.h"
#include "tests/platform/FakeSystemTables.h"

namespace bastion::testing {
namespace {

using divert::sim::PacketBuilder;
using platform::testing::Ip;

constexpr uint16_t kPort = 80;
constexpr uint8_t kEchoRequest = 8;
constexpr size_t kEchoPayload = 56;
constexpr uint32_t kSources[] = {Ip(198, 51, 100, 1), Ip(198, 51, 100, 2), Ip(198, 51, 100, 3),
                                 Ip(198, 51, 100, 4)};

uint32_t SequenceOf(const std::vector<uint8_t>& packet) {
    const size_t tcp = (packet[0] & 0x0F) * 4u;
    return (uint32_t{packet[tcp + 4]} << 24) | (uint32_t{packet[tcp + 5]} << 16) |
           (uint32_t{packet[tcp + 6]} << 8) | packet[tcp + 7];
}

class ServiceLoopsEngineTest : public LifecycleTest {
  protected:
    // A client completes a handshake with the simulated stack through the engine.
    void Connect(uint32_t client, uint16_t clientPort) {
        sim->TakeWire();
        sim->InjectInbound(PacketBuilder::Tcp(client, clientPort, sim->LocalAddress(), kPort)
                               .Syn()
                               .Seq(1000)
                               .Build());
        std::vector<uint8_t> synAck;
        for (int i = 0; i < 200 && synAck.empty(); ++i) {
            for (auto& record : sim->TakeWire())
                synAck = std::move(record.bytes);
            if (synAck.empty()) std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        ASSERT_FALSE(synAck.empty()) << "no SYN-ACK";
        sim->InjectInbound(PacketBuilder::Tcp(client, clientPort, sim->LocalAddress(), kPort)
                               .Ack()
                               .Seq(1001)
                               .AckNumber(SequenceOf(synAck) + 1)
                               .Build());
    }
    // A data-less ACK and an echo request from every source.
    void Burst() {
        for (uint32_t source : kSources) {
            sim->InjectInbound(
                PacketBuilder::Tcp(source, 41000, sim->LocalAddress(), kPort).Ack().Build());
            sim->InjectInbound(PacketBuilder::Icmp(source, sim->LocalAddress(), kEchoRequest)
                                   .PayloadSize(kEchoPayload)
                                   .Build());
        }
    }
    std::vector<std::string> StatsLines() {
        std::vector<std::string> lines;
        for (std::string& text : PacketLogTexts(state)) {
            if (text.rfind("[STATS]", 0) == 0) lines.push_back(std::move(text));
        }
        return lines;
    }
};

TEST_F(ServiceLoopsEngineTest, TrafficBecomesMetricsAndStatisticsLines) {
    sim->Stack().Listen(kPort);
    AppConfig config = TcpOnly("", {kPort});
    config.icmpEnabled = true;
    config.statsLogEnabled = true;
    engine->ApplyConfig(config);
    const auto started = std::chrono::steady_clock::now();
    ASSERT_TRUE(engine->Start());
    Connect(kSources[0], 50000);

    // Traffic every 20 ms until the second metrics tick has produced a statistics line
    // (the first tick only notes that the line is switched on).
    uint64_t bursts = 0;
    double highestPps = 0;
    double highestIcmpKBps = 0;
    uint64_t highestTcpSources = 0;
    std::vector<std::string> lines;
    while (lines.empty() && std::chrono::steady_clock::now() - started < std::chrono::seconds(3)) {
        Burst();
        ++bursts;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        const AppMetrics metrics = engine->GetMetrics();
        highestPps = std::max(highestPps, metrics.currentPps);
        highestIcmpKBps = std::max(highestIcmpKBps, metrics.icmpKBps);
        highestTcpSources = std::max(highestTcpSources, metrics.tcpSourceCount);
        lines = StatsLines();
    }
    const AppMetrics metrics = engine->GetMetrics();
    engine->Stop();

    ASSERT_EQ(lines.size(), 1u);
    // Nothing is dropped, so everything received was sent on.
    const std::string prefix = "[STATS] Recv: ";
    ASSERT_EQ(lines[0].rfind(prefix, 0), 0u) << lines[0];
    const uint64_t received = std::stoull(lines[0].substr(prefix.size()));
    const std::string count = std::to_string(received);
    EXPECT_EQ(lines[0], "[STATS] Recv: " + count + " | Send: " + count +
                            " | Drop: 0 | Block: 0 | Total: " + count + " pps");
    EXPECT_GT(received, 0u);
    EXPECT_LE(received, 2 + bursts * 2 * std::size(kSources));

    // About 200 TCP packets and 200 echo requests a second; a period is a second or a
    // little more, so no rate can exceed what went in.
    const double tcpPackets = static_cast<double>(2 + bursts * std::size(kSources));
    EXPECT_GT(highestPps, 50.0);
    EXPECT_LE(highestPps, tcpPackets);
    EXPECT_GT(metrics.icmpPps, 50.0);
    EXPECT_GT(highestIcmpKBps, 50.0 * kEchoPayload / 1024);
    EXPECT_LE(highestIcmpKBps,
              static_cast<double>(bursts * std::size(kSources) * (kEchoPayload + 8)) / 1024);
    EXPECT_EQ(metrics.currentDropPerSec, 0.0);
    EXPECT_EQ(metrics.udpPps, 0.0);
    // Echo senders stay counted for 10 s; TCP sources only within the current one-second
    // window, which the cleanup thread may have just restarted when the tick counts it.
    EXPECT_EQ(metrics.icmpSourceCount, std::size(kSources));
    EXPECT_LE(highestTcpSources, std::size(kSources));
    EXPECT_EQ(metrics.activeConnections, 1u);
    EXPECT_DOUBLE_EQ(engine->ruleEngine.udpMetricsInterval.load(),
                     engine->ruleEngine.icmpMetricsInterval.load());
    EXPECT_GE(engine->ruleEngine.udpMetricsInterval.load(), 1.0);
}

}  // namespace
}  // namespace bastion::testing
