// `ostrel store create`, `import` and `mime` run as a program: converter corpus messages go in and
// come back out with the same results as the converter's own corpus tests, damaged and hostile
// input fails alone and leaves nothing behind, and a store another process holds open is no
// obstacle.
#include <sys/stat.h>

#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "ConvertTestUtil.h"
#include "Platform/Mapi/Mapi.h"
#include "Support/Files.h"
#include "Support/Process.h"
#include "Support/TempHome.h"
#include "Support/Text.h"

namespace {

using ConvertTest::Dump;
using Platform::ComPtr;
using TestSupport::ProgramRun;

const std::string kInbox = "Top of Personal Folders/Inbox";

ProgramRun Store(const std::vector<std::string>& args, const std::string& input = std::string(),
                 const std::string& redirect = std::string()) {
    std::vector<std::string> all = {"store"};
    all.insert(all.end(), args.begin(), args.end());
    return TestSupport::RunProgram(OSTREL_CLI, all, input, redirect);
}

std::string Corpus(const std::string& name) {
    return (ConvertTest::CorpusDir() / (name + ".eml")).string();
}

// The lines of an import listing without its comment lines.
std::vector<std::vector<std::string>> Records(const std::string& out) {
    std::vector<std::vector<std::string>> records;
    for (auto& row : TestSupport::TabSeparatedRows(out))
        if (!row.empty() && row[0].rfind("#", 0) != 0)
            records.push_back(row);
    return records;
}

std::string Bytes(const std::string& hex) {
    std::string bytes;
    for (size_t i = 0; i + 1 < hex.size(); i += 2)
        bytes += static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16));
    return bytes;
}

std::string Hex(const std::string& bytes) {
    static const char digits[] = "0123456789ABCDEF";
    std::string hex;
    for (unsigned char c : bytes) {
        hex += digits[c >> 4];
        hex += digits[c & 15];
    }
    return hex;
}

// The dump of the comparison of a first and a second conversion: without the transport headers and
// the delivery time, which a message written back cannot give again.
std::string Comparable(const std::string& dump) {
    std::istringstream in(dump);
    std::string out;
    for (std::string line; std::getline(in, line);)
        if (line.find("PR_TRANSPORT_MESSAGE_HEADERS") == std::string::npos &&
            line.find("PR_MESSAGE_DELIVERY_TIME") == std::string::npos)
            out += line + "\n";
    return out;
}

class StoreTransferTest : public ::testing::Test {
protected:
    void SetUp() override {
        m_path = (m_home.Path() / "mail.osd").string();
        ProgramRun create = Store({"create", m_path});
        ASSERT_EQ(create.iExit, 0) << create.sErr;
        // The new tree is printed, the inbox among it.
        ASSERT_NE(create.sOut.find("    Inbox\t0\t0\t0\t"), std::string::npos) << create.sOut;
    }

    ComPtr<IMsgStore> OpenStore(bool bWritable = false) {
        ComPtr<IMsgStore> pStore;
        EXPECT_EQ(Platform::OpenOsdStore(m_path, false, L"", bWritable, pStore.AddressOf()), S_OK);
        return pStore;
    }

    ComPtr<IMessage> OpenMessage(IMsgStore* pStore, const std::string& hex) {
        const std::string eid = Bytes(hex);
        ComPtr<IUnknown> pUnk;
        ULONG ulType = 0;
        EXPECT_EQ(pStore->OpenEntry(static_cast<ULONG>(eid.size()), (LPENTRYID)eid.data(), &IID_IMessage, 0, &ulType,
                                    pUnk.AddressOf()),
                  S_OK)
            << hex;
        ComPtr<IMessage> pMessage;
        pMessage.Attach(static_cast<IMessage*>(pUnk.Detach()));
        return pMessage;
    }

    ComPtr<IMAPIFolder> Inbox(IMsgStore* pStore) {
        ULONG cb = 0;
        LPENTRYID pEid = nullptr;
        EXPECT_EQ(pStore->GetReceiveFolder((LPTSTR)L"IPM.Note", MAPI_UNICODE, &cb, &pEid, nullptr), S_OK);
        ComPtr<IUnknown> pUnk;
        ULONG ulType = 0;
        EXPECT_EQ(pStore->OpenEntry(cb, pEid, &IID_IMAPIFolder, MAPI_BEST_ACCESS, &ulType, pUnk.AddressOf()), S_OK);
        MAPIFreeBuffer(pEid);
        ComPtr<IMAPIFolder> pFolder;
        pFolder.Attach(static_cast<IMAPIFolder*>(pUnk.Detach()));
        return pFolder;
    }

