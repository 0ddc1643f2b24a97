#include "tests/support/childprocess.h"

#include <vector>

#include "tests/support/testutils.h"

namespace tavo::test {

ChildProcess::ChildProcess(const std::string& commandLine) {
    STARTUPINFOA startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION info = {};
    std::vector<char> line(commandLine.begin(), commandLine.end());
    line.push_back('\0');
    if (CreateProcessA(nullptr, line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &info)) {
        CloseHandle(info.hThread);
        m_process.reset(info.hProcess);
        m_mainThreadId = info.dwThreadId;
    }
}

ChildProcess::~ChildProcess() {
    if (m_process.valid() && WaitForSingleObject(m_process.get(), 0) == WAIT_TIMEOUT) {
        TerminateProcess(m_process.get(), 1);
        WaitForSingleObject(m_process.get(), 5000);
    }
}

DWORD ChildProcess::wait(DWORD timeoutMs) {
    if (!m_process.valid() || WaitForSingleObject(m_process.get(), timeoutMs) != WAIT_OBJECT_0) {
        return STILL_ACTIVE;
    }
    DWORD code = STILL_ACTIVE;
    GetExitCodeProcess(m_process.get(), &code);
    return code;
}

std::string ProgramCommand(const std::string& program) {
    return QuoteArgument(ProgramDir() + program + ".exe");
}

std::string QuoteArgument(const std::string& argument) {
    size_t trailing = 0;
    while (trailing < argument.size() && argument[argument.size() - 1 - trailing] == '\\') {
        ++trailing;
    }
    return "\"" + argument + std::string(trailing, '\\') + "\"";
}

}  // namespace tavo::test
