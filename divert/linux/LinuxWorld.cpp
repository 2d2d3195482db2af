#include "divert/linux/LinuxWorld.h"

#include <linux/netfilter.h>
#include <net/if.h>
#include <unistd.h>

#include <fstream>
#include <sstream>

#include "divert/filter/Program.h"
#include "divert/linux/FlowEvents.h"
#include "divert/runtime/Handle.h"
#include "divert/runtime/Registry.h"
#include "platform/Clock.h"

namespace divert::linuxworld {
namespace {

constexpr int kReceiveTimeoutMs = 50;
constexpr int64_t kHousekeepingNs = 10 * bastion::kNsPerMs;
constexpr int64_t kCountersNs = bastion::kNsPerSecond;
constexpr uint64_t kTagMark = uint64_t{1} << 63;
constexpr int64_t kMaxCoalesceNs = 10 * bastion::kNsPerMs;

uint64_t MakeTag(uint16_t queueIndex, uint32_t id) {
    return kTagMark | (uint64_t{queueIndex} << 32) | id;
}
bool IsTag(uint64_t tag) {
    return (tag & kTagMark) != 0;
}
uint16_t QueueOf(uint64_t tag) {
    return static_cast<uint16_t>(tag >> 32);
}
uint32_t IdOf(uint64_t tag) {
    return static_cast<uint32_t>(tag);
}

// The receive buffer of the batch this thread is dispatching: delivered packets whose
// bytes lie inside are the kernel's own, unmodified, and need no payload in the verdict.
thread_local const uint8_t* tlsIngressBegin = nullptr;
thread_local const uint8_t* tlsIngressEnd = nullptr;

VerdictBatch& ThreadBatch() {
    thread_local VerdictBatch batch;
    return batch;
}

// Whether `program` can match a packet with Outbound=1: a walk over its steps where the
// direction tests take their value and every other test may go either way.
bool CanMatchOutbound(const filter::Program& program) {
    if (program.neverMatches) return false;
    if (program.steps.empty()) return true;
    std::vector<uint8_t> seen(program.steps.size(), 0);
    std::vector<uint16_t> pending{0};
    while (!pending.empty()) {
        const uint16_t at = pending.back();
        pending.pop_back();
        if (at == filter::kAccept) return true;
        if (at >= program.steps.size() || seen[at]) continue;
        seen[at] = 1;
        const filter::Step& step = program.steps[at];
        if (step.access == filter::Access::Outbound || step.access == filter::Access::Inbound) {
            const uint64_t value = step.access == filter::Access::Outbound ? 1 : 0;
            const bool pass = ((value - step.lo) <= step.span) != step.invert;
            pending.push_back(pass ? step.success : step.failure);
        } else {
            pending.push_back(step.success);
            pending.push_back(step.failure);
        }
    }
    return false;
}

}  // namespace

bool HasNetAdmin() {
    if (::geteuid() == 0) return true;
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("CapEff:", 0) != 0) continue;
        const uint64_t caps = std::stoull(line.substr(7), nullptr, 16);
        return (caps >> 12) & 1;  // CAP_NET_ADMIN
    }
    return false;
}

LinuxWorld::LinuxWorld(LinuxWorldOptions options) : options_(std::move(options)) {}

LinuxWorld::~LinuxWorld() {
    Stop();
}

void LinuxWorld::AttachChannels(std::vector<std::shared_ptr<VerdictChannel>> channels) {
    queues_.clear();
    for (auto& channel : channels) {
        auto q = std::make_unique<Queue>();
        q->channel = std::move(channel);
        queues_.push_back(std::move(q));
    }
}

