// FlatHashMap against a reference map under random operations, and the keyed hash's
// spreading of keys crafted to collide.
#include <gtest/gtest.h>

#include <map>
#include <random>
#include <unordered_map>
#include <vector>

#include "engine/FlatHashMap.h"

namespace bastion {
namespace {

// No padding: the default hasher reads the key's bytes.
struct PairKey {
    uint32_t address = 0;
    uint32_t port = 0;
    bool operator==(const PairKey&) const = default;
};

// Every key hashes to the same bucket: stresses probe runs and backward-shift erasure.
struct ConstantHash {
    size_t operator()(uint32_t) const { return 7; }
};
// A key's home is its value modulo the capacity.
struct IdentityHash {
    size_t operator()(uint64_t key) const { return key; }
};

template <class Map>
void CheckAgainstModel(Map& map, const std::map<uint32_t, uint64_t>& model) {
    ASSERT_EQ(map.size(), model.size());
    for (const auto& [key, value] : model) {
        const uint64_t* found = map.find(key);
        ASSERT_NE(found, nullptr) << key;
        ASSERT_EQ(*found, value) << key;
    }
    size_t visited = 0;
    map.for_each([&](uint32_t key, uint64_t value) {
        ++visited;
        auto it = model.find(key);
        ASSERT_TRUE(it != model.end()) << key;
        EXPECT_EQ(it->second, value);
    });
    EXPECT_EQ(visited, model.size());
}

template <class Hash>
void RandomOperations(uint32_t keySpace, int steps) {
    FlatHashMap<uint32_t, uint64_t, Hash> map;
    std::map<uint32_t, uint64_t> model;
    std::mt19937 rng(12345);
    for (int step = 0; step < steps; ++step) {
        uint32_t key = rng() % keySpace;
        switch (rng() % 6) {
            case 0:
            case 1:
            case 2:
                map[key] += 1;
                model[key] += 1;
                break;
            case 3:
                EXPECT_EQ(map.erase(key), model.erase(key) == 1);
                break;
            case 4: {
                uint32_t cut = rng() % 4;
                size_t erased = map.erase_if([cut](uint32_t k, uint64_t) { return k % 4 == cut; });
                size_t expected =
                    std::erase_if(model, [cut](const auto& e) { return e.first % 4 == cut; });
                EXPECT_EQ(erased, expected);
                break;
            }
            case 5:
                EXPECT_EQ(map.contains(key), model.count(key) == 1);
                break;
        }
        if (step % 997 == 0) CheckAgainstModel(map, model);
    }
    CheckAgainstModel(map, model);
}

TEST(FlatHashMap, MatchesReferenceUnderRandomOperations) {
    RandomOperations<KeyedHasher<uint32_t>>(5000, 200000);
}

TEST(FlatHashMap, MatchesReferenceWhenEveryKeyCollides) {
    RandomOperations<ConstantHash>(300, 30000);
}

// A run that wraps round the end of the array, holding keys homed at its last slot and at
// its first: erasing at the end pulls back the former across the end and leaves the latter
// at home.
TEST(FlatHashMap, EraseFromARunThatWraps) {
    FlatHashMap<uint64_t, uint64_t, IdentityHash> map;
    map[15] = 1;  // home and slot 15
    map[16] = 2;  // home and slot 0
    map[31] = 3;  // home 15, slot 1
    ASSERT_EQ(map.capacity(), 16u);
    EXPECT_EQ(map.probe_count(31), 3u);
    EXPECT_TRUE(map.erase(15));
    ASSERT_NE(map.find(16), nullptr);
    ASSERT_NE(map.find(31), nullptr);
    EXPECT_EQ(*map.find(16), 2u);
    EXPECT_EQ(*map.find(31), 3u);
    EXPECT_EQ(map.probe_count(16), 1u);
    EXPECT_EQ(map.probe_count(31), 1u);
}

TEST(FlatHashMap, ClearKeepsCapacitySoRefillingDoesNotGrow) {
    FlatHashMap<uint32_t, uint64_t> map;
    for (uint32_t i = 0; i < 1000; ++i)
        map[i] = i;
    size_t capacity = map.capacity();
    map.clear();
    EXPECT_TRUE(map.empty());
    EXPECT_EQ(map.capacity(), capacity);
    for (uint32_t i = 1000; i < 2000; ++i)
        map[i] = i;
    EXPECT_EQ(map.capacity(), capacity);
    EXPECT_EQ(map.find(5), nullptr);
    EXPECT_EQ(*map.find(1500), 1500u);
}

TEST(FlatHashMap, ShrinkReserveCopyAndMove) {
    FlatHashMap<uint32_t, uint64_t> map;
    map.reserve(10000);
    size_t reserved = map.capacity();
    for (uint32_t i = 0; i < 10000; ++i)
        map[i] = i;
    EXPECT_EQ(map.capacity(), reserved);
    map.erase_if([](uint32_t k, uint64_t) { return k >= 10; });
    map.shrink_to_fit();
    EXPECT_LT(map.capacity(), reserved);
    EXPECT_EQ(map.size(), 10u);

    FlatHashMap<uint32_t, uint64_t> copy = map;
    FlatHashMap<uint32_t, uint64_t> moved = std::move(map);
    EXPECT_TRUE(map.empty());
    EXPECT_EQ(copy.size(), 10u);
    EXPECT_EQ(*moved.find(9), 9u);
    map[1] = 1;  // usable after being moved from
    EXPECT_EQ(map.size(), 1u);
}

TEST(FlatHashMap, StructKeysAndNonTrivialValues) {
    FlatHashMap<PairKey, std::vector<int>> map;
    map[PairKey{1, 80}].push_back(1);
    map[PairKey{1, 443}].push_back(2);
    map[PairKey{1, 80}].push_back(3);
    ASSERT_EQ(map.size(), 2u);
    EXPECT_EQ(map.find(PairKey{1, 80})->size(), 2u);
    EXPECT_EQ(map.find(PairKey{2, 80}), nullptr);
    EXPECT_TRUE(map.erase(PairKey{1, 80}));
    EXPECT_EQ(map.size(), 1u);
}

// Addresses that differ only above bit 16 all share a bucket under a hash that keeps the
// low bits (identity or FNV-style mod capacity). With the keyed hash they spread evenly.
TEST(KeyedHash, CraftedCollidingAddressesSpreadOut) {
    constexpr size_t kBuckets = 1 << 16;
    std::vector<uint32_t> load(kBuckets, 0);
    size_t identityCollisions = 0;
    for (uint32_t i = 0; i < 60000; ++i) {
        uint32_t address = (i << 16) | 0x0101;
        if ((address & (kBuckets - 1)) == 0x0101) ++identityCollisions;
        ++load[KeyedHasher<uint32_t>{}(address) & (kBuckets - 1)];
    }
    EXPECT_EQ(identityCollisions, 60000u);
    uint32_t worst = 0;
    for (uint32_t bucket : load)
        worst = std::max(worst, bucket);
    EXPECT_LE(worst, 12u);  // ~0.9 expected per bucket; a balls-in-bins maximum stays tiny
}

TEST(FlatHashMap, PrecomputedHashesReachTheSameEntries) {
    FlatHashMap<uint32_t, uint64_t> counts;
    FlatHashMap<uint32_t, uint64_t> other;
    for (uint32_t key = 0; key < 500; ++key) {
        size_t hash = FlatHashMap<uint32_t, uint64_t>::hash_of(key);
        *counts.try_emplace_hashed(key, hash).first += key;
        // The same hash serves every map with the same key type and hasher.
        EXPECT_TRUE(other.try_emplace_hashed(key, hash).second);
    }
    for (uint32_t key = 0; key < 500; ++key) {
        size_t hash = FlatHashMap<uint32_t, uint64_t>::hash_of(key);
        ASSERT_NE(counts.find(key), nullptr);
        EXPECT_EQ(counts.find_hashed(key, hash), counts.find(key));
        EXPECT_EQ(*counts.find_hashed(key, hash), key);
        EXPECT_TRUE(other.contains(key));
    }
    EXPECT_EQ(counts.find_hashed(9999, FlatHashMap<uint32_t, uint64_t>::hash_of(9999)), nullptr);
    EXPECT_FALSE(counts.try_emplace_hashed(7, FlatHashMap<uint32_t, uint64_t>::hash_of(7)).second);
}

TEST(FlatHashMap, CapacityMemoryAndProbeDiagnostics) {
    using Map = FlatHashMap<uint32_t, uint64_t>;
    EXPECT_EQ(Map::capacity_for(0), 16u);
    EXPECT_EQ(Map::capacity_for(14), 16u);  // 7/8 of 16
    EXPECT_EQ(Map::capacity_for(15), 32u);
    Map map;
    EXPECT_EQ(map.memory_bytes(), 0u);
    EXPECT_EQ(map.probe_count(1), 0u);
    map.reserve(1000);
    EXPECT_EQ(map.capacity(), Map::capacity_for(1000));
    EXPECT_EQ(map.memory_bytes(), map.capacity() * (sizeof(Map::value_type) + 1));

    // Every key in one bucket: the k-th key inserted is found after k probes, and a miss
    // walks the whole run.
    FlatHashMap<uint32_t, uint64_t, ConstantHash> run;
    for (uint32_t key = 0; key < 10; ++key)
        run[key] = key;
    for (uint32_t key = 0; key < 10; ++key)
        EXPECT_EQ(run.probe_count(key), key + 1);
    EXPECT_EQ(run.probe_count(99), 11u);
}

}  // namespace
}  // namespace bastion
