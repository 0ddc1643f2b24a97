// A process that crashes in one way under the crash handler.
//   crashchild MODE DUMPDIR LOGFILE [PIPENAME]
// The process's log goes to LOGFILE; the dump callback logs "dump callback path [..] id [..]
// succeeded [..]". PIPENAME is the crash server to try; without it the handler writes the dumps.
// Modes:
//   access-violation        writes through a null pointer
//   hung-dump               the same under a handler whose filter logs "filter entered" and never
//                           returns, with a bound of 2 s on the dump
//   invalid-parameter       calls the installed invalid-parameter hook as the runtime would, with
//                           a 200-character expression, "function", "file.cpp" and line 42
//   invalid-parameter-null  the same with null texts and line 0
//   pure-call               calls the installed pure-call hook as the runtime would
//   breakpoint              a breakpoint, with a filter installed before the handler that creates
//                           DUMPDIR\previous-filter-<code> and ends the process
//   abort                   the agent's crash handler client in DUMPDIR, then abort()
//   pure-virtual            the agent's crash handler client, then a real pure virtual call
// Exit codes of its own: 20 when a hook was not installed, 21 when the crash came back.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "agent/windows/crashhandlerclient.h"
#include "common/tavopath.h"
#include "crashclient/processcrashhandler.h"
#include "logging/tavolog.h"

namespace {

std::string g_dumpDir;

bool logDump(const wchar_t* dumpPath, const wchar_t* dumpId, void* context, EXCEPTION_POINTERS* exceptionInfo,
             AssertionInfo* assertion, bool succeeded) {
    TAVO_LOG_UNLESS_BUSY(eLogDebug, false, "dump callback path [%ls] id [%ls] succeeded [%d]",
                         dumpPath != nullptr ? dumpPath : L"(none)", dumpId != nullptr ? dumpId : L"(none)",
                         succeeded ? 1 : 0);
    return succeeded;
}

constexpr DWORD kShortDumpWaitMs = 2000;

bool hangForEver(void*, EXCEPTION_POINTERS*, AssertionInfo*) {
    TAVO_LOG(eLogDebug, false, "filter entered");
    Sleep(INFINITE);
    return true;
}

LONG WINAPI previousFilter(EXCEPTION_POINTERS* exceptionInfo) {
    char name[MAX_PATH];
    snprintf(name, sizeof(name), "%sprevious-filter-%08lx", g_dumpDir.c_str(),
             static_cast<unsigned long>(exceptionInfo->ExceptionRecord->ExceptionCode));
    HANDLE marker = CreateFileA(name, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    CloseHandle(marker);
    return EXCEPTION_EXECUTE_HANDLER;
}

}  // namespace

// Outside the unnamed namespace: with the class hierarchy open, the compiler cannot resolve the
// call itself.
struct Base;
void callRun(Base* object);
// Reached through a volatile pointer, so the compiler cannot drop the call it would see is undefined.
void (*volatile g_callRun)(Base*) = callRun;

// Run from the base's destructor, the call finds the base's table: a pure virtual call.
struct Base {
    virtual ~Base() { g_callRun(this); }
    virtual void run() = 0;
};

void callRun(Base* object) {
    object->run();
}

struct Derived : Base {
    void run() override {}
};

int main(int argc, char** argv) {
    if (argc != 4 && argc != 5) {
        fprintf(stderr, "usage: crashchild MODE DUMPDIR LOGFILE [PIPENAME]\n");
        return 2;
    }
    const std::string mode = argv[1];
    g_dumpDir = argv[2];
    CTAVOLogger::GetInstance(argv[3]);
    const std::wstring dumpDir = tavo::StringToWString(g_dumpDir);
    const std::wstring pipeName = argc == 5 ? tavo::StringToWString(argv[4]) : L"";

    if (mode == "abort" || mode == "pure-virtual") {
        CrashHandlerClient client(dumpDir, MiniDumpNormal);
        client.SetupCrashHandler();
        if (mode == "abort") {
            abort();
        }
        Base* volatile object = new Derived();
        delete object;
        return 21;
    }

    if (mode == "breakpoint") {
        SetUnhandledExceptionFilter(previousFilter);
    }
    const bool hungDump = mode == "hung-dump";
    static ProcessCrashHandler handler(dumpDir, hungDump ? hangForEver : nullptr, logDump, nullptr, HOOK_ALL,
                                       MiniDumpNormal, pipeName.empty() ? nullptr : pipeName.c_str(), nullptr,
                                       hungDump ? kShortDumpWaitMs : ProcessCrashHandler::kDefaultDumpWaitMs);
    TAVO_LOG(eLogDebug, false, "handler ready, out of process [%d]", handler.IsOutOfProcess() ? 1 : 0);

    if (mode == "access-violation" || hungDump) {
        volatile int* volatile nowhere = nullptr;
        *nowhere = 1;
    } else if (mode == "breakpoint") {
        DebugBreak();
    } else if (mode == "invalid-parameter" || mode == "invalid-parameter-null") {
        const _invalid_parameter_handler installed = _set_invalid_parameter_handler(nullptr);
        _set_invalid_parameter_handler(installed);
        if (installed != ProcessCrashHandler::OnInvalidParameter) {
            return 20;
        }
        if (mode == "invalid-parameter") {
            installed(std::wstring(200, L'x').c_str(), L"function", L"file.cpp", 42, 0);
        } else {
            installed(nullptr, nullptr, nullptr, 0, 0);
        }
    } else if (mode == "pure-call") {
        const _purecall_handler installed = _set_purecall_handler(nullptr);
        _set_purecall_handler(installed);
        if (installed != ProcessCrashHandler::OnPureCall) {
            return 20;
        }
        installed();
    } else {
        return 2;
    }
    return 21;
}
