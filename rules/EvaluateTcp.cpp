// The TCP evaluator: a fixed sequence of threshold tests in which the first test that fires
// decides. Rate and size tests fire strictly above their threshold; connection counts and
// the window-wide SYN and packet totals fire at it. A threshold of 0 switches its test off.
#include <mutex>

#include "capture/CaptureScratch.h"
#include "engine/PacketProcessor.h"
#include "rules/Counters.h"
#include "rules/Evaluators.h"
#include "rules/ReasonText.h"

namespace bastion {

namespace {

struct TcpJudge {
    PacketProcessor& engine;
    const PacketView& packet;
    VerdictResult& result;
    const RateSnapshot& snapshot;
    ConnectionCountCache& connections;
    // This worker's packets not yet added to the engine counters: the window-wide totals
    // the rules compare include them, as they would had every packet been added at once.
    const WorkerEngineCounts& pending;
    bool pureSyn;
    bool synFlag;
    // The connection facts some rule of this packet may read. The first test that needs
    // one fetches them all under one hold of the connection table's lock.
    bool wantIp = false;
    bool wantIpPort = false;
    bool wantTotal = false;
    // The packet's destination port limits; null when the port has none.
    const PortLimits* portLimits = nullptr;

    void LoadConnections() { connections.Load(wantIp, wantIpPort, wantTotal); }

    bool Fire(Verdict verdict, TcpTest test, std::string_view ruleName, TcpMeasure measure) {
        result.verdict = verdict;
        SetTcpReason(engine, result, packet, test, ruleName, measure);
        return true;
    }

    // A block test and a drop test on one unsigned value; `atThreshold` selects >= over >.
    // `dropAllowed` gates only the drop test.
    bool Thresholds(TcpTest test, std::string_view ruleName, uint64_t value, uint64_t block,
                    uint64_t drop, bool atThreshold, bool dropAllowed = true) {
        auto exceeds = [&](uint64_t limit) {
            return limit != 0 && (atThreshold ? value >= limit : value > limit);
        };
        if (exceeds(block)) return Fire(Verdict::BlockSource, test, ruleName, {value, block, 0});
        if (dropAllowed && exceeds(drop)) {
            return Fire(Verdict::Drop, test, ruleName, {value, drop, 0});
        }
        return false;
    }

    // The address-wide and server-wide rules, kind by kind in the evaluation order, each
    // kind's rules in list order. True when one fired.
    bool RuleKinds(const KindRuleMap& kinds) {
        for (const RuleDefinition& rule : kinds.Rules(RuleKind::IpPacketRate)) {
            if (Thresholds(TcpTest::IpPacketRate, rule.name, snapshot.ipPackets,
                           rule.blockThreshold, rule.dropThreshold, false)) {
                return true;
            }
        }
        const auto& established = kinds.Rules(RuleKind::IpEstablished);
        if (!established.empty()) {
            LoadConnections();
            for (const RuleDefinition& rule : established) {
                // Without the SYN flag a reached drop threshold passes the packet over:
                // only new connection attempts are turned away.
                if (Thresholds(TcpTest::IpEstablished, rule.name, connections.ipConnections,
                               rule.blockThreshold, rule.dropThreshold, true, synFlag)) {
                    return true;
                }
            }
        }
        for (const RuleDefinition& rule : kinds.Rules(RuleKind::PayloadSize)) {
            uint64_t limit = rule.dropThreshold != 0 ? rule.dropThreshold : rule.parameter;
            if (limit != 0 && packet.payloadLength > limit) {
                return Fire(Verdict::Drop, TcpTest::PayloadSize, rule.name,
                            {packet.payloadLength, limit, 0});
            }
        }
        if (pureSyn) {
            for (const RuleDefinition& rule : kinds.Rules(RuleKind::IpSynRate)) {
                if (Thresholds(TcpTest::IpSynRate, rule.name, snapshot.ipSyns, rule.blockThreshold,
                               rule.dropThreshold, false)) {
                    return true;
                }
            }
            const auto& windowSyn = kinds.Rules(RuleKind::WindowSynTotal);
            if (!windowSyn.empty()) {
                uint64_t allowedSyns =
                    engine.ruleEngine.validSynWindow.value.load(std::memory_order_relaxed) +
                    pending.validSyns;
                for (const RuleDefinition& rule : windowSyn) {
                    if (Thresholds(TcpTest::WindowSynTotal, rule.name, allowedSyns, 0,
                                   rule.dropThreshold, true)) {
                        return true;
                    }
                }
            }
        }
        const auto& global = kinds.Rules(RuleKind::GlobalPacketRate);
        if (!global.empty()) {
            auto evaluated = [this] {
                return engine.ruleEngine.evaluatedPackets.value.load(std::memory_order_relaxed) +
                       pending.evaluated;
            };
            double rate = static_cast<double>(evaluated());
            for (const RuleDefinition& rule : global) {
                double limit = static_cast<double>(rule.dropThreshold);
                if (limit > 0 && rate >= limit) {
                    return Fire(Verdict::Drop, TcpTest::GlobalPacketRate, rule.name,
                                {TruncatedValue(rate), rule.dropThreshold, evaluated()});
                }
            }
        }
        const auto& establishedTotal = kinds.Rules(RuleKind::EstablishedIpTotal);
        if (!establishedTotal.empty()) {
            LoadConnections();
            // Only new clients are turned away: a source that already holds a connection
            // keeps passing however busy the server is.
            bool newClient = synFlag && connections.ipConnections == 0;
            for (const RuleDefinition& rule : establishedTotal) {
                if (Thresholds(TcpTest::EstablishedIpTotal, rule.name,
                               connections.establishedIpCount, 0, rule.dropThreshold, true,
                               newClient)) {
                    return true;
                }
            }
        }
        return false;
    }

