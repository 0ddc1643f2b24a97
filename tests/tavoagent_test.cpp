#include "agent/tavoagent.h"

#include <windows.h>

#include <cJSON.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdlib>
#include <limits>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "agent/cloudresponse.h"
#include "common/ipcmessage.h"
#include "common/tavopath.h"
#include "common/tavostatus.h"
#include "common/wallclock.h"
#include "tests/support/identityservice.h"
#include "tests/support/testutils.h"
#include "tests/support/udptestclient.h"

using tavo::CTAVOAgent;
using tavo::IpcRefreshTokenRsp;
using tavo::test::FindLogLine;
using tavo::test::IdentityService;
using tavo::test::LogTail;
using tavo::test::ReadFileBytes;
using tavo::test::ServiceAnswer;
using tavo::test::TempDir;
using tavo::test::UdpTestClient;
using tavo::test::WaitForLogLine;
using tavo::test::WriteFileBytes;
using Code = tavo::IpcRefreshTokenRsp::eRefreshTokenResponse;

namespace {

// Out of memory where the world would bring it, on the cloud thread: once armed, the first
// allocation of the armed size made by a thread that is not exempt fails. The test's threads are
// exempt; the agent's own threads are not, and of those only the cloud thread allocates the size of
// a response.
std::atomic<std::size_t> g_failingSize{0};
thread_local bool t_exempt = false;
// While set, every allocation of this thread fails.
thread_local bool t_allocationsFail = false;

}  // namespace

// The library's operator delete frees what malloc gave. Kept out of line: inlined, the malloc
// would look mismatched with that delete to the compiler.
__attribute__((noinline)) void* operator new(std::size_t size) {
    std::size_t armed = size;
    if (t_allocationsFail || (!t_exempt && size != 0 && g_failingSize.compare_exchange_strong(armed, 0))) {
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
const char kResponseReceivedLine[] = "tavo::CTAVOAgent::notifyCloudResponse S: debug :: Response received from cloud";
// Logged after the request step has answered the pending refresh, when it collected nothing.
const char kNothingSentLine[] =
    "tavo::CTAVOAgent::sendIdentityServiceRequest S: error :: Failed in condition: (TAVO_STATUS::TAVO_OK != status)";
const char kIdentityPath[] = "/identify";
const char kEventPath[] = "/events/1";
const char kIdentityBody[] =
    "{\"tavo\": \"tavo-new\", \"tavo_token\": \"tok-new\", \"instance_key\": \"inst-new\", \"urls\": {\"event\": "
    "\"https://new.example/e\", \"catalog\": \"https://new.example/c\", \"checkin\": \"https://new.example/k\"}}";

std::string Reply(uint16_t code) {
    return std::string{2, 0, static_cast<char>(code & 0xff), static_cast<char>(code >> 8)};
}

// Waits up to kWaitMs for the log to gain the line.
bool WaitForLine(const LogTail& log, const std::string& line) {
    const ULONGLONG deadline = GetTickCount64() + kWaitMs;
    while (log.count(line) == 0) {
        if (GetTickCount64() >= deadline) {
            return false;
        }
        Sleep(20);
    }
    return true;
}

// Hands out the scripted results in turn (the last one for ever), with the attributes that an
// identity request must carry. One call can be held until the test releases it, which keeps the
// agent thread inside that request step.
class ScriptedCollector : public tavo::IAttributeCollector {
public:
    static constexpr size_t kNoneHeld = static_cast<size_t>(-1);

    explicit ScriptedCollector(std::vector<int> results, size_t heldCall = kNoneHeld)
        : m_results(std::move(results)), m_heldCall(heldCall) {}
    int GetAttributeList(std::list<tavo::CAttribute>& attributes) override {
        attributes = {{"serial_number", tavo::eAttrString, "SN-1"},
                      {"uuid", tavo::eAttrString, "UUID-1"},
                      {"hostname", tavo::eAttrString, "host-1"}};
        std::unique_lock<std::mutex> lock(m_mutex);
        const size_t call = m_calls++;
        if (call == m_heldCall) {
            m_held = true;
            m_changed.notify_all();
            m_changed.wait_for(lock, std::chrono::milliseconds(kWaitMs), [this] { return m_released; });
        }
        return m_results[std::min(call, m_results.size() - 1)];
    }

    bool waitUntilHeld() {
        std::unique_lock<std::mutex> lock(m_mutex);
        return m_changed.wait_for(lock, std::chrono::milliseconds(kWaitMs), [this] { return m_held; });
    }
    void release() {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_released = true;
        m_changed.notify_all();
    }
    size_t calls() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_calls;
    }

private:
    const std::vector<int> m_results;
    const size_t m_heldCall;
    std::mutex m_mutex;
    std::condition_variable m_changed;
    size_t m_calls = 0;
    bool m_held = false;
    bool m_released = false;
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
                           service.url(kIdentityPath) + "\", \"event_url\": \"" + service.url("/events") + "\"}");
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

    std::string storePath() const { return m_dataDir.file("tavostore.json"); }

private:
    static constexpr const wchar_t* kKey = L"SOFTWARE\\Ostrel\\Vantor\\Quillmark\\TAVO";
    TempDir m_dataDir;
    TempDir m_configDir;
    HKEY m_key = nullptr;
};

