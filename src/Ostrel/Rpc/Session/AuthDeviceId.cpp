// The device id sent with trusted-device sign-ons: a UUID kept protected (EncryptPassword) in the
// REG_BINARY value "EID" of HKCU\Software\Ostrel, made on first use.
#include "Ostrel/Rpc/Session/Auth.h"

#include <vector>

#include "Platform/Com/ComApi.h"
#include "Util/Locks/Locks.h"
#include "Util/Log/Log.h"
#include "Util/OstrelReg.h"
#include "Util/Password.h"
#include "Util/Text/Guid.h"

namespace Ostrel::Rpc {

namespace {

constexpr const wchar_t* kDeviceIdValue = L"EID";
// A protected id is a few dozen bytes; anything much larger is not one of ours.
constexpr DWORD kMaxStoredBytes = 4096;

enum class Stored { Missing, Read, Unreadable };

Stored ReadStoredId(Util::RegUtil& reg, std::wstring& wsId) {
    DWORD cb = 0;
    LSTATUS status = reg.QueryValue(nullptr, &cb);
    if (status == ERROR_FILE_NOT_FOUND)
        return Stored::Missing;
    if (status != ERROR_SUCCESS || reg.GetType() != REG_BINARY || cb == 0 || cb > kMaxStoredBytes) {
        OSTLOG_ERROR(L"The device id in HKCU\\Software\\Ostrel\\EID cannot be read (status %d, type %u, %u bytes)",
                     static_cast<int>(status), reg.GetType(), cb);
        return Stored::Unreadable;
    }
    std::vector<BYTE> blob(cb);
    status = reg.QueryValue(blob.data(), &cb);
    if (status != ERROR_SUCCESS) {
        OSTLOG_ERROR(L"The device id in HKCU\\Software\\Ostrel\\EID cannot be read (status %d)",
                     static_cast<int>(status));
        return Stored::Unreadable;
    }
    blob.resize(cb);
    HRESULT hr = Util::DecryptPassword(blob, wsId);
    if (hr == Util::PASSWORD_E_INVALID_BLOB) {
        // Damaged, or protected with a key that no longer exists: it can never be read again.
        OSTLOG_WARN(L"The stored device id is not readable (%08X); a new one replaces it", static_cast<unsigned>(hr));
        return Stored::Missing;
    }
    if (FAILED(hr)) {
        // The key itself is unusable; the value may become readable again, so it is kept.
        OSTLOG_ERROR(L"The stored device id cannot be decrypted (%08X)", static_cast<unsigned>(hr));
        return Stored::Unreadable;
    }
    return wsId.empty() ? Stored::Missing : Stored::Read;
}

}  // namespace

bool GetDeviceId(std::wstring& wsDeviceId) {
    wsDeviceId.clear();
    // Two processes making the id at once must agree on one.
    Util::CrossProcessLock lock(L"DeviceId");
    if (!lock.Init(L"OstrelDeviceId"))
        return false;
    Util::AutoCrossProcessLock held(lock);
    if (!held.IsLocked())
        return false;

    Util::RegUtil reg(kDeviceIdValue, KEY_ALL_ACCESS);
    std::wstring wsStored;
    if (reg.CreateKey() == ERROR_SUCCESS) {
        switch (ReadStoredId(reg, wsStored)) {
            case Stored::Read:
                wsDeviceId = wsStored;
                return true;
            case Stored::Unreadable:
                return false;
            case Stored::Missing:
                break;
        }
    }

    GUID uuid{};
    HRESULT hr = CoCreateGuid(&uuid);
    if (FAILED(hr)) {
        OSTLOG_ERROR(L"UuidCreate failed (%x)", static_cast<unsigned>(hr));
        return false;
    }
    wsDeviceId = Util::GuidToIdString(uuid);
    OSTLOG_INFO(4, L"New device id created");
    // An id that cannot be kept still goes with this sign-on (the server trusts the device for
    // it); the next one makes another.
    std::vector<BYTE> blob;
    hr = Util::EncryptPassword(wsDeviceId, blob);
    if (FAILED(hr)) {
        OSTLOG_ERROR(L"The device id cannot be protected (%08X); it is used but not kept", static_cast<unsigned>(hr));
        return true;
    }
    reg.SetType(REG_BINARY);
    LSTATUS status = reg.SetValue(blob.data(), static_cast<DWORD>(blob.size()));
    if (status != ERROR_SUCCESS)
        OSTLOG_ERROR(
            L"The device id cannot be stored in HKCU\\Software\\Ostrel\\EID (status %d); it is used but not kept",
            static_cast<int>(status));
    return true;
}

}  // namespace Ostrel::Rpc
