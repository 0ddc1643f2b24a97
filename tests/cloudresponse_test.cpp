#include "agent/cloudresponse.h"

#include <gtest/gtest.h>

#include <climits>
#include <ostream>
#include <string>
#include <vector>

#include "common/tavostatus.h"
#include "tests/support/testutils.h"

using tavo::EventResponse;
using tavo::IdentityServiceResponse;
using tavo::test::LogTail;

namespace {

TEST(CloudResponse, StartsEmptyWithItsKind) {
    const IdentityServiceResponse identity;
    EXPECT_EQ(identity.m_eType, tavo::eResponseIdentity);
    EXPECT_EQ(identity.m_iResult, 0);
    EXPECT_EQ(identity.m_iRetryAfterSeconds, 0);
    EXPECT_EQ(identity.m_iErrorCode, 0);
    EXPECT_FALSE(identity.m_bBodyValid);
    const EventResponse event;
    EXPECT_EQ(event.m_eType, tavo::eResponseEvent);
    EXPECT_EQ(event.m_iEventCount, 0);
    EXPECT_EQ(event.m_iErrorCode, 0);
}

struct IdentityCase {
    const char* name;
    int result;
    std::string body;
    int status;
    // tavo, token, instance key, event, catalog, checkin, error message
    std::vector<std::string> strings;
    int errorCode;
    const char* logged;  // the error line, or "" for none
};

void PrintTo(const IdentityCase& c, std::ostream* os) {
    *os << c.name;
}

class IdentityDeserialize : public testing::TestWithParam<IdentityCase> {};

TEST_P(IdentityDeserialize, FillsWhatTheBodyHolds) {
    const IdentityCase& c = GetParam();
    IdentityServiceResponse response;
    response.m_iResult = c.result;
    LogTail log;

    EXPECT_EQ(response.Deserialize(c.body), c.status);

    const std::vector<std::string> strings = {response.m_strTAVO,        response.m_strToken,
                                              response.m_strInstanceKey, response.m_strEventURL,
                                              response.m_strCatalogURL,  response.m_strCheckinURL,
                                              response.m_strErrorMsg};
    EXPECT_EQ(strings, c.strings);
    EXPECT_EQ(response.m_iErrorCode, c.errorCode);
    EXPECT_EQ(response.m_iResult, c.result);
    std::vector<std::string> errors;
    for (const std::string& line : log.lines()) {
        if (line.find(" S: error :: ") != std::string::npos) {
            errors.push_back(line);
        }
    }
    // The lines name the operation that the parent sees, the error body's included.
    const std::string expected = std::string("tavo::IdentityServiceResponse::Deserialize S: error :: ") + c.logged;
    EXPECT_EQ(errors, *c.logged ? std::vector<std::string>{expected} : std::vector<std::string>{});
}

const char* kFull =
    R"({"tavo":"T","tavo_token":"K","instance_key":"I","urls":{"event":"E","catalog":"C","checkin":"H"}})";

INSTANTIATE_TEST_SUITE_P(
    Table, IdentityDeserialize,
    testing::Values(
        IdentityCase{"Full", 0, kFull, TAVO_OK, {"T", "K", "I", "E", "C", "H", ""}, 0, ""},
        IdentityCase{"NamesInAnyCase", 0,
                     R"({"TAVO":"T","Tavo_Token":"K","URLS":{"Event":"E","CATALOG":"C","checkin":"H"},"tavo":"x"})",
                     TAVO_OK, {"T", "K", "", "E", "C", "H", ""}, 0, ""},
        IdentityCase{"EmptyObject", 0, "{}", TAVO_ERROR, {"", "", "", "", "", "", ""}, 0,
                     "Failed in condition: (NULL == pTavo)"},
        IdentityCase{"TavoNotAString", 0, R"({"tavo":5,"tavo_token":"K"})", TAVO_ERROR, {"", "", "", "", "", "", ""}, 0,
                     "Failed in condition: (NULL == pTavo)"},
        IdentityCase{"InstanceKeyNotAString", 0,
                     R"({"tavo":"T","tavo_token":"K","instance_key":1,"urls":{"event":"E","catalog":"C","checkin":"H"}})",
                     TAVO_OK, {"T", "K", "", "E", "C", "H", ""}, 0, ""},
        IdentityCase{"NoUrls", 0, R"({"tavo":"T","tavo_token":"K"})", TAVO_ERROR, {"T", "K", "", "", "", "", ""}, 0,
                     "Failed in condition: (NULL == pURL)"},
        IdentityCase{"UrlsNotAnObject", 0, R"({"tavo":"T","tavo_token":"K","urls":"x"})", TAVO_ERROR,
                     {"T", "K", "", "", "", "", ""}, 0, "Failed in condition: (NULL == pEventURL)"},
        IdentityCase{"CheckinNull", 0, R"({"tavo":"T","tavo_token":"K","urls":{"event":"E","catalog":"C","checkin":null}})",
                     TAVO_ERROR, {"T", "K", "", "E", "C", "", ""}, 0, "Failed in condition: (NULL == pCheckinURL)"},
        IdentityCase{"EmptyUrls", 0, R"({"tavo":"T","tavo_token":"K","urls":{"event":"","catalog":"","checkin":""}})",
                     TAVO_OK, {"T", "K", "", "", "", "", ""}, 0, ""},
        IdentityCase{"EmptyTavo", 0, R"({"tavo":"","tavo_token":"K","urls":{"event":"","catalog":"","checkin":""}})",
                     TAVO_ERROR, {"", "K", "", "", "", "", ""}, 0, "Couldn't retrieve valid response data"},
        IdentityCase{"NotJson", 0, "<html>", TAVO_ERROR, {"", "", "", "", "", "", ""}, 0, "Couldn't parse json : <html>"},
        IdentityCase{"Empty", 0, "", TAVO_ERROR, {"", "", "", "", "", "", ""}, 0, "Couldn't parse json : "},
        IdentityCase{"ReadUpToNul", 0, std::string("{}\0garbage", 10), TAVO_ERROR, {"", "", "", "", "", "", ""}, 0,
                     "Failed in condition: (NULL == pTavo)"},
        IdentityCase{"ErrorBody", -11, R"({"code":42,"msg":"no"})", TAVO_OK, {"", "", "", "", "", "", "no"}, 42, ""},
        IdentityCase{"RateLimitedReadsAnErrorBody", -12, kFull, TAVO_ERROR, {"", "", "", "", "", "", ""}, 0,
                     "Failed in condition: (NULL == pErrorCode)"},
        IdentityCase{"ErrorCodeZero", -11, R"({"code":0,"msg":"no"})", TAVO_ERROR, {"", "", "", "", "", "", "no"}, 0,
                     "Couldn't retrieve valid error response data"},
        IdentityCase{"ErrorCodeTruncated", -11, R"({"code":1.9,"msg":"no"})", TAVO_OK, {"", "", "", "", "", "", "no"}, 1, ""},
        IdentityCase{"ErrorCodeNegativeTruncated", -11, R"({"code":-1.9,"msg":"no"})", TAVO_OK,
                     {"", "", "", "", "", "", "no"}, -1, ""},
        IdentityCase{"ErrorCodeString", -11, R"({"code":"7","msg":"no"})", TAVO_OK, {"", "", "", "", "", "", "no"}, INT_MIN, ""},
        IdentityCase{"ErrorCodePastInt", -11, R"({"code":2147483648,"msg":"no"})", TAVO_OK,
                     {"", "", "", "", "", "", "no"}, INT_MIN, ""},
        IdentityCase{"ErrorCodeIntMax", -11, R"({"code":2147483647,"msg":"no"})", TAVO_OK,
                     {"", "", "", "", "", "", "no"}, INT_MAX, ""},
        IdentityCase{"ErrorMsgEmpty", -11, R"({"code":3,"msg":""})", TAVO_ERROR, {"", "", "", "", "", "", ""}, 3,
                     "Couldn't retrieve valid error response data"},
        IdentityCase{"ErrorMsgNumber", -11, R"({"code":3,"msg":4})", TAVO_ERROR, {"", "", "", "", "", "", ""}, 3,
                     "Failed in condition: (NULL == pMsg)"}),
    [](const testing::TestParamInfo<IdentityCase>& info) { return std::string(info.param.name); });

TEST(EventResponse, ReadsTheCountOrTheErrorBody) {
    EventResponse counted;
    EXPECT_EQ(counted.Deserialize(R"({"Event_Count":3})"), TAVO_OK);
    EXPECT_EQ(counted.m_iEventCount, 3);

    EventResponse uncounted;
    uncounted.m_iEventCount = 9;
    LogTail log;
    EXPECT_EQ(uncounted.Deserialize("{}"), TAVO_ERROR);
    EXPECT_EQ(uncounted.m_iEventCount, 9);
    EXPECT_EQ(log.count("tavo::EventResponse::Deserialize S: error :: Failed in condition: (NULL == pEventCount)"), 1u);

    EventResponse failed;
    failed.m_iResult = TAVO_CLOUD_ERROR_RESPONSE;
    EXPECT_EQ(failed.Deserialize(R"({"code":5,"msg":"bad","event_count":1})"), TAVO_OK);
    EXPECT_EQ(failed.m_iErrorCode, 5);
    EXPECT_EQ(failed.m_strErrorMsg, "bad");
    EXPECT_EQ(failed.m_iEventCount, 0);

    EventResponse invalid;
    invalid.m_iResult = TAVO_RATE_LIMITED;
    EXPECT_EQ(invalid.Deserialize(R"({"code":0,"msg":"bad"})"), TAVO_ERROR);
    EXPECT_EQ(invalid.m_strErrorMsg, "bad");
    EXPECT_EQ(log.count("tavo::EventResponse::Deserialize S: error :: Couldn't retrieve valid error response data"), 1u);
}

}  // namespace
