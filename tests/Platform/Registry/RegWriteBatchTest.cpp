// Grouped registry writes: one store of the hive per batch, nothing lost to or from other writers.
#include "Platform/Base/Utf.h"
#include "Platform/Registry/Registry.h"
#include "Support/Files.h"
#include "Support/TempHome.h"

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <string>
#include <thread>

#include <gtest/gtest.h>

namespace {

HKEY Create(HKEY root, const wchar_t* path) {
    HKEY h = nullptr;
    EXPECT_EQ(RegCreateKeyExW(root, path, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &h, nullptr), ERROR_SUCCESS);
    return h;
}

LSTATUS SetDword(HKEY h, const std::wstring& name, DWORD value) {
    return RegSetValueExW(h, name.c_str(), 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), sizeof value);
}

LSTATUS GetDword(HKEY h, const std::wstring& name, DWORD& value) {
    DWORD cb = sizeof value;
    return RegQueryValueExW(h, name.c_str(), nullptr, nullptr, reinterpret_cast<BYTE*>(&value), &cb);
}

void WaitOk(pid_t child) {
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
}

}  // namespace

TEST(RegWriteBatch, StoresOnceAndKeepsWhatOtherProcessesWrote) {
    TestSupport::TempHome home;
    const auto path = Platform::Registry::HivePath(HKEY_LOCAL_MACHINE);
    HKEY h = Create(HKEY_LOCAL_MACHINE, L"Software\\Zones");
    ASSERT_EQ(SetDword(h, L"Old", 1), ERROR_SUCCESS);

    // One process writes after this one last read the hive; another is ready to write while the
    // batch is open and must wait for it.
    const pid_t before = fork();
    ASSERT_GE(before, 0);
    if (before == 0)
        _exit(SetDword(h, L"Before", 2) == ERROR_SUCCESS ? 0 : 1);
    WaitOk(before);
    int go[2];
    ASSERT_EQ(pipe(go), 0);
    const pid_t during = fork();
    ASSERT_GE(during, 0);
    if (during == 0) {
        char c = 0;
        if (read(go[0], &c, 1) != 1)
            _exit(2);
        _exit(SetDword(h, L"During", 3) == ERROR_SUCCESS ? 0 : 1);
    }

    {
        Platform::RegWriteBatch batch(HKEY_LOCAL_MACHINE);
        ASSERT_EQ(write(go[1], "x", 1), 1);
        const std::string unchanged = TestSupport::ReadFile(path);
        for (int i = 0; i < 200; ++i) {
            HKEY zone = Create(h, (L"Zone" + std::to_wstring(i)).c_str());
            ASSERT_EQ(SetDword(zone, L"TZI", static_cast<DWORD>(i)), ERROR_SUCCESS);
            RegCloseKey(zone);
            ASSERT_EQ(TestSupport::ReadFile(path), unchanged) << "stored inside the batch, write " << i;
        }
        // This thread reads its own writes; the file and the waiting process see none of them yet.
        DWORD value = 0;
        ASSERT_EQ(GetDword(h, L"Before", value), ERROR_SUCCESS);
        HKEY last = nullptr;
        ASSERT_EQ(RegOpenKeyExW(h, L"Zone199", 0, KEY_READ, &last), ERROR_SUCCESS);
        EXPECT_EQ(GetDword(last, L"TZI", value), ERROR_SUCCESS);
        EXPECT_EQ(value, 199u);
        RegCloseKey(last);
        EXPECT_EQ(waitpid(during, nullptr, WNOHANG), 0) << "the other writer did not wait for the batch";
        EXPECT_EQ(batch.Commit(), ERROR_SUCCESS);
        EXPECT_EQ(batch.Commit(), ERROR_SUCCESS);
    }
    WaitOk(during);
    close(go[0]);
    close(go[1]);

    DWORD value = 0;
    for (const wchar_t* name : {L"Old", L"Before", L"During"})
        EXPECT_EQ(GetDword(h, name, value), ERROR_SUCCESS) << Platform::ToUtf8(name);
    DWORD subkeys = 0;
    ASSERT_EQ(RegQueryInfoKeyW(h, nullptr, nullptr, nullptr, &subkeys, nullptr, nullptr, nullptr, nullptr, nullptr,
                               nullptr, nullptr),
              ERROR_SUCCESS);
    EXPECT_EQ(subkeys, 200u);
    RegCloseKey(h);
}

