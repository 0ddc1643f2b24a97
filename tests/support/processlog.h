#pragma once

#include <string>
#include <vector>

namespace tavo::test {

// The lines that this process wrote to its log file (test programs of the same name share it).
std::vector<std::string> ProcessLogLines();

// Index of the first line at or after `from` that contains text, or -1.
int FindLogLine(const std::vector<std::string>& lines, const std::string& text, int from = 0);

// Waits up to timeoutMs for a line of this process that contains text.
bool WaitForLogLine(const std::string& text, unsigned long timeoutMs);

}  // namespace tavo::test
