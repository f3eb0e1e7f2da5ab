#include "Platform/Mapi/Store/StoreDb.h"

#include <fcntl.h>
#include <stdio.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <charconv>
#include <cstring>
#include <optional>
#include <random>

#include "Platform/Base/Utf.h"
#include "Platform/Mapi/MapiGuids.h"
#include "Platform/Mapi/Store/StoreLayout.h"

namespace Platform::Mapi {

namespace {

constexpr const char* kFormat = "ostrel-osd";
// Version 1 kept the values in a table keyed by (nid, tag); its files open as they are.
constexpr int64_t kSchemaVersion = 2;
constexpr ULONG kFirstIndex = 0x400;
constexpr ULONG kReserveBlock = 256;
constexpr int kBusyTimeoutMs = 15000;

constexpr const char* kPropsKeySql = "CREATE UNIQUE INDEX props_key ON props(nid, tag)";

const char* const kSchema[] = {
    "CREATE TABLE meta(key TEXT PRIMARY KEY, value BLOB NOT NULL)",
    "CREATE TABLE objects(nid INTEGER PRIMARY KEY, parent INTEGER NOT NULL, version INTEGER NOT NULL)",
    "CREATE INDEX objects_parent ON objects(parent)",
    // The values under an index of their keys rather than in a table keyed by them: a search for a
    // key there compares it with whole records, reading a large value's overflow pages each time.
    "CREATE TABLE props(nid INTEGER NOT NULL, tag INTEGER NOT NULL, value BLOB NOT NULL)",
    kPropsKeySql,
    "CREATE TABLE recipients(nid INTEGER NOT NULL, row INTEGER NOT NULL, data BLOB NOT NULL, PRIMARY KEY(nid, row))"
    " WITHOUT ROWID",
    "CREATE TABLE names(id INTEGER PRIMARY KEY, guid BLOB NOT NULL, kind INTEGER NOT NULL, lid INTEGER NOT NULL,"
    " name TEXT NOT NULL, UNIQUE(guid, kind, lid, name))",
    "CREATE TABLE receive_folders(class TEXT PRIMARY KEY, nid INTEGER NOT NULL)",
    "CREATE TABLE searches(nid INTEGER PRIMARY KEY, flags INTEGER NOT NULL, restriction BLOB, scope BLOB)",
};

std::mutex g_openMutex;
std::map<std::string, std::weak_ptr<StoreDb>>& OpenDbs() {
    static std::map<std::string, std::weak_ptr<StoreDb>> dbs;
    return dbs;
}

// A store file must be an SQLite database in WAL mode; anything else is not ours. O_NONBLOCK: a
// FIFO at the path is refused as no regular file, not waited on for a writer.
bool LooksLikeStoreFile(const std::filesystem::path& path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return false;
    struct stat st {};
    char header[100] = {};
    const bool bRead = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) &&
                       ::pread(fd, header, sizeof header, 0) == static_cast<ssize_t>(sizeof header);
    ::close(fd);
    if (!bRead)
        return false;
    if (std::memcmp(header, "SQLite format 3", 16) != 0)
        return false;
    return header[18] == 2 && header[19] == 2;
}

// A path as the path part of an SQLite file: URI.
std::string UriPath(const std::filesystem::path& path) {
    static const char kHex[] = "0123456789ABCDEF";
    std::string out;
    for (unsigned char c : path.string()) {
        if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '/' || c == '.' ||
            c == '-' || c == '_' || c == '~') {
            out += static_cast<char>(c);
        } else {
            out += '%';
            out += kHex[c >> 4];
            out += kHex[c & 15];
        }
    }
    return out;
}

// (index << 16 | type) keys of the props table: the tag with its type, ordered by property id.
int64_t TagLow(ULONG ulId) {
    return static_cast<int64_t>(ulId) << 16;
}
int64_t TagHigh(ULONG ulId) {
    return (static_cast<int64_t>(ulId) << 16) | 0xFFFF;
}

// Rows per statement of InsertProps.
constexpr size_t kInsertBatch = 16;

// The insert of cRows property rows (1 to kInsertBatch); the texts live as long as the process, as
// the statement cache keys on their address.
const char* InsertPropsSql(size_t cRows) {
    static const std::array<std::string, kInsertBatch + 1> s_sql = [] {
        std::array<std::string, kInsertBatch + 1> sql;
        for (size_t n = 1; n <= kInsertBatch; ++n) {
            sql[n] = "INSERT OR REPLACE INTO props(nid, tag, value) VALUES(?, ?, ?)";
            for (size_t i = 1; i < n; ++i)
                sql[n] += ", (?, ?, ?)";
        }
        return sql;
    }();
    return s_sql[cRows].c_str();
}

// Property ids per statement of LoadChildProps.
constexpr size_t kChildIdBatch = 16;

constexpr const char* kAllChildPropsSql =
    "SELECT p.nid, p.tag, p.value FROM objects o JOIN props p ON p.nid=o.nid"
    " WHERE o.parent=?1 AND (?2=0 OR (o.nid & 31) IN (?2, ?3)) AND o.nid BETWEEN ?4 AND ?5";

// The values of cIds property ids (1 to kChildIdBatch) of the children of one parent; the texts
// live as long as the process, as the statement cache keys on their address. Each id's tag range
// is one seek per child: written as ORs of ranges the planner would read every value of each
// child instead.
const char* ChildPropsSql(size_t cIds) {
    static const std::array<std::string, kChildIdBatch + 1> s_sql = [] {
        std::array<std::string, kChildIdBatch + 1> sql;
        for (size_t n = 1; n <= kChildIdBatch; ++n) {
            sql[n] = "WITH w(lo, hi) AS (VALUES ";
            for (size_t i = 0; i < n; ++i)
                sql[n] += (i ? ", (?" : "(?") + std::to_string(6 + 2 * i) + ", ?" + std::to_string(7 + 2 * i) + ")";
            sql[n] +=
                ") SELECT p.nid, p.tag, p.value FROM objects o CROSS JOIN w CROSS JOIN props p"
                " ON p.nid=o.nid AND p.tag BETWEEN w.lo AND w.hi"
                " WHERE o.parent=?1 AND (?2=0 OR (o.nid & 31) IN (?2, ?3)) AND o.nid BETWEEN ?4 AND ?5";
        }
        return sql;
    }();
    return s_sql[cIds].c_str();
}

// SQLite's memory statistics take a process-wide mutex on every allocation it makes; nothing reads
// them. The setting only takes before SQLite initialises, hence at load time.
[[maybe_unused]] const int g_rcNoMemStatus = sqlite3_config(SQLITE_CONFIG_MEMSTATUS, 0);

}  // namespace

MAPIUID RandomUid() {
    MAPIUID uid;
    // One call per key: every message's first save takes one.
    if (::getrandom(uid.ab, sizeof uid.ab, 0) == static_cast<ssize_t>(sizeof uid.ab))
        return uid;
    std::random_device rd;
    for (size_t i = 0; i < sizeof uid.ab; i += 4) {
        uint32_t v = rd();
        std::memcpy(uid.ab + i, &v, 4);
    }
    return uid;
}

bool NameKey::operator<(const NameKey& o) const {
    int c = std::memcmp(&guid, &o.guid, sizeof guid);
    if (c)
        return c < 0;
    return std::tie(ulKind, lId, wsName) < std::tie(o.ulKind, o.lId, o.wsName);
}

