// IP Helper's adapter and route tables over the current world (platform/SystemTables.h).
//
// Both calls follow Windows' size protocol: the caller offers a buffer, the call answers
// with the size it needs when the buffer is missing or short, and fills it otherwise. The
// adapter records and everything they point to (addresses, names) are laid out inside the
// caller's buffer, so one free releases the lot, as on Windows.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <tuple>
#include <vector>

#include "platform/SystemTables.h"
#include "platform/Win32.h"

namespace {

using platform::AdapterInfo;
using platform::RouteInfo;

// Places records one after the other, each aligned for its type. Measures only while
// `base` is null, so one walk both sizes and fills the buffer.
class BufferLayout {
  public:
    explicit BufferLayout(unsigned char* base) : base_(base) {}

    template <class T>
    T* Place(size_t count = 1) {
        used_ = (used_ + alignof(T) - 1) / alignof(T) * alignof(T);
        T* at = base_ != nullptr ? reinterpret_cast<T*>(base_ + used_) : nullptr;
        used_ += sizeof(T) * count;
        return at;
    }

    size_t used() const { return used_; }

  private:
    unsigned char* base_;
    size_t used_ = 0;
};

// One IPv4 address record (anycast/multicast/DNS/gateway shape, or unicast) with its
// socket address, linked after `*link`. Returns the new link slot.
template <class Record>
Record** PlaceAddress(BufferLayout& layout, Record** link, uint32_t address) {
    Record* record = layout.Place<Record>();
    sockaddr_in* socketAddress = layout.Place<sockaddr_in>();
    if (record == nullptr) return link;
    socketAddress->sin_family = AF_INET;
    socketAddress->sin_port = 0;
    socketAddress->sin_addr.s_addr = htonl(address);
    record->Length = sizeof(Record);
    record->Address.lpSockaddr = reinterpret_cast<LPSOCKADDR>(socketAddress);
    record->Address.iSockaddrLength = sizeof(sockaddr_in);
    *link = record;
    return &record->Next;
}

PCHAR PlaceNarrow(BufferLayout& layout, const std::string& text) {
    char* out = layout.Place<char>(text.size() + 1);
    if (out != nullptr) std::memcpy(out, text.c_str(), text.size() + 1);
    return out;
}

PWCHAR PlaceWide(BufferLayout& layout, const std::string& text) {
    WCHAR* out = layout.Place<WCHAR>(text.size() + 1);
    if (out != nullptr) {
        // Interface names are ASCII on every system we run on.
        for (size_t i = 0; i < text.size(); ++i)
            out[i] = static_cast<unsigned char>(text[i]);
        out[text.size()] = L'\0';
    }
    return out;
}

// Lays out the adapter list into `base` (or measures it when `base` is null).
size_t LayOutAdapters(const std::vector<AdapterInfo>& adapters, ULONG family, ULONG flags,
                      unsigned char* base) {
    BufferLayout layout(base);
    const bool ipv4 = family != AF_INET6;
    PIP_ADAPTER_ADDRESSES* next = nullptr;
    for (const AdapterInfo& info : adapters) {
        IP_ADAPTER_ADDRESSES* adapter = layout.Place<IP_ADAPTER_ADDRESSES>();
        if (adapter != nullptr) {
            if (next != nullptr) *next = adapter;
            next = &adapter->Next;
            adapter->Length = sizeof(IP_ADAPTER_ADDRESSES);
            adapter->IfIndex = info.ifIndex;
            adapter->Ipv6IfIndex = info.ifIndex;
            adapter->IfType = info.loopback ? IF_TYPE_SOFTWARE_LOOPBACK : IF_TYPE_ETHERNET_CSMACD;
            adapter->OperStatus = info.up ? IfOperStatusUp : IfOperStatusDown;
        }
        PCHAR name = PlaceNarrow(layout, info.name);
        PWCHAR suffix = PlaceWide(layout, "");
        PWCHAR description = PlaceWide(layout, info.name);
        PWCHAR friendly = PlaceWide(layout, (flags & GAA_FLAG_SKIP_FRIENDLY_NAME) ? "" : info.name);
        if (adapter != nullptr) {
            adapter->AdapterName = name;
            adapter->DnsSuffix = suffix;
            adapter->Description = description;
            adapter->FriendlyName = friendly;
        }

        // The address lists are filled through a scratch head when measuring.
        PIP_ADAPTER_UNICAST_ADDRESS unicastScratch = nullptr;
        PIP_ADAPTER_DNS_SERVER_ADDRESS dnsScratch = nullptr;
        PIP_ADAPTER_GATEWAY_ADDRESS gatewayScratch = nullptr;
        if (ipv4 && !(flags & GAA_FLAG_SKIP_UNICAST)) {
            auto** link = adapter != nullptr ? &adapter->FirstUnicastAddress : &unicastScratch;
            for (uint32_t address : info.unicast) {
                IP_ADAPTER_UNICAST_ADDRESS** placed = PlaceAddress(layout, link, address);
                if (placed != link) {
                    (*link)->PrefixOrigin = IpPrefixOriginManual;
                    (*link)->SuffixOrigin = IpSuffixOriginManual;
                    (*link)->DadState = IpDadStatePreferred;
                    (*link)->ValidLifetime = 0xFFFFFFFFu;
                    (*link)->PreferredLifetime = 0xFFFFFFFFu;
                    (*link)->LeaseLifetime = 0xFFFFFFFFu;
                }
                link = placed;
            }
        }
        if (ipv4 && !(flags & GAA_FLAG_SKIP_DNS_SERVER)) {
            auto** link = adapter != nullptr ? &adapter->FirstDnsServerAddress : &dnsScratch;
            for (uint32_t address : info.dnsServers)
                link = PlaceAddress(layout, link, address);
        }
        if (ipv4 && (flags & GAA_FLAG_INCLUDE_GATEWAYS)) {
            auto** link = adapter != nullptr ? &adapter->FirstGatewayAddress : &gatewayScratch;
            for (uint32_t address : info.gateways)
                link = PlaceAddress(layout, link, address);
        }
    }
    return layout.used();
}

bool RouteOrder(const MIB_IPFORWARDROW& a, const MIB_IPFORWARDROW& b) {
    auto key = [](const MIB_IPFORWARDROW& row) {
        return std::make_tuple(ntohl(row.dwForwardDest), ntohl(row.dwForwardMask),
                               row.dwForwardPolicy, ntohl(row.dwForwardNextHop));
    };
    return key(a) < key(b);
}

}  // namespace

