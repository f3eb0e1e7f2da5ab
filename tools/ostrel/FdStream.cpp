#include "FdStream.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

namespace OstrelCli {

Platform::ComPtr<FdStream> FdStream::Open(const std::string& path) {
    Platform::ComPtr<FdStream> stream;
    if (path == "-") {
        stream.Attach(new FdStream(STDIN_FILENO, false));
        return stream;
    }
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd >= 0)
        stream.Attach(new FdStream(fd, true));
    return stream;
}

FdStream::~FdStream() {
    if (m_bOwned)
        ::close(m_fd);
}

HRESULT FdStream::QueryInterface(REFIID riid, void** ppvObject) {
    return QueryInterfaceAmong<IUnknown, ISequentialStream>(riid, ppvObject);
}

HRESULT FdStream::Read(void* pv, ULONG cb, ULONG* pcbRead) {
    ULONG cbDone = 0;
    while (cbDone < cb) {
        const ssize_t n = ::read(m_fd, static_cast<char*>(pv) + cbDone, cb - cbDone);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            if (pcbRead)
                *pcbRead = cbDone;
            return STG_E_READFAULT;
        }
        if (n == 0)
            break;
        cbDone += static_cast<ULONG>(n);
    }
    m_ullRead += cbDone;
    if (pcbRead)
        *pcbRead = cbDone;
    return S_OK;
}

HRESULT FdStream::Write(const void*, ULONG, ULONG* pcbWritten) {
    if (pcbWritten)
        *pcbWritten = 0;
    return STG_E_ACCESSDENIED;
}

}  // namespace OstrelCli
