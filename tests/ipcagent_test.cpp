#include "agent/ipcagent.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <future>
#include <memory>
#include <mutex>
#include <new>
#include <stdexcept>
#include <thread>
#include <vector>

#include "common/ipcmessage.h"
#include "common/tavostatus.h"
#include "tests/support/testutils.h"
#include "tests/support/udptestclient.h"

using tavo::CIPCAgent;
using tavo::GetMsgType;
using tavo::IpcRefreshTokenRsp;
using tavo::RefreshTokenCallback;
using tavo::RefreshTokenHandler;
using tavo::test::FindLogLine;
using tavo::test::LogTail;
using tavo::test::UdpBindings;
using tavo::test::UdpTestClient;
using tavo::test::WaitForLogLine;
using Code = IpcRefreshTokenRsp::eRefreshTokenResponse;

namespace {

// While set, every allocation of this thread fails: out of memory as the world brings it, on the
// thread that completes a refresh and nowhere else.
thread_local bool t_allocationsFail = false;

// A brief shortage on the thread named: the allocation that the count reaches fails and, with
// g_shortWhileHandling, so does every allocation made while an exception is being handled (memory
// is still short when the failure is logged).
std::atomic<DWORD> g_shortageThread{0};
std::atomic<long> g_allocationsBeforeShortage{0};
std::atomic<bool> g_shortWhileHandling{false};

}  // namespace

// The library's operator delete frees what malloc gave. Kept out of line: inlined, the malloc
// would look mismatched with that delete to the compiler.
__attribute__((noinline)) void* operator new(std::size_t size) {
    if (t_allocationsFail) {
        throw std::bad_alloc();
    }
    if (g_shortageThread.load() == GetCurrentThreadId() &&
        (g_allocationsBeforeShortage-- == 0 || (g_shortWhileHandling && std::current_exception()))) {
        throw std::bad_alloc();
    }
    if (void* memory = std::malloc(size != 0 ? size : 1)) {
        return memory;
    }
    throw std::bad_alloc();
}

namespace {

constexpr unsigned short kAgentPort = 60110;
constexpr unsigned long kWaitMs = 5000;
constexpr unsigned long kSilenceMs = 300;
const std::string kRequest("\x01\x00", 2);

std::string Word(uint16_t value) {
    return std::string{static_cast<char>(value & 0xff), static_cast<char>(value >> 8)};
}

std::string Reply(uint16_t code) {
    return Word(2) + Word(code);
}

// Stands in for the agent: keeps the completion of an accepted refresh under its own lock, which
// it releases before it completes, as the agent does.
class FakeAgent {
public:
    RefreshTokenHandler handler() {
        return [this](RefreshTokenCallback done) { return refresh(std::move(done)); };
    }
    void refuseWith(TAVO_STATUS status) {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_refusal = status;
    }
    // The next call throws before it keeps the completion.
    void throwOnce() {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_throwOnce = true;
    }
    // The thread of the last call: the IPC receiver thread.
    DWORD callerThread() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_callerThread;
    }
    bool waitForCalls(int count, unsigned long timeoutMs = kWaitMs) {
        std::unique_lock<std::mutex> lock(m_mutex);
        return m_changed.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] { return m_calls >= count; });
    }
    int calls() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_calls;
    }
    // Calls made while an accepted refresh was still pending.
    int overlaps() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_overlaps;
    }
    // Completes the kept refresh; false when none is pending. With outOfMemory every allocation of
    // the completion fails; it may then throw.
    bool complete(Code code, bool outOfMemory = false) {
        RefreshTokenCallback done;
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            done = std::move(m_pending);
            m_pending = nullptr;
        }
        if (!done) {
            return false;
        }
        t_allocationsFail = outOfMemory;
        try {
            done(code);
        } catch (...) {
            t_allocationsFail = false;
            throw;
        }
        t_allocationsFail = false;
        return true;
    }

