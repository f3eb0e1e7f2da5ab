// The entries of ZipInputStreamImpl: the common part (loading, data descriptor, checks) and the
// stored and deflated kinds.
#pragma once

#include <zlib.h>

#include <memory>
#include <string>

#include "Ostrel/Zip/ZipInputStream.h"

// The fields of a local file header that the entry works with, sizes already taken from a Zip64
// extra field when there is one.
struct ZipLocalHeader {
    WORD wVersion = 0;
    WORD wFlags = 0;
    WORD wMethod = 0;
    WORD wModTime = 0;
    WORD wModDate = 0;
    DWORD dwCrc = 0;
    DWORD dwCompressedSize = 0;
    DWORD dwUncompressedSize = 0;
    bool bZip64 = false;  // the data descriptor carries 64-bit sizes
};

class ZipEntryImpl : public Ostrel::Rpc::ZipEntry {
public:
    enum class Kind { Meta, Mime };

    static constexpr ULONG kBlockSize = 0x500000;         // loading block; MIME from here on goes to a file
    static constexpr ULONG kLargeZipWarning = 314572800;  // totals above this are flagged in the log
    static constexpr ULONG kMaxMetaSize = 0x4000000;      // metadata is held in memory, up to 64 MiB
    static constexpr WORD kFlagEncrypted = 0x0001;
    static constexpr WORD kFlagDataDescriptor = 0x0008;
    static constexpr DWORD kDataDescriptorSignature = 0x08074B50;

    ~ZipEntryImpl() override;

    const wchar_t* GetName() const override { return m_wsName.c_str(); }
    const BYTE* GetMetaData(ULONG& cbSize) const override;
    const BYTE* GetMimeData(ULONG& cbSize) const override;
    IStream* GetMimeStream(ULONG& cbSize) const override;

    Kind GetKind() const { return m_kind; }
    const ZipLocalHeader& GetHeader() const { return m_header; }

    // Reads the whole entry into memory or, for a large message, into a temporary file.
    void FillMetaOrMimeData();
    // Reads the rest of the entry's data and its data descriptor.
    void ReadToEnd();
    // A new stream over the loaded content (metadata, or the message from its start).
    HRESULT OpenContent(ISequentialStream** ppStream) const;

protected:
    ZipEntryImpl(ZipInputStreamImpl& reader, const ZipLocalHeader& header, std::wstring wsName, Kind kind);

    // Entry data into pb; 0 once it has ended. Implementations call Produced for every byte they
    // hand out and set m_bDataEnded when they reach the end. Errors throw.
    virtual ULONG ReadData(BYTE* pb, ULONG cb) = 0;
    // ReadData plus the checks that follow the end of the data.
    ULONG ReadEntryData(BYTE* pb, ULONG cb);
    void Produced(const BYTE* pb, ULONG cb);

    ZipInputStreamImpl& m_reader;
    ZipLocalHeader m_header;
    ULONGLONG m_ullConsumed = 0;  // compressed bytes taken from the archive
    ULONGLONG m_ullProduced = 0;  // entry bytes handed out
    DWORD m_dwCrc = 0;            // CRC-32 of the bytes handed out, checked at the end of every entry
    bool m_bDataEnded = false;

private:
    // Reads and checks the data descriptor (or the header's values) against what was read.
    void Finish();
    std::shared_ptr<BYTE[]> CopyToBuffer(const BYTE* pb, ULONG cb);

    std::wstring m_wsName;
    Kind m_kind;
    bool m_bFinished = false;
    std::shared_ptr<BYTE[]> m_pMetaData;
    ULONG m_cbMetaData = 0;
    std::shared_ptr<BYTE[]> m_pMimeData;
    ULONG m_cbMimeData = 0;
    Platform::ComPtr<IStream> m_pMimeStream;
    ULONG m_cbMimeStream = 0;
};

// Method 0. The data is checked against its CRC-32. When the sizes are unknown (data descriptor, size 0 in the header,
// as unseekable writers produce), the end is found by the data descriptor whose CRC and sizes match the bytes before
// it.
class ZipStoredEntryImpl final : public ZipEntryImpl {
public:
    ZipStoredEntryImpl(ZipInputStreamImpl& reader, const ZipLocalHeader& header, std::wstring wsName, Kind kind);
    int Read(void* pBuffer, int cbCount) override;

protected:
    ULONG ReadData(BYTE* pb, ULONG cb) override;

private:
    ULONG ReadSized(BYTE* pb, ULONG cb);
    ULONG ReadScanning(BYTE* pb, ULONG cb);
    bool IsMatchingDescriptor(const BYTE* p) const;

    bool m_bScan;
};

// Method 8: raw deflate through zlib, reading from the reader's input buffer. Data that still
// inflates can have been changed in transit, so its CRC-32 is checked as a stored entry's is.
class ZipDeflatedEntryImpl final : public ZipEntryImpl {
public:
    ZipDeflatedEntryImpl(ZipInputStreamImpl& reader, const ZipLocalHeader& header, std::wstring wsName, Kind kind);
    ~ZipDeflatedEntryImpl() override;
    int Read(void* pBuffer, int cbCount) override;

protected:
    ULONG ReadData(BYTE* pb, ULONG cb) override;

private:
    z_stream m_zs{};
    bool m_bInflateReady = false;
};
