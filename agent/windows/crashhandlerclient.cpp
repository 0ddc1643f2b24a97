#include "agent/windows/crashhandlerclient.h"

#include <csignal>

#include "common/tavopath.h"
#include "logging/tavolog.h"

namespace {

const wchar_t kCrashServerPipeName[] = L"\\\\.\\PIPE\\LARCHMERE_CRASH";

}  // namespace

std::unique_ptr<ProcessCrashHandler> CrashHandlerClient::s_exceptionHandler;

CrashHandlerClient::CrashHandlerClient(const std::wstring& dumpDirectory, int dumpType)
    : m_wstrDumpDirectory(dumpDirectory), m_iDumpType(dumpType) {}

bool CrashHandlerClient::SetupCrashHandler() {
    if (m_wstrDumpDirectory.empty()) {
        return false;
    }
    TAVO_LOG(eLogDebug, false, "Dump directory [%s]", tavo::WStringToString(m_wstrDumpDirectory).c_str());
    s_exceptionHandler = CreateHandler();
    signal(SIGABRT, OnAbortSignal);
    if (s_exceptionHandler->IsOutOfProcess()) {
        TAVO_LOG(eLogDebug, false, " OOP Crash Handler Created");
    } else {
        TAVO_LOG(eLogWarning, false, "OOP Not created. Crashes will be handled locally");
    }
    return true;
}

std::unique_ptr<ProcessCrashHandler> CrashHandlerClient::CreateHandler() {
    return std::make_unique<ProcessCrashHandler>(m_wstrDumpDirectory, nullptr, DumpCallback, this, HOOK_ALL,
                                                 static_cast<MINIDUMP_TYPE>(m_iDumpType), kCrashServerPipeName,
                                                 nullptr);
}

bool CrashHandlerClient::DumpCallback(const wchar_t* dumpPath, const wchar_t* dumpId, void* context,
                                      EXCEPTION_POINTERS* exceptionInfo, AssertionInfo* assertion,
                                      bool succeeded) {
    if (context != nullptr) {
        CrashHandled(dumpPath, dumpId);
    }
    return succeeded;
}

void CrashHandlerClient::CrashHandled(const wchar_t* dumpPath, const wchar_t* dumpId) {
    TAVO_LOG_UNLESS_BUSY(eLogDebug, false, "Crash Dump Created");
    if (s_exceptionHandler == nullptr || !s_exceptionHandler->IsOutOfProcess()) {
        TAVO_LOG_UNLESS_BUSY(eLogWarning, false, "Crash was not created OOP. Dump not updated");
    }
}

void CrashHandlerClient::OnAbortSignal(int signalNumber) {
    if (s_exceptionHandler != nullptr) {
        s_exceptionHandler->WriteDumpNow();
    }
}
