#include <gtest/gtest.h>

#include <string>

#include "Platform/Com/Com.h"

using Platform::ComPtr;
using Platform::MemStream;

namespace {

LARGE_INTEGER Li(LONGLONG ll) {
    LARGE_INTEGER li;
    li.QuadPart = ll;
    return li;
}

ULARGE_INTEGER Uli(ULONGLONG ull) {
    ULARGE_INTEGER uli;
    uli.QuadPart = ull;
    return uli;
}

std::string ReadAll(IStream* pStream) {
    EXPECT_EQ(S_OK, pStream->Seek(Li(0), STREAM_SEEK_SET, nullptr));
    std::string s;
    char buffer[7];
    ULONG cbRead = 0;
    while (SUCCEEDED(pStream->Read(buffer, sizeof buffer, &cbRead)) && cbRead > 0)
        s.append(buffer, cbRead);
    return s;
}

ULONGLONG Position(IStream* pStream) {
    ULARGE_INTEGER pos{};
    EXPECT_EQ(S_OK, pStream->Seek(Li(0), STREAM_SEEK_CUR, &pos));
    return pos.QuadPart;
}

}  // namespace

TEST(MemStream, ReadsAtAndPastTheEndGiveNothingButSucceed) {
    ComPtr<IStream> pStream;
    ASSERT_EQ(S_OK, Platform::CreateMemoryStream("abc", 3, pStream.AddressOf()));
    char buffer[8] = {};
    ULONG cbRead = 99;
    EXPECT_EQ(S_OK, pStream->Read(buffer, 8, &cbRead));
    EXPECT_EQ(3u, cbRead);
    EXPECT_EQ(S_OK, pStream->Read(buffer, 8, &cbRead));
    EXPECT_EQ(0u, cbRead);
    ASSERT_EQ(S_OK, pStream->Seek(Li(100), STREAM_SEEK_SET, nullptr));
    EXPECT_EQ(S_OK, pStream->Read(buffer, 8, &cbRead));
    EXPECT_EQ(0u, cbRead);
    EXPECT_EQ(STG_E_INVALIDPOINTER, pStream->Read(nullptr, 1, &cbRead));
}

TEST(MemStream, SeekRules) {
    ComPtr<IStream> pStream;
    ASSERT_EQ(S_OK, Platform::CreateMemoryStream("0123456789", 10, pStream.AddressOf()));
    ULARGE_INTEGER pos{};
    EXPECT_EQ(S_OK, pStream->Seek(Li(-3), STREAM_SEEK_END, &pos));
    EXPECT_EQ(7u, pos.QuadPart);
    EXPECT_EQ(S_OK, pStream->Seek(Li(-2), STREAM_SEEK_CUR, &pos));
    EXPECT_EQ(5u, pos.QuadPart);
    // Before the start, or an unknown origin: refused, position unchanged.
    EXPECT_EQ(STG_E_INVALIDFUNCTION, pStream->Seek(Li(-6), STREAM_SEEK_CUR, &pos));
    EXPECT_EQ(STG_E_INVALIDFUNCTION, pStream->Seek(Li(-1), STREAM_SEEK_SET, &pos));
    EXPECT_EQ(STG_E_INVALIDFUNCTION, pStream->Seek(Li(0), 3, &pos));
    EXPECT_EQ(STG_E_INVALIDFUNCTION, pStream->Seek(Li(INT64_MIN), STREAM_SEEK_END, &pos));
    EXPECT_EQ(5u, Position(pStream.Get()));
    // Past the end is allowed.
    EXPECT_EQ(S_OK, pStream->Seek(Li(5), STREAM_SEEK_END, &pos));
    EXPECT_EQ(15u, pos.QuadPart);
}

