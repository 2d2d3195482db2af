// The engine's tables of established TCP connections, fed by flow events and reconciled
// with the operating system's TCP table.
//
// All tables are guarded by `connTableLock`. Writers (the flow thread, the cleanup thread,
// stop and reconfiguration) hold it exclusively; the packet path only try-acquires it
// shared and treats a busy lock as "no connection facts for this packet".
// Lock order: the metrics mutex, `flowTableLock` and the idle tracker's lock may be taken
// while `connTableLock` is held, never the reverse.
//
// Invariants whenever the lock is free: connectionCountByAddress[a] is the number of keys of
// inboundConnections with remote address a; connectionCountByAddressPort[(a, p)] the number
// with remote a and local port p; portsByAddress[a] holds exactly the ports p with a
// non-zero connectionCountByAddressPort[(a, p)]; activeAddressCount is the size of
// connectionCountByAddress. Addresses and ports are in host byte order.
#pragma once

#include <atomic>
#include <cstdint>
#include <shared_mutex>
#include <vector>

#include "engine/FlatHashMap.h"

namespace bastion {

// An inbound connection, seen from this machine. Value-initialise before filling: the
// padding takes part in hashing.
struct ConnectionKey {
    uint32_t remoteAddr = 0;
    uint32_t localAddr = 0;
    uint16_t remotePort = 0;
    uint16_t localPort = 0;
    bool operator==(const ConnectionKey&) const = default;
};

// A connection opened by this machine.
struct OutboundKey {
    uint32_t localAddr = 0;
    uint32_t remoteAddr = 0;
    uint16_t localPort = 0;
    uint16_t remotePort = 0;
    bool operator==(const OutboundKey&) const = default;
};

struct ConnectionEntry {
    uint8_t protocol = 6;
    int64_t firstSeen = 0;  // steady-clock ns
    int64_t lastSeen = 0;   // steady-clock ns
};

struct AddressPortKey {
    uint32_t address = 0;
    uint16_t port = 0;
    bool operator==(const AddressPortKey&) const = default;
};

struct ConnectionTables {
    std::shared_mutex connTableLock;
    FlatHashMap<ConnectionKey, ConnectionEntry> inboundConnections;
    FlatHashMap<uint32_t, std::vector<ConnectionKey>> connectionsByAddress;
    FlatHashMap<uint32_t, std::vector<uint16_t>> portsByAddress;
    FlatHashMap<uint32_t, uint32_t> connectionCountByAddress;
    FlatHashMap<AddressPortKey, uint32_t> connectionCountByAddressPort;
    FlatHashMap<OutboundKey, ConnectionEntry> outboundConnections;
    FlatHashMap<uint32_t, uint32_t> outboundCountByAddress;
    uint64_t activeAddressCount = 0;
};

}  // namespace bastion
