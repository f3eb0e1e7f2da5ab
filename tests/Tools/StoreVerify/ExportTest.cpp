// `ostrel export --maildir`: the tree a mail reader opens, its update by a later export, and the
// directories it must refuse to write into.
#include "StoreVerifySupport.h"

#include "ostrel/ExportMaildir.h"

#include "Platform/Com/MemStream.h"
#include "Platform/Mapi/Convert/ConverterSession.h"
#include "Platform/Mapi/MapiAlloc.h"
#include "Platform/Mapi/MapiTags.h"
#include "Platform/Mapi/MapiUtil.h"
#include "Platform/Mapi/Store/OsdStore.h"
#include "Support/InboxStore.h"

#include <sys/stat.h>

#include <algorithm>

namespace StoreVerifyTest {

namespace {

namespace fs = std::filesystem;
using Platform::ComPtr;

constexpr char kMlist[] = "/usr/bin/mlist";

std::set<std::string> Files(const fs::path& dir) {
    std::set<std::string> names;
    if (fs::exists(dir))
        for (const auto& entry : fs::directory_iterator(dir))
            names.insert(entry.path().filename().string());
    return names;
}

// The flags part of the one file in cur/ whose text has the subject.
std::string FlagsOf(const fs::path& maildir, const std::string& subject) {
    for (const std::string& name : Files(maildir / "cur")) {
        if (ReadFile(maildir / "cur" / name).find("Subject: " + subject + "\r\n") != std::string::npos)
            return name.substr(name.find(":2,") + 3);
    }
    return "(none)";
}

class MaildirExport : public TestSupport::InboxStore {
protected:
    ComPtr<IMessage> Add(IMAPIFolder* pFolder, const std::string& subject, ULONG ulFlags, LONG lVerb = 0,
                         bool bFlagged = false) {
        const std::string mime = "From: Ann <ann@example.com>\r\nTo: bob@example.com\r\nSubject: " + subject +
                                 "\r\nDate: Tue, 3 Dec 2024 09:05:00 +0000\r\n\r\nBody of " + subject + "\r\n";
        ComPtr<IConverterSession> pSession;
        ComPtr<IMessage> pMessage;
        EXPECT_EQ(Platform::Mapi::CreateConverterSession(pSession.AddressOf()), S_OK);
        EXPECT_EQ(pFolder->CreateMessage(nullptr, 0, pMessage.AddressOf()), S_OK);
        EXPECT_EQ(pSession->MIMEToMAPI(Platform::MemStream::Create(mime).Get(), pMessage.Get(), nullptr, CCSF_SMTP),
                  S_OK);
        std::vector<SPropValue> props(1);
        props[0].ulPropTag = PR_MESSAGE_FLAGS;
        props[0].Value.ul = ulFlags;
        if (lVerb) {
            props.push_back({PR_LAST_VERB_EXECUTED, 0, {}});
            props.back().Value.l = lVerb;
        }
        if (bFlagged) {
            props.push_back({PR_FLAG_STATUS, 0, {}});
            props.back().Value.l = 2;
        }
        EXPECT_EQ(pMessage->SetProps(static_cast<ULONG>(props.size()), props.data(), nullptr), S_OK);
        EXPECT_EQ(pMessage->SaveChanges(KEEP_OPEN_READWRITE), S_OK);
        return pMessage;
    }

    ComPtr<IMAPIFolder> Subfolder(IMAPIFolder* pParent, const std::wstring& name, const wchar_t* pwszClass = nullptr) {
        ComPtr<IMAPIFolder> pFolder;
        EXPECT_EQ(pParent->CreateFolder(FOLDER_GENERIC, const_cast<wchar_t*>(name.c_str()), nullptr, nullptr,
                                        MAPI_UNICODE, pFolder.AddressOf()),
                  S_OK);
        if (pwszClass) {
            SPropValue v{PR_CONTAINER_CLASS_W, 0, {}};
            v.Value.lpszW = const_cast<wchar_t*>(pwszClass);
            EXPECT_EQ(HrSetOneProp(pFolder.Get(), &v), S_OK);
            EXPECT_EQ(pFolder->SaveChanges(KEEP_OPEN_READWRITE), S_OK);
        }
        return pFolder;
    }

