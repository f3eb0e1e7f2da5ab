#include "Util/Password.h"

#include "Platform/Base/Utf.h"
#include "Support/Child.h"
#include "Support/Files.h"
#include "Support/TempHome.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <fstream>

using namespace Ostrel::Util;
namespace fs = std::filesystem;

namespace {

std::vector<BYTE> Encrypt(const std::wstring& ws) {
    std::vector<BYTE> blob;
    EXPECT_EQ(EncryptPassword(ws, blob), S_OK);
    return blob;
}

}  // namespace

TEST(Password, RoundTripsAnyTextWithAFreshNonce) {
    TestSupport::TempHome home;
    for (const std::wstring& ws :
         {std::wstring(L"secret"), std::wstring(), std::wstring(L"p\u00E4ss \U0001F511 \u6F22"),
          std::wstring(L"nul\0inside", 10), std::wstring(5000, L'x')}) {
        const std::vector<BYTE> blob = Encrypt(ws);
        EXPECT_EQ(blob.size(), 1 + 12 + 16 + Platform::ToUtf8(ws).size());
        std::wstring wsOut = L"stale";
        EXPECT_EQ(DecryptPassword(blob, wsOut), S_OK);
        EXPECT_EQ(wsOut, ws);
    }
    EXPECT_NE(Encrypt(L"same"), Encrypt(L"same"));

    std::vector<BYTE> blob;
    EXPECT_EQ(EncryptPassword(static_cast<const wchar_t*>(nullptr), blob), E_POINTER);
}

TEST(Password, KeyFileIsPrivate) {
    TestSupport::TempHome home;
    Encrypt(L"x");
    struct stat st {};
    ASSERT_EQ(stat(PasswordKeyPath().c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    ASSERT_EQ(stat(PasswordKeyPath().parent_path().c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);
    EXPECT_EQ(fs::file_size(PasswordKeyPath()), 40u);
}

TEST(Password, TamperedTruncatedOrForeignBlobsFailWithoutOutput) {
    TestSupport::TempHome home;
    const std::vector<BYTE> blob = Encrypt(L"correct horse");
    std::wstring wsOut;
    for (size_t i = 0; i < blob.size(); ++i) {
        std::vector<BYTE> bad = blob;
        bad[i] ^= 0x01;
        wsOut = L"stale";
        EXPECT_EQ(DecryptPassword(bad, wsOut), PASSWORD_E_INVALID_BLOB) << "byte " << i;
        EXPECT_TRUE(wsOut.empty());
    }
    for (size_t n = 0; n < blob.size(); ++n) {
        EXPECT_EQ(DecryptPassword(blob.data(), n, wsOut), PASSWORD_E_INVALID_BLOB) << n;
        EXPECT_TRUE(wsOut.empty());
    }
    std::vector<BYTE> longer = blob;
    longer.push_back(0);
    EXPECT_EQ(DecryptPassword(longer, wsOut), PASSWORD_E_INVALID_BLOB);
    EXPECT_EQ(DecryptPassword(nullptr, 5, wsOut), E_POINTER);

    // Another user's home has another key; one without a key does not get one by decrypting.
    TestSupport::TempHome other;
    EXPECT_EQ(DecryptPassword(blob, wsOut), PASSWORD_E_INVALID_BLOB);
    EXPECT_FALSE(fs::exists(PasswordKeyPath()));
    Encrypt(L"other");
    EXPECT_EQ(DecryptPassword(blob, wsOut), PASSWORD_E_INVALID_BLOB);
    EXPECT_TRUE(wsOut.empty());
}

TEST(Password, UnusableKeyFilesAreReportedAndKept) {
    TestSupport::TempHome home;
    const std::vector<BYTE> blob = Encrypt(L"kept");
    const fs::path key = PasswordKeyPath();
    const std::string sKey = TestSupport::ReadFile(key);
    std::vector<BYTE> out;
    std::wstring ws;

    chmod(key.c_str(), 0644);
    EXPECT_EQ(EncryptPassword(L"x", out), E_ACCESSDENIED);
    EXPECT_EQ(DecryptPassword(blob, ws), E_ACCESSDENIED);
    chmod(key.c_str(), 0600);
    EXPECT_EQ(DecryptPassword(blob, ws), S_OK);

    { std::ofstream(key, std::ios::binary | std::ios::app) << "x"; }
    EXPECT_EQ(EncryptPassword(L"x", out), PASSWORD_E_BAD_KEY);
    EXPECT_TRUE(out.empty());
    EXPECT_EQ(TestSupport::ReadFile(key), sKey + "x");  // never replaced

    fs::remove(key);
    fs::create_symlink("/dev/null", key);
    EXPECT_EQ(EncryptPassword(L"x", out), E_ACCESSDENIED);
    EXPECT_TRUE(fs::is_symlink(key));

    // A FIFO nobody writes to is refused at once, not waited on.
    fs::remove(key);
    ASSERT_EQ(mkfifo(key.c_str(), 0600), 0);
    EXPECT_EQ(TestSupport::RunInChild([&] { return DecryptPassword(blob, ws) == E_ACCESSDENIED; }),
              TestSupport::ChildOutcome::Succeeded);
    EXPECT_TRUE(fs::is_fifo(key));
}

TEST(Password, ConcurrentFirstUseByProcessesEndsWithOneKey) {
    TestSupport::TempHome home;
    int gate[2];
    ASSERT_EQ(pipe(gate), 0);
    const fs::path dir = home.Path() / "blobs";
    fs::create_directories(dir);
    constexpr int kProcesses = 6;
    std::vector<pid_t> children;
    for (int i = 0; i < kProcesses; ++i) {
        pid_t pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            close(gate[1]);
            char c;
            (void)!read(gate[0], &c, 1);  // released together when the parent closes the pipe
            std::vector<BYTE> blob;
            int code = EncryptPassword(L"shared " + std::to_wstring(i), blob) == S_OK ? 0 : 1;
            std::ofstream(dir / std::to_string(i), std::ios::binary)
                .write(reinterpret_cast<const char*>(blob.data()), static_cast<std::streamsize>(blob.size()));
            _exit(code);
        }
        children.push_back(pid);
    }
    close(gate[0]);
    close(gate[1]);
    for (pid_t pid : children) {
        int status = 0;
        ASSERT_EQ(waitpid(pid, &status, 0), pid);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }
    for (int i = 0; i < kProcesses; ++i) {
        const std::string sBlob = TestSupport::ReadFile(dir / std::to_string(i));
        std::wstring ws;
        EXPECT_EQ(DecryptPassword(reinterpret_cast<const BYTE*>(sBlob.data()), sBlob.size(), ws), S_OK) << i;
        EXPECT_EQ(ws, L"shared " + std::to_wstring(i));
    }
    // Only the published key is left; no temporary files.
    EXPECT_EQ(std::distance(fs::directory_iterator(PasswordKeyPath().parent_path()), fs::directory_iterator()), 1);
}
