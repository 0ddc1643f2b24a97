// A child for the in-process exception handler's tests; the test chooses the dump folder through
// TMP in the child's environment. Usage: exceptionhandlerchild LOG MODE [ARG], LOG being the
// child's log file. Modes:
//   crash av|break CONFIG        installs a filter of its own (it logs "previous filter" and answers
//                                EXCEPTION_EXECUTE_HANDLER, so the process ends with the exception's
//                                code), then the handler with the configuration word CONFIG
//                                (hexadecimal) and a global callback, then raises an access
//                                violation or a breakpoint
//   second                       a second handler beside the first logs the result of installing it
//                                again, goes away, and then an access violation follows
//   install CONFIG               installs the handler (which prunes) and exits with 0
//   busy CONFIG                  the process's log is a pipe that stops being read once the handler
//                                with CONFIG is installed, so that a thread of its own stays inside
//                                the logger in mid-line, as a thread that faulted there would; then
//                                an access violation, under a previous filter that answers
//                                EXCEPTION_EXECUTE_HANDLER without logging. What the pipe took
//                                before is copied to LOG
//   prune KEEP                   prunes to KEEP dumps without installing and logs the result
#include <windows.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

#include "agent/windows/minidumpwin.h"
#include "logging/tavolog.h"

namespace {

LONG WINAPI previousFilter(EXCEPTION_POINTERS* pointers) {
    TAVO_LOG(eLogDebug, false, "previous filter 0x%.8X",
             static_cast<unsigned>(pointers->ExceptionRecord->ExceptionCode));
    return EXCEPTION_EXECUTE_HANDLER;
}

void globalCallback() {
    TAVO_LOG(eLogDebug, false, "global callback");
}

uint32_t hexArgument(const char* text) {
    return static_cast<uint32_t>(strtoul(text, nullptr, 16));
}

void raise(const std::string& kind) {
    if (kind == "av") {
        *static_cast<volatile int*>(nullptr) = 1;
    } else {
        DebugBreak();
    }
}

LONG WINAPI quietPreviousFilter(EXCEPTION_POINTERS*) {
    return EXCEPTION_EXECUTE_HANDLER;
}

std::atomic<bool> g_drainLog{true};

int crashWhileTheLoggerIsHeld(const char* logFile, uint32_t config) {
    const std::string pipeName = "\\\\.\\pipe\\exceptionhandlerchild-" + std::to_string(GetCurrentProcessId());
    const HANDLE pipe = CreateNamedPipeA(pipeName.c_str(), PIPE_ACCESS_INBOUND, PIPE_TYPE_BYTE | PIPE_WAIT, 1, 0, 0,
                                         0, nullptr);
    if (pipe == INVALID_HANDLE_VALUE) {
        return 4;
    }
    std::thread([pipe, logFile] {
        ConnectNamedPipe(pipe, nullptr);
        FILE* copy = fopen(logFile, "ab");
        char buffer[4096];
        DWORD read = 0;
        while (g_drainLog && ReadFile(pipe, buffer, sizeof(buffer), &read, nullptr)) {
            fwrite(buffer, 1, read, copy);
            fflush(copy);
        }
        fclose(copy);
    }).detach();
    CTAVOLogger& logger = CTAVOLogger::GetInstance(pipeName);

    SetUnhandledExceptionFilter(quietPreviousFilter);
    CExceptionHandlerEx handler(config);
    // The pipe is read once more at most; then a line stays half-written for good.
    g_drainLog = false;
    std::thread([] {
        for (;;) {
            TAVO_LOG(eLogDebug, false, "holding the logger");
        }
    }).detach();
    for (int busy = 0; busy < 50; busy = logger.IsBusy() ? busy + 1 : 0) {
        Sleep(1);
    }
    raise("av");
    return 3;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        return 2;
    }
    const std::string mode = argv[2];
    if (mode == "busy" && argc > 3) {
        return crashWhileTheLoggerIsHeld(argv[1], hexArgument(argv[3]));
    }
    CTAVOLogger::GetInstance(argv[1]);

    if (mode == "crash" && argc > 4) {
        SetUnhandledExceptionFilter(previousFilter);
        CExceptionHandlerEx handler(hexArgument(argv[4]));
        CExceptionHandlerEx::SetGlobalExceptionCallback(globalCallback);
        raise(argv[3]);
        return 3;
    }
    if (mode == "second") {
        SetUnhandledExceptionFilter(previousFilter);
        CExceptionHandlerEx first;
        {
            CExceptionHandlerEx second;
            TAVO_LOG(eLogDebug, false, "second install 0x%.8X",
                     static_cast<unsigned>(second.InstallGlobalExceptionHandler()));
        }
        raise("av");
        return 3;
    }
    if (mode == "install" && argc > 3) {
        CExceptionHandlerEx handler(hexArgument(argv[3]));
        return 0;
    }
    if (mode == "prune" && argc > 3) {
        CExceptionHandlerEx::updateLogPathName();
        const HRESULT result = CExceptionHandlerEx::PruneMiniDumpFiles(static_cast<unsigned>(atoi(argv[3])));
        TAVO_LOG(eLogDebug, false, "prune result 0x%.8X", static_cast<unsigned>(result));
        return 0;
    }
    return 2;
}
