// The packet path allocates nothing once warm: inject, receive (at once and through a
// waiting overlapped receive) and re-inject, counted with a replaced operator new.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <new>

#include "SimFixture.h"

namespace {
std::atomic<uint64_t> gAllocations{0};
}

// The replacements pair malloc with free; GCC cannot see that operator new is malloc here.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
void* operator new(std::size_t size) {
    gAllocations.fetch_add(1, std::memory_order_relaxed);
    if (void* p = std::malloc(size == 0 ? 1 : size)) return p;
    throw std::bad_alloc();
}
void operator delete(void* p) noexcept {
    std::free(p);
}
void operator delete(void* p, std::size_t) noexcept {
    std::free(p);
}

namespace divert::simtest {
namespace {

using AllocationTest = SimFixture;

TEST_F(AllocationTest, SteadyPassThroughAllocatesNothing) {
    HANDLE sniffer = Open("outbound", 20, WINDIVERT_FLAG_SNIFF | WINDIVERT_FLAG_RECV_ONLY);
    HANDLE h = Open("inbound and tcp", 10);
    HANDLE below = Open("udp", 0);  // re-injected packets are evaluated once more
    sim_->SetRecording(false);

    std::vector<std::vector<uint8_t>> packets;
    std::vector<PacketRef> refs;
    for (uint16_t tag = 0; tag < 64; ++tag)
        packets.push_back(InboundTcp(80, tag, tag));
    for (const auto& p : packets)
        refs.push_back(PacketRef{p.data(), static_cast<uint32_t>(p.size()), {}});
    std::vector<uint8_t> buffer(0xFF000);
    std::vector<WINDIVERT_ADDRESS> addresses(255);
    HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    OVERLAPPED ov{};
    ov.hEvent = event;

    auto cycle = [&](bool waitFirst) {
        UINT addrLen = 255 * 80, recvLen = 0;
        if (waitFirst) {
            ASSERT_FALSE(WinDivertRecvEx(h, buffer.data(), 0xFF000, &recvLen, 0, addresses.data(),
                                         &addrLen, &ov));
            sim_->Inject(refs.data(), refs.size());
            DWORD bytes = 0;
            ASSERT_TRUE(GetOverlappedResult(h, &ov, &bytes, TRUE));
            recvLen = bytes;
        } else {
            sim_->Inject(refs.data(), refs.size());
            ASSERT_TRUE(WinDivertRecvEx(h, buffer.data(), 0xFF000, &recvLen, 0, addresses.data(),
                                        &addrLen, &ov));
        }
        ASSERT_EQ(addrLen, 64u * 80);
        ASSERT_TRUE(WinDivertSendEx(h, buffer.data(), recvLen, nullptr, 0, addresses.data(),
                                    addrLen, nullptr));
    };
    for (int i = 0; i < 20; ++i) {
        cycle(i % 2 == 0);
        if (::testing::Test::HasFatalFailure()) return;
    }
    const uint64_t before = gAllocations.load();
    ASSERT_GT(before, 0u);  // the counter sees this binary's allocations
    for (int i = 0; i < 200; ++i) {
        cycle(i % 2 == 0);
        if (::testing::Test::HasFatalFailure()) return;
    }
    EXPECT_EQ(gAllocations.load() - before, 0u);
    EXPECT_EQ(sim_->DeliveredCount(), 220u * 64);
    EXPECT_EQ(sim_->CountersOf(sniffer).queued, 0u);
    EXPECT_EQ(sim_->CountersOf(below).queued, 0u);
    CloseHandle(event);
}

}  // namespace
}  // namespace divert::simtest
