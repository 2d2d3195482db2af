// The real Linux system's adapter and route tables, read through IP Helper inside a network
// namespace this test builds: a LAN device with a link-local, a primary and a labelled
// secondary address, a default and a more specific route, a device without carrier.
//
// Needs root and `ip netns`; skips otherwise. The namespace is always removed.
#include <fcntl.h>
#include <sched.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "platform/SystemTables.h"
#include "platform/Testing.h"
#include "platform/Win32.h"
#include "tests/platform/FakeSystemTables.h"

namespace {

using platform::testing::Ip;

bool RunQuietly(const std::string& command) {
    return std::system((command + " >/dev/null 2>&1").c_str()) == 0;
}

// A named network namespace that the calling thread has entered; left and deleted on
// destruction, whatever happened in between.
class TestNamespace {
  public:
    explicit TestNamespace(std::string name) : name_(std::move(name)) {}
    ~TestNamespace() {
        if (original_ >= 0) {
            setns(original_, CLONE_NEWNET);
            close(original_);
        }
        if (created_) RunQuietly("ip netns del " + name_);
    }

    bool Create() {
        created_ = RunQuietly("ip netns add " + name_);
        return created_;
    }
    bool Configure(const std::vector<std::string>& commands) {
        for (const std::string& command : commands) {
            if (!RunQuietly("ip -n " + name_ + " " + command)) {
                failed_ = command;
                return false;
            }
        }
        return true;
    }
    bool Enter() {
        original_ = open("/proc/thread-self/ns/net", O_RDONLY | O_CLOEXEC);
        int target = open(("/var/run/netns/" + name_).c_str(), O_RDONLY | O_CLOEXEC);
        bool ok = original_ >= 0 && target >= 0 && setns(target, CLONE_NEWNET) == 0;
        if (target >= 0) close(target);
        return ok;
    }
    const std::string& failed() const { return failed_; }

  private:
    std::string name_;
    bool created_ = false;
    int original_ = -1;
    std::string failed_;
};

struct SeenAdapter {
    IF_INDEX index = 0;
    IFTYPE type = 0;
    IF_OPER_STATUS status = IfOperStatusDown;
    std::vector<uint32_t> unicast, gateways, dns;
};

template <class Record>
std::vector<uint32_t> ListOf(const Record* first) {
    std::vector<uint32_t> out;
    for (const Record* it = first; it != nullptr; it = it->Next) {
        out.push_back(
            ntohl(reinterpret_cast<const sockaddr_in*>(it->Address.lpSockaddr)->sin_addr.s_addr));
    }
    return out;
}

class LinuxTablesSystemTest : public ::testing::Test {
  protected:
    std::unique_ptr<TestNamespace> ns;
    std::string resolverPath;

    void SetUp() override {
        if (geteuid() != 0) GTEST_SKIP() << "needs root to create a network namespace";
        if (!RunQuietly("ip netns list")) GTEST_SKIP() << "`ip netns` is not available";
        platform::SetSystemTables(nullptr);  // the real system

        ns = std::make_unique<TestNamespace>("bastion-sys-" + std::to_string(getpid()));
        if (!ns->Create()) GTEST_SKIP() << "cannot create a network namespace here";
        ASSERT_TRUE(ns->Configure({
            "link set lo up",
            "link add veth0 type veth peer name veth1",
            "addr add 169.254.10.1/16 dev veth0",
            "addr add 192.168.1.10/24 dev veth0",
            "addr add 192.168.1.11/24 dev veth0 label veth0:1",
            "link set veth0 up",
            "link set veth1 up",
            "route add default via 192.168.1.1",
            "route add 10.0.0.0/8 via 192.168.1.254",
            // veth2 is up but its peer is not: no carrier, so not operational.
            "link add veth2 type veth peer name veth3",
            "addr add 10.9.9.9/24 dev veth2",
            "link set veth2 up",
        })) << "failed: ip "
            << ns->failed();
        ASSERT_TRUE(ns->Enter());

        resolverPath =
            ::testing::TempDir() + "bastion-resolv-" + std::to_string(getpid()) + ".conf";
        std::ofstream(resolverPath) << "# written by the test\n"
                                       "nameserver 192.0.2.53\n"
                                       "nameserver 2001:db8::1\n"
                                       "search example\n"
                                       "nameserver 192.0.2.54\n";
        platform::testing::SetResolverConfigPath(resolverPath);
    }

    void TearDown() override {
        platform::testing::SetResolverConfigPath("");
        if (!resolverPath.empty()) std::remove(resolverPath.c_str());
        ns.reset();
    }

