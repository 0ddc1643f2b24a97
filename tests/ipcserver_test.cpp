#include "common/ipcserver.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <thread>
#include <vector>

#include "common/tavostatus.h"
#include "tests/support/testutils.h"
#include "tests/support/udptestclient.h"

using tavo::CIPCServer;
using tavo::IpcMessageCallback;
using tavo::test::FindLogLine;
using tavo::test::FreeUdpPort;
using tavo::test::LogTail;
using tavo::test::UdpTestClient;
using tavo::test::WaitForLogLine;

namespace {

constexpr unsigned long kWaitMs = 5000;
constexpr unsigned long kSilenceMs = 300;

struct Datagram {
    std::string msg;
    unsigned short port;
};

// What the server's callback received, with a bounded wait for more.
class Inbox {
public:
    IpcMessageCallback callback() {
        return [this](const std::string& msg, unsigned short port) {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_items.push_back({msg, port});
            m_changed.notify_all();
        };
    }
    bool waitForCount(size_t count, unsigned long timeoutMs = kWaitMs) {
        std::unique_lock<std::mutex> lock(m_mutex);
        return m_changed.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                                  [&] { return m_items.size() >= count; });
    }
    std::vector<Datagram> items() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_items;
    }

private:
    std::mutex m_mutex;
    std::condition_variable m_changed;
    std::vector<Datagram> m_items;
};

// A server on a port that was free; another test process may take that port first, so a few
// ports are tried.
std::unique_ptr<CIPCServer> StartServer(const IpcMessageCallback& callback, unsigned short& port) {
    for (int attempt = 0; attempt < 10; ++attempt) {
        port = FreeUdpPort();
        try {
            return std::make_unique<CIPCServer>(port, callback);
        } catch (const std::runtime_error&) {
        }
    }
    throw std::runtime_error("no free port for the server");
}

std::string Pattern(size_t size) {
    std::string bytes(size, '\0');
    for (size_t i = 0; i < size; ++i) {
        bytes[i] = static_cast<char>(i * 7 + i / 256);
    }
    return bytes;
}

TEST(IPCServer, ConstructorRejectsAnEmptyCallback) {
    try {
        CIPCServer server(FreeUdpPort(), IpcMessageCallback());
        FAIL() << "constructed without a callback";
    } catch (const std::invalid_argument& e) {
        EXPECT_STREQ(e.what(), "callback function is null");
    }
}

TEST(IPCServer, PortHeldByAnotherSocketFailsTheConstructorAndStaysUsable) {
    LogTail log;
    Inbox inbox;
    unsigned short port = 0;
    {
        UdpTestClient holder;
        port = holder.port();
        try {
            CIPCServer server(port, inbox.callback());
            FAIL() << "bound a port that another socket holds";
        } catch (const std::runtime_error& e) {
            EXPECT_STREQ(e.what(), "Failure in setupRecvSocketThread");
        }
        const std::vector<std::string> lines = log.lines();
        const int bindLine = FindLogLine(lines, "tavo::CIPCCommon::setupRecvSocketThread S: error :: "
                                                "Failed to open/bind to a port. Error: ");
        ASSERT_GE(bindLine, 0);
        EXPECT_GT(FindLogLine(lines, "tavo::CIPCCommon::initialise S: error :: setupRecvSocketThread failed.",
                              bindLine),
                  bindLine);
    }
    // The failed attempt kept nothing open: once the holder is gone the port can be served.
    CIPCServer server(port, inbox.callback());
    UdpTestClient client;
    client.send(port, "after");
    ASSERT_TRUE(inbox.waitForCount(1));
    EXPECT_EQ(inbox.items()[0].msg, "after");
}

