// A sequential stream that reads a file descriptor (a file, or standard input for pipes).
#pragma once

#include "Platform/Com/ComPtr.h"
#include "Platform/Com/Stream.h"

#include <cstdint>
#include <string>

namespace OstrelCli {

class FdStream final : public Platform::ComObject<ISequentialStream> {
public:
    // Opens the file for reading ("-" is standard input, which is not closed); null with errno set
    // when it cannot be opened.
    static Platform::ComPtr<FdStream> Open(const std::string& path);

    HRESULT QueryInterface(REFIID riid, void** ppvObject) override;
    // Reads until cb bytes or the end; a read error gives STG_E_READFAULT.
    HRESULT Read(void* pv, ULONG cb, ULONG* pcbRead) override;
    HRESULT Write(const void* pv, ULONG cb, ULONG* pcbWritten) override;
    // The bytes read so far.
    uint64_t BytesRead() const { return m_ullRead; }

private:
    FdStream(int fd, bool bOwned) : m_fd(fd), m_bOwned(bOwned) {}
    ~FdStream() override;

    int m_fd;
    bool m_bOwned;
    uint64_t m_ullRead = 0;
};

}  // namespace OstrelCli
