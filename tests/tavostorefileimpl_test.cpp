#include "common/tavostorefileimpl.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <future>
#include <ios>
#include <random>
#include <regex>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "common/tavopath.h"
#include "common/tavostatus.h"
#include "tests/support/accesslist.h"
#include "tests/support/filesecuritycapture.h"
#include "tests/support/testutils.h"

using tavo::CTAVOStoreFileImpl;
using tavo::test::FileExists;
using tavo::test::FileSecurityCapture;
using tavo::test::GrantsOtherUsersNothing;
using tavo::test::IsStoreAccessList;
using tavo::test::kNonAsciiName;
using tavo::test::LogTail;
using tavo::test::ProgramDir;
using tavo::test::ReadAccessList;
using tavo::test::ReadFileBytes;
using tavo::test::TempDir;
using tavo::test::WaitForLogLine;
using tavo::test::WriteFileBytes;

namespace {

const char kImpl[] = "tavo::CTAVOStoreFileImpl::";

// One log line as this process writes it: function, level and message (no system error text).
std::string Line(const std::string& function, const char* level, const std::string& message) {
    return function + " S: " + level + " :: " + message;
}

// The store's list applied as a protected list alone: owner, group and system list stay as they are.
testing::AssertionResult AppliesTheStoresList(const FileSecurityCapture::Call& call) {
    const testing::AssertionResult list = IsStoreAccessList(call.list);
    if (!list) {
        return list;
    }
    if (call.information != static_cast<SECURITY_INFORMATION>(DACL_SECURITY_INFORMATION |
                                                               PROTECTED_DACL_SECURITY_INFORMATION)) {
        return testing::AssertionFailure() << "not applied as a protected list: information 0x" << std::hex
                                           << call.information;
    }
    if (call.ownerGroupOrSacl) {
        return testing::AssertionFailure() << "owner, group or system list changed too";
    }
    return testing::AssertionSuccess();
}

std::set<std::string> FileNames(const std::string& dir) {
    std::set<std::string> names;
    WIN32_FIND_DATAW data;
    HANDLE find = FindFirstFileW(tavo::StringToWString(dir + "*").c_str(), &data);
    if (find != INVALID_HANDLE_VALUE) {
        do {
            if (wcscmp(data.cFileName, L".") != 0 && wcscmp(data.cFileName, L"..") != 0) {
                names.insert(tavo::WStringToString(data.cFileName));
            }
        } while (FindNextFileW(find, &data));
        FindClose(find);
    }
    return names;
}

// A store in a fresh folder, or in a folder of the given name inside it, initialised on
// "tavostore.json".
struct StoreFixture {
    explicit StoreFixture(const std::string& folderName = std::string())
        : folder(folderName.empty() ? dir.path() : dir.folder(folderName)), path(folder + "tavostore.json") {
        EXPECT_EQ(store.Initialize(path), TAVO_OK);
    }

    std::string read(const std::string& key) {
        std::string value;
        EXPECT_EQ(store.ReadKeyValue(key, value), TAVO_OK) << key;
        return value;
    }

