// The files of appointments and tasks on their way back from the server into the store: pushed
// with the item, listed in the reply, downloaded and written to the series and to each modified
// instance. Names, types and bytes come back as they went; a second sync replaces rather than
// adds; a file the server cannot deliver fails the item and leaves the store's copy as it was.
#include "PushTestSupport.h"

#include "Ostrel/Convert/Calendar/OstrelToOL.h"
#include "Platform/Base/Utf.h"
#include "Util/Log/Log.h"
#include "ostrel-server/Calendar.h"

#include <functional>
#include <ostream>
#include <vector>

namespace CalendarTest {
namespace {

using OstrelServer::CalendarBook;
using OstrelServer::CalendarItem;

// PR_ATTACHMENT_FLAGS of the attachments that hold a series' modified instances.
constexpr LONG kAfException = 0x2;

std::string Bytes(IAttach* pAttach) {
    Platform::ComPtr<IStream> pStream;
    if (FAILED(pAttach->OpenProperty(PR_ATTACH_DATA_BIN, &IID_IStream, 0, 0,
                                     reinterpret_cast<LPUNKNOWN*>(pStream.AddressOf()))))
        return "<no data>";
    std::string s;
    char buffer[4096];
    for (ULONG cb = 0; SUCCEEDED(pStream->Read(buffer, sizeof buffer, &cb)) && cb > 0;)
        s.append(buffer, cb);
    return s;
}

std::string Text(const SPropValue& v, ULONG ulTag) {
    return v.ulPropTag == ulTag ? Platform::ToUtf8(v.Value.lpszW) : "-";
}

struct Attachment {
    std::string sName, sType, sBytes;
    bool operator==(const Attachment&) const = default;
};

void PrintTo(const Attachment& a, std::ostream* os) {
    *os << a.sName << "|" << a.sType << "|" << a.sBytes.size() << " bytes";
}

// The message's files (not the instances a series keeps as attachments), in table order.
std::vector<Attachment> Files(IMessage* pMessage) {
    Platform::ComPtr<IMAPITable> pTable;
    EXPECT_EQ(pMessage->GetAttachmentTable(0, pTable.AddressOf()), S_OK);
    SizedSPropTagArray(5, columns) = {
        5, {PR_ATTACH_NUM, PR_ATTACHMENT_FLAGS, PR_ATTACH_LONG_FILENAME_W, PR_ATTACH_MIME_TAG_W, PR_ATTACH_METHOD}};
    LPSRowSet pRows = nullptr;
    EXPECT_EQ(pTable->SetColumns(reinterpret_cast<LPSPropTagArray>(&columns), 0), S_OK);
    EXPECT_EQ(pTable->QueryRows(1000, 0, &pRows), S_OK);
    std::vector<Attachment> files;
    for (ULONG r = 0; pRows && r < pRows->cRows; ++r) {
        const SPropValue* v = pRows->aRow[r].lpProps;
        if (v[1].ulPropTag == PR_ATTACHMENT_FLAGS && (v[1].Value.l & kAfException))
            continue;
        Platform::ComPtr<IAttach> pAttach;
        EXPECT_EQ(pMessage->OpenAttach(v[0].Value.ul, nullptr, 0, pAttach.AddressOf()), S_OK);
        if (v[4].ulPropTag == PR_ATTACH_METHOD && v[4].Value.l == ATTACH_EMBEDDED_MSG) {
            // An attached message, by its subject.
            Platform::ComPtr<IMessage> pEmbedded;
            LPSPropValue pSubject = nullptr;
            EXPECT_EQ(pAttach->OpenProperty(PR_ATTACH_DATA_OBJ, &IID_IMessage, 0, 0,
                                            reinterpret_cast<LPUNKNOWN*>(pEmbedded.AddressOf())),
                      S_OK);
            if (pEmbedded && SUCCEEDED(HrGetOneProp(pEmbedded.Get(), PR_SUBJECT_W, &pSubject)))
                files.push_back({"message", "", Platform::ToUtf8(pSubject->Value.lpszW)});
            MAPIFreeBuffer(pSubject);
            continue;
        }
        files.push_back({Text(v[2], PR_ATTACH_LONG_FILENAME_W), Text(v[3], PR_ATTACH_MIME_TAG_W),
                         pAttach ? Bytes(pAttach.Get()) : ""});
    }
    FreeProws(pRows);
    return files;
}

class AttachBack : public PushStore {
protected:
    // The reply converted into pTarget (a new message of the root folder when null), with the
    // attachments fetched from the simulator.
    Result ConvertWithFiles(const std::string& sReply, IMessage* pTarget = nullptr) {
        std::wstring wsRead;
        Ostrel::Mail::AppointmentPtr pAppointment = Ostrel::Mail::ReadCalendarReplyXml(sReply, wsRead);
        EXPECT_TRUE(pAppointment) << testing::PrintToString(wsRead);
        return pAppointment ? Convert(*pAppointment, pTarget, m_pConnection.get()) : Result{};
    }

