#pragma once

#include <windows.h>

#include <dbghelp.h>

#include <cstdint>
#include <cstdlib>
#include <list>
#include <memory>
#include <string>
#include <vector>

#include "common/scopedhandle.h"
#include "common/storesecurity.h"
#include "crashclient/crashpipemessage.h"
#include "crashclient/crashserverclient.h"

// Which of the process's crash hooks a handler takes over.
enum CrashHandlerTypes {
    HOOK_UNHANDLED_EXCEPTION = 1,
    HOOK_INVALID_PARAMETER = 2,
    HOOK_PURE_CALL = 4,
    HOOK_ALL = 7,
};

// Called before a dump; false means no dump.
using CrashFilterCallback = bool (*)(void* context, EXCEPTION_POINTERS* exceptionInfo, AssertionInfo* assertion);
// Called after every dump attempt; its result replaces the handler's verdict. The dump path and
// id are null when the crash server wrote the dump.
using DumpResultCallback = bool (*)(const wchar_t* dumpPath, const wchar_t* dumpId, void* context,
                                    EXCEPTION_POINTERS* exceptionInfo, AssertionInfo* assertion, bool succeeded);

// A stretch of the process's memory to add to a dump written here.
struct ExtraMemoryRange {
    uint64_t address;
    uint32_t length;
};

// Takes over the process's crash hooks and turns a crash into a minidump: through the crash server
// when it accepted the registration, otherwise written here by a thread of the handler's own into
// "<dump path>\<guid>.dmp". Handlers stack: each puts back exactly the hooks it replaced.
class ProcessCrashHandler {
public:
    // How long a crashing thread waits for the handler thread's dump. The dump can deadlock on a
    // heap or loader lock that the crashed thread holds: past this the process ends without it, with
    // the exception's code, rather than hanging for ever.
    static constexpr DWORD kDefaultDumpWaitMs = 60000;

    // In-process handler writing MiniDumpNormal dumps.
    ProcessCrashHandler(const std::wstring& dumpPath, CrashFilterCallback filter, DumpResultCallback dumpCallback,
                        void* context, int handlerTypes);
    // Registers the given client; keeps it on success and destroys it otherwise.
    ProcessCrashHandler(const std::wstring& dumpPath, CrashFilterCallback filter, DumpResultCallback dumpCallback,
                        void* context, int handlerTypes, std::unique_ptr<CrashServerClient> client);
    // Tries the crash server on pipeName (none when null).
    ProcessCrashHandler(const std::wstring& dumpPath, CrashFilterCallback filter, DumpResultCallback dumpCallback,
                        void* context, int handlerTypes, MINIDUMP_TYPE dumpType, const wchar_t* pipeName,
                        const ClientInfoList* customInfo, DWORD dumpWaitMs = kDefaultDumpWaitMs);
    // Tries the crash server over a pipe already opened by the caller.
    ProcessCrashHandler(const std::wstring& dumpPath, CrashFilterCallback filter, DumpResultCallback dumpCallback,
                        void* context, int handlerTypes, MINIDUMP_TYPE dumpType, HANDLE pipeHandle,
                        const ClientInfoList* customInfo);
    ~ProcessCrashHandler();
    ProcessCrashHandler(const ProcessCrashHandler&) = delete;
    ProcessCrashHandler& operator=(const ProcessCrashHandler&) = delete;

    // True when the crash server accepted the registration and writes the dumps.
    bool IsOutOfProcess() const;

    // A dump of the calling thread's current state (exception code 0xC0000025).
    bool WriteDumpNow();
    bool WriteDumpForException(EXCEPTION_POINTERS* exceptionInfo);

    // The hooks, installed process-wide and shared by all handlers.
    static LONG WINAPI OnUnhandledException(EXCEPTION_POINTERS* exceptionInfo);
    static void __cdecl OnInvalidParameter(const wchar_t* expression, const wchar_t* function, const wchar_t* file,
                                           unsigned int line, uintptr_t reserved);
    static void __cdecl OnPureCall();

    static bool WriteDumpToDirectory(const std::wstring& dumpPath, DumpResultCallback dumpCallback, void* context,
                                     MINIDUMP_TYPE dumpType);
    static bool WriteDumpForOtherProcess(HANDLE process, DWORD threadId, const std::wstring& dumpPath,
                                         DumpResultCallback dumpCallback, void* context, MINIDUMP_TYPE dumpType);

