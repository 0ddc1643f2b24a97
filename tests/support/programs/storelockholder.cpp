// A second process that shares a store: holds the exclusive lock on LOCKFILE, creates READYFILE,
// waits HOLDMS milliseconds, copies SOURCE over TARGET when given, and only then releases the lock.
// It locks with calls of its own, on the range and in the mode that every peer of the store uses,
// not through the store's code: the store is tried against a peer as it is.
// Paths may have any name (the arguments are read as wide text).
//   storelockholder LOCKFILE READYFILE HOLDMS [SOURCE TARGET]
#include <windows.h>

#include <shellapi.h>

#include <cstdio>
#include <cwchar>

int main() {
    int argc = 0;
    wchar_t** argv = CommandLineToArgvW(GetCommandLineW(), &argc);
    if (argv == nullptr || (argc != 4 && argc != 6)) {
        fprintf(stderr, "usage: storelockholder LOCKFILE READYFILE HOLDMS [SOURCE TARGET]\n");
        return 2;
    }
    HANDLE lockFile = CreateFileW(argv[1], GENERIC_READ | GENERIC_WRITE,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING, 0,
                                  nullptr);
    if (lockFile == INVALID_HANDLE_VALUE) {
        fprintf(stderr, "open failed with %lu\n", GetLastError());
        return 5;
    }
    // From offset 0, 0xFFFFFFFF in both halves of the length.
    OVERLAPPED start = {};
    if (!LockFileEx(lockFile, LOCKFILE_EXCLUSIVE_LOCK, 0, 0xFFFFFFFF, 0xFFFFFFFF, &start)) {
        fprintf(stderr, "lock failed with %lu\n", GetLastError());
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
    UnlockFileEx(lockFile, 0, 0xFFFFFFFF, 0xFFFFFFFF, &start);
    CloseHandle(lockFile);
    return 0;
}
