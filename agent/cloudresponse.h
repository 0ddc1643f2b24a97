#pragma once

#include <cstdint>
#include <string>

namespace tavo {

enum eCloudResponseType : int {
    eResponseIdentity = 0,
    eResponseEvent = 1,
};

// The outcome of one exchange with a cloud service and the values of its JSON body.
class CloudResponse {
public:
    virtual int Deserialize(const std::string& body) = 0;
    virtual ~CloudResponse() = default;

    // 0 for a 2xx answer, -11 another status, -12 another status with "Retry-After", -8 or -3
    // when the exchange was not completed.
    int m_iResult = 0;
    int m_eType;
    int64_t m_iRetryAfterSeconds = 0;
    // Whether the body passed Deserialize; an answer whose body did not is not to be trusted.
    bool m_bBodyValid = false;

protected:
    explicit CloudResponse(eCloudResponseType type) : m_eType(type) {}
};

class IdentityServiceResponse : public CloudResponse {
public:
    IdentityServiceResponse() : CloudResponse(eResponseIdentity) {}
    int Deserialize(const std::string& body) override;

    std::string m_strTAVO;
    std::string m_strToken;
    std::string m_strInstanceKey;
    std::string m_strEventURL;
    std::string m_strCatalogURL;
    std::string m_strCheckinURL;
    int m_iErrorCode = 0;
    std::string m_strErrorMsg;
};

class EventResponse : public CloudResponse {
public:
    EventResponse() : CloudResponse(eResponseEvent) {}
    int Deserialize(const std::string& body) override;

    int m_iEventCount = 0;
    int m_iErrorCode = 0;
    std::string m_strErrorMsg;
};

}  // namespace tavo
