// Bounds-checked little-endian reading and writing of stored binary structures.
//
// The reader takes its bytes from an IStream (pulled in blocks as needed) or from memory; every
// read either delivers exactly the bytes asked for or fails and leaves the output untouched, so a
// truncated structure can never be read past its end. The writer collects a structure in memory
// with the name of each field, so that a stream that refuses the bytes can be reported by the
// field that did not get through.
#pragma once

#include "Platform/Base/WinTypes.h"
#include "Platform/Com/Stream.h"

#include <string>
#include <string_view>
#include <vector>

namespace Ostrel::Mapi {

class LittleEndianReader {
public:
    // Reads from the stream's current position on; the stream must outlive the reader.
    explicit LittleEndianReader(IStream* pStream);
    // Reads from memory that must outlive the reader.
    LittleEndianReader(const BYTE* pb, size_t cb);
    LittleEndianReader(const LittleEndianReader&) = delete;
    LittleEndianReader& operator=(const LittleEndianReader&) = delete;

    bool ReadU16(USHORT& w);
    bool ReadU32(ULONG& ul);
    bool ReadBytes(void* pv, size_t cb);
    // cb bytes into the vector (replacing its content).
    bool ReadBytes(std::vector<BYTE>& vec, size_t cb);
    // UTF-16LE text of cch code units, converted to wide text.
    bool ReadUtf16(std::wstring& ws, size_t cch);
    bool Skip(size_t cb);
    // True when no byte follows (the stream is asked when the buffer is empty).
    bool AtEnd();
    // Bytes consumed so far.
    size_t Offset() const { return m_cbConsumed; }

private:
    // Makes at least one byte available; false at the end or when the stream fails.
    bool Fill();

    IStream* m_pStream = nullptr;
    std::vector<BYTE> m_vecBuffer;
    const BYTE* m_pCur = nullptr;
    const BYTE* m_pEnd = nullptr;
    size_t m_cbConsumed = 0;
    bool m_bStreamDone = false;
};

class LittleEndianWriter {
public:
    // Starts a named field (the name must outlive the writer; an index of 0 or more is shown as
    // "name[index]"); the bytes written until the next call belong to it.
    void Field(const wchar_t* pwszName, int iIndex = -1);
    void U16(USHORT w);
    void U32(ULONG ul);
    void Bytes(const void* pv, size_t cb);
    // Wide text as UTF-16LE code units; returns the number of units written.
    size_t Utf16(std::wstring_view ws);

    const std::vector<BYTE>& Data() const { return m_vecData; }
    // The field that holds byte ulOffset ("" before the first field).
    std::wstring FieldAt(size_t cbOffset) const;

    // Writes everything to the stream in one call. On failure (an error, or fewer bytes taken
    // than given) returns the error (E_FAIL for a short write) and the name of the first field
    // that did not reach the stream.
    HRESULT WriteTo(IStream* pStream, std::wstring& wsFailedField) const;

private:
    struct Mark {
        size_t cbOffset;
        const wchar_t* pwszName;
        int iIndex;
    };
    std::vector<BYTE> m_vecData;
    std::vector<Mark> m_vecMarks;
};

}  // namespace Ostrel::Mapi
