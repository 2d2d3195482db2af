// The flow layer through its filter, every fault hook, and the API call trace.
#include <gtest/gtest.h>

#include "SimFixture.h"

namespace divert::simtest {
namespace {

constexpr UINT64 kFlowFlags = WINDIVERT_FLAG_SNIFF | WINDIVERT_FLAG_RECV_ONLY;

FlowEvent TcpFlow(uint64_t id, WINDIVERT_EVENT event, uint16_t localPort = 80) {
    FlowEvent e;
    e.event = event;
    e.flowId = id;
    MapIPv4(kServer, e.localAddr);
    MapIPv4(kClient, e.remoteAddr);
    e.localPort = localPort;
    e.remotePort = 40000;
    e.protocol = 6;
    e.processId = 7;
    return e;
}

class FlowTest : public SimFixture {
  protected:
    // Events queued on `h`, as (flow id, event) pairs.
    static std::vector<std::pair<uint64_t, UINT32>> Events(HANDLE h) {
        std::vector<std::pair<uint64_t, UINT32>> events;
        for (;;) {
            WINDIVERT_ADDRESS a[8]{};
            UINT addrLen = sizeof(a), len = 99;
            OVERLAPPED ov{};
            if (!WinDivertRecvEx(h, nullptr, 0, &len, 0, a, &addrLen, &ov)) {
                CancelIoEx(h, &ov);
                return events;
            }
            EXPECT_EQ(len, 0u);
            for (UINT i = 0; i < addrLen / 80; ++i)
                events.emplace_back(a[i].Flow.EndpointId, UINT32{a[i].Event});
        }
    }
};

TEST_F(FlowTest, EventsPassTheFlowFilter) {
    HANDLE all = Open("true", 0, kFlowFlags, WINDIVERT_LAYER_FLOW);
    HANDLE web = Open("localPort == 80", 0, kFlowFlags, WINDIVERT_LAYER_FLOW);
    sim_->RaiseFlow(TcpFlow(1, WINDIVERT_EVENT_FLOW_ESTABLISHED, 80));
    sim_->RaiseFlow(TcpFlow(2, WINDIVERT_EVENT_FLOW_ESTABLISHED, 22));
    sim_->RaiseFlow(TcpFlow(1, WINDIVERT_EVENT_FLOW_DELETED, 80));
    using E = std::vector<std::pair<uint64_t, UINT32>>;
    EXPECT_EQ(Events(all), (E{{1, 1}, {2, 1}, {1, 2}}));
    EXPECT_EQ(Events(web), (E{{1, 1}, {1, 2}}));
}

TEST_F(FlowTest, DeletedReachesOnlyHandlesThatSawTheFlowEstablished) {
    HANDLE early = Open("true", 0, kFlowFlags, WINDIVERT_LAYER_FLOW);
    sim_->RaiseFlow(TcpFlow(1, WINDIVERT_EVENT_FLOW_ESTABLISHED));
    HANDLE late = Open("true", 0, kFlowFlags, WINDIVERT_LAYER_FLOW);
    sim_->RaiseFlow(TcpFlow(1, WINDIVERT_EVENT_FLOW_DELETED));
    sim_->RaiseFlow(TcpFlow(1, WINDIVERT_EVENT_FLOW_DELETED));  // a second one is not reported
    using E = std::vector<std::pair<uint64_t, UINT32>>;
    EXPECT_EQ(Events(early), (E{{1, 1}, {1, 2}}));
    EXPECT_TRUE(Events(late).empty());
}

TEST_F(FlowTest, BlockingRecvWithoutBufferReturnsTheEvent) {
    HANDLE h = Open("true", 0, kFlowFlags, WINDIVERT_LAYER_FLOW);
    sim_->RaiseFlow(TcpFlow(9, WINDIVERT_EVENT_FLOW_ESTABLISHED));
    WINDIVERT_ADDRESS a{};
    UINT len = 5;
    ASSERT_TRUE(WinDivertRecv(h, nullptr, 0, &len, &a));
    EXPECT_EQ(len, 0u);
    EXPECT_EQ(a.Flow.EndpointId, 9u);
    EXPECT_EQ(a.Flow.ProcessId, 7u);
    EXPECT_EQ(a.Sniffed, 1u);
    // Packets never reach a flow handle.
    sim_->InjectInbound(InboundTcp());
    EXPECT_EQ(DeliveredTags().size(), 1u);
    EXPECT_EQ(sim_->CountersOf(h).queued, 1u);
}

// ---- Fault hooks --------------------------------------------------------------------------

using FaultTest = SimFixture;

TEST_F(FaultTest, FailedOpensMatchPriorityAndFlags) {
    FailOpens(2, ERROR_ACCESS_DENIED);
    for (int i = 0; i < 2; ++i) {
        EXPECT_EQ(WinDivertOpen("true", WINDIVERT_LAYER_NETWORK, 0, 0), INVALID_HANDLE_VALUE);
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    }
    Open("true");

    // Argument errors still come first and do not use up the fault.
    FailOpens(1, ERROR_WORKING_SET_QUOTA, INT16{29990}, UINT64{6});
    EXPECT_EQ(WinDivertOpen("true", WINDIVERT_LAYER_NETWORK, 29990, 3), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    Open("true", 29991, 6);  // other priority
    Open("true", 29990, 2);  // other flags
    EXPECT_EQ(WinDivertOpen("true", WINDIVERT_LAYER_NETWORK, 29990, 6), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_WORKING_SET_QUOTA));
    Open("true", 29990, 6);  // used up
}

TEST_F(FaultTest, ScriptedSendOutcomes) {
    HANDLE h = Open("false");
    auto packet = InboundTcp(80, 1);
    WINDIVERT_ADDRESS a{};
    a.IPChecksum = a.TCPChecksum = a.UDPChecksum = 1;
    const UINT size = static_cast<UINT>(packet.size());
    FailSends(1, ERROR_NO_SYSTEM_RESOURCES);
    ScriptSends(SendFault{});
    FailSends(1, ERROR_INVALID_PARAMETER);

    EXPECT_FALSE(WinDivertSend(h, packet.data(), size, nullptr, &a));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_SYSTEM_RESOURCES));
    EXPECT_TRUE(WinDivertSend(h, packet.data(), size, nullptr, &a));
    EXPECT_FALSE(WinDivertSend(h, packet.data(), size, nullptr, &a));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_TRUE(WinDivertSend(h, packet.data(), size, nullptr, &a));
    EXPECT_EQ(DeliveredTags(), (std::vector<uint16_t>{1, 1}));  // failed sends inject nothing
}

