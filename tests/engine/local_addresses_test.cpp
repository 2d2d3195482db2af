// The machine's own addresses: what the engine learns from adapters, routes, the host name
// and the API host, and what it leaves out.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "engine/LocalAddresses.h"
#include "engine/PacketProcessor.h"
#include "platform/Testing.h"
#include "tests/platform/FakeSystemTables.h"
#include "tests/services/LogTestSupport.h"

namespace bastion {
namespace {

using platform::AdapterInfo;
using platform::testing::Adapter;
using platform::testing::Ip;
using platform::testing::ScopedFakeTables;

std::vector<uint32_t> Sorted(const AddressSet& set) {
    std::vector<uint32_t> out;
    set.ForEach([&](uint32_t address) { out.push_back(address); });
    std::sort(out.begin(), out.end());
    return out;
}

bool WinsockStillStarted() {
    addrinfo* result = nullptr;
    int status = GetAddrInfoA("127.0.0.1", nullptr, nullptr, &result);
    if (status == 0) FreeAddrInfoA(result);
    return status != WSANOTINITIALISED;
}

class LocalAddressesTest : public ::testing::Test {
  protected:
    ScopedFakeTables world;
    RuntimeState state;
    std::unique_ptr<PacketProcessor> engine;

    void SetUp() override {
        world->hostName = "server";  // does not resolve unless a test says so
    }
    void TearDown() override { platform::testing::FailWsaStartup(0, 0); }

