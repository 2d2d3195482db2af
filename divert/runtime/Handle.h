// One open diversion handle: its identity (layer, priority, flags, filter program), its
// receive queue and parameters, the receives waiting on it and its loss counters.
//
// Dispatch threads queue into it; any number of application threads receive from it at
// once, each getting different packets. The handle's own mutex guards the queue and the
// waiting receives; no lock is global.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <unordered_set>
#include <vector>

#include "divert/filter/Filter.h"
#include "divert/runtime/PacketQueue.h"
#include "divert/runtime/World.h"
#include "platform/KernelObject.h"
#include "windivert.h"

namespace divert {

// Accounted queue cost per entry beyond the packet bytes, as the driver reckons it.
constexpr uint32_t kPacketOverhead = 63;
constexpr uint32_t kEventOverhead = 119;
constexpr uint32_t kAddressBytes = sizeof(WINDIVERT_ADDRESS);
constexpr uint32_t kMaxAddressBytes = WINDIVERT_BATCH_MAX * kAddressBytes;

// A blocked synchronous receiver. One per thread (a thread waits in at most one call), and
// thread-local so it outlives the completer's last touch.
struct SyncWaiter {
    std::mutex mutex;
    std::condition_variable cond;
    bool done = false;
    DWORD status = 0;
    UINT bytes = 0;
};

// A completion to signal after the handle's lock is released.
struct Completion {
    LPOVERLAPPED overlapped = nullptr;
    SyncWaiter* waiter = nullptr;
    DWORD status = 0;
    UINT bytes = 0;
    // NETWORK-layer packets handed to the application: told to the world before completing.
    HANDLE handle = nullptr;
    const WINDIVERT_ADDRESS* addresses = nullptr;
    UINT handed = 0;
};

void RunCompletions(const Completion* completions, size_t count);

// What a receive reports instead of the true figures (fault injection).
struct RecvOverride {
    bool setRecvLen = false;
    UINT recvLen = 0;
    bool setAddrLen = false;
    UINT addrLen = 0;
};

// A receive that found the queue empty.
struct RecvRequest {
    uint8_t* buffer = nullptr;
    UINT bufferLength = 0;
    WINDIVERT_ADDRESS* addresses = nullptr;  // null: no address wanted
    UINT addressCapacity = 1;                // entries
    UINT* pAddrLen = nullptr;
    LPOVERLAPPED overlapped = nullptr;  // null: a synchronous caller waiting on `waiter`
    SyncWaiter* waiter = nullptr;
    bool hasOverride = false;
    RecvOverride override;
    RecvRequest* next = nullptr;
};

// An overlapped send held back by fault injection until released or cancelled.
struct HeldSend {
    const void* packet = nullptr;
    UINT packetLength = 0;
    const WINDIVERT_ADDRESS* addresses = nullptr;
    UINT addrLen = 0;
    LPOVERLAPPED overlapped = nullptr;
};

// One packet (or event) offered to a handle by dispatch.
struct EnqueueItem {
    const uint8_t* data = nullptr;
    uint32_t length = 0;
    const WINDIVERT_ADDRESS* address = nullptr;
    uint64_t flowId = 0;  // FLOW layer only
};

class DivertHandle final : public platform::KernelObject {
  public:
    DivertHandle(WINDIVERT_LAYER layer, INT16 priority, UINT64 flags,
                 std::shared_ptr<const filter::Program> program, uint32_t internalPriority,
                 uint64_t sequence);
    ~DivertHandle() override;

    WINDIVERT_LAYER Layer() const { return layer_; }
    INT16 Priority() const { return priority_; }
    UINT64 Flags() const { return flags_; }
    uint32_t InternalPriority() const { return internalPriority_; }
    uint64_t Sequence() const { return sequence_; }
    bool IsSniff() const { return (flags_ & WINDIVERT_FLAG_SNIFF) != 0; }
    bool IsDrop() const { return (flags_ & WINDIVERT_FLAG_DROP) != 0; }
    bool WantsFragments() const { return (flags_ & WINDIVERT_FLAG_FRAGMENTS) != 0; }
    const filter::Program& Program() const { return *program_; }
    bool NeverMatches() const { return neverMatches_; }
    HANDLE Handle() const { return handle_; }
    void SetHandle(HANDLE handle) { handle_ = handle; }

    // Lock-free hint for dispatch; EnqueueBatch decides under the lock.
    bool Accepting() const {
        return !closing_.load(std::memory_order_relaxed) &&
               !shutdownRecv_.load(std::memory_order_relaxed);
    }
    bool Closing() const { return closing_.load(std::memory_order_acquire); }
    bool SendShutDown() const { return shutdownSend_.load(std::memory_order_acquire); }

