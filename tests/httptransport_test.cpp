#include "agent/httptransport.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <vector>

#include "common/tavopath.h"
#include "common/tavostatus.h"
#include "tests/support/identityservice.h"
#include "tests/support/testutils.h"

using tavo::HttpRequest;
using tavo::HttpResponse;
using tavo::HttpTransport;
using tavo::test::FileExists;
using tavo::test::IdentityService;
using tavo::test::LogTail;
using tavo::test::ServiceAnswer;
using tavo::test::TempDir;

namespace {

HttpRequest Post(const std::string& url, const std::string& body) {
    HttpRequest request(tavo::eHttpPost, url, body);
    request.SetUserAgent("Ostrel Quenlo/1.1.83");
    return request;
}

TEST(HttpTransport, PostsExactlyTheRequestAndReadsTheAnswer) {
    IdentityService service;
    service.answer("/v1/identify", {{429, {{"Retry-After", " 120 "}, {"X-Other", "a"}}, R"({"code":7})"}});
    HttpTransport transport;
    HttpRequest request = Post(service.url("/v1/identify"), R"({"a":1})");
    HttpResponse response;

    ASSERT_EQ(transport.SendRequest(request, response), TAVO_OK);

    EXPECT_EQ(response.m_iStatusCode, 429);
    EXPECT_EQ(response.GetHeader("Retry-After"), "120");
    EXPECT_EQ(response.GetHeader("X-Other"), "a");
    EXPECT_EQ(response.m_strBody, R"({"code":7})");
    const auto requests = service.requests();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].requestLine, "POST /v1/identify HTTP/1.1");
    EXPECT_EQ(requests[0].body, R"({"a":1})");
    // The port is always written, so the Host header carries it.
    const tavo::test::HeaderList expected = {{"Host", "127.0.0.1:" + std::to_string(service.port())},
                                             {"User-Agent", "Ostrel Quenlo/1.1.83"},
                                             {"Accept", "*/*"},
                                             {"Content-Type", "application/json"},
                                             {"Content-Length", "7"}};
    EXPECT_EQ(requests[0].headers, expected);
}

TEST(HttpTransport, ReusesOneHandleForRequestsToBothNamesOfTheServer) {
    IdentityService service;
    service.answer("/a", {{200, {{"X-First", "1"}}, "one"}});
    service.answer("/b", {{201, {}, "two"}});
    HttpTransport transport;
    HttpRequest first = Post(service.url("/a"), "1");
    HttpRequest second = Post("localhost:" + std::to_string(service.port()) + "/b", "2");
    second.AddHeader("X-Second", "yes");
    HttpResponse firstResponse;
    HttpResponse secondResponse;

    ASSERT_EQ(transport.SendRequest(first, firstResponse), TAVO_OK);
    ASSERT_EQ(transport.SendRequest(second, secondResponse), TAVO_OK);

    EXPECT_EQ(firstResponse.m_strBody, "one");
    EXPECT_EQ(secondResponse.m_iStatusCode, 201);
    EXPECT_EQ(secondResponse.GetHeader("X-First"), "");
    const auto requests = service.requests();
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(requests[0].header("X-Second"), "");
    EXPECT_EQ(requests[1].header("X-Second"), "yes");
    EXPECT_EQ(requests[1].header("Content-Type"), "application/json");
}

TEST(HttpTransport, KeepsOnlyTheFinalResponsesHeaders) {
    IdentityService service;
    ServiceAnswer answer{503, {{"X-Final", "f"}}, "{}"};
    answer.interim = {{100, {{"Retry-After", "999"}}}};
    service.answer("/a", {answer});
    HttpTransport transport;
    HttpRequest request = Post(service.url("/a"), "{}");
    HttpResponse response;

    ASSERT_EQ(transport.SendRequest(request, response), TAVO_OK);

    EXPECT_EQ(response.m_iStatusCode, 503);
    EXPECT_EQ(response.GetHeader("Retry-After"), "");
    EXPECT_EQ(response.GetHeader("X-Final"), "f");
}

