#include "crashclient/processcrashhandler.h"

#include <algorithm>
#include <cstdio>

#include "common/tavoutils.h"
#include "crashclient/dumpname.h"

namespace {

constexpr SIZE_T kHandlerThreadStackSize = 0x10000;
// How long the destructor gives a handler thread that has not yet started.
constexpr DWORD kHandlerStartWaitMs = 5000;
constexpr DWORD kStatusInvalidParameter = 0xC000000D;
constexpr DWORD kStatusNoncontinuableException = 0xC0000025;
constexpr DWORD kDbgPrintExceptionC = 0x40010006;
constexpr DWORD kDbgPrintExceptionWideC = 0x4001000A;
constexpr ULONG kRequesterInfoStream = 0x47670001;
constexpr ULONG kAssertionInfoStream = 0x47670002;
constexpr uintptr_t kCodeBytesAround = 128;
constexpr size_t kTextUnits = 128;

// Both thread ids below are valid.
struct RequesterInfo {
    uint32_t validity;
    uint32_t dumpThreadId;
    uint32_t requestingThreadId;
};
static_assert(sizeof(RequesterInfo) == 12, "requester stream");

struct MemoryCursor {
    std::list<ExtraMemoryRange>::const_iterator next;
    std::list<ExtraMemoryRange>::const_iterator end;
};

uintptr_t instructionPointer(const CONTEXT& context) {
#if defined(_WIN64)
    return static_cast<uintptr_t>(context.Rip);
#else
    return static_cast<uintptr_t>(context.Eip);
#endif
}

DWORD exceptionCode(const EXCEPTION_POINTERS* exceptionInfo) {
    if (exceptionInfo == nullptr || exceptionInfo->ExceptionRecord == nullptr) {
        return kStatusNoncontinuableException;
    }
    return exceptionInfo->ExceptionRecord->ExceptionCode;
}

bool isDebuggerEvent(DWORD code) {
    return code == EXCEPTION_BREAKPOINT || code == EXCEPTION_SINGLE_STEP || code == kDbgPrintExceptionC ||
           code == kDbgPrintExceptionWideC;
}

// The exception record that stands for an assertion: its texts and line as parameters.
void fillAssertionRecord(EXCEPTION_RECORD& record, DWORD code, const AssertionInfo& assertion) {
    record.ExceptionCode = code;
    record.NumberParameters = 3;
    record.ExceptionInformation[0] = reinterpret_cast<ULONG_PTR>(assertion.expression);
    record.ExceptionInformation[1] = reinterpret_cast<ULONG_PTR>(assertion.file);
    record.ExceptionInformation[2] = assertion.line;
}

template <typename Function>
Function procAddress(HMODULE module, const char* name) {
    if (module == nullptr) {
        return nullptr;
    }
    return reinterpret_cast<Function>(reinterpret_cast<void (*)()>(GetProcAddress(module, name)));
}

}  // namespace

std::vector<ProcessCrashHandler*>* ProcessCrashHandler::s_handlerStack = nullptr;
LONG ProcessCrashHandler::s_handlerStackIndex = 0;
CRITICAL_SECTION ProcessCrashHandler::s_handlerStackLock;
LONG ProcessCrashHandler::s_instanceCount = 0;

