// The ICMP evaluator: counts every ICMP packet server-wide and echo requests per source,
// derives rates over the last metrics period and walks the ICMP rule list in order; the
// first test that fires decides. Rates fire at their threshold (>=), compared as doubles;
// a threshold of 0 switches its test off.
#include <algorithm>
#include <mutex>
#include <type_traits>

#include "capture/CaptureScratch.h"
#include "engine/PacketProcessor.h"
#include "rules/Counters.h"
#include "rules/Evaluators.h"
#include "rules/ReasonText.h"
#include "services/Log.h"

namespace bastion {

namespace {

constexpr uint8_t kIcmpEchoRequest = 8;

bool IcmpProtectionOn(const PacketProcessor& engine) {
    return engine.ruleEngine.icmpEnabled.load(std::memory_order_relaxed);
}

bool AtOrAbove(double value, uint64_t threshold) {
    return threshold != 0 && value >= static_cast<double>(threshold);
}

}  // namespace

VerdictResult& EvaluateIcmp(PacketProcessor& engine, VerdictResult& result,
                            const PacketView& packet, SourceChecks checks) {
    result.verdict = Verdict::Allow;
    result.reason.clear();
    if (!IcmpProtectionOn(engine)) return result;

    RuleEngineState& state = engine.ruleEngine;
    RateTable& table = state.rateTable;
    const uint32_t source = packet.srcAddr;
    const uint64_t length = packet.payloadLength;
    const bool echoRequest = packet.icmpType == kIcmpEchoRequest;
    static_assert(std::is_same_v<decltype(RateShard::icmpIpStats)::hasher, AddressCounts::hasher>);
    const size_t sourceHash = AddressCounts::hash_of(source);
    if (checks == SourceChecks::InEvaluator && IsLocalSource(engine, source, sourceHash)) {
        return result;
    }

    const uint64_t totalPackets = state.icmpPackets.fetch_add(1, std::memory_order_relaxed) + 1;
    const uint64_t totalBytes =
        state.icmpBytes.fetch_add(length, std::memory_order_relaxed) + length;

    // Echo requests are counted per source; every type reads the source's figures. Both
    // under one hold of the shard; a busy shard reads as zero.
    uint64_t sourcePackets = 0;
    uint64_t sourceBytes = 0;
    {
        RateShard& shard = table.ShardFor(source);
        std::unique_lock lock(shard.mutex, std::try_to_lock);
        if (lock.owns_lock()) {
            if (echoRequest) {
                auto [stats, inserted] = shard.icmpIpStats.try_emplace_hashed(source, sourceHash);
                if (inserted) table.icmpSourceTotal.fetch_add(1, std::memory_order_relaxed);
                stats->packets += 1;
                stats->bytes += length;
                stats->lastSeen = ThreadCaptureScratch().batchTime;
                sourcePackets = stats->packets;
                sourceBytes = stats->bytes;
            } else if (const IcmpSourceStats* stats =
                           shard.icmpIpStats.find_hashed(source, sourceHash)) {
                sourcePackets = stats->packets;
                sourceBytes = stats->bytes;
            }
        }
    }

    const uint64_t sources = IcmpSourceCount(engine);

    const double window =
        std::max(state.icmpMetricsInterval.load(std::memory_order_relaxed), 0.001);
    const double sourcePacketRate = static_cast<double>(sourcePackets) / window;
    const double sourceByteRate = static_cast<double>(sourceBytes) / window;
    const double totalPacketRate = static_cast<double>(totalPackets) / window;
    const double totalByteRate = static_cast<double>(totalBytes) / window;

    const bool withText = state.reasonTextEnabled.load(std::memory_order_relaxed);
    auto fire = [&](Verdict verdict, const RuleDefinition& rule, uint64_t value) {
        result.verdict = verdict;
        if (!withText) return;
        if (verdict == Verdict::BlockSource) {
            AppendIcmpBlockReason(result.reason, packet, rule.name, value, rule.blockThreshold);
        } else {
            AppendIcmpDropReason(result.reason, packet, rule.name, value, rule.dropThreshold);
        }
    };
    auto judge = [&]() {
        for (const RuleDefinition& rule : *engine.activeIcmpRules.Read()) {
            switch (static_cast<RuleKind>(rule.kind)) {
                case RuleKind::IcmpIpPacketRate:
                    if (!echoRequest) break;
                    if (AtOrAbove(sourcePacketRate, rule.blockThreshold)) {
                        return fire(Verdict::BlockSource, rule, TruncatedValue(sourcePacketRate));
                    }
                    if (AtOrAbove(sourcePacketRate, rule.dropThreshold)) {
                        return fire(Verdict::Drop, rule, TruncatedValue(sourcePacketRate));
                    }
                    break;
                case RuleKind::IcmpTotalPacketRate:
                    if (AtOrAbove(totalPacketRate, rule.dropThreshold)) {
                        return fire(Verdict::Drop, rule, TruncatedValue(totalPacketRate));
                    }
                    break;
                case RuleKind::IcmpIpByteRate:
                    if (AtOrAbove(sourceByteRate, rule.blockThreshold)) {
                        return fire(Verdict::BlockSource, rule, TruncatedValue(sourceByteRate));
                    }
                    if (AtOrAbove(sourceByteRate, rule.dropThreshold)) {
                        return fire(Verdict::Drop, rule, TruncatedValue(sourceByteRate));
                    }
                    break;
                case RuleKind::IcmpTotalByteRate:
                    if (AtOrAbove(totalByteRate, rule.dropThreshold)) {
                        return fire(Verdict::Drop, rule, TruncatedValue(totalByteRate));
                    }
                    break;
                case RuleKind::IcmpSourceCount:
                    if (rule.dropThreshold != 0 && sources >= rule.dropThreshold) {
                        return fire(Verdict::Drop, rule, sources);
                    }
                    break;
                default:
                    break;
            }
        }
    };
    judge();
    // Statistics logging reports ICMP violations here as well as through the verdict
    // bookkeeping, so with both logs on each one is written twice.
    if (!result.reason.empty() && engine.logState.statsLogEnabled.load(std::memory_order_relaxed)) {
        EmitLogEvent(engine, std::string(result.reason));
    }
    return result;
}

}  // namespace bastion
