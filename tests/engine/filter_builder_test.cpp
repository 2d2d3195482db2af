// The main and flow filter texts and the filter key.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "engine/FilterBuilder.h"
#include "tests/platform/FakeSystemTables.h"
#include "windivert.h"

namespace bastion {
namespace {

using platform::testing::Adapter;
using platform::testing::Ip;
using platform::testing::ScopedFakeTables;

AppConfig NoProtocol() {
    AppConfig config;
    config.tcpEnabled = false;
    return config;
}

AppConfig Tcp(std::string address, std::set<uint16_t> ports) {
    AppConfig config = NoProtocol();
    config.tcpEnabled = true;
    config.tcpTargetAddress = std::move(address);
    config.tcpPorts = std::move(ports);
    return config;
}

class FilterBuilderTest : public ::testing::Test {
  protected:
    ScopedFakeTables world;  // no adapters unless a test adds them

    void DetectTwoAddresses() {
        world->adapters = {Adapter("eth0", 2, {Ip(203, 0, 113, 5)}),
                           Adapter("eth1", 3, {Ip(10, 0, 0, 1)})};
    }
};

TEST_F(FilterBuilderTest, MainFilterTexts) {
    struct Case {
        const char* what;
        AppConfig config;
        const char* expected;
    };
    AppConfig udpOnly = NoProtocol();
    udpOnly.udpEnabled = true;
    udpOnly.udpTargetAddress = "10.1.1.1";
    udpOnly.udpPorts = {53};

    AppConfig tcpAndIcmp = Tcp("1.2.3.4", {443, 80});
    tcpAndIcmp.icmpEnabled = true;

    AppConfig all = Tcp("", {22});
    all.udpEnabled = true;
    all.udpPorts = {0, 53};
    all.icmpEnabled = true;
    all.icmpTargetAddress = "192.0.2.1";

    AppConfig icmpAutomaticNoneDetected = NoProtocol();
    icmpAutomaticNoneDetected.icmpEnabled = true;
    icmpAutomaticNoneDetected.icmpTargetAddress = "0.0.0.0";

    for (const Case& c : {
             Case{"no protocol", NoProtocol(), "false"},
             Case{"automatic, none detected, all ports", Tcp("0.0.0.0", {}),
                  "ip and tcp and inbound"},
             Case{"literal UDP", udpOnly,
                  "ip and udp and inbound and ip.DstAddr == 10.1.1.1 and (udp.DstPort == 53)"},
             Case{"two protocols", tcpAndIcmp,
                  "(ip and tcp and inbound and ip.DstAddr == 1.2.3.4 and (tcp.DstPort == 80 or "
                  "tcp.DstPort == 443)) or (ip and icmp and inbound)"},
             Case{"three protocols", all,
                  "(ip and tcp and inbound and (tcp.DstPort == 22)) or (ip and udp and inbound) or "
                  "(ip and icmp and inbound and ip.DstAddr == 192.0.2.1)"},
             Case{"port 0 lifts the port restriction", Tcp("", {0, 443}), "ip and tcp and inbound"},
             Case{"automatic ICMP, none detected", icmpAutomaticNoneDetected,
                  "ip and icmp and inbound"},
             Case{"address text inserted unchecked", Tcp("not-an-address", {}),
                  "ip and tcp and inbound and ip.DstAddr == not-an-address"},
         }) {
        EXPECT_EQ(BuildMainFilter(c.config), c.expected) << c.what;
    }
}

TEST_F(FilterBuilderTest, AutomaticAddressListsEveryDetectedAddressInOrder) {
    DetectTwoAddresses();
    EXPECT_EQ(BuildMainFilter(Tcp("0.0.0.0", {22})),
              "ip and tcp and inbound and (ip.DstAddr == 203.0.113.5 or ip.DstAddr == 10.0.0.1) "
              "and (tcp.DstPort == 22)");
    // An empty address is every destination in the main filter, detected or not.
    EXPECT_EQ(BuildMainFilter(Tcp("", {})), "ip and tcp and inbound");
}

TEST_F(FilterBuilderTest, DetectionRunsOncePerAutomaticProtocol) {
    DetectTwoAddresses();
    AppConfig config = Tcp("0.0.0.0", {});
    config.udpEnabled = true;
    config.udpTargetAddress = "0.0.0.0";
    config.icmpEnabled = true;
    config.icmpTargetAddress = "192.0.2.1";
    int before = world->adapterReads;
    BuildMainFilter(config);
    EXPECT_EQ(world->adapterReads - before, 2);
}

TEST_F(FilterBuilderTest, FlowFilterTexts) {
    EXPECT_EQ(BuildFlowFilter(Tcp("10.0.0.5", {22})),
              "((localAddr == 10.0.0.5 or localAddr == ::ffff:10.0.0.5) and (localPort == 22))");
    EXPECT_EQ(BuildFlowFilter(NoProtocol()), "");
    EXPECT_EQ(BuildFlowFilter(Tcp("", {443, 80})), "((localPort == 80 or localPort == 443))");
    EXPECT_EQ(BuildFlowFilter(Tcp("10.0.0.5", {0, 443})),
              "((localAddr == 10.0.0.5 or localAddr == ::ffff:10.0.0.5))");
    // Neither clause: the driver refuses "()" and the tracker falls back to its default.
    EXPECT_EQ(BuildFlowFilter(Tcp("0.0.0.0", {})), "()");
}

TEST_F(FilterBuilderTest, FlowFilterTakesDetectedAddressesForEmptyAndAutomaticTargets) {
    DetectTwoAddresses();
    const std::string expected =
        "((localAddr == 203.0.113.5 or localAddr == ::ffff:203.0.113.5 or localAddr == 10.0.0.1 "
        "or localAddr == ::ffff:10.0.0.1) and (localPort == 22))";
    EXPECT_EQ(BuildFlowFilter(Tcp("", {22})), expected);
    EXPECT_EQ(BuildFlowFilter(Tcp("0.0.0.0", {22})), expected);
}

bool Compiles(const std::string& filter, WINDIVERT_LAYER layer) {
    const char* error = nullptr;
    UINT position = 0;
    return WinDivertHelperCompileFilter(filter.c_str(), layer, nullptr, 0, &error, &position);
}

TEST_F(FilterBuilderTest, TextsAreAcceptedByTheDriversCompiler) {
    DetectTwoAddresses();
    AppConfig everything = Tcp("0.0.0.0", {80, 443});
    everything.udpEnabled = true;
    everything.udpTargetAddress = "10.1.1.1";
    everything.udpPorts = {53};
    everything.icmpEnabled = true;
    for (const AppConfig& config : {everything, Tcp("", {}), NoProtocol(), Tcp("10.0.0.5", {22})}) {
        std::string main = BuildMainFilter(config);
        EXPECT_TRUE(Compiles(main, WINDIVERT_LAYER_NETWORK)) << main;
        std::string flow = BuildFlowFilter(config);
        if (!flow.empty()) {
            EXPECT_TRUE(Compiles(flow, WINDIVERT_LAYER_FLOW)) << flow;
        }
    }
    EXPECT_FALSE(Compiles("()", WINDIVERT_LAYER_FLOW));
    EXPECT_FALSE(Compiles(BuildMainFilter(Tcp("not-an-address", {})), WINDIVERT_LAYER_NETWORK));
}

TEST(FilterClauses, LocalAddressAndPortClauses) {
    EXPECT_EQ(BuildLocalAddrClause({"0.0.0.0", ""}), "");
    EXPECT_EQ(BuildLocalAddrClause({}), "");
    EXPECT_EQ(BuildLocalAddrClause({"", "1.2.3.4"}),
              "(localAddr == 1.2.3.4 or localAddr == ::ffff:1.2.3.4)");
    EXPECT_EQ(BuildLocalPortClause({}), "");
    EXPECT_EQ(BuildLocalPortClause({0, 5}), "");
    EXPECT_EQ(BuildLocalPortClause({65535, 1}), "(localPort == 1 or localPort == 65535)");
}

TEST(FilterKeyTest, HoldsOnlyWhatTheMainFilterDependsOn) {
    FilterKey initial;
    EXPECT_TRUE(initial.tcpEnabled);
    EXPECT_FALSE(initial.udpEnabled);
    EXPECT_FALSE(initial.icmpEnabled);
    EXPECT_TRUE(initial.tcpTargetAddress.empty() && initial.tcpPorts.empty());

    AppConfig a;
    AppConfig b = a;
    b.firewallBlockDurationSeconds = 42;
    b.packetLogEnabled = !a.packetLogEnabled;
    b.fileLogEnabled = !a.fileLogEnabled;
    EXPECT_EQ(MakeFilterKey(a), MakeFilterKey(b));

    b = a;
    b.tcpPorts = {80};
    EXPECT_NE(MakeFilterKey(a), MakeFilterKey(b));
    b = a;
    b.icmpTargetAddress = "0.0.0.0";
    EXPECT_NE(MakeFilterKey(a), MakeFilterKey(b));
    b = a;
    b.udpEnabled = true;
    EXPECT_NE(MakeFilterKey(a), MakeFilterKey(b));
}

}  // namespace
}  // namespace bastion
