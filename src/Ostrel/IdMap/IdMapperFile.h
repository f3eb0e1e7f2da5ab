// The item id mapper file: a 36-byte header followed by 12-byte records, all little-endian.
//
//   header  0 signature "OAPI" (legacy "MAPI")   4 stamp (FILETIME, unaligned)
//          12 slot count  16 tentative count  20 format flags  24..35 zero
//   record  0 OstID  4 PstID  8 tentative bits (0x01 ADD, 0x02 DEL)  9..11 record check
//
// The tentative count is the number of records in the file that carry tentative bits. With the
// format flag kIdmFlagRecordChecks set, bytes 9..11 of a used record hold a 24-bit check of its
// OstID and PstID, so that a damaged record is told from a valid one; without it they are zero.
// Writers store the bits of a record before its ids and its check after them, so that a record
// cut short by a killed writer always carries a tentative bit.
#pragma once

#include <cstddef>
#include <string>

#include "Platform/Base/WinTypes.h"

namespace Ostrel::Mapi {

constexpr ULONG kIdmSignature = 0x4950414F;        // "OAPI"
constexpr ULONG kIdmLegacySignature = 0x4950414D;  // "MAPI"
constexpr ULONG kIdmHeaderSize = 36;
constexpr ULONG kIdmRecordSize = 12;
constexpr ULONG kIdmNewFileSize = kIdmHeaderSize + kIdmRecordSize;
constexpr ULONG kIdmGrowSlots = 1024;
constexpr ULONG kIdmLegacyHeaderSize = 16;
constexpr ULONG kIdmLegacyRecordSize = 8;
constexpr ULONG kIdmFlagRecordChecks = 0x00000001;
// Largest slot count whose file size still fits a ULONG.
constexpr ULONG kIdmMaxSlots = (0xFFFFFFFFu - kIdmHeaderSize) / kIdmRecordSize;

constexpr BYTE kTentativeAdd = 0x01;
constexpr BYTE kTentativeDel = 0x02;

struct IdmHeader {
    ULONG ulSignature = kIdmSignature;
    FILETIME ftStamp{};
    ULONG ulSlotCount = 1;
    ULONG ulTentativeCount = 0;
    ULONG ulFlags = kIdmFlagRecordChecks;
};

struct IdmRecord {
    ULONG ulOstId = 0;
    ULONG ulPstId = 0;
    BYTE bTentative = 0;
    ULONG ulCheck = 0;  // bytes 9..11
};

enum class IdmRecordState {
    Free,   // every byte zero
    Valid,  // a mapping whose fields and check agree
    Torn,   // carries tentative bits but its fields or check disagree: a write that was cut short
    Bad,    // no tentative bits and fields that disagree: damage
};

// What the layout of a whole file says before its records are read.
enum class IdmLayout {
    Ok,
    SlotCountShort,  // more whole zero records than the header counts: a growth that was cut short
    Damaged,
};

struct IdmLayoutCheck {
    IdmLayout layout = IdmLayout::Damaged;
    IdmHeader header;
    ULONG ulSlotsInFile = 0;
    std::wstring wsProblem;  // why the file is damaged
};

inline bool SameStamp(const FILETIME& a, const FILETIME& b) {
    return a.dwLowDateTime == b.dwLowDateTime && a.dwHighDateTime == b.dwHighDateTime;
}

bool ReadIdmHeader(const BYTE* pFile, size_t cbFile, IdmHeader* pHeader);
void WriteIdmHeader(BYTE* pFile, const IdmHeader& header);
void WriteIdmStamp(BYTE* pFile, const FILETIME& ft);
FILETIME ReadIdmStamp(const BYTE* pFile);
void WriteIdmSlotCount(BYTE* pFile, ULONG ulSlots);
void WriteIdmTentativeCount(BYTE* pFile, ULONG ulCount);

// The 24-bit check of a used record.
ULONG IdmRecordCheck(ULONG ulOstId, ULONG ulPstId);

IdmRecord ReadIdmRecord(const BYTE* pFile, ULONG ulSlot);
IdmRecordState ClassifyIdmRecord(const IdmRecord& record, bool bChecks);
// Writes a whole record in the crash-safe order: bits, OstID, PstID, check.
void WriteIdmRecord(BYTE* pFile, ULONG ulSlot, ULONG ulOstId, ULONG ulPstId, BYTE bTentative, bool bChecks);
void WriteIdmRecordBits(BYTE* pFile, ULONG ulSlot, BYTE bTentative);
// Frees a record: ids and check first, the bits last.
void ClearIdmRecord(BYTE* pFile, ULONG ulSlot);

// Checks the header against the file size. Never reads past cbFile.
IdmLayoutCheck CheckIdmLayout(const BYTE* pFile, size_t cbFile);

// A field-by-field text of a mapper file (header, then every slot that is not free), naming what
// is wrong with it; the debug dump and the golden test format.
std::wstring DumpIdMapperFile(const BYTE* pFile, size_t cbFile);

}  // namespace Ostrel::Mapi
