// The SQLite database behind one .osd store file, shared by every object of the store in a process.
// Several processes open the same file; SQLite's WAL mode lets readers run beside one writer, and
// every change goes through one IMMEDIATE transaction so that a killed process leaves either the
// previous or the new state.
#pragma once

#include <sqlite3.h>

#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <tuple>
#include <vector>

#include "Platform/Mapi/MapiDefs.h"
#include "Platform/Mapi/Props/PropCodec.h"
#include "Platform/Mapi/Store/Notifier.h"
#include "Platform/Mapi/Store/SearchRunner.h"

namespace Platform::Mapi {

// Node ids: the low 5 bits are the node type, the rest an index.
constexpr ULONG NID_TYPE_INTERNAL = 0x01;
constexpr ULONG NID_TYPE_NORMAL_FOLDER = 0x02;
constexpr ULONG NID_TYPE_SEARCH_FOLDER = 0x03;
constexpr ULONG NID_TYPE_NORMAL_MESSAGE = 0x04;
constexpr ULONG NID_TYPE_ATTACHMENT = 0x05;
constexpr ULONG NID_TYPE_ASSOC_MESSAGE = 0x08;
constexpr ULONG kNidStore = 0x21;
constexpr ULONG kNidRoot = 0x122;
constexpr ULONG kEntryIdSize = 24;

inline ULONG NidType(ULONG nid) {
    return nid & 0x1F;
}
inline bool IsFolderNid(ULONG nid) {
    return NidType(nid) == NID_TYPE_NORMAL_FOLDER || NidType(nid) == NID_TYPE_SEARCH_FOLDER;
}
inline bool IsMessageNid(ULONG nid) {
    return NidType(nid) == NID_TYPE_NORMAL_MESSAGE || NidType(nid) == NID_TYPE_ASSOC_MESSAGE;
}

// A named property's name in comparable form.
struct NameKey {
    GUID guid{};
    ULONG ulKind = MNID_ID;
    LONG lId = 0;
    std::wstring wsName;
    bool operator<(const NameKey& o) const;
};

// Node types of the children to read: up to two, none (zero) for every child.
struct ChildTypes {
    ULONG ulFirst = 0;
    ULONG ulSecond = 0;
};

// 16 random bytes (record keys, mapping signatures, search keys).
MAPIUID RandomUid();

// Maps SQLite result codes to MAPI errors.
HRESULT HrFromSqlite(int rc);

class Statement {
public:
    Statement(sqlite3* pDb, const char* pszSql);
    ~Statement();
    Statement(const Statement&) = delete;
    Statement& operator=(const Statement&) = delete;

    int Prepared() const { return m_rc; }
    Statement& Bind(int i, int64_t v);
    Statement& Bind(int i, std::string_view blob);
    // Without a copy: the bytes must stay unchanged until the statement is reset.
    Statement& BindStatic(int i, std::string_view blob);
    Statement& BindText(int i, std::string_view text);
    int Step();  // SQLITE_ROW, SQLITE_DONE or an error
    void Reset();
    int64_t Int(int i) const;
    std::string Blob(int i) const;
    bool IsNull(int i) const;

private:
    sqlite3_stmt* m_pStmt = nullptr;
    int m_rc;
};

class StoreDb {
public:
    ~StoreDb();

    // Opens the store file (creating it with the initial folder tree when bCreate and the file is
    // missing). The database of one path is shared within the process. A file that is not a store or
    // is damaged gives MAPI_E_CORRUPT_STORE and is left as it was.
    static HRESULT Open(const std::filesystem::path& path, bool bCreate, const std::wstring& wsDisplayName,
                        std::shared_ptr<StoreDb>* ppDb);

    // A store of its own in a new private folder under the temporary directory; the folder and the
    // file go with the last reference.
    static HRESULT CreateTemporary(std::shared_ptr<StoreDb>* ppDb);

    std::recursive_mutex& Mutex() { return m_mutex; }
    sqlite3* Handle() { return m_pDb; }
    const std::filesystem::path& Path() const { return m_path; }
    // The file could only be opened for reading (the user may not write it).
    bool ReadOnly() const { return m_bReadOnly; }
    const MAPIUID& RecordKey() const { return m_recordKey; }
    const MAPIUID& MappingSignature() const { return m_mappingSignature; }

    std::string EntryIdOf(ULONG nid) const;
    const std::string& StoreEntryId() const;
    // The node id of a 24-byte entry id of this store; false for any other bytes.
    bool ParseEntryId(ULONG cb, const void* pEntryId, ULONG* pNid) const;

    // A write transaction (BEGIN IMMEDIATE); nested ones join the outermost. Rolled back unless
    // committed. Holds the database mutex for its lifetime.
    class Transaction {
    public:
        explicit Transaction(StoreDb& db);
        ~Transaction();
        HRESULT Begun() const { return m_hr; }
        HRESULT Commit();

    private:
        StoreDb& m_db;
        std::unique_lock<std::recursive_mutex> m_lock;
        HRESULT m_hr = S_OK;
        bool m_bOuter = false;
        bool m_bDone = false;
    };

    // Reads that must see one state of the file, from one read transaction (which also takes the
    // file's read lock once, not once a statement); inside a write transaction they are part of it.
    // Nothing is written while it lives. Holds the database mutex for its lifetime.
    class ReadScope {
    public:
        explicit ReadScope(StoreDb& db);
        ~ReadScope();
        ReadScope(const ReadScope&) = delete;
        ReadScope& operator=(const ReadScope&) = delete;

    private:
        StoreDb& m_db;
        std::unique_lock<std::recursive_mutex> m_lock;
        bool m_bOpen = false;
    };

