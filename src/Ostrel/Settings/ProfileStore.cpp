#include "Ostrel/Settings/ProfileStore.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <fstream>
#include <optional>
#include <sstream>
#include <vector>

#include "Platform/Base/Paths.h"
#include "Platform/Base/Utf.h"
#include "Util/Locks/Locks.h"
#include "Util/Log/Log.h"
#include "Util/Password.h"
#include "Util/Text/Strings.h"

namespace Ostrel::Mapi {

namespace {

constexpr const char* kLegacyTrustedToken = "TrustedToken";  // clear text, as older versions kept it
constexpr const char* kTrustedToken = "ProtectedToken";
constexpr const char* kPassword = "Password";
constexpr const char* kHeader = "# Ostrel profile values";
constexpr size_t kMaxFileName = 160;
constexpr std::streamoff kMaxFileBytes = 1 << 20;

bool IsPlain(unsigned char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '.' || c == '_' ||
           c == '-';
}

std::string PercentEncode(const std::string& text, bool bKeepSafeSymbols) {
    static const char kHex[] = "0123456789ABCDEF";
    std::string out;
    for (unsigned char c : text) {
        bool bSafe = IsPlain(c) || (bKeepSafeSymbols && c > 0x20 && c < 0x7F && c != '%' && c != '=');
        if (bSafe) {
            out += static_cast<char>(c);
        } else {
            out += '%';
            out += kHex[c >> 4];
            out += kHex[c & 0xF];
        }
    }
    return out;
}

std::optional<std::string> PercentDecode(const std::string& text) {
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '%') {
            out += text[i];
            continue;
        }
        if (i + 2 >= text.size())
            return std::nullopt;
        std::vector<BYTE> byte;
        if (!Util::HexDecode(std::string_view(text).substr(i + 1, 2), byte))
            return std::nullopt;
        out += static_cast<char>(byte[0]);
        i += 2;
    }
    return out;
}

// File names are the profile name with everything but letters, digits, '.', '_' and '-'
// percent-encoded; a long name is cut and made unique with a hash of the whole name.
std::string FileStem(const wchar_t* pwszProfile) {
    std::string name = Platform::ToUtf8(pwszProfile ? pwszProfile : L"");
    std::string stem = PercentEncode(name, false);
    if (stem.empty())
        stem = "%00default";
    if (stem.size() > kMaxFileName) {
        uint64_t hash = 14695981039346656037ull;
        for (unsigned char c : name)
            hash = (hash ^ c) * 1099511628211ull;
        char suffix[24];
        std::snprintf(suffix, sizeof suffix, "-%016llx", static_cast<unsigned long long>(hash));
        stem = stem.substr(0, kMaxFileName) + suffix;
    }
    return stem;
}

// One line of the file: a value, or text kept as it was.
struct Line {
    std::string sName;  // empty for kept text
    std::string sValue;
    std::string sRaw;
};

HRESULT ReadLines(const std::filesystem::path& path, std::vector<Line>& lines) {
    lines.clear();
    std::error_code ec;
    if (!std::filesystem::exists(path, ec))
        return S_OK;
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        OSTLOG_ERROR(L"cannot open the profile values '%hs' (errno %d)", path.c_str(), errno);
        return E_FAIL;
    }
    in.seekg(0, std::ios::end);
    if (in.tellg() > kMaxFileBytes) {
        OSTLOG_ERROR(L"the profile values '%hs' are too large to be ours; left alone", path.c_str());
        return E_FAIL;
    }
    in.seekg(0);
    std::string raw;
    while (std::getline(in, raw)) {
        if (!raw.empty() && raw.back() == '\r')
            raw.pop_back();
        Line line;
        line.sRaw = raw;
        size_t eq = raw.find('=');
        if (!raw.empty() && raw[0] != '#' && eq != std::string::npos && eq > 0) {
            if (auto value = PercentDecode(raw.substr(eq + 1))) {
                line.sName = raw.substr(0, eq);
                line.sValue = *value;
            } else {
                OSTLOG_WARN(L"unreadable line in the profile values '%hs' kept as it is", path.c_str());
            }
        }
        lines.push_back(std::move(line));
    }
    return S_OK;
}