TEST(MemStream, WritingPastTheEndZeroFillsAndGrows) {
    ComPtr<IStream> pStream;
    ASSERT_EQ(S_OK, Platform::CreateMemoryStream(pStream.AddressOf()));
    ULONG cbWritten = 0;
    ASSERT_EQ(S_OK, pStream->Write("ab", 2, &cbWritten));
    ASSERT_EQ(S_OK, pStream->Seek(Li(3), STREAM_SEEK_CUR, nullptr));
    ASSERT_EQ(S_OK, pStream->Write("cd", 2, &cbWritten));
    EXPECT_EQ(2u, cbWritten);
    EXPECT_EQ(std::string("ab\0\0\0cd", 7), ReadAll(pStream.Get()));
    // Overwrite in the middle keeps the size.
    ASSERT_EQ(S_OK, pStream->Seek(Li(1), STREAM_SEEK_SET, nullptr));
    ASSERT_EQ(S_OK, pStream->Write("XY", 2, nullptr));
    EXPECT_EQ(std::string("aXY\0\0cd", 7), ReadAll(pStream.Get()));

    std::string sLarge(300000, 'q');
    ASSERT_EQ(S_OK, pStream->Write(sLarge.data(), static_cast<ULONG>(sLarge.size()), &cbWritten));
    STATSTG stat{};
    ASSERT_EQ(S_OK, pStream->Stat(&stat, STATFLAG_DEFAULT));
    EXPECT_EQ(7u + sLarge.size(), stat.cbSize.QuadPart);
    EXPECT_EQ(nullptr, stat.pwcsName);
    EXPECT_EQ(static_cast<DWORD>(STGTY_STREAM), stat.type);
}

TEST(MemStream, SizeLimitIsReportedWithoutAllocating) {
    ComPtr<IStream> pStream;
    ASSERT_EQ(S_OK, Platform::CreateMemoryStream(pStream.AddressOf()));
    ASSERT_EQ(S_OK, pStream->Seek(Li(0xFFFFFFFFll), STREAM_SEEK_SET, nullptr));
    ULONG cbWritten = 7;
    EXPECT_EQ(STG_E_MEDIUMFULL, pStream->Write("x", 1, &cbWritten));
    EXPECT_EQ(0u, cbWritten);
    EXPECT_EQ(STG_E_MEDIUMFULL, pStream->SetSize(Uli(0x100000000ull)));
    STATSTG stat{};
    ASSERT_EQ(S_OK, pStream->Stat(&stat, STATFLAG_NONAME));
    EXPECT_EQ(0u, stat.cbSize.QuadPart);
}

TEST(MemStream, SetSizeTruncatesAndExtendsWithZeros) {
    ComPtr<IStream> pStream;
    ASSERT_EQ(S_OK, Platform::CreateMemoryStream("abcdef", 6, pStream.AddressOf()));
    ASSERT_EQ(S_OK, pStream->SetSize(Uli(3)));
    EXPECT_EQ("abc", ReadAll(pStream.Get()));
    ASSERT_EQ(S_OK, pStream->SetSize(Uli(5)));
    EXPECT_EQ(std::string("abc\0\0", 5), ReadAll(pStream.Get()));
}

TEST(MemStream, ClonesShareContentButNotPosition) {
    ComPtr<IStream> pStream;
    ASSERT_EQ(S_OK, Platform::CreateMemoryStream("hello", 5, pStream.AddressOf()));
    ASSERT_EQ(S_OK, pStream->Seek(Li(2), STREAM_SEEK_SET, nullptr));
    ComPtr<IStream> pClone;
    ASSERT_EQ(S_OK, pStream->Clone(pClone.AddressOf()));
    EXPECT_EQ(2u, Position(pClone.Get()));
    ASSERT_EQ(S_OK, pClone->Write("LLO!", 4, nullptr));
    EXPECT_EQ(2u, Position(pStream.Get()));
    pClone.Reset();  // the content outlives the clone
    EXPECT_EQ("heLLO!", ReadAll(pStream.Get()));
}

