#include "Platform/Base/Utf.h"
#include "Platform/Registry/RegFile.h"
#include "Platform/Registry/Registry.h"
#include "Support/Files.h"
#include "Support/TempHome.h"

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace {

std::vector<BYTE> Wide(const std::wstring& text) {
    std::vector<BYTE> bytes(text.size() * sizeof(wchar_t));
    std::memcpy(bytes.data(), text.data(), bytes.size());
    return bytes;
}

// Replaces the file through a new inode, as another process's write would.
void WriteFileExternally(const std::filesystem::path& path, const std::string& text) {
    std::filesystem::create_directories(path.parent_path());
    const auto temp = path.string() + ".ext";
    std::ofstream(temp, std::ios::binary) << text;
    std::filesystem::rename(temp, path);
}

HKEY Create(HKEY root, const wchar_t* path, REGSAM access = KEY_ALL_ACCESS) {
    HKEY h = nullptr;
    EXPECT_EQ(RegCreateKeyExW(root, path, 0, nullptr, 0, access, nullptr, &h, nullptr), ERROR_SUCCESS);
    return h;
}

LSTATUS Set(HKEY h, const wchar_t* name, DWORD type, const std::vector<BYTE>& data) {
    return RegSetValueExW(h, name, 0, type, data.data(), static_cast<DWORD>(data.size()));
}

LSTATUS SetDword(HKEY h, const wchar_t* name, DWORD value) {
    return RegSetValueExW(h, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), sizeof value);
}

// The stored type and bytes of a value, or the error.
LSTATUS Get(HKEY h, const wchar_t* name, DWORD& type, std::vector<BYTE>& data) {
    DWORD cb = 0;
    LSTATUS status = RegQueryValueExW(h, name, nullptr, &type, nullptr, &cb);
    if (status != ERROR_SUCCESS)
        return status;
    data.resize(cb);
    return RegQueryValueExW(h, name, nullptr, &type, data.data(), &cb);
}

struct ValueCase {
    const wchar_t* name;
    DWORD type;
    std::vector<BYTE> data;
};

std::vector<ValueCase> EveryType() {
    std::vector<BYTE> bigBinary(300);
    for (size_t i = 0; i < bigBinary.size(); ++i)
        bigBinary[i] = static_cast<BYTE>(i * 7);
    const DWORD dw = 0xDEADBEEF;
    const uint64_t qw = 0x0123456789ABCDEFull;
    std::vector<BYTE> dwBytes(4), qwBytes(8);
    std::memcpy(dwBytes.data(), &dw, 4);
    std::memcpy(qwBytes.data(), &qw, 8);
    return {
        {L"Text", REG_SZ, Wide(std::wstring(L"Gr\u00fc\u00dfe \"quoted\" C:\\path \U0001F600") + L'\0')},
        {L"", REG_SZ, Wide(std::wstring(L"default") + L'\0')},
        {L"Lines", REG_SZ, Wide(std::wstring(L"one\ntwo") + L'\0')},
        {L"Unterminated", REG_SZ, Wide(L"abc")},
        {L"Empty", REG_SZ, {}},
        {L"Expand", REG_EXPAND_SZ, Wide(std::wstring(L"%HOME%\\x") + L'\0')},
        {L"Multi", REG_MULTI_SZ, Wide(std::wstring(L"first\0s\u00e9cond\0\0", 15))},
        {L"Binary", REG_BINARY, bigBinary},
        {L"NoBytes", REG_BINARY, {}},
        {L"Count", REG_DWORD, dwBytes},
        {L"Big", REG_QWORD, qwBytes},
        {L"Odd \"name\" \\ here", REG_DWORD, {1, 2}},
    };
}

}  // namespace

