// `ostrel demo`: runs `config` against a fresh, temporary OSTREL_HOME with a few values set,
// and shows what happened to the registry hives on the way.
#include "Cli.h"

#include "Ostrel/RegistryConfig.h"
#include "Platform/Registry/Registry.h"
#include "Util/Log.h"

#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

namespace OstrelCli {

namespace {

bool SetValue(HKEY root, const wchar_t* pwszName, DWORD dwType, const void* pData, size_t cb) {
    HKEY hKey = nullptr;
    if (RegCreateKeyExW(root, L"Software\\Ostrel", 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS, nullptr, &hKey,
                        nullptr) != ERROR_SUCCESS)
        return false;
    const LSTATUS status =
        RegSetValueExW(hKey, pwszName, 0, dwType, static_cast<const BYTE*>(pData), static_cast<DWORD>(cb));
    RegCloseKey(hKey);
    return status == ERROR_SUCCESS;
}

bool SetDword(HKEY root, const wchar_t* pwszName, DWORD dwValue) {
    return SetValue(root, pwszName, REG_DWORD, &dwValue, sizeof dwValue);
}

bool HasValue(HKEY root, const wchar_t* pwszName) {
    HKEY hKey = nullptr;
    if (RegOpenKeyExW(root, L"Software\\Ostrel", 0, KEY_READ, &hKey) != ERROR_SUCCESS)
        return false;
    const bool bFound = RegQueryValueExW(hKey, pwszName, nullptr, nullptr, nullptr, nullptr) == ERROR_SUCCESS;
    RegCloseKey(hKey);
    return bFound;
}

void ShowFile(const std::filesystem::path& path, Context& context) {
    std::ifstream in(path, std::ios::binary);
    const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::fprintf(context.out, "--- %s\n%s", path.c_str(), text.c_str());
}

int Demo(const std::filesystem::path& home, Context& context) {
    std::fprintf(context.out, "A fresh OSTREL_HOME: %s\n\nSetting a few registry values:\n", home.c_str());
    const std::wstring prefix = L"Declined: ";
    const std::wstring codes = std::wstring(L"0x80040116\0" L"2147746073\0" L"not-a-code\0\0", 34);
    const bool bSet = SetDword(HKEY_CURRENT_USER, L"MaxMimeBufferSizeMB", 8) &&
                      SetDword(HKEY_CURRENT_USER, L"DisableGalSync", 1) &&
                      SetValue(HKEY_CURRENT_USER, L"CalendarDeclinedPrefix", REG_SZ, prefix.c_str(),
                               (prefix.size() + 1) * sizeof(wchar_t)) &&
                      SetValue(HKEY_LOCAL_MACHINE, L"OSDCorruptErrorCodes", REG_MULTI_SZ, codes.data(),
                               codes.size() * sizeof(wchar_t));
    if (!bSet) {
        std::fprintf(context.err, "ostrel demo: could not write the registry under %s\n", home.c_str());
        return kExitFailure;
    }
    std::fprintf(context.out,
                 "  HKCU\\Software\\Ostrel\\MaxMimeBufferSizeMB     = 8                  (REG_DWORD)\n"
                 "  HKCU\\Software\\Ostrel\\DisableGalSync          = 1                  (REG_DWORD, the old form of GalSyncMode)\n"
                 "  HKCU\\Software\\Ostrel\\CalendarDeclinedPrefix  = \"Declined: \"       (REG_SZ)\n"
                 "  HKLM\\Software\\Ostrel\\OSDCorruptErrorCodes    = 0x80040116, 2147746073, not-a-code (REG_MULTI_SZ)\n\n"
                 "Effective settings (ostrel config: getter, value, source):\n");
    std::fflush(context.out);
    const int configResult = RunConfig({}, context);
    if (configResult != kExitOk)
        return configResult;

    const DWORD mode = Ostrel::Mapi::GetGALSyncMode();
    std::fprintf(context.out,
                 "\nGetGALSyncMode() returned %u and moved the old value over: GalSyncMode is %s, "
                 "DisableGalSync is %s.\n",
                 mode, HasValue(HKEY_CURRENT_USER, L"GalSyncMode") ? "now stored" : "missing",
                 HasValue(HKEY_CURRENT_USER, L"DisableGalSync") ? "still there" : "gone");
    std::fprintf(context.out, "\nThe hive files as written:\n");
    ShowFile(Platform::Registry::HivePath(HKEY_CURRENT_USER), context);
    ShowFile(Platform::Registry::HivePath(HKEY_LOCAL_MACHINE), context);
    return kExitOk;
}

}  // namespace

int RunDemo(const std::vector<std::string>& args, Context& context) {
    bool bKeep = false;
    for (const auto& arg : args) {
        if (arg == "--keep")
            bKeep = true;
        else
            return UsageError(*FindCommand("demo"), "unexpected argument '" + arg + "'", context);
    }
    std::string pattern = (std::filesystem::temp_directory_path() / "ostrel-demo-XXXXXX").string();
    if (!mkdtemp(pattern.data())) {
        std::fprintf(context.err, "ostrel demo: cannot create a temporary directory\n");
        return kExitFailure;
    }
    const std::filesystem::path root = pattern;
    setenv("OSTREL_HOME", (root / "home").c_str(), 1);
    setenv("XDG_RUNTIME_DIR", (root / "run").c_str(), 1);
    Ostrel::Util::g_logger.CloseLogFile();  // log into the demo's home from now on

    const int result = Demo(root / "home", context);
    Ostrel::Util::g_logger.CloseLogFile();
    if (bKeep) {
        std::fprintf(context.out, "\nKept %s\n", root.c_str());
    } else {
        std::error_code ec;
        std::filesystem::remove_all(root, ec);
        std::fprintf(context.out, "\nRemoved %s\n", root.c_str());
    }
    return result;
}

}  // namespace OstrelCli