    TempDir dir;
    const std::string folder;
    const std::string path;
    CTAVOStoreFileImpl store;
};

// A second program started by a test; ended when the owner goes out of scope.
class ChildProcess {
public:
    explicit ChildProcess(const std::string& program, const std::vector<std::string>& args) {
        std::string commandLine = "\"" + ProgramDir() + program + "\"";
        for (const std::string& arg : args) {
            commandLine += " \"" + arg + "\"";
        }
        // Wide, so that arguments may have any name.
        std::wstring wideCommandLine = tavo::StringToWString(commandLine);
        STARTUPINFOW startup = {};
        startup.cb = sizeof(startup);
        m_started = CreateProcessW(nullptr, &wideCommandLine[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                                   &startup, &m_info) != FALSE;
        EXPECT_TRUE(m_started) << commandLine << " error " << GetLastError();
    }
    ~ChildProcess() {
        if (m_started) {
            end();
            CloseHandle(m_info.hThread);
            CloseHandle(m_info.hProcess);
        }
    }
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    bool started() const { return m_started; }

    // The exit code, or -1 when the program has not ended by the deadline.
    long wait(DWORD milliseconds) {
        DWORD code = 0;
        if (!m_started || WaitForSingleObject(m_info.hProcess, milliseconds) != WAIT_OBJECT_0 ||
            !GetExitCodeProcess(m_info.hProcess, &code)) {
            return -1;
        }
        return static_cast<long>(code);
    }
    void end() {
        if (m_started && WaitForSingleObject(m_info.hProcess, 0) == WAIT_TIMEOUT) {
            TerminateProcess(m_info.hProcess, 99);
            WaitForSingleObject(m_info.hProcess, 10000);
        }
    }

private:
    PROCESS_INFORMATION m_info = {};
    bool m_started = false;
};

bool WaitForFile(const std::string& path, DWORD milliseconds) {
    const ULONGLONG deadline = GetTickCount64() + milliseconds;
    while (!FileExists(path)) {
        if (GetTickCount64() > deadline) {
            return false;
        }
        Sleep(5);
    }
    return true;
}

TEST(StoreFile, NewStoreKeepsMembersInFirstWrittenOrderWithCrLf) {
    StoreFixture f;
    EXPECT_TRUE(FileExists(f.path + ".lck"));
    EXPECT_EQ(ReadFileBytes(f.path + ".lck"), "");
    EXPECT_FALSE(FileExists(f.path));

    ASSERT_EQ(f.store.WriteKeyValue("tavo", "id-1"), TAVO_OK);
    ASSERT_EQ(f.store.WriteKeyValue("tavo_token", "tok-1"), TAVO_OK);
    EXPECT_EQ(ReadFileBytes(f.path), "{\r\n\t\"tavo\":\t\"id-1\",\r\n\t\"tavo_token\":\t\"tok-1\"\r\n}");

    // A replaced value keeps its place.
    ASSERT_EQ(f.store.WriteKeyValue("tavo", "id-2"), TAVO_OK);
    EXPECT_EQ(ReadFileBytes(f.path), "{\r\n\t\"tavo\":\t\"id-2\",\r\n\t\"tavo_token\":\t\"tok-1\"\r\n}");
    EXPECT_EQ(f.read("tavo"), "id-2");
    EXPECT_EQ(f.read("tavo_token"), "tok-1");

    // Nothing but the store and its lock file is left beside them, and the lock file stays empty.
    EXPECT_EQ(FileNames(f.dir.path()), (std::set<std::string>{"tavostore.json", "tavostore.json.lck"}));
    EXPECT_EQ(ReadFileBytes(f.path + ".lck"), "");
}

TEST(StoreFile, EmptyStoreFileStartsANewObject) {
    StoreFixture f;
    WriteFileBytes(f.path, "");
    LogTail log;
    ASSERT_EQ(f.store.WriteKeyValue("business_id", "b"), TAVO_OK);
    EXPECT_EQ(ReadFileBytes(f.path), "{\r\n\t\"business_id\":\t\"b\"\r\n}");
    EXPECT_EQ(log.count(Line(std::string(kImpl) + "insertOrUpdateJSONKeyValueString", "debug", "Creating new Store")),
              1u);
}

TEST(StoreFile, LookupIgnoresLetterCaseAndTheFirstMemberWins) {
    StoreFixture f;
    WriteFileBytes(f.path, "{ \"TAVO\" : \"upper\",\n\"tavo\":\"lower\" , \"Other\": \"o\"}");
    EXPECT_EQ(f.read("tavo"), "upper");
    EXPECT_EQ(f.read("OTHER"), "o");

    // The write renames the first matching member to the key as written and leaves it in place.
    ASSERT_EQ(f.store.WriteKeyValue("tavo", "new"), TAVO_OK);
    EXPECT_EQ(ReadFileBytes(f.path),
              "{\r\n\t\"tavo\":\t\"new\",\r\n\t\"tavo\":\t\"lower\",\r\n\t\"Other\":\t\"o\"\r\n}");
}

TEST(StoreFile, ReadsThatFindNoStringFailWithAnEmptyValue) {
    const struct {
        const char* what;
        bool exists;
        const char* content;
        const char* key;
        const char* level;
        const char* function;
        std::string message;  // "%s" stands for the store's path
    } cases[] = {
        {"missing file", false, "", "tavo", "warning", "ReadKeyValue", "Couldn't open file : %s to read"},
        {"empty file", true, "", "tavo", "error", "ReadKeyValue", "File [%s] Size is zero"},
        {"not JSON", true, "{\"tavo\": \"x\"", "tavo", "error", "readJSONKeyValueString",
         "Couldn't parse json to read: tavo"},
        {"absent key", true, "{\"tavo_token\": \"x\"}", "tavo", "warning", "readJSONKeyValueString",
         "Couldn't get the key : tavo"},
        {"number", true, "{\"retry-after\": 5}", "retry-after", "warning", "readJSONKeyValueString",
         "Couldn't get the key : retry-after"},
        {"not an object", true, "[\"tavo\"]", "tavo", "warning", "readJSONKeyValueString",
         "Couldn't get the key : tavo"},
    };
    for (const auto& c : cases) {
        StoreFixture f;
        if (c.exists) {
            WriteFileBytes(f.path, c.content);
        }
        std::string message = c.message;
        const size_t at = message.find("%s");
        if (at != std::string::npos) {
            message.replace(at, 2, f.path);
        }
        LogTail log;
        std::string value = "stale";
        EXPECT_EQ(f.store.ReadKeyValue(c.key, value), TAVO_FAIL) << c.what;
        EXPECT_EQ(value, "") << c.what;
        EXPECT_EQ(log.count(Line(kImpl + std::string(c.function), c.level, message)), 1u) << c.what << "\n"
                                                                                         << log.text();
    }
}

TEST(StoreFile, WritesOverUnusableTextFailAndLeaveTheFileByteForByte) {
    const struct {
        const char* content;
        const char* key;
        std::string message;
    } cases[] = {
        {"{\"tavo\": \"x\"", "tavo", "Couldn't parse json to write: [tavo]"},
        {"not json at all\r\n", "tavo", "Couldn't parse json to write: [tavo]"},
        {"[\"tavo\", \"x\"]", "tavo", "Couldn't parse json to write: [tavo]"},
        {"\"tavo\"", "tavo", "Couldn't parse json to write: [tavo]"},
        {"{\"retry-after\": 5}", "retry-after", "Invalid type [8] of value for key[retry-after]"},
        {"{\"Retry-After\": null}", "retry-after", "Invalid type [4] of value for key[retry-after]"},
        {"{\"tavo\": {\"a\": \"b\"}}", "tavo", "Invalid type [64] of value for key[tavo]"},
        {"{\"tavo\": [\"a\"]}", "tavo", "Invalid type [32] of value for key[tavo]"},
        {"{\"tavo\": true}", "tavo", "Invalid type [2] of value for key[tavo]"},
    };
    for (const auto& c : cases) {
        StoreFixture f;
        WriteFileBytes(f.path, c.content);
        LogTail log;
        EXPECT_EQ(f.store.WriteKeyValue(c.key, "v"), TAVO_ERROR) << c.content;
        EXPECT_EQ(ReadFileBytes(f.path), c.content);
        EXPECT_EQ(log.count(Line(std::string(kImpl) + "insertOrUpdateJSONKeyValueString", "error", c.message)), 1u)
            << c.content << "\n"
            << log.text();
        EXPECT_EQ(FileNames(f.dir.path()), (std::set<std::string>{"tavostore.json", "tavostore.json.lck"}));
    }
}

TEST(StoreFile, ValuesAreEscapedOnDiskAndReadBackUnchanged) {
    StoreFixture f;
    const std::string value = "say \"hi\" C:\\dir\\file\ttab\r\nnext\x01 Gr\xc3\xbc\xc3\x9f" "e";
    ASSERT_EQ(f.store.WriteKeyValue("tavo", value), TAVO_OK);
    EXPECT_EQ(ReadFileBytes(f.path),
              "{\r\n\t\"tavo\":\t\"say \\\"hi\\\" C:\\\\dir\\\\file\\ttab\\r\\nnext\\u0001 Gr\xc3\xbc\xc3\x9f" "e\"\r\n}");
    EXPECT_EQ(f.read("tavo"), value);

    const std::vector<std::string> values = {"", "\"", "\\", "\n", "\r\n\r\n", "\t\"\\\"\t", "}\r\n{"};
    for (const std::string& v : values) {
        ASSERT_EQ(f.store.WriteKeyValue("tavo_token", v), TAVO_OK);
        EXPECT_EQ(f.read("tavo_token"), v);
        EXPECT_EQ(f.read("tavo"), value);
    }
}

TEST(StoreFile, UninitialisedStoreFailsReadsAndWrites) {
    CTAVOStoreFileImpl store;
    LogTail log;
    std::string value = "stale";
    EXPECT_EQ(store.ReadKeyValue("tavo", value), TAVO_ERROR);
    EXPECT_EQ(value, "");
    EXPECT_EQ(store.WriteKeyValue("tavo", "x"), TAVO_ERROR);
    EXPECT_EQ(log.count(Line(std::string(kImpl) + "ReadKeyValue", "error", "CTAVOStoreFileImpl not Initialized")), 1u);
    EXPECT_EQ(log.count(Line(std::string(kImpl) + "WriteKeyValue", "error", "CTAVOStoreFileImpl not Initialized")),
              1u);
}

TEST(StoreFile, RemovedLockFileFailsEveryAccessAndIsNotCreatedAgain) {
    StoreFixture f;
    ASSERT_EQ(f.store.WriteKeyValue("tavo", "kept"), TAVO_OK);
    ASSERT_TRUE(DeleteFileA((f.path + ".lck").c_str()));

    char system[512] = {};
    FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, ERROR_FILE_NOT_FOUND,
                   MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT), system, sizeof(system), nullptr);
    std::string systemText = system;
    systemText.erase(systemText.find_last_not_of("\r\n") + 1);
    ASSERT_FALSE(systemText.empty());
    const std::string message = "Unexpected Exception [" + systemText + "] ";