    ULONG InboxCount() {
        ComPtr<IMsgStore> pStore = OpenStore();
        ComPtr<IMAPITable> pTable;
        ULONG count = 0;
        EXPECT_EQ(Inbox(pStore.Get())->GetContentsTable(0, pTable.AddressOf()), S_OK);
        EXPECT_EQ(pTable->GetRowCount(0, &count), S_OK);
        return count;
    }

    TestSupport::TempHome m_home;
    std::string m_path;
};

TEST_F(StoreTransferTest, CorpusMessagesGoInAndComeBackAsTheConverterTestsHaveThem) {
    const std::vector<std::string> sample = {"01-plain-ascii",
                                             "07-forward-rfc822",
                                             "11-8bit-latin1-body",
                                             "21-related-inline-image",
                                             "26-groups-and-bcc",
                                             "41-invite-request-alternative",
                                             "61-dsn-delayed-and-failed",
                                             "66-damaged-truncated"};
    std::vector<std::string> args = {"import", m_path, kInbox, "--keep-partial"};
    for (const auto& name : sample)
        args.push_back(Corpus(name));
    ProgramRun run = Store(args);
    EXPECT_EQ(run.iExit, 1) << run.sErr;  // the truncated message is damaged
    const auto records = Records(run.sOut);
    ASSERT_EQ(records.size(), sample.size()) << run.sOut;

    ComPtr<IMsgStore> pStore = OpenStore();
    for (size_t i = 0; i < sample.size(); ++i) {
        SCOPED_TRACE(sample[i]);
        const auto& record = records[i];
        ASSERT_GE(record.size(), 3u);
        EXPECT_EQ(record[0], Corpus(sample[i]));
        const bool bPartial = record.size() > 3;
        EXPECT_EQ(bPartial, sample[i] == "66-damaged-truncated") << record.back();
        ComPtr<IMessage> pFirst = OpenMessage(pStore.Get(), record[1]);
        ASSERT_TRUE(pFirst);
        const std::string dump = Dump(pFirst.Get());
        EXPECT_EQ("# result " + std::string(bPartial ? "0x00040680" : "0x00000000") + "\n" + dump,
                  TestSupport::ReadFile(ConvertTest::CorpusDir() / (sample[i] + ".props.ref")));
        EXPECT_NE(dump.find("PR_MESSAGE_CLASS_W\tPT_UNICODE\t\"" + record[2] + "\""), std::string::npos);
        if (bPartial)
            continue;

        // Written back, blind copies included as the converter tests write them, and read again.
        ProgramRun mime = Store({"mime", m_path, record[1], "--bcc"});
        ASSERT_EQ(mime.iExit, 0) << mime.sErr;
        ProgramRun again = Store({"import", m_path, kInbox, "-"}, mime.sOut);
        ASSERT_EQ(again.iExit, 0) << again.sErr << again.sOut;
        const auto second = Records(again.sOut);
        ASSERT_EQ(second.size(), 1u);
        EXPECT_EQ(second[0][0], "-");
        ComPtr<IMessage> pSecond = OpenMessage(pStore.Get(), second[0][1]);
        ASSERT_TRUE(pSecond);
        EXPECT_EQ(Comparable(Dump(pSecond.Get())), Comparable(dump)) << mime.sOut.substr(0, 3000);
    }
}