// The agent and its thread, which is stopped and joined on every way out of a test.
class RunningAgent {
public:
    explicit RunningAgent(std::vector<int> collectorResults, size_t heldCall = ScriptedCollector::kNoneHeld)
        : m_collector(new ScriptedCollector(std::move(collectorResults), heldCall)),
          m_agent(std::unique_ptr<tavo::IAttributeCollector>(m_collector)) {}
    ~RunningAgent() { stop(); }
    RunningAgent(const RunningAgent&) = delete;
    RunningAgent& operator=(const RunningAgent&) = delete;

    void start() {
        m_thread = std::thread([this] {
            t_exempt = true;
            m_agent.MainThreadProc();
        });
    }
    // Starts the agent with a start-up step that collects nothing, and waits until that step is
    // over, so that no refresh of the test is answered by it.
    bool startSettled() {
        const LogTail log;
        start();
        return WaitForLine(log, kNothingSentLine);
    }
    void stop() {
        if (m_thread.joinable()) {
            m_agent.ShutDown();
            m_thread.join();
        }
    }

    CTAVOAgent& agent() { return m_agent; }
    ScriptedCollector& collector() { return *m_collector; }

private:
    ScriptedCollector* m_collector;  // owned by the agent
    CTAVOAgent m_agent;
    std::thread m_thread;
};

// The completion of a refresh asked of the agent itself, and the codes it was called with.
class Completion {
public:
    tavo::RefreshTokenCallback callback() {
        return [this](Code code) {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_codes.push_back(code);
            m_called.notify_all();
        };
    }
    // The codes once the first came, waiting up to kWaitMs; empty when none came.
    std::vector<int> wait() {
        std::unique_lock<std::mutex> lock(m_mutex);
        m_called.wait_for(lock, std::chrono::milliseconds(kWaitMs), [this] { return !m_codes.empty(); });
        return m_codes;
    }
    std::vector<int> codes() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_codes;
    }

private:
    std::mutex m_mutex;
    std::condition_variable m_called;
    std::vector<int> m_codes;
};

// A valid identity answer, as the communicator delivers it, with the event service at eventUrl.
std::unique_ptr<tavo::CloudResponse> IdentityAnswer(const std::string& eventUrl) {
    auto response = std::make_unique<tavo::IdentityServiceResponse>();
    response->m_bBodyValid = true;
    response->m_strTAVO = "tavo-new";
    response->m_strToken = "tok-new";
    response->m_strEventURL = eventUrl;
    return response;
}

// The store file's members; a member that is not a string reads as "(not a string)".
std::map<std::string, std::string> StoreMembers(const std::string& path) {
    std::map<std::string, std::string> members;
    cJSON* root = cJSON_Parse(ReadFileBytes(path).c_str());
    for (const cJSON* item = root != nullptr ? root->child : nullptr; item != nullptr; item = item->next) {
        members[item->string] = cJSON_IsString(item) ? item->valuestring : "(not a string)";
    }
    cJSON_Delete(root);
    return members;
}

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
    size_t exchanges;
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
    const LogTail log;

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
    // The end of every exchange, with a response or without, is the callback's line.
    const std::vector<std::string> lines = log.lines();
    EXPECT_EQ(static_cast<size_t>(std::count_if(lines.begin(), lines.end(),
                                                 [](const std::string& line) {
                                                     return line.find(":: Response received from cloud") !=
                                                            std::string::npos;
                                                 })),
              c.exchanges)
        << log.text();
    EXPECT_EQ(log.count(kResponseReceivedLine), c.exchanges) << log.text();
}

