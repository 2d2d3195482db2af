// Shared pieces of the capture tests: an engine with a main divert handle opened in a
// fresh simulated world, workers driven cycle by cycle on the test thread, packet and
// batch helpers, and readers of the call trace and the log queue.
#pragma once

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "capture/CaptureScratch.h"
#include "capture/CaptureWorker.h"
#include "divert/runtime/Faults.h"
#include "divert/runtime/Trace.h"
#include "divert/sim/PacketBuilder.h"
#include "divert/sim/SimWorld.h"
#include "engine/PacketProcessor.h"
#include "windivert.h"

namespace bastion::capture_test {

using divert::ApiFunction;
using divert::TraceRecord;
using divert::sim::Ipv4;
using divert::sim::PacketBuilder;
using Bytes = std::vector<uint8_t>;

inline const uint32_t kServer = Ipv4("203.0.113.10");  // the sim host's own address
inline const uint32_t kClient = Ipv4("198.51.100.7");
inline const uint32_t kOtherClient = Ipv4("198.51.100.99");

// An inbound TCP ACK from `source` to the server's port 80, told apart by its IP id.
inline Bytes InboundTcp(uint16_t tag, uint32_t source = kClient, size_t payload = 20) {
    return PacketBuilder::Tcp(source, 40000, kServer, 80)
        .Ack()
        .Id(tag)
        .PayloadSize(payload, 0xAB)
        .Build();
}
// The server answering a client.
inline Bytes OutboundTcp(uint16_t tag, uint32_t destination = kClient) {
    return PacketBuilder::Tcp(kServer, 80, destination, 40000)
        .Ack()
        .Psh()
        .Id(tag)
        .Payload("hi")
        .Build();
}

inline uint16_t TagOf(const Bytes& packet) {
    return static_cast<uint16_t>((packet[4] << 8) | packet[5]);
}

class CaptureTest : public ::testing::Test {
  protected:
    void SetUp() override {
        divert::ClearFaults();
        divert::SetTraceEnabled(false);
        divert::TakeTrace();
        sim = divert::sim::SimWorld::Install();
        state = std::make_unique<RuntimeState>();
        state->config.packetLogEnabled = true;
        engine = std::make_unique<PacketProcessor>(*state);
        Configure(true, true, true);
        handle = WinDivertOpen("true", WINDIVERT_LAYER_NETWORK, 0, 0);
        ASSERT_NE(handle, INVALID_HANDLE_VALUE) << GetLastError();
        UseHandle(handle);
        engine->running.store(true, std::memory_order_release);
        CaptureScratch& scratch = ThreadCaptureScratch();
        scratch.counterShards.clear();
        scratch.processed = scratch.allowed = scratch.dropped = scratch.blocked = 0;
    }

    void TearDown() override {
        engine->running.store(false, std::memory_order_release);
        HANDLE last = engine->captureHandle.exchange(nullptr);
        if (last != nullptr && last != handle) WinDivertClose(last);
        if (handle != INVALID_HANDLE_VALUE) WinDivertClose(handle);
        divert::ReleaseHeldSends();
        divert::ClearFaults();
        divert::SetTraceEnabled(false);
        divert::TakeTrace();
        engine.reset();
        sim->Uninstall();
    }

    // The engine's configuration with the three protocol switches, applied before any
    // handle of the test's own is stored (a configuration may bring its own handle).
    void Configure(bool tcp, bool udp, bool icmp) {
        AppConfig config = engine->GetConfig();
        config.tcpEnabled = tcp;
        config.udpEnabled = udp;
        config.icmpEnabled = icmp;
        config.packetLogEnabled = true;
        engine->ApplyConfig(config);
    }

    // Makes `h` the engine's main handle, closing one the engine opened itself.
    void UseHandle(HANDLE h) {
        HANDLE prior = engine->captureHandle.exchange(h);
        if (prior != nullptr && prior != INVALID_HANDLE_VALUE && prior != handle && prior != h) {
            WinDivertClose(prior);
        }
    }

    std::unique_ptr<CaptureWorker> NewWorker(int index = 0) {
        auto worker = std::make_unique<CaptureWorker>(*engine, index);
        EXPECT_TRUE(worker->CreateEvents());
        return worker;
    }

