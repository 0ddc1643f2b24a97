#include "crashclient/crashserverclient.h"

#include <windows.h>

#include <dbghelp.h>

#include <gtest/gtest.h>

#include <cwchar>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/crashserverprocess.h"
#include "tests/support/minidumpfile.h"
#include "tests/support/testutils.h"

using tavo::test::CrashServerProcess;
using tavo::test::MinidumpFile;
using tavo::test::ReportField;
using tavo::test::TempDir;

namespace {

ULONGLONG msSince(ULONGLONG start) {
    return GetTickCount64() - start;
}

// An exception of our own making, as a hook would hand it over.
struct Crash {
    explicit Crash(DWORD code) {
        record.ExceptionCode = code;
        RtlCaptureContext(&context);
    }
    EXCEPTION_RECORD record = {};
    CONTEXT context = {};
    EXCEPTION_POINTERS pointers = {&record, &context};
};

std::string hex(uint64_t value) {
    char text[32];
    snprintf(text, sizeof(text), "%llx", static_cast<unsigned long long>(value));
    return text;
}

TEST(CrashServerClient, NoServerFailsAtTheFirstOpenWithoutWaiting) {
    const std::wstring name = L"\\\\.\\pipe\\tavo-crash-test-nobody-" + std::to_wstring(GetCurrentProcessId());
    CrashServerClient client(name.c_str(), MiniDumpWithFullMemory, nullptr);
    const ULONGLONG start = GetTickCount64();
    EXPECT_FALSE(client.Register());
    // Less than one wait for a busy pipe.
    EXPECT_LT(msSince(start), 1500u);
    EXPECT_FALSE(client.IsRegistered());
    Crash crash(0xE0000001);
    EXPECT_FALSE(client.RequestDump(&crash.pointers, nullptr));
}

TEST(CrashServerClient, RegistrationCarriesProcessIdDumpTypeAndItsOwnFieldAddresses) {
    CrashServerProcess server("serve");
    ASSERT_TRUE(server.ready());
    CrashServerClient client(server.pipeName().c_str(), MiniDumpWithFullMemory, nullptr);
    ASSERT_TRUE(client.Register());
    EXPECT_TRUE(client.IsRegistered());
    EXPECT_TRUE(client.Register());

    const std::string registration = server.waitForLine("register ", 5000);
    EXPECT_EQ(ReportField(registration, "size"), std::to_string(sizeof(CrashPipeMessage))) << registration;
    EXPECT_EQ(ReportField(registration, "tag"), "1");
    EXPECT_EQ(ReportField(registration, "id"), std::to_string(GetCurrentProcessId()));
    EXPECT_EQ(ReportField(registration, "dumpType"), "2");
    EXPECT_EQ(ReportField(registration, "customEntries"), "0");
    EXPECT_EQ(ReportField(registration, "customCount"), "0");
    EXPECT_EQ(ReportField(registration, "handles"), "0,0,0");
    const uintptr_t begin = reinterpret_cast<uintptr_t>(&client);
    for (const char* field : {"threadIdAddress", "exceptionPointersAddress", "assertionInfoAddress"}) {
        const uintptr_t address = std::stoull(ReportField(registration, field), nullptr, 16);
        EXPECT_GE(address, begin) << field;
        EXPECT_LT(address, begin + sizeof(client)) << field;
    }
    EXPECT_EQ(server.waitForLine("ack ", 5000),
              "ack size=" + std::to_string(sizeof(CrashPipeMessage)) + " tag=3 rest=zero");

    // What the server reads through those addresses is what the request put there.
    AssertionInfo assertion = {};
    wcscpy(assertion.expression, L"count > 0");
    wcscpy(assertion.function, L"Fill");
    wcscpy(assertion.file, L"fill.cpp");
    assertion.line = 7;
    assertion.type = 1;
    Crash crash(0xE0001234);
    EXPECT_TRUE(client.RequestDump(&crash.pointers, &assertion));
    EXPECT_EQ(server.waitForLine("request ", 5000),
              "request thread=" + std::to_string(GetCurrentThreadId()) +
                  " code=e0001234 assertionType=1 expression=count > 0 function=Fill file=fill.cpp line=7");
}

TEST(CrashServerClient, DumpWrittenByTheServerMakesRequestDumpTrue) {
    TempDir dumps;
    CrashServerProcess server("serve", dumps.path());
    ASSERT_TRUE(server.ready());
    CrashServerClient client(server.pipeName().c_str(), MiniDumpNormal, nullptr);
    ASSERT_TRUE(client.Register());
    Crash crash(0xE0000002);
    EXPECT_TRUE(client.RequestDump(&crash.pointers));
    EXPECT_EQ(server.waitForLine("dump ", 5000), "dump " + dumps.file("dump-0.dmp") + " ok");
    EXPECT_NE(server.waitForConfirmation(1000), "");

    MinidumpFile dump(dumps.file("dump-0.dmp"));
    ASSERT_TRUE(dump.valid());
    uint32_t threadId = 0;
    uint32_t code = 0;
    ASSERT_TRUE(dump.exception(threadId, code));
    EXPECT_EQ(threadId, GetCurrentThreadId());
    EXPECT_EQ(code, 0xE0000002u);
}

// A reply with a wrong tag or any zero field, or none at all, is refused and never acknowledged.
TEST(CrashServerClient, InvalidOrMissingRepliesAreRefused) {
    for (const char* mode : {"badtag", "zeroid", "zerorequest", "zerowritten", "zeroalive", "refuse"}) {
        CrashServerProcess server(mode);
        ASSERT_TRUE(server.ready()) << mode;
        CrashServerClient client(server.pipeName().c_str(), MiniDumpNormal, nullptr);
        EXPECT_FALSE(client.Register()) << mode;
        EXPECT_FALSE(client.IsRegistered()) << mode;
        Crash crash(0xE0000003);
        EXPECT_FALSE(client.RequestDump(&crash.pointers)) << mode;
        if (std::string(mode) != "refuse") {
            EXPECT_NE(server.waitForLine("no ack", 5000), "") << mode;
        }
    }
}

// Counted in waits for a free instance: at least one, and no more than the two that the client
// allows (a third would take the time past two and a half).
TEST(CrashServerClient, BusyPipeGivesUpAfterWaitingForIt) {
    constexpr ULONGLONG kBusyWaitMs = 2000;
    CrashServerProcess server("busy");
    ASSERT_TRUE(server.ready());
    CrashServerClient client(server.pipeName().c_str(), MiniDumpNormal, nullptr);
    const ULONGLONG start = GetTickCount64();
    EXPECT_FALSE(client.Register());
    const ULONGLONG elapsed = msSince(start);
    EXPECT_GE(elapsed, kBusyWaitMs - 100);
    EXPECT_LT(elapsed, 2 * kBusyWaitMs + kBusyWaitMs / 2);
}

// Start-up must not hang on a server that takes the connection and then says nothing.
TEST(CrashServerClient, ServerThatNeverAnswersIsGivenUpWithinTheBound) {
    CrashServerProcess server("silent");
    ASSERT_TRUE(server.ready());
    CrashServerClient client(server.pipeName().c_str(), MiniDumpNormal, nullptr);
    const ULONGLONG start = GetTickCount64();
    EXPECT_FALSE(client.Register());
    const ULONGLONG elapsed = msSince(start);
    EXPECT_GE(elapsed, 4900u);
    EXPECT_LT(elapsed, 15000u);
    EXPECT_FALSE(client.IsRegistered());
    EXPECT_NE(server.waitForLine("register ", 1000), "");
}

TEST(CrashServerClient, AcknowledgementNeverReadIsGivenUpWithinTheBound) {
    CrashServerProcess server("noack");
    ASSERT_TRUE(server.ready());
    CrashServerClient client(server.pipeName().c_str(), MiniDumpNormal, nullptr);
    const ULONGLONG start = GetTickCount64();
    EXPECT_FALSE(client.Register());
    const ULONGLONG elapsed = msSince(start);
    EXPECT_GE(elapsed, 4900u);
    EXPECT_LT(elapsed, 15000u);
    EXPECT_FALSE(client.IsRegistered());
}

TEST(CrashServerClient, ServerGoneBeforeTheCrashFailsWithoutWaitingTheFullTime) {
    CrashServerProcess server("exit");
    ASSERT_TRUE(server.ready());
    CrashServerClient client(server.pipeName().c_str(), MiniDumpNormal, nullptr);
    ASSERT_TRUE(client.Register());
    ASSERT_EQ(server.wait(10000), 0u);
    Crash crash(0xE0000004);
    const ULONGLONG start = GetTickCount64();
    EXPECT_FALSE(client.RequestDump(&crash.pointers));
    EXPECT_LT(msSince(start), 10000u);
}

TEST(CrashServerClient, DumpNeverConfirmedFailsAfter15Seconds) {
    CrashServerProcess server("noconfirm");
    ASSERT_TRUE(server.ready());
    CrashServerClient client(server.pipeName().c_str(), MiniDumpNormal, nullptr);
    ASSERT_TRUE(client.Register());
    Crash crash(0xE0000005);
    const ULONGLONG start = GetTickCount64();
    EXPECT_FALSE(client.RequestDump(&crash.pointers));
    const ULONGLONG elapsed = msSince(start);
    EXPECT_GE(elapsed, 14900u);
    EXPECT_LT(elapsed, 30000u);
    EXPECT_NE(server.waitForLine("request ", 1000), "");
}

// Requests from two threads at once (an abort racing a hook) reach the server one by one, each
// with its own thread id and exception.
TEST(CrashServerClient, ConcurrentRequestsDoNotMixTheirFields) {
    CrashServerProcess server("serve");
    ASSERT_TRUE(server.ready());
    CrashServerClient client(server.pipeName().c_str(), MiniDumpNormal, nullptr);
    ASSERT_TRUE(client.Register());
    constexpr int kRequestsPerThread = 15;
    std::map<std::string, std::string> codeOfThread;
    int confirmed[2] = {};
    std::string threadIds[2];
    std::vector<std::thread> threads;
    for (int t = 0; t < 2; ++t) {
        threads.emplace_back([&, t] {
            threadIds[t] = std::to_string(GetCurrentThreadId());
            Crash crash(0xE0000010 + t);
            for (int i = 0; i < kRequestsPerThread; ++i) {
                confirmed[t] += client.RequestDump(&crash.pointers) ? 1 : 0;
            }
        });
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
    EXPECT_EQ(confirmed[0], kRequestsPerThread);
    EXPECT_EQ(confirmed[1], kRequestsPerThread);
    codeOfThread[threadIds[0]] = hex(0xE0000010);
    codeOfThread[threadIds[1]] = hex(0xE0000011);
    int requests = 0;
    for (const std::string& line : server.report()) {
        if (line.compare(0, 8, "request ") == 0) {
            ++requests;
            EXPECT_EQ(ReportField(line, "code"), codeOfThread[ReportField(line, "thread")]) << line;
        }
    }
    EXPECT_EQ(requests, 2 * kRequestsPerThread);
}

}  // namespace
