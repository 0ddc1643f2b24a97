#pragma once

#include <string>
#include <vector>

#include "tests/support/testutils.h"

namespace tavo::test {

// Index of the first line at or after `from` that contains text, or -1.
int FindLogLine(const std::vector<std::string>& lines, const std::string& text, int from = 0);

// Waits up to timeoutMs for the tail to gain a line that contains text.
bool WaitForLogLine(const LogTail& tail, const std::string& text, unsigned long timeoutMs);

}  // namespace tavo::test