    std::map<std::string, SeenAdapter> ReadAdapters(std::vector<IF_INDEX>* order) {
        std::map<std::string, SeenAdapter> seen;
        ULONG size = 0;
        EXPECT_EQ(GetAdaptersAddresses(AF_INET, GAA_FLAG_INCLUDE_GATEWAYS, nullptr, nullptr, &size),
                  static_cast<ULONG>(ERROR_BUFFER_OVERFLOW));
        auto buffer = std::make_unique<unsigned char[]>(size);
        auto* first = reinterpret_cast<PIP_ADAPTER_ADDRESSES>(buffer.get());
        EXPECT_EQ(GetAdaptersAddresses(AF_INET, GAA_FLAG_INCLUDE_GATEWAYS, nullptr, first, &size),
                  static_cast<ULONG>(NO_ERROR));
        for (auto* a = first; a != nullptr; a = a->Next) {
            SeenAdapter& s = seen[a->AdapterName];
            s.index = a->IfIndex;
            s.type = a->IfType;
            s.status = a->OperStatus;
            s.unicast = ListOf(a->FirstUnicastAddress);
            s.gateways = ListOf(a->FirstGatewayAddress);
            s.dns = ListOf(a->FirstDnsServerAddress);
            order->push_back(a->IfIndex);
        }
        return seen;
    }
};

TEST_F(LinuxTablesSystemTest, AdaptersReportStatusTypeAddressesGatewaysAndNameServers) {
    std::vector<IF_INDEX> order;
    std::map<std::string, SeenAdapter> seen = ReadAdapters(&order);

    ASSERT_EQ(seen.size(), 5u) << "lo, veth0..veth3; labels are not adapters of their own";
    for (size_t i = 1; i < order.size(); ++i)
        EXPECT_LT(order[i - 1], order[i]) << "kernel order";

    const SeenAdapter& lo = seen["lo"];
    EXPECT_EQ(lo.type, static_cast<IFTYPE>(IF_TYPE_SOFTWARE_LOOPBACK));
    EXPECT_EQ(lo.status, IfOperStatusUp);
    EXPECT_EQ(lo.unicast, (std::vector<uint32_t>{Ip(127, 0, 0, 1)}));
    EXPECT_TRUE(lo.dns.empty());

    const SeenAdapter& lan = seen["veth0"];
    EXPECT_NE(lan.type, static_cast<IFTYPE>(IF_TYPE_SOFTWARE_LOOPBACK));
    EXPECT_EQ(lan.status, IfOperStatusUp);
    EXPECT_EQ(lan.unicast, (std::vector<uint32_t>{Ip(169, 254, 10, 1), Ip(192, 168, 1, 10),
                                                  Ip(192, 168, 1, 11)}));
    EXPECT_EQ(lan.gateways, (std::vector<uint32_t>{Ip(192, 168, 1, 1)})) << "default route only";
    EXPECT_EQ(lan.dns, (std::vector<uint32_t>{Ip(192, 0, 2, 53), Ip(192, 0, 2, 54)}));

    EXPECT_EQ(seen["veth1"].status, IfOperStatusUp);
    EXPECT_TRUE(seen["veth1"].unicast.empty());
    EXPECT_TRUE(seen["veth1"].gateways.empty());

    EXPECT_EQ(seen["veth2"].status, IfOperStatusDown) << "up without carrier is not operational";
    EXPECT_EQ(seen["veth2"].unicast, (std::vector<uint32_t>{Ip(10, 9, 9, 9)}));
    EXPECT_EQ(seen["veth3"].status, IfOperStatusDown);
}

TEST_F(LinuxTablesSystemTest, RouteTableHoldsDefaultAndSpecificRoutes) {
    std::vector<IF_INDEX> order;
    IF_INDEX lanIndex = ReadAdapters(&order)["veth0"].index;

    ULONG size = 0;
    ASSERT_EQ(GetIpForwardTable(nullptr, &size, FALSE),
              static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    auto buffer = std::make_unique<unsigned char[]>(size);
    auto* table = reinterpret_cast<PMIB_IPFORWARDTABLE>(buffer.get());
    ASSERT_EQ(GetIpForwardTable(table, &size, TRUE), static_cast<DWORD>(NO_ERROR));

    bool sawDefault = false, sawSpecific = false, sawConnected = false;
    const MIB_IPFORWARDROW* rows = table->table;
    for (DWORD i = 0; i < table->dwNumEntries; ++i) {
        const MIB_IPFORWARDROW& row = rows[i];
        uint32_t dest = ntohl(row.dwForwardDest), mask = ntohl(row.dwForwardMask),
                 hop = ntohl(row.dwForwardNextHop);
        if (dest == 0 && mask == 0) {
            sawDefault = true;
            EXPECT_EQ(hop, Ip(192, 168, 1, 1));
            EXPECT_EQ(row.dwForwardIfIndex, lanIndex);
        }
        if (dest == Ip(10, 0, 0, 0) && mask == Ip(255, 0, 0, 0)) {
            sawSpecific = true;
            EXPECT_EQ(hop, Ip(192, 168, 1, 254));
        }
        if (dest == Ip(192, 168, 1, 0) && mask == Ip(255, 255, 255, 0)) {
            sawConnected = true;
            EXPECT_EQ(hop, 0u);
            EXPECT_EQ(row.dwForwardType, static_cast<DWORD>(MIB_IPROUTE_TYPE_DIRECT));
        }
        if (i > 0) {
            EXPECT_LE(ntohl(rows[i - 1].dwForwardDest), dest) << "sorted on request";
        }
    }
    EXPECT_TRUE(sawDefault);
    EXPECT_TRUE(sawSpecific);
    EXPECT_TRUE(sawConnected);
}

}  // namespace
