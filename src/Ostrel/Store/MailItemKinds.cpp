// The message and folder kinds of store items: tags, flags and parents.
#include <memory>

#include "Ostrel/Store/Folder.h"
#include "Ostrel/Store/MailItem.h"
#include "Ostrel/Store/StoreFolders.h"
#include "Ostrel/Store/StoreText.h"
#include "Util/Log/Log.h"

namespace Ostrel::Mapi {

namespace {

// PR_LAST_VERB_EXECUTED values.
constexpr LONG kVerbReplyToSender = 102;
constexpr LONG kVerbReplyToAll = 103;
constexpr LONG kVerbForward = 104;
// PR_FLAG_STATUS: followupFlagged.
constexpr LONG kFlagStatusFlagged = 2;

struct RowsHolder {
    LPSRowSet p = nullptr;
    ~RowsHolder() { FreeProws(p); }
};

IUnknown* OpenByEntryId(IMAPIProp* pContainer, bool bStore, const SBinary* pEntryId, ULONG* pulType) {
    IUnknown* pUnk = nullptr;
    *pulType = 0;
    if (!pContainer || !pEntryId)
        return nullptr;
    auto* pEid = reinterpret_cast<LPENTRYID>(pEntryId->lpb);
    HRESULT hr = bStore ? static_cast<IMsgStore*>(pContainer)
                              ->OpenEntry(pEntryId->cb, pEid, nullptr, MAPI_BEST_ACCESS, pulType, &pUnk)
                        : static_cast<IMAPIFolder*>(pContainer)
                              ->OpenEntry(pEntryId->cb, pEid, nullptr, MAPI_BEST_ACCESS, pulType, &pUnk);
    if (FAILED(hr)) {
        OSTLOG_ERROR(L"OpenEntry() failed, hr: %x", hr);
        return nullptr;
    }
    return pUnk;
}

// The tag messages of the store's tag folder: name and server tag id.
HRESULT ReadTags(IMsgStore* pStore, NamedProps* pNamedProps, RowsHolder& rows) {
    Platform::ComPtr<IMAPIFolder> pTags;
    pTags.Attach(GetTagFolder(pStore));
    if (!pTags)
        return MAPI_E_NOT_FOUND;
    Platform::ComPtr<IMAPITable> pTable;
    HRESULT hr = pTags->GetContentsTable(MAPI_ASSOCIATED | MAPI_UNICODE, pTable.AddressOf());
    if (FAILED(hr))
        return hr;
    SizedSPropTagArray(2, cols) = {2, {PR_DISPLAY_NAME_W, NAMED_PROP(NamedProps::OSTREL_ID, PT_LONG, pNamedProps)}};
    return QueryAllRows(pTable.Get(), reinterpret_cast<LPSPropTagArray>(&cols), &rows.p);
}

}  // namespace

OstrelMailItem::OstrelMailItem(IMAPIProp* pProp, IMsgStore* pStore) : OstrelMailItemBase(pProp), m_pStore(pStore) {}

OstrelMailItem::OstrelMailItem(const SBinary* pEntryId, IMsgStore* pStore) : m_pStore(pStore) {
    ULONG ulType = 0;
    IUnknown* pUnk = OpenByEntryId(pStore, true, pEntryId, &ulType);
    if (!pUnk)
        return;
    m_pProp.Attach(static_cast<IMAPIProp*>(pUnk));
    m_pNamedProps = NamedPropsManager::GetNamedPropsFromMAPIProp(m_pProp.Get());
}

Mail::TagNameList* OstrelMailItem::OstrelTagNames() {
    auto pNames = std::make_unique<Mail::TagNameList>();
    LPSPropValue pValue = nullptr;
    if (SUCCEEDED(GetOne(Tag(NamedProps::KEYWORDS, PT_MV_UNICODE), &pValue)))
        for (ULONG i = 0; i < pValue->Value.MVszW.cValues; ++i)
            if (pValue->Value.MVszW.lppszW[i])
                pNames->push_back(pValue->Value.MVszW.lppszW[i]);
    MAPIFreeBuffer(pValue);
    return pNames.release();
}

Mail::TagIdList* OstrelMailItem::OstrelTagIds() {
    auto pIds = std::make_unique<Mail::TagIdList>();
    std::unique_ptr<Mail::TagNameList> pNames(OstrelTagNames());
    if (pNames->empty())
        return pIds.release();
    RowsHolder rows;
    if (FAILED(ReadTags(m_pStore.Get(), m_pNamedProps, rows))) {
        OSTLOG_ERROR(L"Failed to get tags folder");
        return pIds.release();
    }
    const ULONG ulIdTag = Tag(NamedProps::OSTREL_ID, PT_LONG);
    for (const std::wstring& wsName : *pNames)
        for (ULONG i = 0; i < rows.p->cRows; ++i) {
            const SRow& row = rows.p->aRow[i];
            const wchar_t* pwsz = RowString(row, 0, PR_DISPLAY_NAME_W);
            if (pwsz && row.cValues > 1 && row.lpProps[1].ulPropTag == ulIdTag && EqualsNoCase(pwsz, wsName)) {
                pIds->push_back(row.lpProps[1].Value.l);
                break;
            }
        }
    return pIds.release();
}

void OstrelMailItem::FreeTagIds(Mail::TagIdList*& pIds) {
    delete pIds;
    pIds = nullptr;
}

void OstrelMailItem::FreeTagNames(Mail::TagNameList*& pNames) {
    delete pNames;
    pNames = nullptr;
}

Mail::MessageFlags OstrelMailItem::OstrelMessageFlags(Mail::MailItemType type) {
    Mail::MessageFlags flags;
    if (!m_pProp) {
        OSTLOG_ERROR(L"invalid inner pointer");
        return flags;
    }
    SizedSPropTagArray(5, tags) = {
        5, {PR_MESSAGE_FLAGS, PR_LAST_VERB_EXECUTED, PR_FLAG_STATUS, PR_FOLLOWUP_ICON, PR_MESSAGE_CLASS_W}};
    ULONG cValues = 0;
    LPSPropValue pValues = nullptr;
    if (FAILED(m_pProp->GetProps(reinterpret_cast<LPSPropTagArray>(&tags), MAPI_UNICODE, &cValues, &pValues)) ||
        cValues != 5) {
        MAPIFreeBuffer(pValues);
        return flags;
    }
    if (pValues[0].ulPropTag == PR_MESSAGE_FLAGS) {
        const ULONG ul = pValues[0].Value.ul;
        flags.Unread(!(ul & MSGFLAG_READ));
        flags.Attach(ul & MSGFLAG_HASATTACH);
        flags.FromMe(ul & MSGFLAG_FROMME);
        flags.Draft(ul & MSGFLAG_UNSENT);
    }
    if (pValues[1].ulPropTag == PR_LAST_VERB_EXECUTED) {
        const LONG l = pValues[1].Value.l;
        flags.Replied(l == kVerbReplyToSender || l == kVerbReplyToAll);
        flags.Forwarded(l == kVerbForward);
    }
    const bool bFlagged = (pValues[2].ulPropTag == PR_FLAG_STATUS && pValues[2].Value.l == kFlagStatusFlagged) ||
                          (pValues[3].ulPropTag == PR_FOLLOWUP_ICON && pValues[3].Value.l != 0);
    flags.Flagged(bFlagged);
    flags.IsNote(type == Mail::MIT_NOTE);
    if (pValues[4].ulPropTag == PR_MESSAGE_CLASS_W && pValues[4].Value.lpszW) {
        const std::wstring_view wsClass(pValues[4].Value.lpszW);
        flags.IsPost(wsClass.size() >= 8 && EqualsNoCase(wsClass.substr(0, 8), L"IPM.Post"));
    }
    MAPIFreeBuffer(pValues);
    return flags;
}

IMAPIFolder* OstrelMailItem::ParentMapiFolder() {
    SBinary eid{0, nullptr};
    if (FAILED(ParentEntryId(&eid)))
        return nullptr;
    ULONG ulType = 0;
    IUnknown* pUnk = OpenByEntryId(m_pStore.Get(), true, &eid, &ulType);
    MAPIFreeBuffer(eid.lpb);
    if (pUnk && ulType != MAPI_FOLDER) {
        pUnk->Release();
        return nullptr;
    }
    return static_cast<IMAPIFolder*>(pUnk);
}

Folder OstrelMailItem::ParentFolder() {
    Platform::ComPtr<IMAPIFolder> pParent;
    pParent.Attach(ParentMapiFolder());
    return Folder(pParent.Get(), m_pStore.Get());
}

OstrelFolderMailItem::OstrelFolderMailItem(IMAPIProp* pProp, IMAPIFolder* pParent)
    : OstrelMailItemBase(pProp), m_pParent(pParent) {}

OstrelFolderMailItem::OstrelFolderMailItem(const SBinary* pEntryId, IMAPIFolder* pParent) : m_pParent(pParent) {
    ULONG ulType = 0;
    IUnknown* pUnk = OpenByEntryId(pParent, false, pEntryId, &ulType);
    if (!pUnk)
        return;
    m_pProp.Attach(static_cast<IMAPIProp*>(pUnk));
    m_pNamedProps = NamedPropsManager::GetNamedPropsFromMAPIProp(m_pProp.Get());
}

IMAPIFolder* OstrelFolderMailItem::ParentMapiFolder() {
    if (m_pParent)
        m_pParent->AddRef();
    return m_pParent.Get();
}

}  // namespace Ostrel::Mapi
