// Carrying the values of an older version's profile-values file into the profile section.
//
// The old file is UTF-8 text, one "Name=value" line per value, values percent-encoded:
// ProtectedToken (the token protected with EncryptPassword, in hexadecimal), TrustedToken (a
// token in clear text, as the oldest versions kept it) and Password (protected, hexadecimal).
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <optional>
#include <random>
#include <vector>

#include "Ostrel/Settings/ProfileStore.h"
#include "Ostrel/Settings/ProfileStoreInternal.h"
#include "Platform/Base/Paths.h"
#include "Platform/Base/Utf.h"
#include "Platform/Com/ComPtr.h"
#include "Platform/Mapi/MapiAlloc.h"
#include "Platform/Mapi/MapiUtil.h"
#include "Util/Locks/Locks.h"
#include "Util/Log/Log.h"
#include "Util/Password.h"
#include "Util/Text/Strings.h"

namespace Ostrel::Mapi {

namespace {

constexpr size_t kMaxFileName = 160;
constexpr off_t kMaxFileBytes = 1 << 20;

bool IsPlain(unsigned char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '.' || c == '_' ||
           c == '-';
}

std::optional<std::string> PercentDecode(const std::string& text) {
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '%') {
            out += text[i];
            continue;
        }
        std::vector<BYTE> byte;
        if (i + 2 >= text.size())
            return std::nullopt;
        if (!Util::HexDecode(std::string_view(text).substr(i + 1, 2), byte) || byte.size() != 1)
            return std::nullopt;
        out += static_cast<char>(byte[0]);
        i += 2;
    }
    return out;
}

// The old file's name: the profile name with everything but letters, digits, '.', '_' and '-'
// percent-encoded; a long name cut and made unique with a hash of the whole name.
std::string FileStem(const wchar_t* pwszProfile) {
    static const char kHex[] = "0123456789ABCDEF";
    std::string name = Platform::ToUtf8(pwszProfile ? pwszProfile : L"");
    std::string stem;
    for (unsigned char c : name) {
        if (IsPlain(c)) {
            stem += static_cast<char>(c);
        } else {
            stem += '%';
            stem += kHex[c >> 4];
            stem += kHex[c & 0xF];
        }
    }
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

struct OldValues {
    std::optional<std::wstring> wsProtectedToken;  // hexadecimal, as the section keeps it
    std::optional<std::vector<BYTE>> password;
    std::string sLeftOver;  // lines that are no known value, kept for the user
};

// Reads the whole file, refusing anything but a small regular file of the user's own; a known
// value that does not decode makes the file damaged.
HRESULT ReadOldValues(const std::filesystem::path& path, OldValues& values) {
    // O_NONBLOCK: a FIFO in the file's place is refused below, not waited on for a writer.
    int fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        if (errno == ENOENT)
            return S_FALSE;
        OSTLOG_ERROR(L"The old profile values '%hs' cannot be opened (errno %d); left as they are", path.c_str(),
                     errno);
        return MAPI_E_NO_ACCESS;
    }
    struct stat st {};
    std::string text;
    bool bOk = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_uid == ::geteuid() && st.st_size <= kMaxFileBytes;
    if (bOk) {
        text.resize(static_cast<size_t>(st.st_size));
        size_t done = 0;
        while (bOk && done < text.size()) {
            ssize_t n = ::read(fd, text.data() + done, text.size() - done);
            if (n < 0 && errno == EINTR)
                continue;
            bOk = n > 0;
            done += n > 0 ? static_cast<size_t>(n) : 0;
        }
    }
    ::close(fd);
    if (!bOk) {
        OSTLOG_ERROR(L"The old profile values '%hs' are not a readable file of this user's; left as they are",
                     path.c_str());
        return MAPI_E_CORRUPT_DATA;
    }
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        std::string line = text.substr(start, end == std::string::npos ? std::string::npos : end - start);
        start = end == std::string::npos ? text.size() : end + 1;
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        size_t eq = line.find('=');
        std::string name = eq == std::string::npos ? std::string() : line.substr(0, eq);
        if (name != "ProtectedToken" && name != "TrustedToken" && name != "Password") {
            if (!line.empty() && line[0] != '#')
                values.sLeftOver += line + "\n";
            continue;
        }
        std::optional<std::string> value = PercentDecode(line.substr(eq + 1));
        std::vector<BYTE> blob;
        bool bValid = value.has_value();
        if (bValid && name == "TrustedToken") {
            bValid = SUCCEEDED(Util::EncryptPassword(Platform::FromUtf8(*value), blob));
            if (!values.wsProtectedToken && bValid)
                values.wsProtectedToken = Util::HexEncode(blob);
        } else if (bValid) {
            bValid = Util::HexDecode(*value, blob) && !blob.empty();
            if (bValid && name == "Password")
                values.password = blob;
            else if (bValid)
                values.wsProtectedToken = Util::HexEncode(blob);
        }
        if (!bValid) {
            OSTLOG_ERROR(L"The old profile values '%hs' hold a damaged %hs; left as they are", path.c_str(),
                         name.c_str());
            return MAPI_E_CORRUPT_DATA;
        }
    }
    return S_OK;
}