private:
    TAVO_STATUS refresh(RefreshTokenCallback done) {
        std::lock_guard<std::mutex> lock(m_mutex);
        ++m_calls;
        m_changed.notify_all();
        m_callerThread = GetCurrentThreadId();
        if (m_throwOnce) {
            m_throwOnce = false;
            throw std::runtime_error("refresh handler failed");
        }
        if (m_refusal != TAVO_OK) {
            return m_refusal;
        }
        if (m_pending) {
            ++m_overlaps;
        }
        m_pending = std::move(done);
        return TAVO_OK;
    }

    std::mutex m_mutex;
    std::condition_variable m_changed;
    RefreshTokenCallback m_pending;
    TAVO_STATUS m_refusal = TAVO_OK;
    bool m_throwOnce = false;
    DWORD m_callerThread = 0;
    int m_calls = 0;
    int m_overlaps = 0;
};

// From now on the n-th allocation (from 1) of the thread fails, and with whileHandling also those
// made while an exception is being handled.
void StartShortage(DWORD thread, long n, bool whileHandling = false) {
    g_allocationsBeforeShortage = n - 1;
    g_shortWhileHandling = whileHandling;
    g_shortageThread = thread;
}

// True when the shortage struck.
bool EndShortage() {
    g_shortageThread = 0;
    return g_allocationsBeforeShortage < 0;
}

// Returns once the receiver thread has handled everything sent before: datagrams are handled in
// order, and an unknown type leaves a log line and nothing else.
void SyncReceiver(const UdpTestClient& client) {
    static uint16_t marker = 30000;
    ++marker;
    client.send(kAgentPort, Word(marker));
    ASSERT_TRUE(WaitForLogLine("Invalid message [type = " + std::to_string(marker) + " ]", kWaitMs));
}

void ExpectReply(const UdpTestClient& client, const std::string& expected, const char* what) {
    std::string reply;
    unsigned short from = 0;
    ASSERT_TRUE(client.receive(reply, kWaitMs, &from)) << what << ": no reply";
    EXPECT_EQ(reply, expected) << what;
    EXPECT_EQ(from, kAgentPort) << what;
}

void ExpectSilence(const UdpTestClient& client, const char* what) {
    std::string reply;
    EXPECT_FALSE(client.receive(reply, kSilenceMs)) << what << ": unexpected reply of " << reply.size() << " bytes";
}

TEST(IpcMessage, GetMsgTypeReadsTheFirstWordInHostOrder) {
    LogTail log;
    const struct {
        std::string msg;
        int status;
        unsigned short type;
    } cases[] = {
        {"", TAVO_ERROR, 0},
        {"\x01", TAVO_ERROR, 0},
        {kRequest, TAVO_OK, 1},
        {std::string("\x02\x00\x07", 3), TAVO_OK, 2},
        {std::string("\x00\x01", 2), TAVO_OK, 256},
        {"\xff\xff", TAVO_OK, 65535},
    };
    for (const auto& c : cases) {
        unsigned short type = 77;
        EXPECT_EQ(GetMsgType(c.msg, type), c.status) << c.msg.size() << " bytes";
        EXPECT_EQ(type, c.type) << c.msg.size() << " bytes";
    }
    EXPECT_GE(FindLogLine(log.lines(), "tavo::GetMsgType S: error :: Failed to get the msg type"), 0);
}

TEST(IpcMessage, SerializeReplacesTheTextWithTwoLittleEndianWords) {
    std::string out = "left over";
    EXPECT_EQ((IpcRefreshTokenRsp{2, IpcRefreshTokenRsp::eRefreshTokenRateLimited}.Serialize(out)), TAVO_OK);
    EXPECT_EQ(out, std::string("\x02\x00\x04\x00", 4));
    EXPECT_EQ((IpcRefreshTokenRsp{0x1234, 0xabcd}.Serialize(out)), TAVO_OK);
    EXPECT_EQ(out, "\x34\x12\xcd\xab");
}