// Held by a hook for its whole run: crashes are handled one at a time, and while one is handled
// the process's hooks are the ones the handler replaced, so a fault inside the handling goes there.
class HandlerStackGuard {
public:
    HandlerStackGuard() {
        EnterCriticalSection(&ProcessCrashHandler::s_handlerStackLock);
        const std::vector<ProcessCrashHandler*>* stack = ProcessCrashHandler::s_handlerStack;
        const LONG position =
            stack != nullptr ? static_cast<LONG>(stack->size()) - 1 - ProcessCrashHandler::s_handlerStackIndex : -1;
        m_handler = position >= 0 ? (*stack)[static_cast<size_t>(position)] : nullptr;
        ++ProcessCrashHandler::s_handlerStackIndex;
        if (m_handler != nullptr) {
            SetUnhandledExceptionFilter(m_handler->m_previousFilter);
            _set_invalid_parameter_handler(m_handler->m_previousInvalidParameterHandler);
            _set_purecall_handler(m_handler->m_previousPureCallHandler);
        }
    }
    ~HandlerStackGuard() {
        SetUnhandledExceptionFilter(ProcessCrashHandler::OnUnhandledException);
        _set_invalid_parameter_handler(ProcessCrashHandler::OnInvalidParameter);
        _set_purecall_handler(ProcessCrashHandler::OnPureCall);
        --ProcessCrashHandler::s_handlerStackIndex;
        LeaveCriticalSection(&ProcessCrashHandler::s_handlerStackLock);
    }
    HandlerStackGuard(const HandlerStackGuard&) = delete;
    HandlerStackGuard& operator=(const HandlerStackGuard&) = delete;

    ProcessCrashHandler* handler() const { return m_handler; }

private:
    ProcessCrashHandler* m_handler = nullptr;
};

ProcessCrashHandler::ProcessCrashHandler(const std::wstring& dumpPath, CrashFilterCallback filter,
                                         DumpResultCallback dumpCallback, void* context, int handlerTypes) {
    Initialize(dumpPath, filter, dumpCallback, context, handlerTypes, MiniDumpNormal, nullptr, nullptr, nullptr,
               nullptr, kDefaultDumpWaitMs);
}

ProcessCrashHandler::ProcessCrashHandler(const std::wstring& dumpPath, CrashFilterCallback filter,
                                         DumpResultCallback dumpCallback, void* context, int handlerTypes,
                                         std::unique_ptr<CrashServerClient> client) {
    Initialize(dumpPath, filter, dumpCallback, context, handlerTypes, MiniDumpNormal, nullptr, nullptr,
               std::move(client), nullptr, kDefaultDumpWaitMs);
}

ProcessCrashHandler::ProcessCrashHandler(const std::wstring& dumpPath, CrashFilterCallback filter,
                                         DumpResultCallback dumpCallback, void* context, int handlerTypes,
                                         MINIDUMP_TYPE dumpType, const wchar_t* pipeName,
                                         const ClientInfoList* customInfo, DWORD dumpWaitMs) {
    Initialize(dumpPath, filter, dumpCallback, context, handlerTypes, dumpType, pipeName, nullptr, nullptr,
               customInfo, dumpWaitMs);
}

ProcessCrashHandler::ProcessCrashHandler(const std::wstring& dumpPath, CrashFilterCallback filter,
                                         DumpResultCallback dumpCallback, void* context, int handlerTypes,
                                         MINIDUMP_TYPE dumpType, HANDLE pipeHandle,
                                         const ClientInfoList* customInfo) {
    Initialize(dumpPath, filter, dumpCallback, context, handlerTypes, dumpType, nullptr, pipeHandle, nullptr,
               customInfo, kDefaultDumpWaitMs);
}

