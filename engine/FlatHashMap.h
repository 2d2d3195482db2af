// FlatHashMap: an open-addressing hash map for the engine's per-source tables.
//
// Entries live in one array (linear probing, power-of-two capacity, at most 7/8 full);
// erasing shifts later entries back instead of leaving tombstones, so a table that is
// filled and cleared every second never degrades. clear() keeps the capacity: a table
// that has seen its working set allocates nothing afterwards, which keeps the packet path
// free of allocation after warm-up. Keys are hashed with the process's keyed hash by
// default (see KeyedHash.h).
//
// Iterators and element pointers are invalidated by any insertion or erasure.
// Thread-safety: none; callers guard the map (shard mutexes, thread ownership).
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <new>
#include <utility>

#include "engine/KeyedHash.h"

namespace bastion {

template <class K, class V, class Hash = KeyedHasher<K>>
class FlatHashMap {
  public:
    using value_type = std::pair<K, V>;
    using hasher = Hash;

    FlatHashMap() = default;
    FlatHashMap(const FlatHashMap& other) { CopyFrom(other); }
    FlatHashMap& operator=(const FlatHashMap& other) {
        if (this != &other) {
            Release();
            CopyFrom(other);
        }
        return *this;
    }
    FlatHashMap(FlatHashMap&& other) noexcept { Steal(other); }
    FlatHashMap& operator=(FlatHashMap&& other) noexcept {
        if (this != &other) {
            Release();
            Steal(other);
        }
        return *this;
    }
    ~FlatHashMap() { Release(); }

    size_t size() const { return size_; }
    bool empty() const { return size_ == 0; }
    size_t capacity() const { return capacity_; }
    // Bytes of entry storage held (slots plus occupancy bytes), excluding the object itself
    // and anything the values own.
    size_t memory_bytes() const { return capacity_ * (sizeof(value_type) + 1); }
    // The capacity that reserve(count) would settle on.
    static size_t capacity_for(size_t count) { return MinCapacityFor(count); }

    // Makes room for `count` entries without further allocation.
    void reserve(size_t count) {
        size_t wanted = MinCapacityFor(count);
        if (wanted > capacity_) Rehash(wanted);
    }

    // Removes every entry; keeps the memory.
    void clear() {
        if (size_ == 0) return;
        for (size_t i = 0; i < capacity_; ++i) {
            if (used_[i]) {
                Slot(i)->~value_type();
                used_[i] = 0;
            }
        }
        size_ = 0;
    }

    // Gives the memory back when the table is much larger than its content.
    void shrink_to_fit() {
        size_t wanted = size_ == 0 ? 0 : MinCapacityFor(size_);
        if (wanted < capacity_) Rehash(wanted);
    }

    // The hash this map uses for `key`. A caller that looks one key up in several maps of
    // the same hasher computes it once and passes it to the *_hashed operations.
    static size_t hash_of(const K& key) { return Hash{}(key); }

    V* find(const K& key) { return find_hashed(key, Hash{}(key)); }
    const V* find(const K& key) const { return find_hashed(key, Hash{}(key)); }
    // `hash` must be hash_of(key).
    V* find_hashed(const K& key, size_t hash) {
        size_t index = FindIndex(key, hash);
        return index == kNotFound ? nullptr : &Slot(index)->second;
    }
    const V* find_hashed(const K& key, size_t hash) const {
        size_t index = FindIndex(key, hash);
        return index == kNotFound ? nullptr : &Slot(index)->second;
    }
    bool contains(const K& key) const { return FindIndex(key, Hash{}(key)) != kNotFound; }

    // Starts fetching the first slot a lookup of a key with `hash` examines, so that a
    // caller with several independent lookups has their cache misses overlap instead of
    // waiting for each in turn.
    void prefetch_hashed(size_t hash) const {
        if (capacity_ == 0) return;
        const size_t index = hash & (capacity_ - 1);
        __builtin_prefetch(used_ + index);
        __builtin_prefetch(reinterpret_cast<const value_type*>(slots_) + index);
    }

    // Slots a lookup of `key` examines (1 = found or refuted at its home slot). A
    // diagnostic for tests and benchmarks of how well keys spread.
    size_t probe_count(const K& key) const {
        if (capacity_ == 0) return 0;
        size_t mask = capacity_ - 1;
        size_t probes = 1;
        for (size_t i = Hash{}(key)&mask;; i = (i + 1) & mask, ++probes) {
            if (!used_[i] || Slot(i)->first == key) return probes;
        }
    }

    // The value of `key`, value-initialised when absent.
    V& operator[](const K& key) { return *try_emplace(key).first; }

    // Inserts (key, V{}) when absent. Returns the value and whether it was inserted.
    std::pair<V*, bool> try_emplace(const K& key) { return try_emplace_hashed(key, Hash{}(key)); }
    // `hash` must be hash_of(key).
    std::pair<V*, bool> try_emplace_hashed(const K& key, size_t hash) {
        if ((size_ + 1) * 8 > capacity_ * 7) [[unlikely]] {
            Rehash(capacity_ == 0 ? kMinCapacity : capacity_ * 2);
        }
        size_t mask = capacity_ - 1;
        for (size_t i = hash & mask;; i = (i + 1) & mask) {
            if (!used_[i]) {
                new (Slot(i)) value_type(key, V{});
                used_[i] = 1;
                ++size_;
                return {&Slot(i)->second, true};
            }
            if (Slot(i)->first == key) return {&Slot(i)->second, false};
        }
    }

