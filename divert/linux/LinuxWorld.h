// The Linux world: the diversion runtime fed by the kernel's packet queues.
//
// Start installs Bastion's nftables table (Ruleset.h), binds one queue per reader thread
// and makes this the current world. Each reader receives batches from its queue and pushes
// them through the runtime's dispatch; the verdicts follow what dispatch did:
//
//   no handle matched, or SNIFF only      accept (one packed write per batch)
//   a DROP handle matched                 drop
//   a handle diverted it                  held with its queue and packet id (carried in
//                                         the address record the application receives)
//   the application sends it back         dispatch continues below the sender; at the end
//                                         accept with the bytes the application sent
//   not sent back within the grace period drop, counted (heldExpired)
//   left unsent when the application       drop at once, counted (releasedUnsent), if the
//   receives into the same array again     options say the application never sends late
//   its handle closes while holding it    drop, counted (heldAtClose)
//
// Sending a packet the world never handed out fails with ERROR_INVALID_PARAMETER (87): a
// queue can only give verdicts on its own packets. Outbound packets are queued only while
// an open NETWORK handle's filter can match outbound traffic, and connections are tracked
// (flow events from conntrack, FlowEvents.h) only while a FLOW handle is open; a
// housekeeping thread (every 10 ms) expires held packets, follows the open handles and
// reads the kernel's queue drop counters.
//
// Thread-safety: Start/Stop from one thread; everything else from any thread.
#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "divert/linux/HeldPackets.h"
#include "divert/linux/QueueSocket.h"
#include "divert/linux/Ruleset.h"
#include "divert/runtime/World.h"

namespace divert::linuxworld {

class FlowEvents;

struct LinuxWorldOptions {
    std::string table = "bastion";  // nftables table (family inet) of this instance
    uint16_t firstQueue = 0;        // queue numbers firstQueue .. firstQueue+queueCount-1
    uint16_t queueCount = 2;        // one reader thread each; 1..64
    // Fail-open: packets pass while no reader is bound (Bastion stopped or crashed).
    // Fail-closed: they are dropped.
    bool failOpen = true;
    int64_t graceNs = 100'000'000;    // how long a diverted packet may stay held
    uint32_t queueMaxLength = 32768;  // packets waiting per kernel queue before it drops
    // While packets come faster than one per wake-up of a reader (a read finds several but
    // not a whole batch), the reader waits this long before its next read, so that a read
    // takes many at once and one wake-up of an application thread serves them all; each
    // such packet waits at most this long more. 0: every read follows its packets at once.
    int64_t coalesceNs = 300'000;
    // For applications that never send a packet back once they start another receive into
    // the address array it arrived in (Bastion's engine): such a receive drops what the
    // previous one into that array handed out and was not sent back, at once instead of at
    // the end of the grace period. Off, a late send stays possible until the grace ends.
    bool releaseUnsentOnReceive = false;
};

// What the world lost, beyond the runtime's per-handle counters.
struct LinuxLosses {
    uint64_t kernelDropped = 0;  // a kernel queue was full
    uint64_t socketDropped = 0;  // a reader's socket buffer was full
    uint64_t heldExpired = 0;    // held longer than the grace period
    uint64_t heldAtClose = 0;    // still held when their handle closed
    // Not losses: handed to the application, not sent back before its next receive into
    // the same array (releaseUnsentOnReceive), so dropped then; the application's verdict.
    uint64_t releasedUnsent = 0;
    // Verdict writes the kernel refused: their packets wait in the queue until Bastion's
    // queue socket closes (then the kernel drops them). Should stay 0.
    uint64_t verdictWriteFailures = 0;
};

// Why Start failed; the text says more.
enum class StartError { None, NoPrivilege, InvalidOptions, Ruleset, Queue, Flow };

class LinuxWorld final : public World, public std::enable_shared_from_this<LinuxWorld> {
  public:
    explicit LinuxWorld(LinuxWorldOptions options);
    ~LinuxWorld() override;

    // Installs the table, binds the queues, starts the threads and makes this the current
    // world. On failure nothing stays installed.
    StartError Start(std::string* error);
    // Removes the table, stops the threads and stops being the current world. Idempotent.
    void Stop();
    bool Running() const { return running_.load(std::memory_order_acquire); }