TEST(IPCAgent, AnswersNotHandledUntilAHandlerIsRegistered) {
    LogTail log;
    CIPCAgent agent;
    UdpTestClient client;
    client.send(kAgentPort, kRequest);
    ExpectReply(client, Reply(0), "first request");
    client.send(kAgentPort, kRequest);
    ExpectReply(client, Reply(0), "second request");
    ExpectSilence(client, "unregistered");
    const std::vector<std::string> lines = log.lines();
    EXPECT_GE(FindLogLine(lines, "tavo::CIPCAgent::handleReceivedIpcMessage S: error :: "
                                 "No Refresh Token Handler Registered by Agent"),
              0);
    EXPECT_GE(FindLogLine(lines, "tavo::CIPCAgent::handleReceivedIpcMessage S: debug :: Sent FailRspMsg to Client[" +
                                     std::to_string(client.port()) + "]"),
              0);

    FakeAgent fake;
    EXPECT_EQ(agent.RegisterRefreshTokenHandler(fake.handler()), TAVO_OK);
    client.send(kAgentPort, kRequest);
    ASSERT_TRUE(fake.waitForCalls(1));
    ExpectSilence(client, "refresh in flight");
    ASSERT_TRUE(fake.complete(IpcRefreshTokenRsp::eRefreshTokenSuccess));
    ExpectReply(client, Reply(1), "after registration");
}

// Clients send on loopback, which a socket bound to every address receives as well: only the bound
// address, as the system reports it, shows whether other machines can reach the port.
TEST(IPCAgent, ListensOnLoopbackOnly) {
    CIPCAgent agent;
    // The report tells the addresses apart.
    UdpTestClient everyAddress(0, INADDR_ANY);
    ASSERT_EQ(UdpBindings(everyAddress.port()), std::vector<std::string>{"0.0.0.0"});

    EXPECT_EQ(UdpBindings(kAgentPort), std::vector<std::string>{"127.0.0.1"});
}

TEST(IPCAgent, ClientsOfOneRefreshShareOneHandlerCallAndItsCodeInOrder) {
    LogTail log;
    CIPCAgent agent;
    FakeAgent fake;
    agent.RegisterRefreshTokenHandler(fake.handler());
    UdpTestClient first;
    UdpTestClient second;

    first.send(kAgentPort, kRequest);
    ASSERT_TRUE(fake.waitForCalls(1));
    second.send(kAgentPort, kRequest);
    first.send(kAgentPort, kRequest + " with extra bytes");
    SyncReceiver(second);
    ExpectSilence(first, "before completion");
    EXPECT_EQ(fake.calls(), 1);

    ASSERT_TRUE(fake.complete(IpcRefreshTokenRsp::eRefreshTokenCloudError));
    ExpectReply(first, Reply(3), "first client, first request");
    ExpectReply(first, Reply(3), "first client, second request");
    ExpectReply(second, Reply(3), "second client");
    ExpectSilence(first, "first client after its replies");
    ExpectSilence(second, "second client after its reply");
    EXPECT_EQ(fake.calls(), 1);

    const std::vector<std::string> lines = log.lines();
    const std::string sent = "tavo::CIPCAgent::handleRefreshTokenResponse S: debug :: Sent RspMsg to Client[";
    const int a = FindLogLine(lines, sent + std::to_string(first.port()) + "]");
    const int b = FindLogLine(lines, sent + std::to_string(second.port()) + "]", a + 1);
    const int c = FindLogLine(lines, sent + std::to_string(first.port()) + "]", b + 1);
    EXPECT_GE(a, 0);
    EXPECT_GT(b, a);
    EXPECT_GT(c, b);
}

