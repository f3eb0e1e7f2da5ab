// Folder operations on what a folder holds: its access-control list, its messages and
// subfolders, its original name and the messages that reserve subfolder names.
#include <cstring>
#include <string>

#include "Ostrel/Store/Folder.h"
#include "Ostrel/Store/MailItem.h"
#include "Ostrel/Store/StoreText.h"
#include "Ostrel/Store/StoreWrap.h"
#include "Util/Log/Log.h"

namespace Ostrel::Mapi {

namespace {

constexpr ULONG kGroupBit = 0x10000;
constexpr ULONG kRightsMask = 0x7FFF;

struct RowsHolder {
    LPSRowSet p = nullptr;
    ~RowsHolder() { FreeProws(p); }
};

}  // namespace

void Folder::Acl(const ACL& acl) {
    OSTLOG_BLOCK(16, 0, L"Ostrel::Mapi::Folder::Acl");
    if (!m_pFolder || acl.empty())
        return;
    const ULONG c = static_cast<ULONG>(acl.size());
    std::vector<LONG> rights(c), types(c);
    std::vector<wchar_t*> ids(c), names(c), displayNames(c), passwords(c);
    for (ULONG i = 0; i < c; ++i) {
        const AclGrant& grant = acl[i];
        rights[i] = static_cast<LONG>(grant.m_ulRights | (grant.m_bIsGroup ? kGroupBit : 0));
        types[i] = static_cast<LONG>(grant.m_eGranteeType);
        const std::wstring& wsId = grant.m_wsGranteeId.empty() ? grant.m_wsGranteeName : grant.m_wsGranteeId;
        ids[i] = const_cast<wchar_t*>(wsId.c_str());
        names[i] = const_cast<wchar_t*>(grant.m_wsGranteeName.c_str());
        displayNames[i] = const_cast<wchar_t*>(grant.m_wsDisplayName.c_str());
        passwords[i] = const_cast<wchar_t*>(grant.m_wsPassword.c_str());
    }
    SPropValue values[6]{};
    values[0].ulPropTag = NAMED_PROP(NamedProps::ACL_RIGHTS, PT_MV_LONG, m_pNamedProps);
    values[0].Value.MVl = {c, rights.data()};
    values[1].ulPropTag = NAMED_PROP(NamedProps::ACL_GRANTEE_IDS, PT_MV_UNICODE, m_pNamedProps);
    values[1].Value.MVszW = {c, ids.data()};
    values[2].ulPropTag = NAMED_PROP(NamedProps::ACL_GRANTEE_NAMES, PT_MV_UNICODE, m_pNamedProps);
    values[2].Value.MVszW = {c, names.data()};
    values[3].ulPropTag = NAMED_PROP(NamedProps::ACL_DISPLAY_NAMES, PT_MV_UNICODE, m_pNamedProps);
    values[3].Value.MVszW = {c, displayNames.data()};
    values[4].ulPropTag = NAMED_PROP(NamedProps::ACL_GRANTEE_TYPES, PT_MV_LONG, m_pNamedProps);
    values[4].Value.MVl = {c, types.data()};
    values[5].ulPropTag = NAMED_PROP(NamedProps::ACL_PASSWORDS, PT_MV_UNICODE, m_pNamedProps);
    values[5].Value.MVszW = {c, passwords.data()};
    HRESULT hr = WrapSetProps(m_pFolder.Get(), 6, values, nullptr, m_pNamedProps);
    if (FAILED(hr)) {
        OSTLOG_ERROR(L"SetProps hr(%x)", hr);
        return;
    }
    hr = m_pFolder->SaveChanges(KEEP_OPEN_READWRITE);
    if (FAILED(hr))
        OSTLOG_ERROR(L"SaveChanges hr(%x)", hr);
}

ACL Folder::Acl() {
    ACL acl;
    if (!m_pFolder)
        return acl;
    const ULONG ulRights = NAMED_PROP(NamedProps::ACL_RIGHTS, PT_MV_LONG, m_pNamedProps);
    const ULONG ulIds = NAMED_PROP(NamedProps::ACL_GRANTEE_IDS, PT_MV_UNICODE, m_pNamedProps);
    const ULONG ulNames = NAMED_PROP(NamedProps::ACL_GRANTEE_NAMES, PT_MV_UNICODE, m_pNamedProps);
    const ULONG ulDisplay = NAMED_PROP(NamedProps::ACL_DISPLAY_NAMES, PT_MV_UNICODE, m_pNamedProps);
    const ULONG ulTypes = NAMED_PROP(NamedProps::ACL_GRANTEE_TYPES, PT_MV_LONG, m_pNamedProps);
    const ULONG ulPasswords = NAMED_PROP(NamedProps::ACL_PASSWORDS, PT_MV_UNICODE, m_pNamedProps);
    SizedSPropTagArray(6, tags) = {6, {ulRights, ulIds, ulNames, ulDisplay, ulTypes, ulPasswords}};
    ULONG cValues = 0;
    LPSPropValue pValues = nullptr;
    HRESULT hr = m_pFolder->GetProps(reinterpret_cast<LPSPropTagArray>(&tags), MAPI_UNICODE, &cValues, &pValues);
    if (FAILED(hr) || cValues != 6 || pValues[0].ulPropTag != ulRights || pValues[1].ulPropTag != ulIds) {
        MAPIFreeBuffer(pValues);
        return acl;
    }
    // A value list shorter than the rights list (a store written by hand, or damaged) gives
    // empty texts for the missing grants rather than reading past its end.
    auto text = [&](ULONG k, ULONG ulTag, ULONG i) -> const wchar_t* {
        const SPropValue& v = pValues[k];
        return v.ulPropTag == ulTag && i < v.Value.MVszW.cValues && v.Value.MVszW.lppszW[i] ? v.Value.MVszW.lppszW[i]
                                                                                            : nullptr;
    };
    const SLongArray& rights = pValues[0].Value.MVl;
    for (ULONG i = 0; i < rights.cValues; ++i) {
        AclGrant grant;
        if (const wchar_t* pwsz = text(1, ulIds, i))
            grant.m_wsGranteeId = pwsz;
        const wchar_t* pwszName = text(2, ulNames, i);
        grant.m_wsGranteeName = pwszName ? std::wstring(pwszName) : grant.m_wsGranteeId;
        const ULONG ul = static_cast<ULONG>(rights.lpl[i]);
        grant.m_ulRights = ul & kRightsMask;
        grant.m_bIsGroup = (ul & kGroupBit) ? 1 : 0;
        if (pValues[4].ulPropTag == ulTypes && i < pValues[4].Value.MVl.cValues) {
            const LONG lType = pValues[4].Value.MVl.lpl[i];
            grant.m_eGranteeType = lType >= 0 && lType <= 3 ? static_cast<GranteeType>(lType) : GT_USER_OR_GROUP;
        }
        if (const wchar_t* pwsz = text(5, ulPasswords, i))
            grant.m_wsPassword = pwsz;
        if (const wchar_t* pwsz = text(3, ulDisplay, i))
            grant.m_wsDisplayName = pwsz;
        acl.push_back(std::move(grant));
    }
    MAPIFreeBuffer(pValues);
    return acl;
}

HRESULT Folder::DeleteMessage(ULONG cb, ENTRYID* pEntryId) {
    if (!m_pFolder || !pEntryId) {
        OSTLOG_ERROR(L"invalid inner pointer");
        return E_POINTER;
    }
    SBinary bin{cb, reinterpret_cast<LPBYTE>(pEntryId)};
    ENTRYLIST list{1, &bin};
    HRESULT hr = m_pFolder->DeleteMessages(&list, 0, nullptr, 0);
    if (FAILED(hr))
        OSTLOG_ERROR(L"DeleteMessages() failed, hr: %x", hr);
    return hr;
}

HRESULT Folder::DeleteFolder(ULONG cb, ENTRYID* pEntryId) {
    return WrapDeleteFolder(m_pFolder.Get(), cb, pEntryId, 0, nullptr, DEL_FOLDERS | DEL_MESSAGES);
}

HRESULT Folder::MoveMessage(ULONG cb, ENTRYID* pEntryId, Folder& to) {
    if (!m_pFolder || !pEntryId || !to.m_pFolder) {
        OSTLOG_ERROR(L"invalid inner pointer");
        return E_POINTER;
    }
    SBinary bin{cb, reinterpret_cast<LPBYTE>(pEntryId)};
    ENTRYLIST list{1, &bin};
    HRESULT hr = m_pFolder->CopyMessages(&list, &IID_IMAPIFolder, to.m_pFolder.Get(), 0, nullptr, MESSAGE_MOVE);
    if (FAILED(hr))
        OSTLOG_ERROR(L"CopyMessages(MESSAGE_MOVE) failed, hr: %x", hr);
    return hr;
}

HRESULT Folder::MoveFolder(ULONG cb, ENTRYID* pEntryId, Folder& to) {
    if (!m_pFolder || !pEntryId || !to.m_pFolder) {
        OSTLOG_ERROR(L"invalid inner pointer");
        return E_POINTER;
    }
    HRESULT hr =
        m_pFolder->CopyFolder(cb, pEntryId, &IID_IMAPIFolder, to.m_pFolder.Get(), nullptr, 0, nullptr, FOLDER_MOVE);
    if (FAILED(hr))
        OSTLOG_ERROR(L"CopyFolder(FOLDER_MOVE) failed, hr: %x", hr);
    return hr;
}

HRESULT Folder::CopyMessage(ULONG cb, ENTRYID* pEntryId) {
    if (!m_pFolder || !pEntryId) {
        OSTLOG_ERROR(L"invalid inner pointer");
        return E_POINTER;
    }
    SBinary bin{cb, reinterpret_cast<LPBYTE>(pEntryId)};
    ENTRYLIST list{1, &bin};
    HRESULT hr = m_pFolder->CopyMessages(&list, &IID_IMAPIFolder, m_pFolder.Get(), 0, nullptr, 0);
    if (FAILED(hr))
        OSTLOG_ERROR(L"CopyMessages() failed, hr: %x", hr);
    return hr;
}

HRESULT Folder::RestoreOriginalName() {
    if (!m_pFolder) {
        OSTLOG_ERROR(L"invalid inner pointer");
        return E_POINTER;
    }
    const ULONG ulTag = NAMED_PROP(NamedProps::ORIGINAL_NAME, PT_UNICODE, m_pNamedProps);
    LPSPropValue pValue = nullptr;
    HRESULT hr = HrGetOneProp(m_pFolder.Get(), ulTag, &pValue);
    if (hr == MAPI_E_NOT_FOUND)
        return S_FALSE;
    if (SUCCEEDED(hr))
        hr = Update(pValue->Value.lpszW);
    MAPIFreeBuffer(pValue);
    if (FAILED(hr))
        return hr;
    SizedSPropTagArray(1, tags) = {1, {ulTag}};
    hr = m_pFolder->DeleteProps(reinterpret_cast<LPSPropTagArray>(&tags), nullptr);
    if (SUCCEEDED(hr))
        hr = WrapSaveChanges(m_pFolder.Get(), KEEP_OPEN_READWRITE, 0);
    return hr;
}

bool Folder::ExistsReservedSubFoldNameAssocMsg(const wchar_t* pwszName) {
    if (!m_pFolder || !pwszName)
        return false;
    Platform::ComPtr<IMAPITable> pTable;
    if (FAILED(m_pFolder->GetContentsTable(MAPI_ASSOCIATED | MAPI_UNICODE, pTable.AddressOf())))
        return false;
    SizedSPropTagArray(2, cols) = {2, {PR_MESSAGE_CLASS_W, PR_SUBJECT_W}};
    RowsHolder rows;
    if (FAILED(QueryAllRows(pTable.Get(), reinterpret_cast<LPSPropTagArray>(&cols), &rows.p)))
        return false;
    for (ULONG i = 0; i < rows.p->cRows; ++i) {
        const wchar_t* pwszClass = RowString(rows.p->aRow[i], 0, PR_MESSAGE_CLASS_W);
        const wchar_t* pwszSubject = RowString(rows.p->aRow[i], 1, PR_SUBJECT_W);
        if (pwszClass && pwszSubject && EqualsNoCase(pwszClass, kReservedFolderNameClass) &&
            EqualsNoCase(pwszSubject, pwszName)) {
            OSTLOG_INFO(4, L"Folder name '%s' is reserved as a wiki/doc folder", pwszName);
            return true;
        }
    }
    return false;
}

HRESULT Folder::CreateReservedSubFoldNameAssocMsg(const wchar_t* pwszName, LONG lOstId, IMessage** ppMessage) {
    if (!pwszName || !ppMessage)
        return E_INVALIDARG;
    *ppMessage = nullptr;
    if (!m_pFolder) {
        OSTLOG_ERROR(L"invalid inner pointer");
        return E_POINTER;
    }
    Platform::ComPtr<IMessage> pMessage;
    HRESULT hr = m_pFolder->CreateMessage(nullptr, MAPI_ASSOCIATED, pMessage.AddressOf());
    if (FAILED(hr)) {
        OSTLOG_ERROR(L"CreateMessage() failed, hr: %x", hr);
        return hr;
    }
    SPropValue values[3]{};
    values[0].ulPropTag = PR_MESSAGE_CLASS_W;
    values[0].Value.lpszW = const_cast<wchar_t*>(kReservedFolderNameClass);
    values[1].ulPropTag = PR_SUBJECT_W;
    values[1].Value.lpszW = const_cast<wchar_t*>(pwszName);
    values[2].ulPropTag = NAMED_PROP(NamedProps::OSTREL_ID, PT_LONG, m_pNamedProps);
    values[2].Value.l = lOstId;
    hr = WrapSetProps(pMessage.Get(), 3, values, nullptr, m_pNamedProps);
    if (SUCCEEDED(hr))
        hr = WrapSaveChanges(pMessage.Get(), KEEP_OPEN_READWRITE, 0);
    if (SUCCEEDED(hr))
        *ppMessage = pMessage.Detach();
    return hr;
}

}  // namespace Ostrel::Mapi
