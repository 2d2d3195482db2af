// Opening, parameters, shutdown and closing of diversion handles: the argument checks and
// error codes, in the order the API applies them.
#include <gtest/gtest.h>

#include "SimFixture.h"
#include "platform/KernelObject.h"

namespace divert::simtest {
namespace {

using HandlesTest = SimFixture;

struct OpenCase {
    const char* name;
    const char* filter;
    int layer;
    int priority;
    UINT64 flags;
    DWORD error;  // 0: opens
};

TEST_F(HandlesTest, OpenChecksArgumentsInOrder) {
    const OpenCase cases[] = {
        {"network default", "true", 0, 0, 0, 0},
        {"highest priority", "true", 0, 30000, 0, 0},
        {"lowest priority", "true", 0, -30000, 0, 0},
        {"priority above range", "true", 0, 30001, 0, ERROR_INVALID_PARAMETER},
        {"priority below range", "true", 0, -30001, 0, ERROR_INVALID_PARAMETER},
        {"unknown layer", "true", 5, 0, 0, ERROR_INVALID_PARAMETER},
        {"negative layer", "true", -1, 0, 0, ERROR_INVALID_PARAMETER},
        {"unknown flag bit", "true", 0, 0, 0x40, ERROR_INVALID_PARAMETER},
        {"sniff and drop", "true", 0, 0, WINDIVERT_FLAG_SNIFF | WINDIVERT_FLAG_DROP,
         ERROR_INVALID_PARAMETER},
        {"recv-only and send-only", "true", 0, 0,
         WINDIVERT_FLAG_RECV_ONLY | WINDIVERT_FLAG_SEND_ONLY, ERROR_INVALID_PARAMETER},
        {"every compatible flag", "true", 0, 0, 0x35, 0},
        {"null filter", nullptr, 0, 0, 0, ERROR_INVALID_PARAMETER},
        {"filter that does not compile", "tcp ==", 0, 0, 0, ERROR_INVALID_PARAMETER},
        {"flow with sniff and recv-only", "true", 2, 0, 5, 0},
        {"flow without sniff", "true", 2, 0, WINDIVERT_FLAG_RECV_ONLY, ERROR_INVALID_PARAMETER},
        {"flow without recv-only", "true", 2, 0, WINDIVERT_FLAG_SNIFF, ERROR_INVALID_PARAMETER},
        {"forward layer is not emulated", "true", 1, 0, 0, ERROR_NOT_SUPPORTED},
        {"reflect layer missing its flags", "true", 4, 0, 0, ERROR_INVALID_PARAMETER},
        {"bad flags win over bad priority", "true", 0, 40000, 0x80, ERROR_INVALID_PARAMETER},
    };
    for (const OpenCase& c : cases) {
        SCOPED_TRACE(c.name);
        SetLastError(0);
        HANDLE h = WinDivertOpen(c.filter, static_cast<WINDIVERT_LAYER>(c.layer),
                                 static_cast<INT16>(c.priority), c.flags);
        if (c.error == 0) {
            ASSERT_NE(h, INVALID_HANDLE_VALUE) << GetLastError();
            EXPECT_TRUE(WinDivertClose(h));
        } else {
            EXPECT_EQ(h, INVALID_HANDLE_VALUE);
            EXPECT_EQ(GetLastError(), c.error);
        }
    }
}

TEST_F(HandlesTest, FiltersOfMoreThan255TestsAreRefused) {
    auto ports = [](int count) {
        std::string text;
        for (int i = 1; i <= count; ++i) {
            if (i > 1) text += " or ";
            text += "tcp.DstPort == ";
            text += std::to_string(i);
        }
        return text;
    };
    HANDLE h = WinDivertOpen(ports(255).c_str(), WINDIVERT_LAYER_NETWORK, 0, 0);
    ASSERT_NE(h, INVALID_HANDLE_VALUE) << GetLastError();
    sim_->InjectInbound(InboundTcp(255, 1));
    EXPECT_EQ(DrainTags(h), (std::vector<uint16_t>{1}));
    WinDivertClose(h);
    EXPECT_EQ(WinDivertOpen(ports(256).c_str(), WINDIVERT_LAYER_NETWORK, 0, 0),
              INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
}

TEST_F(HandlesTest, ParametersHaveDefaultsRangesAndVersion) {
    HANDLE h = Open("true");
    struct Param {
        WINDIVERT_PARAM param;
        UINT64 defaultValue, min, max;
    };
    const Param params[] = {
        {WINDIVERT_PARAM_QUEUE_LENGTH, 4096, 32, 16384},
        {WINDIVERT_PARAM_QUEUE_TIME, 2000, 100, 16000},
        {WINDIVERT_PARAM_QUEUE_SIZE, 4194304, 65535, 33554432},
    };
    for (const Param& p : params) {
        SCOPED_TRACE(p.param);
        UINT64 value = 0;
        ASSERT_TRUE(WinDivertGetParam(h, p.param, &value));
        EXPECT_EQ(value, p.defaultValue);
        EXPECT_TRUE(WinDivertSetParam(h, p.param, p.min));
        EXPECT_TRUE(WinDivertSetParam(h, p.param, p.max));
        EXPECT_FALSE(WinDivertSetParam(h, p.param, p.min - 1));
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
        EXPECT_FALSE(WinDivertSetParam(h, p.param, p.max + 1));
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
        ASSERT_TRUE(WinDivertGetParam(h, p.param, &value));
        EXPECT_EQ(value, p.max);  // a rejected value changes nothing
    }
    UINT64 version = 0;
    ASSERT_TRUE(WinDivertGetParam(h, WINDIVERT_PARAM_VERSION_MAJOR, &version));
    EXPECT_EQ(version, 2u);
    ASSERT_TRUE(WinDivertGetParam(h, WINDIVERT_PARAM_VERSION_MINOR, &version));
    EXPECT_EQ(version, 2u);
    // The version is read-only, and ids beyond it are unknown.
    EXPECT_FALSE(WinDivertSetParam(h, WINDIVERT_PARAM_VERSION_MAJOR, 2));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_FALSE(WinDivertGetParam(h, static_cast<WINDIVERT_PARAM>(5), &version));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
}

TEST_F(HandlesTest, ClosedAndForeignHandlesFailWithInvalidHandle) {
    HANDLE h = WinDivertOpen("true", WINDIVERT_LAYER_NETWORK, 0, 0);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    ASSERT_TRUE(WinDivertClose(h));
    HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);

    for (HANDLE bad : {h, event, INVALID_HANDLE_VALUE, static_cast<HANDLE>(nullptr)}) {
        UINT64 value = 0;
        uint8_t buffer[64];
        UINT len = 0;
        WINDIVERT_ADDRESS addr{};
        SetLastError(0);
        EXPECT_FALSE(WinDivertGetParam(bad, WINDIVERT_PARAM_QUEUE_LENGTH, &value));
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
        EXPECT_FALSE(WinDivertSetParam(bad, WINDIVERT_PARAM_QUEUE_LENGTH, 100));
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
        EXPECT_FALSE(WinDivertShutdown(bad, WINDIVERT_SHUTDOWN_BOTH));
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
        EXPECT_FALSE(WinDivertRecv(bad, buffer, sizeof(buffer), &len, &addr));
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
        EXPECT_FALSE(WinDivertSend(bad, buffer, sizeof(buffer), &len, &addr));
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
        EXPECT_FALSE(WinDivertClose(bad));
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    }
    // A diversion handle is not closed by CloseHandle, and an event not by WinDivertClose.
    HANDLE d = Open("true");
    EXPECT_FALSE(CloseHandle(d));
    EXPECT_TRUE(CloseHandle(event));
}

TEST_F(HandlesTest, ShutdownModes) {
    HANDLE h = Open("true");
    EXPECT_FALSE(WinDivertShutdown(h, static_cast<WINDIVERT_SHUTDOWN>(0)));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_FALSE(WinDivertShutdown(h, static_cast<WINDIVERT_SHUTDOWN>(4)));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));

