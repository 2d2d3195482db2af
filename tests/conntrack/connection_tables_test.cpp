// The connection tables: flow-event bookkeeping, reconciliation with the system's TCP table,
// recounting, forgetting a blocked source, clearing, and the packet path's reader.
#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "conntrack/ConnectionTableOps.h"
#include "conntrack/ConnectionTracking.h"
#include "conntrack/FlowTracking.h"
#include "engine/PacketProcessor.h"
#include "platform/Clock.h"
#include "tests/conntrack/TableChecks.h"

namespace bastion {
namespace {

using platform::TcpState;
using testing::FlowEventShape;
using testing::Inbound;
using testing::MakeFlowEvent;
using testing::Row;
using testing::TablesConsistent;

constexpr uint32_t kLocal = 0x0A000001;    // 10.0.0.1
constexpr uint32_t kClientA = 0xC6336401;  // 198.51.100.1
constexpr uint32_t kClientB = 0xC6336402;  // 198.51.100.2
constexpr uint32_t kPeer = 0xCB007101;     // 203.0.113.1

class ConnectionTablesTest : public ::testing::Test {
  protected:
    void SetUp() override { platform::SetSystemTables(system_); }
    void TearDown() override { platform::SetSystemTables(nullptr); }

    void Establish(const ConnectionKey& key, int64_t now = 1000) {
        ApplyFlowEvent(engine_,
                       MakeFlowEvent({WINDIVERT_EVENT_FLOW_ESTABLISHED, false, key.localAddr,
                                      key.localPort, key.remoteAddr, key.remotePort}),
                       now);
    }
    void Delete(const ConnectionKey& key) {
        ApplyFlowEvent(engine_,
                       MakeFlowEvent({WINDIVERT_EVENT_FLOW_DELETED, false, key.localAddr,
                                      key.localPort, key.remoteAddr, key.remotePort}),
                       2000);
    }
    void Outbound(WINDIVERT_EVENT event, uint32_t remote, uint16_t remotePort, uint16_t localPort) {
        ApplyFlowEvent(engine_, MakeFlowEvent({event, true, kLocal, localPort, remote, remotePort}),
                       1000);
    }

    uint32_t AddressCount(uint32_t address) {
        const uint32_t* count = tables().connectionCountByAddress.find(address);
        return count != nullptr ? *count : 0;
    }
    uint32_t PortCount(uint32_t address, uint16_t port) {
        const uint32_t* count =
            tables().connectionCountByAddressPort.find(AddressPortKey{address, port});
        return count != nullptr ? *count : 0;
    }
    std::vector<uint16_t> Ports(uint32_t address) {
        const std::vector<uint16_t>* ports = tables().portsByAddress.find(address);
        std::vector<uint16_t> sorted = ports != nullptr ? *ports : std::vector<uint16_t>{};
        std::sort(sorted.begin(), sorted.end());
        return sorted;
    }
    uint64_t PublishedActive() { return engine_.GetMetrics().activeConnections; }
    void SetPublished(uint64_t value) {
        std::lock_guard lock(engine_.metricsMutex);
        state_.metrics.activeConnections = value;
    }
    ConnectionTables& tables() { return engine_.connections; }

