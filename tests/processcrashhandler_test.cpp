#include "crashclient/processcrashhandler.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <memory>
#include <regex>
#include <string>
#include <vector>

#include "common/tavopath.h"
#include "tests/support/accesslist.h"
#include "tests/support/crashrun.h"
#include "tests/support/crashserverprocess.h"
#include "tests/support/filesecuritycapture.h"
#include "tests/support/minidumpfile.h"
#include "tests/support/testutils.h"

using tavo::test::CrashRun;
using tavo::test::CrashServerProcess;
using tavo::test::FileSecurityCapture;
using tavo::test::FilesIn;
using tavo::test::GrantsOtherUsersNothing;
using tavo::test::IsStoreAccessList;
using tavo::test::MinidumpFile;
using tavo::test::ReadAccessList;
using tavo::test::ReadUInt32;
using tavo::test::RunCrashChild;
using tavo::test::StderrCapture;
using tavo::test::TempDir;

namespace {

constexpr uint32_t kRequesterInfoStream = 0x47670001;
constexpr uint32_t kAssertionInfoStream = 0x47670002;

struct DumpCalls {
    std::vector<std::wstring> paths;
    std::vector<std::wstring> ids;
    std::vector<bool> succeeded;
    // false turns every dump into a failure
    bool verdict = true;
};

bool recordDump(const wchar_t* dumpPath, const wchar_t* dumpId, void* context, EXCEPTION_POINTERS*, AssertionInfo*,
                bool succeeded) {
    DumpCalls* calls = static_cast<DumpCalls*>(context);
    calls->paths.push_back(dumpPath != nullptr ? dumpPath : L"(none)");
    calls->ids.push_back(dumpId != nullptr ? dumpId : L"(none)");
    calls->succeeded.push_back(succeeded);
    return calls->verdict && succeeded;
}

bool refuseDump(void*, EXCEPTION_POINTERS*, AssertionInfo*) {
    return false;
}

std::string baseName(const std::string& path) {
    return path.substr(path.find_last_of('\\') + 1);
}

// The requester stream names the thread that wrote the dump and the one that crashed.
void expectRequesterStream(const MinidumpFile& dump, uint32_t crashedThread) {
    const std::string requester = dump.stream(kRequesterInfoStream);
    ASSERT_EQ(requester.size(), 12u);
    EXPECT_EQ(ReadUInt32(requester, 0), 3u);
    const uint32_t writer = ReadUInt32(requester, 4);
    EXPECT_NE(writer, crashedThread);
    EXPECT_EQ(ReadUInt32(requester, 8), crashedThread);
    const std::vector<uint32_t> threads = dump.threadIds();
    EXPECT_NE(std::find(threads.begin(), threads.end(), writer), threads.end());
}

std::wstring wide(const std::string& text) {
    return tavo::StringToWString(text);
}

LPTOP_LEVEL_EXCEPTION_FILTER currentFilter() {
    LPTOP_LEVEL_EXCEPTION_FILTER filter = SetUnhandledExceptionFilter(nullptr);
    SetUnhandledExceptionFilter(filter);
    return filter;
}

_invalid_parameter_handler currentInvalidParameterHandler() {
    _invalid_parameter_handler handler = _set_invalid_parameter_handler(nullptr);
    _set_invalid_parameter_handler(handler);
    return handler;
}

_purecall_handler currentPureCallHandler() {
    _purecall_handler handler = _set_purecall_handler(nullptr);
    _set_purecall_handler(handler);
    return handler;
}

TEST(ProcessCrashHandler, WriteDumpNowWritesANewlyNamedDumpEachTime) {
    TempDir dir;
    DumpCalls calls;
    {
        ProcessCrashHandler handler(wide(dir.path()), nullptr, recordDump, &calls, 0);
        EXPECT_FALSE(handler.IsOutOfProcess());
        EXPECT_TRUE(handler.WriteDumpNow());
        EXPECT_TRUE(handler.WriteDumpNow());
    }
    const std::vector<std::string> dumps = FilesIn(dir.path(), "*");
    ASSERT_EQ(dumps.size(), 2u);
    ASSERT_EQ(calls.ids.size(), 2u);
    EXPECT_NE(calls.ids[0], calls.ids[1]);
    for (size_t i = 0; i < 2; ++i) {
        // The folder ends with a backslash: the path holds two, which the file system accepts.
        const std::string name = tavo::WStringToString(calls.ids[i]) + ".dmp";
        EXPECT_TRUE(std::regex_match(name, std::regex("[0-9a-f]{8}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{12}\\.dmp")))
            << name;
        EXPECT_TRUE(tavo::test::FileExists(dir.path() + name)) << name;
        EXPECT_EQ(calls.paths[i], wide(dir.path()));
        EXPECT_TRUE(calls.succeeded[i]);

        MinidumpFile dump(dir.path() + name);
        ASSERT_TRUE(dump.valid()) << name;
        uint32_t threadId = 0;
        uint32_t code = 0;
        ASSERT_TRUE(dump.exception(threadId, code));
        EXPECT_EQ(threadId, GetCurrentThreadId());
        EXPECT_EQ(code, 0xC0000025u);
        expectRequesterStream(dump, GetCurrentThreadId());
        EXPECT_FALSE(dump.hasStream(kAssertionInfoStream));
    }
}

// A dump holds the process's memory, the identity token and the keys among it: it is created with
// the store's access list, so that other users can read it no more than the store.
TEST(ProcessCrashHandler, DumpIsCreatedWithTheStoresAccessList) {
    TempDir dir;
    FileSecurityCapture capture;
    ASSERT_TRUE(capture.recordsCreations());
    {
        ProcessCrashHandler handler(wide(dir.path()), nullptr, nullptr, nullptr, 0);
        ASSERT_TRUE(handler.WriteDumpNow());
    }
    const std::vector<FileSecurityCapture::Call> created = capture.created(".dmp");
    ASSERT_EQ(created.size(), 1u);
    EXPECT_EQ(created[0].disposition, static_cast<DWORD>(CREATE_NEW));
    EXPECT_TRUE(IsStoreAccessList(created[0].list));
    const std::vector<std::string> dumps = FilesIn(dir.path(), "*.dmp");
    ASSERT_EQ(dumps.size(), 1u);
    EXPECT_TRUE(GrantsOtherUsersNothing(ReadAccessList(dumps[0])));
}

// The dump of another process shows where its thread stood, as a breakpoint there.
TEST(ProcessCrashHandler, WritesTheDumpOfAnotherProcess) {
    TempDir dir;
    CrashServerProcess other("busy");
    ASSERT_TRUE(other.ready());
    DumpCalls calls;
    ASSERT_TRUE(ProcessCrashHandler::WriteDumpForOtherProcess(other.processHandle(), other.mainThreadId(),
                                                              wide(dir.path()), recordDump, &calls, MiniDumpNormal));
    const std::vector<std::string> dumps = FilesIn(dir.path(), "*.dmp");
    ASSERT_EQ(dumps.size(), 1u);
    ASSERT_EQ(calls.ids.size(), 1u);
    EXPECT_EQ(dir.path() + tavo::WStringToString(calls.ids[0]) + ".dmp", dumps[0]);
    MinidumpFile dump(dumps[0]);
    ASSERT_TRUE(dump.valid());
    uint32_t threadId = 0;
    uint32_t code = 0;
    ASSERT_TRUE(dump.exception(threadId, code));
    EXPECT_EQ(threadId, other.mainThreadId());
    EXPECT_EQ(code, 0x80000003u);
    EXPECT_FALSE(dump.hasStream(kRequesterInfoStream));
    EXPECT_EQ(other.wait(0), static_cast<DWORD>(STILL_ACTIVE));
}

TEST(ProcessCrashHandler, FilterThatRefusesMeansNoDumpAndNoCallback) {
    TempDir dir;
    DumpCalls calls;
    ProcessCrashHandler handler(wide(dir.path()), refuseDump, recordDump, &calls, 0);
    EXPECT_FALSE(handler.WriteDumpNow());
    EXPECT_TRUE(calls.ids.empty());
    EXPECT_TRUE(FilesIn(dir.path(), "*").empty());
}

TEST(ProcessCrashHandler, DumpCallbackDecidesTheVerdict) {
    TempDir dir;
    DumpCalls calls;
    calls.verdict = false;
    ProcessCrashHandler handler(wide(dir.path()), nullptr, recordDump, &calls, 0);
    EXPECT_FALSE(handler.WriteDumpNow());
    ASSERT_EQ(calls.succeeded.size(), 1u);
    EXPECT_TRUE(calls.succeeded[0]);
    EXPECT_EQ(FilesIn(dir.path(), "*.dmp").size(), 1u);
}

TEST(ProcessCrashHandler, MissingFolderFailsTheDumpAndStillReportsIt) {
    TempDir dir;
    DumpCalls calls;
    ProcessCrashHandler handler(wide(dir.file("missing")), nullptr, recordDump, &calls, 0);
    EXPECT_FALSE(handler.WriteDumpNow());
    ASSERT_EQ(calls.succeeded.size(), 1u);
    EXPECT_FALSE(calls.succeeded[0]);
}

TEST(ProcessCrashHandler, HandlersPutBackExactlyTheHooksTheyReplaced) {
    const LPTOP_LEVEL_EXCEPTION_FILTER originalFilter = currentFilter();
    const _invalid_parameter_handler originalInvalidParameter = currentInvalidParameterHandler();
    const _purecall_handler originalPureCall = currentPureCallHandler();
    TempDir dir;
    {
        ProcessCrashHandler outer(wide(dir.path()), nullptr, nullptr, nullptr, HOOK_ALL);
        EXPECT_EQ(currentFilter(), &ProcessCrashHandler::OnUnhandledException);
        EXPECT_EQ(currentInvalidParameterHandler(), &ProcessCrashHandler::OnInvalidParameter);
        EXPECT_EQ(currentPureCallHandler(), &ProcessCrashHandler::OnPureCall);
        {
            ProcessCrashHandler inner(wide(dir.path()), nullptr, nullptr, nullptr, HOOK_UNHANDLED_EXCEPTION);
        }
        EXPECT_EQ(currentFilter(), &ProcessCrashHandler::OnUnhandledException);
        EXPECT_EQ(currentInvalidParameterHandler(), &ProcessCrashHandler::OnInvalidParameter);
    }
    EXPECT_EQ(currentFilter(), originalFilter);
    EXPECT_EQ(currentInvalidParameterHandler(), originalInvalidParameter);
    EXPECT_EQ(currentPureCallHandler(), originalPureCall);
}

// The handler thread may still be starting when its handler goes; ending it there used to leave
// the process hung or crashed now and then.
TEST(ProcessCrashHandler, HandlerDestroyedAsSoonAsBuiltEndsItsThreadCleanly) {
    const LPTOP_LEVEL_EXCEPTION_FILTER originalFilter = currentFilter();
    TempDir dir;
    for (int i = 0; i < 300; ++i) {
        ProcessCrashHandler handler(wide(dir.path()), nullptr, nullptr, nullptr, HOOK_UNHANDLED_EXCEPTION);
    }
    EXPECT_EQ(currentFilter(), originalFilter);
}

TEST(ProcessCrashHandler, HandlerRemovedOutOfOrderSaysSo) {
    TempDir dir;
    StderrCapture errors;
    auto older = std::make_unique<ProcessCrashHandler>(wide(dir.path()), nullptr, nullptr, nullptr,
                                                       HOOK_UNHANDLED_EXCEPTION);
    auto newer = std::make_unique<ProcessCrashHandler>(wide(dir.path()), nullptr, nullptr, nullptr,
                                                       HOOK_UNHANDLED_EXCEPTION);
    const LPTOP_LEVEL_EXCEPTION_FILTER before = currentFilter();
    older.reset();
    newer.reset();
    EXPECT_EQ(errors.text(), "warning: removing crash handler out of order\n");
    SetUnhandledExceptionFilter(before == &ProcessCrashHandler::OnUnhandledException ? nullptr : before);
}

// Crashes in a child process. Without a crash server the handler thread writes the dump.
TEST(ProcessCrashHandler, AccessViolationWritesADumpFromTheHandlerThread) {
    TempDir dir;
    const CrashRun run = RunCrashChild("access-violation", dir.path());
    EXPECT_EQ(run.exitCode, 0xC0000005u);
    ASSERT_EQ(run.dumps.size(), 1u);
    MinidumpFile dump(run.dumps[0]);
    ASSERT_TRUE(dump.valid());
    uint32_t threadId = 0;
    uint32_t code = 0;
    ASSERT_TRUE(dump.exception(threadId, code));
    EXPECT_EQ(code, 0xC0000005u);
    expectRequesterStream(dump, threadId);
    EXPECT_FALSE(dump.hasStream(kAssertionInfoStream));
    EXPECT_TRUE(GrantsOtherUsersNothing(ReadAccessList(run.dumps[0])));
    const std::string id = baseName(run.dumps[0]).substr(0, 36);
    EXPECT_NE(std::find(run.log.begin(), run.log.end(),
                        "`anonymous-namespace'::logDump S: debug :: dump callback path [" + dir.path() + "] id [" +
                            id + "] succeeded [1]"),
              run.log.end());
}

// A dump that never finishes (its filter never returns) ends the process with the exception's code
// once the handler's bound has passed: the process does not hang.
TEST(ProcessCrashHandler, DumpThatNeverFinishesEndsTheProcessWithTheExceptionCode) {
    TempDir dir;
    const CrashRun run = RunCrashChild("hung-dump", dir.path());
    EXPECT_EQ(run.exitCode, 0xC0000005u);
    EXPECT_TRUE(run.dumps.empty());
    EXPECT_NE(std::find(run.log.begin(), run.log.end(), "`anonymous-namespace'::hangForEver S: debug :: filter entered"),
              run.log.end());
}

struct AssertionCase {
    const char* mode;
    uint32_t code;
    uint32_t type;
    std::wstring expression;
    std::wstring function;
    std::wstring file;
    uint32_t line;
};

void PrintTo(const AssertionCase& c, std::ostream* out) {
    *out << c.mode;
}

class AssertionHook : public testing::TestWithParam<AssertionCase> {};

// The runtime calls these hooks; here the child calls the installed ones itself, as the runtime
// would. The process ends with the exception code, not as a normal stop.
TEST_P(AssertionHook, WritesTheAssertionIntoTheDumpAndEndsTheProcess) {
    const AssertionCase& c = GetParam();
    TempDir dir;
    const CrashRun run = RunCrashChild(c.mode, dir.path());
    EXPECT_EQ(run.exitCode, c.code);
    ASSERT_EQ(run.dumps.size(), 1u);
    MinidumpFile dump(run.dumps[0]);
    ASSERT_TRUE(dump.valid());
    uint32_t threadId = 0;
    uint32_t code = 0;
    ASSERT_TRUE(dump.exception(threadId, code));
    EXPECT_EQ(code, c.code);
    expectRequesterStream(dump, threadId);
    const std::string stream = dump.stream(kAssertionInfoStream);
    ASSERT_EQ(stream.size(), sizeof(AssertionInfo));
    AssertionInfo assertion;
    memcpy(&assertion, stream.data(), sizeof(assertion));
    EXPECT_EQ(std::wstring(assertion.expression), c.expression);
    EXPECT_EQ(std::wstring(assertion.function), c.function);
    EXPECT_EQ(std::wstring(assertion.file), c.file);
    EXPECT_EQ(assertion.line, c.line);
    EXPECT_EQ(assertion.type, c.type);
}

// Texts longer than 127 characters are cut; null texts are empty.
INSTANTIATE_TEST_SUITE_P(
    ProcessCrashHandler, AssertionHook,
    testing::Values(AssertionCase{"invalid-parameter", 0xC000000D, 1, std::wstring(127, L'x'), L"function",
                                  L"file.cpp", 42},
                    AssertionCase{"invalid-parameter-null", 0xC000000D, 1, L"", L"", L"", 0},
                    AssertionCase{"pure-call", 0xC0000025, 2, L"", L"", L"", 0}),
    [](const testing::TestParamInfo<AssertionCase>& info) {
        std::string name = info.param.mode;
        name.erase(std::remove(name.begin(), name.end(), '-'), name.end());
        return name;
    });

TEST(ProcessCrashHandler, BreakpointGoesToThePreviousFilterWithoutADump) {
    TempDir dir;
    const CrashRun run = RunCrashChild("breakpoint", dir.path());
    EXPECT_EQ(run.exitCode, 0x80000003u);
    EXPECT_TRUE(run.dumps.empty());
    EXPECT_TRUE(tavo::test::FileExists(dir.file("previous-filter-80000003")));
}

TEST(ProcessCrashHandler, CrashWithAServerIsDumpedByTheServer) {
    TempDir dir;
    TempDir serverDumps;
    CrashServerProcess server("serve", serverDumps.path());
    ASSERT_TRUE(server.ready());
    const CrashRun run = RunCrashChild("access-violation", dir.path(), server.pipeNameA());
    EXPECT_EQ(run.exitCode, 0xC0000005u);
    EXPECT_TRUE(run.dumps.empty());
    const std::string request = server.waitForLine("request ", 5000);
    EXPECT_EQ(tavo::test::ReportField(request, "code"), "c0000005") << request;
    EXPECT_EQ(server.waitForLine("dump ", 5000), "dump " + serverDumps.file("dump-0.dmp") + " ok");
    EXPECT_NE(server.waitForConfirmation(1000), "");
    MinidumpFile dump(serverDumps.file("dump-0.dmp"));
    ASSERT_TRUE(dump.valid());
    uint32_t threadId = 0;
    uint32_t code = 0;
    ASSERT_TRUE(dump.exception(threadId, code));
    EXPECT_EQ(std::to_string(threadId), tavo::test::ReportField(request, "thread"));
    EXPECT_EQ(code, 0xC0000005u);
    EXPECT_NE(std::find(run.log.begin(), run.log.end(),
                        "`anonymous-namespace'::logDump S: debug :: dump callback path [(none)] id [(none)] "
                        "succeeded [1]"),
              run.log.end());
}

}  // namespace
