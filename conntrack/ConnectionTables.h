// The engine's tables of established TCP connections, fed by flow events and reconciled
// with the operating system's TCP table.
//
// All tables are guarded by `connTableLock`. Writers (the flow thread, the cleanup thread,
// stop and reconfiguration) hold it exclusively; the packet path only try-acquires it
// shared (TryReadConnectionFacts) and treats a busy lock as "no connection facts for this
// packet". Lock order: the metrics mutex, `flowTableLock` and the idle tracker's lock may
// be taken while `connTableLock` is held, never the reverse.
//
// Invariants whenever the lock is free: connectionCountByAddress[a] is the number of keys of
// inboundConnections with remote address a; connectionCountByAddressPort[(a, p)] the number
// with remote a and local port p; portsByAddress[a] holds exactly the ports p with a
// non-zero connectionCountByAddressPort[(a, p)]; connectionsByAddress[a] holds exactly the
// inbound keys of a, the key of entry e at index e.addressSlot; activeAddressCount is the
// size of connectionCountByAddress. Addresses and ports are in host byte order.
//
// Every map is keyed by attacker-chosen values and hashed with the process's secret key.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <shared_mutex>
#include <type_traits>
#include <vector>

#include "engine/FlatHashMap.h"
#include "engine/PacketPathLocks.h"

namespace bastion {

// An inbound connection, seen from this machine.
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

// The keyed hash reads every byte of a key: these two must have no padding.
static_assert(std::has_unique_object_representations_v<ConnectionKey>);
static_assert(std::has_unique_object_representations_v<OutboundKey>);

struct ConnectionEntry {
    uint8_t protocol = 6;
    // Inbound entries: index of the key in connectionsByAddress[remoteAddr], so that a
    // closing connection leaves its address's list in constant time however many
    // connections the address holds.
    uint32_t addressSlot = 0;
    int64_t firstSeen = 0;  // steady-clock ns
    int64_t lastSeen = 0;   // steady-clock ns
};

struct AddressPortKey {
    uint32_t address = 0;
    uint16_t port = 0;
    bool operator==(const AddressPortKey&) const = default;
};

// AddressPortKey has two bytes of padding whose value aggregate initialisation leaves
// open; hash the fields, not the bytes. Packed as the rate table packs (source, port), so
// that the rule engine's hash of a packet's (source, port) serves both tables.
template <>
struct KeyedHasher<AddressPortKey> {
    size_t operator()(const AddressPortKey& key) const noexcept {
        return static_cast<size_t>(KeyedHash64(uint64_t{key.address} | uint64_t{key.port} << 32));
    }
};

struct ConnectionTables {
    // Every packet try-acquires it shared: readers announce themselves on lines of their
    // own rather than all bouncing one lock word between the capture cores.
    ReaderSlotSharedMutex connTableLock;
    FlatHashMap<ConnectionKey, ConnectionEntry> inboundConnections;
    FlatHashMap<uint32_t, std::vector<ConnectionKey>> connectionsByAddress;
    FlatHashMap<uint32_t, std::vector<uint16_t>> portsByAddress;
    FlatHashMap<uint32_t, uint32_t> connectionCountByAddress;
    FlatHashMap<AddressPortKey, uint32_t> connectionCountByAddressPort;
    FlatHashMap<OutboundKey, ConnectionEntry> outboundConnections;
    FlatHashMap<uint32_t, uint32_t> outboundCountByAddress;
    // Written under the exclusive lock; atomic so that the metrics publication, which runs
    // after the lock is released, reads the latest value rather than its own stale copy.
    std::atomic<uint64_t> activeAddressCount{0};
};

// What the rate rules know about a packet's source from the connection tables.
struct ConnectionFacts {
    uint32_t addressConnections = 0;      // connectionCountByAddress[source]
    uint32_t addressPortConnections = 0;  // connectionCountByAddressPort[(source, port)]
    uint64_t activeAddresses = 0;         // activeAddressCount
};

// The packet path's one read of the tables: a shared try-acquire of connTableLock, three
// lookups, release. Returns false, leaving `facts` untouched, when a writer holds the lock:
// the packet is then judged without connection facts rather than made to wait.
inline bool TryReadConnectionFacts(ConnectionTables& tables, uint32_t source, uint16_t localPort,
                                   ConnectionFacts& facts) {
    std::shared_lock lock(tables.connTableLock, std::try_to_lock);
    if (!lock.owns_lock()) return false;
    const uint32_t* perAddress = tables.connectionCountByAddress.find(source);
    const uint32_t* perPort =
        tables.connectionCountByAddressPort.find(AddressPortKey{source, localPort});
    facts.addressConnections = perAddress != nullptr ? *perAddress : 0;
    facts.addressPortConnections = perPort != nullptr ? *perPort : 0;
    facts.activeAddresses = tables.activeAddressCount.load(std::memory_order_relaxed);
    return true;
}

}  // namespace bastion