HRESULT HrFromSqlite(int rc) {
    switch (rc & 0xFF) {
        case SQLITE_OK:
        case SQLITE_ROW:
        case SQLITE_DONE:
            return S_OK;
        case SQLITE_CORRUPT:
        case SQLITE_NOTADB:
        case SQLITE_FORMAT:
            return MAPI_E_CORRUPT_STORE;
        case SQLITE_BUSY:
        case SQLITE_LOCKED:
            return MAPI_E_BUSY;
        case SQLITE_FULL:
            return MAPI_E_NOT_ENOUGH_DISK;
        case SQLITE_IOERR:
        case SQLITE_CANTOPEN:
            return MAPI_E_DISK_ERROR;
        case SQLITE_NOMEM:
            return MAPI_E_NOT_ENOUGH_MEMORY;
        case SQLITE_READONLY:
        case SQLITE_PERM:
        case SQLITE_AUTH:
            return MAPI_E_NO_ACCESS;
        default:
            return MAPI_E_CALL_FAILED;
    }
}

// ---- Statement -------------------------------------------------------------------------------

Statement::Statement(sqlite3* pDb, const char* pszSql) {
    m_rc = sqlite3_prepare_v2(pDb, pszSql, -1, &m_pStmt, nullptr);
}

Statement::~Statement() {
    sqlite3_finalize(m_pStmt);
}

Statement& Statement::Bind(int i, int64_t v) {
    sqlite3_bind_int64(m_pStmt, i, v);
    return *this;
}

Statement& Statement::Bind(int i, std::string_view blob) {
    sqlite3_bind_blob64(m_pStmt, i, blob.data() ? blob.data() : "", blob.size(), SQLITE_TRANSIENT);
    return *this;
}

Statement& Statement::BindStatic(int i, std::string_view blob) {
    sqlite3_bind_blob64(m_pStmt, i, blob.data() ? blob.data() : "", blob.size(), SQLITE_STATIC);
    return *this;
}

Statement& Statement::BindText(int i, std::string_view text) {
    sqlite3_bind_text64(m_pStmt, i, text.data() ? text.data() : "", text.size(), SQLITE_TRANSIENT, SQLITE_UTF8);
    return *this;
}

int Statement::Step() {
    if (m_rc != SQLITE_OK)
        return m_rc;
    return sqlite3_step(m_pStmt);
}

void Statement::Reset() {
    if (!m_pStmt)
        return;
    sqlite3_reset(m_pStmt);
    sqlite3_clear_bindings(m_pStmt);
}

int64_t Statement::Int(int i) const {
    return sqlite3_column_int64(m_pStmt, i);
}

std::string Statement::Blob(int i) const {
    const void* p = sqlite3_column_blob(m_pStmt, i);
    int cb = sqlite3_column_bytes(m_pStmt, i);
    return p ? std::string(static_cast<const char*>(p), cb) : std::string();
}

bool Statement::IsNull(int i) const {
    return sqlite3_column_type(m_pStmt, i) == SQLITE_NULL;
}

// ---- Opening ---------------------------------------------------------------------------------

StoreDb::~StoreDb() {
    m_statements.clear();
    if (m_pDb)
        sqlite3_close_v2(m_pDb);
    if (!m_temporaryDir.empty()) {
        std::error_code ec;
        std::filesystem::remove_all(m_temporaryDir, ec);
    }
}

HRESULT StoreDb::CreateTemporary(std::shared_ptr<StoreDb>* ppDb) {
    if (!ppDb)
        return MAPI_E_INVALID_PARAMETER;
    ppDb->reset();
    std::error_code ec;
    std::filesystem::path base = std::filesystem::temp_directory_path(ec);
    if (ec)
        return MAPI_E_DISK_ERROR;
    // mkdtemp makes a new folder only its owner can enter, so nobody can plant a file or link in it.
    std::string dir = (base / "ostrel-message-XXXXXX").string();
    if (!::mkdtemp(dir.data()))
        return MAPI_E_DISK_ERROR;
    HRESULT hr = Open(std::filesystem::path(dir) / "message.osd", true, L"Temporary", ppDb);
    if (FAILED(hr)) {
        std::filesystem::remove_all(dir, ec);
        return hr;
    }
    (*ppDb)->m_temporaryDir = dir;
    // Nothing of it has to outlive the process.
    (*ppDb)->Exec("PRAGMA synchronous=OFF");
    return S_OK;
}

HRESULT StoreDb::Open(const std::filesystem::path& path, bool bCreate, const std::wstring& wsDisplayName,
                      std::shared_ptr<StoreDb>* ppDb) {
    if (!ppDb)
        return MAPI_E_INVALID_PARAMETER;
    ppDb->reset();
    std::error_code ec;
    std::filesystem::path absolute = std::filesystem::absolute(path, ec);
    if (ec)
        return MAPI_E_INVALID_PARAMETER;
    std::lock_guard<std::mutex> lock(g_openMutex);
    std::erase_if(OpenDbs(), [](const auto& entry) { return entry.second.expired(); });

    if (!std::filesystem::exists(absolute, ec)) {
        if (!bCreate)
            return MAPI_E_NOT_FOUND;
        auto pNew = std::shared_ptr<StoreDb>(new StoreDb());
        pNew->SetPath(absolute);
        HRESULT hr = pNew->CreateNew(wsDisplayName);
        if (FAILED(hr))
            return hr;
    }
    std::string key = std::filesystem::canonical(absolute, ec).string();
    if (ec)
        return MAPI_E_NOT_FOUND;
    if (auto pExisting = OpenDbs()[key].lock()) {
        *ppDb = pExisting;
        return S_OK;
    }
    auto pDb = std::shared_ptr<StoreDb>(new StoreDb());
    pDb->SetPath(key);
    HRESULT hr = pDb->OpenExisting();
    if (FAILED(hr))
        return hr;
    OpenDbs()[key] = pDb;
    *ppDb = pDb;
    return S_OK;
}

// Builds the store in a temporary file beside the target and moves it into place only when complete,
// so that no process ever sees half a store; a concurrent creator that wins keeps its file.
HRESULT StoreDb::CreateNew(const std::wstring& wsDisplayName) {
    std::filesystem::path tmp = m_path;
    tmp += ".creating-" + std::to_string(getpid());
    std::error_code ec;
    std::filesystem::remove(tmp, ec);
    int rc = sqlite3_open_v2(tmp.c_str(), &m_pDb, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr);
    HRESULT hr = HrFromSqlite(rc);
    if (SUCCEEDED(hr)) {
        hr = Exec("PRAGMA journal_mode=WAL");
        if (SUCCEEDED(hr))
            hr = Exec("BEGIN IMMEDIATE");
        for (const char* pszSql : kSchema)
            if (SUCCEEDED(hr))
                hr = Exec(pszSql);
        if (SUCCEEDED(hr)) {
            m_recordKey = RandomUid();
            m_mappingSignature = RandomUid();
            Statement meta(m_pDb, "INSERT INTO meta(key, value) VALUES(?, ?)");
            auto put = [&](const char* k, std::string_view v) {
                if (FAILED(hr))
                    return;
                meta.Reset();
                meta.BindText(1, k).Bind(2, v);
                if (meta.Step() != SQLITE_DONE)
                    hr = MAPI_E_CALL_FAILED;
            };
            put("format", kFormat);
            put("version", std::to_string(kSchemaVersion));
            put("record_key", std::string_view(reinterpret_cast<const char*>(m_recordKey.ab), 16));
            put("mapping_signature", std::string_view(reinterpret_cast<const char*>(m_mappingSignature.ab), 16));
            put("next_index", std::to_string(kFirstIndex));
        }
        if (SUCCEEDED(hr)) {
            // The layout needs node ids and entry ids, which need the transaction open.
            m_cTransactionDepth = 1;
            hr = CreateStoreLayout(*this,
                                   wsDisplayName.empty() ? Platform::FromUtf8(m_path.stem().string()) : wsDisplayName);
            m_cTransactionDepth = 0;
        }
        if (SUCCEEDED(hr))
            hr = Exec("COMMIT");
    }
    m_statements.clear();
    if (m_pDb)
        sqlite3_close_v2(m_pDb);  // checkpoints the WAL into the file
    m_pDb = nullptr;
    if (SUCCEEDED(hr) && renameat2(AT_FDCWD, tmp.c_str(), AT_FDCWD, m_path.c_str(), RENAME_NOREPLACE) != 0 &&
        errno != EEXIST)
        hr = MAPI_E_DISK_ERROR;
    std::filesystem::remove(tmp, ec);
    std::filesystem::remove(tmp.string() + "-wal", ec);
    std::filesystem::remove(tmp.string() + "-shm", ec);
    return hr;
}

