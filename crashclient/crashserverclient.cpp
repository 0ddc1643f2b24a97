#include "crashclient/crashserverclient.h"

#include <cstring>

#include "common/scopedhandle.h"

namespace {

constexpr DWORD kPipeAccess = FILE_READ_DATA | FILE_WRITE_DATA | FILE_WRITE_ATTRIBUTES;
constexpr DWORD kPipeFlags = SECURITY_SQOS_PRESENT | SECURITY_IDENTIFICATION;
constexpr DWORD kPipeBusyWaitMs = 2000;
constexpr int kPipeOpenAttempts = 2;
// A server that accepts the connection and then never answers must not hold up start-up.
constexpr DWORD kRegistrationStepMs = 5000;
constexpr DWORD kDumpWaitMs = 15000;

static_assert(kPipeAccess == 0x103 && kPipeFlags == 0x110000, "pipe access and flags");

// Opens the pipe, waiting for a free instance at most twice.
HANDLE openPipeByName(const wchar_t* name, DWORD access, DWORD flags) {
    for (int attempt = 1;; ++attempt) {
        HANDLE pipe = CreateFileW(name, access, 0, nullptr, OPEN_EXISTING, flags, nullptr);
        if (pipe != INVALID_HANDLE_VALUE) {
            return pipe;
        }
        if (GetLastError() != ERROR_PIPE_BUSY) {
            return nullptr;
        }
        if (!WaitNamedPipeW(name, kPipeBusyWaitMs) || attempt == kPipeOpenAttempts) {
            return nullptr;
        }
    }
}

// Finishes an operation that was started with `overlapped`, cancelling it when it has not ended
// within timeoutMs. A handle opened without FILE_FLAG_OVERLAPPED completes the operation at once.
bool finishWithin(HANDLE handle, BOOL completed, OVERLAPPED& overlapped, DWORD timeoutMs) {
    if (completed) {
        return true;
    }
    if (GetLastError() != ERROR_IO_PENDING) {
        return false;
    }
    if (WaitForSingleObject(overlapped.hEvent, timeoutMs) != WAIT_OBJECT_0) {
        CancelIoEx(handle, &overlapped);
    }
    DWORD transferred = 0;
    return GetOverlappedResult(handle, &overlapped, &transferred, TRUE) != FALSE;
}

}  // namespace

CrashServerClient::CrashServerClient(const wchar_t* pipeName, int dumpType, const ClientInfoList* customInfo)
    : m_pipeName(pipeName != nullptr ? pipeName : L""),
      m_pipeHandle(nullptr),
      m_customInfo(customInfo != nullptr ? *customInfo : ClientInfoList{}),
      m_dumpType(dumpType),
      m_dumpRequestEvent(nullptr),
      m_dumpGeneratedEvent(nullptr),
      m_serverAliveHandle(nullptr),
      m_serverId(0),
      m_threadId(0),
      m_exceptionPointers(nullptr),
      m_assertionInfo() {
    InitializeCriticalSection(&m_requestSection);
}

CrashServerClient::CrashServerClient(HANDLE pipeHandle, int dumpType, const ClientInfoList* customInfo)
    : CrashServerClient(static_cast<const wchar_t*>(nullptr), dumpType, customInfo) {
    m_pipeHandle = pipeHandle;
}

CrashServerClient::~CrashServerClient() {
    for (HANDLE handle : {m_dumpRequestEvent, m_dumpGeneratedEvent, m_serverAliveHandle}) {
        if (handle != nullptr) {
            CloseHandle(handle);
        }
    }
    DeleteCriticalSection(&m_requestSection);
}

HANDLE CrashServerClient::OpenPipe(const wchar_t* name, DWORD access, DWORD flags) {
    if (m_pipeHandle != nullptr) {
        HANDLE given = m_pipeHandle;
        m_pipeHandle = nullptr;
        return given;
    }
    return openPipeByName(name, access, flags);
}

HANDLE CrashServerClient::Connect(DWORD flags) {
    HANDLE pipe = OpenPipe(m_pipeName.c_str(), kPipeAccess, flags);
    if (pipe == nullptr) {
        return nullptr;
    }
    DWORD mode = PIPE_READMODE_MESSAGE;
    if (!SetNamedPipeHandleState(pipe, &mode, nullptr, nullptr)) {
        CloseHandle(pipe);
        return nullptr;
    }
    return pipe;
}

bool CrashServerClient::Register() {
    if (IsRegistered()) {
        return true;
    }
    tavo::ScopedHandle pipe(Connect(kPipeFlags | FILE_FLAG_OVERLAPPED));
    if (!pipe.valid()) {
        return false;
    }
    return SendRegistration(pipe.get());
}

bool CrashServerClient::IsRegistered() const {
    return m_dumpRequestEvent != nullptr;
}

