// A fresh OSTREL_HOME and runtime directory for one test, removed afterwards.
#pragma once

#include <filesystem>
#include <string>

namespace TestSupport {

class TempHome {
public:
    TempHome();
    ~TempHome();
    TempHome(const TempHome&) = delete;
    TempHome& operator=(const TempHome&) = delete;

    const std::filesystem::path& Path() const { return m_path; }

private:
    std::filesystem::path m_path;
    std::string m_oldHome;
    std::string m_oldRuntime;
    bool m_hadHome = false;
    bool m_hadRuntime = false;
};

// Directory of the checked-in test data (tests/data).
std::filesystem::path DataDir();

}  // namespace TestSupport
