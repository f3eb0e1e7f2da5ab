// Contacts written in batches: mappings only for committed saves, nothing left of an abandoned
// batch, and no second copies after a run that committed but did not get to record its mappings.
#include "ContactTestSupport.h"
#include "Ostrel/Convert/Contact/ContactStoreWriter.h"
#include "Platform/Mapi/MapiAlloc.h"
#include "Platform/Mapi/MapiTags.h"
#include "Platform/Mapi/MapiUtil.h"

namespace ContactConvertTest {
namespace {

using Ostrel::Mapi::ContactStoreWriter;

class ContactBatchTest : public ContactStoreFixture {
protected:
    LONG Count(IMAPIFolder* pFolder) {
        LPSPropValue pValue = nullptr;
        LONG l = -1;
        if (SUCCEEDED(HrGetOneProp(pFolder, PR_CONTENT_COUNT, &pValue)))
            l = pValue->Value.l;
        MAPIFreeBuffer(pValue);
        return l;
    }

    static std::unique_ptr<Ostrel::Mail::Contact> MailboxContact(int i) {
        auto contact = std::make_unique<Ostrel::Mail::Contact>();
        contact->SetContId(500 + i);
        contact->SetAttribute(Ostrel::Mail::Contact::A_fullName, L"Person " + std::to_wstring(i));
        contact->SetAttribute(Ostrel::Mail::Contact::A_email, L"person" + std::to_wstring(i) + L"@ostrel.test");
        return contact;
    }

    // Puts the five GAL entries (bGal) or five mailbox contacts in one batch; the entry ids by key.
    std::map<std::wstring, std::string> PutBatch(bool bGal, bool bEnd = true) {
        ContactStoreWriter writer(m_store.Get(), bGal ? m_gal.Get() : m_contacts.Get(), m_items.get(),
                                  m_galMapper.get(), bGal);
        EXPECT_EQ(writer.BeginBatch(), S_OK);
        std::map<std::wstring, std::string> eids;
        for (int i = 0; i < 5; ++i) {
            auto contact = bGal ? MakeGalContact(i) : MailboxContact(i);
            std::string eid;
            EXPECT_EQ(writer.Put(*contact, nullptr, &eid), S_OK);
            eids[bGal ? ContactStoreWriter::GalKey(*contact) : std::to_wstring(contact->GetContId())] = eid;
            // Nothing is mapped before its commit.
            EXPECT_FALSE(bGal ? m_galMapper->Contains(ContactStoreWriter::GalKey(*contact))
                              : m_items->Contains(contact->GetContId()));
        }
        if (bEnd) {
            EXPECT_EQ(writer.EndBatch(), S_OK);
        }
        return eids;
    }

    // The entry id each key is mapped to (empty: not mapped).
    std::map<std::wstring, std::string> Mapped(bool bGal) {
        std::map<std::wstring, std::string> eids;
        for (int i = 0; i < 5; ++i) {
            ULONG cb = 0;
            BYTE* pEid = nullptr;
            const std::wstring wsKey = bGal ? ContactStoreWriter::GalKey(*MakeGalContact(i)) : std::to_wstring(500 + i);
            const BOOL bFound = bGal ? m_galMapper->Get(wsKey, &cb, &pEid) : m_items->Get(500 + i, &cb, &pEid);
            eids[wsKey] = bFound ? std::string(reinterpret_cast<const char*>(pEid), cb) : std::string();
            MAPIFreeBuffer(pEid);
        }
        return eids;
    }
};

TEST_F(ContactBatchTest, CommittedContactsAreMappedAndFoundAgainAfterLosingTheirMappings) {
    for (bool bGal : {true, false}) {
        SCOPED_TRACE(bGal ? "GAL entries" : "mailbox contacts");
        IMAPIFolder* pFolder = bGal ? m_gal.Get() : m_contacts.Get();
        const auto written = PutBatch(bGal);
        EXPECT_EQ(Count(pFolder), 5);
        EXPECT_EQ(Mapped(bGal), written);

        // A run killed after its commit but before its mappings leaves the stamped messages
        // without them: the next batch takes them again instead of making second copies.
        (bGal ? m_galMapper : m_items)->RemoveAll();
        const auto rewritten = PutBatch(bGal);
        EXPECT_EQ(rewritten, written);
        EXPECT_EQ(Count(pFolder), 5);
        EXPECT_EQ(Mapped(bGal), written);
    }
}

TEST_F(ContactBatchTest, AnAbandonedBatchLeavesNeitherContactsNorMappings) {
    for (bool bGal : {true, false}) {
        SCOPED_TRACE(bGal ? "GAL entries" : "mailbox contacts");
        PutBatch(bGal, false);
        EXPECT_EQ(Count(bGal ? m_gal.Get() : m_contacts.Get()), 0);
        for (const auto& [wsKey, sEid] : Mapped(bGal))
            EXPECT_TRUE(sEid.empty());
    }
}

TEST_F(ContactBatchTest, AContactPutTwiceInOneBatchIsOneMessageAndCommitMapsWhatCameBefore) {
    for (bool bGal : {true, false}) {
        SCOPED_TRACE(bGal ? "GAL entries" : "mailbox contacts");
        ContactStoreWriter writer(m_store.Get(), bGal ? m_gal.Get() : m_contacts.Get(), m_items.get(),
                                  m_galMapper.get(), bGal);
        ASSERT_EQ(writer.BeginBatch(), S_OK);
        auto contact = bGal ? MakeGalContact(0) : MailboxContact(0);
        std::string first, second;
        EXPECT_EQ(writer.Put(*contact, nullptr, &first), S_OK);
        EXPECT_EQ(writer.Put(*contact, nullptr, &second), S_OK);
        EXPECT_EQ(first, second);
        EXPECT_EQ(writer.Commit(), S_OK);
        EXPECT_EQ(Mapped(bGal)[bGal ? ContactStoreWriter::GalKey(*contact) : L"500"], first);
        // The batch goes on after the commit.
        auto next = bGal ? MakeGalContact(1) : MailboxContact(1);
        EXPECT_EQ(writer.Put(*next), S_OK);
        EXPECT_EQ(writer.EndBatch(), S_OK);
        EXPECT_EQ(Count(bGal ? m_gal.Get() : m_contacts.Get()), 2);
    }
}

}  // namespace
}  // namespace ContactConvertTest
