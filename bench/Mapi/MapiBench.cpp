// Creating 10,000 messages of 20 properties, one SaveChanges each, against plain SQLite inserts of
// the same rows (an object row and 20 property rows per message, one transaction per message, same
// journal and sync settings); and reading a 10,000-row contents table restricted on a named
// property; and opening those 10,000 messages by entry id to read their 20 properties, against the
// same reads of the baseline rows straight from SQLite. Both sides use wall time: each commit writes
// to the WAL file, which CPU time misses. Prints the ratios of the creation and of the read times at
// the end; the goal of each is at most 3.
#include <benchmark/benchmark.h>
#include <sqlite3.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "Platform/Com/ComPtr.h"
#include "Platform/Mapi/MapiAlloc.h"
#include "Platform/Mapi/MapiGuids.h"
#include "Platform/Mapi/MapiTags.h"
#include "Platform/Mapi/MapiUtil.h"
#include "Platform/Mapi/Store/OsdStore.h"

namespace {

using Platform::ComPtr;

constexpr int kMessages = 10000;
constexpr int kProps = 20;

std::filesystem::path TempDir() {
    static const std::filesystem::path dir = [] {
        std::filesystem::path d = std::filesystem::temp_directory_path() / ("mapi_bench." + std::to_string(getpid()));
        std::filesystem::create_directories(d);
        return d;
    }();
    return dir;
}

std::wstring Subject(int i) {
    return L"Weekly status of project " + std::to_wstring(i);
}

ComPtr<IMAPIFolder> InboxOf(IMsgStore* pStore) {
    ULONG cb = 0;
    LPENTRYID pEid = nullptr;
    pStore->GetReceiveFolder((LPTSTR)L"", MAPI_UNICODE, &cb, &pEid, nullptr);
    ComPtr<IMAPIFolder> pFolder;
    ULONG ulType;
    pStore->OpenEntry(cb, pEid, nullptr, MAPI_BEST_ACCESS, &ulType, reinterpret_cast<IUnknown**>(pFolder.AddressOf()));
    MAPIFreeBuffer(pEid);
    return pFolder;
}

// The 20 values of message i: a subject, a class, a named long and 17 further longs and strings.
void FillValues(int i, ULONG ulNamed, std::vector<SPropValue>& values, std::vector<std::wstring>& texts) {
    texts = {Subject(i), L"IPM.Note", L"sender" + std::to_wstring(i) + L"@example.com"};
    values.assign(kProps, SPropValue{});
    values[0].ulPropTag = PR_SUBJECT_W, values[0].Value.lpszW = texts[0].data();
    values[1].ulPropTag = PR_MESSAGE_CLASS_W, values[1].Value.lpszW = texts[1].data();
    values[2].ulPropTag = PR_SENDER_EMAIL_ADDRESS_W, values[2].Value.lpszW = texts[2].data();
    values[3].ulPropTag = ulNamed, values[3].Value.l = i % 100;
    for (int j = 4; j < kProps; ++j) {
        values[j].ulPropTag = PROP_TAG(PT_LONG, 0x6800 + j);
        values[j].Value.l = i * j;
    }
}

double g_mapiSeconds = 0, g_sqliteSeconds = 0;

void CreateMessagesThroughMapi(benchmark::State& state) {
    for (auto _ : state) {
        std::filesystem::path path = TempDir() / "create.osd";
        std::filesystem::remove(path);
        ComPtr<IMsgStore> pStore;
        Platform::OpenOsdStore(path, true, L"", true, pStore.AddressOf());
        ComPtr<IMAPIFolder> pInbox = InboxOf(pStore.Get());
        MAPINAMEID name{const_cast<GUID*>(&PS_PUBLIC_STRINGS), MNID_STRING, {}};
        name.Kind.lpwstrName = const_cast<wchar_t*>(L"OstrelId");
        LPMAPINAMEID pName = &name;
        LPSPropTagArray pTags = nullptr;
        pStore->GetIDsFromNames(1, &pName, MAPI_CREATE, &pTags);
        ULONG ulNamed = CHANGE_PROP_TYPE(pTags->aulPropTag[0], PT_LONG);
        MAPIFreeBuffer(pTags);
        std::vector<SPropValue> values;
        std::vector<std::wstring> texts;
        auto start = std::chrono::steady_clock::now();
        for (int i = 0; i < kMessages; ++i) {
            ComPtr<IMessage> pMsg;
            pInbox->CreateMessage(nullptr, 0, pMsg.AddressOf());
            FillValues(i, ulNamed, values, texts);
            pMsg->SetProps(kProps, values.data(), nullptr);
            if (FAILED(pMsg->SaveChanges(0)))
                state.SkipWithError("SaveChanges failed");
        }
        double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        state.SetIterationTime(seconds);
        g_mapiSeconds = seconds;
    }
    state.counters["msgs_per_s"] = benchmark::Counter(kMessages, benchmark::Counter::kIsRate);
}

void CreateRowsThroughSqlite(benchmark::State& state) {
    for (auto _ : state) {
        std::filesystem::path path = TempDir() / "baseline.db";
        std::filesystem::remove(path);
        sqlite3* pDb = nullptr;
        sqlite3_open(path.c_str(), &pDb);
        sqlite3_exec(pDb,
                     "PRAGMA journal_mode=WAL; PRAGMA synchronous=NORMAL;"
                     "CREATE TABLE objects(nid INTEGER PRIMARY KEY, parent INTEGER NOT NULL, version INTEGER NOT NULL);"
                     "CREATE INDEX objects_parent ON objects(parent);"
                     "CREATE TABLE props(nid INTEGER NOT NULL, tag INTEGER NOT NULL, value BLOB NOT NULL,"
                     " PRIMARY KEY(nid, tag)) WITHOUT ROWID;",
                     nullptr, nullptr, nullptr);
        sqlite3_stmt* pObject = nullptr;
        sqlite3_stmt* pProp = nullptr;
        sqlite3_prepare_v2(pDb, "INSERT INTO objects(nid, parent, version) VALUES(?, 1, 1)", -1, &pObject, nullptr);
        sqlite3_prepare_v2(pDb, "INSERT INTO props(nid, tag, value) VALUES(?, ?, ?)", -1, &pProp, nullptr);
        auto start = std::chrono::steady_clock::now();
        for (int i = 0; i < kMessages; ++i) {
            sqlite3_exec(pDb, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr);
            sqlite3_bind_int64(pObject, 1, (i + 1000) << 5 | 4);
            sqlite3_step(pObject);
            sqlite3_reset(pObject);
            for (int j = 0; j < kProps; ++j) {
                std::string value = j < 3 ? "Weekly status of project " + std::to_string(i) : std::to_string(i * j);
                sqlite3_bind_int64(pProp, 1, (i + 1000) << 5 | 4);
                sqlite3_bind_int64(pProp, 2, (0x6800 + j) << 16 | 3);
                sqlite3_bind_blob(pProp, 3, value.data(), static_cast<int>(value.size()), SQLITE_TRANSIENT);
                sqlite3_step(pProp);
                sqlite3_reset(pProp);
            }
            sqlite3_exec(pDb, "COMMIT", nullptr, nullptr, nullptr);
        }
        double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        state.SetIterationTime(seconds);
        g_sqliteSeconds = seconds;
        sqlite3_finalize(pObject);
        sqlite3_finalize(pProp);
        sqlite3_close(pDb);
    }
    state.counters["msgs_per_s"] = benchmark::Counter(kMessages, benchmark::Counter::kIsRate);
}

// The store written by CreateMessagesThroughMapi: 10,000 messages, the named property from 0 to 99.
void RestrictOnNamedProperty(benchmark::State& state) {
    ComPtr<IMsgStore> pStore;
    if (FAILED(Platform::OpenOsdStore(TempDir() / "create.osd", false, L"", false, pStore.AddressOf()))) {
        state.SkipWithError("run CreateMessagesThroughMapi first");
        return;
    }
    ComPtr<IMAPIFolder> pInbox = InboxOf(pStore.Get());
    MAPINAMEID name{const_cast<GUID*>(&PS_PUBLIC_STRINGS), MNID_STRING, {}};
    name.Kind.lpwstrName = const_cast<wchar_t*>(L"OstrelId");
    LPMAPINAMEID pName = &name;
    LPSPropTagArray pTags = nullptr;
    pStore->GetIDsFromNames(1, &pName, 0, &pTags);
    ULONG ulNamed = CHANGE_PROP_TYPE(pTags->aulPropTag[0], PT_LONG);
    MAPIFreeBuffer(pTags);
    SPropValue value{ulNamed, 0, {}};
    value.Value.l = 42;
    SRestriction res{RES_PROPERTY, {}};
    res.res.resProperty = {RELOP_EQ, ulNamed, &value};
    SizedSPropTagArray(3, cols) = {3, {PR_ENTRYID, PR_SUBJECT_W, ulNamed}};
    size_t cMatches = 0;
    for (auto _ : state) {
        ComPtr<IMAPITable> pTable;
        pInbox->GetContentsTable(0, pTable.AddressOf());
        LPSRowSet pRows = nullptr;
        HrQueryAllRows(pTable.Get(), (LPSPropTagArray)&cols, &res, nullptr, 0, &pRows);
        cMatches = pRows ? pRows->cRows : 0;
        FreeProws(pRows);
    }
    if (cMatches != kMessages / 100)
        state.SkipWithError("wrong number of matching rows");
    state.counters["rows_per_s"] =
        benchmark::Counter(static_cast<double>(kMessages) * state.iterations(), benchmark::Counter::kIsRate);
}

// The 20 tags that ReadMessagesThroughMapi asks for: those FillValues wrote.
std::vector<ULONG> ReadTags(ULONG ulNamed) {
    std::vector<ULONG> tags = {PR_SUBJECT_W, PR_MESSAGE_CLASS_W, PR_SENDER_EMAIL_ADDRESS_W, ulNamed};
    for (int j = 4; j < kProps; ++j)
        tags.push_back(PROP_TAG(PT_LONG, 0x6800 + j));
    return tags;
}

double g_mapiReadSeconds = 0, g_sqliteReadSeconds = 0;

// The store written by CreateMessagesThroughMapi: each message opened by its entry id and its 20
// properties read, as the id mapper and the converters read the messages they are handed.
void ReadMessagesThroughMapi(benchmark::State& state) {
    ComPtr<IMsgStore> pStore;
    if (FAILED(Platform::OpenOsdStore(TempDir() / "create.osd", false, L"", false, pStore.AddressOf()))) {
        state.SkipWithError("run CreateMessagesThroughMapi first");
        return;
    }
    ComPtr<IMAPIFolder> pInbox = InboxOf(pStore.Get());
    ComPtr<IMAPITable> pTable;
    pInbox->GetContentsTable(0, pTable.AddressOf());
    SizedSPropTagArray(1, eidCol) = {1, {PR_ENTRYID}};
    LPSRowSet pRows = nullptr;
    HrQueryAllRows(pTable.Get(), (LPSPropTagArray)&eidCol, nullptr, nullptr, 0, &pRows);
    std::vector<std::string> eids;
    for (ULONG i = 0; pRows && i < pRows->cRows; ++i)
        eids.emplace_back(reinterpret_cast<const char*>(pRows->aRow[i].lpProps[0].Value.bin.lpb),
                          pRows->aRow[i].lpProps[0].Value.bin.cb);
    FreeProws(pRows);
    MAPINAMEID name{const_cast<GUID*>(&PS_PUBLIC_STRINGS), MNID_STRING, {}};
    name.Kind.lpwstrName = const_cast<wchar_t*>(L"OstrelId");
    LPMAPINAMEID pName = &name;
    LPSPropTagArray pNamed = nullptr;
    pStore->GetIDsFromNames(1, &pName, 0, &pNamed);
    std::vector<ULONG> tags = ReadTags(CHANGE_PROP_TYPE(pNamed->aulPropTag[0], PT_LONG));
    MAPIFreeBuffer(pNamed);
    std::vector<ULONG> tagArray(1 + tags.size());
    tagArray[0] = static_cast<ULONG>(tags.size());
    std::copy(tags.begin(), tags.end(), tagArray.begin() + 1);
    long long llSum = 0;
    for (auto _ : state) {
        auto start = std::chrono::steady_clock::now();
        for (const std::string& eid : eids) {
            ComPtr<IMessage> pMsg;
            ULONG ulType = 0;
            if (FAILED(pStore->OpenEntry(static_cast<ULONG>(eid.size()), (LPENTRYID)eid.data(), &IID_IMessage, 0,
                                         &ulType, reinterpret_cast<IUnknown**>(pMsg.AddressOf())))) {
                state.SkipWithError("OpenEntry failed");
                return;
            }
            ULONG cValues = 0;
            LPSPropValue pValues = nullptr;
            if (pMsg->GetProps(reinterpret_cast<LPSPropTagArray>(tagArray.data()), 0, &cValues, &pValues) != S_OK) {
                state.SkipWithError("GetProps failed");
                return;
            }
            llSum += pValues[3].Value.l;
            MAPIFreeBuffer(pValues);
        }
        double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        state.SetIterationTime(seconds);
        g_mapiReadSeconds = seconds;
    }
    if (eids.size() != kMessages || llSum == 0)
        state.SkipWithError("wrong messages");
    state.counters["msgs_per_s"] = benchmark::Counter(static_cast<double>(eids.size()), benchmark::Counter::kIsRate);
}

// The same reads from the baseline file: the object row by node id, then its 20 property rows.
void ReadRowsThroughSqlite(benchmark::State& state) {
    sqlite3* pDb = nullptr;
    if (sqlite3_open_v2((TempDir() / "baseline.db").c_str(), &pDb, SQLITE_OPEN_READONLY, nullptr) != SQLITE_OK) {
        state.SkipWithError("run CreateRowsThroughSqlite first");
        sqlite3_close(pDb);
        return;
    }
    sqlite3_stmt* pObject = nullptr;
    sqlite3_stmt* pProps = nullptr;
    sqlite3_prepare_v2(pDb, "SELECT parent, version FROM objects WHERE nid=?", -1, &pObject, nullptr);
    sqlite3_prepare_v2(pDb, "SELECT tag, value FROM props WHERE nid=?", -1, &pProps, nullptr);
    size_t cValues = 0;
    for (auto _ : state) {
        auto start = std::chrono::steady_clock::now();
        for (int i = 0; i < kMessages; ++i) {
            sqlite3_int64 nid = (i + 1000) << 5 | 4;
            sqlite3_bind_int64(pObject, 1, nid);
            if (sqlite3_step(pObject) != SQLITE_ROW)
                state.SkipWithError("missing object");
            sqlite3_reset(pObject);
            sqlite3_bind_int64(pProps, 1, nid);
            std::map<ULONG, std::string> values;
            while (sqlite3_step(pProps) == SQLITE_ROW)
                values[static_cast<ULONG>(sqlite3_column_int64(pProps, 0))].assign(
                    static_cast<const char*>(sqlite3_column_blob(pProps, 1)), sqlite3_column_bytes(pProps, 1));
            sqlite3_reset(pProps);
            cValues += values.size();
        }
        double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        state.SetIterationTime(seconds);
        g_sqliteReadSeconds = seconds;
    }
    if (cValues == 0)
        state.SkipWithError("no values read");
    sqlite3_finalize(pObject);
    sqlite3_finalize(pProps);
    sqlite3_close(pDb);
    state.counters["msgs_per_s"] = benchmark::Counter(kMessages, benchmark::Counter::kIsRate);
}

BENCHMARK(CreateRowsThroughSqlite)->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(CreateMessagesThroughMapi)->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(RestrictOnNamedProperty)->Unit(benchmark::kMillisecond)->MinTime(2.0);
BENCHMARK(ReadRowsThroughSqlite)->Iterations(3)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(ReadMessagesThroughMapi)->Iterations(3)->UseManualTime()->Unit(benchmark::kMillisecond);

class RatioReporter : public benchmark::ConsoleReporter {
public:
    void Finalize() override {
        ConsoleReporter::Finalize();
        if (g_mapiSeconds > 0 && g_sqliteSeconds > 0)
            std::printf("ratio CreateMessagesThroughMapi / CreateRowsThroughSqlite = %.2f (goal <= 3)\n",
                        g_mapiSeconds / g_sqliteSeconds);
        if (g_mapiReadSeconds > 0 && g_sqliteReadSeconds > 0)
            std::printf("ratio ReadMessagesThroughMapi / ReadRowsThroughSqlite = %.2f (goal <= 3)\n",
                        g_mapiReadSeconds / g_sqliteReadSeconds);
    }
};

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    std::error_code ec;
    std::filesystem::remove_all(TempDir(), ec);
    return 0;
}
