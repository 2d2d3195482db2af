// The Linux world with its threads racing: a reader ingesting batches, applications
// receiving and sending back on other threads, the housekeeping expiring at the same time.
// Every packet must get exactly one verdict.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <libmnl/libmnl.h>
#include <linux/netfilter.h>
#include <linux/netfilter/nfnetlink_queue.h>

#include <atomic>
#include <mutex>
#include <thread>
#include <vector>

#include "divert/linux/LinuxWorld.h"
#include "divert/sim/PacketBuilder.h"
#include "platform/Clock.h"
#include "windivert.h"

namespace divert::linuxworld {
namespace {

class CountingChannel final : public VerdictChannel {
  public:
    explicit CountingChannel(size_t ids) : accepted_(ids), dropped_(ids) {}
    bool Write(const uint8_t* data, size_t length) override {
        int rest = static_cast<int>(length);
        for (auto* h = reinterpret_cast<const nlmsghdr*>(data); mnl_nlmsg_ok(h, rest);
             h = mnl_nlmsg_next(h, &rest)) {
            const char* end = reinterpret_cast<const char*>(h) + h->nlmsg_len;
            for (auto* a =
                     static_cast<const nlattr*>(mnl_nlmsg_get_payload_offset(h, sizeof(nfgenmsg)));
                 mnl_attr_ok(a, static_cast<int>(end - reinterpret_cast<const char*>(a)));
                 a = mnl_attr_next(a)) {
                if (mnl_attr_get_type(a) != NFQA_VERDICT_HDR) continue;
                const auto* v = static_cast<const nfqnl_msg_verdict_hdr*>(mnl_attr_get_payload(a));
                const uint32_t id = ntohl(v->id);
                if (id >= accepted_.size()) continue;
                (ntohl(v->verdict) == NF_ACCEPT ? accepted_ : dropped_)[id].fetch_add(1);
            }
        }
        return true;
    }
    std::vector<std::atomic<int>> accepted_, dropped_;
};

// `release`: the applications leave every third batch unsent, which their next receive
// into the same array drops.
void EveryPacketGetsExactlyOneVerdict(bool release) {
    constexpr uint32_t kBatches = 400, kBatch = 32, kIds = kBatches * kBatch + 1;
    LinuxWorldOptions options;
    options.queueCount = 1;
    options.releaseUnsentOnReceive = release;
    options.graceNs = 2 * bastion::kNsPerMs;  // short: some packets expire while others return
    auto world = std::make_shared<LinuxWorld>(options);
    auto channel = std::make_shared<CountingChannel>(kIds);
    world->AttachChannels({channel});
    SetWorld(world);

    HANDLE h = WinDivertOpen("tcp.DstPort == 80", WINDIVERT_LAYER_NETWORK, 0, 0);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    std::atomic<bool> done{false};
    std::vector<std::thread> threads;
    for (int t = 0; t < 2; ++t) {
        threads.emplace_back([h, release] {
            std::vector<uint8_t> buffer(64 * 200);
            std::vector<WINDIVERT_ADDRESS> addresses(64);
            for (int round = 0;; ++round) {
                UINT length = 0, addrLength = 64 * sizeof(WINDIVERT_ADDRESS);
                if (!WinDivertRecvEx(h, buffer.data(), static_cast<UINT>(buffer.size()), &length, 0,
                                     addresses.data(), &addrLength, nullptr)) {
                    return;
                }
                if (release && round % 3 == 0) continue;
                WinDivertSendEx(h, buffer.data(), length, nullptr, 0, addresses.data(), addrLength,
                                nullptr);
            }
        });
    }
    threads.emplace_back([&] {
        while (!done.load())
            world->Housekeep(bastion::SteadyNowNs());
    });

    // The reader: port 80 is diverted, port 81 passes at once.
    std::vector<uint8_t> buffer;
    std::vector<QueuedPacket> queued(kBatch);
    uint32_t id = 1;
    for (uint32_t b = 0; b < kBatches; ++b) {
        buffer.clear();
        std::vector<size_t> offsets;
        for (uint32_t i = 0; i < kBatch; ++i) {
            const auto p = sim::PacketBuilder::Tcp(sim::Ipv4("198.51.100.7"), 40000,
                                                   sim::Ipv4("203.0.113.10"), i % 4 ? 80 : 81)
                               .Ack()
                               .Build();
            offsets.push_back(buffer.size());
            buffer.insert(buffer.end(), p.begin(), p.end());
        }
        for (uint32_t i = 0; i < kBatch; ++i) {
            queued[i].id = id++;
            queued[i].hook = NF_INET_PRE_ROUTING;
            queued[i].data = buffer.data() + offsets[i];
            queued[i].length = static_cast<uint32_t>(
                (i + 1 < kBatch ? offsets[i + 1] : buffer.size()) - offsets[i]);
        }
        world->Ingest(0, queued.data(), kBatch, buffer.data(), buffer.data() + buffer.size());
    }
    // Whatever is still held expires.
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(2);
    uint32_t answered = 0;
    while (std::chrono::steady_clock::now() < end) {
        answered = 0;
        for (uint32_t i = 1; i < kIds; ++i)
            answered += channel->accepted_[i] + channel->dropped_[i] > 0;
        if (answered == kIds - 1) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    done.store(true);
    WinDivertShutdown(h, WINDIVERT_SHUTDOWN_BOTH);
    for (auto& t : threads)
        t.join();
    WinDivertClose(h);
    SetWorld(nullptr);

    EXPECT_EQ(answered, kIds - 1);
    uint64_t dropped = 0;
    for (uint32_t i = 1; i < kIds; ++i) {
        ASSERT_EQ(channel->accepted_[i] + channel->dropped_[i], 1) << "packet " << i;
        dropped += channel->dropped_[i];
    }
    const LinuxLosses losses = world->Losses();
    EXPECT_EQ(dropped, losses.heldExpired + losses.heldAtClose + losses.releasedUnsent);
    if (release) {
        EXPECT_GT(losses.releasedUnsent, 0u);
    }
}

TEST(LinuxWorldConcurrency, EveryPacketGetsExactlyOneVerdict) {
    EveryPacketGetsExactlyOneVerdict(false);
}

TEST(LinuxWorldConcurrency, EveryPacketGetsExactlyOneVerdictWhenUnsentOnesAreReleased) {
    EveryPacketGetsExactlyOneVerdict(true);
}

}  // namespace
}  // namespace divert::linuxworld
