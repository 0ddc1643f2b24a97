#pragma once

#include <windows.h>

#include <string>

#include "common/scopedhandle.h"

namespace tavo::test {

// A second process started from a command line; ended when the owner goes out of scope.
class ChildProcess {
public:
    explicit ChildProcess(const std::string& commandLine);
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    bool started() const { return m_process.valid(); }
    DWORD mainThreadId() const { return m_mainThreadId; }
    HANDLE handle() const { return m_process.get(); }
    // The exit code once it has ended within timeoutMs; STILL_ACTIVE otherwise.
    DWORD wait(DWORD timeoutMs);

private:
    tavo::ScopedHandle m_process;
    DWORD m_mainThreadId = 0;
};

// "<folder of the test program>\<program>.exe" quoted, for a command line.
std::string ProgramCommand(const std::string& program);
// One argument of a command line, quoted so that the child's runtime reads it back as it is
// (a trailing backslash would otherwise escape the closing quote).
std::string QuoteArgument(const std::string& argument);

}  // namespace tavo::test