HRESULT StoreDb::OpenExisting() {
    if (!LooksLikeStoreFile(m_path))
        return MAPI_E_CORRUPT_STORE;
    HRESULT hr = Connect(m_path.string(), SQLITE_OPEN_READWRITE);
    if (FAILED(hr))
        return hr;
    if (m_bReadOnly) {
        // A file the user may only read: SQLite reads it in place when it can share the journal's
        // index, else (no index beside it, none can be made) only a file without pending journal
        // content can be read, as unchanging.
        bool bNoIndex = (Statement(m_pDb, "SELECT count(*) FROM sqlite_schema").Step() & 0xFF) == SQLITE_READONLY;
        if (bNoIndex) {
            sqlite3_close_v2(m_pDb);
            m_pDb = nullptr;
            std::error_code ec;
            std::filesystem::path wal = m_path.string() + "-wal";
            if (std::filesystem::exists(wal, ec) && std::filesystem::file_size(wal, ec) != 0)
                return MAPI_E_NO_ACCESS;
            hr = Connect("file:" + UriPath(m_path) + "?immutable=1", SQLITE_OPEN_READONLY | SQLITE_OPEN_URI);
            if (FAILED(hr))
                return hr;
        }
    }
    // Until the file is known to be sound, closing must not write anything back into it.
    sqlite3_db_config(m_pDb, SQLITE_DBCONFIG_NO_CKPT_ON_CLOSE, 1, nullptr);
    sqlite3_busy_timeout(m_pDb, kBusyTimeoutMs);
    hr = ReadMeta();
    // The folder tree, the names and the settings are checked whole; the values and recipients,
    // nearly all of a large store's pages, are checked page by page as they are read, so that
    // opening a store does not read all of it.
    if (SUCCEEDED(hr))
        hr = HrFromSqlite(Statement(m_pDb, "PRAGMA cell_size_check=ON").Step());
    for (const char* pszCheck : {"PRAGMA quick_check(meta)", "PRAGMA quick_check(objects)", "PRAGMA quick_check(names)",
                                 "PRAGMA quick_check(receive_folders)", "PRAGMA quick_check(searches)"}) {
        if (FAILED(hr))
            break;
        Statement check(m_pDb, pszCheck);
        if (check.Step() != SQLITE_ROW || check.Blob(0) != "ok")
            hr = MAPI_E_CORRUPT_STORE;
    }
    if (SUCCEEDED(hr)) {
        ULONG parent = 0;
        if (FAILED(ObjectInfo(kNidRoot, &parent, nullptr)) || FAILED(ObjectInfo(kNidStore, &parent, nullptr)))
            hr = MAPI_E_CORRUPT_STORE;
    }
    if (FAILED(hr)) {
        m_statements.clear();
        sqlite3_close_v2(m_pDb);
        m_pDb = nullptr;
        return hr == MAPI_E_BUSY ? hr : MAPI_E_CORRUPT_STORE;
    }
    sqlite3_db_config(m_pDb, SQLITE_DBCONFIG_NO_CKPT_ON_CLOSE, 0, nullptr);
    // WAL with NORMAL sync: a committed transaction survives the death of the process.
    Exec("PRAGMA synchronous=NORMAL");
    // A message's body pages pass through the page cache on every save; with SQLite's default 2 MB
    // they push out the index pages, which each later save then reads back from the file. 16 MB keeps
    // them, and a fixed bound keeps memory flat however large the store grows. Checkpoints every 16 MB
    // of journal instead of 4: a page saved many times in between is copied (and synced) once.
    Exec("PRAGMA cache_size=-16384");
    Exec("PRAGMA wal_autocheckpoint=4096");
    return S_OK;
}

HRESULT StoreDb::Connect(const std::string& sTarget, int flags) {
    // Every use of the connection holds m_mutex, so SQLite's own per-call locking is not needed.
    int rc = sqlite3_open_v2(sTarget.c_str(), &m_pDb, flags | SQLITE_OPEN_NOMUTEX, nullptr);
    if (rc != SQLITE_OK) {
        sqlite3_close_v2(m_pDb);
        m_pDb = nullptr;
        return HrFromSqlite(rc);
    }
    m_bReadOnly = sqlite3_db_readonly(m_pDb, "main") == 1;
    return S_OK;
}

HRESULT StoreDb::ReadMeta() {
    Statement st(m_pDb, "SELECT key, value FROM meta");
    if (st.Prepared() != SQLITE_OK)
        return MAPI_E_CORRUPT_STORE;
    std::map<std::string, std::string> meta;
    int rc;
    while ((rc = st.Step()) == SQLITE_ROW)
        meta[st.Blob(0)] = st.Blob(1);
    if (rc != SQLITE_DONE)
        return HrFromSqlite(rc) == MAPI_E_BUSY ? MAPI_E_BUSY : MAPI_E_CORRUPT_STORE;
    const bool bKeyIndex = meta["version"] == std::to_string(kSchemaVersion);
    if (meta["format"] != kFormat || (!bKeyIndex && meta["version"] != "1") || meta["record_key"].size() != 16 ||
        meta["mapping_signature"].size() != 16)
        return MAPI_E_CORRUPT_STORE;
    // Without it a value written again would be a second row instead of replacing the first.
    if (bKeyIndex) {
        Statement index(m_pDb, "SELECT sql FROM sqlite_schema WHERE type='index' AND name='props_key'");
        if (index.Step() != SQLITE_ROW || index.Blob(0) != kPropsKeySql)
            return MAPI_E_CORRUPT_STORE;
    }
    std::memcpy(m_recordKey.ab, meta["record_key"].data(), 16);
    std::memcpy(m_mappingSignature.ab, meta["mapping_signature"].data(), 16);
    for (const char* pszTable : {"objects", "props", "recipients", "names", "receive_folders", "searches"}) {
        Statement t(m_pDb, "SELECT 1 FROM sqlite_schema WHERE type='table' AND name=?");
        t.BindText(1, pszTable);
        if (t.Step() != SQLITE_ROW)
            return MAPI_E_CORRUPT_STORE;
    }
    return S_OK;
}

