#include "Ostrel/Rpc/Session/AuthSharedPassword.h"

#include <unistd.h>

#include <cstring>
#include <vector>

#include "Platform/Base/Utf.h"
#include "Util/Log/Log.h"
#include "Util/Password.h"

namespace Ostrel::Rpc {

namespace {

constexpr const wchar_t* kSectionName = L"OSN-CRED-SHARE";
constexpr const wchar_t* kMutexName = L"OSN-CRED-MUTEX";
constexpr size_t kSectionBytes = 1024;
constexpr uint32_t kMark = 0x504E534F;  // "OSNP"
constexpr size_t kHeaderBytes = 12;
constexpr size_t kMaxProfileBytes = 256;
constexpr DWORD kMutexWaitMs = 30000;

// Holds the named mutex for a scope.
class Held {
public:
    explicit Held(Platform::NamedMutex& mutex) : m_mutex(mutex) {
        DWORD dwResult = m_mutex.Wait(kMutexWaitMs);
        m_bHeld = dwResult == WAIT_OBJECT_0 || dwResult == WAIT_ABANDONED;
        if (!m_bHeld)
            OSTLOG_ERROR(L"cannot take %s (%u)", kMutexName, dwResult);
    }
    ~Held() {
        if (m_bHeld)
            m_mutex.Release();
    }
    bool IsHeld() const { return m_bHeld; }

private:
    Platform::NamedMutex& m_mutex;
    bool m_bHeld = false;
};

// The protected text: the profile name's length, a colon, the name, then the password.
std::wstring Plaintext(const std::wstring& wsProfile, const std::wstring& wsPassword) {
    return std::to_wstring(wsProfile.size()) + L":" + wsProfile + wsPassword;
}

}  // namespace

bool SharedPassword::Open() {
    if (IsOpen())
        return true;
    if (!m_mutex.Open(kMutexName) || !m_section.Open(kSectionName, kSectionBytes)) {
        OSTLOG_ERROR(L"cannot open the shared password section (errno %d)", errno);
        m_section.Close();
        return false;
    }
    // Whatever way the last process leaves, the protected password must not stay in the file.
    if (!m_section.WipeAtExitAndOnSignals()) {
        OSTLOG_ERROR(L"cannot have the shared password section wiped at exit (errno %d)", errno);
        m_section.Close();
        return false;
    }
    return true;
}

bool SharedPassword::Write(const std::wstring& wsProfile, const std::wstring& wsPassword) {
    if (!IsOpen())
        return false;
    if (Platform::ToUtf8(wsPassword).size() > kMaxSharedPasswordBytes ||
        Platform::ToUtf8(wsProfile).size() > kMaxProfileBytes) {
        OSTLOG_WARN(L"The password is too long to be shared with other processes");
        return false;
    }
    std::vector<BYTE> blob;
    HRESULT hr = Util::EncryptPassword(Plaintext(wsProfile, wsPassword), blob);
    if (FAILED(hr) || blob.size() > kSectionBytes - kHeaderBytes) {
        OSTLOG_ERROR(L"The password cannot be protected for sharing (%08X)", static_cast<unsigned>(hr));
        return false;
    }
    Held held(m_mutex);
    if (!held.IsHeld())
        return false;
    auto* pData = static_cast<BYTE*>(m_section.Data());
    std::memset(pData, 0, kSectionBytes);
    uint32_t cb = static_cast<uint32_t>(blob.size());
    uint32_t writer = static_cast<uint32_t>(::getpid());
    std::memcpy(pData + 4, &cb, 4);
    std::memcpy(pData + 8, &writer, 4);
    std::memcpy(pData + kHeaderBytes, blob.data(), blob.size());
    // The mark goes in last, so that a writer that dies half-way leaves nothing readable.
    std::memcpy(pData, &kMark, 4);
    return true;
}

bool SharedPassword::Read(const std::wstring& wsProfile, std::wstring& wsPassword, bool bOthersOnly) {
    wsPassword.clear();
    if (!IsOpen())
        return false;
    std::vector<BYTE> blob;
    {
        Held held(m_mutex);
        if (!held.IsHeld())
            return false;
        const auto* pData = static_cast<const BYTE*>(m_section.Data());
        uint32_t mark = 0, cb = 0, writer = 0;
        std::memcpy(&mark, pData, 4);
        std::memcpy(&cb, pData + 4, 4);
        std::memcpy(&writer, pData + 8, 4);
        if (mark != kMark || cb == 0 || cb > kSectionBytes - kHeaderBytes)
            return false;
        if (bOthersOnly && writer == static_cast<uint32_t>(::getpid()))
            return false;
        blob.assign(pData + kHeaderBytes, pData + kHeaderBytes + cb);
    }
    std::wstring wsText;
    HRESULT hr = Util::DecryptPassword(blob, wsText);
    if (FAILED(hr)) {
        OSTLOG_WARN(L"The shared password cannot be read (%08X)", static_cast<unsigned>(hr));
        return false;
    }
    std::wstring wsPrefix = Plaintext(wsProfile, L"");
    if (wsText.compare(0, wsPrefix.size(), wsPrefix) != 0)
        return false;  // another profile's
    wsPassword = wsText.substr(wsPrefix.size());
    return !wsPassword.empty();
}

}  // namespace Ostrel::Rpc