extern "C" ULONG GetAdaptersAddresses(ULONG family, ULONG flags, PVOID reserved,
                                      PIP_ADAPTER_ADDRESSES adapterAddresses, PULONG sizePointer) {
    if (sizePointer == nullptr || reserved != nullptr) return ERROR_INVALID_PARAMETER;
    if (family != AF_UNSPEC && family != AF_INET && family != AF_INET6) {
        return ERROR_INVALID_PARAMETER;
    }
    std::vector<AdapterInfo> adapters = platform::CurrentSystemTables()->Adapters();
    if (adapters.empty()) return ERROR_NO_DATA;

    size_t needed = LayOutAdapters(adapters, family, flags, nullptr);
    if (needed > 0xFFFFFFFFu) return ERROR_NOT_ENOUGH_MEMORY;
    if (adapterAddresses == nullptr || *sizePointer < needed) {
        *sizePointer = static_cast<ULONG>(needed);
        return ERROR_BUFFER_OVERFLOW;
    }
    if (reinterpret_cast<uintptr_t>(adapterAddresses) % alignof(IP_ADAPTER_ADDRESSES) != 0) {
        return ERROR_INVALID_PARAMETER;
    }
    auto* base = reinterpret_cast<unsigned char*>(adapterAddresses);
    std::memset(base, 0, needed);
    LayOutAdapters(adapters, family, flags, base);
    return NO_ERROR;
}

extern "C" DWORD GetIpForwardTable(PMIB_IPFORWARDTABLE ipForwardTable, PULONG size, BOOL order) {
    if (size == nullptr) return ERROR_INVALID_PARAMETER;
    std::vector<RouteInfo> routes = platform::CurrentSystemTables()->Routes();
    if (routes.empty()) return ERROR_NO_DATA;

    size_t needed = offsetof(MIB_IPFORWARDTABLE, table) + routes.size() * sizeof(MIB_IPFORWARDROW);
    needed = std::max(needed, sizeof(MIB_IPFORWARDTABLE));
    if (needed > 0xFFFFFFFFu) return ERROR_NOT_ENOUGH_MEMORY;
    if (ipForwardTable == nullptr || *size < needed) {
        *size = static_cast<ULONG>(needed);
        return ERROR_INSUFFICIENT_BUFFER;
    }
    ipForwardTable->dwNumEntries = static_cast<DWORD>(routes.size());
    // The rows run past the declared one-element array, as in Windows' layout.
    MIB_IPFORWARDROW* rows = ipForwardTable->table;
    for (size_t i = 0; i < routes.size(); ++i) {
        const RouteInfo& route = routes[i];
        MIB_IPFORWARDROW& row = rows[i];
        row = MIB_IPFORWARDROW{};
        row.dwForwardDest = htonl(route.destination);
        row.dwForwardMask = htonl(route.mask);
        row.dwForwardNextHop = htonl(route.nextHop);
        row.dwForwardIfIndex = route.ifIndex;
        row.dwForwardType =
            route.nextHop == 0 ? MIB_IPROUTE_TYPE_DIRECT : MIB_IPROUTE_TYPE_INDIRECT;
        row.dwForwardProto = MIB_IPPROTO_NETMGMT;
        row.dwForwardMetric1 = route.metric;
        // Windows marks the metrics a route does not use with -1.
        row.dwForwardMetric2 = row.dwForwardMetric3 = row.dwForwardMetric4 = row.dwForwardMetric5 =
            0xFFFFFFFFu;
    }
    if (order) {
        std::sort(rows, rows + routes.size(), RouteOrder);
    }
    return NO_ERROR;
}