StoreDb::StmtRef StoreDb::Cached(const char* pszSql) {
    auto& p = m_statements[pszSql];
    if (!p)
        p = std::make_unique<Statement>(m_pDb, pszSql);
    p->Reset();
    return StmtRef(*p);
}

HRESULT StoreDb::Exec(const char* pszSql) {
    std::lock_guard<StoreMutex> lock(m_mutex);
    return HrFromSqlite(sqlite3_exec(m_pDb, pszSql, nullptr, nullptr, nullptr));
}

HRESULT StoreDb::Run(const char* pszSql) {
    return HrFromSqlite(Cached(pszSql)->Step());
}

// ---- Entry ids -------------------------------------------------------------------------------

std::string StoreDb::EntryIdOf(ULONG nid) const {
    std::string eid(kEntryIdSize, '\0');
    std::memcpy(eid.data() + 4, m_recordKey.ab, 16);
    std::memcpy(eid.data() + 20, &nid, 4);
    return eid;
}

const std::string& StoreDb::StoreEntryId() const {
    return m_sStoreEntryId;
}

void StoreDb::SetPath(const std::filesystem::path& path) {
    m_path = path;
    // Every object answers PR_STORE_ENTRYID: built once.
    m_sStoreEntryId.assign(4, '\0');
    m_sStoreEntryId.append(reinterpret_cast<const char*>(MUIDOsdStoreProvider.ab), 16);
    m_sStoreEntryId.append(2, '\0');
    m_sStoreEntryId += Platform::ToUtf16LEBytes(Platform::FromUtf8(m_path.string()));
    m_sStoreEntryId.append(2, '\0');
}

bool StoreDb::ParseEntryId(ULONG cb, const void* pEntryId, ULONG* pNid) const {
    if (cb != kEntryIdSize || !pEntryId)
        return false;
    const auto* p = static_cast<const BYTE*>(pEntryId);
    static const BYTE zeros[4] = {};
    if (std::memcmp(p, zeros, 4) != 0 || std::memcmp(p + 4, m_recordKey.ab, 16) != 0)
        return false;
    std::memcpy(pNid, p + 20, 4);
    return true;
}

// ---- Transactions ----------------------------------------------------------------------------

StoreDb::Transaction::Transaction(StoreDb& db, bool bOwnCommit) : m_db(db), m_lock(db.m_mutex) {
    if (bOwnCommit && FAILED(m_hr = m_db.LeaveChunk())) {
        m_bDone = true;
        return;
    }
    if (m_db.m_cTransactionDepth == 0 && m_db.BatchHere() && !bOwnCommit) {
        m_hr = m_db.OpenChunk();
        if (FAILED(m_hr)) {
            m_bDone = true;
            return;
        }
    }
    if (m_db.m_cTransactionDepth == (m_db.m_bChunkOpen ? 1 : 0)) {
        m_bOuter = true;
        m_bSavepoint = m_db.m_bChunkOpen;
        m_cNamesBefore = m_db.m_pendingNames.size();
        m_cEventsBefore = m_db.m_chunkEvents.size();
        m_hr = m_db.Run(m_bSavepoint ? "SAVEPOINT save" : "BEGIN IMMEDIATE");
        if (FAILED(m_hr)) {
            m_bDone = true;
            return;
        }
    }
    ++m_db.m_cTransactionDepth;
}

StoreDb::Transaction::~Transaction() {
    if (m_bDone)
        return;
    --m_db.m_cTransactionDepth;
    if (!m_bOuter)
        return;
    if (m_bSavepoint) {
        // Only this transaction's part of the chunk goes, with what it learnt and announced.
        if (FAILED(m_db.Run("ROLLBACK TO save")) || FAILED(m_db.Run("RELEASE save"))) {
            m_db.m_hrBatch = MAPI_E_CALL_FAILED;
            m_db.RollbackChunk();
            return;
        }
        m_db.m_pendingNames.resize(m_cNamesBefore);
        m_db.m_chunkEvents.resize(m_cEventsBefore);
        return;
    }
    m_db.Run("ROLLBACK");
    m_db.SettleNames(false);
}

HRESULT StoreDb::Transaction::Commit() {
    if (m_bDone)
        return m_hr;
    m_bDone = true;
    --m_db.m_cTransactionDepth;
    if (!m_bOuter)
        return S_OK;
    if (m_bSavepoint) {
        HRESULT hr = m_db.Run("RELEASE save");
        if (FAILED(hr)) {
            m_db.m_hrBatch = hr;
            m_db.RollbackChunk();
            return hr;
        }
        ++m_db.m_ullBatchSaves;
        if (++m_db.m_cChunkSaves >= m_db.m_batchLimits.cSaves || m_db.m_cbChunk >= m_db.m_batchLimits.cbValues)
            return m_db.CommitChunk();
        return S_OK;
    }
    HRESULT hr = m_db.Run("COMMIT");
    if (FAILED(hr))
        m_db.Run("ROLLBACK");
    m_db.SettleNames(SUCCEEDED(hr));
    return hr;
}

// ---- Batches ---------------------------------------------------------------------------------

void StoreMutex::lock() {
    m_mutex.lock();
    // Another thread's chunk: this thread cannot hold the lock already (the chunk's thread took it
    // to open the chunk), so the wait releases it wholly.
    while (m_chunkThread != std::thread::id() && m_chunkThread != std::this_thread::get_id())
        m_cv.wait(m_mutex);
}

void StoreMutex::SetChunkThread(std::thread::id id) {
    m_chunkThread = id;
    if (id == std::thread::id())
        m_cv.notify_all();
}

bool StoreDb::BatchHere() const {
    return m_cBatchDepth > 0 && m_batchThread == std::this_thread::get_id();
}

HRESULT StoreDb::BeginBatch(const BatchLimits& limits) {
    std::lock_guard<StoreMutex> lock(m_mutex);
    if (m_cBatchDepth > 0) {
        if (!BatchHere())
            return MAPI_E_BUSY;
        ++m_cBatchDepth;
        return S_OK;
    }
    if (m_cTransactionDepth > 0 || m_bInReadScope)
        return MAPI_E_CALL_FAILED;  // a batch cannot take over a transaction already open
    m_batchThread = std::this_thread::get_id();
    m_cBatchDepth = 1;
    m_batchLimits = limits;
    m_hrBatch = S_OK;
    m_ullBatchSaves = m_ullBatchCommitted = 0;
    return S_OK;
}

HRESULT StoreDb::EndBatch(bool bCommit) {
    std::lock_guard<StoreMutex> lock(m_mutex);
    if (!BatchHere())
        return MAPI_E_CALL_FAILED;
    if (!bCommit && m_bChunkOpen) {
        RollbackChunk();
        if (SUCCEEDED(m_hrBatch))
            m_hrBatch = E_ABORT;
    }
    if (--m_cBatchDepth > 0)
        return m_hrBatch;
    HRESULT hr = m_hrBatch;
    if (m_bChunkOpen)
        hr = SUCCEEDED(hr) ? CommitChunk() : (RollbackChunk(), hr);
    m_batchThread = std::thread::id();
    return hr;
}

HRESULT StoreDb::CommitBatch() {
    std::lock_guard<StoreMutex> lock(m_mutex);
    if (!BatchHere())
        return MAPI_E_CALL_FAILED;
    if (FAILED(m_hrBatch))
        return m_hrBatch;
    // Inside a transaction of the chunk nothing can commit yet.
    if (m_cTransactionDepth > 1)
        return MAPI_E_BUSY;
    return m_bChunkOpen ? CommitChunk() : S_OK;
}

