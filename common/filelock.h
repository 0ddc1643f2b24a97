#pragma once

#include <windows.h>

#include <string>

#include "common/scopedhandle.h"

namespace tavo {

// A byte-range lock over the whole of an existing lock file, held from construction to
// destruction: shared for readers, exclusive for a writer. Every process that shares the file
// locks it this way. The request waits without a time-out.
class FileLock {
public:
    enum class Mode { kShared, kExclusive };

    FileLock(const std::wstring& path, Mode mode);
    ~FileLock();
    FileLock(const FileLock&) = delete;
    FileLock& operator=(const FileLock&) = delete;

    // 0 while the lock is held; otherwise the system's error for opening or locking the file.
    DWORD error() const { return m_error; }

private:
    ScopedHandle m_file;
    DWORD m_error = 0;
};

}  // namespace tavo
