// Reads a message archive from the server entry by entry through the library's ZipInputStream:
// metadata entries, messages (in memory, or in a self-deleting temporary file when large) and the
// error entries the server writes for items it cannot deliver. The end of the archive (its
// central directory) is told apart from damage: a truncated or corrupt archive throws.
#pragma once

#include "Platform/Com/ComPtr.h"
#include "Platform/Com/Stream.h"

#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>

namespace Ostrel::Rpc {
class ZipInputStream;
}

namespace OstrelCli {

class ArchiveError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

struct ArchiveEntry {
    enum class Kind { Meta, Message, Error };

    Kind kind = Kind::Meta;
    std::string sName;  // UTF-8
    uint64_t ullSize = 0;
    // The metadata, the error text, or the message when it is held in memory.
    std::string sData;
    // A large message: a temporary file, deleted when the last reference goes.
    Platform::ComPtr<IStream> pStream;
};

class ArchiveReader {
public:
    explicit ArchiveReader(ISequentialStream* pSource);
    ~ArchiveReader();
    ArchiveReader(const ArchiveReader&) = delete;
    ArchiveReader& operator=(const ArchiveReader&) = delete;

    // The next entry; false at the end of the archive. Throws ArchiveError when the archive is
    // damaged or the source fails; no further entries can be read then.
    bool Next(ArchiveEntry& entry);

private:
    struct Releaser {
        void operator()(Ostrel::Rpc::ZipInputStream* p) const;
    };
    std::unique_ptr<Ostrel::Rpc::ZipInputStream, Releaser> m_pZip;
    bool m_bEnded = false;
};

// Copies a whole stream (from its start) into `out`; false when it cannot be read.
bool ReadWholeStream(IStream* pStream, std::string& out);

}  // namespace OstrelCli