    LogTail log;
    std::string value = "stale";
    EXPECT_EQ(f.store.ReadKeyValue("tavo", value), TAVO_FAIL);
    EXPECT_EQ(value, "");
    EXPECT_EQ(f.store.WriteKeyValue("tavo", "lost"), TAVO_ERROR);
    EXPECT_EQ(f.store.ReadKeyValue("tavo", value), TAVO_FAIL);
    EXPECT_EQ(log.count(Line(std::string(kImpl) + "ReadKeyValue", "error", message)), 2u) << log.text();
    EXPECT_EQ(log.count(Line(std::string(kImpl) + "WriteKeyValue", "error", message)), 1u) << log.text();
    EXPECT_FALSE(FileExists(f.path + ".lck"));
    EXPECT_EQ(ReadFileBytes(f.path), "{\r\n\t\"tavo\":\t\"kept\"\r\n}");
}

TEST(StoreFile, AccessListIsAppliedToEveryNewStoreFile) {
    StoreFixture f;
    const std::string applied =
        Line("tavo::SetFilePermission", "debug", "Security permissions changed on target file: " + f.path);
    {
        LogTail log;
        ASSERT_EQ(f.store.WriteKeyValue("tavo", "1"), TAVO_OK);
        ASSERT_EQ(f.store.WriteKeyValue("tavo", "2"), TAVO_OK);
        EXPECT_EQ(log.count(applied), 1u) << log.text();
    }
    ASSERT_TRUE(DeleteFileA(f.path.c_str()));
    {
        LogTail log;
        ASSERT_EQ(f.store.WriteKeyValue("tavo_token", "t"), TAVO_OK);
        EXPECT_EQ(log.count(applied), 1u) << log.text();
    }
    EXPECT_EQ(ReadFileBytes(f.path), "{\r\n\t\"tavo_token\":\t\"t\"\r\n}");
}

