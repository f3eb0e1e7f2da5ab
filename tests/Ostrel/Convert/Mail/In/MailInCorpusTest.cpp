// Every message of the converter corpus (tests/data/convert), wrapped with the metadata listed in
// tests/data/mail-in/messages.tsv and downloaded as one archive, becomes a store message. What the
// incoming conversion wrote on top of the host converter's own result is compared with
// tests/data/mail-in/NN-name.props.ref. OSTREL_REGEN_MAIL_IN_GOLDENS=1 rewrites those files
// instead (scripts/regen-mail-in-goldens.sh), for review as a diff.
#include <cstdlib>

#include "MailInTestUtil.h"
#include "Ostrel/Store/NamedProps.h"
#include "Platform/Base/Utf.h"
#include "Platform/Com/MemStream.h"
#include "Platform/Mapi/Convert/ConverterSession.h"
#include "Support/Text.h"
#include "Util/OstrelReg.h"

namespace MailInTest {

namespace {

struct CorpusEntry {
    std::string sFile;
    Ostrel::Convert::IncomingMeta meta;
};

std::vector<CorpusEntry> ReadTable() {
    std::vector<CorpusEntry> entries;
    const auto rows = TestSupport::TabSeparatedRows(ReadFile(TestSupport::DataDir() / "mail-in" / "messages.tsv"));
    for (auto row : rows) {
        if (row.empty() || row[0].empty() || row[0][0] == '#')
            continue;
        row.resize(7);
        CorpusEntry entry;
        entry.sFile = row[0];
        entry.meta.lId = std::stoi(row[1]);
        entry.meta.sFlags = row[2];
        entry.meta.sTagIds = row[3];
        entry.meta.sTagNames = row[4];
        entry.meta.sReceived = row[5];
        entry.meta.sConvId = row[6];
        entries.push_back(entry);
    }
    return entries;
}

LONG IdOf(IMessage* pMessage, IMsgStore* pStore) {
    Ostrel::Mapi::NamedProps* pNamed = Ostrel::Mapi::NamedPropsManager::GetNamedPropsFromMAPIProp(pStore);
    return GetLong(pMessage, pNamed->GetPropTag(Ostrel::Mapi::NamedProps::OSTREL_ID, PT_LONG));
}

class MailInCorpus : public StoreFixture {};

}  // namespace

TEST_F(MailInCorpus, EveryCorpusMessageMatchesItsGolden) {
    const bool bRegen = std::getenv("OSTREL_REGEN_MAIL_IN_GOLDENS") != nullptr;
    const auto entries = ReadTable();
    ASSERT_GE(entries.size(), 80u);

    std::vector<ArchiveItem> items;
    std::map<LONG, const CorpusEntry*> byId;
    for (size_t i = 0; i < entries.size(); ++i) {
        const CorpusEntry& e = entries[i];
        const std::string mime = ReadFile(TestSupport::DataDir() / "convert" / e.sFile);
        ASSERT_FALSE(mime.empty()) << e.sFile;
        items.push_back(
            {e.meta.lId,
             MetaXml(e.meta.lId, e.meta.sFlags, e.meta.sTagIds, e.meta.sTagNames, e.meta.sReceived, e.meta.sConvId),
             mime, i % 2 == 1});
        byId[e.meta.lId] = &e;
    }
    m_tagMap = {{3, L"Work"}, {7, L"Urgent"}};
    // With tag synchronisation on, tag ids without names become categories too.
    Ostrel::Util::RegUtil reg(L"TagSyncEnabled", KEY_ALL_ACCESS);
    ASSERT_EQ(reg.CreateKey(), ERROR_SUCCESS);
    ASSERT_EQ(reg.SetValue(DWORD(1)), ERROR_SUCCESS);
    ComPtr<Platform::MemStream> pArchive = Platform::MemStream::Create(BuildArchive(items));
    Ostrel::Convert::IncomingBatch batch(m_store.Get(), m_inbox.Get(), nullptr, m_tagMap);
    const Ostrel::Convert::IncomingBatchReport report = batch.ConvertArchive(pArchive.Get());
    EXPECT_TRUE(report.wsArchiveError.empty()) << Platform::ToUtf8(report.wsArchiveError);
    EXPECT_EQ(report.cFailed, 0u);
    EXPECT_EQ(report.cConverted + report.cPartial, entries.size());

    const auto messages = InboxMessages();
    ASSERT_EQ(messages.size(), entries.size());
    for (const ComPtr<IMessage>& pMessage : messages) {
        const LONG lId = IdOf(pMessage.Get(), m_store.Get());
        ASSERT_TRUE(byId.count(lId)) << lId;
        const CorpusEntry& e = *byId[lId];
        SCOPED_TRACE(e.sFile);
        // The host converter alone on the same text, for the comparison.
        ComPtr<IConverterSession> pSession;
        ASSERT_EQ(Platform::Mapi::CreateConverterSession(pSession.AddressOf()), S_OK);
        ComPtr<IMessage> pBase = NewMessage();
        ComPtr<Platform::MemStream> pMime =
            Platform::MemStream::Create(ReadFile(TestSupport::DataDir() / "convert" / e.sFile));
        ASSERT_TRUE(SUCCEEDED(pSession->MIMEToMAPI(pMime.Get(), pBase.Get(), nullptr, CCSF_SMTP | CCSF_INCLUDE_BCC)));

        const std::string dump = DiffDump(pMessage.Get(), pBase.Get());
        std::filesystem::path ref = TestSupport::DataDir() / "mail-in" / e.sFile;
        ref.replace_extension(".props.ref");
        if (bRegen) {
            TestSupport::WriteFile(ref, dump);
            continue;
        }
        EXPECT_EQ(dump, ReadFile(ref)) << "regenerate with scripts/regen-mail-in-goldens.sh and review the diff";
    }
}

}  // namespace MailInTest
