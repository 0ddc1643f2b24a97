#include "agent/windows/crashhandlerclient.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <csignal>
#include <string>
#include <vector>

#include "tests/support/crashrun.h"
#include "tests/support/crashserverprocess.h"
#include "tests/support/minidumpfile.h"
#include "tests/support/testutils.h"

using tavo::test::CrashRun;
using tavo::test::CrashServerProcess;
using tavo::test::LogTail;
using tavo::test::MinidumpFile;
using tavo::test::RunCrashChild;
using tavo::test::TempDir;

namespace {

const char kDumpCreated[] = "CrashHandlerClient::CrashHandled S: debug :: Crash Dump Created";
const char kNotOutOfProcess[] = "CrashHandlerClient::CrashHandled S: warning :: Crash was not created OOP. Dump not updated";

// The child ended on the abort path (exit code 3) after the handler wrote its one dump.
void expectAbortDump(const CrashRun& run) {
    EXPECT_EQ(run.exitCode, 3u);
    ASSERT_EQ(run.dumps.size(), 1u);
    MinidumpFile dump(run.dumps[0]);
    ASSERT_TRUE(dump.valid());
    uint32_t threadId = 0;
    uint32_t code = 0;
    ASSERT_TRUE(dump.exception(threadId, code));
    EXPECT_EQ(code, 0xC0000025u);
}

TEST(CrashHandlerClient, EmptyDumpDirectoryInstallsNothingAndLogsNothing) {
    const LPTOP_LEVEL_EXCEPTION_FILTER filterBefore = SetUnhandledExceptionFilter(nullptr);
    SetUnhandledExceptionFilter(filterBefore);
    LogTail log;
    CrashHandlerClient client(L"", 2);
    EXPECT_FALSE(client.SetupCrashHandler());
    EXPECT_EQ(log.text(), "");
    EXPECT_EQ(SetUnhandledExceptionFilter(filterBefore), filterBefore);
    const auto abortHandler = signal(SIGABRT, SIG_DFL);
    signal(SIGABRT, abortHandler);
    EXPECT_NE(abortHandler, &CrashHandlerClient::OnAbortSignal);
}

TEST(CrashHandlerClient, AbortWithoutAServerWritesTheDumpItself) {
    TempDir dir;
    const CrashRun run = RunCrashChild("abort", dir.path());
    expectAbortDump(run);
    const std::vector<std::string> expected = {
        "CrashHandlerClient::SetupCrashHandler S: debug :: Dump directory [" + dir.path() + "]",
        "CrashHandlerClient::SetupCrashHandler S: warning :: OOP Not created. Crashes will be handled locally",
        kDumpCreated,
        kNotOutOfProcess,
    };
    EXPECT_EQ(run.log, expected);
}

// The runtime's pure-virtual handler aborts, so the call ends on the abort path, not at address 0.
TEST(CrashHandlerClient, RealPureVirtualCallEndsWithADump) {
    TempDir dir;
    const CrashRun run = RunCrashChild("pure-virtual", dir.path());
    expectAbortDump(run);
    EXPECT_NE(std::find(run.log.begin(), run.log.end(), kDumpCreated), run.log.end());
}

// The one test that serves the agent's own pipe name (ctest never runs it beside another test of
// this program).
TEST(CrashHandlerClient, AbortWithTheServerOnItsPipeIsDumpedByTheServer) {
    TempDir dir;
    TempDir serverDumps;
    CrashServerProcess server("serve", serverDumps.path(), "\\\\.\\PIPE\\LARCHMERE_CRASH");
    ASSERT_TRUE(server.ready());
    const CrashRun run = RunCrashChild("abort", dir.path());
    EXPECT_EQ(run.exitCode, 3u);
    EXPECT_TRUE(run.dumps.empty());
    EXPECT_EQ(server.waitForLine("dump ", 5000), "dump " + serverDumps.file("dump-0.dmp") + " ok");
    EXPECT_NE(server.waitForConfirmation(1000), "");
    const std::string registration = server.waitForLine("register ", 1000);
    EXPECT_EQ(tavo::test::ReportField(registration, "dumpType"), "0") << registration;
    const std::vector<std::string> expected = {
        "CrashHandlerClient::SetupCrashHandler S: debug :: Dump directory [" + dir.path() + "]",
        "CrashHandlerClient::SetupCrashHandler S: debug ::  OOP Crash Handler Created",
        kDumpCreated,
    };
    EXPECT_EQ(run.log, expected);
}

}  // namespace