// libcurl appends every TLS session's secrets to the file that SSLKEYLOGFILE names; a variable set
// machine-wide to debug another program must not make the agent write them.
TEST(HttpTransport, WritesNoTlsKeysWhereTheEnvironmentAsks) {
    // Set once the stand-in runs, which would honour it too.
    IdentityService service;
    service.answer("/a", {{200, {}, "ok"}});
    TempDir dir;
    const std::string keyLog = dir.file("sslkeys.log");
    ASSERT_TRUE(SetEnvironmentVariableW(L"SSLKEYLOGFILE", tavo::StringToWString(keyLog).c_str()));
    HttpTransport transport;
    HttpRequest request = Post(service.url("/a"), "{}");
    HttpResponse response;

    ASSERT_EQ(transport.SendRequest(request, response), TAVO_OK);

    EXPECT_EQ(response.m_iStatusCode, 200);
    EXPECT_EQ(response.m_strBody, "ok");
    EXPECT_FALSE(FileExists(keyLog));
}

TEST(HttpTransport, DoesNotFollowRedirects) {
    IdentityService service;
    service.answer("/a", {{302, {{"Location", service.url("/b")}}, ""}});
    HttpTransport transport;
    HttpRequest request = Post(service.url("/a"), "{}");
    HttpResponse response;

    ASSERT_EQ(transport.SendRequest(request, response), TAVO_OK);

    EXPECT_EQ(response.m_iStatusCode, 302);
    EXPECT_EQ(service.requests().size(), 1u);
}

struct FailureCase {
    const char* name;
    bool untrusted;
    ServiceAnswer answer;
    const char* logged;
    bool tls13Only = false;
};

void PrintTo(const FailureCase& c, std::ostream* os) {
    *os << c.name;
}

// Header lines of 64 KiB each, libcurl's own limit per line being 100 KiB.
tavo::test::HeaderList ManyHeaders(size_t total) {
    tavo::test::HeaderList headers;
    for (size_t i = 0; i * 65536 < total; ++i) {
        headers.emplace_back("X-Big-" + std::to_string(i), std::string(65536, 'x'));
    }
    return headers;
}

class HttpTransportFailure : public testing::TestWithParam<FailureCase> {};

TEST_P(HttpTransportFailure, FailsWithoutTouchingTheResponse) {
    const FailureCase& c = GetParam();
    IdentityService service(c.untrusted, c.tls13Only);
    service.answer("/a", {c.answer});
    HttpTransport transport;
    HttpRequest request = Post(service.url("/a"), "{}");
    HttpResponse response;
    response.m_iStatusCode = 1;
    LogTail log;

    EXPECT_EQ(transport.SendRequest(request, response), TAVO_ERROR);

    EXPECT_EQ(response.m_iStatusCode, 1);
    EXPECT_TRUE(response.m_headers.empty());
    EXPECT_NE(log.text().find(c.logged), std::string::npos) << log.text();
}

INSTANTIATE_TEST_SUITE_P(
    Cases, HttpTransportFailure,
    testing::Values(
        FailureCase{"Untrusted", true, {200, {}, "{}"}, "libcurl error: 60 "},
        // The transport offers TLS 1.0 to 1.2 only.
        FailureCase{"Tls13Only", false, {200, {}, "{}"}, "doPost S: error :: libcurl error: 35 ", true},
        FailureCase{"Slow", false, {200, {}, "{}", 7.0}, "libcurl error: 28 Timeout was reached"},
        FailureCase{"NotHttp", false, ServiceAnswer::Raw("garbage\r\n\r\n"), "libcurl error: "},
        FailureCase{"ClosedWithoutAnswer", false, ServiceAnswer::Raw(""), "libcurl error: 52 "},
        FailureCase{"CutShort", false, ServiceAnswer::Raw("HTTP/1.1 200 OK\r\nContent-Length: 100\r\n\r\n{}"),
                    "libcurl error: 18 "},
        FailureCase{"BodyPastOneMebibyte", false, {200, {}, std::string(HttpTransport::kMaxTransferText + 1, 'x')},
                    "libcurl error: 23 "},
        FailureCase{"HeadersPastOneMebibyte", false,
                    {200, ManyHeaders(HttpTransport::kMaxTransferText), "{}"},
                    "libcurl error: "}),
    [](const testing::TestParamInfo<FailureCase>& info) { return std::string(info.param.name); });

