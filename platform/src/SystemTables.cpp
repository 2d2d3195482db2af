// The provider registry and the real Linux system's tables.
#include "platform/SystemTables.h"
#include "platform/Testing.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netdb.h>
#include <netinet/in.h>
#include <unistd.h>

#include <atomic>
#include <fstream>
#include <map>
#include <mutex>
#include <sstream>

#include "platform/src/LinuxTcpTable.h"

namespace platform {
namespace {

// /proc/net/route stores addresses as the hex of the in-memory (network order) value.
uint32_t ParseProcAddress(const std::string& hex) {
    uint32_t raw = static_cast<uint32_t>(std::stoul(hex, nullptr, 16));
    return ntohl(raw);
}

std::vector<RouteInfo> ReadProcRoutes() {
    std::vector<RouteInfo> routes;
    // The calling thread's network namespace, like the netlink socket getifaddrs uses
    // (/proc/net follows the process's first thread).
    std::ifstream in("/proc/thread-self/net/route");
    if (!in.is_open()) in.open("/proc/net/route");
    std::string line;
    std::getline(in, line);  // header
    while (std::getline(in, line)) {
        std::istringstream fields(line);
        std::string iface, dest, gateway, flags, refcnt, use, metric, mask;
        if (!(fields >> iface >> dest >> gateway >> flags >> refcnt >> use >> metric >> mask))
            continue;
        try {
            RouteInfo route;
            route.destination = ParseProcAddress(dest);
            route.nextHop = ParseProcAddress(gateway);
            route.mask = ParseProcAddress(mask);
            route.metric = static_cast<uint32_t>(std::stoul(metric));
            route.ifIndex = if_nametoindex(iface.c_str());
            routes.push_back(route);
        } catch (const std::exception&) {
            continue;  // a malformed line is skipped; the others still count
        }
    }
    return routes;
}

std::mutex gResolverPathMutex;
std::string gResolverPathOverride;

std::string ResolverConfigPath() {
    std::lock_guard lock(gResolverPathMutex);
    return gResolverPathOverride.empty() ? "/etc/resolv.conf" : gResolverPathOverride;
}

std::vector<uint32_t> ReadResolvConf() {
    std::vector<uint32_t> servers;
    std::ifstream in(ResolverConfigPath());
    std::string line;
    while (std::getline(in, line)) {
        std::istringstream fields(line);
        std::string keyword, address;
        if (!(fields >> keyword >> address) || keyword != "nameserver") continue;
        in_addr parsed{};
        if (inet_pton(AF_INET, address.c_str(), &parsed) == 1)
            servers.push_back(ntohl(parsed.s_addr));
    }
    return servers;
}

class LinuxSystemTables final : public SystemTables {
  public:
    std::vector<AdapterInfo> Adapters() override {
        // Keyed by interface index, so adapters come in the kernel's order (loopback
        // first, then the devices as they were created), as Windows lists them.
        std::map<uint32_t, AdapterInfo> byIndex;
        ifaddrs* list = nullptr;
        if (getifaddrs(&list) != 0) return {};
        for (ifaddrs* it = list; it != nullptr; it = it->ifa_next) {
            // An IPv4 address with a label ("eth0:1") belongs to its device ("eth0").
            std::string device(it->ifa_name);
            if (size_t colon = device.find(':'); colon != std::string::npos) device.resize(colon);
            uint32_t index = if_nametoindex(device.c_str());
            if (index == 0) continue;  // vanished while we were reading
            AdapterInfo& adapter = byIndex[index];
            adapter.name = device;
            adapter.ifIndex = index;
            adapter.up = (it->ifa_flags & IFF_UP) && (it->ifa_flags & IFF_RUNNING);
            adapter.loopback = (it->ifa_flags & IFF_LOOPBACK) != 0;
            if (it->ifa_addr != nullptr && it->ifa_addr->sa_family == AF_INET) {
                auto* sin = reinterpret_cast<sockaddr_in*>(it->ifa_addr);
                adapter.unicast.push_back(ntohl(sin->sin_addr.s_addr));
            }
        }
        freeifaddrs(list);

        std::vector<RouteInfo> routes = ReadProcRoutes();
        std::vector<uint32_t> dns = ReadResolvConf();
        std::vector<AdapterInfo> adapters;
        for (auto& [index, adapter] : byIndex) {
            for (const RouteInfo& route : routes) {
                if (route.ifIndex == adapter.ifIndex && route.destination == 0 && route.mask == 0 &&
                    route.nextHop != 0) {
                    adapter.gateways.push_back(route.nextHop);
                }
            }
            // Linux keeps one resolver list for the host; every real adapter reports it.
            if (!adapter.loopback) adapter.dnsServers = dns;
            adapters.push_back(std::move(adapter));
        }
        return adapters;
    }

    std::vector<RouteInfo> Routes() override { return ReadProcRoutes(); }

    // The netlink dump costs about a sixth less CPU than formatting and parsing
    // /proc/net/tcp at 100,000 sockets (see bench/RESULTS.md) and needs no text parsing;
    // the text files remain for kernels without sock_diag.
    std::vector<TcpRow> TcpTable() override {
        std::vector<TcpRow> rows;
        if (!linux_tcp::ReadSockDiag(rows)) linux_tcp::ReadProcNet(rows);
        return rows;
    }

    std::optional<std::string> HostName() override {
        char name[256];
        if (gethostname(name, sizeof(name)) != 0) return std::nullopt;
        name[sizeof(name) - 1] = '\0';
        return std::string(name);
    }

    std::optional<std::vector<uint32_t>> Resolve(const std::string& name) override {
        addrinfo hints{};
        hints.ai_family = AF_INET;
        hints.ai_socktype = SOCK_STREAM;
        addrinfo* result = nullptr;
        if (getaddrinfo(name.c_str(), nullptr, &hints, &result) != 0) return std::nullopt;
        std::vector<uint32_t> addresses;
        for (addrinfo* it = result; it != nullptr; it = it->ai_next) {
            if (it->ai_family != AF_INET) continue;
            addresses.push_back(
                ntohl(reinterpret_cast<sockaddr_in*>(it->ai_addr)->sin_addr.s_addr));
        }
        freeaddrinfo(result);
        return addresses;
    }
};

std::mutex gTablesMutex;
std::shared_ptr<SystemTables> gTables;

}  // namespace

namespace testing {
void SetResolverConfigPath(const std::string& path) {
    std::lock_guard lock(gResolverPathMutex);
    gResolverPathOverride = path;
}
}  // namespace testing

void SetSystemTables(std::shared_ptr<SystemTables> tables) {
    std::lock_guard lock(gTablesMutex);
    gTables = std::move(tables);
}

std::shared_ptr<SystemTables> CurrentSystemTables() {
    std::lock_guard lock(gTablesMutex);
    if (!gTables) gTables = std::make_shared<LinuxSystemTables>();
    return gTables;
}

}  // namespace platform
