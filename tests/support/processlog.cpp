#include "tests/support/processlog.h"

#include <windows.h>

#include <cstring>
#include <fstream>
#include <sstream>

namespace tavo::test {

namespace {

// The file that the test programs' main opens the logger on.
std::string processLogPath() {
    char tempDir[MAX_PATH] = {};
    GetTempPathA(MAX_PATH, tempDir);
    char exePath[MAX_PATH] = {};
    GetModuleFileNameA(nullptr, exePath, MAX_PATH);
    const char* exeName = strrchr(exePath, '\\');
    return std::string(tempDir) + (exeName ? exeName + 1 : exePath) + ".log";
}

std::streamoff fileSize(const std::string& path) {
    std::ifstream in(path, std::ios::binary | std::ios::ate);
    return in ? static_cast<std::streamoff>(in.tellg()) : 0;
}

// Where this process's lines begin: an earlier process with the same id wrote only before it.
const std::streamoff s_startOffset = fileSize(processLogPath());

}  // namespace

std::vector<std::string> ProcessLogLines() {
    const std::string marker = "] [" + std::to_string(GetCurrentProcessId()) + "] T: ";
    std::ifstream in(processLogPath(), std::ios::binary | std::ios::ate);
    const std::streamoff size = in ? static_cast<std::streamoff>(in.tellg()) : 0;
    // A smaller file has been rotated since; all of it is new.
    in.seekg(size >= s_startOffset ? s_startOffset : 0);
    std::ostringstream text;
    text << in.rdbuf();
    const std::string bytes = text.str();
    std::vector<std::string> lines;
    size_t start = 0;
    for (size_t end; (end = bytes.find('\n', start)) != std::string::npos; start = end + 1) {
        std::string line = bytes.substr(start, end - start);
        if (line.find(marker) != std::string::npos) {
            lines.push_back(std::move(line));
        }
    }
    return lines;
}

int FindLogLine(const std::vector<std::string>& lines, const std::string& text, int from) {
    for (size_t i = from < 0 ? 0 : static_cast<size_t>(from); i < lines.size(); ++i) {
        if (lines[i].find(text) != std::string::npos) {
            return static_cast<int>(i);
        }
    }
    return -1;
}

bool WaitForLogLine(const std::string& text, unsigned long timeoutMs) {
    const ULONGLONG deadline = GetTickCount64() + timeoutMs;
    for (;;) {
        if (FindLogLine(ProcessLogLines(), text) >= 0) {
            return true;
        }
        if (GetTickCount64() >= deadline) {
            return false;
        }
        Sleep(20);
    }
}

}  // namespace tavo::test