TEST_F(StoreTransferTest, DamagedAndHostileInputFailsAloneAndLeavesNothingBehind) {
    const auto dir = m_home.Path();
    const std::string plain = TestSupport::ReadFile(Corpus("01-plain-ascii"));
    const std::string mixed = TestSupport::ReadFile(Corpus("04-mixed-pdf-attachment"));
    std::string deepParts = "From: a@example.com\r\nSubject: deep\r\nMIME-Version: 1.0\r\n";
    std::string deepClose;
    std::string deepMessages = "Content-Type: text/plain\r\n\r\ninnermost\r\n";
    for (int i = 0; i < 1000; ++i) {
        deepParts += "Content-Type: multipart/mixed; boundary=\"b" + std::to_string(i) + "\"\r\n\r\n--b" +
                     std::to_string(i) + "\r\n";
        deepClose = "--b" + std::to_string(i) + "--\r\n" + deepClose;
        deepMessages = "From: x@example.com\r\nSubject: level " + std::to_string(i) +
                       "\r\nContent-Type: message/rfc822\r\n\r\n" + deepMessages;
    }
    deepParts += "Content-Type: text/plain\r\n\r\nhello\r\n" + deepClose;
    std::string garbage(100000, '\0');
    for (size_t i = 0; i < garbage.size(); ++i)
        garbage[i] = static_cast<char>((i * 2654435761u) >> 13);
    const std::vector<std::pair<std::string, std::string>> inputs = {
        {"good.eml", plain},
        {"truncated.eml", mixed.substr(0, mixed.size() * 2 / 3)},
        {"deep-parts.eml", deepParts},
        {"deep-messages.eml", deepMessages},
        {"huge-header.eml", "From: a@example.com\r\nX-Huge: " + std::string(50 << 20, 'h') + "\r\n\r\nbody\r\n"},
        {"garbage.eml", garbage},
        {"empty.eml", ""},
        {"also-good.eml", mixed},
    };
    std::vector<std::string> args = {"import", m_path, kInbox};
    for (const auto& [name, content] : inputs) {
        TestSupport::WriteFile(dir / name, content);
        args.push_back((dir / name).string());
    }
    args.push_back((dir / "missing.eml").string());
    args.push_back(dir.string());  // a directory
    ProgramRun run = Store(args);
    EXPECT_EQ(run.iExit, 1);
    EXPECT_EQ(run.iSignal, 0);
    EXPECT_EQ(run.sErr, "ostrel store: 8 of 10 message(s) not imported whole\n");
    const auto records = Records(run.sOut);
    ASSERT_EQ(records.size(), 10u) << run.sOut;
    for (const auto& record : records) {
        SCOPED_TRACE(record[0]);
        const bool bGood = record[0].find("good.eml") != std::string::npos;
        ASSERT_EQ(record.size(), bGood ? 3u : 4u);
        EXPECT_EQ(record[1] == "-", !bGood);
        if (!bGood) {
            EXPECT_EQ(record[3].rfind("failed: ", 0), 0u);
        }
    }
    EXPECT_EQ(records[1][3], "failed: the text is damaged; only part of it could be read (0x00040680)");
    EXPECT_EQ(records[5][3], "failed: not a MIME message: binary data in its header block");
    EXPECT_EQ(records[6][3], "failed: empty");
    EXPECT_EQ(records[8][3], "failed: cannot read: No such file or directory");
    EXPECT_EQ(run.sOut.substr(run.sOut.rfind('#')), "# 2 of 10 message(s) imported\n");
    EXPECT_EQ(InboxCount(), 2u);

    // Kept on request, and still a failure of the run.
    ProgramRun keep = Store({"import", m_path, kInbox, (dir / "truncated.eml").string(), "--keep-partial"});
    EXPECT_EQ(keep.iExit, 1);
    const auto kept = Records(keep.sOut);
    ASSERT_EQ(kept.size(), 1u);
    EXPECT_EQ(kept[0][2], "IPM.Note");
    EXPECT_EQ(kept[0][3].rfind("partial: ", 0), 0u);
    EXPECT_EQ(InboxCount(), 3u);
}

TEST_F(StoreTransferTest, JsonNamesEveryMessageInValidText) {
    const auto dir = m_home.Path();
    const std::string odd = "tab\tquote\"back\\slash\nline\xff.eml";
    TestSupport::WriteFile(dir / odd, TestSupport::ReadFile(Corpus("01-plain-ascii")));
    ProgramRun run = Store({"import", m_path, kInbox, (dir / odd).string(), (dir / "none.eml").string(), "--json"});
    EXPECT_EQ(run.iExit, 1);
    std::istringstream lines(run.sOut);
    std::string first, second, rest;
    std::getline(lines, first);
    std::getline(lines, second);
    EXPECT_FALSE(std::getline(lines, rest));
    const std::string prefix = "{\"file\":\"" + dir.string() + "/";
    ASSERT_EQ(first.rfind(prefix, 0), 0u) << first;
    // Control characters escaped, the byte that is no UTF-8 replaced.
    EXPECT_EQ(first.substr(prefix.size(), first.find("\",\"result\"") - prefix.size()),
              "tab\\tquote\\\"back\\\\slash\\nline\xEF\xBF\xBD.eml");
    EXPECT_NE(first.find("\"result\":\"imported\",\"entryId\":\""), std::string::npos) << first;
    EXPECT_EQ(first.substr(first.size() - 20), ",\"class\":\"IPM.Note\"}");
    EXPECT_EQ(second, "{\"file\":" + std::string("\"") + dir.string() +
                          "/none.eml\",\"result\":\"failed\",\"reason\":\"cannot read: No such file or directory\"}");
}

