// Hashing of attacker-chosen keys (source addresses, ports, connection keys).
//
// With spoofing, a flood chooses the source addresses. An unkeyed hash lets it pick
// addresses that land in one bucket and turn every lookup into a walk of the whole table.
// Keys are therefore mixed with a 128-bit secret drawn once per process at start-up.
// The mixer is a keyed multiply-fold (two rounds of 64x64->128 multiplication): not a
// cryptographic MAC, but without the secret an attacker cannot predict bucket positions,
// and it costs a few nanoseconds on the packet path.
//
// Thread-safety: the secret is drawn once, on first use (a thread-safe static), and only
// read afterwards.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <type_traits>

namespace bastion {

namespace keyed_hash_detail {
struct Secret {
    uint64_t k0;
    uint64_t k1;
};
// Draws a fresh secret from the system's random source.
Secret DrawSecret();
// The process's secret, drawn on first use. Inline so that the packet path pays a guard
// check, not a call, per hash.
inline const Secret& ProcessSecret() {
    static const Secret secret = DrawSecret();
    return secret;
}

inline uint64_t Fold(uint64_t a, uint64_t b) {
    __uint128_t product = static_cast<__uint128_t>(a) * b;
    return static_cast<uint64_t>(product) ^ static_cast<uint64_t>(product >> 64);
}
}  // namespace keyed_hash_detail

// Keyed hash of up to 16 bytes of key material.
inline uint64_t KeyedHash64(uint64_t low, uint64_t high = 0) {
    const auto& s = keyed_hash_detail::ProcessSecret();
    uint64_t h = keyed_hash_detail::Fold(low ^ s.k0, high ^ s.k1);
    return keyed_hash_detail::Fold(h ^ 0x9E3779B97F4A7C15ull, s.k0 ^ 0xD6E8FEB86659FD93ull);
}

// Hash functor for integers and for trivially copyable keys of up to 16 bytes without
// padding. Keys with padding specialise it (see AddressPortKey).
template <class K>
struct KeyedHasher {
    static_assert(std::is_trivially_copyable_v<K> && sizeof(K) <= 16,
                  "KeyedHasher covers keys of at most 16 bytes");
    size_t operator()(const K& key) const noexcept {
        if constexpr (std::is_integral_v<K> || std::is_enum_v<K>) {
            return static_cast<size_t>(KeyedHash64(static_cast<uint64_t>(key)));
        } else {
            // Padding bytes would make equal keys hash apart: such keys need their own
            // specialisation that hashes the fields.
            static_assert(
                std::has_unique_object_representations_v<K>,
                "KeyedHasher hashes the key's bytes: specialise it for keys with padding");
            uint64_t words[2] = {0, 0};
            std::memcpy(words, &key, sizeof(K));
            return static_cast<size_t>(KeyedHash64(words[0], words[1]));
        }
    }
};

}  // namespace bastion
