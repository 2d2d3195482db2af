// Test fixture for the diversion runtime: a fresh simulated world per test, no faults, no
// trace, and every handle the test opened closed at the end.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "divert/runtime/Faults.h"
#include "divert/runtime/Trace.h"
#include "divert/sim/PacketBuilder.h"
#include "divert/sim/SimWorld.h"
#include "windivert.h"

namespace divert::simtest {

using sim::Ipv4;
using sim::PacketBuilder;

inline const uint32_t kClient = Ipv4("198.51.100.7");
inline const uint32_t kServer = Ipv4("203.0.113.10");

class SimFixture : public ::testing::Test {
  public:
    // One packet received without waiting.
    struct Received {
        bool ok = false;
        DWORD error = 0;
        std::vector<uint8_t> packet;
        WINDIVERT_ADDRESS address{};
    };

  protected:
    void SetUp() override {
        ClearFaults();
        SetTraceEnabled(false);
        TakeTrace();
        sim_ = sim::SimWorld::Install();
    }

    void TearDown() override {
        for (HANDLE h : opened_)
            WinDivertClose(h);
        ReleaseHeldSends();
        ClearFaults();
        SetTraceEnabled(false);
        sim_->Uninstall();
    }

    // Opens a handle that the fixture closes at the end (unless the test closed it).
    HANDLE Open(const char* filter, INT16 priority = 0, UINT64 flags = 0,
                WINDIVERT_LAYER layer = WINDIVERT_LAYER_NETWORK) {
        HANDLE h = WinDivertOpen(filter, layer, priority, flags);
        EXPECT_NE(h, INVALID_HANDLE_VALUE) << "open \"" << filter << "\": " << GetLastError();
        if (h != INVALID_HANDLE_VALUE) opened_.push_back(h);
        return h;
    }

    // An inbound TCP packet from the client to the server; `tag` goes in the IP id so
    // tests can tell packets apart.
    static std::vector<uint8_t> InboundTcp(uint16_t dstPort = 80, uint16_t tag = 1,
                                           size_t payload = 0) {
        return PacketBuilder::Tcp(kClient, 40000, kServer, dstPort)
            .Ack()
            .Id(tag)
            .PayloadSize(payload, 0xAB)
            .Build();
    }
    static std::vector<uint8_t> OutboundUdp(uint16_t dstPort = 53, uint16_t tag = 1) {
        return PacketBuilder::Udp(kServer, 50000, kClient, dstPort)
            .Id(tag)
            .Payload("query")
            .Build();
    }

    static uint16_t TagOf(const uint8_t* packet) {
        return static_cast<uint16_t>((packet[4] << 8) | packet[5]);
    }
    static uint16_t TagOf(const std::vector<uint8_t>& packet) { return TagOf(packet.data()); }

    // Receives one packet if one is queued (an overlapped receive, cancelled if it pends).
    static Received ReceiveNow(HANDLE h) {
        Received r;
        r.packet.resize(WINDIVERT_MTU_MAX);
        UINT len = 0;
        OVERLAPPED ov{};
        r.ok = WinDivertRecvEx(h, r.packet.data(), static_cast<UINT>(r.packet.size()), &len, 0,
                               &r.address, nullptr, &ov) != FALSE;
        if (!r.ok) {
            r.error = GetLastError();
            if (r.error == ERROR_IO_PENDING) CancelIoEx(h, &ov);
        }
        r.packet.resize(r.ok ? len : 0);
        return r;
    }

    // Tags of every packet queued on `h`, in queue order.
    static std::vector<uint16_t> DrainTags(HANDLE h) {
        std::vector<uint16_t> tags;
        for (;;) {
            Received r = ReceiveNow(h);
            if (!r.ok) break;
            tags.push_back(TagOf(r.packet));
        }
        return tags;
    }

    std::vector<uint16_t> DeliveredTags() {
        std::vector<uint16_t> tags;
        for (const auto& r : sim_->TakeDelivered())
            tags.push_back(TagOf(r.bytes));
        return tags;
    }
    std::vector<uint16_t> WireTags() {
        std::vector<uint16_t> tags;
        for (const auto& r : sim_->TakeWire())
            tags.push_back(TagOf(r.bytes));
        return tags;
    }

    std::shared_ptr<sim::SimWorld> sim_;
    std::vector<HANDLE> opened_;
};

}  // namespace divert::simtest