TEST(IPCServer, DeliversEachDatagramWithItsSendersPortCutToTheBuffer) {
    LogTail log;
    Inbox inbox;
    unsigned short port = 0;
    auto server = StartServer(inbox.callback(), port);
    UdpTestClient first;
    UdpTestClient second;
    const struct {
        const UdpTestClient& from;
        std::string sent;
        std::string delivered;
    } cases[] = {
        {first, "x", "x"},
        {second, std::string("\x01\x00\x00\xff", 4), std::string("\x01\x00\x00\xff", 4)},
        {first, Pattern(4096), Pattern(4096)},
        {second, Pattern(5000), Pattern(4096)},
        {first, "after the long one", "after the long one"},
    };
    size_t count = 0;
    for (const auto& c : cases) {
        c.from.send(port, c.sent);
        ASSERT_TRUE(inbox.waitForCount(++count)) << "datagram " << count << " lost";
        const Datagram got = inbox.items().back();
        EXPECT_EQ(got.msg, c.delivered) << "datagram " << count;
        EXPECT_EQ(got.port, c.from.port()) << "datagram " << count;
    }

    const std::vector<std::string> lines = log.lines();
    const int oneByte = FindLogLine(lines, "tavo::CIPCCommon::handleReceive S: debug :: Received message of length 1.");
    ASSERT_GE(oneByte, 0);
    EXPECT_NE(std::find(lines.begin() + oneByte, lines.end(),
                        "tavo::CIPCServer::processIncomingMessage S: debug :: Received incoming message from port " +
                            std::to_string(first.port())),
              lines.end());
    EXPECT_GE(FindLogLine(lines, "Received message of length 4096."), 0);
}

// Datagrams that are already waiting when the receiver re-arms complete at once; a long one among
// them must still be cut and handled once, without harm to the endpoint.
TEST(IPCServer, LongDatagramsWaitingWhileTheReceiverIsBusyAreCutAndReceivingGoesOn) {
    std::mutex mutex;
    std::condition_variable changed;
    bool entered = false;
    bool released = false;
    Inbox inbox;
    IpcMessageCallback record = inbox.callback();
    IpcMessageCallback holdFirst = [&](const std::string& msg, unsigned short port) {
        record(msg, port);
        std::unique_lock<std::mutex> lock(mutex);
        entered = true;
        changed.notify_all();
        changed.wait_for(lock, std::chrono::milliseconds(kWaitMs), [&] { return released; });
    };
    unsigned short port = 0;
    auto server = StartServer(holdFirst, port);
    UdpTestClient client;
    const std::string waiting[] = {Pattern(5000), "short", Pattern(65507), Pattern(4097), "last"};
    for (int round = 0; round < 3; ++round) {
        {
            std::lock_guard<std::mutex> lock(mutex);
            entered = false;
            released = false;
        }
        client.send(port, "hold");
        {
            std::unique_lock<std::mutex> lock(mutex);
            ASSERT_TRUE(changed.wait_for(lock, std::chrono::milliseconds(kWaitMs), [&] { return entered; }));
        }
        for (const std::string& bytes : waiting) {
            client.send(port, bytes);
        }
        Sleep(100);
        {
            std::lock_guard<std::mutex> lock(mutex);
            released = true;
            changed.notify_all();
        }
        // Each of the waiting datagrams also holds the receiver until released, which it already is.
        const size_t expected = (round + 1) * (1 + sizeof(waiting) / sizeof(waiting[0]));
        ASSERT_TRUE(inbox.waitForCount(expected)) << "round " << round << ": " << inbox.items().size();
    }
    const std::vector<Datagram> got = inbox.items();
    for (size_t i = 0; i < got.size(); ++i) {
        const size_t inRound = i % (1 + sizeof(waiting) / sizeof(waiting[0]));
        const std::string sent = inRound == 0 ? "hold" : waiting[inRound - 1];
        EXPECT_EQ(got[i].msg, sent.substr(0, 4096)) << "datagram " << i;
    }
}

TEST(IPCServer, SkipsEmptyDatagramsAndReceivesTheNext) {
    LogTail log;
    Inbox inbox;
    unsigned short port = 0;
    auto server = StartServer(inbox.callback(), port);
    UdpTestClient client;
    client.send(port, "");
    client.send(port, "");
    client.send(port, "next");
    ASSERT_TRUE(inbox.waitForCount(1));
    EXPECT_FALSE(inbox.waitForCount(2, kSilenceMs));
    EXPECT_EQ(inbox.items()[0].msg, "next");
    EXPECT_LT(FindLogLine(log.lines(), "Received message of length 0."), 0);
}

