// Receiving (batch layout, truncation, address lengths, overlapped completion,
// cancellation, close and shutdown) and sending (validation, checksum and TTL fixes,
// direction) on one thread.
#include <gtest/gtest.h>

#include <numeric>

#include "SimFixture.h"
#include "platform/KernelObject.h"

namespace divert::simtest {
namespace {

using RecvTest = SimFixture;
using SendTest = SimFixture;

constexpr UINT kNotWritten = 0xDEADBEEF;

struct Event {
    HANDLE h = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    ~Event() { CloseHandle(h); }
    bool Signaled() const { return WaitForSingleObject(h, 0) == WAIT_OBJECT_0; }
};

std::vector<uint8_t> Concat(const std::vector<std::vector<uint8_t>>& packets) {
    std::vector<uint8_t> all;
    for (const auto& p : packets)
        all.insert(all.end(), p.begin(), p.end());
    return all;
}

TEST_F(RecvTest, BatchConcatenatesQueuedPacketsUpToAddressAndBufferRoom) {
    HANDLE h = Open("true");
    std::vector<std::vector<uint8_t>> packets;
    for (uint16_t tag = 1; tag <= 5; ++tag)
        packets.push_back(InboundTcp(80, tag, tag * 100));

    struct Case {
        const char* name;
        UINT addrLen;  // 0: pAddrLen is null
        UINT bufferLength;
        std::vector<uint16_t> tags;
    };
    // Each case reads from a fresh queue of the five packets (140, 240, ... 540 bytes).
    const Case cases[] = {
        {"room for everything", 255 * 80, 65536, {1, 2, 3, 4, 5}},
        {"two addresses", 160, 65536, {1, 2}},
        {"address room rounds down", 239, 65536, {1, 2}},
        {"no pAddrLen: one packet", 0, 65536, {1}},
        {"buffer ends the batch at the first packet that does not fit",
         255 * 80,
         140 + 240 + 339,
         {1, 2}},
        {"buffer filled exactly", 255 * 80, 140 + 240 + 340, {1, 2, 3}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        for (const auto& p : packets)
            sim_->InjectInbound(p);
        std::vector<uint8_t> buffer(c.bufferLength);
        WINDIVERT_ADDRESS addresses[255]{};
        UINT addrLen = c.addrLen;
        UINT recvLen = kNotWritten;
        ASSERT_TRUE(WinDivertRecvEx(h, buffer.data(), c.bufferLength, &recvLen, 0, addresses,
                                    c.addrLen ? &addrLen : nullptr, nullptr))
            << GetLastError();
        std::vector<std::vector<uint8_t>> expected;
        for (uint16_t tag : c.tags)
            expected.push_back(packets[tag - 1]);
        std::vector<uint8_t> bytes = Concat(expected);
        ASSERT_EQ(recvLen, bytes.size());
        EXPECT_TRUE(std::equal(bytes.begin(), bytes.end(), buffer.begin()));
        if (c.addrLen) {
            EXPECT_EQ(addrLen, c.tags.size() * 80);
        }
        for (size_t i = 0; i < 255; ++i)
            EXPECT_EQ(addresses[i].Timestamp != 0, i < c.tags.size());
        DrainTags(h);
    }
}

TEST_F(RecvTest, BatchNeverExceeds255Packets) {
    HANDLE h = Open("true");
    ASSERT_TRUE(WinDivertSetParam(h, WINDIVERT_PARAM_QUEUE_LENGTH, 1000));
    std::vector<std::vector<uint8_t>> batch;
    for (uint16_t tag = 1; tag <= 300; ++tag)
        batch.push_back(InboundTcp(80, tag));
    sim_->InjectInbound(batch);
    std::vector<uint8_t> buffer(0xFF000);
    std::vector<WINDIVERT_ADDRESS> addresses(255);
    UINT addrLen = 255 * 80, recvLen = 0;
    ASSERT_TRUE(WinDivertRecvEx(h, buffer.data(), 0xFF000, &recvLen, 0, addresses.data(), &addrLen,
                                nullptr));
    EXPECT_EQ(addrLen, 255u * 80);
    EXPECT_EQ(recvLen, 255u * 40);
    EXPECT_EQ(DrainTags(h).size(), 45u);
}

TEST_F(RecvTest, TooSmallBufferTruncatesConsumesAndFailsWith122) {
    HANDLE h = Open("true");
    auto big = InboundTcp(80, 1, 200);
    sim_->InjectInbound(big);
    sim_->InjectInbound(InboundTcp(80, 2));

    std::vector<uint8_t> buffer(100, 0);
    WINDIVERT_ADDRESS addresses[2]{};
    UINT addrLen = 160, recvLen = kNotWritten;
    EXPECT_FALSE(WinDivertRecvEx(h, buffer.data(), 100, &recvLen, 0, addresses, &addrLen, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    EXPECT_EQ(recvLen, kNotWritten);
    EXPECT_EQ(addrLen, 80u);
    EXPECT_TRUE(std::equal(buffer.begin(), buffer.end(), big.begin()));
    EXPECT_NE(addresses[0].Timestamp, 0);
    // Consumed: the next receive returns the second packet.
    EXPECT_EQ(DrainTags(h), (std::vector<uint16_t>{2}));

    // No buffer at all: consumed, 122, no address written.
    sim_->InjectInbound(InboundTcp(80, 3));
    WINDIVERT_ADDRESS untouched{};
    addrLen = 80;
    EXPECT_FALSE(WinDivertRecvEx(h, nullptr, 0, &recvLen, 0, &untouched, &addrLen, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    EXPECT_EQ(untouched.Timestamp, 0);
    EXPECT_FALSE(ReceiveNow(h).ok);
}

TEST_F(RecvTest, ArgumentChecks) {
    HANDLE h = Open("true");
    sim_->InjectInbound(InboundTcp());
    uint8_t buffer[1500];
    WINDIVERT_ADDRESS addr{};
    UINT len = 0;
    struct Case {
        const char* name;
        UINT64 flags;
        bool withAddr;
        UINT addrLen;  // 0: no pAddrLen
    };
    const Case cases[] = {
        {"flags", 1, true, 80},
        {"address length below one record", 0, true, 79},
        {"address length above 255 records", 0, true, 20401},
        {"address length without addresses", 0, false, 80},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        UINT addrLen = c.addrLen;
        EXPECT_FALSE(WinDivertRecvEx(h, buffer, sizeof(buffer), &len, c.flags,
                                     c.withAddr ? &addr : nullptr, c.addrLen ? &addrLen : nullptr,
                                     nullptr));
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    }
    // Neither addresses nor their length: allowed, the packet comes without its address.
    EXPECT_TRUE(WinDivertRecvEx(h, buffer, sizeof(buffer), &len, 0, nullptr, nullptr, nullptr));
    EXPECT_EQ(len, 40u);
}

TEST_F(RecvTest, OverlappedReceiveCompletesWhenAPacketArrives) {
    HANDLE h = Open("true");
    Event event;
    OVERLAPPED ov{};
    ov.hEvent = event.h;
    SetEvent(event.h);  // a stale signal must not survive the call
    std::vector<uint8_t> buffer(1500);
    WINDIVERT_ADDRESS addresses[4]{};
    UINT addrLen = 4 * 80, recvLen = kNotWritten;
    ASSERT_FALSE(WinDivertRecvEx(h, buffer.data(), 1500, &recvLen, 0, addresses, &addrLen, &ov));
    ASSERT_EQ(GetLastError(), static_cast<DWORD>(ERROR_IO_PENDING));
    EXPECT_FALSE(event.Signaled());
    DWORD bytes = 0;
    EXPECT_FALSE(GetOverlappedResult(h, &ov, &bytes, FALSE));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_IO_INCOMPLETE));

    // A batch arriving at once completes the waiting receive with all of it.
    std::vector<std::vector<uint8_t>> batch = {InboundTcp(80, 1), InboundTcp(80, 2, 10)};
    sim_->InjectInbound(batch);
    EXPECT_TRUE(event.Signaled());
    ASSERT_TRUE(GetOverlappedResult(h, &ov, &bytes, TRUE));
    EXPECT_EQ(bytes, 90u);
    EXPECT_EQ(addrLen, 160u);
    EXPECT_EQ(recvLen, kNotWritten);  // a pending call never writes *pRecvLen
    EXPECT_EQ(TagOf(buffer.data()), 1);
    EXPECT_EQ(TagOf(buffer.data() + 40), 2);
    EXPECT_TRUE(DeliveredTags().empty());
}

TEST_F(RecvTest, OverlappedReceiveWithQueuedDataCompletesAtOnce) {
    HANDLE h = Open("true");
    sim_->InjectInbound(InboundTcp(80, 1));
    Event event;
    OVERLAPPED ov{};
    ov.hEvent = event.h;
    std::vector<uint8_t> buffer(1500);
    UINT recvLen = 0;
    ASSERT_TRUE(WinDivertRecvEx(h, buffer.data(), 1500, &recvLen, 0, nullptr, nullptr, &ov));
    EXPECT_EQ(recvLen, 40u);
    EXPECT_TRUE(event.Signaled());
    DWORD bytes = 0;
    EXPECT_TRUE(GetOverlappedResult(h, &ov, &bytes, FALSE));
    EXPECT_EQ(bytes, 40u);
}

TEST_F(RecvTest, CancelCompletesOneOrAllWaitingReceivesWith995) {
    HANDLE h = Open("true");
    Event e1, e2;
    OVERLAPPED ov1{}, ov2{};
    ov1.hEvent = e1.h;
    ov2.hEvent = e2.h;
    uint8_t b1[1500], b2[1500];
    ASSERT_FALSE(WinDivertRecvEx(h, b1, sizeof(b1), nullptr, 0, nullptr, nullptr, &ov1));
    ASSERT_FALSE(WinDivertRecvEx(h, b2, sizeof(b2), nullptr, 0, nullptr, nullptr, &ov2));

    ASSERT_TRUE(CancelIoEx(h, &ov1));
    DWORD bytes = 1;
    EXPECT_FALSE(GetOverlappedResult(h, &ov1, &bytes, TRUE));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_OPERATION_ABORTED));
    EXPECT_FALSE(e2.Signaled());
    EXPECT_FALSE(CancelIoEx(h, &ov1));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_FOUND));

