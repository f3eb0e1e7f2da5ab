// Outlook global object ids: the 16-byte class id, the instance date, a creation time and the
// data that tells one meeting from another. An iCalendar UID that is such an id in hexadecimal
// is that id; any other UID is carried inside one after the marker "vCal-Uid".
#pragma once

#include "Platform/Mapi/Mapi.h"

namespace Ostrel::Mapi {

// The size of an id without its data: class id, date, creation time, reserved bytes, data size.
constexpr ULONG kGlobalObjectIdHeaderSize = 40;

// A new id holding `data`: date 0, creation time now (0 with bNoTime). *ppb is a MAPI buffer.
HRESULT CreateOutlookUid(ULONG* pcb, BYTE** ppb, const SBinary& data, int bNoTime);
// The UID of an id (the carried UID, or the whole id in upper-case hexadecimal) as a MAPI buffer;
// null for an empty id or when memory runs out.
char* OlkUidToICalUid(const SBinary& goid);
// The id of a UID into out.lpb (a MAPI buffer the caller frees). FALSE for a null UID, one that
// cannot be carried, or when memory runs out.
BOOL ICalUidToOlkUid(const char* pszUid, SBinary& out);
// The same with the instance date set (year big-endian at bytes 16-17, month, day).
BOOL ICalUidToOlkUid(const char* pszUid, SBinary& out, USHORT usYear, ULONG ulMonth, USHORT usDay);

}  // namespace Ostrel::Mapi
