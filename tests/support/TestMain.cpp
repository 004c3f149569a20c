// The main of the test programs: the environment is isolated before any test runs.
#include "tests/support/TestEnv.h"

#include <gtest/gtest.h>

int main(int argc, char** argv)
{
    pello::IsolateEnvironment();
    ::testing::InitGoogleTest(&argc, argv);
    const int rc = RUN_ALL_TESTS();
    pello::RemoveScratch();
    return rc;
}