INSTANTIATE_TEST_SUITE_P(
    Agent, ResponselessExchange,
    testing::Values(ResponselessCase{"NoWmiEventIsSentAgain", {TAVO_WMI_UNAVAILABLE, TAVO_WMI_UNAVAILABLE}, 0, 2, 1},
                    ResponselessCase{"IdentityRequestLeavesTheEventSent",
                                     {TAVO_WMI_UNAVAILABLE, TAVO_OK, TAVO_WMI_UNAVAILABLE},
                                     1,
                                     2,
                                     1}),
    [](const testing::TestParamInfo<ResponselessCase>& info) { return std::string(info.param.name); });

// The store before each case: an identity the agent got earlier, whose event service is the
// stand-in's.
const std::map<std::string, std::string> kSeededStore = {
    {"tavo", "tavo-old"},
    {"tavo_token", "tok-old"},
    {"instance_key", "inst-old"},
    {"catalog_url", "https://old.example/c"},
    {"checkin_url", "https://old.example/k"},
};
const std::map<std::string, std::string> kNewIdentity = {
    {"tavo", "tavo-new"},
    {"tavo_token", "tok-new"},
    {"instance_key", "inst-new"},
    {"event_url", "https://new.example/e"},
    {"catalog_url", "https://new.example/c"},
    {"checkin_url", "https://new.example/k"},
};
const char kErrorBody[] = "{\"code\": 17, \"msg\": \"identity store offline\"}";
constexpr int64_t kNoRetryTime = -1;

struct PolicyCase {
    const char* name;
    // The collector's result at each refresh (the start-up step before them collects nothing).
    std::vector<int> collectorResults;
    std::vector<ServiceAnswer> identityAnswers;
    std::vector<ServiceAnswer> eventAnswers;
    // The reply to each refresh.
    std::vector<uint16_t> codes;
    size_t requests;
    // The store afterwards: the seeded one, "business_id" and these values.
    std::map<std::string, std::string> stored;
    // Seconds after the refreshes that the stored retry-after time lies, or kNoRetryTime for none.
    int64_t retryAfter;
};

void PrintTo(const PolicyCase& c, std::ostream* out) {
    *out << c.name;
}

class ResponsePolicy : public testing::TestWithParam<PolicyCase> {};

// What the service answers decides the reply to the waiting client and what the store holds.
TEST_P(ResponsePolicy, AnswersTheRefreshAndStores) {
    const PolicyCase& c = GetParam();
    t_exempt = true;
    IdentityService service;
    if (!c.identityAnswers.empty()) {
        service.answer(kIdentityPath, c.identityAnswers);
    }
    if (!c.eventAnswers.empty()) {
        service.answer(kEventPath, c.eventAnswers);
    }
    AgentSetting setting(service);
    std::map<std::string, std::string> seeded = kSeededStore;
    seeded.emplace("event_url", service.url("/events"));
    std::string seededText;
    for (const auto& member : seeded) {
        seededText += (seededText.empty() ? "{\"" : ", \"") + member.first + "\": \"" + member.second + "\"";
    }
    WriteFileBytes(setting.storePath(), seededText + "}");
    std::vector<int> collectorResults = {TAVO_FAIL};
    collectorResults.insert(collectorResults.end(), c.collectorResults.begin(), c.collectorResults.end());
    RunningAgent agent(collectorResults);
    ASSERT_TRUE(agent.startSettled());
    UdpTestClient client;

    const int64_t before = tavo::WallClockSeconds();
    for (size_t refresh = 0; refresh < c.codes.size(); ++refresh) {
        client.send(kAgentPort, kRefreshRequest);
        std::string reply;
        ASSERT_TRUE(client.receive(reply, kWaitMs)) << "refresh " << refresh;
        EXPECT_EQ(reply, Reply(c.codes[refresh])) << "refresh " << refresh;
    }
    const int64_t after = tavo::WallClockSeconds();
    EXPECT_EQ(service.requests().size(), c.requests);

    std::map<std::string, std::string> stored = StoreMembers(setting.storePath());
    if (c.retryAfter != kNoRetryTime) {
        const int64_t retryTime = std::strtoll(stored["retry-after"].c_str(), nullptr, 10);
        EXPECT_GE(retryTime, before + c.retryAfter);
        EXPECT_LE(retryTime, after + c.retryAfter);
        stored.erase("retry-after");
    }
    std::map<std::string, std::string> expected = c.stored;
    expected.insert(seeded.begin(), seeded.end());
    expected.emplace("business_id", "biz-1");
    EXPECT_EQ(stored, expected);
}

