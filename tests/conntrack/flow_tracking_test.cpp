// The flow handle and the flow thread over the simulated world: which handle is open for
// which configuration, what the thread does with each event the flow layer reports, and how
// a connection whose close the flow layer missed leaves at the next reconciliation.
#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "conntrack/ConnectionTracking.h"
#include "conntrack/FlowTracking.h"
#include "divert/runtime/Faults.h"
#include "divert/runtime/Trace.h"
#include "divert/sim/SimWorld.h"
#include "engine/FilterBuilder.h"
#include "engine/PacketProcessor.h"
#include "tests/conntrack/TableChecks.h"
#include "tests/services/LogTestSupport.h"

namespace bastion {
namespace {

using divert::sim::Ipv4;
using divert::sim::PacketBuilder;
using testing::TablesConsistent;

const uint32_t kServer = Ipv4("203.0.113.10");  // the simulated host's address
const uint32_t kOther = Ipv4("203.0.113.99");   // a local address outside the filter
const uint32_t kClientA = Ipv4("198.51.100.1");
const uint32_t kClientB = Ipv4("198.51.100.2");
const uint32_t kPeer = Ipv4("192.0.2.1");

AppConfig Off() {
    AppConfig config;
    config.tcpEnabled = false;
    return config;
}

AppConfig TrackingConfig(std::set<uint16_t> ports = {}) {
    AppConfig config;
    config.tcpEnabled = true;
    config.tcpTargetAddress = "203.0.113.10";
    config.tcpPorts = std::move(ports);
    return config;
}

struct FlowShape {
    WINDIVERT_EVENT event = WINDIVERT_EVENT_FLOW_ESTABLISHED;
    uint64_t flowId = 0;
    uint32_t remote = kClientA;
    uint16_t remotePort = 40000;
    uint16_t localPort = 80;
    uint32_t local = kServer;
    uint8_t protocol = 6;
    bool outbound = false;
    bool ipv6 = false;
};

divert::FlowEvent MakeFlow(const FlowShape& shape) {
    divert::FlowEvent event;
    event.event = shape.event;
    event.flowId = shape.flowId;
    event.outbound = shape.outbound;
    event.ipv6 = shape.ipv6;
    divert::MapIPv4(shape.local, event.localAddr);
    divert::MapIPv4(shape.remote, event.remoteAddr);
    event.localPort = shape.localPort;
    event.remotePort = shape.remotePort;
    event.protocol = shape.protocol;
    return event;
}

class FlowTrackingTest : public ::testing::Test {
  protected:
    void SetUp() override {
        divert::ClearFaults();
        sim_ = divert::sim::SimWorld::Install();
        engine_ = std::make_unique<PacketProcessor>(state_);
    }
    void TearDown() override {
        // Closing the handle also wakes a flow thread waiting in a receive.
        engine_->flowRunning = false;
        ConfigureFlowTracking(*engine_, Off());
        if (flowThread_.joinable()) flowThread_.join();
        engine_.reset();
        divert::ClearFaults();
        divert::SetTraceEnabled(false);
        sim_->Uninstall();
    }

    HANDLE Handle() { return engine_->flow.flowHandle.load(); }
    ConnectionTables& tables() { return engine_->connections; }
    uint64_t EventCount() { return engine_->flow.flowEventCount.load(); }
    uint64_t PublishedActive() { return engine_->GetMetrics().activeConnections; }
    std::vector<std::string> Logged() { return testing::QueuedTexts(*engine_); }

    // Events waiting in the open flow handle's queue.
    uint64_t Pending() {
        divert::HandleCounters counters;
        if (!divert::GetHandleCounters(Handle(), &counters)) return 0;
        return counters.queued - counters.received - counters.overflow - counters.expired;
    }

    // Raises `shapes` and runs the flow thread's iteration on this thread for each event that
    // reached the handle (never more: a receive with nothing queued would wait).
    std::vector<FlowStep> Raise(const std::vector<FlowShape>& shapes) {
        for (const FlowShape& shape : shapes)
            sim_->RaiseFlow(MakeFlow(shape));
        std::vector<FlowStep> steps;
        for (uint64_t pending = Pending(); pending > 0; --pending)
            steps.push_back(FlowLoopIteration(*engine_));
        return steps;
    }

