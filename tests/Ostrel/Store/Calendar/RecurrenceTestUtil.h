// Helpers for the recurrence blob tests: annotated hex vectors, streams and blob round trips.
#pragma once

#include "Ostrel/Store/Calendar/RecurrencePattern.h"
#include "Platform/Com/MemStream.h"

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace CalendarTest {

using Bytes = std::vector<BYTE>;

// A vector file: one field per line, hex bytes then "# name = value". The offset of the line
// whose name is `mark` is reported (SIZE_MAX when there is none).
struct HexVector {
    Bytes bytes;
    size_t cbMark = SIZE_MAX;
};
HexVector ReadHexVector(const std::filesystem::path& path, const std::string& sMark);

// Reads the bytes into the pattern through a memory stream.
HRESULT ReadBlob(const Bytes& bytes, Ostrel::Mapi::COutlookRecurrencePattern& pattern);
// Writes the pattern's blob into a new memory stream and returns its bytes (empty on failure).
Bytes WriteBlob(const Ostrel::Mapi::COutlookRecurrencePattern& pattern);

ULONG Minutes(int iYear, int iMonth, int iDay, int iHour = 0, int iMinute = 0);

}  // namespace CalendarTest

namespace CalendarTest {

// A memory stream that takes at most cbLimit bytes in all; a write beyond fails with
// STG_E_MEDIUMFULL after taking what fits.
class LimitedStream final : public Platform::ComObject<IStream> {
public:
    explicit LimitedStream(size_t cbLimit) : m_cbLimit(cbLimit), m_pInner(Platform::MemStream::Create()) {}
    HRESULT QueryInterface(REFIID riid, void** ppv) override {
        return QueryInterfaceAmong<IStream, ISequentialStream, IUnknown>(riid, ppv);
    }
    HRESULT Read(void* pv, ULONG cb, ULONG* pcb) override { return m_pInner->Read(pv, cb, pcb); }
    HRESULT Write(const void* pv, ULONG cb, ULONG* pcbWritten) override {
        const ULONG cbTake = static_cast<ULONG>(std::min<size_t>(cb, m_cbLimit - m_cbTaken));
        ULONG cbDone = 0;
        m_pInner->Write(pv, cbTake, &cbDone);
        m_cbTaken += cbDone;
        if (pcbWritten)
            *pcbWritten = cbDone;
        return cbDone == cb ? S_OK : STG_E_MEDIUMFULL;
    }
    HRESULT Seek(LARGE_INTEGER d, DWORD o, ULARGE_INTEGER* p) override { return m_pInner->Seek(d, o, p); }
    HRESULT SetSize(ULARGE_INTEGER cb) override { return m_pInner->SetSize(cb); }
    HRESULT CopyTo(IStream* s, ULARGE_INTEGER cb, ULARGE_INTEGER* r, ULARGE_INTEGER* w) override {
        return m_pInner->CopyTo(s, cb, r, w);
    }
    HRESULT Commit(DWORD f) override { return m_pInner->Commit(f); }
    HRESULT Revert() override { return m_pInner->Revert(); }
    HRESULT LockRegion(ULARGE_INTEGER o, ULARGE_INTEGER cb, DWORD t) override { return m_pInner->LockRegion(o, cb, t); }
    HRESULT UnlockRegion(ULARGE_INTEGER o, ULARGE_INTEGER cb, DWORD t) override {
        return m_pInner->UnlockRegion(o, cb, t);
    }
    HRESULT Stat(STATSTG* p, DWORD f) override { return m_pInner->Stat(p, f); }
    HRESULT Clone(IStream** pp) override { return m_pInner->Clone(pp); }

private:
    size_t m_cbLimit;
    size_t m_cbTaken = 0;
    Platform::ComPtr<Platform::MemStream> m_pInner;
};

}  // namespace CalendarTest
