// `bastion replay`: a capture fed through the full engine on the simulated network,
// paced by its time stamps.
//
// Packets to a server address go in as inbound traffic, packets from one as outbound
// (the server's replies, which the engine watches but does not judge); everything else is
// ignored. An inbound packet counts as passed when the simulated network delivered it to
// the local stack, as dropped otherwise (by the engine, by one of its driver filters, or
// lost in its queue, which the report counts separately). The server's TCP connections
// are played to the engine's flow layer as the operating system would raise them: a
// connection is established when the client's ACK that follows the server's SYN-ACK is
// delivered, and ends with a delivered FIN or RST.
//
// Thread-safety: RunReplay runs on the calling thread (and the engine's threads).
#pragma once

#include <cstdint>
#include <map>
#include <ostream>
#include <string>
#include <vector>

#include "host/IPacketProcessor.h"
#include "tools/EngineSession.h"

namespace bastion::tools {

struct ReplayOptions {
    std::string capturePath;
    // Addresses of the protected server (host order); empty = the capture's most frequent
    // IPv4 destination.
    std::vector<uint32_t> servers;
    double speed = 1.0;       // 2 = twice as fast as captured; must be above 0
    std::string reportPath;   // JSON report; empty = none
    std::string passedPath;   // capture of the passed packets (and the server's); empty = none
    std::string droppedPath;  // capture of the dropped packets; empty = none
    size_t topSources = 10;
};

struct ReplayReport {
    std::vector<uint32_t> servers;
    uint64_t frames = 0;
    uint64_t ignored = 0;   // neither to nor from a server, not IPv4, or cut short
    uint64_t outbound = 0;  // from a server
    uint64_t inbound = 0;   // to a server
    uint64_t passed = 0;    // inbound, delivered to the server
    uint64_t dropped = 0;   // inbound, not delivered (all causes below included)
    uint64_t droppedByDriverFilters = 0;
    uint64_t droppedFromBlockedSources = 0;   // of `dropped`: sources on the block list at the end
    uint64_t queueLoss = 0;                   // lost in the engine's queues (overflow, age, size)
    std::map<std::string, uint64_t> reasons;  // log lines per rule or message
    std::vector<std::pair<uint32_t, uint64_t>> topSources;  // most drops first
    std::vector<uint32_t> blockedSources;
    std::vector<std::string> logLines;
    uint64_t logEventsLost = 0;

    std::string ToJsonText() const;
};

// Runs the replay and prints a summary on `out`. Returns 0 on success, 2 when the capture
// cannot be read (the message on `err`), 1 when the engine cannot run or an output file
// cannot be written. `report` receives the figures when not null.
int RunReplay(const ReplayOptions& options, const HostConfig& setup, PacketProcessorFactory factory,
              PacketProcessorDestroyer destroyer, std::ostream& out, std::ostream& err,
              ReplayReport* report = nullptr);

}  // namespace bastion::tools
