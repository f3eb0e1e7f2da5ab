// The SQLite database behind one .osd store file, shared by every object of the store in a process.
// Several processes open the same file; SQLite's WAL mode lets readers run beside one writer, and
// every change goes through one IMMEDIATE transaction so that a killed process leaves either the
// previous or the new state.
#pragma once

#include <sqlite3.h>

#include <condition_variable>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
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

// The node ids of the children to read, both ends included.
struct ChildRange {
    ULONG ulFirst = 0;
    ULONG ulLast = 0xFFFFFFFF;
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

// The lock of a store's database within the process: recursive, and while a batch has a chunk
// open it lets only the batch's thread in, without that thread holding it between its calls (which
// would order it before every lock those calls take).
class StoreMutex {
public:
    void lock();
    void unlock() { m_mutex.unlock(); }
    // The chunk's thread (under the lock); an empty id lets every thread in again.
    void SetChunkThread(std::thread::id id);

private:
    std::recursive_mutex m_mutex;
    std::condition_variable_any m_cv;
    std::thread::id m_chunkThread;
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

    StoreMutex& Mutex() { return m_mutex; }
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
    // committed. Holds the database mutex for its lifetime. On the thread of a batch the outermost
    // one is a savepoint of the batch's open chunk: its commit lasts once the chunk commits.
    class Transaction {
    public:
        // bOwnCommit: the transaction commits by itself even on a batch's thread (the chunk open
        // there commits first), for what must never be rolled back with the batch.
        explicit Transaction(StoreDb& db, bool bOwnCommit = false);
        ~Transaction();
        HRESULT Begun() const { return m_hr; }
        HRESULT Commit();

    private:
        StoreDb& m_db;
        std::unique_lock<StoreMutex> m_lock;
        HRESULT m_hr = S_OK;
        bool m_bOuter = false;
        bool m_bSavepoint = false;
        bool m_bDone = false;
        size_t m_cNamesBefore = 0;  // pending names and events when the savepoint began
        size_t m_cEventsBefore = 0;
    };

    // Batches: while one is open on a thread, that thread's saves go into one SQLite transaction,
    // the chunk, which commits when the batch ends or when a limit is reached; anything that must
    // never be rolled back (node id reservations, new named properties) first commits the chunk.
    // From its first write to its commit the chunk keeps the database lock to its thread
    // (StoreMutex), so other threads of the process wait for it instead of reading or writing into
    // it; other processes read the last committed state and wait for the file's write lock. An
    // object the batch's thread uses must not be used by another thread meanwhile: that thread
    // would wait for the chunk while holding the object. One batch at a time per store: a begin on
    // another thread gives MAPI_E_BUSY. A nested begin joins the open batch; ending any level
    // without commit rolls back the open chunk and fails the rest of the batch.
    struct BatchLimits {
        ULONG cSaves = 1000;        // outermost transactions per chunk
        size_t cbValues = 8 << 20;  // property bytes written per chunk
    };
    HRESULT BeginBatch(const BatchLimits& limits);
    HRESULT EndBatch(bool bCommit);
    HRESULT CommitBatch();  // commits the open chunk; the batch goes on
    // Outermost transactions committed into the batch so far, and how many of them are in the file.
    uint64_t BatchSaves();
    uint64_t BatchCommitted();

    // Events wait for the chunk they belong to: posted when it commits, dropped when it rolls back.
    void Post(Event event);

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
        std::unique_lock<StoreMutex> m_lock;
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
    // The given property ids of every child of parent of the given types in the range (all ids
    // when ids is empty).
    HRESULT LoadChildProps(ULONG parent, const std::vector<ULONG>& ids, std::map<ULONG, PropMap>& rows,
                           ChildTypes types = {}, ChildRange range = {});
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
    bool BatchHere() const;  // a batch is open on the calling thread (under m_mutex)
    HRESULT OpenChunk();
    HRESULT CommitChunk();
    void RollbackChunk();
    // Commits the open chunk when nothing else is open inside it, so that what follows commits
    // on its own.
    HRESULT LeaveChunk();
    void CountBytes(size_t cb) { m_cbChunk += cb; }

    std::filesystem::path m_path;
    std::string m_sStoreEntryId;
    std::filesystem::path m_temporaryDir;  // removed with the store
    sqlite3* m_pDb = nullptr;
    bool m_bReadOnly = false;
    StoreMutex m_mutex;
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
    // The batch (valid under m_mutex).
    std::thread::id m_batchThread;
    int m_cBatchDepth = 0;
    BatchLimits m_batchLimits;
    HRESULT m_hrBatch = S_OK;
    bool m_bChunkOpen = false;
    ULONG m_cChunkSaves = 0;
    size_t m_cbChunk = 0;
    uint64_t m_ullBatchSaves = 0;
    uint64_t m_ullBatchCommitted = 0;
    std::vector<Event> m_chunkEvents;
    Notifier m_notifier;      // its thread stops before the rest goes
    SearchRunner m_searches;  // stops before the notifier it posts to
};

}  // namespace Platform::Mapi
