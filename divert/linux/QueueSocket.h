// One kernel packet queue: the netlink socket bound to it, batched receive and verdict
// writes. Verdicts may be written from any thread while the reader receives.
#pragma once

#include <sys/socket.h>
#include <sys/uio.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "divert/linux/QueueMessages.h"

namespace divert::linuxworld {

// Where verdicts of one queue go (the queue's socket; a recorder in tests).
class VerdictChannel {
  public:
    virtual ~VerdictChannel() = default;
    // Writes packed verdict messages; false with errno set on failure.
    virtual bool Write(const uint8_t* data, size_t length) = 0;
};

class QueueSocket final : public VerdictChannel {
  public:
    static constexpr size_t kBatch = 64;  // datagrams per receive

    QueueSocket() = default;
    ~QueueSocket() override;
    QueueSocket(const QueueSocket&) = delete;
    QueueSocket& operator=(const QueueSocket&) = delete;

    // Binds queue `queue` (copying whole packets, at most `maxLength` waiting). False with
    // *error naming the step and errno.
    bool Open(uint16_t queue, uint32_t maxLength, std::string* error);
    void Close();

    // Waits up to `timeoutMs` for packets, then takes what is there (up to kBatch
    // datagrams). Appends the packets to *packets (their bytes stay valid until the next
    // Receive); *full (if given): kBatch datagrams came, so more may be waiting. Returns
    // false on a socket error other than a timeout.
    bool Receive(int timeoutMs, std::vector<QueuedPacket>* packets, bool* full = nullptr);

    // The receive buffers' range: packets whose bytes lie inside are unmodified.
    const uint8_t* BufferBegin() const { return buffer_.data(); }
    const uint8_t* BufferEnd() const { return buffer_.data() + buffer_.size(); }

    bool Write(const uint8_t* data, size_t length) override;
    uint16_t Queue() const { return queue_; }

  private:
    int fd_ = -1;
    uint16_t queue_ = 0;
    uint32_t portId_ = 0;
    std::vector<uint8_t> buffer_;
    std::vector<mmsghdr> messages_;
    std::vector<iovec> vectors_;
};

}  // namespace divert::linuxworld
