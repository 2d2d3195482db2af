// Re-injection: the whole-batch and selective paths, their fallbacks and the checksum rule,
// through the simulated world's call trace and fault script.
#include "divert/sim/PacketBuilder.h"
#include "platform/Clock.h"
#include "tests/capture/CaptureTestSupport.h"

namespace bastion::capture_test {
namespace {

using divert::SendFault;
using divert::SendOutcome;

class Reinjection : public CaptureTest {
  protected:
    // Packets tagged 0..count-1 from distinct sources; those in `dropped` come from
    // block-listed sources.
    std::vector<Bytes> MixedBatch(size_t count, const std::vector<size_t>& dropped) {
        std::vector<Bytes> batch;
        for (size_t i = 0; i < count; ++i) {
            const uint32_t source = Ipv4("198.18.0.1") + static_cast<uint32_t>(i);
            for (size_t d : dropped) {
                if (d == i) state->ipLists.AddToBlock(source);
            }
            batch.push_back(InboundTcp(static_cast<uint16_t>(i), source));
        }
        return batch;
    }

    static std::vector<uint16_t> Tags(std::initializer_list<uint16_t> tags) { return tags; }

    static void ScriptSend(SendOutcome outcome, DWORD error = 0) {
        divert::ScriptSends(SendFault{outcome, error});
    }

