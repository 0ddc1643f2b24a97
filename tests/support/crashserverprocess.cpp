#include "tests/support/crashserverprocess.h"

#include <windows.h>

#include <iostream>

namespace tavo::test {

namespace {

std::string uniquePipeName() {
    static LONG counter = 0;
    return "\\\\.\\pipe\\tavo-crash-test-" + std::to_string(GetCurrentProcessId()) + "-" +
           std::to_string(InterlockedIncrement(&counter));
}

}  // namespace

CrashServerProcess::CrashServerProcess(const std::string& mode, const std::string& dumpDir,
                                       const std::string& pipeName)
    : m_pipeNameA(pipeName.empty() ? uniquePipeName() : pipeName),
      m_pipeName(m_pipeNameA.begin(), m_pipeNameA.end()),
      m_process(ProgramCommand("crashserver") + " " + m_pipeNameA + " " + mode + " " +
                QuoteArgument(m_dir.file("report.txt")) + (dumpDir.empty() ? "" : " " + QuoteArgument(dumpDir))),
      m_ready(!waitForLine("ready", 20000).empty()) {}

std::vector<std::string> CrashServerProcess::report() const {
    const std::string text = ReadFileBytes(m_dir.file("report.txt"));
    std::vector<std::string> lines;
    size_t start = 0;
    for (size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1) {
        lines.push_back(text.substr(start, end - start));
    }
    return lines;
}

std::string CrashServerProcess::waitForLine(const std::string& prefix, unsigned long timeoutMs) const {
    const ULONGLONG deadline = GetTickCount64() + timeoutMs;
    for (;;) {
        for (const std::string& line : report()) {
            if (line.compare(0, prefix.size(), prefix) == 0) {
                return line;
            }
        }
        if (GetTickCount64() >= deadline) {
            return "";
        }
        Sleep(20);
    }
}

std::string CrashServerProcess::waitForConfirmation(unsigned long timeoutMs) const {
    const std::string line = waitForLine("confirmed ", timeoutMs);
    std::cout << "crash server: " << (line.empty() ? "no confirmation" : line) << std::endl;
    return line;
}

std::string ReportField(const std::string& line, const std::string& key) {
    const std::string marker = " " + key + "=";
    const size_t at = line.find(marker);
    if (at == std::string::npos) {
        return "";
    }
    const size_t start = at + marker.size();
    return line.substr(start, line.find(' ', start) - start);
}

}  // namespace tavo::test
