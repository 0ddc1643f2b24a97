#pragma once

#include <string>
#include <vector>

namespace tavo::test {

// Index of the first line at or after `from` that contains text, or -1.
int FindLogLine(const std::vector<std::string>& lines, const std::string& text, int from = 0);

// Waits up to timeoutMs for the process's log to hold a line that contains text. Unlike LogTail,
// it may read while other threads are still logging: a line not yet complete is not looked at.
bool WaitForLogLine(const std::string& text, unsigned long timeoutMs);

}  // namespace tavo::test