    // SEND only: sends fail with 232, receiving still works.
    auto packet = InboundTcp();
    WINDIVERT_ADDRESS addr{};
    addr.IPChecksum = addr.TCPChecksum = addr.UDPChecksum = 1;
    ASSERT_TRUE(WinDivertShutdown(h, WINDIVERT_SHUTDOWN_SEND));
    ASSERT_TRUE(WinDivertShutdown(h, WINDIVERT_SHUTDOWN_SEND));  // harmless twice
    EXPECT_FALSE(WinDivertSend(h, packet.data(), static_cast<UINT>(packet.size()), nullptr, &addr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_DATA));
    sim_->InjectInbound(packet);
    EXPECT_TRUE(ReceiveNow(h).ok);

    // RECV: what was queued is still read, then 232; new packets pass the handle by.
    sim_->InjectInbound(InboundTcp(80, 7));
    ASSERT_TRUE(WinDivertShutdown(h, WINDIVERT_SHUTDOWN_RECV));
    sim_->InjectInbound(InboundTcp(80, 8));
    EXPECT_EQ(DeliveredTags(), (std::vector<uint16_t>{8}));
    Received r = ReceiveNow(h);
    ASSERT_TRUE(r.ok);
    EXPECT_EQ(TagOf(r.packet), 7);
    r = ReceiveNow(h);
    EXPECT_FALSE(r.ok);
    EXPECT_EQ(r.error, static_cast<DWORD>(ERROR_NO_DATA));
    EXPECT_TRUE(WinDivertClose(h));
}