uint64_t StoreDb::BatchSaves() {
    std::lock_guard<StoreMutex> lock(m_mutex);
    return m_ullBatchSaves;
}

uint64_t StoreDb::BatchCommitted() {
    std::lock_guard<StoreMutex> lock(m_mutex);
    return m_ullBatchCommitted;
}

HRESULT StoreDb::OpenChunk() {
    if (FAILED(m_hrBatch))
        return m_hrBatch;
    HRESULT hr = Run("BEGIN IMMEDIATE");
    if (FAILED(hr))
        return hr;
    m_mutex.SetChunkThread(std::this_thread::get_id());
    m_bChunkOpen = true;
    m_cChunkSaves = 0;
    m_cbChunk = 0;
    m_cTransactionDepth = 1;
    return S_OK;
}

HRESULT StoreDb::CommitChunk() {
    HRESULT hr = Run("COMMIT");
    if (FAILED(hr)) {
        m_hrBatch = hr;
        RollbackChunk();
        return hr;
    }
    m_ullBatchCommitted = m_ullBatchSaves;
    SettleNames(true);
    std::vector<Event> events;
    events.swap(m_chunkEvents);
    m_bChunkOpen = false;
    m_cTransactionDepth = 0;
    m_mutex.SetChunkThread({});
    for (Event& event : events)
        m_notifier.Post(std::move(event));
    return S_OK;
}

void StoreDb::RollbackChunk() {
    Run("ROLLBACK");
    SettleNames(false);
    m_chunkEvents.clear();
    m_bChunkOpen = false;
    m_cTransactionDepth = 0;
    m_mutex.SetChunkThread({});
}

HRESULT StoreDb::LeaveChunk() {
    if (!m_bChunkOpen || m_cTransactionDepth != 1)
        return S_OK;
    return CommitChunk();
}

void StoreDb::Post(Event event) {
    std::lock_guard<StoreMutex> lock(m_mutex);
    if (m_bChunkOpen)
        m_chunkEvents.push_back(std::move(event));
    else
        m_notifier.Post(std::move(event));
}

StoreDb::ReadScope::ReadScope(StoreDb& db) : m_db(db), m_lock(db.m_mutex) {
    if (m_db.m_cTransactionDepth == 0 && !m_db.m_bInReadScope && SUCCEEDED(m_db.Run("BEGIN")))
        m_db.m_bInReadScope = m_bOpen = true;
}

StoreDb::ReadScope::~ReadScope() {
    if (!m_bOpen)
        return;
    m_db.m_bInReadScope = false;
    if (FAILED(m_db.Run("COMMIT")))
        m_db.Run("ROLLBACK");  // a transaction left open would refuse every later write
}

HRESULT StoreDb::AllocateNid(ULONG ulType, ULONG* pNid) {
    std::lock_guard<StoreMutex> lock(m_mutex);
    if (m_ulNextIndex == m_ulEndIndex) {
        // A reservation commits at once, even within a batch: the saves there may roll back, the
        // indices handed out meanwhile are spent all the same.
        HRESULT hrChunk = LeaveChunk();
        if (FAILED(hrChunk))
            return hrChunk;
        // Inside the store creation the layout takes its indices from the open transaction.
        bool bInside = m_cTransactionDepth > 0;
        if (!bInside) {
            HRESULT hr = Run("BEGIN IMMEDIATE");
            if (FAILED(hr))
                return hr;
        }
        auto get = Cached("SELECT value FROM meta WHERE key='next_index'");
        int rc = get->Step();
        ULONG ulFirst = 0;
        HRESULT hr = rc == SQLITE_ROW ? S_OK : (rc == SQLITE_DONE ? MAPI_E_CORRUPT_STORE : HrFromSqlite(rc));
        if (rc == SQLITE_ROW) {
            // Decimal text as written; anything else (an overlong number included) is damage.
            const std::string text = get->Blob(0);
            auto [pEnd, ec] = std::from_chars(text.data(), text.data() + text.size(), ulFirst);
            if (ec != std::errc() || pEnd != text.data() + text.size())
                hr = MAPI_E_CORRUPT_STORE;
        }
        get->Reset();
        ULONG ulBlock = bInside ? 1 : kReserveBlock;
        if (SUCCEEDED(hr) && (ulFirst < kFirstIndex || ulFirst > (0x07FFFFFFu - ulBlock)))
            hr = MAPI_E_NOT_ENOUGH_RESOURCES;
        if (SUCCEEDED(hr)) {
            auto set = Cached("UPDATE meta SET value=? WHERE key='next_index'");
            set->BindText(1, std::to_string(ulFirst + ulBlock));
            hr = HrFromSqlite(set->Step());
            set->Reset();
        }
        if (!bInside)
            hr = SUCCEEDED(hr) ? Run("COMMIT") : (Run("ROLLBACK"), hr);
        if (FAILED(hr))
            return hr;
        m_ulNextIndex = ulFirst;
        m_ulEndIndex = ulFirst + ulBlock;
    }
    *pNid = (m_ulNextIndex++ << 5) | (ulType & 0x1F);
    return S_OK;
}

// ---- Objects ---------------------------------------------------------------------------------

HRESULT StoreDb::ObjectInfo(ULONG nid, ULONG* pParent, int64_t* pVersion) {
    std::lock_guard<StoreMutex> lock(m_mutex);
    auto st = Cached("SELECT parent, version FROM objects WHERE nid=?");
    st->Bind(1, nid);
    int rc = st->Step();
    if (rc == SQLITE_DONE)
        return MAPI_E_NOT_FOUND;
    if (rc != SQLITE_ROW)
        return HrFromSqlite(rc);
    if (pParent)
        *pParent = static_cast<ULONG>(st->Int(0));
    if (pVersion)
        *pVersion = st->Int(1);
    st->Reset();
    return S_OK;
}

HRESULT StoreDb::InsertObject(ULONG nid, ULONG parent) {
    std::lock_guard<StoreMutex> lock(m_mutex);
    auto st = Cached("INSERT INTO objects(nid, parent, version) VALUES(?, ?, 1)");
    st->Bind(1, nid).Bind(2, parent);
    return HrFromSqlite(st->Step());
}

HRESULT StoreDb::TouchObject(ULONG nid, int64_t* pNewVersion) {
    std::lock_guard<StoreMutex> lock(m_mutex);
    auto st = Cached("UPDATE objects SET version=version+1 WHERE nid=? RETURNING version");
    st->Bind(1, nid);
    int rc = st->Step();
    if (rc == SQLITE_DONE)
        return MAPI_E_OBJECT_DELETED;
    if (rc != SQLITE_ROW)
        return HrFromSqlite(rc);
    if (pNewVersion)
        *pNewVersion = st->Int(0);
    st->Reset();
    return S_OK;
}

HRESULT StoreDb::MoveObject(ULONG nid, ULONG newParent) {
    std::lock_guard<StoreMutex> lock(m_mutex);
    auto st = Cached("UPDATE objects SET parent=?, version=version+1 WHERE nid=?");
    st->Bind(1, newParent).Bind(2, nid);
    HRESULT hr = HrFromSqlite(st->Step());
    if (SUCCEEDED(hr) && sqlite3_changes(m_pDb) == 0)
        hr = MAPI_E_NOT_FOUND;
    return hr;
}

