// A hash map from 32-bit ids to small values, with open addressing and linear probing: one array,
// no node per entry, so a million mappings load in milliseconds and a lookup touches one or two
// cache lines. Not thread-safe; the mapper guards it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace Ostrel::Mapi {

template <typename V>
class IdHashMap {
public:
    IdHashMap() { Rehash(8); }

    size_t Size() const { return m_cUsed + (m_bHasEmptyKey ? 1 : 0); }
    bool Empty() const { return Size() == 0; }

    const V* Find(uint32_t key) const {
        if (key == kEmptyKey)
            return m_bHasEmptyKey ? &m_emptyKeyValue : nullptr;
        for (size_t i = Home(key);; i = (i + 1) & m_mask) {
            const Slot& slot = m_slots[i];
            if (slot.key == key)
                return &slot.value;
            if (slot.key == kEmptyKey)
                return nullptr;
        }
    }
    V* Find(uint32_t key) { return const_cast<V*>(static_cast<const IdHashMap*>(this)->Find(key)); }
    bool Contains(uint32_t key) const { return Find(key) != nullptr; }

    // Inserts or replaces.
    void Set(uint32_t key, const V& value) {
        if (key == kEmptyKey) {
            m_bHasEmptyKey = true;
            m_emptyKeyValue = value;
            return;
        }
        if ((m_cUsed + 1) * 2 > m_slots.size())
            Rehash(m_slots.size() * 2);
        for (size_t i = Home(key);; i = (i + 1) & m_mask) {
            Slot& slot = m_slots[i];
            if (slot.key == key) {
                slot.value = value;
                return;
            }
            if (slot.key == kEmptyKey) {
                slot.key = key;
                slot.value = value;
                ++m_cUsed;
                return;
            }
        }
    }

    bool Erase(uint32_t key) {
        if (key == kEmptyKey) {
            const bool bHad = m_bHasEmptyKey;
            m_bHasEmptyKey = false;
            return bHad;
        }
        size_t i = Home(key);
        for (;; i = (i + 1) & m_mask) {
            if (m_slots[i].key == key)
                break;
            if (m_slots[i].key == kEmptyKey)
                return false;
        }
        // Backward shift: move later members of the probe run into the hole so that lookups never
        // need tombstones.
        for (size_t j = (i + 1) & m_mask;; j = (j + 1) & m_mask) {
            if (m_slots[j].key == kEmptyKey)
                break;
            const size_t home = Home(m_slots[j].key);
            if (((j - home) & m_mask) >= ((j - i) & m_mask)) {
                m_slots[i] = m_slots[j];
                i = j;
            }
        }
        m_slots[i].key = kEmptyKey;
        --m_cUsed;
        return true;
    }

    void Clear() {
        m_slots.assign(8, Slot{});
        m_mask = 7;
        m_shift = 29;
        m_cUsed = 0;
        m_bHasEmptyKey = false;
    }

    void Reserve(size_t cEntries) {
        size_t cSlots = 8;
        while (cSlots < cEntries * 2)
            cSlots *= 2;
        if (cSlots > m_slots.size())
            Rehash(cSlots);
    }

    template <typename F>
    void ForEach(F f) const {
        if (m_bHasEmptyKey)
            f(kEmptyKey, m_emptyKeyValue);
        for (const Slot& slot : m_slots)
            if (slot.key != kEmptyKey)
                f(slot.key, slot.value);
    }

    size_t MemoryBytes() const { return m_slots.capacity() * sizeof(Slot); }

private:
    static constexpr uint32_t kEmptyKey = 0xFFFFFFFFu;
    struct Slot {
        uint32_t key = kEmptyKey;
        V value{};
    };

    size_t Home(uint32_t key) const { return (uint32_t(key * 0x9E3779B9u) >> m_shift) & m_mask; }

    void Rehash(size_t cSlots) {
        std::vector<Slot> old;
        old.swap(m_slots);
        m_slots.assign(cSlots, Slot{});
        m_mask = cSlots - 1;
        m_shift = 32;
        for (size_t n = cSlots; n > 1; n >>= 1)
            --m_shift;
        m_cUsed = 0;
        for (const Slot& slot : old)
            if (slot.key != kEmptyKey)
                Set(slot.key, slot.value);
    }

    std::vector<Slot> m_slots;
    size_t m_mask = 0;
    unsigned m_shift = 32;
    size_t m_cUsed = 0;
    bool m_bHasEmptyKey = false;
    V m_emptyKeyValue{};
};

}  // namespace Ostrel::Mapi
