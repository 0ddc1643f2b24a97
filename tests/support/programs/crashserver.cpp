// Stand-in for the out-of-process crash server, serving one client on a message-mode pipe.
//   crashserver PIPENAME MODE REPORTFILE [DUMPDIR]
// It appends what it sees to REPORTFILE, one line each: "ready" once the pipe exists, the
// registration it received, the acknowledgement, every dump request with what it read from the
// client's memory, every dump it wrote (DUMPDIR\dump-N.dmp, only with DUMPDIR), and how long after
// the request it confirmed one.
// Modes:
//   serve        answers the registration and writes a dump for every request
//   refuse       reads the registration and disconnects without an answer
//   silent       reads the registration and never answers
//   busy         takes the pipe's only instance itself, so every open finds it busy
//   noconfirm    answers the registration, never confirms a dump
//   noack        answers the registration, never reads the acknowledgement (no input buffer)
//   exit         answers the registration and exits after the acknowledgement
//   badtag, zeroid, zerorequest, zerowritten, zeroalive
//                answers the registration with that field wrong
// It exits when its client does, and after 55 s in any case.
#include <windows.h>

#include <dbghelp.h>

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string>

#include "crashclient/crashpipemessage.h"

namespace {

constexpr DWORD kLifetimeMs = 55000;

FILE* g_report = nullptr;

void report(const char* format, ...) __attribute__((format(gnu_printf, 1, 2)));
void report(const char* format, ...) {
    va_list args;
    va_start(args, format);
    vfprintf(g_report, format, args);
    va_end(args);
    fputc('\n', g_report);
    fflush(g_report);
}

std::string narrow(const wchar_t* text, size_t units) {
    std::string out;
    for (size_t i = 0; i < units && text[i] != 0; ++i) {
        out += text[i] < 128 ? static_cast<char>(text[i]) : '?';
    }
    return out;
}

unsigned long long value(uintptr_t field) {
    return static_cast<unsigned long long>(field);
}

bool readMemory(HANDLE process, uintptr_t address, void* buffer, size_t size) {
    SIZE_T read = 0;
    return ReadProcessMemory(process, reinterpret_cast<LPCVOID>(address), buffer, size, &read) && read == size;
}

HANDLE duplicateInto(HANDLE client, HANDLE source, DWORD access, DWORD options) {
    HANDLE duplicate = nullptr;
    if (!DuplicateHandle(GetCurrentProcess(), source, client, &duplicate, access, FALSE, options)) {
        return nullptr;
    }
    return duplicate;
}

using MiniDumpWriteDumpFunction = BOOL(WINAPI*)(HANDLE, DWORD, HANDLE, MINIDUMP_TYPE, PMINIDUMP_EXCEPTION_INFORMATION,
                                                PMINIDUMP_USER_STREAM_INFORMATION, PMINIDUMP_CALLBACK_INFORMATION);

bool writeDump(HANDLE client, DWORD clientId, const std::string& path, DWORD dumpType, DWORD threadId,
               uintptr_t exceptionPointers) {
    HMODULE dbghelp = LoadLibraryW(L"dbghelp.dll");
    auto writer = reinterpret_cast<MiniDumpWriteDumpFunction>(
        reinterpret_cast<void (*)()>(GetProcAddress(dbghelp, "MiniDumpWriteDump")));
    if (writer == nullptr) {
        return false;
    }
    HANDLE file = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return false;
    }
    MINIDUMP_EXCEPTION_INFORMATION exception = {};
    exception.ThreadId = threadId;
    exception.ExceptionPointers = reinterpret_cast<PEXCEPTION_POINTERS>(exceptionPointers);
    exception.ClientPointers = TRUE;
    const BOOL written = writer(client, clientId, file, static_cast<MINIDUMP_TYPE>(dumpType),
                                exceptionPointers != 0 ? &exception : nullptr, nullptr, nullptr);
    CloseHandle(file);
    return written == TRUE;
}