    // Writes `packets` back to back into the worker's current receive set, with one
    // address each (inbound unless listed in `outbound`), and runs the batch steps on it
    // as if the driver had returned it. For batches the world would refuse to divert.
    static void LoadBatch(CaptureWorker& worker, const std::vector<Bytes>& packets,
                          const std::vector<bool>& outbound = {}, UINT addrLen = 0) {
        BufferSet& set = worker.sets[static_cast<size_t>(worker.receiveSet)];
        UINT offset = 0;
        for (size_t i = 0; i < packets.size(); ++i) {
            std::memcpy(set.packets.get() + offset, packets[i].data(), packets[i].size());
            offset += static_cast<UINT>(packets[i].size());
            if (i < kMaxBatchPackets) {
                WINDIVERT_ADDRESS& address = set.addresses[i];
                address = WINDIVERT_ADDRESS{};
                address.Layer = WINDIVERT_LAYER_NETWORK;
                address.Outbound = i < outbound.size() && outbound[i] ? 1 : 0;
                address.Network.IfIdx = divert::sim::kEthernetIfIdx;
                address.IPChecksum = address.TCPChecksum = address.UDPChecksum = 1;
            }
        }
        if (addrLen == 0) addrLen = static_cast<UINT>(packets.size() * kAddressBytes);
        worker.handle = worker.engine.captureHandle.load();
        worker.ProcessBatch(offset, addrLen);
    }

    // Raw batch bytes with `addrLen` bytes of addresses (inbound unless flagged).
    static void LoadBytes(CaptureWorker& worker, const Bytes& bytes,
                          const std::vector<bool>& outbound, UINT addrLen) {
        BufferSet& set = worker.sets[static_cast<size_t>(worker.receiveSet)];
        std::memcpy(set.packets.get(), bytes.data(), bytes.size());
        for (size_t i = 0; i < kMaxBatchPackets; ++i) {
            WINDIVERT_ADDRESS& address = set.addresses[i];
            address = WINDIVERT_ADDRESS{};
            address.Layer = WINDIVERT_LAYER_NETWORK;
            address.Outbound = i < outbound.size() && outbound[i] ? 1 : 0;
            address.Network.IfIdx = divert::sim::kEthernetIfIdx;
            address.IPChecksum = address.TCPChecksum = address.UDPChecksum = 1;
        }
        worker.handle = worker.engine.captureHandle.load();
        worker.ProcessBatch(static_cast<UINT>(bytes.size()), addrLen);
    }

    static std::vector<TraceRecord> Calls(ApiFunction function) {
        std::vector<TraceRecord> calls;
        for (TraceRecord& record : divert::TakeTrace()) {
            if (record.function == function) calls.push_back(std::move(record));
        }
        return calls;
    }
    // Every send call of the trace so far, in order (the rest is discarded).
    static std::vector<TraceRecord> SendCalls() {
        std::vector<TraceRecord> calls;
        for (TraceRecord& record : divert::TakeTrace()) {
            if (record.function == ApiFunction::SendEx || record.function == ApiFunction::Send) {
                calls.push_back(std::move(record));
            }
        }
        return calls;
    }

    std::vector<uint16_t> DeliveredTags() {
        std::vector<uint16_t> tags;
        for (const auto& record : sim->TakeDelivered())
            tags.push_back(TagOf(record.bytes));
        return tags;
    }

    // Queued log texts starting with `prefix`.
    std::vector<std::string> LogTexts(const std::string& prefix = "") {
        LogState& log = engine->logState;
        std::lock_guard lock(log.logQueueMutex);
        std::vector<std::string> texts;
        for (size_t i = 0; i < log.logQueue.size(); ++i) {
            if (log.logQueue[i].text.rfind(prefix, 0) == 0) texts.push_back(log.logQueue[i].text);
        }
        return texts;
    }

    // Packets that reached a rule engine: still in this thread's scratch or flushed.
    uint64_t Evaluated() {
        return ThreadCaptureScratch().processed + engine->ruleEngine.statsRecv.load();
    }

    std::shared_ptr<divert::sim::SimWorld> sim;
    std::unique_ptr<RuntimeState> state;
    std::unique_ptr<PacketProcessor> engine;
    HANDLE handle = INVALID_HANDLE_VALUE;
};

}  // namespace bastion::capture_test
