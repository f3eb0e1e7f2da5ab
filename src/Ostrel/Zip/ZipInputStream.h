// Reads a ZIP archive of messages entry by entry straight off a forward-only stream (an HTTP
// response): no seeking, no central directory. For each item the server writes a ".meta" entry
// with the item's metadata and an entry with its MIME message; an item it cannot deliver comes as
// a ".err" entry. The archive ends where the central directory starts.
//
//     ZipInputStream* pZip = ZipInputStream::CreateZipInputStream(pResponse, nullptr, 0);
//     try {
//         for (;;) {
//             ZipEntry* pEntry = pZip->GetNextEntry();   // fully loaded, owned by the reader
//             ...
//         }
//     } catch (const ZipInputStreamImpl::Exception& e) { /* end of archive, or a real error */ }
//     pZip->Release();
#pragma once

#include <exception>
#include <memory>
#include <string>

#include "Platform/Com/ComPtr.h"
#include "Platform/Com/Stream.h"

class ZipEntryImpl;

namespace Ostrel::Rpc {

// One entry of the archive. The buffers and the stream belong to the entry and live as long as it.
class ZipEntry {
public:
    virtual const wchar_t* GetName() const = 0;
    // The metadata of a ".meta" entry (null for other entries); cbSize receives its size.
    virtual const BYTE* GetMetaData(ULONG& cbSize) const = 0;
    // The MIME message held in memory (null for metadata and for large messages).
    virtual const BYTE* GetMimeData(ULONG& cbSize) const = 0;
    // A large MIME message, held in a temporary file that is deleted when the stream is released.
    // The pointer is borrowed from the entry; AddRef it to keep the file beyond the entry. Null
    // when the message is held in memory.
    virtual IStream* GetMimeStream(ULONG& cbSize) const = 0;
    virtual ~ZipEntry() = default;
    // Reads the entry's data from the archive: decompressed bytes for a deflated entry (0 at its
    // end), stored bytes for a stored entry (-1 at its end).
    virtual int Read(void* pBuffer, int cbCount) = 0;
};

class ZipInputStream {
public:
    // A reader over the source stream, or null when there is none. The reader holds a reference on
    // the source. The context and the value are kept for the caller and not interpreted.
    static ZipInputStream* CreateZipInputStream(ISequentialStream* pSource, void* pContext, DWORD dwValue);

    virtual ZipEntry* GetCurrentEntry() = 0;
    // Closes the current entry and reads, loads and returns the next one; throws
    // ZipInputStreamImpl::Exception at the central directory (the end) and on any error.
    virtual ZipEntry* GetNextEntry() = 0;
    // Reads from the current entry (ZipEntry::Read); -1 without one.
    virtual int Read(void* pBuffer, int cbCount) = 0;
    // Reads and drops up to cbCount bytes of the current entry; returns how many there were.
    virtual int Skip(int cbCount) = 0;
    // Reads the current entry to its end, checks it and drops it.
    virtual void CloseEntry() = 0;
    // The source belongs to the caller, so there is nothing to close here; kept for callers that
    // close every stream they use.
    virtual void Close() = 0;
    // Destroys the reader, dropping the current entry and the reference on the source.
    virtual void Release() = 0;
    // GetNextEntry, then a new stream over the entry's content (the metadata of a ".meta" entry,
    // the message otherwise) with bare LF turned into CR LF and the first megabyte kept for seeking
    // back. The caller owns the returned reference.
    virtual IStream* GetNextEntryAsStream() = 0;

    // For std::unique_ptr<ZipInputStream, ZipInputStream::Releaser>.
    struct Releaser {
        void operator()(ZipInputStream* p) const { p->Release(); }
    };

protected:
    virtual ~ZipInputStream() = default;
};

}  // namespace Ostrel::Rpc

class ZipInputStreamImpl final : public Ostrel::Rpc::ZipInputStream {
public:
    // Every format and I/O error of the reader.
    class Exception : public std::exception {
    public:
        static constexpr size_t kMaxMessage = 4095;

        explicit Exception(std::wstring wsMessage);
        const wchar_t* GetMessage() const { return m_wsMessage.c_str(); }
        // The message in UTF-8.
        const char* what() const noexcept override { return m_sWhat.c_str(); }

    private:
        std::wstring m_wsMessage;
        std::string m_sWhat;
    };

    // Formats a message (at most kMaxMessage characters) and throws it.
    [[noreturn]] static void Throw(const wchar_t* pwszFormat, ...);

    // Raw input is read from the source in pieces of this size. Each inflate call copies what it
    // produced into zlib's window unless the stream ends, so fewer, larger calls inflate faster:
    // 16 KiB brings the reader to within a few percent of a bare zlib loop (4 KiB cost a tenth).
    static constexpr ULONG kInputSize = 16384;

    ZipInputStreamImpl(ISequentialStream* pSource, void* pContext, DWORD dwValue);
    ~ZipInputStreamImpl() override;

    Ostrel::Rpc::ZipEntry* GetCurrentEntry() override;
    Ostrel::Rpc::ZipEntry* GetNextEntry() override;
    int Read(void* pBuffer, int cbCount) override;
    int Skip(int cbCount) override;
    void CloseEntry() override;
    void Close() override;
    void Release() override;
    IStream* GetNextEntryAsStream() override;

    void* GetContext() const { return m_pContext; }
    DWORD GetValue() const { return m_dwValue; }

    // Input for the entries. ReadUpTo stops early only at the end of the source; ReadRaw fills the
    // whole buffer or throws.
    ULONG ReadUpTo(void* pv, ULONG cb);
    void ReadRaw(void* pv, ULONG cb);
    WORD ReadWord();
    DWORD ReadDWord();
    ULONGLONG ReadQWord();
    // The unread bytes of the input buffer, refilled with one source read when it is empty; an
    // empty result means the source has ended.
    const BYTE* AvailableInput(ULONG& cbAvailable);
    // At least cb (at most kInputSize) unread bytes in one piece; false when the source ends first.
    bool PeekInput(ULONG cb, const BYTE*& pData, ULONG& cbAvailable);
    void ConsumeInput(ULONG cb);
    // The scratch block that entries are loaded through.
    BYTE* LoadBlock();

private:
    ZipEntryImpl* ReadEntryHeader();

    Platform::ComPtr<ISequentialStream> m_pSource;
    BYTE m_abInput[kInputSize];
    ULONG m_ulInputPos = 0;
    ULONG m_ulInputCount = 0;  // unread bytes from m_ulInputPos
    std::unique_ptr<ZipEntryImpl> m_pEntry;
    std::unique_ptr<BYTE[]> m_pLoadBlock;
    std::wstring m_wsFatal;  // set once the archive has ended or can no longer be followed
    void* m_pContext;
    DWORD m_dwValue;
};