    std::shared_ptr<testing::ScriptedTcpTable> system_ =
        std::make_shared<testing::ScriptedTcpTable>();
    RuntimeState state_;
    PacketProcessor engine_{state_};
};

// ---- Flow events -----------------------------------------------------------------------------

TEST_F(ConnectionTablesTest, UntrackedFlowEventsChangeNothing) {
    struct Case {
        const char* what;
        FlowEventShape shape;
    };
    const Case cases[] = {
        {"IPv6 flow",
         {WINDIVERT_EVENT_FLOW_ESTABLISHED, false, kLocal, 80, kClientA, 5000, 6, true}},
        {"UDP flow",
         {WINDIVERT_EVENT_FLOW_ESTABLISHED, false, kLocal, 53, kClientA, 5000, 17, false}},
        {"zero local address", {WINDIVERT_EVENT_FLOW_ESTABLISHED, false, 0, 80, kClientA, 5000}},
        {"zero remote address", {WINDIVERT_EVENT_FLOW_ESTABLISHED, false, kLocal, 80, 0, 5000}},
        {"socket event", {WINDIVERT_EVENT_SOCKET_CONNECT, false, kLocal, 80, kClientA, 5000}},
        {"outbound IPv6",
         {WINDIVERT_EVENT_FLOW_ESTABLISHED, true, kLocal, 5000, kPeer, 443, 6, true}},
    };
    for (const Case& c : cases) {
        EXPECT_FALSE(IsTrackedFlowEvent(MakeFlowEvent(c.shape))) << c.what;
    }
    FlowEventShape tracked{WINDIVERT_EVENT_FLOW_DELETED, true, kLocal, 5000, kPeer, 443};
    EXPECT_TRUE(IsTrackedFlowEvent(MakeFlowEvent(tracked)));
}

TEST_F(ConnectionTablesTest, RepeatedEstablishCountsOnceAndRefreshesLastSeen) {
    ConnectionKey key = Inbound(kClientA, 5000, kLocal, 80);
    Establish(key, 1000);
    Establish(key, 5000);
    EXPECT_EQ(tables().inboundConnections.size(), 1u);
    EXPECT_EQ(AddressCount(kClientA), 1u);
    EXPECT_EQ(PortCount(kClientA, 80), 1u);
    const ConnectionEntry* entry = tables().inboundConnections.find(key);
    ASSERT_NE(entry, nullptr);
    EXPECT_EQ(entry->firstSeen, 1000);
    EXPECT_EQ(entry->lastSeen, 5000);
    EXPECT_EQ(PublishedActive(), 1u);
    EXPECT_TRUE(TablesConsistent(tables()));
}

TEST_F(ConnectionTablesTest, DeleteOfUnknownConnectionChangesNothing) {
    Establish(Inbound(kClientA, 5000, kLocal, 80));
    SetPublished(77);  // a publication would overwrite this
    Delete(Inbound(kClientA, 5001, kLocal, 80));
    Delete(Inbound(kClientB, 5000, kLocal, 80));
    EXPECT_EQ(tables().inboundConnections.size(), 1u);
    EXPECT_EQ(AddressCount(kClientA), 1u);
    EXPECT_EQ(PublishedActive(), 77u);
    EXPECT_TRUE(TablesConsistent(tables()));
}

TEST_F(ConnectionTablesTest, CountsAndPortsFollowConnectionsOfOneAddress) {
    ConnectionKey first80 = Inbound(kClientA, 5000, kLocal, 80);
    Establish(first80);
    Establish(Inbound(kClientA, 5001, kLocal, 80));
    Establish(Inbound(kClientA, 5002, kLocal, 443));
    EXPECT_EQ(AddressCount(kClientA), 3u);
    EXPECT_EQ(PortCount(kClientA, 80), 2u);
    EXPECT_EQ(PortCount(kClientA, 443), 1u);
    EXPECT_EQ(Ports(kClientA), (std::vector<uint16_t>{80, 443}));

    Delete(first80);
    EXPECT_EQ(AddressCount(kClientA), 2u);
    EXPECT_EQ(PortCount(kClientA, 80), 1u);
    EXPECT_EQ(Ports(kClientA), (std::vector<uint16_t>{80, 443}));
    EXPECT_EQ(tables().activeAddressCount.load(), 1u);
    EXPECT_TRUE(TablesConsistent(tables()));
}

TEST_F(ConnectionTablesTest, LastConnectionOfAddressRemovesAddressAndPublishes) {
    ConnectionKey a = Inbound(kClientA, 5000, kLocal, 80);
    ConnectionKey b = Inbound(kClientB, 5000, kLocal, 80);
    Establish(a);
    Establish(b);
    EXPECT_EQ(PublishedActive(), 2u);
    Delete(a);
    EXPECT_EQ(PublishedActive(), 1u);
    EXPECT_FALSE(tables().connectionCountByAddress.contains(kClientA));
    EXPECT_FALSE(tables().portsByAddress.contains(kClientA));
    EXPECT_FALSE(tables().connectionsByAddress.contains(kClientA));
    EXPECT_TRUE(TablesConsistent(tables()));
}

TEST_F(ConnectionTablesTest, NewInboundConnectionStampsFlowSeenOnce) {
    ConnectionKey key = Inbound(kClientA, 5000, kLocal, 80);
    Establish(key, 1000);
    Establish(key, 9000);  // repeated: not a new connection
    const int64_t* seen = engine_.flow.flowSeen.find(kClientA);
    ASSERT_NE(seen, nullptr);
    EXPECT_EQ(*seen, 1000);
    Outbound(WINDIVERT_EVENT_FLOW_ESTABLISHED, kPeer, 443, 6000);
    EXPECT_FALSE(engine_.flow.flowSeen.contains(kPeer));
}

TEST_F(ConnectionTablesTest, OutboundConnectionsCountPerRemoteAddress) {
    Outbound(WINDIVERT_EVENT_FLOW_ESTABLISHED, kPeer, 443, 6000);
    Outbound(WINDIVERT_EVENT_FLOW_ESTABLISHED, kPeer, 443, 6001);
    Outbound(WINDIVERT_EVENT_FLOW_ESTABLISHED, kPeer, 443, 6001);
    ASSERT_NE(tables().outboundCountByAddress.find(kPeer), nullptr);
    EXPECT_EQ(*tables().outboundCountByAddress.find(kPeer), 2u);
    Outbound(WINDIVERT_EVENT_FLOW_DELETED, kPeer, 443, 6000);
    EXPECT_EQ(*tables().outboundCountByAddress.find(kPeer), 1u);
    Outbound(WINDIVERT_EVENT_FLOW_DELETED, kPeer, 443, 6000);  // already gone
    Outbound(WINDIVERT_EVENT_FLOW_DELETED, kPeer, 443, 6001);
    EXPECT_FALSE(tables().outboundCountByAddress.contains(kPeer));
    EXPECT_TRUE(tables().inboundConnections.empty());
    EXPECT_EQ(PublishedActive(), 0u);
    EXPECT_TRUE(TablesConsistent(tables()));
}

TEST_F(ConnectionTablesTest, ManyConnectionsOfOneAddressCloseInAnyOrder) {
    std::vector<ConnectionKey> keys;
    for (uint16_t i = 0; i < 500; ++i)
        keys.push_back(Inbound(kClientA, 10000 + i, kLocal, 80 + i % 3));
    for (const ConnectionKey& key : keys)
        Establish(key);
    // Close every third first, then the rest from the back: slots move in both directions.
    for (size_t i = 0; i < keys.size(); i += 3)
        Delete(keys[i]);
    ASSERT_TRUE(TablesConsistent(tables()));
    for (size_t i = keys.size(); i-- > 0;)
        Delete(keys[i]);
    EXPECT_TRUE(tables().inboundConnections.empty());
    EXPECT_TRUE(TablesConsistent(tables()));
}

// ---- Reconciliation with the system's table
// ------------------------------------------------------

TEST_F(ConnectionTablesTest, RefreshRemovesConnectionsTheSystemNoLongerHasEstablished) {
    struct Case {
        TcpState state;
        bool kept;
    };
    const Case cases[] = {
        {TcpState::Established, true}, {TcpState::CloseWait, false}, {TcpState::TimeWait, false},
        {TcpState::FinWait1, false},   {TcpState::LastAck, false},   {TcpState::SynReceived, false},
    };
    std::vector<platform::TcpRow> rows;
    std::vector<ConnectionKey> keys;
    for (uint16_t i = 0; i < std::size(cases); ++i) {
        ConnectionKey key = Inbound(kClientA + i, 5000, kLocal, 80);
        Establish(key);
        rows.push_back(Row(key, cases[i].state));
        keys.push_back(key);
    }
    system_->SetRows(rows);
    RefreshTcpConnectionTable(engine_);
    for (size_t i = 0; i < std::size(cases); ++i) {
        EXPECT_EQ(tables().inboundConnections.contains(keys[i]), cases[i].kept)
            << "state " << static_cast<int>(cases[i].state);
    }
    EXPECT_EQ(PublishedActive(), 1u);
    EXPECT_TRUE(TablesConsistent(tables()));
}

TEST_F(ConnectionTablesTest, RefreshDoesNotAddConnectionsTheFlowLayerNeverAnnounced) {
    ConnectionKey tracked = Inbound(kClientA, 5000, kLocal, 80);
    Establish(tracked);
    system_->SetRows({Row(tracked), Row(Inbound(kClientB, 6000, kLocal, 80))});
    SetPublished(77);
    RefreshTcpConnectionTable(engine_);
    EXPECT_EQ(tables().inboundConnections.size(), 1u);
    EXPECT_FALSE(tables().connectionCountByAddress.contains(kClientB));
    EXPECT_EQ(PublishedActive(), 77u);  // nothing removed, nothing published
}

TEST_F(ConnectionTablesTest, RefreshRemovingLastConnectionOfAddressDropsActiveCount) {
    ConnectionKey a = Inbound(kClientA, 5000, kLocal, 80);
    ConnectionKey b = Inbound(kClientB, 5000, kLocal, 80);
    Establish(a);
    Establish(b);
    system_->SetRows({Row(b)});
    RefreshTcpConnectionTable(engine_);
    EXPECT_FALSE(tables().connectionCountByAddress.contains(kClientA));
    EXPECT_EQ(tables().activeAddressCount.load(), 1u);
    EXPECT_EQ(PublishedActive(), 1u);
    EXPECT_TRUE(TablesConsistent(tables()));
}

// Two connections of one address share local port 80; the system has closed one. The port
// stays listed for the other, with its count down to one.
TEST_F(ConnectionTablesTest, RefreshKeepsPortListedWhileAnotherConnectionUsesIt) {
    ConnectionKey gone = Inbound(kClientA, 5000, kLocal, 80);
    ConnectionKey stays = Inbound(kClientA, 5001, kLocal, 80);
    Establish(gone);
    Establish(stays);
    system_->SetRows({Row(stays)});
    RefreshTcpConnectionTable(engine_);
    EXPECT_EQ(Ports(kClientA), (std::vector<uint16_t>{80}));
    EXPECT_EQ(PortCount(kClientA, 80), 1u);
    EXPECT_EQ(AddressCount(kClientA), 1u);
    EXPECT_TRUE(TablesConsistent(tables()));
}

TEST_F(ConnectionTablesTest, RefreshRemovesClosedOutboundConnections) {
    Outbound(WINDIVERT_EVENT_FLOW_ESTABLISHED, kPeer, 443, 6000);
    Outbound(WINDIVERT_EVENT_FLOW_ESTABLISHED, kPeer, 443, 6001);
    // The system lists outbound connections from this machine's side too.
    system_->SetRows({Row(Inbound(kPeer, 443, kLocal, 6001))});
    RefreshTcpConnectionTable(engine_);
    EXPECT_EQ(tables().outboundConnections.size(), 1u);
    ASSERT_NE(tables().outboundCountByAddress.find(kPeer), nullptr);
    EXPECT_EQ(*tables().outboundCountByAddress.find(kPeer), 1u);
    EXPECT_TRUE(TablesConsistent(tables()));
}

TEST_F(ConnectionTablesTest, EverGrowingSystemTableIsReadThreeTimesThenSkipped) {
    ConnectionKey key = Inbound(kClientA, 5000, kLocal, 80);
    Establish(key);
    system_->SetRows({});
    system_->GrowPerRead(100);  // 2,400 bytes per read, beyond the 1,024-byte slack
    RefreshTcpConnectionTable(engine_);
    EXPECT_EQ(system_->Reads(), 6);  // size query and read, three times
    EXPECT_TRUE(tables().inboundConnections.contains(key));

    system_->GrowPerRead(10);  // fits in the slack: the next period reconciles
    RefreshTcpConnectionTable(engine_);
    EXPECT_EQ(system_->Reads(), 8);
    EXPECT_FALSE(tables().inboundConnections.contains(key));
}

TEST_F(ConnectionTablesTest, UnreadableSystemTableRemovesNothing) {
    Establish(Inbound(kClientA, 5000, kLocal, 80));
    system_->FailReads(true);
    RefreshTcpConnectionTable(engine_);
    EXPECT_EQ(tables().inboundConnections.size(), 1u);
    EXPECT_EQ(PublishedActive(), 1u);
}

TEST_F(ConnectionTablesTest, EmptySystemTableRemovesEverything) {
    Establish(Inbound(kClientA, 5000, kLocal, 80));
    Outbound(WINDIVERT_EVENT_FLOW_ESTABLISHED, kPeer, 443, 6000);
    system_->SetRows({});
    RefreshTcpConnectionTable(engine_);
    EXPECT_TRUE(tables().inboundConnections.empty());
    EXPECT_TRUE(tables().outboundConnections.empty());
    EXPECT_EQ(PublishedActive(), 0u);
    EXPECT_TRUE(TablesConsistent(tables()));
}

// ---- Recount, forget, clear ------------------------------------------------------------------

TEST_F(ConnectionTablesTest, RebuildRepairsDriftedCountsAndPublishes) {
    Establish(Inbound(kClientA, 5000, kLocal, 80));
    Establish(Inbound(kClientA, 5001, kLocal, 443));
    Outbound(WINDIVERT_EVENT_FLOW_ESTABLISHED, kPeer, 443, 6000);
    {
        std::unique_lock lock(tables().connTableLock);
        tables().connectionCountByAddress[kClientB] = 4;
        tables().connectionCountByAddressPort[AddressPortKey{kClientA, 80}] = 9;
        tables().portsByAddress[kClientB].push_back(22);
        tables().activeAddressCount = 2;
        tables().outboundCountByAddress[kPeer] = 5;
    }
    RebuildConnectionCounts(engine_);
    EXPECT_TRUE(TablesConsistent(tables()));
    EXPECT_EQ(PublishedActive(), 1u);
}

TEST_F(ConnectionTablesTest, RebuildOfConsistentTablesPublishesNothing) {
    Establish(Inbound(kClientA, 5000, kLocal, 80));
    SetPublished(77);
    RebuildConnectionCounts(engine_);
    EXPECT_EQ(PublishedActive(), 77u);
    EXPECT_TRUE(TablesConsistent(tables()));
}

TEST_F(ConnectionTablesTest, RebuildGivesBackStorageOfEmptiedTables) {
    std::vector<ConnectionKey> keys;
    for (uint32_t i = 0; i < 20000; ++i)
        keys.push_back(Inbound(kClientA + i, 5000, kLocal, 80));
    for (const ConnectionKey& key : keys)
        Establish(key);
    size_t full = tables().inboundConnections.capacity();
    for (size_t i = 1; i < keys.size(); ++i)
        Delete(keys[i]);
    EXPECT_EQ(tables().inboundConnections.capacity(), full);
    RebuildConnectionCounts(engine_);
    EXPECT_LT(tables().inboundConnections.capacity(), full / 64);
    EXPECT_LT(tables().connectionsByAddress.capacity(), full / 64);
    EXPECT_TRUE(tables().inboundConnections.contains(keys[0]));
    EXPECT_TRUE(TablesConsistent(tables()));
}

TEST_F(ConnectionTablesTest, ForgetSourceRemovesOnlyThatAddress) {
    Establish(Inbound(kClientA, 5000, kLocal, 80));
    Establish(Inbound(kClientA, 5001, kLocal, 80));
    Establish(Inbound(kClientA, 5002, kLocal, 443));
    Establish(Inbound(kClientB, 5000, kLocal, 80));
    ForgetSourceConnections(engine_, kClientA);
    EXPECT_EQ(tables().inboundConnections.size(), 1u);
    EXPECT_FALSE(tables().connectionsByAddress.contains(kClientA));
    EXPECT_EQ(PortCount(kClientA, 80), 0u);
    EXPECT_EQ(PortCount(kClientA, 443), 0u);
    EXPECT_EQ(PortCount(kClientB, 80), 1u);
    EXPECT_EQ(PublishedActive(), 1u);
    EXPECT_TRUE(TablesConsistent(tables()));

    SetPublished(77);
    ForgetSourceConnections(engine_, kClientA);  // nothing left: nothing published
    EXPECT_EQ(PublishedActive(), 77u);
}

TEST_F(ConnectionTablesTest, ClearEmptiesEveryTableAndPublishesZero) {
    Establish(Inbound(kClientA, 5000, kLocal, 80));
    Outbound(WINDIVERT_EVENT_FLOW_ESTABLISHED, kPeer, 443, 6000);
    ClearConnectionTables(engine_);
    EXPECT_TRUE(tables().inboundConnections.empty());
    EXPECT_TRUE(tables().connectionsByAddress.empty());
    EXPECT_TRUE(tables().portsByAddress.empty());
    EXPECT_TRUE(tables().connectionCountByAddress.empty());
    EXPECT_TRUE(tables().connectionCountByAddressPort.empty());
    EXPECT_TRUE(tables().outboundConnections.empty());
    EXPECT_TRUE(tables().outboundCountByAddress.empty());
    EXPECT_EQ(tables().activeAddressCount.load(), 0u);
    EXPECT_EQ(PublishedActive(), 0u);
}

TEST_F(ConnectionTablesTest, ReaderReportsCountsOfSourceAndPort) {
    Establish(Inbound(kClientA, 5000, kLocal, 80));
    Establish(Inbound(kClientA, 5001, kLocal, 80));
    Establish(Inbound(kClientA, 5002, kLocal, 443));
    Establish(Inbound(kClientB, 5000, kLocal, 22));
    ConnectionFacts facts;
    ASSERT_TRUE(TryReadConnectionFacts(tables(), kClientA, 80, facts));
    EXPECT_EQ(facts.addressConnections, 3u);
    EXPECT_EQ(facts.addressPortConnections, 2u);
    EXPECT_EQ(facts.activeAddresses, 2u);
    ASSERT_TRUE(TryReadConnectionFacts(tables(), kPeer, 80, facts));
    EXPECT_EQ(facts.addressConnections, 0u);
    EXPECT_EQ(facts.addressPortConnections, 0u);
    EXPECT_EQ(facts.activeAddresses, 2u);
}

}  // namespace
}  // namespace bastion