bool CrashServerClient::SendRegistration(HANDLE pipe) {
    CrashPipeMessage request = {};
    request.tag = CRASH_MSG_REGISTER;
    request.id = GetCurrentProcessId();
    request.dumpType = static_cast<uint32_t>(m_dumpType);
    request.threadIdAddress = reinterpret_cast<uintptr_t>(&m_threadId);
    request.exceptionPointersAddress = reinterpret_cast<uintptr_t>(&m_exceptionPointers);
    request.assertionInfoAddress = reinterpret_cast<uintptr_t>(&m_assertionInfo);
    request.customInfo = m_customInfo;

    tavo::ScopedHandle done(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    if (!done.valid()) {
        return false;
    }
    CrashPipeMessage reply = {};
    DWORD read = 0;
    OVERLAPPED transaction = {};
    transaction.hEvent = done.get();
    const BOOL transacted =
        TransactNamedPipe(pipe, &request, sizeof(request), &reply, sizeof(reply), &read, &transaction);
    if (!finishWithin(pipe, transacted, transaction, kRegistrationStepMs)) {
        return false;
    }
    if (!IsValidRegistrationReply(reply)) {
        return false;
    }

    CrashPipeMessage ack = {};
    ack.tag = CRASH_MSG_REGISTER_ACK;
    DWORD written = 0;
    OVERLAPPED write = {};
    write.hEvent = done.get();
    ResetEvent(done.get());
    const BOOL wrote = WriteFile(pipe, &ack, sizeof(ack), &written, &write);
    if (!finishWithin(pipe, wrote, write, kRegistrationStepMs)) {
        return false;
    }

    m_dumpRequestEvent = reinterpret_cast<HANDLE>(reply.dumpRequestEvent);
    m_dumpGeneratedEvent = reinterpret_cast<HANDLE>(reply.dumpWrittenEvent);
    m_serverAliveHandle = reinterpret_cast<HANDLE>(reply.serverProcessHandle);
    m_serverId = reply.id;
    return true;
}

bool CrashServerClient::IsValidRegistrationReply(const CrashPipeMessage& reply) {
    return reply.tag == CRASH_MSG_REGISTER_REPLY && reply.id != 0 && reply.dumpRequestEvent != 0 &&
           reply.dumpWrittenEvent != 0 && reply.serverProcessHandle != 0;
}

bool CrashServerClient::RequestDump(EXCEPTION_POINTERS* exceptionInfo, const AssertionInfo* assertion) {
    if (!IsRegistered()) {
        return false;
    }
    EnterCriticalSection(&m_requestSection);
    m_exceptionPointers = exceptionInfo;
    m_threadId = GetCurrentThreadId();
    if (assertion != nullptr) {
        memcpy(&m_assertionInfo, assertion, sizeof(m_assertionInfo));
    } else {
        memset(&m_assertionInfo, 0, sizeof(m_assertionInfo));
    }
    const bool written = SignalDumpRequestAndWait();
    LeaveCriticalSection(&m_requestSection);
    return written;
}

bool CrashServerClient::RequestDump(EXCEPTION_POINTERS* exceptionInfo) {
    return RequestDump(exceptionInfo, nullptr);
}

bool CrashServerClient::RequestDump(const AssertionInfo* assertion) {
    return RequestDump(nullptr, assertion);
}

bool CrashServerClient::SignalDumpRequestAndWait() {
    if (!ResetEvent(m_dumpGeneratedEvent) || !SetEvent(m_dumpRequestEvent)) {
        return false;
    }
    const HANDLE waitFor[] = {m_dumpGeneratedEvent, m_serverAliveHandle};
    return WaitForMultipleObjects(2, waitFor, FALSE, kDumpWaitMs) == WAIT_OBJECT_0;
}

bool CrashServerClient::SendUploadRequest(uint32_t crashId) {
    tavo::ScopedHandle pipe(Connect(kPipeFlags));
    if (!pipe.valid()) {
        return false;
    }
    CrashPipeMessage upload = {};
    upload.tag = CRASH_MSG_UPLOAD;
    upload.id = crashId;
    DWORD written = 0;
    return WriteFile(pipe.get(), &upload, sizeof(upload), &written, nullptr) != FALSE;
}

HANDLE CrashServerClient::DuplicatePipeForProcess(const wchar_t* pipeName, HANDLE targetProcess) {
    HANDLE pipe = openPipeByName(pipeName, kPipeAccess, kPipeFlags);
    if (pipe == nullptr) {
        return INVALID_HANDLE_VALUE;
    }
    HANDLE duplicate = nullptr;
    if (!DuplicateHandle(GetCurrentProcess(), pipe, targetProcess, &duplicate, 0, FALSE,
                         DUPLICATE_CLOSE_SOURCE | DUPLICATE_SAME_ACCESS)) {
        return INVALID_HANDLE_VALUE;
    }
    return duplicate;
}
