// Discovery of the machine's own addresses through Winsock and IP Helper.
#include "engine/LocalAddresses.h"

#include <algorithm>
#include <cstdio>
#include <memory>

#include "engine/PacketProcessor.h"
#include "platform/Win32.h"
#include "services/Log.h"

namespace bastion {
namespace {

constexpr ULONG kInitialAdapterBufferBytes = 15000;

constexpr ULONG kLocalAdapterFlags = GAA_FLAG_SKIP_ANYCAST | GAA_FLAG_SKIP_MULTICAST |
                                     GAA_FLAG_SKIP_DNS_SERVER | GAA_FLAG_INCLUDE_GATEWAYS;
constexpr ULONG kPublicAdapterFlags =
    GAA_FLAG_SKIP_ANYCAST | GAA_FLAG_SKIP_MULTICAST | GAA_FLAG_SKIP_DNS_SERVER;
constexpr ULONG kDnsAdapterFlags = GAA_FLAG_SKIP_ANYCAST | GAA_FLAG_SKIP_MULTICAST;

constexpr uint32_t kPublicResolvers[] = {
    0x08080808u,  // 8.8.8.8
    0x08080404u,  // 8.8.4.4
    0x01010101u,  // 1.1.1.1
    0x01000001u,  // 1.0.0.1
    0x09090909u,  // 9.9.9.9
};

// The IPv4 adapter list, fetched with one retry at the size the first call asked for. An
// adapter list that grows between the two calls is treated as no list at all.
class AdapterList {
  public:
    explicit AdapterList(ULONG flags) {
        ULONG size = kInitialAdapterBufferBytes;
        buffer_ = std::make_unique<unsigned char[]>(size);
        ULONG result = GetAdaptersAddresses(AF_INET, flags, nullptr, First(), &size);
        if (result == ERROR_BUFFER_OVERFLOW) {
            buffer_ = std::make_unique<unsigned char[]>(size);
            result = GetAdaptersAddresses(AF_INET, flags, nullptr, First(), &size);
        }
        if (result != NO_ERROR) buffer_.reset();
    }

    bool ok() const { return buffer_ != nullptr; }

    // Calls fn(adapter) for each adapter that is operational and not a loopback interface.
    template <class Fn>
    void ForEachCounted(Fn fn) const {
        if (!ok()) return;
        for (const IP_ADAPTER_ADDRESSES* adapter = First(); adapter != nullptr;
             adapter = adapter->Next) {
            if (adapter->OperStatus != IfOperStatusUp) continue;
            if (adapter->IfType == IF_TYPE_SOFTWARE_LOOPBACK) continue;
            fn(*adapter);
        }
    }

  private:
    PIP_ADAPTER_ADDRESSES First() const {
        return reinterpret_cast<PIP_ADAPTER_ADDRESSES>(buffer_.get());
    }

