#include "Ostrel/Store/Categories/CategoryList.h"

#include <algorithm>

#include "Ostrel/Store/NamedProps.h"
#include "Ostrel/Store/StoreFolders.h"
#include "Ostrel/Store/StoreText.h"
#include "Platform/Com/Stream.h"
#include "Util/IgnoreChanges.h"
#include "Util/Log/Log.h"
#include "Util/Text/Guid.h"

namespace Ostrel::Mapi {

namespace {

constexpr wchar_t kPhantomCalendar[] = L"DeleCalForMCL";
// A damaged list is kept in a message of this class beside the rebuilt one.
constexpr wchar_t kDamagedListClass[] = L"IPM.Configuration.CategoryList.Damaged";
constexpr ULONG kReadChunk = 64 * 1024;

struct Buffer {
    LPSPropValue p = nullptr;
    ~Buffer() { MAPIFreeBuffer(p); }
};
struct Rows {
    LPSRowSet p = nullptr;
    ~Rows() { FreeProws(p); }
};

HRESULT SetBinary(SPropValue& value, ULONG ulTag, const std::string& bytes) {
    value.ulPropTag = ulTag;
    value.Value.bin.cb = static_cast<ULONG>(bytes.size());
    value.Value.bin.lpb = reinterpret_cast<LPBYTE>(const_cast<char*>(bytes.data()));
    return S_OK;
}

HRESULT ReadStreamProp(IMAPIProp* pProp, ULONG ulTag, std::string& bytes) {
    Platform::ComPtr<IStream> pStream;
    HRESULT hr =
        pProp->OpenProperty(ulTag, &IID_IStream, STGM_READ, 0, reinterpret_cast<LPUNKNOWN*>(pStream.AddressOf()));
    if (FAILED(hr))
        return hr;
    bytes.clear();
    std::string chunk(kReadChunk, '\0');
    for (;;) {
        ULONG cbRead = 0;
        hr = pStream->Read(chunk.data(), kReadChunk, &cbRead);
        if (FAILED(hr))
            return hr;
        if (cbRead == 0)
            return S_OK;
        bytes.append(chunk.data(), cbRead);
    }
}

HRESULT WriteStreamProp(IMAPIProp* pProp, ULONG ulTag, const std::string& bytes) {
    Platform::ComPtr<IStream> pStream;
    HRESULT hr = pProp->OpenProperty(ulTag, &IID_IStream, STGM_READWRITE, MAPI_MODIFY | MAPI_CREATE,
                                     reinterpret_cast<LPUNKNOWN*>(pStream.AddressOf()));
    if (FAILED(hr))
        return hr;
    ULARGE_INTEGER zero{};
    hr = pStream->SetSize(zero);
    ULONG cbWritten = 0;
    if (SUCCEEDED(hr))
        hr = pStream->Write(bytes.data(), static_cast<ULONG>(bytes.size()), &cbWritten);
    if (SUCCEEDED(hr) && cbWritten != bytes.size())
        hr = MAPI_E_DISK_ERROR;
    if (SUCCEEDED(hr))
        hr = pStream->Commit(0);
    return hr;
}

// A new associated message of the class holding the document, saved.
HRESULT CreateListMessage(IMAPIFolder* pFolder, const wchar_t* pwszClass, const std::string& bytes,
                          IMessage** ppMessage) {
    Platform::ComPtr<IMessage> pMessage;
    HRESULT hr = pFolder->CreateMessage(nullptr, MAPI_ASSOCIATED, pMessage.AddressOf());
    if (FAILED(hr))
        return hr;
    SPropValue values[3]{};
    values[0].ulPropTag = PR_MESSAGE_CLASS_W;
    values[0].Value.lpszW = const_cast<wchar_t*>(pwszClass);
    values[1].ulPropTag = PR_ROAMING_DATATYPES;
    values[1].Value.l = 2;
    SetBinary(values[2], PR_ROAMING_XML_STREAM, bytes);
    Util::IgnoreChangesSection ignore;
    hr = pMessage->SetProps(3, values, nullptr);
    if (SUCCEEDED(hr))
        hr = pMessage->SaveChanges(KEEP_OPEN_READWRITE);
    if (SUCCEEDED(hr) && ppMessage)
        *ppMessage = pMessage.Detach();
    return hr;
}

}  // namespace

OutlookCategories::OutlookCategories(IMsgStore* pStore) : m_pStore(pStore) {}

OutlookCategory* OutlookCategories::GetByName(const std::wstring& wsName) {
    for (OutlookCategory& category : m_categories)
        if (EqualsNoCase(category.GetName(), wsName))
            return &category;
    return nullptr;
}

OutlookCategory* OutlookCategories::GetByGuid(const std::wstring& wsGuid) {
    for (OutlookCategory& category : m_categories)
        if (EqualsNoCase(category.GetUid(), wsGuid))
            return &category;
    return nullptr;
}

OutlookCategory* OutlookCategories::GetByGuid(const MAPIUID* pUid) {
    if (!pUid)
        return nullptr;
    OutlookCategory probe;
    probe.SetGuid(pUid);
    return GetByGuid(probe.GetUid());
}

void OutlookCategories::Add(const OutlookCategory* pCategory) {
    if (!pCategory)
        return;
    m_categories.push_back(*pCategory);
    m_categories.back().SetName(pCategory->GetName());  // marks it for the next save
}

void OutlookCategories::Remove(const OutlookCategory* pCategory) {
    for (auto it = m_categories.begin(); it != m_categories.end(); ++it)
        if (&*it == pCategory || *it == *pCategory) {
            m_removedGuids.push_back(it->GetUid());
            m_categories.erase(it);
            return;
        }
}

HRESULT OutlookCategories::OpenCalendar(IMAPIFolder** ppCalendar) {
    Platform::ComPtr<IMAPIFolder> pRoot;
    pRoot.Attach(GetRootFolder(m_pStore.Get()));
    if (!pRoot)
        return MAPI_E_NOT_FOUND;
    CEntryID calendarId(pRoot.Get(), PR_IPM_APPOINTMENT_ENTRYID);
    ULONG ulType = 0;
    if (!calendarId.IsEmpty() &&
        SUCCEEDED(m_pStore->OpenEntry(calendarId.Size(), calendarId.Get(), &IID_IMAPIFolder, MAPI_MODIFY, &ulType,
                                      reinterpret_cast<LPUNKNOWN*>(ppCalendar))))
        return S_OK;

    // A delegate's store has no calendar; the list lives in a hidden one made for it.
    OSTLOG_INFO(4, L"Creating phantom calendar to host dele MCL");
    Platform::ComPtr<IMAPIFolder> pCalendar;
    HRESULT hr = pRoot->CreateFolder(FOLDER_GENERIC, (LPTSTR)kPhantomCalendar, nullptr, nullptr,
                                     MAPI_UNICODE | OPEN_IF_EXISTS, pCalendar.AddressOf());
    if (hr == MAPI_E_COLLISION)
        OSTLOG_ERROR(L"COLLISION");
    if (FAILED(hr)) {
        OSTLOG_ERROR(L"could not create phantom calendar. hr: 0x%x", hr);
        return hr;
    }
    SPropValue hidden{};
    hidden.ulPropTag = PR_ATTR_HIDDEN;
    hidden.Value.b = TRUE;
    if (FAILED(hr = HrSetOneProp(pCalendar.Get(), &hidden)) || FAILED(hr = pCalendar->SaveChanges(KEEP_OPEN_READWRITE)))
        OSTLOG_ERROR(L"Failed to hide phantom calendar %s. Error 0x%x", kPhantomCalendar, hr);
    CEntryID newId(pCalendar.Get());
    SPropValue eid{};
    eid.ulPropTag = PR_IPM_APPOINTMENT_ENTRYID;
    eid.Value.bin = newId.Bin();
    if (FAILED(hr = HrSetOneProp(pRoot.Get(), &eid)))
        OSTLOG_ERROR(L"Failed to write PR_APPOINTMENT_ENTRYID to root %x", hr);
    else if (FAILED(hr = pRoot->SaveChanges(KEEP_OPEN_READWRITE)))
        OSTLOG_ERROR(L"Failed to save changes PR_APPOINTMENT_ENTRYID to root %x", hr);
    ULONG cbInbox = 0;
    LPENTRYID pInboxId = nullptr;
    Platform::ComPtr<IMAPIFolder> pInbox;
    if (FAILED(m_pStore->GetReceiveFolder((LPTSTR)L"", MAPI_UNICODE, &cbInbox, &pInboxId, nullptr)) ||
        FAILED(m_pStore->OpenEntry(cbInbox, pInboxId, &IID_IMAPIFolder, MAPI_MODIFY, &ulType,
                                   reinterpret_cast<LPUNKNOWN*>(pInbox.AddressOf())))) {
        OSTLOG_ERROR(L"Failed to write PR_APPOINTMENT_ENTRYID onto Inbox because inbox not found");
    } else if (FAILED(HrSetOneProp(pInbox.Get(), &eid))) {
        OSTLOG_ERROR(L"Failed to set props");
    } else if (FAILED(pInbox->SaveChanges(KEEP_OPEN_READWRITE))) {
        OSTLOG_ERROR(L"Failed to save changes PR_APPOINTMENT_ENTRYID to inbox");
    }
    MAPIFreeBuffer(pInboxId);
    *ppCalendar = pCalendar.Detach();
    return S_OK;
}

HRESULT OutlookCategories::OpenCategoriesMessage() {
    if (m_pMessage)
        return S_OK;
    if (!m_pStore)
        return E_POINTER;
    Platform::ComPtr<IMAPIFolder> pCalendar;
    HRESULT hr = OpenCalendar(pCalendar.AddressOf());
    if (FAILED(hr))
        return hr;
    Platform::ComPtr<IMAPITable> pTable;
    if (FAILED(hr = pCalendar->GetContentsTable(MAPI_UNICODE | MAPI_ASSOCIATED, pTable.AddressOf())))
        return hr;
    SizedSPropTagArray(2, cols) = {2, {PR_MESSAGE_CLASS_W, PR_ENTRYID}};
    Rows rows;
    if (FAILED(hr = QueryAllRows(pTable.Get(), reinterpret_cast<LPSPropTagArray>(&cols), &rows.p)))
        return hr;
    for (ULONG i = 0; i < rows.p->cRows; ++i) {
        const SRow& row = rows.p->aRow[i];
        const wchar_t* pwszClass = RowString(row, 0, PR_MESSAGE_CLASS_W);
        if (!pwszClass || !EqualsNoCase(pwszClass, kCategoryListClass) || row.lpProps[1].ulPropTag != PR_ENTRYID)
            continue;
        OSTLOG_INFO(16, L"MCL msg row exists for this store");
        ULONG ulType = 0;
        hr = pCalendar->OpenEntry(row.lpProps[1].Value.bin.cb,
                                  reinterpret_cast<LPENTRYID>(row.lpProps[1].Value.bin.lpb), &IID_IMessage, MAPI_MODIFY,
                                  &ulType, reinterpret_cast<LPUNKNOWN*>(m_pMessage.AddressOf()));
        if (FAILED(hr))
            OSTLOG_ERROR(L"Failed to open MCL msg");
        else
            OSTLOG_INFO(16, L"Successfully opened MCL msg");
        return hr;
    }
    OSTLOG_INFO(4, L"No MCL msg row found for this store -> creating empty one");
    return CreateListMessage(pCalendar.Get(), kCategoryListClass, std::string(EmptyCategoryListXml()),
                             m_pMessage.AddressOf());
}

HRESULT OutlookCategories::GetMCLMsg(IMessage** ppMessage) {
    HRESULT hr = OpenCategoriesMessage();
    if (FAILED(hr))
        return hr;
    m_pMessage->AddRef();
    *ppMessage = m_pMessage.Get();
    return S_OK;
}

HRESULT OutlookCategories::ReadDocument(std::string& bytes) {
    HRESULT hr = OpenCategoriesMessage();
    if (SUCCEEDED(hr))
        hr = ReadStreamProp(m_pMessage.Get(), PR_ROAMING_XML_STREAM, bytes);
    if (hr == MAPI_E_NOT_FOUND) {
        bytes.clear();  // a message without a document is a damaged list
        return S_OK;
    }
    return hr;
}

HRESULT OutlookCategories::WriteDocument(const std::string& bytes) {
    Util::IgnoreChangesSection ignore;
    HRESULT hr = WriteStreamProp(m_pMessage.Get(), PR_ROAMING_XML_STREAM, bytes);
    if (SUCCEEDED(hr))
        hr = m_pMessage->SaveChanges(KEEP_OPEN_READWRITE | FORCE_SAVE);
    if (FAILED(hr)) {
        OSTLOG_ERROR(L"Failed to save the category list. Error 0x%x", hr);
        return hr;
    }
    // The store provider copies a saved list into the other stores; this build has none.
    OSTLOG_INFO(16, L"failed to get hModStore. Can't update other MCLs");
    return S_OK;
}

HRESULT OutlookCategories::Load() {
    m_categories.clear();
    m_removedGuids.clear();
    std::string bytes;
    HRESULT hr = ReadDocument(bytes);
    if (FAILED(hr)) {
        OSTLOG_ERROR(L"Failed to read the category list. Error 0x%x", hr);
        return hr;
    }
    CategoryListDocument doc;
    if (FAILED(ParseCategoryList(bytes, doc))) {
        hr = Rebuild(bytes);
        return FAILED(hr) ? hr : MAPI_W_ERRORS_RETURNED;
    }
    m_categories = std::move(doc.categories);
    return S_OK;
}

HRESULT OutlookCategories::Rebuild(const std::string& damaged) {
    OSTLOG_ERROR(L"The category list of this store is damaged; keeping it aside and rebuilding it from the tags");
    Platform::ComPtr<IMAPIFolder> pCalendar;
    HRESULT hr = OpenCalendar(pCalendar.AddressOf());
    if (SUCCEEDED(hr))
        hr = CreateListMessage(pCalendar.Get(), kDamagedListClass, damaged, nullptr);
    if (FAILED(hr)) {
        // Without the copy the damaged list is not overwritten.
        OSTLOG_ERROR(L"Failed to keep the damaged category list. Error 0x%x", hr);
        return hr;
    }
    NamedProps* pNamedProps = NamedPropsManager::GetNamedPropsFromMAPIProp(m_pStore.Get());
    Platform::ComPtr<IMAPIFolder> pTags;
    pTags.Attach(GetTagFolder(m_pStore.Get()));
    Platform::ComPtr<IMAPITable> pTable;
    Rows rows;
    const ULONG ulUid = NAMED_PROP(NamedProps::TAG_CATEGORY_UID, PT_BINARY, pNamedProps);
    const ULONG ulRgb = NAMED_PROP(NamedProps::TAG_COLOR_RGB, PT_LONG, pNamedProps);
    const ULONG ulColorId = NAMED_PROP(NamedProps::TAG_COLOR_ID, PT_LONG, pNamedProps);
    SizedSPropTagArray(4, cols) = {4, {PR_DISPLAY_NAME_W, ulUid, ulRgb, ulColorId}};
    CategoryListDocument doc;
    CategoryListDocument empty;
    ParseCategoryList(EmptyCategoryListXml(), empty);
    doc.rootAttributes = empty.rootAttributes;
    if (pNamedProps && pTags &&
        SUCCEEDED(pTags->GetContentsTable(MAPI_ASSOCIATED | MAPI_UNICODE, pTable.AddressOf())) &&
        SUCCEEDED(QueryAllRows(pTable.Get(), reinterpret_cast<LPSPropTagArray>(&cols), &rows.p))) {
        for (ULONG i = 0; i < rows.p->cRows; ++i) {
            const SRow& row = rows.p->aRow[i];
            const wchar_t* pwszName = RowString(row, 0, PR_DISPLAY_NAME_W);
            if (!pwszName || row.lpProps[1].ulPropTag != ulUid || row.lpProps[1].Value.bin.cb != sizeof(MAPIUID))
                continue;
            OutlookCategory category;
            category.SetName(pwszName);
            category.SetGuid(reinterpret_cast<const MAPIUID*>(row.lpProps[1].Value.bin.lpb));
            if (row.lpProps[3].ulPropTag == ulColorId && OstrelTagColorIDToRGB(row.lpProps[3].Value.ul) != 0xFFFFFFFF)
                category.SetColorFromTagColorRGB(OstrelTagColorIDToRGB(row.lpProps[3].Value.ul));
            else if (row.lpProps[2].ulPropTag == ulRgb && row.lpProps[2].Value.ul != 0xFFFFFFFF)
                category.SetColorFromTagColorRGB(row.lpProps[2].Value.ul);
            doc.categories.push_back(category);
        }
    }
    std::string bytes;
    if (FAILED(hr = WriteCategoryList(doc, bytes)) || FAILED(hr = WriteDocument(bytes)))
        return hr;
    for (OutlookCategory& category : doc.categories)
        category.ClearDirty();
    m_categories = std::move(doc.categories);
    return S_OK;
}

HRESULT OutlookCategories::Save() {
    // Changes are applied to the list as it is now, so that what the client wrote since Load stays.
    std::string bytes;
    HRESULT hr = ReadDocument(bytes);
    if (FAILED(hr))
        return hr;
    CategoryListDocument doc;
    if (FAILED(hr = ParseCategoryList(bytes, doc))) {
        OSTLOG_ERROR(L"category list damaged since it was loaded; not saving over it");
        return hr;
    }
    for (OutlookCategory& category : m_categories) {
        if (!category.IsDirty())
            continue;
        auto it = std::find_if(doc.categories.begin(), doc.categories.end(),
                               [&](const OutlookCategory& c) { return EqualsNoCase(c.GetUid(), category.GetUid()); });
        if (it != doc.categories.end())
            *it = category;
        else
            doc.categories.push_back(category);
    }
    for (const std::wstring& wsGuid : m_removedGuids)
        std::erase_if(doc.categories, [&](const OutlookCategory& c) { return EqualsNoCase(c.GetUid(), wsGuid); });
    bool bTimeSet = false;
    for (auto& [wsName, wsValue] : doc.rootAttributes)
        if (wsName == L"lastSavedTime") {
            wsValue = CategoryTimeNow();
            bTimeSet = true;
        }
    if (!bTimeSet)
        doc.rootAttributes.emplace_back(L"lastSavedTime", CategoryTimeNow());
    if (FAILED(hr = WriteCategoryList(doc, bytes)) || FAILED(hr = WriteDocument(bytes)))
        return hr;
    for (OutlookCategory& category : m_categories)
        category.ClearDirty();
    m_removedGuids.clear();
    return S_OK;
}

HRESULT OutlookCategories::CreatePendingRenameMsg(const std::wstring& wsOldName, const std::wstring& wsNewName,
                                                  IMsgStore* pStore) {
    if (!pStore)
        return E_POINTER;
    CEntryID storeId(pStore, PR_STORE_ENTRYID);
    if (storeId.IsEmpty()) {
        OSTLOG_ERROR(L"failed to get the store entry id for the pending rename");
        return MAPI_E_INVALID_ENTRYID;
    }
    OutlookCategories list(pStore);
    Platform::ComPtr<IMAPIFolder> pCalendar;
    HRESULT hr = list.OpenCalendar(pCalendar.AddressOf());
    Platform::ComPtr<IMessage> pMessage;
    if (SUCCEEDED(hr))
        hr = pCalendar->CreateMessage(nullptr, MAPI_ASSOCIATED, pMessage.AddressOf());
    if (FAILED(hr))
        return hr;
    SPropValue values[5]{};
    values[0].ulPropTag = PR_MESSAGE_CLASS_W;
    values[0].Value.lpszW = const_cast<wchar_t*>(kPendingRenameClass);
    values[1].ulPropTag = PR_SUBJECT_W;
    values[1].Value.lpszW = const_cast<wchar_t*>(kPendingRenameClass);
    values[2].ulPropTag = PR_CONVERSATION_TOPIC_W;
    values[2].Value.lpszW = const_cast<wchar_t*>(wsOldName.c_str());
    values[3].ulPropTag = PR_PENDING_RENAME_NEW_NAME_W;
    values[3].Value.lpszW = const_cast<wchar_t*>(wsNewName.c_str());
    values[4].ulPropTag = PR_PENDING_RENAME_STORE_EID;
    values[4].Value.bin = storeId.Bin();
    Util::IgnoreChangesSection ignore;
    hr = pMessage->SetProps(5, values, nullptr);
    if (SUCCEEDED(hr))
        hr = pMessage->SaveChanges(0);
    if (FAILED(hr))
        OSTLOG_ERROR(L"Failed to save the pending rename message. Error 0x%x", hr);
    return hr;
}

}  // namespace Ostrel::Mapi