HRESULT StoreDb::Children(ULONG parent, std::vector<ULONG>& nids) {
    std::lock_guard<StoreMutex> lock(m_mutex);
    nids.clear();
    auto st = Cached("SELECT nid FROM objects WHERE parent=? ORDER BY nid");
    st->Bind(1, parent);
    int rc;
    while ((rc = st->Step()) == SQLITE_ROW)
        nids.push_back(static_cast<ULONG>(st->Int(0)));
    return rc == SQLITE_DONE ? S_OK : HrFromSqlite(rc);
}

HRESULT StoreDb::CountChildren(ULONG parent, ULONG ulType, ULONG* pCount) {
    std::lock_guard<StoreMutex> lock(m_mutex);
    auto st = Cached("SELECT count(*) FROM objects WHERE parent=? AND (nid & 31)=?");
    st->Bind(1, parent).Bind(2, ulType);
    int rc = st->Step();
    if (rc != SQLITE_ROW)
        return HrFromSqlite(rc);
    *pCount = static_cast<ULONG>(st->Int(0));
    st->Reset();
    return S_OK;
}

HRESULT StoreDb::CheckSubtree(ULONG nid) {
    std::lock_guard<StoreMutex> lock(m_mutex);
    // UNION, not UNION ALL: each node is visited once, so a loop in a damaged file ends the walk.
    auto st = Cached(
        "WITH RECURSIVE sub(n) AS (SELECT nid FROM objects WHERE parent=?1"
        " UNION SELECT o.nid FROM objects o JOIN sub ON o.parent=sub.n)"
        " SELECT 1 FROM sub WHERE n=?1");
    st->Bind(1, nid);
    int rc = st->Step();
    if (rc == SQLITE_ROW)
        return MAPI_E_CORRUPT_STORE;
    return rc == SQLITE_DONE ? S_OK : HrFromSqlite(rc);
}

HRESULT StoreDb::DeleteTree(ULONG nid) {
    std::lock_guard<StoreMutex> lock(m_mutex);
    // In a loop of parent links every node is below every other: deleting "the tree" of one would
    // take the whole loop and all that hangs from it, the root folder perhaps among them.
    HRESULT hr = CheckSubtree(nid);
    if (FAILED(hr))
        return hr;
    static const char* const kDeletes[] = {
        "WITH RECURSIVE sub(n) AS (SELECT ?1 UNION SELECT o.nid FROM objects o JOIN sub ON o.parent=sub.n)"
        " DELETE FROM props WHERE nid IN sub",
        "WITH RECURSIVE sub(n) AS (SELECT ?1 UNION SELECT o.nid FROM objects o JOIN sub ON o.parent=sub.n)"
        " DELETE FROM recipients WHERE nid IN sub",
        "WITH RECURSIVE sub(n) AS (SELECT ?1 UNION SELECT o.nid FROM objects o JOIN sub ON o.parent=sub.n)"
        " DELETE FROM searches WHERE nid IN sub",
        "WITH RECURSIVE sub(n) AS (SELECT ?1 UNION SELECT o.nid FROM objects o JOIN sub ON o.parent=sub.n)"
        " DELETE FROM receive_folders WHERE nid IN sub",
        "WITH RECURSIVE sub(n) AS (SELECT ?1 UNION SELECT o.nid FROM objects o JOIN sub ON o.parent=sub.n)"
        " DELETE FROM objects WHERE nid IN sub",
    };
    for (const char* pszSql : kDeletes) {
        auto st = Cached(pszSql);
        st->Bind(1, nid);
        hr = HrFromSqlite(st->Step());
        if (FAILED(hr))
            return hr;
    }
    return S_OK;
}

// ---- Properties ------------------------------------------------------------------------------

HRESULT StoreDb::LoadProps(ULONG nid, PropMap& props) {
    std::lock_guard<StoreMutex> lock(m_mutex);
    props.clear();
    auto st = Cached("SELECT tag, value FROM props WHERE nid=?");
    st->Bind(1, nid);
    int rc;
    while ((rc = st->Step()) == SQLITE_ROW) {
        ULONG ulTag = static_cast<ULONG>(st->Int(0));
        if (!IsStorableType(PROP_TYPE(ulTag)))
            return MAPI_E_CORRUPT_STORE;
        props[PROP_ID(ulTag)] = {ulTag, st->Blob(1)};
    }
    return rc == SQLITE_DONE ? S_OK : HrFromSqlite(rc);
}

HRESULT StoreDb::LoadPropsFor(ULONG nid, LPSPropTagArray lpTags, PropMap& props) {
    // A few ids are cheaper to look up one by one than to read every row of a large object.
    constexpr ULONG kMaxLookups = 8;
    if (!lpTags || lpTags->cValues > kMaxLookups)
        return LoadProps(nid, props);
    std::optional<ReadScope> scope;
    if (lpTags->cValues > 1)
        scope.emplace(*this);
    std::lock_guard<StoreMutex> lock(m_mutex);
    props.clear();
    for (ULONG i = 0; i < lpTags->cValues; ++i) {
        const ULONG ulId = PROP_ID(lpTags->aulPropTag[i]);
        StoredProp prop;
        HRESULT hr = LoadProp(nid, ulId, &prop);
        if (hr == MAPI_E_NOT_FOUND)
            continue;
        if (FAILED(hr))
            return hr;
        if (!IsStorableType(PROP_TYPE(prop.ulTag)))
            return MAPI_E_CORRUPT_STORE;
        props[ulId] = std::move(prop);
    }
    return S_OK;
}

HRESULT StoreDb::LoadProp(ULONG nid, ULONG ulId, StoredProp* pProp) {
    std::lock_guard<StoreMutex> lock(m_mutex);
    auto st = Cached("SELECT tag, value FROM props WHERE nid=? AND tag BETWEEN ? AND ?");
    st->Bind(1, nid).Bind(2, TagLow(ulId)).Bind(3, TagHigh(ulId));
    int rc = st->Step();
    if (rc == SQLITE_DONE)
        return MAPI_E_NOT_FOUND;
    if (rc != SQLITE_ROW)
        return HrFromSqlite(rc);
    pProp->ulTag = static_cast<ULONG>(st->Int(0));
    pProp->sData = st->Blob(1);
    st->Reset();
    return S_OK;
}

