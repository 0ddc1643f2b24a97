#pragma once

#include <string>
#include <vector>

#include "tests/support/childprocess.h"
#include "tests/support/testutils.h"

namespace tavo::test {

// The crash-server stand-in (programs/crashserver.cpp) on a pipe name of its own, in one of its
// modes, started and waited for until it serves the pipe. Ended when the owner goes out of scope.
class CrashServerProcess {
public:
    // With dumpDir the server writes the dumps it is asked for there. pipeName is for the one test
    // that serves the agent's own pipe; every other test gets a name of its own.
    explicit CrashServerProcess(const std::string& mode, const std::string& dumpDir = "",
                                const std::string& pipeName = "");

    bool ready() const { return m_ready; }
    const std::wstring& pipeName() const { return m_pipeName; }
    const std::string& pipeNameA() const { return m_pipeNameA; }
    // The report's lines so far.
    std::vector<std::string> report() const;
    // Waits up to timeoutMs for a report line that begins with prefix; returns it, or "".
    std::string waitForLine(const std::string& prefix, unsigned long timeoutMs) const;
    // Waits like waitForLine for the line that says how long after the request the server
    // confirmed a dump, and prints it, so that a run's log shows the margin under the client's 15 s.
    std::string waitForConfirmation(unsigned long timeoutMs) const;
    DWORD wait(DWORD timeoutMs) { return m_process.wait(timeoutMs); }
    HANDLE processHandle() const { return m_process.handle(); }
    DWORD mainThreadId() const { return m_process.mainThreadId(); }

private:
    TempDir m_dir;
    std::string m_pipeNameA;
    std::wstring m_pipeName;
    ChildProcess m_process;
    bool m_ready;
};

// The value of "key=" in a report line, up to the next blank; "" when absent.
std::string ReportField(const std::string& line, const std::string& key);

}  // namespace tavo::test