void ProcessCrashHandler::Initialize(const std::wstring& dumpPath, CrashFilterCallback filter,
                                     DumpResultCallback dumpCallback, void* context, int handlerTypes,
                                     MINIDUMP_TYPE dumpType, const wchar_t* pipeName, HANDLE pipeHandle,
                                     std::unique_ptr<CrashServerClient> client, const ClientInfoList* customInfo,
                                     DWORD dumpWaitMs) {
    const LONG instanceCount = InterlockedIncrement(&s_instanceCount);
    m_filter = filter;
    m_dumpWaitMs = dumpWaitMs;
    m_dumpCallback = dumpCallback;
    m_callbackContext = context;
    m_dumpType = dumpType;
    m_handlerTypes = handlerTypes;

    if (client == nullptr && pipeName != nullptr) {
        client = std::make_unique<CrashServerClient>(pipeName, dumpType, customInfo);
    } else if (client == nullptr && pipeHandle != nullptr) {
        client = std::make_unique<CrashServerClient>(pipeHandle, dumpType, customInfo);
    }
    if (client != nullptr && client->Register()) {
        m_crashServerClient = std::move(client);
    }
    client.reset();

    if (m_crashServerClient == nullptr) {
        InitializeCriticalSection(&m_handlerSection);
        m_handlerStartSemaphore.reset(CreateSemaphoreW(nullptr, 0, 1, nullptr));
        m_handlerFinishSemaphore.reset(CreateSemaphoreW(nullptr, 0, 1, nullptr));
        m_handlerStarted.reset(CreateEventW(nullptr, TRUE, FALSE, nullptr));
        if (m_handlerStartSemaphore.valid() && m_handlerFinishSemaphore.valid() && m_handlerStarted.valid()) {
            m_handlerThread.reset(
                CreateThread(nullptr, kHandlerThreadStackSize, HandlerThreadProc, this, 0, nullptr));
        }
        m_dbghelpModule.reset(LoadLibraryW(L"dbghelp.dll"));
        m_miniDumpWriteDump = procAddress<MiniDumpWriteDumpFunction>(m_dbghelpModule.get(), "MiniDumpWriteDump");
        m_rpcrt4Module.reset(LoadLibraryW(L"rpcrt4.dll"));
        m_uuidCreate = procAddress<UuidCreateFunction>(m_rpcrt4Module.get(), "UuidCreate");
        m_dumpPath = dumpPath;
        m_dumpPathText = m_dumpPath.c_str();
        PrepareNextDumpPath();
    }
    m_extraMemory.push_back(ExtraMemoryRange{0, 0});

    if (instanceCount == 1) {
        InitializeCriticalSection(&s_handlerStackLock);
    }
    if (m_handlerTypes == 0) {
        return;
    }
    EnterCriticalSection(&s_handlerStackLock);
    if (s_handlerStack == nullptr) {
        s_handlerStack = new std::vector<ProcessCrashHandler*>();
    }
    s_handlerStack->push_back(this);
    if (m_handlerTypes & HOOK_UNHANDLED_EXCEPTION) {
        m_previousFilter = SetUnhandledExceptionFilter(OnUnhandledException);
    }
    if (m_handlerTypes & HOOK_INVALID_PARAMETER) {
        m_previousInvalidParameterHandler = _set_invalid_parameter_handler(OnInvalidParameter);
    }
    if (m_handlerTypes & HOOK_PURE_CALL) {
        m_previousPureCallHandler = _set_purecall_handler(OnPureCall);
    }
    LeaveCriticalSection(&s_handlerStackLock);
}

ProcessCrashHandler::~ProcessCrashHandler() {
    if (m_handlerTypes != 0) {
        EnterCriticalSection(&s_handlerStackLock);
        if (m_handlerTypes & HOOK_UNHANDLED_EXCEPTION) {
            SetUnhandledExceptionFilter(m_previousFilter);
        }
        if (m_handlerTypes & HOOK_INVALID_PARAMETER) {
            _set_invalid_parameter_handler(m_previousInvalidParameterHandler);
        }
        if (m_handlerTypes & HOOK_PURE_CALL) {
            _set_purecall_handler(m_previousPureCallHandler);
        }
        if (s_handlerStack != nullptr) {
            if (!s_handlerStack->empty() && s_handlerStack->back() == this) {
                s_handlerStack->pop_back();
            } else {
                fputs("warning: removing crash handler out of order\n", stderr);
                s_handlerStack->erase(std::remove(s_handlerStack->begin(), s_handlerStack->end(), this),
                                      s_handlerStack->end());
            }
            if (s_handlerStack->empty()) {
                delete s_handlerStack;
                s_handlerStack = nullptr;
            }
        }
        LeaveCriticalSection(&s_handlerStackLock);
    }
    if (m_crashServerClient == nullptr) {
        if (m_handlerThread.valid()) {
            // A thread ended while it still starts (in the loader's thread attach) leaves the
            // loader's lock taken or the thread half set up, and the process hangs or crashes.
            WaitForSingleObject(m_handlerStarted.get(), kHandlerStartWaitMs);
            TerminateThread(m_handlerThread.get(), 1);
            m_handlerThread.reset();
        }
        DeleteCriticalSection(&m_handlerSection);
        m_handlerStartSemaphore.reset();
        m_handlerFinishSemaphore.reset();
        m_handlerStarted.reset();
    }
    if (InterlockedDecrement(&s_instanceCount) == 0) {
        DeleteCriticalSection(&s_handlerStackLock);
    }
}

