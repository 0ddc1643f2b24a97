#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "common/tavostoreinterface.h"

namespace tavo {

// The process's front end to the identity store. The values read on every request are kept in
// memory once known, so the store is read only while a value is missing; values written by other
// processes later are not seen until restart.
class CTAVOStoreReaderWriter {
public:
    // Store type 1 is the JSON file store at path. 0, or -8 for another type or a store that does not
    // initialise.
    int Initialize(int storeType, const std::string& path);

    // Each getter returns its cached value, reading the store first while the cache is empty.
    std::string GetTAVO();
    std::string GetToken();
    std::string GetInstanceKey();
    std::string GetEventURL();
    // Seconds since 1970 before which no request is sent; 0 when none is known. Read from the store
    // while the cached time is not positive.
    int64_t GetRetryTimestamp();

    // Each setter writes one key: 0 written, -3 failed or no store.
    int SetTAVO(const std::string& tavo);
    int SetToken(const std::string& token);
    int SetInstanceKey(const std::string& instanceKey);
    int SetEventURL(const std::string& url);
    int SetCatalogURL(const std::string& url);
    int SetCheckinURL(const std::string& url);
    int SetBID(const std::string& bid);
    int SetRetryTimestamp(const int64_t& timestamp);

private:
    // What a setter logs when the write succeeds, when it fails, and when there is no store.
    struct SetMessages {
        const char* done;
        const char* failed;
        const char* noStore;
    };

    // The one pattern of the string getters and setters; function and line are those of the public
    // operation, which its log lines name.
    std::string getString(const char* function, long line, const char* key, std::string& cache,
                          const char* failed, const char* read);
    int setString(const char* function, long line, const char* key, const std::string& value,
                  std::string* cache, const SetMessages& messages);

    std::unique_ptr<ITAVOStoreInterface> m_ptrStore;
    std::string m_strTAVO;
    std::string m_strToken;
    std::string m_strInstanceKey;
    std::string m_strEventURL;
    int64_t m_iRetryTimestamp = 0;
};

}  // namespace tavo
