// Shared pieces of the rule-engine tests: a fluent PacketView builder, rule record helpers
// and a fixture holding one engine and the test thread's capture scratch reset to a chosen
// time.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "capture/CaptureScratch.h"
#include "engine/PacketProcessor.h"
#include "rules/Counters.h"
#include "rules/Evaluators.h"

namespace bastion::testing_support {

constexpr uint32_t Ip(uint32_t a, uint32_t b, uint32_t c, uint32_t d) {
    return (a << 24) | (b << 16) | (c << 8) | d;
}

constexpr uint32_t kClient = Ip(10, 0, 0, 1);
constexpr uint32_t kServer = Ip(192, 168, 1, 10);
constexpr uint16_t kClientPort = 40000;
constexpr uint16_t kServerPort = 80;
// An arbitrary steady time far from zero, so that "seconds ago" never goes negative.
constexpr int64_t kStart = 5'000 * kNsPerSecond;
// A threshold no test reaches.
constexpr uint64_t kNeverFires = 1'000'000'000'000;

// Builds the PacketView the capture worker would hand over.
class Packet {
  public:
    static Packet Tcp(uint8_t flags = tcp_flags::kAck) {
        Packet p;
        p.view_.tcpFlags = flags;
        return p;
    }
    static Packet Syn() { return Tcp(tcp_flags::kSyn); }
    static Packet SynAck() { return Tcp(tcp_flags::kSyn | tcp_flags::kAck); }
    static Packet Udp() {
        Packet p;
        p.view_.isUdp = 1;
        return p;
    }
    static Packet Icmp(uint8_t type) {
        Packet p;
        p.view_.isIcmp = 1;
        p.view_.icmpType = type;
        p.view_.srcPort = 0;
        p.view_.dstPort = 0;
        return p;
    }

    Packet& From(uint32_t address, uint16_t port = kClientPort) {
        view_.srcAddr = address;
        if (!view_.isIcmp) view_.srcPort = port;
        return *this;
    }
    Packet& To(uint32_t address, uint16_t port = kServerPort) {
        view_.dstAddr = address;
        if (!view_.isIcmp) view_.dstPort = port;
        return *this;
    }
    Packet& ToPort(uint16_t port) {
        view_.dstPort = port;
        return *this;
    }
    Packet& Payload(uint32_t length) {
        view_.payloadLength = length;
        view_.packetLength = 40 + length;
        return *this;
    }

    const PacketView& view() const { return view_; }
    operator const PacketView&() const { return view_; }

  private:
    Packet() {
        view_.srcAddr = kClient;
        view_.dstAddr = kServer;
        view_.srcPort = kClientPort;
        view_.dstPort = kServerPort;
        view_.ttl = 64;
        view_.packetLength = 40;
    }
    PacketView view_;
};

inline RuleDefinition Rule(RuleKind kind, std::string name, uint64_t drop, uint64_t block = 0,
                           uint64_t parameter = 0) {
    RuleDefinition rule;
    rule.kind = static_cast<int32_t>(kind);
    rule.name = std::move(name);
    rule.enabled = true;
    rule.dropThreshold = drop;
    rule.blockThreshold = block;
    rule.parameter = parameter;
    return rule;
}

inline PortRuleDefinition PortRule(uint16_t port, uint64_t drop, uint64_t block = 0) {
    return PortRuleDefinition{true, port, drop, block};
}

struct PortRules {
    std::vector<PortRuleDefinition> pps = {};
    std::vector<PortRuleDefinition> size = {};
    std::vector<PortRuleDefinition> conn = {};
    std::vector<PortRuleDefinition> syn = {};
};

// One engine with TCP, UDP and ICMP protection on and reason texts enabled, and this
// thread's capture scratch emptied and set to kStart.
class RuleEngineTest : public ::testing::Test {
  protected:
    std::unique_ptr<RuntimeState> state;
    std::unique_ptr<PacketProcessor> engine;
    CaptureScratch& scratch = ThreadCaptureScratch();

    void SetUp() override { FreshEngine(); }

    // A new engine and host state, all protection and the packet log on, and this thread's
    // scratch emptied.
    void FreshEngine() {
        engine.reset();
        state = std::make_unique<RuntimeState>();
        engine = std::make_unique<PacketProcessor>(*state);
        scratch.counterShards.clear();
        scratch.processed = scratch.allowed = scratch.dropped = scratch.blocked = 0;
        scratch.batchTime = kStart;
        scratch.lastMerge = kStart;
        Configure(true, true, true, true, false);
    }

