// The two listings `ostrel verify` compares, and the comparison.
#include "VerifyCommand.h"

#include "StoreMailbox.h"
#include "SyncBaseline.h"
#include "SyncChanges.h"

#include <algorithm>
#include <cstdio>
#include <set>

#include "Ostrel/Store/Categories/TagCache.h"
#include "Platform/Base/Utf.h"
#include "Platform/Mapi/MapiAlloc.h"
#include "Platform/Mapi/MapiTags.h"
#include "Platform/Mapi/MapiUtil.h"

namespace OstrelCli {

namespace {

using Platform::ComPtr;

struct Rows {
    LPSRowSet p = nullptr;
    ~Rows() { FreeProws(p); }
};

struct Buffer {
    LPSPropValue p = nullptr;
    ~Buffer() { MAPIFreeBuffer(p); }
};

std::string BinaryOf(const SPropValue& value) {
    return std::string(reinterpret_cast<const char*>(value.Value.bin.lpb), value.Value.bin.cb);
}

std::string Quoted(const std::string& text) {
    return "\"" + text + "\"";
}

// A store name that sync gave a folder because another folder held the server's name: the
// server's name with a number appended.
bool IsCollisionName(const std::string& store, const std::string& server) {
    return store.size() > server.size() && store.compare(0, server.size(), server) == 0 &&
           std::all_of(store.begin() + static_cast<std::ptrdiff_t>(server.size()), store.end(),
                       [](char c) { return c >= '0' && c <= '9'; });
}

class StoreReader {
public:
    StoreReader(StoreMailbox& mailbox, Listing& listing)
        : m_mailbox(mailbox), m_listing(listing), m_tags(mailbox.Store()) {
        m_tags.Initialize();
    }

    bool Read(std::string& why) {
        ComPtr<IMAPIFolder> pSubtree;
        HRESULT hr = m_mailbox.OpenSubtree(pSubtree.AddressOf());
        Buffer eid;
        if (SUCCEEDED(hr))
            hr = HrGetOneProp(pSubtree.Get(), PR_ENTRYID, &eid.p);
        if (FAILED(hr)) {
            why = "cannot open the top of the mailbox in " + m_mailbox.Path().string();
            return false;
        }
        m_serverIdOf[BinaryOf(*eid.p)] = 1;
        hr = m_mailbox.ForEachFolder([&](IMAPIFolder* pFolder, int32_t iServerId) { Folder(pFolder, iServerId); });
        if (FAILED(hr) || m_bFailed) {
            char code[16];
            std::snprintf(code, sizeof code, "0x%08X", static_cast<unsigned>(FAILED(hr) ? hr : m_hrFailed));
            why = "cannot read the store " + m_mailbox.Path().string() + " (" + code + ")";
            return false;
        }
        return true;
    }

private:
    void Folder(IMAPIFolder* pFolder, int32_t iServerId) {
        SizedSPropTagArray(3, tags) = {3, {PR_ENTRYID, PR_PARENT_ENTRYID, PR_DISPLAY_NAME_W}};
        ULONG cValues = 0;
        LPSPropValue pValues = nullptr;
        HRESULT hr = pFolder->GetProps(reinterpret_cast<LPSPropTagArray>(&tags), MAPI_UNICODE, &cValues, &pValues);
        Buffer holder{pValues};
        if (FAILED(hr) || cValues != 3 || pValues[0].ulPropTag != PR_ENTRYID) {
            Fail(FAILED(hr) ? hr : MAPI_E_CORRUPT_DATA);
            return;
        }
        // Parents come before their children, so the parent's server id is known; a folder below a
        // local folder gets 0 there.
        const std::string eid = BinaryOf(pValues[0]);
        const auto parent =
            pValues[1].ulPropTag == PR_PARENT_ENTRYID ? m_serverIdOf.find(BinaryOf(pValues[1])) : m_serverIdOf.end();
        const int32_t iParent = parent == m_serverIdOf.end() ? 0 : parent->second;
        m_serverIdOf[eid] = iServerId;
        // What a local folder holds is not the server's.
        if (iServerId == 0)
            return;
        ListedFolder folder;
        folder.iParent = iParent;
        if (pValues[2].ulPropTag == PR_DISPLAY_NAME_W && pValues[2].Value.lpszW)
            folder.sName = Platform::ToUtf8(pValues[2].Value.lpszW);
        FolderBaseline baseline;
        if (m_mailbox.Baseline().Read(pFolder, baseline))
            folder.sSyncName = baseline.sName;
        m_listing.folders.emplace(iServerId, folder);
        Items(pFolder, iServerId, folder.sName);
    }

