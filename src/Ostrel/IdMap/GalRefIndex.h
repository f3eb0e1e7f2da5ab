// The GAL mapper's index from references to the offsets of their blocks. The references stay in
// the mapped file: a slot holds the block offset and the reference's hash, 8 bytes, where a hash
// map of strings costs a heap node and a copy of the text per entry. A probe compares the hash
// first and reads the reference from the file only when it matches. Open addressing with linear
// probing and backward-shift erase, as IdHashMap. Not thread-safe; the mapper's lock guards it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <functional>
#include <string_view>
#include <vector>

#include "Ostrel/IdMap/GalMapperFile.h"

namespace Ostrel::Mapi {

class GalRefIndex {
public:
    GalRefIndex() { Rehash(8); }

    size_t Size() const { return m_cUsed; }

    // The reference of the used block at ulOffset of the mapped file; empty when the block does
    // not hold one within its own size and the file.
    static std::string_view RefAt(const BYTE* pFile, size_t cbFile, ULONG ulOffset) {
        if (ulOffset < kGalHeaderSize || ulOffset > cbFile || cbFile - ulOffset < kGalBlockHeaderSize + 1)
            return {};
        const BYTE* pBlock = pFile + ulOffset;
        const ULONG ulSize = ULONG(pBlock[0]) | ULONG(pBlock[1]) << 8 | ULONG(pBlock[2]) << 16 | ULONG(pBlock[3]) << 24;
        if (pBlock[12] != kGalStateUsed || ulSize <= kGalBlockHeaderSize || ulSize > cbFile - ulOffset)
            return {};
        const char* pRef = reinterpret_cast<const char*>(pBlock + kGalBlockHeaderSize);
        const void* pEnd = std::memchr(pRef, 0, ulSize - kGalBlockHeaderSize);
        return pEnd ? std::string_view(pRef, static_cast<const char*>(pEnd) - pRef) : std::string_view();
    }

    // The offset of the block holding sRef; 0 when it is not indexed.
    ULONG Find(std::string_view sRef, const BYTE* pFile, size_t cbFile) const {
        const uint32_t ulHash = Hash(sRef);
        for (size_t i = Home(ulHash);; i = (i + 1) & m_mask) {
            const Slot& slot = m_slots[i];
            if (slot.ulOffset == 0)
                return 0;
            if (slot.ulHash == ulHash && RefAt(pFile, cbFile, slot.ulOffset) == sRef)
                return slot.ulOffset;
        }
    }

    // Indexes the block at ulOffset (not 0) under sRef, which the caller knows to be absent.
    void Insert(std::string_view sRef, ULONG ulOffset) {
        if ((m_cUsed + 1) * 2 > m_slots.size())
            Rehash(m_slots.size() * 2);
        Place(Slot{ulOffset, Hash(sRef)});
        ++m_cUsed;
    }

    // Removes sRef; false when it is not indexed. Call before the block is wiped.
    bool Erase(std::string_view sRef, const BYTE* pFile, size_t cbFile) {
        const uint32_t ulHash = Hash(sRef);
        size_t i = Home(ulHash);
        for (;; i = (i + 1) & m_mask) {
            const Slot& slot = m_slots[i];
            if (slot.ulOffset == 0)
                return false;
            if (slot.ulHash == ulHash && RefAt(pFile, cbFile, slot.ulOffset) == sRef)
                break;
        }
        // Later members of the probe run move into the hole, so lookups need no tombstones.
        for (size_t j = (i + 1) & m_mask; m_slots[j].ulOffset != 0; j = (j + 1) & m_mask) {
            const size_t home = Home(m_slots[j].ulHash);
            if (((j - home) & m_mask) >= ((j - i) & m_mask)) {
                m_slots[i] = m_slots[j];
                i = j;
            }
        }
        m_slots[i] = Slot{};
        --m_cUsed;
        return true;
    }

    void Clear() {
        std::vector<Slot>(8).swap(m_slots);
        m_mask = 7;
        m_cUsed = 0;
    }

private:
    struct Slot {
        ULONG ulOffset = 0;  // 0: empty (no block starts inside the header)
        uint32_t ulHash = 0;
    };

    static uint32_t Hash(std::string_view s) {
        const size_t h = std::hash<std::string_view>{}(s);
        return static_cast<uint32_t>(h ^ (h >> 32));
    }
    size_t Home(uint32_t ulHash) const { return ulHash & m_mask; }

    void Place(const Slot& slot) {
        size_t i = Home(slot.ulHash);
        while (m_slots[i].ulOffset != 0)
            i = (i + 1) & m_mask;
        m_slots[i] = slot;
    }

    void Rehash(size_t cSlots) {
        std::vector<Slot> old(cSlots);
        old.swap(m_slots);
        m_mask = cSlots - 1;
        for (const Slot& slot : old)
            if (slot.ulOffset != 0)
                Place(slot);
    }

    std::vector<Slot> m_slots;
    size_t m_mask = 0;
    size_t m_cUsed = 0;
};

}  // namespace Ostrel::Mapi