TEST(MemStream, CopyToCopiesFromThePositionAndReportsCounts) {
    ComPtr<IStream> pSource;
    ComPtr<IStream> pTarget;
    std::string sData(200000, 'z');
    sData[0] = 'a';
    ASSERT_EQ(S_OK, Platform::CreateMemoryStream(sData.data(), sData.size(), pSource.AddressOf()));
    ASSERT_EQ(S_OK, Platform::CreateMemoryStream("12", 2, pTarget.AddressOf()));
    ASSERT_EQ(S_OK, pTarget->Seek(Li(0), STREAM_SEEK_END, nullptr));
    ULARGE_INTEGER cbRead{}, cbWritten{};
    ASSERT_EQ(S_OK, pSource->CopyTo(pTarget.Get(), Uli(~0ull), &cbRead, &cbWritten));
    EXPECT_EQ(sData.size(), cbRead.QuadPart);
    EXPECT_EQ(sData.size(), cbWritten.QuadPart);
    EXPECT_EQ("12" + sData, ReadAll(pTarget.Get()));

    // Into a clone of itself: appends its own first bytes without deadlocking.
    ComPtr<IStream> pClone;
    ASSERT_EQ(S_OK, pTarget->Clone(pClone.AddressOf()));
    ASSERT_EQ(S_OK, pClone->Seek(Li(0), STREAM_SEEK_END, nullptr));
    ASSERT_EQ(S_OK, pTarget->Seek(Li(0), STREAM_SEEK_SET, nullptr));
    ASSERT_EQ(S_OK, pTarget->CopyTo(pClone.Get(), Uli(3), &cbRead, &cbWritten));
    EXPECT_EQ(3u, cbWritten.QuadPart);
    std::string sAll = ReadAll(pTarget.Get());
    EXPECT_EQ("12a", sAll.substr(sAll.size() - 3));
    EXPECT_EQ(STG_E_INVALIDPOINTER, pTarget->CopyTo(nullptr, Uli(1), nullptr, nullptr));
}

TEST(MemStream, InterfacesAndUnsupportedOperations) {
    ComPtr<IStream> pStream;
    ASSERT_EQ(S_OK, Platform::CreateMemoryStream(pStream.AddressOf()));
    ComPtr<ISequentialStream> pSequential;
    EXPECT_EQ(S_OK, pStream.As(&pSequential));
    ComPtr<IUnknown> pUnknown;
    EXPECT_EQ(S_OK, pStream.As(&pUnknown));
    void* pv = reinterpret_cast<void*>(1);
    IID iidOther = IID_IStream;
    iidOther.Data1 = 0x12345678;
    EXPECT_EQ(E_NOINTERFACE, pStream->QueryInterface(iidOther, &pv));
    EXPECT_EQ(nullptr, pv);
    EXPECT_EQ(STG_E_INVALIDFUNCTION, pStream->LockRegion(Uli(0), Uli(1), LOCK_WRITE));
    EXPECT_EQ(STG_E_INVALIDFUNCTION, pStream->UnlockRegion(Uli(0), Uli(1), LOCK_WRITE));
    EXPECT_EQ(S_OK, pStream->Commit(STGC_DEFAULT));
    EXPECT_EQ(S_OK, pStream->Revert());
    STATSTG stat{};
    EXPECT_EQ(STG_E_INVALIDFLAG, pStream->Stat(&stat, 0x80));
    EXPECT_EQ(E_INVALIDARG, Platform::CreateMemoryStream(nullptr, 3, pStream.AddressOf()));
}

TEST(MemStream, DirectAccessForItsOwner) {
    ComPtr<MemStream> pStream = MemStream::Create(std::string_view("xyz"));
    EXPECT_EQ(3u, pStream->GetSize());
    EXPECT_EQ("xyz", pStream->CopyContent());
    ASSERT_EQ(S_OK, pStream->Assign("new content"));
    EXPECT_EQ(0u, pStream->GetPosition());
    EXPECT_EQ("new content", pStream->CopyContent());
}