    // The other one still receives.
    sim_->InjectInbound(InboundTcp(80, 5));
    ASSERT_TRUE(GetOverlappedResult(h, &ov2, &bytes, TRUE));
    EXPECT_EQ(TagOf(b2), 5);

    ASSERT_FALSE(WinDivertRecvEx(h, b1, sizeof(b1), nullptr, 0, nullptr, nullptr, &ov1));
    ASSERT_FALSE(WinDivertRecvEx(h, b2, sizeof(b2), nullptr, 0, nullptr, nullptr, &ov2));
    ASSERT_TRUE(CancelIoEx(h, nullptr));
    for (OVERLAPPED* ov : {&ov1, &ov2}) {
        EXPECT_FALSE(GetOverlappedResult(h, ov, &bytes, FALSE));
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_OPERATION_ABORTED));
    }
    EXPECT_FALSE(CancelIoEx(h, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_FOUND));
}

TEST_F(RecvTest, CloseAndShutdownCompleteWaitingReceives) {
    HANDLE h = WinDivertOpen("true", WINDIVERT_LAYER_NETWORK, 0, 0);
    Event event;
    OVERLAPPED ov{};
    ov.hEvent = event.h;
    uint8_t buffer[1500];
    ASSERT_FALSE(WinDivertRecvEx(h, buffer, sizeof(buffer), nullptr, 0, nullptr, nullptr, &ov));
    ASSERT_TRUE(WinDivertClose(h));
    DWORD bytes = 0;
    EXPECT_FALSE(GetOverlappedResult(h, &ov, &bytes, FALSE));  // the handle is gone, the record not
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_OPERATION_ABORTED));
    EXPECT_FALSE(WinDivertRecvEx(h, buffer, sizeof(buffer), nullptr, 0, nullptr, nullptr, &ov));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));

    HANDLE s = Open("true");
    ASSERT_FALSE(WinDivertRecvEx(s, buffer, sizeof(buffer), nullptr, 0, nullptr, nullptr, &ov));
    ASSERT_TRUE(WinDivertShutdown(s, WINDIVERT_SHUTDOWN_RECV));
    EXPECT_FALSE(GetOverlappedResult(s, &ov, &bytes, FALSE));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_DATA));
    // And every later receive fails at once.
    EXPECT_FALSE(WinDivertRecvEx(s, buffer, sizeof(buffer), nullptr, 0, nullptr, nullptr, &ov));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_DATA));
}