bool ProcessCrashHandler::IsOutOfProcess() const {
    return m_crashServerClient != nullptr;
}

LONG WINAPI ProcessCrashHandler::OnUnhandledException(EXCEPTION_POINTERS* exceptionInfo) {
    HandlerStackGuard guard;
    ProcessCrashHandler* handler = guard.handler();
    if (handler == nullptr) {
        return EXCEPTION_CONTINUE_SEARCH;
    }
    if (!isDebuggerEvent(exceptionCode(exceptionInfo)) && handler->WriteDumpForHook(exceptionInfo, nullptr)) {
        return EXCEPTION_EXECUTE_HANDLER;
    }
    if (handler->m_previousFilter != nullptr) {
        return handler->m_previousFilter(exceptionInfo);
    }
    return EXCEPTION_CONTINUE_SEARCH;
}

// The process ends here whatever happens to the dump: returning would let the runtime carry on
// after a fault, and its exit processing would tear down objects that other threads still use.
void __cdecl ProcessCrashHandler::OnInvalidParameter(const wchar_t* expression, const wchar_t* function,
                                                     const wchar_t* file, unsigned int line, uintptr_t reserved) {
    HandlerStackGuard guard;
    AssertionInfo assertion = {};
    tavo::WcsLCpy(assertion.expression, expression != nullptr ? expression : L"", kTextUnits);
    tavo::WcsLCpy(assertion.function, function != nullptr ? function : L"", kTextUnits);
    tavo::WcsLCpy(assertion.file, file != nullptr ? file : L"", kTextUnits);
    assertion.line = line;
    assertion.type = ASSERTION_INVALID_PARAMETER;
    EXCEPTION_RECORD record = {};
    fillAssertionRecord(record, kStatusInvalidParameter, assertion);
    CONTEXT context = {};
    RtlCaptureContext(&context);
    EXCEPTION_POINTERS exceptionInfo = {&record, &context};

    ProcessCrashHandler* handler = guard.handler();
    const bool written = handler != nullptr && handler->WriteDumpForHook(&exceptionInfo, &assertion);
    if (!written && handler != nullptr && handler->m_previousInvalidParameterHandler != nullptr) {
        handler->m_previousInvalidParameterHandler(expression, function, file, line, reserved);
    }
    TerminateProcess(GetCurrentProcess(), kStatusInvalidParameter);
}

void __cdecl ProcessCrashHandler::OnPureCall() {
    HandlerStackGuard guard;
    AssertionInfo assertion = {};
    assertion.type = ASSERTION_PURE_CALL;
    EXCEPTION_RECORD record = {};
    fillAssertionRecord(record, kStatusNoncontinuableException, assertion);
    CONTEXT context = {};
    RtlCaptureContext(&context);
    EXCEPTION_POINTERS exceptionInfo = {&record, &context};

    ProcessCrashHandler* handler = guard.handler();
    const bool written = handler != nullptr && handler->WriteDumpForHook(&exceptionInfo, &assertion);
    if (!written && handler != nullptr && handler->m_previousPureCallHandler != nullptr) {
        handler->m_previousPureCallHandler();
    }
    TerminateProcess(GetCurrentProcess(), kStatusNoncontinuableException);
}