    void AddExtraMemory(const void* pointer, uint32_t length);
    void RemoveExtraMemory(const void* pointer);
    bool RequestDumpUpload(uint32_t crashId);

private:
    friend class HandlerStackGuard;

    using MiniDumpWriteDumpFunction = BOOL(WINAPI*)(HANDLE, DWORD, HANDLE, MINIDUMP_TYPE,
                                                    PMINIDUMP_EXCEPTION_INFORMATION,
                                                    PMINIDUMP_USER_STREAM_INFORMATION, PMINIDUMP_CALLBACK_INFORMATION);
    using UuidCreateFunction = long(WINAPI*)(GUID*);

    void Initialize(const std::wstring& dumpPath, CrashFilterCallback filter, DumpResultCallback dumpCallback,
                    void* context, int handlerTypes, MINIDUMP_TYPE dumpType, const wchar_t* pipeName,
                    HANDLE pipeHandle, std::unique_ptr<CrashServerClient> client, const ClientInfoList* customInfo,
                    DWORD dumpWaitMs);
    bool WriteDumpForHook(EXCEPTION_POINTERS* exceptionInfo, AssertionInfo* assertion);
    static DWORD WINAPI HandlerThreadProc(LPVOID parameter);
    bool WriteDumpOnHandlerThread(EXCEPTION_POINTERS* exceptionInfo, AssertionInfo* assertion);
    bool WriteDumpWithException(DWORD requestingThreadId, EXCEPTION_POINTERS* exceptionInfo,
                                AssertionInfo* assertion);
    bool WriteDumpFile(DWORD requestingThreadId, EXCEPTION_POINTERS* exceptionInfo, AssertionInfo* assertion,
                       HANDLE process, bool writeRequesterStream);
    static BOOL CALLBACK DumpMemoryCallback(PVOID cursor, const PMINIDUMP_CALLBACK_INPUT input,
                                            PMINIDUMP_CALLBACK_OUTPUT output);
    void PrepareNextDumpPath();

    CrashFilterCallback m_filter = nullptr;
    DumpResultCallback m_dumpCallback = nullptr;
    void* m_callbackContext = nullptr;
    std::unique_ptr<CrashServerClient> m_crashServerClient;
    std::wstring m_dumpPath;
    // Fixed buffers: the next name is made again at crash time, where nothing may allocate.
    wchar_t m_nextDumpId[37] = {};
    wchar_t m_nextDumpPath[MAX_PATH] = {};
    const wchar_t* m_dumpPathText = nullptr;
    const wchar_t* m_nextDumpIdText = nullptr;
    const wchar_t* m_nextDumpPathText = nullptr;
    // A dump holds the process's memory, the store's secrets with it: it gets the store's access list.
    tavo::StoreSecurityAttributes m_dumpSecurity;
    tavo::ScopedModule m_dbghelpModule;
    MiniDumpWriteDumpFunction m_miniDumpWriteDump = nullptr;
    MINIDUMP_TYPE m_dumpType = MiniDumpNormal;
    tavo::ScopedModule m_rpcrt4Module;
    UuidCreateFunction m_uuidCreate = nullptr;
    int m_handlerTypes = 0;
    LPTOP_LEVEL_EXCEPTION_FILTER m_previousFilter = nullptr;
    _invalid_parameter_handler m_previousInvalidParameterHandler = nullptr;
    _purecall_handler m_previousPureCallHandler = nullptr;
    tavo::ScopedHandle m_handlerThread;
    // Set by the handler thread once it runs its own code.
    tavo::ScopedHandle m_handlerStarted;
    CRITICAL_SECTION m_handlerSection = {};
    tavo::ScopedHandle m_handlerStartSemaphore;
    tavo::ScopedHandle m_handlerFinishSemaphore;
    DWORD m_requestingThreadId = 0;
    EXCEPTION_POINTERS* m_requestExceptionInfo = nullptr;
    AssertionInfo* m_requestAssertion = nullptr;
    bool m_handlerResult = false;
    DWORD m_dumpWaitMs = kDefaultDumpWaitMs;
    std::list<ExtraMemoryRange> m_extraMemory;

    static std::vector<ProcessCrashHandler*>* s_handlerStack;
    static LONG s_handlerStackIndex;
    static CRITICAL_SECTION s_handlerStackLock;
    static LONG s_instanceCount;
};
