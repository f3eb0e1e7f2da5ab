// Store diagnostics for the log: every property of a store, folder or message, an entry id's
// fields, and the store's own explanation of a failed call.
#pragma once

#include "Platform/Mapi/Mapi.h"

namespace Ostrel::Mapi {

// Each logs a header line and the object's properties at the dump level (nothing when that level
// is off).
void DumpStoreInfo(IMsgStore* pStore);
void DumpFolderInfo(IMAPIFolder* pFolder);
void DumpMessageInfo(IMessage* pMessage);
// The flags, provider or record key and node id of a store object's entry id, or its bytes in
// hexadecimal when it has another layout.
void DumpPropInfoEntryID(const wchar_t* pwszTitle, ULONG cb, const BYTE* pb);
// Logs the failed call pwszCall (at nLine) with hr and, when the object has one, the store's
// error text for it.
void ProcessLastError(IMAPIProp* pProp, HRESULT hr, const wchar_t* pwszCall, int nLine);

}  // namespace Ostrel::Mapi
