// The reference reader of a diversion handle, the baseline the engine's capture path is
// measured against: each thread loops an overlapped WinDivertRecvEx of up to 255 packets
// into a 1,044,480-byte buffer (waiting on its event in 10 ms steps), then re-injects the
// whole batch with one WinDivertSendEx. No parsing, no verdicts.
//
// Thread-safety: construct and Stop from one thread; the counters may be read anytime.
#pragma once

#include <atomic>
#include <cstdint>
#include <thread>
#include <vector>

#include "windivert.h"

namespace bastion::bench {

class PassThroughReader {
  public:
    PassThroughReader(HANDLE handle, unsigned threads);
    ~PassThroughReader();
    PassThroughReader(const PassThroughReader&) = delete;
    PassThroughReader& operator=(const PassThroughReader&) = delete;

    // Cancels the pending receives and joins the threads.
    void Stop();

    uint64_t Packets() const { return packets_.load(std::memory_order_relaxed); }
    uint64_t Batches() const { return batches_.load(std::memory_order_relaxed); }
    uint64_t Errors() const { return errors_.load(std::memory_order_relaxed); }

  private:
    void Run();

    const HANDLE handle_;
    std::atomic<bool> running_{true};
    std::atomic<uint64_t> packets_{0}, batches_{0}, errors_{0};
    std::vector<std::thread> threads_;
};

}  // namespace bastion::bench
