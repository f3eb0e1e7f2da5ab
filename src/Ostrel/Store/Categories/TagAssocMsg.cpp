#include "Ostrel/Store/Categories/TagAssocMsg.h"

#include <cstring>
#include <functional>

#include "Ostrel/Store/Categories/CategoryList.h"
#include "Ostrel/Store/StoreFolders.h"
#include "Ostrel/Store/StoreText.h"
#include "Platform/Base/Utf.h"
#include "Platform/Registry/Registry.h"
#include "Util/HostInfo.h"
#include "Util/IgnoreChanges.h"
#include "Util/Log/Log.h"
#include "Util/Text/Guid.h"

namespace Ostrel::Mapi {

namespace {

struct Buffer {
    LPSPropValue p = nullptr;
    ~Buffer() { MAPIFreeBuffer(p); }
};

bool GuidFromText(const std::wstring& wsGuid, MAPIUID& uid) {
    Util::Guid guid;
    if (!Util::Guid::TryParse(wsGuid, &guid))
        return false;
    std::memcpy(&uid, &guid.Get(), sizeof(uid));
    return true;
}

// The older client's list: UTF-16 names each followed by ";" in one binary value.
std::wstring MasterListKey() {
    int iMajor = 0, iMinor = 0;
    Util::GetOutlookVersion(&iMajor, &iMinor);
    wchar_t buf[96];
    swprintf(buf, 96, L"Software\\Microsoft\\Office\\%d.%d\\Outlook\\Categories", iMajor, iMinor);
    return buf;
}

HRESULT EditMasterList(const std::function<void(std::wstring&)>& edit) {
    HKEY hKey = nullptr;
    LSTATUS status = RegCreateKeyExW(HKEY_CURRENT_USER, MasterListKey().c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                                     &hKey, nullptr);
    if (status != ERROR_SUCCESS) {
        OSTLOG_ERROR(L"Unable to open/query master category list key (%x)", status);
        return HRESULT_FROM_WIN32(status);
    }
    std::wstring wsList;
    DWORD dwType = 0, cb = 0;
    status = RegQueryValueExW(hKey, L"MasterList", nullptr, &dwType, nullptr, &cb);
    if (status == ERROR_SUCCESS && cb > 0) {
        std::string bytes(cb, '\0');
        status = RegQueryValueExW(hKey, L"MasterList", nullptr, &dwType, reinterpret_cast<LPBYTE>(bytes.data()), &cb);
        if (status == ERROR_SUCCESS)
            wsList = Platform::FromUtf16LEBytes(std::string_view(bytes.data(), cb & ~DWORD(1)));
    }
    if (status != ERROR_SUCCESS && status != ERROR_FILE_NOT_FOUND) {
        OSTLOG_ERROR(L"Unable to open/query master category list key (%x)", status);
        RegCloseKey(hKey);
        return HRESULT_FROM_WIN32(status);
    }
    const std::wstring wsBefore = wsList;
    edit(wsList);
    if (wsList != wsBefore) {
        const std::string bytes = Platform::ToUtf16LEBytes(wsList);
        status = RegSetValueExW(hKey, L"MasterList", 0, REG_BINARY, reinterpret_cast<const BYTE*>(bytes.data()),
                                static_cast<DWORD>(bytes.size()));
        if (status != ERROR_SUCCESS)
            OSTLOG_ERROR(L"Unable to open/query master category list key (%x)", status);
    }
    RegCloseKey(hKey);
    return status == ERROR_SUCCESS ? S_OK : HRESULT_FROM_WIN32(status);
}

// Where the entry "name;" starts in the list, or npos.
size_t FindEntry(const std::wstring& wsList, const std::wstring& wsName) {
    const std::wstring wsEntry = wsName + L";";
    for (size_t pos = 0; pos < wsList.size();) {
        if (wsList.compare(pos, wsEntry.size(), wsEntry) == 0)
            return pos;
        const size_t next = wsList.find(L';', pos);
        if (next == std::wstring::npos)
            break;
        pos = next + 1;
    }
    return std::wstring::npos;
}

}  // namespace

TagAssocMsg::TagAssocMsg(IMessage* pMessage, IMsgStore* pStore)
    : m_pMessage(pMessage),
      m_pStore(pStore),
      m_pNamedProps(pMessage ? NamedPropsManager::GetNamedPropsFromMAPIProp(pMessage) : nullptr) {}

TagAssocMsg::TagAssocMsg(const SBinary* pEntryId, IMsgStore* pStore) : m_pStore(pStore) {
    if (!pEntryId || !pStore)
        return;
    ULONG ulType = 0;
    HRESULT hr = pStore->OpenEntry(pEntryId->cb, reinterpret_cast<LPENTRYID>(pEntryId->lpb), &IID_IMessage, MAPI_MODIFY,
                                   &ulType, reinterpret_cast<LPUNKNOWN*>(m_pMessage.AddressOf()));
    if (FAILED(hr)) {
        OSTLOG_ERROR(L"OpenEntry() failed, hr: %x", hr);
        return;
    }
    m_pNamedProps = NamedPropsManager::GetNamedPropsFromMAPIProp(m_pMessage.Get());
}

HRESULT TagAssocMsg::SetOne(SPropValue& value) {
    if (!IsValid())
        return E_POINTER;
    return HrSetOneProp(m_pMessage.Get(), &value);
}

HRESULT TagAssocMsg::GetNameInt(ULONG ulTag, SPropValue** ppValue) {
    if (!IsValid())
        return E_POINTER;
    return HrGetOneProp(m_pMessage.Get(), ulTag, ppValue);
}

std::wstring TagAssocMsg::TagNameW() {
    Buffer value;
    return SUCCEEDED(GetNameInt(PR_DISPLAY_NAME_W, &value.p)) ? value.p->Value.lpszW : L"";
}

LONG TagAssocMsg::TagId() {
    Buffer value;
    return SUCCEEDED(GetNameInt(Tag(NamedProps::OSTREL_ID, PT_LONG), &value.p)) ? value.p->Value.l : -1;
}

ULONG TagAssocMsg::GetTagColorRGB() {
    Buffer id;
    if (SUCCEEDED(GetNameInt(Tag(NamedProps::TAG_COLOR_ID, PT_LONG), &id.p))) {
        const ULONG rgb = OstrelTagColorIDToRGB(id.p->Value.ul);
        if (rgb != 0xFFFFFFFF)
            return rgb;
    }
    Buffer rgb;
    return SUCCEEDED(GetNameInt(Tag(NamedProps::TAG_COLOR_RGB, PT_LONG), &rgb.p)) ? rgb.p->Value.ul : 0xFFFFFFFF;
}

HRESULT TagAssocMsg::SetTagColorRGB(ULONG rgb) {
    SPropValue value{};
    value.ulPropTag = Tag(NamedProps::TAG_COLOR_RGB, PT_LONG);
    value.Value.ul = rgb;
    return SetOne(value);
}

HRESULT TagAssocMsg::SetTagColorID(unsigned id) {
    SPropValue value{};
    value.ulPropTag = Tag(NamedProps::TAG_COLOR_ID, PT_LONG);
    value.Value.ul = id;
    return SetOne(value);
}

HRESULT TagAssocMsg::GetUidOfAssociatedOlkCat(MAPIUID** ppUid) {
    Buffer value;
    HRESULT hr = GetNameInt(Tag(NamedProps::TAG_CATEGORY_UID, PT_BINARY), &value.p);
    if (FAILED(hr))
        return hr;
    if (value.p->Value.bin.cb != sizeof(MAPIUID))
        return MAPI_E_CORRUPT_DATA;
    hr = MAPIAllocateBuffer(sizeof(MAPIUID), reinterpret_cast<void**>(ppUid));
    if (SUCCEEDED(hr))
        std::memcpy(*ppUid, value.p->Value.bin.lpb, sizeof(MAPIUID));
    return hr;
}

HRESULT TagAssocMsg::SetUidOfAssociatedOlkCat(const MAPIUID* pUid) {
    MAPIUID uid{};
    if (pUid) {
        uid = *pUid;
    } else {
        const Util::Guid guid = Util::Guid::NewGuid();
        std::memcpy(&uid, &guid.Get(), sizeof(uid));
    }
    SPropValue value{};
    value.ulPropTag = Tag(NamedProps::TAG_CATEGORY_UID, PT_BINARY);
    value.Value.bin.cb = sizeof(uid);
    value.Value.bin.lpb = reinterpret_cast<LPBYTE>(&uid);
    return SetOne(value);
}

HRESULT TagAssocMsg::SetUidOfAssociatedOlkCat(const std::wstring& wsGuid) {
    MAPIUID uid{};
    if (!GuidFromText(wsGuid, uid))
        return E_INVALIDARG;
    return SetUidOfAssociatedOlkCat(&uid);
}

HRESULT TagAssocMsg::SetPendingNewName(const wchar_t* pwszName) {
    SPropValue value{};
    value.ulPropTag = Tag(NamedProps::TAG_PENDING_NAME, PT_UNICODE);
    value.Value.lpszW = const_cast<wchar_t*>(pwszName ? pwszName : L"");
    return SetOne(value);
}

bool TagAssocMsg::IsPendingNewName() {
    Buffer value;
    return SUCCEEDED(GetNameInt(Tag(NamedProps::TAG_PENDING_NAME, PT_UNICODE), &value.p)) && value.p->Value.lpszW[0];
}

HRESULT TagAssocMsg::CommitPendingNewName() {
    Buffer value;
    HRESULT hr = GetNameInt(Tag(NamedProps::TAG_PENDING_NAME, PT_UNICODE), &value.p);
    if (FAILED(hr))
        return hr;
    SPropValue name{};
    name.ulPropTag = PR_DISPLAY_NAME_W;
    name.Value.lpszW = value.p->Value.lpszW;
    SizedSPropTagArray(1, pending) = {1, {Tag(NamedProps::TAG_PENDING_NAME, PT_UNICODE)}};
    Util::IgnoreChangesSection ignore;
    if (SUCCEEDED(hr = SetOne(name)) &&
        SUCCEEDED(hr = m_pMessage->DeleteProps(reinterpret_cast<LPSPropTagArray>(&pending), nullptr)))
        hr = m_pMessage->SaveChanges(KEEP_OPEN_READWRITE | FORCE_SAVE);
    return hr;
}

HRESULT TagAssocMsg::SetPropsFromOL2007MCL() {
    OutlookCategories list(m_pStore.Get());
    HRESULT hr = list.Load();
    if (FAILED(hr))
        return hr;
    MAPIUID* pUid = nullptr;
    OutlookCategory* pCategory = nullptr;
    if (SUCCEEDED(GetUidOfAssociatedOlkCat(&pUid)))
        pCategory = list.GetByGuid(pUid);
    MAPIFreeBuffer(pUid);
    if (!pCategory)
        pCategory = list.GetByName(TagNameW());
    if (!pCategory)
        return MAPI_E_NOT_FOUND;
    if (FAILED(hr = SetUidOfAssociatedOlkCat(pCategory->GetUid())))
        return hr;
    return pCategory->GetColor() == OutlookCategory::kNoColor ? S_OK : SetTagColorRGB(pCategory->GetCatColorRGB());
}

HRESULT TagAssocMsg::UpdateOL2007MCLAndDoPendingRenameIfReqd(int bSave) {
    if (!IsValid())
        return E_POINTER;
    MAPIUID* pUid = nullptr;
    if (FAILED(GetUidOfAssociatedOlkCat(&pUid))) {
        HRESULT hr = SetUidOfAssociatedOlkCat(static_cast<const MAPIUID*>(nullptr));
        if (FAILED(hr) || FAILED(hr = GetUidOfAssociatedOlkCat(&pUid)))
            return hr;
    }
    OutlookCategories list(m_pStore.Get());
    HRESULT hr = list.Load();
    if (FAILED(hr)) {
        MAPIFreeBuffer(pUid);
        return hr;
    }
    const std::wstring wsName = IsPendingNewName() ? [&] {
        Buffer value;
        GetNameInt(Tag(NamedProps::TAG_PENDING_NAME, PT_UNICODE), &value.p);
        return std::wstring(value.p->Value.lpszW);
    }()
                                                   : TagNameW();
    OutlookCategory* pCategory = list.GetByGuid(pUid);
    std::wstring wsOldName;
    if (!pCategory) {
        OutlookCategory category;
        category.SetGuid(pUid);
        category.SetName(wsName);
        list.Add(&category);
        pCategory = list.GetByGuid(pUid);
    } else if (pCategory->GetName() != wsName) {
        wsOldName = pCategory->GetName();
        pCategory->SetName(wsName);
    }
    MAPIFreeBuffer(pUid);
    const ULONG rgb = GetTagColorRGB();
    if (rgb != 0xFFFFFFFF) {
        const int iBefore = pCategory->GetColor();
        pCategory->SetColorFromTagColorRGB(rgb);
        if (pCategory->GetColor() != iBefore)
            pCategory->SetColor(static_cast<unsigned>(pCategory->GetColor()));
    }
    if (FAILED(hr = list.Save()))
        return hr;
    if (!wsOldName.empty()) {
        OSTLOG_INFO(4, L"Name changed -> Creating Pending Rename Msg");
        UpdateOL2003MCLMod(wsOldName.c_str(), wsName.c_str());
        if (FAILED(hr = OutlookCategories::CreatePendingRenameMsg(wsOldName, wsName, m_pStore.Get())))
            return hr;
    }
    if (IsPendingNewName())
        return CommitPendingNewName();
    if (bSave) {
        Util::IgnoreChangesSection ignore;
        return m_pMessage->SaveChanges(KEEP_OPEN_READWRITE | FORCE_SAVE);
    }
    return S_OK;
}

HRESULT TagAssocMsg::UpdateTagAssocMsgAndMCLAndDependentMsgs(const wchar_t* pwszNewName, int bSave) {
    if (!IsValid() || !pwszNewName)
        return E_POINTER;
    const std::wstring wsOld = TagNameW();
    OSTLOG_INFO(4, L"Tag was renamed from '%s' to '%s'", wsOld.c_str(), pwszNewName);
    HRESULT hr = SetPendingNewName(pwszNewName);
    if (SUCCEEDED(hr)) {
        Util::IgnoreChangesSection ignore;
        hr = m_pMessage->SaveChanges(KEEP_OPEN_READWRITE | FORCE_SAVE);
    }
    return FAILED(hr) ? hr : UpdateOL2007MCLAndDoPendingRenameIfReqd(bSave);
}

HRESULT TagAssocMsg::UpdateMCLFollowingOSVTagDelete() {
    if (!IsValid())
        return E_POINTER;
    const std::wstring wsName = TagNameW();
    MAPIUID* pUid = nullptr;
    OutlookCategories list(m_pStore.Get());
    HRESULT hr = list.Load();
    if (SUCCEEDED(hr) && SUCCEEDED(GetUidOfAssociatedOlkCat(&pUid))) {
        if (const OutlookCategory* pCategory = list.GetByGuid(pUid)) {
            list.Remove(pCategory);
            hr = list.Save();
        }
    }
    MAPIFreeBuffer(pUid);
    if (FAILED(hr))
        return hr;
    UpdateOL2003MCLDel(wsName.c_str());
    Platform::ComPtr<IMAPIFolder> pTags;
    pTags.Attach(GetTagFolder(m_pStore.Get()));
    CEntryID id(m_pMessage.Get());
    if (!pTags || id.IsEmpty())
        return MAPI_E_NOT_FOUND;
    SBinary bin = id.Bin();
    ENTRYLIST list1{1, &bin};
    Util::IgnoreChangesSection ignore;
    return pTags->DeleteMessages(&list1, 0, nullptr, 0);
}

HRESULT TagAssocMsg::CreateTagAssocMsgAndUpdateMCL(LONG lTagId, const wchar_t* pwszName, ULONG colour,
                                                   const MAPIUID* pUid, IMsgStore* pStore) {
    if (!pwszName || !pStore)
        return E_POINTER;
    UpdateOL2003MCLAdd(pwszName);
    OSTLOG_INFO(16, L"Getting Tags folder");
    Platform::ComPtr<IMAPIFolder> pTags;
    pTags.Attach(GetTagFolder(pStore));
    if (!pTags)
        return MAPI_E_NOT_FOUND;
    NamedProps* pNamedProps = NamedPropsManager::GetNamedPropsFromMAPIProp(pStore);
    if (!pNamedProps) {
        OSTLOG_ERROR(L"could not init name props...");
        return MAPI_E_NOT_FOUND;
    }
    Platform::ComPtr<IMessage> pMessage;
    HRESULT hr = pTags->CreateMessage(nullptr, MAPI_ASSOCIATED, pMessage.AddressOf());
    if (FAILED(hr))
        return hr;
    SPropValue values[3]{};
    values[0].ulPropTag = PR_MESSAGE_CLASS_A;
    values[0].Value.lpszA = const_cast<char*>("IPM.Ostrel.Tag");
    values[1].ulPropTag = NAMED_PROP(NamedProps::OSTREL_ID, PT_LONG, pNamedProps);
    values[1].Value.l = lTagId;
    values[2].ulPropTag = PR_DISPLAY_NAME_W;
    values[2].Value.lpszW = const_cast<wchar_t*>(pwszName);
    if (FAILED(hr = pMessage->SetProps(3, values, nullptr)))
        return hr;
    TagAssocMsg tag(pMessage.Get(), pStore);
    int iMajor = 0;
    Util::GetOutlookVersion(&iMajor, nullptr);
    if (lTagId != -1 && iMajor >= 12) {
        if (FAILED(hr = tag.SetTagColorRGB(colour)) || FAILED(hr = tag.SetUidOfAssociatedOlkCat(pUid)))
            return hr;
    }
    {
        Util::IgnoreChangesSection ignore;
        if (FAILED(hr = pMessage->SaveChanges(KEEP_OPEN_READWRITE | FORCE_SAVE)))
            return hr;
    }
    hr = lTagId != -1 ? tag.UpdateOL2007MCLAndDoPendingRenameIfReqd(0) : tag.SetPropsFromOL2007MCL();
    if (FAILED(hr) && hr != MAPI_E_NOT_FOUND)
        OSTLOG_ERROR(L"Failed to bring the category list in line with tag '%s'. Error 0x%x", pwszName, hr);
    Util::IgnoreChangesSection ignore;
    return pMessage->SaveChanges(FORCE_SAVE);
}

HRESULT TagAssocMsg::UpdateOL2003MCLAdd(const wchar_t* pwszName) {
    if (!pwszName || !*pwszName || std::wcschr(pwszName, L';'))
        return S_OK;  // such a name would split into two entries
    const std::wstring wsName = pwszName;
    return EditMasterList([&](std::wstring& wsList) {
        if (FindEntry(wsList, wsName) == std::wstring::npos)
            wsList += wsName + L";";
    });
}

HRESULT TagAssocMsg::UpdateOL2003MCLAdd(const char* pszName) {
    return pszName ? UpdateOL2003MCLAdd(Platform::FromUtf8(pszName).c_str()) : S_OK;
}

HRESULT TagAssocMsg::UpdateOL2003MCLMod(const wchar_t* pwszOldName, const wchar_t* pwszNewName) {
    if (!pwszOldName || !pwszNewName || std::wcschr(pwszNewName, L';'))
        return UpdateOL2003MCLDel(pwszOldName);
    const std::wstring wsOld = pwszOldName, wsNew = pwszNewName;
    return EditMasterList([&](std::wstring& wsList) {
        const size_t pos = FindEntry(wsList, wsOld);
        if (pos != std::wstring::npos)
            wsList.replace(pos, wsOld.size(), wsNew);
    });
}

HRESULT TagAssocMsg::UpdateOL2003MCLDel(const wchar_t* pwszName) {
    if (!pwszName)
        return S_OK;
    const std::wstring wsName = pwszName;
    return EditMasterList([&](std::wstring& wsList) {
        const size_t pos = FindEntry(wsList, wsName);
        if (pos != std::wstring::npos)
            wsList.erase(pos, wsName.size() + 1);
    });
}

}  // namespace Ostrel::Mapi