    bool erase(const K& key) {
        size_t index = FindIndex(key, Hash{}(key));
        if (index == kNotFound) return false;
        EraseAt(index);
        return true;
    }

    // Erases every entry for which pred(key, value) is true; returns how many.
    template <class Pred>
    size_t erase_if(Pred pred) {
        size_t erased = 0;
        // Backward shifting pulls a later entry into the hole at i, so i is examined again
        // after an erase. Entries that wrap from the start of the array into a hole at its
        // end were already examined and kept, so one pass sees every entry.
        for (size_t i = 0; i < capacity_;) {
            if (used_[i] && pred(Slot(i)->first, Slot(i)->second)) {
                EraseAt(i);
                ++erased;
            } else {
                ++i;
            }
        }
        return erased;
    }

    // Calls fn(key, value) for every entry.
    template <class Fn>
    void for_each(Fn fn) const {
        for (size_t i = 0; i < capacity_; ++i) {
            if (used_[i]) fn(Slot(i)->first, Slot(i)->second);
        }
    }
    template <class Fn>
    void for_each(Fn fn) {
        for (size_t i = 0; i < capacity_; ++i) {
            if (used_[i]) fn(Slot(i)->first, Slot(i)->second);
        }
    }

  private:
    static constexpr size_t kMinCapacity = 16;
    static constexpr size_t kNotFound = ~size_t{0};

    static size_t MinCapacityFor(size_t count) {
        size_t capacity = kMinCapacity;
        while (count * 8 > capacity * 7)
            capacity *= 2;
        return capacity;
    }

    value_type* Slot(size_t i) { return std::launder(reinterpret_cast<value_type*>(slots_) + i); }
    const value_type* Slot(size_t i) const {
        return std::launder(reinterpret_cast<const value_type*>(slots_) + i);
    }

    size_t FindIndex(const K& key, size_t hash) const {
        if (size_ == 0) return kNotFound;
        size_t mask = capacity_ - 1;
        for (size_t i = hash & mask;; i = (i + 1) & mask) {
            if (!used_[i]) return kNotFound;
            if (Slot(i)->first == key) return i;
        }
    }

    // Backward-shift deletion: pull later members of the probe run into the hole.
    void EraseAt(size_t hole) {
        size_t mask = capacity_ - 1;
        Slot(hole)->~value_type();
        used_[hole] = 0;
        --size_;
        for (size_t i = (hole + 1) & mask; used_[i]; i = (i + 1) & mask) {
            size_t home = Hash{}(Slot(i)->first) & mask;
            // The entry at i may move to the hole only if its home is not cyclically in
            // (hole, i].
            bool homeBetween = hole <= i ? (home > hole && home <= i) : (home > hole || home <= i);
            if (homeBetween) continue;
            new (Slot(hole)) value_type(std::move(*Slot(i)));
            used_[hole] = 1;
            Slot(i)->~value_type();
            used_[i] = 0;
            hole = i;
        }
    }

    // Out of line: inlined, it made every insert save and restore the registers it needs.
    [[gnu::noinline]] void Rehash(size_t newCapacity) {
        unsigned char* oldSlots = slots_;
        unsigned char* oldUsed = used_;
        size_t oldCapacity = capacity_;
        slots_ = nullptr;
        used_ = nullptr;
        capacity_ = 0;
        size_ = 0;
        if (newCapacity != 0) {
            slots_ = static_cast<unsigned char*>(::operator new (
                newCapacity * sizeof(value_type), std::align_val_t{alignof(value_type)}));
            used_ = new unsigned char[newCapacity]();
            capacity_ = newCapacity;
        }
        for (size_t i = 0; i < oldCapacity; ++i) {
            if (!oldUsed[i]) continue;
            value_type* entry = std::launder(reinterpret_cast<value_type*>(oldSlots) + i);
            InsertMoved(std::move(*entry));
            entry->~value_type();
        }
        if (oldSlots != nullptr)
            ::operator delete (oldSlots, std::align_val_t{alignof(value_type)});
        delete[] oldUsed;
    }

    void InsertMoved(value_type&& entry) {
        size_t mask = capacity_ - 1;
        for (size_t i = Hash{}(entry.first) & mask;; i = (i + 1) & mask) {
            if (!used_[i]) {
                new (Slot(i)) value_type(std::move(entry));
                used_[i] = 1;
                ++size_;
                return;
            }
        }
    }

    void Release() {
        clear();
        if (slots_ != nullptr) ::operator delete (slots_, std::align_val_t{alignof(value_type)});
        delete[] used_;
        slots_ = nullptr;
        used_ = nullptr;
        capacity_ = 0;
    }

    void Steal(FlatHashMap& other) {
        slots_ = other.slots_;
        used_ = other.used_;
        capacity_ = other.capacity_;
        size_ = other.size_;
        other.slots_ = nullptr;
        other.used_ = nullptr;
        other.capacity_ = 0;
        other.size_ = 0;
    }

    void CopyFrom(const FlatHashMap& other) {
        if (other.size_ == 0) return;
        Rehash(MinCapacityFor(other.size_));
        other.for_each([this](const K& key, const V& value) { (*this)[key] = value; });
    }

    unsigned char* slots_ = nullptr;
    unsigned char* used_ = nullptr;
    size_t capacity_ = 0;
    size_t size_ = 0;
};

}  // namespace bastion