    void Items(IMAPIFolder* pFolder, int32_t iFolder, const std::string& folderName) {
        ComPtr<IMAPITable> pTable;
        HRESULT hr = pFolder->GetContentsTable(0, pTable.AddressOf());
        SizedSPropTagArray(2, cols) = {2, {PR_ENTRYID, m_mailbox.OstrelIdTag()}};
        Rows rows;
        if (SUCCEEDED(hr))
            hr = HrQueryAllRows(pTable.Get(), reinterpret_cast<LPSPropTagArray>(&cols), nullptr, nullptr, 0, &rows.p);
        if (FAILED(hr)) {
            Fail(hr);
            return;
        }
        for (ULONG i = 0; i < rows.p->cRows; ++i) {
            const SPropValue* p = rows.p->aRow[i].lpProps;
            if (p[1].ulPropTag != m_mailbox.OstrelIdTag()) {
                m_listing.unstamped.push_back(folderName);
                continue;
            }
            ListedItem item;
            item.iFolder = iFolder;
            ComPtr<IUnknown> pUnk;
            ULONG ulType = 0;
            if (p[0].ulPropTag == PR_ENTRYID &&
                SUCCEEDED(m_mailbox.Store()->OpenEntry(p[0].Value.bin.cb,
                                                       reinterpret_cast<LPENTRYID>(p[0].Value.bin.lpb), &IID_IMessage,
                                                       0, &ulType, pUnk.AddressOf())) &&
                ulType == MAPI_MESSAGE) {
                const ItemState state = CurrentItemState(m_mailbox.Store(), static_cast<IMessage*>(pUnk.Get()), m_tags);
                item.sFlags = state.sFlags;
                item.sTags = NormalTagIds(state.sTags);
                ItemBaseline baseline;
                if (m_mailbox.Baseline().Read(static_cast<IMessage*>(pUnk.Get()), baseline))
                    item.llSize = baseline.iSize;
            }
            m_listing.items.emplace(p[1].Value.l, item);
        }
    }

    void Fail(HRESULT hr) {
        m_bFailed = true;
        m_hrFailed = hr;
    }