    // The message as the store holds it, opened anew.
    Platform::ComPtr<IMessage> Reopen(IMessage* pMessage) {
        LPSPropValue pId = nullptr;
        EXPECT_EQ(HrGetOneProp(pMessage, PR_ENTRYID, &pId), S_OK);
        Platform::ComPtr<IMessage> pOpened;
        ULONG ulType = 0;
        if (pId) {
            EXPECT_EQ(m_pStore->OpenEntry(pId->Value.bin.cb, reinterpret_cast<LPENTRYID>(pId->Value.bin.lpb), nullptr,
                                          MAPI_MODIFY, &ulType, reinterpret_cast<IUnknown**>(pOpened.AddressOf())),
                      S_OK);
        }
        MAPIFreeBuffer(pId);
        return pOpened;
    }

    ULONG MessagesInRoot() {
        Platform::ComPtr<IMAPITable> pTable;
        ULONG cRows = 0;
        EXPECT_EQ(m_pRoot->GetContentsTable(0, pTable.AddressOf()), S_OK);
        if (pTable)
            pTable->GetRowCount(0, &cRows);
        return cRows;
    }

    // A new task with two files, saved.
    Platform::ComPtr<IMessage> NewTask() {
        Platform::ComPtr<IMessage> pTask;
        EXPECT_EQ(m_pRoot->CreateMessage(nullptr, 0, pTask.AddressOf()), S_OK);
        SPropValue v[2]{};
        v[0].ulPropTag = PR_MESSAGE_CLASS_W, v[0].Value.lpszW = const_cast<wchar_t*>(L"IPM.Task");
        v[1].ulPropTag = PR_SUBJECT_W, v[1].Value.lpszW = const_cast<wchar_t*>(L"Quarterly report");
        EXPECT_EQ(pTask->SetProps(2, v, nullptr), S_OK);
        AddFile(pTask.Get(), L"draft.docx", L"application/octet-stream", std::string("PK\x03\x04\0draft", 10));
        AddFile(pTask.Get(), L"figures.csv", L"text/csv", "q1,q2\r\n1,2\r\n");
        return pTask;
    }
};

// The embedded message of the series' first modified instance, with the attachment that holds it.
Platform::ComPtr<IMessage> FirstInstance(IMessage* pSeries, Platform::ComPtr<IAttach>& pHolder) {
    Platform::ComPtr<IMAPITable> pTable;
    EXPECT_EQ(pSeries->GetAttachmentTable(0, pTable.AddressOf()), S_OK);
    SizedSPropTagArray(2, columns) = {2, {PR_ATTACH_NUM, PR_ATTACHMENT_FLAGS}};
    LPSRowSet pRows = nullptr;
    EXPECT_EQ(pTable->SetColumns(reinterpret_cast<LPSPropTagArray>(&columns), 0), S_OK);
    EXPECT_EQ(pTable->QueryRows(1000, 0, &pRows), S_OK);
    Platform::ComPtr<IMessage> pInstance;
    for (ULONG r = 0; pRows && r < pRows->cRows && !pInstance; ++r) {
        const SPropValue* v = pRows->aRow[r].lpProps;
        if (v[1].ulPropTag != PR_ATTACHMENT_FLAGS || !(v[1].Value.l & kAfException))
            continue;
        EXPECT_EQ(pSeries->OpenAttach(v[0].Value.ul, nullptr, MAPI_MODIFY, pHolder.AddressOf()), S_OK);
        EXPECT_EQ(pHolder->OpenProperty(PR_ATTACH_DATA_OBJ, &IID_IMessage, 0, MAPI_MODIFY,
                                        reinterpret_cast<LPUNKNOWN*>(pInstance.AddressOf())),
                  S_OK);
    }
    FreeProws(pRows);
    return pInstance;
}

Platform::ComPtr<IMessage> FirstInstance(IMessage* pSeries) {
    Platform::ComPtr<IAttach> pHolder;
    return FirstInstance(pSeries, pHolder);
}

TEST_F(AttachBack, FilesOfTheSeriesAndOfAnInstanceComeBackAndAReSyncKeepsOneCopy) {
    // A daily seed series with a modified and a cancelled instance, first brought into the store.
    CalendarItem seed;
    for (CalendarItem& item : CalendarBook::SeedItems())
        if (item.Uid() == "uid-daily-london-exc")
            seed = std::move(item);
    ASSERT_EQ(seed.exceptions.size(), 1u);
    const int32_t seedId = m_server.State<CalendarBook>().Put(seed);
    Result local = Convert(Fetch(seedId, false));
    ASSERT_EQ(local.iResult, 1) << testing::PrintToString(local.wsError);
    IMessage* pItem = local.pMessage.Get();

    std::string sPdf;
    for (int i = 0; i < 300 * 256; ++i)
        sPdf += static_cast<char>(i & 0xFF);
    AddFile(pItem, L"agenda.pdf", L"application/pdf", sPdf);
    AddFile(pItem, L"notes.txt", L"text/plain", "Bring the figures.\r\n");
    {
        Platform::ComPtr<IAttach> pHolder;
        Platform::ComPtr<IMessage> pInstance = FirstInstance(pItem, pHolder);
        ASSERT_TRUE(pInstance);
        AddFile(pInstance.Get(), L"map.png", L"image/png", std::string("\x89PNG\r\n\x1a\n\0\0", 10));
        ASSERT_EQ(pHolder->SaveChanges(KEEP_OPEN_READWRITE), S_OK);
        ASSERT_EQ(pItem->SaveChanges(KEEP_OPEN_READWRITE), S_OK);
    }
    const std::vector<Attachment> series = Files(pItem), instance = Files(FirstInstance(pItem).Get());
    ASSERT_EQ(series.size(), 2u);
    ASSERT_EQ(instance.size(), 1u);

    const LONG lId = Push(pItem);
    ASSERT_GT(lId, 0);
    EXPECT_EQ(Files(pItem), series) << "the pushed item keeps what it had";
    const std::string sReply = Fetch(lId, false);

    // Without a connection nothing is fetched, and the caller is told.
    Result bare = Convert(sReply);
    ASSERT_EQ(bare.iResult, 1);
    EXPECT_NE(bare.wsWarning.find(L"not fetched"), std::wstring::npos);
    EXPECT_TRUE(Files(bare.pMessage.Get()).empty());

    Result back = ConvertWithFiles(sReply);
    ASSERT_EQ(back.iResult, 1) << testing::PrintToString(back.wsError);
    EXPECT_EQ(back.wsWarning, L"");
    Platform::ComPtr<IMessage> pBack = Reopen(back.pMessage.Get());
    EXPECT_EQ(Files(pBack.Get()), series);
    EXPECT_EQ(Files(FirstInstance(pBack.Get()).Get()), instance);

    // The same reply synced again into the same item: one copy of each file, no more.
    Result again = ConvertWithFiles(sReply, pBack.Get());
    ASSERT_EQ(again.iResult, 1) << testing::PrintToString(again.wsError);
    pBack = Reopen(pBack.Get());
    EXPECT_EQ(Files(pBack.Get()), series);
    EXPECT_EQ(Files(FirstInstance(pBack.Get()).Get()), instance);
}

TEST_F(AttachBack, ATasksFilesComeBackAndFollowTheServersChanges) {
    Platform::ComPtr<IMessage> pTask = NewTask();
    {
        // An attached message goes up as MIME text and comes back as a message.
        Platform::ComPtr<IAttach> pAttach;
        ULONG ulNum = 0;
        ASSERT_EQ(pTask->CreateAttach(nullptr, 0, &ulNum, pAttach.AddressOf()), S_OK);
        SPropValue v[2]{};
        v[0].ulPropTag = PR_ATTACH_METHOD, v[0].Value.l = ATTACH_EMBEDDED_MSG;
        v[1].ulPropTag = PR_DISPLAY_NAME_W, v[1].Value.lpszW = const_cast<wchar_t*>(L"Minutes");
        ASSERT_EQ(pAttach->SetProps(2, v, nullptr), S_OK);
        Platform::ComPtr<IMessage> pEmbedded;
        ASSERT_EQ(pAttach->OpenProperty(PR_ATTACH_DATA_OBJ, &IID_IMessage, 0, MAPI_CREATE | MAPI_MODIFY,
                                        reinterpret_cast<LPUNKNOWN*>(pEmbedded.AddressOf())),
                  S_OK);
        v[0].ulPropTag = PR_SUBJECT_W, v[0].Value.lpszW = const_cast<wchar_t*>(L"Minutes of Monday");
        v[1].ulPropTag = PR_BODY_W, v[1].Value.lpszW = const_cast<wchar_t*>(L"All agreed.");
        ASSERT_EQ(pEmbedded->SetProps(2, v, nullptr), S_OK);
        ASSERT_EQ(pEmbedded->SaveChanges(0), S_OK);
        ASSERT_EQ(pAttach->SaveChanges(0), S_OK);
        ASSERT_EQ(pTask->SaveChanges(KEEP_OPEN_READWRITE), S_OK);
    }
    const std::vector<Attachment> sent = Files(pTask.Get());
    const LONG lId = Push(pTask.Get());
    ASSERT_GT(lId, 0);
    Result back = ConvertWithFiles(Fetch(lId, true));
    ASSERT_EQ(back.iResult, 1) << testing::PrintToString(back.wsError);
    Platform::ComPtr<IMessage> pBack = Reopen(back.pMessage.Get());
    EXPECT_EQ(Files(pBack.Get()), sent);

    // The first file is taken off and the task pushed again: the next sync removes it from the
    // copy it wrote before, rather than keeping it beside the server's one file.
    ASSERT_EQ(pTask->DeleteAttach(0, 0, nullptr, 0), S_OK);
    ASSERT_EQ(pTask->SaveChanges(KEEP_OPEN_READWRITE), S_OK);
    ASSERT_EQ(Push(pTask.Get()), lId);
    Result again = ConvertWithFiles(Fetch(lId, true), pBack.Get());
    ASSERT_EQ(again.iResult, 1) << testing::PrintToString(again.wsError);
    EXPECT_EQ(Files(Reopen(pBack.Get()).Get()), (std::vector<Attachment>{sent[1], sent[2]}));
}

TEST_F(AttachBack, AFileTheServerCannotDeliverFailsTheItemAndLeavesTheStoreCopy) {
    Platform::ComPtr<IMessage> pTask = NewTask();
    const LONG lId = Push(pTask.Get());
    ASSERT_GT(lId, 0);
    const std::string sReply = Fetch(lId, true);
    Result back = ConvertWithFiles(sReply);
    ASSERT_EQ(back.iResult, 1) << testing::PrintToString(back.wsError);
    const std::vector<Attachment> synced = Files(back.pMessage.Get());
    ASSERT_EQ(synced.size(), 2u);

    CalendarItem item = *m_server.State<CalendarBook>().Get(lId);
    OstrelServer::CalNode* pM = item.series.Child("m");
    ASSERT_TRUE(pM);
    std::vector<OstrelServer::CalNode*> parts;
    for (OstrelServer::CalNode& mp : pM->children)
        if (mp.name == "mp" && mp.Attr("part"))
            parts.push_back(&mp);
    ASSERT_EQ(parts.size(), 2u);
    struct Case {
        const char* pszWhat;
        std::function<void(CalendarItem&)> spoil;
    };
    const std::string sSecond = *parts[1]->Attr("part");
    const Case cases[] = {
        {"a part the server no longer has", [&](CalendarItem& i) { i.parts.erase(sSecond); }},
        {"a size the content does not have", [&](CalendarItem& i) { i.parts[sSecond].content += "!"; }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.pszWhat);
        CalendarItem spoilt = item;
        c.spoil(spoilt);
        m_server.State<CalendarBook>().Put(spoilt);
        const ULONG cMessages = MessagesInRoot();
        Ostrel::Util::LogCapture log;
        // Into the item an earlier sync wrote: it keeps what it had.
        Result failed = ConvertWithFiles(sReply, Reopen(back.pMessage.Get()).Get());
        EXPECT_EQ(failed.iResult, 0);
        EXPECT_NE(failed.wsError.find(L"figures.csv"), std::wstring::npos) << testing::PrintToString(failed.wsError);
        EXPECT_TRUE(log.Contains(L"attachment 'figures.csv' (part " + Platform::FromUtf8(sSecond) + L") of item " +
                                 std::to_wstring(lId) + L" could not be downloaded"));
        EXPECT_EQ(Files(Reopen(back.pMessage.Get()).Get()), synced);
        // Into a new message: nothing of the item is saved.
        EXPECT_EQ(ConvertWithFiles(sReply).iResult, 0);
        EXPECT_EQ(MessagesInRoot(), cMessages);
    }

    // A size that is no count of bytes: that file is left out with a warning, the rest comes.
    std::string sNoSize = sReply;
    const std::string sListed = "filename=\"figures.csv\" s=\"12";
    const size_t at = sNoSize.find(sListed);
    ASSERT_NE(at, std::string::npos) << sReply;
    sNoSize.insert(at + sListed.size(), "x");
    Result partial = ConvertWithFiles(sNoSize, Reopen(back.pMessage.Get()).Get());
    EXPECT_EQ(partial.iResult, 1) << testing::PrintToString(partial.wsError);
    EXPECT_NE(partial.wsWarning.find(L"'figures.csv' not fetched"), std::wstring::npos);
    EXPECT_EQ(Files(Reopen(back.pMessage.Get()).Get()), std::vector<Attachment>{synced[0]});
}

}  // namespace
}  // namespace CalendarTest
