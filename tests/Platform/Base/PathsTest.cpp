#include "Platform/Base/HResult.h"
#include "Platform/Base/Paths.h"
#include "Support/TempHome.h"

#include <sys/stat.h>

#include <cstdlib>
#include <optional>
#include <string>

#include <gtest/gtest.h>

TEST(Paths, HomeAndRuntimeFollowTheEnvironmentAndArePrivate) {
    TestSupport::TempHome home;
    EXPECT_EQ(Platform::OstrelHome(), home.Path() / "home");
    EXPECT_EQ(Platform::RuntimeDir(), home.Path() / "run" / "ostrel");
    struct stat st {};
    ASSERT_EQ(stat(Platform::RuntimeDir().c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);
}

namespace {

// Sets an environment variable for the life of the object (null: unset), then puts it back.
class ScopedEnv {
public:
    ScopedEnv(const char* name, const char* value) : m_name(name) {
        if (const char* old = std::getenv(name))
            m_old = old;
        value ? setenv(name, value, 1) : unsetenv(name);
    }
    ~ScopedEnv() { m_old ? setenv(m_name, m_old->c_str(), 1) : unsetenv(m_name); }

private:
    const char* m_name;
    std::optional<std::string> m_old;
};

}  // namespace

// The data folder decides whether a user finds the stored data again: OSTREL_HOME, else
// XDG_DATA_HOME, else the home folder's .local/share; a variable set but empty counts as unset.
TEST(Paths, DataFolderFallsBackThroughTheEnvironmentInOrder) {
    TestSupport::TempHome temp;
    const std::string data = (temp.Path() / "data").string(), user = (temp.Path() / "user").string();
    ScopedEnv ostrel("OSTREL_HOME", "");
    ScopedEnv xdg("XDG_DATA_HOME", data.c_str());
    ScopedEnv home("HOME", user.c_str());
    EXPECT_EQ(Platform::OstrelHome(), temp.Path() / "data" / "ostrel");
    {
        ScopedEnv noXdg("XDG_DATA_HOME", "");
        EXPECT_EQ(Platform::OstrelHome(), temp.Path() / "user" / ".local" / "share" / "ostrel");
    }
    struct stat st {};
    ASSERT_EQ(stat((temp.Path() / "user" / ".local" / "share" / "ostrel").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);
}

TEST(HResult, Win32ErrorsMapOntoTheWindowsValues) {
    EXPECT_EQ(HRESULT_FROM_WIN32(ERROR_ACCESS_DENIED), E_ACCESSDENIED);
    EXPECT_EQ(HRESULT_FROM_WIN32(ERROR_SUCCESS), S_OK);
    EXPECT_TRUE(FAILED(E_FAIL));
    EXPECT_TRUE(SUCCEEDED(S_FALSE));
}
