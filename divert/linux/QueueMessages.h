// The netlink messages of the kernel's packet queues (nfnetlink_queue): packets in,
// verdicts out, per-queue statistics. Pure functions over bytes; the sockets live in
// QueueSocket.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

struct nlmsghdr;

namespace divert::linuxworld {

// A packet as the kernel queued it. `data` points into the received message.
struct QueuedPacket {
    uint32_t id = 0;
    uint8_t hook = 0;  // NF_INET_PRE_ROUTING or NF_INET_LOCAL_OUT
    const uint8_t* data = nullptr;
    uint32_t length = 0;
    uint32_t inIfIdx = 0;
    uint32_t outIfIdx = 0;
};

// Reads one NFQNL_MSG_PACKET message. An IPv4 packet is cut to its header's total length
// (link-layer padding), so that the length dispatch checks equals the buffer's. False for
// other messages and for packets without a header or payload.
bool ParsePacketMessage(const nlmsghdr* message, QueuedPacket* packet);

// Verdicts packed back to back, sent to the kernel in one write. The default capacity holds
// one verdict carrying the largest packet, and stays well below the socket's send buffer:
// the kernel refuses (EMSGSIZE) a write larger than that buffer as a whole.
class VerdictBatch {
  public:
    static constexpr size_t kDefaultCapacity = 128 * 1024;
    explicit VerdictBatch(size_t capacity = kDefaultCapacity);

    // False when the batch is full (flush, then add again). `data` replaces the packet's
    // bytes (only for accept); null keeps the kernel's copy.
    bool Add(uint16_t queue, uint32_t id, uint32_t verdict, const uint8_t* data = nullptr,
             uint32_t length = 0);
    bool Empty() const { return used_ == 0; }
    size_t Count() const { return count_; }
    const uint8_t* Data() const { return buffer_.data(); }
    size_t Size() const { return used_; }
    void Clear() {
        used_ = 0;
        count_ = 0;
    }

  private:
    std::vector<uint8_t> buffer_;
    size_t used_ = 0;
    size_t count_ = 0;
};

// Per-queue figures of /proc/net/netfilter/nfnetlink_queue.
struct QueueStats {
    uint64_t waiting = 0;      // queue_total: packets waiting for a verdict now
    uint64_t dropped = 0;      // queue_dropped: the queue was full
    uint64_t userDropped = 0;  // user_dropped: the reader's socket buffer was full
};
std::map<uint16_t, QueueStats> ParseQueueStats(const std::string& text);

}  // namespace divert::linuxworld