HRESULT WriteLines(const std::filesystem::path& path, const std::vector<Line>& lines) {
    std::ostringstream text;
    text << kHeader << "\n";
    for (const Line& line : lines) {
        if (line.sName.empty() && line.sRaw == kHeader)
            continue;
        if (line.sName.empty())
            text << line.sRaw << "\n";
        else
            text << line.sName << "=" << PercentEncode(line.sValue, true) << "\n";
    }
    std::string data = text.str();
    std::filesystem::path temp = path;
    temp += ".tmp";
    int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0) {
        OSTLOG_ERROR(L"cannot write the profile values '%hs' (errno %d)", temp.c_str(), errno);
        return E_FAIL;
    }
    size_t done = 0;
    bool bOk = true;
    while (done < data.size()) {
        ssize_t n = ::write(fd, data.data() + done, data.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            bOk = false;
            break;
        }
        done += static_cast<size_t>(n);
    }
    bOk = bOk && ::fsync(fd) == 0;
    int iError = errno;
    ::close(fd);
    if (!bOk || std::rename(temp.c_str(), path.c_str()) != 0) {
        OSTLOG_ERROR(L"cannot write the profile values '%hs' (errno %d)", path.c_str(), bOk ? errno : iError);
        std::error_code ec;
        std::filesystem::remove(temp, ec);
        return E_FAIL;
    }
    return S_OK;
}

// Runs `work` on the profile's lines under the profile's cross-process lock; the lines are written
// back when `bWrite` is set or `work` sets its flag.
template <class Work>
HRESULT WithProfileLines(const wchar_t* pwszProfile, bool bWrite, Work work) {
    std::filesystem::path path = ProfileValuesPath(pwszProfile);
    if (!Platform::EnsurePrivateDirectory(path.parent_path())) {
        OSTLOG_ERROR(L"cannot create '%hs' (errno %d)", path.parent_path().c_str(), errno);
        return E_FAIL;
    }
    Util::CrossProcessLock lock(L"ProfileValues");
    std::wstring wsLockName = L"OstrelProfileValues-" + Platform::FromUtf8(FileStem(pwszProfile));
    if (!lock.Init(wsLockName.c_str()))
        return E_FAIL;
    Util::AutoCrossProcessLock held(lock);
    if (!held.IsLocked())
        return E_FAIL;
    std::vector<Line> lines;
    HRESULT hr = ReadLines(path, lines);
    if (FAILED(hr))
        return hr;
    bool bChanged = bWrite;
    hr = work(lines, bChanged);
    if (SUCCEEDED(hr) && bChanged)
        hr = WriteLines(path, lines);
    return hr;
}

// Sets (or with an empty value removes) one value among the lines.
void SetLine(std::vector<Line>& lines, const char* pszName, const std::string& sValue) {
    bool bSet = false;
    for (auto it = lines.begin(); it != lines.end();) {
        if (it->sName != pszName) {
            ++it;
        } else if (sValue.empty() || bSet) {
            it = lines.erase(it);
        } else {
            it->sValue = sValue;
            bSet = true;
            ++it;
        }
    }
    if (!bSet && !sValue.empty())
        lines.push_back(Line{pszName, sValue, std::string()});
}

HRESULT SetValue(const wchar_t* pwszProfile, const char* pszName, const std::string& sValue) {
    return WithProfileLines(pwszProfile, true, [&](std::vector<Line>& lines, bool&) {
        SetLine(lines, pszName, sValue);
        return S_OK;
    });
}

const std::string* FindLine(const std::vector<Line>& lines, const char* pszName) {
    for (const Line& line : lines)
        if (line.sName == pszName)
            return &line.sValue;
    return nullptr;
}

// A secret protected with EncryptPassword, in hexadecimal; empty for an empty secret.
HRESULT Protect(const wchar_t* pwszSecret, std::string& sValue) {
    sValue.clear();
    if (!pwszSecret || !*pwszSecret)
        return S_OK;
    std::vector<BYTE> blob;
    HRESULT hr = Util::EncryptPassword(pwszSecret, blob);
    if (SUCCEEDED(hr))
        sValue = Platform::ToUtf8(Util::HexEncode(blob));
    return hr;
}

