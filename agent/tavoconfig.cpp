#include "agent/tavoconfig.h"

#include <fstream>
#include <memory>

#include "cJSON.h"
#include "common/tavopath.h"
#include "logging/tavolog.h"

namespace tavo {

namespace {

const char kBootstrapFileName[] = "bs.json";
const char kIdentityFileName[] = "id.json";

struct JsonFree {
    void operator()(cJSON* json) const { cJSON_Delete(json); }
};
using JsonTree = std::unique_ptr<cJSON, JsonFree>;

// The file's lines joined without their line breaks; false when it cannot be opened.
bool readJoinedLines(const std::string& path, std::string& text) {
    std::ifstream file(path);
    if (!file.is_open()) {
        return false;
    }
    for (std::string line; std::getline(file, line);) {
        text += line;
    }
    return true;
}

}  // namespace

CTAVOConfig::CTAVOConfig() {
    const std::string configDir = WStringToAnsiString(GetTAVOConfigDirectory());
    if (configDir.empty()) {
        TAVO_LOG(eLogError, false, "Empty Config Directory Path.");
        return;
    }
    parseBootstrapConfig(configDir);
    parseIdentityConfig(configDir);
}

CTAVOConfig::~CTAVOConfig() = default;

void CTAVOConfig::parseBootstrapConfig(const std::string& configDir) {
    const std::string path = configDir + "\\" + kBootstrapFileName;
    std::string text;
    if (!readJoinedLines(path, text)) {
        TAVO_LOG(eLogError, false, "File open failed for %s", path.c_str());
        return;
    }
    JsonTree root(cJSON_Parse(text.c_str()));
    if (!root) {
        TAVO_LOG(eLogError, false, "Couldn't parse json : %s", text.c_str());
        return;
    }
    const struct {
        const char* key;
        std::string* member;
        const char* absent;
        const char* notString;
    } settings[] = {
        {"business_id", &m_strBusinessID, "Business id not found in config.",
         "Couldn't read business id value from config."},
        {"installer_key", &m_strInstallerKey, "Install key not found in config.",
         "Couldn't read Install key value from config."},
        {"identify_url", &m_strIdentifyURL, "Identity URL not found in config.",
         "Couldn't read Identity URL value from config."},
        {"event_url", &m_strEventURL, "Event URL not found in config.", "Couldn't read Event URL value from config."},
    };
    for (const auto& setting : settings) {
        const cJSON* item = cJSON_GetObjectItem(root.get(), setting.key);
        if (item == nullptr) {
            TAVO_LOG(eLogWarning, false, "%s", setting.absent);
            continue;
        }
        const char* value = cJSON_GetStringValue(item);
        if (value == nullptr) {
            TAVO_LOG(eLogWarning, false, "%s", setting.notString);
            continue;
        }
        *setting.member = value;
    }
}

void CTAVOConfig::parseIdentityConfig(const std::string& configDir) {
    const std::string path = configDir + "\\" + kIdentityFileName;
    std::string text;
    if (!readJoinedLines(path, text)) {
        TAVO_LOG(eLogError, false, "File open failed for %s", path.c_str());
        return;
    }
    JsonTree root(cJSON_Parse(text.c_str()));
    if (!root) {
        TAVO_LOG(eLogError, false, "Couldn't parse json : %s", text.c_str());
        return;
    }
    const cJSON* identity = cJSON_GetObjectItem(root.get(), "id");
    if (identity == nullptr) {
        TAVO_LOG(eLogWarning, false, "Empty identity config encountered.");
        return;
    }
    const cJSON* verbose = cJSON_GetObjectItem(identity, "enable_verbose_logs");
    if (verbose == nullptr) {
        TAVO_LOG(eLogWarning, false, "enable_verbose_logs key not found in config.");
        return;
    }
    if (cJSON_IsTrue(verbose)) {
        m_bEnableVerboseLogs = true;
    }
}

}  // namespace tavo