// Reads and reports what a dump request points at; writes the dump when a folder was given.
bool serveRequest(HANDLE client, const CrashPipeMessage& registration, const std::string& dumpDir, int index) {
    DWORD threadId = 0;
    uintptr_t exceptionPointers = 0;
    AssertionInfo assertion = {};
    if (!readMemory(client, registration.threadIdAddress, &threadId, sizeof(threadId)) ||
        !readMemory(client, registration.exceptionPointersAddress, &exceptionPointers, sizeof(exceptionPointers)) ||
        !readMemory(client, registration.assertionInfoAddress, &assertion, sizeof(assertion))) {
        report("request unreadable");
        return false;
    }
    DWORD code = 0;
    EXCEPTION_POINTERS pointers = {};
    EXCEPTION_RECORD record = {};
    if (exceptionPointers != 0 && readMemory(client, exceptionPointers, &pointers, sizeof(pointers)) &&
        readMemory(client, reinterpret_cast<uintptr_t>(pointers.ExceptionRecord), &record, sizeof(record))) {
        code = record.ExceptionCode;
    }
    report("request thread=%lu code=%08lx assertionType=%u expression=%s function=%s file=%s line=%u", threadId,
           code, assertion.type, narrow(assertion.expression, 128).c_str(), narrow(assertion.function, 128).c_str(),
           narrow(assertion.file, 128).c_str(), assertion.line);
    if (dumpDir.empty()) {
        return true;
    }
    const std::string path = dumpDir + "dump-" + std::to_string(index) + ".dmp";
    const bool written = writeDump(client, registration.id, path, registration.dumpType, threadId, exceptionPointers);
    report("dump %s %s", path.c_str(), written ? "ok" : "failed");
    return written;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 4 && argc != 5) {
        fprintf(stderr, "usage: crashserver PIPENAME MODE REPORTFILE [DUMPDIR]\n");
        return 2;
    }
    const std::string mode = argv[2];
    const std::string dumpDir = argc == 5 ? argv[4] : "";
    g_report = fopen(argv[3], "ab");
    if (g_report == nullptr) {
        return 3;
    }
    const ULONGLONG deadline = GetTickCount64() + kLifetimeMs;
    auto remaining = [&]() -> DWORD {
        const ULONGLONG now = GetTickCount64();
        return now >= deadline ? 0 : static_cast<DWORD>(deadline - now);
    };

    // Without an input buffer a write waits until the server reads it.
    const DWORD inputBuffer = mode == "noack" ? 0 : 4096;
    HANDLE pipe = CreateNamedPipeA(argv[1], PIPE_ACCESS_DUPLEX, PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT,
                                   1, 4096, inputBuffer, 0, nullptr);
    if (pipe == INVALID_HANDLE_VALUE) {
        report("cannot create pipe %lu", GetLastError());
        return 4;
    }
    if (mode == "busy") {
        HANDLE self = CreateFileA(argv[1], GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
        report(self != INVALID_HANDLE_VALUE ? "ready" : "cannot take the pipe");
        Sleep(remaining());
        return 0;
    }
    report("ready");
    if (!ConnectNamedPipe(pipe, nullptr) && GetLastError() != ERROR_PIPE_CONNECTED) {
        report("connect failed %lu", GetLastError());
        return 5;
    }
    CrashPipeMessage registration = {};
    DWORD read = 0;
    if (!ReadFile(pipe, &registration, sizeof(registration), &read, nullptr)) {
        report("read failed %lu", GetLastError());
        return 6;
    }
    report("register size=%lu tag=%u id=%u dumpType=%u threadIdAddress=%llx exceptionPointersAddress=%llx "
           "assertionInfoAddress=%llx customEntries=%llx customCount=%u handles=%llx,%llx,%llx",
           read, registration.tag, registration.id, registration.dumpType, value(registration.threadIdAddress),
           value(registration.exceptionPointersAddress), value(registration.assertionInfoAddress),
           value(registration.customInfo.entries), registration.customInfo.count,
           value(registration.dumpRequestEvent), value(registration.dumpWrittenEvent),
           value(registration.serverProcessHandle));
    if (mode == "refuse") {
        DisconnectNamedPipe(pipe);
        CloseHandle(pipe);
        Sleep(remaining());
        return 0;
    }
    if (mode == "silent") {
        Sleep(remaining());
        return 0;
    }

    HANDLE client = OpenProcess(PROCESS_ALL_ACCESS, FALSE, registration.id);
    HANDLE requestEvent = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    HANDLE writtenEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (client == nullptr || requestEvent == nullptr || writtenEvent == nullptr) {
        report("cannot open the client %lu", GetLastError());
        return 7;
    }
    CrashPipeMessage reply = {};
    reply.tag = CRASH_MSG_REGISTER_REPLY;
    reply.id = 0x5eed;
    reply.dumpRequestEvent =
        reinterpret_cast<uintptr_t>(duplicateInto(client, requestEvent, 0, DUPLICATE_SAME_ACCESS));
    reply.dumpWrittenEvent =
        reinterpret_cast<uintptr_t>(duplicateInto(client, writtenEvent, 0, DUPLICATE_SAME_ACCESS));
    reply.serverProcessHandle =
        reinterpret_cast<uintptr_t>(duplicateInto(client, GetCurrentProcess(), SYNCHRONIZE, 0));
    if (mode == "badtag") {
        reply.tag = CRASH_MSG_REGISTER_ACK;
    } else if (mode == "zeroid") {
        reply.id = 0;
    } else if (mode == "zerorequest") {
        reply.dumpRequestEvent = 0;
    } else if (mode == "zerowritten") {
        reply.dumpWrittenEvent = 0;
    } else if (mode == "zeroalive") {
        reply.serverProcessHandle = 0;
    }
    DWORD written = 0;
    if (!WriteFile(pipe, &reply, sizeof(reply), &written, nullptr)) {
        report("reply failed %lu", GetLastError());
        return 8;
    }
    if (mode == "noack") {
        report("not reading the ack");
        Sleep(remaining());
        return 0;
    }
    CrashPipeMessage ack = {};
    if (ReadFile(pipe, &ack, sizeof(ack), &read, nullptr)) {
        CrashPipeMessage zero = {};
        zero.tag = ack.tag;
        report("ack size=%lu tag=%u rest=%s", read, ack.tag, memcmp(&ack, &zero, sizeof(ack)) == 0 ? "zero" : "set");
    } else {
        report("no ack %lu", GetLastError());
    }
    if (mode == "exit") {
        report("exiting");
        return 0;
    }

    for (int index = 0;; ++index) {
        const HANDLE waitFor[] = {requestEvent, client};
        if (WaitForMultipleObjects(2, waitFor, FALSE, remaining()) != WAIT_OBJECT_0) {
            return 0;
        }
        const ULONGLONG requested = GetTickCount64();
        const bool served = serveRequest(client, registration, dumpDir, index);
        if (served && mode != "noconfirm") {
            SetEvent(writtenEvent);
            // The client waits 15 s for this; the line shows how much of that a dump takes.
            report("confirmed %llu ms after the request", GetTickCount64() - requested);
        }
    }
}
