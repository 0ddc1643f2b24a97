#include "agent/commandexec.h"

#include <windows.h>

#include "common/scopedhandle.h"
#include "common/tavostatus.h"
#include "common/tavoutils.h"
#include "logging/tavolog.h"

using tavo::ScopedHandle;
using tavo::WcsLCpy;

namespace {

constexpr size_t kMaxCommandLine = 1023;
constexpr DWORD kReadChunk = 1023;

// Starts the hidden child with its standard output and standard error on childOutput and its standard
// input on a pipe of its own. The parent's end of that pipe is closed on return, so a child that
// reads its standard input gets the end of it at once instead of waiting for the parent.
int startChild(wchar_t* commandLine, HANDLE parentOutput, HANDLE childOutput) {
    if (!SetHandleInformation(parentOutput, HANDLE_FLAG_INHERIT, 0)) {
        TAVO_LOG(eLogError, true, "SetHandleInformation");
        return TAVO_ERROR;
    }
    SECURITY_ATTRIBUTES inherited = {sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
    ScopedHandle childInput;
    ScopedHandle parentInput;
    if (!CreatePipe(childInput.receive(), parentInput.receive(), &inherited, 0)) {
        TAVO_LOG(eLogError, true, "CreatePipe");
        return TAVO_INVALID_ARGUMENT;
    }
    if (!SetHandleInformation(parentInput.get(), HANDLE_FLAG_INHERIT, 0)) {
        TAVO_LOG(eLogError, true, "SetHandleInformation");
        return TAVO_ERROR;
    }

    TAVO_LOG(eLogDebug, false, "Executing Command Line= %ls", commandLine);
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = childInput.get();
    startup.hStdOutput = childOutput;
    startup.hStdError = childOutput;
    PROCESS_INFORMATION process = {};
    if (!CreateProcessW(nullptr, commandLine, nullptr, nullptr, TRUE, CREATE_NO_WINDOW, nullptr, nullptr,
                        &startup, &process)) {
        TAVO_LOG(eLogError, true, "CreateProcess failed");
        return TAVO_ERROR;
    }
    // The runner neither waits for the child nor reads its exit code.
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return TAVO_OK;
}

}  // namespace

int ExecuteCmd(const std::wstring& commandLine, std::string& output) {
    if (commandLine.empty()) {
        return TAVO_INVALID_ARGUMENT;
    }
    // Running only the first part of a longer line would run a different command.
    if (commandLine.size() > kMaxCommandLine) {
        TAVO_LOG(eLogError, false, "Command line of %u characters is longer than %u",
                 static_cast<unsigned>(commandLine.size()), static_cast<unsigned>(kMaxCommandLine));
        return TAVO_INVALID_ARGUMENT;
    }
    // CreateProcessW may write to the command line it is given.
    wchar_t buffer[kMaxCommandLine + 1] = {};
    WcsLCpy(buffer, commandLine.c_str(), kMaxCommandLine + 1);

    SECURITY_ATTRIBUTES inherited = {sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
    ScopedHandle parentOutput;
    HANDLE childOutput = nullptr;
    if (!CreatePipe(parentOutput.receive(), &childOutput, &inherited, 0)) {
        TAVO_LOG(eLogError, true, "CreatePipe");
        return TAVO_INVALID_ARGUMENT;
    }
    const int started = startChild(buffer, parentOutput.get(), childOutput);
    // The parent's copy of the child's end goes in every case; while it is open the reads below
    // would never see the end of the output.
    if (!CloseHandle(childOutput) && started == TAVO_OK) {
        TAVO_LOG(eLogError, true, "CloseHandle");
        return TAVO_ERROR;
    }
    if (started != TAVO_OK) {
        return started;
    }

    // Every byte read is kept, zero bytes included.
    char chunk[kReadChunk];
    DWORD read = 0;
    while (ReadFile(parentOutput.get(), chunk, kReadChunk, &read, nullptr) && read > 0) {
        output.append(chunk, read);
    }
    TAVO_LOG(eLogDebug, false, "\n Execute Response = %s", output.c_str());
    return TAVO_OK;
}

int RunCommand(const std::wstring& commandLine, std::list<std::string>& lines) {
    if (commandLine.empty()) {
        return TAVO_INVALID_ARGUMENT;
    }
    std::string output;
    const int result = ExecuteCmd(commandLine, output);
    if (result == TAVO_OK) {
        SplitLines(output, lines);
    }
    return result;
}

void SplitLines(const std::string& text, std::list<std::string>& lines) {
    size_t start = 0;
    for (size_t end = text.find('\n'); end != std::string::npos; end = text.find('\n', start)) {
        const std::string line = text.substr(start, end - start);
        lines.push_back(line.substr(0, line.find('\r')));
        start = end + 1;
    }
}
