// The store calls the connector makes everywhere, with their failures logged, and the save
// flags for the client's item-processing pipeline.
#pragma once

#include "Ostrel/Store/NamedProps.h"

namespace Ostrel::Mapi {

// SetProps; a failure and every reported problem are logged. A value whose tag came from a
// missing named-property table (PR_NULL) fails the call with MAPI_E_INVALID_PARAMETER before the
// object is touched.
HRESULT WrapSetProps(IMAPIProp* pProp, ULONG cValues, SPropValue* pValues, SPropProblemArray** ppProblems,
                     NamedProps* pNamedProps);
// SaveChanges; with bForceOnConflict a save refused because another writer changed the object
// in between (MAPI_E_OBJECT_CHANGED) is repeated with FORCE_SAVE.
HRESULT WrapSaveChanges(IMAPIProp* pProp, ULONG ulFlags, int bForceOnConflict);
HRESULT WrapDeleteFolder(IMAPIFolder* pParent, ULONG cbEntryId, ENTRYID* pEntryId, ULONG_PTR ulUIParam,
                         IMAPIProgress* pProgress, ULONG ulFlags);
HRESULT WrapEmptyFolder(IMAPIFolder* pFolder, ULONG_PTR ulUIParam, IMAPIProgress* pProgress, ULONG ulFlags);

// Whether the message class begins with "Report.IPM.Note." (case-sensitive).
BOOL IsReceipt(IMAPIProp* pProp);

// ITEMPROC_FORCE | NON_EMS_XP_SAVE: the save hands the item to the client's rules.
constexpr ULONG kItemProcSaveFlags = 0x1800;
// ulFlags, with kItemProcSaveFlags added when the item should go through the client's rules.
// bNoRules, bDelegate, bRead and bNew are the caller's four conditions, in that order.
ULONG GetSaveChangesFlags(IMAPIProp* pProp, ULONG ulFlags, int bNoRules, int bDelegate, int bRead, int bNew);

}  // namespace Ostrel::Mapi
