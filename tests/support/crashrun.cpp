#include "tests/support/crashrun.h"

#include "tests/support/childprocess.h"
#include "tests/support/testutils.h"

namespace tavo::test {

CrashRun RunCrashChild(const std::string& mode, const std::string& dumpDir, const std::string& pipeName) {
    TempDir logDir;
    const std::string logFile = logDir.file("child.log");
    CrashRun run;
    {
        ChildProcess child(ProgramCommand("crashchild") + " " + mode + " " + QuoteArgument(dumpDir) + " " +
                           QuoteArgument(logFile) + (pipeName.empty() ? "" : " " + QuoteArgument(pipeName)));
        run.exitCode = child.wait(50000);
    }
    run.dumps = FilesIn(dumpDir, "*.dmp");
    run.log = LogLines(ReadFileBytes(logFile));
    return run;
}

std::vector<std::string> FilesIn(const std::string& dir, const std::string& pattern) {
    std::vector<std::string> files;
    WIN32_FIND_DATAA data;
    HANDLE find = FindFirstFileA((dir + pattern).c_str(), &data);
    if (find == INVALID_HANDLE_VALUE) {
        return files;
    }
    do {
        if (!(data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) {
            files.push_back(dir + data.cFileName);
        }
    } while (FindNextFileA(find, &data));
    FindClose(find);
    return files;
}

}  // namespace tavo::test
