// Changes to the connection tables, each keeping every invariant of ConnectionTables.h.
//
// The caller holds `connTableLock` exclusively and publishes `activeAddressCount` to the
// metrics after releasing it when an operation reports that the set of addresses changed.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "conntrack/ConnectionTables.h"
#include "engine/FlatHashMap.h"

namespace bastion {

struct InboundChange {
    bool added = false;              // the key was not tracked before
    bool removed = false;            // the key was tracked and is gone
    bool addressSetChanged = false;  // an address gained its first or lost its last connection
};

// Tracks `key` as established at `now`, or refreshes its lastSeen when already tracked.
InboundChange AddInboundConnection(ConnectionTables& tables, const ConnectionKey& key, int64_t now);

// Stops tracking `key`; nothing happens when it is not tracked.
InboundChange RemoveInboundConnection(ConnectionTables& tables, const ConnectionKey& key);

// Outbound counterparts; true when the table changed (added or removed).
bool AddOutboundConnection(ConnectionTables& tables, const OutboundKey& key, int64_t now);
bool RemoveOutboundConnection(ConnectionTables& tables, const OutboundKey& key);

// Removes every inbound connection of `address`; the keys that were tracked are appended to
// `forgotten`. True when the address had connections (the address set changed).
bool ForgetAddress(ConnectionTables& tables, uint32_t address,
                   std::vector<ConnectionKey>& forgotten);

// Empties every table and sets activeAddressCount to 0. With `releaseMemory` the tables also
// give their storage back.
void ClearTables(ConnectionTables& tables, bool releaseMemory);

// A set of connection keys as the system lists them.
struct Present {};
using ConnectionKeySet = FlatHashMap<ConnectionKey, Present>;

struct ReconcileResult {
    size_t removedInbound = 0;
    size_t removedOutbound = 0;
};

// Removes the connections, inbound and outbound, that `established` does not list, adjusting
// the counts of each as its close would. Connections listed but not tracked are not added.
ReconcileResult ReconcileWithSystem(ConnectionTables& tables, const ConnectionKeySet& established);

struct RecountResult {
    bool inboundChanged = false;   // the live per-address/per-port counts were replaced
    bool outboundChanged = false;  // outboundCountByAddress was replaced
};

// Recomputes the derived counts (and the port lists) from the two connection sets and swaps
// them in where they differ from the live ones; gives back the storage of tables that have
// become sparse.
RecountResult RecountConnections(ConnectionTables& tables);

}  // namespace bastion
