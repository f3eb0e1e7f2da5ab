// Where the system keeps its files and its named cross-process objects.
#pragma once

#include <filesystem>

namespace Platform {

// OSTREL_HOME, else $XDG_DATA_HOME/ostrel, else ~/.local/share/ostrel. Created (mode 0700) on first use.
std::filesystem::path OstrelHome();

// $XDG_RUNTIME_DIR/ostrel, else /tmp/ostrel-UID; mode 0700. Holds lock files and shared sections.
std::filesystem::path RuntimeDir();

// Creates the directory and its parents with mode 0700 when missing; true when it exists afterwards.
bool EnsurePrivateDirectory(const std::filesystem::path& dir);

}  // namespace Platform
