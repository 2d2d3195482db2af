// Test helpers for the connection tables: an invariant checker, a flow-event builder and a
// system TCP table the tests control.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <map>
#include <mutex>
#include <new>
#include <set>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "conntrack/ConnectionTables.h"
#include "platform/SystemTables.h"
#include "windivert.h"

namespace bastion::testing {

// Every invariant of ConnectionTables.h, checked against counts recomputed from the two
// connection sets. Call with no writer running.
inline ::testing::AssertionResult TablesConsistent(const ConnectionTables& tables) {
    std::ostringstream problems;
    std::map<uint32_t, uint32_t> perAddress;
    std::map<std::pair<uint32_t, uint16_t>, uint32_t> perPort;
    std::map<uint32_t, uint32_t> outbound;
    size_t listed = 0;

    tables.inboundConnections.for_each([&](const ConnectionKey& key, const ConnectionEntry& entry) {
        ++perAddress[key.remoteAddr];
        ++perPort[{key.remoteAddr, key.localPort}];
        const std::vector<ConnectionKey>* keys = tables.connectionsByAddress.find(key.remoteAddr);
        if (keys == nullptr || entry.addressSlot >= keys->size() ||
            (*keys)[entry.addressSlot] != key) {
            problems << "key of " << key.remoteAddr << ":" << key.remotePort
                     << " not at its slot in connectionsByAddress; ";
        }
        if (entry.protocol != 6) problems << "protocol " << int{entry.protocol} << "; ";
    });
    tables.connectionsByAddress.for_each(
        [&](uint32_t address, const std::vector<ConnectionKey>& keys) {
            if (keys.empty()) problems << "empty key list for " << address << "; ";
            listed += keys.size();
            for (const ConnectionKey& key : keys) {
                if (key.remoteAddr != address || !tables.inboundConnections.contains(key)) {
                    problems << "stray key in list of " << address << "; ";
                }
            }
        });
    if (listed != tables.inboundConnections.size()) {
        problems << "lists hold " << listed << " keys for " << tables.inboundConnections.size()
                 << " connections; ";
    }

    if (tables.connectionCountByAddress.size() != perAddress.size()) {
        problems << "per-address map has " << tables.connectionCountByAddress.size()
                 << " entries, want " << perAddress.size() << "; ";
    }
    for (const auto& [address, count] : perAddress) {
        const uint32_t* live = tables.connectionCountByAddress.find(address);
        if (live == nullptr || *live != count) problems << "count of " << address << " wrong; ";
    }
    if (tables.connectionCountByAddressPort.size() != perPort.size()) {
        problems << "per-port map has " << tables.connectionCountByAddressPort.size()
                 << " entries, want " << perPort.size() << "; ";
    }
    std::map<uint32_t, std::set<uint16_t>> wantedPorts;
    for (const auto& [addressPort, count] : perPort) {
        const uint32_t* live = tables.connectionCountByAddressPort.find(
            AddressPortKey{addressPort.first, addressPort.second});
        if (live == nullptr || *live != count) {
            problems << "count of " << addressPort.first << "/" << addressPort.second << " wrong; ";
        }
        wantedPorts[addressPort.first].insert(addressPort.second);
    }
    if (tables.portsByAddress.size() != wantedPorts.size()) {
        problems << "ports listed for " << tables.portsByAddress.size() << " addresses, want "
                 << wantedPorts.size() << "; ";
    }
    for (const auto& [address, ports] : wantedPorts) {
        const std::vector<uint16_t>* live = tables.portsByAddress.find(address);
        std::vector<uint16_t> sorted = live != nullptr ? *live : std::vector<uint16_t>{};
        std::sort(sorted.begin(), sorted.end());
        if (sorted != std::vector<uint16_t>(ports.begin(), ports.end())) {
            problems << "port list of " << address << " wrong; ";
        }
    }
    if (tables.activeAddressCount.load() != perAddress.size()) {
        problems << "activeAddressCount " << tables.activeAddressCount.load() << ", want "
                 << perAddress.size() << "; ";
    }

    tables.outboundConnections.for_each(
        [&](const OutboundKey& key, const ConnectionEntry&) { ++outbound[key.remoteAddr]; });
    if (tables.outboundCountByAddress.size() != outbound.size()) {
        problems << "outbound count map has " << tables.outboundCountByAddress.size()
                 << " entries, want " << outbound.size() << "; ";
    }
    for (const auto& [address, count] : outbound) {
        const uint32_t* live = tables.outboundCountByAddress.find(address);
        if (live == nullptr || *live != count)
            problems << "outbound count of " << address << " wrong; ";
    }

    std::string text = problems.str();
    if (text.empty()) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << text;
}

inline ConnectionKey Inbound(uint32_t remote, uint16_t remotePort, uint32_t local,
                             uint16_t localPort) {
    ConnectionKey key;
    key.remoteAddr = remote;
    key.localAddr = local;
    key.remotePort = remotePort;
    key.localPort = localPort;
    return key;
}

// A flow-layer event as the driver reports it (IPv4 addresses in host order).
struct FlowEventShape {
    WINDIVERT_EVENT event = WINDIVERT_EVENT_FLOW_ESTABLISHED;
    bool outbound = false;
    uint32_t local = 0;
    uint16_t localPort = 0;
    uint32_t remote = 0;
    uint16_t remotePort = 0;
    uint8_t protocol = 6;
    bool ipv6 = false;
};

inline WINDIVERT_ADDRESS MakeFlowEvent(const FlowEventShape& shape) {
    WINDIVERT_ADDRESS address{};
    address.Layer = WINDIVERT_LAYER_FLOW;
    address.Event = shape.event;
    address.Sniffed = 1;
    address.Outbound = shape.outbound ? 1 : 0;
    address.IPv6 = shape.ipv6 ? 1 : 0;
    address.Flow.LocalAddr[0] = shape.local;
    address.Flow.RemoteAddr[0] = shape.remote;
    address.Flow.LocalPort = shape.localPort;
    address.Flow.RemotePort = shape.remotePort;
    address.Flow.Protocol = shape.protocol;
    return address;
}

// A system TCP table the test writes. `growPerRead` rows are appended on every read, so a
// table can outgrow the buffer sized from the previous read; `failReads` makes reads fail.
class ScriptedTcpTable final : public platform::SystemTables {
  public:
    std::vector<platform::AdapterInfo> Adapters() override { return {}; }
    std::vector<platform::RouteInfo> Routes() override { return {}; }
    std::optional<std::string> HostName() override { return std::string("test-host"); }
    std::optional<std::vector<uint32_t>> Resolve(const std::string&) override {
        return std::nullopt;
    }

