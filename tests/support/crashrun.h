#pragma once

#include <windows.h>

#include <string>
#include <vector>

namespace tavo::test {

// What a run of the crashing child (programs/crashchild.cpp) left behind.
struct CrashRun {
    DWORD exitCode = STILL_ACTIVE;
    // Full paths of the dump files in the dump folder.
    std::vector<std::string> dumps;
    // The child's log lines, each from its function name on, as LogTail gives them.
    std::vector<std::string> log;
};

// Runs the child in mode with dumpDir (ending with a backslash) and, when given, the crash
// server's pipe; waits up to 50 s for it to end.
CrashRun RunCrashChild(const std::string& mode, const std::string& dumpDir, const std::string& pipeName = "");

// Full paths of the files in dir (ending with a backslash) that match pattern ("*.dmp").
std::vector<std::string> FilesIn(const std::string& dir, const std::string& pattern);

}  // namespace tavo::test