TEST_F(FaultTest, SendReportedPendingCompletesThroughTheOverlapped) {
    HANDLE h = Open("false");
    auto packet = InboundTcp(80, 1);
    WINDIVERT_ADDRESS a{};
    a.IPChecksum = a.TCPChecksum = a.UDPChecksum = 1;
    HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    OVERLAPPED ov{};
    ov.hEvent = event;
    ScriptSends(SendFault{SendOutcome::ReportPending});
    UINT sent = 123;
    EXPECT_FALSE(
        WinDivertSendEx(h, packet.data(), static_cast<UINT>(packet.size()), &sent, 0, &a, 80, &ov));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_IO_PENDING));
    EXPECT_EQ(sent, 123u);
    EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_OBJECT_0);
    DWORD bytes = 0;
    EXPECT_TRUE(GetOverlappedResult(h, &ov, &bytes, FALSE));
    EXPECT_EQ(bytes, packet.size());
    EXPECT_EQ(DeliveredTags(), (std::vector<uint16_t>{1}));
    CloseHandle(event);
}

TEST_F(FaultTest, HeldSendWaitsForReleaseOrCancel) {
    HANDLE h = Open("false");
    auto packet = InboundTcp(80, 1);
    WINDIVERT_ADDRESS a{};
    a.IPChecksum = a.TCPChecksum = a.UDPChecksum = 1;
    HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    OVERLAPPED ov{};
    ov.hEvent = event;
    ScriptSends(SendFault{SendOutcome::HoldPending}, 2);

    ASSERT_FALSE(WinDivertSendEx(h, packet.data(), static_cast<UINT>(packet.size()), nullptr, 0, &a,
                                 80, &ov));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_IO_PENDING));
    EXPECT_EQ(WaitForSingleObject(event, 0), static_cast<DWORD>(WAIT_TIMEOUT));
    EXPECT_TRUE(DeliveredTags().empty());
    EXPECT_TRUE(CancelIoEx(h, &ov));
    DWORD bytes = 0;
    EXPECT_FALSE(GetOverlappedResult(h, &ov, &bytes, TRUE));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_OPERATION_ABORTED));
    EXPECT_EQ(ReleaseHeldSends(), 0u);
    EXPECT_TRUE(DeliveredTags().empty());

    ASSERT_FALSE(WinDivertSendEx(h, packet.data(), static_cast<UINT>(packet.size()), nullptr, 0, &a,
                                 80, &ov));
    EXPECT_EQ(ReleaseHeldSends(), 1u);
    EXPECT_TRUE(GetOverlappedResult(h, &ov, &bytes, TRUE));
    EXPECT_EQ(bytes, packet.size());
    EXPECT_EQ(DeliveredTags(), (std::vector<uint16_t>{1}));
    CloseHandle(event);
}

