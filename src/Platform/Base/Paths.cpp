#include "Platform/Base/Paths.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <system_error>

namespace Platform {

namespace {

std::filesystem::path FromEnv(const char* name) {
    const char* value = std::getenv(name);
    return (value && *value) ? std::filesystem::path(value) : std::filesystem::path();
}

// Parents are created but not judged: they are often shared folders such as /tmp.
void CreateParents(const std::filesystem::path& dir) {
    std::error_code ec;
    if (!dir.has_parent_path() || dir.parent_path() == dir || std::filesystem::exists(dir.parent_path(), ec))
        return;
    CreateParents(dir.parent_path());
    ::mkdir(dir.parent_path().c_str(), 0700);
}

bool Refuse(const std::filesystem::path& dir, const std::string& reason, std::string* pProblem) {
    if (pProblem)
        *pProblem = "Refusing to use the folder " + dir.string() + ": " + reason + ".";
    return false;
}

}  // namespace

bool EnsurePrivateDirectory(const std::filesystem::path& dir, std::string* pProblem) {
    struct stat st {};
    if (::lstat(dir.c_str(), &st) != 0) {
        if (errno != ENOENT)
            return Refuse(dir, std::strerror(errno), pProblem);
        CreateParents(dir);
        if (::mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST)
            return Refuse(dir, std::strerror(errno), pProblem);
        if (::lstat(dir.c_str(), &st) != 0)
            return Refuse(dir, std::strerror(errno), pProblem);
    }
    if (S_ISLNK(st.st_mode))
        return Refuse(dir, "it is a symbolic link", pProblem);
    if (!S_ISDIR(st.st_mode))
        return Refuse(dir, "it is not a folder", pProblem);
    if (st.st_uid != ::geteuid())
        return Refuse(dir, "it belongs to another user (uid " + std::to_string(st.st_uid) + ")", pProblem);
    if ((st.st_mode & 07777) == 0700)
        return true;
    // Writable by others: something may have been planted already. Merely readable (an older
    // umask): nothing can have been put there, so taking the read bits away is enough.
    if ((st.st_mode & (S_IWGRP | S_IWOTH)) != 0 || ::chmod(dir.c_str(), 0700) != 0) {
        char mode[8];
        std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(st.st_mode & 07777));
        return Refuse(dir, std::string("its mode is ") + mode + ", not 0700", pProblem);
    }
    return true;
}

std::filesystem::path OstrelHome() {
    std::filesystem::path home = FromEnv("OSTREL_HOME");
    if (home.empty()) {
        std::filesystem::path data = FromEnv("XDG_DATA_HOME");
        if (!data.empty()) {
            home = data / "ostrel";
        } else if (std::filesystem::path user = FromEnv("HOME"); !user.empty()) {
            home = user / ".local" / "share" / "ostrel";
        } else {
            // No home folder: a per-user folder directly in /tmp, judged like the runtime folder.
            home = std::filesystem::path("/tmp") / ("ostrel-home-" + std::to_string(::geteuid()));
        }
    }
    EnsurePrivateDirectory(home);
    return home;
}

std::filesystem::path RuntimeDir() {
    std::filesystem::path runtime = FromEnv("XDG_RUNTIME_DIR");
    std::filesystem::path dir = runtime.empty()
                                    ? std::filesystem::path("/tmp") / ("ostrel-" + std::to_string(::geteuid()))
                                    : runtime / "ostrel";
    EnsurePrivateDirectory(dir);
    return dir;
}

std::string PrivateFoldersProblem() {
    std::string problem;
    if (!EnsurePrivateDirectory(OstrelHome(), &problem) || !EnsurePrivateDirectory(RuntimeDir(), &problem))
        return problem;
    return {};
}

}  // namespace Platform
