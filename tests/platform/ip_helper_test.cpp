// IP Helper's adapter and route tables and Winsock name resolution, answered from a world
// the test fills in.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "platform/Testing.h"
#include "platform/Win32.h"
#include "tests/platform/FakeSystemTables.h"

namespace {

using platform::testing::Adapter;
using platform::testing::Ip;
using platform::testing::ScopedFakeTables;

uint32_t AddressOf(const SOCKET_ADDRESS& address) {
    EXPECT_EQ(address.iSockaddrLength, static_cast<INT>(sizeof(sockaddr_in)));
    EXPECT_EQ(address.lpSockaddr->sa_family, AF_INET);
    return ntohl(reinterpret_cast<const sockaddr_in*>(address.lpSockaddr)->sin_addr.s_addr);
}

template <class Record>
std::vector<uint32_t> ListOf(const Record* first) {
    std::vector<uint32_t> out;
    for (const Record* it = first; it != nullptr; it = it->Next)
        out.push_back(AddressOf(it->Address));
    return out;
}

// Runs the two-call size protocol and returns the filled buffer (empty on failure).
std::unique_ptr<unsigned char[]> Enumerate(ULONG flags, ULONG* status) {
    ULONG size = 0;
    *status = GetAdaptersAddresses(AF_INET, flags, nullptr, nullptr, &size);
    if (*status != ERROR_BUFFER_OVERFLOW) return nullptr;
    auto buffer = std::make_unique<unsigned char[]>(size);
    *status = GetAdaptersAddresses(AF_INET, flags, nullptr,
                                   reinterpret_cast<PIP_ADAPTER_ADDRESSES>(buffer.get()), &size);
    return buffer;
}

class AdaptersTest : public ::testing::Test {
  protected:
    ScopedFakeTables world;

