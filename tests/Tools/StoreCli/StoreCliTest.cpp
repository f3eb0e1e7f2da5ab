// `ostrel store` run as a program against a store built here: the folder tree, a folder's messages,
// every property of an object (named ones by set and id or name), exported property streams, and
// the errors for files that are missing or are not stores.
#include <pwd.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "Platform/Base/Utf.h"
#include "Platform/Mapi/Mapi.h"
#include "Support/Files.h"
#include "Support/Process.h"
#include "Support/TempHome.h"
#include "Support/Text.h"

namespace {

using Platform::ComPtr;

using CliRun = TestSupport::ProgramRun;

// `ostrel store ARGS`; its standard output is read, or goes to `redirect` when one is given.
CliRun Store(const std::vector<std::string>& args, const std::string& redirect = std::string()) {
    std::vector<std::string> all = {"store"};
    all.insert(all.end(), args.begin(), args.end());
    return TestSupport::RunProgram(OSTREL_CLI, all, std::string(), redirect);
}

// The row whose field `column` is `value` (an empty row when there is none).
std::vector<std::string> Find(const std::vector<std::vector<std::string>>& rows, size_t column,
                              const std::string& value) {
    for (const auto& row : rows)
        if (row.size() > column && row[column] == value)
            return row;
    return {};
}

std::string Hex(const std::string& bytes) {
    static const char digits[] = "0123456789ABCDEF";
    std::string out;
    for (unsigned char c : bytes) {
        out += digits[c >> 4];
        out += digits[c & 15];
    }
    return out;
}

void Check(HRESULT hr) {
    ASSERT_EQ(hr, S_OK);
}

void SetText(IMAPIProp* p, ULONG ulTag, const std::wstring& text) {
    SPropValue v{ulTag, 0, {}};
    v.Value.lpszW = const_cast<wchar_t*>(text.c_str());
    Check(HrSetOneProp(p, &v));
}

void SetLong(IMAPIProp* p, ULONG ulTag, LONG l) {
    SPropValue v{ulTag, 0, {}};
    v.Value.l = l;
    Check(HrSetOneProp(p, &v));
}

void SetBinary(IMAPIProp* p, ULONG ulTag, const std::string& bytes) {
    SPropValue v{ulTag, 0, {}};
    v.Value.bin = {static_cast<ULONG>(bytes.size()), reinterpret_cast<LPBYTE>(const_cast<char*>(bytes.data()))};
    Check(HrSetOneProp(p, &v));
}

std::string Binary(IMAPIProp* p, ULONG ulTag) {
    LPSPropValue v = nullptr;
    if (FAILED(HrGetOneProp(p, ulTag, &v)))
        return {};
    std::string bytes(reinterpret_cast<const char*>(v->Value.bin.lpb), v->Value.bin.cb);
    MAPIFreeBuffer(v);
    return bytes;
}

ULONG NamedTag(IMAPIProp* p, MAPINAMEID name, ULONG ulType) {
    LPMAPINAMEID pName = &name;
    LPSPropTagArray pTags = nullptr;
    EXPECT_EQ(p->GetIDsFromNames(1, &pName, MAPI_CREATE, &pTags), S_OK);
    ULONG ulTag = pTags ? CHANGE_PROP_TYPE(pTags->aulPropTag[0], ulType) : PR_NULL;
    MAPIFreeBuffer(pTags);
    return ulTag;
}

class StoreCliTest : public ::testing::Test {
protected:
    // Inbox with a subfolder, two messages (one with a named property of each kind, a recipient and
    // an attachment) and a hidden message.
    void SetUp() override {
        // Stores live in user-named directories: a name beyond ASCII must work everywhere.
        std::filesystem::create_directory(m_home.Path() / "B\xC3\xBCro");
        m_path = m_home.Path() / "B\xC3\xBCro" / "caf\xC3\xA9.osd";
        ComPtr<IMsgStore> pStore;
        ASSERT_EQ(Platform::OpenOsdStore(m_path, true, L"Cli", true, pStore.AddressOf()), S_OK);
        ULONG cb = 0;
        LPENTRYID pEid = nullptr;
        ASSERT_EQ(pStore->GetReceiveFolder((LPTSTR)L"IPM.Note", MAPI_UNICODE, &cb, &pEid, nullptr), S_OK);
        m_inbox.assign(reinterpret_cast<const char*>(pEid), cb);
        MAPIFreeBuffer(pEid);
        ComPtr<IMAPIFolder> pInbox;
        ULONG ulType = 0;
        ASSERT_EQ(pStore->OpenEntry(cb, (LPENTRYID)m_inbox.data(), &IID_IMAPIFolder, MAPI_MODIFY, &ulType,
                                    reinterpret_cast<IUnknown**>(pInbox.AddressOf())),
                  S_OK);

        ComPtr<IMessage> pMsg;
        ASSERT_EQ(pInbox->CreateMessage(nullptr, 0, pMsg.AddressOf()), S_OK);
        SetText(pMsg.Get(), PR_MESSAGE_CLASS_W, L"IPM.Note");
        SetText(pMsg.Get(), PR_SUBJECT_W, L"Stra\u00DFe\tplan");
        SetText(pMsg.Get(), PR_BODY_W, m_body);
        MAPINAMEID byId{const_cast<GUID*>(&PSETID_Common), MNID_ID, {}};
        byId.Kind.lID = 0x8503;
        SetLong(pMsg.Get(), NamedTag(pMsg.Get(), byId, PT_LONG), 42);
        MAPINAMEID byName{const_cast<GUID*>(&PS_PUBLIC_STRINGS), MNID_STRING, {}};
        byName.Kind.lpwstrName = const_cast<wchar_t*>(L"Project");
        SetText(pMsg.Get(), NamedTag(pMsg.Get(), byName, PT_UNICODE), L"Apollo");

        void* p = nullptr;
        ASSERT_EQ(MAPIAllocateBuffer(static_cast<ULONG>(CbNewADRLIST(1)), &p), S_OK);
        auto* pList = static_cast<ADRLIST*>(p);
        pList->cEntries = 1;
        ASSERT_EQ(MAPIAllocateBuffer(2 * sizeof(SPropValue), &p), S_OK);
        auto* pRecip = static_cast<LPSPropValue>(p);
        pRecip[0].ulPropTag = PR_DISPLAY_NAME_W;
        pRecip[0].Value.lpszW = const_cast<wchar_t*>(L"Ann Example");
        pRecip[1].ulPropTag = PR_RECIPIENT_TYPE;
        pRecip[1].Value.l = MAPI_TO;
        pList->aEntries[0] = {0, 2, pRecip};
        ASSERT_EQ(pMsg->ModifyRecipients(MODRECIP_ADD, pList), S_OK);
        FreePadrlist(pList);

        ComPtr<IAttach> pAttach;
        ULONG ulNum = 0;
        ASSERT_EQ(pMsg->CreateAttach(nullptr, 0, &ulNum, pAttach.AddressOf()), S_OK);
        SetLong(pAttach.Get(), PR_ATTACH_METHOD, ATTACH_BY_VALUE);
        SetText(pAttach.Get(), PR_ATTACH_LONG_FILENAME_W, L"data.bin");
        SetBinary(pAttach.Get(), PR_ATTACH_DATA_BIN, m_attachment);
        ASSERT_EQ(pAttach->SaveChanges(0), S_OK);
        ASSERT_EQ(pMsg->SaveChanges(KEEP_OPEN_READONLY), S_OK);
        m_message = Binary(pMsg.Get(), PR_ENTRYID);

        ComPtr<IMessage> pSecond, pHidden;
        ASSERT_EQ(pInbox->CreateMessage(nullptr, 0, pSecond.AddressOf()), S_OK);
        SetText(pSecond.Get(), PR_SUBJECT_W, L"Second");
        ASSERT_EQ(pSecond->SaveChanges(KEEP_OPEN_READWRITE), S_OK);
        ASSERT_EQ(pSecond->SetReadFlag(CLEAR_READ_FLAG), S_OK);
        ASSERT_EQ(pInbox->CreateMessage(nullptr, MAPI_ASSOCIATED, pHidden.AddressOf()), S_OK);
        SetText(pHidden.Get(), PR_MESSAGE_CLASS_W, L"IPM.Configuration.View");
        ASSERT_EQ(pHidden->SaveChanges(0), S_OK);

        ComPtr<IMAPIFolder> pSub;
        ASSERT_EQ(
            pInbox->CreateFolder(FOLDER_GENERIC, (LPTSTR)L"Projects", nullptr, nullptr, MAPI_UNICODE, pSub.AddressOf()),
            S_OK);
        m_subfolder = Binary(pSub.Get(), PR_ENTRYID);
    }