TEST(IPCAgent, ShortAndForeignDatagramsGetNoReply) {
    LogTail log;
    CIPCAgent agent;
    FakeAgent fake;
    agent.RegisterRefreshTokenHandler(fake.handler());
    UdpTestClient client;
    const std::string rejected[] = {"\x01", Word(2), Word(0), Word(0x0100), Word(3) + Word(1), Reply(1)};
    for (const std::string& bytes : rejected) {
        client.send(kAgentPort, bytes);
    }
    // Handled in order: once the valid request reaches the handler, the others were turned away.
    client.send(kAgentPort, std::string("\x01\x00\xff\xee\xdd", 5));
    ASSERT_TRUE(fake.waitForCalls(1));
    ASSERT_TRUE(fake.complete(IpcRefreshTokenRsp::eRefreshTokenFailure));
    ExpectReply(client, Reply(2), "the valid request");
    ExpectSilence(client, "rejected datagrams");
    EXPECT_EQ(fake.calls(), 1);

    const std::vector<std::string> lines = log.lines();
    const int shortLine = FindLogLine(lines, "S: error :: Failed to get the msg type");
    ASSERT_GE(shortLine, 0);
    EXPECT_GT(FindLogLine(lines, "tavo::CIPCAgent::handleReceivedIpcMessage S: error :: Invalid Message received from IPC",
                          shortLine),
              shortLine);
    for (const char* type : {"2", "0", "256", "3"}) {
        EXPECT_GE(FindLogLine(lines, std::string("Invalid message [type = ") + type + " ] received from TAVO Client"), 0)
            << type;
    }
}

TEST(IPCAgent, EachCompletionRepliesItsCodeAndEndsTheRefresh) {
    CIPCAgent agent;
    FakeAgent fake;
    agent.RegisterRefreshTokenHandler(fake.handler());
    UdpTestClient client;
    const struct {
        int code;
        std::string wire;
    } cases[] = {
        {1, std::string("\x02\x00\x01\x00", 4)},
        {2, std::string("\x02\x00\x02\x00", 4)},
        {3, std::string("\x02\x00\x03\x00", 4)},
        {4, std::string("\x02\x00\x04\x00", 4)},
        {0x10004, std::string("\x02\x00\x04\x00", 4)},  // only the low 16 bits travel
    };
    int calls = 0;
    for (const auto& c : cases) {
        client.send(kAgentPort, kRequest);
        ASSERT_TRUE(fake.waitForCalls(++calls)) << "code " << c.code << ": handler not called again";
        ASSERT_TRUE(fake.complete(static_cast<Code>(c.code)));
        ExpectReply(client, c.wire, "completion");
    }
    ExpectSilence(client, "after the last completion");
    EXPECT_EQ(fake.overlaps(), 0);
}

TEST(IPCAgent, RefusedRefreshIsAnsweredAtOnceAndLeavesNobodyWaiting) {
    CIPCAgent agent;
    FakeAgent fake;
    agent.RegisterRefreshTokenHandler(fake.handler());
    UdpTestClient refused;
    UdpTestClient later;

    fake.refuseWith(TAVO_BUSY);
    refused.send(kAgentPort, kRequest);
    ExpectReply(refused, Reply(2), "refused refresh");
    EXPECT_EQ(fake.calls(), 1);

    // Had the refused port been queued, this request would only wait behind it.
    fake.refuseWith(TAVO_OK);
    later.send(kAgentPort, kRequest);
    ASSERT_TRUE(fake.waitForCalls(2));
    ASSERT_TRUE(fake.complete(IpcRefreshTokenRsp::eRefreshTokenSuccess));
    ExpectReply(later, Reply(1), "accepted refresh");
    ExpectSilence(refused, "refused client after the completion");
    ExpectSilence(later, "accepted client after its reply");
}

// A handler that throws started no refresh: its client is dropped with the datagram, and the next
// client starts a refresh of its own instead of waiting behind one that never runs.
TEST(IPCAgent, HandlerThatThrowsDropsItsRequestAndLeavesNobodyWaiting) {
    CIPCAgent agent;
    FakeAgent fake;
    agent.RegisterRefreshTokenHandler(fake.handler());
    UdpTestClient dropped;
    UdpTestClient later;
    LogTail log;

    fake.throwOnce();
    dropped.send(kAgentPort, kRequest);
    ASSERT_TRUE(WaitForLogLine("Dropped received message: refresh handler failed", kWaitMs));
    ExpectSilence(dropped, "the request whose handler threw");

    later.send(kAgentPort, kRequest);
    ASSERT_TRUE(fake.waitForCalls(2)) << "the next request was queued behind the refresh that never started";
    ASSERT_TRUE(fake.complete(IpcRefreshTokenRsp::eRefreshTokenSuccess));
    ExpectReply(later, Reply(1), "the next refresh");
    ExpectSilence(dropped, "the dropped client after the completion");
    ExpectSilence(later, "after its reply");
    EXPECT_EQ(log.count("tavo::CIPCCommon::handleReceive S: error :: Dropped received message: refresh handler failed"),
              1u)
        << log.text();
}

