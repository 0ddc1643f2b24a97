// A second process that shares a store: holds the exclusive lock on LOCKFILE, creates READYFILE,
// waits HOLDMS milliseconds, copies SOURCE over TARGET when given, and only then releases the lock.
//   storelockholder LOCKFILE READYFILE HOLDMS [SOURCE TARGET]
#include <windows.h>

#include <boost/interprocess/sync/file_lock.hpp>
#include <boost/interprocess/sync/scoped_lock.hpp>

#include <cstdio>
#include <cstdlib>

int main(int argc, char** argv) {
    if (argc != 4 && argc != 6) {
        fprintf(stderr, "usage: storelockholder LOCKFILE READYFILE HOLDMS [SOURCE TARGET]\n");
        return 2;
    }
    try {
        boost::interprocess::file_lock lock(argv[1]);
        boost::interprocess::scoped_lock<boost::interprocess::file_lock> exclusive(lock);
        HANDLE ready = CreateFileA(argv[2], GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (ready == INVALID_HANDLE_VALUE) {
            return 3;
        }
        CloseHandle(ready);
        Sleep(static_cast<DWORD>(strtoul(argv[3], nullptr, 10)));
        if (argc == 6 && !CopyFileA(argv[4], argv[5], FALSE)) {
            return 4;
        }
    } catch (const std::exception& e) {
        fprintf(stderr, "%s\n", e.what());
        return 5;
    }
    return 0;
}