    TestSupport::TempHome m_home;
    std::filesystem::path m_path;
    std::string m_inbox, m_message, m_subfolder;
    std::wstring m_body = std::wstring(20000, L'w') + L" \u00E9t\u00E9 \u2603";
    std::string m_attachment = [] {
        std::string bytes;
        for (int i = 0; i < 70000; ++i)
            bytes += static_cast<char>(i * 7);
        return bytes;
    }();
};

TEST_F(StoreCliTest, FoldersShowTheTreeWithCountsAndEntryIds) {
    CliRun run = Store({"folders", m_path.string()});
    ASSERT_EQ(run.iExit, 0) << run.sErr;
    auto rows = TestSupport::TabSeparatedRows(run.sOut);
    ASSERT_GE(rows.size(), 15u);
    EXPECT_EQ(rows[0][0], "# folder");
    EXPECT_EQ(rows[1][0], "(root)");
    // Inbox sits below "Top of Personal Folders", its subfolder one level further in.
    EXPECT_EQ(Find(rows, 0, "  Top of Personal Folders").size(), 5u);
    EXPECT_EQ(Find(rows, 0, "    Inbox"), (std::vector<std::string>{"    Inbox", "2", "1", "1", Hex(m_inbox)}));
    EXPECT_EQ(Find(rows, 4, Hex(m_subfolder)).at(0), "      Projects");
    EXPECT_EQ(Find(rows, 0, "    Outbox").at(1), "0");
}

TEST_F(StoreCliTest, MessagesOfAFolderByPathOrEntryId) {
    CliRun byPath = Store({"messages", m_path.string(), "top of personal folders/INBOX"});
    ASSERT_EQ(byPath.iExit, 0) << byPath.sErr;
    CliRun byId = Store({"messages", m_path.string(), Hex(m_inbox)});
    EXPECT_EQ(byId.sOut, byPath.sOut);
    auto rows = TestSupport::TabSeparatedRows(byPath.sOut);
    ASSERT_EQ(rows.size(), 4u) << byPath.sOut;
    EXPECT_EQ(rows[1][0], Hex(m_message));
    EXPECT_EQ(rows[1][1], "IPM.Note");
    EXPECT_EQ(rows[1][2],
              "Stra\xC3\x9F"
              "e\\tplan");  // a tab in a value is escaped, not a column
    EXPECT_EQ(rows[2][2], "Second");
    EXPECT_EQ(rows[3][0], "# 2 message(s)");

    CliRun hidden = Store({"messages", m_path.string(), Hex(m_inbox), "--associated"});
    ASSERT_EQ(hidden.iExit, 0);
    rows = TestSupport::TabSeparatedRows(hidden.sOut);
    ASSERT_EQ(rows.size(), 3u);
    EXPECT_EQ(rows[1][1], "IPM.Configuration.View");

    CliRun missing = Store({"messages", m_path.string(), "Top of Personal Folders/Nowhere"});
    EXPECT_EQ(missing.iExit, 1);
    EXPECT_NE(missing.sErr.find("no such folder: Top of Personal Folders/Nowhere"), std::string::npos) << missing.sErr;
}

TEST_F(StoreCliTest, PropsNameEveryPropertyAndListRecipientsAndAttachments) {
    CliRun run = Store({"props", m_path.string(), Hex(m_message)});
    ASSERT_EQ(run.iExit, 0) << run.sErr;
    auto rows = TestSupport::TabSeparatedRows(run.sOut);
    EXPECT_EQ(Find(rows, 1, "PR_SUBJECT_W"), (std::vector<std::string>{"0x0037001F", "PR_SUBJECT_W", "PT_UNICODE",
                                                                       "\"Stra\xC3\x9F"
                                                                       "e\\tplan\""}));
    EXPECT_EQ(Find(rows, 1, "{00062008-0000-0000-C000-000000000046} 0x8503").at(3), "42 (0x0000002A)");
    EXPECT_EQ(Find(rows, 1, "{00020329-0000-0000-C000-000000000046} \"Project\"").at(3), "\"Apollo\"");
    // The recipient and the attachment follow under their own headings.
    EXPECT_FALSE(Find(rows, 0, "# recipient 0").empty());
    EXPECT_EQ(Find(rows, 1, "PR_DISPLAY_NAME_W").at(3), "\"Ann Example\"");
    EXPECT_FALSE(Find(rows, 0, "# attachment 0").empty());
    EXPECT_EQ(Find(rows, 1, "PR_ATTACH_LONG_FILENAME_W").at(3), "\"data.bin\"");

    CliRun attach = Store({"props", m_path.string(), Hex(m_message), "--attach", "0"});
    ASSERT_EQ(attach.iExit, 0) << attach.sErr;
    std::string data = Find(TestSupport::TabSeparatedRows(attach.sOut), 1, "PR_ATTACH_DATA_BIN").at(3);
    EXPECT_EQ(data, "<70000 bytes> " + Hex(m_attachment.substr(0, 64)) + "...");

    CliRun store = Store({"props", m_path.string(), "store"});
    ASSERT_EQ(store.iExit, 0);
    EXPECT_EQ(Find(TestSupport::TabSeparatedRows(store.sOut), 1, "PR_DISPLAY_NAME_W").at(3), "\"Cli\"");

    CliRun bad = Store({"props", m_path.string(), "00112233"});
    EXPECT_EQ(bad.iExit, 1);
    EXPECT_NE(bad.sErr.find("cannot open 00112233"), std::string::npos) << bad.sErr;
}

TEST_F(StoreCliTest, ExportWritesPropertyStreamsByteForByte) {
    const auto out = m_home.Path() / "body.txt";
    CliRun body = Store({"export", m_path.string(), Hex(m_message), "0x1000001F", out.string()});
    ASSERT_EQ(body.iExit, 0) << body.sErr;
    EXPECT_EQ(TestSupport::ReadFile(out), Platform::ToUtf8(m_body));  // wide text as UTF-8
    EXPECT_NE(body.sOut.find(std::to_string(Platform::ToUtf8(m_body).size()) + " bytes written to "),
              std::string::npos);

    const auto bin = m_home.Path() / "data.bin";
    CliRun attach = Store({"export", m_path.string(), Hex(m_message), "37010102", bin.string(), "--attach", "0"});
    ASSERT_EQ(attach.iExit, 0) << attach.sErr;
    EXPECT_EQ(TestSupport::ReadFile(bin), m_attachment);

    CliRun missing = Store({"export", m_path.string(), Hex(m_message), "0x1013001F", out.string()});
    EXPECT_EQ(missing.iExit, 1);
    EXPECT_NE(missing.sErr.find("cannot open the property as a stream"), std::string::npos) << missing.sErr;
    CliRun badTag = Store({"export", m_path.string(), Hex(m_message), "subject", out.string()});
    EXPECT_EQ(badTag.iExit, 1);
    EXPECT_NE(badTag.sErr.find("not a property tag: subject"), std::string::npos);
}

TEST_F(StoreCliTest, ExportNeverHarmsTheStoreAndWritesStandardOutput) {
    const std::string before = TestSupport::ReadFile(m_path);
    const auto link = m_home.Path() / "link.osd";
    std::filesystem::create_symlink(m_path, link);
    for (const auto& out : {m_path, link}) {
        CliRun self = Store({"export", m_path.string(), Hex(m_message), "0x1000001F", out.string()});
        EXPECT_EQ(self.iExit, 1);
        EXPECT_NE(self.sErr.find(out.string() + " is the store file itself"), std::string::npos) << self.sErr;
    }
    EXPECT_EQ(TestSupport::ReadFile(m_path), before);

    // '-' is standard output; the count goes to stderr, and no file named '-' appears.
    CliRun piped = Store({"export", m_path.string(), Hex(m_message), "37010102", "-", "--attach=0"});
    ASSERT_EQ(piped.iExit, 0) << piped.sErr;
    EXPECT_EQ(piped.sOut, m_attachment);
    EXPECT_NE(piped.sErr.find("70000 bytes written to standard output"), std::string::npos) << piped.sErr;
    EXPECT_FALSE(std::filesystem::exists("-"));

    // A failed export leaves an existing file as it was, and no temporary file beside it.
    const auto kept = m_home.Path() / "kept.txt";
    std::ofstream(kept) << "old";
    EXPECT_EQ(Store({"export", m_path.string(), Hex(m_message), "0x1013001F", kept.string()}).iExit, 1);
    EXPECT_EQ(Store({"export", m_path.string(), "00112233", "0x1000001F", kept.string()}).iExit, 1);
    EXPECT_EQ(TestSupport::ReadFile(kept), "old");
    for (const auto& entry : std::filesystem::directory_iterator(m_home.Path()))
        EXPECT_NE(entry.path().filename().string().rfind(".kept.txt", 0), 0u) << entry.path();
}

TEST_F(StoreCliTest, OptionsAndNumbersAsEveryCommandTakesThem) {
    CliRun dashes = Store({"--", "props", m_path.string(), Hex(m_message)});
    EXPECT_EQ(dashes.iExit, 0) << dashes.sErr;
    CliRun equals = Store({"props", m_path.string(), Hex(m_message), "--attach=0"});
    ASSERT_EQ(equals.iExit, 0) << equals.sErr;
    EXPECT_NE(equals.sOut.find("data.bin"), std::string::npos);
    for (const char* bad : {"4294967296", "-1", "0x1", "1e3", ""}) {
        CliRun run = Store({"props", m_path.string(), Hex(m_message), "--attach", bad});
        EXPECT_EQ(run.iExit, 2) << bad;
        EXPECT_NE(run.sErr.find("--attach takes an attachment number"), std::string::npos) << run.sErr;
    }
    EXPECT_EQ(Store({"export", m_path.string(), Hex(m_message), "0x1000001F00", "-"}).iExit, 1);
    EXPECT_EQ(Store({"props", m_path.string(), Hex(m_message), "--attachment", "0"}).iExit, 2);
}

TEST_F(StoreCliTest, ALostWriteToStandardOutputFailsInOneLine) {
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{"folders", m_path.string()},
          {"props", m_path.string(), Hex(m_message)},
          {"export", m_path.string(), Hex(m_message), "37010102", "-", "--attach", "0"}}) {
        CliRun run = Store(args, "/dev/full");
        EXPECT_EQ(run.iExit, 1) << args[0];
        EXPECT_EQ(run.sErr, "ostrel store: cannot write to standard output: No space left on device\n");
    }
}