StartError LinuxWorld::Start(std::string* error) {
    if (running_.load()) return StartError::None;
    if (options_.queueCount == 0 || options_.queueCount > 64 ||
        uint32_t{options_.firstQueue} + options_.queueCount > 0x10000 || options_.graceNs <= 0 ||
        options_.table.empty() || options_.queueMaxLength == 0 || options_.coalesceNs < 0 ||
        options_.coalesceNs > kMaxCoalesceNs) {
        *error =
            "invalid linux world options: 1 to 64 queues within 0..65535, a positive grace "
            "period and queue length, a table name, a read coalescing time of 0 to 10 ms";
        return StartError::InvalidOptions;
    }
    if (!HasNetAdmin()) {
        *error =
            "the linux world needs root or CAP_NET_ADMIN (it installs nftables rules and "
            "binds packet queues)";
        return StartError::NoPrivilege;
    }
    queues_.clear();
    for (uint16_t i = 0; i < options_.queueCount; ++i) {
        auto q = std::make_unique<Queue>();
        q->socket = std::make_shared<QueueSocket>();
        if (!q->socket->Open(static_cast<uint16_t>(options_.firstQueue + i),
                             options_.queueMaxLength, error)) {
            queues_.clear();
            return StartError::Queue;
        }
        q->channel = q->socket;
        queues_.push_back(std::move(q));
    }
    RulesetConfig config;
    config.table = options_.table;
    config.firstQueue = options_.firstQueue;
    config.queueCount = options_.queueCount;
    config.failOpen = options_.failOpen;
    table_ = std::make_unique<NftTable>(config);
    {
        std::lock_guard<std::mutex> lock(stateMutex_);
        installed_ = RulesetState{};
    }
    std::string ignored;
    std::ifstream proc("/proc/net/netfilter/nfnetlink_queue");
    std::stringstream text;
    text << proc.rdbuf();
    kernelBase_ = ParseQueueStats(text.str());

    SetWorld(shared_from_this());
    // The readers are bound before the table sends anything to their queues.
    if (!table_->Install(RulesetState{}, error)) {
        SetWorld(nullptr);
        queues_.clear();
        table_.reset();
        return StartError::Ruleset;
    }
    running_.store(true, std::memory_order_release);
    stopping_.store(false);
    for (uint16_t i = 0; i < options_.queueCount; ++i)
        threads_.emplace_back([this, i] { ReaderLoop(i); });
    threads_.emplace_back([this] { HousekeepingLoop(); });
    return StartError::None;
}

void LinuxWorld::Stop() {
    if (!running_.exchange(false)) return;
    // Without the table nothing new is queued; what is still waiting gets its verdict or
    // is dropped by the kernel when the sockets close.
    std::string error;
    if (table_) table_->Remove(&error);
    stopping_.store(true);
    for (auto& t : threads_)
        t.join();
    threads_.clear();
    if (flows_) flows_->Stop();
    if (CurrentWorld().get() == this) SetWorld(nullptr);
}

void LinuxWorld::ReaderLoop(uint16_t queueIndex) {
    Queue& q = *queues_[queueIndex];
    std::vector<QueuedPacket> packets;
    packets.reserve(QueueSocket::kBatch);
    // Each read that follows its packets at once costs a wake-up of this thread and one of
    // the application thread it hands them to; under a flood that came to a few packets
    // per pair. While packets come faster than that, waiting a little before reading lets
    // a batch gather. A whole batch means they come faster still: read again at once.
    const int64_t coalesceNs = options_.coalesceNs;
    bool gather = false;
    while (!stopping_.load(std::memory_order_relaxed)) {
        packets.clear();
        if (gather) std::this_thread::sleep_for(std::chrono::nanoseconds(coalesceNs));
        bool full = false;
        if (!q.socket->Receive(gather ? 0 : kReceiveTimeoutMs, &packets, &full)) {
            gather = false;
            continue;
        }
        gather = coalesceNs > 0 && packets.size() > 1 && !full;
        if (!packets.empty())
            Ingest(queueIndex, packets.data(), packets.size(), q.socket->BufferBegin(),
                   q.socket->BufferEnd());
    }
}

void LinuxWorld::HousekeepingLoop() {
    int64_t lastCounters = 0;
    while (!stopping_.load(std::memory_order_relaxed)) {
        const int64_t now = bastion::SteadyNowNs();
        Housekeep(now);
        if (now - lastCounters >= kCountersNs) {
            ReadKernelCounters();
            lastCounters = now;
        }
        std::this_thread::sleep_for(std::chrono::nanoseconds(kHousekeepingNs));
    }
}