HRESULT StoreDb::LoadChildProps(ULONG parent, const std::vector<ULONG>& ids, std::map<ULONG, PropMap>& rows,
                                ChildTypes types, ChildRange range) {
    // The children and their values from one state of the file: a child another process removes
    // meanwhile must not come back as a row without values.
    ReadScope scope(*this);
    rows.clear();
    {
        auto st = Cached(
            "SELECT nid FROM objects WHERE parent=?1 AND (?2=0 OR (nid & 31) IN (?2, ?3)) AND nid BETWEEN ?4 AND ?5");
        st->Bind(1, parent).Bind(2, types.ulFirst).Bind(3, types.ulSecond).Bind(4, range.ulFirst).Bind(5, range.ulLast);
        int rc;
        while ((rc = st->Step()) == SQLITE_ROW)
            rows[static_cast<ULONG>(st->Int(0))];
        if (rc != SQLITE_DONE)
            return HrFromSqlite(rc);
    }
    // PR_NULL is never stored: asked for alone, it reads the children and no values.
    const bool bKeysOnly =
        !ids.empty() && std::all_of(ids.begin(), ids.end(), [](ULONG ulId) { return ulId == PROP_ID(PR_NULL); });
    if (rows.empty() || bKeysOnly)
        return S_OK;
    // One pass over the children per batch of wanted ids: values nobody asked for stay unread.
    const std::vector<ULONG> wanted = ids.empty() ? std::vector<ULONG>{0} : ids;
    for (size_t first = 0; first < wanted.size(); first += kChildIdBatch) {
        const size_t cIds = std::min(wanted.size() - first, kChildIdBatch);
        auto st = Cached(ids.empty() ? kAllChildPropsSql : ChildPropsSql(cIds));
        st->Bind(1, parent).Bind(2, types.ulFirst).Bind(3, types.ulSecond).Bind(4, range.ulFirst).Bind(5, range.ulLast);
        if (!ids.empty())
            for (size_t i = 0; i < cIds; ++i) {
                const int iParam = 6 + 2 * static_cast<int>(i);
                st->Bind(iParam, TagLow(wanted[first + i])).Bind(iParam + 1, TagHigh(wanted[first + i]));
            }
        int rc;
        while ((rc = st->Step()) == SQLITE_ROW) {
            ULONG ulTag = static_cast<ULONG>(st->Int(1));
            if (!IsStorableType(PROP_TYPE(ulTag)))
                return MAPI_E_CORRUPT_STORE;
            rows[static_cast<ULONG>(st->Int(0))][PROP_ID(ulTag)] = {ulTag, st->Blob(2)};
        }
        if (rc != SQLITE_DONE)
            return HrFromSqlite(rc);
    }
    return S_OK;
}

HRESULT StoreDb::WriteProp(ULONG nid, const StoredProp& prop) {
    std::lock_guard<StoreMutex> lock(m_mutex);
    ULONG ulId = PROP_ID(prop.ulTag);
    auto del = Cached("DELETE FROM props WHERE nid=? AND tag BETWEEN ? AND ? AND tag<>?");
    del->Bind(1, nid).Bind(2, TagLow(ulId)).Bind(3, TagHigh(ulId)).Bind(4, prop.ulTag);
    HRESULT hr = HrFromSqlite(del->Step());
    if (FAILED(hr))
        return hr;
    auto st = Cached("INSERT OR REPLACE INTO props(nid, tag, value) VALUES(?, ?, ?)");
    st->Bind(1, nid).Bind(2, prop.ulTag).Bind(3, prop.sData);
    CountBytes(prop.sData.size());
    return HrFromSqlite(st->Step());
}

HRESULT StoreDb::InsertProps(ULONG nid, const PropMap& props) {
    std::lock_guard<StoreMutex> lock(m_mutex);
    // Rows a removed object left under a reused id would otherwise join the new ones; one delete
    // for the object instead of one per value, since a new object has each id once.
    HRESULT hr = DeleteAllProps(nid);
    // Several rows per statement: each statement run has a fixed cost that one row does not repay.
    auto it = props.begin();
    for (size_t cLeft = props.size(); SUCCEEDED(hr) && cLeft;) {
        const size_t cRows = std::min(cLeft, kInsertBatch);
        auto st = Cached(InsertPropsSql(cRows));
        for (int i = 0; i < static_cast<int>(cRows); ++i, ++it) {
            st->Bind(3 * i + 1, nid).Bind(3 * i + 2, it->second.ulTag).BindStatic(3 * i + 3, it->second.sData);
            CountBytes(it->second.sData.size());
        }
        hr = HrFromSqlite(st->Step());
        cLeft -= cRows;
    }
    return hr;
}

HRESULT StoreDb::DeleteProp(ULONG nid, ULONG ulId) {
    std::lock_guard<StoreMutex> lock(m_mutex);
    auto st = Cached("DELETE FROM props WHERE nid=? AND tag BETWEEN ? AND ?");
    st->Bind(1, nid).Bind(2, TagLow(ulId)).Bind(3, TagHigh(ulId));
    return HrFromSqlite(st->Step());
}

HRESULT StoreDb::WriteProps(ULONG nid, const std::vector<StoredProp>& set, const std::vector<ULONG>& deleted) {
    std::lock_guard<StoreMutex> lock(m_mutex);
    HRESULT hr = S_OK;
    for (const auto& prop : set)
        if (SUCCEEDED(hr))
            hr = WriteProp(nid, prop);
    for (ULONG ulId : deleted)
        if (SUCCEEDED(hr))
            hr = DeleteProp(nid, ulId);
    return hr;
}

HRESULT StoreDb::DeleteAllProps(ULONG nid) {
    std::lock_guard<StoreMutex> lock(m_mutex);
    auto st = Cached("DELETE FROM props WHERE nid=?");
    st->Bind(1, nid);
    return HrFromSqlite(st->Step());
}

HRESULT StoreDb::LoadRecipients(ULONG nid, std::map<ULONG, PropMap>& rows) {
    std::lock_guard<StoreMutex> lock(m_mutex);
    rows.clear();
    auto st = Cached("SELECT row, data FROM recipients WHERE nid=? ORDER BY row");
    st->Bind(1, nid);
    int rc;
    while ((rc = st->Step()) == SQLITE_ROW) {
        if (!DecodePropList(st->Blob(1), rows[static_cast<ULONG>(st->Int(0))]))
            return MAPI_E_CORRUPT_STORE;
    }
    return rc == SQLITE_DONE ? S_OK : HrFromSqlite(rc);
}

HRESULT StoreDb::WriteRecipients(ULONG nid, const std::map<ULONG, PropMap>& rows) {
    std::lock_guard<StoreMutex> lock(m_mutex);
    auto del = Cached("DELETE FROM recipients WHERE nid=?");
    del->Bind(1, nid);
    HRESULT hr = HrFromSqlite(del->Step());
    auto ins = Cached("INSERT INTO recipients(nid, row, data) VALUES(?, ?, ?)");
    for (const auto& [ulRow, props] : rows) {
        if (FAILED(hr))
            break;
        ins->Reset();
        const std::string data = EncodePropList(props);
        CountBytes(data.size());
        ins->Bind(1, nid).Bind(2, ulRow).Bind(3, data);
        hr = HrFromSqlite(ins->Step());
    }
    return hr;
}

// ---- Named properties ------------------------------------------------------------------------

