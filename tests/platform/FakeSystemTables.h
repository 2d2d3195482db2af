// A world whose system tables a test fills in: adapters, routes, host name and names.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "platform/SystemTables.h"

namespace platform::testing {

// IPv4 address a.b.c.d in host order.
constexpr uint32_t Ip(uint32_t a, uint32_t b, uint32_t c, uint32_t d) {
    return (a << 24) | (b << 16) | (c << 8) | d;
}

class FakeSystemTables final : public SystemTables {
  public:
    std::vector<AdapterInfo> adapters;
    std::vector<RouteInfo> routes;
    std::vector<TcpRow> tcp;
    std::optional<std::string> hostName = std::string("bastion-host");
    // Names that resolve; any other name fails.
    std::map<std::string, std::vector<uint32_t>> names;
    // How many times each table was asked for.
    int adapterReads = 0;
    int resolveCalls = 0;

    std::vector<AdapterInfo> Adapters() override {
        std::lock_guard lock(mutex_);
        ++adapterReads;
        return adapters;
    }
    std::vector<RouteInfo> Routes() override {
        std::lock_guard lock(mutex_);
        return routes;
    }
    std::vector<TcpRow> TcpTable() override {
        std::lock_guard lock(mutex_);
        return tcp;
    }
    std::optional<std::string> HostName() override {
        std::lock_guard lock(mutex_);
        return hostName;
    }
    std::optional<std::vector<uint32_t>> Resolve(const std::string& name) override {
        std::lock_guard lock(mutex_);
        ++resolveCalls;
        auto it = names.find(name);
        if (it == names.end()) return std::nullopt;
        return it->second;
    }

  private:
    std::mutex mutex_;
};

inline AdapterInfo Adapter(std::string name, uint32_t ifIndex, std::vector<uint32_t> unicast,
                           bool up = true, bool loopback = false) {
    AdapterInfo adapter;
    adapter.name = std::move(name);
    adapter.ifIndex = ifIndex;
    adapter.up = up;
    adapter.loopback = loopback;
    adapter.unicast = std::move(unicast);
    return adapter;
}

// Installs a fresh fake world for the scope of a test; the real system comes back after.
class ScopedFakeTables {
  public:
    ScopedFakeTables() : tables_(std::make_shared<FakeSystemTables>()) { SetSystemTables(tables_); }
    ~ScopedFakeTables() { SetSystemTables(nullptr); }
    ScopedFakeTables(const ScopedFakeTables&) = delete;
    ScopedFakeTables& operator=(const ScopedFakeTables&) = delete;

    FakeSystemTables* operator->() { return tables_.get(); }
    FakeSystemTables& operator*() { return *tables_; }

  private:
    std::shared_ptr<FakeSystemTables> tables_;
};

}  // namespace platform::testing
