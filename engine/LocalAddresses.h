// The machine's own addresses: the sets the packet path consults before any rule (own
// interfaces, host-name addresses, default gateways; the vendor API host), the usable
// addresses that stand for a "0.0.0.0" target, and the name servers.
//
// All addresses are IPv4 in host byte order. Every failure here is silent except the one
// Winsock start-up failure of InitializeLocalInterfaceWhitelist, which is logged: the sets
// simply keep what they hold.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "engine/FlatHashMap.h"

namespace bastion {

class PacketProcessor;

// A set of IPv4 addresses that only grows.
//
// A host has a handful of own addresses, and the capture path asks about every inbound
// packet's source. Up to kInline addresses are therefore also kept in one cache line and
// compared all at once, which costs less than the keyed hash and a probe whose branch
// the mixed sources of a flood mispredict. Unused places repeat the first address, so
// they can never answer for another one.
// Thread-safety: written only while no other engine thread runs (construction, Start
// before it launches threads); read without a lock afterwards.
class AddressSet {
  public:
    static constexpr size_t kInline = 16;

    // True when the address was not yet present.
    bool Insert(uint32_t address) {
        if (!set_.try_emplace(address).second) return false;
        const size_t size = set_.size();
        if (size <= kInline) {
            inline_[size - 1] = address;
            for (size_t i = size; i < kInline; ++i)
                inline_[i] = inline_[0];
        }
        return true;
    }
    bool Contains(uint32_t address) const {
        const size_t size = set_.size();
        if (size <= kInline) return size != 0 && InlineContains(address);
        return set_.contains(address);
    }
    // With the address's hash under Hasher already at hand: the packet path hashes a source
    // once for this set and its other per-source tables.
    using Hasher = KeyedHasher<uint32_t>;
    bool Contains(uint32_t address, size_t hash) const {
        const size_t size = set_.size();
        if (size <= kInline) return size != 0 && InlineContains(address);
        return set_.find_hashed(address, hash) != nullptr;
    }
    size_t Size() const { return set_.size(); }

    template <class Fn>
    void ForEach(Fn fn) const {
        set_.for_each([&](uint32_t address, uint8_t) { fn(address); });
    }

  private:
    bool InlineContains(uint32_t address) const {
#if defined(__SSE2__)
        // Four compares and one mask test, without a loop or a branch per place.
        static_assert(kInline == 16);
        const __m128i key = _mm_set1_epi32(static_cast<int>(address));
        const auto* places = reinterpret_cast<const __m128i*>(inline_.data());
        const __m128i low = _mm_or_si128(_mm_cmpeq_epi32(_mm_load_si128(places), key),
                                         _mm_cmpeq_epi32(_mm_load_si128(places + 1), key));
        const __m128i high = _mm_or_si128(_mm_cmpeq_epi32(_mm_load_si128(places + 2), key),
                                          _mm_cmpeq_epi32(_mm_load_si128(places + 3), key));
        return _mm_movemask_epi8(_mm_or_si128(low, high)) != 0;
#else
        uint32_t hits = 0;
        for (size_t i = 0; i < kInline; ++i)
            hits |= static_cast<uint32_t>(inline_[i] == address);
        return hits != 0;
#endif
    }

    FlatHashMap<uint32_t, uint8_t, Hasher> set_;
    alignas(64) std::array<uint32_t, kInline> inline_{};
};

// Adds the addresses the vendor API host name (runtimeState.apiHostName) resolves to into
// engine.apiHostAddresses. Nothing when no name is configured or it does not resolve.
void ResolveApiHostAddresses(PacketProcessor& engine);

// Adds the machine's own addresses into engine.localAddresses: the host name's addresses
// (loopback left out), the IPv4 addresses and gateways of every operational, non-loopback
// adapter (link-local kept), and the next hops of the default routes.
void InitializeLocalInterfaceWhitelist(PacketProcessor& engine);

// The first address of each operational, non-loopback adapter that is neither loopback nor
// link-local, as dotted text, in adapter order without repeats. Private ranges count.
// Empty when the adapters cannot be listed.
std::vector<std::string> DetectPublicAddresses();

// The adapters' name servers (neither loopback nor link-local), then 8.8.8.8, 8.8.4.4,
// 1.1.1.1, 1.0.0.1 and 9.9.9.9, each once, in that order.
std::vector<uint32_t> CollectDnsServers();

// "a.b.c.d", most significant octet first.
std::string FormatIPv4(uint32_t address);

inline bool IsLoopbackAddress(uint32_t address) {
    return (address & 0xFF000000u) == 0x7F000000u;
}
inline bool IsLinkLocalAddress(uint32_t address) {
    return (address & 0xFFFF0000u) == 0xA9FE0000u;
}

}  // namespace bastion
