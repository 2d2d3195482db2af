// The TCP option scanner: a summary of the options of a SYN, for the packet view and the
// signature learner.
#pragma once

#include <cstddef>
#include <cstdint>

namespace bastion {

struct TcpOptionSummary {
    uint16_t mss = 0;             // MSS option value (kind 2, length 4), network order decoded
    uint8_t optionCount = 0;      // options other than NOP and end-of-list
    bool hasWindowScale = false;  // kind 3, length 3
    bool hasTimestamps = false;   // kind 8, length 10
};

// Scans the options of the TCP header at `tcpHeader`, of which `available` bytes may be
// read. The option area is the bytes after the 20-byte fixed header up to the header's data
// offset, cut to what is available; at most 40 bytes are walked. A malformed option (no room
// for its length byte, a length below 2 or one that runs past the area) ends the walk, so a
// short or hostile header yields a partial summary, never a read outside the area.
TcpOptionSummary ScanTcpOptions(const uint8_t* tcpHeader, size_t available);

}  // namespace bastion