// The store stays open (and in use) in this process while the tool imports and reads.
TEST_F(StoreTransferTest, WorksWhileAnotherProcessHoldsTheStoreOpen) {
    ComPtr<IMsgStore> pHeld = OpenStore(true);
    ComPtr<IMAPIFolder> pInbox = Inbox(pHeld.Get());
    ComPtr<IMessage> pOwn;
    ASSERT_EQ(pInbox->CreateMessage(nullptr, 0, pOwn.AddressOf()), S_OK);
    SPropValue subject{PR_SUBJECT_W, 0, {}};
    subject.Value.lpszW = const_cast<wchar_t*>(L"Held open");
    ASSERT_EQ(HrSetOneProp(pOwn.Get(), &subject), S_OK);
    ASSERT_EQ(pOwn->SaveChanges(KEEP_OPEN_READWRITE), S_OK);
    LPSPropValue pEid = nullptr;
    ASSERT_EQ(HrGetOneProp(pOwn.Get(), PR_ENTRYID, &pEid), S_OK);
    const std::string own(reinterpret_cast<const char*>(pEid->Value.bin.lpb), pEid->Value.bin.cb);
    MAPIFreeBuffer(pEid);

    ProgramRun run = Store({"import", m_path, kInbox, Corpus("03-alternative-text-html"), Corpus("07-forward-rfc822")});
    ASSERT_EQ(run.iExit, 0) << run.sErr;
    const auto records = Records(run.sOut);
    ASSERT_EQ(records.size(), 2u);
    // The holder sees the new messages (its tables are snapshots: a new one), and they open there.
    ComPtr<IMAPITable> pTable;
    ASSERT_EQ(pInbox->GetContentsTable(0, pTable.AddressOf()), S_OK);
    ULONG count = 0;
    ASSERT_EQ(pTable->GetRowCount(0, &count), S_OK);
    EXPECT_EQ(count, 3u);
    for (const auto& record : records)
        EXPECT_TRUE(OpenMessage(pHeld.Get(), record[1]));

    ProgramRun mime = Store({"mime", m_path, Hex(own)});
    ASSERT_EQ(mime.iExit, 0) << mime.sErr;
    EXPECT_NE(mime.sOut.find("Subject: Held open\r\n"), std::string::npos) << mime.sOut;
    // The holder goes on writing after the tool.
    ASSERT_EQ(HrSetOneProp(pOwn.Get(), &subject), S_OK);
    EXPECT_EQ(pOwn->SaveChanges(0), S_OK);
}

