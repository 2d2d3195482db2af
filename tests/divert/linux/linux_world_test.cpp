// The Linux world's dispatch glue without a kernel: packets enter as a queue reader hands
// them over, verdicts are read from a recording channel.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <libmnl/libmnl.h>
#include <linux/netfilter.h>
#include <linux/netfilter/nfnetlink_queue.h>

#include <algorithm>
#include <memory>
#include <mutex>
#include <vector>

#include "divert/linux/LinuxWorld.h"
#include "divert/sim/PacketBuilder.h"
#include "platform/Clock.h"
#include "windivert.h"

namespace divert::linuxworld {
namespace {

using sim::Ipv4;
using sim::PacketBuilder;

struct Verdict {
    uint32_t id = 0;
    uint32_t verdict = 0;
    std::vector<uint8_t> payload;  // empty: the kernel's copy
};

class RecordingChannel final : public VerdictChannel {
  public:
    bool Write(const uint8_t* data, size_t length) override {
        std::lock_guard<std::mutex> lock(mutex_);
        // The kernel refuses a write larger than the socket's send buffer (default 208 KiB).
        if (length > 212992) return false;
        ++writes_;
        int rest = static_cast<int>(length);
        for (auto* h = reinterpret_cast<const nlmsghdr*>(data); mnl_nlmsg_ok(h, rest);
             h = mnl_nlmsg_next(h, &rest)) {
            Verdict v;
            const char* end = reinterpret_cast<const char*>(h) + h->nlmsg_len;
            for (auto* attr =
                     static_cast<const nlattr*>(mnl_nlmsg_get_payload_offset(h, sizeof(nfgenmsg)));
                 mnl_attr_ok(attr, static_cast<int>(end - reinterpret_cast<const char*>(attr)));
                 attr = mnl_attr_next(attr)) {
                if (mnl_attr_get_type(attr) == NFQA_VERDICT_HDR) {
                    const auto* hdr =
                        static_cast<const nfqnl_msg_verdict_hdr*>(mnl_attr_get_payload(attr));
                    v.id = ntohl(hdr->id);
                    v.verdict = ntohl(hdr->verdict);
                } else if (mnl_attr_get_type(attr) == NFQA_PAYLOAD) {
                    const auto* p = static_cast<const uint8_t*>(mnl_attr_get_payload(attr));
                    v.payload.assign(p, p + mnl_attr_get_payload_len(attr));
                }
            }
            verdicts_.push_back(v);
        }
        return true;
    }
    std::vector<Verdict> Take() {
        std::lock_guard<std::mutex> lock(mutex_);
        return std::exchange(verdicts_, {});
    }
    int Writes() {
        std::lock_guard<std::mutex> lock(mutex_);
        return writes_;
    }

  private:
    std::mutex mutex_;
    std::vector<Verdict> verdicts_;
    int writes_ = 0;
};

class LinuxWorldTest : public ::testing::Test {
  protected:
    void SetUp() override {
        LinuxWorldOptions options;
        options.queueCount = 1;
        world_ = std::make_shared<LinuxWorld>(options);
        channel_ = std::make_shared<RecordingChannel>();
        world_->AttachChannels({channel_});
        SetWorld(world_);
    }
    // Replaces the world with one made with `options` (one queue).
    void Reattach(LinuxWorldOptions options) {
        options.queueCount = 1;
        world_ = std::make_shared<LinuxWorld>(options);
        world_->AttachChannels({channel_});
        SetWorld(world_);
    }
    void TearDown() override {
        for (HANDLE h : opened_)
            WinDivertClose(h);
        SetWorld(nullptr);
    }

    HANDLE Open(const char* filter, INT16 priority = 0, UINT64 flags = 0,
                WINDIVERT_LAYER layer = WINDIVERT_LAYER_NETWORK) {
        HANDLE h = WinDivertOpen(filter, layer, priority, flags);
        EXPECT_NE(h, INVALID_HANDLE_VALUE) << filter << ": " << GetLastError();
        opened_.push_back(h);
        return h;
    }

    // Hands packets to the world as the reader of queue 0 does; the bytes live in one
    // buffer like a receive batch. Returns the ingest time.
    int64_t Ingest(const std::vector<std::vector<uint8_t>>& packets, uint32_t firstId,
                   uint8_t hook = NF_INET_PRE_ROUTING) {
        buffer_.clear();
        for (const auto& p : packets)
            buffer_.insert(buffer_.end(), p.begin(), p.end());
        std::vector<QueuedPacket> queued;
        size_t offset = 0;
        for (size_t i = 0; i < packets.size(); ++i) {
            QueuedPacket q;
            q.id = firstId + static_cast<uint32_t>(i);
            q.hook = hook;
            q.data = buffer_.data() + offset;
            q.length = static_cast<uint32_t>(packets[i].size());
            q.inIfIdx = 2;
            offset += packets[i].size();
            queued.push_back(q);
        }
        const int64_t now = bastion::SteadyNowNs();
        world_->Ingest(0, queued.data(), queued.size(), buffer_.data(),
                       buffer_.data() + buffer_.size());
        return now;
    }

