// One record of the host's packet log (the operator's log viewer).
#pragma once

#include <cstdint>
#include <string>

namespace bastion {

struct PacketLogEntry {
    // Wall-clock time in 100-ns ticks since 1970-01-01 00:00 UTC.
    int64_t time = 0;
    // The log text, UTF-8, without time stamp or line end.
    std::string text;
    // Host-only: position in the host's log, assigned by ThreadSafeLog::Push (1, 2, ...);
    // lets viewers ask for the entries after the last one they saw.
    uint64_t sequence = 0;
};

}  // namespace bastion
