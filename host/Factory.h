// The engine's factory and destroyer, handed to the host by the entry point.
#pragma once

#include <new>
#include <utility>

#include "host/IPacketProcessor.h"

namespace bastion {

// Allocates the engine 64-byte aligned and constructs it with the host's state block; null
// (with the memory freed) when construction throws.
IPacketProcessor* CreatePacketProcessor(RuntimeState& state);

// Runs the engine's destructor and frees its memory; does nothing for null.
void DestroyPacketProcessor(IPacketProcessor* processor);

// The allocation protocol of CreatePacketProcessor for any engine type T (exposed for
// tests with engines whose constructor throws).
template <class T>
IPacketProcessor* ConstructAligned(RuntimeState& state) {
    static_assert(alignof(T) >= 64, "engines are allocated on a 64-byte boundary");
    void* memory = ::operator new(sizeof(T), std::align_val_t{alignof(T)}, std::nothrow);
    if (memory == nullptr) return nullptr;
    try {
        return new (memory) T(state);
    } catch (...) {
        ::operator delete(memory, std::align_val_t{alignof(T)});
        return nullptr;
    }
}

}  // namespace bastion
