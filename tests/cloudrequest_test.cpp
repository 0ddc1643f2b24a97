#include "agent/cloudrequest.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <ctime>
#include <list>
#include <memory>
#include <ostream>
#include <regex>
#include <string>
#include <vector>

#include "common/tavopath.h"
#include "common/tavostatus.h"
#include "tests/support/testutils.h"

using tavo::CAttribute;
using tavo::CTAVOConfig;
using tavo::CTAVOStoreReaderWriter;
using tavo::ErrorInfo;
using tavo::EventRequest;
using tavo::IdentityServiceRequest;
using tavo::test::LogTail;
using tavo::test::TempDir;

namespace {

using Attributes = std::list<CAttribute>;

CAttribute S(const std::string& name, const std::string& value) {
    return CAttribute(name, tavo::eAttrString, value);
}
CAttribute B(const std::string& name, const std::string& value) {
    return CAttribute(name, tavo::eAttrBool, value);
}
CAttribute O(const std::string& name, const Attributes& children) {
    return CAttribute(name, tavo::eAttrObject, std::make_shared<Attributes>(children));
}
CAttribute A(const std::string& name, const Attributes& children) {
    return CAttribute(name, tavo::eAttrObjectArray, std::make_shared<Attributes>(children));
}
CAttribute SA(const std::string& name, const std::list<std::string>& values) {
    return CAttribute(name, tavo::eAttrStringArray, values);
}

// The configuration and a store on a fresh file.
struct Setting {
    Setting() {
        EXPECT_EQ(store.Initialize(1, dir.file("tavostore.json")), TAVO_OK);
        config.m_strBusinessID = "B";
        config.m_strInstallerKey = "IK";
        config.m_strIdentifyURL = "https://id.example.com/v1/identify";
        config.m_strEventURL = "https://ev.example.com/default";
    }
    TempDir dir;
    CTAVOStoreReaderWriter store;
    CTAVOConfig config;
};

// What Serialize logs from the request's own lines (the store's lines left out).
std::vector<std::string> RequestLines(const LogTail& log) {
    std::vector<std::string> lines;
    for (const std::string& line : log.lines()) {
        if (line.find("Request::") != std::string::npos || line.find("addAttributeToJson") != std::string::npos) {
            lines.push_back(line.substr(line.find(" S: ") + 4));
        }
    }
    return lines;
}

const Attributes kMinimal = {S("serial_number", "SN"), S("uuid", "U"), S("hostname", "h")};
const std::string kMinimalHead = R"({"business":{"id":"B","installer_key":"IK"},"hardware":{"serial_number":"SN","uuid":"U"},"os":{"hostname":"h"},)";

Attributes With(Attributes attributes, const CAttribute& extra) {
    attributes.push_back(extra);
    return attributes;
}

struct IdentityCase {
    const char* name;
    Attributes attributes;
    const char* bid;
    const char* tavo;
    const char* token;
    const char* instanceKey;
    std::string body;  // "" when Serialize fails
    std::vector<std::string> logged;
};

void PrintTo(const IdentityCase& c, std::ostream* os) {
    *os << c.name;
}

class IdentityBody : public testing::TestWithParam<IdentityCase> {};

TEST_P(IdentityBody, IsTheExactCompactDocument) {
    const IdentityCase& c = GetParam();
    Setting setting;
    setting.config.m_strBusinessID = c.bid;
    setting.store.SetTAVO(c.tavo);
    setting.store.SetToken(c.token);
    setting.store.SetInstanceKey(c.instanceKey);
    Attributes attributes = c.attributes;
    IdentityServiceRequest request(setting.store, setting.config, std::move(attributes));
    EXPECT_TRUE(attributes.empty());
    EXPECT_EQ(request.m_strURL, "https://id.example.com/v1/identify");
    std::string body = "before";
    LogTail log;

    EXPECT_EQ(request.Serialize(body), c.body.empty() ? TAVO_ERROR : TAVO_OK);

    EXPECT_EQ(body, c.body.empty() ? "before" : c.body);
    EXPECT_EQ(RequestLines(log), c.logged);
    if (!c.body.empty()) {
        std::string again;
        request.Serialize(again);
        EXPECT_EQ(again, body);
    }
}

const char* kHardwareMissing = "error :: Mandatory Hardware data missing.";
const char* kUnknownTag = "warning :: Unknown Attribute Tag encountered.";

INSTANTIATE_TEST_SUITE_P(
    Table, IdentityBody,
    testing::Values(
        IdentityCase{"EveryGroup",
                     {S("serial_number", "SN"), S("uuid", "U"),
                      A("disk_list", {O("", {S("serial_number", "D1"), S("media", "fixed")})}),
                      A("adapters", {O("", {S("mac", "M"), SA("ips", {"1.2.3.4", "::1"})})}), S("partition_id", "P1"),
                      S("hostname", "h"), S("domainname", "d"), S("major", "10"), S("build", "19045"),
                      B("is_virtual", "true"), O("zel", {S("uuid", "Z")}), S("pellaway", "PW")},
                     "B", "T", "K", "I",
                     R"({"business":{"id":"B","installer_key":"IK"},"hardware":{"serial_number":"SN","uuid":"U",)"
                     R"("disk_list":[{"serial_number":"D1","media":"fixed"}]},"os":{"adapters":[{"mac":"M",)"
                     R"("ips":["1.2.3.4","::1"]}],"partition_id":"P1","hostname":"h","domainname":"d","major":"10",)"
                     R"("build":"19045"},"misc":{"product":{"zel":{"uuid":"Z"},"pellaway":"PW"},"is_virtual":true,)"
                     R"("cache":{"tavo":"T","tavo_token":"K","instance_key":"I"}}})",
                     {}},
        IdentityCase{"NoCacheWithoutToken", kMinimal, "B", "T", "", "I", kMinimalHead + R"("misc":{"product":{}}})", {}},
        IdentityCase{"CacheWithoutInstanceKey", kMinimal, "B", "T", "K", "",
                     kMinimalHead + R"("misc":{"product":{},"cache":{"tavo":"T","tavo_token":"K"}}})", {}},
        IdentityCase{"EmptyList", {}, "B", "", "", "", "", {kHardwareMissing}},
        IdentityCase{"NoHostname", {S("serial_number", "SN"), S("uuid", "U")}, "B", "", "", "", "",
                     {"error :: Required OS data missing."}},
        IdentityCase{"SerialWithoutValue",
                     {CAttribute("serial_number", tavo::eAttrString, std::list<std::string>{}), S("uuid", "U"),
                      S("hostname", "h")},
                     "B", "", "", "", "", {kHardwareMissing}},
        IdentityCase{"SerialOnlyInsideDiskList",
                     {A("disk_list", {O("", {S("serial_number", "D1")})}), O("zel", {S("uuid", "Z")}),
                      S("hostname", "h")},
                     "B", "", "", "", "", {kHardwareMissing}},
        IdentityCase{"UnknownAndNamelessLeftOut", With(With(kMinimal, S("colour", "red")), S("", "x")), "B", "", "",
                     "", kMinimalHead + R"("misc":{"product":{}}})", {kUnknownTag, kUnknownTag}},
        IdentityCase{"NoBusinessId", kMinimal, "", "", "", "", "", {"error :: Mandatory Business data missing."}},
        IdentityCase{"BoolIsTrueOnlyForTrue", With(kMinimal, B("is_virtual", "True")), "B", "", "", "",
                     kMinimalHead + R"("misc":{"product":{},"is_virtual":false}})", {}},
        IdentityCase{"EmptyAndMissingChildren",
                     With(With(With(kMinimal, O("zel", {})), A("adapters", {})),
                          CAttribute("pellaway", tavo::eAttrObject, std::shared_ptr<Attributes>())),
                     "B", "", "", "",
                     R"({"business":{"id":"B","installer_key":"IK"},"hardware":{"serial_number":"SN","uuid":"U"},)"
                     R"("os":{"hostname":"h","adapters":[]},"misc":{"product":{"zel":{}}}})",
                     {}},
        IdentityCase{"UnknownType", With(kMinimal, CAttribute("major", 9, "x")), "B", "", "", "",
                     kMinimalHead + R"("misc":{"product":{}}})",
                     {"warning :: Default Attribute Type null encountered."}},
        IdentityCase{"EscapedAndRepeated", With(With(kMinimal, S("name", "a\"b\\c\x01\xC3\xA9")), S("name", "2")), "B",
                     "", "", "",
                     R"({"business":{"id":"B","installer_key":"IK"},"hardware":{"serial_number":"SN","uuid":"U"},)"
                     R"("os":{"hostname":"h","name":"a\"b\\c\u0001)"
                     "\xC3\xA9"
                     R"(","name":"2"},"misc":{"product":{}}})",
                     {}}),
    [](const testing::TestParamInfo<IdentityCase>& info) { return std::string(info.param.name); });