    std::vector<platform::TcpRow> TcpTable() override {
        std::lock_guard lock(mutex_);
        ++reads_;
        if (failReads_) throw std::bad_alloc();
        for (int i = 0; i < growPerRead_; ++i) {
            platform::TcpRow row;
            row.localAddr = 0x0A000001;
            row.localPort = 443;
            row.remoteAddr = 0xC0A80000u + static_cast<uint32_t>(rows_.size());
            row.remotePort = 40000;
            rows_.push_back(row);
        }
        return rows_;
    }

    void SetRows(std::vector<platform::TcpRow> rows) {
        std::lock_guard lock(mutex_);
        rows_ = std::move(rows);
    }
    void GrowPerRead(int rows) {
        std::lock_guard lock(mutex_);
        growPerRead_ = rows;
    }
    void FailReads(bool fail) {
        std::lock_guard lock(mutex_);
        failReads_ = fail;
    }
    int Reads() {
        std::lock_guard lock(mutex_);
        return reads_;
    }

  private:
    std::mutex mutex_;
    std::vector<platform::TcpRow> rows_;
    int growPerRead_ = 0;
    bool failReads_ = false;
    int reads_ = 0;
};

inline platform::TcpRow Row(const ConnectionKey& key,
                            platform::TcpState state = platform::TcpState::Established) {
    platform::TcpRow row;
    row.state = state;
    row.localAddr = key.localAddr;
    row.localPort = key.localPort;
    row.remoteAddr = key.remoteAddr;
    row.remotePort = key.remotePort;
    return row;
}

}  // namespace bastion::testing
