// The rule evaluators: one per protocol, each judging one inbound packet whose source is
// neither local nor on the host's allow or block list.
//
// Each fills `result` (Allow with an empty reason unless a rule fired) and returns it. All
// capture workers call them at once: every shared table is taken with a try-lock, a busy
// lock makes the value read as zero so the packet errs towards passing, and counting goes
// to the calling thread's CaptureScratch. The current time is the scratch's batchTime.
#pragma once

#include <cstdint>

#include "capture/PacketView.h"
#include "rules/Verdict.h"

namespace bastion {

class PacketProcessor;

// Who checks the source against the own-address sets and the host's allow and block lists.
// The capture worker checks every packet before it picks an evaluator and only hands over
// sources that are none of these, so the evaluators need not repeat four lookups per
// packet; any other caller leaves the checks to the evaluator.
enum class SourceChecks : uint8_t {
    InEvaluator,
    DoneByCaller,
};

// The TCP rate rules, per-port limits and the host's lists, in their fixed order.
VerdictResult& EvaluateTcp(PacketProcessor& engine, VerdictResult& result, const PacketView& packet,
                           SourceChecks checks = SourceChecks::InEvaluator);

// The UDP rule list, walked in list order.
VerdictResult& EvaluateUdp(PacketProcessor& engine, VerdictResult& result, const PacketView& packet,
                           SourceChecks checks = SourceChecks::InEvaluator);

// The ICMP rule list, walked in list order.
VerdictResult& EvaluateIcmp(PacketProcessor& engine, VerdictResult& result,
                            const PacketView& packet,
                            SourceChecks checks = SourceChecks::InEvaluator);

}  // namespace bastion
