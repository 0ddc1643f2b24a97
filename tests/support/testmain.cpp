// Entry of every test program: the process's logger is opened on a file of its own in the temporary
// folder first, as start-up does in the agent, so that units which log can run alone.
#include <windows.h>

#include <gtest/gtest.h>

#include "logging/tavologger.h"
#include "tests/support/testutils.h"

int main(int argc, char** argv) {
    // A process id can come again; its old log must not be taken for this run's lines.
    DeleteFileA(tavo::test::ProcessLogPath().c_str());
    CTAVOLogger::GetInstance(tavo::test::ProcessLogPath());
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