    // The per-destination-port limits. True when one fired.
    bool PortLimitTests() {
        if (portLimits == nullptr) return false;
        if (const PortRuleDefinition* rule = portLimits->pps) {
            if (Thresholds(TcpTest::PortPps, {}, snapshot.ipPortPackets, rule->blockThreshold,
                           rule->dropThreshold, false)) {
                return true;
            }
        }
        if (wantIpPort) {
            LoadConnections();
            if (Thresholds(TcpTest::PortConn, {}, connections.ipPortConnections,
                           portLimits->conn->blockThreshold, portLimits->conn->dropThreshold, true,
                           synFlag)) {
                return true;
            }
        }
        if (const PortRuleDefinition* rule = portLimits->size) {
            if (Thresholds(TcpTest::PortSize, {}, packet.payloadLength, rule->blockThreshold,
                           rule->dropThreshold, false)) {
                return true;
            }
        }
        if (synFlag) {
            if (const PortRuleDefinition* rule = portLimits->syn) {
                if (Thresholds(TcpTest::PortSyn, {}, snapshot.ipPortSyns, rule->blockThreshold,
                               rule->dropThreshold, true)) {
                    return true;
                }
            }
        }
        return false;
    }
};

bool TcpProtectionOn(const PacketProcessor& engine) {
    return engine.ruleEngine.tcpEnabled.load(std::memory_order_relaxed);
}

// The rule and port-limit tests of one counted packet.
void JudgeTcp(PacketProcessor& engine, VerdictResult& result, const PacketView& packet,
              const RuleCaches& caches, const SourceKeys& keys, const WorkerEngineCounts& counts,
              bool pureSyn, bool synFlag) {
    // SYN counts are read by SYN-flag tests only.
    const RateSnapshot snapshot =
        caches.tcpReadsRateCounts ? ReadSnapshot(engine, keys, synFlag) : RateSnapshot{};
    ConnectionCountCache connections(engine.connections, keys);

    TcpJudge judge{engine, packet, result, snapshot, connections, counts, pureSyn, synFlag};
    judge.wantTotal = caches.rulesByKind.Has(RuleKind::EstablishedIpTotal);
    judge.wantIp = judge.wantTotal || caches.rulesByKind.Has(RuleKind::IpEstablished);
    judge.portLimits = caches.portLimits.Find(packet.dstPort);
    const PortRuleDefinition* portConn = judge.portLimits ? judge.portLimits->conn : nullptr;
    judge.wantIpPort =
        portConn != nullptr && (portConn->dropThreshold != 0 || portConn->blockThreshold != 0);
    if (!judge.RuleKinds(caches.rulesByKind)) judge.PortLimitTests();
}

}  // namespace

VerdictResult& EvaluateTcp(PacketProcessor& engine, VerdictResult& result, const PacketView& packet,
                           SourceChecks checks) {
    result.verdict = Verdict::Allow;
    result.reason.clear();
    if (!TcpProtectionOn(engine)) return result;

    const bool pureSyn = IsPureSyn(packet);
    const bool synFlag = (packet.tcpFlags & tcp_flags::kSyn) != 0;
    const bool checkSource = checks == SourceChecks::InEvaluator;

    const uint32_t address = packet.srcAddr;
    if (checkSource && IsLocalSource(engine, address, AddressCounts::hash_of(address))) {
        return result;
    }
    // Counting needs only the (source, port) key; the source's own hash is computed when a
    // test reads the shared tables.
    const uint64_t addressPort = PackAddressPort(address, packet.dstPort);
    const size_t addressPortHash = AddressPortCounts::hash_of(addressPort);

    // The shared tables' headers are needed after this thread's own counting when TCP tests
    // are configured; fetch them now so that their misses overlap it. Without any test they
    // would only crowd the cache (the hint may lag a new rule set by a packet: it only
    // decides this).
    if (engine.ruleEngine.tcpTestsHint.load(std::memory_order_relaxed)) {
        __builtin_prefetch(&engine.ruleEngine.rateTable.ShardFor(address));
        __builtin_prefetch(&engine.connections.connectionCountByAddress);
    }

    WorkerCounterShards& counters = ThreadCaptureScratch().counterShards;
    WorkerEngineCounts& counts = counters.engineCounts;
    ++counts.evaluated;
    if (pureSyn) ++counts.syns;
    CountPacket(counters, address, addressPort, addressPortHash, pureSyn);

    // Without a TCP rule or port limit the packet is only counted.
    const RuleCaches& caches = *engine.ruleCaches.Read();
    if (caches.tcpHasTests) {
        const SourceKeys keys(address, packet.dstPort, addressPortHash);
        JudgeTcp(engine, result, packet, caches, keys, counts, pureSyn, synFlag);
    }

    if (checkSource && result.verdict == Verdict::Allow) {
        const IpListManager& lists = engine.runtimeState.ipLists;
        if (!lists.IsAllowedLockFree(packet.srcAddr) && lists.IsBlockedLockFree(packet.srcAddr)) {
            result.verdict = Verdict::Drop;
            result.reason.clear();
        }
    }

    if (pureSyn && result.verdict == Verdict::Allow) ++counts.validSyns;
    return result;
}

}  // namespace bastion