TEST(IdentityServiceRequest, CreatesAnEmptyIdentityResponse) {
    Setting setting;
    IdentityServiceRequest request(setting.store, setting.config, Attributes());
    const std::unique_ptr<tavo::CloudResponse> response = request.CreateResponse();
    ASSERT_NE(dynamic_cast<tavo::IdentityServiceResponse*>(response.get()), nullptr);
    EXPECT_EQ(response->m_eType, tavo::eResponseIdentity);
}

TEST(EventRequest, GoesToTheStoredOrTheConfiguredUrlWithTheSuffix) {
    Setting setting;
    EXPECT_EQ(EventRequest("no-wmi", setting.store, setting.config, ErrorInfo()).m_strURL,
              "https://ev.example.com/default/1");
    setting.config.m_strEventURL = "https://ev.example.com/";
    EXPECT_EQ(EventRequest("no-wmi", setting.store, setting.config, ErrorInfo()).m_strURL, "https://ev.example.com//1");
    setting.config.m_strEventURL = "";
    EXPECT_EQ(EventRequest("no-wmi", setting.store, setting.config, ErrorInfo()).m_strURL, "/1");
    setting.store.SetEventURL("https://ev.example.com/stored");
    setting.config.m_strEventURL = "https://ev.example.com/default";
    EXPECT_EQ(EventRequest("no-wmi", setting.store, setting.config, ErrorInfo()).m_strURL,
              "https://ev.example.com/stored/1");
}