void LinuxWorld::Ingest(uint16_t queueIndex, const QueuedPacket* packets, size_t count,
                        const uint8_t* bufferBegin, const uint8_t* bufferEnd) {
    thread_local std::vector<PacketRef> refs;
    thread_local std::vector<uint32_t> ids, evicted;
    Queue& q = *queues_[queueIndex];
    const int64_t now = bastion::SteadyNowNs();
    refs.clear();
    ids.clear();
    evicted.clear();
    for (size_t i = 0; i < count; ++i) {
        const QueuedPacket& p = packets[i];
        if (auto old = q.held.Begin(p.id, now + options_.graceNs)) evicted.push_back(*old);
        PacketRef ref;
        ref.data = p.data;
        ref.length = p.length;
        ref.meta.outbound = p.hook == NF_INET_LOCAL_OUT;
        ref.meta.ifIdx = ref.meta.outbound ? p.outIfIdx : p.inIfIdx;
        ref.meta.loopback = ref.meta.outbound && p.outIfIdx == 1;  // "lo" is always index 1
        ref.meta.worldTag = MakeTag(queueIndex, p.id);
        refs.push_back(ref);
        ids.push_back(p.id);
    }
    if (!evicted.empty()) {
        heldExpired_.fetch_add(evicted.size(), std::memory_order_relaxed);
        Verdicts(queueIndex, evicted, NF_DROP);
    }
    tlsIngressBegin = bufferBegin;
    tlsIngressEnd = bufferEnd;
    Ingress(refs.data(), refs.size());
    tlsIngressBegin = tlsIngressEnd = nullptr;
    q.held.EndBatch(ids.data(), ids.size(), now + options_.graceNs);
}

void LinuxWorld::Flush(uint16_t q, VerdictBatch& batch) {
    if (batch.Empty()) return;
    if (!queues_[q]->channel->Write(batch.Data(), batch.Size()))
        verdictWriteFailures_.fetch_add(1, std::memory_order_relaxed);
    batch.Clear();
}

void LinuxWorld::PackVerdict(VerdictBatch& batch, int* current, uint16_t q, uint32_t id,
                             uint32_t verdict, const uint8_t* bytes, uint32_t length) {
    if (*current != q) {
        if (*current >= 0) Flush(static_cast<uint16_t>(*current), batch);
        *current = q;
    }
    const uint16_t queue = static_cast<uint16_t>(options_.firstQueue + q);
    if (!batch.Add(queue, id, verdict, bytes, length)) {
        Flush(q, batch);
        batch.Add(queue, id, verdict, bytes, length);
    }
}

void LinuxWorld::Verdicts(uint16_t q, const std::vector<uint32_t>& ids, uint32_t verdict) {
    VerdictBatch& batch = ThreadBatch();
    const uint16_t queue = static_cast<uint16_t>(options_.firstQueue + q);
    for (uint32_t id : ids) {
        if (!batch.Add(queue, id, verdict)) {
            Flush(q, batch);
            batch.Add(queue, id, verdict);
        }
    }
    Flush(q, batch);
}

void LinuxWorld::Deliver(const PacketRef* packets, size_t count) {
    VerdictBatch& batch = ThreadBatch();
    int current = -1;
    for (size_t i = 0; i < count; ++i) {
        const PacketRef& p = packets[i];
        const uint64_t tag = p.meta.worldTag;
        if (!IsTag(tag) || QueueOf(tag) >= queues_.size()) continue;
        const uint16_t q = QueueOf(tag);
        if (!queues_[q]->held.Resolve(IdOf(tag))) continue;  // expired in the meantime
        const bool original = p.data >= tlsIngressBegin && p.data < tlsIngressEnd;
        PackVerdict(batch, &current, q, IdOf(tag), NF_ACCEPT, original ? nullptr : p.data,
                    p.length);
    }
    if (current >= 0) Flush(static_cast<uint16_t>(current), batch);
}

void LinuxWorld::Dropped(const DropRef* drops, size_t count) {
    VerdictBatch& batch = ThreadBatch();
    int current = -1;
    for (size_t i = 0; i < count; ++i) {
        const uint64_t tag = drops[i].packet.meta.worldTag;
        if (!IsTag(tag) || QueueOf(tag) >= queues_.size()) continue;
        const uint16_t q = QueueOf(tag);
        if (!queues_[q]->held.Resolve(IdOf(tag))) continue;
        PackVerdict(batch, &current, q, IdOf(tag), NF_DROP);
    }
    if (current >= 0) Flush(static_cast<uint16_t>(current), batch);
}