std::map<std::string, std::string> WithoutInstanceKey() {
    std::map<std::string, std::string> values = kNewIdentity;
    values.erase("instance_key");
    values["catalog_url"] = "";
    return values;
}

INSTANTIATE_TEST_SUITE_P(
    Agent, ResponsePolicy,
    testing::Values(
        PolicyCase{"Identity", {TAVO_OK}, {{200, {}, kIdentityBody}}, {}, {1}, 1, kNewIdentity, kNoRetryTime},
        // Only the instance key keeps its old value; an empty URL is written as empty text.
        PolicyCase{"IdentityWithoutInstanceKey",
                   {TAVO_OK},
                   {{200, {},
                     "{\"tavo\": \"tavo-new\", \"tavo_token\": \"tok-new\", \"instance_key\": \"\", \"urls\": "
                     "{\"event\": \"https://new.example/e\", \"catalog\": \"\", \"checkin\": "
                     "\"https://new.example/k\"}}"}},
                   {},
                   {1},
                   1,
                   WithoutInstanceKey(),
                   kNoRetryTime},
        // A 2xx answer without a token: the identity held is not replaced.
        PolicyCase{"InvalidIdentityBody",
                   {TAVO_OK},
                   {{200, {},
                     "{\"tavo\": \"tavo-other\", \"urls\": {\"event\": \"\", \"catalog\": \"\", \"checkin\": "
                     "\"\"}}"}},
                   {},
                   {2},
                   1,
                   {},
                   kNoRetryTime},
        PolicyCase{"ExchangeFails", {TAVO_OK}, {ServiceAnswer::Raw("")}, {}, {2}, 1, {}, kNoRetryTime},
        PolicyCase{"ServiceError", {TAVO_OK}, {{503, {}, kErrorBody}}, {}, {3}, 1, {}, kNoRetryTime},
        // The limit holds: the second refresh is answered at once, with nothing sent.
        PolicyCase{"RateLimited",
                   {TAVO_OK, TAVO_OK},
                   {{429, {{"Retry-After", "120"}}, kErrorBody}},
                   {},
                   {4, 4},
                   1,
                   {},
                   120},
        // A time equal to now is not in force: the next refresh is sent.
        PolicyCase{"RetryAfterZero",
                   {TAVO_OK, TAVO_OK},
                   {{429, {{"Retry-After", "0"}}, kErrorBody}, {200, {}, kIdentityBody}},
                   {},
                   {4, 1},
                   2,
                   kNewIdentity,
                   0},
        // An error answer lets the "no-wmi" event go again; a rate-limited one neither stores a
        // retry-after time nor lets it go again.
        PolicyCase{"EventErrorThenRateLimit",
                   {TAVO_WMI_UNAVAILABLE, TAVO_WMI_UNAVAILABLE, TAVO_WMI_UNAVAILABLE},
                   {},
                   {{500, {}, "{\"code\": 5, \"msg\": \"event store busy\"}"},
                    {429, {{"Retry-After", "60"}}, "{\"code\": 6, \"msg\": \"quiet\"}"}},
                   {2, 2, 2},
                   2,
                   {},
                   kNoRetryTime}),
    [](const testing::TestParamInfo<PolicyCase>& info) { return std::string(info.param.name); });

