#include "agent/tavoagent.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <limits>
#include <list>
#include <memory>
#include <new>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "agent/cloudresponse.h"
#include "common/tavopath.h"
#include "common/tavostatus.h"
#include "tests/support/identityservice.h"
#include "tests/support/testutils.h"
#include "tests/support/udptestclient.h"

using tavo::CTAVOAgent;
using tavo::test::FindLogLine;
using tavo::test::IdentityService;
using tavo::test::LogTail;
using tavo::test::TempDir;
using tavo::test::UdpTestClient;
using tavo::test::WaitForLogLine;
using tavo::test::WriteFileBytes;

namespace {

// Out of memory where the world would bring it, on the cloud thread: once armed, the first
// allocation of the armed size made by a thread that is not exempt fails. The test's threads are
// exempt; the agent's own threads are not, and of those only the cloud thread allocates the size of
// a response.
std::atomic<std::size_t> g_failingSize{0};
thread_local bool t_exempt = false;

}  // namespace

// The library's operator delete frees what malloc gave. Kept out of line: inlined, the malloc
// would look mismatched with that delete to the compiler.
__attribute__((noinline)) void* operator new(std::size_t size) {
    std::size_t armed = size;
    if (!t_exempt && size != 0 && g_failingSize.compare_exchange_strong(armed, 0)) {
        throw std::bad_alloc();
    }
    if (void* memory = std::malloc(size != 0 ? size : 1)) {
        return memory;
    }
    throw std::bad_alloc();
}

namespace {

constexpr unsigned short kAgentPort = 60110;
constexpr unsigned long kWaitMs = 15000;
const std::string kRefreshRequest("\x01\x00", 2);
const std::string kFailureReply("\x02\x00\x02\x00", 4);
const char kResponselessLine[] =
    "tavo::CTAVOAgent::handleCloudResponse S: error :: Cloud exchange ended without a response";
const char kEventPath[] = "/events/1";

// Hands out the scripted results in turn (the last one for ever), with no attributes.
class ScriptedCollector : public tavo::IAttributeCollector {
public:
    explicit ScriptedCollector(std::vector<int> results) : m_results(std::move(results)) {}
    int GetAttributeList(std::list<tavo::CAttribute>& attributes) override {
        attributes.clear();
        const int result = m_results[std::min(m_next, m_results.size() - 1)];
        ++m_next;
        return result;
    }

private:
    std::vector<int> m_results;
    size_t m_next = 0;
};

// A data directory named by "DataDir" and a configuration directory whose services are the stand-in;
// both go away with the owner.
class AgentSetting {
public:
    explicit AgentSetting(const IdentityService& service) {
        EXPECT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, kKey, 0, nullptr, 0, KEY_ALL_ACCESS | KEY_WOW64_64KEY, nullptr,
                                  &m_key, nullptr),
                  ERROR_SUCCESS);
        const std::wstring dataDir = tavo::StringToWString(m_dataDir.path());
        EXPECT_EQ(RegSetValueExW(m_key, L"DataDir", 0, REG_SZ, reinterpret_cast<const BYTE*>(dataDir.c_str()),
                                 static_cast<DWORD>((dataDir.size() + 1) * sizeof(wchar_t))),
                  ERROR_SUCCESS);
        WriteFileBytes(m_configDir.file("bs.json"),
                       "{\"business_id\": \"biz-1\", \"installer_key\": \"key-1\", \"identify_url\": \"" +
                           service.url("/identify") + "\", \"event_url\": \"" + service.url("/events") + "\"}");
        WriteFileBytes(m_configDir.file("id.json"), "{\"id\": {\"enable_verbose_logs\": false}}");
        const std::string configDir = m_configDir.path();
        tavo::SetTAVOConfigDirectory(tavo::StringToWString(configDir.substr(0, configDir.size() - 1)));
    }
    ~AgentSetting() {
        tavo::SetTAVOConfigDirectory(L"");
        RegCloseKey(m_key);
        RegDeleteKeyExW(HKEY_LOCAL_MACHINE, kKey, KEY_WOW64_64KEY, 0);
    }
    AgentSetting(const AgentSetting&) = delete;
    AgentSetting& operator=(const AgentSetting&) = delete;

private:
    static constexpr const wchar_t* kKey = L"SOFTWARE\\Ostrel\\Vantor\\Quillmark\\TAVO";
    TempDir m_dataDir;
    TempDir m_configDir;
    HKEY m_key = nullptr;
};

// The agent and its thread, which is stopped and joined on every way out of a test.
class RunningAgent {
public:
    explicit RunningAgent(std::vector<int> collectorResults)
        : m_agent(std::make_unique<ScriptedCollector>(std::move(collectorResults))) {}
    ~RunningAgent() {
        if (m_thread.joinable()) {
            m_agent.ShutDown();
            m_thread.join();
        }
    }
    RunningAgent(const RunningAgent&) = delete;
    RunningAgent& operator=(const RunningAgent&) = delete;