TEST_F(StoreCliTest, DamagedSearchCriteriaFailOneFolderNotTheTool) {
    std::string search;
    {
        ComPtr<IMsgStore> pStore;
        ASSERT_EQ(Platform::OpenOsdStore(m_path, false, L"", true, pStore.AddressOf()), S_OK);
        std::string finder = Binary(pStore.Get(), PR_FINDER_ENTRYID);
        ComPtr<IMAPIFolder> pFinder, pSearch;
        ULONG ulType = 0;
        ASSERT_EQ(pStore->OpenEntry(24, (LPENTRYID)finder.data(), &IID_IMAPIFolder, MAPI_MODIFY, &ulType,
                                    reinterpret_cast<IUnknown**>(pFinder.AddressOf())),
                  S_OK);
        ASSERT_EQ(
            pFinder->CreateFolder(FOLDER_SEARCH, (LPTSTR)L"Found", nullptr, nullptr, MAPI_UNICODE, pSearch.AddressOf()),
            S_OK);
        SRestriction all{RES_AND, {}};
        SBinary scope{24, (LPBYTE)m_inbox.data()};
        ENTRYLIST scopeList{1, &scope};
        ASSERT_EQ(pSearch->SetSearchCriteria(&all, &scopeList, RESTART_SEARCH), S_OK);
        search = Binary(pSearch.Get(), PR_ENTRYID);
    }
    // Criteria of 1 MiB whose nested operators each claim as many operands as bytes remain.
    std::string criteria(1 << 20, '\0');
    for (uint32_t level = 0; level < 64; ++level) {
        uint32_t cOperands = static_cast<uint32_t>(criteria.size()) - 32 * (level + 1);
        std::memcpy(criteria.data() + 32 * level + 28, &cOperands, 4);
    }
    sqlite3* pDb = nullptr;
    ASSERT_EQ(sqlite3_open(m_path.c_str(), &pDb), SQLITE_OK);
    sqlite3_stmt* pStmt = nullptr;
    ASSERT_EQ(sqlite3_prepare_v2(pDb, "UPDATE searches SET restriction=?", -1, &pStmt, nullptr), SQLITE_OK);
    sqlite3_bind_blob(pStmt, 1, criteria.data(), static_cast<int>(criteria.size()), SQLITE_STATIC);
    EXPECT_EQ(sqlite3_step(pStmt), SQLITE_DONE);
    sqlite3_finalize(pStmt);
    EXPECT_EQ(sqlite3_changes(pDb), 1);
    sqlite3_close(pDb);

    CliRun run = Store({"messages", m_path.string(), Hex(search)});
    EXPECT_EQ(run.iExit, 1);
    EXPECT_NE(run.sErr.find("cannot read the folder's messages (0x80040600)"), std::string::npos) << run.sErr;
    CliRun folders = Store({"folders", m_path.string()});
    EXPECT_EQ(folders.iExit, 0) << folders.sErr;
    EXPECT_FALSE(Find(TestSupport::TabSeparatedRows(folders.sOut), 4, Hex(search)).empty());
}

