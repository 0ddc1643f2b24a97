#pragma once

#include <windows.h>

#include <cstdint>
#include <string>

#include "crashclient/crashpipemessage.h"

// The client's side of the out-of-process crash server: one registration over the server's
// message pipe at start-up, then dump requests through the three handles the server gave.
class CrashServerClient {
public:
    // customInfo may be null (no custom information).
    CrashServerClient(const wchar_t* pipeName, int dumpType, const ClientInfoList* customInfo);
    // A pipe already opened by the creator; it is used for one registration and then closed.
    CrashServerClient(HANDLE pipeHandle, int dumpType, const ClientInfoList* customInfo);
    ~CrashServerClient();
    CrashServerClient(const CrashServerClient&) = delete;
    CrashServerClient& operator=(const CrashServerClient&) = delete;

    bool Register();
    bool IsRegistered() const;

    // True when the server reported the dump written.
    bool RequestDump(EXCEPTION_POINTERS* exceptionInfo, const AssertionInfo* assertion);
    bool RequestDump(EXCEPTION_POINTERS* exceptionInfo);
    bool RequestDump(const AssertionInfo* assertion);

    bool SendUploadRequest(uint32_t crashId);
    // The pipe opened here and handed to targetProcess; INVALID_HANDLE_VALUE on failure.
    static HANDLE DuplicatePipeForProcess(const wchar_t* pipeName, HANDLE targetProcess);

private:
    HANDLE OpenPipe(const wchar_t* name, DWORD access, DWORD flags);
    HANDLE Connect(DWORD flags);
    bool SendRegistration(HANDLE pipe);
    static bool IsValidRegistrationReply(const CrashPipeMessage& reply);
    bool SignalDumpRequestAndWait();

    std::wstring m_pipeName;
    HANDLE m_pipeHandle;
    ClientInfoList m_customInfo;
    int m_dumpType;
    HANDLE m_dumpRequestEvent;
    HANDLE m_dumpGeneratedEvent;
    HANDLE m_serverAliveHandle;
    uint32_t m_serverId;
    // Read by the server out of this process while a request waits: the object must not move.
    DWORD m_threadId;
    EXCEPTION_POINTERS* m_exceptionPointers;
    AssertionInfo m_assertionInfo;
    // One request at a time: a hook on one thread and an abort on another share the fields above.
    CRITICAL_SECTION m_requestSection;
};