HRESULT Unprotect(const std::string& sValue, std::wstring& wsSecret) {
    std::vector<BYTE> blob;
    if (!Util::HexDecode(sValue, blob))
        return Util::PASSWORD_E_INVALID_BLOB;
    return Util::DecryptPassword(blob, wsSecret);
}

HRESULT GetValue(const wchar_t* pwszProfile, const char* pszName, std::string& sValue) {
    sValue.clear();
    return WithProfileLines(pwszProfile, false, [&](std::vector<Line>& lines, bool&) {
        for (const Line& line : lines)
            if (line.sName == pszName) {
                sValue = line.sValue;
                return S_OK;
            }
        return kProfileValueNotFound;
    });
}

}  // namespace

std::filesystem::path ProfileValuesPath(const wchar_t* pwszProfile) {
    return Platform::OstrelHome() / "profile-values" / (FileStem(pwszProfile) + ".values");
}

HRESULT SetTrustedTokenInProfile(const wchar_t* pwszProfile, const wchar_t* pwszToken) {
    std::string sValue;
    HRESULT hr = Protect(pwszToken, sValue);
    if (SUCCEEDED(hr))
        hr = WithProfileLines(pwszProfile, true, [&](std::vector<Line>& lines, bool&) {
            SetLine(lines, kTrustedToken, sValue);
            SetLine(lines, kLegacyTrustedToken, std::string());
            return S_OK;
        });
    if (FAILED(hr))
        OSTLOG_ERROR(L"Failed to set PR_OSTREL_2FA_TRUSTED_TOKEN. hr: %08X", static_cast<unsigned>(hr));
    return hr;
}

HRESULT GetTrustedTokenFromProfile(const wchar_t* pwszProfile, std::wstring& wsToken) {
    wsToken.clear();
    // A token kept in clear text by an older version is protected the first time it is read.
    HRESULT hr = WithProfileLines(pwszProfile, false, [&](std::vector<Line>& lines, bool& bChanged) {
        if (const std::string* pProtected = FindLine(lines, kTrustedToken))
            return Unprotect(*pProtected, wsToken);
        const std::string* pLegacy = FindLine(lines, kLegacyTrustedToken);
        if (!pLegacy)
            return kProfileValueNotFound;
        wsToken = Platform::FromUtf8(*pLegacy);
        std::string sValue;
        HRESULT hrProtect = Protect(wsToken.c_str(), sValue);
        if (FAILED(hrProtect))
            return hrProtect;
        SetLine(lines, kTrustedToken, sValue);
        SetLine(lines, kLegacyTrustedToken, std::string());
        bChanged = true;
        OSTLOG_INFO(4, L"The trusted-device token of the profile is now stored protected");
        return S_OK;
    });
    if (FAILED(hr)) {
        wsToken.clear();
        OSTLOG_INFO(4, L"Unable to read PR_OSTREL_2FA_TRUSTED_TOKEN from profile hr:%08X", static_cast<unsigned>(hr));
        return hr;
    }
    OSTLOG_INFO(16, L"PR_OSTREL_2FA_TRUSTED_TOKEN = '%s'", L"********");
    return S_OK;
}

HRESULT SetStoredPasswordInProfile(const wchar_t* pwszProfile, const wchar_t* pwszPassword) {
    std::string sValue;
    HRESULT hr = Protect(pwszPassword, sValue);
    if (FAILED(hr)) {
        OSTLOG_ERROR(L"The password cannot be protected for storing (%08X)", static_cast<unsigned>(hr));
        return hr;
    }
    hr = SetValue(pwszProfile, kPassword, sValue);
    if (FAILED(hr))
        OSTLOG_ERROR(L"Failed to store the password in the profile. hr: %08X", static_cast<unsigned>(hr));
    return hr;
}

HRESULT GetStoredPasswordFromProfile(const wchar_t* pwszProfile, std::wstring& wsPassword) {
    wsPassword.clear();
    std::string sValue;
    HRESULT hr = GetValue(pwszProfile, kPassword, sValue);
    if (FAILED(hr))
        return hr;
    hr = Unprotect(sValue, wsPassword);
    if (FAILED(hr))
        OSTLOG_ERROR(L"The stored password of the profile cannot be decrypted (%08X)", static_cast<unsigned>(hr));
    return hr;
}

}  // namespace Ostrel::Mapi
