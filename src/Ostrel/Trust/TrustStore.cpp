#include "Ostrel/Trust/TrustStore.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <optional>
#include <random>
#include <vector>

#include "Platform/Base/Paths.h"
#include "Platform/Base/Utf.h"
#include "Util/Log/Log.h"
#include "Util/Text/Strings.h"

namespace Ostrel::Mapi {

namespace {

constexpr const char* kHeader = "ostrel-cert-trust 1";
constexpr size_t kMaxFileBytes = 4096;

std::string Sha256Hex(const std::string& text) {
    BYTE hash[32] = {};
    DWORD cb = sizeof hash;
    if (!CryptHashCertificate(0, CALG_SHA_256, 0, reinterpret_cast<const BYTE*>(text.data()),
                              static_cast<DWORD>(text.size()), hash, &cb))
        return std::string();
    return Platform::ToUtf8(Util::HexEncode(hash, cb));
}

std::string Body(const TrustRecord& record) {
    return std::string(kHeader) + "\nserver " + Platform::ToUtf8(record.wsServer) + "\nsha1 " +
           Platform::ToUtf8(Platform::FingerprintToHex(record.sha1)) + "\nuntil " + std::to_string(record.llUntil) +
           "\n";
}

bool WriteAll(int fd, const std::string& data) {
    size_t done = 0;
    while (done < data.size()) {
        ssize_t n = ::write(fd, data.data() + done, data.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

bool ParseUntil(const std::string& text, int64_t& llUntil) {
    if (text.empty() || text.size() > 18)
        return false;
    llUntil = 0;
    for (char c : text) {
        if (c < '0' || c > '9')
            return false;
        llUntil = llUntil * 10 + (c - '0');
    }
    return true;
}

}  // namespace

std::string FormatTrustRecord(const TrustRecord& record) {
    std::string body = Body(record);
    return body + "check " + Sha256Hex(body) + "\n";
}

bool ParseTrustRecord(const std::string& text, TrustRecord& record) {
    size_t checkAt = text.rfind("check ");
    if (checkAt == std::string::npos || (checkAt > 0 && text[checkAt - 1] != '\n'))
        return false;
    const std::string body = text.substr(0, checkAt);
    if (text.substr(checkAt) != "check " + Sha256Hex(body) + "\n")
        return false;
    std::vector<std::string> lines;
    size_t start = 0;
    for (size_t nl; (nl = body.find('\n', start)) != std::string::npos; start = nl + 1)
        lines.push_back(body.substr(start, nl - start));
    if (start != body.size() || lines.size() != 4 || lines[0] != kHeader)
        return false;
    auto value = [&](size_t i, const char* pszName) -> std::optional<std::string> {
        std::string prefix = std::string(pszName) + " ";
        if (lines[i].compare(0, prefix.size(), prefix) != 0)
            return std::nullopt;
        return lines[i].substr(prefix.size());
    };
    auto server = value(1, "server"), sha1 = value(2, "sha1"), until = value(3, "until");
    std::vector<BYTE> bytes;
    TrustRecord parsed;
    if (!server || !sha1 || !until || server->empty() || !Util::HexDecode(*sha1, bytes) ||
        bytes.size() != parsed.sha1.size() || !ParseUntil(*until, parsed.llUntil))
        return false;
    parsed.wsServer = Platform::FromUtf8(*server);
    std::copy(bytes.begin(), bytes.end(), parsed.sha1.begin());
    record = std::move(parsed);
    return true;
}

TrustStoreState TrustStore::Read(TrustRecord& record) const {
    record = TrustRecord{};
    // A record in a folder that others may write to may have been put there by them.
    struct stat dir {};
    if (::lstat(m_path.parent_path().c_str(), &dir) != 0 && errno == ENOENT)
        return TrustStoreState::Empty;
    std::string sProblem;
    if (!Platform::EnsurePrivateDirectory(m_path.parent_path(), &sProblem)) {
        OSTLOG_ERROR(L"The certificate trust store is not read: %hs; nothing is trusted", sProblem.c_str());
        return TrustStoreState::Damaged;
    }
    // O_NONBLOCK: a FIFO in the store's place is refused below, not waited on for a writer.
    int fd = ::open(m_path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        if (errno == ENOENT)
            return TrustStoreState::Empty;
        OSTLOG_ERROR(L"The certificate trust store '%hs' cannot be opened (errno %d); nothing is trusted",
                     m_path.c_str(), errno);
        return TrustStoreState::Damaged;
    }
    struct stat st {};
    std::string text;
    bool bOk = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_uid == ::geteuid() &&
               static_cast<size_t>(st.st_size) <= kMaxFileBytes;
    if (bOk) {
        char buffer[kMaxFileBytes + 1];
        for (;;) {
            ssize_t n = ::read(fd, buffer, sizeof buffer);
            if (n < 0 && errno == EINTR)
                continue;
            if (n < 0)
                bOk = false;
            if (n <= 0)
                break;
            text.append(buffer, static_cast<size_t>(n));
            if (text.size() > kMaxFileBytes) {
                bOk = false;
                break;
            }
        }
    }
    ::close(fd);
    if (!bOk || !ParseTrustRecord(text, record)) {
        record = TrustRecord{};
        OSTLOG_ERROR(L"The certificate trust store '%hs' is damaged; nothing is trusted", m_path.c_str());
        return TrustStoreState::Damaged;
    }
    return TrustStoreState::Valid;
}

bool TrustStore::Write(const TrustRecord& record) const {
    if (!Platform::EnsurePrivateDirectory(m_path.parent_path())) {
        OSTLOG_ERROR(L"cannot create '%hs' (errno %d)", m_path.parent_path().c_str(), errno);
        return false;
    }
    // A name of its own per writer: two writers never share a temporary file.
    std::random_device random;
    char suffix[48];
    std::snprintf(suffix, sizeof suffix, ".tmp-%d-%08x", static_cast<int>(::getpid()), random());
    std::filesystem::path temp = m_path;
    temp += suffix;
    int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) {
        OSTLOG_ERROR(L"cannot write the certificate trust store '%hs' (errno %d)", temp.c_str(), errno);
        return false;
    }
    bool bOk = WriteAll(fd, FormatTrustRecord(record)) && ::fsync(fd) == 0;
    int iError = errno;
    bOk = ::close(fd) == 0 && bOk;
    if (bOk && std::rename(temp.c_str(), m_path.c_str()) != 0) {
        bOk = false;
        iError = errno;
    }
    if (!bOk) {
        OSTLOG_ERROR(L"cannot write the certificate trust store '%hs' (errno %d)", m_path.c_str(), iError);
        ::unlink(temp.c_str());
        return false;
    }
    // The rename itself must reach the disk before the decision counts as kept.
    int dirFd = ::open(m_path.parent_path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dirFd >= 0) {
        ::fsync(dirFd);
        ::close(dirFd);
    }
    return true;
}

bool TrustStore::Remove() const {
    if (::unlink(m_path.c_str()) == 0 || errno == ENOENT)
        return true;
    OSTLOG_ERROR(L"cannot remove the certificate trust store '%hs' (errno %d)", m_path.c_str(), errno);
    return false;
}

std::filesystem::path PeriodTrustStorePath() {
    return Platform::OstrelHome() / "cert-trust";
}

std::filesystem::path SessionTrustStorePath() {
    return Platform::RuntimeDir() / "cert-trust";
}

}  // namespace Ostrel::Mapi