TEST_F(HandlesTest, RecvOnlyAndSendOnlyHandles) {
    HANDLE recvOnly = Open("true", 0, WINDIVERT_FLAG_RECV_ONLY);
    HANDLE sendOnly = Open("false", 0, WINDIVERT_FLAG_SEND_ONLY);
    auto packet = InboundTcp();
    WINDIVERT_ADDRESS addr{};
    uint8_t buffer[1500];
    UINT len = 0;
    EXPECT_FALSE(
        WinDivertSend(recvOnly, packet.data(), static_cast<UINT>(packet.size()), &len, &addr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_FALSE(WinDivertRecv(sendOnly, buffer, sizeof(buffer), &len, &addr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    // An injection-only handle ("false") sends, and what it sends passes the recv-only
    // handle only if that one has a lower priority (here: equal priority, opened earlier).
    addr.IPChecksum = addr.TCPChecksum = addr.UDPChecksum = 1;
    EXPECT_TRUE(
        WinDivertSend(sendOnly, packet.data(), static_cast<UINT>(packet.size()), &len, &addr));
    EXPECT_EQ(len, packet.size());
    EXPECT_TRUE(ReceiveNow(recvOnly).ok);
}

TEST_F(HandlesTest, FlowHandleCannotSend) {
    HANDLE flow =
        Open("true", 0, WINDIVERT_FLAG_SNIFF | WINDIVERT_FLAG_RECV_ONLY, WINDIVERT_LAYER_FLOW);
    auto packet = InboundTcp();
    WINDIVERT_ADDRESS addr{};
    EXPECT_FALSE(
        WinDivertSend(flow, packet.data(), static_cast<UINT>(packet.size()), nullptr, &addr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
}

TEST_F(HandlesTest, CloseReleasesTheHandleTableEntry) {
    size_t before = platform::OpenHandleCount();
    HANDLE h = WinDivertOpen("true", WINDIVERT_LAYER_NETWORK, 0, 0);
    EXPECT_EQ(platform::OpenHandleCount(), before + 1);
    ASSERT_TRUE(WinDivertClose(h));
    EXPECT_EQ(platform::OpenHandleCount(), before);
    // And it no longer captures.
    sim_->InjectInbound(InboundTcp(80, 3));
    EXPECT_EQ(DeliveredTags(), (std::vector<uint16_t>{3}));
}

}  // namespace
}  // namespace divert::simtest
