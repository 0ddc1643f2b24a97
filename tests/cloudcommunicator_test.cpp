#include "agent/cloudcommunicator.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <climits>
#include <condition_variable>
#include <cstdlib>
#include <ctime>
#include <memory>
#include <mutex>
#include <new>
#include <ostream>
#include <stdexcept>
#include <string>
#include <vector>

#include "agent/httprequest.h"
#include "common/tavostatus.h"
#include "logging/tavologger.h"
#include "tests/support/identityservice.h"
#include "tests/support/testutils.h"

using tavo::CloudCommunicator;
using tavo::CloudResponse;
using tavo::IdentityServiceResponse;
using tavo::test::IdentityService;
using tavo::test::LogTail;
using tavo::test::ServiceAnswer;

namespace {

// Thread on which an allocation is to fail, as it does when memory runs out, and how many of its
// allocations still succeed before that one; 0 once it has failed.
std::atomic<DWORD> g_allocationFailsOnThread{0};
int g_allocationsBeforeFailure = 0;

void FailAnAllocationOnThisThread(int succeedingFirst = 0) {
    g_allocationsBeforeFailure = succeedingFirst;
    g_allocationFailsOnThread = GetCurrentThreadId();
}

bool AllocationFailed() {
    return g_allocationFailsOnThread == 0;
}

}  // namespace

// Every allocation of this test program comes here, so that one of them can be made to fail.
void* operator new(std::size_t size) {
    if (g_allocationFailsOnThread == GetCurrentThreadId() && g_allocationsBeforeFailure-- == 0) {
        g_allocationFailsOnThread = 0;
        throw std::bad_alloc();
    }
    if (void* memory = std::malloc(size == 0 ? 1 : size)) {
        return memory;
    }
    throw std::bad_alloc();
}

// Not inlined, where the compiler would take the free for a mismatch with the new beside it.
__attribute__((noinline)) void operator delete(void* memory) noexcept {
    std::free(memory);
}

__attribute__((noinline)) void operator delete(void* memory, std::size_t) noexcept {
    std::free(memory);
}

namespace {

// A request with a chosen body and serialisation outcome; counts its destructions.
class ScriptedRequest : public tavo::CloudRequest {
public:
    enum Throw { kNone, kRuntime, kInvalidArgument, kBadAlloc, kBadAllocAndNoMemoryLeft, kNonStandard, kCreateResponse };

    ScriptedRequest(const std::string& url, const std::string& body, int status = TAVO_OK, Throw thrown = kNone,
                    std::atomic<int>* destroyed = nullptr)
        : CloudRequest(url), m_body(body), m_status(status), m_throw(thrown), m_destroyed(destroyed) {}
    ~ScriptedRequest() override {
        if (m_destroyed != nullptr) {
            ++*m_destroyed;
        }
    }
    int Serialize(std::string& body) override {
        switch (m_throw) {
            case kRuntime:
                throw std::runtime_error("cannot serialise");
            case kInvalidArgument:
                throw std::invalid_argument("bad request");
            case kBadAlloc:
                throw std::bad_alloc();
            case kBadAllocAndNoMemoryLeft:
                // Not even the line of the handler can be written.
                FailAnAllocationOnThisThread();
                throw std::bad_alloc();
            case kNonStandard:
                throw 42;
            case kNone:
            case kCreateResponse:
                break;
        }
        body = m_body;
        return m_status;
    }
    std::unique_ptr<CloudResponse> CreateResponse() override {
        if (m_throw == kCreateResponse) {
            throw std::bad_alloc();
        }
        return std::make_unique<IdentityServiceResponse>();
    }

private:
    std::string m_body;
    int m_status;
    Throw m_throw;
    std::atomic<int>* m_destroyed;
};

// Collects the responses that callbacks receive, tagged with the callback's name.
class Completions {
public:
    tavo::CloudResponseCallback callback(const std::string& name) {
        return [this, name](std::unique_ptr<CloudResponse> response) {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_names.push_back(name);
            m_responses.push_back(std::move(response));
            m_cv.notify_all();
        };
    }
    bool waitFor(size_t count, int seconds = 20) {
        std::unique_lock<std::mutex> lock(m_mutex);
        return m_cv.wait_for(lock, std::chrono::seconds(seconds), [&] { return m_responses.size() >= count; });
    }
    std::vector<std::string> names() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_names;
    }
    bool isNull(size_t index) {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_responses.at(index) == nullptr;
    }
    IdentityServiceResponse& identity(size_t index) {
        std::lock_guard<std::mutex> lock(m_mutex);
        return dynamic_cast<IdentityServiceResponse&>(*m_responses.at(index));
    }

private:
    std::mutex m_mutex;
    std::condition_variable m_cv;
    std::vector<std::string> m_names;
    std::vector<std::unique_ptr<CloudResponse>> m_responses;
};

