// A process that holds a file open the way a virus scanner or a backup agent may: for reading,
// sharing reading and writing but not deleting, so the file can be neither replaced nor renamed.
// Opens FILE, creates READYFILE, and closes FILE once RELEASEFILE exists (after a minute at most).
// Paths may have any name (the arguments are read as wide text).
//   fileholder FILE READYFILE RELEASEFILE
#include <windows.h>

#include <shellapi.h>

#include <cstdio>

int main() {
    int argc = 0;
    wchar_t** argv = CommandLineToArgvW(GetCommandLineW(), &argc);
    if (argv == nullptr || argc != 4) {
        fprintf(stderr, "usage: fileholder FILE READYFILE RELEASEFILE\n");
        return 2;
    }
    HANDLE held = CreateFileW(argv[1], GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (held == INVALID_HANDLE_VALUE) {
        fprintf(stderr, "open failed with %lu\n", GetLastError());
        return 3;
    }
    HANDLE ready = CreateFileW(argv[2], GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (ready == INVALID_HANDLE_VALUE) {
        return 4;
    }
    CloseHandle(ready);
    const ULONGLONG deadline = GetTickCount64() + 60000;
    while (GetFileAttributesW(argv[3]) == INVALID_FILE_ATTRIBUTES && GetTickCount64() < deadline) {
        Sleep(5);
    }
    CloseHandle(held);
    return 0;
}
