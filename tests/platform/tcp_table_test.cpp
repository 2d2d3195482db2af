// GetExtendedTcpTable over a world's TCP table (size protocol, classes, byte order), and the
// Linux readers of the kernel's sockets against real loopback connections.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <vector>

#include "platform/SystemTables.h"
#include "platform/Win32.h"
#include "platform/src/LinuxTcpTable.h"

namespace {

using platform::TcpRow;
using platform::TcpState;

class FixedTables final : public platform::SystemTables {
  public:
    explicit FixedTables(std::vector<TcpRow> rows) : rows_(std::move(rows)) {}
    std::vector<platform::AdapterInfo> Adapters() override { return {}; }
    std::vector<platform::RouteInfo> Routes() override { return {}; }
    std::vector<TcpRow> TcpTable() override { return rows_; }
    std::optional<std::string> HostName() override { return std::nullopt; }
    std::optional<std::vector<uint32_t>> Resolve(const std::string&) override {
        return std::nullopt;
    }

  private:
    std::vector<TcpRow> rows_;
};

TcpRow MakeRow(TcpState state, uint32_t local, uint16_t localPort, uint32_t remote,
               uint16_t remotePort) {
    TcpRow row;
    row.state = state;
    row.localAddr = local;
    row.localPort = localPort;
    row.remoteAddr = remote;
    row.remotePort = remotePort;
    row.pid = 42;
    return row;
}

class GetExtendedTcpTableTest : public ::testing::Test {
  protected:
    void Install(std::vector<TcpRow> rows) {
        platform::SetSystemTables(std::make_shared<FixedTables>(std::move(rows)));
    }
    void TearDown() override { platform::SetSystemTables(nullptr); }