TEST(Registry, EveryTypeSurvivesTheHiveFile) {
    TestSupport::TempHome home;
    HKEY h = Create(HKEY_CURRENT_USER, L"Software\\Ostrel\\Types");
    for (const auto& c : EveryType())
        ASSERT_EQ(Set(h, c.name, c.type, c.data), ERROR_SUCCESS) << Platform::ToUtf8(c.name);

    const auto path = Platform::Registry::HivePath(HKEY_CURRENT_USER);
    const std::string text = TestSupport::ReadFile(path);
    EXPECT_EQ(text.rfind("REGEDIT4\n", 0), 0u);
    EXPECT_NE(text.find("[HKEY_CURRENT_USER\\Software\\Ostrel\\Types]"), std::string::npos);
    EXPECT_NE(text.find("\"Count\"=dword:deadbeef"), std::string::npos);
    EXPECT_NE(text.find("@=\"default\""), std::string::npos);
    EXPECT_NE(text.find("\"Text\"=\"Gr\xC3\xBC\xC3\x9F"
                        "e \\\"quoted\\\" C:\\\\path"),
              std::string::npos);
    // MULTI_SZ as UTF-16LE: "first" then a NUL unit.
    EXPECT_NE(text.find("\"Multi\"=hex(7):66,00,69,00,72,00,73,00,74,00,00,00,73,00"), std::string::npos);

    // Force a reload from the text alone.
    WriteFileExternally(path, text);
    for (const auto& c : EveryType()) {
        DWORD type = 99;
        std::vector<BYTE> data;
        ASSERT_EQ(Get(h, c.name, type, data), ERROR_SUCCESS) << Platform::ToUtf8(c.name);
        EXPECT_EQ(type, c.type) << Platform::ToUtf8(c.name);
        EXPECT_EQ(data, c.data) << Platform::ToUtf8(c.name);
    }
    EXPECT_EQ(RegCloseKey(h), ERROR_SUCCESS);
}