// An answer that runs out of memory half-way leaves its clients unanswered, but the refresh is over:
// the next request starts a new one instead of waiting behind an answer that never comes.
TEST(IPCAgent, CompletionThatRunsOutOfMemoryStillEndsTheRefresh) {
    CIPCAgent agent;
    FakeAgent fake;
    agent.RegisterRefreshTokenHandler(fake.handler());
    UdpTestClient first;
    UdpTestClient later;

    first.send(kAgentPort, kRequest);
    ASSERT_TRUE(fake.waitForCalls(1));
    try {
        fake.complete(IpcRefreshTokenRsp::eRefreshTokenSuccess, true);
    } catch (const std::bad_alloc&) {
    }

    later.send(kAgentPort, kRequest);
    ASSERT_TRUE(fake.waitForCalls(2)) << "the next request was queued behind the failed answer";
    ASSERT_TRUE(fake.complete(IpcRefreshTokenRsp::eRefreshTokenRateLimited));
    ExpectReply(later, Reply(4), "the next refresh");
    ExpectSilence(later, "after its reply");
    EXPECT_EQ(fake.overlaps(), 0);
}

// A shortage anywhere in the handling of a request (a log line of the endpoint, the server's or the
// IPC agent's callback, the reply's copy, the queued send) costs at most that one request: each
// time the handling ends in a way it can report, and a later request is answered.
TEST(IPCAgent, RequestThatRunsOutOfMemoryIsDroppedAndReceivingGoesOn) {
    CIPCAgent agent;
    FakeAgent fake;
    agent.RegisterRefreshTokenHandler(fake.handler());
    fake.refuseWith(TAVO_BUSY);
    {
        UdpTestClient first;
        first.send(kAgentPort, kRequest);
        ExpectReply(first, Reply(2), "refused refresh");
    }
    // The receiver thread is idle once the reply is out; each shortage starts before a datagram.
    const DWORD receiver = fake.callerThread();
    const std::string dropped = "tavo::CIPCCommon::handleReceive S: error :: Dropped received message: std::bad_alloc";
    bool droppedInServerCallback = false;
    bool droppedInAgentCallback = false;
    bool struck = true;
    long n = 1;
    for (; struck && n < 500; ++n) {
        LogTail log;
        UdpTestClient client;
        const std::string port = std::to_string(client.port());
        const std::string ends[] = {dropped, "Sending FailRspMsg to Client[" + port + "] failed",
                                    "Sent FailRspMsg to Client[" + port + "]"};
        StartShortage(receiver, n);
        client.send(kAgentPort, kRequest);
        std::vector<std::string> lines;
        bool ended = false;
        for (const ULONGLONG deadline = GetTickCount64() + kWaitMs; !ended && GetTickCount64() < deadline; Sleep(10)) {
            lines = log.lines();
            for (const std::string& end : ends) {
                ended = ended || FindLogLine(lines, end) >= 0;
            }
        }
        struck = EndShortage();
        ASSERT_TRUE(ended) << "shortage at allocation " << n << ":\n" << log.text();
        // The server's callback logs first, then calls the IPC agent's, which logs in turn.
        const int drop = FindLogLine(lines, dropped);
        const int received = FindLogLine(lines, "Received message of length 2.");
        const int inServer = FindLogLine(lines, "Received incoming message from port " + port);
        const int inAgent = FindLogLine(lines, "Received IPC Message from client[" + port + "]");
        droppedInServerCallback = droppedInServerCallback || (drop > received && received >= 0 && inServer < 0);
        droppedInAgentCallback = droppedInAgentCallback || (drop > inAgent && inAgent >= 0);
    }
    EXPECT_FALSE(struck) << "still running out after " << n << " allocations";
    EXPECT_TRUE(droppedInServerCallback);
    EXPECT_TRUE(droppedInAgentCallback);

    fake.refuseWith(TAVO_OK);
    UdpTestClient later;
    const int calls = fake.calls();
    later.send(kAgentPort, kRequest);
    ASSERT_TRUE(fake.waitForCalls(calls + 1));
    ASSERT_TRUE(fake.complete(IpcRefreshTokenRsp::eRefreshTokenSuccess));
    ExpectReply(later, Reply(1), "the request after the shortages");
}

