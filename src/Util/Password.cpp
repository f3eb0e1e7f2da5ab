#include "Util/Password.h"

#include "Platform/Base/Paths.h"
#include "Platform/Base/Utf.h"
#include "Util/Log/Log.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/rand.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <cerrno>
#include <cstring>
#include <memory>

namespace Ostrel::Util {

namespace {

constexpr BYTE kBlobVersion = 1;
constexpr size_t kKeySize = 32;
constexpr size_t kNonceSize = 12;
constexpr size_t kTagSize = 16;
constexpr size_t kHeaderSize = 1 + kNonceSize;
// The key file: a magic text naming the format, then the key.
constexpr char kKeyMagic[8] = {'O', 'S', 'T', 'R', 'K', 'E', 'Y', '1'};
constexpr size_t kKeyFileSize = sizeof kKeyMagic + kKeySize;

// Key material that is wiped when it goes out of scope.
struct Key {
    BYTE ab[kKeySize] = {};
    ~Key() { OPENSSL_cleanse(ab, sizeof ab); }
};

struct Fd {
    int fd = -1;
    ~Fd() {
        if (fd >= 0)
            close(fd);
    }
};

struct CipherCtxFree {
    void operator()(EVP_CIPHER_CTX* p) const { EVP_CIPHER_CTX_free(p); }
};
using CipherCtx = std::unique_ptr<EVP_CIPHER_CTX, CipherCtxFree>;

bool ReadAll(int fd, BYTE* pb, size_t cb) {
    while (cb) {
        ssize_t n = read(fd, pb, cb);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        pb += n, cb -= static_cast<size_t>(n);
    }
    return true;
}

bool WriteAll(int fd, const BYTE* pb, size_t cb) {
    while (cb) {
        ssize_t n = write(fd, pb, cb);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        pb += n, cb -= static_cast<size_t>(n);
    }
    return true;
}

enum class KeyRead { Ok, Missing, Failed };

KeyRead ReadKey(const std::filesystem::path& path, Key& key, HRESULT& hr) {
    // Only a key in a private folder of the user's counts: in any other, it may have been swapped.
    struct stat dir {};
    if (lstat(path.parent_path().c_str(), &dir) != 0 && errno == ENOENT)
        return KeyRead::Missing;
    std::string sProblem;
    if (!Platform::EnsurePrivateDirectory(path.parent_path(), &sProblem)) {
        OSTLOG_ERROR(L"The password key is not used: %hs", sProblem.c_str());
        hr = E_ACCESSDENIED;
        return KeyRead::Failed;
    }
    Fd file;
    // O_NONBLOCK: a FIFO in the key's place is refused below, not waited on for a writer.
    file.fd = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (file.fd < 0) {
        if (errno == ENOENT)
            return KeyRead::Missing;
        OSTLOG_ERROR(L"Cannot open the password key '%hs' (errno %d)", path.c_str(), errno);
        hr = errno == ELOOP ? E_ACCESSDENIED : E_FAIL;
        return KeyRead::Failed;
    }
    struct stat st {};
    if (fstat(file.fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        OSTLOG_ERROR(L"The password key '%hs' is not a regular file", path.c_str());
        hr = E_ACCESSDENIED;
        return KeyRead::Failed;
    }
    if (st.st_uid != geteuid() || (st.st_mode & 077) != 0) {
        OSTLOG_ERROR(L"The password key '%hs' is not private to this user (mode %o)", path.c_str(),
                     static_cast<unsigned>(st.st_mode & 0777));
        hr = E_ACCESSDENIED;
        return KeyRead::Failed;
    }
    BYTE abFile[kKeyFileSize + 1];
    if (st.st_size != static_cast<off_t>(kKeyFileSize) || !ReadAll(file.fd, abFile, kKeyFileSize) ||
        std::memcmp(abFile, kKeyMagic, sizeof kKeyMagic) != 0) {
        OPENSSL_cleanse(abFile, sizeof abFile);
        OSTLOG_ERROR(L"The password key '%hs' is damaged; it is left as it is", path.c_str());
        hr = PASSWORD_E_BAD_KEY;
        return KeyRead::Failed;
    }
    std::memcpy(key.ab, abFile + sizeof kKeyMagic, kKeySize);
    OPENSSL_cleanse(abFile, sizeof abFile);
    return KeyRead::Ok;
}

enum class KeyCreate { Created, Exists, Failed };

// Writes a new key into a private temporary file and publishes it with link(), which fails if the
// name exists: a reader never sees a partly written key, and of two processes creating the key at
// once exactly one wins while the other reads the winner's key.
KeyCreate CreateKey(const std::filesystem::path& path, HRESULT& hr) {
    hr = E_FAIL;
    const std::filesystem::path dir = path.parent_path();
    if (!Platform::EnsurePrivateDirectory(dir)) {
        OSTLOG_ERROR(L"Cannot create the key directory '%hs'", dir.c_str());
        return KeyCreate::Failed;
    }
    std::string sTemp = (dir / ".password.key.XXXXXX").string();
    Fd file;
    file.fd = mkostemp(sTemp.data(), O_CLOEXEC);  // O_EXCL, mode 0600
    if (file.fd < 0) {
        OSTLOG_ERROR(L"Cannot create a key file in '%hs' (errno %d)", dir.c_str(), errno);
        return KeyCreate::Failed;
    }
    BYTE abFile[kKeyFileSize];
    std::memcpy(abFile, kKeyMagic, sizeof kKeyMagic);
    const bool bWritten = RAND_bytes(abFile + sizeof kKeyMagic, kKeySize) == 1 &&
                          WriteAll(file.fd, abFile, sizeof abFile) && fsync(file.fd) == 0;
    OPENSSL_cleanse(abFile, sizeof abFile);
    KeyCreate result = KeyCreate::Failed;
    if (!bWritten) {
        OSTLOG_ERROR(L"Cannot write a new password key in '%hs'", dir.c_str());
    } else if (link(sTemp.c_str(), path.c_str()) == 0) {
        result = KeyCreate::Created;
        Fd dirFd;
        dirFd.fd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (dirFd.fd >= 0)
            fsync(dirFd.fd);
    } else if (errno == EEXIST) {
        result = KeyCreate::Exists;
    } else {
        OSTLOG_ERROR(L"Cannot publish the password key '%hs' (errno %d)", path.c_str(), errno);
    }
    unlink(sTemp.c_str());
    return result;
}

// Decryption never creates a key: without one, no blob can be ours.
HRESULT LoadKey(Key& key, bool bCreate) {
    const std::filesystem::path path = PasswordKeyPath();
    HRESULT hr = E_FAIL;
    // A second round reads the key that another process published first.
    for (int attempt = 0; attempt < 2; ++attempt) {
        switch (ReadKey(path, key, hr)) {
            case KeyRead::Ok:
                return S_OK;
            case KeyRead::Failed:
                return hr;
            case KeyRead::Missing:
                break;
        }
        if (!bCreate) {
            OSTLOG_WARN(L"No password key at '%hs': the protected value cannot be read", path.c_str());
            return PASSWORD_E_INVALID_BLOB;
        }
        if (CreateKey(path, hr) == KeyCreate::Failed)
            return hr;
    }
    return E_FAIL;
}

}  // namespace

std::filesystem::path PasswordKeyPath() {
    return Platform::OstrelHome() / "keys" / "password.key";
}

HRESULT EncryptPassword(std::wstring_view wsPassword, std::vector<BYTE>& blob) {
    blob.clear();
    Key key;
    HRESULT hr = LoadKey(key, true);
    if (FAILED(hr))
        return hr;

    std::string sPlain = Platform::ToUtf8(wsPassword);
    std::vector<BYTE> out(kHeaderSize + sPlain.size() + kTagSize);
    out[0] = kBlobVersion;
    CipherCtx ctx(EVP_CIPHER_CTX_new());
    int cbOut = 0, cbFinal = 0;
    const bool bOk =
        ctx && RAND_bytes(out.data() + 1, kNonceSize) == 1 &&
        EVP_EncryptInit_ex(ctx.get(), EVP_aes_256_gcm(), nullptr, nullptr, nullptr) == 1 &&
        EVP_CIPHER_CTX_ctrl(ctx.get(), EVP_CTRL_GCM_SET_IVLEN, kNonceSize, nullptr) == 1 &&
        EVP_EncryptInit_ex(ctx.get(), nullptr, nullptr, key.ab, out.data() + 1) == 1 &&
        EVP_EncryptUpdate(ctx.get(), nullptr, &cbOut, out.data(), 1) == 1 &&  // version byte as associated data
        EVP_EncryptUpdate(ctx.get(), out.data() + kHeaderSize, &cbOut, reinterpret_cast<const BYTE*>(sPlain.data()),
                          static_cast<int>(sPlain.size())) == 1 &&
        EVP_EncryptFinal_ex(ctx.get(), out.data() + kHeaderSize + cbOut, &cbFinal) == 1 &&
        EVP_CIPHER_CTX_ctrl(ctx.get(), EVP_CTRL_GCM_GET_TAG, kTagSize, out.data() + kHeaderSize + sPlain.size()) == 1;
    OPENSSL_cleanse(sPlain.data(), sPlain.size());
    if (!bOk) {
        OSTLOG_ERROR(L"Password encryption failed");
        return E_FAIL;
    }
    blob = std::move(out);
    return S_OK;
}

HRESULT EncryptPassword(const wchar_t* pwszPassword, std::vector<BYTE>& blob) {
    if (!pwszPassword) {
        blob.clear();
        return E_POINTER;
    }
    return EncryptPassword(std::wstring_view(pwszPassword), blob);
}

HRESULT DecryptPassword(const BYTE* pbBlob, size_t cbBlob, std::wstring& wsPassword) {
    wsPassword.clear();
    if (!pbBlob && cbBlob)
        return E_POINTER;
    if (cbBlob < kHeaderSize + kTagSize || pbBlob[0] != kBlobVersion)
        return PASSWORD_E_INVALID_BLOB;
    Key key;
    HRESULT hr = LoadKey(key, false);
    if (FAILED(hr))
        return hr;

    const size_t cbCipher = cbBlob - kHeaderSize - kTagSize;
    std::string sPlain(cbCipher, '\0');
    BYTE abTag[kTagSize];
    std::memcpy(abTag, pbBlob + kHeaderSize + cbCipher, kTagSize);
    CipherCtx ctx(EVP_CIPHER_CTX_new());
    int cbOut = 0, cbFinal = 0;
    const bool bOk = ctx && EVP_DecryptInit_ex(ctx.get(), EVP_aes_256_gcm(), nullptr, nullptr, nullptr) == 1 &&
                     EVP_CIPHER_CTX_ctrl(ctx.get(), EVP_CTRL_GCM_SET_IVLEN, kNonceSize, nullptr) == 1 &&
                     EVP_DecryptInit_ex(ctx.get(), nullptr, nullptr, key.ab, pbBlob + 1) == 1 &&
                     EVP_DecryptUpdate(ctx.get(), nullptr, &cbOut, pbBlob, 1) == 1 &&
                     EVP_DecryptUpdate(ctx.get(), reinterpret_cast<BYTE*>(sPlain.data()), &cbOut, pbBlob + kHeaderSize,
                                       static_cast<int>(cbCipher)) == 1 &&
                     EVP_CIPHER_CTX_ctrl(ctx.get(), EVP_CTRL_GCM_SET_TAG, kTagSize, abTag) == 1 &&
                     EVP_DecryptFinal_ex(ctx.get(), reinterpret_cast<BYTE*>(sPlain.data()) + cbOut, &cbFinal) == 1;
    if (bOk) {
        bool bInvalid = false;
        wsPassword = Platform::FromUtf8(sPlain, &bInvalid);
        if (bInvalid)  // authentic but not our text: refuse it as a whole
            wsPassword.clear();
        hr = bInvalid ? PASSWORD_E_INVALID_BLOB : S_OK;
    } else {
        hr = PASSWORD_E_INVALID_BLOB;
    }
    OPENSSL_cleanse(sPlain.data(), sPlain.size());
    return hr;
}

HRESULT DecryptPassword(const std::vector<BYTE>& blob, std::wstring& wsPassword) {
    return DecryptPassword(blob.data(), blob.size(), wsPassword);
}

}  // namespace Ostrel::Util