const char* kIdentityBody =
    R"({"tavo":"T","tavo_token":"K","urls":{"event":"https://ev.example.com","catalog":"C","checkin":"H"}})";
const char* kErrorBody = R"({"code":429,"msg":"slow down"})";

std::string HttpDate(time_t when) {
    struct tm utc = {};
    gmtime_s(&utc, &when);
    char text[64];
    strftime(text, sizeof(text), "%a, %d %b %Y %H:%M:%S GMT", &utc);
    return text;
}

struct ExchangeCase {
    const char* name;
    ServiceAnswer answer;
    int result;
    int64_t retryAfter;
    bool bodyValid;
    const char* logged;  // a line the exchange logs, or ""
};

void PrintTo(const ExchangeCase& c, std::ostream* os) {
    *os << c.name;
}

ServiceAnswer WithInterim(ServiceAnswer answer, const ServiceAnswer& interim) {
    answer.interim = {interim};
    return answer;
}

class CloudExchange : public testing::TestWithParam<ExchangeCase> {};

TEST_P(CloudExchange, JudgesTheAnswer) {
    const ExchangeCase& c = GetParam();
    CTAVOLogger::GetInstance(std::string()).SetLogLevel(eLogVerbose);
    IdentityService service;
    service.answer("/id", {c.answer});
    Completions done;
    LogTail log;
    {
        CloudCommunicator communicator;
        ASSERT_EQ(communicator.MakeRequest(std::make_unique<ScriptedRequest>(service.url("/id"), "{}"),
                                           done.callback("one")),
                  TAVO_OK);
        ASSERT_TRUE(done.waitFor(1));
    }
    IdentityServiceResponse& response = done.identity(0);
    EXPECT_EQ(response.m_iResult, c.result);
    EXPECT_EQ(response.m_iRetryAfterSeconds, c.retryAfter);
    EXPECT_EQ(response.m_bBodyValid, c.bodyValid);
    if (c.bodyValid && c.result == TAVO_OK) {
        EXPECT_EQ(response.m_strTAVO, "T");
    }
    if (c.bodyValid && c.result != TAVO_OK) {
        EXPECT_EQ(response.m_strErrorMsg, "slow down");
    }
    if (c.result == TAVO_INVALID_ARGUMENT) {
        EXPECT_EQ(response.m_strErrorMsg, "") << "the body of a broken-off exchange is not read";
    }
    if (*c.logged) {
        EXPECT_NE(log.text().find(c.logged), std::string::npos) << log.text();
    }
    EXPECT_EQ(service.requests().size(), 1u);
}

