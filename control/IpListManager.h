// IpListManager: the host's allow list and block list of IPv4 source addresses.
//
// The capture path asks MatchSourceLockFree for every inbound packet: both lists in one
// read section, and none at all while both are empty (the usual case outside a flood).
// The lookups take no lock, allocate nothing and never wait, whatever writers do at the
// same time: each list is an open-addressing table of atomic slots read inside a
// ReadGuard section, and replaced tables are freed only once no section can still see
// them (control/AddressList.h and control/ReadGuard.h explain the design). AddToBlock is safe from
// every capture worker at once and takes no lock; it waits for a moment (50 ms at most) only when
// the block table is full because a resize is late, and past that refuses the block.
//
// Blocks. Each block carries an expiry (a whole UTC second), set from the configured
// duration when it is added. A block stays effective until ExpireEntries removes it, which
// the engine's cleanup loop runs every few seconds: the lock-free lookup does not read the
// clock. AddToBlock treats an entry past its expiry as absent and renews it.
//
// Files. FlushToFiles writes the lists that changed since the last successful write, each
// to its own file in the storage directory, atomically (control/AtomicFile.h): a crash
// leaves either the old or the new file, never a mix. LoadFromFiles reads them at start.
//   allow.txt  one address per line:                 203.0.113.7
//   block.txt  address, one blank, expiry in UTC:    203.0.113.7 2026-12-06T18:00:00Z
//              or "never" for a block without end:   198.51.100.1 never
// Blank lines and lines starting with '#' are ignored; the writer puts one '#' line on top
// saying what the file is. Spaces and tabs around fields and a trailing CR are accepted.
//
// Addresses are IPv4 in host byte order. Times are wall-clock 100-ns ticks since 1970;
// the overloads that take `now` exist so that tests choose the time.
//
// Thread-safety: every member may be called from any thread.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace bastion {

// What the lists say about a source address. An allow-listed address is kAllowed even
// when it is also on the block list.
enum class SourceListMatch : uint8_t { kNeither, kAllowed, kBlocked };

class IpListManager {
  public:
    static constexpr size_t kDefaultMaxBlocked = 2'000'000;
    static constexpr size_t kMaxAllowed = 1'000'000;
    static constexpr const char* kAllowFileName = "allow.txt";
    static constexpr const char* kBlockFileName = "block.txt";

    struct BlockEntry {
        uint32_t address = 0;
        int64_t expiresAt = 0;  // wall-clock 100-ns ticks since 1970; 0 = never
    };

    // A line of a list file that was skipped, or a file that could not be read (line 0).
    struct LoadProblem {
        std::string file;
        size_t line = 0;
        std::string message;
        // "file:line: message" (or "file: message" for line 0).
        std::string Describe() const;
    };

    IpListManager();
    ~IpListManager();
    IpListManager(const IpListManager&) = delete;
    IpListManager& operator=(const IpListManager&) = delete;

    // ---- Engine-facing -----------------------------------------------------------------
    // IsAllowedLockFree, then IsBlockedLockFree, in one read section.
    SourceListMatch MatchSourceLockFree(uint32_t address) const noexcept;
    bool IsAllowedLockFree(uint32_t address) const noexcept;
    bool IsBlockedLockFree(uint32_t address) const noexcept;
    bool IsAllowed(uint32_t address) const;
    // Blocks `address` for the configured duration; refuses allow-listed addresses. True
    // only when the address was added or an expired block renewed (false when a block is
    // in force, the address is allow-listed, or the list is full).
    bool AddToBlock(uint32_t address);
    bool AddToBlock(uint32_t address, int64_t nowWallTicks);
    // Removes expired blocks and frees replaced tables; returns how many blocks went.
    size_t ExpireEntries();
    size_t ExpireEntries(int64_t nowWallTicks);
    // Rebuilds tables that are much larger than their content needs, or full of removed
    // slots, and frees replaced tables.
    void ShrinkToFit();
    // Writes each list that changed since its last successful write to its file,
    // atomically. True when nothing needed writing or every write succeeded; otherwise
    // false, LastError() says what failed, and the list is written again next time.
    bool FlushToFiles();
    // Duration of later blocks (whole seconds; 0 or negative = until removed).
    void SetFirewallBlockDuration(std::chrono::seconds duration);

    // ---- Host-facing -------------------------------------------------------------------
    // Directory of allow.txt and block.txt; empty = lists are kept in memory only.
    void SetStorageDirectory(const std::string& directory);
    std::string StorageDirectory() const;
    // Replaces both lists with the files' content. Missing files are empty lists; expired
    // blocks and blocks of allow-listed addresses are left out; malformed lines are
    // skipped and returned, the good lines kept. Removes temporary files that an
    // interrupted write left behind.
    std::vector<LoadProblem> LoadFromFiles();
    std::vector<LoadProblem> LoadFromFiles(int64_t nowWallTicks);
    // Allow-lists the address and lifts its block, if any. True when it was not allowed.
    bool AddAllowed(uint32_t address);
    bool RemoveAllowed(uint32_t address);
    // Lifts a block; true when the address was on the block list.
    bool RemoveBlocked(uint32_t address);
    // Sorted by address. The block list includes blocks past their expiry that
    // ExpireEntries has not yet removed.
    std::vector<uint32_t> AllowedList() const;
    std::vector<BlockEntry> BlockedList() const;
    size_t AllowedCount() const;
    size_t BlockedCount() const;
    // Blocks refused because the list was full since start.
    uint64_t RefusedBlockCount() const;
    // Most blocks held at once (default kDefaultMaxBlocked); later blocks are refused.
    void SetMaxBlocked(size_t maxBlocked);
    // Slots of the block table and bytes held by both lists (for the status view).
    size_t BlockCapacity() const;
    size_t MemoryBytes() const;
    // The failure of the last FlushToFiles or LoadFromFiles that failed, with the system's
    // error text; empty when there was none or a later flush succeeded.
    std::string LastError() const;

  private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace bastion