    // A new node id of the given type (never inside a transaction: reservations commit at once).
    HRESULT AllocateNid(ULONG ulType, ULONG* pNid);

    // Objects.
    HRESULT ObjectInfo(ULONG nid, ULONG* pParent, int64_t* pVersion);
    HRESULT InsertObject(ULONG nid, ULONG parent);
    HRESULT TouchObject(ULONG nid, int64_t* pNewVersion);
    HRESULT MoveObject(ULONG nid, ULONG newParent);
    HRESULT Children(ULONG parent, std::vector<ULONG>& nids);
    HRESULT CountChildren(ULONG parent, ULONG ulType, ULONG* pCount);
    // MAPI_E_CORRUPT_STORE when the object is among its own descendants (a loop of parent links in
    // a damaged file); walks below it bounded by the number of objects.
    HRESULT CheckSubtree(ULONG nid);
    // The object, its props, recipients and descendants; refuses an object inside a loop.
    HRESULT DeleteTree(ULONG nid);

    // Properties.
    HRESULT LoadProps(ULONG nid, PropMap& props);
    HRESULT LoadProp(ULONG nid, ULONG ulId, StoredProp* pProp);  // MAPI_E_NOT_FOUND when absent
    // The given property ids of every child of parent of the given types (all ids when ids is empty).
    HRESULT LoadChildProps(ULONG parent, const std::vector<ULONG>& ids, std::map<ULONG, PropMap>& rows,
                           ChildTypes types = {});
    // Only the properties with the given tags' ids (all of them when lpTags is null).
    HRESULT LoadPropsFor(ULONG nid, LPSPropTagArray lpTags, PropMap& props);
    HRESULT WriteProp(ULONG nid, const StoredProp& prop);
    // All properties of an object inserted in this transaction: one insert per value.
    HRESULT InsertProps(ULONG nid, const PropMap& props);
    HRESULT DeleteProp(ULONG nid, ULONG ulId);
    HRESULT DeleteAllProps(ULONG nid);
    // A SetProps or DeleteProps call's values and ids, written at once.
    HRESULT WriteProps(ULONG nid, const std::vector<StoredProp>& set, const std::vector<ULONG>& deleted);

    // Recipient rows of a message, by row id.
    HRESULT LoadRecipients(ULONG nid, std::map<ULONG, PropMap>& rows);
    HRESULT WriteRecipients(ULONG nid, const std::map<ULONG, PropMap>& rows);

    // Named properties: ids from PROPS_ID_MIN upwards, shared by every process of the store.
    HRESULT IdFromName(const NameKey& key, bool bCreate, ULONG* pId);  // MAPI_E_NOT_FOUND without bCreate
    HRESULT NameFromId(ULONG ulId, NameKey* pKey);
    HRESULT AllNames(std::vector<std::pair<ULONG, NameKey>>& names);

    // Receive folders by message class (upper-cased).
    HRESULT SetReceiveFolder(const std::string& sClass, ULONG nid);
    HRESULT ReceiveFolders(std::vector<std::pair<std::string, ULONG>>& rows);

    // Search folder criteria, stored as blobs by the search folder code.
    HRESULT WriteSearch(ULONG nid, ULONG ulFlags, std::string_view restriction, std::string_view scope);
    HRESULT ReadSearch(ULONG nid, ULONG* pFlags, std::string* pRestriction, std::string* pScope);

    Notifier& Notifications() { return m_notifier; }
    SearchRunner& Searches() { return m_searches; }

    // Runs one statement without results (inside the caller's transaction).
    HRESULT Exec(const char* pszSql);

private:
    StoreDb() = default;
    HRESULT OpenExisting();
    HRESULT Connect(const std::string& sTarget, int flags);
    void SetPath(const std::filesystem::path& path);
    HRESULT CreateNew(const std::wstring& wsDisplayName);
    HRESULT ReadMeta();
    void RememberName(ULONG ulId, const NameKey& key);
    void SettleNames(bool bCommitted);            // at the end of the outermost transaction
    static NameKey CacheKey(const NameKey& key);  // header names without regard to ASCII case
    // A cached statement, reset when the handle goes out of scope so that no read stays open.
    class StmtRef {
    public:
        explicit StmtRef(Statement& st) : m_pSt(&st) {}
        ~StmtRef() { m_pSt->Reset(); }
        StmtRef(const StmtRef&) = delete;
        StmtRef& operator=(const StmtRef&) = delete;
        Statement* operator->() const { return m_pSt; }

    private:
        Statement* m_pSt;
    };
    StmtRef Cached(const char* pszSql);
    // Steps a cached statement without results (transaction control).
    HRESULT Run(const char* pszSql);

    std::filesystem::path m_path;
    std::string m_sStoreEntryId;
    std::filesystem::path m_temporaryDir;  // removed with the store
    sqlite3* m_pDb = nullptr;
    bool m_bReadOnly = false;
    std::recursive_mutex m_mutex;
    int m_cTransactionDepth = 0;
    bool m_bInReadScope = false;  // a ReadScope's transaction is open
    MAPIUID m_recordKey{};
    MAPIUID m_mappingSignature{};
    ULONG m_ulNextIndex = 0;  // reserved node-id indices [m_ulNextIndex, m_ulEndIndex)
    ULONG m_ulEndIndex = 0;
    std::map<const char*, std::unique_ptr<Statement>> m_statements;
    std::map<NameKey, ULONG> m_nameToId;  // committed pairs only
    std::map<ULONG, NameKey> m_idToName;
    std::vector<std::pair<ULONG, NameKey>> m_pendingNames;
    Notifier m_notifier;      // its thread stops before the rest goes
    SearchRunner m_searches;  // stops before the notifier it posts to
};

}  // namespace Platform::Mapi
