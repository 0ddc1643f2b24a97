#pragma once

#include <windows.h>

#include <memory>
#include <string>

#include "crashclient/processcrashhandler.h"

// The agent's crash handling: the process's crash hooks and an abort handler, dumps through the
// crash server when it accepts the registration, otherwise written into the dump directory.
class CrashHandlerClient {
public:
    // dumpType is a MINIDUMP_TYPE (the agent uses 2, MiniDumpWithFullMemory).
    CrashHandlerClient(const std::wstring& dumpDirectory, int dumpType);

    // Installs the handler for the rest of the process; false only for an empty dump directory.
    bool SetupCrashHandler();
    std::unique_ptr<ProcessCrashHandler> CreateHandler();

    static bool DumpCallback(const wchar_t* dumpPath, const wchar_t* dumpId, void* context,
                             EXCEPTION_POINTERS* exceptionInfo, AssertionInfo* assertion, bool succeeded);
    // Reads nothing but the installed handler and the logger: it runs at crash time, when the
    // client object may be gone.
    static void CrashHandled(const wchar_t* dumpPath, const wchar_t* dumpId);
    static void OnAbortSignal(int signalNumber);

private:
    std::wstring m_wstrDumpDirectory;
    int m_iDumpType;

    // Lives until the exit processing that follows the return from wmain.
    static std::unique_ptr<ProcessCrashHandler> s_exceptionHandler;
};
