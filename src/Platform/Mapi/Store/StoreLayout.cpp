#include "Platform/Mapi/Store/StoreLayout.h"

#include <chrono>

#include "Platform/Mapi/MapiTags.h"
#include "Platform/Mapi/Store/StoreDb.h"

namespace Platform::Mapi {

FILETIME NowFileTime() {
    using namespace std::chrono;
    // 100-ns intervals between 1601-01-01 and 1970-01-01.
    constexpr uint64_t kEpochDelta = 116444736000000000ULL;
    uint64_t ticks = kEpochDelta + duration_cast<nanoseconds>(system_clock::now().time_since_epoch()).count() / 100;
    return FILETIME{static_cast<DWORD>(ticks), static_cast<DWORD>(ticks >> 32)};
}

namespace {

// Binary multi-value of entry ids, as PR_ADDITIONAL_REN_ENTRYIDS holds them.
StoredProp MultiBinary(ULONG ulTag, const std::vector<std::string>& values) {
    StoredProp p{ulTag, {}};
    for (const auto& v : values) {
        uint32_t cb = static_cast<uint32_t>(v.size());
        p.sData.append(reinterpret_cast<const char*>(&cb), 4);
        p.sData += v;
    }
    return p;
}

}  // namespace

HRESULT CreateStoreLayout(StoreDb& db, const std::wstring& wsDisplayName) {
    FILETIME ftNow = NowFileTime();
    HRESULT hr = S_OK;
    auto write = [&](ULONG nid, const StoredProp& prop) {
        if (SUCCEEDED(hr))
            hr = db.WriteProp(nid, prop);
    };
    auto folder = [&](ULONG parent, ULONG nid, const wchar_t* pwszName, const wchar_t* pwszClass) {
        if (FAILED(hr))
            return;
        hr = db.InsertObject(nid, parent);
        write(nid, MakeString(PR_DISPLAY_NAME_W, pwszName));
        if (pwszClass)
            write(nid, MakeString(PR_CONTAINER_CLASS_W, pwszClass));
        write(nid, MakeSysTime(PR_CREATION_TIME, ftNow));
        write(nid, MakeSysTime(PR_LAST_MODIFICATION_TIME, ftNow));
    };
    auto newFolder = [&](ULONG parent, const wchar_t* pwszName, const wchar_t* pwszClass, ULONG ulType) -> ULONG {
        ULONG nid = 0;
        if (SUCCEEDED(hr))
            hr = db.AllocateNid(ulType, &nid);
        folder(parent, nid, pwszName, pwszClass);
        return nid;
    };

    hr = db.InsertObject(kNidStore, 0);
    write(kNidStore, MakeString(PR_DISPLAY_NAME_W, wsDisplayName));
    folder(0, kNidRoot, L"", nullptr);

    ULONG subtree = newFolder(kNidRoot, L"Top of Personal Folders", nullptr, NID_TYPE_NORMAL_FOLDER);
    ULONG finder = newFolder(kNidRoot, L"Search Root", nullptr, NID_TYPE_NORMAL_FOLDER);
    ULONG views = newFolder(kNidRoot, L"IPM_VIEWS", nullptr, NID_TYPE_NORMAL_FOLDER);
    ULONG commonViews = newFolder(kNidRoot, L"IPM_COMMON_VIEWS", nullptr, NID_TYPE_NORMAL_FOLDER);

    ULONG inbox = newFolder(subtree, L"Inbox", L"IPF.Note", NID_TYPE_NORMAL_FOLDER);
    ULONG outbox = newFolder(subtree, L"Outbox", L"IPF.Note", NID_TYPE_NORMAL_FOLDER);
    ULONG sent = newFolder(subtree, L"Sent Items", L"IPF.Note", NID_TYPE_NORMAL_FOLDER);
    ULONG deleted = newFolder(subtree, L"Deleted Items", L"IPF.Note", NID_TYPE_NORMAL_FOLDER);
    ULONG drafts = newFolder(subtree, L"Drafts", L"IPF.Note", NID_TYPE_NORMAL_FOLDER);
    ULONG calendar = newFolder(subtree, L"Calendar", L"IPF.Appointment", NID_TYPE_NORMAL_FOLDER);
    ULONG contacts = newFolder(subtree, L"Contacts", L"IPF.Contact", NID_TYPE_NORMAL_FOLDER);
    ULONG tasks = newFolder(subtree, L"Tasks", L"IPF.Task", NID_TYPE_NORMAL_FOLDER);
    ULONG notes = newFolder(subtree, L"Notes", L"IPF.StickyNote", NID_TYPE_NORMAL_FOLDER);
    ULONG journal = newFolder(subtree, L"Journal", L"IPF.Journal", NID_TYPE_NORMAL_FOLDER);
    ULONG junk = newFolder(subtree, L"Junk E-mail", L"IPF.Note", NID_TYPE_NORMAL_FOLDER);
    if (FAILED(hr))
        return hr;

    auto eid = [&](ULONG nid) { return MakeBinary(0, db.EntryIdOf(nid)); };
    auto eidProp = [&](ULONG ulTag, ULONG nid) {
        StoredProp p = eid(nid);
        p.ulTag = ulTag;
        return p;
    };
    write(kNidStore, eidProp(PR_IPM_SUBTREE_ENTRYID, subtree));
    write(kNidStore, eidProp(PR_IPM_OUTBOX_ENTRYID, outbox));
    write(kNidStore, eidProp(PR_IPM_WASTEBASKET_ENTRYID, deleted));
    write(kNidStore, eidProp(PR_IPM_SENTMAIL_ENTRYID, sent));
    write(kNidStore, eidProp(PR_FINDER_ENTRYID, finder));
    write(kNidStore, eidProp(PR_VIEWS_ENTRYID, views));
    write(kNidStore, eidProp(PR_COMMON_VIEWS_ENTRYID, commonViews));
    write(kNidStore,
          MakeLong(PR_VALID_FOLDER_MASK, FOLDER_IPM_SUBTREE_VALID | FOLDER_IPM_INBOX_VALID | FOLDER_IPM_OUTBOX_VALID |
                                             FOLDER_IPM_WASTEBASKET_VALID | FOLDER_IPM_SENTMAIL_VALID |
                                             FOLDER_VIEWS_VALID | FOLDER_COMMON_VIEWS_VALID | FOLDER_FINDER_VALID));

    // The special folders are found through the root and the Inbox, where mail clients look for them.
    for (ULONG holder : {kNidRoot, inbox}) {
        write(holder, eidProp(PR_IPM_APPOINTMENT_ENTRYID, calendar));
        write(holder, eidProp(PR_IPM_CONTACT_ENTRYID, contacts));
        write(holder, eidProp(PR_IPM_JOURNAL_ENTRYID, journal));
        write(holder, eidProp(PR_IPM_NOTE_ENTRYID, notes));
        write(holder, eidProp(PR_IPM_TASK_ENTRYID, tasks));
        write(holder, eidProp(PR_IPM_DRAFTS_ENTRYID, drafts));
        // Conflicts, sync issues, local failures and server failures have no folder; index 4 is junk.
        write(holder, MultiBinary(PR_ADDITIONAL_REN_ENTRYIDS, {"", "", "", "", db.EntryIdOf(junk)}));
    }
    for (const char* pszClass : {"", "IPM", "REPORT.IPM"})
        if (SUCCEEDED(hr))
            hr = db.SetReceiveFolder(pszClass, inbox);
    return hr;
}

}  // namespace Platform::Mapi
