#include "agent/httprequest.h"

#include <gtest/gtest.h>

#include <map>
#include <ostream>
#include <stdexcept>
#include <string>
#include <thread>

#include "tests/support/testutils.h"

using tavo::HttpRequest;
using tavo::HttpResponse;
using tavo::test::LogTail;

namespace {

struct UrlCase {
    const char* url;
    bool accepted;
    const char* host;
    int port;
    const char* path;
};

void PrintTo(const UrlCase& c, std::ostream* os) {
    *os << '"' << c.url << '"';
}

class HttpRequestUrl : public testing::TestWithParam<UrlCase> {};

TEST_P(HttpRequestUrl, SplitsOrRefuses) {
    const UrlCase& c = GetParam();
    if (!c.accepted) {
        try {
            HttpRequest request(tavo::eHttpPost, c.url, "{}");
            FAIL() << "accepted";
        } catch (const std::invalid_argument& e) {
            EXPECT_STREQ(e.what(), "Unsupported URI encountered");
        }
        return;
    }
    HttpRequest request(tavo::eHttpPost, c.url, "{}");
    EXPECT_EQ(request.m_strHost, c.host);
    EXPECT_EQ(request.m_iPort, c.port);
    EXPECT_EQ(request.m_strPath, c.path);
    EXPECT_EQ(request.m_strBody, "{}");
    EXPECT_EQ(request.m_strUserAgent, "");
}

INSTANTIATE_TEST_SUITE_P(Table, HttpRequestUrl,
                         testing::Values(UrlCase{"https://id.example.com/v1/identify", true, "id.example.com", 443, "/v1/identify"},
                                         UrlCase{"id.example.com:8443/v1/identify", true, "id.example.com", 8443, "/v1/identify"},
                                         UrlCase{"HTTPS://Id.Example.com/x", true, "Id.Example.com", 443, "/x"},
                                         UrlCase{"https://id.example.com", true, "id.example.com", 443, ""},
                                         UrlCase{"https://h:99999/x", true, "h", 99999, "/x"},
                                         UrlCase{"https://h:0", true, "h", 0, ""},
                                         UrlCase{"https://host?q=1#f", true, "host?q=1#f", 443, ""},
                                         UrlCase{"https://h/", true, "h", 443, "/"},
                                         UrlCase{"http://host/x", false, "", 0, ""},
                                         UrlCase{"ftp://host/x", false, "", 0, ""},
                                         UrlCase{"https://h:123456/x", false, "", 0, ""},
                                         UrlCase{"https://h:/x", false, "", 0, ""},
                                         UrlCase{"https://host/a?b=1", false, "", 0, ""},
                                         UrlCase{"https://host/a#b", false, "", 0, ""},
                                         UrlCase{"https://host/a:b", false, "", 0, ""},
                                         UrlCase{"https://host/a b", false, "", 0, ""},
                                         UrlCase{"https://host/a\tb", false, "", 0, ""},
                                         UrlCase{"https://ho st/a", false, "", 0, ""},
                                         UrlCase{"https://[::1]/x", false, "", 0, ""},
                                         UrlCase{" https://host/x", false, "", 0, ""},
                                         UrlCase{"", false, "", 0, ""},
                                         UrlCase{"https://", false, "", 0, ""}));

// A URL of the longest accepted length is matched on a thread like the cloud thread (same default
// stack) without exhausting its stack; a longer one is refused before matching.
TEST(HttpRequest, LongestUrlIsMatchedOnAThreadAndLongerRefused) {
    const std::string prefix = "https://h/";
    const std::string longest = prefix + std::string(HttpRequest::kMaxUrlLength - prefix.size(), 'a');
    std::string path;
    bool refused = false;
    std::thread worker([&] {
        path = HttpRequest(tavo::eHttpPost, longest, "{}").m_strPath;
        try {
            HttpRequest(tavo::eHttpPost, longest + "a", "{}");
        } catch (const std::invalid_argument&) {
            refused = true;
        }
    });
    worker.join();
    EXPECT_EQ(path.size(), HttpRequest::kMaxUrlLength - prefix.size() + 1);
    EXPECT_TRUE(refused);
}

TEST(HttpRequest, HeadersStartWithTheContentTypeAndKeepTheFirstValue) {
    HttpRequest request(tavo::eHttpPost, "https://h/x", "");
    EXPECT_EQ(request.GetHeaderLines(), std::vector<std::string>{"Content-Type: application/json"});

    request.SetContentType("text/plain");
    request.AddHeader("Content-Type", "text/html");
    request.AddHeader("A-First", "1");
    EXPECT_EQ(request.GetHeaderLines(),
              (std::vector<std::string>{"A-First: 1", "Content-Type: application/json"}));
    EXPECT_EQ(request.GetHeader("content-type"), "");
    request.RemoveHeader("Content-Type");
    EXPECT_EQ(request.GetHeader("Content-Type"), "");
    EXPECT_EQ(request.GetHeaderLines(), std::vector<std::string>{"A-First: 1"});
}

TEST(HttpRequest, MethodNames) {
    EXPECT_EQ(HttpRequest::GetHttpMethodString(tavo::eHttpGet), "GET");
    EXPECT_EQ(HttpRequest::GetHttpMethodString(tavo::eHttpPost), "POST");
    EXPECT_EQ(HttpRequest::GetHttpMethodString(tavo::eHttpHead), "HEAD");
    EXPECT_EQ(HttpRequest::GetHttpMethodString(tavo::eHttpDelete), "DELETE");
    LogTail log;
    EXPECT_EQ(HttpRequest::GetHttpMethodString(static_cast<tavo::eHttpMethod>(4)), "");
    EXPECT_EQ(log.count("tavo::HttpRequest::GetHttpMethodString S: error :: Unknown HTTP Request Method"), 1u);
}

struct HeaderCase {
    const char* name;
    const char* raw;
    std::map<std::string, std::string> headers;
};

void PrintTo(const HeaderCase& c, std::ostream* os) {
    *os << c.name;
}

class HttpResponseHeaders : public testing::TestWithParam<HeaderCase> {};

TEST_P(HttpResponseHeaders, ParsesCompleteLines) {
    HttpResponse response;
    response.ParseHeaders(GetParam().raw);
    EXPECT_EQ(response.m_headers, GetParam().headers);
}

INSTANTIATE_TEST_SUITE_P(
    Table, HttpResponseHeaders,
    testing::Values(
        HeaderCase{"TrimmedAndKeptAsSpelled", "HTTP/1.1 429 Too Many\r\nRetry-After:  120 \r\nretry-after: 5\r\n\r\n",
                   {{"Retry-After", "120"}, {"retry-after", "5"}}},
        HeaderCase{"FirstOfTheSameNameWins", "A: 1\r\nA: 2\r\n", {{"A", "1"}}},
        HeaderCase{"LastLineWithoutBreakIgnored", "A: 1\r\nB: 2", {{"A", "1"}}},
        HeaderCase{"NoBreakAtAll", "A: 1", {}},
        HeaderCase{"LoneLineFeeds", "A: 1\nB: x:y\n", {{"A", "1"}, {"B", "x:y"}}},
        HeaderCase{"EmptyNameAndEmptyValue", ": x\r\nA:\r\n", {{"", "x"}, {"A", ""}}},
        HeaderCase{"LinesWithoutColonSkipped", "HTTP/1.1 200 OK\r\nnocolon\r\n\r\n", {}}),
    [](const testing::TestParamInfo<HeaderCase>& info) { return std::string(info.param.name); });

TEST(HttpResponse, AnyCaseLookupTakesTheSpellingReceivedFirst) {
    HttpResponse response;
    // Byte order puts "Retry-After" before "retry-after"; arrival order is the reverse.
    response.ParseHeaders("retry-after: 5\r\nRetry-After: 120\r\nRETRY-AFTER: 7\r\n");
    EXPECT_EQ(response.GetHeader("Retry-After"), "120");
    EXPECT_EQ(response.GetHeaderAnyCase("Retry-After"), "5");
    EXPECT_EQ(response.GetHeaderAnyCase("Retry-Afte"), "");
}

TEST(HttpResponse, SuccessIsTwoHundredToTwoNinetyNine) {
    for (const auto& c : {std::make_pair(199, false), std::make_pair(200, true), std::make_pair(299, true),
                          std::make_pair(300, false)}) {
        HttpResponse response;
        response.m_iStatusCode = c.first;
        EXPECT_EQ(response.IsSuccess(), c.second) << c.first;
    }
}

}  // namespace