bool ProcessCrashHandler::WriteDumpForHook(EXCEPTION_POINTERS* exceptionInfo, AssertionInfo* assertion) {
    if (m_crashServerClient != nullptr) {
        return WriteDumpWithException(GetCurrentThreadId(), exceptionInfo, assertion);
    }
    return WriteDumpOnHandlerThread(exceptionInfo, assertion);
}

bool ProcessCrashHandler::WriteDumpNow() {
    EXCEPTION_RECORD record = {};
    record.ExceptionCode = kStatusNoncontinuableException;
    CONTEXT context = {};
    RtlCaptureContext(&context);
    EXCEPTION_POINTERS exceptionInfo = {&record, &context};
    return WriteDumpForException(&exceptionInfo);
}

bool ProcessCrashHandler::WriteDumpForException(EXCEPTION_POINTERS* exceptionInfo) {
    if (m_crashServerClient != nullptr) {
        return WriteDumpWithException(GetCurrentThreadId(), exceptionInfo, nullptr);
    }
    // The next name is made before another request can reach the handler thread and read it.
    EnterCriticalSection(&m_handlerSection);
    const bool written = WriteDumpOnHandlerThread(exceptionInfo, nullptr);
    PrepareNextDumpPath();
    LeaveCriticalSection(&m_handlerSection);
    return written;
}

bool ProcessCrashHandler::WriteDumpOnHandlerThread(EXCEPTION_POINTERS* exceptionInfo, AssertionInfo* assertion) {
    EnterCriticalSection(&m_handlerSection);
    if (!m_handlerThread.valid()) {
        LeaveCriticalSection(&m_handlerSection);
        return false;
    }
    m_requestingThreadId = GetCurrentThreadId();
    m_requestExceptionInfo = exceptionInfo;
    m_requestAssertion = assertion;
    ReleaseSemaphore(m_handlerStartSemaphore.get(), 1, nullptr);
    if (WaitForSingleObject(m_handlerFinishSemaphore.get(), m_dumpWaitMs) != WAIT_OBJECT_0) {
        TerminateProcess(GetCurrentProcess(), exceptionCode(exceptionInfo));
    }
    const bool written = m_handlerResult;
    m_requestingThreadId = 0;
    m_requestExceptionInfo = nullptr;
    m_requestAssertion = nullptr;
    LeaveCriticalSection(&m_handlerSection);
    return written;
}

DWORD WINAPI ProcessCrashHandler::HandlerThreadProc(LPVOID parameter) {
    ProcessCrashHandler* self = static_cast<ProcessCrashHandler*>(parameter);
    SetEvent(self->m_handlerStarted.get());
    for (;;) {
        if (WaitForSingleObject(self->m_handlerStartSemaphore.get(), INFINITE) != WAIT_OBJECT_0) {
            continue;
        }
        self->m_handlerResult = self->WriteDumpWithException(self->m_requestingThreadId,
                                                             self->m_requestExceptionInfo, self->m_requestAssertion);
        ReleaseSemaphore(self->m_handlerFinishSemaphore.get(), 1, nullptr);
    }
}

bool ProcessCrashHandler::WriteDumpWithException(DWORD requestingThreadId, EXCEPTION_POINTERS* exceptionInfo,
                                                 AssertionInfo* assertion) {
    if (m_filter != nullptr && !m_filter(m_callbackContext, exceptionInfo, assertion)) {
        return false;
    }
    bool succeeded;
    if (m_crashServerClient != nullptr) {
        succeeded = m_crashServerClient->RequestDump(exceptionInfo, assertion);
    } else {
        succeeded = WriteDumpFile(requestingThreadId, exceptionInfo, assertion, GetCurrentProcess(), true);
    }
    if (m_dumpCallback != nullptr) {
        return m_dumpCallback(m_dumpPathText, m_nextDumpIdText, m_callbackContext, exceptionInfo, assertion,
                              succeeded);
    }
    return succeeded;
}