// Keeps what the old file held beyond the known values in NAME.values.unmigrated.
bool KeepLeftOver(const std::filesystem::path& path, const std::string& sText) {
    std::filesystem::path kept = path;
    kept += ".unmigrated";
    std::filesystem::path temp = kept;
    char suffix[48];
    std::snprintf(suffix, sizeof suffix, ".tmp-%d-%08x", static_cast<int>(::getpid()), std::random_device()());
    temp += suffix;
    int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0)
        return false;
    size_t done = 0;
    bool bOk = true;
    while (bOk && done < sText.size()) {
        ssize_t n = ::write(fd, sText.data() + done, sText.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        bOk = n > 0;
        done += n > 0 ? static_cast<size_t>(n) : 0;
    }
    bOk = ::fsync(fd) == 0 && bOk;
    bOk = ::close(fd) == 0 && bOk;
    if (bOk && std::rename(temp.c_str(), kept.c_str()) == 0)
        return true;
    ::unlink(temp.c_str());
    return false;
}

// Sets `value` unless the section holds the property already: what was written since is newer.
HRESULT CarryOver(IProfSect* pSection, SPropValue& value) {
    LPSPropValue pExisting = nullptr;
    HRESULT hr = HrGetOneProp(pSection, value.ulPropTag, &pExisting);
    MAPIFreeBuffer(pExisting);
    if (hr != MAPI_E_NOT_FOUND)
        return hr;
    return HrSetOneProp(pSection, &value);
}

}  // namespace

std::filesystem::path ProfileValuesPath(const wchar_t* pwszProfile) {
    return Platform::OstrelHome() / "profile-values" / (FileStem(pwszProfile) + ".values");
}

HRESULT MigrateProfileValues(const wchar_t* pwszProfile) {
    const std::filesystem::path path = ProfileValuesPath(pwszProfile);
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0 && errno == ENOENT)
        return S_OK;
    std::string sProblem;
    if (!Platform::EnsurePrivateDirectory(path.parent_path(), &sProblem)) {
        OSTLOG_ERROR(L"The old profile values cannot be carried over: %hs", sProblem.c_str());
        return MAPI_E_NO_ACCESS;
    }
    Util::CrossProcessLock lock(L"ProfileValues");
    std::wstring wsLockName = L"OstrelProfileValues-" + Platform::FromUtf8(FileStem(pwszProfile));
    if (!lock.Init(wsLockName.c_str()))
        return E_FAIL;
    Util::AutoCrossProcessLock held(lock);
    if (!held.IsLocked())
        return E_FAIL;

    OldValues values;
    HRESULT hr = ReadOldValues(path, values);
    if (hr != S_OK)
        return hr == S_FALSE ? S_OK : hr;  // S_FALSE: another process carried it over meanwhile
    Platform::ComPtr<IProfSect> pSection;
    hr = OpenPrimaryServiceProfileSection(pwszProfile, true, pSection.AddressOf());
    if (SUCCEEDED(hr) && values.wsProtectedToken) {
        SPropValue token{};
        token.ulPropTag = PR_OSTREL_2FA_TRUSTED_TOKEN;
        token.Value.lpszW = values.wsProtectedToken->data();
        hr = CarryOver(pSection.Get(), token);
    }
    if (SUCCEEDED(hr) && values.password) {
        SPropValue password{};
        password.ulPropTag = PR_OSTREL_STORED_PASSWORD;
        password.Value.bin.cb = static_cast<ULONG>(values.password->size());
        password.Value.bin.lpb = values.password->data();
        hr = CarryOver(pSection.Get(), password);
    }
    if (FAILED(hr)) {
        OSTLOG_ERROR(L"The old profile values '%hs' cannot be carried into the profile (hr:%08X); left as they are",
                     path.c_str(), static_cast<unsigned>(hr));
        return hr;
    }
    if (!values.sLeftOver.empty()) {
        if (!KeepLeftOver(path, values.sLeftOver)) {
            OSTLOG_ERROR(L"The unknown lines of '%hs' cannot be kept aside (errno %d); the file stays", path.c_str(),
                         errno);
            return E_FAIL;
        }
        OSTLOG_WARN(L"Lines of '%hs' that are no known value are kept in '%hs.unmigrated'", path.c_str(), path.c_str());
    }
    if (::unlink(path.c_str()) != 0) {
        OSTLOG_ERROR(L"The old profile values '%hs' cannot be removed (errno %d)", path.c_str(), errno);
        return E_FAIL;
    }
    OSTLOG_INFO(4, L"The old profile values of '%ls' now live in the profile", pwszProfile ? pwszProfile : L"");
    return S_OK;
}

}  // namespace Ostrel::Mapi
