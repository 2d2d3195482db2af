// The operating system's tables that the IP Helper and name-resolution calls of the
// platform layer read: network adapters, IPv4 routes, the TCP connection table, the
// host name and name resolution.
//
// By default the layer reads the real system. A world (the simulated network of the
// diversion runtime, or a test) can install its own provider; the IP Helper calls then
// answer from it. All addresses are IPv4 in host byte order, ports in host order.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace platform {

struct AdapterInfo {
    std::string name;            // interface name ("eth0")
    uint32_t ifIndex = 0;
    bool up = true;              // operational status up
    bool loopback = false;       // software loopback interface type
    std::vector<uint32_t> unicast;
    std::vector<uint32_t> gateways;
    std::vector<uint32_t> dnsServers;
};

struct RouteInfo {
    uint32_t destination = 0;
    uint32_t mask = 0;
    uint32_t nextHop = 0;
    uint32_t ifIndex = 0;
    uint32_t metric = 0;
};

// MIB_TCP_STATE values.
enum class TcpState : uint32_t {
    Closed = 1, Listen = 2, SynSent = 3, SynReceived = 4, Established = 5, FinWait1 = 6,
    FinWait2 = 7, CloseWait = 8, Closing = 9, LastAck = 10, TimeWait = 11, DeleteTcb = 12,
};

struct TcpRow {
    TcpState state = TcpState::Established;
    uint32_t localAddr = 0;
    uint16_t localPort = 0;
    uint32_t remoteAddr = 0;
    uint16_t remotePort = 0;
    uint32_t pid = 0;
};

class SystemTables {
public:
    virtual ~SystemTables() = default;
    virtual std::vector<AdapterInfo> Adapters() = 0;
    virtual std::vector<RouteInfo> Routes() = 0;
    virtual std::vector<TcpRow> TcpTable() = 0;
    // Empty optional: the host name cannot be read.
    virtual std::optional<std::string> HostName() = 0;
    // IPv4 addresses of `name`; empty optional when the name does not resolve.
    virtual std::optional<std::vector<uint32_t>> Resolve(const std::string& name) = 0;
};

// Installs `tables` as the provider for the whole process; null restores the real system.
void SetSystemTables(std::shared_ptr<SystemTables> tables);

// The provider in force (never null).
std::shared_ptr<SystemTables> CurrentSystemTables();

}  // namespace platform
