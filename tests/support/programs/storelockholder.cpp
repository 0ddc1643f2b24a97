// A second process that shares a store: holds the exclusive lock on LOCKFILE, creates READYFILE,
// waits HOLDMS milliseconds, copies SOURCE over TARGET when given, and only then releases the lock.
// Paths may have any name (the arguments are read as wide text).
//   storelockholder LOCKFILE READYFILE HOLDMS [SOURCE TARGET]
#include <windows.h>

#include <shellapi.h>

#include <cstdio>
#include <cwchar>

#include "common/filelock.h"

int main() {
    int argc = 0;
    wchar_t** argv = CommandLineToArgvW(GetCommandLineW(), &argc);
    if (argv == nullptr || (argc != 4 && argc != 6)) {
        fprintf(stderr, "usage: storelockholder LOCKFILE READYFILE HOLDMS [SOURCE TARGET]\n");
        return 2;
    }
    const tavo::FileLock exclusive(argv[1], tavo::FileLock::Mode::kExclusive);
    if (exclusive.error() != 0) {
        fprintf(stderr, "lock failed with %lu\n", exclusive.error());
        return 5;
    }
    HANDLE ready = CreateFileW(argv[2], GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (ready == INVALID_HANDLE_VALUE) {
        return 3;
    }
    CloseHandle(ready);
    Sleep(static_cast<DWORD>(wcstoul(argv[3], nullptr, 10)));
    if (argc == 6 && !CopyFileW(argv[4], argv[5], FALSE)) {
        return 4;
    }
    return 0;
}
