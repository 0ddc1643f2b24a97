// Entry of vrn_tavo.exe: brings the agent up, runs it until the parent writes a byte to standard
// input or closes it, and shuts it down. Exit codes: 0 normal stop, 1 usage or log failure, 2 any
// other fatal error.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <exception>
#include <iostream>
#include <string>
#include <system_error>
#include <thread>

#include "agent/tavoagent.h"
#include "agent/tavoconfig.h"
#include "agent/tavoversion.h"
#include "agent/windows/crashhandlerclient.h"
#include "common/tavopath.h"
#include "logging/tavolog.h"

namespace {

const wchar_t kConfigPathOption[] = L"--config-path";
// MiniDumpWithFullMemory.
constexpr int kDumpType = 2;
constexpr int kExitFatalError = 2;

// Blocks until standard input delivers a byte, ends or fails. Throws nothing: it runs while the
// agent thread does.
void waitForTermination() noexcept {
    const HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
    if (input == INVALID_HANDLE_VALUE) {
        TAVO_LOG_NOTHROW(eLogWarning, true, "Failed to get STDIN handle");
        return;
    }
    char byte = 0;
    DWORD read = 0;
    ReadFile(input, &byte, 1, &read, nullptr);
}

// The agent thread's body. What escapes the agent's loop ends the process at once: the main thread
// sits in a read of standard input that nothing can cut short, and a process whose agent thread is
// gone would leave its clients waiting for ever.
void runAgentThread(tavo::CTAVOAgent* agent) {
    try {
        agent->MainThreadProc();
        return;
    } catch (const std::exception& e) {
        TAVO_LOG_NOTHROW(eLogError, false, "Fatal error [%s]", e.what());
    } catch (...) {
        TAVO_LOG_NOTHROW(eLogError, false, "Fatal error [%s]", "unknown exception");
    }
    std::_Exit(kExitFatalError);
}

}  // namespace

void startLogging() {
    std::string dataDir;
    if (tavo::GetTAVODirectoryPath(dataDir) != 0) {
        std::fputs("Failed to get TAVO Directory Path\n", stderr);
    }
    CTAVOLogger::GetInstance(dataDir + s_logFileName);
}

int wmain(int argc, wchar_t* argv[]) {
    try {
        startLogging();
        TAVO_LOG(eLogDebug, false, "version: %s", TAVO_VERSION);

        std::string dataDir;
        if (tavo::GetTAVODirectoryPath(dataDir) != 0) {
            TAVO_LOG(eLogError, false, "Could not get TAVO Directory Path");
        }
        CrashHandlerClient crashHandler(tavo::StringToWString(dataDir), kDumpType);
        crashHandler.SetupCrashHandler();

        if (argc < 3) {
            TAVO_LOG(eLogError, false,
                     "Error: not enough arguments.\nUsage: vrn_tavo.exe --config-path PathToJSONConfigDirectory");
            return 1;
        }
        // The option's value is examined next, so "--config-path --config-path DIR" takes DIR.
        for (int i = 0; i < argc; ++i) {
            if (std::wstring(argv[i]) != kConfigPathOption) {
                continue;
            }
            if (i + 1 >= argc) {
                break;
            }
            tavo::SetTAVOConfigDirectory(argv[i + 1]);
        }

        const tavo::CTAVOConfig config;
        if (config.m_bEnableVerboseLogs) {
            CTAVOLogger::GetInstance(std::string()).SetLogLevel(eLogVerbose);
        }
        tavo::CTAVOAgent agent;
        // A thread that cannot be started reaches the handler below. From here to the join nothing
        // throws: a thread object destroyed while its thread runs ends the process in std::terminate.
        std::thread agentThread(runAgentThread, &agent);
        waitForTermination();
        agent.ShutDown();
        try {
            agentThread.join();
        } catch (const std::system_error& e) {
            // Not joined: the agent must not be destroyed under its running thread, so the process
            // ends here and not in the handler below.
            TAVO_LOG_NOTHROW(eLogError, false, "Fatal error [%s]", e.what());
            std::_Exit(kExitFatalError);
        }
        return 0;
    } catch (const CTAVOLogger::logger_exception& e) {
        std::cerr << "Fatal error: " << e.what() << std::endl;
        return 1;
    } catch (const std::exception& e) {
        TAVO_LOG_NOTHROW(eLogError, false, "Fatal error [%s]", e.what());
        return kExitFatalError;
    }
}
