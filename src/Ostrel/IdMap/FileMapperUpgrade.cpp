// The upgrade of a legacy ("MAPI") mapper file to the verifiable format.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

#include "Ostrel/IdMap/FileMapper.h"
#include "Platform/Base/Utf.h"
#include "Util/HostInfo.h"
#include "Util/Log/Log.h"
#include "Util/Time/Clock.h"

namespace Ostrel::Mapi {

// The old file stays until the new one is complete and on disk; a crash before that leaves both,
// and the next construction deletes the new one and upgrades again.
HRESULT FileMapper::MigrateIDMToVerifiableIDM(const std::wstring& wsOldPath, const std::wstring& wsNewPath) {
    const std::string sOld = Platform::ToUtf8(wsOldPath), sNew = Platform::ToUtf8(wsNewPath);
    Platform::MappedFile oldView;
    if (!oldView.Open(sOld, false, false)) {
        OSTLOG_ERROR(L"Failed to map file");
        return MAPI_E_NOT_ENOUGH_MEMORY;
    }
    const BYTE* pOld = static_cast<const BYTE*>(oldView.Data());
    ULONG ulOldSlots = 0;
    std::memcpy(&ulOldSlots, pOld + 12, sizeof ulOldSlots);
    // A count past the end of the file is not believed: only whole records are copied.
    const size_t cInFile =
        oldView.Size() < kIdmLegacyHeaderSize ? 0 : (oldView.Size() - kIdmLegacyHeaderSize) / kIdmLegacyRecordSize;
    if (ulOldSlots > cInFile) {
        OSTLOG_WARN(L"Legacy IDM counts %u records but holds %u", ulOldSlots, static_cast<ULONG>(cInFile));
        ulOldSlots = static_cast<ULONG>(cInFile);
    }
    const ULONG cSlots = ulOldSlots == 0 ? 1 : ulOldSlots;
    if (cSlots > kIdmMaxSlots)
        return E_FAIL;
    const int fd = ::open(sNew.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) {
        OSTLOG_ERROR(L"Failed to create IDMV. %08X", static_cast<unsigned>(errno));
        return E_FAIL;
    }
    OSTLOG_INFO(4, L"Initializing new mapper file '%s'", wsNewPath.c_str());
    std::vector<BYTE> bytes(kIdmHeaderSize + size_t(cSlots) * kIdmRecordSize, 0);
    IdmHeader header;
    header.ulSlotCount = cSlots;
    header.ftStamp = Util::CurrentClock().GetSystemTimeAsFileTime();
    WriteIdmHeader(bytes.data(), header);
    for (ULONG i = 0; i < ulOldSlots; ++i) {
        ULONG ulOstId = 0, ulPstId = 0;
        std::memcpy(&ulOstId, pOld + kIdmLegacyHeaderSize + size_t(i) * kIdmLegacyRecordSize, 4);
        std::memcpy(&ulPstId, pOld + kIdmLegacyHeaderSize + size_t(i) * kIdmLegacyRecordSize + 4, 4);
        OSTLOG_INFO(64, L"%06d %08X->%08X", i + 1, ulOstId, ulPstId);
        if (ulPstId != 0)
            WriteIdmRecord(bytes.data(), i, ulOstId, ulPstId, 0, true);
    }
    bool bOk = true;
    size_t cbDone = 0;
    while (bOk && cbDone < bytes.size()) {
        const size_t cbChunk = std::min<size_t>(bytes.size() - cbDone, 1 << 16);
        const ssize_t n = ::pwrite(fd, bytes.data() + cbDone, cbChunk, off_t(cbDone));
        bOk = n > 0;
        cbDone += bOk ? size_t(n) : 0;
        if (cbDone >= bytes.size() / 2 && Util::IsTesting(L"TermDuringIDMUpgrade"))
            Util::TestModeTerminate(L"TermDuringIDMUpgrade", 1);
    }
    if (!bOk || ::fsync(fd) != 0) {
        OSTLOG_ERROR(L"Cannot initialize new id mapper file %s", wsNewPath.c_str());
        ::close(fd);
        ::unlink(sNew.c_str());
        return E_FAIL;
    }
    ::close(fd);
    oldView.Close();
    if (::unlink(sOld.c_str()) != 0) {
        OSTLOG_ERROR(L"Failed to delete %d", errno);
        return E_FAIL;
    }
    return S_OK;
}

}  // namespace Ostrel::Mapi