TEST(RegWriteBatch, NestsAndMakesOtherThreadsWait) {
    TestSupport::TempHome home;
    const auto path = Platform::Registry::HivePath(HKEY_CURRENT_USER);
    HKEY h = Create(HKEY_CURRENT_USER, L"Software\\Ostrel");
    const std::string empty = TestSupport::ReadFile(path);
    std::thread other;
    {
        Platform::RegWriteBatch outer(HKEY_CURRENT_USER);
        other = std::thread([h] { EXPECT_EQ(SetDword(h, L"Thread", 7), ERROR_SUCCESS); });
        {
            Platform::RegWriteBatch inner(HKEY_CURRENT_USER);
            ASSERT_EQ(SetDword(h, L"Inner", 1), ERROR_SUCCESS);
            EXPECT_EQ(inner.Commit(), ERROR_SUCCESS);
        }
        EXPECT_EQ(TestSupport::ReadFile(path), empty) << "an inner batch stored the hive";
        ASSERT_EQ(SetDword(h, L"Outer", 2), ERROR_SUCCESS);
        // A batch on the other hive is independent.
        Platform::RegWriteBatch machine(HKEY_LOCAL_MACHINE);
        HKEY m = Create(HKEY_LOCAL_MACHINE, L"Software\\Ostrel");
        ASSERT_EQ(SetDword(m, L"Machine", 3), ERROR_SUCCESS);
        RegCloseKey(m);
    }
    other.join();
    const std::string text = TestSupport::ReadFile(path);
    for (const char* name : {"\"Inner\"", "\"Outer\"", "\"Thread\""})
        EXPECT_NE(text.find(name), std::string::npos) << name;
    EXPECT_NE(TestSupport::ReadFile(Platform::Registry::HivePath(HKEY_LOCAL_MACHINE)).find("\"Machine\""),
              std::string::npos);
    RegCloseKey(h);
}

TEST(RegWriteBatch, AFailedBatchLeavesTheFileAsItWas) {
    TestSupport::TempHome home;
    const auto path = Platform::Registry::HivePath(HKEY_CURRENT_USER);
    HKEY h = Create(HKEY_CURRENT_USER, L"Software\\Ostrel");
    ASSERT_EQ(SetDword(h, L"Kept", 1), ERROR_SUCCESS);
    const std::string original = TestSupport::ReadFile(path);

    // A process that dies inside its batch stores nothing and leaves the lock free.
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        Platform::RegWriteBatch batch(HKEY_CURRENT_USER);
        for (int i = 0; i < 50; ++i)
            SetDword(h, L"Lost" + std::to_wstring(i), 1);
        _exit(0);
    }
    WaitOk(child);
    EXPECT_EQ(TestSupport::ReadFile(path), original);

    // A store that fails (here: the file size limit) is reported, leaves the file alone and does
    // not leave the batch's values in memory as if they were stored.
    const pid_t limited = fork();
    ASSERT_GE(limited, 0);
    if (limited == 0) {
        std::signal(SIGXFSZ, SIG_IGN);
        const rlimit limit{original.size() + 64, original.size() + 64};
        if (setrlimit(RLIMIT_FSIZE, &limit) != 0)
            _exit(2);
        {
            Platform::RegWriteBatch batch(HKEY_CURRENT_USER);
            for (int i = 0; i < 50; ++i)
                SetDword(h, L"Unstored" + std::to_wstring(i), 1);
            if (batch.Commit() != ERROR_CANTWRITE)
                _exit(3);
        }
        DWORD value = 0;
        if (GetDword(h, L"Unstored0", value) != ERROR_FILE_NOT_FOUND)
            _exit(4);
        _exit(GetDword(h, L"Kept", value) == ERROR_SUCCESS ? 0 : 5);
    }
    WaitOk(limited);
    EXPECT_EQ(TestSupport::ReadFile(path), original);
    for (const auto& entry : std::filesystem::directory_iterator(path.parent_path()))
        EXPECT_NE(entry.path().filename().string().rfind("HKCU.reg.", 0), 0u) << entry.path();

    // A broken hive is not written by a batch either.
    const std::string broken = "REGEDIT4\n\n[HKEY_CURRENT_USER\\Software\\Ostrel]\n\"Bad\"=dword:xyz\n";
    TestSupport::WriteFile(path, broken);
    {
        Platform::RegWriteBatch batch(HKEY_CURRENT_USER);
        EXPECT_EQ(SetDword(h, L"New", 1), ERROR_REGISTRY_CORRUPT);
        EXPECT_EQ(batch.Commit(), ERROR_SUCCESS);
    }
    EXPECT_EQ(TestSupport::ReadFile(path), broken);
    RegCloseKey(h);
}