    void SetUp() override {
        platform::AdapterInfo lan = Adapter("eth0", 2, {Ip(169, 254, 10, 1), Ip(192, 168, 1, 10)});
        lan.gateways = {Ip(192, 168, 1, 1)};
        lan.dnsServers = {Ip(192, 168, 1, 53), Ip(8, 8, 8, 8)};
        world->adapters = {Adapter("lo", 1, {Ip(127, 0, 0, 1)}, true, true), lan,
                           Adapter("wan", 3, {Ip(203, 0, 113, 5)}, false)};
    }
};

TEST_F(AdaptersTest, SizeProtocolReportsWhatIsNeededAndFillsOnTheSecondCall) {
    ULONG size = 0;
    EXPECT_EQ(GetAdaptersAddresses(AF_INET, 0, nullptr, nullptr, &size),
              static_cast<ULONG>(ERROR_BUFFER_OVERFLOW));
    ASSERT_GT(size, 3 * sizeof(IP_ADAPTER_ADDRESSES));

    // One byte short is still too small and reports the same size.
    ULONG shortSize = size - 1;
    auto buffer = std::make_unique<unsigned char[]>(size);
    auto* adapters = reinterpret_cast<PIP_ADAPTER_ADDRESSES>(buffer.get());
    EXPECT_EQ(GetAdaptersAddresses(AF_INET, 0, nullptr, adapters, &shortSize),
              static_cast<ULONG>(ERROR_BUFFER_OVERFLOW));
    EXPECT_EQ(shortSize, size);

    ULONG exact = size;
    ASSERT_EQ(GetAdaptersAddresses(AF_INET, 0, nullptr, adapters, &exact),
              static_cast<ULONG>(NO_ERROR));
    // Every pointer stays inside the caller's buffer.
    auto inside = [&](const void* p) {
        auto* c = static_cast<const unsigned char*>(p);
        return c >= buffer.get() && c < buffer.get() + size;
    };
    for (auto* a = adapters; a != nullptr; a = a->Next) {
        EXPECT_TRUE(inside(a));
        EXPECT_TRUE(inside(a->AdapterName));
        EXPECT_TRUE(inside(a->FriendlyName));
        for (auto* u = a->FirstUnicastAddress; u != nullptr; u = u->Next) {
            EXPECT_TRUE(inside(u));
            EXPECT_TRUE(inside(u->Address.lpSockaddr));
        }
    }
}

TEST_F(AdaptersTest, RecordsCarryTypeStatusAndAddressesInOrder) {
    ULONG status = 0;
    auto buffer = Enumerate(GAA_FLAG_INCLUDE_GATEWAYS, &status);
    ASSERT_EQ(status, static_cast<ULONG>(NO_ERROR));
    auto* lo = reinterpret_cast<PIP_ADAPTER_ADDRESSES>(buffer.get());
    ASSERT_NE(lo->Next, nullptr);
    auto* eth = lo->Next;
    ASSERT_NE(eth->Next, nullptr);
    auto* wan = eth->Next;
    EXPECT_EQ(wan->Next, nullptr);

    EXPECT_EQ(lo->IfType, static_cast<IFTYPE>(IF_TYPE_SOFTWARE_LOOPBACK));
    EXPECT_EQ(lo->OperStatus, IfOperStatusUp);
    EXPECT_EQ(eth->IfType, static_cast<IFTYPE>(IF_TYPE_ETHERNET_CSMACD));
    EXPECT_EQ(eth->OperStatus, IfOperStatusUp);
    EXPECT_EQ(wan->OperStatus, IfOperStatusDown);
    EXPECT_EQ(eth->IfIndex, 2u);
    EXPECT_STREQ(eth->AdapterName, "eth0");
    EXPECT_EQ(std::wstring(eth->FriendlyName), L"eth0");
    EXPECT_EQ(eth->Length, sizeof(IP_ADAPTER_ADDRESSES));

    EXPECT_EQ(ListOf(eth->FirstUnicastAddress),
              (std::vector<uint32_t>{Ip(169, 254, 10, 1), Ip(192, 168, 1, 10)}));
    EXPECT_EQ(ListOf(eth->FirstGatewayAddress), (std::vector<uint32_t>{Ip(192, 168, 1, 1)}));
    EXPECT_EQ(ListOf(eth->FirstDnsServerAddress),
              (std::vector<uint32_t>{Ip(192, 168, 1, 53), Ip(8, 8, 8, 8)}));
    EXPECT_EQ(eth->FirstAnycastAddress, nullptr);
    EXPECT_EQ(eth->FirstMulticastAddress, nullptr);
}

TEST_F(AdaptersTest, FlagsLeaveOutListsAndGatewaysNeedAsking) {
    struct Case {
        ULONG flags;
        bool unicast, dns, gateways;
    };
    for (Case c : {Case{0, true, true, false}, Case{GAA_FLAG_INCLUDE_GATEWAYS, true, true, true},
                   Case{GAA_FLAG_SKIP_DNS_SERVER | GAA_FLAG_INCLUDE_GATEWAYS, true, false, true},
                   Case{GAA_FLAG_SKIP_UNICAST, false, true, false},
                   Case{GAA_FLAG_SKIP_ANYCAST | GAA_FLAG_SKIP_MULTICAST, true, true, false}}) {
        SCOPED_TRACE(c.flags);
        ULONG status = 0;
        auto buffer = Enumerate(c.flags, &status);
        ASSERT_EQ(status, static_cast<ULONG>(NO_ERROR));
        auto* eth = reinterpret_cast<PIP_ADAPTER_ADDRESSES>(buffer.get())->Next;
        EXPECT_EQ(eth->FirstUnicastAddress != nullptr, c.unicast);
        EXPECT_EQ(eth->FirstDnsServerAddress != nullptr, c.dns);
        EXPECT_EQ(eth->FirstGatewayAddress != nullptr, c.gateways);
    }
}

TEST_F(AdaptersTest, BadArgumentsAndEmptyWorld) {
    ULONG size = 0;
    EXPECT_EQ(GetAdaptersAddresses(AF_INET, 0, nullptr, nullptr, nullptr),
              static_cast<ULONG>(ERROR_INVALID_PARAMETER));
    int reserved = 0;
    EXPECT_EQ(GetAdaptersAddresses(AF_INET, 0, &reserved, nullptr, &size),
              static_cast<ULONG>(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(GetAdaptersAddresses(AF_UNIX, 0, nullptr, nullptr, &size),
              static_cast<ULONG>(ERROR_INVALID_PARAMETER));

    // A buffer that is not aligned for the records is refused, not misread.
    ASSERT_EQ(GetAdaptersAddresses(AF_INET, 0, nullptr, nullptr, &size),
              static_cast<ULONG>(ERROR_BUFFER_OVERFLOW));
    auto buffer = std::make_unique<unsigned char[]>(size + 8);
    ULONG big = size + 4;
    EXPECT_EQ(GetAdaptersAddresses(AF_INET, 0, nullptr,
                                   reinterpret_cast<PIP_ADAPTER_ADDRESSES>(buffer.get() + 4), &big),
              static_cast<ULONG>(ERROR_INVALID_PARAMETER));

    world->adapters.clear();
    EXPECT_EQ(GetAdaptersAddresses(AF_INET, 0, nullptr, nullptr, &size),
              static_cast<ULONG>(ERROR_NO_DATA));
}

TEST_F(AdaptersTest, Ipv6FamilyListsAdaptersWithoutIpv4Addresses) {
    ULONG size = 0;
    ASSERT_EQ(GetAdaptersAddresses(AF_INET6, GAA_FLAG_INCLUDE_GATEWAYS, nullptr, nullptr, &size),
              static_cast<ULONG>(ERROR_BUFFER_OVERFLOW));
    auto buffer = std::make_unique<unsigned char[]>(size);
    auto* adapters = reinterpret_cast<PIP_ADAPTER_ADDRESSES>(buffer.get());
    ASSERT_EQ(GetAdaptersAddresses(AF_INET6, GAA_FLAG_INCLUDE_GATEWAYS, nullptr, adapters, &size),
              static_cast<ULONG>(NO_ERROR));
    int count = 0;
    for (auto* a = adapters; a != nullptr; a = a->Next, ++count) {
        EXPECT_EQ(a->FirstUnicastAddress, nullptr);
        EXPECT_EQ(a->FirstGatewayAddress, nullptr);
    }
    EXPECT_EQ(count, 3);
}

class RoutesTest : public ::testing::Test {
  protected:
    ScopedFakeTables world;
};

TEST_F(RoutesTest, SizeProtocolAndNetworkOrderRows) {
    world->routes = {{Ip(10, 0, 0, 0), Ip(255, 0, 0, 0), Ip(10, 0, 0, 254), 2, 5},
                     {0, 0, Ip(192, 168, 1, 1), 2, 100},
                     {Ip(192, 168, 1, 0), Ip(255, 255, 255, 0), 0, 2, 0}};
    ULONG size = 0;
    ASSERT_EQ(GetIpForwardTable(nullptr, &size, FALSE),
              static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    EXPECT_EQ(size, offsetof(MIB_IPFORWARDTABLE, table) + 3 * sizeof(MIB_IPFORWARDROW));

    auto buffer = std::make_unique<unsigned char[]>(size);
    auto* table = reinterpret_cast<PMIB_IPFORWARDTABLE>(buffer.get());
    ULONG tooSmall = size - 1;
    EXPECT_EQ(GetIpForwardTable(table, &tooSmall, FALSE),
              static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    EXPECT_EQ(tooSmall, size);

    ASSERT_EQ(GetIpForwardTable(table, &size, FALSE), static_cast<DWORD>(NO_ERROR));
    ASSERT_EQ(table->dwNumEntries, 3u);
    const MIB_IPFORWARDROW* rows = table->table;
    // Unsorted: the world's order.
    EXPECT_EQ(rows[0].dwForwardDest, htonl(Ip(10, 0, 0, 0)));
    EXPECT_EQ(rows[0].dwForwardMask, htonl(Ip(255, 0, 0, 0)));
    EXPECT_EQ(rows[0].dwForwardNextHop, htonl(Ip(10, 0, 0, 254)));
    EXPECT_EQ(rows[0].dwForwardType, static_cast<DWORD>(MIB_IPROUTE_TYPE_INDIRECT));
    EXPECT_EQ(rows[0].dwForwardMetric1, 5u);
    EXPECT_EQ(rows[1].dwForwardDest, 0u);
    EXPECT_EQ(rows[2].dwForwardType, static_cast<DWORD>(MIB_IPROUTE_TYPE_DIRECT));
    EXPECT_EQ(rows[2].dwForwardIfIndex, 2u);

    ASSERT_EQ(GetIpForwardTable(table, &size, TRUE), static_cast<DWORD>(NO_ERROR));
    EXPECT_EQ(rows[0].dwForwardDest, 0u);
    EXPECT_EQ(rows[1].dwForwardDest, htonl(Ip(10, 0, 0, 0)));
    EXPECT_EQ(rows[2].dwForwardDest, htonl(Ip(192, 168, 1, 0)));
}

TEST_F(RoutesTest, NoRoutesAndNoSizeArgument) {
    ULONG size = 0;
    EXPECT_EQ(GetIpForwardTable(nullptr, &size, FALSE), static_cast<DWORD>(ERROR_NO_DATA));
    world->routes = {{0, 0, Ip(10, 0, 0, 1), 1, 0}};
    EXPECT_EQ(GetIpForwardTable(nullptr, nullptr, FALSE),
              static_cast<DWORD>(ERROR_INVALID_PARAMETER));
}

class NameResolutionTest : public ::testing::Test {
  protected:
    ScopedFakeTables world;
    WSADATA data{};

    void SetUp() override {
        world->names["api.example"] = {Ip(198, 51, 100, 7), Ip(198, 51, 100, 8)};
        world->names["empty.example"] = {};
        ASSERT_EQ(WSAStartup(MAKEWORD(2, 2), &data), 0);
    }
    void TearDown() override { WSACleanup(); }

    static addrinfo StreamHints() {
        addrinfo hints{};
        hints.ai_family = AF_INET;
        hints.ai_socktype = SOCK_STREAM;
        return hints;
    }
};

TEST_F(NameResolutionTest, ResolvesFromTheWorldInOrder) {
    addrinfo hints = StreamHints();
    addrinfo* result = nullptr;
    ASSERT_EQ(GetAddrInfoA("api.example", "443", &hints, &result), 0);
    std::vector<uint32_t> found;
    for (addrinfo* it = result; it != nullptr; it = it->ai_next) {
        ASSERT_EQ(it->ai_family, AF_INET);
        EXPECT_EQ(it->ai_socktype, SOCK_STREAM);
        EXPECT_EQ(it->ai_protocol, IPPROTO_TCP);
        auto* address = reinterpret_cast<sockaddr_in*>(it->ai_addr);
        EXPECT_EQ(ntohs(address->sin_port), 443);
        found.push_back(ntohl(address->sin_addr.s_addr));
    }
    FreeAddrInfoA(result);
    EXPECT_EQ(found, (std::vector<uint32_t>{Ip(198, 51, 100, 7), Ip(198, 51, 100, 8)}));
}

TEST_F(NameResolutionTest, FailuresAreWinsockCodes) {
    addrinfo hints = StreamHints();
    addrinfo* result = reinterpret_cast<addrinfo*>(1);
    EXPECT_EQ(GetAddrInfoA("unknown.example", nullptr, &hints, &result), WSAHOST_NOT_FOUND);
    EXPECT_EQ(result, nullptr);
    EXPECT_EQ(WSAGetLastError(), WSAHOST_NOT_FOUND);
    EXPECT_EQ(GetAddrInfoA("empty.example", nullptr, &hints, &result), WSANO_DATA);
    EXPECT_EQ(GetAddrInfoA("api.example", "https", &hints, &result), WSATYPE_NOT_FOUND);
    EXPECT_EQ(GetAddrInfoA("api.example", "65536", &hints, &result), WSATYPE_NOT_FOUND);
    hints.ai_family = AF_INET6;
    EXPECT_EQ(GetAddrInfoA("api.example", nullptr, &hints, &result), WSANO_DATA);
    hints = StreamHints();
    hints.ai_flags = AI_NUMERICHOST;
    EXPECT_EQ(GetAddrInfoA("api.example", nullptr, &hints, &result), WSAHOST_NOT_FOUND);
    EXPECT_EQ(GetAddrInfoA(nullptr, nullptr, &hints, &result), WSAHOST_NOT_FOUND);
}

TEST_F(NameResolutionTest, NumericAndMissingHostsNeedNoLookup) {
    addrinfo* result = nullptr;
    ASSERT_EQ(GetAddrInfoA("10.1.2.3", nullptr, nullptr, &result), 0);
    ASSERT_NE(result, nullptr);
    EXPECT_EQ(ntohl(reinterpret_cast<sockaddr_in*>(result->ai_addr)->sin_addr.s_addr),
              Ip(10, 1, 2, 3));
    EXPECT_EQ(result->ai_next, nullptr);
    FreeAddrInfoA(result);

    addrinfo hints{};
    hints.ai_flags = AI_PASSIVE | AI_CANONNAME;
    ASSERT_EQ(GetAddrInfoA(nullptr, "80", &hints, &result), 0);
    EXPECT_EQ(ntohl(reinterpret_cast<sockaddr_in*>(result->ai_addr)->sin_addr.s_addr), 0u);
    FreeAddrInfoA(result);
    EXPECT_EQ(world->resolveCalls, 0);

    hints.ai_flags = AI_CANONNAME;
    ASSERT_EQ(GetAddrInfoA("api.example", nullptr, &hints, &result), 0);
    EXPECT_STREQ(result->ai_canonname, "api.example");
    FreeAddrInfoA(result);
}

TEST_F(NameResolutionTest, HostNameComesFromTheWorldAndChecksTheBuffer) {
    char name[256];
    ASSERT_EQ(platform::winsock::gethostname(name, sizeof(name)), 0);
    EXPECT_STREQ(name, "bastion-host");

    char tiny[12];  // "bastion-host" needs 13 with its terminator
    EXPECT_EQ(platform::winsock::gethostname(tiny, sizeof(tiny)), SOCKET_ERROR);
    EXPECT_EQ(WSAGetLastError(), WSAEFAULT);

    world->hostName.reset();
    EXPECT_EQ(platform::winsock::gethostname(name, sizeof(name)), SOCKET_ERROR);
}

TEST(NameResolutionWithoutStartup, WinsockMustBeStartedFirst) {
    ScopedFakeTables world;
    world->names["api.example"] = {Ip(198, 51, 100, 7)};
    addrinfo* result = nullptr;
    EXPECT_EQ(GetAddrInfoA("api.example", nullptr, nullptr, &result), WSANOTINITIALISED);
    char name[64];
    EXPECT_EQ(platform::winsock::gethostname(name, sizeof(name)), SOCKET_ERROR);
    EXPECT_EQ(WSAGetLastError(), WSANOTINITIALISED);
}

}  // namespace
