// Entry of every test program: the process's logger is opened on a file in the temporary folder
// first, as start-up does in the agent, so that units which log can run alone.
#include <windows.h>

#include <gtest/gtest.h>

#include "logging/tavologger.h"

int main(int argc, char** argv) {
    char tempDir[MAX_PATH] = {};
    GetTempPathA(MAX_PATH, tempDir);
    char exePath[MAX_PATH] = {};
    GetModuleFileNameA(nullptr, exePath, MAX_PATH);
    const char* exeName = strrchr(exePath, '\\');
    CTAVOLogger::GetInstance(std::string(tempDir) + (exeName ? exeName + 1 : exePath) + ".log");
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
