// The simulated world: the packet builder against independently computed packets, the
// local stack's handshakes and flow events, and the operating system's tables.
#include <gtest/gtest.h>

#include "SimFixture.h"
#include "platform/SystemTables.h"

namespace divert::simtest {
namespace {

std::vector<uint8_t> FromHex(const std::string& hex) {
    std::vector<uint8_t> bytes;
    for (size_t i = 0; i + 1 < hex.size(); i += 2) {
        bytes.push_back(static_cast<uint8_t>(std::stoi(hex.substr(i, 2), nullptr, 16)));
    }
    return bytes;
}

// Expected bytes were computed with a separate Python implementation (struct + RFC 1071).
TEST(PacketBuilderTest, BuildsPacketsByteForByte) {
    struct Case {
        const char* name;
        std::vector<uint8_t> built;
        const char* hex;
    };
    const Case cases[] = {
        {"TCP SYN with MSS and window scale",
         PacketBuilder::Tcp(Ipv4("198.51.100.7"), 40000, Ipv4("203.0.113.10"), 80)
             .Syn()
             .Seq(1000)
             .Window(64240)
             .Mss(1460)
             .WindowScale(7)
             .DontFragment()
             .Build(),
         "45000030123440004006c24ec6336407cb00710a9c400050000003e8000000007002faf07c700000020405b40"
         "3030700"},
        {"UDP datagram",
         PacketBuilder::Udp(Ipv4("203.0.113.10"), 50000, Ipv4("198.51.100.7"), 53)
             .Payload("hello")
             .Build(),
         "450000211234000040110253cb00710ac6336407c3500035000d923668656c6c6f"},
        {"ICMP echo",
         PacketBuilder::Icmp(Ipv4("198.51.100.7"), Ipv4("203.0.113.10"), 8)
             .IcmpBody(0x00070001)
             .Payload("ping")
             .Build(),
         "450000201234000040010264c6336407cb00710a080019270007000170696e67"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(c.built, FromHex(c.hex));
        sim::ChecksumCheck check = sim::CheckChecksums(c.built.data(), c.built.size());
        EXPECT_TRUE(check.ip);
        EXPECT_TRUE(check.tcp || check.udp || check.icmp);
    }
    // The textbook header (checksum 0xB861).
    auto p = PacketBuilder::Udp(Ipv4("192.168.0.1"), 1, Ipv4("192.168.0.199"), 2)
                 .Id(0)
                 .DontFragment()
                 .Ttl(64)
                 .PayloadSize(87)
                 .Build();
    EXPECT_EQ(p[10], 0xB8);
    EXPECT_EQ(p[11], 0x61);
}

TEST(PacketBuilderTest, DeliberateFaults) {
    auto base = [] {
        return PacketBuilder::Tcp(Ipv4("10.0.0.1"), 1, Ipv4("10.0.0.2"), 2).Payload("data");
    };
    auto badIp = base().BadIpChecksum().Build();
    auto check = sim::CheckChecksums(badIp.data(), badIp.size());
    EXPECT_FALSE(check.ip);
    EXPECT_TRUE(check.tcp);
    auto badTcp = base().BadTransportChecksum().Build();
    check = sim::CheckChecksums(badTcp.data(), badTcp.size());
    EXPECT_TRUE(check.ip);
    EXPECT_FALSE(check.tcp);

    auto lying = base().TotalLength(100).Build();
    EXPECT_EQ(lying.size(), 44u);
    EXPECT_EQ(lying[3], 100);
    EXPECT_FALSE(
        sim::CheckChecksums(lying.data(), lying.size()).tcp);  // header claims missing bytes

    auto options = base().HeaderLength(7).Build();
    EXPECT_EQ(options.size(), 28u + 20 + 4);
    EXPECT_EQ(options[0], 0x47);
    EXPECT_TRUE(sim::CheckChecksums(options.data(), options.size()).tcp);

    EXPECT_EQ(base().DataOffset(15).Build()[32], 0xF0);
    EXPECT_EQ(base().TruncateTo(30).Build().size(), 30u);
    EXPECT_EQ(base().Trailer(6).Build().size(), 50u);

    // A later fragment carries no transport header, only data.
    auto later = PacketBuilder::Udp(Ipv4("10.0.0.1"), 1, Ipv4("10.0.0.2"), 2)
                     .FragmentOffset(3)
                     .PayloadSize(8)
                     .Build();
    EXPECT_EQ(later.size(), 28u);
    EXPECT_EQ(later[6], 0x00);
    EXPECT_EQ(later[7], 0x03);
    auto first =
        PacketBuilder::Udp(Ipv4("10.0.0.1"), 1, Ipv4("10.0.0.2"), 2).MoreFragments().Build();
    EXPECT_EQ(first[6], 0x20);
}

// ---- The local stack ---------------------------------------------------------------------

class StackTest : public SimFixture {
  protected:
    static constexpr UINT64 kSniffFlags = WINDIVERT_FLAG_SNIFF | WINDIVERT_FLAG_RECV_ONLY;

    HANDLE OpenFlow(const char* filter = "true") {
        return Open(filter, 0, kSniffFlags, WINDIVERT_LAYER_FLOW);
    }
    static WINDIVERT_ADDRESS NextEvent(HANDLE flow) {
        WINDIVERT_ADDRESS a{};
        UINT len = 77;
        OVERLAPPED ov{};
        if (!WinDivertRecvEx(flow, nullptr, 0, &len, 0, &a, nullptr, &ov)) {
            CancelIoEx(flow, &ov);
            return WINDIVERT_ADDRESS{};
        }
        EXPECT_EQ(len, 0u);
        return a;
    }
    static uint8_t FlagsOf(const std::vector<uint8_t>& p) { return p[33]; }
    static uint32_t Seq(const std::vector<uint8_t>& p) {
        return (uint32_t{p[24]} << 24) | (uint32_t{p[25]} << 16) | (uint32_t{p[26]} << 8) | p[27];
    }
    static uint32_t AckOf(const std::vector<uint8_t>& p) {
        return (uint32_t{p[28]} << 24) | (uint32_t{p[29]} << 16) | (uint32_t{p[30]} << 8) | p[31];
    }
    std::vector<uint8_t> FromClient(uint8_t flags, uint32_t seq, uint32_t ack, size_t payload = 0) {
        return PacketBuilder::Tcp(kClient, 40000, kServer, 80)
            .Flags(flags)
            .Seq(seq)
            .AckNumber(ack)
            .PayloadSize(payload)
            .Build();
    }
};

TEST_F(StackTest, InboundHandshakeRaisesEstablishedAndFinDeletes) {
    HANDLE flow = OpenFlow();
    HANDLE sniff = Open("outbound", 100, kSniffFlags);
    sim_->Stack().Listen(80);

    sim_->InjectInbound(FromClient(sim::tcp::kSyn, 1000, 0));
    auto wire = sim_->TakeWire();
    ASSERT_EQ(wire.size(), 1u);
    const auto& synAck = wire[0].bytes;
    EXPECT_EQ(FlagsOf(synAck), sim::tcp::kSyn | sim::tcp::kAck);
    EXPECT_EQ(AckOf(synAck), 1001u);
    EXPECT_TRUE(sim::CheckChecksums(synAck.data(), synAck.size()).tcp);
    EXPECT_TRUE(wire[0].meta.outbound);
    Received seen = ReceiveNow(sniff);  // the answer went out through dispatch
    ASSERT_TRUE(seen.ok);
    EXPECT_EQ(seen.packet, synAck);
    EXPECT_EQ(NextEvent(flow).Timestamp, 0);  // no flow before the handshake completes

    const sim::ConnectionKey key{kServer, 80, kClient, 40000};
    EXPECT_EQ(sim_->Stack().StateOf(key), platform::TcpState::SynReceived);
    sim_->InjectInbound(FromClient(sim::tcp::kAck, 1001, Seq(synAck) + 1));
    EXPECT_EQ(sim_->Stack().StateOf(key), platform::TcpState::Established);
    WINDIVERT_ADDRESS e = NextEvent(flow);
    EXPECT_EQ(e.Layer, static_cast<UINT32>(WINDIVERT_LAYER_FLOW));
    EXPECT_EQ(e.Event, static_cast<UINT32>(WINDIVERT_EVENT_FLOW_ESTABLISHED));
    EXPECT_EQ(e.Sniffed, 1u);
    EXPECT_EQ(e.Outbound, 0u);
    EXPECT_EQ(e.IPv6, 0u);
    EXPECT_EQ(e.Flow.LocalAddr[0], kServer);
    EXPECT_EQ(e.Flow.LocalAddr[1], 0x0000FFFFu);
    EXPECT_EQ(e.Flow.RemoteAddr[0], kClient);
    EXPECT_EQ(e.Flow.LocalPort, 80);
    EXPECT_EQ(e.Flow.RemotePort, 40000);
    EXPECT_EQ(e.Flow.Protocol, 6);
    EXPECT_EQ(e.Flow.ProcessId, 4242u);

    sim_->InjectInbound(FromClient(sim::tcp::kFin | sim::tcp::kAck, 1001, Seq(synAck) + 1, 5));
    wire = sim_->TakeWire();
    ASSERT_EQ(wire.size(), 1u);
    EXPECT_EQ(FlagsOf(wire[0].bytes), sim::tcp::kFin | sim::tcp::kAck);
    EXPECT_EQ(AckOf(wire[0].bytes), 1001u + 5 + 1);
    WINDIVERT_ADDRESS d = NextEvent(flow);
    EXPECT_EQ(d.Event, static_cast<UINT32>(WINDIVERT_EVENT_FLOW_DELETED));
    EXPECT_EQ(d.Flow.EndpointId, e.Flow.EndpointId);
    EXPECT_EQ(sim_->Stack().StateOf(key), platform::TcpState::Closed);
}

TEST_F(StackTest, HandshakeThroughADivertingHandle) {
    // The engine's shape: a handle diverts inbound port 80, the application re-injects.
    HANDLE h = Open("inbound and tcp.DstPort == 80", 10);
    HANDLE flow = OpenFlow();
    sim_->Stack().Listen(80);
    auto relay = [&] {
        Received r = ReceiveNow(h);
        ASSERT_TRUE(r.ok);
        ASSERT_TRUE(WinDivertSend(h, r.packet.data(), static_cast<UINT>(r.packet.size()), nullptr,
                                  &r.address));
    };
    sim_->InjectInbound(FromClient(sim::tcp::kSyn, 1, 0));
    EXPECT_TRUE(sim_->TakeWire().empty());  // held by the handle
    relay();
    auto wire = sim_->TakeWire();
    ASSERT_EQ(wire.size(), 1u);
    sim_->InjectInbound(FromClient(sim::tcp::kAck, 2, Seq(wire[0].bytes) + 1));
    EXPECT_EQ(NextEvent(flow).Timestamp, 0);
    relay();
    EXPECT_EQ(NextEvent(flow).Event, static_cast<UINT32>(WINDIVERT_EVENT_FLOW_ESTABLISHED));
}

TEST_F(StackTest, RstEndsAConnectionAndAnUnknownAckIsIgnored) {
    HANDLE flow = OpenFlow();
    sim_->Stack().Listen(80);
    sim_->InjectInbound(FromClient(sim::tcp::kAck, 5, 5));  // no connection: nothing happens
    EXPECT_TRUE(sim_->TakeWire().empty());
    sim_->InjectInbound(FromClient(sim::tcp::kSyn, 1, 0));
    auto synAck = sim_->TakeWire().at(0).bytes;
    sim_->InjectInbound(FromClient(sim::tcp::kAck, 2, Seq(synAck)));  // wrong ack: stays half-open
    EXPECT_EQ(NextEvent(flow).Timestamp, 0);
    sim_->InjectInbound(FromClient(sim::tcp::kAck, 2, Seq(synAck) + 1));
    EXPECT_EQ(NextEvent(flow).Event, static_cast<UINT32>(WINDIVERT_EVENT_FLOW_ESTABLISHED));
    sim_->InjectInbound(FromClient(sim::tcp::kRst, 2, 0));
    EXPECT_EQ(NextEvent(flow).Event, static_cast<UINT32>(WINDIVERT_EVENT_FLOW_DELETED));
    EXPECT_TRUE(sim_->TakeWire().empty());  // an RST is not answered
}

TEST_F(StackTest, SynBacklogAndClosedPorts) {
    sim::SimConfig config;
    config.stack.synBacklog = 2;
    config.stack.resetClosedPorts = true;
    sim_->Uninstall();
    sim_ = sim::SimWorld::Install(config);
    sim_->Stack().Listen(80);
    for (uint16_t port = 1; port <= 3; ++port) {
        sim_->InjectInbound(PacketBuilder::Tcp(kClient, port, kServer, 80).Syn().Build());
    }
    EXPECT_EQ(sim_->TakeWire().size(), 2u);
    EXPECT_EQ(sim_->Stack().BacklogDrops(), 1u);
    sim_->InjectInbound(PacketBuilder::Tcp(kClient, 9, kServer, 81).Syn().Seq(7).Build());
    auto wire = sim_->TakeWire();
    ASSERT_EQ(wire.size(), 1u);
    EXPECT_EQ(FlagsOf(wire[0].bytes), sim::tcp::kRst | sim::tcp::kAck);
    EXPECT_EQ(AckOf(wire[0].bytes), 8u);
}

TEST_F(StackTest, OutboundConnectionAndUdpFlows) {
    HANDLE flow = OpenFlow();
    const uint32_t peer = Ipv4("192.0.2.80");
    sim::ConnectionKey key = sim_->Stack().Connect(peer, 443);
    EXPECT_EQ(key.localAddr, kServer);
    EXPECT_GE(key.localPort, 49152);
    auto wire = sim_->TakeWire();
    ASSERT_EQ(wire.size(), 1u);
    EXPECT_EQ(FlagsOf(wire[0].bytes), sim::tcp::kSyn);
    EXPECT_EQ(sim_->Stack().StateOf(key), platform::TcpState::SynSent);

    sim_->InjectInbound(PacketBuilder::Tcp(peer, 443, kServer, key.localPort)
                            .Syn()
                            .Ack()
                            .Seq(5000)
                            .AckNumber(Seq(wire[0].bytes) + 1)
                            .Build());
    wire = sim_->TakeWire();
    ASSERT_EQ(wire.size(), 1u);
    EXPECT_EQ(FlagsOf(wire[0].bytes), sim::tcp::kAck);
    EXPECT_EQ(AckOf(wire[0].bytes), 5001u);
    WINDIVERT_ADDRESS e = NextEvent(flow);
    EXPECT_EQ(e.Event, static_cast<UINT32>(WINDIVERT_EVENT_FLOW_ESTABLISHED));
    EXPECT_EQ(e.Outbound, 1u);
    EXPECT_EQ(e.Flow.RemotePort, 443);

    EXPECT_TRUE(sim_->Stack().Close(key));
    EXPECT_EQ(FlagsOf(sim_->TakeWire().at(0).bytes), sim::tcp::kFin | sim::tcp::kAck);
    EXPECT_EQ(NextEvent(flow).Event, static_cast<UINT32>(WINDIVERT_EVENT_FLOW_DELETED));
    EXPECT_FALSE(sim_->Stack().Close(key));

    // UDP: one ESTABLISHED per 5-tuple, DELETED when the flows time out.
    sim_->Stack().SendUdp(5353, peer, 53, "q1");
    sim_->Stack().SendUdp(5353, peer, 53, "q2");
    EXPECT_EQ(sim_->TakeWire().size(), 2u);
    WINDIVERT_ADDRESS u = NextEvent(flow);
    EXPECT_EQ(u.Flow.Protocol, 17);
    EXPECT_EQ(u.Outbound, 1u);
    EXPECT_EQ(NextEvent(flow).Timestamp, 0);
    sim_->Stack().ExpireUdpFlows();
    EXPECT_EQ(NextEvent(flow).Event, static_cast<UINT32>(WINDIVERT_EVENT_FLOW_DELETED));
}

TEST_F(StackTest, TcpTableListsListenersAndConnections) {
    sim_->Stack().Listen(443);
    sim_->InjectInbound(PacketBuilder::Tcp(kClient, 40000, kServer, 443).Syn().Seq(1).Build());
    sim::ConnectionKey out = sim_->Stack().Connect(Ipv4("192.0.2.1"), 25);
    std::vector<platform::TcpRow> rows = platform::CurrentSystemTables()->TcpTable();
    ASSERT_EQ(rows.size(), 3u);
    EXPECT_EQ(rows[0].state, platform::TcpState::Listen);
    EXPECT_EQ(rows[0].localPort, 443);
    bool sawHalfOpen = false, sawSynSent = false;
    for (const auto& row : rows) {
        sawHalfOpen |= row.state == platform::TcpState::SynReceived && row.remoteAddr == kClient;
        sawSynSent |= row.state == platform::TcpState::SynSent && row.localPort == out.localPort;
    }
    EXPECT_TRUE(sawHalfOpen);
    EXPECT_TRUE(sawSynSent);
}

// ---- Tables --------------------------------------------------------------------------------

TEST_F(StackTest, TablesServeTheSimulatedHostWhileCurrent) {
    auto tables = platform::CurrentSystemTables();
    auto adapters = tables->Adapters();
    ASSERT_EQ(adapters.size(), 2u);
    EXPECT_TRUE(adapters[0].loopback);
    EXPECT_EQ(adapters[1].unicast, std::vector<uint32_t>{kServer});
    EXPECT_EQ(adapters[1].gateways, std::vector<uint32_t>{Ipv4("203.0.113.1")});
    EXPECT_EQ(adapters[1].dnsServers, std::vector<uint32_t>{Ipv4("203.0.113.53")});
    bool defaultRoute = false;
    for (const auto& r : tables->Routes())
        defaultRoute |= r.destination == 0 && r.mask == 0;
    EXPECT_TRUE(defaultRoute);
    EXPECT_EQ(tables->HostName(), "bastion-sim");
    EXPECT_EQ(tables->Resolve("bastion-sim"), std::vector<uint32_t>{kServer});
    EXPECT_EQ(tables->Resolve("192.0.2.9"), std::vector<uint32_t>{Ipv4("192.0.2.9")});
    EXPECT_EQ(tables->Resolve("api.example"), std::nullopt);

    sim_->SetResolution("api.example",
                        std::vector<uint32_t>{Ipv4("192.0.2.10"), Ipv4("192.0.2.11")});
    sim_->SetHostName(std::nullopt);
    EXPECT_EQ(tables->Resolve("api.example")->size(), 2u);
    EXPECT_EQ(tables->HostName(), std::nullopt);

    // A new adapter list moves the stack to the first usable address.
    platform::AdapterInfo down;
    down.name = "eth1";
    down.ifIndex = 3;
    down.up = false;
    down.unicast = {Ipv4("192.0.2.50")};
    platform::AdapterInfo up = down;
    up.name = "eth2";
    up.ifIndex = 4;
    up.up = true;
    up.unicast = {Ipv4("192.0.2.60")};
    sim_->SetAdapters({down, up});
    EXPECT_EQ(sim_->LocalAddress(), Ipv4("192.0.2.60"));

    sim_->Uninstall();
    EXPECT_NE(platform::CurrentSystemTables(), tables);  // the real system again
    sim_ = sim::SimWorld::Install();
}

}  // namespace
}  // namespace divert::simtest