    RuleEngineState& rules() { return engine->ruleEngine; }
    // The engine counters with this thread's share added, as at the end of a worker's batch.
    RuleEngineState& flushedRules() {
        FlushEngineCounts(*engine, scratch.counterShards);
        return engine->ruleEngine;
    }
    RateShard& ShardOf(uint32_t address) { return rules().rateTable.ShardFor(address); }

    void Configure(bool tcp, bool udp, bool icmp, bool packetLog, bool statsLog) {
        AppConfig config;
        config.tcpEnabled = tcp;
        config.udpEnabled = udp;
        config.icmpEnabled = icmp;
        config.packetLogEnabled = packetLog;
        config.statsLogEnabled = statsLog;
        engine->ApplyConfig(config);
        DiscardQueuedLog();
    }

    // Reconfiguration logs a summary of the protected traffic; the rule tests look only at
    // what the rules log.
    void DiscardQueuedLog() {
        std::lock_guard lock(engine->logState.logQueueMutex);
        while (!engine->logState.logQueue.empty())
            engine->logState.logQueue.PopFront();
    }

    void SetTcpRules(const std::vector<RuleDefinition>& rules, const PortRules& ports = {}) {
        engine->SetRules(rules, ports.pps, ports.size, {}, ports.conn, ports.syn, {}, {});
    }
    // Each of these replaces every rule list (the others become empty).
    void SetUdpRules(const std::vector<RuleDefinition>& rules) {
        engine->SetRules({}, {}, {}, {}, {}, {}, rules, {});
    }
    void SetIcmpRules(const std::vector<RuleDefinition>& rules) {
        engine->SetRules({}, {}, {}, {}, {}, {}, {}, rules);
    }
    void SetAllRules(const std::vector<RuleDefinition>& tcp, const std::vector<RuleDefinition>& udp,
                     const std::vector<RuleDefinition>& icmp) {
        engine->SetRules(tcp, {}, {}, {}, {}, {}, udp, icmp);
    }

    // Merged TCP counts of the current window, as if the workers had merged them.
    void SeedTcp(uint32_t address, uint16_t port, uint64_t packets, uint64_t syns = 0) {
        RateShard& shard = ShardOf(address);
        std::lock_guard lock(shard.mutex);
        shard.ipPackets[address] = packets;
        shard.ipPortPackets[PackAddressPort(address, port)] = packets;
        if (syns != 0) {
            shard.ipSyns[address] = syns;
            shard.ipPortSyns[PackAddressPort(address, port)] = syns;
        }
    }

    // Established connections as connection tracking would report them.
    void SeedConnections(uint32_t address, uint16_t port, uint32_t toPort, uint32_t total) {
        ConnectionTables& tables = engine->connections;
        std::unique_lock lock(tables.connTableLock);
        if (total != 0) tables.connectionCountByAddress[address] = total;
        if (toPort != 0) {
            AddressPortKey key{};
            key.address = address;
            key.port = port;
            tables.connectionCountByAddressPort[key] = toPort;
        }
        tables.activeAddressCount = tables.connectionCountByAddress.size();
    }
    // Other addresses holding one connection each, so that `count` addresses hold some.
    void SeedEstablishedAddresses(uint32_t count) {
        ConnectionTables& tables = engine->connections;
        std::unique_lock lock(tables.connTableLock);
        for (uint32_t i = 0; tables.connectionCountByAddress.size() < count; ++i) {
            tables.connectionCountByAddress[Ip(172, 16, 0, 0) + i] = 1;
        }
        tables.activeAddressCount = tables.connectionCountByAddress.size();
    }

    VerdictResult Tcp(const PacketView& packet) {
        VerdictResult result;
        EvaluateTcp(*engine, result, packet);
        return result;
    }
    VerdictResult Udp(const PacketView& packet) {
        VerdictResult result;
        EvaluateUdp(*engine, result, packet);
        return result;
    }
    VerdictResult Icmp(const PacketView& packet) {
        VerdictResult result;
        EvaluateIcmp(*engine, result, packet);
        return result;
    }

    // Moves this thread's clock on by `ns` and merges its counts.
    bool AdvanceAndMerge(int64_t ns = kMergeIntervalNs) {
        scratch.batchTime += ns;
        return MergeWorkerBuffer(*engine, scratch, scratch.batchTime);
    }
};

// The "Rule: <name>" part of a reason, for checking which rule decided.
inline std::string RuleOf(const std::string& reason) {
    size_t start = reason.find("| Rule: ");
    if (start == std::string::npos) return {};
    start += 8;
    size_t end = reason.find(" | ", start);
    return reason.substr(start, end == std::string::npos ? std::string::npos : end - start);
}

}  // namespace bastion::testing_support
