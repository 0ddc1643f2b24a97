#include "common/filelock.h"

namespace tavo {

namespace {

// A handle that another process opened without sharing goes away soon: the open waits after each
// attempt that meets one, the last attempt too.
constexpr int kOpenAttempts = 3;
constexpr DWORD kOpenRetryDelayMs = 250;

// The whole file, and far beyond its end: the byte range that every locker names.
constexpr DWORD kRangeLow = 0xFFFFFFFF;
constexpr DWORD kRangeHigh = 0xFFFFFFFF;

HANDLE openLockFile(const std::wstring& path) {
    HANDLE file = INVALID_HANDLE_VALUE;
    for (int attempt = 1; attempt <= kOpenAttempts; ++attempt) {
        file = CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE,
                           FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING, 0, nullptr);
        if (file != INVALID_HANDLE_VALUE || GetLastError() != ERROR_SHARING_VIOLATION) {
            return file;
        }
        Sleep(kOpenRetryDelayMs);
        // The caller reads why the open failed.
        SetLastError(ERROR_SHARING_VIOLATION);
    }
    return file;
}

}  // namespace

FileLock::FileLock(const std::wstring& path, Mode mode) : m_file(openLockFile(path)) {
    if (!m_file.valid()) {
        m_error = GetLastError();
        return;
    }
    OVERLAPPED start = {};
    const DWORD flags = mode == Mode::kExclusive ? LOCKFILE_EXCLUSIVE_LOCK : 0;
    if (!LockFileEx(m_file.get(), flags, 0, kRangeLow, kRangeHigh, &start)) {
        m_error = GetLastError();
    }
}

FileLock::~FileLock() {
    if (m_error == 0) {
        OVERLAPPED start = {};
        UnlockFileEx(m_file.get(), 0, kRangeLow, kRangeHigh, &start);
    }
}

}  // namespace tavo
