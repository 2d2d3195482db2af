// Handle queue, receive delivery, parameters, shutdown and cancellation.
#include "divert/runtime/Handle.h"

#include <algorithm>
#include <cstring>
#include <utility>

#include "divert/runtime/Faults.h"
#include "divert/runtime/Registry.h"
#include "divert/runtime/Ticks.h"

namespace divert {
namespace {

thread_local SyncWaiter tlsWaiter;

// Arms `request` with the next receive override, if a test scripted one.
void TakeOverride(RecvRequest& request) {
    auto values = faults_internal::TakeRecvOverride();
    if (!values) return;
    request.hasOverride = true;
    request.override.setRecvLen = values->recvLen.has_value();
    request.override.recvLen = values->recvLen.value_or(0);
    request.override.setAddrLen = values->addrLen.has_value();
    request.override.addrLen = values->addrLen.value_or(0);
}

}  // namespace

void RunCompletions(const Completion* completions, size_t count) {
    for (size_t i = 0; i < count; ++i) {
        const Completion& c = completions[i];
        if (c.handed != 0) {
            SnapshotGuard list;
            if (list->world) list->world->Received(c.handle, c.addresses, c.handed);
        }
        if (c.overlapped != nullptr) {
            platform::CompleteOverlapped(c.overlapped, c.status, c.bytes);
        } else if (c.waiter != nullptr) {
            // Notified under the waiter's lock: the waiter cannot return (and its thread
            // cannot reuse the waiter) before this thread is done with it.
            std::lock_guard lock(c.waiter->mutex);
            c.waiter->status = c.status;
            c.waiter->bytes = c.bytes;
            c.waiter->done = true;
            c.waiter->cond.notify_one();
        }
    }
}

DivertHandle::DivertHandle(WINDIVERT_LAYER layer, INT16 priority, UINT64 flags,
                           std::shared_ptr<const filter::Program> program,
                           uint32_t internalPriority, uint64_t sequence)
    : layer_(layer),
      priority_(priority),
      flags_(flags),
      program_(std::move(program)),
      neverMatches_(filter::NeverMatches(*program_)),
      internalPriority_(internalPriority),
      sequence_(sequence),
      queue_(layer == WINDIVERT_LAYER_FLOW ? kEventOverhead : kPacketOverhead) {}

DivertHandle::~DivertHandle() {
    for (RecvRequest* r : freeRequests_)
        delete r;
    // A waiting overlapped request cannot outlive close; synchronous ones live on stacks.
    for (RecvRequest* r = waitingHead_; r != nullptr;) {
        RecvRequest* next = r->next;
        if (r->overlapped != nullptr) delete r;
        r = next;
    }
}

int64_t DivertHandle::QueueTimeTicks() const {
    return int64_t{queueTimeMs_.load(std::memory_order_relaxed)} * kTicksPerMs;
}

HandleCounters DivertHandle::Counters() const {
    HandleCounters c;
    c.queued = counters_.queued.load(std::memory_order_relaxed);
    c.received = counters_.received.load(std::memory_order_relaxed);
    c.dropped = counters_.dropped.load(std::memory_order_relaxed);
    c.overflow = counters_.overflow.load(std::memory_order_relaxed);
    c.expired = counters_.expired.load(std::memory_order_relaxed);
    c.oversize = counters_.oversize.load(std::memory_order_relaxed);
    c.reinjectedAtClose = counters_.reinjectedAtClose.load(std::memory_order_relaxed);
    c.discardedAtClose = counters_.discardedAtClose.load(std::memory_order_relaxed);
    return c;
}

void DivertHandle::ExpireLocked(int64_t now) {
    Add(counters_.expired, queue_.DropExpired(now, QueueTimeTicks()));
}

RecvRequest* DivertHandle::AllocateRequestLocked() {
    if (freeRequests_.empty()) return new RecvRequest();
    RecvRequest* r = freeRequests_.back();
    freeRequests_.pop_back();
    return r;
}

void DivertHandle::ReleaseRequestLocked(RecvRequest* request) {
    freeRequests_.push_back(request);
}

void DivertHandle::AppendWaitingLocked(RecvRequest* request) {
    request->next = nullptr;
    if (waitingTail_ != nullptr) {
        waitingTail_->next = request;
    } else {
        waitingHead_ = request;
    }
    waitingTail_ = request;
}

Completion DivertHandle::Finish(RecvRequest* request, DWORD status, UINT bytes, UINT handed) {
    Completion c{request->overlapped, request->waiter, status, bytes};
    if (handed != 0 && request->addresses != nullptr && layer_ == WINDIVERT_LAYER_NETWORK) {
        c.handle = handle_;
        c.addresses = request->addresses;
        c.handed = handed;
    }
    if (request->overlapped != nullptr) ReleaseRequestLocked(request);
    return c;
}

void DivertHandle::TakeAllWaitingLocked(DWORD status, std::vector<Completion>* completions) {
    RecvRequest* r = waitingHead_;
    waitingHead_ = waitingTail_ = nullptr;
    while (r != nullptr) {
        RecvRequest* next = r->next;
        completions->push_back(Finish(r, status, 0));
        r = next;
    }
}

DWORD DivertHandle::FillLocked(const RecvRequest& request, int64_t now, UINT* bytes, UINT* handed) {
    const bool carriesData = layer_ != WINDIVERT_LAYER_FLOW;
    *bytes = 0;
    if (handed != nullptr) *handed = 0;
    if (carriesData && (request.buffer == nullptr || request.bufferLength == 0)) {
        // The packet is consumed and nothing (not even its address) is returned.
        queue_.PopFront();
        Add(counters_.received, 1);
        return ERROR_INSUFFICIENT_BUFFER;
    }

    UINT count = 0;
    UINT used = 0;
    bool truncated = false;
    const UINT limit = std::min<UINT>(request.addressCapacity, WINDIVERT_BATCH_MAX);
    do {
        const PacketQueue::Entry& entry = queue_.Front();
        if (count > 0 && entry.length > request.bufferLength - used) break;
        UINT copy = std::min<UINT>(entry.length, request.bufferLength - used);
        if (copy > 0) std::memcpy(request.buffer + used, queue_.DataOf(entry), copy);
        if (request.addresses != nullptr) request.addresses[count] = entry.address;
        truncated = copy < entry.length;  // only the first packet can be cut
        used += copy;
        ++count;
        queue_.PopFront();
        if (truncated || count >= limit) break;
        Add(counters_.expired, queue_.DropExpired(now, QueueTimeTicks()));
    } while (!queue_.Empty());

    Add(counters_.received, count);
    if (request.pAddrLen != nullptr) *request.pAddrLen = count * kAddressBytes;
    *bytes = used;
    if (handed != nullptr && request.addresses != nullptr) *handed = count;
    if (truncated) return ERROR_INSUFFICIENT_BUFFER;
    if (request.hasOverride) {
        if (request.override.setAddrLen && request.pAddrLen != nullptr) {
            *request.pAddrLen = request.override.addrLen;
        }
        if (request.override.setRecvLen) *bytes = request.override.recvLen;
    }
    return ERROR_SUCCESS;
}

void DivertHandle::ServeWaitingLocked(int64_t now, std::vector<Completion>* completions) {
    while (waitingHead_ != nullptr) {
        ExpireLocked(now);
        if (queue_.Empty()) return;
        RecvRequest* r = waitingHead_;
        waitingHead_ = r->next;
        if (waitingHead_ == nullptr) waitingTail_ = nullptr;
        UINT bytes = 0, handed = 0;
        DWORD status = FillLocked(*r, now, &bytes, &handed);
        completions->push_back(Finish(r, status, bytes, handed));
    }
}

bool DivertHandle::EnqueueBatch(const EnqueueItem* items, size_t count, int64_t now,
                                std::vector<Completion>* completions) {
    std::lock_guard lock(mutex_);
    if (closing_.load(std::memory_order_relaxed) || shutdownRecv_.load(std::memory_order_relaxed)) {
        return false;
    }
    ExpireLocked(now);
    const PacketQueue::Limits limits{queueLength_.load(std::memory_order_relaxed),
                                     queueSize_.load(std::memory_order_relaxed)};
    const bool sniffed = IsSniff();
    uint64_t queued = 0, overflow = 0, oversize = 0;
    for (size_t i = 0; i < count; ++i) {
        const EnqueueItem& item = items[i];
        if (layer_ == WINDIVERT_LAYER_FLOW) {
            if (item.address->Event == WINDIVERT_EVENT_FLOW_ESTABLISHED) {
                flowsSeen_.insert(item.flowId);
            } else if (flowsSeen_.erase(item.flowId) == 0) {
                continue;  // this handle never saw the flow established
            }
        }
        if (item.length > WINDIVERT_MTU_MAX) {
            ++oversize;
            continue;
        }
        WINDIVERT_ADDRESS address = *item.address;
        address.Sniffed = sniffed ? 1 : 0;
        PacketQueue::PushResult pushed = queue_.Push(item.data, item.length, address, limits);
        if (pushed.stored) {
            ++queued;
        } else {
            ++oversize;
        }
        overflow += pushed.overflowed;
    }
    Add(counters_.queued, queued);
    Add(counters_.overflow, overflow);
    Add(counters_.oversize, oversize);
    ServeWaitingLocked(now, completions);
    return true;
}

BOOL DivertHandle::Receive(RecvRequest& request, UINT* pRecvLen) {
    const bool network = layer_ == WINDIVERT_LAYER_NETWORK && request.addresses != nullptr;
    if (network) {
        SnapshotGuard list;
        if (list->world) list->world->Receiving(handle_, request.addresses);
    }
    const int64_t now = NowTicks();
    std::unique_lock lock(mutex_);
    if (closing_.load(std::memory_order_relaxed)) {
        SetLastError(ERROR_BAD_COMMAND);
        return FALSE;
    }
    ExpireLocked(now);
    if (!queue_.Empty()) {
        TakeOverride(request);
        UINT bytes = 0, handed = 0;
        DWORD status = FillLocked(request, now, &bytes, &handed);
        lock.unlock();
        if (network && handed != 0) {
            SnapshotGuard list;
            if (list->world) list->world->Received(handle_, request.addresses, handed);
        }
        if (status != ERROR_SUCCESS) {
            SetLastError(status);
            return FALSE;
        }
        if (pRecvLen != nullptr) *pRecvLen = bytes;
        if (request.overlapped != nullptr)
            platform::CompleteOverlapped(request.overlapped, 0, bytes);
        return TRUE;
    }
    if (shutdownRecv_.load(std::memory_order_relaxed)) {
        SetLastError(ERROR_NO_DATA);
        return FALSE;
    }
    TakeOverride(request);
    if (request.overlapped != nullptr) {
        RecvRequest* node = AllocateRequestLocked();
        *node = request;
        // Before the request becomes visible: a completion must not be overwritten.
        platform::MarkOverlappedPending(request.overlapped);
        AppendWaitingLocked(node);
        SetLastError(ERROR_IO_PENDING);
        return FALSE;
    }

    SyncWaiter& waiter = tlsWaiter;
    {
        std::lock_guard w(waiter.mutex);
        waiter.done = false;
    }
    request.waiter = &waiter;
    AppendWaitingLocked(&request);
    lock.unlock();

    std::unique_lock w(waiter.mutex);
    waiter.cond.wait(w, [&] { return waiter.done; });
    if (waiter.status != ERROR_SUCCESS) {
        SetLastError(waiter.status);
        return FALSE;
    }
    if (pRecvLen != nullptr) *pRecvLen = waiter.bytes;
    return TRUE;
}

BOOL DivertHandle::SetParam(WINDIVERT_PARAM param, UINT64 value) {
    switch (param) {
        case WINDIVERT_PARAM_QUEUE_LENGTH:
            if (value < WINDIVERT_PARAM_QUEUE_LENGTH_MIN ||
                value > WINDIVERT_PARAM_QUEUE_LENGTH_MAX)
                break;
            queueLength_.store(static_cast<uint32_t>(value), std::memory_order_relaxed);
            return TRUE;
        case WINDIVERT_PARAM_QUEUE_TIME:
            if (value < WINDIVERT_PARAM_QUEUE_TIME_MIN || value > WINDIVERT_PARAM_QUEUE_TIME_MAX)
                break;
            queueTimeMs_.store(static_cast<uint32_t>(value), std::memory_order_relaxed);
            return TRUE;
        case WINDIVERT_PARAM_QUEUE_SIZE:
            if (value < WINDIVERT_PARAM_QUEUE_SIZE_MIN || value > WINDIVERT_PARAM_QUEUE_SIZE_MAX)
                break;
            queueSize_.store(value, std::memory_order_relaxed);
            return TRUE;
        default:
            break;
    }
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
}

BOOL DivertHandle::GetParam(WINDIVERT_PARAM param, UINT64* value) {
    switch (param) {
        case WINDIVERT_PARAM_QUEUE_LENGTH:
            *value = queueLength_.load(std::memory_order_relaxed);
            return TRUE;
        case WINDIVERT_PARAM_QUEUE_TIME:
            *value = queueTimeMs_.load(std::memory_order_relaxed);
            return TRUE;
        case WINDIVERT_PARAM_QUEUE_SIZE:
            *value = queueSize_.load(std::memory_order_relaxed);
            return TRUE;
        case WINDIVERT_PARAM_VERSION_MAJOR:
        case WINDIVERT_PARAM_VERSION_MINOR:
            *value = 2;
            return TRUE;
        default:
            SetLastError(ERROR_INVALID_PARAMETER);
            return FALSE;
    }
}

void DivertHandle::Shutdown(WINDIVERT_SHUTDOWN how) {
    if (how & WINDIVERT_SHUTDOWN_SEND) shutdownSend_.store(true, std::memory_order_release);
    if (!(how & WINDIVERT_SHUTDOWN_RECV)) return;
    std::vector<Completion> completions;
    {
        std::lock_guard lock(mutex_);
        shutdownRecv_.store(true, std::memory_order_release);
        ExpireLocked(NowTicks());
        if (queue_.Empty()) TakeAllWaitingLocked(ERROR_NO_DATA, &completions);
    }
    RunCompletions(completions.data(), completions.size());
}

BOOL DivertHandle::CancelIo(LPOVERLAPPED overlapped) {
    std::vector<Completion> completions;
    {
        std::lock_guard lock(mutex_);
        RecvRequest* previous = nullptr;
        for (RecvRequest* r = waitingHead_; r != nullptr;) {
            RecvRequest* next = r->next;
            if (overlapped == nullptr || r->overlapped == overlapped) {
                if (previous != nullptr) {
                    previous->next = next;
                } else {
                    waitingHead_ = next;
                }
                if (waitingTail_ == r) waitingTail_ = previous;
                completions.push_back(Finish(r, ERROR_OPERATION_ABORTED, 0));
            } else {
                previous = r;
            }
            r = next;
        }
        auto cancelled = std::remove_if(held_.begin(), held_.end(), [&](const HeldSend& s) {
            if (overlapped != nullptr && s.overlapped != overlapped) return false;
            completions.push_back(Completion{s.overlapped, nullptr, ERROR_OPERATION_ABORTED, 0});
            return true;
        });
        held_.erase(cancelled, held_.end());
    }
    RunCompletions(completions.data(), completions.size());
    if (completions.empty()) {
        SetLastError(ERROR_NOT_FOUND);
        return FALSE;
    }
    return TRUE;
}

bool DivertHandle::Hold(const HeldSend& send) {
    std::lock_guard lock(mutex_);
    if (closing_.load(std::memory_order_relaxed)) return false;
    held_.push_back(send);
    return true;
}

std::vector<HeldSend> DivertHandle::TakeHeld() {
    std::lock_guard lock(mutex_);
    return std::exchange(held_, {});
}

PacketQueue DivertHandle::BeginClose() {
    std::vector<Completion> completions;
    PacketQueue rest(layer_ == WINDIVERT_LAYER_FLOW ? kEventOverhead : kPacketOverhead);
    {
        std::lock_guard lock(mutex_);
        closing_.store(true, std::memory_order_release);
        TakeAllWaitingLocked(ERROR_OPERATION_ABORTED, &completions);
        for (const HeldSend& s : held_) {
            completions.push_back(Completion{s.overlapped, nullptr, ERROR_OPERATION_ABORTED, 0});
        }
        held_.clear();
        std::swap(rest, queue_);
        flowsSeen_.clear();
    }
    RunCompletions(completions.data(), completions.size());
    return rest;
}

}  // namespace divert