INSTANTIATE_TEST_SUITE_P(
    Table, CloudExchange,
    testing::Values(
        ExchangeCase{"Success", {200, {}, kIdentityBody}, TAVO_OK, 0, true, ""},
        ExchangeCase{"SuccessIgnoresRetryAfter", {201, {{"Retry-After", "60"}}, kIdentityBody}, TAVO_OK, 0, true, ""},
        ExchangeCase{"RateLimited", {429, {{"Retry-After", "120"}}, kErrorBody}, TAVO_RATE_LIMITED, 120, true,
                     "Retry After Seconds set to 120 seconds"},
        ExchangeCase{"SmallLetters", {503, {{"retry-after", "30"}}, kErrorBody}, TAVO_RATE_LIMITED, 30, true, ""},
        ExchangeCase{"FirstSpellingReceivedWins", {429, {{"retry-after", "5"}, {"Retry-After", "120"}}, kErrorBody},
                     TAVO_RATE_LIMITED, 5, true, ""},
        ExchangeCase{"Zero", {429, {{"Retry-After", "0"}}, kErrorBody}, TAVO_RATE_LIMITED, 0, true, ""},
        ExchangeCase{"Negative", {429, {{"Retry-After", "-5"}}, kErrorBody}, TAVO_RATE_LIMITED, -5, true, ""},
        ExchangeCase{"TrailingLetters", {429, {{"Retry-After", "12abc"}}, kErrorBody}, TAVO_RATE_LIMITED, 12, true, ""},
        ExchangeCase{"PastInt32", {429, {{"Retry-After", "99999999999999999999999"}}, kErrorBody}, TAVO_RATE_LIMITED,
                     INT32_MAX, true, "Retry After Seconds set to 2147483647 seconds"},
        ExchangeCase{"BelowInt32", {429, {{"Retry-After", "-2147483649"}}, kErrorBody}, TAVO_RATE_LIMITED, INT32_MIN,
                     true, ""},
        ExchangeCase{"PastDate", {503, {{"Retry-After", "Wed, 21 Oct 2015 07:28:00 GMT"}}, kErrorBody},
                     TAVO_RATE_LIMITED, 0, true, ""},
        ExchangeCase{"DateBeyondInt32", {503, {{"Retry-After", "Fri, 31 Dec 9999 23:59:59 GMT"}}, kErrorBody},
                     TAVO_RATE_LIMITED, INT32_MAX, true, ""},
        ExchangeCase{"Rfc850Date", {503, {{"Retry-After", "Sunday, 06-Nov-94 08:49:37 GMT"}}, kErrorBody},
                     TAVO_RATE_LIMITED, 0, true, ""},
        ExchangeCase{"AsctimeDateBeyondInt32", {503, {{"Retry-After", "Fri Dec 31 23:59:59 9999"}}, kErrorBody},
                     TAVO_RATE_LIMITED, INT32_MAX, true, ""},
        ExchangeCase{"MalformedDate", {503, {{"Retry-After", "Fri, 31 Dec 9999 23:59:59 UTC"}}, kErrorBody},
                     TAVO_INVALID_ARGUMENT, 0, false, "Error [Retry-After is neither a number of seconds nor a date]"},
        ExchangeCase{"LettersOnly", {429, {{"Retry-After", "soon"}}, kErrorBody}, TAVO_INVALID_ARGUMENT, 0, false,
                     "Error [Retry-After is neither a number of seconds nor a date]"},
        ExchangeCase{"EmptyRetryAfter", {429, {{"Retry-After", ""}}, kErrorBody}, TAVO_CLOUD_ERROR_RESPONSE, 0, true,
                     ""},
        ExchangeCase{"NoRetryAfter", {503, {}, kErrorBody}, TAVO_CLOUD_ERROR_RESPONSE, 0, true, ""},
        ExchangeCase{"InterimRetryAfterIgnored",
                     WithInterim({503, {}, kErrorBody}, ServiceAnswer(100, {{"Retry-After", "999"}})),
                     TAVO_CLOUD_ERROR_RESPONSE, 0, true, ""},
        ExchangeCase{"RedirectNotFollowed", {302, {{"Location", "https://127.0.0.1:1/elsewhere"}}, kErrorBody},
                     TAVO_CLOUD_ERROR_RESPONSE, 0, true, ""},
        ExchangeCase{"BodyNotJson", {200, {}, "<html>busy</html>"}, TAVO_OK, 0, false,
                     "S: warning :: failed to deserialise"},
        ExchangeCase{"Slow", {200, {}, kIdentityBody, 7.0}, TAVO_ERROR, 0, false, "libcurl error: 28 Timeout was reached"}),
    [](const testing::TestParamInfo<ExchangeCase>& info) { return std::string(info.param.name); });

TEST(CloudCommunicator, HonoursAFutureHttpDate) {
    IdentityService service;
    service.answer("/id", {{503, {{"Retry-After", HttpDate(time(nullptr) + 3600)}}, kErrorBody}});
    Completions done;
    CloudCommunicator communicator;
    communicator.MakeRequest(std::make_unique<ScriptedRequest>(service.url("/id"), "{}"), done.callback("one"));
    ASSERT_TRUE(done.waitFor(1));
    EXPECT_EQ(done.identity(0).m_iResult, TAVO_RATE_LIMITED);
    EXPECT_GT(done.identity(0).m_iRetryAfterSeconds, 3500);
    EXPECT_LE(done.identity(0).m_iRetryAfterSeconds, 3600);
}

