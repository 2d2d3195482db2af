// Receive queue: two rings (entries, packet bytes) with drop-oldest bounds.
#include "divert/runtime/PacketQueue.h"

#include <algorithm>
#include <cstring>

namespace divert {
namespace {

constexpr size_t kInitialEntries = 64;
constexpr size_t kInitialDataBytes = 64 * 1024;
// Slack beyond the byte bound: a packet that does not fit before the ring's end is placed
// at its start, wasting at most one maximum-size packet.
constexpr size_t kWrapSlack = WINDIVERT_MTU_MAX;

}  // namespace

PacketQueue::PushResult PacketQueue::Push(const uint8_t* data, uint32_t length,
                                          const WINDIVERT_ADDRESS& address, const Limits& limits) {
    PushResult result;
    const uint64_t cost = uint64_t{length} + overhead_;
    if (cost > limits.maxBytes || limits.maxEntries == 0) return result;

    while (count_ > 0 && (count_ + 1 > limits.maxEntries || accounted_ + cost > limits.maxBytes)) {
        PopFront();
        ++result.overflowed;
    }

    uint32_t offset = static_cast<uint32_t>(end_);
    if (length > 0) {
        offset = Reserve(length, limits.maxBytes + kWrapSlack, &result.overflowed);
        std::memcpy(data_.get() + offset, data, length);
    }
    if (count_ == entries_.size()) GrowEntries();
    Entry& entry = entries_[(head_ + count_) & (entries_.size() - 1)];
    entry.offset = offset;
    entry.length = length;
    entry.address = address;
    ++count_;
    accounted_ += cost;
    result.stored = true;
    return result;
}

uint32_t PacketQueue::Reserve(uint32_t length, uint64_t maxCapacity, uint32_t* overflowed) {
    for (;;) {
        if (count_ == 0) {
            begin_ = end_ = 0;
            wrapped_ = false;
        }
        if (!wrapped_) {
            if (capacity_ - end_ >= length) {
                size_t at = end_;
                end_ += length;
                return static_cast<uint32_t>(at);
            }
            if (count_ > 0 && begin_ >= length) {
                wrapped_ = true;
                end_ = length;
                return 0;
            }
        } else if (begin_ - end_ >= length) {
            size_t at = end_;
            end_ += length;
            return static_cast<uint32_t>(at);
        }
        if (capacity_ < maxCapacity) {
            size_t wanted = std::max<size_t>(capacity_ * 2, kInitialDataBytes);
            while (wanted < capacity_ + length)
                wanted *= 2;
            GrowData(std::min<size_t>(wanted, std::max<uint64_t>(maxCapacity, length)));
            continue;
        }
        PopFront();  // at the size limit: the oldest entry makes room
        ++*overflowed;
    }
}

void PacketQueue::GrowData(size_t capacity) {
    std::unique_ptr<uint8_t[]> grown(new uint8_t[capacity]);
    size_t at = 0;
    for (size_t i = 0; i < count_; ++i) {
        Entry& entry = entries_[(head_ + i) & (entries_.size() - 1)];
        if (entry.length > 0)
            std::memcpy(grown.get() + at, data_.get() + entry.offset, entry.length);
        entry.offset = static_cast<uint32_t>(at);
        at += entry.length;
    }
    data_ = std::move(grown);
    capacity_ = capacity;
    begin_ = 0;
    end_ = at;
    wrapped_ = false;
}

void PacketQueue::GrowEntries() {
    size_t size = entries_.empty() ? kInitialEntries : entries_.size() * 2;
    std::vector<Entry> grown(size);
    for (size_t i = 0; i < count_; ++i)
        grown[i] = entries_[(head_ + i) & (entries_.size() - 1)];
    entries_ = std::move(grown);
    head_ = 0;
}

void PacketQueue::PopFront() {
    const Entry& entry = entries_[head_];
    accounted_ -= uint64_t{entry.length} + overhead_;
    head_ = (head_ + 1) & (entries_.size() - 1);
    --count_;
    if (count_ == 0) {
        begin_ = end_ = 0;
        wrapped_ = false;
        return;
    }
    size_t next = entries_[head_].offset;
    if (wrapped_ && next < begin_) wrapped_ = false;  // reached the part stored at the start
    begin_ = next;
}

uint32_t PacketQueue::DropExpired(int64_t now, int64_t maxAgeTicks) {
    uint32_t dropped = 0;
    while (count_ > 0 && now - entries_[head_].address.Timestamp > maxAgeTicks) {
        PopFront();
        ++dropped;
    }
    return dropped;
}

}  // namespace divert