void LinuxWorld::Diverted(const HeldRef* held, size_t count) {
    const int64_t deadline = bastion::SteadyNowNs() + options_.graceNs;
    for (size_t i = 0; i < count; ++i) {
        const uint64_t tag = held[i].packet.meta.worldTag;
        if (!IsTag(tag) || QueueOf(tag) >= queues_.size()) continue;
        queues_[QueueOf(tag)]->held.Hold(IdOf(tag), reinterpret_cast<uintptr_t>(held[i].handle),
                                         deadline);
    }
}

bool LinuxWorld::AcceptsSend(const PacketRef& packet) {
    const uint64_t tag = packet.meta.worldTag;
    return IsTag(tag) && QueueOf(tag) < queues_.size() &&
           queues_[QueueOf(tag)]->held.Pending(IdOf(tag));
}

LinuxWorld::Handout* LinuxWorld::FindHandout(uintptr_t handle, const WINDIVERT_ADDRESS* into,
                                             bool claim) {
    const size_t start =
        (reinterpret_cast<uintptr_t>(into) / sizeof(WINDIVERT_ADDRESS)) % kHandouts;
    for (size_t i = 0; i < kHandouts; ++i) {
        Handout& h = handouts_[(start + i) % kHandouts];
        if (h.handle.load(std::memory_order_acquire) == handle &&
            h.into.load(std::memory_order_acquire) == into)
            return &h;
    }
    if (!claim) return nullptr;
    for (size_t i = 0; i < kHandouts; ++i) {
        Handout& h = handouts_[(start + i) % kHandouts];
        uintptr_t none = 0;
        if (h.handle.compare_exchange_strong(none, handle, std::memory_order_acq_rel)) {
            h.count.store(0, std::memory_order_relaxed);
            h.into.store(into, std::memory_order_release);
            return &h;
        }
    }
    return nullptr;
}

void LinuxWorld::Received(HANDLE handle, const WINDIVERT_ADDRESS* into, size_t count) {
    if (!options_.releaseUnsentOnReceive) return;
    Handout* h = FindHandout(reinterpret_cast<uintptr_t>(handle), into, true);
    if (h == nullptr) return;
    uint32_t n = 0;
    for (size_t i = 0; i < count && n < WINDIVERT_BATCH_MAX; ++i) {
        const uint64_t tag = WorldTagOf(into[i]);
        if (IsTag(tag)) h->tags[n++] = tag;
    }
    h->count.store(n, std::memory_order_release);
}

void LinuxWorld::Receiving(HANDLE handle, const WINDIVERT_ADDRESS* into) {
    if (!options_.releaseUnsentOnReceive) return;
    Handout* h = FindHandout(reinterpret_cast<uintptr_t>(handle), into, false);
    const uint32_t count = h == nullptr ? 0 : h->count.exchange(0, std::memory_order_acquire);
    if (count == 0) return;
    VerdictBatch& batch = ThreadBatch();
    int current = -1;
    uint64_t released = 0;
    for (uint32_t i = 0; i < count; ++i) {
        const uint64_t tag = h->tags[i];
        const uint16_t q = QueueOf(tag);
        if (q >= queues_.size() ||
            !queues_[q]->held.ReleaseHeldBy(IdOf(tag), reinterpret_cast<uintptr_t>(handle)))
            continue;  // sent back, expired, or diverted again by another handle
        PackVerdict(batch, &current, q, IdOf(tag), NF_DROP);
        ++released;
    }
    if (current >= 0) Flush(static_cast<uint16_t>(current), batch);
    if (released != 0) releasedUnsent_.fetch_add(released, std::memory_order_relaxed);
}

void LinuxWorld::HandleClosed(HANDLE handle, const HandleCounters& counters) {
    {
        std::lock_guard<std::mutex> lock(stateMutex_);
        closed_[handle] = counters;
    }
    // The handle's records go (a closed handle's value is never reused).
    for (size_t i = 0; i < kHandouts; ++i) {
        Handout& h = handouts_[i];
        if (h.handle.load(std::memory_order_acquire) != reinterpret_cast<uintptr_t>(handle))
            continue;
        h.count.store(0, std::memory_order_relaxed);
        h.into.store(nullptr, std::memory_order_release);
        h.handle.store(0, std::memory_order_release);
    }
    std::vector<uint32_t> ids;
    for (size_t q = 0; q < queues_.size(); ++q) {
        ids.clear();
        const size_t n = queues_[q]->held.TakeHeldBy(reinterpret_cast<uintptr_t>(handle), &ids);
        if (n == 0) continue;
        heldAtClose_.fetch_add(n, std::memory_order_relaxed);
        Verdicts(static_cast<uint16_t>(q), ids, NF_DROP);
    }
}

