#include "common/tavopath.h"

#include <gtest/gtest.h>

#include "common/tavostatus.h"
#include "tests/support/testutils.h"

using tavo::test::StderrCapture;

namespace {

const wchar_t kTAVOKey[] = L"SOFTWARE\\Ostrel\\Vantor\\Quillmark\\TAVO";
const wchar_t kTestKey[] = L"SOFTWARE\\VrnTavoTests";

// A registry key under HKLM (64-bit view) that the test owns and removes again.
class TestKey {
public:
    explicit TestKey(const wchar_t* path, REGSAM view = KEY_WOW64_64KEY) : m_path(path), m_view(view) {
        EXPECT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, path, 0, nullptr, 0, KEY_ALL_ACCESS | view, nullptr, &m_key,
                                  nullptr),
                  ERROR_SUCCESS);
    }
    ~TestKey() {
        RegCloseKey(m_key);
        RegDeleteKeyExW(HKEY_LOCAL_MACHINE, m_path, m_view, 0);
    }
    void Set(const wchar_t* name, DWORD type, const void* data, DWORD size) {
        ASSERT_EQ(RegSetValueExW(m_key, name, 0, type, static_cast<const BYTE*>(data), size), ERROR_SUCCESS);
    }
    void SetString(const wchar_t* name, const std::wstring& text, DWORD type = REG_SZ) {
        Set(name, type, text.c_str(), static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t)));
    }

private:
    const wchar_t* m_path;
    REGSAM m_view;
    HKEY m_key = nullptr;
};

TEST(DataDirectory, ComesBackAsStoredInUtf8) {
    const struct {
        std::wstring stored;
        std::string expected;
    } cases[] = {
        {L"C:\\ProgramData\\Ostrel\\TAVO\\", "C:\\ProgramData\\Ostrel\\TAVO\\"},
        {L"C:\\ProgramData\\NoSeparator", "C:\\ProgramData\\NoSeparator"},
        {L"C:\\Daten\\Gr\u00fc\u00dfe\\\u65e5\u672c\\", "C:\\Daten\\Gr\xc3\xbc\xc3\x9f" "e\\\xe6\x97\xa5\xe6\x9c\xac\\"},
    };
    for (const auto& c : cases) {
        TestKey key(kTAVOKey);
        key.SetString(L"DataDir", c.stored);
        std::string dataDir = "unchanged";
        EXPECT_EQ(tavo::GetTAVODirectoryPath(dataDir), TAVO_OK);
        EXPECT_EQ(dataDir, c.expected);
    }
}

// Every way the lookup can fail says so on standard error and leaves the output alone.
void ExpectDataDirFailure(const char* what) {
    StderrCapture capture;
    std::string dataDir = "unchanged";
    EXPECT_EQ(tavo::GetTAVODirectoryPath(dataDir), TAVO_FAIL) << what;
    EXPECT_EQ(dataDir, "unchanged") << what;
    EXPECT_EQ(capture.text(), "Failed to get Program Data path\n") << what;
}

TEST(DataDirectory, FailuresReportOnStandardError) {
    ExpectDataDirFailure("no key");
    {
        TestKey key(kTAVOKey);
        ExpectDataDirFailure("no value");
        key.SetString(L"DataDir", L"%ProgramData%\\TAVO\\", REG_EXPAND_SZ);
        ExpectDataDirFailure("REG_EXPAND_SZ");
        // Exactly 4096 bytes leave no room for a terminator; more do not fit at all.
        key.Set(L"DataDir", REG_SZ, std::wstring(2048, L'x').c_str(), 4096);
        ExpectDataDirFailure("4096 bytes");
        key.Set(L"DataDir", REG_SZ, std::wstring(2049, L'x').c_str(), 4098);
        ExpectDataDirFailure("4098 bytes");
    }
    {
        // The value in the 32-bit view only is not the data directory.
        TestKey key(kTAVOKey, KEY_WOW64_32KEY);
        key.SetString(L"DataDir", L"C:\\Wow\\");
        ExpectDataDirFailure("32-bit view");
    }
}

