// State of IpListManager, shared by its two source files (lists and files).
#pragma once

#include <atomic>
#include <mutex>
#include <string>

#include "control/AddressList.h"
#include "control/IpListManager.h"

namespace bastion {

struct IpListManager::Impl {
    AddressList allow{64, kMaxAllowed};
    AddressList block{1024, kDefaultMaxBlocked};
    std::atomic<int64_t> blockSeconds{300};
    std::atomic<uint64_t> refusedBlocks{0};
    // Set by every change, cleared by the flush that writes it.
    std::atomic<bool> allowChanged{false};
    std::atomic<bool> blockChanged{false};

    // Serialises flushes and loads; guards the directory and the last error.
    mutable std::mutex fileMutex;
    std::string directory;
    std::string lastError;

    static void MarkChanged(std::atomic<bool>& flag) {
        // Read first: under a flood every capture worker adds, and a store to a line that
        // is already set would bounce it between them. Sequentially consistent so that a
        // flush that clears the flag afterwards sees the change in its snapshot.
        if (!flag.load(std::memory_order_seq_cst)) flag.store(true, std::memory_order_seq_cst);
    }
};

}  // namespace bastion