TEST(CloudCommunicator, PostsTheIdentityRequestAsTheServiceExpects) {
    IdentityService service;
    service.answer("/v1/identify", {{200, {}, kIdentityBody}});
    tavo::test::TempDir dir;
    tavo::CTAVOStoreReaderWriter store;
    ASSERT_EQ(store.Initialize(1, dir.file("tavostore.json")), TAVO_OK);
    tavo::CTAVOConfig config;
    config.m_strBusinessID = "B";
    config.m_strInstallerKey = "IK";
    config.m_strIdentifyURL = service.url("/v1/identify");
    std::list<tavo::CAttribute> attributes = {{"serial_number", tavo::eAttrString, "SN"},
                                              {"uuid", tavo::eAttrString, "U"},
                                              {"hostname", tavo::eAttrString, "h"}};
    Completions done;
    CloudCommunicator communicator;

    communicator.MakeRequest(std::make_unique<tavo::IdentityServiceRequest>(store, config, std::move(attributes)),
                             done.callback("one"));

    ASSERT_TRUE(done.waitFor(1));
    EXPECT_EQ(done.identity(0).m_iResult, TAVO_OK);
    EXPECT_TRUE(done.identity(0).m_bBodyValid);
    EXPECT_EQ(done.identity(0).m_strEventURL, "https://ev.example.com");
    const auto requests = service.requests();
    ASSERT_EQ(requests.size(), 1u);
    const std::string body =
        R"({"business":{"id":"B","installer_key":"IK"},"hardware":{"serial_number":"SN","uuid":"U"},)"
        R"("os":{"hostname":"h"},"misc":{"product":{}}})";
    EXPECT_EQ(requests[0].requestLine, "POST /v1/identify HTTP/1.1");
    EXPECT_EQ(requests[0].body, body);
    const tavo::test::HeaderList headers = {{"Host", "127.0.0.1:" + std::to_string(service.port())},
                                            {"User-Agent", "Ostrel Quenlo/1.1.83"},
                                            {"Accept", "*/*"},
                                            {"Content-Type", "application/json"},
                                            {"Content-Length", std::to_string(body.size())}};
    EXPECT_EQ(requests[0].headers, headers);
}

struct BrokenCase {
    const char* name;
    std::string url;  // "" for the service's own
    bool untrusted;
    int serializeStatus;
    ScriptedRequest::Throw thrown;
    const char* body;
    int result;
    std::vector<std::string> logged;  // in this order
};

void PrintTo(const BrokenCase& c, std::ostream* os) {
    *os << c.name;
}

class CloudBrokenExchange : public testing::TestWithParam<BrokenCase> {};

// Each broken exchange still completes through its callback, and the thread serves the next one.
TEST_P(CloudBrokenExchange, CompletesAndGoesOn) {
    const BrokenCase& c = GetParam();
    IdentityService service(c.untrusted);
    IdentityService good;
    good.answer("/next", {{200, {}, kIdentityBody}});
    Completions done;
    LogTail log;
    CloudCommunicator communicator;
    const std::string url = c.url.empty() ? service.url("/id") : c.url;

    communicator.MakeRequest(std::make_unique<ScriptedRequest>(url, c.body, c.serializeStatus, c.thrown),
                             done.callback("broken"));
    ASSERT_TRUE(done.waitFor(1));
    communicator.MakeRequest(std::make_unique<ScriptedRequest>(good.url("/next"), "{}"), done.callback("next"));
    ASSERT_TRUE(done.waitFor(2));

    EXPECT_EQ(done.names(), (std::vector<std::string>{"broken", "next"}));
    EXPECT_EQ(done.identity(0).m_iResult, c.result);
    EXPECT_FALSE(done.identity(0).m_bBodyValid);
    EXPECT_EQ(done.identity(1).m_iResult, TAVO_OK);
    EXPECT_TRUE(AllocationFailed());
    const std::vector<std::string> lines = log.lines();
    int at = 0;
    for (const std::string& expected : c.logged) {
        at = tavo::test::FindLogLine(lines, expected, at);
        EXPECT_GE(at, 0) << expected << "\n" << log.text();
    }
    EXPECT_TRUE(service.requests().empty());
}