TEST(ReadRegistryValue, BufferSizeEdges) {
    TestKey key(kTestKey);
    const DWORD number = 0x01020304;
    key.Set(L"Number", REG_DWORD, &number, sizeof(number));
    key.SetString(L"Text", L"abcd");  // 10 bytes with the terminator
    // Wine refuses an unterminated string that fills the buffer, so a binary value shows the edge.
    key.Set(L"Full", REG_BINARY, std::string(4096, 'y').c_str(), 4096);

    BYTE buffer[4096];
    DWORD size = 4;
    DWORD type = REG_NONE;
    EXPECT_EQ(tavo::ReadRegistryValue(HKEY_LOCAL_MACHINE, kTestKey, L"Number", buffer, &size, &type, true),
              TAVO_BUFFER_TOO_SMALL);
    EXPECT_EQ(size, 5u);
    EXPECT_EQ(type, static_cast<DWORD>(REG_DWORD));

    memset(buffer, 0xEE, sizeof(buffer));
    size = 8;
    EXPECT_EQ(tavo::ReadRegistryValue(HKEY_LOCAL_MACHINE, kTestKey, L"Number", buffer, &size, &type, true), TAVO_OK);
    EXPECT_EQ(size, 4u);
    EXPECT_EQ(buffer[4], 0xEE) << "no terminator for a number";

    memset(buffer, 0xEE, sizeof(buffer));
    size = 100;
    EXPECT_EQ(tavo::ReadRegistryValue(HKEY_LOCAL_MACHINE, kTestKey, L"Text", buffer, &size, &type, true), TAVO_OK);
    EXPECT_EQ(size, 11u);
    EXPECT_EQ(buffer[10], 0);
    EXPECT_EQ(buffer[11], 0xEE);
    EXPECT_EQ(type, static_cast<DWORD>(REG_SZ));

    size = 4096;
    EXPECT_EQ(tavo::ReadRegistryValue(HKEY_LOCAL_MACHINE, kTestKey, L"Full", buffer, &size, &type, true),
              TAVO_BUFFER_TOO_SMALL);
    EXPECT_EQ(size, 4097u);

    size = 3;
    type = 12345;
    EXPECT_EQ(tavo::ReadRegistryValue(HKEY_LOCAL_MACHINE, kTestKey, L"Text", buffer, &size, &type, true), TAVO_FAIL);
    EXPECT_EQ(size, 3u) << "a value larger than the buffer leaves the size alone";
    EXPECT_EQ(type, 12345u);
    EXPECT_EQ(tavo::ReadRegistryValue(HKEY_LOCAL_MACHINE, kTestKey, L"Missing", buffer, &size, &type, true),
              TAVO_FAIL);
    EXPECT_EQ(tavo::ReadRegistryValue(HKEY_LOCAL_MACHINE, kTestKey, L"Text", buffer, &size, &type, false), TAVO_FAIL)
        << "the 32-bit view has no such key";

    size = 0;
    EXPECT_EQ(tavo::ReadRegistryValue(HKEY_LOCAL_MACHINE, kTestKey, L"Text", buffer, &size, &type, true),
              TAVO_INVALID_ARGUMENT);
    size = 10;
    EXPECT_EQ(tavo::ReadRegistryValue(HKEY_LOCAL_MACHINE, kTestKey, L"Text", nullptr, &size, &type, true),
              TAVO_INVALID_ARGUMENT);
}

TEST(BinaryRegistryKey, ReadsOnlyNonEmptyBinaryValues) {
    TestKey key(kTestKey, KEY_WOW64_32KEY);
    const BYTE bytes[] = {0x00, 0x01, 0xFE, 0xFF, 0x7F};
    key.Set(L"Blob", REG_BINARY, bytes, sizeof(bytes));
    key.Set(L"Empty", REG_BINARY, nullptr, 0);
    key.SetString(L"Text", L"not binary");

    std::vector<BYTE> out = {9, 9};
    EXPECT_EQ(tavo::GetBinaryRegistryKey(kTestKey, L"Blob", KEY_READ | KEY_WOW64_32KEY, out), TAVO_OK);
    EXPECT_EQ(out, std::vector<BYTE>(bytes, bytes + sizeof(bytes)));
    for (const wchar_t* name : {L"Empty", L"Text", L"Missing"}) {
        out = {9};
        EXPECT_EQ(tavo::GetBinaryRegistryKey(kTestKey, name, KEY_READ | KEY_WOW64_32KEY, out), TAVO_FAIL);
        EXPECT_TRUE(out.empty());
    }
    EXPECT_EQ(tavo::GetBinaryRegistryKey(L"SOFTWARE\\VrnTavoTests\\Missing", L"Blob", KEY_READ, out), TAVO_FAIL);
}

TEST(Hostname, IsTheSystemsName) {
    std::string name;
    ASSERT_EQ(tavo::GetHostname(name), TAVO_OK);
    EXPECT_FALSE(name.empty());
    wchar_t expected[256] = {};
    DWORD size = 256;
    if (!GetComputerNameExW(ComputerNameDnsFullyQualified, expected, &size) || expected[0] == 0) {
        size = 256;
        ASSERT_TRUE(GetComputerNameExW(ComputerNameNetBIOS, expected, &size));
    }
    EXPECT_EQ(name, tavo::WStringToString(expected));
}

TEST(Utf8, RoundTripsAndEdges) {
    const std::wstring wide = L"Gr\u00fc\u00dfe \u65e5\u672c \U0001F600";
    const std::string utf8 = "Gr\xc3\xbc\xc3\x9f" "e \xe6\x97\xa5\xe6\x9c\xac \xf0\x9f\x98\x80";
    EXPECT_EQ(tavo::WStringToString(wide), utf8);
    EXPECT_EQ(tavo::StringToWString(utf8), wide);
    EXPECT_EQ(tavo::WStringToString(L""), "");
    EXPECT_EQ(tavo::StringToWString(""), L"");
    EXPECT_EQ(tavo::WStringToString(std::wstring(L"ab\0cd", 5)), "ab") << "text after a zero is dropped";
    EXPECT_EQ(tavo::StringToWString("a\xff" "b"), L"a\ufffd" L"b") << "invalid bytes become the replacement";
}

TEST(ConfigDirectory, KeepsTheLastValue) {
    EXPECT_EQ(tavo::SetTAVOConfigDirectory(L"C:\\first"), TAVO_OK);
    EXPECT_EQ(tavo::SetTAVOConfigDirectory(L"C:\\second"), TAVO_OK);
    EXPECT_EQ(tavo::GetTAVOConfigDirectory(), L"C:\\second");
}

}  // namespace