// Whether or not the agent thread wakes between the two calls, its request step is held, so the
// first refresh is still pending at the second.
TEST(Agent, RefusesASecondRefreshWhileOneIsPending) {
    t_exempt = true;
    IdentityService service;
    service.answer(kIdentityPath, {{200, {}, kIdentityBody}});
    AgentSetting setting(service);
    Completion first;
    Completion second;
    RunningAgent agent({TAVO_FAIL, TAVO_OK}, 1);
    ASSERT_TRUE(agent.startSettled());

    EXPECT_EQ(agent.agent().refreshToken(first.callback()), TAVO_OK);
    EXPECT_EQ(agent.agent().refreshToken(second.callback()), TAVO_BUSY);
    ASSERT_TRUE(agent.collector().waitUntilHeld());
    agent.collector().release();
    EXPECT_EQ(first.wait(), std::vector<int>{IpcRefreshTokenRsp::eRefreshTokenSuccess});
    agent.stop();
    // The start-up step and one for both refreshes.
    EXPECT_EQ(agent.collector().calls(), 2u);
    EXPECT_EQ(service.requests().size(), 1u);
    EXPECT_EQ(first.codes().size(), 1u);
    EXPECT_TRUE(second.codes().empty());
}

// The "no-wmi" event's exchange ended without a response, and in the same wake-up an identity
// response is pending: both count.
TEST(Agent, ExchangeWithoutAResponseCountsBesideAResponse) {
    t_exempt = true;
    IdentityService service;
    service.answer(kEventPath, {{200, {}, "{\"event_count\": 1}"}});
    AgentSetting setting(service);
    Completion eventSent;
    Completion held;
    Completion afterwards;
    // Start-up collects nothing; the first refresh sends the event; the second is held in its step
    // while both news arrive; the third finds the attribute source unusable again.
    RunningAgent agent({TAVO_FAIL, TAVO_WMI_UNAVAILABLE, TAVO_FAIL, TAVO_WMI_UNAVAILABLE}, 2);
    ASSERT_TRUE(agent.startSettled());
    ASSERT_EQ(agent.agent().refreshToken(eventSent.callback()), TAVO_OK);
    ASSERT_EQ(eventSent.wait(), std::vector<int>{IpcRefreshTokenRsp::eRefreshTokenFailure});
    ASSERT_EQ(agent.agent().refreshToken(held.callback()), TAVO_OK);
    ASSERT_TRUE(agent.collector().waitUntilHeld());

    agent.agent().notifyCloudResponse(nullptr, true);
    agent.agent().notifyCloudResponse(IdentityAnswer(service.url("/events")), false);
    agent.collector().release();
    ASSERT_EQ(held.wait(), std::vector<int>{IpcRefreshTokenRsp::eRefreshTokenFailure});
    ASSERT_EQ(agent.agent().refreshToken(afterwards.callback()), TAVO_OK);
    EXPECT_FALSE(afterwards.wait().empty());

    EXPECT_TRUE(service.waitForRequests(2, kWaitMs)) << "the event is sent again";
    EXPECT_EQ(requestsTo(service, kEventPath), 2u);
    EXPECT_EQ(StoreMembers(setting.storePath())["tavo_token"], "tok-new");
}

// Out of memory on the thread that delivers a response: its log line is lost, the response is not.
TEST(Agent, KeepsAResponseWhoseLogLineCannotBeWritten) {
    t_exempt = true;
    IdentityService service;
    AgentSetting setting(service);
    RunningAgent agent({TAVO_FAIL});
    ASSERT_TRUE(agent.startSettled());
    const LogTail log;

    std::unique_ptr<tavo::CloudResponse> response = IdentityAnswer("https://new.example/e");
    t_allocationsFail = true;
    try {
        agent.agent().notifyCloudResponse(std::move(response), false);
    } catch (...) {
        // Dropped, as the communicator drops what its callback throws.
    }
    t_allocationsFail = false;

    EXPECT_TRUE(WaitForLine(log, "tavo::CTAVOStoreReaderWriter::SetCheckinURL S: debug :: Checkin URL updated"))
        << log.text();
    EXPECT_EQ(StoreMembers(setting.storePath())["tavo_token"], "tok-new");
    EXPECT_EQ(log.count(kResponseReceivedLine), 0u) << "the line was written after all";
}

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