TEST_F(StoreTransferTest, MimeKeepsBlindCopiesOnlyWhenAskedAndWritesFilesWhole) {
    ProgramRun run = Store({"import", m_path, kInbox, Corpus("26-groups-and-bcc")});
    ASSERT_EQ(run.iExit, 0) << run.sErr;
    const std::string eid = Records(run.sOut).at(0).at(1);
    for (const bool bOwn : {false, true}) {
        SCOPED_TRACE(bOwn ? "own writer" : "converter session");
        std::vector<std::string> args = {"mime", m_path, eid};
        if (bOwn)
            args.push_back("--own");
        ProgramRun without = Store(args);
        ASSERT_EQ(without.iExit, 0) << without.sErr;
        EXPECT_EQ(without.sOut.find("Bcc:"), std::string::npos) << without.sOut;
        EXPECT_NE(without.sOut.find("Cc: Anna Berg <anna.berg@example.org>"), std::string::npos) << without.sOut;
        args.push_back("--bcc");
        ProgramRun with = Store(args);
        ASSERT_EQ(with.iExit, 0) << with.sErr;
        EXPECT_NE(with.sOut.find("Bcc: boss@example.com\r\n"), std::string::npos) << with.sOut;
    }
    // The own writer worked on a copy: the stored message keeps its blind copy.
    ProgramRun again = Store({"mime", m_path, eid, "--bcc"});
    EXPECT_NE(again.sOut.find("Bcc: boss@example.com\r\n"), std::string::npos);

    const auto out = m_home.Path() / "out.eml";
    ProgramRun file = Store({"mime", m_path, eid, out.string()});
    ASSERT_EQ(file.iExit, 0) << file.sErr;
    const std::string written = TestSupport::ReadFile(out);
    EXPECT_EQ(file.sOut, std::to_string(written.size()) + " bytes written to " + out.string() + "\n");
    EXPECT_EQ(written, Store({"mime", m_path, eid}).sOut);

    // Failures leave OUT and the store as they were.
    const std::string before = TestSupport::ReadFile(m_path);
    const std::string gone = eid.substr(0, 40) + "FFFFFFFF";
    ProgramRun bad = Store({"mime", m_path, gone, out.string()});
    EXPECT_EQ(bad.iExit, 1);
    EXPECT_NE(bad.sErr.find("no such message: " + gone), std::string::npos) << bad.sErr;
    ComPtr<IMsgStore> pStore = OpenStore();
    LPSPropValue pInboxId = nullptr;
    ASSERT_EQ(HrGetOneProp(Inbox(pStore.Get()).Get(), PR_ENTRYID, &pInboxId), S_OK);
    const std::string inbox(reinterpret_cast<const char*>(pInboxId->Value.bin.lpb), pInboxId->Value.bin.cb);
    MAPIFreeBuffer(pInboxId);
    EXPECT_EQ(Store({"mime", m_path, Hex(inbox), out.string()}).iExit, 1);  // a folder is no message
    EXPECT_EQ(TestSupport::ReadFile(out), written);
    EXPECT_EQ(TestSupport::ReadFile(m_path), before);
}

TEST_F(StoreTransferTest, LostOutputStopsTheImportInOneLine) {
    ProgramRun run = Store({"import", m_path, kInbox, Corpus("01-plain-ascii"), Corpus("02-plain-lf-line-ends")},
                           std::string(), "/dev/full");
    EXPECT_EQ(run.iExit, 1);
    EXPECT_EQ(run.sErr,
              "ostrel store: cannot write to standard output: No space left on device (stopped after 1 of 2 "
              "message(s))\n");
    EXPECT_EQ(InboxCount(), 1u);  // the second message never went in unseen

    ProgramRun eid = Store({"import", m_path, kInbox, Corpus("02-plain-lf-line-ends")});
    ProgramRun mime = Store({"mime", m_path, Records(eid.sOut).at(0).at(1), "-"}, std::string(), "/dev/full");
    EXPECT_EQ(mime.iExit, 1);
    EXPECT_EQ(mime.sErr, "ostrel store: cannot write to standard output: No space left on device\n");
}

TEST_F(StoreTransferTest, CreateNeverReplacesAFileAndOptionsBelongToTheirSubcommand) {
    const std::string before = TestSupport::ReadFile(m_path);
    ProgramRun again = Store({"create", m_path});
    EXPECT_EQ(again.iExit, 1);
    EXPECT_EQ(again.sErr, "ostrel store: " + m_path + " already exists\n");
    EXPECT_EQ(TestSupport::ReadFile(m_path), before);
    const auto dangling = m_home.Path() / "dangling.osd";
    std::filesystem::create_symlink(m_home.Path() / "elsewhere.osd", dangling);
    EXPECT_EQ(Store({"create", dangling.string()}).iExit, 1);
    EXPECT_FALSE(std::filesystem::exists(m_home.Path() / "elsewhere.osd"));

    ProgramRun verbose = Store({"import", m_path, kInbox, Corpus("01-plain-ascii"), "--verbose"});
    EXPECT_EQ(verbose.iExit, 0) << verbose.sErr;
    EXPECT_NE(verbose.sErr.find(" messages per second\n"), std::string::npos) << verbose.sErr;
    EXPECT_EQ(Store({"import", m_path, "Top of Personal Folders/Nowhere", Corpus("01-plain-ascii")}).iExit, 1);
    EXPECT_EQ(Store({"import", m_path, kInbox, "-", "-"}).iExit, 2);
    EXPECT_EQ(Store({"mime", m_path, "00", "out", "more"}).iExit, 2);
    EXPECT_EQ(Store({"mime", m_path, "00", "--json"}).iExit, 2);
    EXPECT_EQ(Store({"props", m_path, "store", "--own"}).iExit, 2);
    EXPECT_EQ(InboxCount(), 1u);
}

}  // namespace
