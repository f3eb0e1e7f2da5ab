// Little-endian reading and writing of stored binary structures.
#include "Ostrel/Store/Calendar/LittleEndian.h"

#include "Platform/Base/Utf.h"

#include <algorithm>
#include <cstring>

namespace Ostrel::Mapi {

namespace {
// Block size for pulls from a stream: large enough that a typical structure takes one Read.
constexpr size_t kBlockSize = 4096;
}  // namespace

LittleEndianReader::LittleEndianReader(IStream* pStream) : m_pStream(pStream), m_bStreamDone(pStream == nullptr) {}

LittleEndianReader::LittleEndianReader(const BYTE* pb, size_t cb)
    : m_pCur(pb), m_pEnd(pb ? pb + cb : pb), m_bStreamDone(true) {}

bool LittleEndianReader::Fill() {
    if (m_pCur != m_pEnd)
        return true;
    if (m_bStreamDone)
        return false;
    m_vecBuffer.resize(kBlockSize);
    ULONG cbRead = 0;
    const HRESULT hr = m_pStream->Read(m_vecBuffer.data(), static_cast<ULONG>(m_vecBuffer.size()), &cbRead);
    if (FAILED(hr) || cbRead == 0 || cbRead > m_vecBuffer.size()) {
        m_bStreamDone = true;
        return false;
    }
    m_pCur = m_vecBuffer.data();
    m_pEnd = m_pCur + cbRead;
    return true;
}

bool LittleEndianReader::ReadBytes(void* pv, size_t cb) {
    // Fast path: everything is in the buffer.
    if (static_cast<size_t>(m_pEnd - m_pCur) >= cb) {
        if (cb)
            std::memcpy(pv, m_pCur, cb);
        m_pCur += cb;
        m_cbConsumed += cb;
        return true;
    }
    // Across blocks: collect first, so that a failure leaves the output untouched.
    std::vector<BYTE> vec;
    if (!ReadBytes(vec, cb))
        return false;
    std::memcpy(pv, vec.data(), cb);
    return true;
}

bool LittleEndianReader::ReadBytes(std::vector<BYTE>& vec, size_t cb) {
    std::vector<BYTE> out;
    // Grow with the data actually read, so that a hostile length cannot reserve memory up front.
    while (out.size() < cb) {
        if (!Fill())
            return false;
        const size_t cbTake = std::min<size_t>(cb - out.size(), m_pEnd - m_pCur);
        out.insert(out.end(), m_pCur, m_pCur + cbTake);
        m_pCur += cbTake;
        m_cbConsumed += cbTake;
    }
    vec = std::move(out);
    return true;
}

bool LittleEndianReader::ReadU16(USHORT& w) {
    BYTE ab[2];
    if (!ReadBytes(ab, sizeof ab))
        return false;
    w = static_cast<USHORT>(ab[0] | (ab[1] << 8));
    return true;
}

bool LittleEndianReader::ReadU32(ULONG& ul) {
    BYTE ab[4];
    if (!ReadBytes(ab, sizeof ab))
        return false;
    ul = static_cast<ULONG>(ab[0]) | (static_cast<ULONG>(ab[1]) << 8) | (static_cast<ULONG>(ab[2]) << 16) |
         (static_cast<ULONG>(ab[3]) << 24);
    return true;
}

bool LittleEndianReader::ReadUtf16(std::wstring& ws, size_t cch) {
    std::vector<BYTE> vec;
    if (!ReadBytes(vec, 2 * cch))
        return false;
    ws = Platform::FromUtf16LEBytes(std::string_view(reinterpret_cast<const char*>(vec.data()), vec.size()));
    return true;
}

bool LittleEndianReader::Skip(size_t cb) {
    while (cb) {
        if (!Fill())
            return false;
        const size_t cbTake = std::min<size_t>(cb, m_pEnd - m_pCur);
        m_pCur += cbTake;
        m_cbConsumed += cbTake;
        cb -= cbTake;
    }
    return true;
}

bool LittleEndianReader::AtEnd() {
    return !Fill();
}

void LittleEndianWriter::Field(const wchar_t* pwszName, int iIndex) {
    m_vecMarks.push_back({m_vecData.size(), pwszName, iIndex});
}

void LittleEndianWriter::U16(USHORT w) {
    m_vecData.push_back(static_cast<BYTE>(w));
    m_vecData.push_back(static_cast<BYTE>(w >> 8));
}

void LittleEndianWriter::U32(ULONG ul) {
    for (int i = 0; i < 4; ++i)
        m_vecData.push_back(static_cast<BYTE>(ul >> (8 * i)));
}

void LittleEndianWriter::Bytes(const void* pv, size_t cb) {
    const BYTE* pb = static_cast<const BYTE*>(pv);
    m_vecData.insert(m_vecData.end(), pb, pb + cb);
}

size_t LittleEndianWriter::Utf16(std::wstring_view ws) {
    const std::string s = Platform::ToUtf16LEBytes(ws);
    Bytes(s.data(), s.size());
    return s.size() / 2;
}

std::wstring LittleEndianWriter::FieldAt(size_t cbOffset) const {
    // The last mark at or before the offset; marks are in offset order.
    auto it = std::upper_bound(m_vecMarks.begin(), m_vecMarks.end(), cbOffset,
                               [](size_t cb, const Mark& mark) { return cb < mark.cbOffset; });
    if (it == m_vecMarks.begin())
        return std::wstring();
    const Mark& mark = *std::prev(it);
    return mark.iIndex < 0 ? std::wstring(mark.pwszName) : mark.pwszName + (L"[" + std::to_wstring(mark.iIndex) + L"]");
}

HRESULT LittleEndianWriter::WriteTo(IStream* pStream, std::wstring& wsFailedField) const {
    wsFailedField.clear();
    if (!pStream)
        return E_INVALIDARG;
    if (m_vecData.size() > 0xFFFFFFFFu) {
        wsFailedField = FieldAt(0);
        return E_FAIL;
    }
    ULONG cbWritten = 0;
    const HRESULT hr = pStream->Write(m_vecData.data(), static_cast<ULONG>(m_vecData.size()), &cbWritten);
    if (SUCCEEDED(hr) && cbWritten == m_vecData.size())
        return S_OK;
    wsFailedField = FieldAt(std::min<size_t>(cbWritten, m_vecData.size() ? m_vecData.size() - 1 : 0));
    return FAILED(hr) ? hr : E_FAIL;
}

}  // namespace Ostrel::Mapi
