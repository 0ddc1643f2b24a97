#pragma once

#include <string>

#include "common/tavostoreinterface.h"

struct cJSON;

namespace tavo {

// The store as one flat JSON object of strings in a file. Every access locks "<file>.lck" beside
// it, shared for reading and exclusive for rewriting, so processes that share the store never see
// a half-written file. Paths are UTF-8, as the data directory is.
class CTAVOStoreFileImpl : public ITAVOStoreInterface {
public:
    ~CTAVOStoreFileImpl() override = default;

    // Records the paths, creates the lock file and gives it the store's access list; always 0.
    int Initialize(const std::string& path) override;
    // 0 found; -1 not found, unreadable or not parseable; -3 not initialised. value is empty unless 0.
    int ReadKeyValue(const std::string& key, std::string& value) override;
    // 0 written; -3 on every failure, with the previous file left as it was.
    int WriteKeyValue(const std::string& key, const std::string& value) override;

private:
    // Merges one string member into the JSON text in json; false means nothing is to be written.
    bool insertOrUpdateJSONKeyValueString(const std::string& key, const std::string& value, std::string& json);
    static bool readJSONKeyValueString(const std::string& json, const std::string& key, std::string& value);
    static bool serializeJson(cJSON* root, std::string& out);

    std::string m_strFilePath;
    std::string m_strLockFilePath;
};

// Limits the file (a UTF-8 path) to BUILTIN\Administrators and LocalSystem (full control,
// protected from the folder's inherited entries). 0 or -3.
int SetFilePermission(const std::string& path);

}  // namespace tavo