// libcurl stops header text long before the bound; the callbacks hold it for any libcurl.
TEST(HttpTransport, CallbacksStopAtTheBoundAndHeadersRestartAtEachStatusLine) {
    std::string text;
    std::string chunk(HttpTransport::kMaxTransferText / 2, 'x');
    EXPECT_EQ(HttpTransport::WriteCallback(&chunk[0], 1, chunk.size(), &text), chunk.size());
    EXPECT_EQ(HttpTransport::WriteCallback(&chunk[0], 1, chunk.size(), &text), chunk.size());
    EXPECT_EQ(HttpTransport::WriteCallback(&chunk[0], 1, 1, &text), 0u);
    EXPECT_EQ(text.size(), HttpTransport::kMaxTransferText);

    std::string headers;
    std::string lines[] = {"HTTP/1.1 100 Continue\r\n", "Retry-After: 9\r\n", "\r\n", "HTTP/1.1 503 No\r\n",
                           "X-Final: f\r\n"};
    for (std::string& line : lines) {
        EXPECT_EQ(HttpTransport::HeaderCallback(&line[0], 1, line.size(), &headers), line.size());
    }
    EXPECT_EQ(headers, "HTTP/1.1 503 No\r\nX-Final: f\r\n");
}

TEST(HttpTransport, ReadsAnUntrustedServersAnswerOnceTheChainIsNotVerified) {
    IdentityService service(true);
    service.answer("/a", {{201, {{"X-Chain", "untrusted"}}, "read"}});
    HttpTransport transport;
    HttpRequest request = Post(service.url("/a"), "{}");
    HttpResponse response;

    ASSERT_EQ(transport.setSecurityFlagsToIgnore(), TAVO_OK);
    ASSERT_EQ(transport.SendRequest(request, response), TAVO_OK);

    EXPECT_EQ(response.m_iStatusCode, 201);
    EXPECT_EQ(response.GetHeader("X-Chain"), "untrusted");
    EXPECT_EQ(response.m_strBody, "read");
    EXPECT_EQ(service.requests().size(), 1u);
}

struct StepCase {
    const char* name;
    tavo::eHttpMethod method;
    size_t userAgentLength;
    std::vector<std::string> logged;  // in this order
};

void PrintTo(const StepCase& c, std::ostream* os) {
    *os << c.name;
}

class HttpTransportStep : public testing::TestWithParam<StepCase> {};

// A libcurl failure is logged by the step that made the call, not by a helper.
TEST_P(HttpTransportStep, NamesTheStepThatFailed) {
    const StepCase& c = GetParam();
    IdentityService service(true);
    HttpTransport transport;
    HttpRequest request(c.method, service.url("/a"), "{}");
    request.SetUserAgent(std::string(c.userAgentLength, 'u'));
    HttpResponse response;
    LogTail log;

    EXPECT_EQ(transport.SendRequest(request, response), TAVO_ERROR);

    const std::vector<std::string> lines = log.lines();
    int at = 0;
    for (const std::string& expected : c.logged) {
        at = tavo::test::FindLogLine(lines, expected, at);
        EXPECT_GE(at, 0) << expected << "\n" << log.text();
    }
}

// libcurl refuses option texts longer than 8,000,000 bytes.
INSTANTIATE_TEST_SUITE_P(
    Cases, HttpTransportStep,
    testing::Values(
        StepCase{"Post", tavo::eHttpPost, 4, {"tavo::HttpTransport::doPost S: error :: libcurl error: 60 "}},
        StepCase{"Get", tavo::eHttpGet, 4, {"tavo::HttpTransport::doGet S: error :: libcurl error: 60 "}},
        StepCase{"Setter", tavo::eHttpPost, 8000001,
                 {"tavo::HttpTransport::setUserAgent S: error :: libcurl error: 43 ",
                  "tavo::HttpTransport::SendRequest S: error :: unable to set curl user agent"}}),
    [](const testing::TestParamInfo<StepCase>& info) { return std::string(info.param.name); });

TEST(HttpTransport, RefusesMethodsOtherThanGetAndPost) {
    IdentityService service;
    HttpTransport transport;
    HttpRequest request(tavo::eHttpDelete, service.url("/a"), "");
    HttpResponse response;
    LogTail log;

    EXPECT_EQ(transport.SendRequest(request, response), TAVO_ERROR);

    EXPECT_EQ(log.count("tavo::HttpTransport::SendRequest S: error :: unknown HTTP request method"), 1u);
    EXPECT_TRUE(service.requests().empty());
}

}  // namespace