    LinuxLosses Losses() const;
    // Counters of a handle, open or closed (zeros for one never seen).
    HandleCounters CountersOf(HANDLE handle) const;
    // What the table holds now (nft syntax), and as flags.
    std::string RulesetNow() const;
    RulesetState InstalledState() const;
    const LinuxWorldOptions& Options() const { return options_; }

    // ---- Without the kernel (tests) ----
    // Uses `channels[i]` for the verdicts of queue firstQueue+i instead of sockets; the
    // caller pushes packets with Ingest and runs Housekeep itself.
    void AttachChannels(std::vector<std::shared_ptr<VerdictChannel>> channels);
    // What a reader does with one received batch of queue index `queueIndex`.
    void Ingest(uint16_t queueIndex, const QueuedPacket* packets, size_t count,
                const uint8_t* bufferBegin, const uint8_t* bufferEnd);
    // Expires held packets (now: steady-clock ns); follows the open handles.
    void Housekeep(int64_t nowNs);
    // Whether the open handles need outbound packets / flow events.
    RulesetState WantedState() const;

    // ---- World ----
    void Deliver(const PacketRef* packets, size_t count) override;
    void Dropped(const DropRef* drops, size_t count) override;
    void Diverted(const HeldRef* held, size_t count) override;
    bool AcceptsSend(const PacketRef& packet) override;
    void Received(HANDLE handle, const WINDIVERT_ADDRESS* into, size_t count) override;
    void Receiving(HANDLE handle, const WINDIVERT_ADDRESS* into) override;
    void HandleClosed(HANDLE handle, const HandleCounters& counters) override;

  private:
    struct Queue {
        HeldPackets held;
        std::shared_ptr<VerdictChannel> channel;
        std::shared_ptr<QueueSocket> socket;  // null without the kernel
    };

    // What one receive into one address array handed out (releaseUnsentOnReceive). A
    // record is claimed once per (handle, array) and written by the receive's completion,
    // read by the next receive into the same array, which the completion happens before:
    // no lock. Arrays beyond the table's size are not followed (their packets wait for the
    // grace period).
    struct Handout {
        std::atomic<uintptr_t> handle{0};
        std::atomic<const WINDIVERT_ADDRESS*> into{nullptr};
        std::atomic<uint32_t> count{0};
        uint64_t tags[WINDIVERT_BATCH_MAX] = {};
    };
    static constexpr size_t kHandouts = 64;
    Handout* FindHandout(uintptr_t handle, const WINDIVERT_ADDRESS* into, bool claim);

    void ReaderLoop(uint16_t queueIndex);
    void HousekeepingLoop();
    // Gives `verdict` to every pending packet in `ids` of queue index `q`.
    void Verdicts(uint16_t q, const std::vector<uint32_t>& ids, uint32_t verdict);
    void Flush(uint16_t q, VerdictBatch& batch);
    // Packs one verdict for queue index `q` into `batch`, writing out what it holds first
    // when the run of queue `*current` ends or the batch is full; -1 starts a run. The
    // caller flushes `*current` once its packets are done.
    void PackVerdict(VerdictBatch& batch, int* current, uint16_t q, uint32_t id, uint32_t verdict,
                     const uint8_t* bytes = nullptr, uint32_t length = 0);
    void ApplyState(RulesetState state);
    void ReadKernelCounters();

    LinuxWorldOptions options_;
    std::vector<std::unique_ptr<Queue>> queues_;
    std::unique_ptr<NftTable> table_;
    std::unique_ptr<FlowEvents> flows_;
    std::vector<std::thread> threads_;
    std::atomic<bool> running_{false};
    std::atomic<bool> stopping_{false};

    mutable std::mutex stateMutex_;  // table changes, closed handles' counters
    RulesetState installed_;
    std::map<HANDLE, HandleCounters> closed_;

    std::atomic<uint64_t> kernelDropped_{0}, socketDropped_{0}, heldExpired_{0}, heldAtClose_{0},
        verdictWriteFailures_{0}, releasedUnsent_{0};
    std::unique_ptr<Handout[]> handouts_ = std::make_unique<Handout[]>(kHandouts);
    std::map<uint16_t, QueueStats> kernelBase_;  // figures at start (queues are reused)
};

// Whether the process may install nftables rules and bind queues (root or
// CAP_NET_ADMIN in the effective set).
bool HasNetAdmin();

}  // namespace divert::linuxworld
