// IpListManager: the host's allow list and block list of IPv4 source addresses.
//
// The capture path asks IsAllowedLockFree / IsBlockedLockFree for every packet: those take
// no lock, allocate nothing and never wait, and are safe against concurrent writers.
// AddToBlock is called by every capture worker on a block verdict. The lists are kept in
// two text files in the state directory and written atomically.
//
// Addresses are IPv4 in host byte order. Block expiry is wall-clock time (100-ns ticks
// since 1970) so that it survives a restart.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace bastion {

class IpListManager {
public:
    struct BlockEntry {
        uint32_t address = 0;
        int64_t expiresAt = 0;  // wall-clock 100-ns ticks since 1970; 0 = never
    };

    // A problem found while loading a list file.
    struct LoadProblem {
        std::string file;
        size_t line = 0;
        std::string message;
    };

    IpListManager();
    ~IpListManager();
    IpListManager(const IpListManager&) = delete;
    IpListManager& operator=(const IpListManager&) = delete;

    // ---- Engine-facing -----------------------------------------------------------------
    bool IsAllowedLockFree(uint32_t address) const noexcept;
    bool IsBlockedLockFree(uint32_t address) const noexcept;
    bool IsAllowed(uint32_t address) const;
    // Blocks `address` for the configured duration; refuses allow-listed addresses. True
    // only when the address was added (false when already blocked or allow-listed).
    bool AddToBlock(uint32_t address);
    bool AddToBlock(uint32_t address, int64_t nowWallTicks);
    // Removes expired blocks; returns how many.
    size_t ExpireEntries();
    size_t ExpireEntries(int64_t nowWallTicks);
    // Gives back memory the lists no longer need.
    void ShrinkToFit();
    // Writes each list that changed since the last flush to its file, atomically. False
    // when a write failed (the message is in LastError()).
    bool FlushToFiles();
    // Duration of later blocks (whole seconds; 0 or negative = until removed).
    void SetFirewallBlockDuration(std::chrono::seconds duration);

    // ---- Host-facing -------------------------------------------------------------------
    // Directory of "allow.txt" and "block.txt"; empty = no persistence.
    void SetStorageDirectory(const std::string& directory);
    std::string StorageDirectory() const;
    // Loads both files, replacing the lists; returns the malformed lines skipped.
    std::vector<LoadProblem> LoadFromFiles();
    bool AddAllowed(uint32_t address);
    bool RemoveAllowed(uint32_t address);
    bool RemoveBlocked(uint32_t address);
    std::vector<uint32_t> AllowedList() const;
    std::vector<BlockEntry> BlockedList() const;
    size_t AllowedCount() const;
    size_t BlockedCount() const;
    std::string LastError() const;

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace bastion
