// The replay: a capture built here (legitimate conversations, a single-source flood,
// traffic of other hosts) goes through the full engine; the verdict counts, the report
// and the written captures are checked, and unreadable inputs are refused cleanly.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>

#include "divert/sim/PacketBuilder.h"
#include "host/Factory.h"
#include "tools/Capture.h"
#include "tools/Replay.h"

namespace bastion::tools {
namespace {

using divert::sim::Ipv4;
using divert::sim::PacketBuilder;

constexpr int kEthernet = 1;
const uint32_t kServer = Ipv4("203.0.113.10");
const uint32_t kFlooder = Ipv4("192.0.2.66");
constexpr int kFloodPackets = 10000;
constexpr int kClients = 5;

// The shipped configuration: its per-source and per-port packet rate limits drop the
// flood above 1000 and 800 packets a second and block its source above 5000 and 4000.
HostConfig ShippedConfig() {
    ConfigLoad load = LoadConfigFile(BASTION_SOURCE_DIR "/config/bastion.json");
    EXPECT_TRUE(load.config) << (load.problems.empty() ? "" : load.problems[0].Describe());
    return load.config ? *load.config : HostConfig{};
}

CaptureFrame EthernetFrame(int64_t micros, const std::vector<uint8_t>& ip, uint16_t type = 0x0800) {
    CaptureFrame f;
    f.timeMicros = micros;
    f.bytes.resize(14 + ip.size());
    const uint8_t header[14] = {0x02,
                                0,
                                0,
                                0,
                                0,
                                1,
                                0x02,
                                0,
                                0,
                                0,
                                0,
                                2,
                                static_cast<uint8_t>(type >> 8),
                                static_cast<uint8_t>(type)};
    std::copy(header, header + 14, f.bytes.begin());
    std::copy(ip.begin(), ip.end(), f.bytes.begin() + 14);
    f.wireLength = static_cast<uint32_t>(f.bytes.size());
    return f;
}

// Five complete conversations, a one-second flood from one host in between, and frames
// the replay must ignore (another host's traffic, ARP).
std::string WriteTestCapture() {
    CaptureWriter w(kEthernet, 65535);
    int64_t t = 1'700'000'000'000'000;
    for (int c = 0; c < kClients; ++c) {
        const uint32_t client = Ipv4("198.51.100.1") + c;
        const uint16_t port = static_cast<uint16_t>(40000 + c);
        const uint32_t cs = 1000, ss = 5000;
        auto in = [&](uint8_t flags, uint32_t seq, uint32_t ack, std::string_view payload = {}) {
            w.Add(EthernetFrame(t += 1000, PacketBuilder::Tcp(client, port, kServer, 80)
                                               .Flags(flags)
                                               .Seq(seq)
                                               .AckNumber(ack)
                                               .Payload(payload)
                                               .Build()));
        };
        auto outbound = [&](uint8_t flags, uint32_t seq, uint32_t ack) {
            w.Add(EthernetFrame(t += 1000, PacketBuilder::Tcp(kServer, 80, client, port)
                                               .Flags(flags)
                                               .Seq(seq)
                                               .AckNumber(ack)
                                               .Build()));
        };
        in(0x02, cs, 0);
        outbound(0x12, ss, cs + 1);
        in(0x10, cs + 1, ss + 1);
        in(0x18, cs + 1, ss + 1, "GET / HTTP/1.1\r\n\r\n");
        in(0x11, cs + 19, ss + 1);
        outbound(0x11, ss + 1, cs + 20);
        in(0x10, cs + 20, ss + 2);
    }
    for (int i = 0; i < kFloodPackets; ++i) {
        w.Add(EthernetFrame(
            t += 100, PacketBuilder::Tcp(kFlooder, static_cast<uint16_t>(1024 + i), kServer, 80)
                          .Psh()
                          .Ack()
                          .Seq(static_cast<uint32_t>(i))
                          .PayloadSize(64, 'x')
                          .Build()));
    }
    w.Add(EthernetFrame(
        t += 1000,
        PacketBuilder::Udp(Ipv4("198.51.100.7"), 53, Ipv4("198.51.100.8"), 5353).Build()));
    w.Add(EthernetFrame(t += 1000, std::vector<uint8_t>(28, 0), 0x0806));
    const std::string path = ::testing::TempDir() + "replay_input.pcap";
    std::string error;
    EXPECT_TRUE(w.WriteTo(path, &error)) << error;
    return path;
}

size_t CountFrames(const std::string& path) {
    std::string error;
    auto reader = CaptureReader::Open(path, &error);
    EXPECT_TRUE(reader) << error;
    if (!reader) return 0;
    size_t n = 0;
    while (reader->Next())
        ++n;
    EXPECT_EQ(reader->Error(), "");
    return n;
}

TEST(ReplayTest, LegitimateConversationsPassAndTheFloodIsDroppedAndBlocked) {
    ReplayOptions options;
    options.capturePath = WriteTestCapture();
    options.servers = {kServer};
    const std::string dir = ::testing::TempDir();
    options.reportPath = dir + "replay_report.json";
    options.passedPath = dir + "replay_passed.pcap";
    options.droppedPath = dir + "replay_dropped.pcap";

    std::ostringstream out, err;
    ReplayReport report;
    ASSERT_EQ(RunReplay(options, ShippedConfig(), &CreatePacketProcessor, &DestroyPacketProcessor,
                        out, err, &report),
              0)
        << err.str();
    constexpr uint64_t kLegitInbound = kClients * 5;
    EXPECT_EQ(report.frames, kClients * 7 + kFloodPackets + 2u);
    EXPECT_EQ(report.ignored, 2u);
    EXPECT_EQ(report.outbound, kClients * 2u);
    EXPECT_EQ(report.inbound, kLegitInbound + kFloodPackets);
    EXPECT_EQ(report.passed + report.dropped, report.inbound);
    // Every legitimate packet passes; of the flood, only what precedes the rate limit.
    EXPECT_GE(report.passed, kLegitInbound);
    EXPECT_LE(report.passed, kLegitInbound + kFloodPackets / 5) << out.str();
    ASSERT_FALSE(report.topSources.empty());
    EXPECT_EQ(report.topSources.front().first, kFlooder);
    EXPECT_EQ(report.topSources.front().second, report.dropped) << "only the flooder lost packets";
    EXPECT_EQ(report.blockedSources, std::vector<uint32_t>{kFlooder});
    EXPECT_GT(report.droppedFromBlockedSources, 0u);
    EXPECT_GT(report.reasons["Packets per source"], 0u);
    EXPECT_EQ(report.queueLoss, 0u);

    // The captures hold exactly the passed (with the server's own) and the dropped frames.
    EXPECT_EQ(CountFrames(options.passedPath), report.passed + report.outbound);
    EXPECT_EQ(CountFrames(options.droppedPath), report.dropped);
    std::ifstream in(options.reportPath);
    nlohmann::json json = nlohmann::json::parse(in, nullptr, false);
    ASSERT_FALSE(json.is_discarded());
    EXPECT_EQ(json["verdicts"]["passed"], report.passed);
    EXPECT_EQ(json["verdicts"]["dropped"], report.dropped);
    EXPECT_EQ(json["blockedSources"][0], "192.0.2.66");
    EXPECT_EQ(json["topSourcesByDrops"][0]["address"], "192.0.2.66");
    EXPECT_EQ(json["logLines"].size(), report.logLines.size());
    for (const char* p :
         {"replay_input.pcap", "replay_report.json", "replay_passed.pcap", "replay_dropped.pcap"}) {
        std::remove((dir + p).c_str());
    }
}

TEST(ReplayTest, UnreadableInputsFailWithExitTwoAndAClearMessage) {
    const std::string dir = ::testing::TempDir();
    const std::string garbage = dir + "replay_garbage.pcap";
    const std::string truncated = dir + "replay_truncated.pcap";
    const std::string wireless = dir + "replay_80211.pcap";
    {
        std::ofstream(garbage) << "this is not a capture at all, just some text\n";
        CaptureWriter w(kEthernet, 65535);
        w.Add(EthernetFrame(1, PacketBuilder::Udp(1, 2, kServer, 4).PayloadSize(100).Build()));
        std::string error;
        ASSERT_TRUE(w.WriteTo(truncated, &error)) << error;
        std::filesystem::resize_file(truncated, std::filesystem::file_size(truncated) - 30);
        CaptureWriter radio(105, 65535);  // IEEE 802.11
        ASSERT_TRUE(radio.WriteTo(wireless, &error)) << error;
    }
    const std::pair<std::string, std::string> cases[] = {
        {dir + "replay_missing.pcap", "cannot read " + dir + "replay_missing.pcap"},
        {garbage, "cannot read " + garbage},
        {truncated, "cannot read " + truncated},
        {wireless, "link type 105"},
    };
    for (const auto& [path, message] : cases) {
        ReplayOptions options;
        options.capturePath = path;
        std::ostringstream out, err;
        EXPECT_EQ(RunReplay(options, ShippedConfig(), &CreatePacketProcessor,
                            &DestroyPacketProcessor, out, err),
                  2)
            << path;
        EXPECT_NE(err.str().find(message), std::string::npos) << err.str();
        EXPECT_EQ(err.str().rfind("bastion replay: ", 0), 0u) << err.str();
    }
    ReplayOptions slow;
    slow.capturePath = truncated;
    slow.speed = 0;
    std::ostringstream out, err;
    EXPECT_EQ(
        RunReplay(slow, ShippedConfig(), &CreatePacketProcessor, &DestroyPacketProcessor, out, err),
        2);
    EXPECT_NE(err.str().find("--speed must be above 0"), std::string::npos);
    for (const std::string& p : {garbage, truncated, wireless})
        std::remove(p.c_str());
}

}  // namespace
}  // namespace bastion::tools