// A store the user may only read is inspected like any other; it is never called damaged. Root
// may write anything, so a child running as nobody plays the user.
TEST_F(StoreCliTest, AReadOnlyStoreIsInspectedNotCalledDamaged) {
    if (geteuid() != 0 || getpwnam("nobody") == nullptr || !std::filesystem::exists("/usr/bin/setpriv"))
        GTEST_SKIP() << "needs root, the user nobody and setpriv to run the tool as a user who may not write";
    const auto dir = m_home.Path() / "shared";
    std::filesystem::create_directory(dir);
    const auto path = dir / "readonly.osd";
    std::filesystem::copy_file(m_path, path);
    for (const auto& p : {m_home.Path(), dir})
        chmod(p.c_str(), 0755);
    chmod(path.c_str(), 0644);
    // The user's own private folders.
    for (const char* own : {"home", "run"}) {
        std::filesystem::create_directory(dir / own);
        ASSERT_EQ(chown((dir / own).c_str(), 65534, 65534), 0);
        chmod((dir / own).c_str(), 0700);
    }
    const std::string before = TestSupport::ReadFile(path);
    auto asNobody = [&] {
        return TestSupport::RunProgram(
            "/usr/bin/setpriv", {"--reuid=65534", "--regid=65534", "--clear-groups", "/usr/bin/env",
                                 "OSTREL_HOME=" + (dir / "home").string(), "XDG_RUNTIME_DIR=" + (dir / "run").string(),
                                 OSTREL_CLI, "store", "folders", path.string()});
    };
    CliRun run = asNobody();
    EXPECT_EQ(run.sErr.find("damaged"), std::string::npos) << run.sErr;
    EXPECT_EQ(run.iExit, 0) << run.sErr;
    EXPECT_NE(run.sOut.find("Projects"), std::string::npos) << run.sOut;
    EXPECT_EQ(TestSupport::ReadFile(path), before);

    // Not even readable: the line says so.
    chmod(path.c_str(), 0600);
    run = asNobody();
    EXPECT_EQ(run.iExit, 1);
    EXPECT_EQ(run.sErr.find("damaged"), std::string::npos) << run.sErr;
    EXPECT_NE(run.sErr.find("ermission"), std::string::npos) << run.sErr;
    EXPECT_EQ(TestSupport::ReadFile(path), before);
}

