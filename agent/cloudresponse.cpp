#include "agent/cloudresponse.h"

#include <cJSON.h>

#include <climits>
#include <memory>

#include "common/tavostatus.h"
#include "logging/tavolog.h"

namespace tavo {

namespace {

struct JsonDelete {
    void operator()(cJSON* json) const { cJSON_Delete(json); }
};
using JsonTree = std::unique_ptr<cJSON, JsonDelete>;

// A member that is not a string counts as absent.
const cJSON* stringMember(const cJSON* object, const char* name) {
    const cJSON* item = cJSON_GetObjectItem(object, name);
    return cJSON_IsString(item) ? item : nullptr;
}

// Truncated toward zero; INT_MIN for anything that is not a number within the int range.
int toInt(const cJSON* item) {
    if (!cJSON_IsNumber(item)) {
        return INT_MIN;
    }
    const double value = item->valuedouble;
    if (!(value > -2147483649.0 && value < 2147483648.0)) {
        return INT_MIN;
    }
    return static_cast<int>(value);
}

}  // namespace

int IdentityServiceResponse::Deserialize(const std::string& body) {
    const JsonTree root(cJSON_Parse(body.c_str()));
    if (!root) {
        TAVO_LOG(eLogError, false, "Couldn't parse json : %s", body.c_str());
        return TAVO_ERROR;
    }
    if (m_iResult != TAVO_OK) {
        // The error body is read here, in each Deserialize, so that its lines name the operation.
        const cJSON* pErrorCode = cJSON_GetObjectItem(root.get(), "code");
        if (TAVO_CONDITION_FAILED(NULL == pErrorCode)) {
            return TAVO_ERROR;
        }
        m_iErrorCode = toInt(pErrorCode);
        const cJSON* pMsg = stringMember(root.get(), "msg");
        if (TAVO_CONDITION_FAILED(NULL == pMsg)) {
            return TAVO_ERROR;
        }
        m_strErrorMsg = pMsg->valuestring;
        if (m_strErrorMsg.empty() || m_iErrorCode == 0) {
            TAVO_LOG(eLogError, false, "Couldn't retrieve valid error response data");
            return TAVO_ERROR;
        }
        return TAVO_OK;
    }
    const cJSON* pTavo = stringMember(root.get(), "tavo");
    if (TAVO_CONDITION_FAILED(NULL == pTavo)) {
        return TAVO_ERROR;
    }
    m_strTAVO = pTavo->valuestring;
    const cJSON* pToken = stringMember(root.get(), "tavo_token");
    if (TAVO_CONDITION_FAILED(NULL == pToken)) {
        return TAVO_ERROR;
    }
    m_strToken = pToken->valuestring;
    if (const cJSON* pInstanceKey = stringMember(root.get(), "instance_key")) {
        m_strInstanceKey = pInstanceKey->valuestring;
    }
    const cJSON* pURL = cJSON_GetObjectItem(root.get(), "urls");
    if (TAVO_CONDITION_FAILED(NULL == pURL)) {
        return TAVO_ERROR;
    }
    const cJSON* pEventURL = stringMember(pURL, "event");
    if (TAVO_CONDITION_FAILED(NULL == pEventURL)) {
        return TAVO_ERROR;
    }
    m_strEventURL = pEventURL->valuestring;
    const cJSON* pCatalogURL = stringMember(pURL, "catalog");
    if (TAVO_CONDITION_FAILED(NULL == pCatalogURL)) {
        return TAVO_ERROR;
    }
    m_strCatalogURL = pCatalogURL->valuestring;
    const cJSON* pCheckinURL = stringMember(pURL, "checkin");
    if (TAVO_CONDITION_FAILED(NULL == pCheckinURL)) {
        return TAVO_ERROR;
    }
    m_strCheckinURL = pCheckinURL->valuestring;
    if (m_strTAVO.empty() || m_strToken.empty()) {
        TAVO_LOG(eLogError, false, "Couldn't retrieve valid response data");
        return TAVO_ERROR;
    }
    return TAVO_OK;
}

int EventResponse::Deserialize(const std::string& body) {
    const JsonTree root(cJSON_Parse(body.c_str()));
    if (!root) {
        TAVO_LOG(eLogError, false, "Couldn't parse json : %s", body.c_str());
        return TAVO_ERROR;
    }
    if (m_iResult != TAVO_OK) {
        // The same error body as the identity response's.
        const cJSON* pErrorCode = cJSON_GetObjectItem(root.get(), "code");
        if (TAVO_CONDITION_FAILED(NULL == pErrorCode)) {
            return TAVO_ERROR;
        }
        m_iErrorCode = toInt(pErrorCode);
        const cJSON* pMsg = stringMember(root.get(), "msg");
        if (TAVO_CONDITION_FAILED(NULL == pMsg)) {
            return TAVO_ERROR;
        }
        m_strErrorMsg = pMsg->valuestring;
        if (m_strErrorMsg.empty() || m_iErrorCode == 0) {
            TAVO_LOG(eLogError, false, "Couldn't retrieve valid error response data");
            return TAVO_ERROR;
        }
        return TAVO_OK;
    }
    const cJSON* pEventCount = cJSON_GetObjectItem(root.get(), "event_count");
    if (TAVO_CONDITION_FAILED(NULL == pEventCount)) {
        return TAVO_ERROR;
    }
    m_iEventCount = toInt(pEventCount);
    return TAVO_OK;
}

}  // namespace tavo
