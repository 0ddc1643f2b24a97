#include "agent/windows/minidumpwin.h"

#include <dbghelp.h>

#include <cstdarg>
#include <cwchar>
#include <map>
#include <memory>
#include <new>
#include <type_traits>

#include "agent/tavoversion.h"
#include "common/storesecurity.h"
#include "logging/tavolog.h"

namespace {

using MiniDumpWriteDumpFunction = BOOL(WINAPI*)(HANDLE process, DWORD processId, HANDLE file,
                                                MINIDUMP_TYPE dumpType,
                                                PMINIDUMP_EXCEPTION_INFORMATION exceptionParam,
                                                PMINIDUMP_USER_STREAM_INFORMATION userStreamParam,
                                                PMINIDUMP_CALLBACK_INFORMATION callbackParam);

#if defined(_M_IX86) || defined(__i386__)
// A pointer of the wrong calling convention corrupts the stack on x86 only.
static_assert(std::is_same<MiniDumpWriteDumpFunction, decltype(&::MiniDumpWriteDump)>::value,
              "MiniDumpWriteDump is __stdcall");
static_assert(sizeof(MINIDUMP_EXCEPTION_INFORMATION) == 12, "32-bit exception information");
#endif

const wchar_t kVersion[] = L"" TAVO_VERSION;
constexpr DWORD kBreakpointCode = 0x80000003;
constexpr MINIDUMP_TYPE kFilterMemoryDump = static_cast<MINIDUMP_TYPE>(0x8);
constexpr MINIDUMP_TYPE kFullMemoryDump = static_cast<MINIDUMP_TYPE>(0x147);
// The executable's path is read into fewer units than the buffer holds, leaving room for the
// "_<version>_<time>.mdmp" suffix when the dump goes beside the executable.
constexpr DWORD kModulePathRoom = 232;

uint32_t s_miniDumpConfiguration = CExceptionHandlerEx::kMiniDumpConfiguration;
uint32_t s_maxMiniDumpFiles = 5;
wchar_t s_miniDumpFolder[MAX_PATH] = {};
tavo::ScopedModule s_hDbgHelp;
MiniDumpWriteDumpFunction s_pfnMiniDumpWriteDump = nullptr;
// Set whenever s_pfnMiniDumpWriteDump is: a dump holds the process's memory, and gets the store's
// access list.
std::unique_ptr<tavo::StoreSecurityAttributes> s_dumpSecurity;
LPTOP_LEVEL_EXCEPTION_FILTER s_previousExceptionFilter = nullptr;
CExceptionHandlerEx::GlobalExceptionCallback s_globalExceptionCallback = nullptr;
wchar_t s_exceptionNameBuffer[512] = {};

uint32_t dumpKind(uint32_t configuration) {
    return configuration & 0xF;
}

uint32_t filesToKeep(uint32_t configuration) {
    return (configuration >> 4) & 0xFFFFFF;
}

// Formats into a fixed buffer; a longer result is cut one unit short of its end.
void formatText(wchar_t* buffer, size_t size, const wchar_t* format, ...) {
    va_list args;
    va_start(args, format);
    _vsnwprintf(buffer, size, format, args);
    va_end(args);
    buffer[size - 1] = L'\0';
}

bool folderIsDirectory() {
    const DWORD attributes = GetFileAttributesW(s_miniDumpFolder);
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

HRESULT lastErrorAsHresult() {
    return HRESULT_FROM_WIN32(GetLastError());
}

}  // namespace

CExceptionHandlerEx::CExceptionHandlerEx(uint32_t configuration)
    : m_bInstalled(false), m_uPreviousErrorMode(0), m_configuration(configuration) {
    InstallGlobalExceptionHandler();
}

CExceptionHandlerEx::~CExceptionHandlerEx() {
    if (m_bInstalled) {
        SetUnhandledExceptionFilter(s_previousExceptionFilter);
        SetErrorMode(m_uPreviousErrorMode);
        // The entry point goes first, so that a late crash never calls into a freed library.
        s_pfnMiniDumpWriteDump = nullptr;
        s_hDbgHelp.reset();
        s_dumpSecurity.reset();
    }
    if (m_hMutex.valid()) {
        ReleaseMutex(m_hMutex.get());
    }
}

HRESULT CExceptionHandlerEx::InstallGlobalExceptionHandler() {
    wchar_t mutexName[40];
    formatText(mutexName, 40, L"CExceptionHandlerEx_0x%.8X", static_cast<unsigned>(GetCurrentProcessId()));
    // A second call on this object is refused as another instance would be: a second handle of the
    // mutex would keep it alive past this object and refuse every later instance of the process.
    const bool heldAlready = m_hMutex.valid();
    if (!heldAlready) {
        m_hMutex.reset(CreateMutexW(nullptr, TRUE, mutexName));
    }
    const DWORD mutexError = heldAlready ? ERROR_ALREADY_EXISTS : GetLastError();
    if (!m_hMutex.valid()) {
        TAVO_LOG(eLogError, false,
                 "CExceptionHandlerEx::InstallGlobalExceptionHandler -"
                 "                         "
                 "Mutex lock (%ls) could not be created. "
                 "Error = 0x%.8X",
                 mutexName, static_cast<unsigned>(mutexError));
        return HRESULT_FROM_WIN32(mutexError);
    }
    if (mutexError == ERROR_ALREADY_EXISTS) {
        TAVO_LOG(eLogError, false,
                 "CExceptionHandlerEx::InstallGlobalExceptionHandler -"
                 "                              "
                 "Mutex lock already exists (%ls) for this "
                 "process. Error = 0x%.8X",
                 mutexName, static_cast<unsigned>(mutexError));
        return S_FALSE;
    }

    s_hDbgHelp.reset(LoadLibraryW(L"Dbghelp.dll"));
    if (s_hDbgHelp.get() == nullptr) {
        TAVO_LOG(eLogError, false,
                 "CExceptionHandlerEx::InstallGlobalExceptionHandler -"
                 "                             "
                 "unable to load DbgHelp module. "
                 "Error = 0x%.8X",
                 static_cast<unsigned>(lastErrorAsHresult()));
        return E_FAIL;
    }
    // Through a pointer without parameters, the one cast that does not claim the two types agree.
    s_pfnMiniDumpWriteDump = reinterpret_cast<MiniDumpWriteDumpFunction>(
        reinterpret_cast<void (*)()>(GetProcAddress(s_hDbgHelp.get(), "MiniDumpWriteDump")));
    if (s_pfnMiniDumpWriteDump == nullptr) {
        TAVO_LOG(eLogError, false,
                 "CExceptionHandlerEx::InstallGlobalExceptionHandler -"
                 "                                  "
                 "unable to locate MiniDumpWriteDump "
                 "function entry point.");
        s_hDbgHelp.reset();
        return E_FAIL;
    }
    // Built here: the filter runs on a faulting thread, where nothing should allocate.
    s_dumpSecurity.reset(new (std::nothrow) tavo::StoreSecurityAttributes());
    if (s_dumpSecurity == nullptr || s_dumpSecurity->get() == nullptr) {
        TAVO_LOG(eLogError, false,
                 "CExceptionHandlerEx::InstallGlobalExceptionHandler - unable to build the dumps' access list.");
        s_pfnMiniDumpWriteDump = nullptr;
        s_hDbgHelp.reset();
        s_dumpSecurity.reset();
        return E_FAIL;
    }

    m_bInstalled = true;
    s_miniDumpConfiguration = m_configuration;
    m_uPreviousErrorMode = SetErrorMode((s_miniDumpConfiguration & 0x40000000) != 0 ? 0 : SEM_NOGPFAULTERRORBOX);
    updateLogPathName();
    s_previousExceptionFilter = SetUnhandledExceptionFilter(TopLevelExceptionFilter);

    uint32_t keep = filesToKeep(s_miniDumpConfiguration);
    if (keep != 0) {
        s_maxMiniDumpFiles = keep;
    } else {
        keep = s_maxMiniDumpFiles;
    }
    PruneMiniDumpFiles(keep);
    return S_OK;
}

HRESULT CExceptionHandlerEx::updateLogPathName() {
    if (GetTempPathW(MAX_PATH, s_miniDumpFolder) == 0) {
        const HRESULT result = lastErrorAsHresult();
        TAVO_LOG(eLogError, false,
                 "CExceptionHandlerEx::GetMiniDumpFilePatern -"
                 "                            "
                 "GetTempPath failed.  Error = 0x%.8X",
                 static_cast<unsigned>(result));
        return result;
    }
    s_miniDumpFolder[MAX_PATH - 1] = L'\0';
    for (size_t length = wcslen(s_miniDumpFolder); length > 0 && s_miniDumpFolder[length - 1] == L'\\'; --length) {
        s_miniDumpFolder[length - 1] = L'\0';
    }
    return S_OK;
}

LONG WINAPI CExceptionHandlerEx::TopLevelExceptionFilter(EXCEPTION_POINTERS* exceptionPointers) {
    // A fault while the dump is written goes to the system's default handling, not back here.
    SetUnhandledExceptionFilter(nullptr);
    GenerateMiniDump(exceptionPointers);
    const LONG result =
        s_previousExceptionFilter != nullptr ? s_previousExceptionFilter(exceptionPointers) : EXCEPTION_CONTINUE_SEARCH;
    if (s_globalExceptionCallback != nullptr) {
        s_globalExceptionCallback();
    }
    return result;
}

// Runs on the faulting thread, which may hold the logger's lock: its lines are dropped while the
// logger is busy. Each error is taken before the line, which may change it.
void CExceptionHandlerEx::GenerateMiniDump(EXCEPTION_POINTERS* exceptionPointers) {
    const uint32_t kind = dumpKind(s_miniDumpConfiguration);
    if (kind != 1 && kind != 2) {
        TAVO_LOG_UNLESS_BUSY(eLogDebug, false,
                             "CExceptionHandlerEx::GenerateMiniDump -"
                             "                              "
                             "MiniDump functionality has been disabled on this "
                             "system");
        return;
    }
    if ((s_miniDumpConfiguration & 0x80000000) != 0 && exceptionPointers != nullptr &&
        exceptionPointers->ExceptionRecord != nullptr &&
        exceptionPointers->ExceptionRecord->ExceptionCode == kBreakpointCode) {
        TAVO_LOG_UNLESS_BUSY(eLogDebug, false,
                             "CExceptionHandlerEx::GenerateMiniDump -"
                             "                              "
                             "Minidump generation for a Breakpoint exceptions has "
                             "been disabled on this system.");
        return;
    }
    if (s_pfnMiniDumpWriteDump == nullptr) {
        return;
    }

    wchar_t modulePath[MAX_PATH] = {};
    if (GetModuleFileNameW(nullptr, modulePath, kModulePathRoom) == 0) {
        const HRESULT error = lastErrorAsHresult();
        TAVO_LOG_UNLESS_BUSY(eLogDebug, false,
                             "CExceptionHandlerEx::GenerateMiniDump - GetModuleFileName failed, Error = %X",
                             static_cast<unsigned>(error));
        return;
    }
    wchar_t dumpPath[MAX_PATH] = {};
    if (folderIsDirectory()) {
        wchar_t fullPath[MAX_PATH];
        wchar_t* fileName = nullptr;
        if (GetFullPathNameW(modulePath, MAX_PATH, fullPath, &fileName) == 0 || fileName == nullptr) {
            const HRESULT error = lastErrorAsHresult();
            TAVO_LOG_UNLESS_BUSY(eLogDebug, false,
                                 "CExceptionHandlerEx::GenerateMiniDump - GetFullPathName failed, Error = 0x%.8X",
                                 static_cast<unsigned>(error));
            return;
        }
        formatText(dumpPath, MAX_PATH, L"%ls\\%ls", s_miniDumpFolder, fileName);
    } else {
        formatText(dumpPath, MAX_PATH, L"%ls", modulePath);
    }
    SYSTEMTIME now;
    GetLocalTime(&now);
    const size_t used = wcslen(dumpPath);
    formatText(dumpPath + used, MAX_PATH - used, L"_%ls_%.4d%.2d%.2d%.2d%.2d%.2d.mdmp", kVersion, now.wYear,
               now.wMonth, now.wDay, now.wHour, now.wMinute, now.wSecond);

    // The temporary folder is shared: a link planted under the dump's name is removed, not written
    // through, and the dump is only ever a file created here.
    DeleteFileW(dumpPath);
    const tavo::ScopedHandle file(
        CreateFileW(dumpPath, GENERIC_WRITE, 0, s_dumpSecurity->get(), CREATE_NEW, 0, nullptr));
    if (!file.valid()) {
        const HRESULT error = lastErrorAsHresult();
        TAVO_LOG_UNLESS_BUSY(eLogDebug, false,
                             "CExceptionHandlerEx::GenerateMiniDump - CreateFile failed to create file %ls,"
                             "                                "
                             "Error = 0x%.8X",
                             dumpPath, static_cast<unsigned>(error));
        return;
    }
    MINIDUMP_EXCEPTION_INFORMATION exceptionInformation;
    exceptionInformation.ThreadId = GetCurrentThreadId();
    exceptionInformation.ExceptionPointers = exceptionPointers;
    exceptionInformation.ClientPointers = FALSE;
    const BOOL written = s_pfnMiniDumpWriteDump(GetCurrentProcess(), GetCurrentProcessId(), file.get(),
                                                kind == 1 ? kFilterMemoryDump : kFullMemoryDump,
                                                &exceptionInformation, nullptr, nullptr);
    if (!written) {
        const HRESULT error = lastErrorAsHresult();
        TAVO_LOG_UNLESS_BUSY(eLogDebug, false,
                             "CExceptionHandlerEx::GenerateMiniDump - MiniDumpWriteDump failed, Error = 0x%.8X",
                             static_cast<unsigned>(error));
    } else if (exceptionPointers != nullptr && exceptionPointers->ExceptionRecord != nullptr) {
        const DWORD code = exceptionPointers->ExceptionRecord->ExceptionCode;
        TAVO_LOG_UNLESS_BUSY(eLogDebug, false,
                             "UNHANDLED_EXCEPTION - (0x%.8X), %ls. A minidump file is located at: %ls",
                             static_cast<unsigned>(code), GetExceptionName(code), dumpPath);
    }
}

const wchar_t* CExceptionHandlerEx::GetExceptionName(DWORD code) {
    switch (code) {
    case 0x80000001: return L"GUARD_PAGE";
    case 0x80000002: return L"DATATYPE_MISALIGNMENT";
    case 0x80000003: return L"BREAKPOINT";
    case 0x80000004: return L"SINGLE_STEP";
    case 0xC0000005: return L"ACCESS_VIOLATION";
    case 0xC0000006: return L"IN_PAGE_ERROR";
    case 0xC0000008: return L"INVALID_HANDLE";
    case 0xC000001D: return L"ILLEGAL_INSTRUCTION";
    case 0xC0000025: return L"NONCONTINUABLE_EXCEPTION";
    case 0xC0000026: return L"INVALID_DISPOSITION";
    case 0xC000008C: return L"ARRAY_BOUNDS_EXCEEDED";
    case 0xC000008D: return L"FLT_DENORMAL_OPERAND";
    case 0xC000008E: return L"FLT_DIVIDE_BY_ZERO";
    case 0xC000008F: return L"FLT_INEXACT_RESULT";
    case 0xC0000090: return L"FLT_INVALID_OPERATION";
    case 0xC0000091: return L"FLT_OVERFLOW";
    case 0xC0000092: return L"FLT_STACK_CHECK";
    case 0xC0000093: return L"FLT_UNDERFLOW";
    case 0xC0000094: return L"INT_DIVIDE_BY_ZERO";
    case 0xC0000095: return L"INT_OVERFLOW";
    case 0xC0000096: return L"PRIV_INSTRUCTION";
    case 0xC00000FD: return L"STACK_OVERFLOW";
    case 0xE06D7363: return L"Microsoft Compiler Generated (Q185294)";
    default: break;
    }
    // A code without a text of its own gets an empty name, never the text of an earlier code.
    if (FormatMessageW(FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_IGNORE_INSERTS, GetModuleHandleW(L"NTDLL.DLL"),
                       code, 0, s_exceptionNameBuffer, 512, nullptr) == 0) {
        s_exceptionNameBuffer[0] = L'\0';
    }
    return s_exceptionNameBuffer;
}

HRESULT CExceptionHandlerEx::PruneMiniDumpFiles(unsigned keep) {
    wchar_t modulePath[MAX_PATH] = {};
    if (GetModuleFileNameW(nullptr, modulePath, MAX_PATH) == 0) {
        const HRESULT result = lastErrorAsHresult();
        TAVO_LOG(eLogError, false,
                 "CExceptionHandlerEx::PruneMiniDumpFiles -"
                 "                            "
                 "GetModuleFileName failed.  Error = 0x%.8X",
                 static_cast<unsigned>(result));
        return result;
    }
    wchar_t pattern[MAX_PATH] = {};
    if (folderIsDirectory()) {
        wchar_t fullPath[MAX_PATH];
        wchar_t* fileName = nullptr;
        if (GetFullPathNameW(modulePath, MAX_PATH, fullPath, &fileName) == 0 || fileName == nullptr) {
            const HRESULT result = lastErrorAsHresult();
            TAVO_LOG(eLogError, false,
                     "CExceptionHandlerEx::PruneMiniDumpFiles -"
                     "                                "
                     "GetFullPathName failed.  Error = 0x%.8X",
                     static_cast<unsigned>(result));
            return result;
        }
        formatText(pattern, MAX_PATH, L"%ls\\%ls_%ls_??????????????.mdmp", s_miniDumpFolder, fileName, kVersion);
    } else {
        formatText(pattern, MAX_PATH, L"%ls_%ls_??????????????.mdmp", modulePath, kVersion);
    }

    WIN32_FIND_DATAW found;
    const tavo::ScopedFindHandle search(FindFirstFileW(pattern, &found));
    if (!search.valid()) {
        TAVO_LOG(eLogError, false,
                 "CExceptionHandlerEx::PruneMiniDumpFiles -"
                 "                              "
                 "There are no minidump files matching the search "
                 "pattern: %ls failed.",
                 pattern);
        return S_FALSE;
    }
    // Oldest first; files of equal age stay in the order the search returned them.
    std::multimap<uint64_t, WIN32_FIND_DATAW> dumps;
    do {
        if ((found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
            const uint64_t created =
                (static_cast<uint64_t>(found.ftCreationTime.dwHighDateTime) << 32) | found.ftCreationTime.dwLowDateTime;
            dumps.emplace(created, found);
        }
    } while (FindNextFileW(search.get(), &found));
    HRESULT searchResult = lastErrorAsHresult();
    if (searchResult == HRESULT_FROM_WIN32(ERROR_NO_MORE_FILES)) {
        searchResult = S_OK;
    }
    if (searchResult < 0) {
        TAVO_LOG(eLogError, false, "CExceptionHandlerEx::PruneMiniDumpFiles -"
                                   "                            "
                                   "FindNextFile failed.  Error = %d",
                 static_cast<int>(searchResult));
        return searchResult;
    }

    wchar_t directory[MAX_PATH] = {};
    wchar_t* patternName = nullptr;
    if (GetFullPathNameW(pattern, MAX_PATH, directory, &patternName) == 0 || patternName == nullptr) {
        const HRESULT result = lastErrorAsHresult();
        TAVO_LOG(eLogError, false,
                 "CExceptionHandlerEx::PruneMiniDumpFiles -"
                 "                            "
                 "GetFullPathName failed.  Error = 0x%.8X",
                 static_cast<unsigned>(result));
        return result;
    }
    *patternName = L'\0';

    while (dumps.size() > keep) {
        const auto oldest = dumps.begin();
        wchar_t path[MAX_PATH];
        formatText(path, MAX_PATH, L"%ls%ls", directory, oldest->second.cFileName);
        if (!DeleteFileW(path)) {
            TAVO_LOG(eLogError, false, "DeleteFile error 0x%.8X failed to delete %ls",
                     static_cast<unsigned>(lastErrorAsHresult()), path);
        }
        dumps.erase(oldest);
    }
    return S_OK;
}

void CExceptionHandlerEx::SetGlobalExceptionCallback(GlobalExceptionCallback callback) {
    s_globalExceptionCallback = callback;
    TAVO_LOG(eLogDebug, false, "CExceptionHandlerEx : GlobalExceptionCallback registered");
}
