// A child for the command runner's tests. Modes:
//   lines N        N lines "line 0000\r\n"... on standard output, then "to stderr\n" on standard error
//   zeros          the bytes "a\0b\r\nc" on standard output
//   stdin          reads standard input to its end and reports "read N bytes\n"; after 10 s without an
//                  end it reports "stdin still open\n" and exits
//   touch PATH ... creates the file PATH (further arguments are ignored) and writes "touched\n"
#include <windows.h>

#include <fcntl.h>
#include <io.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

DWORD WINAPI readStdin(LPVOID total) {
    char buffer[256];
    size_t got = 0;
    while ((got = fread(buffer, 1, sizeof(buffer), stdin)) > 0) {
        *static_cast<size_t*>(total) += got;
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    _setmode(_fileno(stdout), _O_BINARY);
    _setmode(_fileno(stderr), _O_BINARY);
    if (argc < 2) {
        return 2;
    }
    if (strcmp(argv[1], "lines") == 0 && argc > 2) {
        const int count = atoi(argv[2]);
        for (int i = 0; i < count; ++i) {
            printf("line %04d\r\n", i);
        }
        fflush(stdout);
        fputs("to stderr\n", stderr);
        return 0;
    }
    if (strcmp(argv[1], "zeros") == 0) {
        fwrite("a\0b\r\nc", 1, 6, stdout);
        return 0;
    }
    if (strcmp(argv[1], "stdin") == 0) {
        static size_t total = 0;
        HANDLE reader = CreateThread(nullptr, 0, readStdin, &total, 0, nullptr);
        if (reader == nullptr || WaitForSingleObject(reader, 10000) != WAIT_OBJECT_0) {
            fputs("stdin still open\n", stdout);
            fflush(stdout);
            ExitProcess(0);
        }
        printf("read %u bytes\n", static_cast<unsigned>(total));
        return 0;
    }
    if (strcmp(argv[1], "touch") == 0 && argc > 2) {
        FILE* file = fopen(argv[2], "wb");
        if (file == nullptr) {
            return 3;
        }
        fclose(file);
        fputs("touched\n", stdout);
        return 0;
    }
    return 2;
}
