#include "control/IpListManager.h"

#include <algorithm>

#include "control/IpListManagerImpl.h"
#include "control/ReadGuard.h"
#include "platform/Clock.h"

namespace bastion {

using namespace address_code;

namespace {

// The expiry code of a block added at `now` lasting `seconds` (never when not positive).
// The start is rounded up to the next whole second, so a block lasts at least as long
// as configured.
uint32_t ExpiryCodeFor(int64_t nowWallTicks, int64_t seconds) {
    if (seconds <= 0) return kNever;
    int64_t start = nowWallTicks / kWallTicksPerSecond;
    if (nowWallTicks % kWallTicksPerSecond > 0) ++start;
    if (seconds > ToUnixSeconds(kLastExpiry)) return kLastExpiry;
    return FromUnixSeconds(start + seconds);
}

}  // namespace

IpListManager::IpListManager() : impl_(std::make_unique<Impl>()) {}
IpListManager::~IpListManager() = default;

SourceListMatch IpListManager::MatchSourceLockFree(uint32_t address) const noexcept {
    const bool allow = impl_->allow.MayHoldEntries();
    const bool block = impl_->block.MayHoldEntries();
    if (!allow && !block) return SourceListMatch::kNeither;
    ReadGuard guard;
    if (allow && impl_->allow.Find(address) != 0) return SourceListMatch::kAllowed;
    if (block && impl_->block.Find(address) != 0) return SourceListMatch::kBlocked;
    return SourceListMatch::kNeither;
}

bool IpListManager::IsAllowedLockFree(uint32_t address) const noexcept {
    if (!impl_->allow.MayHoldEntries()) return false;
    ReadGuard guard;
    return impl_->allow.Find(address) != 0;
}

bool IpListManager::IsBlockedLockFree(uint32_t address) const noexcept {
    if (!impl_->block.MayHoldEntries()) return false;
    ReadGuard guard;
    return impl_->block.Find(address) != 0;
}

bool IpListManager::IsAllowed(uint32_t address) const {
    return IsAllowedLockFree(address);
}

bool IpListManager::AddToBlock(uint32_t address) {
    return AddToBlock(address, WallTicksNow());
}

bool IpListManager::AddToBlock(uint32_t address, int64_t nowWallTicks) {
    ReadGuard guard;
    // AddAllowed lifts blocks only after a grace period, so a block added here after an
    // allow check that raced with it is still lifted. The occupancy read lies inside this
    // section for the same reason.
    if (impl_->allow.MayHoldEntries() && impl_->allow.Find(address) != 0) return false;
    uint32_t code =
        ExpiryCodeFor(nowWallTicks, impl_->blockSeconds.load(std::memory_order_relaxed));
    switch (impl_->block.Add(address, code, NowCode(nowWallTicks))) {
        case AddressList::AddResult::kAdded:
            Impl::MarkChanged(impl_->blockChanged);
            return true;
        case AddressList::AddResult::kPresent:
            return false;
        default:
            impl_->refusedBlocks.fetch_add(1, std::memory_order_relaxed);
            return false;
    }
}

size_t IpListManager::ExpireEntries() {
    return ExpireEntries(WallTicksNow());
}

size_t IpListManager::ExpireEntries(int64_t nowWallTicks) {
    size_t removed = impl_->block.RemoveExpired(NowCode(nowWallTicks));
    if (removed != 0) Impl::MarkChanged(impl_->blockChanged);
    impl_->block.FreeRetired();
    impl_->allow.FreeRetired();
    return removed;
}

void IpListManager::ShrinkToFit() {
    impl_->block.Compact();
    impl_->allow.Compact();
    impl_->block.FreeRetired();
    impl_->allow.FreeRetired();
}

void IpListManager::SetFirewallBlockDuration(std::chrono::seconds duration) {
    impl_->blockSeconds.store(duration.count(), std::memory_order_relaxed);
}

bool IpListManager::AddAllowed(uint32_t address) {
    bool added = impl_->allow.Merge(address, kNever) == AddressList::AddResult::kAdded;
    if (added) Impl::MarkChanged(impl_->allowChanged);
    // An AddToBlock that checked the allow list before the merge may still be adding;
    // once every open section has closed, the removal below sees its block.
    SynchronizeReaders();
    if (impl_->block.Remove(address)) Impl::MarkChanged(impl_->blockChanged);
    return added;
}

bool IpListManager::RemoveAllowed(uint32_t address) {
    bool removed = impl_->allow.Remove(address);
    if (removed) Impl::MarkChanged(impl_->allowChanged);
    return removed;
}

bool IpListManager::RemoveBlocked(uint32_t address) {
    bool removed = impl_->block.Remove(address);
    if (removed) Impl::MarkChanged(impl_->blockChanged);
    return removed;
}

std::vector<uint32_t> IpListManager::AllowedList() const {
    std::vector<uint32_t> addresses;
    for (const AddressList::Entry& entry : impl_->allow.Entries()) {
        addresses.push_back(entry.address);
    }
    return addresses;
}

std::vector<IpListManager::BlockEntry> IpListManager::BlockedList() const {
    std::vector<BlockEntry> blocks;
    for (const AddressList::Entry& entry : impl_->block.Entries()) {
        int64_t expiresAt =
            entry.code == kNever ? 0 : ToUnixSeconds(entry.code) * kWallTicksPerSecond;
        blocks.push_back({entry.address, expiresAt});
    }
    return blocks;
}

size_t IpListManager::AllowedCount() const {
    return impl_->allow.Count();
}
size_t IpListManager::BlockedCount() const {
    return impl_->block.Count();
}

uint64_t IpListManager::RefusedBlockCount() const {
    return impl_->refusedBlocks.load(std::memory_order_relaxed);
}

void IpListManager::SetMaxBlocked(size_t maxBlocked) {
    impl_->block.SetMaxEntries(maxBlocked);
}

size_t IpListManager::BlockCapacity() const {
    return impl_->block.Capacity();
}

size_t IpListManager::MemoryBytes() const {
    return impl_->allow.MemoryBytes() + impl_->block.MemoryBytes();
}

}  // namespace bastion
