// The store's master category list: a hidden message in the calendar folder whose XML document
// names every category with its colour and GUID. OutlookCategory is one entry, OutlookCategories
// the whole list as loaded from a store and saved back into it.
#pragma once

#include <array>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "Platform/Com/ComPtr.h"
#include "Platform/Mapi/Mapi.h"

namespace Ostrel::Mapi {

inline constexpr wchar_t kCategoryListClass[] = L"IPM.Configuration.CategoryList";
inline constexpr wchar_t kPendingRenameClass[] = L"IPM.Microsoft.PendingChange.RenameCategory";
// The entry ids of the store a pending rename belongs to.
inline constexpr ULONG PR_PENDING_RENAME_NEW_NAME_W = PROP_TAG(PT_UNICODE, 0x003A);
inline constexpr ULONG PR_PENDING_RENAME_STORE_EID = PROP_TAG(PT_BINARY, 0x7CFF);

// The 25 colours of the client's categories (COLORREF, 0x00BBGGRR) and the server's tag colours.
inline constexpr int kCategoryColorCount = 25;
ULONG CategoryColorRGB(int iIndex);
// The first colour index nearest to rgb by the distance of its red, green and blue parts.
int NearestCategoryColor(ULONG rgb);
ULONG OstrelTagColorIDToRGB(unsigned id);

using XmlAttributes = std::vector<std::pair<std::wstring, std::wstring>>;

class OutlookCategory {
public:
    static constexpr int kNoColor = -1;
    // Attributes beside colour, name and GUID, in the order they are written.
    static constexpr std::array<const wchar_t*, 11> kOtherAttributes = {
        L"keyboardShortcut",     L"usageCount",        L"lastTimeUsedNotes",    L"lastTimeUsedJournal",
        L"lastTimeUsedContacts", L"lastTimeUsedTasks", L"lastTimeUsedCalendar", L"lastTimeUsedMail",
        L"lastTimeUsed",         L"lastSessionUsed",   L"renameOnFirstUse"};

    OutlookCategory() = default;

    const std::wstring& GetName() const { return m_wsName; }
    void SetName(const std::wstring& wsName);
    // The GUID in registry form with braces.
    const std::wstring& GetUid() const { return m_wsGuid; }
    void SetGuid(const std::wstring& wsGuid);
    void SetGuid(const MAPIUID* pUid);
    int GetColor() const { return m_iColor; }
    void SetColor(unsigned uColor);
    // The colour's COLORREF; 0 for no colour.
    ULONG GetCatColorRGB() const;
    // Takes the colour nearest to a tag's colour; does not mark the category changed.
    void SetColorFromTagColorRGB(ULONG rgb);
    bool IsDirty() const { return m_bDirty; }
    void ClearDirty() { m_bDirty = false; }
    // Same name (any case), GUID and colour.
    bool operator==(const OutlookCategory& other) const;

    // From an element's attributes; false (logged) when it has no name or GUID.
    bool Load(const XmlAttributes& attributes);
    // The element's attributes in writing order, defaults filled in, other attributes kept.
    XmlAttributes Attributes() const;

private:
    int m_iColor = kNoColor;
    std::wstring m_wsName;
    std::wstring m_wsGuid;
    std::array<std::wstring, kOtherAttributes.size()> m_other;
    XmlAttributes m_extra;  // attributes this code does not know, kept as they were
    bool m_bDirty = false;
};

// The list's document: the root's attributes (without its namespace) and the categories.
struct CategoryListDocument {
    XmlAttributes rootAttributes;
    std::vector<OutlookCategory> categories;
    // Entries without a name or GUID: not offered as categories, but written back as they were.
    std::vector<XmlAttributes> unreadable;
};

// The document a store's list starts with (138 bytes).
std::string_view EmptyCategoryListXml();
// MAPI_E_CORRUPT_DATA when the bytes are not a category list.
HRESULT ParseCategoryList(std::string_view bytes, CategoryListDocument& doc);
// E_INVALIDARG when a text holds characters XML cannot carry.
HRESULT WriteCategoryList(const CategoryListDocument& doc, std::string& out);
// "%04d-%02d-%02dT%02d:%02d:%02d.%03d" of the clock's current UTC time.
std::wstring CategoryTimeNow();

class OutlookCategories {
public:
    explicit OutlookCategories(IMsgStore* pStore);

    size_t GetCount() const { return m_categories.size(); }
    std::vector<OutlookCategory>::const_iterator begin() const { return m_categories.begin(); }
    std::vector<OutlookCategory>::const_iterator end() const { return m_categories.end(); }
    OutlookCategory* GetByName(const std::wstring& wsName);
    OutlookCategory* GetByGuid(const std::wstring& wsGuid);
    OutlookCategory* GetByGuid(const MAPIUID* pUid);
    bool IsExistName(const std::wstring& wsName) { return GetByName(wsName) != nullptr; }
    bool IsExistGuid(const std::wstring& wsGuid) { return GetByGuid(wsGuid) != nullptr; }
    bool IsExistGuid(const MAPIUID* pUid) { return GetByGuid(pUid) != nullptr; }
    // Adds a copy, to be written by the next Save.
    void Add(const OutlookCategory* pCategory);
    void Remove(const OutlookCategory* pCategory);

    // Reads the list. A damaged document is kept aside in a message of its own, the list rebuilt
    // from the store's tag messages and saved; that gives MAPI_W_ERRORS_RETURNED.
    HRESULT Load();
    // Writes the changed and removed categories into the list as it is in the store now.
    HRESULT Save();
    HRESULT GetMCLMsg(IMessage** ppMessage);
    // Opens the list's message, creating it (and a calendar for a store without one) when missing.
    HRESULT OpenCategoriesMessage();

    // Records a rename for the keywords updater; MAPI_E_INVALID_ENTRYID when the store's entry id
    // cannot be read (nothing is saved then).
    static HRESULT CreatePendingRenameMsg(const std::wstring& wsOldName, const std::wstring& wsNewName,
                                          IMsgStore* pStore);

private:
    HRESULT ReadDocument(std::string& bytes);
    HRESULT WriteDocument(const std::string& bytes);
    HRESULT Rebuild(const std::string& damaged);
    HRESULT OpenCalendar(IMAPIFolder** ppCalendar);

    Platform::ComPtr<IMsgStore> m_pStore;
    Platform::ComPtr<IMessage> m_pMessage;
    std::vector<OutlookCategory> m_categories;
    std::vector<std::wstring> m_removedGuids;
};

}  // namespace Ostrel::Mapi
