#include "Ostrel/Store/Message.h"

#include <memory>

#include "Ostrel/Store/ChangeKey.h"
#include "Ostrel/Store/StoreFolders.h"
#include "Ostrel/Store/StoreText.h"
#include "Ostrel/Store/StoreWrap.h"
#include "Util/Log/Log.h"

namespace Ostrel::Mapi {

namespace {

constexpr LONG kFlagStatusFlagged = 2;

struct BufferHolder {
    LPSPropValue p = nullptr;
    ~BufferHolder() { MAPIFreeBuffer(p); }
};

struct RowsHolder {
    LPSRowSet p = nullptr;
    ~RowsHolder() { FreeProws(p); }
};

// The names of the server tag ids, in the ids' order, from the tag folder; unknown ids are skipped.
std::vector<std::wstring> TagNamesOfIds(IMsgStore* pStore, NamedProps* pNamedProps, const std::vector<LONG>& ids) {
    std::vector<std::wstring> names;
    Platform::ComPtr<IMAPIFolder> pTags;
    pTags.Attach(GetTagFolder(pStore));
    Platform::ComPtr<IMAPITable> pTable;
    if (!pTags || FAILED(pTags->GetContentsTable(MAPI_ASSOCIATED | MAPI_UNICODE, pTable.AddressOf()))) {
        OSTLOG_ERROR(L"Failed to get tags folder");
        return names;
    }
    const ULONG ulIdTag = NAMED_PROP(NamedProps::OSTREL_ID, PT_LONG, pNamedProps);
    SizedSPropTagArray(2, cols) = {2, {PR_DISPLAY_NAME_W, ulIdTag}};
    RowsHolder rows;
    if (FAILED(QueryAllRows(pTable.Get(), reinterpret_cast<LPSPropTagArray>(&cols), &rows.p)))
        return names;
    for (LONG lId : ids)
        for (ULONG i = 0; i < rows.p->cRows; ++i) {
            const SRow& row = rows.p->aRow[i];
            const wchar_t* pwsz = RowString(row, 0, PR_DISPLAY_NAME_W);
            if (pwsz && row.cValues > 1 && row.lpProps[1].ulPropTag == ulIdTag && row.lpProps[1].Value.l == lId) {
                names.push_back(pwsz);
                break;
            }
        }
    return names;
}

}  // namespace

Message::Message(IMessage* pMessage, IMsgStore* pStore)
    : m_pMessage(pMessage),
      m_pStore(pStore),
      m_pNamedProps(pMessage ? NamedPropsManager::GetNamedPropsFromMAPIProp(pMessage) : nullptr) {}

Message::Message(const SBinary* pEntryId, IMsgStore* pStore) : m_pStore(pStore) {
    if (!pEntryId || !pStore) {
        OSTLOG_ERROR(L"invalid inner pointer");
        return;
    }
    ULONG ulType = 0;
    IUnknown* pUnk = nullptr;
    HRESULT hr = pStore->OpenEntry(pEntryId->cb, reinterpret_cast<LPENTRYID>(pEntryId->lpb), &IID_IMessage,
                                   MAPI_BEST_ACCESS, &ulType, &pUnk);
    if (SUCCEEDED(hr) && ulType != MAPI_MESSAGE) {
        pUnk->Release();
        hr = MAPI_E_INVALID_ENTRYID;
    }
    if (FAILED(hr)) {
        OSTLOG_ERROR(L"OpenEntry() failed, hr: %x", hr);
        return;
    }
    m_pMessage.Attach(static_cast<IMessage*>(pUnk));
    m_pNamedProps = NamedPropsManager::GetNamedPropsFromMAPIProp(m_pMessage.Get());
}

Message::~Message() = default;

LONG Message::ConvId() {
    if (!m_pMessage)
        return 0;
    LPSPropValue pValue = nullptr;
    LONG l = 0;
    if (SUCCEEDED(HrGetOneProp(m_pMessage.Get(), NAMED_PROP(NamedProps::CONV_ID, PT_LONG, m_pNamedProps), &pValue)))
        l = pValue->Value.l;
    MAPIFreeBuffer(pValue);
    return l;
}

HRESULT Message::ConvId(LONG lConvId) {
    if (!m_pMessage) {
        OSTLOG_ERROR(L"invalid inner pointer");
        return E_POINTER;
    }
    SPropValue value{};
    value.ulPropTag = NAMED_PROP(NamedProps::CONV_ID, PT_LONG, m_pNamedProps);
    value.Value.l = lConvId;
    return WrapSetProps(m_pMessage.Get(), 1, &value, nullptr, m_pNamedProps);
}

HRESULT Message::Update(const std::vector<LONG>& tagIds, const std::vector<std::wstring>& tagNames, LONG lConvId,
                        const wchar_t* pwszFlags) {
    if (!m_pMessage) {
        OSTLOG_ERROR(L"invalid inner pointer");
        return E_POINTER;
    }
    if (!m_pNamedProps) {
        OSTLOG_ERROR(L"could not init name props...");
        return MAPI_E_NOT_FOUND;
    }
    const ULONG ulKeywords = NAMED_PROP(NamedProps::KEYWORDS, PT_MV_UNICODE, m_pNamedProps);
    const ULONG ulConv = NAMED_PROP(NamedProps::CONV_ID, PT_LONG, m_pNamedProps);
    SizedSPropTagArray(4, tags) = {4, {ulKeywords, ulConv, PR_MESSAGE_FLAGS, PR_FLAG_STATUS}};
    ULONG cValues = 0;
    BufferHolder current;
    HRESULT hr = m_pMessage->GetProps(reinterpret_cast<LPSPropTagArray>(&tags), MAPI_UNICODE, &cValues, &current.p);
    if (FAILED(hr) || cValues != 4) {
        OSTLOG_ERROR(L"GetProps() failed, hr: %x", hr);
        return FAILED(hr) ? hr : MAPI_E_CALL_FAILED;
    }

    const std::vector<std::wstring> names =
        !tagNames.empty() || tagIds.empty() ? tagNames : TagNamesOfIds(m_pStore.Get(), m_pNamedProps, tagIds);
    std::vector<std::wstring> oldNames;
    if (current.p[0].ulPropTag == ulKeywords)
        for (ULONG i = 0; i < current.p[0].Value.MVszW.cValues; ++i)
            oldNames.push_back(current.p[0].Value.MVszW.lppszW[i] ? current.p[0].Value.MVszW.lppszW[i] : L"");
    const bool bKeywordsChange = names != oldNames;
    const bool bConvChange = current.p[1].ulPropTag != ulConv || current.p[1].Value.l != lConvId;

    bool bReadChange = false, bUnread = false, bFlagChange = false, bFlagged = false;
    if (pwszFlags) {
        Mail::MessageFlags flags;
        flags.FromString(pwszFlags);
        bUnread = flags.Unread() != 0;
        bFlagged = flags.Flagged() != 0;
        const bool bWasRead = current.p[2].ulPropTag == PR_MESSAGE_FLAGS && (current.p[2].Value.ul & MSGFLAG_READ);
        const bool bWasFlagged = current.p[3].ulPropTag == PR_FLAG_STATUS && current.p[3].Value.l == kFlagStatusFlagged;
        bReadChange = bWasRead == bUnread;
        bFlagChange = bWasFlagged != bFlagged;
    }
    if (!bKeywordsChange && !bConvChange && !bReadChange && !bFlagChange)
        return S_OK;

    std::vector<SPropValue> values;
    std::vector<wchar_t*> ptrs;
    for (const std::wstring& ws : names)
        ptrs.push_back(const_cast<wchar_t*>(ws.c_str()));
    if (bKeywordsChange && !names.empty()) {
        SPropValue v{};
        v.ulPropTag = ulKeywords;
        v.Value.MVszW = {static_cast<ULONG>(ptrs.size()), ptrs.data()};
        values.push_back(v);
    }
    if (bConvChange) {
        SPropValue v{};
        v.ulPropTag = ulConv;
        v.Value.l = lConvId;
        values.push_back(v);
    }
    if (bFlagChange) {
        SPropValue v{};
        v.ulPropTag = PR_FLAG_STATUS;
        v.Value.l = bFlagged ? kFlagStatusFlagged : 0;
        values.push_back(v);
    }
    if (!values.empty())
        hr = WrapSetProps(m_pMessage.Get(), static_cast<ULONG>(values.size()), values.data(), nullptr, m_pNamedProps);
    if (SUCCEEDED(hr) && bKeywordsChange && names.empty()) {
        SizedSPropTagArray(1, del) = {1, {ulKeywords}};
        hr = m_pMessage->DeleteProps(reinterpret_cast<LPSPropTagArray>(&del), nullptr);
    }
    if (SUCCEEDED(hr) && bReadChange)
        hr = m_pMessage->SetReadFlag(SUPPRESS_RECEIPT | (bUnread ? CLEAR_READ_FLAG : 0));
    if (SUCCEEDED(hr) && (bKeywordsChange || bReadChange || bFlagChange) && !UpdateChangeKey(m_pMessage.Get()))
        hr = MAPI_E_CALL_FAILED;
    if (SUCCEEDED(hr))
        hr = WrapSaveChanges(m_pMessage.Get(), KEEP_OPEN_READWRITE, 1);
    return hr;
}

}  // namespace Ostrel::Mapi