// The token is never in a file that other users may read: each new text is written into a file
// created with the store's access list, and the list is also applied to the first store file of the
// process and to one made again after it was deleted. The list read back under Wine is a mapping of
// the file's Unix permissions, so the exact list is checked where it is handed to the system.
TEST(StoreFileAccessList, EveryStoreFileCarriesTheStoresList) {
    StoreFixture f;
    const struct {
        const char* what;
        bool deletedBefore;
        bool listApplied;
    } steps[] = {
        {"first write", false, true},
        {"later write", false, false},
        {"write after the store file was deleted", true, true},
    };
    for (const auto& step : steps) {
        if (step.deletedBefore) {
            ASSERT_TRUE(DeleteFileA(f.path.c_str()));
        }
        FileSecurityCapture capture;
        ASSERT_TRUE(capture.recordsCreations() && capture.recordsApplications());
        ASSERT_EQ(f.store.WriteKeyValue("tavo_token", step.what), TAVO_OK);

        const std::vector<FileSecurityCapture::Call> companions = capture.created(f.path + ".tmp");
        ASSERT_EQ(companions.size(), 1u) << step.what;
        EXPECT_TRUE(IsStoreAccessList(companions[0].list)) << step.what;
        const std::vector<FileSecurityCapture::Call> applied = capture.applied(f.path);
        ASSERT_EQ(applied.size(), step.listApplied ? 1u : 0u) << step.what;
        if (step.listApplied) {
            EXPECT_TRUE(AppliesTheStoresList(applied[0])) << step.what;
        }
        EXPECT_TRUE(GrantsOtherUsersNothing(ReadAccessList(f.path))) << step.what;
        EXPECT_EQ(f.read("tavo_token"), step.what);
    }
}