    ComPtr<IMAPIFolder> Subtree() {
        LPSPropValue pEid = nullptr;
        EXPECT_EQ(HrGetOneProp(m_store.Get(), PR_IPM_SUBTREE_ENTRYID, &pEid), S_OK);
        ComPtr<IUnknown> pUnk;
        ULONG ulType = 0;
        EXPECT_EQ(m_store->OpenEntry(pEid->Value.bin.cb, reinterpret_cast<LPENTRYID>(pEid->Value.bin.lpb),
                                     &IID_IMAPIFolder, MAPI_MODIFY, &ulType, pUnk.AddressOf()),
                  S_OK);
        MAPIFreeBuffer(pEid);
        ComPtr<IMAPIFolder> pFolder;
        pFolder.Attach(static_cast<IMAPIFolder*>(pUnk.Detach()));
        return pFolder;
    }

    CommandRun Export() {
        m_store.Reset();  // the command opens the file itself, as another process would
        CommandRun run = Command("export", {"--maildir", Dir().string(), "--store", StoreFile().string()});
        ReopenStore();
        return run;
    }

    void ReopenStore() { ASSERT_EQ(Platform::OpenOsdStore(StoreFile(), false, L"", true, m_store.AddressOf()), S_OK); }

    fs::path StoreFile() const { return m_home.Path() / "inbox.osd"; }
    fs::path Dir() const { return m_home.Path() / "maildir"; }
};

}  // namespace

// Folder names, flags and bodies as a mail reader's listing shows them; folders without mail stay out.
TEST_F(MaildirExport, WritesTheMailFoldersAsAReaderSeesThem) {
    Add(m_inbox.Get(), "Seen and flagged", MSGFLAG_READ, 0, true);
    Add(m_inbox.Get(), "Answered", 0, 102);
    Add(m_inbox.Get(), "Forwarded", MSGFLAG_READ, 104);
    // Answered elsewhere: the conversion of the server's message gave it the replied icon only.
    ComPtr<IMessage> pIconOnly = Add(m_inbox.Get(), "Replied icon", MSGFLAG_READ);
    SPropValue icon{PR_ICON_INDEX, 0, {}};
    icon.Value.l = 261;
    ASSERT_EQ(HrSetOneProp(pIconOnly.Get(), &icon), S_OK);
    ASSERT_EQ(pIconOnly->SaveChanges(0), S_OK);
    pIconOnly.Reset();
    ComPtr<IMAPIFolder> pSubtree = Subtree();
    ComPtr<IMAPIFolder> pLists = Subfolder(pSubtree.Get(), L"Lists");
    ComPtr<IMAPIFolder> pOdd = Subfolder(pLists.Get(), L"../a.b\tc");
    Add(pOdd.Get(), "Draft", MSGFLAG_UNSENT | MSGFLAG_READ);
    ComPtr<IMAPIFolder> pPeople = Subfolder(pSubtree.Get(), L"People", L"IPF.Contact");
    Add(pPeople.Get(), "Not mail", 0);

    const CommandRun run = Export();
    ASSERT_EQ(run.iExit, 0) << run.sErr;
    EXPECT_NE(run.sOut.find(".\tInbox\t4\n"), std::string::npos) << run.sOut;
    EXPECT_NE(run.sOut.find(".Lists.%2E%2E%2Fa%2Eb%09c\tLists/../a.b\\tc\t1\n"), std::string::npos) << run.sOut;
    const std::set<std::string> top = Files(Dir());
    EXPECT_TRUE(top.count("cur") && top.count("new") && top.count("tmp") && top.count(".Lists"));
    EXPECT_FALSE(top.count(".People")) << "a contacts folder holds no mail";
    EXPECT_TRUE(fs::exists(Dir() / ".Lists" / "maildirfolder"));

    EXPECT_EQ(FlagsOf(Dir(), "Seen and flagged"), "FS");
    EXPECT_EQ(FlagsOf(Dir(), "Answered"), "R");
    EXPECT_EQ(FlagsOf(Dir(), "Forwarded"), "PS");
    EXPECT_EQ(FlagsOf(Dir(), "Replied icon"), "RS");
    EXPECT_EQ(FlagsOf(Dir() / ".Lists.%2E%2E%2Fa%2Eb%09c", "Draft"), "DS");
    EXPECT_TRUE(Files(Dir() / "tmp").empty());
    EXPECT_TRUE(Files(Dir() / "new").empty());

    // A mail reader's own listing agrees.
    ASSERT_TRUE(fs::exists(kMlist)) << "mblaze is missing: run scripts/install-deps.sh";
    const auto all = TestSupport::RunProgram(kMlist, {Dir().string()});
    EXPECT_EQ(Lines(all.sOut).size(), 4u) << all.sOut << all.sErr;
    const auto unseen = TestSupport::RunProgram(kMlist, {"-s", Dir().string()});
    ASSERT_EQ(Lines(unseen.sOut).size(), 1u) << unseen.sOut;
    EXPECT_NE(ReadFile(Lines(unseen.sOut)[0]).find("Subject: Answered"), std::string::npos);
    const auto drafts = TestSupport::RunProgram(kMlist, {"-D", (Dir() / ".Lists.%2E%2E%2Fa%2Eb%09c").string()});
    EXPECT_EQ(Lines(drafts.sOut).size(), 1u) << drafts.sOut;
}

// A second export brings the tree up to date: changed flags rename, removed messages go, and a
// file the export did not write stays.
TEST_F(MaildirExport, ALaterExportUpdatesTheTree) {
    ComPtr<IMessage> pGoing = Add(m_inbox.Get(), "Going", MSGFLAG_READ);
    ComPtr<IMessage> pStaying = Add(m_inbox.Get(), "Staying", 0);
    ASSERT_EQ(Export().iExit, 0);
    ASSERT_EQ(Files(Dir() / "cur").size(), 2u);
    { std::ofstream(Dir() / "cur" / "1700000000.mine:2,S") << "Subject: mine\r\n\r\n"; }

    LPSPropValue pEid = nullptr;
    ASSERT_EQ(HrGetOneProp(pGoing.Get(), PR_ENTRYID, &pEid), S_OK);
    ENTRYLIST list{1, &pEid->Value.bin};
    ComPtr<IMAPIFolder> pInbox = m_inbox;
    ASSERT_EQ(pInbox->DeleteMessages(&list, 0, nullptr, 0), S_OK);
    MAPIFreeBuffer(pEid);
    SPropValue read{PR_MESSAGE_FLAGS, 0, {}};
    read.Value.ul = MSGFLAG_READ;
    ASSERT_EQ(HrSetOneProp(pStaying.Get(), &read), S_OK);
    ASSERT_EQ(pStaying->SaveChanges(0), S_OK);
    pGoing.Reset();
    pStaying.Reset();
    m_inbox.Reset();
    pInbox.Reset();

    const CommandRun again = Export();
    ASSERT_EQ(again.iExit, 0) << again.sErr;
    EXPECT_NE(again.sOut.find("1 gone since the last export removed"), std::string::npos) << again.sOut << again.sErr;
    const std::set<std::string> files = Files(Dir() / "cur");
    EXPECT_EQ(files.size(), 2u);
    EXPECT_TRUE(files.count("1700000000.mine:2,S"));
    EXPECT_EQ(FlagsOf(Dir(), "Staying"), "S");
    EXPECT_EQ(FlagsOf(Dir(), "Going"), "(none)");
}

// Nothing is written into a directory of other files, through a link planted in an earlier
// export's tree, or into a directory others may write to.
TEST_F(MaildirExport, RefusesDirectoriesItMustNotWriteInto) {
    const CommandRun missing =
        Command("export", {"--maildir", Dir().string(), "--store", (m_home.Path() / "none.osd").string()});
    EXPECT_EQ(missing.iExit, 1);
    EXPECT_EQ(missing.sErr.rfind("ostrel export: no such store file", 0), 0u) << missing.sErr;
    EXPECT_FALSE(fs::exists(Dir())) << "nothing is written for a store that is not there";

    Add(m_inbox.Get(), "One", 0);
    fs::create_directories(Dir());
    { std::ofstream(Dir() / "notes.txt") << "mine"; }
    CommandRun foreign = Export();
    EXPECT_EQ(foreign.iExit, 1);
    EXPECT_NE(foreign.sErr.find("neither empty nor an earlier export"), std::string::npos) << foreign.sErr;
    EXPECT_EQ(Files(Dir()), std::set<std::string>{"notes.txt"});
    fs::remove(Dir() / "notes.txt");

    ComPtr<IMAPIFolder> pSubtree = Subtree();
    Add(Subfolder(pSubtree.Get(), L"Lists").Get(), "Two", 0);
    pSubtree.Reset();
    ASSERT_EQ(Export().iExit, 0);
    const fs::path elsewhere = m_home.Path() / "elsewhere";
    fs::create_directories(elsewhere);
    fs::remove_all(Dir() / ".Lists");
    fs::create_directory_symlink(elsewhere, Dir() / ".Lists");
    const CommandRun planted = Export();
    EXPECT_EQ(planted.iExit, 1);
    EXPECT_NE(planted.sErr.find(".Lists is a symbolic link"), std::string::npos) << planted.sOut << planted.sErr;
    EXPECT_TRUE(Files(elsewhere).empty());

    fs::remove(Dir() / ".Lists");
    ASSERT_EQ(::chmod(Dir().c_str(), 0777), 0);
    const CommandRun open = Export();
    EXPECT_EQ(open.iExit, 1);
    EXPECT_NE(open.sErr.find("writable by nobody else"), std::string::npos) << open.sErr;
}

TEST(MaildirFolderName, EveryNameStaysOneDirectoryOfItsOwn) {
    using OstrelCli::MaildirFolderName;
    EXPECT_EQ(MaildirFolderName({}), "");
    EXPECT_EQ(MaildirFolderName({L"Sent Items"}), ".Sent Items");
    EXPECT_EQ(MaildirFolderName({L"a", L"b"}), ".a.b");
    EXPECT_NE(MaildirFolderName({L"a.b"}), MaildirFolderName({L"a", L"b"}));
    EXPECT_EQ(MaildirFolderName({L".."}), ".%2E%2E");
    EXPECT_EQ(MaildirFolderName({L"100%/x\x7f"}), ".100%25%2Fx%7F");
    EXPECT_EQ(MaildirFolderName({L""}), ".%00");
    EXPECT_EQ(MaildirFolderName({L"Übersicht"}),
              ".\xC3\x9C"
              "bersicht");

    // Long paths are cut where no escape or character breaks, and keep apart by their hash.
    const std::wstring longName(150, L'\x00E9');
    const std::string first = MaildirFolderName({longName, L"x"});
    const std::string second = MaildirFolderName({longName, L"y"});
    EXPECT_LE(first.size(), 255u);
    EXPECT_NE(first, second);
    EXPECT_EQ(first.find('/'), std::string::npos);
    const std::wstring dots(150, L'.');
    const std::string escaped = MaildirFolderName({dots});
    EXPECT_LE(escaped.size(), 255u);
    const std::string kept = escaped.substr(0, escaped.find('~'));
    EXPECT_EQ(kept.size() % 3, 1u) << "the cut falls between two escapes: " << kept;
}

}  // namespace StoreVerifyTest
