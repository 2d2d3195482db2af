// WinDivertHelperHashPacket: a fixed-input variant of 64-bit xxHash over the IP
// header and the first bytes of the transport header, with the published padding words.
// The filter's random8/16/32 fields are derived from the same function, so it must stay
// bit-exact.
#include <cstring>

#include "divert/filter/PacketInfo.h"
#include "divert/packet/Packet.h"

namespace divert::packet {
namespace {

constexpr uint64_t kPrime1 = 11400714785074694791ull;
constexpr uint64_t kPrime2 = 14029467366897019727ull;
constexpr uint64_t kPrime3 = 1609587929392839161ull;
constexpr uint64_t kPrime4 = 9650029242287828579ull;

// The first eighteen SHA-256 round constants joined in pairs.
constexpr uint64_t kPad[9] = {
    0x428A2F9871374491ull, 0xB5C0FBCFE9B5DBA5ull, 0x3956C25B59F111F1ull,
    0x923F82A4AB1C5ED5ull, 0xD807AA9812835B01ull, 0x243185BE550C7DC3ull,
    0x72BE5D7480DEB1FEull, 0x9BDC06A7C19BF174ull, 0xE49B69C1EFBE4786ull,
};

inline uint64_t Rotl(uint64_t x, int r) {
    return (x << r) | (x >> (64 - r));
}

inline uint64_t Round(uint64_t acc, uint64_t input) {
    return Rotl(acc + input * kPrime2, 31) * kPrime1;
}

inline uint64_t Merge(uint64_t acc, uint64_t value) {
    return (acc ^ Round(0, value)) * kPrime1 + kPrime4;
}

inline uint64_t Avalanche(uint64_t h) {
    h ^= h >> 33;
    h *= kPrime2;
    h ^= h >> 29;
    h *= kPrime3;
    h ^= h >> 32;
    return h;
}

// Raw little-endian loads (the hash reads memory as it lies, without byte swapping).
inline uint64_t Le64(const uint8_t* p) {
    uint64_t v;
    std::memcpy(&v, p, sizeof(v));
    return v;
}
inline uint64_t Le32(const uint8_t* p) {
    uint32_t v;
    std::memcpy(&v, p, sizeof(v));
    return v;
}

}  // namespace

uint64_t HashParsed(const filter::PacketInfo& info, uint64_t seed) {
    const uint8_t* ip4 = info.header[filter::kSlotIpv4];
    const uint8_t* ip6 = info.header[filter::kSlotIpv6];
    if (ip4 == nullptr && ip6 == nullptr) return 0;

    uint64_t v1 = seed ^ kPad[0];
    uint64_t v2, v3, v4;
    uint64_t slot[4];
    int used;
    if (ip4 != nullptr) {
        v2 = Le64(ip4) ^ kPad[1];
        v3 = Le64(ip4 + 8) ^ kPad[2];
        v4 = Le32(ip4 + 16) ^ kPad[3];
        used = 0;
    } else {
        v2 = Le64(ip6) ^ kPad[1];
        v3 = Le64(ip6 + 8) ^ kPad[2];
        v4 = Le64(ip6 + 16) ^ kPad[3];
        slot[0] = Le64(ip6 + 24) ^ kPad[4];
        slot[1] = Le64(ip6 + 32) ^ kPad[5];
        used = 2;
    }

    if (const uint8_t* tcp = info.header[filter::kSlotTcp]) {
        slot[used] = Le64(tcp) ^ kPad[used + 4];
        ++used;
        slot[used] = Le64(tcp + 8) ^ kPad[used + 4];
        ++used;
        if (used <= 3) {
            slot[used] = Le32(tcp + 16) ^ kPad[used + 4];
            ++used;
        } else {
            v2 ^= Le32(tcp + 16) << 32;
        }
    } else {
        const uint8_t* other = info.header[filter::kSlotUdp];
        if (other == nullptr) other = info.header[filter::kSlotIcmp];
        if (other == nullptr) other = info.header[filter::kSlotIcmpv6];
        if (other != nullptr) {
            slot[used] = Le64(other) ^ kPad[used + 4];
            ++used;
        }
    }
    for (; used <= 3; ++used)
        slot[used] = seed ^ kPad[used + 4];

    v1 = Round(slot[0], v1);
    v2 = Round(slot[1], v2);
    v3 = Round(slot[2], v3);
    v4 = Round(slot[3], v4);

    uint64_t h = Rotl(v1, 1) + Rotl(v2, 7) + Rotl(v3, 12) + Rotl(v4, 18);
    h = Merge(h, v1);
    h = Merge(h, v2);
    h = Merge(h, v3);
    h = Merge(h, v4);
    h += 32;
    return Avalanche(h);
}

}  // namespace divert::packet

extern "C" UINT64 WinDivertHelperHashPacket(const VOID* pPacket, UINT packetLen, UINT64 seed) {
    divert::filter::PacketInfo info;
    if (!divert::filter::ParsePacketInfo(static_cast<const uint8_t*>(pPacket), packetLen, info) ||
        info.Truncated()) {
        return 0;
    }
    return divert::packet::HashParsed(info, seed);
}