    // A judged batch handed straight to ReinjectBatch. The truncate recoveries only act on
    // bookkeeping that a worker's own walk never produces (a passing packet the runs
    // cannot take), so these tests lay it out themselves.
    struct Judged {
        std::vector<Bytes> packets;
        std::vector<bool> pass;
        std::vector<bool> outbound;
        std::vector<uint32_t> lengths;  // the scratch lengths; empty: the packets' sizes
        // A packet whose offset the bookkeeping puts past the batch's end; none if -1.
        int pastEnd = -1;
    };
    void Reinject(CaptureWorker& worker, const Judged& batch) {
        CaptureScratch& scratch = ThreadCaptureScratch();
        BufferSet& set = worker.sets[static_cast<size_t>(worker.receiveSet)];
        const size_t n = batch.packets.size();
        scratch.packetLengths.clear();
        scratch.packetOffsets.clear();
        scratch.passFlags.Reset(n);
        scratch.needsChecksum.assign(n, 0);
        uint32_t offset = 0;
        size_t validCount = 0;
        for (size_t i = 0; i < n; ++i) {
            std::memcpy(set.packets.get() + offset, batch.packets[i].data(),
                        batch.packets[i].size());
            WINDIVERT_ADDRESS& address = set.addresses[i];
            address = WINDIVERT_ADDRESS{};
            address.Outbound = i < batch.outbound.size() && batch.outbound[i] ? 1 : 0;
            address.Network.IfIdx = divert::sim::kEthernetIfIdx;
            address.IPChecksum = address.TCPChecksum = address.UDPChecksum = 1;
            const uint32_t length = batch.lengths.empty()
                                        ? static_cast<uint32_t>(batch.packets[i].size())
                                        : batch.lengths[i];
            scratch.packetLengths.push_back(length);
            scratch.packetOffsets.push_back(offset);
            scratch.passFlags.Set(i, batch.pass[i]);
            scratch.needsChecksum[i] = address.Outbound;
            validCount += batch.pass[i] ? 1 : 0;
            offset += length;
        }
        if (batch.pastEnd >= 0) scratch.packetOffsets[static_cast<size_t>(batch.pastEnd)] = offset;
        worker.recvLen = offset;
        worker.handle = handle;
        ReinjectBatch(worker, scratch, n, validCount);
    }
};

TEST_F(Reinjection, AllPassingIsOneInPlaceSendAndAPendingSendMovesTheNextReceive) {
    auto worker = NewWorker();
    divert::SetTraceEnabled(true);
    std::vector<Bytes> batch = MixedBatch(200, {});
    uint32_t bytes = 0;
    for (const Bytes& p : batch)
        bytes += static_cast<uint32_t>(p.size());
    sim->InjectInbound(batch);
    ScriptSend(SendOutcome::ReportPending);
    worker->RunCycle();

    std::vector<TraceRecord> sends = SendCalls();
    ASSERT_EQ(sends.size(), 1u);
    EXPECT_EQ(sends[0].function, ApiFunction::SendEx);
    EXPECT_EQ(sends[0].packets, 200u) << "200 x 80 address bytes";
    EXPECT_EQ(sends[0].bytes, bytes);
    EXPECT_TRUE(sends[0].overlapped);
    EXPECT_EQ(sends[0].error, static_cast<DWORD>(ERROR_IO_PENDING));
    EXPECT_EQ(DeliveredTags().size(), 200u);
    ASSERT_TRUE(worker->sendPending);
    ASSERT_EQ(worker->receiveSet, CaptureWorker::kSetB);

    // The next batch is received into set B while set A still holds the sent batch.
    Bytes next = InboundTcp(777, kOtherClient);
    sim->InjectInbound(next);
    worker->RunCycle();
    EXPECT_FALSE(worker->sendPending);
    EXPECT_EQ(TagOf(Bytes(worker->sets[CaptureWorker::kSetB].packets.get(),
                          worker->sets[CaptureWorker::kSetB].packets.get() + 20)),
              777);
    EXPECT_EQ(TagOf(Bytes(worker->sets[CaptureWorker::kSetA].packets.get(),
                          worker->sets[CaptureWorker::kSetA].packets.get() + 20)),
              0);
    EXPECT_EQ(DeliveredTags(), Tags({777}));
    EXPECT_TRUE(LogTexts("[⚠️]").empty());
}

TEST_F(Reinjection, DroppedPacketsLeaveOneSynchronousSendOfTheRuns) {
    auto worker = NewWorker();
    divert::SetTraceEnabled(true);
    sim->InjectInbound(MixedBatch(10, {3, 7}));
    worker->RunCycle();

    std::vector<TraceRecord> sends = SendCalls();
    ASSERT_EQ(sends.size(), 1u);
    EXPECT_EQ(sends[0].function, ApiFunction::SendEx);
    EXPECT_EQ(sends[0].packets, 8u);
    EXPECT_FALSE(sends[0].overlapped);
    EXPECT_EQ(DeliveredTags(), Tags({0, 1, 2, 4, 5, 6, 8, 9}));
    // Set C holds the three runs back to back.
    const CaptureScratch& scratch = ThreadCaptureScratch();
    ASSERT_EQ(scratch.selectedLengths.size(), 8u);
    const uint8_t* compacted = worker->sets[CaptureWorker::kSetC].packets.get();
    uint32_t pos = 0;
    std::vector<uint16_t> order;
    for (uint32_t length : scratch.selectedLengths) {
        order.push_back(TagOf(Bytes(compacted + pos, compacted + pos + 20)));
        pos += length;
    }
    EXPECT_EQ(order, Tags({0, 1, 2, 4, 5, 6, 8, 9}));
}

TEST_F(Reinjection, FailedSelectiveSendIsRetriedAsHalves) {
    auto worker = NewWorker();
    divert::SetTraceEnabled(true);
    sim->InjectInbound(MixedBatch(10, {3, 7}));
    ScriptSend(SendOutcome::Fail, ERROR_NOT_ENOUGH_MEMORY);
    worker->RunCycle();

    std::vector<TraceRecord> sends = SendCalls();
    ASSERT_EQ(sends.size(), 3u);
    EXPECT_EQ(sends[0].packets, 8u);
    EXPECT_FALSE(sends[0].result);
    EXPECT_EQ(sends[1].packets, 4u);
    EXPECT_EQ(sends[2].packets, 4u);
    EXPECT_TRUE(sends[1].result && sends[2].result);
    EXPECT_EQ(DeliveredTags(), Tags({0, 1, 2, 4, 5, 6, 8, 9}));
}

TEST_F(Reinjection, AFailedHalfSendsEveryPacketSingly) {
    auto worker = NewWorker();
    divert::SetTraceEnabled(true);
    sim->InjectInbound(MixedBatch(10, {3, 7}));
    ScriptSend(SendOutcome::Fail, ERROR_NOT_ENOUGH_MEMORY);
    ScriptSend(SendOutcome::Normal);
    ScriptSend(SendOutcome::Fail, ERROR_NOT_ENOUGH_MEMORY);
    worker->RunCycle();

    std::vector<TraceRecord> sends = SendCalls();
    ASSERT_EQ(sends.size(), 11u);
    EXPECT_EQ(sends[1].packets, 4u);
    EXPECT_EQ(sends[2].packets, 4u);
    EXPECT_FALSE(sends[2].result);
    for (size_t k = 3; k < sends.size(); ++k)
        EXPECT_EQ(sends[k].function, ApiFunction::Send);
    // The half that went through goes again with the singles: nothing is lost.
    EXPECT_EQ(DeliveredTags(), Tags({0, 1, 2, 4, 0, 1, 2, 4, 5, 6, 8, 9}));
}

TEST_F(Reinjection, FailedWholeBatchSendFallsBackToSinglePackets) {
    auto worker = NewWorker();
    divert::SetTraceEnabled(true);
    sim->InjectInbound(MixedBatch(5, {}));
    ScriptSend(SendOutcome::Fail, ERROR_NOT_ENOUGH_MEMORY);
    worker->RunCycle();

    std::vector<TraceRecord> sends = SendCalls();
    ASSERT_EQ(sends.size(), 6u);
    EXPECT_EQ(sends[0].function, ApiFunction::SendEx);
    EXPECT_FALSE(sends[0].result);
    for (size_t k = 1; k < sends.size(); ++k)
        EXPECT_EQ(sends[k].function, ApiFunction::Send);
    EXPECT_EQ(DeliveredTags(), Tags({0, 1, 2, 3, 4}));
    EXPECT_FALSE(worker->sendPending);
    EXPECT_EQ(worker->receiveSet, CaptureWorker::kSetA);
}

// Packets the send would refuse are left out of a whole batch: the rest go compacted into
// set C with one asynchronous send, and each kind of refusal warns through its throttle.
TEST_F(Reinjection, UnsendablePacketsOfAPassingBatchAreLeftOutOfACompactedSend) {
    auto worker = NewWorker();
    Bytes version6 = InboundTcp(3);
    version6[0] = 0x65;
    const Judged batch{{InboundTcp(1), Bytes(19, 0x45), version6, InboundTcp(4)},
                       {true, true, true, true},
                       {},
                       {}};
    auto judgeAllPassing = [&] { Reinject(*worker, batch); };
    divert::SetTraceEnabled(true);
    judgeAllPassing();
    std::vector<TraceRecord> sends = SendCalls();
    ASSERT_EQ(sends.size(), 1u);
    EXPECT_EQ(sends[0].packets, 2u);
    EXPECT_TRUE(sends[0].overlapped);
    EXPECT_EQ(DeliveredTags(), Tags({1, 4}));
    EXPECT_EQ(worker->receiveSet, CaptureWorker::kSetA) << "the receive buffer is free again";
    EXPECT_TRUE(LogTexts("[⚠️]").empty());

    testing::AdvanceSteadyClock(30 * kNsPerSecond);
    judgeAllPassing();
    EXPECT_EQ(DeliveredTags(), Tags({1, 4}));
    EXPECT_EQ(LogTexts("[⚠️]"),
              (std::vector<std::string>{
                  "[⚠️] Packet too small (Thread 0, Size=19 bytes, Min=20) - Skipping invalid "
                  "packet",
                  "[⚠️] Invalid IP version (Thread 0, Version=6, Expected=4) - Skipping packet "
                  "(prevent ERROR 87)"}));
}

// A passing packet too short to send ends no run: the compacted send goes without it and
// the recovery sends that packet alone, not the batch's last packet a second time. Its
// failure is counted and warned, the summary comes at most once a minute.
TEST_F(Reinjection, SelectiveTruncateRecoverySendsOnlyThePacketsTheRunsLeftOut) {
    auto worker = NewWorker();
    const Judged batch{
        {InboundTcp(0), Bytes(19, 0x45), InboundTcp(2), InboundTcp(3), InboundTcp(4)},
        {true, true, true, false, true},
        {},
        {}};
    divert::SetTraceEnabled(true);
    Reinject(*worker, batch);
    std::vector<TraceRecord> sends = SendCalls();
    ASSERT_EQ(sends.size(), 2u);
    EXPECT_EQ(sends[0].function, ApiFunction::SendEx);
    EXPECT_EQ(sends[0].packets, 3u);
    EXPECT_FALSE(sends[0].overlapped);
    EXPECT_EQ(sends[1].function, ApiFunction::Send);
    EXPECT_EQ(sends[1].bytes, 19u);
    EXPECT_FALSE(sends[1].result);
    EXPECT_EQ(sends[1].error, static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    EXPECT_EQ(DeliveredTags(), Tags({0, 2, 4}));
    EXPECT_TRUE(LogTexts("[").empty()) << "a site's first occurrence is not logged";

    for (int round = 0; round < 2; ++round) {
        testing::AdvanceSteadyClock(30 * kNsPerSecond);
        Reinject(*worker, batch);
        EXPECT_EQ(DeliveredTags(), Tags({0, 2, 4}));
    }
    const std::string failure =
        "[⚠️] Truncated packet send failed (Thread 0, Error: 122, Failed: 1/1)";
    EXPECT_EQ(LogTexts("[⚠️]"), (std::vector<std::string>{failure, failure}));
    EXPECT_EQ(LogTexts("[📊]"),
              (std::vector<std::string>{"[📊] Truncate recovery (Thread 0): Batch=3, "
                                        "Individual=0, Failed=1/1 (Zero loss!)"}));
}

// A length the walk cannot use ends the runs; the passing packets from there on go one by
// one, an outbound one with its checksums recomputed once, in the receive buffer.
TEST_F(Reinjection, SelectiveTruncateRecoverySendsTheRestOfTheBatchSingly) {
    auto worker = NewWorker();
    Bytes outbound = PacketBuilder::Tcp(kServer, 80, kClient, 40000)
                         .Ack()
                         .Id(2)
                         .Payload("a")
                         .BadIpChecksum()
                         .BadTransportChecksum()
                         .Build();
    const uint32_t overLong = kMaxPacketLength + 1;
    const Judged batch{
        {InboundTcp(0), InboundTcp(1), outbound, InboundTcp(3)},
        {true, false, true, true},
        {false, false, true, false},
        {static_cast<uint32_t>(InboundTcp(0).size()), static_cast<uint32_t>(InboundTcp(1).size()),
         overLong, static_cast<uint32_t>(InboundTcp(3).size())}};
    divert::SetTraceEnabled(true);
    Reinject(*worker, batch);
    std::vector<TraceRecord> sends = SendCalls();
    ASSERT_EQ(sends.size(), 3u);
    EXPECT_EQ(sends[0].packets, 1u);
    EXPECT_EQ(sends[1].function, ApiFunction::Send);
    EXPECT_EQ(sends[2].function, ApiFunction::Send);
    EXPECT_TRUE(sends[1].result && sends[2].result);
    EXPECT_EQ(DeliveredTags(), Tags({0, 3}));
    std::vector<divert::sim::PacketRecord> wire = sim->TakeWire();
    ASSERT_EQ(wire.size(), 1u);
    EXPECT_EQ(TagOf(wire[0].bytes), 2);
    const auto check = divert::sim::CheckChecksums(wire[0].bytes.data(), wire[0].bytes.size());
    EXPECT_TRUE(check.ip && check.tcp);
    EXPECT_EQ(worker->checksumRecomputations, 1u);

    testing::AdvanceSteadyClock(60 * kNsPerSecond);
    Reinject(*worker, batch);
    EXPECT_EQ(DeliveredTags(), Tags({0, 3}));
    EXPECT_EQ(worker->checksumRecomputations, 2u) << "once per batch it was part of";
    EXPECT_TRUE(LogTexts("[⚠️]").empty());
    EXPECT_EQ(LogTexts("[📊]"),
              (std::vector<std::string>{"[📊] Truncate recovery (Thread 0): Batch=1, "
                                        "Individual=2, Failed=0/2 (Zero loss!)"}));
}

// The whole-batch recovery takes over where the compacted copy stopped, with the copy's
// own stop conditions: a passing packet the copy could not locate inside the batch is not
// sent from anywhere else, and nothing is sent twice or summarised as recovered.
TEST_F(Reinjection, WholeBatchTruncateRecoveryStopsWhereTheCopyCouldNotLocateAPacket) {
    auto worker = NewWorker();
    Judged batch{{InboundTcp(0), Bytes(19, 0x45), InboundTcp(2), InboundTcp(3)},
                 {true, true, true, true},
                 {},
                 {},
                 2};
    auto reinject = [&] { Reinject(*worker, batch); };
    divert::SetTraceEnabled(true);
    for (int round = 0; round < 3; ++round) {
        reinject();
        std::vector<TraceRecord> sends = SendCalls();
        ASSERT_EQ(sends.size(), 1u);
        EXPECT_EQ(sends[0].function, ApiFunction::SendEx);
        EXPECT_EQ(sends[0].packets, 1u);
        EXPECT_EQ(DeliveredTags(), Tags({0}));
        testing::AdvanceSteadyClock(60 * kNsPerSecond);
    }
    EXPECT_TRUE(LogTexts("[📊]").empty());
    EXPECT_TRUE(LogTexts("[⚠️] ZERO-COPY").empty());
}

TEST_F(Reinjection, EveryPacketDroppedMeansNoDriverCall) {
    auto worker = NewWorker();
    divert::SetTraceEnabled(true);
    sim->InjectInbound(MixedBatch(6, {0, 1, 2, 3, 4, 5}));
    worker->RunCycle();
    EXPECT_TRUE(SendCalls().empty());
    EXPECT_TRUE(DeliveredTags().empty());
}

TEST_F(Reinjection, StoppedEngineDropsTheJudgedBatch) {
    auto worker = NewWorker();
    divert::SetTraceEnabled(true);
    // The stop lands between the verdicts and the send.
    engine->running.store(false);
    LoadBatch(*worker, MixedBatch(4, {1}));
    LoadBatch(*worker, {InboundTcp(9, kOtherClient)});
    EXPECT_TRUE(SendCalls().empty());
    EXPECT_TRUE(DeliveredTags().empty());
}

// Each way an outbound packet can leave: its checksums are recomputed once, whatever
// fails, and it goes out with valid checksums although its address claimed them valid.
struct ChecksumCase {
    const char* name;
    bool withDrop;
    std::vector<std::pair<SendOutcome, DWORD>> script;
};

class ChecksumOnce : public Reinjection, public ::testing::WithParamInterface<ChecksumCase> {};

TEST_P(ChecksumOnce, OutboundChecksumsAreRecomputedExactlyOnce) {
    const ChecksumCase& c = GetParam();
    auto worker = NewWorker();
    for (const auto& [outcome, error] : c.script)
        ScriptSend(outcome, error);
    divert::sim::InjectOptions lying;
    lying.checksums = divert::sim::InjectOptions::Checksums::Valid;
    const uint32_t blocked = Ipv4("192.0.2.66");
    state->ipLists.AddToBlock(blocked);
    // outbound, inbound, outbound, [dropped inbound], outbound
    sim->InjectOutbound(PacketBuilder::Tcp(kServer, 80, kClient, 40000)
                            .Ack()
                            .Id(1)
                            .Payload("a")
                            .BadTransportChecksum()
                            .Build(),
                        lying);
    sim->InjectInbound(InboundTcp(2));
    sim->InjectOutbound(PacketBuilder::Udp(kServer, 53, kClient, 5353)
                            .Id(3)
                            .Payload("b")
                            .BadIpChecksum()
                            .BadTransportChecksum()
                            .Build(),
                        lying);
    if (c.withDrop) sim->InjectInbound(InboundTcp(4, blocked));
    sim->InjectOutbound(PacketBuilder::Tcp(kServer, 80, kClient, 40001)
                            .Ack()
                            .Id(5)
                            .Payload("c")
                            .BadIpChecksum()
                            .Build(),
                        lying);
    worker->RunCycle();

    EXPECT_EQ(worker->checksumRecomputations, 3u);
    std::vector<divert::sim::PacketRecord> wire = sim->TakeWire();
    ASSERT_GE(wire.size(), 3u);
    for (const auto& record : wire) {
        const auto check = divert::sim::CheckChecksums(record.bytes.data(), record.bytes.size());
        EXPECT_TRUE(check.ip) << TagOf(record.bytes);
        EXPECT_TRUE(check.tcp || check.udp) << TagOf(record.bytes);
    }
    for (uint8_t flag : ThreadCaptureScratch().needsChecksum)
        EXPECT_EQ(flag, 0);
}

const DWORD kNoMemory = ERROR_NOT_ENOUGH_MEMORY;
INSTANTIATE_TEST_SUITE_P(
    EveryPath, ChecksumOnce,
    ::testing::Values(ChecksumCase{"WholeBatch", false, {}},
                      ChecksumCase{"WholeBatchPending", false, {{SendOutcome::ReportPending, 0}}},
                      ChecksumCase{"WholeBatchSingles", false, {{SendOutcome::Fail, kNoMemory}}},
                      ChecksumCase{"Selective", true, {}},
                      ChecksumCase{"SelectiveHalves", true, {{SendOutcome::Fail, kNoMemory}}},
                      ChecksumCase{"SelectiveSingles",
                                   true,
                                   {{SendOutcome::Fail, kNoMemory},
                                    {SendOutcome::Fail, kNoMemory},
                                    {SendOutcome::Normal, 0}}}),
    [](const ::testing::TestParamInfo<ChecksumCase>& info) { return info.param.name; });

}  // namespace
}  // namespace bastion::capture_test
