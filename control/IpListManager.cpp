// First in-memory version; the lock-free lists and their files replace it.
#include "control/IpListManager.h"

#include <algorithm>
#include <mutex>
#include <unordered_map>
#include <unordered_set>

#include "platform/Clock.h"

namespace bastion {

struct IpListManager::Impl {
    mutable std::mutex mutex;
    std::unordered_set<uint32_t> allowed;
    std::unordered_map<uint32_t, int64_t> blocked;
    int64_t durationSeconds = 300;
    std::string directory;
};

IpListManager::IpListManager() : impl_(std::make_unique<Impl>()) {}
IpListManager::~IpListManager() = default;

bool IpListManager::IsAllowedLockFree(uint32_t address) const noexcept {
    std::lock_guard lock(impl_->mutex);
    return impl_->allowed.count(address) != 0;
}
bool IpListManager::IsBlockedLockFree(uint32_t address) const noexcept {
    std::lock_guard lock(impl_->mutex);
    return impl_->blocked.count(address) != 0;
}
bool IpListManager::IsAllowed(uint32_t address) const { return IsAllowedLockFree(address); }
bool IpListManager::AddToBlock(uint32_t address) { return AddToBlock(address, WallTicksNow()); }
bool IpListManager::AddToBlock(uint32_t address, int64_t now) {
    std::lock_guard lock(impl_->mutex);
    if (impl_->allowed.count(address) != 0) return false;
    int64_t expires = impl_->durationSeconds > 0 ? now + impl_->durationSeconds * kWallTicksPerSecond : 0;
    return impl_->blocked.emplace(address, expires).second;
}
size_t IpListManager::ExpireEntries() { return ExpireEntries(WallTicksNow()); }
size_t IpListManager::ExpireEntries(int64_t now) {
    std::lock_guard lock(impl_->mutex);
    return std::erase_if(impl_->blocked, [now](const auto& e) { return e.second != 0 && e.second <= now; });
}
void IpListManager::ShrinkToFit() {}
bool IpListManager::FlushToFiles() { return true; }
void IpListManager::SetFirewallBlockDuration(std::chrono::seconds duration) {
    std::lock_guard lock(impl_->mutex);
    impl_->durationSeconds = duration.count();
}
void IpListManager::SetStorageDirectory(const std::string& directory) {
    std::lock_guard lock(impl_->mutex);
    impl_->directory = directory;
}
std::string IpListManager::StorageDirectory() const {
    std::lock_guard lock(impl_->mutex);
    return impl_->directory;
}
std::vector<IpListManager::LoadProblem> IpListManager::LoadFromFiles() { return {}; }
bool IpListManager::AddAllowed(uint32_t address) {
    std::lock_guard lock(impl_->mutex);
    return impl_->allowed.insert(address).second;
}
bool IpListManager::RemoveAllowed(uint32_t address) {
    std::lock_guard lock(impl_->mutex);
    return impl_->allowed.erase(address) != 0;
}
bool IpListManager::RemoveBlocked(uint32_t address) {
    std::lock_guard lock(impl_->mutex);
    return impl_->blocked.erase(address) != 0;
}
std::vector<uint32_t> IpListManager::AllowedList() const {
    std::lock_guard lock(impl_->mutex);
    return {impl_->allowed.begin(), impl_->allowed.end()};
}
std::vector<IpListManager::BlockEntry> IpListManager::BlockedList() const {
    std::lock_guard lock(impl_->mutex);
    std::vector<BlockEntry> list;
    for (const auto& [address, expires] : impl_->blocked) list.push_back({address, expires});
    return list;
}
size_t IpListManager::AllowedCount() const {
    std::lock_guard lock(impl_->mutex);
    return impl_->allowed.size();
}
size_t IpListManager::BlockedCount() const {
    std::lock_guard lock(impl_->mutex);
    return impl_->blocked.size();
}
std::string IpListManager::LastError() const { return {}; }

}  // namespace bastion