    StoreMailbox& m_mailbox;
    Listing& m_listing;
    Ostrel::Mapi::TagCache m_tags;
    std::map<std::string, int32_t> m_serverIdOf;  // entry id to server id (0 for local folders)
    bool m_bFailed = false;
    HRESULT m_hrFailed = S_OK;
};

}  // namespace

Listing ServerListing(const SyncChanges& changes) {
    Listing listing;
    for (const auto& [id, folder] : changes.folders) {
        if (id != kRootFolderId)
            listing.folders.emplace(id, ListedFolder{folder.iParent, folder.sName, std::string()});
    }
    for (const SyncItem& sync : changes.items) {
        // The kinds of item the synchronisation keeps in the store (documents and notes it leaves).
        if (sync.kind == SyncItemKind::Other)
            continue;
        ListedItem item;
        item.iFolder = sync.iFolder;
        item.bMessage = sync.kind == SyncItemKind::Message;
        item.sFlags = ChangeableFlags(sync.sFlags);
        item.sTags = NormalTagIds(sync.sTagIds);
        item.llSize = item.bMessage ? sync.iSize : -1;
        listing.items.emplace(sync.iId, item);
    }
    return listing;
}

bool StoreListing(StoreMailbox& mailbox, Listing& listing, std::string& why) {
    return StoreReader(mailbox, listing).Read(why);
}

std::vector<std::string> CompareListings(const Listing& server, const Listing& store) {
    std::vector<std::string> lines;
    std::set<int32_t> folderIds;
    for (const auto& [id, folder] : server.folders)
        folderIds.insert(id);
    for (const auto& [id, folder] : store.folders)
        folderIds.insert(id);
    for (int32_t id : folderIds) {
        const std::string what = "folder " + std::to_string(id);
        const auto there = server.folders.find(id);
        const size_t cHere = store.folders.count(id);
        if (there == server.folders.end()) {
            lines.push_back(what + " " + Quoted(store.folders.find(id)->second.sName) +
                            ": in the store, not on the server");
            continue;
        }
        const ListedFolder& expected = there->second;
        if (cHere == 0) {
            lines.push_back(what + " " + Quoted(expected.sName) + ": on the server, not in the store");
            continue;
        }
        if (cHere > 1)
            lines.push_back(what + " " + Quoted(expected.sName) + ": " + std::to_string(cHere) +
                            " folders in the store");
        const ListedFolder& here = store.folders.find(id)->second;
        if (here.iParent != expected.iParent)
            lines.push_back(what + " " + Quoted(expected.sName) + ": below folder " + std::to_string(here.iParent) +
                            " in the store, below " + std::to_string(expected.iParent) + " on the server");
        // The server's own folders keep the store's names for them (Inbox, Sent Items ...).
        const bool bNamed = id >= kFirstUserFolderId;
        if (bNamed && here.sName != expected.sName &&
            !(here.sName == here.sSyncName && IsCollisionName(here.sName, expected.sName)))
            lines.push_back(what + ": named " + Quoted(here.sName) + " in the store, " + Quoted(expected.sName) +
                            " on the server");
    }

    std::set<int32_t> itemIds;
    for (const auto& [id, item] : server.items)
        itemIds.insert(id);
    for (const auto& [id, item] : store.items)
        itemIds.insert(id);
    for (int32_t id : itemIds) {
        const std::string what = "item " + std::to_string(id);
        const auto there = server.items.find(id);
        const size_t cHere = store.items.count(id);
        if (there == server.items.end()) {
            lines.push_back(what + ": in the store (folder " + std::to_string(store.items.find(id)->second.iFolder) +
                            "), not on the server");
            continue;
        }
        const ListedItem& expected = there->second;
        if (cHere == 0) {
            lines.push_back(what + ": on the server (folder " + std::to_string(expected.iFolder) +
                            "), not in the store");
            continue;
        }
        if (cHere > 1)
            lines.push_back(what + ": " + std::to_string(cHere) + " copies in the store");
        const ListedItem& here = store.items.find(id)->second;
        if (here.iFolder != expected.iFolder)
            lines.push_back(what + ": in folder " + std::to_string(here.iFolder) + " in the store, in " +
                            std::to_string(expected.iFolder) + " on the server");
        if (expected.bMessage && here.sFlags != expected.sFlags)
            lines.push_back(what + ": flags " + Quoted(here.sFlags) + " in the store, " + Quoted(expected.sFlags) +
                            " on the server");
        if (here.sTags != expected.sTags)
            lines.push_back(what + ": tags " + Quoted(here.sTags) + " in the store, " + Quoted(expected.sTags) +
                            " on the server");
        if (expected.bMessage && here.llSize >= 0 && expected.llSize >= 0 && here.llSize != expected.llSize)
            lines.push_back(what + ": size " + std::to_string(here.llSize) + " in the store, " +
                            std::to_string(expected.llSize) + " on the server");
    }
    for (const std::string& folder : store.unstamped)
        lines.push_back("an item in " + Quoted(folder) + " has no server id: it is not on the server");
    return lines;
}

size_t CountUnsized(const Listing& server, const Listing& store) {
    size_t c = 0;
    for (const auto& [id, item] : store.items) {
        const auto there = server.items.find(id);
        if (item.llSize < 0 && there != server.items.end() && there->second.bMessage && there->second.llSize >= 0)
            ++c;
    }
    return c;
}

}  // namespace OstrelCli
