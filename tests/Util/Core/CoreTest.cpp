#include <gtest/gtest.h>

#include <cstring>
#include <set>
#include <stdexcept>
#include <vector>

#include "Util/Exception.h"
#include "Util/Log/Diagnostics.h"
#include "Util/Log/Log.h"
#include "Util/MemoryStream.h"
#include "Util/Progress.h"
#include "Util/Text/Guid.h"

using namespace Ostrel::Util;

namespace {

// The pattern converters use: a catch-all that passes C_Exception on and turns anything else into a code.
HRESULT ConvertStep(void (*step)()) {
    try {
        step();
    } catch (...) {
        RethrowOriginalCException();
        return E_FAIL;
    }
    return S_OK;
}

}  // namespace

TEST(Exception, CarriesCodeMessageAndOrigin) {
    try {
        OST_THROW_C_EXCEPTION(0x8004010F, L"not found \u00e9");
    } catch (const C_Exception& e) {
        EXPECT_EQ(static_cast<HRESULT>(0x8004010F), e.GetHResult());
        EXPECT_EQ(L"not found \u00e9", e.GetMessage());
        EXPECT_EQ("CoreTest.cpp", e.GetFile());
        EXPECT_GT(e.GetLine(), 0);
        EXPECT_STREQ("not found \xc3\xa9 (hr 0x8004010F)", e.what());
    }
}

TEST(Exception, RethrowPassesTheSameObjectAndIgnoresOthers) {
    try {
        ConvertStep([] { throw C_Exception(E_ABORT, L"stop"); });
        FAIL() << "C_Exception was swallowed";
    } catch (const C_Exception& e) {
        EXPECT_EQ(E_ABORT, e.GetHResult());
        EXPECT_EQ(L"stop", e.GetMessage());
    }
    EXPECT_EQ(E_FAIL, ConvertStep([] { throw std::runtime_error("other"); }));
    EXPECT_EQ(E_FAIL, ConvertStep([] { throw 42; }));
    EXPECT_NO_THROW(RethrowOriginalCException());  // outside a handler: nothing to do

    // Identity: the object caught upstream is the one thrown, not a copy.
    const C_Exception* pCaught = nullptr;
    const C_Exception* pOriginal = nullptr;
    try {
        try {
            throw C_Exception(E_FAIL, L"x");
        } catch (const C_Exception& inner) {
            pOriginal = &inner;
            RethrowOriginalCException();
        }
    } catch (const C_Exception& outer) {
        pCaught = &outer;
    }
    EXPECT_EQ(pOriginal, pCaught);
}

TEST(Guid, TextFormsAndParsing) {
    Guid guid;
    ASSERT_TRUE(Guid::TryParse(std::wstring_view(L"{8B68CC02-773B-4851-989E-BB806518CCBB}"), &guid));
    EXPECT_EQ(L"{8B68CC02-773B-4851-989E-BB806518CCBB}", guid.ToString());
    EXPECT_EQ(L"8B68CC02-773B-4851-989E-BB806518CCBB", guid.ToStringNoBraces());
    EXPECT_EQ(L"8b68cc02-773b-4851-989e-bb806518ccbb", guid.ToIdString());
    EXPECT_EQ(0x8B68CC02u, guid.Get().Data1);
    EXPECT_EQ(0xBBu, guid.Get().Data4[7]);

    Guid other;
    ASSERT_TRUE(Guid::TryParse(std::string_view("8b68cc02-773b-4851-989e-bb806518ccbb"), &other));
    EXPECT_EQ(guid, other);
    for (const char* psz : {"", "{8b68cc02-773b-4851-989e-bb806518ccbb", "8b68cc02-773b-4851-989e-bb806518ccb",
                            "8b68cc02+773b-4851-989e-bb806518ccbb", "8b68cc02-773b-4851-989e-bb806518ccbg",
                            "{8b68cc02-773b-4851-989e-bb806518ccbb}}",
                            "\xc3\xa9"
                            "68cc02-773b-4851-989e-bb806518ccbb"}) {
        Guid parsed = guid;
        EXPECT_FALSE(Guid::TryParse(std::string_view(psz), &parsed)) << psz;
        EXPECT_EQ(guid, parsed);  // untouched on failure
    }
    EXPECT_TRUE(Guid().IsNull());
    EXPECT_EQ(L"00000000-0000-0000-0000-000000000000", GuidToIdString(GUID{}));
}

TEST(Guid, NewGuidsAreRandomVersion4) {
    std::set<Guid> setSeen;
    for (int i = 0; i < 50; ++i) {
        Guid guid = Guid::NewGuid();
        EXPECT_EQ(L'4', guid.ToString()[15]);
        EXPECT_TRUE(setSeen.insert(guid).second);
    }
}

TEST(MemoryStream, SharesItsBytesWithTheIStreamView) {
    MemoryStream stream;
    ASSERT_EQ(S_OK, stream.Write("MIME-Version: 1.0\r\n"));
    IStream* pStream = stream.GetStream();
    ASSERT_EQ(S_OK, pStream->Write("X", 1, nullptr));
    EXPECT_EQ("MIME-Version: 1.0\r\nX", stream.GetContent());
    EXPECT_EQ(20u, stream.GetPosition());

    ASSERT_EQ(S_OK, stream.Rewind());
    char buffer[8];
    size_t cbRead = 0;
    ASSERT_EQ(S_OK, stream.Read(buffer, 4, &cbRead));
    EXPECT_EQ("MIME", std::string(buffer, cbRead));
    ASSERT_EQ(S_OK, stream.Seek(2, STREAM_SEEK_END));
    ASSERT_EQ(S_OK, stream.Write("!"));
    EXPECT_EQ(std::string("MIME-Version: 1.0\r\nX\0\0!", 23), stream.GetContent());
    EXPECT_EQ(STG_E_INVALIDFUNCTION, stream.Seek(-100, STREAM_SEEK_CUR));

    ASSERT_EQ(S_OK, stream.SetContent("fresh"));
    EXPECT_EQ(0u, stream.GetPosition());
    ASSERT_EQ(S_OK, stream.Read(buffer, sizeof buffer, &cbRead));
    EXPECT_EQ("fresh", std::string(buffer, cbRead));
    stream.Clear();
    EXPECT_EQ(0u, stream.GetSize());
    ASSERT_EQ(S_OK, stream.Seek(0xFFFFFFFFll, STREAM_SEEK_SET));
    EXPECT_EQ(STG_E_MEDIUMFULL, stream.Write("x"));
    EXPECT_EQ(0u, stream.GetSize());
}