const std::string kLongUrl = "https://127.0.0.1/" + std::string(tavo::HttpRequest::kMaxUrlLength, 'a');

INSTANTIATE_TEST_SUITE_P(
    Table, CloudBrokenExchange,
    testing::Values(
        BrokenCase{"PlainHttp", "http://127.0.0.1/id", false, TAVO_OK, ScriptedRequest::kNone, "{}", TAVO_INVALID_ARGUMENT,
                   {"tavo::CloudCommunicator::communicationThread S: debug :: Sending request to cloud service : "
                    "http://127.0.0.1/id",
                    "tavo::CloudCommunicator::communicationThread S: error :: Error [Unsupported URI encountered]"}},
        BrokenCase{"UrlTooLong", kLongUrl, false, TAVO_OK, ScriptedRequest::kNone, "{}", TAVO_INVALID_ARGUMENT,
                   {"S: error :: Error [Unsupported URI encountered]"}},
        BrokenCase{"Untrusted", "", true, TAVO_OK, ScriptedRequest::kNone, "{}", TAVO_ERROR, {"libcurl error: 60 "}},
        BrokenCase{"SerializeFails", "", false, TAVO_ERROR, ScriptedRequest::kNone, "", TAVO_ERROR,
                   {"S: error :: failed to serialise"}},
        BrokenCase{"EmptyBody", "", false, TAVO_OK, ScriptedRequest::kNone, "", TAVO_ERROR,
                   {"S: error :: failed to serialise"}},
        BrokenCase{"SerializeThrows", "", false, TAVO_OK, ScriptedRequest::kRuntime, "", TAVO_ERROR,
                   {"S: error :: Error [cannot serialise]"}},
        BrokenCase{"SerializeThrowsInvalidArgument", "", false, TAVO_OK, ScriptedRequest::kInvalidArgument, "",
                   TAVO_ERROR, {"S: error :: Error [bad request]"}},
        BrokenCase{"OutOfMemory", "", false, TAVO_OK, ScriptedRequest::kBadAlloc, "", TAVO_ERROR,
                   {"S: error :: Error [std::bad_alloc]"}},
        BrokenCase{"OutOfMemoryForTheLogLine", "", false, TAVO_OK, ScriptedRequest::kBadAllocAndNoMemoryLeft, "",
                   TAVO_ERROR, {}},
        BrokenCase{"NonStandardThrow", "", false, TAVO_OK, ScriptedRequest::kNonStandard, "", TAVO_ERROR,
                   {"S: error :: Error [unknown exception]"}}),
    [](const testing::TestParamInfo<BrokenCase>& info) { return std::string(info.param.name); });

TEST(CloudCommunicator, ACallbackThatThrowsIsLoggedAndTheNextRequestServed) {
    IdentityService service;
    service.answer("/id", {{200, {}, kIdentityBody}});
    Completions done;
    LogTail log;
    CloudCommunicator communicator;

    communicator.MakeRequest(std::make_unique<ScriptedRequest>(service.url("/id"), "{}"),
                             [](std::unique_ptr<CloudResponse>) { throw std::runtime_error("callback"); });
    ASSERT_TRUE(tavo::test::WaitForLogLine("callback threw an exception; ignored", 20000));
    communicator.MakeRequest(std::make_unique<ScriptedRequest>(service.url("/id"), "{}"), done.callback("next"));

    ASSERT_TRUE(done.waitFor(1));
    EXPECT_EQ(done.identity(0).m_iResult, TAVO_OK);
    EXPECT_EQ(service.requests().size(), 2u);
}

// A response that cannot even be made still completes the request (with nothing), unsent.
TEST(CloudCommunicator, AResponseThatCannotBeMadeCompletesWithNothing) {
    IdentityService service;
    service.answer("/id", {{200, {}, kIdentityBody}});
    Completions done;
    CloudCommunicator communicator;

    communicator.MakeRequest(
        std::make_unique<ScriptedRequest>(service.url("/id"), "{}", TAVO_OK, ScriptedRequest::kCreateResponse),
        done.callback("broken"));
    ASSERT_TRUE(done.waitFor(1));
    communicator.MakeRequest(std::make_unique<ScriptedRequest>(service.url("/id"), "{}"), done.callback("next"));
    ASSERT_TRUE(done.waitFor(2));

    EXPECT_TRUE(done.isNull(0));
    EXPECT_EQ(done.identity(1).m_iResult, TAVO_OK);
    EXPECT_EQ(service.requests().size(), 1u);
}