    // Runs the size protocol; returns the rows read.
    std::vector<MIB_TCPROW_OWNER_PID> Read(TCP_TABLE_CLASS tableClass, BOOL order = FALSE) {
        DWORD size = 0;
        EXPECT_EQ(GetExtendedTcpTable(nullptr, &size, order, AF_INET, tableClass, 0),
                  static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
        std::vector<unsigned char> buffer(size);
        EXPECT_EQ(GetExtendedTcpTable(buffer.data(), &size, order, AF_INET, tableClass, 0),
                  static_cast<DWORD>(NO_ERROR));
        DWORD count = 0;
        std::memcpy(&count, buffer.data(), sizeof(count));
        std::vector<MIB_TCPROW_OWNER_PID> rows(count);
        if (count == 0) return rows;
        std::memcpy(rows.data(), buffer.data() + offsetof(MIB_TCPTABLE_OWNER_PID, table),
                    count * sizeof(MIB_TCPROW_OWNER_PID));
        return rows;
    }
};

TEST_F(GetExtendedTcpTableTest, AnnouncesSizeThenFillsRowsInNetworkOrder) {
    Install({MakeRow(TcpState::Established, 0x0A000001, 443, 0xC6336401, 51000)});
    DWORD size = 0;
    ASSERT_EQ(
        GetExtendedTcpTable(nullptr, &size, FALSE, AF_INET, TCP_TABLE_OWNER_PID_CONNECTIONS, 0),
        static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    EXPECT_EQ(size, 4u + 24u);
    DWORD shortSize = size - 1;
    std::vector<unsigned char> buffer(size);
    EXPECT_EQ(GetExtendedTcpTable(buffer.data(), &shortSize, FALSE, AF_INET,
                                  TCP_TABLE_OWNER_PID_CONNECTIONS, 0),
              static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    EXPECT_EQ(shortSize, size);

    std::vector<MIB_TCPROW_OWNER_PID> rows = Read(TCP_TABLE_OWNER_PID_CONNECTIONS);
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0].dwState, static_cast<DWORD>(MIB_TCP_STATE_ESTAB));
    EXPECT_EQ(rows[0].dwLocalAddr, htonl(0x0A000001));
    EXPECT_EQ(rows[0].dwRemoteAddr, htonl(0xC6336401));
    EXPECT_EQ(rows[0].dwLocalPort, static_cast<DWORD>(htons(443)));  // high 16 bits zero
    EXPECT_EQ(rows[0].dwRemotePort, static_cast<DWORD>(htons(51000)));
    EXPECT_EQ(rows[0].dwOwningPid, 42u);
}

TEST_F(GetExtendedTcpTableTest, ClassSelectsListenersOrConnections) {
    Install({MakeRow(TcpState::Listen, 0, 80, 0, 0), MakeRow(TcpState::Established, 1, 80, 2, 3),
             MakeRow(TcpState::TimeWait, 1, 80, 2, 4), MakeRow(TcpState::Listen, 0, 22, 0, 0)});
    struct Case {
        TCP_TABLE_CLASS tableClass;
        size_t rows;
    };
    const Case cases[] = {{TCP_TABLE_OWNER_PID_LISTENER, 2},
                          {TCP_TABLE_OWNER_PID_CONNECTIONS, 2},
                          {TCP_TABLE_OWNER_PID_ALL, 4}};
    for (const Case& c : cases)
        EXPECT_EQ(Read(c.tableClass).size(), c.rows) << c.tableClass;
}

TEST_F(GetExtendedTcpTableTest, EmptyTableStillNeedsTheTableHeader) {
    Install({});
    DWORD size = 0;
    EXPECT_EQ(
        GetExtendedTcpTable(nullptr, &size, FALSE, AF_INET, TCP_TABLE_OWNER_PID_CONNECTIONS, 0),
        static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    EXPECT_EQ(size, sizeof(MIB_TCPTABLE_OWNER_PID));
    EXPECT_TRUE(Read(TCP_TABLE_OWNER_PID_CONNECTIONS).empty());
}

TEST_F(GetExtendedTcpTableTest, SortedOnRequest) {
    Install(
        {MakeRow(TcpState::Established, 2, 80, 9, 1), MakeRow(TcpState::Established, 1, 443, 9, 1),
         MakeRow(TcpState::Established, 1, 80, 9, 2), MakeRow(TcpState::Established, 1, 80, 8, 1)});
    std::vector<MIB_TCPROW_OWNER_PID> rows = Read(TCP_TABLE_OWNER_PID_CONNECTIONS, TRUE);
    ASSERT_EQ(rows.size(), 4u);
    EXPECT_EQ(ntohl(rows[0].dwRemoteAddr), 8u);
    EXPECT_EQ(ntohs(static_cast<uint16_t>(rows[1].dwRemotePort)), 2u);
    EXPECT_EQ(ntohs(static_cast<uint16_t>(rows[2].dwLocalPort)), 443u);
    EXPECT_EQ(ntohl(rows[3].dwLocalAddr), 2u);
}

TEST_F(GetExtendedTcpTableTest, FillsAnUnalignedBuffer) {
    Install(
        {MakeRow(TcpState::Established, 1, 80, 2, 3), MakeRow(TcpState::Established, 4, 80, 5, 6)});
    std::vector<unsigned char> storage(4 + 2 * 24 + 1);
    DWORD size = static_cast<DWORD>(storage.size() - 1);
    ASSERT_EQ(
        GetExtendedTcpTable(storage.data() + 1, &size, FALSE, AF_INET, TCP_TABLE_OWNER_PID_ALL, 0),
        static_cast<DWORD>(NO_ERROR));
    MIB_TCPROW_OWNER_PID second;
    std::memcpy(&second, storage.data() + 1 + 4 + 24, sizeof(second));
    EXPECT_EQ(ntohl(second.dwRemoteAddr), 5u);
}

TEST_F(GetExtendedTcpTableTest, RejectsWhatItDoesNotProvide) {
    Install({});
    DWORD size = 0;
    struct Case {
        ULONG family;
        TCP_TABLE_CLASS tableClass;
        PDWORD size;
        DWORD expected;
    };
    const Case cases[] = {
        {AF_INET6, TCP_TABLE_OWNER_PID_ALL, &size, ERROR_NOT_SUPPORTED},
        {99, TCP_TABLE_OWNER_PID_ALL, &size, ERROR_INVALID_PARAMETER},
        {AF_INET, TCP_TABLE_BASIC_ALL, &size, ERROR_INVALID_PARAMETER},
        {AF_INET, TCP_TABLE_OWNER_MODULE_ALL, &size, ERROR_INVALID_PARAMETER},
        {AF_INET, TCP_TABLE_OWNER_PID_ALL, nullptr, ERROR_INVALID_PARAMETER},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(GetExtendedTcpTable(nullptr, c.size, FALSE, c.family, c.tableClass, 0),
                  c.expected)
            << c.family << "/" << c.tableClass;
    }
}

// ---- The kernel's table ----------------------------------------------------------------------

// A loopback connection (and a listener) that lives as long as the object.
class LoopbackConnection {
  public:
    // `family` of the listener: AF_INET, or AF_INET6 listening on "::" (dual stack).
    explicit LoopbackConnection(int family) {
        listener_ = socket(family, SOCK_STREAM, 0);
        if (listener_ < 0) return;
        if (family == AF_INET6) {
            int off = 0;
            setsockopt(listener_, IPPROTO_IPV6, IPV6_V6ONLY, &off, sizeof(off));
            sockaddr_in6 any{};
            any.sin6_family = AF_INET6;
            any.sin6_addr = in6addr_any;
            if (bind(listener_, reinterpret_cast<sockaddr*>(&any), sizeof(any)) != 0) return;
        } else {
            sockaddr_in loopback{};
            loopback.sin_family = AF_INET;
            loopback.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            if (bind(listener_, reinterpret_cast<sockaddr*>(&loopback), sizeof(loopback)) != 0)
                return;
        }
        if (listen(listener_, 4) != 0) return;
        sockaddr_storage bound{};
        socklen_t length = sizeof(bound);
        getsockname(listener_, reinterpret_cast<sockaddr*>(&bound), &length);
        serverPort = ntohs(family == AF_INET6 ? reinterpret_cast<sockaddr_in6*>(&bound)->sin6_port
                                              : reinterpret_cast<sockaddr_in*>(&bound)->sin_port);

        client_ = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in target{};
        target.sin_family = AF_INET;
        target.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        target.sin_port = htons(serverPort);
        if (connect(client_, reinterpret_cast<sockaddr*>(&target), sizeof(target)) != 0) return;
        server_ = accept(listener_, nullptr, nullptr);
        sockaddr_in local{};
        length = sizeof(local);
        getsockname(client_, reinterpret_cast<sockaddr*>(&local), &length);
        clientPort = ntohs(local.sin_port);
        ok = server_ >= 0;
    }
    ~LoopbackConnection() {
        for (int fd : {client_, server_, listener_}) {
            if (fd < 0) continue;
            linger hard{1, 0};
            setsockopt(fd, SOL_SOCKET, SO_LINGER, &hard, sizeof(hard));
            close(fd);
        }
    }

    bool ok = false;
    uint16_t serverPort = 0;
    uint16_t clientPort = 0;

  private:
    int listener_ = -1;
    int client_ = -1;
    int server_ = -1;
};

bool HasRow(const std::vector<TcpRow>& rows, TcpState state, uint16_t localPort,
            uint16_t remotePort) {
    return std::any_of(rows.begin(), rows.end(), [&](const TcpRow& row) {
        bool loopback = state == TcpState::Listen ||
                        (row.localAddr == INADDR_LOOPBACK && row.remoteAddr == INADDR_LOOPBACK);
        return row.state == state && row.localPort == localPort && row.remotePort == remotePort &&
               loopback;
    });
}

TEST(LinuxTcpTableTest, BothReadersListBothEndsOfAConnection) {
    for (int family : {AF_INET, AF_INET6}) {
        LoopbackConnection connection(family);
        if (!connection.ok) {
            if (family == AF_INET6)
                continue;  // no IPv6 on this machine: the dual-stack case cannot arise
            FAIL() << "loopback connection could not be opened";
        }
        std::vector<TcpRow> diag, proc;
        bool haveDiag = platform::linux_tcp::ReadSockDiag(diag);
        ASSERT_TRUE(platform::linux_tcp::ReadProcNet(proc));
        for (const auto* rows : {&diag, &proc}) {
            if (rows == &diag && !haveDiag) continue;
            const char* reader = rows == &diag ? "sock_diag" : "/proc";
            EXPECT_TRUE(
                HasRow(*rows, TcpState::Established, connection.clientPort, connection.serverPort))
                << reader << " family " << family;
            // With a dual-stack listener the accepted end is an IPv4-mapped IPv6 socket.
            EXPECT_TRUE(
                HasRow(*rows, TcpState::Established, connection.serverPort, connection.clientPort))
                << reader << " family " << family;
        }
        if (family == AF_INET) {
            EXPECT_TRUE(HasRow(proc, TcpState::Listen, connection.serverPort, 0));
        }
    }
}

}  // namespace