bool ProcessCrashHandler::WriteDumpFile(DWORD requestingThreadId, EXCEPTION_POINTERS* exceptionInfo,
                                        AssertionInfo* assertion, HANDLE process, bool writeRequesterStream) {
    SECURITY_ATTRIBUTES* security = m_dumpSecurity.get();
    if (m_miniDumpWriteDump == nullptr || security == nullptr) {
        return false;
    }
    // CREATE_NEW: an existing file is never overwritten.
    tavo::ScopedHandle file(CreateFileW(m_nextDumpPathText, GENERIC_WRITE, 0, security, CREATE_NEW,
                                        FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file.valid()) {
        return false;
    }
    MINIDUMP_EXCEPTION_INFORMATION exception = {};
    exception.ThreadId = requestingThreadId;
    exception.ExceptionPointers = exceptionInfo;
    exception.ClientPointers = FALSE;

    RequesterInfo requester = {3, GetCurrentThreadId(), requestingThreadId};
    MINIDUMP_USER_STREAM streams[2] = {};
    ULONG streamCount = 0;
    if (writeRequesterStream) {
        streams[streamCount++] = MINIDUMP_USER_STREAM{kRequesterInfoStream, sizeof(requester), &requester};
    }
    if (assertion != nullptr) {
        streams[streamCount++] = MINIDUMP_USER_STREAM{kAssertionInfoStream, sizeof(*assertion), assertion};
    }
    MINIDUMP_USER_STREAM_INFORMATION userStreams = {streamCount, streams};

    // The code around the faulting instruction, within its memory region.
    if (exceptionInfo != nullptr && exceptionInfo->ContextRecord != nullptr) {
        const uintptr_t ip = instructionPointer(*exceptionInfo->ContextRecord);
        MEMORY_BASIC_INFORMATION region = {};
        if (VirtualQueryEx(process, reinterpret_cast<LPCVOID>(ip), &region, sizeof(region)) != 0 &&
            region.State == MEM_COMMIT) {
            const uintptr_t base = reinterpret_cast<uintptr_t>(region.BaseAddress);
            const uintptr_t start = ip - std::min<uintptr_t>(ip - base, kCodeBytesAround);
            const uintptr_t end = ip + std::min<uintptr_t>(base + region.RegionSize - ip, kCodeBytesAround);
            m_extraMemory.front() = ExtraMemoryRange{start, static_cast<uint32_t>(end - start)};
        }
    }
    MemoryCursor cursor = {m_extraMemory.begin(), m_extraMemory.end()};
    if (cursor.next->address == 0) {
        ++cursor.next;
    }
    MINIDUMP_CALLBACK_INFORMATION callback = {DumpMemoryCallback, &cursor};

    const BOOL written = m_miniDumpWriteDump(process, GetProcessId(process), file.get(), m_dumpType,
                                             exceptionInfo != nullptr ? &exception : nullptr, &userStreams,
                                             &callback);
    return written == TRUE;
}

BOOL CALLBACK ProcessCrashHandler::DumpMemoryCallback(PVOID cursor, const PMINIDUMP_CALLBACK_INPUT input,
                                                      PMINIDUMP_CALLBACK_OUTPUT output) {
    switch (input->CallbackType) {
    case ModuleCallback:
    case ThreadCallback:
    case IncludeThreadCallback:
    case IncludeModuleCallback:
        return TRUE;
    case MemoryCallback: {
        MemoryCursor* memory = static_cast<MemoryCursor*>(cursor);
        if (memory->next == memory->end) {
            return FALSE;
        }
        output->MemoryBase = memory->next->address;
        output->MemorySize = memory->next->length;
        ++memory->next;
        return TRUE;
    }
    case CancelCallback:
        output->Cancel = FALSE;
        output->CheckCancel = FALSE;
        return TRUE;
    default:
        return FALSE;
    }
}

void ProcessCrashHandler::PrepareNextDumpPath() {
    GUID guid = {};
    if (m_uuidCreate != nullptr) {
        m_uuidCreate(&guid);
    }
    GuidToString(guid, m_nextDumpId, sizeof(m_nextDumpId) / sizeof(m_nextDumpId[0]));
    m_nextDumpIdText = m_nextDumpId;
    const size_t capacity = sizeof(m_nextDumpPath) / sizeof(m_nextDumpPath[0]);
    _snwprintf(m_nextDumpPath, capacity, L"%ls\\%ls.dmp", m_dumpPathText, m_nextDumpIdText);
    m_nextDumpPath[capacity - 1] = L'\0';
    m_nextDumpPathText = m_nextDumpPath;
}

bool ProcessCrashHandler::WriteDumpToDirectory(const std::wstring& dumpPath, DumpResultCallback dumpCallback,
                                               void* context, MINIDUMP_TYPE dumpType) {
    ProcessCrashHandler handler(dumpPath, nullptr, dumpCallback, context, 0, dumpType,
                                static_cast<const wchar_t*>(nullptr), nullptr);
    return handler.WriteDumpNow();
}

bool ProcessCrashHandler::WriteDumpForOtherProcess(HANDLE process, DWORD threadId, const std::wstring& dumpPath,
                                                   DumpResultCallback dumpCallback, void* context,
                                                   MINIDUMP_TYPE dumpType) {
    ProcessCrashHandler handler(dumpPath, nullptr, nullptr, nullptr, 0, dumpType,
                                static_cast<const wchar_t*>(nullptr), nullptr);
    tavo::ScopedHandle thread(
        OpenThread(THREAD_SUSPEND_RESUME | THREAD_GET_CONTEXT | THREAD_QUERY_INFORMATION, FALSE, threadId));
    bool suspended = false;
    bool haveContext = false;
    EXCEPTION_RECORD record = {};
    CONTEXT threadContext = {};
    if (thread.valid()) {
        suspended = SuspendThread(thread.get()) != static_cast<DWORD>(-1);
        threadContext.ContextFlags = CONTEXT_ALL;
        if (GetThreadContext(thread.get(), &threadContext)) {
            record.ExceptionCode = EXCEPTION_BREAKPOINT;
            record.ExceptionAddress = reinterpret_cast<PVOID>(instructionPointer(threadContext));
            haveContext = true;
        }
    }
    EXCEPTION_POINTERS exceptionInfo = {&record, &threadContext};
    bool written = handler.WriteDumpFile(threadId, haveContext ? &exceptionInfo : nullptr, nullptr, process, false);
    if (suspended) {
        ResumeThread(thread.get());
    }
    if (dumpCallback != nullptr) {
        written = dumpCallback(handler.m_dumpPathText, handler.m_nextDumpIdText, context, nullptr, nullptr, written);
    }
    return written;
}

void ProcessCrashHandler::AddExtraMemory(const void* pointer, uint32_t length) {
    const uint64_t address = reinterpret_cast<uintptr_t>(pointer);
    for (const ExtraMemoryRange& range : m_extraMemory) {
        if (range.address == address) {
            return;
        }
    }
    m_extraMemory.push_back(ExtraMemoryRange{address, length});
}

void ProcessCrashHandler::RemoveExtraMemory(const void* pointer) {
    const uint64_t address = reinterpret_cast<uintptr_t>(pointer);
    // The first entry is kept for the code around the faulting instruction.
    m_extraMemory.remove_if([&](const ExtraMemoryRange& range) {
        return &range != &m_extraMemory.front() && range.address == address;
    });
}

bool ProcessCrashHandler::RequestDumpUpload(uint32_t crashId) {
    return m_crashServerClient != nullptr && m_crashServerClient->SendUploadRequest(crashId);
}
