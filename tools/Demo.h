// `bastion demo`: the full engine on the simulated network under a scenario of
// legitimate users and attacks, with a line per second and a summary at the end.
//
// Every figure comes from what the simulated network saw: a packet offered by the
// generator counts as delivered only when the network handed it to the local stack; the
// engine's own figures (rate, connections) are read from its metrics, the blocked
// sources from the host's block list, the reasons from the log lines it wrote.
//
// Thread-safety: RunDemo runs on the calling thread (and the generator's and engine's).
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <ostream>
#include <string>

#include "host/IPacketProcessor.h"
#include "tools/EngineSession.h"
#include "tools/Scenario.h"
#include "tools/TrafficClass.h"

namespace bastion::tools {

struct DemoOptions {
    Scenario scenario;
    unsigned threads = 1;      // generator threads
    double holdSeconds = 2.0;  // how long legitimate connections stay open
};

struct DemoResult {
    std::array<uint64_t, kTrafficClassCount> offered{}, delivered{};
    uint64_t legitimateOffered = 0, legitimateDelivered = 0;
    uint64_t attackOffered = 0, attackDropped = 0;
    uint64_t sourcesBlocked = 0;
    std::map<std::string, uint64_t> reasons;  // log lines per rule or message
    uint64_t logLines = 0;
    uint64_t logEventsLost = 0;
    uint64_t queueLoss = 0;

    double LegitimateDeliveredPercent() const;
    double AttackDroppedPercent() const;
};

// Runs the scenario; prints the lines and the summary on `out`. Returns 0, or 1 with the
// message on `err` when the engine cannot run.
int RunDemo(const DemoOptions& options, const HostConfig& setup, PacketProcessorFactory factory,
            PacketProcessorDestroyer destroyer, std::ostream& out, std::ostream& err,
            DemoResult* result = nullptr);

}  // namespace bastion::tools
