// Where a store's mapper files live (beside the store file) and the names of the per-store
// cross-process objects that guard them.
#pragma once

#include <string>

#include "Ostrel/IdMap/StoreStamps.h"

namespace Ostrel::Mapi {

enum class IdmFileKind {
    Item,  // "<store>.idm", or "<store>.idmv" for the verifiable name
    Gal,   // "<store>_GAL.idm(v)"
    Gal2,  // "<store>_GAL2.idm", the GAL file with references
};

// The mapper file path of pStore (read through pPrimaryStore's entry id when one is given, the
// display name of pStore then joining the name). FALSE with an empty path when the store's entry
// id holds no store file path; the first such failure in a process tells the user and asks the
// client to close.
BOOL GetIDMFilePath(IMsgStore* pPrimaryStore, IMsgStore* pStore, IdmFileKind kind, BOOL bVerifiable,
                    std::wstring* pwsPath);

// "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}" of the record key taken as a GUID.
std::wstring RecordKeyGuidString(const RecordKey& key);

}  // namespace Ostrel::Mapi
