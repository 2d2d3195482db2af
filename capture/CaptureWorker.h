// The state of one capture worker and the steps of its receive cycle, for CaptureLoop and
// for tests that drive a worker cycle by cycle on their own thread.
//
// A worker owns three buffer sets: A and B take turns as the receive target (the next
// receive goes to the other set while an asynchronous whole-batch send from one is in
// flight), C is the compaction target of selective re-injection. Nothing here is shared
// with another thread except `engine` and the handle read from engine.captureHandle.
//
// Thread-safety: one thread per worker.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "capture/CaptureScratch.h"
#include "capture/HeaderBlock.h"
#include "capture/PacketView.h"
#include "platform/Win32.h"
#include "rules/Verdict.h"
#include "windivert.h"

namespace bastion {

class PacketProcessor;

constexpr uint32_t kBatchBufferBytes = 0xFF000;  // 1,044,480
constexpr uint32_t kAddressBytes = sizeof(WINDIVERT_ADDRESS);
constexpr uint32_t kAddressArrayBytes = kMaxBatchPackets * kAddressBytes;  // 20,400
constexpr uint32_t kMaxPacketLength = 0x10027;                             // 65,575
constexpr uint32_t kMinIpv4Header = 20;
constexpr uint32_t kPrefetchSpan = 64;
constexpr int64_t kWarningPeriodNs = 30 * kNsPerSecond;
constexpr int64_t kSummaryPeriodNs = 60 * kNsPerSecond;
constexpr int64_t kCounterFlushNs = 100 * kNsPerMs;
constexpr DWORD kWaitStepMs = 10;
constexpr DWORD kSendCollectMs = 5;
constexpr DWORD kNoHandleSleepMs = 10;
constexpr DWORD kRecvErrorSleepMs = 10;
constexpr uint32_t kHandleCheckTimeouts = 50;

static_assert(sizeof(WINDIVERT_ADDRESS) == 80, "address records are 80 bytes");

// The worker's warning sites, each with its own throttle.
enum class WarningSite : uint8_t {
    AsyncSendFailed,
    RecvFailed,
    OverlappedFailed,
    WaitFailed,
    BufferOverflow,
    AddressOverflow,
    NonIpv4,
    InvalidLength,
    PacketTooSmall,
    InvalidVersion,
    InvalidCount,
    InvalidBufferSize,
    ZeroCopyTruncatedFailed,
    ZeroCopyTruncateSummary,
    SelectiveMismatch,
    SelectiveAddrLen,
    TruncatedFailed,
    TruncateSummary,
    kCount,
};

// Per-site throttle of hot-path warnings: a site's time is set when it is first reached,
// and it logs only once `period` has passed since its time, which then becomes now. So a
// site logs at most once per period and never on its first occurrence.
class WarningThrottle {
  public:
    bool ShouldLog(WarningSite site, int64_t now, int64_t period = kWarningPeriodNs) {
        Site& s = sites_[static_cast<size_t>(site)];
        if (!s.seen) {
            s.seen = true;
            s.last = now;
            return false;
        }
        if (now - s.last < period) return false;
        s.last = now;
        return true;
    }

  private:
    struct Site {
        int64_t last = 0;
        bool seen = false;
    };
    std::array<Site, static_cast<size_t>(WarningSite::kCount)> sites_{};
};

struct BufferSet {
    std::unique_ptr<uint8_t[]> packets;              // kBatchBufferBytes
    std::unique_ptr<WINDIVERT_ADDRESS[]> addresses;  // kMaxBatchPackets
};

// Where the walk over a batch found a packet to stand.
enum class PacketClass {
    Skip,          // malformed: dropped, not counted
    PassUnjudged,  // a protocol no rule looks at: passes both ways
    Parsed,        // the view is filled
};

// Parses the packet at `packet` (its `length` bytes lie inside the batch) into `view`,
// taking the IPv4 fields from lane `lane` of `block`.
PacketClass ParsePacket(const uint8_t* packet, uint32_t length, const HeaderBlock& block,
                        size_t lane, const WINDIVERT_ADDRESS& address, PacketView& view);

struct CaptureWorker {
    enum class Cycle { Continue, Stop };
    static constexpr int kSetA = 0, kSetB = 1, kSetC = 2;

    // Allocates the three buffer sets, zero-filled. Events are made by CreateEvents.
    CaptureWorker(PacketProcessor& engine, int workerIndex);
    // Collects any send or receive still in flight (so that no operation outlives the
    // buffers it uses), then closes the events.
    ~CaptureWorker();
    CaptureWorker(const CaptureWorker&) = delete;
    CaptureWorker& operator=(const CaptureWorker&) = delete;

    // The receive and send events; on failure reports it and returns false.
    bool CreateEvents();

    // One receive cycle: collect a pending send, receive a batch (waiting in 10 ms steps),
    // judge it and re-inject what passes. Stop when the engine is no longer running.
    Cycle RunCycle();

    // Batch checks, parse, verdicts, counter flush and re-injection of the batch just
    // received into the current receive set.
    void ProcessBatch(UINT recvLen, UINT addrLen);

    // The counter flush: batch counters into the engine totals, then the shard merge.
    void FlushCounters(int64_t now);

    // Whether `site` may log now (its throttle, on the steady clock). Callers build the
    // message only when it may.
    bool ShouldWarn(WarningSite site, int64_t period = kWarningPeriodNs);
    void Emit(std::string text);

    // Recomputes an outbound packet's checksums before it is re-sent.
    void RecomputeChecksums(uint8_t* packet, uint32_t length, WINDIVERT_ADDRESS* address);

    bool Running() const;

    PacketProcessor& engine;
    const int workerIndex;
    CaptureScratch& scratch;

    std::array<BufferSet, 3> sets;
    int receiveSet = kSetA;

    HANDLE recvEvent = nullptr;
    HANDLE sendEvent = nullptr;
    OVERLAPPED recvOverlapped{};
    OVERLAPPED sendOverlapped{};
    bool recvPending = false;     // a receive was issued and not collected
    bool sendPending = false;     // an asynchronous send was issued and not collected
    HANDLE handle = nullptr;      // the handle of this cycle
    HANDLE sendHandle = nullptr;  // the handle the pending send was issued on

    UINT recvLen = 0;
    UINT addrLen = 0;
    uint32_t consecutiveTimeouts = 0;
    int64_t lastFlush;
    WarningThrottle throttle;

    std::array<HeaderBlock, (kMaxBatchPackets + kHeaderLanes - 1) / kHeaderLanes> blocks{};
    std::vector<uint32_t> sendPositions;  // prefix sums of selectedLengths (half fallback)
    BatchBits compacted;                  // packets the selective path copied into set C
    VerdictResult result;

    // Checksum recomputations done by this worker (each outbound packet exactly once).
    uint64_t checksumRecomputations = 0;

  private:
    Cycle CollectReceive(bool processIfReceived);
    void CollectSend();
};

// Puts the passing packets of the batch in the worker's current receive set back into the
// stack: the whole batch in place when validCount = n, else the passing runs compacted
// into set C. validCount > 0.
void ReinjectBatch(CaptureWorker& worker, CaptureScratch& scratch, size_t n, size_t validCount);

// The affinity step at the start of a worker body.
void PinWorkerThread(int workerIndex);

}  // namespace bastion
