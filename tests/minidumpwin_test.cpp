#include "agent/windows/minidumpwin.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <cwchar>
#include <string>
#include <vector>

#include "common/scopedhandle.h"
#include "common/tavopath.h"
#include "tests/support/accesslist.h"
#include "tests/support/filesecuritycapture.h"
#include "tests/support/testutils.h"

using tavo::test::FileExists;
using tavo::test::FileSecurityCapture;
using tavo::test::FindLogLine;
using tavo::test::GrantsOtherUsersNothing;
using tavo::test::IsStoreAccessList;
using tavo::test::LogLines;
using tavo::test::ProgramDir;
using tavo::test::ReadAccessList;
using tavo::test::ReadFileBytes;
using tavo::test::TempDir;
using tavo::test::WriteFileBytes;

namespace {

const std::string kChild = "exceptionhandlerchild.exe";
const std::string kDumpPrefix = kChild + "_1.1.83_";
const std::string kPattern = kDumpPrefix + "??????????????.mdmp";
const std::string kBlanks28(28, ' ');
const std::string kBlanks30(30, ' ');
const std::string kBlanks32(32, ' ');

struct ChildResult {
    DWORD exitCode = 0;
    DWORD processId = 0;
    std::vector<std::string> lines;  // from the function name on, as LogTail gives them
    std::string log;
};

// The test's environment with TMP replaced: the child's temporary folder is the test's choice.
std::wstring environmentWithTmp(const std::string& tmp) {
    std::wstring block;
    LPWCH strings = GetEnvironmentStringsW();
    for (const wchar_t* entry = strings; *entry != L'\0'; entry += wcslen(entry) + 1) {
        if (_wcsnicmp(entry, L"TMP=", 4) != 0) {
            block.append(entry).push_back(L'\0');
        }
    }
    FreeEnvironmentStringsW(strings);
    block.append(L"TMP=" + tavo::StringToWString(tmp)).push_back(L'\0');
    block.push_back(L'\0');
    return block;
}

ChildResult runChild(const std::string& tmp, const std::string& arguments,
                     const std::string& program = ProgramDir() + kChild) {
    TempDir logDir;
    const std::string log = logDir.file("child.log");
    std::wstring command = tavo::StringToWString("\"" + program + "\" \"" + log + "\" " + arguments);
    std::wstring environment = environmentWithTmp(tmp);
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process = {};
    ChildResult result;
    if (!CreateProcessW(nullptr, &command[0], nullptr, nullptr, FALSE, CREATE_UNICODE_ENVIRONMENT, &environment[0],
                        nullptr, &startup, &process)) {
        ADD_FAILURE() << "cannot start " << program << ": " << GetLastError();
        return result;
    }
    tavo::ScopedHandle processHandle(process.hProcess);
    tavo::ScopedHandle threadHandle(process.hThread);
    if (WaitForSingleObject(process.hProcess, 45000) != WAIT_OBJECT_0) {
        TerminateProcess(process.hProcess, 99);
        WaitForSingleObject(process.hProcess, 5000);
        ADD_FAILURE() << "child did not end: " << arguments;
    }
    GetExitCodeProcess(process.hProcess, &result.exitCode);
    result.processId = process.dwProcessId;
    result.log = ReadFileBytes(log);
    result.lines = LogLines(result.log);
    return result;
}

// Names of the plain files in dir that end in ".mdmp", sorted.
std::vector<std::string> dumpFiles(const std::string& dir) {
    std::vector<std::string> names;
    WIN32_FIND_DATAA data;
    HANDLE find = FindFirstFileA((dir + "*.mdmp").c_str(), &data);
    if (find != INVALID_HANDLE_VALUE) {
        do {
            if ((data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
                names.push_back(data.cFileName);
            }
        } while (FindNextFileA(find, &data));
        FindClose(find);
    }
    std::sort(names.begin(), names.end());
    return names;
}

std::string stamp(const SYSTEMTIME& time) {
    char text[16];
    snprintf(text, sizeof(text), "%.4d%.2d%.2d%.2d%.2d%.2d", time.wYear, time.wMonth, time.wDay, time.wHour,
             time.wMinute, time.wSecond);
    return text;
}

// The local time stamp of a dump name, `offset` seconds from now.
std::string localStamp(int offset = 0) {
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    ULARGE_INTEGER ticks;
    ticks.LowPart = now.dwLowDateTime;
    ticks.HighPart = now.dwHighDateTime;
    ticks.QuadPart += static_cast<ULONGLONG>(static_cast<LONGLONG>(offset) * 10000000LL);
    FILETIME shifted = {ticks.LowPart, ticks.HighPart};
    SYSTEMTIME utc;
    SYSTEMTIME local;
    FileTimeToSystemTime(&shifted, &utc);
    SystemTimeToTzSpecificLocalTime(nullptr, &utc, &local);
    return stamp(local);
}

// A dump's name with a time stamp between the two given ones.
bool isDumpNameBetween(const std::string& name, const std::string& first, const std::string& last) {
    const std::string suffix = ".mdmp";
    if (name.size() != kDumpPrefix.size() + 14 + suffix.size() ||
        name.compare(0, kDumpPrefix.size(), kDumpPrefix) != 0 ||
        name.compare(name.size() - suffix.size(), suffix.size(), suffix) != 0) {
        return false;
    }
    const std::string time = name.substr(kDumpPrefix.size(), 14);
    return std::all_of(time.begin(), time.end(), ::isdigit) && time >= first && time <= last;
}

struct DumpHeader {
    bool valid = false;
    uint64_t flags = 0;
    uint32_t exceptionCode = 0;
};

// The dump type in the header's flags and the code of its exception stream.
DumpHeader readDump(const std::string& path) {
    const std::string bytes = ReadFileBytes(path);
    DumpHeader header;
    auto u32 = [&bytes](size_t offset) {
        uint32_t value = 0;
        if (offset + 4 <= bytes.size()) {
            memcpy(&value, bytes.data() + offset, 4);
        }
        return value;
    };
    if (bytes.size() < 32 || bytes.compare(0, 4, "MDMP") != 0) {
        return header;
    }
    header.valid = true;
    memcpy(&header.flags, bytes.data() + 24, 8);
    const uint32_t streams = u32(8);
    const uint32_t directory = u32(12);
    for (uint32_t i = 0; i < streams; ++i) {
        if (u32(directory + 12 * i) == 6) {  // ExceptionStream: thread id, alignment, then the code
            header.exceptionCode = u32(u32(directory + 12 * i + 8) + 8);
        }
    }
    return header;
}

std::string unhandledLine(const std::string& code, const std::string& name, const std::string& path) {
    return "CExceptionHandlerEx::GenerateMiniDump S: debug :: UNHANDLED_EXCEPTION - (0x" + code + "), " + name +
           ". A minidump file is located at: " + path;
}

std::string noMatchLine(const std::string& pattern) {
    return "CExceptionHandlerEx::PruneMiniDumpFiles S: error :: CExceptionHandlerEx::PruneMiniDumpFiles -" +
           kBlanks30 + "There are no minidump files matching the search pattern: " + pattern + " failed.";
}

int indexOf(const std::vector<std::string>& lines, const std::string& line) {
    const auto found = std::find(lines.begin(), lines.end(), line);
    return found == lines.end() ? -1 : static_cast<int>(found - lines.begin());
}

// Asks the installed handler, in this process, for the dump of an access violation here.
void GenerateAccessViolationDump() {
    EXCEPTION_RECORD record = {};
    record.ExceptionCode = 0xC0000005;
    CONTEXT context = {};
    RtlCaptureContext(&context);
    EXCEPTION_POINTERS pointers = {&record, &context};
    CExceptionHandlerEx::GenerateMiniDump(&pointers);
}

struct DumpKindCase {
    const char* config;
    uint64_t dumpType;
};

void PrintTo(const DumpKindCase& c, std::ostream* os) {
    *os << c.config;
}

// One process per dump kind: a full-memory dump under Wine takes most of a test's time limit.
class CExceptionHandlerExDumpKind : public testing::TestWithParam<DumpKindCase> {};

TEST_P(CExceptionHandlerExDumpKind, AccessViolationIsDumpedThenThePreviousFilterAnswersThenTheCallbackRuns) {
    const DumpKindCase& c = GetParam();
    TempDir dir;
    const std::string before = localStamp();
    // Extra trailing backslashes must not reach the dump's path.
    const ChildResult child = runChild(dir.path() + "\\", std::string("crash av ") + c.config);
    const std::string after = localStamp();

    // The previous filter's answer (execute handler) ends the process with the exception's code.
    EXPECT_EQ(child.exitCode, 0xC0000005) << c.config;
    const std::vector<std::string> dumps = dumpFiles(dir.path());
    ASSERT_EQ(dumps.size(), 1u) << c.config << child.log;
    EXPECT_TRUE(isDumpNameBetween(dumps[0], before, after)) << dumps[0] << " " << before << " " << after;
    const DumpHeader header = readDump(dir.file(dumps[0]));
    EXPECT_TRUE(header.valid);
    EXPECT_EQ(header.flags, c.dumpType) << c.config;
    EXPECT_EQ(header.exceptionCode, 0xC0000005u);
    EXPECT_TRUE(GrantsOtherUsersNothing(ReadAccessList(dir.file(dumps[0]))));

    EXPECT_GE(indexOf(child.lines, noMatchLine(dir.path() + kPattern)), 0) << child.log;
    const int dumped = indexOf(child.lines, unhandledLine("C0000005", "ACCESS_VIOLATION", dir.file(dumps[0])));
    ASSERT_GE(dumped, 0) << child.log;
    const int previous = FindLogLine(child.lines, ":: previous filter 0xC0000005", dumped);
    ASSERT_GT(previous, dumped) << child.log;
    EXPECT_GT(FindLogLine(child.lines, ":: global callback", previous), previous) << child.log;
}

INSTANTIATE_TEST_SUITE_P(Kinds, CExceptionHandlerExDumpKind,
                         testing::Values(DumpKindCase{"40000001", 0x8}, DumpKindCase{"40000002", 0x147}),
                         [](const testing::TestParamInfo<DumpKindCase>& info) {
                             return std::string(info.param.config);
                         });

TEST(CExceptionHandlerEx, DisabledDumpKindsWriteNothingAndStillAskThePreviousFilter) {
    const std::string disabled =
        "CExceptionHandlerEx::GenerateMiniDump S: debug :: CExceptionHandlerEx::GenerateMiniDump -" + kBlanks30 +
        "MiniDump functionality has been disabled on this system";
    for (const char* config : {"40000000", "40000003", "4000000F"}) {
        TempDir dir;
        const ChildResult child = runChild(dir.path(), std::string("crash av ") + config);
        EXPECT_EQ(child.exitCode, 0xC0000005) << config;
        EXPECT_TRUE(dumpFiles(dir.path()).empty()) << config;
        const int line = indexOf(child.lines, disabled);
        EXPECT_GE(line, 0) << config << child.log;
        EXPECT_GT(FindLogLine(child.lines, ":: previous filter 0xC0000005", line), line) << child.log;
    }
}

TEST(CExceptionHandlerEx, BreakpointsAreDumpedUnlessBit31ExcludesThem) {
    {
        TempDir dir;
        const ChildResult child = runChild(dir.path(), "crash break 40000001");
        EXPECT_EQ(child.exitCode, 0x80000003);
        const std::vector<std::string> dumps = dumpFiles(dir.path());
        ASSERT_EQ(dumps.size(), 1u) << child.log;
        EXPECT_EQ(readDump(dir.file(dumps[0])).exceptionCode, 0x80000003u);
        EXPECT_GE(indexOf(child.lines, unhandledLine("80000003", "BREAKPOINT", dir.file(dumps[0]))), 0) << child.log;
    }
    {
        TempDir dir;
        const ChildResult child = runChild(dir.path(), "crash break C0000001");
        EXPECT_EQ(child.exitCode, 0x80000003);
        EXPECT_TRUE(dumpFiles(dir.path()).empty());
        EXPECT_GE(indexOf(child.lines, "CExceptionHandlerEx::GenerateMiniDump S: debug :: "
                                       "CExceptionHandlerEx::GenerateMiniDump -" +
                                           kBlanks30 +
                                           "Minidump generation for a Breakpoint exceptions has been disabled on "
                                           "this system."),
                  0)
            << child.log;
        EXPECT_GE(FindLogLine(child.lines, ":: previous filter 0x80000003"), 0) << child.log;
    }
}

TEST(CExceptionHandlerEx, SecondInstanceIsRefusedAndTheFirstKeepsWorking) {
    TempDir dir;
    const ChildResult child = runChild(dir.path(), "second");
    char mutexName[40];
    snprintf(mutexName, sizeof(mutexName), "CExceptionHandlerEx_0x%.8X", static_cast<unsigned>(child.processId));
    const std::string refused = "CExceptionHandlerEx::InstallGlobalExceptionHandler S: error :: "
                                "CExceptionHandlerEx::InstallGlobalExceptionHandler -" +
                                kBlanks30 + "Mutex lock already exists (" + mutexName +
                                ") for this process. Error = 0x000000B7";
    // Once from its constructor, once from the explicit call.
    EXPECT_EQ(std::count(child.lines.begin(), child.lines.end(), refused), 2) << child.log;
    EXPECT_GE(FindLogLine(child.lines, ":: second install 0x00000001"), 0) << child.log;

    EXPECT_EQ(child.exitCode, 0xC0000005);
    const std::vector<std::string> dumps = dumpFiles(dir.path());
    ASSERT_EQ(dumps.size(), 1u) << child.log;
    EXPECT_GE(indexOf(child.lines, unhandledLine("C0000005", "ACCESS_VIOLATION", dir.file(dumps[0]))), 0)
        << child.log;
}

// The faulting thread may hold the logger's lock, which it never lets go (here another thread holds
// it for good, which the lock cannot tell apart): the dump's lines are dropped, and the dump is
// written and the process ends all the same.
TEST(CExceptionHandlerEx, FaultWhileTheLoggerIsHeldIsDumpedAndEndsTheProcess) {
    TempDir dir;
    const ChildResult child = runChild(dir.path(), "busy 40000001");
    EXPECT_EQ(child.exitCode, 0xC0000005);
    EXPECT_GE(indexOf(child.lines, noMatchLine(dir.path() + kPattern)), 0) << "the log was not the pipe: " << child.log;
    const std::vector<std::string> dumps = dumpFiles(dir.path());
    ASSERT_EQ(dumps.size(), 1u) << child.log;
    EXPECT_EQ(readDump(dir.file(dumps[0])).exceptionCode, 0xC0000005u);
}

// The temporary folder is shared with other users: whatever waits under the dump's name is removed
// or refused, never written through. (An earlier dump of the same second is such a name too: it is
// replaced.)
TEST(CExceptionHandlerEx, PlantedLinksAndFoldersUnderTheDumpNameAreNotWrittenThrough) {
    // Keep 1000, so that pruning at installation leaves the planted names alone.
    const std::string config = "40003E81";
    {
        TempDir dir;
        TempDir elsewhere;
        const std::string victim = elsewhere.file("victim.txt");
        WriteFileBytes(victim, "precious");
        std::vector<std::string> planted;
        for (int offset = -2; offset < 30; ++offset) {
            planted.push_back(kDumpPrefix + localStamp(offset) + ".mdmp");
            ASSERT_TRUE(CreateHardLinkA(dir.file(planted.back()).c_str(), victim.c_str(), nullptr));
        }
        const ChildResult child = runChild(dir.path(), "crash av " + config);
        EXPECT_EQ(child.exitCode, 0xC0000005);
        EXPECT_EQ(ReadFileBytes(victim), "precious");
        const int dumped = FindLogLine(child.lines, "UNHANDLED_EXCEPTION - (0xC0000005)");
        ASSERT_GE(dumped, 0) << child.log;
        const std::string path = child.lines[dumped].substr(child.lines[dumped].rfind(": ") + 2);
        ASSERT_EQ(path.compare(0, dir.path().size(), dir.path()), 0) << path;
        EXPECT_NE(std::find(planted.begin(), planted.end(), path.substr(dir.path().size())), planted.end())
            << "the dump missed the planted names: " << path;
        EXPECT_TRUE(readDump(path).valid);
    }
    {
        TempDir dir;
        for (int offset = -2; offset < 30; ++offset) {
            ASSERT_TRUE(CreateDirectoryA(dir.file(kDumpPrefix + localStamp(offset) + ".mdmp").c_str(), nullptr));
        }
        const ChildResult child = runChild(dir.path(), "crash av " + config);
        EXPECT_EQ(child.exitCode, 0xC0000005);
        const std::string head =
            "CExceptionHandlerEx::GenerateMiniDump S: debug :: CExceptionHandlerEx::GenerateMiniDump - CreateFile "
            "failed to create file " +
            dir.path() + kDumpPrefix;
        const int failed = FindLogLine(child.lines, head);
        ASSERT_GE(failed, 0) << child.log;
        const std::string& line = child.lines[failed];
        ASSERT_GT(line.size(), head.size() + 14 + 8);
        const std::string time = line.substr(head.size(), 14);
        const std::string error = line.substr(line.size() - 8);
        EXPECT_EQ(line, head + time + ".mdmp," + kBlanks32 + "Error = 0x" + error);
        EXPECT_EQ(error.find_first_not_of("0123456789ABCDEF"), std::string::npos) << line;
        EXPECT_EQ(FindLogLine(child.lines, "UNHANDLED_EXCEPTION"), -1) << child.log;
        EXPECT_GE(FindLogLine(child.lines, ":: previous filter 0xC0000005", failed), 0) << child.log;
    }
}

FILETIME fileTime(int hours) {
    SYSTEMTIME base = {2026, 1, 4, 1, 0, 0, 0, 0};
    FILETIME time;
    SystemTimeToFileTime(&base, &time);
    ULARGE_INTEGER ticks;
    ticks.LowPart = time.dwLowDateTime;
    ticks.HighPart = time.dwHighDateTime;
    ticks.QuadPart += static_cast<ULONGLONG>(hours) * 3600ULL * 10000000ULL;
    return {ticks.LowPart, ticks.HighPart};
}

// Wine keeps no creation time and reports the last write in its place, so both are set.
void setTimes(const std::string& path, int hours, DWORD flags = 0) {
    tavo::ScopedHandle file(
        CreateFileA(path.c_str(), FILE_WRITE_ATTRIBUTES, 0, nullptr, OPEN_EXISTING, flags, nullptr));
    ASSERT_TRUE(file.valid()) << path;
    const FILETIME time = fileTime(hours);
    ASSERT_TRUE(SetFileTime(file.get(), &time, nullptr, &time)) << path;
}

void makeFile(const std::string& path, int hours) {
    WriteFileBytes(path, "dump");
    setTimes(path, hours);
}

// Seven dumps of this executable and version; their names' order is not their age's.
const int kAgeRank[7] = {3, 0, 6, 1, 5, 2, 4};

std::string rankedDump(int index) {
    return kDumpPrefix + "2025010100000" + std::to_string(index) + ".mdmp";
}

TEST(CExceptionHandlerEx, InstallationKeepsTheNewestDumpsOfThisExecutableAndVersion) {
    const std::string others[] = {kChild + "_1.1.82_20200101000000.mdmp", "otherprogram.exe_1.1.83_20200101000000.mdmp",
                                  kDumpPrefix + "20200101000000.dmp"};
    const struct {
        const char* config;
        int keep;
    } cases[] = {{"40000001", 5}, {"40000031", 3}};
    for (const auto& c : cases) {
        TempDir dir;
        for (int i = 0; i < 7; ++i) {
            makeFile(dir.file(rankedDump(i)), 10 + kAgeRank[i]);
        }
        for (const std::string& other : others) {
            makeFile(dir.file(other), 1);
        }
        // A folder that matches the pattern is newer than every dump: counted, it would cost one.
        const std::string folder = dir.file(kDumpPrefix + "20250101000009.mdmp");
        ASSERT_TRUE(CreateDirectoryA(folder.c_str(), nullptr));
        setTimes(folder, 100, FILE_FLAG_BACKUP_SEMANTICS);

        const ChildResult child = runChild(dir.path(), std::string("install ") + c.config);
        EXPECT_EQ(child.exitCode, 0u);
        for (int i = 0; i < 7; ++i) {
            EXPECT_EQ(FileExists(dir.file(rankedDump(i))), kAgeRank[i] >= 7 - c.keep) << c.config << " " << i;
        }
        for (const std::string& other : others) {
            EXPECT_TRUE(FileExists(dir.file(other))) << other;
        }
        EXPECT_TRUE(FileExists(folder));
        EXPECT_EQ(FindLogLine(child.lines, "DeleteFile error"), -1) << child.log;
    }
}

TEST(CExceptionHandlerEx, PruningReportsNoMatchAndGoesOnPastADumpItCannotDelete) {
    {
        TempDir dir;
        const ChildResult child = runChild(dir.path(), "prune 5");
        EXPECT_GE(FindLogLine(child.lines, ":: prune result 0x00000001"), 0) << child.log;
        EXPECT_GE(indexOf(child.lines, noMatchLine(dir.path() + kPattern)), 0) << child.log;
    }
    {
        TempDir dir;
        for (int i = 0; i < 7; ++i) {
            makeFile(dir.file(rankedDump(i)), 10 + kAgeRank[i]);
        }
        // The oldest dump is held open without delete sharing: it stays, and so does the next one,
        // since each old entry counts once whether or not it went.
        const std::string oldest = dir.file(rankedDump(1));
        tavo::ScopedHandle held(CreateFileA(oldest.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr));
        ASSERT_TRUE(held.valid());
        const ChildResult child = runChild(dir.path(), "prune 5");
        EXPECT_GE(FindLogLine(child.lines, ":: prune result 0x00000000"), 0) << child.log;
        EXPECT_GE(indexOf(child.lines, "CExceptionHandlerEx::PruneMiniDumpFiles S: error :: DeleteFile error "
                                       "0x80070020 failed to delete " +
                                           oldest),
                  0)
            << child.log;
        EXPECT_TRUE(FileExists(oldest));
        EXPECT_FALSE(FileExists(dir.file(rankedDump(3))));
        EXPECT_EQ(dumpFiles(dir.path()).size(), 6u);
    }
}

TEST(CExceptionHandlerEx, MissingFolderPutsTheDumpBesideTheExecutable) {
    TempDir exeDir;
    const std::string program = exeDir.file(kChild);
    ASSERT_TRUE(CopyFileA((ProgramDir() + kChild).c_str(), program.c_str(), FALSE));
    const ChildResult child = runChild(exeDir.file("missing\\"), "crash av 40000001", program);
    EXPECT_EQ(child.exitCode, 0xC0000005);
    EXPECT_GE(indexOf(child.lines, noMatchLine(program + "_1.1.83_??????????????.mdmp")), 0) << child.log;
    const std::vector<std::string> dumps = dumpFiles(exeDir.path());
    ASSERT_EQ(dumps.size(), 1u) << child.log;
    EXPECT_GE(indexOf(child.lines, unhandledLine("C0000005", "ACCESS_VIOLATION", exeDir.file(dumps[0]))), 0)
        << child.log;
}

TEST(CExceptionHandlerEx, NamesTheTableCodesAndAsksNtdllForOthers) {
    const struct {
        DWORD code;
        const wchar_t* name;
    } cases[] = {
        {0x80000001, L"GUARD_PAGE"},
        {0x80000002, L"DATATYPE_MISALIGNMENT"},
        {0x80000003, L"BREAKPOINT"},
        {0x80000004, L"SINGLE_STEP"},
        {0xC0000005, L"ACCESS_VIOLATION"},
        {0xC0000006, L"IN_PAGE_ERROR"},
        {0xC0000008, L"INVALID_HANDLE"},
        {0xC000001D, L"ILLEGAL_INSTRUCTION"},
        {0xC0000025, L"NONCONTINUABLE_EXCEPTION"},
        {0xC0000026, L"INVALID_DISPOSITION"},
        {0xC000008C, L"ARRAY_BOUNDS_EXCEEDED"},
        {0xC000008D, L"FLT_DENORMAL_OPERAND"},
        {0xC000008E, L"FLT_DIVIDE_BY_ZERO"},
        {0xC000008F, L"FLT_INEXACT_RESULT"},
        {0xC0000090, L"FLT_INVALID_OPERATION"},
        {0xC0000091, L"FLT_OVERFLOW"},
        {0xC0000092, L"FLT_STACK_CHECK"},
        {0xC0000093, L"FLT_UNDERFLOW"},
        {0xC0000094, L"INT_DIVIDE_BY_ZERO"},
        {0xC0000095, L"INT_OVERFLOW"},
        {0xC0000096, L"PRIV_INSTRUCTION"},
        {0xC00000FD, L"STACK_OVERFLOW"},
        {0xE06D7363, L"Microsoft Compiler Generated (Q185294)"},
    };
    for (const auto& c : cases) {
        EXPECT_STREQ(CExceptionHandlerEx::GetExceptionName(c.code), c.name) << std::hex << c.code;
    }

    // NTDLL's own text (Wine's NTDLL has none, and the name is then empty).
    wchar_t expected[512] = {};
    FormatMessageW(FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_IGNORE_INSERTS, GetModuleHandleW(L"NTDLL.DLL"),
                   0xC0000409, 0, expected, 512, nullptr);
    EXPECT_STREQ(CExceptionHandlerEx::GetExceptionName(0xC0000409), expected);
    // A code without a text is not given the text of the code named before it.
    EXPECT_STREQ(CExceptionHandlerEx::GetExceptionName(0xE0000001), L"");
}

LONG WINAPI markerFilter(EXCEPTION_POINTERS*) {
    return EXCEPTION_CONTINUE_SEARCH;
}

LPTOP_LEVEL_EXCEPTION_FILTER currentFilter() {
    LPTOP_LEVEL_EXCEPTION_FILTER filter = SetUnhandledExceptionFilter(nullptr);
    SetUnhandledExceptionFilter(filter);
    return filter;
}

TEST(CExceptionHandlerEx, DestructionPutsBackTheFilterAndTheErrorModeAndLetsGoOfDbgHelp) {
    TempDir dir;
    char savedTmp[MAX_PATH] = {};
    const bool hadTmp = GetEnvironmentVariableA("TMP", savedTmp, MAX_PATH) != 0;
    ASSERT_TRUE(SetEnvironmentVariableA("TMP", dir.path().c_str()));
    const UINT savedMode = SetErrorMode(SEM_FAILCRITICALERRORS);
    const LPTOP_LEVEL_EXCEPTION_FILTER savedFilter = SetUnhandledExceptionFilter(markerFilter);

    const struct {
        uint32_t config;
        UINT mode;
    } cases[] = {{CExceptionHandlerEx::kMiniDumpConfiguration, 0}, {0x00000001, SEM_NOGPFAULTERRORBOX}};
    // Each case installs anew, which a mutex handle left behind by the case before would refuse: a
    // second installation on one object takes none.
    for (const auto& c : cases) {
        {
            CExceptionHandlerEx handler(c.config);
            EXPECT_EQ(currentFilter(), &CExceptionHandlerEx::TopLevelExceptionFilter) << c.config;
            EXPECT_EQ(GetErrorMode(), c.mode) << c.config;
            EXPECT_EQ(handler.InstallGlobalExceptionHandler(), S_FALSE) << c.config;
        }
        EXPECT_EQ(currentFilter(), &markerFilter) << c.config;
        EXPECT_EQ(GetErrorMode(), static_cast<UINT>(SEM_FAILCRITICALERRORS)) << c.config;
    }

    // With the handler gone its entry point into DbgHelp is gone too: nothing is written.
    GenerateAccessViolationDump();
    EXPECT_TRUE(dumpFiles(dir.path()).empty());

    SetUnhandledExceptionFilter(savedFilter);
    SetErrorMode(savedMode);
    SetEnvironmentVariableA("TMP", hadTmp ? savedTmp : nullptr);
}

// A dump holds the process's memory, the identity token and the keys among it: it is created with
// the store's access list, so that other users can read it no more than the store.
TEST(CExceptionHandlerEx, DumpIsCreatedWithTheStoresAccessList) {
    TempDir dir;
    char savedTmp[MAX_PATH] = {};
    const bool hadTmp = GetEnvironmentVariableA("TMP", savedTmp, MAX_PATH) != 0;
    ASSERT_TRUE(SetEnvironmentVariableA("TMP", dir.path().c_str()));
    {
        CExceptionHandlerEx handler;
        FileSecurityCapture capture;
        ASSERT_TRUE(capture.recordsCreations());
        GenerateAccessViolationDump();
        const std::vector<FileSecurityCapture::Call> created = capture.created(".mdmp");
        ASSERT_EQ(created.size(), 1u);
        EXPECT_EQ(created[0].disposition, static_cast<DWORD>(CREATE_NEW));
        EXPECT_TRUE(IsStoreAccessList(created[0].list));
    }
    const std::vector<std::string> dumps = dumpFiles(dir.path());
    ASSERT_EQ(dumps.size(), 1u);
    EXPECT_TRUE(GrantsOtherUsersNothing(ReadAccessList(dir.file(dumps[0]))));
    SetEnvironmentVariableA("TMP", hadTmp ? savedTmp : nullptr);
}

}  // namespace