    uint32_t AddressCount(uint32_t address) {
        const uint32_t* count = tables().connectionCountByAddress.find(address);
        return count != nullptr ? *count : 0;
    }
    uint32_t LockedAddressCount(uint32_t address) {
        std::shared_lock lock(tables().connTableLock);
        return AddressCount(address);
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

    std::shared_ptr<divert::sim::SimWorld> sim_;
    RuntimeState state_;
    std::unique_ptr<PacketProcessor> engine_;
    std::thread flowThread_;
};

using Steps = std::vector<FlowStep>;

// ---- The flow handle ---------------------------------------------------------------------

TEST_F(FlowTrackingTest, OpensOneSniffReceiveOnlyFlowHandleAndKeepsItForTheSameFilter) {
    divert::SetTraceEnabled(true);
    divert::TakeTrace();
    AppConfig config = TrackingConfig({80, 443});
    ConfigureFlowTracking(*engine_, config);
    HANDLE first = Handle();
    ASSERT_NE(first, nullptr);
    std::vector<divert::TraceRecord> trace = divert::TakeTrace();
    ASSERT_EQ(trace.size(), 1u);
    EXPECT_EQ(trace[0].function, divert::ApiFunction::Open);
    EXPECT_EQ(trace[0].layer, WINDIVERT_LAYER_FLOW);
    EXPECT_EQ(trace[0].flags, UINT64{WINDIVERT_FLAG_SNIFF | WINDIVERT_FLAG_RECV_ONLY});
    EXPECT_EQ(trace[0].priority, 0);
    EXPECT_EQ(trace[0].filter, BuildFlowFilter(config));

    ConfigureFlowTracking(*engine_, config);  // a reload that changes nothing
    EXPECT_EQ(Handle(), first);
    EXPECT_TRUE(divert::TakeTrace().empty());

    ConfigureFlowTracking(*engine_, TrackingConfig({80}));  // another filter: a new handle
    HANDLE second = Handle();
    EXPECT_NE(second, first);
    divert::HandleCounters counters;
    EXPECT_FALSE(divert::GetHandleCounters(first, &counters));  // the old one is closed
    EXPECT_TRUE(Logged().empty());
}

TEST_F(FlowTrackingTest, TcpOffClosesTheHandleEmptiesEveryTableAndReportsZero) {
    ConfigureFlowTracking(*engine_, TrackingConfig());
    HANDLE open = Handle();
    ASSERT_EQ(Raise({{.flowId = 1, .remote = kClientA},
                     {.flowId = 2, .remote = kClientB, .localPort = 443},
                     {.flowId = 3,
                      .remote = kPeer,
                      .remotePort = 443,
                      .localPort = 50000,
                      .outbound = true}}),
              Steps(3, FlowStep::Applied));
    ASSERT_EQ(PublishedActive(), 2u);
    ASSERT_EQ(engine_->flow.flowSeen.size(), 2u);

    ConfigureFlowTracking(*engine_, Off());
    EXPECT_EQ(Handle(), nullptr);
    divert::HandleCounters counters;
    EXPECT_FALSE(divert::GetHandleCounters(open, &counters));
    EXPECT_TRUE(tables().inboundConnections.empty());
    EXPECT_TRUE(tables().connectionsByAddress.empty());
    EXPECT_TRUE(tables().portsByAddress.empty());
    EXPECT_TRUE(tables().connectionCountByAddress.empty());
    EXPECT_TRUE(tables().connectionCountByAddressPort.empty());
    EXPECT_TRUE(tables().outboundConnections.empty());
    EXPECT_TRUE(tables().outboundCountByAddress.empty());
    EXPECT_TRUE(engine_->flow.flowSeen.empty());
    EXPECT_EQ(PublishedActive(), 0u);
    EXPECT_TRUE(engine_->flow.flowFilterText.empty());

    // Switched on again with the filter it had before: a fresh handle, not a stale match.
    ConfigureFlowTracking(*engine_, TrackingConfig());
    EXPECT_NE(Handle(), nullptr);
    EXPECT_NE(Handle(), open);
}

TEST_F(FlowTrackingTest, InvalidFilterIsReportedOnceWithItsPositionAndReplacedByEveryTcpFlow) {
    divert::SetTraceEnabled(true);
    divert::TakeTrace();
    AppConfig config = TrackingConfig();
    config.tcpTargetAddress = "203.0.113.300";
    const std::string text = BuildFlowFilter(config);
    const char* errorString = nullptr;
    UINT position = 0;
    ASSERT_FALSE(WinDivertHelperCompileFilter(text.c_str(), WINDIVERT_LAYER_FLOW, nullptr, 0,
                                              &errorString, &position));

    ConfigureFlowTracking(*engine_, config);
    ConfigureFlowTracking(*engine_, config);  // the same reload: no second warning
    std::vector<std::string> logged = Logged();
    ASSERT_EQ(logged.size(), 1u);
    EXPECT_EQ(logged[0], FormatFlowFilterWarning(text, position, errorString));
    EXPECT_NE(logged[0].find("tại vị trí " + std::to_string(position) + " ("), std::string::npos);
    EXPECT_NE(logged[0].find(" → dùng filter mặc định '(protocol == 6)'"), std::string::npos);
    std::vector<divert::TraceRecord> trace = divert::TakeTrace();
    ASSERT_EQ(trace.size(), 1u);
    EXPECT_EQ(trace[0].filter, "(protocol == 6)");

    // The fallback takes every TCP flow, whatever its local address.
    EXPECT_EQ(Raise({{.flowId = 1, .local = kOther}}), Steps{FlowStep::Applied});
}

TEST_F(FlowTrackingTest, FailedOpenIsReportedKeepsThePreviousHandleAndIsRetried) {
    ConfigureFlowTracking(*engine_, TrackingConfig({80}));
    HANDLE previous = Handle();
    ASSERT_NE(previous, nullptr);

    divert::FailOpens(1, 5);
    ConfigureFlowTracking(*engine_, TrackingConfig({443}));
    EXPECT_EQ(Handle(), previous);
    EXPECT_EQ(Logged(), std::vector<std::string>{
                            "❌ Không mở được FLOW (lỗi 5) - vô hiệu hóa theo dõi TCP flow [vui "
                            "lòng chạy với quyền administrator]"});
    // The previous handle still reports with its own filter.
    EXPECT_EQ(Raise({{.flowId = 1, .localPort = 80}}), Steps{FlowStep::Applied});

    // Asked again with the same configuration, the open is tried again rather than taken as
    // done by the handle of the earlier filter.
    ConfigureFlowTracking(*engine_, TrackingConfig({443}));
    EXPECT_NE(Handle(), previous);
    EXPECT_EQ(Raise({{.flowId = 2, .localPort = 80}, {.flowId = 3, .localPort = 443}}),
              Steps{FlowStep::Applied});
    EXPECT_EQ(Logged().size(), 1u);
}

TEST_F(FlowTrackingTest, FailedFirstOpenLeavesTrackingOffUntilTheNextAttempt) {
    divert::FailOpens(1, 5);
    ConfigureFlowTracking(*engine_, TrackingConfig());
    EXPECT_EQ(Handle(), nullptr);
    EXPECT_EQ(FlowLoopIteration(*engine_), FlowStep::NoHandle);
    ConfigureFlowTracking(*engine_, TrackingConfig());
    EXPECT_NE(Handle(), nullptr);
}

// The flow thread may hold an event it received just before tracking was switched off;
// applied after the tables were emptied, it would leave a connection behind while 0 is
// reported.
TEST_F(FlowTrackingTest, EventFromTheHandleAppliedAfterSwitchOffIsDropped) {
    ConfigureFlowTracking(*engine_, TrackingConfig());
    const WINDIVERT_ADDRESS received = testing::MakeFlowEvent(
        {WINDIVERT_EVENT_FLOW_ESTABLISHED, false, kServer, 80, kClientA, 40000});
    ConfigureFlowTracking(*engine_, Off());
    ApplyFlowEvent(*engine_, received, 1, FlowSource::OpenHandle);
    EXPECT_TRUE(tables().inboundConnections.empty());
    EXPECT_TRUE(engine_->flow.flowSeen.empty());
    EXPECT_EQ(PublishedActive(), 0u);

    ConfigureFlowTracking(*engine_, TrackingConfig());  // on again: events count again
    ApplyFlowEvent(*engine_, received, 2, FlowSource::OpenHandle);
    EXPECT_EQ(AddressCount(kClientA), 1u);
    EXPECT_TRUE(TablesConsistent(tables()));
}

// ---- Events ------------------------------------------------------------------------------

TEST_F(FlowTrackingTest, EventsOtherThanIpv4TcpWithBothAddressesAreCountedAndIgnored) {
    ConfigureFlowTracking(*engine_, TrackingConfig());
    state_.metrics.activeConnections = 77;  // a publication would overwrite this
    divert::FlowEvent ipv6 = MakeFlow({.flowId = 1});
    ipv6.ipv6 = true;  // the address stays the mapped form, which the filter lets through
    sim_->RaiseFlow(ipv6);
    EXPECT_EQ(Raise({{.flowId = 2, .remotePort = 53, .localPort = 53, .protocol = 17},
                     {.flowId = 3, .remote = 0}}),
              Steps(3, FlowStep::Ignored));
    EXPECT_EQ(EventCount(), 3u);
    EXPECT_TRUE(tables().inboundConnections.empty());
    EXPECT_TRUE(engine_->flow.flowSeen.empty());
    EXPECT_EQ(PublishedActive(), 77u);
}

TEST_F(FlowTrackingTest, RepeatedEstablishedCountsTheConnectionOnce) {
    ConfigureFlowTracking(*engine_, TrackingConfig());
    // Two flow ids for one address tuple: the flow layer reported the connection twice.
    EXPECT_EQ(Raise({{.flowId = 1}, {.flowId = 2}}), Steps(2, FlowStep::Applied));
    EXPECT_EQ(EventCount(), 2u);
    EXPECT_EQ(tables().inboundConnections.size(), 1u);
    EXPECT_EQ(AddressCount(kClientA), 1u);
    EXPECT_EQ(PortCount(kClientA, 80), 1u);
    EXPECT_EQ(PublishedActive(), 1u);
    EXPECT_TRUE(TablesConsistent(tables()));
}

TEST_F(FlowTrackingTest, DeletedOfAForgottenConnectionChangesNothing) {
    ConfigureFlowTracking(*engine_, TrackingConfig());
    Raise({{.flowId = 1, .remote = kClientA}, {.flowId = 2, .remote = kClientB}});
    ForgetSourceConnections(*engine_, kClientA);  // blocked in between
    state_.metrics.activeConnections = 77;
    EXPECT_EQ(Raise({{.event = WINDIVERT_EVENT_FLOW_DELETED, .flowId = 1, .remote = kClientA}}),
              Steps{FlowStep::Applied});
    EXPECT_EQ(EventCount(), 3u);
    EXPECT_EQ(tables().inboundConnections.size(), 1u);
    EXPECT_EQ(AddressCount(kClientB), 1u);
    EXPECT_EQ(PublishedActive(), 77u);
    EXPECT_TRUE(TablesConsistent(tables()));
}

TEST_F(FlowTrackingTest, ConnectionsToTwoPortsFromOneAddressAreCountedPerPort) {
    ConfigureFlowTracking(*engine_, TrackingConfig());
    Raise({{.flowId = 1, .remotePort = 5000, .localPort = 80},
           {.flowId = 2, .remotePort = 5001, .localPort = 80},
           {.flowId = 3, .remotePort = 5002, .localPort = 443}});
    EXPECT_EQ(AddressCount(kClientA), 3u);
    EXPECT_EQ(PortCount(kClientA, 80), 2u);
    EXPECT_EQ(PortCount(kClientA, 443), 1u);
    EXPECT_EQ(Ports(kClientA), (std::vector<uint16_t>{80, 443}));

    Raise({{.event = WINDIVERT_EVENT_FLOW_DELETED, .flowId = 1, .remotePort = 5000}});
    EXPECT_EQ(AddressCount(kClientA), 2u);
    EXPECT_EQ(PortCount(kClientA, 80), 1u);
    EXPECT_EQ(Ports(kClientA), (std::vector<uint16_t>{80, 443}));
    EXPECT_EQ(PublishedActive(), 1u);
    const int64_t* seen = engine_->flow.flowSeen.find(kClientA);
    ASSERT_NE(seen, nullptr);
    EXPECT_GT(*seen, 0);
    EXPECT_TRUE(TablesConsistent(tables()));
}

TEST_F(FlowTrackingTest, OutboundFlowsCountPerPeerAndDoNotTouchInboundTables) {
    ConfigureFlowTracking(*engine_, TrackingConfig());
    Raise(
        {{.flowId = 1, .remote = kPeer, .remotePort = 443, .localPort = 50000, .outbound = true},
         {.flowId = 2, .remote = kPeer, .remotePort = 443, .localPort = 50001, .outbound = true}});
    ASSERT_NE(tables().outboundCountByAddress.find(kPeer), nullptr);
    EXPECT_EQ(*tables().outboundCountByAddress.find(kPeer), 2u);
    EXPECT_TRUE(tables().inboundConnections.empty());
    EXPECT_FALSE(engine_->flow.flowSeen.contains(kPeer));
    Raise({{.event = WINDIVERT_EVENT_FLOW_DELETED,
            .flowId = 1,
            .remote = kPeer,
            .remotePort = 443,
            .localPort = 50000,
            .outbound = true}});
    EXPECT_EQ(*tables().outboundCountByAddress.find(kPeer), 1u);
    EXPECT_TRUE(TablesConsistent(tables()));
}

// ---- The thread --------------------------------------------------------------------------

TEST_F(FlowTrackingTest, ReceiveOnAClosedHandleFailsAndTheLoopGoesOn) {
    ConfigureFlowTracking(*engine_, TrackingConfig());
    HANDLE stale = Handle();
    WinDivertClose(stale);  // as if closed between the thread's load and its receive
    EXPECT_EQ(FlowLoopIteration(*engine_), FlowStep::ReceiveFailed);
    EXPECT_EQ(EventCount(), 0u);
}

template <class Predicate>
bool WaitFor(Predicate predicate) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
    while (!predicate()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

TEST_F(FlowTrackingTest, ReplacingTheHandleWakesTheThreadWhichThenReadsTheNewOne) {
    ConfigureFlowTracking(*engine_, TrackingConfig({80}));
    engine_->flowRunning = true;
    flowThread_ = std::thread([this] { FlowLoop(*engine_); });
    sim_->RaiseFlow(MakeFlow({.flowId = 1, .localPort = 80}));
    ASSERT_TRUE(WaitFor([&] { return LockedAddressCount(kClientA) == 1; }));

    // The thread now waits in a receive on the first handle.
    ConfigureFlowTracking(*engine_, TrackingConfig({443}));
    sim_->RaiseFlow(MakeFlow({.flowId = 2, .remote = kClientB, .localPort = 443}));
    EXPECT_TRUE(WaitFor([&] { return LockedAddressCount(kClientB) == 1; }));
    EXPECT_EQ(EventCount(), 2u);
}

TEST_F(FlowTrackingTest, ClosingTheHandleEndsALoopWhoseFlagIsCleared) {
    ConfigureFlowTracking(*engine_, TrackingConfig());
    engine_->flowRunning = true;
    std::atomic<bool> ended{false};
    std::thread loop([&] {
        FlowLoop(*engine_);
        ended = true;
    });
    ASSERT_TRUE(WaitFor([&] { return Pending() == 0 && Handle() != nullptr; }));
    engine_->flowRunning = false;
    ConfigureFlowTracking(*engine_, Off());
    EXPECT_TRUE(WaitFor([&] { return ended.load(); }));
    loop.join();
}

// ---- With the simulated host's own connections and TCP table -----------------------------

// A connection that closes while the handle is being replaced: the close reaches only the
// handle that saw it open, which is already gone. The system's table no longer lists it,
// so the next reconciliation removes it.
TEST_F(FlowTrackingTest, CloseMissedDuringAHandleSwapIsRemovedByTheNextRefresh) {
    ConfigureFlowTracking(*engine_, TrackingConfig({80}));
    divert::sim::SimStack& stack = sim_->Stack();
    stack.Listen(80);
    auto handshake = [&](uint16_t clientPort) {
        sim_->InjectInbound(
            PacketBuilder::Tcp(kClientA, clientPort, kServer, 80).Syn().Seq(100).Build());
        std::vector<divert::sim::PacketRecord> wire = sim_->TakeWire();
        ASSERT_EQ(wire.size(), 1u);
        uint32_t serverSeq = 0;
        for (int i = 0; i < 4; ++i)
            serverSeq = (serverSeq << 8) | wire[0].bytes[24 + i];
        sim_->InjectInbound(PacketBuilder::Tcp(kClientA, clientPort, kServer, 80)
                                .Ack()
                                .Seq(101)
                                .AckNumber(serverSeq + 1)
                                .Build());
    };
    handshake(40000);
    handshake(40001);
    EXPECT_EQ(Raise({}), Steps(2, FlowStep::Applied));
    ASSERT_EQ(AddressCount(kClientA), 2u);

    ConfigureFlowTracking(*engine_, TrackingConfig({80, 8080}));
    ASSERT_TRUE(stack.Abort({kServer, 80, kClientA, 40000}));
    EXPECT_TRUE(Raise({}).empty());
    EXPECT_EQ(AddressCount(kClientA), 2u);

    RefreshTcpConnectionTable(*engine_);
    EXPECT_EQ(AddressCount(kClientA), 1u);
    EXPECT_TRUE(
        tables().inboundConnections.contains(testing::Inbound(kClientA, 40001, kServer, 80)));
    EXPECT_EQ(PublishedActive(), 1u);
    EXPECT_TRUE(TablesConsistent(tables()));
}

}  // namespace
}  // namespace bastion
