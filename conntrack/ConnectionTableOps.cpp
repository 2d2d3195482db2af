#include "conntrack/ConnectionTableOps.h"

#include <algorithm>
#include <utility>

namespace bastion {
namespace {

// Takes `key` out of its address's key list: the last key of the list moves into its slot.
void DetachFromAddress(ConnectionTables& tables, const ConnectionKey& key, uint32_t slot) {
    std::vector<ConnectionKey>* keys = tables.connectionsByAddress.find(key.remoteAddr);
    if (keys == nullptr) return;
    if (slot >= keys->size() || (*keys)[slot] != key) {
        auto it = std::find(keys->begin(), keys->end(), key);
        if (it == keys->end()) return;
        slot = static_cast<uint32_t>(it - keys->begin());
    }
    if (slot + 1 != keys->size()) {
        (*keys)[slot] = keys->back();
        if (ConnectionEntry* moved = tables.inboundConnections.find((*keys)[slot])) {
            moved->addressSlot = slot;
        }
    }
    keys->pop_back();
    if (keys->empty()) tables.connectionsByAddress.erase(key.remoteAddr);
}

void RemovePort(ConnectionTables& tables, uint32_t address, uint16_t port) {
    std::vector<uint16_t>* ports = tables.portsByAddress.find(address);
    if (ports == nullptr) return;
    auto it = std::find(ports->begin(), ports->end(), port);
    if (it != ports->end()) {
        *it = ports->back();
        ports->pop_back();
    }
    if (ports->empty()) tables.portsByAddress.erase(address);
}

void PublishAddressCount(ConnectionTables& tables) {
    tables.activeAddressCount.store(tables.connectionCountByAddress.size(),
                                    std::memory_order_relaxed);
}

struct InboundCounts {
    FlatHashMap<uint32_t, uint32_t> perAddress;
    FlatHashMap<AddressPortKey, uint32_t> perAddressPort;
};

InboundCounts CountInbound(const ConnectionTables& tables) {
    InboundCounts counts;
    counts.perAddress.reserve(tables.connectionCountByAddress.size());
    counts.perAddressPort.reserve(tables.connectionCountByAddressPort.size());
    tables.inboundConnections.for_each([&counts](const ConnectionKey& key, const ConnectionEntry&) {
        ++counts.perAddress[key.remoteAddr];
        ++counts.perAddressPort[AddressPortKey{key.remoteAddr, key.localPort}];
    });
    return counts;
}

FlatHashMap<uint32_t, uint32_t> CountOutbound(const ConnectionTables& tables) {
    FlatHashMap<uint32_t, uint32_t> counts;
    counts.reserve(tables.outboundCountByAddress.size());
    tables.outboundConnections.for_each(
        [&counts](const OutboundKey& key, const ConnectionEntry&) { ++counts[key.remoteAddr]; });
    return counts;
}

// Every entry of `subset` is in `superset` with the same value.
template <class K>
bool EntriesContained(const FlatHashMap<K, uint32_t>& subset,
                      const FlatHashMap<K, uint32_t>& superset) {
    bool contained = true;
    subset.for_each([&](const K& key, uint32_t count) {
        const uint32_t* other = superset.find(key);
        if (other == nullptr || *other != count) contained = false;
    });
    return contained;
}

template <class K>
bool SameCounts(const FlatHashMap<K, uint32_t>& a, const FlatHashMap<K, uint32_t>& b) {
    return a.size() == b.size() && EntriesContained(a, b);
}

// Installs freshly counted inbound maps together with the port lists they imply.
void InstallInboundCounts(ConnectionTables& tables, InboundCounts&& counts) {
    FlatHashMap<uint32_t, std::vector<uint16_t>> ports;
    ports.reserve(counts.perAddress.size());
    counts.perAddressPort.for_each(
        [&ports](const AddressPortKey& key, uint32_t) { ports[key.address].push_back(key.port); });
    tables.connectionCountByAddress = std::move(counts.perAddress);
    tables.connectionCountByAddressPort = std::move(counts.perAddressPort);
    tables.portsByAddress = std::move(ports);
    PublishAddressCount(tables);
}

// A table that a burst filled and that has since emptied keeps its capacity, and every walk
// over it pays for the empty slots; give the storage back once it is less than 1/8 used.
template <class Map>
void ShrinkIfSparse(Map& map) {
    constexpr size_t kKeepCapacity = 1024;
    if (map.capacity() > kKeepCapacity && map.size() * 8 < map.capacity()) map.shrink_to_fit();
}

}  // namespace

InboundChange AddInboundConnection(ConnectionTables& tables, const ConnectionKey& key,
                                   int64_t now) {
    auto [entry, inserted] = tables.inboundConnections.try_emplace(key);
    if (!inserted) {
        entry->lastSeen = now;
        return {};
    }
    entry->protocol = 6;
    entry->firstSeen = now;
    entry->lastSeen = now;
    std::vector<ConnectionKey>& keys = tables.connectionsByAddress[key.remoteAddr];
    entry->addressSlot = static_cast<uint32_t>(keys.size());
    keys.push_back(key);

    InboundChange change;
    change.added = true;
    change.addressSetChanged = tables.connectionCountByAddress[key.remoteAddr]++ == 0;
    if (tables.connectionCountByAddressPort[AddressPortKey{key.remoteAddr, key.localPort}]++ == 0) {
        tables.portsByAddress[key.remoteAddr].push_back(key.localPort);
    }
    if (change.addressSetChanged) PublishAddressCount(tables);
    return change;
}

InboundChange RemoveInboundConnection(ConnectionTables& tables, const ConnectionKey& key) {
    const ConnectionEntry* entry = tables.inboundConnections.find(key);
    if (entry == nullptr) return {};
    DetachFromAddress(tables, key, entry->addressSlot);
    tables.inboundConnections.erase(key);

    InboundChange change;
    change.removed = true;
    if (uint32_t* count = tables.connectionCountByAddress.find(key.remoteAddr)) {
        if (*count < 2) {
            tables.connectionCountByAddress.erase(key.remoteAddr);
            change.addressSetChanged = true;
        } else {
            --*count;
        }
    }
    AddressPortKey portKey{key.remoteAddr, key.localPort};
    if (uint32_t* count = tables.connectionCountByAddressPort.find(portKey)) {
        if (*count < 2) {
            tables.connectionCountByAddressPort.erase(portKey);
            RemovePort(tables, key.remoteAddr, key.localPort);
        } else {
            --*count;
        }
    }
    if (change.addressSetChanged) PublishAddressCount(tables);
    return change;
}

bool AddOutboundConnection(ConnectionTables& tables, const OutboundKey& key, int64_t now) {
    auto [entry, inserted] = tables.outboundConnections.try_emplace(key);
    entry->lastSeen = now;
    if (!inserted) return false;
    entry->protocol = 6;
    entry->firstSeen = now;
    ++tables.outboundCountByAddress[key.remoteAddr];
    return true;
}

bool RemoveOutboundConnection(ConnectionTables& tables, const OutboundKey& key) {
    if (!tables.outboundConnections.erase(key)) return false;
    if (uint32_t* count = tables.outboundCountByAddress.find(key.remoteAddr)) {
        if (*count < 2) {
            tables.outboundCountByAddress.erase(key.remoteAddr);
        } else {
            --*count;
        }
    }
    return true;
}

bool ForgetAddress(ConnectionTables& tables, uint32_t address,
                   std::vector<ConnectionKey>& forgotten) {
    if (std::vector<ConnectionKey>* keys = tables.connectionsByAddress.find(address)) {
        std::vector<ConnectionKey> taken = std::move(*keys);
        tables.connectionsByAddress.erase(address);
        for (const ConnectionKey& key : taken) {
            if (tables.inboundConnections.erase(key)) forgotten.push_back(key);
        }
    }
    bool hadConnections = tables.connectionCountByAddress.erase(address);
    if (const std::vector<uint16_t>* ports = tables.portsByAddress.find(address)) {
        for (uint16_t port : *ports)
            tables.connectionCountByAddressPort.erase(AddressPortKey{address, port});
        tables.portsByAddress.erase(address);
    }
    if (hadConnections) PublishAddressCount(tables);
    return hadConnections;
}

void ClearTables(ConnectionTables& tables, bool releaseMemory) {
    auto reset = [releaseMemory](auto& map) {
        if (releaseMemory) {
            map = {};
        } else {
            map.clear();
        }
    };
    reset(tables.inboundConnections);
    reset(tables.connectionsByAddress);
    reset(tables.portsByAddress);
    reset(tables.connectionCountByAddress);
    reset(tables.connectionCountByAddressPort);
    reset(tables.outboundConnections);
    reset(tables.outboundCountByAddress);
    tables.activeAddressCount.store(0, std::memory_order_relaxed);
}

ReconcileResult ReconcileWithSystem(ConnectionTables& tables, const ConnectionKeySet& established) {
    ReconcileResult result;
    std::vector<ConnectionKey> closed;
    tables.inboundConnections.for_each([&](const ConnectionKey& key, const ConnectionEntry&) {
        if (!established.contains(key)) closed.push_back(key);
    });
    // Each removal adjusts the counts as a closing flow does: a port stays listed while
    // another connection of the address still uses it. The cost follows the number of
    // closed connections, not the size of the tables.
    for (const ConnectionKey& key : closed)
        RemoveInboundConnection(tables, key);
    result.removedInbound = closed.size();

    std::vector<OutboundKey> closedOutbound;
    tables.outboundConnections.for_each([&](const OutboundKey& key, const ConnectionEntry&) {
        if (!established.contains(
                ConnectionKey{key.remoteAddr, key.localAddr, key.remotePort, key.localPort})) {
            closedOutbound.push_back(key);
        }
    });
    for (const OutboundKey& key : closedOutbound)
        RemoveOutboundConnection(tables, key);
    result.removedOutbound = closedOutbound.size();
    return result;
}

RecountResult RecountConnections(ConnectionTables& tables) {
    RecountResult result;
    InboundCounts inbound = CountInbound(tables);
    if (!SameCounts(inbound.perAddress, tables.connectionCountByAddress) ||
        inbound.perAddressPort.size() != tables.connectionCountByAddressPort.size() ||
        !EntriesContained(inbound.perAddressPort, tables.connectionCountByAddressPort)) {
        InstallInboundCounts(tables, std::move(inbound));
        result.inboundChanged = true;
    }
    FlatHashMap<uint32_t, uint32_t> outbound = CountOutbound(tables);
    if (!SameCounts(outbound, tables.outboundCountByAddress)) {
        tables.outboundCountByAddress = std::move(outbound);
        result.outboundChanged = true;
    }
    ShrinkIfSparse(tables.inboundConnections);
    ShrinkIfSparse(tables.connectionsByAddress);
    ShrinkIfSparse(tables.portsByAddress);
    ShrinkIfSparse(tables.connectionCountByAddress);
    ShrinkIfSparse(tables.connectionCountByAddressPort);
    ShrinkIfSparse(tables.outboundConnections);
    ShrinkIfSparse(tables.outboundCountByAddress);
    return result;
}

}  // namespace bastion
