#include "Platform/Base/Paths.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <system_error>

namespace Platform {

namespace {

std::filesystem::path FromEnv(const char* name) {
    const char* value = std::getenv(name);
    return (value && *value) ? std::filesystem::path(value) : std::filesystem::path();
}

}  // namespace

bool EnsurePrivateDirectory(const std::filesystem::path& dir) {
    std::error_code ec;
    if (std::filesystem::is_directory(dir, ec))
        return true;
    if (dir.has_parent_path() && dir.parent_path() != dir)
        EnsurePrivateDirectory(dir.parent_path());
    if (::mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST)
        return false;
    return std::filesystem::is_directory(dir, ec);
}

std::filesystem::path OstrelHome() {
    std::filesystem::path home = FromEnv("OSTREL_HOME");
    if (home.empty()) {
        std::filesystem::path data = FromEnv("XDG_DATA_HOME");
        if (data.empty()) {
            std::filesystem::path user = FromEnv("HOME");
            data = (user.empty() ? std::filesystem::path("/tmp") : user) / ".local" / "share";
        }
        home = data / "ostrel";
    }
    EnsurePrivateDirectory(home);
    return home;
}

std::filesystem::path RuntimeDir() {
    std::filesystem::path runtime = FromEnv("XDG_RUNTIME_DIR");
    std::filesystem::path dir =
        runtime.empty() ? std::filesystem::path("/tmp") / ("ostrel-" + std::to_string(::getuid())) : runtime / "ostrel";
    EnsurePrivateDirectory(dir);
    return dir;
}

}  // namespace Platform
