// Shared helpers for the address-list tests: chosen times and address spellings.
#pragma once

#include <cstdint>
#include <random>
#include <string>
#include <unordered_set>
#include <vector>

#include "platform/Clock.h"

namespace bastion::testing_support {

// 2026-12-06T18:00:00Z in wall-clock ticks.
constexpr int64_t kUnixT0 = 1'796'580'000;
constexpr int64_t kT0 = kUnixT0 * kWallTicksPerSecond;
constexpr int64_t Seconds(int64_t s) {
    return s * kWallTicksPerSecond;
}

constexpr uint32_t Ip(uint32_t a, uint32_t b, uint32_t c, uint32_t d) {
    return (a << 24) | (b << 16) | (c << 8) | d;
}

// `count` distinct addresses from `seed`, none in `exclude`.
inline std::vector<uint32_t> DistinctAddresses(size_t count, uint32_t seed,
                                               const std::unordered_set<uint32_t>& exclude = {}) {
    std::mt19937 random(seed);
    std::unordered_set<uint32_t> seen;
    std::vector<uint32_t> addresses;
    addresses.reserve(count);
    while (addresses.size() < count) {
        uint32_t address = random();
        if (exclude.count(address) != 0 || !seen.insert(address).second) continue;
        addresses.push_back(address);
    }
    return addresses;
}

}  // namespace bastion::testing_support