TEST(StoreCliErrors, MissingAndForeignFilesFailClearlyAndStayUntouched) {
    TestSupport::TempHome home;
    const auto none = home.Path() / "none.osd";
    CliRun missing = Store({"folders", none.string()});
    EXPECT_EQ(missing.iExit, 1);
    EXPECT_NE(missing.sErr.find("no such store file: " + none.string()), std::string::npos) << missing.sErr;
    EXPECT_FALSE(std::filesystem::exists(none));  // never created by an inspection

    const std::string text = "just some text, not a store\n";
    const std::string truncated = std::string("SQLite format 3\0", 16) + std::string(84, '\x02');
    for (const std::string& content : {text, truncated, std::string()}) {
        const auto path = home.Path() / "foreign.osd";
        std::ofstream(path, std::ios::binary | std::ios::trunc) << content;
        CliRun run = Store({"props", path.string(), "store"});
        EXPECT_EQ(run.iExit, 1);
        EXPECT_NE(run.sErr.find("not a store, or a damaged one: " + path.string()), std::string::npos) << run.sErr;
        EXPECT_TRUE(run.sOut.empty());
        EXPECT_EQ(TestSupport::ReadFile(path), content);
    }

    // Nor is a FIFO waited on for a writer (the tool runs under a deadline).
    const auto fifo = home.Path() / "fifo.osd";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    CliRun run = TestSupport::RunProgram("/usr/bin/timeout", {"10", OSTREL_CLI, "store", "folders", fifo.string()});
    EXPECT_EQ(run.iExit, 1) << (run.iExit == 124 ? "the tool waited on the FIFO" : run.sErr);
    EXPECT_NE(run.sErr.find("not a store, or a damaged one: " + fifo.string()), std::string::npos) << run.sErr;

    EXPECT_EQ(Store({"folders"}).iExit, 2);
    EXPECT_EQ(Store({"rename", none.string()}).iExit, 2);
    EXPECT_EQ(Store({"props", none.string(), "store", "--attach", "x"}).iExit, 2);
}

}  // namespace
