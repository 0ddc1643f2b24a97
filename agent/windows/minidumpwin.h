#pragma once

#include <windows.h>

#include <cstdint>

#include "common/scopedhandle.h"

// A self-contained crash dumper: while an instance is installed it holds the process's
// unhandled-exception filter and writes a minidump from the faulting thread into the temporary
// folder, named after the executable, the version and the local time. Installation prunes the older
// dumps of the same executable and version. One instance per process installs.
class CExceptionHandlerEx {
public:
    // Bits 0-3 the dump kind (1 filter-memory, 2 full memory, other values no dumps), bits 4-27 the
    // number of dumps to keep (0: the default of 5), bit 30 error mode 0 instead of
    // SEM_NOGPFAULTERRORBOX, bit 31 no dumps for breakpoints.
    static constexpr uint32_t kMiniDumpConfiguration = 0x40000001;

    using GlobalExceptionCallback = void (*)();

    // Installs at once; a failed installation leaves an instance that does nothing.
    explicit CExceptionHandlerEx(uint32_t configuration = kMiniDumpConfiguration);
    virtual ~CExceptionHandlerEx();
    CExceptionHandlerEx(const CExceptionHandlerEx&) = delete;
    CExceptionHandlerEx& operator=(const CExceptionHandlerEx&) = delete;

    // S_OK installed, S_FALSE another instance of this process holds the mutex (or this one does,
    // from an earlier call), E_FAIL no DbgHelp or no access list for the dumps, or the mutex's
    // creation error.
    HRESULT InstallGlobalExceptionHandler();

    static LONG WINAPI TopLevelExceptionFilter(EXCEPTION_POINTERS* exceptionPointers);
    static void GenerateMiniDump(EXCEPTION_POINTERS* exceptionPointers);
    static const wchar_t* GetExceptionName(DWORD code);
    // S_OK, S_FALSE when no dump matches, or the failing step's error.
    static HRESULT PruneMiniDumpFiles(unsigned keep);
    // Called after every exception that the filter handles; null clears it.
    static void SetGlobalExceptionCallback(GlobalExceptionCallback callback);
    static HRESULT updateLogPathName();

private:
    tavo::ScopedHandle m_hMutex;
    bool m_bInstalled;
    UINT m_uPreviousErrorMode;
    uint32_t m_configuration;
};
