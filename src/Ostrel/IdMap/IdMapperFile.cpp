#include "Ostrel/IdMap/IdMapperFile.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

namespace Ostrel::Mapi {

namespace {

ULONG LoadU32(const BYTE* p) {
    return ULONG(p[0]) | ULONG(p[1]) << 8 | ULONG(p[2]) << 16 | ULONG(p[3]) << 24;
}

void StoreU32(BYTE* p, ULONG v) {
    for (int i = 0; i < 4; ++i)
        p[i] = static_cast<BYTE>(v >> (8 * i));
}

// A single 32-bit store that the compiler neither splits nor moves before the stores above it.
// Record fields are 4-byte aligned in the mapping (36 and 12 are multiples of 4).
void StoreU32Ordered(BYTE* p, ULONG v) {
    __atomic_store_n(reinterpret_cast<ULONG*>(p), v, __ATOMIC_RELEASE);
}

void StoreByteOrdered(BYTE* p, BYTE v) {
    __atomic_store_n(p, v, __ATOMIC_RELEASE);
}

BYTE* RecordAt(BYTE* pFile, ULONG ulSlot) {
    return pFile + kIdmHeaderSize + size_t(kIdmRecordSize) * ulSlot;
}
const BYTE* RecordAt(const BYTE* pFile, ULONG ulSlot) {
    return pFile + kIdmHeaderSize + size_t(kIdmRecordSize) * ulSlot;
}

std::wstring Format(const wchar_t* pwszFormat, ...) {
    wchar_t wsz[256];
    va_list args;
    va_start(args, pwszFormat);
    std::vswprintf(wsz, 256, pwszFormat, args);
    va_end(args);
    return wsz;
}

}  // namespace

bool ReadIdmHeader(const BYTE* pFile, size_t cbFile, IdmHeader* pHeader) {
    if (cbFile < kIdmHeaderSize)
        return false;
    pHeader->ulSignature = LoadU32(pFile);
    pHeader->ftStamp = ReadIdmStamp(pFile);
    pHeader->ulSlotCount = LoadU32(pFile + 12);
    pHeader->ulTentativeCount = LoadU32(pFile + 16);
    pHeader->ulFlags = LoadU32(pFile + 20);
    return true;
}

void WriteIdmHeader(BYTE* pFile, const IdmHeader& header) {
    std::memset(pFile, 0, kIdmHeaderSize);
    StoreU32(pFile, header.ulSignature);
    WriteIdmStamp(pFile, header.ftStamp);
    StoreU32(pFile + 12, header.ulSlotCount);
    StoreU32(pFile + 16, header.ulTentativeCount);
    StoreU32(pFile + 20, header.ulFlags);
}

void WriteIdmStamp(BYTE* pFile, const FILETIME& ft) {
    StoreU32(pFile + 4, ft.dwLowDateTime);
    StoreU32(pFile + 8, ft.dwHighDateTime);
}

FILETIME ReadIdmStamp(const BYTE* pFile) {
    FILETIME ft;
    ft.dwLowDateTime = LoadU32(pFile + 4);
    ft.dwHighDateTime = LoadU32(pFile + 8);
    return ft;
}

void WriteIdmSlotCount(BYTE* pFile, ULONG ulSlots) {
    StoreU32Ordered(pFile + 12, ulSlots);
}
void WriteIdmTentativeCount(BYTE* pFile, ULONG ulCount) {
    StoreU32Ordered(pFile + 16, ulCount);
}

ULONG IdmRecordCheck(ULONG ulOstId, ULONG ulPstId) {
    uint64_t h = (uint64_t(ulOstId) << 32 | ulPstId) * 0x9E3779B97F4A7C15ull;
    h ^= h >> 29;
    h *= 0xBF58476D1CE4E5B9ull;
    h ^= h >> 32;
    return static_cast<ULONG>(h & 0xFFFFFF);
}

IdmRecord ReadIdmRecord(const BYTE* pFile, ULONG ulSlot) {
    const BYTE* p = RecordAt(pFile, ulSlot);
    IdmRecord record;
    record.ulOstId = LoadU32(p);
    record.ulPstId = LoadU32(p + 4);
    record.bTentative = p[8];
    record.ulCheck = ULONG(p[9]) | ULONG(p[10]) << 8 | ULONG(p[11]) << 16;
    return record;
}

IdmRecordState ClassifyIdmRecord(const IdmRecord& record, bool bChecks) {
    if (record.ulOstId == 0 && record.ulPstId == 0 && record.bTentative == 0 && record.ulCheck == 0)
        return IdmRecordState::Free;
    const bool bFieldsOk = record.ulPstId != 0 && (record.bTentative & ~(kTentativeAdd | kTentativeDel)) == 0 &&
                           record.ulCheck == (bChecks ? IdmRecordCheck(record.ulOstId, record.ulPstId) : 0);
    if (bFieldsOk)
        return IdmRecordState::Valid;
    // Bits are written first and cleared last, so a record a writer left half done has some.
    return (record.bTentative & (kTentativeAdd | kTentativeDel)) ? IdmRecordState::Torn : IdmRecordState::Bad;
}

void WriteIdmRecord(BYTE* pFile, ULONG ulSlot, ULONG ulOstId, ULONG ulPstId, BYTE bTentative, bool bChecks) {
    BYTE* p = RecordAt(pFile, ulSlot);
    // Until the last store the record carries a tentative bit, so a writer killed half way leaves
    // a torn record rather than a solid one with mixed fields.
    StoreByteOrdered(p + 8, static_cast<BYTE>(p[8] | (bTentative ? bTentative : kTentativeAdd)));
    StoreU32Ordered(p, ulOstId);
    StoreU32Ordered(p + 4, ulPstId);
    const ULONG ulCheck = bChecks ? IdmRecordCheck(ulOstId, ulPstId) : 0;
    StoreByteOrdered(p + 9, static_cast<BYTE>(ulCheck));
    StoreByteOrdered(p + 10, static_cast<BYTE>(ulCheck >> 8));
    StoreByteOrdered(p + 11, static_cast<BYTE>(ulCheck >> 16));
    StoreByteOrdered(p + 8, bTentative);
}

void WriteIdmRecordBits(BYTE* pFile, ULONG ulSlot, BYTE bTentative) {
    StoreByteOrdered(RecordAt(pFile, ulSlot) + 8, bTentative);
}

void ClearIdmRecord(BYTE* pFile, ULONG ulSlot) {
    BYTE* p = RecordAt(pFile, ulSlot);
    if (p[8] == 0)
        StoreByteOrdered(p + 8, kTentativeDel);
    StoreU32Ordered(p, 0);
    StoreU32Ordered(p + 4, 0);
    for (int i = 9; i < 12; ++i)
        StoreByteOrdered(p + i, 0);
    StoreByteOrdered(p + 8, 0);
}

IdmLayoutCheck CheckIdmLayout(const BYTE* pFile, size_t cbFile) {
    IdmLayoutCheck check;
    if (cbFile < kIdmNewFileSize || !ReadIdmHeader(pFile, cbFile, &check.header)) {
        check.wsProblem = Format(L"file of %zu bytes is shorter than a header and one record", cbFile);
        return check;
    }
    if (check.header.ulSignature != kIdmSignature) {
        check.wsProblem = Format(L"signature %08X", check.header.ulSignature);
        return check;
    }
    if ((cbFile - kIdmHeaderSize) % kIdmRecordSize != 0 || cbFile > 0xFFFFFFFFull) {
        check.wsProblem = Format(L"file size %zu is not a header and whole records", cbFile);
        return check;
    }
    if (check.header.ulFlags != 0 && check.header.ulFlags != kIdmFlagRecordChecks) {
        check.wsProblem = Format(L"unknown format flags %08X", check.header.ulFlags);
        return check;
    }
    for (ULONG i = 24; i < kIdmHeaderSize; ++i)
        if (pFile[i] != 0) {
            check.wsProblem = Format(L"reserved header byte %u is %02X", i, pFile[i]);
            return check;
        }
    check.ulSlotsInFile = static_cast<ULONG>((cbFile - kIdmHeaderSize) / kIdmRecordSize);
    const ULONG ulCounted = check.header.ulSlotCount;
    if (ulCounted == check.ulSlotsInFile) {
        check.layout = IdmLayout::Ok;
        return check;
    }
    if (ulCounted == 0 || ulCounted > check.ulSlotsInFile) {
        check.wsProblem = Format(L"header counts %u slots, the file holds %u", ulCounted, check.ulSlotsInFile);
        return check;
    }
    // Growth writes zero records first and counts them afterwards; anything else past the counted
    // slots means the count is wrong.
    for (ULONG slot = ulCounted; slot < check.ulSlotsInFile; ++slot)
        if (ClassifyIdmRecord(ReadIdmRecord(pFile, slot), false) != IdmRecordState::Free) {
            check.wsProblem = Format(L"header counts %u slots, slot %u past them is used", ulCounted, slot);
            return check;
        }
    check.layout = IdmLayout::SlotCountShort;
    return check;
}

std::wstring DumpIdMapperFile(const BYTE* pFile, size_t cbFile) {
    std::wstring ws = Format(L"size %zu\n", cbFile);
    IdmHeader header;
    if (!ReadIdmHeader(pFile, cbFile, &header))
        return ws + L"header: truncated\n";
    const ULONGLONG ullStamp = ULONGLONG(header.ftStamp.dwHighDateTime) << 32 | header.ftStamp.dwLowDateTime;
    ws += Format(L"signature %08X\nstamp %016llX\nslot count %u\ntentative count %u\nflags %08X\n", header.ulSignature,
                 ullStamp, header.ulSlotCount, header.ulTentativeCount, header.ulFlags);
    const IdmLayoutCheck check = CheckIdmLayout(pFile, cbFile);
    ws += check.layout == IdmLayout::Ok               ? std::wstring(L"layout ok\n")
          : check.layout == IdmLayout::SlotCountShort ? std::wstring(L"layout: slot count short\n")
                                                      : L"layout damaged: " + check.wsProblem + L"\n";
    if (check.layout == IdmLayout::Damaged)
        return ws;
    static const wchar_t* const kStates[] = {L"free", L"valid", L"torn", L"bad"};
    const bool bChecks = header.ulFlags == kIdmFlagRecordChecks;
    for (ULONG slot = 0; slot < check.ulSlotsInFile; ++slot) {
        const IdmRecord record = ReadIdmRecord(pFile, slot);
        const IdmRecordState state = ClassifyIdmRecord(record, bChecks);
        if (state == IdmRecordState::Free)
            continue;
        ws += Format(L"slot %u: ost %d pst %08X bits %02X check %06X %ls\n", slot, static_cast<LONG>(record.ulOstId),
                     record.ulPstId, record.bTentative, record.ulCheck, kStates[static_cast<int>(state)]);
    }
    return ws;
}

}  // namespace Ostrel::Mapi