    // Queues copies of `items` (Sniffed set for a SNIFF handle) and hands queued packets to
    // waiting receives, appending their completions. Returns false, queuing nothing, when
    // the handle no longer accepts packets (closing or receive shut down).
    bool EnqueueBatch(const EnqueueItem* items, size_t count, int64_t now,
                      std::vector<Completion>* completions);

    // Packets this DROP handle discarded.
    void CountDropped(uint64_t packets) {
        counters_.dropped.fetch_add(packets, std::memory_order_relaxed);
    }

    // Receive: fills the request from the queue at once when something is queued, else
    // fails with 232 after a receive shutdown, else waits (synchronous) or leaves the
    // request pending (overlapped, FALSE with 997). pRecvLen is written on an immediate or
    // synchronous success only.
    BOOL Receive(RecvRequest& request, UINT* pRecvLen);

    BOOL SetParam(WINDIVERT_PARAM param, UINT64 value);
    BOOL GetParam(WINDIVERT_PARAM param, UINT64* value);

    // Shutdown; completes waiting receives with 232 when the queue is empty.
    void Shutdown(WINDIVERT_SHUTDOWN how);

    // CancelIoEx: completes the waiting receive (or held send) of `overlapped`, or all of
    // them (synchronous ones included) when it is null, with 995.
    BOOL CancelIo(LPOVERLAPPED overlapped) override;
    bool ClosableByCloseHandle() const override { return false; }

    // Fault injection: keeps an overlapped send until released or cancelled; false (nothing
    // kept) when the handle is closing.
    bool Hold(const HeldSend& send);
    std::vector<HeldSend> TakeHeld();

    // Close, first half: stops accepting, completes every waiting receive and held send
    // with 995, and returns what was still queued for the caller to pass on or discard.
    PacketQueue BeginClose();

    HandleCounters Counters() const;
    void CountReinjectedAtClose(uint64_t n) { Add(counters_.reinjectedAtClose, n); }
    void CountDiscardedAtClose(uint64_t n) { Add(counters_.discardedAtClose, n); }
    void CountExpired(uint64_t n) { Add(counters_.expired, n); }
    int64_t QueueTimeTicks() const;

  private:
    struct AtomicCounters {
        std::atomic<uint64_t> queued{0}, received{0}, dropped{0}, overflow{0}, expired{0},
            oversize{0}, reinjectedAtClose{0}, discardedAtClose{0};
    };
    static void Add(std::atomic<uint64_t>& counter, uint64_t n) {
        if (n != 0) counter.fetch_add(n, std::memory_order_relaxed);
    }

    // Copies queued entries into `request`'s buffers; returns the status (0 or 122) and
    // sets *bytes. Caller holds mutex_ and the queue is not empty.
    DWORD FillLocked(const RecvRequest& request, int64_t now, UINT* bytes, UINT* handed = nullptr);
    // Serves waiting receives from the queue. Caller holds mutex_.
    void ServeWaitingLocked(int64_t now, std::vector<Completion>* completions);
    void ExpireLocked(int64_t now);
    RecvRequest* AllocateRequestLocked();
    void ReleaseRequestLocked(RecvRequest* request);
    void AppendWaitingLocked(RecvRequest* request);
    void TakeAllWaitingLocked(DWORD status, std::vector<Completion>* completions);
    Completion Finish(RecvRequest* request, DWORD status, UINT bytes, UINT handed = 0);

    const WINDIVERT_LAYER layer_;
    const INT16 priority_;
    const UINT64 flags_;
    const std::shared_ptr<const filter::Program> program_;
    const bool neverMatches_;
    const uint32_t internalPriority_;
    const uint64_t sequence_;
    HANDLE handle_ = nullptr;

    std::atomic<bool> closing_{false};
    std::atomic<bool> shutdownRecv_{false};
    std::atomic<bool> shutdownSend_{false};
    std::atomic<uint32_t> queueLength_{WINDIVERT_PARAM_QUEUE_LENGTH_DEFAULT};
    std::atomic<uint32_t> queueTimeMs_{WINDIVERT_PARAM_QUEUE_TIME_DEFAULT};
    std::atomic<uint64_t> queueSize_{WINDIVERT_PARAM_QUEUE_SIZE_DEFAULT};
    AtomicCounters counters_;

    std::mutex mutex_;
    PacketQueue queue_;
    RecvRequest* waitingHead_ = nullptr;  // FIFO of waiting receives
    RecvRequest* waitingTail_ = nullptr;
    std::vector<RecvRequest*> freeRequests_;  // overlapped request nodes for reuse
    std::unordered_set<uint64_t> flowsSeen_;  // FLOW layer: ESTABLISHED reported here
    std::vector<HeldSend> held_;
};

}  // namespace divert
