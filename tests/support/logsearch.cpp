#include "tests/support/logsearch.h"

#include <windows.h>

namespace tavo::test {

int FindLogLine(const std::vector<std::string>& lines, const std::string& text, int from) {
    for (size_t i = from < 0 ? 0 : static_cast<size_t>(from); i < lines.size(); ++i) {
        if (lines[i].find(text) != std::string::npos) {
            return static_cast<int>(i);
        }
    }
    return -1;
}

bool WaitForLogLine(const LogTail& tail, const std::string& text, unsigned long timeoutMs) {
    const ULONGLONG deadline = GetTickCount64() + timeoutMs;
    for (;;) {
        if (FindLogLine(tail.lines(), text) >= 0) {
            return true;
        }
        if (GetTickCount64() >= deadline) {
            return false;
        }
        Sleep(20);
    }
}

}  // namespace tavo::test