TEST_F(RecvTest, DropHandleReceiveWaitsUntilShutdown) {
    HANDLE h = Open("true", 0, WINDIVERT_FLAG_DROP);
    sim_->InjectInbound(InboundTcp());
    Received r = ReceiveNow(h);
    EXPECT_FALSE(r.ok);
    EXPECT_EQ(r.error, static_cast<DWORD>(ERROR_IO_PENDING));
    WinDivertShutdown(h, WINDIVERT_SHUTDOWN_RECV);
    r = ReceiveNow(h);
    EXPECT_EQ(r.error, static_cast<DWORD>(ERROR_NO_DATA));
}

// ---- Send ---------------------------------------------------------------------------------

WINDIVERT_ADDRESS ValidAddress(bool outbound = false) {
    WINDIVERT_ADDRESS a{};
    a.Outbound = outbound;
    a.IPChecksum = a.TCPChecksum = a.UDPChecksum = 1;
    a.Network.IfIdx = sim::kEthernetIfIdx;
    return a;
}

TEST_F(SendTest, ValidationTable) {
    HANDLE h = Open("false");
    auto good = InboundTcp(80, 1);
    struct Case {
        const char* name;
        std::vector<uint8_t> buffer;
        UINT64 flags;
        UINT addrLen;
        bool nullAddr;
        DWORD error;
    };
    std::vector<uint8_t> v5 = good;
    v5[0] = 0x55;
    std::vector<uint8_t> shortLength = good;
    shortLength[2] = 0;
    shortLength[3] = 12;
    std::vector<uint8_t> ipv6Short(30, 0);
    ipv6Short[0] = 0x60;
    const Case cases[] = {
        {"flags", good, 1, 80, false, ERROR_INVALID_PARAMETER},
        {"address length below one record", good, 0, 79, false, ERROR_INVALID_PARAMETER},
        {"address length above 255 records", good, 0, 20401, false, ERROR_INVALID_PARAMETER},
        {"no addresses", good, 0, 80, true, ERROR_INVALID_PARAMETER},
        {"fewer than 20 bytes", std::vector<uint8_t>(good.begin(), good.begin() + 19), 0, 80, false,
         ERROR_INSUFFICIENT_BUFFER},
        {"shorter than its length field", std::vector<uint8_t>(good.begin(), good.begin() + 39), 0,
         80, false, ERROR_INSUFFICIENT_BUFFER},
        {"version 5", v5, 0, 80, false, ERROR_INVALID_PARAMETER},
        {"IPv4 length field below a header", shortLength, 0, 80, false, ERROR_INVALID_PARAMETER},
        {"IPv6 shorter than its header", ipv6Short, 0, 80, false, ERROR_INSUFFICIENT_BUFFER},
        {"second packet of the batch missing", good, 0, 160, false, ERROR_INSUFFICIENT_BUFFER},
    };
    WINDIVERT_ADDRESS addresses[2] = {ValidAddress(), ValidAddress()};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        UINT sent = kNotWritten;
        EXPECT_FALSE(WinDivertSendEx(h, c.buffer.data(), static_cast<UINT>(c.buffer.size()), &sent,
                                     c.flags, c.nullAddr ? nullptr : addresses, c.addrLen,
                                     nullptr));
        EXPECT_EQ(GetLastError(), c.error);
        EXPECT_EQ(sent, kNotWritten);
    }
    // The last case stopped at its second packet; the first one had gone out.
    EXPECT_EQ(DeliveredTags(), (std::vector<uint16_t>{1}));
}