    static std::vector<uint8_t> Tcp(uint16_t port, uint16_t tag) {
        return PacketBuilder::Tcp(Ipv4("198.51.100.7"), 40000, Ipv4("203.0.113.10"), port)
            .Ack()
            .Id(tag)
            .Build();
    }

    struct Got {
        std::vector<uint8_t> packet;
        WINDIVERT_ADDRESS address{};
    };
    static Got Recv(HANDLE h) {
        Got g;
        g.packet.resize(2000);
        UINT length = 0;
        EXPECT_TRUE(WinDivertRecv(h, g.packet.data(), 2000, &length, &g.address)) << GetLastError();
        g.packet.resize(length);
        return g;
    }

    std::shared_ptr<LinuxWorld> world_;
    std::shared_ptr<RecordingChannel> channel_;
    std::vector<uint8_t> buffer_;
    std::vector<HANDLE> opened_;
};

TEST_F(LinuxWorldTest, UnmatchedPacketsAreAcceptedAsOneWriteWithoutBytes) {
    Open("udp");
    Ingest({Tcp(80, 1), Tcp(81, 2)}, 10);
    const auto v = channel_->Take();
    ASSERT_EQ(v.size(), 2u);
    EXPECT_EQ(v[0].id, 10u);
    EXPECT_EQ(v[1].id, 11u);
    for (const auto& x : v) {
        EXPECT_EQ(x.verdict, uint32_t{NF_ACCEPT});
        EXPECT_TRUE(x.payload.empty());
    }
    EXPECT_EQ(channel_->Writes(), 1);
}

TEST_F(LinuxWorldTest, DropHandleDropsAndSniffHandleCopiesAndAccepts) {
    HANDLE drop = Open("tcp.DstPort == 22", 10, WINDIVERT_FLAG_DROP);
    HANDLE sniff = Open("tcp", 5, WINDIVERT_FLAG_SNIFF);
    (void)drop;
    Ingest({Tcp(22, 1), Tcp(80, 2)}, 1);
    auto v = channel_->Take();
    ASSERT_EQ(v.size(), 2u);
    EXPECT_EQ(v[0].id, 1u);
    EXPECT_EQ(v[0].verdict, uint32_t{NF_DROP});
    EXPECT_EQ(v[1].id, 2u);
    EXPECT_EQ(v[1].verdict, uint32_t{NF_ACCEPT});
    const Got copy = Recv(sniff);
    EXPECT_EQ(copy.packet, Tcp(80, 2));
}

TEST_F(LinuxWorldTest, DivertedPacketIsHeldUntilSentBackThenAcceptedWithTheSentBytes) {
    HANDLE high = Open("tcp", 100);
    HANDLE low = Open("tcp", -100);
    Ingest({Tcp(80, 7)}, 42);
    EXPECT_TRUE(channel_->Take().empty());

    Got g = Recv(high);
    g.packet[8] = 17;  // the application changes the TTL
    g.address.IPChecksum = 0;
    ASSERT_TRUE(WinDivertSend(high, g.packet.data(), static_cast<UINT>(g.packet.size()), nullptr,
                              &g.address));
    EXPECT_TRUE(channel_->Take().empty()) << "the walk continues to the lower handle";

    Got again = Recv(low);
    EXPECT_EQ(again.packet[8], 17);
    ASSERT_TRUE(WinDivertSend(low, again.packet.data(), static_cast<UINT>(again.packet.size()),
                              nullptr, &again.address));
    const auto v = channel_->Take();
    ASSERT_EQ(v.size(), 1u);
    EXPECT_EQ(v[0].id, 42u);
    EXPECT_EQ(v[0].verdict, uint32_t{NF_ACCEPT});
    EXPECT_EQ(v[0].payload, again.packet);

    // The packet has its verdict: sending it once more is refused.
    EXPECT_FALSE(WinDivertSend(low, again.packet.data(), static_cast<UINT>(again.packet.size()),
                               nullptr, &again.address));
    EXPECT_EQ(GetLastError(), DWORD{ERROR_INVALID_PARAMETER});
}

TEST_F(LinuxWorldTest, SendingAPacketNeverReceivedIsRefused) {
    HANDLE h = Open("tcp");
    const auto packet = Tcp(80, 1);
    WINDIVERT_ADDRESS address{};
    address.Layer = WINDIVERT_LAYER_NETWORK;
    UINT sent = 99;
    EXPECT_FALSE(
        WinDivertSend(h, packet.data(), static_cast<UINT>(packet.size()), &sent, &address));
    EXPECT_EQ(GetLastError(), DWORD{ERROR_INVALID_PARAMETER});
    EXPECT_TRUE(channel_->Take().empty());
}

TEST_F(LinuxWorldTest, HeldPacketsAreDroppedAfterTheGracePeriod) {
    HANDLE h = Open("tcp");
    const int64_t at = Ingest({Tcp(80, 1)}, 5);
    Got g = Recv(h);
    const int64_t grace = world_->Options().graceNs;
    world_->Housekeep(at + grace / 2);
    EXPECT_TRUE(channel_->Take().empty());
    world_->Housekeep(bastion::SteadyNowNs() + grace);
    const auto v = channel_->Take();
    ASSERT_EQ(v.size(), 1u);
    EXPECT_EQ(v[0].verdict, uint32_t{NF_DROP});
    EXPECT_EQ(world_->Losses().heldExpired, 1u);
    // Too late: refused, and no second verdict.
    EXPECT_FALSE(
        WinDivertSend(h, g.packet.data(), static_cast<UINT>(g.packet.size()), nullptr, &g.address));
    EXPECT_EQ(GetLastError(), DWORD{ERROR_INVALID_PARAMETER});
    EXPECT_TRUE(channel_->Take().empty());
}

TEST_F(LinuxWorldTest, AReceiveIntoTheSameArrayDropsWhatThePreviousOneLeftUnsentWhenAsked) {
    for (const bool release : {false, true}) {
        SCOPED_TRACE(release ? "released at the next receive" : "held for the grace period");
        LinuxWorldOptions options;
        options.releaseUnsentOnReceive = release;
        Reattach(options);
        HANDLE h = Open("tcp");
        Ingest({Tcp(80, 1), Tcp(80, 2), Tcp(80, 3)}, 10);
        std::vector<uint8_t> bytes(6000);
        WINDIVERT_ADDRESS first[8], other[8];
        UINT length = 0, addrLen = sizeof first;
        ASSERT_TRUE(WinDivertRecvEx(h, bytes.data(), static_cast<UINT>(bytes.size()), &length, 0,
                                    first, &addrLen, nullptr));
        ASSERT_EQ(addrLen, 3 * sizeof(WINDIVERT_ADDRESS));
        const UINT each = length / 3;
        ASSERT_TRUE(WinDivertSend(h, bytes.data() + each, each, nullptr, &first[1]));
        auto v = channel_->Take();
        ASSERT_EQ(v.size(), 1u);
        EXPECT_EQ(v[0].id, 11u);
        EXPECT_EQ(v[0].verdict, uint32_t{NF_ACCEPT});

        // A receive into another array leaves the first array's packets alone.
        Ingest({Tcp(80, 4)}, 13);
        addrLen = sizeof other;
        ASSERT_TRUE(
            WinDivertRecvEx(h, bytes.data() + 3000, 3000, &length, 0, other, &addrLen, nullptr));
        EXPECT_TRUE(channel_->Take().empty());

        // The next receive into the first array, posted while nothing is queued: 10 and 12
        // were the application's drops.
        HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        OVERLAPPED ov{};
        ov.hEvent = event;
        addrLen = sizeof first;
        EXPECT_FALSE(WinDivertRecvEx(h, bytes.data(), 3000, &length, 0, first, &addrLen, &ov));
        EXPECT_EQ(GetLastError(), DWORD{ERROR_IO_PENDING});
        v = channel_->Take();
        if (release) {
            ASSERT_EQ(v.size(), 2u);
            EXPECT_EQ(v[0].id, 10u);
            EXPECT_EQ(v[1].id, 12u);
            EXPECT_EQ(v[0].verdict, uint32_t{NF_DROP});
            EXPECT_EQ(v[1].verdict, uint32_t{NF_DROP});
        } else {
            EXPECT_TRUE(v.empty());
        }
        Ingest({Tcp(80, 5)}, 14);  // completes the posted receive
        DWORD got = 0;
        ASSERT_TRUE(GetOverlappedResult(h, &ov, &got, TRUE));
        CloseHandle(event);
        // Once more into the first array: 14, handed out by that completion, goes too.
        Ingest({Tcp(80, 6)}, 15);
        addrLen = sizeof first;
        ASSERT_TRUE(WinDivertRecvEx(h, bytes.data(), 3000, &length, 0, first, &addrLen, nullptr));
        v = channel_->Take();
        EXPECT_EQ(v.size(), release ? 1u : 0u);
        if (release && !v.empty()) {
            EXPECT_EQ(v[0].id, 14u);
        }
        EXPECT_EQ(world_->Losses().releasedUnsent, release ? 3u : 0u);

        // What no receive released waits for the grace period.
        world_->Housekeep(bastion::SteadyNowNs() + world_->Options().graceNs);
        v = channel_->Take();
        EXPECT_EQ(v.size(), release ? 2u : 5u);
        EXPECT_EQ(world_->Losses().heldExpired, release ? 2u : 5u);
        WinDivertClose(h);
        opened_.clear();
    }
}

TEST_F(LinuxWorldTest, ThousandsOfExpiringPacketsAllGetTheirVerdictInWritesTheKernelTakes) {
    HANDLE h = Open("tcp");
    WinDivertSetParam(h, WINDIVERT_PARAM_QUEUE_LENGTH, 16384);
    std::vector<std::vector<uint8_t>> batch(64, Tcp(80, 1));
    for (uint32_t b = 0; b < 160; ++b)
        Ingest(batch, 1 + b * 64);
    EXPECT_TRUE(channel_->Take().empty());
    world_->Housekeep(bastion::SteadyNowNs() + world_->Options().graceNs);
    const auto v = channel_->Take();
    EXPECT_EQ(v.size(), 160u * 64);
    EXPECT_EQ(world_->Losses().heldExpired, 160u * 64);
    EXPECT_EQ(world_->Losses().verdictWriteFailures, 0u);

    // The largest packet's verdict fits one write.
    VerdictBatch one;
    const std::vector<uint8_t> big(65535, 0);
    EXPECT_TRUE(one.Add(0, 1, NF_ACCEPT, big.data(), static_cast<uint32_t>(big.size())));
}

TEST_F(LinuxWorldTest, ClosingAHandleDropsWhatItReceivedAndPassesWhatItStillQueued) {
    HANDLE h = WinDivertOpen("tcp", WINDIVERT_LAYER_NETWORK, 0, 0);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    Ingest({Tcp(80, 1)}, 1);
    Recv(h);
    Ingest({Tcp(80, 2)}, 2);
    ASSERT_TRUE(WinDivertClose(h));
    auto v = channel_->Take();
    ASSERT_EQ(v.size(), 2u);
    std::sort(v.begin(), v.end(), [](const Verdict& a, const Verdict& b) { return a.id < b.id; });
    EXPECT_EQ(v[0].verdict, uint32_t{NF_DROP});    // received, never sent back
    EXPECT_EQ(v[1].verdict, uint32_t{NF_ACCEPT});  // still queued: re-injected at close
    EXPECT_EQ(world_->Losses().heldAtClose, 1u);
    EXPECT_EQ(world_->CountersOf(h).received, 1u);
}

TEST_F(LinuxWorldTest, OutboundPacketsAndTrackingAreWantedOnlyWhenAHandleCanUseThem) {
    EXPECT_EQ(world_->WantedState(), RulesetState{});
    HANDLE in = Open("inbound and tcp");
    EXPECT_FALSE(world_->WantedState().outbound);
    HANDLE notOut = Open("not outbound and udp");
    EXPECT_FALSE(world_->WantedState().outbound);
    HANDLE any = Open("tcp.DstPort == 443");
    EXPECT_TRUE(world_->WantedState().outbound);
    WinDivertClose(any);
    EXPECT_FALSE(world_->WantedState().outbound);
    HANDLE out = Open("outbound or icmp");
    EXPECT_TRUE(world_->WantedState().outbound);
    (void)in;
    (void)notOut;
    (void)out;
    Open("true", 0, WINDIVERT_FLAG_SNIFF | WINDIVERT_FLAG_RECV_ONLY, WINDIVERT_LAYER_FLOW);
    EXPECT_TRUE(world_->WantedState().tracking);
}

TEST_F(LinuxWorldTest, OutboundPacketsCarryTheirDirection) {
    HANDLE h = Open("outbound");
    Ingest({Tcp(80, 1)}, 3, NF_INET_LOCAL_OUT);
    const Got g = Recv(h);
    EXPECT_TRUE(g.address.Outbound);
    EXPECT_TRUE(channel_->Take().empty());
}

TEST(LinuxWorldOptionsTest, StartRefusesOptionsOutOfRangeBeforeTouchingTheKernel) {
    const auto refused = [](void (*change)(LinuxWorldOptions&)) {
        LinuxWorldOptions options;
        change(options);
        LinuxWorld world(options);
        std::string error;
        const StartError result = world.Start(&error);
        EXPECT_FALSE(world.Running());
        return result == StartError::InvalidOptions && !error.empty();
    };
    EXPECT_TRUE(refused([](LinuxWorldOptions& o) { o.queueCount = 0; }));
    EXPECT_TRUE(refused([](LinuxWorldOptions& o) { o.coalesceNs = -1; }));
    EXPECT_TRUE(refused([](LinuxWorldOptions& o) { o.coalesceNs = 10'000'001; }));
}

}  // namespace
}  // namespace divert::linuxworld