TEST(CloudCommunicator, RefusesAnEmptyCallback) {
    std::atomic<int> destroyed{0};
    LogTail log;
    CloudCommunicator communicator;
    EXPECT_EQ(communicator.MakeRequest(
                  std::make_unique<ScriptedRequest>("https://127.0.0.1/x", "{}", TAVO_OK, ScriptedRequest::kNone, &destroyed),
                  tavo::CloudResponseCallback()),
              TAVO_INVALID_ARGUMENT);
    EXPECT_EQ(destroyed, 1);
    EXPECT_EQ(log.count("tavo::CloudCommunicator::MakeRequest S: error :: callback expected"), 1u);
}

// After Stop the thread takes no request: one made then is refused, not left waiting for ever.
TEST(CloudCommunicator, RefusesARequestAfterStop) {
    std::atomic<int> destroyed{0};
    Completions done;
    LogTail log;
    {
        CloudCommunicator communicator;
        communicator.Stop();
        EXPECT_EQ(communicator.MakeRequest(std::make_unique<ScriptedRequest>("https://127.0.0.1/x", "{}", TAVO_OK,
                                                                             ScriptedRequest::kNone, &destroyed),
                                           done.callback("late")),
                  TAVO_FAIL);
        EXPECT_EQ(destroyed, 1);
    }
    EXPECT_TRUE(done.names().empty());
    EXPECT_EQ(log.count("tavo::CloudCommunicator::MakeRequest S: error :: thread not running"), 1u);
}

// A completion whose copies fail, as they do when memory runs out.
struct CompletionThatCannotBeCopied {
    explicit CompletionThatCannotBeCopied(Completions& done) : done(&done) {}
    CompletionThatCannotBeCopied(CompletionThatCannotBeCopied&&) = default;
    CompletionThatCannotBeCopied(const CompletionThatCannotBeCopied&) { throw std::bad_alloc(); }
    void operator()(std::unique_ptr<CloudResponse> response) const { done->callback("moved")(std::move(response)); }
    Completions* done;
};

TEST(CloudCommunicator, MovesTheCallbackIntoItsCall) {
    IdentityService service;
    service.answer("/id", {{200, {}, kIdentityBody}});
    Completions done;
    CloudCommunicator communicator;

    communicator.MakeRequest(std::make_unique<ScriptedRequest>(service.url("/id"), "{}"),
                             tavo::CloudResponseCallback(CompletionThatCannotBeCopied(done)));

    ASSERT_TRUE(done.waitFor(1));
    EXPECT_EQ(done.identity(0).m_iResult, TAVO_OK);
}

// The handler of a throwing callback cannot write its line either; the thread still goes on.
TEST(CloudCommunicator, SurvivesAHandlerWhoseLineRunsOutOfMemory) {
    IdentityService service;
    service.answer("/id", {{200, {}, kIdentityBody}});
    std::atomic<bool> called{false};
    Completions done;
    LogTail log;
    CloudCommunicator communicator;

    communicator.MakeRequest(std::make_unique<ScriptedRequest>(service.url("/id"), "{}"),
                             [&called](std::unique_ptr<CloudResponse>) {
                                 called = true;
                                 FailAnAllocationOnThisThread();
                                 throw 42;
                             });
    ASSERT_TRUE(service.waitForRequests(1, 20000));
    communicator.MakeRequest(std::make_unique<ScriptedRequest>(service.url("/id"), "{}"), done.callback("next"));

    ASSERT_TRUE(done.waitFor(1));
    EXPECT_TRUE(called);
    EXPECT_TRUE(AllocationFailed());
    EXPECT_EQ(log.text().find("callback threw an exception"), std::string::npos) << "the line had no memory";
    EXPECT_EQ(done.identity(0).m_iResult, TAVO_OK);
}