HRESULT StoreDb::IdFromName(const NameKey& key, bool bCreate, ULONG* pId) {
    std::lock_guard<StoreMutex> lock(m_mutex);
    if (auto it = m_nameToId.find(CacheKey(key)); it != m_nameToId.end()) {
        *pId = it->second;
        return S_OK;
    }
    std::string guid(reinterpret_cast<const char*>(&key.guid), sizeof key.guid);
    std::string name = Platform::ToUtf8(key.wsName);
    LONG lId = key.ulKind == MNID_ID ? key.lId : 0;
    // Header names compare as header fields do: "X-Antivirus" is "x-antivirus"; a name keeps the
    // spelling it was first created with.
    bool bHeader = key.ulKind == MNID_STRING && key.guid == PS_INTERNET_HEADERS;
    auto lookup = [&]() -> HRESULT {
        auto st = bHeader ? Cached(
                                "SELECT id FROM names WHERE guid=? AND kind=? AND lid=? AND name=? COLLATE NOCASE"
                                " ORDER BY id LIMIT 1")
                          : Cached("SELECT id FROM names WHERE guid=? AND kind=? AND lid=? AND name=?");
        st->Bind(1, guid).Bind(2, key.ulKind).Bind(3, lId).BindText(4, name);
        int rc = st->Step();
        if (rc == SQLITE_DONE)
            return MAPI_E_NOT_FOUND;
        if (rc != SQLITE_ROW)
            return HrFromSqlite(rc);
        *pId = static_cast<ULONG>(st->Int(0));
        st->Reset();
        return S_OK;
    };
    HRESULT hr = lookup();
    if (hr == MAPI_E_NOT_FOUND && bCreate) {
        // Other processes and the callers' caches may use the id at once: never part of a batch.
        Transaction txn(*this, true);
        hr = txn.Begun();
        if (SUCCEEDED(hr))
            hr = lookup();  // another process may have just created it
        if (hr == MAPI_E_NOT_FOUND) {
            auto next = Cached("SELECT coalesce(max(id) + 1, ?) FROM names");
            next->Bind(1, PROPS_ID_MIN);
            int rc = next->Step();
            ULONG ulNew = rc == SQLITE_ROW ? static_cast<ULONG>(next->Int(0)) : 0;
            next->Reset();
            hr = rc == SQLITE_ROW ? S_OK : HrFromSqlite(rc);
            if (SUCCEEDED(hr) && ulNew > PROPS_ID_MAX)
                hr = MAPI_E_NAMED_PROP_QUOTA_EXCEEDED;
            if (SUCCEEDED(hr)) {
                auto ins = Cached("INSERT INTO names(id, guid, kind, lid, name) VALUES(?, ?, ?, ?, ?)");
                ins->Bind(1, ulNew).Bind(2, guid).Bind(3, key.ulKind).Bind(4, lId).BindText(5, name);
                hr = HrFromSqlite(ins->Step());
            }
            if (SUCCEEDED(hr))
                hr = txn.Commit();
            if (FAILED(hr))
                return hr;
            *pId = ulNew;
            RememberName(ulNew, key);
            return S_OK;
        }
    }
    if (FAILED(hr))
        return hr;
    // Found: learnt as stored, since a header name may have been spelt otherwise.
    NameKey stored;
    return NameFromId(*pId, &stored);
}

HRESULT StoreDb::NameFromId(ULONG ulId, NameKey* pKey) {
    std::lock_guard<StoreMutex> lock(m_mutex);
    if (auto it = m_idToName.find(ulId); it != m_idToName.end()) {
        *pKey = it->second;
        return S_OK;
    }
    auto st = Cached("SELECT guid, kind, lid, name FROM names WHERE id=?");
    st->Bind(1, ulId);
    int rc = st->Step();
    if (rc == SQLITE_DONE)
        return MAPI_E_NOT_FOUND;
    if (rc != SQLITE_ROW)
        return HrFromSqlite(rc);
    std::string guid = st->Blob(0);
    if (guid.size() != sizeof(GUID))
        return MAPI_E_CORRUPT_STORE;
    NameKey key;
    std::memcpy(&key.guid, guid.data(), sizeof(GUID));
    key.ulKind = static_cast<ULONG>(st->Int(1));
    key.lId = static_cast<LONG>(st->Int(2));
    key.wsName = Platform::FromUtf8(st->Blob(3));
    st->Reset();
    if (key.ulKind != MNID_ID && key.ulKind != MNID_STRING)
        return MAPI_E_CORRUPT_STORE;
    RememberName(ulId, key);
    *pKey = key;
    return S_OK;
}

// A pair read or made inside a transaction is only known to be in the store once the outermost
// transaction commits; until then it waits apart, and a rollback drops it with its row.
void StoreDb::RememberName(ULONG ulId, const NameKey& key) {
    if (m_cTransactionDepth > 0) {
        m_pendingNames.emplace_back(ulId, key);
        return;
    }
    m_nameToId[CacheKey(key)] = ulId;
    m_idToName[ulId] = key;
}

void StoreDb::SettleNames(bool bCommitted) {
    if (bCommitted)
        for (const auto& [ulId, key] : m_pendingNames) {
            m_nameToId[CacheKey(key)] = ulId;
            m_idToName[ulId] = key;
        }
    m_pendingNames.clear();
}

NameKey StoreDb::CacheKey(const NameKey& key) {
    if (key.ulKind != MNID_STRING || !(key.guid == PS_INTERNET_HEADERS))
        return key;
    NameKey folded = key;
    for (wchar_t& c : folded.wsName)
        if (c >= L'A' && c <= L'Z')
            c = static_cast<wchar_t>(c - L'A' + L'a');
    return folded;
}

HRESULT StoreDb::AllNames(std::vector<std::pair<ULONG, NameKey>>& names) {
    std::lock_guard<StoreMutex> lock(m_mutex);
    names.clear();
    std::vector<ULONG> ids;
    {
        auto st = Cached("SELECT id FROM names ORDER BY id");
        int rc;
        while ((rc = st->Step()) == SQLITE_ROW)
            ids.push_back(static_cast<ULONG>(st->Int(0)));
        if (rc != SQLITE_DONE)
            return HrFromSqlite(rc);
    }
    for (ULONG ulId : ids) {
        NameKey key;
        HRESULT hr = NameFromId(ulId, &key);
        if (FAILED(hr))
            return hr;
        names.emplace_back(ulId, key);
    }
    return S_OK;
}

// ---- Receive folders and searches ------------------------------------------------------------

HRESULT StoreDb::SetReceiveFolder(const std::string& sClass, ULONG nid) {
    std::lock_guard<StoreMutex> lock(m_mutex);
    auto st = nid ? Cached("INSERT OR REPLACE INTO receive_folders(class, nid) VALUES(?, ?)")
                  : Cached("DELETE FROM receive_folders WHERE class=?");
    st->BindText(1, sClass);
    if (nid)
        st->Bind(2, nid);
    return HrFromSqlite(st->Step());
}

HRESULT StoreDb::ReceiveFolders(std::vector<std::pair<std::string, ULONG>>& rows) {
    std::lock_guard<StoreMutex> lock(m_mutex);
    rows.clear();
    auto st = Cached("SELECT class, nid FROM receive_folders ORDER BY class");
    int rc;
    while ((rc = st->Step()) == SQLITE_ROW)
        rows.emplace_back(st->Blob(0), static_cast<ULONG>(st->Int(1)));
    return rc == SQLITE_DONE ? S_OK : HrFromSqlite(rc);
}

HRESULT StoreDb::WriteSearch(ULONG nid, ULONG ulFlags, std::string_view restriction, std::string_view scope) {
    std::lock_guard<StoreMutex> lock(m_mutex);
    auto st = Cached("INSERT OR REPLACE INTO searches(nid, flags, restriction, scope) VALUES(?, ?, ?, ?)");
    st->Bind(1, nid).Bind(2, ulFlags).Bind(3, restriction).Bind(4, scope);
    return HrFromSqlite(st->Step());
}

HRESULT StoreDb::ReadSearch(ULONG nid, ULONG* pFlags, std::string* pRestriction, std::string* pScope) {
    std::lock_guard<StoreMutex> lock(m_mutex);
    auto st = Cached("SELECT flags, restriction, scope FROM searches WHERE nid=?");
    st->Bind(1, nid);
    int rc = st->Step();
    if (rc == SQLITE_DONE)
        return MAPI_E_NOT_INITIALIZED;
    if (rc != SQLITE_ROW)
        return HrFromSqlite(rc);
    *pFlags = static_cast<ULONG>(st->Int(0));
    *pRestriction = st->Blob(1);
    *pScope = st->Blob(2);
    st->Reset();
    return S_OK;
}

}  // namespace Platform::Mapi