TEST(ProgressTask, PositionStaysInRangeAndObserversSeeChanges) {
    auto pTask = ProgressTask::Create(L"Download");
    std::vector<ProgressState> vecSeen;
    int nHandle = pTask->AddListener([&](const ProgressState& state) { vecSeen.push_back(state); });
    pTask->SetRange(0, 1000);
    pTask->SetStep(300);
    pTask->StepIt();
    pTask->StepIt();
    pTask->OffsetPos(250);
    EXPECT_EQ(850u, pTask->GetPos());
    EXPECT_EQ(85u, pTask->GetState().GetPercent());
    pTask->StepIt();  // stops at the maximum
    EXPECT_EQ(1000u, pTask->GetPos());
    pTask->OffsetPos(~0ull);
    EXPECT_EQ(1000u, pTask->GetPos());
    pTask->SetRange(100, 50);  // reversed: empty range at 100
    EXPECT_EQ(100u, pTask->GetPos());
    EXPECT_EQ(0u, pTask->GetState().GetPercent());
    ASSERT_EQ(8u, vecSeen.size());
    EXPECT_EQ(300u, vecSeen[2].ullPos);
    EXPECT_EQ(L"Download", vecSeen[0].wsName);

    pTask->RemoveListener(nHandle);
    pTask->SetText(L"quiet");
    EXPECT_EQ(8u, vecSeen.size());
}

TEST(ProgressTask, MarqueeCancelAndCompletion) {
    ProgressTask task(L"Rebuild");
    // An observer may call back into the task (a Cancel button handler does).
    task.AddListener([&](const ProgressState& state) {
        if (state.wsText == L"press cancel" && !state.bCancelled)
            task.Cancel();
    });
    task.SetMarquee(true);
    task.SetText(L"press cancel");
    EXPECT_TRUE(task.IsCancelled());
    task.Complete();
    ProgressState state = task.GetState();
    EXPECT_TRUE(state.bComplete);
    EXPECT_TRUE(state.bMarquee);
    EXPECT_EQ(0u, state.ullPos);
    EXPECT_EQ(0u, state.GetPercent());
}

TEST(Diagnostics, NodeTypesAndTentativeFlags) {
    EXPECT_STREQ(L"HID", NidType(0));
    EXPECT_STREQ(L"NORMAL_MESSAGE", NidType(0x24));  // only the low 5 bits count
    EXPECT_STREQ(L"UNKNOWN", NidType(9));
    EXPECT_STREQ(L"SEARCH_TABLE_INDEX", NidType(19));
    EXPECT_STREQ(L"UNKNOWN", NidType(20));
    EXPECT_STREQ(L"LTP", NidType(31));
    EXPECT_STREQ(L"NONE", TentFlags(0));
    EXPECT_STREQ(L"ADD|DEL", TentFlags(3));
    EXPECT_STREQ(L"DEL|INVALID", TentFlags(0x82));
}

TEST(Diagnostics, ErrorNames) {
    EXPECT_EQ(L"MAPI_E_NOT_FOUND", MapiErrorToString(static_cast<HRESULT>(0x8004010F)));
    EXPECT_EQ(L"MAPI_W_ERRORS_RETURNED", MapiErrorToString(0x00040380));
    EXPECT_EQ(L"S_OK", MapiErrorToString(S_OK));
    EXPECT_EQ(L"0x80040999", MapiErrorToString(static_cast<HRESULT>(0x80040999)));
    EXPECT_EQ(L"ERROR_WINHTTP_TIMEOUT", WinHTTPErrorToString(12002));
    EXPECT_EQ(L"error 12003 (0x00002EE3)", WinHTTPErrorToString(12003));
}

TEST(Diagnostics, IdMapperTracesNameTheNode) {
    LogCapture capture;
    BYTE entryId[24] = {};
    DWORD dwPstId = 0x00200024;  // node type 4
    std::memcpy(entryId + 20, &dwPstId, 4);
    TraceIdMapperPutMessage(4, 257, entryId, sizeof entryId, L"FileMapper", TRUE);
    TraceIdMapperGetMessage(4, 258, nullptr, 0, L"FileMapper", FALSE);
    std::vector<LogRecord> records = capture.Records();
    ASSERT_EQ(2u, records.size());
    EXPECT_EQ(4u, records[0].dwLevel);
    EXPECT_EQ(32u, records[0].dwCategory);
    EXPECT_EQ(
        L"IDM PUT [FileMapper]: OstID 257 -> EntryID 000000000000000000000000000000000000000024002000 "
        L"(24 bytes) PstID 00200024 (NORMAL_MESSAGE): succeeded",
        records[0].wsMessage);
    EXPECT_EQ(L"IDM GET [FileMapper]: OstID 258 -> EntryID (none) (0 bytes): failed", records[1].wsMessage);
}