// A shortage in the handling of a request that the handler accepts: either the request is dropped
// before the handler hears of it, or its client waits for that refresh and gets its answer. A
// refresh that nobody waits for would also turn every later client away while it runs.
TEST(IPCAgent, AcceptedRequestThatRunsOutOfMemoryIsAnsweredOrNeverStarted) {
    CIPCAgent agent;
    FakeAgent fake;
    agent.RegisterRefreshTokenHandler(fake.handler());
    UdpTestClient client;
    client.send(kAgentPort, kRequest);
    ASSERT_TRUE(fake.waitForCalls(1));
    ASSERT_TRUE(fake.complete(IpcRefreshTokenRsp::eRefreshTokenSuccess));
    ExpectReply(client, Reply(1), "before the shortages");
    SyncReceiver(client);
    const DWORD receiver = fake.callerThread();
    const std::string dropped = "Dropped received message: std::bad_alloc";

    bool struck = true;
    long n = 1;
    for (; struck && n < 500; ++n) {
        LogTail log;
        const int calls = fake.calls();
        StartShortage(receiver, n);
        client.send(kAgentPort, kRequest);
        bool called = false;
        bool droppedFirst = false;
        for (const ULONGLONG deadline = GetTickCount64() + kWaitMs;
             !called && !droppedFirst && GetTickCount64() < deadline; Sleep(10)) {
            called = fake.calls() > calls;
            droppedFirst = !called && FindLogLine(log.lines(), dropped) >= 0;
        }
        ASSERT_TRUE(called || droppedFirst) << "shortage at allocation " << n << ":\n" << log.text();
        // A drop ends the handling, so the count is final by now.
        called = fake.calls() > calls;
        // The completion waits until the receiver has let go of the request.
        const bool completed = called && fake.complete(IpcRefreshTokenRsp::eRefreshTokenCloudError);
        struck = EndShortage();
        if (called) {
            ASSERT_TRUE(completed);
            ExpectReply(client, Reply(3), ("accepted at shortage " + std::to_string(n)).c_str());
        }
        SyncReceiver(client);
    }
    EXPECT_FALSE(struck) << "still running out after " << n << " allocations";
    EXPECT_EQ(fake.overlaps(), 0);
}

// The line that reports a dropped request may run out of memory as well: it is lost, and the next
// request is answered.
TEST(IPCAgent, DropThatCannotBeLoggedLeavesReceivingGoingOn) {
    CIPCAgent agent;
    FakeAgent fake;
    agent.RegisterRefreshTokenHandler(fake.handler());
    fake.refuseWith(TAVO_BUSY);
    UdpTestClient client;
    client.send(kAgentPort, kRequest);
    ExpectReply(client, Reply(2), "before the shortage");
    const DWORD receiver = fake.callerThread();

    StartShortage(receiver, 1, true);
    client.send(kAgentPort, kRequest);
    client.send(kAgentPort, kRequest);
    ExpectReply(client, Reply(2), "the request after the dropped one");
    ExpectSilence(client, "the dropped request");
    EXPECT_TRUE(EndShortage());
    EXPECT_EQ(fake.calls(), 2);
}

