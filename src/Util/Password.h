// Protection of stored secrets (saved passwords, the device id): authenticated encryption with
// AES-256-GCM under a per-user random key.
//
// The key lives in OSTREL_HOME/keys/password.key (mode 0600, in a 0700 directory). It is made on
// first use; when two processes make it at the same time, exactly one key is published and both
// use it. An existing key file is never replaced: one that is damaged, not private or owned by
// another user makes every operation fail, so that secrets protected with it are not lost.
//
// Blob layout: version byte (1), 12-byte random nonce, ciphertext (the UTF-8 text), 16-byte tag.
// The version byte is authenticated with the rest.
#pragma once

#include "Platform/Base/HResult.h"

#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

namespace Ostrel::Util {

// A blob that is truncated, altered, of an unknown version or made with another key.
constexpr HRESULT PASSWORD_E_INVALID_BLOB = HRESULT_FROM_WIN32(ERROR_INVALID_DATA);
// The key file exists but is not a key (NTE_BAD_KEY).
constexpr HRESULT PASSWORD_E_BAD_KEY = static_cast<HRESULT>(0x80090003L);
// E_ACCESSDENIED: the key file is readable by others or belongs to another user.
// E_FAIL: the key file could not be read or written.

HRESULT EncryptPassword(std::wstring_view wsPassword, std::vector<BYTE>& blob);
// Null gives E_POINTER.
HRESULT EncryptPassword(const wchar_t* pwszPassword, std::vector<BYTE>& blob);

// On failure the output is empty: no part of the text is ever handed out unauthenticated.
HRESULT DecryptPassword(const BYTE* pbBlob, size_t cbBlob, std::wstring& wsPassword);
HRESULT DecryptPassword(const std::vector<BYTE>& blob, std::wstring& wsPassword);

// Where the key is kept (under the current OSTREL_HOME).
std::filesystem::path PasswordKeyPath();

}  // namespace Ostrel::Util
