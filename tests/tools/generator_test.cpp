// The traffic generator: every class yields well-formed packets of the intended shape,
// the legitimate clients complete whole conversations with the simulated stack, and the
// generator's books match what the world delivered.
#include <gtest/gtest.h>

#include <set>

#include "divert/sim/PacketBuilder.h"
#include "tools/ObservedWorld.h"
#include "tools/TrafficGenerator.h"

namespace bastion::tools {
namespace {

using divert::sim::CheckChecksums;
using divert::sim::Ipv4;

uint16_t Load16(const Packet& p, size_t at) {
    return static_cast<uint16_t>((p[at] << 8) | p[at + 1]);
}
uint32_t Load32(const Packet& p, size_t at) {
    return (uint32_t{Load16(p, at)} << 16) | Load16(p, at + 2);
}

// Lengths, header fields and the checksums of the packet's own protocol.
void ExpectWellFormed(const Packet& p, const std::string& what) {
    ASSERT_GE(p.size(), 28u) << what;
    EXPECT_EQ(p[0], 0x45) << what;
    EXPECT_EQ(Load16(p, 2), p.size()) << what << ": IPv4 total length";
    EXPECT_EQ(Load16(p, 6) & 0x3FFF, 0) << what << ": not a fragment";
    EXPECT_GT(p[8], 0) << what << ": TTL";
    const auto check = CheckChecksums(p.data(), p.size());
    EXPECT_TRUE(check.ip) << what;
    switch (p[9]) {
        case 6: {
            const size_t offset = size_t{p[32]} >> 4;
            EXPECT_GE(offset, 5u) << what;
            EXPECT_LE(20 + offset * 4, p.size()) << what << ": TCP header within the packet";
            EXPECT_TRUE(check.tcp) << what;
            break;
        }
        case 17:
            EXPECT_EQ(Load16(p, 24), p.size() - 20) << what << ": UDP length";
            EXPECT_TRUE(check.udp) << what;
            break;
        case 1:
            EXPECT_TRUE(check.icmp) << what;
            break;
        default:
            ADD_FAILURE() << what << ": protocol " << int{p[9]};
    }
}

TEST(PacketFactoryTest, EveryClassBuildsWellFormedTaggedPacketsToTheServer) {
    GeneratorOptions options;
    PacketFactory factory(options, 7);
    const uint32_t server = Ipv4("203.0.113.10");
    for (TrafficClass c : kAllTrafficClasses) {
        for (int i = 0; i < 300; ++i) {
            const Packet p = factory.Make(c);
            const std::string what = std::string(ClassName(c)) + " #" + std::to_string(i);
            ExpectWellFormed(p, what);
            EXPECT_EQ(ClassOfPacket(p.data(), p.size()), c) << what;
            EXPECT_EQ(Load32(p, 16), server) << what;
        }
    }
}

TEST(PacketFactoryTest, ClassesHaveTheirIntendedShape) {
    PacketFactory factory(GeneratorOptions{}, 11);
    std::set<uint32_t> singleSources, fewSources, spoofedSources;
    std::set<uint16_t> amplifierPorts;
    std::set<uint8_t> badFlags;
    for (int i = 0; i < 500; ++i) {
        Packet syn = factory.Make(TrafficClass::SynFloodSpoofed);
        EXPECT_EQ(syn[33], divert::sim::tcp::kSyn);
        spoofedSources.insert(Load32(syn, 12));

        Packet ack = factory.Make(TrafficClass::AckFlood);
        EXPECT_EQ(ack[33], divert::sim::tcp::kAck);

        Packet single = factory.Make(TrafficClass::TcpFloodSingle);
        singleSources.insert(Load32(single, 12));
        EXPECT_GT(single.size(), 40u) << "the single-source flood carries payload";

        fewSources.insert(Load32(factory.Make(TrafficClass::SynFloodFew), 12));

        Packet amp = factory.Make(TrafficClass::UdpAmplification);
        amplifierPorts.insert(Load16(amp, 20));
        EXPECT_GE(amp.size(), 300u) << "reflected replies are large";

        Packet bad = factory.Make(TrafficClass::MalformedTcp);
        badFlags.insert(bad[33]);
        Packet echo = factory.Make(TrafficClass::IcmpFlood);
        EXPECT_EQ(echo[20], 8) << "echo request";
    }
    EXPECT_EQ(singleSources.size(), 1u);
    EXPECT_EQ(fewSources.size(), 5u);
    EXPECT_GT(spoofedSources.size(), 490u);
    for (uint32_t a : spoofedSources) {
        EXPECT_FALSE(LegitTcpClients::IsClientAddress(a));
        EXPECT_NE(a >> 24, 127u);
        EXPECT_LT(a >> 24, 224u);
        EXPECT_NE(a >> 8, Ipv4("203.0.113.0") >> 8) << "never the server's own network";
    }
    EXPECT_EQ(amplifierPorts, (std::set<uint16_t>{53, 123, 1900, 11211}));
    for (uint8_t f : badFlags) {
        const bool synFin = (f & 0x03) == 0x03, synRst = (f & 0x06) == 0x06;
        const bool finNoAck = (f & 0x01) && !(f & 0x10);
        EXPECT_TRUE(f == 0 || synFin || synRst || finNoAck) << "flags " << int{f};
    }
    EXPECT_GE(badFlags.size(), 5u);
}

class ClientsTest : public ::testing::Test {
  protected:
    void SetUp() override {
        world_ = ObservedWorld::Install();
        world_->Sim().Stack().Listen(80);
        world_->Sim().Stack().Listen(443);
        world_->SetObserver(&generator_);
    }
    void TearDown() override {
        world_->SetObserver(nullptr);
        world_->Uninstall();
    }