TEST(EventRequest, NoWmiCarriesTheHostNameAndNeverTheIdentifier) {
    Setting setting;
    setting.store.SetTAVO("T");
    std::string hostname;
    ASSERT_EQ(tavo::GetHostname(hostname), TAVO_OK);
    const time_t before = time(nullptr);
    EventRequest request("no-wmi", setting.store, setting.config, ErrorInfo{5, ""});
    const time_t after = time(nullptr);
    std::string body;

    ASSERT_EQ(request.Serialize(body), TAVO_OK);

    const std::string& ts = request.m_strTimestamp;
    EXPECT_EQ(body, R"({"event":{"bid":"B","iid":"IK","type":"no-wmi","tse":")" + ts + R"(","tstx":")" + ts +
                        R"(","hostname":")" + hostname + R"("}})");
    std::string again;
    request.Serialize(again);
    EXPECT_EQ(again, body);
    // UTC, milliseconds always three digits.
    std::smatch parts;
    ASSERT_TRUE(std::regex_match(ts, parts, std::regex(R"((\d{4})-(\d\d)-(\d\d)T(\d\d):(\d\d):(\d\d)\.\d{3}Z)"))) << ts;
    struct tm utc = {};
    utc.tm_year = std::stoi(parts[1]) - 1900;
    utc.tm_mon = std::stoi(parts[2]) - 1;
    utc.tm_mday = std::stoi(parts[3]);
    utc.tm_hour = std::stoi(parts[4]);
    utc.tm_min = std::stoi(parts[5]);
    utc.tm_sec = std::stoi(parts[6]);
    const time_t stamped = _mkgmtime(&utc);
    EXPECT_GE(stamped, before);
    EXPECT_LE(stamped, after);
}

// The timestamp's text for instants that a 32-bit time_t cannot show, which the clock of a test
// cannot reach.
TEST(EventRequest, TimestampTextHoldsPast2038) {
    const int64_t kSecond = 10000000;
    const struct {
        int64_t ticks;
        const char* text;
    } cases[] = {
        {0, "1970-01-01T00:00:00.000Z"},
        {INT64_C(2147483648) * kSecond + 50000, "2038-01-19T03:14:08.005Z"},
        {INT64_C(253402300799) * kSecond + 9999999, "9999-12-31T23:59:59.999Z"},
        {INT64_C(-11644473600) * kSecond, "1601-01-01T00:00:00.000Z"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(tavo::formatTimestamp(c.ticks), c.text) << c.ticks;
    }
    LogTail log;
    EXPECT_EQ(tavo::formatTimestamp(INT64_C(-11644473600) * kSecond - 1), "");
    EXPECT_EQ(log.count("tavo::formatTimestamp S: error :: Failed in condition: (!FileTimeToSystemTime(&fileTime, &utc))"),
              1u);
}

TEST(EventRequest, OtherTypesCarryTheIdentifierAndTheError) {
    Setting setting;
    setting.store.SetTAVO("T");
    EventRequest request("crash", setting.store, setting.config, ErrorInfo{5, "m"});
    std::string body;

    ASSERT_EQ(request.Serialize(body), TAVO_OK);

    const std::string& ts = request.m_strTimestamp;
    EXPECT_EQ(body, R"({"event":{"bid":"B","iid":"IK","type":"crash","err":{"msg":"m","code":5},"tse":")" + ts +
                        R"(","tstx":")" + ts + R"(","tavo":"T"}})");
    const std::unique_ptr<tavo::CloudResponse> response = request.CreateResponse();
    ASSERT_NE(dynamic_cast<tavo::EventResponse*>(response.get()), nullptr);
    EXPECT_EQ(response->m_eType, tavo::eResponseEvent);
}

TEST(EventRequest, RefusesMissingBusinessDataFirstThenMissingType) {
    Setting setting;
    std::string body = "before";
    {
        LogTail log;
        EXPECT_EQ(EventRequest("", setting.store, setting.config, ErrorInfo()).Serialize(body), TAVO_ERROR);
        EXPECT_EQ(RequestLines(log), std::vector<std::string>{"error :: Mandatory event type data missing."});
    }
    setting.config.m_strInstallerKey = "";
    LogTail log;
    EXPECT_EQ(EventRequest("", setting.store, setting.config, ErrorInfo()).Serialize(body), TAVO_ERROR);
    EXPECT_EQ(RequestLines(log), std::vector<std::string>{"error :: Mandatory Business data missing."});
    EXPECT_EQ(body, "before");
}

}  // namespace
