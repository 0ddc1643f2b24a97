#pragma once

#include <windows.h>

#include <cstddef>
#include <cstdint>

// What a crashing process and the crash server exchange. The crash server reads these layouts
// out of the client's memory and off the pipe, so they are fixed: on 32-bit Windows every field
// is 32 bits wide; addresses and handles follow the pointer width, so a 64-bit build speaks the
// same protocol at its native width.

enum CrashPipeMessageType : uint32_t {
    CRASH_MSG_REGISTER = 1,
    CRASH_MSG_REGISTER_REPLY = 2,
    CRASH_MSG_REGISTER_ACK = 3,
    CRASH_MSG_UPLOAD = 4,
};

// Where the client keeps its custom information entries, and how many there are.
struct ClientInfoList {
    uintptr_t entries;
    uint32_t count;
};

// Built zeroed, then filled. Addresses and handles are values of the client's process.
struct CrashPipeMessage {
    uint32_t tag;
    uint32_t id;
    uint32_t dumpType;
    uintptr_t threadIdAddress;
    uintptr_t exceptionPointersAddress;
    uintptr_t assertionInfoAddress;
    ClientInfoList customInfo;
    uintptr_t dumpRequestEvent;
    uintptr_t dumpWrittenEvent;
    uintptr_t serverProcessHandle;
};

enum AssertionType : uint32_t {
    ASSERTION_INVALID_PARAMETER = 1,
    ASSERTION_PURE_CALL = 2,
};

// An invalid-parameter report or a pure virtual call, as the dump and the crash server see it.
struct AssertionInfo {
    wchar_t expression[128];
    wchar_t function[128];
    wchar_t file[128];
    uint32_t line;
    uint32_t type;
};

static_assert(sizeof(wchar_t) == 2, "texts are UTF-16");
static_assert(sizeof(AssertionInfo) == 776, "AssertionInfo is read by the crash server");
static_assert(offsetof(AssertionInfo, function) == 256 && offsetof(AssertionInfo, file) == 512 &&
                  offsetof(AssertionInfo, line) == 768 && offsetof(AssertionInfo, type) == 772,
              "AssertionInfo layout");

#if defined(_M_IX86) || defined(__i386__)
static_assert(sizeof(CrashPipeMessage) == 44, "eleven 32-bit values");
static_assert(offsetof(CrashPipeMessage, tag) == 0, "tag");
static_assert(offsetof(CrashPipeMessage, id) == 4, "id");
static_assert(offsetof(CrashPipeMessage, dumpType) == 8, "dumpType");
static_assert(offsetof(CrashPipeMessage, threadIdAddress) == 12, "threadIdAddress");
static_assert(offsetof(CrashPipeMessage, exceptionPointersAddress) == 16, "exceptionPointersAddress");
static_assert(offsetof(CrashPipeMessage, assertionInfoAddress) == 20, "assertionInfoAddress");
static_assert(offsetof(CrashPipeMessage, customInfo) + offsetof(ClientInfoList, entries) == 24,
              "customInfo, first half");
static_assert(offsetof(CrashPipeMessage, customInfo) + offsetof(ClientInfoList, count) == 28,
              "customInfo, second half");
static_assert(offsetof(CrashPipeMessage, dumpRequestEvent) == 32, "dumpRequestEvent");
static_assert(offsetof(CrashPipeMessage, dumpWrittenEvent) == 36, "dumpWrittenEvent");
static_assert(offsetof(CrashPipeMessage, serverProcessHandle) == 40, "serverProcessHandle");
#endif