    std::unique_ptr<unsigned char[]> buffer_;
};

// The host-order IPv4 address of a socket address; false for other families.
bool Ipv4Of(const SOCKET_ADDRESS& address, uint32_t* out) {
    const sockaddr* socketAddress = address.lpSockaddr;
    if (socketAddress == nullptr || socketAddress->sa_family != AF_INET) return false;
    *out = ntohl(reinterpret_cast<const sockaddr_in*>(socketAddress)->sin_addr.s_addr);
    return true;
}

uint32_t Ipv4Of(const addrinfo& result) {
    return ntohl(reinterpret_cast<const sockaddr_in*>(result.ai_addr)->sin_addr.s_addr);
}

void AppendOnce(std::vector<uint32_t>& list, uint32_t address) {
    if (std::find(list.begin(), list.end(), address) == list.end()) list.push_back(address);
}

// The next hops of the default routes (destination and mask 0), neither 0 nor loopback.
void AddDefaultGateways(AddressSet& addresses) {
    ULONG size = 0;
    if (GetIpForwardTable(nullptr, &size, FALSE) != ERROR_INSUFFICIENT_BUFFER) return;
    auto buffer = std::make_unique<unsigned char[]>(size);
    auto* table = reinterpret_cast<PMIB_IPFORWARDTABLE>(buffer.get());
    if (GetIpForwardTable(table, &size, FALSE) != NO_ERROR) return;
    const MIB_IPFORWARDROW* rows = table->table;
    for (DWORD i = 0; i < table->dwNumEntries; ++i) {
        if (rows[i].dwForwardDest != 0 || rows[i].dwForwardMask != 0) continue;
        uint32_t nextHop = ntohl(rows[i].dwForwardNextHop);
        if (nextHop != 0 && !IsLoopbackAddress(nextHop)) addresses.Insert(nextHop);
    }
}

}  // namespace

std::string FormatIPv4(uint32_t address) {
    char text[16];
    std::snprintf(text, sizeof(text), "%u.%u.%u.%u", (address >> 24) & 0xFF, (address >> 16) & 0xFF,
                  (address >> 8) & 0xFF, address & 0xFF);
    return text;
}

void ResolveApiHostAddresses(PacketProcessor& engine) {
    const std::string& host = engine.runtimeState.apiHostName;
    if (host.empty()) return;  // this deployment names no API host

    WSADATA wsaData;
    if (WSAStartup(MAKEWORD(2, 2), &wsaData) != 0) return;
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* results = nullptr;
    if (GetAddrInfoA(host.c_str(), nullptr, &hints, &results) != 0) {
        WSACleanup();
        return;
    }
    for (const addrinfo* result = results; result != nullptr; result = result->ai_next) {
        if (result->ai_family == AF_INET) engine.apiHostAddresses.Insert(Ipv4Of(*result));
    }
    FreeAddrInfoA(results);
    WSACleanup();
}

void InitializeLocalInterfaceWhitelist(PacketProcessor& engine) {
    WSADATA wsaData;
    if (WSAStartup(MAKEWORD(2, 2), &wsaData) != 0) {
        EmitLogEvent(engine,
                     "[❌ CRITICAL] WSAStartup failed in InitializeLocalInterfaceWhitelist "
                     "(Error: " +
                         std::to_string(WSAGetLastError()) + ") - Cannot detect local IPs");
        return;
    }
    char hostName[256];
    if (gethostname(hostName, sizeof(hostName)) != 0) {
        WSACleanup();
        return;
    }

    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* results = nullptr;
    if (GetAddrInfoA(hostName, nullptr, &hints, &results) == 0) {
        for (const addrinfo* result = results; result != nullptr; result = result->ai_next) {
            if (result->ai_family != AF_INET) continue;
            uint32_t address = Ipv4Of(*result);
            if (!IsLoopbackAddress(address)) engine.localAddresses.Insert(address);
        }
        FreeAddrInfoA(results);
    }

    AdapterList adapters(kLocalAdapterFlags);
    adapters.ForEachCounted([&](const IP_ADAPTER_ADDRESSES& adapter) {
        for (auto* gateway = adapter.FirstGatewayAddress; gateway != nullptr;
             gateway = gateway->Next) {
            uint32_t address = 0;
            if (Ipv4Of(gateway->Address, &address) && address != 0) {
                engine.localAddresses.Insert(address);
            }
        }
        for (auto* unicast = adapter.FirstUnicastAddress; unicast != nullptr;
             unicast = unicast->Next) {
            uint32_t address = 0;
            if (Ipv4Of(unicast->Address, &address) && !IsLoopbackAddress(address)) {
                engine.localAddresses.Insert(address);
            }
        }
    });
    WSACleanup();

    AddDefaultGateways(engine.localAddresses);
}

std::vector<std::string> DetectPublicAddresses() {
    std::vector<std::string> addresses;
    AdapterList adapters(kPublicAdapterFlags);
    adapters.ForEachCounted([&](const IP_ADAPTER_ADDRESSES& adapter) {
        for (auto* unicast = adapter.FirstUnicastAddress; unicast != nullptr;
             unicast = unicast->Next) {
            uint32_t address = 0;
            if (!Ipv4Of(unicast->Address, &address)) continue;
            if (IsLoopbackAddress(address) || IsLinkLocalAddress(address)) continue;
            std::string text = FormatIPv4(address);
            if (std::find(addresses.begin(), addresses.end(), text) == addresses.end()) {
                addresses.push_back(std::move(text));
            }
            return;  // one address per adapter
        }
    });
    return addresses;
}

std::vector<uint32_t> CollectDnsServers() {
    std::vector<uint32_t> servers;
    AdapterList adapters(kDnsAdapterFlags);
    adapters.ForEachCounted([&](const IP_ADAPTER_ADDRESSES& adapter) {
        for (auto* server = adapter.FirstDnsServerAddress; server != nullptr;
             server = server->Next) {
            uint32_t address = 0;
            if (!Ipv4Of(server->Address, &address)) continue;
            if (IsLoopbackAddress(address) || IsLinkLocalAddress(address)) continue;
            AppendOnce(servers, address);
        }
    });
    for (uint32_t resolver : kPublicResolvers)
        AppendOnce(servers, resolver);
    return servers;
}

}  // namespace bastion
