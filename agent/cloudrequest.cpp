#include "agent/cloudrequest.h"

#include <windows.h>

#include <cJSON.h>

#include <cstdint>
#include <cstdio>

#include "common/tavopath.h"
#include "common/tavostatus.h"
#include "common/wallclock.h"
#include "logging/tavolog.h"

namespace tavo {

const std::map<std::string, std::string> s_attributeGroupMap = {
    {"serial_number", "hardware"}, {"uuid", "hardware"},        {"disk_list", "hardware"},
    {"adapters", "os"},            {"partition_id", "os"},      {"hostname", "os"},
    {"domainname", "os"},          {"major", "os"},             {"minor", "os"},
    {"patch_version", "os"},       {"build", "os"},             {"arch", "os"},
    {"name", "os"},                {"suite", "os"},             {"product_type", "os"},
    {"kernel", "os"},              {"is_virtual", "misc"},      {"zel", "product"},
    {"pellaway", "product"},
};

const std::string s_eventPathSuffix = "/1";

namespace {

struct JsonDelete {
    void operator()(cJSON* json) const { cJSON_Delete(json); }
};
using JsonTree = std::unique_ptr<cJSON, JsonDelete>;

struct JsonTextFree {
    void operator()(char* text) const { cJSON_free(text); }
};
using JsonText = std::unique_ptr<char, JsonTextFree>;

// Adds item to parent under name, or as an element when name is null; the item is freed when it
// cannot be attached.
bool attach(cJSON* parent, const char* name, cJSON* item) {
    const cJSON_bool added =
        name == nullptr ? cJSON_AddItemToArray(parent, item) : cJSON_AddItemToObject(parent, name, item);
    if (!added) {
        cJSON_Delete(item);
    }
    return added;
}

std::string eventUrl(CTAVOStoreReaderWriter& store, const CTAVOConfig& config) {
    const std::string stored = store.GetEventURL();
    return appendEventPathSuffix(stored.empty() ? config.m_strEventURL : stored);
}

}  // namespace

void addAttributeToJson(const CAttribute& attribute, cJSON* parent) {
    const bool hasChildren = attribute.m_ptrChildren != nullptr;
    if ((attribute.m_iType == eAttrObject || attribute.m_iType == eAttrObjectArray) ? !hasChildren
                                                                                     : attribute.m_lstValues.empty()) {
        return;
    }
    const char* name = attribute.m_strName.c_str();
    switch (attribute.m_iType) {
        case eAttrString:
            cJSON_AddStringToObject(parent, name, attribute.m_lstValues.front().c_str());
            break;
        case eAttrBool:
            cJSON_AddBoolToObject(parent, name, attribute.m_lstValues.front() == "true");
            break;
        case eAttrObject: {
            cJSON* object = cJSON_CreateObject();
            if (object == nullptr) {
                return;
            }
            for (const CAttribute& child : *attribute.m_ptrChildren) {
                addAttributeToJson(child, object);
            }
            attach(parent, attribute.m_strName.empty() ? nullptr : name, object);
            break;
        }
        case eAttrObjectArray: {
            cJSON* array = cJSON_CreateArray();
            if (array == nullptr) {
                return;
            }
            for (const CAttribute& child : *attribute.m_ptrChildren) {
                addAttributeToJson(child, array);
            }
            attach(parent, name, array);
            break;
        }
        case eAttrStringArray: {
            cJSON* array = cJSON_CreateArray();
            if (array == nullptr) {
                return;
            }
            for (const std::string& value : attribute.m_lstValues) {
                cJSON* item = cJSON_CreateString(value.c_str());
                if (item != nullptr) {
                    attach(array, nullptr, item);
                }
            }
            attach(parent, name, array);
            break;
        }
        default:
            TAVO_LOG(eLogWarning, false, "Default Attribute Type null encountered.");
            break;
    }
}

IdentityServiceRequest::IdentityServiceRequest(CTAVOStoreReaderWriter& store, const CTAVOConfig& config,
                                               std::list<CAttribute>&& attributes)
    : CloudRequest(config.m_strIdentifyURL),
      m_lstAttributes(std::move(attributes)),
      m_strBID(config.m_strBusinessID),
      m_strInstallerKey(config.m_strInstallerKey) {
    attributes.clear();
    m_strToken = store.GetToken();
    m_strTAVO = store.GetTAVO();
    m_strInstanceKey = store.GetInstanceKey();
}

int IdentityServiceRequest::Serialize(std::string& body) {
    const JsonTree root(cJSON_CreateObject());
    if (!root) {
        TAVO_LOG(eLogError, false, "Failed to Create Json when creating JSON object tree");
        return TAVO_ERROR;
    }
    if (m_strBID.empty() || m_strInstallerKey.empty()) {
        TAVO_LOG(eLogError, false, "Mandatory Business data missing.");
        return TAVO_ERROR;
    }
    cJSON* pBusiness = cJSON_CreateObject();
    if (TAVO_CONDITION_FAILED(NULL == pBusiness)) {
        return TAVO_ERROR;
    }
    if (!attach(root.get(), "business", pBusiness)) {
        TAVO_LOG(eLogError, false, "Failed to insert required business object");
        return TAVO_ERROR;
    }
    cJSON* pHardware = cJSON_CreateObject();
    if (TAVO_CONDITION_FAILED(NULL == pHardware)) {
        return TAVO_ERROR;
    }
    if (!attach(root.get(), "hardware", pHardware)) {
        TAVO_LOG(eLogError, false, "Failed to insert required hardware object");
        return TAVO_ERROR;
    }
    cJSON* pOs = cJSON_CreateObject();
    if (TAVO_CONDITION_FAILED(NULL == pOs)) {
        return TAVO_ERROR;
    }
    // A failed insertion frees the object, which must then not be filled.
    if (!attach(root.get(), "os", pOs)) {
        TAVO_LOG(eLogError, false, "Failed to insert required os object");
        return TAVO_ERROR;
    }
    cJSON* pMisc = cJSON_CreateObject();
    if (TAVO_CONDITION_FAILED(NULL == pMisc)) {
        return TAVO_ERROR;
    }
    if (!attach(root.get(), "misc", pMisc)) {
        TAVO_LOG(eLogError, false, "Failed to insert required misc object");
        return TAVO_ERROR;
    }
    cJSON* pMiscProduct = cJSON_CreateObject();
    if (TAVO_CONDITION_FAILED(NULL == pMiscProduct)) {
        return TAVO_ERROR;
    }
    if (!attach(pMisc, "product", pMiscProduct)) {
        TAVO_LOG(eLogError, false, "Failed to insert required product object");
        return TAVO_ERROR;
    }
    if (TAVO_CONDITION_FAILED(NULL == cJSON_AddStringToObject(pBusiness, RequestTags::pszID, m_strBID.c_str())) ||
        TAVO_CONDITION_FAILED(
            NULL == cJSON_AddStringToObject(pBusiness, RequestTags::pszInstallerKey, m_strInstallerKey.c_str()))) {
        return TAVO_ERROR;
    }
    for (const CAttribute& attribute : m_lstAttributes) {
        const auto group = s_attributeGroupMap.find(attribute.m_strName);
        if (group == s_attributeGroupMap.end()) {
            TAVO_LOG(eLogWarning, false, "Unknown Attribute Tag encountered.");
            continue;
        }
        if (group->second == "hardware") {
            addAttributeToJson(attribute, pHardware);
        } else if (group->second == "os") {
            addAttributeToJson(attribute, pOs);
        } else if (group->second == "misc") {
            addAttributeToJson(attribute, pMisc);
        } else if (group->second == "product") {
            addAttributeToJson(attribute, pMiscProduct);
        }
    }
    if (cJSON_GetObjectItem(pHardware, "serial_number") == nullptr ||
        cJSON_GetObjectItem(pHardware, "uuid") == nullptr) {
        TAVO_LOG(eLogError, false, "Mandatory Hardware data missing.");
        return TAVO_ERROR;
    }
    if (cJSON_GetObjectItem(pOs, "hostname") == nullptr) {
        TAVO_LOG(eLogError, false, "Required OS data missing.");
        return TAVO_ERROR;
    }
    if (!m_strTAVO.empty() && !m_strToken.empty()) {
        cJSON* pCache = cJSON_CreateObject();
        if (TAVO_CONDITION_FAILED(NULL == pCache)) {
            return TAVO_ERROR;
        }
        cJSON_AddStringToObject(pCache, "tavo", m_strTAVO.c_str());
        cJSON_AddStringToObject(pCache, "tavo_token", m_strToken.c_str());
        if (!m_strInstanceKey.empty()) {
            cJSON_AddStringToObject(pCache, "instance_key", m_strInstanceKey.c_str());
        }
        attach(pMisc, "cache", pCache);
    }
    const JsonText text(cJSON_PrintUnformatted(root.get()));
    if (!text) {
        TAVO_LOG(eLogError, false, "Failed to print request data");
        return TAVO_ERROR;
    }
    body = text.get();
    return TAVO_OK;
}

std::unique_ptr<CloudResponse> IdentityServiceRequest::CreateResponse() {
    return std::make_unique<IdentityServiceResponse>();
}

std::string formatTimestamp(int64_t ticks) {
    // FILETIME counts from 1601 and its calendar is 64 bits wide in both widths, unlike time_t.
    constexpr uint64_t kTicksFrom1601To1970 = 116444736000000000ULL;
    const uint64_t fileTicks = static_cast<uint64_t>(ticks) + kTicksFrom1601To1970;
    FILETIME fileTime;
    fileTime.dwLowDateTime = static_cast<DWORD>(fileTicks);
    fileTime.dwHighDateTime = static_cast<DWORD>(fileTicks >> 32);
    SYSTEMTIME utc;
    if (TAVO_CONDITION_FAILED(!FileTimeToSystemTime(&fileTime, &utc))) {
        return std::string();
    }
    char text[32] = {};
    snprintf(text, sizeof(text), "%04u-%02u-%02uT%02u:%02u:%02u.%03uZ", utc.wYear, utc.wMonth, utc.wDay, utc.wHour,
             utc.wMinute, utc.wSecond, utc.wMilliseconds);
    return text;
}

std::string getCurrentTimestamp() {
    return formatTimestamp(WallClockTicks());
}

std::string appendEventPathSuffix(const std::string& url) {
    return url + s_eventPathSuffix;
}

EventRequest::EventRequest(const std::string& type, CTAVOStoreReaderWriter& store, const CTAVOConfig& config,
                           const ErrorInfo& error)
    : CloudRequest(eventUrl(store, config)),
      m_strType(type),
      m_strBID(config.m_strBusinessID),
      m_strInstallerKey(config.m_strInstallerKey),
      m_strTAVO(store.GetTAVO()),
      m_strTimestamp(getCurrentTimestamp()),
      m_strTransmissionTimestamp(m_strTimestamp),
      m_errorInfo(error) {
    std::string hostname;
    if (GetHostname(hostname) == TAVO_OK) {
        m_strHostname = hostname;
    }
}

int EventRequest::Serialize(std::string& body) {
    const JsonTree root(cJSON_CreateObject());
    if (!root) {
        TAVO_LOG(eLogError, false, "Failed to Create Json when creating JSON object tree");
        return TAVO_ERROR;
    }
    if (m_strBID.empty() || m_strInstallerKey.empty()) {
        TAVO_LOG(eLogError, false, "Mandatory Business data missing.");
        return TAVO_ERROR;
    }
    if (m_strType.empty()) {
        TAVO_LOG(eLogError, false, "Mandatory event type data missing.");
        return TAVO_ERROR;
    }
    cJSON* pEvent = cJSON_CreateObject();
    if (TAVO_CONDITION_FAILED(NULL == pEvent)) {
        return TAVO_ERROR;
    }
    if (!attach(root.get(), "event", pEvent)) {
        TAVO_LOG(eLogError, false, "Failed to insert required event object");
        return TAVO_ERROR;
    }
    if (TAVO_CONDITION_FAILED(NULL == cJSON_AddStringToObject(pEvent, RequestTags::pszBizID, m_strBID.c_str())) ||
        TAVO_CONDITION_FAILED(
            NULL == cJSON_AddStringToObject(pEvent, RequestTags::pszBizKey, m_strInstallerKey.c_str())) ||
        TAVO_CONDITION_FAILED(NULL == cJSON_AddStringToObject(pEvent, RequestTags::pszType, m_strType.c_str()))) {
        return TAVO_ERROR;
    }
    if (!m_errorInfo.m_strMsg.empty()) {
        cJSON* pErr = cJSON_CreateObject();
        if (TAVO_CONDITION_FAILED(NULL == pErr)) {
            return TAVO_ERROR;
        }
        if (!attach(pEvent, "err", pErr)) {
            TAVO_LOG(eLogError, false, "Failed to insert required error object");
            return TAVO_ERROR;
        }
        if (TAVO_CONDITION_FAILED(
                NULL == cJSON_AddStringToObject(pErr, RequestTags::pszErrorMsg, m_errorInfo.m_strMsg.c_str())) ||
            TAVO_CONDITION_FAILED(
                NULL == cJSON_AddNumberToObject(pErr, RequestTags::pszErrorCode, m_errorInfo.m_iErrorcode))) {
            return TAVO_ERROR;
        }
    }
    if (TAVO_CONDITION_FAILED(NULL == cJSON_AddStringToObject(pEvent, RequestTags::pszTse, m_strTimestamp.c_str())) ||
        TAVO_CONDITION_FAILED(
            NULL == cJSON_AddStringToObject(pEvent, RequestTags::pszTstx, m_strTransmissionTimestamp.c_str()))) {
        return TAVO_ERROR;
    }
    if (!m_strTAVO.empty() && m_strType != "no-wmi" &&
        TAVO_CONDITION_FAILED(NULL == cJSON_AddStringToObject(pEvent, RequestTags::pszCTAVO, m_strTAVO.c_str()))) {
        return TAVO_ERROR;
    }
    if (!m_strHostname.empty() && m_strType == "no-wmi" &&
        TAVO_CONDITION_FAILED(
            NULL == cJSON_AddStringToObject(pEvent, RequestTags::pszHostname, m_strHostname.c_str()))) {
        return TAVO_ERROR;
    }
    const JsonText text(cJSON_PrintUnformatted(root.get()));
    if (!text) {
        TAVO_LOG(eLogError, false, "Failed to print request data");
        return TAVO_ERROR;
    }
    body = text.get();
    return TAVO_OK;
}

std::unique_ptr<CloudResponse> EventRequest::CreateResponse() {
    return std::make_unique<EventResponse>();
}

}  // namespace tavo
