#include "agent/tavoconfig.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "common/tavopath.h"
#include "tests/support/testutils.h"

using tavo::CTAVOConfig;
using tavo::test::LogTail;
using tavo::test::TempDir;
using tavo::test::WriteFileBytes;

namespace {

const std::string kCtor = "tavo::CTAVOConfig::CTAVOConfig S: ";
const std::string kBs = "tavo::CTAVOConfig::parseBootstrapConfig S: ";
const std::string kId = "tavo::CTAVOConfig::parseIdentityConfig S: ";

using Lines = std::vector<std::string>;

// A configuration directory with the files a case writes (a missing one is not written).
class ConfigDir {
public:
    ConfigDir(std::optional<std::string> bs, std::optional<std::string> id) {
        if (bs) {
            WriteFileBytes(m_dir.file("bs.json"), *bs);
        }
        if (id) {
            WriteFileBytes(m_dir.file("id.json"), *id);
        }
        tavo::SetTAVOConfigDirectory(tavo::StringToWString(path()));
    }
    ~ConfigDir() { tavo::SetTAVOConfigDirectory(L""); }

    // Without the trailing backslash, as a parent passes it.
    std::string path() const { return m_dir.path().substr(0, m_dir.path().size() - 1); }
    void rewrite(const std::string& name, const std::string& text) { WriteFileBytes(m_dir.file(name), text); }

private:
    TempDir m_dir;
};

const char kFullBootstrap[] =
    "{\r\n"
    "  \"BUSINESS_ID\": \"biz-1\",\r\n"
    "  \"business_id\": \"second occurrence\",\r\n"
    "  \"Installer_Key\": \"key-1\",\r\n"
    "  \"identify_url\": \"https://id.example.test/v1/identify\",\r\n"
    "  \"event_url\": \"https://ev.example.test\",\r\n"
    "  \"unknown\": [1, 2, 3]\r\n"
    "}\r\n";

TEST(Config, ReadsEverySettingWithoutRegardToCase) {
    ConfigDir dir(kFullBootstrap, "{\n\"ID\": {\n\"Enable_Verbose_Logs\": true\n}\n}");
    LogTail log;
    CTAVOConfig config;
    EXPECT_EQ(config.m_strBusinessID, "biz-1");
    EXPECT_EQ(config.m_strInstallerKey, "key-1");
    EXPECT_EQ(config.m_strIdentifyURL, "https://id.example.test/v1/identify");
    EXPECT_EQ(config.m_strEventURL, "https://ev.example.test");
    EXPECT_TRUE(config.m_bEnableVerboseLogs);
    EXPECT_EQ(log.lines(), Lines{});
}

TEST(Config, LineBreaksAreDroppedBeforeParsing) {
    // A string and a number broken across lines are read with their parts joined; the last line
    // counts without a final line end.
    ConfigDir dir("{\"business_id\": \"ab\r\ncd\", \"installer_key\": \"k\nk\", \"identify_url\": 12\n34,"
                  "\"event_url\": \"\"}",
                  "{\"id\": {\"enable_verbose_logs\": tr\nue}}");
    LogTail log;
    CTAVOConfig config;
    EXPECT_EQ(config.m_strBusinessID, "abcd");
    EXPECT_EQ(config.m_strInstallerKey, "kk");
    EXPECT_EQ(config.m_strIdentifyURL, "");
    EXPECT_EQ(config.m_strEventURL, "");
    EXPECT_TRUE(config.m_bEnableVerboseLogs);
    EXPECT_EQ(log.lines(), Lines{kBs + "warning :: Couldn't read Identity URL value from config."});
}

TEST(Config, BadFilesAreLoggedAndLeaveTheirSettingsEmpty) {
    const Lines absentKeys = {
        kBs + "warning :: Business id not found in config.",
        kBs + "warning :: Install key not found in config.",
        kBs + "warning :: Identity URL not found in config.",
        kBs + "warning :: Event URL not found in config.",
    };
    const std::string verboseOn = "{\"id\": {\"enable_verbose_logs\": true}}";
    const struct {
        const char* what;
        std::optional<std::string> bs, id;
        Lines expected;
        bool verbose;
    } cases[] = {
        {"empty bootstrap", "", verboseOn, {kBs + "error :: Couldn't parse json : "}, true},
        {"not JSON", "business_id=1\nx", verboseOn, {kBs + "error :: Couldn't parse json : business_id=1x"}, true},
        {"array root", "[{\"business_id\": \"b\"}]", verboseOn, absentKeys, true},
        {"ill-typed values",
         "{\"business_id\": 7, \"installer_key\": null, \"identify_url\": {\"a\": \"b\"}, \"event_url\": true}",
         verboseOn,
         {
             kBs + "warning :: Couldn't read business id value from config.",
             kBs + "warning :: Couldn't read Install key value from config.",
             kBs + "warning :: Couldn't read Identity URL value from config.",
             kBs + "warning :: Couldn't read Event URL value from config.",
         },
         true},
        {"verbose at the top level",
         "{}",
         "{\"enable_verbose_logs\": true}",
         {absentKeys[0], absentKeys[1], absentKeys[2], absentKeys[3],
          kId + "warning :: Empty identity config encountered."},
         false},
        {"verbose as a string", "{}", "{\"id\": {\"enable_verbose_logs\": \"true\"}}", absentKeys, false},
        {"verbose as a number", "{}", "{\"id\": {\"enable_verbose_logs\": 1}}", absentKeys, false},
        {"id not an object",
         "{}",
         "{\"id\": [{\"enable_verbose_logs\": true}]}",
         {absentKeys[0], absentKeys[1], absentKeys[2], absentKeys[3],
          kId + "warning :: enable_verbose_logs key not found in config."},
         false},
        {"empty identity file",
         "{}",
         "",
         {absentKeys[0], absentKeys[1], absentKeys[2], absentKeys[3], kId + "error :: Couldn't parse json : "},
         false},
    };
    for (const auto& c : cases) {
        ConfigDir dir(c.bs, c.id);
        LogTail log;
        CTAVOConfig config;
        EXPECT_EQ(config.m_strBusinessID, "") << c.what;
        EXPECT_EQ(config.m_strInstallerKey, "") << c.what;
        EXPECT_EQ(config.m_strIdentifyURL, "") << c.what;
        EXPECT_EQ(config.m_strEventURL, "") << c.what;
        EXPECT_EQ(config.m_bEnableVerboseLogs, c.verbose) << c.what;
        EXPECT_EQ(log.lines(), c.expected) << c.what;
    }
}

TEST(Config, MissingFilesAndDirectoryAreLogged) {
    {
        ConfigDir dir(std::nullopt, std::nullopt);
        LogTail log;
        CTAVOConfig config;
        EXPECT_EQ(config.m_strBusinessID, "");
        EXPECT_EQ(log.lines(), (Lines{kBs + "error :: File open failed for " + dir.path() + "\\bs.json",
                                      kId + "error :: File open failed for " + dir.path() + "\\id.json"}));
    }
    LogTail log;
    CTAVOConfig config;
    EXPECT_FALSE(config.m_bEnableVerboseLogs);
    EXPECT_EQ(log.lines(), Lines{kCtor + "error :: Empty Config Directory Path."});
}

TEST(Config, EachConstructionReadsTheFilesAfresh) {
    ConfigDir dir(kFullBootstrap, "{\"id\": {\"enable_verbose_logs\": false}}");
    CTAVOConfig first;
    dir.rewrite("bs.json", "{\"business_id\": \"biz-2\", \"installer_key\": \"key-2\", \"identify_url\": \"u\","
                           "\"event_url\": \"e\"}");
    dir.rewrite("id.json", "{\"id\": {\"enable_verbose_logs\": true}}");
    CTAVOConfig second;
    EXPECT_EQ(first.m_strBusinessID, "biz-1");
    EXPECT_FALSE(first.m_bEnableVerboseLogs);
    EXPECT_EQ(second.m_strBusinessID, "biz-2");
    EXPECT_EQ(second.m_strInstallerKey, "key-2");
    EXPECT_EQ(second.m_strIdentifyURL, "u");
    EXPECT_EQ(second.m_strEventURL, "e");
    EXPECT_TRUE(second.m_bEnableVerboseLogs);
}

// A directory whose name the ANSI code page cannot hold: its narrow form names no existing file.
TEST(Config, DirectoryOutsideTheAnsiCodePageFindsNoFiles) {
    TempDir base;
    const std::wstring name = L"cfg-\u0416\u65e5\u0e01";
    BOOL usedDefault = FALSE;
    char narrow[64] = {};
    WideCharToMultiByte(CP_THREAD_ACP, 0, name.c_str(), -1, narrow, sizeof(narrow), nullptr, &usedDefault);
    if (!usedDefault) {
        GTEST_SKIP() << "the ANSI code page holds every character of the name";
    }
    const std::wstring dir = tavo::StringToWString(base.path()) + name;
    ASSERT_TRUE(CreateDirectoryW(dir.c_str(), nullptr));
    for (const wchar_t* file : {L"\\bs.json", L"\\id.json"}) {
        HANDLE h = CreateFileW((dir + file).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr);
        ASSERT_NE(h, INVALID_HANDLE_VALUE);
        const char text[] = "{\"business_id\": \"b\", \"id\": {\"enable_verbose_logs\": true}}";
        DWORD written = 0;
        WriteFile(h, text, sizeof(text) - 1, &written, nullptr);
        CloseHandle(h);
    }
    tavo::SetTAVOConfigDirectory(dir);
    LogTail log;
    CTAVOConfig config;
    const Lines lines = log.lines();
    tavo::SetTAVOConfigDirectory(L"");
    DeleteFileW((dir + L"\\bs.json").c_str());
    DeleteFileW((dir + L"\\id.json").c_str());
    RemoveDirectoryW(dir.c_str());

    EXPECT_EQ(config.m_strBusinessID, "");
    EXPECT_FALSE(config.m_bEnableVerboseLogs);
    const std::string narrowDir = base.path() + narrow;
    EXPECT_EQ(lines, (Lines{kBs + "error :: File open failed for " + narrowDir + "\\bs.json",
                            kId + "error :: File open failed for " + narrowDir + "\\id.json"}));
}

}  // namespace