    std::shared_ptr<ObservedWorld> world_;
    TrafficGenerator generator_{GeneratorOptions{}};
};

// Without any diversion handle, the stack answers every client: each conversation runs
// from SYN to the final ACK and leaves nothing open on either side.
TEST_F(ClientsTest, ConversationsRunToAnOrderlyCloseWithTheStack) {
    LegitTcpClients clients(Ipv4("203.0.113.10"), {80, 443}, 3);
    struct Relay : ObservedWorld::Observer {
        LegitTcpClients* clients;
        std::vector<Packet> seen;
        void OnDelivered(const divert::PacketRef* p, size_t n) override {
            for (size_t i = 0; i < n; ++i) {
                if (p[i].meta.outbound) {
                    clients->OnServerPacket(p[i].data, p[i].length);
                } else {
                    seen.emplace_back(p[i].data, p[i].data + p[i].length);
                }
            }
        }
    } relay;
    relay.clients = &clients;
    world_->SetObserver(&relay);

    std::vector<Packet> out;
    for (int i = 0; i < 20; ++i)
        clients.Open(0.0, out);
    double now = 0;
    size_t established = 0;
    while (now < 4.0) {
        generator_.Inject(out);
        clients.Poll(now, out);
        now += 0.05;
        if (now > 0.1 && established == 0) {
            for (const auto& row : world_->Sim().Stack().TcpTable())
                established += row.state == platform::TcpState::Established ? 1 : 0;
            EXPECT_EQ(established, 20u) << "every handshake completes";
        }
    }
    const auto stats = clients.GetStats();
    EXPECT_EQ(stats.opened, 20u);
    EXPECT_EQ(stats.established, 20u);
    EXPECT_EQ(stats.closed, 20u);
    EXPECT_EQ(stats.failed, 0u);
    EXPECT_EQ(clients.OpenConnections(), 0u);
    EXPECT_EQ(world_->Sim().Stack().TcpTable().size(), 2u) << "only the listeners remain";
    // SYN, ACK, request, FIN, last ACK per conversation; all well formed, the requests
    // with payload.
    EXPECT_EQ(relay.seen.size(), 100u);
    size_t withPayload = 0;
    for (const Packet& p : relay.seen) {
        ExpectWellFormed(p, "client segment");
        EXPECT_EQ(ClassOfPacket(p.data(), p.size()), TrafficClass::LegitTcp);
        withPayload += p.size() > 20 + (size_t{p[32]} >> 4) * 4 ? 1 : 0;
    }
    EXPECT_EQ(withPayload, 20u);
}

TEST_F(ClientsTest, ConnectionsTheStackNeverAnswersFailAfterTheTimeout) {
    world_->Sim().Stack().StopListening(80);
    world_->Sim().Stack().StopListening(443);
    LegitTcpClients clients(Ipv4("203.0.113.10"), {80}, 3);
    std::vector<Packet> out;
    clients.Open(0.0, out);
    clients.Open(0.0, out);
    generator_.Inject(out);
    clients.Poll(LegitTcpClients::kTimeoutSeconds - 0.1, out);
    EXPECT_EQ(clients.GetStats().failed, 0u);
    clients.Poll(LegitTcpClients::kTimeoutSeconds + 0.1, out);
    EXPECT_EQ(clients.GetStats().failed, 2u);
    EXPECT_EQ(clients.OpenConnections(), 0u);
    EXPECT_TRUE(out.empty());
}

// A short run of every class on two threads, with nothing diverting: the world delivers
// every offered packet, and the books agree class by class.
TEST_F(ClientsTest, GeneratorBooksMatchTheWorldsDeliveries) {
    Scenario s;
    s.seconds = 0.4;
    for (TrafficClass c : kAllTrafficClasses)
        s.phases.push_back({c, 0, 0.4, c == TrafficClass::LegitTcp ? 500.0 : 2000.0});
    GeneratorOptions options;
    options.threads = 2;
    options.holdSeconds = 0.1;
    TrafficGenerator generator(options);
    world_->SetObserver(&generator);
    generator.Start(s);
    generator.Join();
    world_->SetObserver(nullptr);
    uint64_t total = 0;
    for (TrafficClass c : kAllTrafficClasses) {
        EXPECT_GT(generator.Offered(c), 0u) << ClassName(c);
        EXPECT_EQ(generator.Delivered(c), generator.Offered(c)) << ClassName(c);
        total += generator.Offered(c);
    }
    EXPECT_EQ(world_->Sim().DeliveredCount(), total);
    const auto stats = generator.Clients().GetStats();
    EXPECT_GT(stats.opened, 0u);
    EXPECT_EQ(stats.closed, stats.opened) << "every conversation ends with the stack's FIN";
}

}  // namespace
}  // namespace bastion::tools
