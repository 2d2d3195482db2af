// The UDP evaluator: counts the packet per source and per flow, derives per-source and
// server-wide rates over the last metrics period and walks the UDP rule list in order;
// the first test that fires decides. Rates fire at their threshold (>=), compared as
// doubles; a threshold of 0 switches its test off.
#include <algorithm>
#include <mutex>

#include "capture/CaptureScratch.h"
#include "engine/PacketProcessor.h"
#include "rules/Counters.h"
#include "rules/Evaluators.h"
#include "rules/ReasonText.h"

namespace bastion {

namespace {

bool UdpProtectionOn(const PacketProcessor& engine) {
    return engine.ruleEngine.udpEnabled.load(std::memory_order_relaxed);
}

bool AtOrAbove(double value, uint64_t threshold) {
    return threshold != 0 && value >= static_cast<double>(threshold);
}

}  // namespace

VerdictResult& EvaluateUdp(PacketProcessor& engine, VerdictResult& result, const PacketView& packet,
                           SourceChecks checks) {
    result.verdict = Verdict::Allow;
    result.reason.clear();
    if (!UdpProtectionOn(engine)) return result;

    RuleEngineState& state = engine.ruleEngine;
    RateTable& table = state.rateTable;
    const uint32_t source = packet.srcAddr;
    const uint64_t length = packet.payloadLength;
    const size_t sourceHash = AddressCounts::hash_of(source);
    if (checks == SourceChecks::InEvaluator && IsLocalSource(engine, source, sourceHash)) {
        return result;
    }

    // Count and read back under one hold of the shard. A busy shard leaves the packet
    // uncounted there and the source reads as having no packets in this window.
    uint64_t sourcePackets = 0;
    uint64_t sourceBytes = 0;
    bool seenBefore = false;
    {
        RateShard& shard = table.ShardFor(source);
        std::unique_lock lock(shard.mutex, std::try_to_lock);
        if (lock.owns_lock()) {
            auto [packets, inserted] = shard.udpIpPackets.try_emplace_hashed(source, sourceHash);
            if (inserted) table.udpSourceTotal.fetch_add(1, std::memory_order_relaxed);
            seenBefore = *packets != 0;
            sourcePackets = *packets += 1;
            sourceBytes = *shard.udpIpBytes.try_emplace_hashed(source, sourceHash).first += length;

            const int64_t now = ThreadCaptureScratch().batchTime;
            UdpFlowEntry& flow =
                shard.udpFlows[PackUdpFlow(source, packet.srcPort, packet.dstPort)];
            if (flow.packets == 0) flow.firstSeen = now;
            flow.lastSeen = now;
            flow.packets += 1;
            flow.bytes += length;
        }
    }
    const uint64_t totalPackets = state.udpPackets.fetch_add(1, std::memory_order_relaxed) + 1;
    const uint64_t totalBytes =
        state.udpBytes.fetch_add(length, std::memory_order_relaxed) + length;

    const uint64_t sources = UdpSourceCount(engine);

    const double window = std::max(state.udpMetricsInterval.load(std::memory_order_relaxed), 0.001);
    const double sourcePacketRate = static_cast<double>(sourcePackets) / window;
    const double sourceByteRate = static_cast<double>(sourceBytes) / window;
    const double totalPacketRate = static_cast<double>(totalPackets) / window;
    const double totalByteRate = static_cast<double>(totalBytes) / window;

    const bool withText = state.reasonTextEnabled.load(std::memory_order_relaxed);
    auto block = [&](const RuleDefinition& rule, double value) {
        result.verdict = Verdict::BlockSource;
        if (withText) {
            AppendUdpBlockReason(result.reason, packet, rule.name, TruncatedValue(value),
                                 rule.blockThreshold);
        }
    };
    auto drop = [&](const RuleDefinition& rule, double value) {
        result.verdict = Verdict::Drop;
        if (withText) {
            AppendUdpDropReason(result.reason, packet, rule.name, TruncatedValue(value),
                                rule.dropThreshold);
        }
    };

    for (const RuleDefinition& rule : *engine.activeUdpRules.Read()) {
        switch (static_cast<RuleKind>(rule.kind)) {
            case RuleKind::UdpIpPacketRate:
                if (AtOrAbove(sourcePacketRate, rule.blockThreshold)) {
                    block(rule, sourcePacketRate);
                    return result;
                }
                if (AtOrAbove(sourcePacketRate, rule.dropThreshold)) {
                    drop(rule, sourcePacketRate);
                    return result;
                }
                break;
            case RuleKind::UdpTotalPacketRate:
                if (AtOrAbove(totalPacketRate, rule.dropThreshold)) {
                    drop(rule, totalPacketRate);
                    return result;
                }
                break;
            case RuleKind::UdpIpByteRate:
                if (AtOrAbove(sourceByteRate, rule.blockThreshold)) {
                    block(rule, sourceByteRate);
                    return result;
                }
                if (AtOrAbove(sourceByteRate, rule.dropThreshold)) {
                    drop(rule, sourceByteRate);
                    return result;
                }
                break;
            case RuleKind::UdpTotalByteRate:
                if (AtOrAbove(totalByteRate, rule.dropThreshold)) {
                    drop(rule, totalByteRate);
                    return result;
                }
                break;
            case RuleKind::UdpNewSourceLimit:
                // Established UDP clients keep passing; only sources new in this window are
                // turned away while the server already sees many.
                if (!seenBefore && AtOrAbove(static_cast<double>(sources), rule.dropThreshold)) {
                    result.verdict = Verdict::Drop;
                    if (withText) {
                        AppendUdpNewSourceReason(result.reason, packet, rule.name, sources,
                                                 rule.dropThreshold);
                    }
                    return result;
                }
                break;
            default:
                break;
        }
    }
    return result;
}

}  // namespace bastion
