#pragma once

#include <cstdint>
#include <list>
#include <map>
#include <memory>
#include <string>

#include "agent/attribute.h"
#include "agent/cloudresponse.h"
#include "agent/tavoconfig.h"
#include "agent/tavostorereaderwriter.h"

struct cJSON;

namespace tavo {

// JSON keys of the requests.
namespace RequestTags {
constexpr const char* pszID = "id";
constexpr const char* pszInstallerKey = "installer_key";
constexpr const char* pszBizID = "bid";
constexpr const char* pszBizKey = "iid";
constexpr const char* pszType = "type";
constexpr const char* pszErrorMsg = "msg";
constexpr const char* pszErrorCode = "code";
constexpr const char* pszTse = "tse";
constexpr const char* pszTstx = "tstx";
constexpr const char* pszCTAVO = "tavo";
constexpr const char* pszHostname = "hostname";
}  // namespace RequestTags

// Attribute key to the JSON group of the identity request that carries it.
extern const std::map<std::string, std::string> s_attributeGroupMap;
// Appended to the event service's URL.
extern const std::string s_eventPathSuffix;

// One message to a cloud service: where it goes, its compact JSON body, and the empty response
// that will receive the answer.
class CloudRequest {
public:
    explicit CloudRequest(const std::string& url) : m_strURL(url) {}
    // 0 with the body assigned, or -3 with body unchanged.
    virtual int Serialize(std::string& body) = 0;
    virtual std::unique_ptr<CloudResponse> CreateResponse() = 0;
    virtual ~CloudRequest() = default;

    const std::string m_strURL;
};

// The identity request: configuration, stored identity and the device attributes.
class IdentityServiceRequest : public CloudRequest {
public:
    // Takes the attributes over; never fails.
    IdentityServiceRequest(CTAVOStoreReaderWriter& store, const CTAVOConfig& config, std::list<CAttribute>&& attributes);
    int Serialize(std::string& body) override;
    std::unique_ptr<CloudResponse> CreateResponse() override;

    const std::list<CAttribute> m_lstAttributes;
    const std::string m_strBID;
    const std::string m_strInstallerKey;
    std::string m_strTAVO;
    std::string m_strToken;
    std::string m_strInstanceKey;
};

// The error part of an event; an empty message sends none.
struct ErrorInfo {
    int m_iErrorcode = 0;
    std::string m_strMsg;
};

// A report of one agent event ("no-wmi") to the event service.
class EventRequest : public CloudRequest {
public:
    EventRequest(const std::string& type, CTAVOStoreReaderWriter& store, const CTAVOConfig& config,
                 const ErrorInfo& error);
    int Serialize(std::string& body) override;
    std::unique_ptr<CloudResponse> CreateResponse() override;

    const std::string m_strType;
    const std::string m_strBID;
    const std::string m_strInstallerKey;
    const std::string m_strTAVO;
    const std::string m_strTimestamp;
    const std::string m_strTransmissionTimestamp;
    std::string m_strHostname;
    const ErrorInfo m_errorInfo;
};

// Adds one attribute, with everything below it, to a JSON object or array.
void addAttributeToJson(const CAttribute& attribute, cJSON* parent);

// The current UTC time as "%FT%T.mmmZ".
std::string getCurrentTimestamp();
// The same text for an instant in 100-nanosecond ticks since 1970 (the wall clock's); empty, and
// logged, for an instant that the calendar cannot show (before 1601).
std::string formatTimestamp(int64_t ticks);
std::string appendEventPathSuffix(const std::string& url);

}  // namespace tavo