    void start() {
        m_thread = std::thread([this] {
            t_exempt = true;
            m_agent.MainThreadProc();
        });
    }

private:
    CTAVOAgent m_agent;
    std::thread m_thread;
};

size_t requestsTo(const IdentityService& service, const std::string& path) {
    size_t count = 0;
    for (const auto& request : service.requests()) {
        count += request.path == path ? 1 : 0;
    }
    return count;
}

struct ResponselessCase {
    const char* name;
    // What the collector reports at the start-up step and then at each refresh: -18 sends the
    // "no-wmi" event (once), 0 an identity request.
    std::vector<int> collectorResults;
    // The step whose exchange ends without a response.
    size_t responselessStep;
    size_t eventsSent;
};

void PrintTo(const ResponselessCase& c, std::ostream* out) {
    *out << c.name;
}

class ResponselessExchange : public testing::TestWithParam<ResponselessCase> {};

// An exchange for which the communicator could make no response never reached the service: when it
// was the "no-wmi" event, the event may be sent again; when it was an identity request, the event
// already sent stays sent.
TEST_P(ResponselessExchange, CountsForTheNoWmiEventAsAFailedExchange) {
    const ResponselessCase& c = GetParam();
    t_exempt = true;
    IdentityService service;
    service.answer(kEventPath, {{200, {}, "{\"event_count\": 1}"}});
    AgentSetting setting(service);
    RunningAgent agent(c.collectorResults);
    UdpTestClient client;

    for (size_t step = 0; step < c.collectorResults.size(); ++step) {
        const bool responseless = step == c.responselessStep;
        if (responseless) {
            g_failingSize = c.collectorResults[step] == TAVO_OK ? sizeof(tavo::IdentityServiceResponse)
                                                                 : sizeof(tavo::EventResponse);
        }
        if (step == 0) {
            agent.start();
            ASSERT_TRUE(WaitForLogLine(responseless ? kResponselessLine : "TAVO agent received Event Response", kWaitMs))
                << "start-up step";
        } else {
            client.send(kAgentPort, kRefreshRequest);
            std::string reply;
            ASSERT_TRUE(client.receive(reply, kWaitMs)) << "refresh " << step;
            EXPECT_EQ(reply, kFailureReply) << "refresh " << step;
        }
        if (responseless) {
            ASSERT_EQ(g_failingSize.load(), 0u) << "the response of step " << step << " was made";
            EXPECT_TRUE(WaitForLogLine(kResponselessLine, 0)) << "step " << step;
        }
    }
    EXPECT_EQ(requestsTo(service, kEventPath), c.eventsSent);
}

INSTANTIATE_TEST_SUITE_P(
    Agent, ResponselessExchange,
    testing::Values(ResponselessCase{"NoWmiEventIsSentAgain", {TAVO_WMI_UNAVAILABLE, TAVO_WMI_UNAVAILABLE}, 0, 1},
                    ResponselessCase{"IdentityRequestLeavesTheEventSent",
                                     {TAVO_WMI_UNAVAILABLE, TAVO_OK, TAVO_WMI_UNAVAILABLE},
                                     1,
                                     1}),
    [](const testing::TestParamInfo<ResponselessCase>& info) { return std::string(info.param.name); });

TEST(RateLimitWait, LastsUntilTheRetryTimeAndNeverWraps) {
    constexpr int64_t now = 1767225600;  // 2026-01-01
    constexpr int64_t max64 = std::numeric_limits<int64_t>::max();
    constexpr int64_t min64 = std::numeric_limits<int64_t>::min();
    const struct {
        int64_t now, retryAfter;
        uint32_t expected;
    } cases[] = {
        {now, now + 30, 30000},
        {now, now + 1, 1000},
        {now, now, 0},
        {now, now - 5, 0},
        {now, 0, 0},
        {now, min64, 0},
        // The last whole second that fits the largest wait, and the first that does not.
        {now, now + 2147483, 2147483000},
        {now, now + 2147484, tavo::kMaxRateLimitWaitMs},
        // Past the 32-bit millisecond range, where a plain product would wrap to a short wait.
        {now, now + 4294968, tavo::kMaxRateLimitWaitMs},
        {now, int64_t{1} << 40, tavo::kMaxRateLimitWaitMs},
        {now, max64, tavo::kMaxRateLimitWaitMs},
        // A clock before 1970 and a far retry time: the difference does not fit 64 signed bits.
        {-10, max64, tavo::kMaxRateLimitWaitMs},
        {min64, max64, tavo::kMaxRateLimitWaitMs},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(tavo::RateLimitWaitMilliseconds(c.now, c.retryAfter), c.expected)
            << c.now << " -> " << c.retryAfter;
    }
}

}  // namespace