    // A fresh engine (its constructor runs the discovery once).
    PacketProcessor& Construct() {
        engine = std::make_unique<PacketProcessor>(state);
        return *engine;
    }
};

TEST_F(LocalAddressesTest, LinkLocalFirstAdapter) {
    world->adapters = {Adapter("eth0", 2, {Ip(169, 254, 10, 1), Ip(192, 168, 1, 10)})};
    EXPECT_EQ(DetectPublicAddresses(), (std::vector<std::string>{"192.168.1.10"}));
    EXPECT_EQ(Sorted(Construct().localAddresses),
              (std::vector<uint32_t>{Ip(169, 254, 10, 1), Ip(192, 168, 1, 10)}));
}

TEST_F(LocalAddressesTest, SharedAddressIsListedOnceAndEachAdapterGivesOne) {
    world->adapters = {Adapter("a", 2, {Ip(10, 0, 0, 1), Ip(10, 0, 0, 2)}),
                       Adapter("b", 3, {Ip(10, 0, 0, 1), Ip(10, 0, 0, 3)}),
                       Adapter("c", 4, {Ip(127, 0, 0, 2), Ip(172, 16, 0, 1)})};
    // "b" repeats "a"'s first address and therefore adds nothing: one address per adapter.
    EXPECT_EQ(DetectPublicAddresses(), (std::vector<std::string>{"10.0.0.1", "172.16.0.1"}));
}

TEST_F(LocalAddressesTest, DownAndLoopbackAdaptersContributeNothing) {
    AdapterInfo down = Adapter("down", 2, {Ip(10, 1, 1, 1)}, false);
    down.gateways = {Ip(10, 1, 1, 254)};
    down.dnsServers = {Ip(10, 1, 1, 53)};
    AdapterInfo loop = Adapter("loop", 1, {Ip(10, 2, 2, 2)}, true, true);
    loop.gateways = {Ip(10, 2, 2, 254)};
    loop.dnsServers = {Ip(10, 2, 2, 53)};
    world->adapters = {down, loop};

    EXPECT_TRUE(DetectPublicAddresses().empty());
    EXPECT_EQ(CollectDnsServers().size(), 5u);
    EXPECT_EQ(Construct().localAddresses.Size(), 0u);
}

TEST_F(LocalAddressesTest, WhitelistTakesGatewaysAndSkipsLoopbackAndZero) {
    AdapterInfo lan = Adapter("eth0", 2, {Ip(127, 0, 0, 5), Ip(192, 168, 1, 10)});
    lan.gateways = {0, Ip(192, 168, 1, 1)};
    world->adapters = {lan};
    EXPECT_EQ(Sorted(Construct().localAddresses),
              (std::vector<uint32_t>{Ip(192, 168, 1, 1), Ip(192, 168, 1, 10)}));
}

TEST_F(LocalAddressesTest, OnlyDefaultRoutesGiveGateways) {
    world->routes = {{0, 0, Ip(192, 168, 1, 1), 2, 0},
                     {Ip(10, 0, 0, 0), Ip(255, 0, 0, 0), Ip(10, 0, 0, 254), 2, 0},
                     {0, 0, 0, 3, 0},                  // on-link default: no next hop
                     {0, 0, Ip(127, 0, 0, 1), 1, 0}};  // loopback next hop
    EXPECT_EQ(Sorted(Construct().localAddresses), (std::vector<uint32_t>{Ip(192, 168, 1, 1)}));
}

TEST_F(LocalAddressesTest, HostNameAddressesWithoutLoopback) {
    world->names["server"] = {Ip(127, 0, 1, 1), Ip(203, 0, 113, 9)};
    EXPECT_EQ(Sorted(Construct().localAddresses), (std::vector<uint32_t>{Ip(203, 0, 113, 9)}));
}

TEST_F(LocalAddressesTest, UnresolvableHostNameStillReadsAdapters) {
    world->adapters = {Adapter("eth0", 2, {Ip(10, 0, 0, 1)})};
    EXPECT_EQ(Sorted(Construct().localAddresses), (std::vector<uint32_t>{Ip(10, 0, 0, 1)}));
    EXPECT_FALSE(WinsockStillStarted());
}

TEST_F(LocalAddressesTest, NoHostNameAddsNothingAtAll) {
    world->hostName.reset();
    world->adapters = {Adapter("eth0", 2, {Ip(10, 0, 0, 1)})};
    world->routes = {{0, 0, Ip(10, 0, 0, 254), 2, 0}};
    EXPECT_EQ(Construct().localAddresses.Size(), 0u);
    EXPECT_FALSE(WinsockStillStarted());
}

TEST_F(LocalAddressesTest, WinsockFailureIsLoggedAndAddsNothing) {
    world->adapters = {Adapter("eth0", 2, {Ip(10, 0, 0, 1)})};
    state.config.packetLogEnabled = true;
    platform::testing::FailWsaStartup(1, WSASYSNOTREADY);
    PacketProcessor& e = Construct();  // no API host configured: only the whitelist starts Winsock
    EXPECT_EQ(e.localAddresses.Size(), 0u);
    EXPECT_EQ(testing::QueuedTexts(e),
              (std::vector<std::string>{"[❌ CRITICAL] WSAStartup failed in "
                                        "InitializeLocalInterfaceWhitelist (Error: 10091) - Cannot "
                                        "detect local IPs"}));
}

TEST_F(LocalAddressesTest, AdapterListLargerThanTheFirstBufferIsReadWhole) {
    // Far more than the 15,000 bytes of the first attempt.
    for (uint32_t i = 0; i < 200; ++i) {
        world->adapters.push_back(Adapter("veth" + std::to_string(i), i + 2,
                                          {Ip(10, 1, i / 250, i % 250 + 1), Ip(10, 2, 0, 1)}));
    }
    std::vector<std::string> detected = DetectPublicAddresses();
    ASSERT_EQ(detected.size(), 200u);
    EXPECT_EQ(detected.back(), "10.1.0.200");
    EXPECT_EQ(Construct().localAddresses.Size(), 201u);
}

TEST_F(LocalAddressesTest, ApiHostAddressesOnlyGrow) {
    state.apiHostName = "api.vendor.example";
    world->names["api.vendor.example"] = {Ip(198, 51, 100, 7)};
    PacketProcessor& e = Construct();
    EXPECT_EQ(Sorted(e.apiHostAddresses), (std::vector<uint32_t>{Ip(198, 51, 100, 7)}));

    world->names["api.vendor.example"] = {Ip(198, 51, 100, 8)};
    ResolveApiHostAddresses(e);
    EXPECT_EQ(Sorted(e.apiHostAddresses),
              (std::vector<uint32_t>{Ip(198, 51, 100, 7), Ip(198, 51, 100, 8)}));

    world->names.erase("api.vendor.example");
    ResolveApiHostAddresses(e);
    EXPECT_EQ(e.apiHostAddresses.Size(), 2u);
    EXPECT_FALSE(WinsockStillStarted());
}

TEST_F(LocalAddressesTest, NoApiHostNameResolvesNothing) {
    PacketProcessor& e = Construct();
    int before = world->resolveCalls;
    ResolveApiHostAddresses(e);
    EXPECT_EQ(world->resolveCalls, before);
    EXPECT_EQ(e.apiHostAddresses.Size(), 0u);
}

TEST_F(LocalAddressesTest, NameServersThenThePublicResolversEachOnce) {
    AdapterInfo a = Adapter("a", 2, {Ip(10, 0, 0, 1)});
    a.dnsServers = {Ip(10, 0, 0, 53), Ip(127, 0, 0, 53), Ip(169, 254, 1, 1), Ip(1, 1, 1, 1)};
    AdapterInfo b = Adapter("b", 3, {Ip(10, 0, 1, 1)});
    b.dnsServers = {Ip(10, 0, 0, 53), Ip(10, 0, 1, 53)};
    world->adapters = {a, b};
    EXPECT_EQ(
        CollectDnsServers(),
        (std::vector<uint32_t>{Ip(10, 0, 0, 53), Ip(1, 1, 1, 1), Ip(10, 0, 1, 53), Ip(8, 8, 8, 8),
                               Ip(8, 8, 4, 4), Ip(1, 0, 0, 1), Ip(9, 9, 9, 9)}));
}

TEST_F(LocalAddressesTest, NoNameServersGivesExactlyThePublicResolvers) {
    const std::vector<uint32_t> resolvers = {Ip(8, 8, 8, 8), Ip(8, 8, 4, 4), Ip(1, 1, 1, 1),
                                             Ip(1, 0, 0, 1), Ip(9, 9, 9, 9)};
    world->adapters = {Adapter("eth0", 2, {Ip(10, 0, 0, 1)})};
    EXPECT_EQ(CollectDnsServers(), resolvers);
    world->adapters.clear();  // enumeration fails
    EXPECT_EQ(CollectDnsServers(), resolvers);
}

TEST(AddressSetTest, AnswersAlikeInLineAndPastIt) {
    // Address 0 matches nothing while the set is empty (unused places are zero then), and
    // unused places repeating the first address answer only for that one. Past kInline
    // addresses the hash table answers, for both lookups.
    AddressSet set;
    EXPECT_FALSE(set.Contains(0));
    EXPECT_FALSE(set.Contains(0, AddressSet::Hasher{}(0)));
    const uint32_t first = Ip(10, 0, 0, 1);
    EXPECT_TRUE(set.Insert(first));
    EXPECT_FALSE(set.Insert(first));
    EXPECT_TRUE(set.Contains(first));
    EXPECT_FALSE(set.Contains(0));
    std::vector<uint32_t> added{first};
    for (uint32_t i = 1; i <= AddressSet::kInline + 2; ++i) {
        const uint32_t address = Ip(192, 0, 2, i);
        ASSERT_TRUE(set.Insert(address));
        added.push_back(address);
        for (uint32_t a : added) {
            ASSERT_TRUE(set.Contains(a)) << i;
            ASSERT_TRUE(set.Contains(a, AddressSet::Hasher{}(a))) << i;
        }
        const uint32_t absent = Ip(192, 0, 2, i + 1);
        ASSERT_FALSE(set.Contains(absent)) << i;
        ASSERT_FALSE(set.Contains(absent, AddressSet::Hasher{}(absent))) << i;
        ASSERT_FALSE(set.Contains(0)) << i;
    }
    EXPECT_EQ(set.Size(), AddressSet::kInline + 3);
}

TEST(FormatIPv4Test, MostSignificantOctetFirst) {
    struct Case {
        uint32_t value;
        const char* text;
    };
    for (Case c : {Case{Ip(192, 168, 1, 1), "192.168.1.1"}, Case{0, "0.0.0.0"},
                   Case{0xFFFFFFFFu, "255.255.255.255"}, Case{Ip(10, 0, 0, 255), "10.0.0.255"}}) {
        EXPECT_EQ(FormatIPv4(c.value), c.text);
    }
}

TEST(AddressTests, LoopbackAndLinkLocalRanges) {
    EXPECT_TRUE(IsLoopbackAddress(Ip(127, 255, 255, 255)));
    EXPECT_FALSE(IsLoopbackAddress(Ip(128, 0, 0, 1)));
    EXPECT_TRUE(IsLinkLocalAddress(Ip(169, 254, 0, 0)));
    EXPECT_FALSE(IsLinkLocalAddress(Ip(169, 253, 255, 255)));
    EXPECT_FALSE(IsLinkLocalAddress(Ip(169, 255, 0, 1)));
}

}  // namespace
}  // namespace bastion