void LinuxWorld::Housekeep(int64_t nowNs) {
    std::vector<uint32_t> ids;
    for (size_t q = 0; q < queues_.size(); ++q) {
        ids.clear();
        const size_t n = queues_[q]->held.TakeExpired(nowNs, &ids);
        if (n == 0) continue;
        heldExpired_.fetch_add(n, std::memory_order_relaxed);
        Verdicts(static_cast<uint16_t>(q), ids, NF_DROP);
    }
    if (table_) ApplyState(WantedState());
}

RulesetState LinuxWorld::WantedState() const {
    RulesetState state;
    const std::shared_ptr<const HandleList> list = CurrentHandles();
    for (const auto& h : list->network) {
        if (h->Accepting() && CanMatchOutbound(h->Program())) state.outbound = true;
    }
    for (const auto& h : list->flow) {
        if (h->Accepting()) state.tracking = true;
    }
    return state;
}

void LinuxWorld::ApplyState(RulesetState state) {
    std::lock_guard<std::mutex> lock(stateMutex_);
    if (state == installed_ || !running_.load(std::memory_order_acquire)) return;
    std::string error;
    if (state.tracking && !installed_.tracking) {
        if (!flows_) flows_ = std::make_unique<FlowEvents>();
        // Subscribed before the rule turns tracking on, so no first packet is missed.
        if (!flows_->Start(&error)) return;
    }
    if (!table_->Install(state, &error)) return;  // tried again at the next round
    if (!state.tracking && installed_.tracking && flows_) flows_->Stop();
    installed_ = state;
}

void LinuxWorld::ReadKernelCounters() {
    std::ifstream proc("/proc/net/netfilter/nfnetlink_queue");
    std::stringstream text;
    text << proc.rdbuf();
    uint64_t dropped = 0, userDropped = 0;
    for (const auto& [queue, stats] : ParseQueueStats(text.str())) {
        if (queue < options_.firstQueue || queue >= options_.firstQueue + options_.queueCount)
            continue;
        const QueueStats& base = kernelBase_[queue];
        dropped += stats.dropped >= base.dropped ? stats.dropped - base.dropped : stats.dropped;
        userDropped += stats.userDropped >= base.userDropped ? stats.userDropped - base.userDropped
                                                             : stats.userDropped;
    }
    kernelDropped_.store(dropped, std::memory_order_relaxed);
    socketDropped_.store(userDropped, std::memory_order_relaxed);
}

LinuxLosses LinuxWorld::Losses() const {
    LinuxLosses l;
    l.kernelDropped = kernelDropped_.load(std::memory_order_relaxed);
    l.socketDropped = socketDropped_.load(std::memory_order_relaxed);
    l.heldExpired = heldExpired_.load(std::memory_order_relaxed);
    l.heldAtClose = heldAtClose_.load(std::memory_order_relaxed);
    l.verdictWriteFailures = verdictWriteFailures_.load(std::memory_order_relaxed);
    l.releasedUnsent = releasedUnsent_.load(std::memory_order_relaxed);
    return l;
}

HandleCounters LinuxWorld::CountersOf(HANDLE handle) const {
    HandleCounters counters;
    if (GetHandleCounters(handle, &counters)) return counters;
    std::lock_guard<std::mutex> lock(stateMutex_);
    auto it = closed_.find(handle);
    return it == closed_.end() ? HandleCounters{} : it->second;
}

RulesetState LinuxWorld::InstalledState() const {
    std::lock_guard<std::mutex> lock(stateMutex_);
    return installed_;
}

std::string LinuxWorld::RulesetNow() const {
    std::lock_guard<std::mutex> lock(stateMutex_);
    RulesetConfig config;
    config.table = options_.table;
    config.firstQueue = options_.firstQueue;
    config.queueCount = options_.queueCount;
    config.failOpen = options_.failOpen;
    return RulesetText(config, installed_);
}

}  // namespace divert::linuxworld