TEST_F(FaultTest, ReceiveReportsOverriddenFigures) {
    HANDLE h = Open("true");
    OverrideNextRecv(1044481u, 300u * 80);
    std::vector<uint8_t> buffer(1500);
    WINDIVERT_ADDRESS addresses[2]{};
    UINT addrLen = 160, recvLen = 0;
    HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    OVERLAPPED ov{};
    ov.hEvent = event;
    // A receive that finds nothing does not use the override up; the one that completes does.
    ASSERT_FALSE(WinDivertRecvEx(h, buffer.data(), 1500, &recvLen, 0, addresses, &addrLen, &ov));
    sim_->InjectInbound(InboundTcp(80, 1));
    DWORD bytes = 0;
    ASSERT_TRUE(GetOverlappedResult(h, &ov, &bytes, TRUE));
    EXPECT_EQ(bytes, 1044481u);
    EXPECT_EQ(addrLen, 300u * 80);
    EXPECT_EQ(TagOf(buffer.data()), 1);  // the packet itself arrived as usual

    sim_->InjectInbound(InboundTcp(80, 2));
    addrLen = 160;
    ASSERT_TRUE(WinDivertRecvEx(h, buffer.data(), 1500, &recvLen, 0, addresses, &addrLen, nullptr));
    EXPECT_EQ(recvLen, 40u);  // used up
    EXPECT_EQ(addrLen, 80u);
    CloseHandle(event);
}

TEST_F(FaultTest, ClearFaultsDisarmsEverything) {
    FailOpens(1, ERROR_ACCESS_DENIED);
    FailSends(1, ERROR_INVALID_PARAMETER);
    OverrideNextRecv(1u, std::nullopt);
    ClearFaults();
    HANDLE h = Open("true");
    sim_->InjectInbound(InboundTcp(80, 1));
    Received r = ReceiveNow(h);
    ASSERT_TRUE(r.ok);
    EXPECT_EQ(r.packet.size(), 40u);
    EXPECT_TRUE(WinDivertSend(h, r.packet.data(), 40, nullptr, &r.address));
}

// ---- Trace --------------------------------------------------------------------------------

TEST_F(FaultTest, TraceRecordsEachCall) {
    SetTraceEnabled(true);
    HANDLE h = Open("tcp", 29983, 0);
    std::vector<std::vector<uint8_t>> batch;
    for (uint16_t tag = 1; tag <= 8; ++tag)
        batch.push_back(InboundTcp(80, tag));
    sim_->InjectInbound(batch);
    std::vector<uint8_t> buffer(0xFF000);
    std::vector<WINDIVERT_ADDRESS> addresses(255);
    UINT addrLen = 255 * 80, recvLen = 0;
    ASSERT_TRUE(WinDivertRecvEx(h, buffer.data(), 0xFF000, &recvLen, 0, addresses.data(), &addrLen,
                                nullptr));
    ASSERT_TRUE(
        WinDivertSendEx(h, buffer.data(), recvLen, nullptr, 0, addresses.data(), addrLen, nullptr));
    EXPECT_FALSE(WinDivertSetParam(h, WINDIVERT_PARAM_QUEUE_LENGTH, 1));
    SetTraceEnabled(false);
    WinDivertShutdown(h, WINDIVERT_SHUTDOWN_BOTH);  // not recorded

    std::vector<TraceRecord> trace = TakeTrace();
    ASSERT_EQ(trace.size(), 4u);
    EXPECT_EQ(trace[0].function, ApiFunction::Open);
    EXPECT_EQ(trace[0].handle, h);
    EXPECT_EQ(trace[0].filter, "tcp");
    EXPECT_EQ(trace[0].priority, 29983);
    EXPECT_EQ(trace[1].function, ApiFunction::RecvEx);
    EXPECT_EQ(trace[1].packets, 8u);
    EXPECT_EQ(trace[1].bytes, 320u);
    EXPECT_EQ(trace[2].function, ApiFunction::SendEx);
    EXPECT_STREQ(ApiFunctionName(trace[2].function), "WinDivertSendEx");
    EXPECT_EQ(trace[2].packets, 8u);
    EXPECT_EQ(trace[2].bytes, 320u);
    EXPECT_TRUE(trace[2].result);
    EXPECT_EQ(trace[3].function, ApiFunction::SetParam);
    EXPECT_FALSE(trace[3].result);
    EXPECT_EQ(trace[3].error, static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(trace[3].value, 1u);
    EXPECT_TRUE(TakeTrace().empty());
}

}  // namespace
}  // namespace divert::simtest
