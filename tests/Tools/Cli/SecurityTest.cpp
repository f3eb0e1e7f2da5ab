// `ostrel` against folders and servers that try to get more out of it than they should.
#include "CliTestSupport.h"

#include <sys/stat.h>

namespace CliTest {

TEST(ProgramSecurity, AnUnsafeRuntimeFolderStopsEveryCommandInOneLine) {
    TestSupport::TempHome home;
    const auto run = home.Path() / "run" / "ostrel";
    std::filesystem::create_directories(run);
    ASSERT_EQ(chmod(run.c_str(), 0777), 0);
    const CommandRun result = RunProgram("config");
    EXPECT_EQ(result.iExit, 1);
    EXPECT_EQ(result.ErrLines(), 1u) << result.sErr;
    EXPECT_NE(result.sErr.find(run.string()), std::string::npos) << result.sErr;
    EXPECT_EQ(result.sOut, "");
}

}  // namespace CliTest