TEST_F(SendTest, BatchCountComesFromAddressLengthAndExtraBytesAreIgnored) {
    HANDLE h = Open("false");
    std::vector<std::vector<uint8_t>> packets = {InboundTcp(80, 1), OutboundUdp(53, 2),
                                                 InboundTcp(80, 3, 7)};
    std::vector<uint8_t> buffer = Concat(packets);
    WINDIVERT_ADDRESS addresses[3] = {ValidAddress(), ValidAddress(true), ValidAddress()};
    UINT sent = 0;
    // Two addresses: two packets, though the buffer holds three.
    ASSERT_TRUE(WinDivertSendEx(h, buffer.data(), static_cast<UINT>(buffer.size()), &sent, 0,
                                addresses, 2 * 80 + 79, nullptr));
    EXPECT_EQ(sent, packets[0].size() + packets[1].size());
    EXPECT_EQ(DeliveredTags(), (std::vector<uint16_t>{1}));
    EXPECT_EQ(WireTags(), (std::vector<uint16_t>{2}));  // Outbound=1 goes to the wire
}

TEST_F(SendTest, ZeroChecksumFlagsAskForRecomputation) {
    HANDLE h = Open("false");
    auto bad = PacketBuilder::Tcp(kClient, 1, kServer, 80)
                   .Syn()
                   .BadIpChecksum()
                   .BadTransportChecksum()
                   .Build();
    WINDIVERT_ADDRESS a = ValidAddress();
    ASSERT_TRUE(WinDivertSend(h, bad.data(), static_cast<UINT>(bad.size()), nullptr, &a));
    auto delivered = sim_->TakeDelivered();
    ASSERT_EQ(delivered.size(), 1u);
    EXPECT_EQ(delivered[0].bytes, bad);  // flags say valid: sent as it is

    a.TCPChecksum = 0;  // fix only TCP
    ASSERT_TRUE(WinDivertSend(h, bad.data(), static_cast<UINT>(bad.size()), nullptr, &a));
    delivered = sim_->TakeDelivered();
    ASSERT_EQ(delivered.size(), 1u);
    sim::ChecksumCheck check =
        sim::CheckChecksums(delivered[0].bytes.data(), delivered[0].bytes.size());
    EXPECT_FALSE(check.ip);
    EXPECT_TRUE(check.tcp);

    a.IPChecksum = 0;
    ASSERT_TRUE(WinDivertSend(h, bad.data(), static_cast<UINT>(bad.size()), nullptr, &a));
    delivered = sim_->TakeDelivered();
    ASSERT_EQ(delivered.size(), 1u);
    check = sim::CheckChecksums(delivered[0].bytes.data(), delivered[0].bytes.size());
    EXPECT_TRUE(check.ip);
    EXPECT_TRUE(check.tcp);
    EXPECT_FALSE(sim::CheckChecksums(bad.data(), bad.size()).ip);  // the caller's bytes untouched
}

