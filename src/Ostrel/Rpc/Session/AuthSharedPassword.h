// The password a profile signed on with, shared by every process that uses the same profile, so
// that a process started without a stored password can still sign on: the named section
// "OSN-CRED-SHARE" guarded by the named mutex "OSN-CRED-MUTEX". The section lives while any
// process holds it open (each session keeps it open).
//
// Layout: a 4-byte mark, a 4-byte length, the 4-byte id of the writing process, and the profile
// name with the password, protected with EncryptPassword, so that the text is never readable in
// the backing file and a password is only ever handed to the profile it belongs to. Passwords of more than
// kMaxSharedPasswordBytes bytes of UTF-8 are not shared.
#pragma once

#include <string>

#include "Platform/Ipc/NamedMutex.h"
#include "Platform/Ipc/SharedSection.h"

namespace Ostrel::Rpc {

constexpr size_t kMaxSharedPasswordBytes = 260;

class SharedPassword {
public:
    SharedPassword() = default;
    ~SharedPassword() = default;
    SharedPassword(const SharedPassword&) = delete;
    SharedPassword& operator=(const SharedPassword&) = delete;

    // Opens the section and the mutex; false (logged) when either cannot be had.
    bool Open();
    bool IsOpen() const { return m_section.IsOpen() && m_mutex.IsOpen(); }

    // Replaces the shared password with this profile's.
    bool Write(const std::wstring& wsProfile, const std::wstring& wsPassword);
    // The shared password when it belongs to this profile; with `bOthersOnly`, only when another
    // process wrote it (this process's own share is the password it has just dropped).
    bool Read(const std::wstring& wsProfile, std::wstring& wsPassword, bool bOthersOnly = false);

private:
    Platform::SharedSection m_section;
    Platform::NamedMutex m_mutex;
};

}  // namespace Ostrel::Rpc
