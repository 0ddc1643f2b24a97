#pragma once

#include <string>

namespace tavo {

// The agent's settings from "bs.json" and "id.json" in the configuration directory, read afresh by
// every construction. Bad or missing files are logged and leave their settings empty.
class CTAVOConfig {
public:
    CTAVOConfig();
    ~CTAVOConfig();

    std::string m_strInstallerKey;
    std::string m_strIdentifyURL;
    std::string m_strEventURL;
    std::string m_strBusinessID;
    bool m_bEnableVerboseLogs = false;

private:
    void parseBootstrapConfig(const std::string& configDir);
    void parseIdentityConfig(const std::string& configDir);
};

}  // namespace tavo