TEST_F(SendTest, ImpostorPacketsLoseOneTtlAndDieAtOne) {
    HANDLE h = Open("false");
    std::vector<std::vector<uint8_t>> packets = {
        PacketBuilder::Udp(kClient, 1, kServer, 53).Id(1).Ttl(64).Build(),
        PacketBuilder::Udp(kClient, 1, kServer, 53).Id(2).Ttl(1).Build(),
        PacketBuilder::Udp(kClient, 1, kServer, 53).Id(3).Ttl(2).Build(),
    };
    std::vector<uint8_t> buffer = Concat(packets);
    WINDIVERT_ADDRESS addresses[3] = {ValidAddress(), ValidAddress(), ValidAddress()};
    for (auto& a : addresses)
        a.Impostor = 1;
    EXPECT_FALSE(WinDivertSendEx(h, buffer.data(), static_cast<UINT>(buffer.size()), nullptr, 0,
                                 addresses, 3 * 80, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_HOST_UNREACHABLE));
    auto delivered = sim_->TakeDelivered();
    ASSERT_EQ(delivered.size(), 2u);  // the TTL-1 packet was dropped, the others went on
    EXPECT_EQ(delivered[0].bytes[8], 63);
    EXPECT_EQ(delivered[1].bytes[8], 1);
    EXPECT_EQ(TagOf(delivered[1].bytes), 3);
    for (const auto& d : delivered) {
        EXPECT_TRUE(sim::CheckChecksums(d.bytes.data(), d.bytes.size()).ip);  // adjusted, not stale
        EXPECT_TRUE(d.meta.impostor);
    }
}

TEST_F(SendTest, InboundInjectionKeepsTheInterface) {
    HANDLE h = Open("false");
    auto packet = InboundTcp(80, 1);
    WINDIVERT_ADDRESS a = ValidAddress();
    a.Network.IfIdx = 9;
    a.Network.SubIfIdx = 4;
    ASSERT_TRUE(WinDivertSend(h, packet.data(), static_cast<UINT>(packet.size()), nullptr, &a));
    auto delivered = sim_->TakeDelivered();
    ASSERT_EQ(delivered.size(), 1u);
    EXPECT_EQ(delivered[0].meta.ifIdx, 9u);
    EXPECT_EQ(delivered[0].meta.subIfIdx, 4u);
    EXPECT_FALSE(delivered[0].meta.outbound);
}

TEST_F(SendTest, OverlappedSendCompletesItsRecord) {
    HANDLE h = Open("false");
    auto packet = InboundTcp(80, 1);
    WINDIVERT_ADDRESS a = ValidAddress();
    Event event;
    OVERLAPPED ov{};
    ov.hEvent = event.h;
    UINT sent = 0;
    ASSERT_TRUE(
        WinDivertSendEx(h, packet.data(), static_cast<UINT>(packet.size()), &sent, 0, &a, 80, &ov));
    EXPECT_TRUE(event.Signaled());
    DWORD bytes = 0;
    EXPECT_TRUE(GetOverlappedResult(h, &ov, &bytes, FALSE));
    EXPECT_EQ(bytes, packet.size());
}

}  // namespace
}  // namespace divert::simtest