// Whoever can open the lock file can hold its lock for good and stall every access, so the lock
// file carries the store's list: one that the store makes from its first instant, and one that it
// finds (made by an earlier build, with the folder's inherited entries) from Initialize on. Where
// the list cannot be applied, a warning says so and the store still works. Only the new file's list
// is read back: this Wine keeps a list applied to an existing file as Unix mode bits alone, which
// read back as letting everyone read it.
TEST(StoreFileAccessList, LockFileGetsTheStoresListWhetherMadeOrFound) {
    const struct {
        const char* what;
        bool existsBefore;
        bool refused;
    } cases[] = {
        {"new lock file", false, false},
        {"existing lock file", true, false},
        {"existing lock file that refuses the list", true, true},
    };
    for (const auto& c : cases) {
        TempDir dir;
        const std::string path = dir.file("tavostore.json");
        const std::string lockPath = path + ".lck";
        if (c.existsBefore) {
            WriteFileBytes(lockPath, "");
        }
        FileSecurityCapture capture;
        ASSERT_TRUE(capture.recordsCreations() && capture.recordsApplications());
        if (c.refused) {
            capture.refuseApplications(".lck", ERROR_ACCESS_DENIED);
        }
        LogTail log;
        CTAVOStoreFileImpl store;
        EXPECT_EQ(store.Initialize(path), TAVO_OK) << c.what;

        const std::vector<FileSecurityCapture::Call> created = capture.created(lockPath);
        ASSERT_EQ(created.size(), 1u) << c.what;
        EXPECT_TRUE(IsStoreAccessList(created[0].list)) << c.what;
        const std::vector<FileSecurityCapture::Call> applied = capture.applied(lockPath);
        if (c.existsBefore) {
            ASSERT_EQ(applied.size(), 1u) << c.what;
            EXPECT_TRUE(AppliesTheStoresList(applied[0])) << c.what;
        } else {
            EXPECT_TRUE(applied.empty()) << c.what;
            EXPECT_TRUE(GrantsOtherUsersNothing(ReadAccessList(lockPath))) << c.what;
        }
        const std::string warning = Line(std::string(kImpl) + "Initialize", "warning",
                                         "Unable to set necessary permissions on lock file [" + lockPath + "]");
        EXPECT_EQ(log.count(warning), c.refused ? 1u : 0u) << c.what << "\n" << log.text();
        EXPECT_EQ(store.WriteKeyValue("tavo", c.what), TAVO_OK) << c.what;
        std::string value;
        EXPECT_EQ(store.ReadKeyValue("tavo", value), TAVO_OK) << c.what;
        EXPECT_EQ(value, c.what);
    }
}

TEST(StoreFile, AccessListOnAMissingFileFails) {
    TempDir dir;
    const std::string missing = dir.file("absent.json");
    LogTail log;
    EXPECT_EQ(tavo::SetFilePermission(missing), TAVO_ERROR);
    EXPECT_FALSE(FileExists(missing));
    const std::string text = log.text();
    EXPECT_NE(text.find("f: tavo::SetFilePermission S: error :: Error: 2 while setting named security info\r\n \r\n"),
              std::string::npos)
        << text;
}

