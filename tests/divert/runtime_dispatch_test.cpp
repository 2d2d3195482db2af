// Dispatch at the network layer: visiting order and re-injection, DROP / SNIFF / divert,
// the sanity rules, fragments and loopback, queue bounds and expiry, and what close does
// with what is still queued.
#include <gtest/gtest.h>

#include "SimFixture.h"
#include "divert/runtime/Ticks.h"
#include "platform/Clock.h"

namespace divert::simtest {
namespace {

using DispatchTest = SimFixture;

// Re-injects a received packet unchanged through `h`.
void Reinject(HANDLE h, const SimFixture::Received& r) {
    UINT sent = 0;
    ASSERT_TRUE(
        WinDivertSend(h, r.packet.data(), static_cast<UINT>(r.packet.size()), &sent, &r.address))
        << GetLastError();
    ASSERT_EQ(sent, r.packet.size());
}

TEST_F(DispatchTest, HandlesSeePacketsInPriorityOrderAndReinjectionGoesOnlyDown) {
    // Visiting order: sniffer (20), newer (10), older (10), low (5).
    HANDLE older = Open("true", 10);
    HANDLE low = Open("true", 5);
    HANDLE newer = Open("true", 10);
    HANDLE sniffer = Open("true", 20, WINDIVERT_FLAG_SNIFF);

    sim_->InjectInbound(InboundTcp(80, 42));
    EXPECT_EQ(DrainTags(sniffer), (std::vector<uint16_t>{42}));  // a copy; the packet went on
    struct Step {
        HANDLE from;
        HANDLE next;  // null: delivered
    };
    const Step chain[] = {{newer, older}, {older, low}, {low, nullptr}};
    Received r = ReceiveNow(newer);
    ASSERT_TRUE(r.ok);
    for (const Step& step : chain) {
        for (HANDLE other : {older, low, newer}) {
            if (other != step.from) {
                EXPECT_FALSE(ReceiveNow(other).ok) << "early capture";
            }
        }
        Reinject(step.from, r);
        if (step.next == nullptr) break;
        r = ReceiveNow(step.next);
        ASSERT_TRUE(r.ok);
        EXPECT_EQ(TagOf(r.packet), 42);
    }
    EXPECT_EQ(DeliveredTags(), (std::vector<uint16_t>{42}));
    // Re-injected packets never reached the higher sniffer again.
    EXPECT_TRUE(DrainTags(sniffer).empty());
}

TEST_F(DispatchTest, ReinjectionIsNotSeenByTheSameOrHigherHandle) {
    HANDLE high = Open("true", 100);
    HANDLE h = Open("true", 0);
    sim_->InjectInbound(InboundTcp(80, 5));
    Received r = ReceiveNow(high);
    ASSERT_TRUE(r.ok);
    Reinject(high, r);
    r = ReceiveNow(h);
    ASSERT_TRUE(r.ok);
    Reinject(h, r);  // the same handle and the higher one ignore it
    EXPECT_FALSE(ReceiveNow(h).ok);
    EXPECT_FALSE(ReceiveNow(high).ok);
    EXPECT_EQ(DeliveredTags(), (std::vector<uint16_t>{5}));
}

TEST_F(DispatchTest, DropSniffAndDivert) {
    struct Case {
        const char* name;
        UINT64 upperFlags;  // the higher handle's mode; the lower one diverts everything
        bool upperQueues, lowerQueues, dropped;
    };
    const Case cases[] = {
        {"divert stops the packet", 0, true, false, false},
        {"sniff queues a copy and the packet goes on", WINDIVERT_FLAG_SNIFF, true, true, false},
        {"drop discards it", WINDIVERT_FLAG_DROP, false, false, true},
        {"recv-only divert still stops it", WINDIVERT_FLAG_RECV_ONLY, true, false, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        HANDLE upper = WinDivertOpen("tcp", WINDIVERT_LAYER_NETWORK, 50, c.upperFlags);
        HANDLE lower = WinDivertOpen("true", WINDIVERT_LAYER_NETWORK, 0, 0);
        ASSERT_NE(upper, INVALID_HANDLE_VALUE);
        ASSERT_NE(lower, INVALID_HANDLE_VALUE);
        sim_->InjectInbound(InboundTcp(80, 9));
        EXPECT_EQ(!DrainTags(upper).empty(), c.upperQueues);
        EXPECT_EQ(!DrainTags(lower).empty(), c.lowerQueues);
        EXPECT_EQ(sim_->DroppedBy(upper), c.dropped ? 1u : 0u);
        EXPECT_EQ(sim_->CountersOf(upper).dropped, c.dropped ? 1u : 0u);
        EXPECT_TRUE(DeliveredTags().empty());
        WinDivertClose(upper);
        WinDivertClose(lower);
    }
    // A packet no filter matches is delivered.
    HANDLE udpOnly = Open("udp");
    sim_->InjectInbound(InboundTcp(80, 11));
    EXPECT_TRUE(DrainTags(udpOnly).empty());
    EXPECT_EQ(DeliveredTags(), (std::vector<uint16_t>{11}));
}

TEST_F(DispatchTest, PacketsFailingTheSanityRulesMatchNothing) {
    struct Case {
        const char* name;
        std::vector<uint8_t> packet;
        bool matches;
    };
    auto base = [] { return PacketBuilder::Tcp(kClient, 1, kServer, 80).Ack(); };
    std::vector<uint8_t> ipv6(60, 0);
    ipv6[0] = 0x60;
    ipv6[5] = 20;  // payload length 20 + 40
    ipv6[6] = 59;  // no next header
    std::vector<uint8_t> ipv6Long = ipv6;
    ipv6Long.push_back(0);
    const Case cases[] = {
        {"well-formed", base().Build(), true},
        {"length field larger than the packet", base().TruncateTo(30).Build(), false},
        {"bytes beyond the length field", base().Trailer(6).Build(), false},
        {"header length 4", base().HeaderLength(4).Build(), false},
        {"header length beyond the packet",
         base().HeaderLength(15).TruncateTo(40).TotalLength(40).Build(), false},
        {"header with options", base().HeaderLength(6).Build(), true},
        {"19 bytes", std::vector<uint8_t>(19, 0x45), false},
        {"version 5",
         [&] {
             auto p = base().Build();
             p[0] = 0x55;
             return p;
         }(),
         false},
        {"IPv6 well-formed", ipv6, true},
        {"IPv6 length mismatch", ipv6Long, false},
    };
    HANDLE h = Open("true");
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        sim_->InjectInbound(c.packet);
        Received r = ReceiveNow(h);
        EXPECT_EQ(r.ok, c.matches);
        EXPECT_EQ(sim_->TakeDelivered().size(), c.matches ? 0u : 1u);
        if (r.ok) {
            EXPECT_EQ(r.packet, c.packet);
        }
    }
}

TEST_F(DispatchTest, FragmentsAndLoopback) {
    HANDLE plain = Open("true", 10);
    HANDLE fragments = Open("true", 0, WINDIVERT_FLAG_FRAGMENTS);
    auto fragment =
        PacketBuilder::Udp(kClient, 1, kServer, 53).Id(77).MoreFragments().PayloadSize(16).Build();

    // Inbound fragments pass a handle without FRAGMENTS and reach the one with it.
    sim_->InjectInbound(fragment);
    EXPECT_TRUE(DrainTags(plain).empty());
    EXPECT_EQ(DrainTags(fragments), (std::vector<uint16_t>{77}));
    // Outbound fragments are seen by every handle.
    sim_->InjectOutbound(fragment);
    EXPECT_EQ(DrainTags(plain), (std::vector<uint16_t>{77}));

    // Loopback traffic is seen only on its outbound pass.
    sim::InjectOptions loopback;
    loopback.loopback = true;
    loopback.ifIdx = sim::kLoopbackIfIdx;
    sim_->InjectInbound(InboundTcp(80, 3), loopback);
    EXPECT_TRUE(DrainTags(plain).empty());
    EXPECT_EQ(DeliveredTags(), (std::vector<uint16_t>{3}));
    sim_->InjectOutbound(InboundTcp(80, 4), loopback);
    Received r = ReceiveNow(plain);
    ASSERT_TRUE(r.ok);
    EXPECT_EQ(r.address.Loopback, 1u);
    EXPECT_EQ(r.address.Outbound, 1u);
}

TEST_F(DispatchTest, QueuedPacketsCarryTheirAddress) {
    HANDLE sniffer = Open("true", 1, WINDIVERT_FLAG_SNIFF);
    HANDLE h = Open("true");
    const int64_t before = NowTicks();
    sim::InjectOptions options;
    options.ifIdx = 7;
    options.subIfIdx = 3;
    sim_->InjectInbound(InboundTcp(80, 1), options);
    auto bad = PacketBuilder::Udp(kServer, 9, kClient, 53).BadTransportChecksum().Build();
    sim_->InjectOutbound(bad);

    Received copy = ReceiveNow(sniffer);
    Received in = ReceiveNow(h);
    ASSERT_TRUE(copy.ok);
    ASSERT_TRUE(in.ok);
    EXPECT_EQ(copy.address.Sniffed, 1u);
    EXPECT_EQ(in.address.Sniffed, 0u);
    EXPECT_EQ(in.address.Layer, static_cast<UINT32>(WINDIVERT_LAYER_NETWORK));
    EXPECT_EQ(in.address.Event, static_cast<UINT32>(WINDIVERT_EVENT_NETWORK_PACKET));
    EXPECT_EQ(in.address.Outbound, 0u);
    EXPECT_EQ(in.address.IPv6, 0u);
    EXPECT_EQ(in.address.Network.IfIdx, 7u);
    EXPECT_EQ(in.address.Network.SubIfIdx, 3u);
    EXPECT_EQ(in.address.IPChecksum, 1u);
    EXPECT_EQ(in.address.TCPChecksum, 1u);
    EXPECT_GE(in.address.Timestamp, before);
    EXPECT_LE(in.address.Timestamp, NowTicks());

    Received out = ReceiveNow(h);
    ASSERT_TRUE(out.ok);
    EXPECT_EQ(out.address.Outbound, 1u);
    EXPECT_EQ(out.address.IPChecksum, 1u);
    EXPECT_EQ(out.address.UDPChecksum, 0u);  // the checksum is known to be wrong
}

TEST_F(DispatchTest, QueueLengthBoundDropsTheOldest) {
    HANDLE h = Open("true");
    ASSERT_TRUE(WinDivertSetParam(h, WINDIVERT_PARAM_QUEUE_LENGTH, 32));
    for (uint16_t tag = 1; tag <= 40; ++tag)
        sim_->InjectInbound(InboundTcp(80, tag));
    std::vector<uint16_t> expected;
    for (uint16_t tag = 9; tag <= 40; ++tag)
        expected.push_back(tag);
    EXPECT_EQ(DrainTags(h), expected);
    HandleCounters c = sim_->CountersOf(h);
    EXPECT_EQ(c.queued, 40u);
    EXPECT_EQ(c.overflow, 8u);
    EXPECT_EQ(c.received, 32u);
    EXPECT_TRUE(DeliveredTags().empty());  // lost, not passed on

    // A lower bound applies to what is queued next, not at once.
    ASSERT_TRUE(WinDivertSetParam(h, WINDIVERT_PARAM_QUEUE_LENGTH, 64));
    for (uint16_t tag = 1; tag <= 50; ++tag)
        sim_->InjectInbound(InboundTcp(80, tag));
    ASSERT_TRUE(WinDivertSetParam(h, WINDIVERT_PARAM_QUEUE_LENGTH, 32));
    EXPECT_EQ(sim_->CountersOf(h).overflow, 8u);
    sim_->InjectInbound(InboundTcp(80, 51));
    std::vector<uint16_t> tags = DrainTags(h);
    ASSERT_EQ(tags.size(), 32u);
    EXPECT_EQ(tags.front(), 20);
    EXPECT_EQ(sim_->CountersOf(h).overflow, 8u + 19);
}

TEST_F(DispatchTest, QueueSizeBoundCountsBytesAndOverhead) {
    HANDLE h = Open("true");
    ASSERT_TRUE(WinDivertSetParam(h, WINDIVERT_PARAM_QUEUE_SIZE, 65535));
    // 1000-byte packets cost 1063 bytes each: 61 fit in 65535.
    for (uint16_t tag = 1; tag <= 70; ++tag)
        sim_->InjectInbound(InboundTcp(80, tag, 960));
    std::vector<uint16_t> tags = DrainTags(h);
    ASSERT_EQ(tags.size(), 61u);
    EXPECT_EQ(tags.front(), 10);
    EXPECT_EQ(tags.back(), 70);
    EXPECT_EQ(sim_->CountersOf(h).overflow, 9u);

    // A packet larger than the whole queue is never queued, and being diverted it is lost.
    sim_->InjectInbound(InboundTcp(80, 99, 65535 - 40 - 20));
    EXPECT_FALSE(ReceiveNow(h).ok);
    EXPECT_EQ(sim_->CountersOf(h).oversize, 1u);
    EXPECT_TRUE(DeliveredTags().empty());
}

TEST_F(DispatchTest, ExpiredPacketsAreDiscardedWhenTouched) {
    HANDLE h = Open("true");
    ASSERT_TRUE(WinDivertSetParam(h, WINDIVERT_PARAM_QUEUE_TIME, 100));
    sim_->InjectInbound(InboundTcp(80, 1));
    sim_->InjectInbound(InboundTcp(80, 2));
    // The steps leave tens of milliseconds to the real clock, which runs on beneath the
    // shifts (a sanitizer build on a busy machine takes more than one between two calls).
    bastion::testing::AdvanceSteadyClock(60 * bastion::kNsPerMs);  // still young: kept
    sim_->InjectInbound(InboundTcp(80, 3));
    bastion::testing::AdvanceSteadyClock(60 * bastion::kNsPerMs);  // 1 and 2 are now too old
    EXPECT_EQ(sim_->CountersOf(h).expired, 0u);                    // nothing touched them yet
    EXPECT_EQ(DrainTags(h), (std::vector<uint16_t>{3}));
    EXPECT_EQ(sim_->CountersOf(h).expired, 2u);
}

TEST_F(DispatchTest, CloseReinjectsFreshDivertedPacketsAndLosesTheRest) {
    HANDLE sniffer = Open("true", 30, WINDIVERT_FLAG_SNIFF);
    HANDLE upper = WinDivertOpen("true", WINDIVERT_LAYER_NETWORK, 20, 0);
    HANDLE lower = Open("udp", 10);
    ASSERT_TRUE(WinDivertSetParam(upper, WINDIVERT_PARAM_QUEUE_TIME, 100));
    sim_->InjectInbound(InboundTcp(80, 1));
    bastion::testing::AdvanceSteadyClock(150 * bastion::kNsPerMs);
    sim_->InjectInbound(InboundTcp(80, 2));
    sim_->InjectInbound(OutboundUdp(53, 3));

    ASSERT_TRUE(WinDivertClose(upper));
    EXPECT_EQ(DeliveredTags(), (std::vector<uint16_t>{2}));   // 1 had expired
    EXPECT_EQ(DrainTags(lower), (std::vector<uint16_t>{3}));  // seen by the handles below
    HandleCounters c = sim_->CountersOf(upper);
    EXPECT_EQ(c.queued, 3u);
    EXPECT_EQ(c.expired, 1u);
    EXPECT_EQ(c.reinjectedAtClose, 2u);

    ASSERT_EQ(DrainTags(sniffer).size(), 3u);
    sim_->InjectInbound(InboundTcp(80, 4));
    WinDivertClose(sniffer);
    EXPECT_EQ(sim_->CountersOf(sniffer).discardedAtClose, 1u);  // a copy: nothing to pass on
    EXPECT_EQ(DeliveredTags(), (std::vector<uint16_t>{4}));     // the original went on at once
}

TEST_F(DispatchTest, NeverMatchingHandleOnlyInjects) {
    HANDLE injector = Open("false", 100);
    HANDLE below = Open("true", 0);
    sim_->InjectInbound(InboundTcp(80, 1));
    EXPECT_FALSE(ReceiveNow(injector).ok);
    Received r = ReceiveNow(below);
    ASSERT_TRUE(r.ok);
    EXPECT_EQ(sim_->CountersOf(injector).queued, 0u);
}

TEST_F(DispatchTest, BatchIngressQueuesInOrderAcrossHandles) {
    HANDLE tcpHandle = Open("tcp", 10);
    HANDLE udpHandle = Open("udp", 5);
    std::vector<std::vector<uint8_t>> batch;
    for (uint16_t tag = 1; tag <= 6; ++tag) {
        batch.push_back(tag % 2 ? InboundTcp(80, tag) : OutboundUdp(53, tag));
    }
    batch.push_back(PacketBuilder::Icmp(kClient, kServer, 8).Id(7).Build());
    sim_->InjectInbound(batch);
    EXPECT_EQ(DrainTags(tcpHandle), (std::vector<uint16_t>{1, 3, 5}));
    EXPECT_EQ(DrainTags(udpHandle), (std::vector<uint16_t>{2, 4, 6}));
    EXPECT_EQ(DeliveredTags(), (std::vector<uint16_t>{7}));
}

}  // namespace
}  // namespace divert::simtest
