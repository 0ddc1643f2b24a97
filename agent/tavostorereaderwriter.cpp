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

// The getters' and setters' messages are logged under the public operation's name and line.
void logAs(const char* function, long line, int level, const char* message) {
    CTAVOLogger::GetInstance(std::string()).log(level, false, __FILE_NAME__, function, line, "%s", message);
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
    return getString(__PRETTY_FUNCTION__, __LINE__, kTAVOKey, m_strTAVO,
                     "Fetching TAVO failed. Returning TAVO = []", "New TAVO value returned.");
}

std::string CTAVOStoreReaderWriter::GetToken() {
    return getString(__PRETTY_FUNCTION__, __LINE__, kTokenKey, m_strToken,
                     "Fetching Token failed. Returning Token = []", "New Token value returned.");
}

std::string CTAVOStoreReaderWriter::GetInstanceKey() {
    return getString(__PRETTY_FUNCTION__, __LINE__, kInstanceKeyKey, m_strInstanceKey,
                     "Fetching Instance key failed. Returning empty key.", "Valid Instance key value returned.");
}

std::string CTAVOStoreReaderWriter::GetEventURL() {
    return getString(__PRETTY_FUNCTION__, __LINE__, kEventURLKey, m_strEventURL,
                     "Fetching Event URL failed. Returning Event URL = []", "New Event URL value returned.");
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
    return setString(__PRETTY_FUNCTION__, __LINE__, kTAVOKey, tavo, &m_strTAVO,
                     {"TAVO updated", "Setting TAVO failed", "Setting TAVO failed - Initialize not done"});
}

int CTAVOStoreReaderWriter::SetToken(const std::string& token) {
    return setString(__PRETTY_FUNCTION__, __LINE__, kTokenKey, token, &m_strToken,
                     {"Setting Token done", "Setting Token failed", "Setting Token failed - Initialize not done"});
}

int CTAVOStoreReaderWriter::SetInstanceKey(const std::string& instanceKey) {
    return setString(__PRETTY_FUNCTION__, __LINE__, kInstanceKeyKey, instanceKey, &m_strInstanceKey,
                     {"Setting Instance Key done", "Setting Instance Key failed",
                      "Setting Instance Key failed - Initialize not done"});
}

int CTAVOStoreReaderWriter::SetEventURL(const std::string& url) {
    return setString(__PRETTY_FUNCTION__, __LINE__, kEventURLKey, url, &m_strEventURL,
                     {"Event URL updated", "Setting Event URL failed",
                      "Setting Event URL failed - Initialize not done"});
}

int CTAVOStoreReaderWriter::SetCatalogURL(const std::string& url) {
    return setString(__PRETTY_FUNCTION__, __LINE__, kCatalogURLKey, url, nullptr,
                     {"Catalog URL updated", "Setting Catalog URL failed",
                      "Setting Catalog URL failed - Initialize not done"});
}

int CTAVOStoreReaderWriter::SetCheckinURL(const std::string& url) {
    return setString(__PRETTY_FUNCTION__, __LINE__, kCheckinURLKey, url, nullptr,
                     {"Checkin URL updated", "Setting Checkin URL failed",
                      "Setting Checkin URL failed - Initialize not done"});
}

int CTAVOStoreReaderWriter::SetBID(const std::string& bid) {
    return setString(__PRETTY_FUNCTION__, __LINE__, kBIDKey, bid, nullptr,
                     {"BID updated", "Setting BID failed", "Setting BID failed - Initialize not done"});
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

// Reads the key into its cache while the cache is empty, so a value once known is never read again.
std::string CTAVOStoreReaderWriter::getString(const char* function, long line, const char* key,
                                              std::string& cache, const char* failed, const char* read) {
    if (m_ptrStore && cache.empty()) {
        // The store empties the value first: a failed read leaves the cache empty.
        if (m_ptrStore->ReadKeyValue(key, cache) != TAVO_OK) {
            logAs(function, line, eLogWarning, failed);
        } else {
            logAs(function, line, eLogDebug, read);
        }
    }
    return cache;
}

// Writes one key; the cache, when the key has one, takes the value only once it is stored.
int CTAVOStoreReaderWriter::setString(const char* function, long line, const char* key,
                                      const std::string& value, std::string* cache, const SetMessages& messages) {
    if (!m_ptrStore) {
        logAs(function, line, eLogError, messages.noStore);
        return TAVO_ERROR;
    }
    const int status = m_ptrStore->WriteKeyValue(key, value);
    if (status != TAVO_OK) {
        logAs(function, line, eLogError, messages.failed);
        return status;
    }
    if (cache != nullptr) {
        *cache = value;
    }
    logAs(function, line, eLogDebug, messages.done);
    return status;
}

}  // namespace tavo
