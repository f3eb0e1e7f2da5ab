#include "Platform/Base/HResult.h"
#include "Platform/Base/Paths.h"
#include "Support/TempHome.h"

#include <sys/stat.h>

#include <gtest/gtest.h>

TEST(Paths, HomeAndRuntimeFollowTheEnvironmentAndArePrivate) {
    TestSupport::TempHome home;
    EXPECT_EQ(Platform::OstrelHome(), home.Path() / "home");
    EXPECT_EQ(Platform::RuntimeDir(), home.Path() / "run" / "ostrel");
    struct stat st {};
    ASSERT_EQ(stat(Platform::RuntimeDir().c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);
}

TEST(HResult, Win32ErrorsMapOntoTheWindowsValues) {
    EXPECT_EQ(HRESULT_FROM_WIN32(ERROR_ACCESS_DENIED), E_ACCESSDENIED);
    EXPECT_EQ(HRESULT_FROM_WIN32(ERROR_SUCCESS), S_OK);
    EXPECT_TRUE(FAILED(E_FAIL));
    EXPECT_TRUE(SUCCEEDED(S_FALSE));
}
