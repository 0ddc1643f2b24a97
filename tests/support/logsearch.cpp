#include "tests/support/logsearch.h"

#include <windows.h>

#include "tests/support/testutils.h"

namespace tavo::test {

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
        const std::string bytes = ReadFileBytes(ProcessLogPath());
        const size_t complete = bytes.rfind("\r\n");
        if (complete != std::string::npos && bytes.substr(0, complete).find(text) != std::string::npos) {
            return true;
        }
        if (GetTickCount64() >= deadline) {
            return false;
        }
        Sleep(20);
    }
}

}  // namespace tavo::test
