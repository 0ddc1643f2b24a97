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

// The error body {"code": n, "msg": "..."} of a failed exchange. Its lines are logged under the
// calling Deserialize's name and line, the operation that parents read in them.
int readErrorBody(const cJSON* root, int& errorCode, std::string& errorMsg, const char* function, long line) {
    CTAVOLogger& logger = CTAVOLogger::GetInstance(std::string());
    const cJSON* pErrorCode = cJSON_GetObjectItem(root, "code");
    if (NULL == pErrorCode) {
        logger.log(eLogError, false, __FILE_NAME__, function, line, "Failed in condition: (%s)", "NULL == pErrorCode");
        return TAVO_ERROR;
    }
    errorCode = toInt(pErrorCode);
    const cJSON* pMsg = stringMember(root, "msg");
    if (NULL == pMsg) {
        logger.log(eLogError, false, __FILE_NAME__, function, line, "Failed in condition: (%s)", "NULL == pMsg");
        return TAVO_ERROR;
    }
    errorMsg = pMsg->valuestring;
    if (errorMsg.empty() || errorCode == 0) {
        logger.log(eLogError, false, __FILE_NAME__, function, line, "%s", "Couldn't retrieve valid error response data");
        return TAVO_ERROR;
    }
    return TAVO_OK;
}

}  // namespace

int IdentityServiceResponse::Deserialize(const std::string& body) {
    const JsonTree root(cJSON_Parse(body.c_str()));
    if (!root) {
        TAVO_LOG(eLogError, false, "Couldn't parse json : %s", body.c_str());
        return TAVO_ERROR;
    }
    if (m_iResult != TAVO_OK) {
        return readErrorBody(root.get(), m_iErrorCode, m_strErrorMsg, __PRETTY_FUNCTION__, __LINE__);
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
        return readErrorBody(root.get(), m_iErrorCode, m_strErrorMsg, __PRETTY_FUNCTION__, __LINE__);
    }
    const cJSON* pEventCount = cJSON_GetObjectItem(root.get(), "event_count");
    if (TAVO_CONDITION_FAILED(NULL == pEventCount)) {
        return TAVO_ERROR;
    }
    m_iEventCount = toInt(pEventCount);
    return TAVO_OK;
}

}  // namespace tavo
