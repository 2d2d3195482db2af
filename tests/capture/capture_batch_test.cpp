// Batch reception: the checks on what the driver returned, the split into packets, the
// per-packet parse and the verdict order, through the simulated world and its call trace.
#include <optional>

#include "platform/Clock.h"
#include "tests/capture/CaptureTestSupport.h"

namespace bastion::capture_test {
namespace {

std::vector<Bytes> InboundBatch(size_t count, uint16_t firstTag = 1) {
    std::vector<Bytes> batch;
    for (size_t i = 0; i < count; ++i)
        batch.push_back(InboundTcp(static_cast<uint16_t>(firstTag + i)));
    return batch;
}

using BatchChecks = CaptureTest;

TEST_F(BatchChecks, AddressCountBeyond255IsCappedWithOneWarningPer30Seconds) {
    auto worker = NewWorker();
    divert::SetTraceEnabled(true);
    const std::string warning =
        "[⚠️] Address count overflow (Thread 0, Received: 300, Max: 255) - Capping to "
        "prevent buffer overrun";
    auto runOverflowingBatch = [&](uint16_t firstTag) {
        sim->InjectInbound(InboundBatch(255, firstTag));
        divert::OverrideNextRecv(std::nullopt, 300 * kAddressBytes);
        ASSERT_EQ(worker->RunCycle(), CaptureWorker::Cycle::Continue);
        std::vector<TraceRecord> sends = Calls(ApiFunction::SendEx);
        ASSERT_EQ(sends.size(), 1u);
        EXPECT_EQ(sends[0].packets, 255u);
        EXPECT_EQ(DeliveredTags().size(), 255u);
    };
    runOverflowingBatch(1);
    runOverflowingBatch(1001);
    EXPECT_TRUE(LogTexts("[⚠️] Address count").empty()) << "first occurrence and repeats "
                                                               "within the period stay quiet";
    testing::AdvanceSteadyClock(30 * kNsPerSecond);
    runOverflowingBatch(2001);
    runOverflowingBatch(3001);
    EXPECT_EQ(LogTexts("[⚠️] Address count"), std::vector<std::string>{warning});
}

TEST_F(BatchChecks, ReceivedLengthBeyondTheBufferDropsTheBatch) {
    auto worker = NewWorker();
    divert::SetTraceEnabled(true);
    sim->InjectInbound(InboundBatch(3));
    divert::OverrideNextRecv(kBatchBufferBytes + 1, std::nullopt);
    worker->RunCycle();
    EXPECT_TRUE(Calls(ApiFunction::SendEx).empty());
    EXPECT_TRUE(DeliveredTags().empty());
    EXPECT_EQ(Evaluated(), 0u);

    // The worker goes on with the next batch.
    sim->InjectInbound(InboundBatch(2, 10));
    worker->RunCycle();
    EXPECT_EQ(DeliveredTags(), (std::vector<uint16_t>{10, 11}));
}

TEST_F(BatchChecks, NonIpv4PacketEndsTheBatch) {
    auto worker = NewWorker();
    divert::SetTraceEnabled(true);
    Bytes version6 = InboundTcp(3);
    version6[0] = 0x65;
    LoadBatch(*worker, {InboundTcp(1), InboundTcp(2), version6, InboundTcp(4)});
    EXPECT_EQ(Evaluated(), 2u);
    std::vector<TraceRecord> sends = Calls(ApiFunction::SendEx);
    ASSERT_EQ(sends.size(), 1u);
    EXPECT_EQ(sends[0].packets, 2u);
    EXPECT_EQ(DeliveredTags(), (std::vector<uint16_t>{1, 2}));
}

TEST_F(BatchChecks, LengthFieldBelowTheHeaderOrPastTheBufferEndsTheSplit) {
    auto worker = NewWorker();
    Bytes tiny = InboundTcp(2);
    tiny[2] = 0;
    tiny[3] = 19;
    LoadBatch(*worker, {InboundTcp(1), tiny, InboundTcp(3)});
    EXPECT_EQ(DeliveredTags(), (std::vector<uint16_t>{1}));

    Bytes overlong = InboundTcp(5);
    overlong[2] = 0x01;  // claims 256 + bytes: runs past the received bytes
    LoadBatch(*worker, {InboundTcp(4), overlong});
    EXPECT_EQ(DeliveredTags(), (std::vector<uint16_t>{4}));
}

TEST_F(BatchChecks, UdpShorterThanItsHeaderIsDroppedUnevaluated) {
    auto worker = NewWorker();
    Bytes empty = PacketBuilder::Udp(kClient, 5000, kServer, 53).Id(2).Build();
    ASSERT_EQ(empty.size(), 28u);
    Bytes cut =
        PacketBuilder::Udp(kClient, 5000, kServer, 53).Id(1).TotalLength(27).TruncateTo(27).Build();
    LoadBatch(*worker, {cut, empty});
    EXPECT_EQ(Evaluated(), 1u);
    EXPECT_EQ(engine->ruleEngine.udpPackets.load(), 1u);
    EXPECT_EQ(engine->ruleEngine.udpBytes.load(), 0u) << "payloadLength 0";
    EXPECT_EQ(DeliveredTags(), (std::vector<uint16_t>{2}));
}

TEST_F(BatchChecks, MalformedTransportHeadersAreDropped) {
    auto worker = NewWorker();
    std::vector<Bytes> batch = {
        PacketBuilder::Tcp(kClient, 1, kServer, 80).Id(1).DataOffset(4).Build(),
        PacketBuilder::Tcp(kClient, 1, kServer, 80).Id(2).DataOffset(15).Build(),
        PacketBuilder::Icmp(kClient, kServer, 8).Id(3).TotalLength(27).TruncateTo(27).Build(),
        PacketBuilder::Tcp(kClient, 1, kServer, 80).Id(4).HeaderLength(4).Build(),
        InboundTcp(5),
    };
    LoadBatch(*worker, batch);
    EXPECT_EQ(DeliveredTags(), (std::vector<uint16_t>{5}));
    EXPECT_EQ(Evaluated(), 1u);
}

TEST_F(BatchChecks, OtherProtocolsPassUnevaluatedAndOutboundPacketsWithFreshChecksums) {
    auto worker = NewWorker();
    divert::SetTraceEnabled(true);
    Bytes gre = PacketBuilder::Ip(kClient, kServer, 47).Id(1).Payload("tunnel").Build();
    sim->InjectInbound(gre);
    // An outbound segment whose checksums are wrong though its address says they are
    // right: only the worker's recomputation can mend them.
    divert::sim::InjectOptions lying;
    lying.checksums = divert::sim::InjectOptions::Checksums::Valid;
    Bytes broken = PacketBuilder::Tcp(kServer, 80, kClient, 40000)
                       .Ack()
                       .Id(2)
                       .Payload("x")
                       .BadIpChecksum()
                       .BadTransportChecksum()
                       .Build();
    sim->InjectOutbound(broken, lying);
    worker->RunCycle();

    EXPECT_EQ(Evaluated(), 0u);
    EXPECT_EQ(DeliveredTags(), (std::vector<uint16_t>{1}));
    std::vector<divert::sim::PacketRecord> wire = sim->TakeWire();
    ASSERT_EQ(wire.size(), 1u);
    const divert::sim::ChecksumCheck check =
        divert::sim::CheckChecksums(wire[0].bytes.data(), wire[0].bytes.size());
    EXPECT_TRUE(check.ip);
    EXPECT_TRUE(check.tcp);
    EXPECT_EQ(worker->checksumRecomputations, 1u);
    EXPECT_EQ(Calls(ApiFunction::SendEx).size(), 1u);
}

TEST_F(BatchChecks, OwnAllowedAndBlockedSourcesAreDecidedBeforeAnyRule) {
    auto worker = NewWorker();
    const uint32_t allowed = Ipv4("192.0.2.1");
    const uint32_t blocked = Ipv4("192.0.2.2");
    state->ipLists.AddAllowed(allowed);
    state->ipLists.AddToBlock(blocked);
    const uint32_t own = engine->localAddresses.Contains(Ipv4("203.0.113.1")) ? Ipv4("203.0.113.1")
                                                                              : Ipv4("127.0.0.1");
    ASSERT_TRUE(engine->localAddresses.Contains(own));

    sim->InjectInbound(std::vector<Bytes>{InboundTcp(1, allowed), InboundTcp(2, blocked),
                                          InboundTcp(3, own), InboundTcp(4, kClient)});
    worker->RunCycle();
    EXPECT_EQ(DeliveredTags(), (std::vector<uint16_t>{1, 3, 4}));
    EXPECT_EQ(Evaluated(), 1u) << "only the unknown source reaches the rules";
    EXPECT_EQ(ThreadCaptureScratch().dropped + engine->ruleEngine.statsDrop.load(), 0u);
}

TEST_F(BatchChecks, SynOptionsReachTheViewOnlyForSyns) {
    Bytes syn = PacketBuilder::Tcp(kClient, 40000, kServer, 80)
                    .Syn()
                    .Mss(1460)
                    .WindowScale(7)
                    .SackPermitted()
                    .Timestamps(1, 0)
                    .Window(29200)
                    .Seq(1000)
                    .Build();
    Bytes ack = PacketBuilder::Tcp(kClient, 40000, kServer, 80).Ack().Mss(1460).Seq(7).Build();
    const uint8_t* pointers[2] = {syn.data(), ack.data()};
    const uint32_t lengths[2] = {static_cast<uint32_t>(syn.size()),
                                 static_cast<uint32_t>(ack.size())};
    HeaderBlock block;
    PreParseScalar(pointers, lengths, 2, block);
    WINDIVERT_ADDRESS address{};
    PacketView view;
    ASSERT_EQ(ParsePacket(syn.data(), lengths[0], block, 0, address, view), PacketClass::Parsed);
    EXPECT_EQ(view.srcAddr, kClient);
    EXPECT_EQ(view.dstPort, 80);
    EXPECT_EQ(view.tcpFlags, tcp_flags::kSyn);
    EXPECT_EQ(view.seq, 1000u);
    EXPECT_EQ(view.window, 29200);
    EXPECT_EQ(view.hasMss, 1);
    EXPECT_EQ(view.mss, 1460);
    EXPECT_EQ(view.tcpOptionCount, 4);
    EXPECT_EQ(view.hasWindowScale, 1);
    EXPECT_EQ(view.hasTimestamps, 1);
    EXPECT_EQ(view.payloadLength, 0u);
    EXPECT_EQ(view.inbound, 1);

    address.Outbound = 1;
    ASSERT_EQ(ParsePacket(ack.data(), lengths[1], block, 1, address, view), PacketClass::Parsed);
    EXPECT_EQ(view.hasMss, 0);
    EXPECT_EQ(view.mss, 0);
    EXPECT_EQ(view.tcpOptionCount, 0);
    EXPECT_EQ(view.inbound, 0);
}

TEST_F(BatchChecks, FragmentFieldsComeFromTheFlagsWord) {
    Bytes first =
        PacketBuilder::Udp(kClient, 1, kServer, 2).MoreFragments().PayloadSize(16).Build();
    Bytes later =
        PacketBuilder::Udp(kClient, 1, kServer, 2).FragmentOffset(3).PayloadSize(16).Build();
    const uint8_t* pointers[2] = {first.data(), later.data()};
    const uint32_t lengths[2] = {static_cast<uint32_t>(first.size()),
                                 static_cast<uint32_t>(later.size())};
    HeaderBlock block;
    PreParseScalar(pointers, lengths, 2, block);
    WINDIVERT_ADDRESS address{};
    PacketView view;
    ASSERT_EQ(ParsePacket(first.data(), lengths[0], block, 0, address, view), PacketClass::Parsed);
    EXPECT_EQ(view.isFragment, 1);
    EXPECT_EQ(view.fragmentOffset, 0);
    EXPECT_EQ(view.isUdp, 1);
    EXPECT_EQ(view.payloadLength, 16u);
    ASSERT_EQ(ParsePacket(later.data(), lengths[1], block, 1, address, view), PacketClass::Parsed);
    EXPECT_EQ(view.isFragment, 1);
    EXPECT_EQ(view.fragmentOffset, 3);
}

}  // namespace
}  // namespace bastion::capture_test