// The thread starts last: a constructor whose log line runs out of memory throws and leaves no
// running thread behind, whose destruction would end the process.
TEST(CloudCommunicator, AConstructorThatRunsOutOfMemoryLeavesNoThreadBehind) {
    CTAVOLogger::GetInstance(std::string()).SetLogLevel(eLogVerbose);
    // The one allocation of a thread's start succeeds, so that a thread started first would run.
    const auto construct = [] {
        FailAnAllocationOnThisThread(1);
        CloudCommunicator communicator;
    };
    EXPECT_THROW(construct(), std::bad_alloc);
    EXPECT_TRUE(AllocationFailed());
}

// While the thread is busy, a newer request replaces the waiting one, which is never sent and
// whose callback never runs.
TEST(CloudCommunicator, ANewerRequestReplacesTheWaitingOne) {
    IdentityService service;
    service.answer("/busy", {{200, {}, kIdentityBody, 1.5}});
    service.answer("/first", {{200, {}, kIdentityBody}});
    service.answer("/second", {{200, {}, kIdentityBody}});
    std::atomic<int> destroyed{0};
    Completions done;
    CloudCommunicator communicator;

    communicator.MakeRequest(std::make_unique<ScriptedRequest>(service.url("/busy"), "{}"), done.callback("busy"));
    ASSERT_TRUE(service.waitForRequests(1, 20000));
    communicator.MakeRequest(
        std::make_unique<ScriptedRequest>(service.url("/first"), "{}", TAVO_OK, ScriptedRequest::kNone, &destroyed),
        done.callback("first"));
    communicator.MakeRequest(std::make_unique<ScriptedRequest>(service.url("/second"), "{}"), done.callback("second"));
    EXPECT_EQ(destroyed, 1);

    ASSERT_TRUE(done.waitFor(2));
    EXPECT_EQ(done.names(), (std::vector<std::string>{"busy", "second"}));
    const auto requests = service.requests();
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(requests[1].path, "/second");
}

TEST(CloudCommunicator, DestroyedWhileWaitingLogsExitingThenFinished) {
    CTAVOLogger::GetInstance(std::string()).SetLogLevel(eLogVerbose);
    Completions done;
    LogTail log;
    {
        CloudCommunicator communicator;
        // Once the thread has served a request and its callback has returned, it goes back to wait.
        communicator.MakeRequest(std::make_unique<ScriptedRequest>("http://127.0.0.1/x", "{}"), done.callback("one"));
        ASSERT_TRUE(done.waitFor(1));
        Sleep(200);
    }
    const std::vector<std::string> lines = log.lines();
    const int exiting = tavo::test::FindLogLine(lines, "communicationThread S: verbose :: exiting");
    EXPECT_GE(exiting, 0) << log.text();
    EXPECT_GT(tavo::test::FindLogLine(lines, "~CloudCommunicator S: verbose :: finished"), exiting);
}

// Destroyed while a request is in flight: that request still completes before the destructor
// returns; one waiting behind it is dropped unsent.
TEST(CloudCommunicator, DestroyedWhileWorkingCompletesTheCurrentRequestOnly) {
    CTAVOLogger::GetInstance(std::string()).SetLogLevel(eLogVerbose);
    IdentityService service;
    service.answer("/busy", {{200, {}, kIdentityBody, 1.5}});
    std::atomic<int> destroyed{0};
    Completions done;
    LogTail log;
    {
        CloudCommunicator communicator;
        communicator.MakeRequest(std::make_unique<ScriptedRequest>(service.url("/busy"), "{}"), done.callback("busy"));
        ASSERT_TRUE(service.waitForRequests(1, 20000));
        communicator.MakeRequest(
            std::make_unique<ScriptedRequest>(service.url("/later"), "{}", TAVO_OK, ScriptedRequest::kNone, &destroyed),
            done.callback("later"));
    }
    EXPECT_EQ(done.names(), std::vector<std::string>{"busy"});
    EXPECT_EQ(done.identity(0).m_iResult, TAVO_OK);
    EXPECT_EQ(destroyed, 1);
    EXPECT_EQ(service.requests().size(), 1u);
    EXPECT_EQ(tavo::test::FindLogLine(log.lines(), ":: exiting"), -1);
    EXPECT_GE(tavo::test::FindLogLine(log.lines(), ":: finished"), 0);
}

}  // namespace
