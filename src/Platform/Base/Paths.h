// Where the system keeps its files and its named cross-process objects.
#pragma once

#include <filesystem>
#include <string>

namespace Platform {

// OSTREL_HOME, else $XDG_DATA_HOME/ostrel, else ~/.local/share/ostrel (HOME unset: the per-user
// /tmp/ostrel-home-UID). Created (mode 0700) on first use.
std::filesystem::path OstrelHome();

// $XDG_RUNTIME_DIR/ostrel, else /tmp/ostrel-UID; mode 0700. Holds lock files and shared sections.
std::filesystem::path RuntimeDir();

// Creates the directory (mode 0700) and any missing parents. An existing directory is accepted only
// when it is no symbolic link, belongs to the effective user and nobody else may write in it: in a
// shared folder such as /tmp another user may have made it first. A folder of the user's that others
// may only read is set to 0700. On refusal `pProblem` gets one line naming the folder and reason.
bool EnsurePrivateDirectory(const std::filesystem::path& dir, std::string* pProblem = nullptr);

// The refusal line for OstrelHome() or RuntimeDir(), empty when both are usable. Programs check this
// once at start so that an unsafe folder stops them with one clear line.
std::string PrivateFoldersProblem();

}  // namespace Platform
