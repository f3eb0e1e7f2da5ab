#include "Support/TempHome.h"

#include <cstdlib>
#include <stdexcept>

namespace TestSupport {

namespace {

bool Save(const char* name, std::string& out) {
    const char* value = std::getenv(name);
    if (value)
        out = value;
    return value != nullptr;
}

void Restore(const char* name, bool had, const std::string& value) {
    if (had)
        setenv(name, value.c_str(), 1);
    else
        unsetenv(name);
}

}  // namespace

TempHome::TempHome() {
    std::string pattern = (std::filesystem::temp_directory_path() / "ostrel-test-XXXXXX").string();
    if (!mkdtemp(pattern.data()))
        throw std::runtime_error("mkdtemp failed");
    m_path = pattern;
    m_hadHome = Save("OSTREL_HOME", m_oldHome);
    m_hadRuntime = Save("XDG_RUNTIME_DIR", m_oldRuntime);
    setenv("OSTREL_HOME", (m_path / "home").c_str(), 1);
    setenv("XDG_RUNTIME_DIR", (m_path / "run").c_str(), 1);
}

TempHome::~TempHome() {
    Restore("OSTREL_HOME", m_hadHome, m_oldHome);
    Restore("XDG_RUNTIME_DIR", m_hadRuntime, m_oldRuntime);
    std::error_code ec;
    std::filesystem::remove_all(m_path, ec);
}

std::filesystem::path DataDir() {
    const char* dir = std::getenv("OSTREL_TEST_DATA");
    return dir ? std::filesystem::path(dir) : std::filesystem::path(OSTREL_SOURCE_DIR) / "tests" / "data";
}

}  // namespace TestSupport
