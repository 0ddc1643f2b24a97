#include "agent/tavostorereaderwriter.h"

#include <charconv>
#include <new>

#include "common/tavostatus.h"
#include "common/tavostorefileimpl.h"
#include "logging/tavolog.h"

namespace tavo {

namespace {

constexpr int kJsonFileStore = 1;

const char kTAVOKey[] = "tavo";
const char kTokenKey[] = "tavo_token";
const char kInstanceKeyKey[] = "instance_key";
const char kEventURLKey[] = "event_url";
const char kCatalogURLKey[] = "catalog_url";
const char kCheckinURLKey[] = "checkin_url";
const char kBIDKey[] = "business_id";
const char kRetryAfterKey[] = "retry-after";

// Leading white space, an optional sign and decimal digits; what follows the digits is ignored.
// False when no digits follow, or the number does not fit in 64 bits. Never throws: the text is
// read at every start, and a throw would end the agent each time.
bool parseTimestamp(const std::string& text, int64_t& out) {
    size_t start = text.find_first_not_of(" \t\n\v\f\r");
    if (start == std::string::npos) {
        return false;
    }
    size_t digits = start;
    if (text[start] == '+') {
        start = digits = start + 1;  // the conversion below takes a minus sign only
    } else if (text[start] == '-') {
        digits = start + 1;
    }
    if (digits >= text.size() || text[digits] < '0' || text[digits] > '9') {
        return false;
    }
    int64_t value = 0;
    const std::from_chars_result result = std::from_chars(text.data() + start, text.data() + text.size(), value);
    if (result.ec != std::errc()) {
        return false;
    }
    out = value;
    return true;
}

}  // namespace

int CTAVOStoreReaderWriter::Initialize(int storeType, const std::string& path) {
    if (storeType != kJsonFileStore) {
        TAVO_LOG(eLogError, false, "Init failed. Invalid Store Type");
        return TAVO_INVALID_ARGUMENT;
    }
    m_ptrStore.reset(new (std::nothrow) CTAVOStoreFileImpl());
    if (m_ptrStore && m_ptrStore->Initialize(path) == TAVO_OK) {
        TAVO_LOG(eLogDebug, false, "Init done");
        return TAVO_OK;
    }
    TAVO_LOG(eLogError, false, "Init failed. Invalid Store Path");
    m_ptrStore.reset();
    return TAVO_INVALID_ARGUMENT;
}

std::string CTAVOStoreReaderWriter::GetTAVO() {
    if (needsRead(m_strTAVO)) {
        if (m_ptrStore->ReadKeyValue(kTAVOKey, m_strTAVO) != TAVO_OK) {
            TAVO_LOG(eLogWarning, false, "Fetching TAVO failed. Returning TAVO = []");
        } else {
            TAVO_LOG(eLogDebug, false, "New TAVO value returned.");
        }
    }
    return m_strTAVO;
}

std::string CTAVOStoreReaderWriter::GetToken() {
    if (needsRead(m_strToken)) {
        if (m_ptrStore->ReadKeyValue(kTokenKey, m_strToken) != TAVO_OK) {
            TAVO_LOG(eLogWarning, false, "Fetching Token failed. Returning Token = []");
        } else {
            TAVO_LOG(eLogDebug, false, "New Token value returned.");
        }
    }
    return m_strToken;
}

std::string CTAVOStoreReaderWriter::GetInstanceKey() {
    if (needsRead(m_strInstanceKey)) {
        if (m_ptrStore->ReadKeyValue(kInstanceKeyKey, m_strInstanceKey) != TAVO_OK) {
            TAVO_LOG(eLogWarning, false, "Fetching Instance key failed. Returning empty key.");
        } else {
            TAVO_LOG(eLogDebug, false, "Valid Instance key value returned.");
        }
    }
    return m_strInstanceKey;
}

std::string CTAVOStoreReaderWriter::GetEventURL() {
    if (needsRead(m_strEventURL)) {
        if (m_ptrStore->ReadKeyValue(kEventURLKey, m_strEventURL) != TAVO_OK) {
            TAVO_LOG(eLogWarning, false, "Fetching Event URL failed. Returning Event URL = []");
        } else {
            TAVO_LOG(eLogDebug, false, "New Event URL value returned.");
        }
    }
    return m_strEventURL;
}

int64_t CTAVOStoreReaderWriter::GetRetryTimestamp() {
    if (!m_ptrStore || m_iRetryTimestamp > 0) {
        return m_iRetryTimestamp;
    }
    std::string text;
    if (m_ptrStore->ReadKeyValue(kRetryAfterKey, text) != TAVO_OK) {
        TAVO_LOG(eLogWarning, false, "Fetching Retry timestamp failed. Returning Retry After Seconds = 0");
        return 0;
    }
    int64_t timestamp = 0;
    if (!parseTimestamp(text, timestamp)) {
        TAVO_LOG(eLogWarning, false, "Retry timestamp [%s] is not a number. Returning Retry After Seconds = 0",
                 text.c_str());
        return 0;
    }
    m_iRetryTimestamp = timestamp;
    TAVO_LOG(eLogDebug, false, "Getting Retry Timestamp = [%lld]", static_cast<long long>(timestamp));
    return m_iRetryTimestamp;
}

int CTAVOStoreReaderWriter::SetTAVO(const std::string& tavo) {
    if (!m_ptrStore) {
        TAVO_LOG(eLogError, false, "Setting TAVO failed - Initialize not done");
        return TAVO_ERROR;
    }
    const int status = m_ptrStore->WriteKeyValue(kTAVOKey, tavo);
    if (status != TAVO_OK) {
        TAVO_LOG(eLogError, false, "Setting TAVO failed");
        return status;
    }
    m_strTAVO = tavo;
    TAVO_LOG(eLogDebug, false, "TAVO updated");
    return status;
}

int CTAVOStoreReaderWriter::SetToken(const std::string& token) {
    if (!m_ptrStore) {
        TAVO_LOG(eLogError, false, "Setting Token failed - Initialize not done");
        return TAVO_ERROR;
    }
    const int status = m_ptrStore->WriteKeyValue(kTokenKey, token);
    if (status != TAVO_OK) {
        TAVO_LOG(eLogError, false, "Setting Token failed");
        return status;
    }
    m_strToken = token;
    TAVO_LOG(eLogDebug, false, "Setting Token done");
    return status;
}

int CTAVOStoreReaderWriter::SetInstanceKey(const std::string& instanceKey) {
    if (!m_ptrStore) {
        TAVO_LOG(eLogError, false, "Setting Instance Key failed - Initialize not done");
        return TAVO_ERROR;
    }
    const int status = m_ptrStore->WriteKeyValue(kInstanceKeyKey, instanceKey);
    if (status != TAVO_OK) {
        TAVO_LOG(eLogError, false, "Setting Instance Key failed");
        return status;
    }
    m_strInstanceKey = instanceKey;
    TAVO_LOG(eLogDebug, false, "Setting Instance Key done");
    return status;
}

int CTAVOStoreReaderWriter::SetEventURL(const std::string& url) {
    if (!m_ptrStore) {
        TAVO_LOG(eLogError, false, "Setting Event URL failed - Initialize not done");
        return TAVO_ERROR;
    }
    const int status = m_ptrStore->WriteKeyValue(kEventURLKey, url);
    if (status != TAVO_OK) {
        TAVO_LOG(eLogError, false, "Setting Event URL failed");
        return status;
    }
    m_strEventURL = url;
    TAVO_LOG(eLogDebug, false, "Event URL updated");
    return status;
}

int CTAVOStoreReaderWriter::SetCatalogURL(const std::string& url) {
    if (!m_ptrStore) {
        TAVO_LOG(eLogError, false, "Setting Catalog URL failed - Initialize not done");
        return TAVO_ERROR;
    }
    const int status = m_ptrStore->WriteKeyValue(kCatalogURLKey, url);
    if (status != TAVO_OK) {
        TAVO_LOG(eLogError, false, "Setting Catalog URL failed");
        return status;
    }
    TAVO_LOG(eLogDebug, false, "Catalog URL updated");
    return status;
}

int CTAVOStoreReaderWriter::SetCheckinURL(const std::string& url) {
    if (!m_ptrStore) {
        TAVO_LOG(eLogError, false, "Setting Checkin URL failed - Initialize not done");
        return TAVO_ERROR;
    }
    const int status = m_ptrStore->WriteKeyValue(kCheckinURLKey, url);
    if (status != TAVO_OK) {
        TAVO_LOG(eLogError, false, "Setting Checkin URL failed");
        return status;
    }
    TAVO_LOG(eLogDebug, false, "Checkin URL updated");
    return status;
}

int CTAVOStoreReaderWriter::SetBID(const std::string& bid) {
    if (!m_ptrStore) {
        TAVO_LOG(eLogError, false, "Setting BID failed - Initialize not done");
        return TAVO_ERROR;
    }
    const int status = m_ptrStore->WriteKeyValue(kBIDKey, bid);
    if (status != TAVO_OK) {
        TAVO_LOG(eLogError, false, "Setting BID failed");
        return status;
    }
    TAVO_LOG(eLogDebug, false, "BID updated");
    return status;
}

int CTAVOStoreReaderWriter::SetRetryTimestamp(const int64_t& timestamp) {
    if (!m_ptrStore) {
        TAVO_LOG(eLogError, false, "Setting Retry After timestamp failed - Initialization not done");
        return TAVO_ERROR;
    }
    // The rate limit holds in this process even when it cannot be stored.
    m_iRetryTimestamp = timestamp;
    const int status = m_ptrStore->WriteKeyValue(kRetryAfterKey, std::to_string(timestamp));
    if (status != TAVO_OK) {
        TAVO_LOG(eLogError, false, "Setting Retry After timestamp failed");
        return status;
    }
    TAVO_LOG(eLogDebug, false, "Setting Retry After timestamp done");
    return status;
}

}  // namespace tavo