TEST(StoreFile, WriteThatCannotCompleteLeavesThePreviousStore) {
    const std::string previous = "{\r\n\t\"tavo\":\t\"old\"\r\n}";
    {
        // Another handle without delete sharing: the store file can be neither replaced nor moved over.
        StoreFixture f;
        ASSERT_EQ(f.store.WriteKeyValue("tavo", "old"), TAVO_OK);
        HANDLE other = CreateFileA(f.path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                   OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
        ASSERT_NE(other, INVALID_HANDLE_VALUE);
        LogTail log;
        EXPECT_EQ(f.store.WriteKeyValue("tavo", "new"), TAVO_ERROR);
        CloseHandle(other);
        EXPECT_NE(log.text().find("f: tavo::CTAVOStoreFileImpl::WriteKeyValue S: error :: Fatal error - could not move ["),
                  std::string::npos)
            << log.text();
        EXPECT_EQ(ReadFileBytes(f.path), previous);
        EXPECT_EQ(FileNames(f.dir.path()), (std::set<std::string>{"tavostore.json", "tavostore.json.lck"}));
        EXPECT_EQ(f.read("tavo"), "old");
    }
    {
        // The companion file for the new text cannot be created.
        StoreFixture f;
        ASSERT_EQ(f.store.WriteKeyValue("tavo", "old"), TAVO_OK);
        ASSERT_TRUE(CreateDirectoryA((f.path + ".tmp").c_str(), nullptr));
        LogTail log;
        EXPECT_EQ(f.store.WriteKeyValue("tavo", "new"), TAVO_ERROR);
        EXPECT_EQ(ReadFileBytes(f.path), previous);
        EXPECT_EQ(log.count(Line(std::string(kImpl) + "WriteKeyValue", "error",
                                 "Fatal error - could not open file for writing")),
                  1u)
            << log.text();
    }
}

FILETIME LastWriteTime(const std::string& path) {
    WIN32_FILE_ATTRIBUTE_DATA data = {};
    GetFileAttributesExA(path.c_str(), GetFileExInfoStandard, &data);
    return data.ftLastWriteTime;
}

// Waits until the file was written after `before` (or is missing): another process is writing it.
bool WaitForWrite(const std::string& path, const FILETIME& before, DWORD milliseconds) {
    const ULONGLONG deadline = GetTickCount64() + milliseconds;
    for (;;) {
        const FILETIME now = LastWriteTime(path);
        if (CompareFileTime(&now, &before) != 0) {
            return true;
        }
        if (GetTickCount64() > deadline) {
            return false;
        }
        Sleep(1);
    }
}

void SpinMicroseconds(LONGLONG microseconds) {
    LARGE_INTEGER frequency;
    LARGE_INTEGER start;
    LARGE_INTEGER now;
    QueryPerformanceFrequency(&frequency);
    QueryPerformanceCounter(&start);
    do {
        QueryPerformanceCounter(&now);
    } while ((now.QuadPart - start.QuadPart) * 1000000 / frequency.QuadPart < microseconds);
}

// A writer ended at any instant by another process leaves the store file with its old text or its
// new one, complete, and every other key as it was; at most one companion file is left. A kill
// cannot show what a power cut does: when a process dies the system keeps whatever reached its
// cache, which a power cut loses unless it was flushed to the disk.
TEST(StoreFileKill, WriterEndedAtAnyInstantLeavesTheOldOrTheNewStore) {
    StoreFixture f;
    const std::vector<std::pair<std::string, std::string>> kept = {
        {"tavo", "id-1"}, {"instance_key", "ik-1"}, {"event_url", "https://events.test/"}, {"business_id", "b-1"}};
    for (const auto& [key, value] : kept) {
        ASSERT_EQ(f.store.WriteKeyValue(key, value), TAVO_OK);
    }
    ASSERT_EQ(f.store.WriteKeyValue("tavo_token", "first"), TAVO_OK);
    const auto storeText = [&](const std::string& token) {
        std::string text = "{\r\n";
        for (const auto& [key, value] : kept) {
            text += "\t\"" + key + "\":\t\"" + value + "\",\r\n";
        }
        return text + "\t\"tavo_token\":\t\"" + token + "\"\r\n}";
    };
    const std::regex written("tavo_token-\\d+");
    const std::set<std::string> store = {"tavostore.json", "tavostore.json.lck"};
    const std::set<std::string> storeAndCompanion = {"tavostore.json", "tavostore.json.lck", "tavostore.json.tmp"};

    std::mt19937 random(8);
    std::string previous = "first";
    for (int kill = 0; kill < 50; ++kill) {
        const FILETIME before = LastWriteTime(f.path);
        {
            ChildProcess writer("storewriter.exe", {f.path, "tavo_token", "1000000"});
            ASSERT_TRUE(writer.started());
            ASSERT_TRUE(WaitForWrite(f.path, before, 20000)) << "the writer did not start writing";
            SpinMicroseconds(random() % 20000);
            writer.end();
        }
        const std::string text = ReadFileBytes(f.path);
        std::string token;
        ASSERT_EQ(f.store.ReadKeyValue("tavo_token", token), TAVO_OK) << "kill " << kill << ": [" << text << "]";
        EXPECT_TRUE(token == previous || std::regex_match(token, written)) << token;
        ASSERT_EQ(text, storeText(token)) << "kill " << kill;
        const std::set<std::string> names = FileNames(f.dir.path());
        ASSERT_TRUE(names == store || names == storeAndCompanion) << "kill " << kill << ": " << names.size() << " files";
        previous = token;
    }

    // The next write takes the place of a companion left behind.
    ASSERT_EQ(f.store.WriteKeyValue("tavo_token", "last"), TAVO_OK);
    EXPECT_EQ(ReadFileBytes(f.path), storeText("last"));
    EXPECT_EQ(FileNames(f.dir.path()), store);
}

// While another process holds the exclusive lock, a read or a write waits for it; the holder
// replaces the store just before it lets go, so only an access that waited sees its text.
TEST(StoreFileLocking, AccessWaitsForAnotherProcessHoldingTheExclusiveLock) {
    for (const bool isWrite : {false, true}) {
        StoreFixture f;
        ASSERT_EQ(f.store.WriteKeyValue("tavo", "before"), TAVO_OK);
        const std::string next = f.dir.file("next.json");
        WriteFileBytes(next, "{\"tavo\": \"after\"}");
        const std::string ready = f.dir.file("ready");
        const DWORD holdMs = 1500;

        ChildProcess holder("storelockholder.exe", {f.path + ".lck", ready, std::to_string(holdMs), next, f.path});
        ASSERT_TRUE(WaitForFile(ready, 30000)) << "the holder did not take the lock";
        const ULONGLONG start = GetTickCount64();
        std::string value;
        auto pending = std::async(std::launch::async, [&] {
            return isWrite ? f.store.WriteKeyValue("tavo_token", "tok") : f.store.ReadKeyValue("tavo", value);
        });
        if (pending.wait_for(std::chrono::seconds(60)) != std::future_status::ready) {
            holder.end();
            ADD_FAILURE() << "the access did not finish";
        }
        EXPECT_EQ(pending.get(), TAVO_OK);
        EXPECT_GE(GetTickCount64() - start, holdMs / 2);
        EXPECT_EQ(holder.wait(30000), 0);
        if (isWrite) {
            EXPECT_EQ(ReadFileBytes(f.path), "{\r\n\t\"tavo\":\t\"after\",\r\n\t\"tavo_token\":\t\"tok\"\r\n}");
        } else {
            EXPECT_EQ(value, "after");
        }
    }
}

// A data directory may have any name: the store opens, locks, protects and replaces its files by
// the name's UTF-8 meaning, and another process that locks the same lock file by that name is
// waited for.
TEST(StoreFileLocking, StoreInAFolderWithANonAsciiName) {
    StoreFixture f(kNonAsciiName);
    EXPECT_TRUE(FileExists(f.path + ".lck"));
    {
        LogTail log;
        ASSERT_EQ(f.store.WriteKeyValue("tavo", "id-1"), TAVO_OK);
        ASSERT_EQ(f.store.WriteKeyValue("tavo_token", "tok-1"), TAVO_OK);
        EXPECT_EQ(log.count(Line("tavo::SetFilePermission", "debug",
                                 "Security permissions changed on target file: " + f.path)),
                  1u)
            << log.text();
    }
    EXPECT_EQ(ReadFileBytes(f.path), "{\r\n\t\"tavo\":\t\"id-1\",\r\n\t\"tavo_token\":\t\"tok-1\"\r\n}");
    EXPECT_EQ(f.read("tavo"), "id-1");
    EXPECT_EQ(FileNames(f.folder), (std::set<std::string>{"tavostore.json", "tavostore.json.lck"}));

    const std::string next = f.dir.file("next.json");
    WriteFileBytes(next, "{\"tavo\": \"after\"}");
    const std::string ready = f.dir.file("ready");
    ChildProcess holder("storelockholder.exe", {f.path + ".lck", ready, "500", next, f.path});
    ASSERT_TRUE(WaitForFile(ready, 30000)) << "the holder did not take the lock";
    std::string value;
    auto pending = std::async(std::launch::async, [&] { return f.store.ReadKeyValue("tavo", value); });
    if (pending.wait_for(std::chrono::seconds(60)) != std::future_status::ready) {
        holder.end();
        ADD_FAILURE() << "the read did not finish";
    }
    EXPECT_EQ(pending.get(), TAVO_OK);
    EXPECT_EQ(holder.wait(30000), 0);
    EXPECT_EQ(value, "after") << "the read did not wait for the holder of the same lock file";
}

// A virus scanner or a backup agent may hold the store open without delete sharing, so that it
// cannot be replaced. The write tries again under the exclusive lock for about a second: a holder
// that lets go in that time costs nothing, one that stays makes the write fail with the old store
// intact and no companion left.
TEST(StoreFileReplace, WaitsAboutASecondForAHolderOfTheStoreFile) {
    for (const bool holderLetsGo : {true, false}) {
        StoreFixture f;
        ASSERT_EQ(f.store.WriteKeyValue("tavo", "old"), TAVO_OK);
        const std::string previous = ReadFileBytes(f.path);
        const std::string ready = f.dir.file("ready");
        const std::string release = f.dir.file("release");
        ChildProcess holder("fileholder.exe", {f.path, ready, release});
        ASSERT_TRUE(WaitForFile(ready, 30000)) << "the holder did not open the store";

        LogTail log;
        auto pending = std::async(std::launch::async, [&] { return f.store.WriteKeyValue("tavo", "new"); });
        if (holderLetsGo) {
            // It lets go as soon as the write has found the file in use.
            EXPECT_TRUE(WaitForLogLine("File [" + f.path + "] is in use, trying again to replace it", 30000));
            WriteFileBytes(release, "");
        }
        if (pending.wait_for(std::chrono::seconds(60)) != std::future_status::ready) {
            holder.end();
            FAIL() << "the write did not finish";
        }
        const int result = pending.get();
        WriteFileBytes(release, "");
        EXPECT_EQ(holder.wait(30000), 0);

        // Said once, with the system's reason.
        const std::string text = log.text();
        const std::string inUse = Line(std::string(kImpl) + "WriteKeyValue", "warning",
                                       "File [" + f.path + "] is in use, trying again to replace it ");
        const size_t at = text.find(inUse);
        EXPECT_NE(at, std::string::npos) << text;
        EXPECT_EQ(text.find(inUse, at + 1), std::string::npos) << text;
        EXPECT_EQ(FileNames(f.dir.path()),
                  (std::set<std::string>{"tavostore.json", "tavostore.json.lck", "ready", "release"}));
        if (holderLetsGo) {
            EXPECT_EQ(result, TAVO_OK);
            EXPECT_EQ(f.read("tavo"), "new");
        } else {
            EXPECT_EQ(result, TAVO_ERROR);
            EXPECT_NE(log.text().find("f: tavo::CTAVOStoreFileImpl::WriteKeyValue S: error :: Fatal error - could "
                                      "not move ["),
                      std::string::npos)
                << log.text();
            EXPECT_EQ(ReadFileBytes(f.path), previous);
            EXPECT_EQ(f.store.WriteKeyValue("tavo", "new"), TAVO_OK) << "once the holder is gone";
        }
    }
}

// Each writer reads, merges and replaces under one exclusive lock, so neither undoes the other.
TEST(StoreFileLocking, WritersInTwoProcessesLoseNoUpdate) {
    StoreFixture f;
    const int count = 150;
    ChildProcess alpha("storewriter.exe", {f.path, "alpha", std::to_string(count)});
    ChildProcess beta("storewriter.exe", {f.path, "beta", std::to_string(count)});
    EXPECT_EQ(alpha.wait(90000), 0);
    EXPECT_EQ(beta.wait(30000), 0);
    EXPECT_EQ(f.read("alpha"), "alpha-" + std::to_string(count - 1));
    EXPECT_EQ(f.read("beta"), "beta-" + std::to_string(count - 1));
}

}  // namespace