TEST(IPCServer, RepliesReachTheGivenPortFromTheReceiverAndOtherThreads) {
    LogTail log;
    std::atomic<CIPCServer*> self{nullptr};
    IpcMessageCallback echo = [&](const std::string& msg, unsigned short port) {
        EXPECT_EQ(self.load()->SendMsgAsync("echo:" + msg, port), TAVO_OK);
    };
    unsigned short port = 0;
    auto server = StartServer(echo, port);
    self = server.get();
    UdpTestClient client;

    client.send(port, "ping");
    std::string reply;
    unsigned short from = 0;
    ASSERT_TRUE(client.receive(reply, kWaitMs, &from));
    EXPECT_EQ(reply, "echo:ping");
    EXPECT_EQ(from, port);

    std::thread other([&] { EXPECT_EQ(server->SendMsgAsync(std::string("\0from\0other", 11), client.port()), TAVO_OK); });
    other.join();
    ASSERT_TRUE(client.receive(reply, kWaitMs, &from));
    EXPECT_EQ(reply, std::string("\0from\0other", 11));
    EXPECT_EQ(from, port);
    const std::vector<std::string> lines = log.lines();
    EXPECT_NE(std::find(lines.begin(), lines.end(),
                        "tavo::CIPCServer::SendMsgAsync S: debug :: Successfully sent message to client at port " +
                            std::to_string(client.port())),
              lines.end());
}

TEST(IPCServer, SendsThatFailInTheSocketStillReportQueuedAndReceivingGoesOn) {
    Inbox inbox;
    unsigned short port = 0;
    auto server = StartServer(inbox.callback(), port);
    UdpTestClient client;

    // Port 0 cannot be sent to; a closed port makes the platform report a reset to a later receive.
    EXPECT_EQ(server->SendMsgAsync("lost", 0), TAVO_OK);
    EXPECT_TRUE(WaitForLogLine("tavo::CIPCCommon::sendPostedMessage S: error :: socket send failure = ", kWaitMs));
    const unsigned short closedPort = FreeUdpPort();
    for (int round = 1; round <= 3; ++round) {
        EXPECT_EQ(server->SendMsgAsync("nobody listens", closedPort), TAVO_OK);
        client.send(port, "still here " + std::to_string(round));
        ASSERT_TRUE(inbox.waitForCount(round)) << "round " << round;
        EXPECT_EQ(inbox.items().back().msg, "still here " + std::to_string(round));
    }
}

TEST(IPCServer, CleanupSendsWhatWasQueuedBeforeItAndRefusesLaterSends) {
    LogTail log;
    std::mutex mutex;
    std::condition_variable changed;
    bool entered = false;
    bool released = false;
    IpcMessageCallback hold = [&](const std::string&, unsigned short) {
        std::unique_lock<std::mutex> lock(mutex);
        entered = true;
        changed.notify_all();
        changed.wait_for(lock, std::chrono::milliseconds(kWaitMs), [&] { return released; });
    };
    unsigned short port = 0;
    auto server = StartServer(hold, port);
    UdpTestClient client;

    // The receiver thread is busy with a datagram, so the reply waits in the loop's queue while the
    // loop is stopped.
    client.send(port, "hold");
    {
        std::unique_lock<std::mutex> lock(mutex);
        ASSERT_TRUE(changed.wait_for(lock, std::chrono::milliseconds(kWaitMs), [&] { return entered; }));
    }
    ASSERT_EQ(server->SendMsgAsync("queued before cleanup", client.port()), TAVO_OK);
    std::thread releaser([&] {
        Sleep(200);
        std::lock_guard<std::mutex> lock(mutex);
        released = true;
        changed.notify_all();
    });
    server->cleanup();
    releaser.join();

    std::string reply;
    ASSERT_TRUE(client.receive(reply, kWaitMs));
    EXPECT_EQ(reply, "queued before cleanup");

    EXPECT_EQ(server->SendMsgAsync("too late", client.port()), TAVO_ERROR);
    const std::vector<std::string> lines = log.lines();
    const int notInitialised = FindLogLine(lines, "tavo::CIPCCommon::sendMsgToPeer S: error :: IPC socket is not initialised");
    ASSERT_GE(notInitialised, 0);
    EXPECT_GT(FindLogLine(lines, "tavo::CIPCServer::SendMsgAsync S: error :: "
                                 "Error occurred while trying to send message to client.",
                          notInitialised),
              notInitialised);
    server->cleanup();
    EXPECT_FALSE(client.receive(reply, kSilenceMs)) << reply;
}

TEST(IPCServer, DestructionReleasesThePort) {
    Inbox inbox;
    unsigned short port = 0;
    auto server = StartServer(inbox.callback(), port);
    UdpTestClient client;
    for (int round = 1; round <= 3; ++round) {
        client.send(port, "round " + std::to_string(round));
        ASSERT_TRUE(inbox.waitForCount(round)) << "round " << round;
        server.reset();
        server = std::make_unique<CIPCServer>(port, inbox.callback());
    }
    EXPECT_EQ(inbox.items().back().msg, "round 3");
}

}  // namespace