TEST(Registry, QueryFollowsTheWindowsBufferRules) {
    TestSupport::TempHome home;
    HKEY h = Create(HKEY_CURRENT_USER, L"Software\\Ostrel");
    const std::wstring text = std::wstring(L"value") + L'\0';
    ASSERT_EQ(Set(h, L"Name", REG_SZ, Wide(text)), ERROR_SUCCESS);

    DWORD type = 0, cb = 0;
    EXPECT_EQ(RegQueryValueExW(h, L"NAME", nullptr, &type, nullptr, &cb), ERROR_SUCCESS);
    EXPECT_EQ(type, static_cast<DWORD>(REG_SZ));
    EXPECT_EQ(cb, 6 * sizeof(wchar_t));

    wchar_t small[2];
    cb = sizeof small;
    EXPECT_EQ(RegQueryValueExW(h, L"name", nullptr, &type, reinterpret_cast<BYTE*>(small), &cb), ERROR_MORE_DATA);
    EXPECT_EQ(cb, 6 * sizeof(wchar_t));
    EXPECT_EQ(RegQueryValueExW(h, L"name", nullptr, &type, reinterpret_cast<BYTE*>(small), nullptr),
              ERROR_INVALID_PARAMETER);

    wchar_t buffer[16];
    cb = sizeof buffer;
    EXPECT_EQ(RegQueryValueExW(h, L"name", nullptr, &type, reinterpret_cast<BYTE*>(buffer), &cb), ERROR_SUCCESS);
    EXPECT_STREQ(buffer, L"value");

    EXPECT_EQ(RegQueryValueExW(h, L"Missing", nullptr, &type, nullptr, &cb), ERROR_FILE_NOT_FOUND);
    HKEY other = nullptr;
    EXPECT_EQ(RegOpenKeyExW(HKEY_CURRENT_USER, L"SOFTWARE\\ostrel", 0, KEY_READ, &other), ERROR_SUCCESS);
    RegCloseKey(other);
    EXPECT_EQ(RegOpenKeyExW(HKEY_CURRENT_USER, L"Software\\Nope", 0, KEY_READ, &other), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(other, nullptr);

    // Access masks are honoured.
    HKEY readOnly = nullptr;
    ASSERT_EQ(RegOpenKeyExW(HKEY_CURRENT_USER, L"Software\\Ostrel", 0, KEY_READ, &readOnly), ERROR_SUCCESS);
    EXPECT_EQ(SetDword(readOnly, L"X", 1), ERROR_ACCESS_DENIED);
    HKEY queryOnly = nullptr;
    ASSERT_EQ(RegOpenKeyExW(HKEY_CURRENT_USER, L"Software\\Ostrel", 0, KEY_QUERY_VALUE, &queryOnly), ERROR_SUCCESS);
    wchar_t name[8];
    DWORD cch = 8;
    EXPECT_EQ(RegEnumKeyExW(queryOnly, 0, name, &cch, nullptr, nullptr, nullptr, nullptr), ERROR_ACCESS_DENIED);

    // String data must be whole characters.
    const BYTE odd[3] = {1, 2, 3};
    EXPECT_EQ(RegSetValueExW(h, L"Bad", 0, REG_SZ, odd, 3), ERROR_INVALID_PARAMETER);

    EXPECT_EQ(RegCloseKey(readOnly), ERROR_SUCCESS);
    EXPECT_EQ(RegCloseKey(queryOnly), ERROR_SUCCESS);
    EXPECT_EQ(RegCloseKey(h), ERROR_SUCCESS);
    EXPECT_EQ(RegCloseKey(h), ERROR_INVALID_HANDLE);
    EXPECT_EQ(RegQueryValueExW(h, L"name", nullptr, &type, nullptr, &cb), ERROR_INVALID_HANDLE);
}

TEST(Registry, EnumeratesAndDeletesLikeWindows) {
    TestSupport::TempHome home;
    HKEY h = Create(HKEY_LOCAL_MACHINE, L"Software\\Ostrel");
    RegCloseKey(Create(h, L"beta"));
    RegCloseKey(Create(h, L"Alpha\\Inner"));
    DWORD disposition = 0;
    HKEY again = nullptr;
    ASSERT_EQ(RegCreateKeyExW(h, L"ALPHA", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &again, &disposition),
              ERROR_SUCCESS);
    EXPECT_EQ(disposition, static_cast<DWORD>(REG_OPENED_EXISTING_KEY));
    RegCloseKey(again);
    SetDword(h, L"z", 1);
    SetDword(h, L"a", 2);

    std::vector<std::wstring> keys;
    wchar_t name[64];
    for (DWORD i = 0;; ++i) {
        DWORD cch = 64;
        LSTATUS status = RegEnumKeyExW(h, i, name, &cch, nullptr, nullptr, nullptr, nullptr);
        if (status == ERROR_NO_MORE_ITEMS)
            break;
        ASSERT_EQ(status, ERROR_SUCCESS);
        EXPECT_EQ(cch, std::wcslen(name));
        keys.push_back(name);
    }
    EXPECT_EQ(keys, (std::vector<std::wstring>{L"Alpha", L"beta"}));
    DWORD cch = 3;
    EXPECT_EQ(RegEnumKeyExW(h, 0, name, &cch, nullptr, nullptr, nullptr, nullptr), ERROR_MORE_DATA);

    DWORD type = 0, value = 0, cb = sizeof value;
    cch = 64;
    ASSERT_EQ(RegEnumValueW(h, 0, name, &cch, nullptr, &type, reinterpret_cast<BYTE*>(&value), &cb), ERROR_SUCCESS);
    EXPECT_STREQ(name, L"z");
    EXPECT_EQ(value, 1u);
    DWORD subkeys = 0, values = 0;
    ASSERT_EQ(RegQueryInfoKeyW(h, nullptr, nullptr, nullptr, &subkeys, nullptr, nullptr, &values, nullptr, nullptr,
                               nullptr, nullptr),
              ERROR_SUCCESS);
    EXPECT_EQ(subkeys, 2u);
    EXPECT_EQ(values, 2u);

    HKEY inner = nullptr;
    ASSERT_EQ(RegOpenKeyExW(h, L"alpha\\inner", 0, KEY_READ, &inner), ERROR_SUCCESS);
    EXPECT_EQ(RegDeleteKeyW(h, L"Alpha"), ERROR_ACCESS_DENIED);  // it has a subkey
    EXPECT_EQ(RegDeleteTreeW(h, L"Alpha"), ERROR_SUCCESS);
    EXPECT_EQ(RegQueryValueExW(inner, L"x", nullptr, nullptr, nullptr, nullptr), ERROR_KEY_DELETED);
    EXPECT_EQ(RegDeleteKeyW(h, L"beta"), ERROR_SUCCESS);
    EXPECT_EQ(RegDeleteKeyW(h, L"beta"), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(RegDeleteValueW(h, L"Z"), ERROR_SUCCESS);
    EXPECT_EQ(RegDeleteValueW(h, L"z"), ERROR_FILE_NOT_FOUND);
    RegCloseKey(inner);
    RegCloseKey(h);

    // Empty keys are kept in the file too.
    const std::string text = TestSupport::ReadFile(Platform::Registry::HivePath(HKEY_LOCAL_MACHINE));
    EXPECT_NE(text.find("[HKEY_LOCAL_MACHINE\\Software]\n"), std::string::npos);
}

TEST(Registry, ReadsFilesWrittenByOthers) {
    TestSupport::TempHome home;
    const auto path = Platform::Registry::HivePath(HKEY_CURRENT_USER);
    HKEY h = Create(HKEY_CURRENT_USER, L"Software\\Ostrel");
    WriteFileExternally(path,
                        "\xEF\xBB\xBFWindows Registry Editor Version 5.00\r\n\r\n"
                        "; written by hand\r\n"
                        "[HKEY_CURRENT_USER\\Software\\Ostrel]\r\n"
                        "\"Level\"=dword:0000000A\r\n"
                        "\"Blob\"=hex:01,02,\\\r\n"
                        "  03,04\r\n"
                        "@=\"root\"\r\n");
    DWORD type = 0;
    std::vector<BYTE> data;
    ASSERT_EQ(Get(h, L"Level", type, data), ERROR_SUCCESS);
    EXPECT_EQ(data, (std::vector<BYTE>{10, 0, 0, 0}));
    ASSERT_EQ(Get(h, L"Blob", type, data), ERROR_SUCCESS);
    EXPECT_EQ(type, static_cast<DWORD>(REG_BINARY));
    EXPECT_EQ(data, (std::vector<BYTE>{1, 2, 3, 4}));
    ASSERT_EQ(Get(h, nullptr, type, data), ERROR_SUCCESS);
    EXPECT_EQ(data, Wide(std::wstring(L"root") + L'\0'));
    // A write keeps what the other writer put there.
    ASSERT_EQ(SetDword(h, L"Mine", 5), ERROR_SUCCESS);
    const std::string text = TestSupport::ReadFile(path);
    EXPECT_NE(text.find("\"Level\"=dword:0000000a"), std::string::npos);
    EXPECT_NE(text.find("\"Mine\"=dword:00000005"), std::string::npos);
    RegCloseKey(h);
}

TEST(Registry, ABrokenHiveIsReportedKeptAndNeverOverwritten) {
    TestSupport::TempHome home;
    std::vector<Platform::Registry::ParseError> reported;
    Platform::Registry::SetParseErrorHandler([&](const Platform::Registry::ParseError& e) { reported.push_back(e); });
    const auto path = Platform::Registry::HivePath(HKEY_CURRENT_USER);
    const std::string broken =
        "REGEDIT4\n"
        "\n"
        "[HKEY_CURRENT_USER\\Software\\Ostrel]\n"
        "\"Before\"=dword:00000001\n"
        "\"Broken\"=dword:xyz\n"
        "\"After\"=dword:00000002\n";
    WriteFileExternally(path, broken);

    HKEY h = nullptr;
    ASSERT_EQ(RegOpenKeyExW(HKEY_CURRENT_USER, L"Software\\Ostrel", 0, KEY_ALL_ACCESS, &h), ERROR_SUCCESS);
    DWORD type = 0;
    std::vector<BYTE> data;
    EXPECT_EQ(Get(h, L"Before", type, data), ERROR_SUCCESS);
    EXPECT_EQ(Get(h, L"After", type, data), ERROR_SUCCESS);
    EXPECT_EQ(Get(h, L"Broken", type, data), ERROR_FILE_NOT_FOUND);
    ASSERT_EQ(reported.size(), 1u);
    EXPECT_EQ(reported[0].path, path);
    EXPECT_EQ(reported[0].uLine, 5u);
    ASSERT_TRUE(Platform::Registry::LastParseError().has_value());
    EXPECT_EQ(Platform::Registry::LastParseError()->uLine, 5u);

    EXPECT_EQ(SetDword(h, L"New", 1), ERROR_REGISTRY_CORRUPT);
    EXPECT_EQ(RegDeleteValueW(h, L"Before"), ERROR_REGISTRY_CORRUPT);
    HKEY created = nullptr;
    EXPECT_EQ(RegCreateKeyExW(h, L"Sub", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &created, nullptr),
              ERROR_REGISTRY_CORRUPT);
    EXPECT_EQ(TestSupport::ReadFile(path), broken);
    EXPECT_EQ(reported.size(), 1u) << "an unchanged file is reported once";

    // The other hive is unaffected, and a repaired file can be written again.
    HKEY machine = Create(HKEY_LOCAL_MACHINE, L"Software\\Ostrel");
    EXPECT_EQ(SetDword(machine, L"Fine", 1), ERROR_SUCCESS);
    WriteFileExternally(path, "REGEDIT4\n\n[HKEY_CURRENT_USER\\Software\\Ostrel]\n");
    EXPECT_EQ(SetDword(h, L"New", 1), ERROR_SUCCESS);
    RegCloseKey(machine);
    RegCloseKey(h);
    Platform::Registry::SetParseErrorHandler(nullptr);
}

// A hive replaced by a link, or kept in a folder others may write to, is refused like a broken
// one: nothing is read from the file the link points to and nothing is written through it.
TEST(Registry, ALinkInPlaceOfTheHiveOrAnOpenFolderIsRefused) {
    TestSupport::TempHome home;
    std::vector<Platform::Registry::ParseError> reported;
    Platform::Registry::SetParseErrorHandler([&](const Platform::Registry::ParseError& e) { reported.push_back(e); });
    const auto path = Platform::Registry::HivePath(HKEY_CURRENT_USER);
    const auto target = home.Path() / "elsewhere.reg";
    const std::string planted = "REGEDIT4\n\n[HKEY_CURRENT_USER\\Software\\Ostrel]\n\"Planted\"=dword:00000001\n";
    std::ofstream(target, std::ios::binary) << planted;
    std::filesystem::create_directories(path.parent_path());
    std::filesystem::create_symlink(target, path);

    HKEY h = nullptr;
    ASSERT_EQ(
        RegCreateKeyExW(HKEY_CURRENT_USER, L"Software\\Ostrel", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &h, nullptr),
        ERROR_REGISTRY_CORRUPT);
    HKEY opened = nullptr;
    EXPECT_NE(RegOpenKeyExW(HKEY_CURRENT_USER, L"Software\\Ostrel", 0, KEY_READ, &opened), ERROR_SUCCESS);
    ASSERT_FALSE(reported.empty());
    EXPECT_EQ(reported.back().path, path);
    EXPECT_NE(reported.back().sMessage.find("symbolic link"), std::string::npos) << reported.back().sMessage;
    EXPECT_EQ(TestSupport::ReadFile(target), planted);
    EXPECT_TRUE(std::filesystem::is_symlink(path));

    // The same hive as a plain file in a folder everybody may write to.
    std::filesystem::remove(path);
    std::filesystem::copy_file(target, path);
    ASSERT_EQ(chmod(path.parent_path().c_str(), 0777), 0);
    reported.clear();
    EXPECT_NE(RegOpenKeyExW(HKEY_CURRENT_USER, L"Software\\Ostrel", 0, KEY_READ, &opened), ERROR_SUCCESS);
    ASSERT_FALSE(reported.empty());
    EXPECT_NE(reported.back().sMessage.find(path.parent_path().string()), std::string::npos)
        << reported.back().sMessage;
    EXPECT_EQ(TestSupport::ReadFile(path), planted);
    Platform::Registry::SetParseErrorHandler(nullptr);
}

TEST(Registry, ParserRejectsMalformedLinesWithTheirNumbers) {
    struct Case {
        const char* text;
        unsigned line;
    } cases[] = {
        {"", 1},
        {"not a registry file\n", 1},
        {"REGEDIT4\n\"v\"=dword:1\n", 2},
        {"REGEDIT4\n[HKEY_LOCAL_MACHINE\\X]\n", 2},
        {"REGEDIT4\n[HKEY_CURRENT_USER\\X\n", 2},
        {"REGEDIT4\n[-HKEY_CURRENT_USER\\X]\n", 2},
        {"REGEDIT4\n[HKEY_CURRENT_USER\\X]\n\"v\"=hex:1,02\n", 3},
        {"REGEDIT4\n[HKEY_CURRENT_USER\\X]\n\"v\"=hex(7):61,00,00\n", 3},
        {"REGEDIT4\n[HKEY_CURRENT_USER\\X]\n\"v\"=dword:123456789\n", 3},
        {"REGEDIT4\n[HKEY_CURRENT_USER\\X]\n\"v\"=\"open\n", 3},
        {"REGEDIT4\n[HKEY_CURRENT_USER\\X]\n\"v\"=-\n", 3},
        {"REGEDIT4\n[HKEY_CURRENT_USER\\X]\n\"v\"=\"\xff\"\n", 3},
        {"REGEDIT4\n[HKEY_CURRENT_USER\\X]\n\"a\"=hex:01,\\\n  02\n\"b\"=x\n", 5},
    };
    for (const auto& c : cases) {
        auto result = Platform::RegFile::Parse(c.text, L"HKEY_CURRENT_USER");
        EXPECT_EQ(result.uErrorLine, c.line) << c.text;
        EXPECT_FALSE(result.sError.empty()) << c.text;
        ASSERT_NE(result.pRoot, nullptr);
    }
}

TEST(Registry, ParserSurvivesRandomInput) {
    const std::string seed =
        "REGEDIT4\n\n[HKEY_CURRENT_USER\\Software\\Ostrel]\n\"a\"=\"x\\\"y\"\n\"b\"=dword:00000001\n"
        "\"c\"=hex(7):61,00,00,00,\\\n  00,00\n@=hex:01,02\n";
    std::mt19937 rng(1234);
    for (int i = 0; i < 3000; ++i) {
        std::string text = seed;
        const int edits = 1 + static_cast<int>(rng() % 6);
        for (int e = 0; e < edits; ++e) {
            const size_t pos = rng() % text.size();
            switch (rng() % 3) {
                case 0:
                    text[pos] = static_cast<char>(rng());
                    break;
                case 1:
                    text.erase(pos, 1 + rng() % 4);
                    break;
                default:
                    text.insert(pos, 1, "\\\"[]=,:\n("[rng() % 10]);
                    break;
            }
            if (text.empty())
                text.push_back('x');
        }
        auto result = Platform::RegFile::Parse(text, L"HKEY_CURRENT_USER");
        ASSERT_NE(result.pRoot, nullptr);
        if (result.uErrorLine == 0) {
            // Whatever parses must format and parse back to the same text.
            const std::string formatted = Platform::RegFile::Format(*result.pRoot, L"HKEY_CURRENT_USER");
            auto again = Platform::RegFile::Parse(formatted, L"HKEY_CURRENT_USER");
            EXPECT_EQ(again.uErrorLine, 0u) << formatted;
            EXPECT_EQ(Platform::RegFile::Format(*again.pRoot, L"HKEY_CURRENT_USER"), formatted);
        }
    }
}

TEST(Registry, ConcurrentWritersInTwoProcessesLoseNothing) {
    TestSupport::TempHome home;
    constexpr int kPerProcess = 40;
    pid_t children[2];
    for (int c = 0; c < 2; ++c) {
        children[c] = fork();
        ASSERT_GE(children[c], 0);
        if (children[c] == 0) {
            int failures = 0;
            HKEY h = nullptr;
            if (RegCreateKeyExW(HKEY_CURRENT_USER, L"Software\\Ostrel", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &h,
                                nullptr) != ERROR_SUCCESS)
                _exit(2);
            for (int i = 0; i < kPerProcess; ++i) {
                const std::wstring name = L"P" + std::to_wstring(c) + L"_" + std::to_wstring(i);
                if (SetDword(h, name.c_str(), static_cast<DWORD>(i)) != ERROR_SUCCESS)
                    ++failures;
            }
            RegCloseKey(h);
            _exit(failures == 0 ? 0 : 1);
        }
    }
    for (pid_t child : children) {
        int status = 0;
        ASSERT_EQ(waitpid(child, &status, 0), child);
        ASSERT_TRUE(WIFEXITED(status));
        EXPECT_EQ(WEXITSTATUS(status), 0);
    }
    HKEY h = nullptr;
    ASSERT_EQ(RegOpenKeyExW(HKEY_CURRENT_USER, L"Software\\Ostrel", 0, KEY_READ, &h), ERROR_SUCCESS);
    DWORD values = 0;
    ASSERT_EQ(RegQueryInfoKeyW(h, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &values, nullptr, nullptr,
                               nullptr, nullptr),
              ERROR_SUCCESS);
    EXPECT_EQ(values, 2u * kPerProcess);
    for (int c = 0; c < 2; ++c) {
        for (int i = 0; i < kPerProcess; ++i) {
            const std::wstring name = L"P" + std::to_wstring(c) + L"_" + std::to_wstring(i);
            DWORD value = 0, cb = sizeof value;
            EXPECT_EQ(RegQueryValueExW(h, name.c_str(), nullptr, nullptr, reinterpret_cast<BYTE*>(&value), &cb),
                      ERROR_SUCCESS);
            EXPECT_EQ(value, static_cast<DWORD>(i));
        }
    }
    RegCloseKey(h);
    // No temporary files are left behind.
    for (const auto& entry :
         std::filesystem::directory_iterator(Platform::Registry::HivePath(HKEY_CURRENT_USER).parent_path()))
        EXPECT_NE(entry.path().filename().string().rfind("HKCU.reg.", 0), 0u) << entry.path();
}
