#include "Ostrel/Convert/Mail/IncomingBatch.h"

#include "MailInTestUtil.h"
#include "Ostrel/IdMap/IdMapper.h"
#include "Ostrel/Store/NamedProps.h"
#include "Platform/Com/MemStream.h"

namespace MailInTest {

namespace {

using Ostrel::Convert::IncomingBatch;
using Ostrel::Convert::IncomingBatchReport;
using Ostrel::Mapi::NamedProps;

std::string Mime(const std::string& subject) {
    return "From: Anna Berg <anna@example.org>\r\nTo: tom@example.com\r\nSubject: " + subject +
           "\r\nMIME-Version: 1.0\r\nContent-Type: text/plain\r\n\r\nBody of " + subject + "\r\n";
}

// A batch whose target for the iFailAt-th message cannot be saved.
class FailingBatch : public IncomingBatch {
public:
    FailingBatch(IMsgStore* pStore, IMAPIFolder* pFolder, std::map<LONG, std::wstring>& tagMap, int iFailAt)
        : IncomingBatch(pStore, pFolder, nullptr, tagMap), m_pFolder(pFolder), m_iFailAt(iFailAt) {}

protected:
    HRESULT CreateTarget(IMessage** ppMessage) override {
        ComPtr<IMessage> pMessage;
        HRESULT hr = m_pFolder->CreateMessage(nullptr, 0, pMessage.AddressOf());
        if (FAILED(hr))
            return hr;
        if (++m_iCount == m_iFailAt)
            pMessage = FailingMessage(pMessage.Get(), 1, MAPI_E_NOT_ENOUGH_DISK);
        *ppMessage = pMessage.Detach();
        return S_OK;
    }

private:
    IMAPIFolder* m_pFolder;
    int m_iFailAt;
    int m_iCount = 0;
};

class IncomingArchive : public StoreFixture {
protected:
    LONG IdOf(IMessage* pMessage) {
        return GetLong(pMessage, Ostrel::Mapi::NamedPropsManager::GetNamedPropsFromMAPIProp(m_store.Get())
                                     ->GetPropTag(NamedProps::OSTREL_ID, PT_LONG));
    }
    IncomingBatchReport Run(IncomingBatch& batch, const std::string& archive) {
        ComPtr<Platform::MemStream> pStream = Platform::MemStream::Create(archive);
        return batch.ConvertArchive(pStream.Get());
    }
    std::vector<ArchiveItem> Items(int count) {
        std::vector<ArchiveItem> items;
        for (int i = 1; i <= count; ++i)
            items.push_back({i, MetaXml(i, "u", "", "", "1700000000000", "9"), Mime("m" + std::to_string(i)), i == 2});
        return items;
    }
};

}  // namespace

TEST_F(IncomingArchive, AFailedMessageLeavesOnlyItsNoticeAndTheBatchGoesOn) {
    FailingBatch batch(m_store.Get(), m_inbox.Get(), m_tagMap, 2);
    const IncomingBatchReport report = Run(batch, BuildArchive(Items(3)));
    EXPECT_EQ(report.cConverted, 2u);
    EXPECT_EQ(report.cFailed, 1u);
    EXPECT_EQ(report.failedIds, std::vector<LONG>{2});
    EXPECT_TRUE(report.wsArchiveError.empty());

    const auto messages = InboxMessages();
    ASSERT_EQ(messages.size(), 3u);
    int cNotices = 0;
    for (const auto& pMessage : messages) {
        const std::wstring wsClass = GetString(pMessage.Get(), PR_MESSAGE_CLASS_W);
        if (IdOf(pMessage.Get()) != 2) {
            EXPECT_EQ(wsClass, L"IPM.Note");
            continue;
        }
        // Nothing of the failed conversion is left: the only object of id 2 is the notice.
        ++cNotices;
        EXPECT_EQ(wsClass, Ostrel::Convert::kFailureNoticeClass);
        EXPECT_EQ(GetString(pMessage.Get(), PR_SUBJECT_W), L"Message could not be converted: m2");
        EXPECT_NE(GetString(pMessage.Get(), PR_BODY_W).find(L"failed to save the message"), std::wstring::npos);
        EXPECT_EQ(GetLong(pMessage.Get(), PR_MESSAGE_FLAGS) & MSGFLAG_READ, 0);
        ComPtr<IAttach> pAttach;
        ASSERT_EQ(pMessage->OpenAttach(0, nullptr, 0, pAttach.AddressOf()), S_OK);
        EXPECT_EQ(GetString(pAttach.Get(), PR_ATTACH_LONG_FILENAME_W), L"2.eml");
        LPSPropValue pData = nullptr;
        ASSERT_EQ(HrGetOneProp(pAttach.Get(), PR_ATTACH_DATA_BIN, &pData), S_OK);
        EXPECT_EQ(std::string(reinterpret_cast<char*>(pData->Value.bin.lpb), pData->Value.bin.cb), Mime("m2"));
        MAPIFreeBuffer(pData);
    }
    EXPECT_EQ(cNotices, 1);
}

TEST_F(IncomingArchive, UnavailableItemsAndDamageStopNothingBeforeThem) {
    std::vector<ArchiveItem> items = Items(3);
    // An error entry for an item the server could not deliver, between two messages.
    ArchiveItem gone;
    gone.lId = 5;
    gone.sMime = "no such item";
    gone.bError = true;
    items.insert(items.begin() + 1, gone);
    const std::string archive = BuildArchive(items);
    IncomingBatch batch(m_store.Get(), m_inbox.Get(), nullptr, m_tagMap);

    // Cut inside the third message: the first two stay, the damage is reported.
    const size_t cut = archive.find("Body of m3");
    ASSERT_NE(cut, std::string::npos);
    const IncomingBatchReport report = Run(batch, archive.substr(0, cut));
    EXPECT_EQ(report.cConverted, 2u);
    EXPECT_EQ(report.cUnavailable, 1u);
    EXPECT_FALSE(report.wsArchiveError.empty());
    EXPECT_EQ(InboxCount(), 2u);

    // Metadata that is not XML: the entry's name still gives the id; the message is stored read.
    std::vector<ArchiveItem> bad = {{7, "<m id=", Mime("seven")}};
    const IncomingBatchReport second = Run(batch, BuildArchive(bad));
    EXPECT_EQ(second.cConverted, 1u);
    EXPECT_TRUE(second.wsArchiveError.empty());
    const auto messages = InboxMessages();
    ASSERT_EQ(messages.size(), 3u);
    EXPECT_EQ(IdOf(messages.back().Get()), 7);
    EXPECT_EQ(GetLong(messages.back().Get(), PR_MESSAGE_FLAGS), MSGFLAG_READ);
}

TEST_F(IncomingArchive, TheMapperLearnsEveryConvertedMessage) {
    Ostrel::Mapi::IdMapper mapper(nullptr, m_store.Get(), Ostrel::Mapi::IdMapperTypeItem);
    mapper.LoadAndVerifyIfNec();
    ASSERT_EQ(mapper.LoadCache(), S_OK);
    IncomingBatch mapped(m_store.Get(), m_inbox.Get(), nullptr, m_tagMap, &mapper);
    const IncomingBatchReport report = Run(mapped, BuildArchive(Items(2)));
    EXPECT_EQ(report.cConverted, 2u);
    for (LONG lId : {1, 2}) {
        ULONG ulType = 0;
        IUnknown* pObject = nullptr;
        ASSERT_TRUE(mapper.Get(lId, &ulType, &pObject)) << lId;
        EXPECT_EQ(IdOf(static_cast<IMessage*>(pObject)), lId);
        pObject->Release();
    }
    EXPECT_FALSE(mapper.Contains(3));
}

TEST_F(IncomingArchive, AMessageSpooledToAFileConvertsLikeOneInMemory) {
    // Past the archive reader's loading block (5 MiB) a message comes as a temporary file stream.
    std::string big = Mime("big");
    big.insert(big.size() - 2, std::string(6 << 20, 'x'));
    IncomingBatch batch(m_store.Get(), m_inbox.Get(), nullptr, m_tagMap);
    const IncomingBatchReport report =
        Run(batch, BuildArchive({{9, MetaXml(9, "f", "", "Big", "1700000000000", "1"), big, true}}));
    EXPECT_EQ(report.cConverted, 1u);
    EXPECT_EQ(report.ullMimeBytes, big.size());
    const auto messages = InboxMessages();
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(IdOf(messages[0].Get()), 9);
    EXPECT_EQ(GetLong(messages[0].Get(), PR_FLAG_STATUS), 2);
    EXPECT_EQ(GetString(messages[0].Get(), PR_SUBJECT_W), L"big");
}

}  // namespace MailInTest
