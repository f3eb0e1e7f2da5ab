// One OSTREL_HOME for the whole test program: the registry's zone database is built there once
// and shared by the zone and appointment tests.
#include "Support/TempHome.h"

#include <gtest/gtest.h>

namespace {

class HomeEnvironment : public ::testing::Environment {
public:
    void SetUp() override { m_pHome = std::make_unique<TestSupport::TempHome>(); }
    void TearDown() override { m_pHome.reset(); }

private:
    std::unique_ptr<TestSupport::TempHome> m_pHome;
};

[[maybe_unused]] ::testing::Environment* const g_pHome = ::testing::AddGlobalTestEnvironment(new HomeEnvironment);

}  // namespace