TEST(IPCAgent, AtMost1024ClientsWaitForOneRefresh) {
    CIPCAgent agent;
    FakeAgent fake;
    agent.RegisterRefreshTokenHandler(fake.handler());
    // Spread over sockets so that no receive queue overflows; a sync after each batch keeps the
    // agent's own queue short.
    constexpr int kClients = 32;
    constexpr int kPerClient = 32;
    std::vector<std::unique_ptr<UdpTestClient>> clients;
    for (int i = 0; i < kClients; ++i) {
        clients.push_back(std::make_unique<UdpTestClient>());
        for (int n = 0; n < kPerClient; ++n) {
            clients.back()->send(kAgentPort, kRequest);
        }
        SyncReceiver(*clients.back());
    }
    UdpTestClient overflow;
    overflow.send(kAgentPort, kRequest);
    overflow.send(kAgentPort, kRequest);
    ExpectReply(overflow, Reply(2), "request 1025");
    ExpectReply(overflow, Reply(2), "request 1026");
    EXPECT_EQ(fake.calls(), 1);

    ASSERT_TRUE(fake.complete(IpcRefreshTokenRsp::eRefreshTokenRateLimited));
    for (int i = 0; i < kClients; ++i) {
        for (int n = 0; n < kPerClient; ++n) {
            std::string reply;
            ASSERT_TRUE(clients[i]->receive(reply, kWaitMs)) << "client " << i << " reply " << n;
            ASSERT_EQ(reply, Reply(4)) << "client " << i << " reply " << n;
        }
    }
    // One quiet period for all of them, then nothing may be waiting anywhere.
    Sleep(kSilenceMs);
    std::string stray;
    for (int i = 0; i < kClients; ++i) {
        EXPECT_FALSE(clients[i]->receive(stray, 0)) << "client " << i << " got an extra reply";
    }
    EXPECT_FALSE(overflow.receive(stray, 0)) << "overflow client got a reply from the completion";
}

TEST(IPCAgent, ClientsHammeringWhileCompletionsArriveNeverDeadlock) {
    CIPCAgent agent;
    FakeAgent fake;
    agent.RegisterRefreshTokenHandler(fake.handler());
    constexpr int kClients = 16;
    constexpr int kRounds = 30;
    std::atomic<bool> clientsDone{false};

    auto completer = std::async(std::launch::async, [&] {
        int completions = 0;
        while (!clientsDone) {
            if (fake.complete(static_cast<Code>(1 + completions % 4))) {
                ++completions;
            }
            Sleep(completions % 3);
        }
        return completions;
    });

    std::vector<std::thread> threads;
    std::vector<int> answered(kClients, 0);
    std::vector<int> extra(kClients, 0);
    std::vector<std::string> wrong(kClients);
    for (int i = 0; i < kClients; ++i) {
        threads.emplace_back([&, i] {
            UdpTestClient client;
            std::string reply;
            for (int round = 0; round < kRounds; ++round) {
                client.send(kAgentPort, kRequest);
                if (!client.receive(reply, 10000)) {
                    return;  // stuck: the count below shows it
                }
                if (reply.size() != 4 || reply.compare(0, 2, Word(2)) != 0 || reply[2] < 1 || reply[2] > 4 ||
                    reply[3] != 0) {
                    wrong[i] = reply;
                }
                ++answered[i];
            }
            while (client.receive(reply, kSilenceMs)) {
                ++extra[i];
            }
        });
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
    clientsDone = true;
    bool stuck = completer.wait_for(std::chrono::seconds(10)) != std::future_status::ready;
    for (int i = 0; i < kClients; ++i) {
        stuck = stuck || answered[i] != kRounds;
    }
    if (stuck) {
        // A deadlocked receiver or completion thread could never be joined: end the process here.
        for (int i = 0; i < kClients; ++i) {
            printf("client %d: %d of %d answered\n", i, answered[i], kRounds);
        }
        ADD_FAILURE() << "a client or the completion thread is stuck";
        fflush(stdout);
        TerminateProcess(GetCurrentProcess(), 3);
    }
    EXPECT_GT(completer.get(), 0);
    for (int i = 0; i < kClients; ++i) {
        EXPECT_EQ(extra[i], 0) << "client " << i;
        EXPECT_EQ(wrong[i], "") << "client " << i;
    }
    EXPECT_EQ(fake.overlaps(), 0);
}

}  // namespace
