#include "agent/windows/attributecollectorwin.h"

#include <ws2tcpip.h>
#include <shlobj.h>

#include <gtest/gtest.h>

#include <deque>
#include <functional>
#include <regex>
#include <string>
#include <vector>

#include "common/tavopath.h"
#include "common/tavostatus.h"
#include "tests/support/testutils.h"
#include "tests/support/wmifixture.h"

using tavo::CAttribute;
using tavo::CAttributeCollectorWin;
using tavo::test::LogTail;
using tavo::test::WmiFixture;

namespace {

// ---- Helpers ----------------------------------------------------------------------------------

// An attribute list as compact text: strings quoted, booleans bare, objects in braces, arrays in
// brackets: serial_number="QUJD",disk_list[{internal=true}].
std::string describe(const std::list<CAttribute>& list) {
    std::string text;
    for (const CAttribute& attribute : list) {
        if (!text.empty()) {
            text += ",";
        }
        text += attribute.m_strName;
        switch (attribute.m_iType) {
        case tavo::eAttrString:
            text += "=\"" + attribute.m_lstValues.front() + "\"";
            break;
        case tavo::eAttrBool:
            text += "=" + attribute.m_lstValues.front();
            break;
        case tavo::eAttrObject:
            text += "{" + describe(*attribute.m_ptrChildren) + "}";
            break;
        case tavo::eAttrObjectArray:
            text += "[" + describe(*attribute.m_ptrChildren) + "]";
            break;
        case tavo::eAttrStringArray: {
            std::string items;
            for (const std::string& value : attribute.m_lstValues) {
                items += (items.empty() ? "\"" : ",\"") + value + "\"";
            }
            text += "[" + items + "]";
            break;
        }
        }
    }
    return text;
}

std::vector<std::string> namesOf(const std::list<CAttribute>& list) {
    std::vector<std::string> names;
    for (const CAttribute& attribute : list) {
        names.push_back(attribute.m_strName);
    }
    return names;
}

// The messages that one collector logged at one level.
std::vector<std::string> messagesOf(const std::vector<std::string>& lines, const std::string& function,
                                    const std::string& level) {
    const std::string prefix = "tavo::CAttributeCollectorWin::" + function + " S: " + level + " :: ";
    std::vector<std::string> messages;
    for (const std::string& line : lines) {
        if (line.compare(0, prefix.size(), prefix) == 0) {
            messages.push_back(line.substr(prefix.size()));
        }
    }
    return messages;
}

std::vector<std::string> errorsOf(const std::vector<std::string>& lines, const std::string& function) {
    return messagesOf(lines, function, "error");
}

std::vector<std::string> expectedErrors(const char* message) {
    return message == nullptr ? std::vector<std::string>() : std::vector<std::string>{message};
}

using Collector = int (CAttributeCollectorWin::*)(std::list<CAttribute>&);

struct Outcome {
    int result;
    std::string attributes;
    std::vector<std::string> log;
};

// Runs one collector on a fresh collector object whose WMI answers from the fixture.
Outcome collect(const std::string& fixture, Collector collector) {
    WmiFixture wmi(fixture);
    CAttributeCollectorWin collectorObject;
    LogTail log;
    std::list<CAttribute> attributes;
    int result = (collectorObject.*collector)(attributes);
    return Outcome{result, describe(attributes), log.lines()};
}

// A query answering with one object per value of a single property ("bstr:x", "null", ...).
std::string answer(const std::string& wql, const std::string& property, const std::vector<std::string>& values) {
    std::string text = "query " + wql + "\n";
    for (const std::string& value : values) {
        text += "object\n" + property + " = " + value + "\n";
    }
    return text;
}

std::string failing(const std::string& wql) {
    return "query " + wql + "\nfail 0x80041017\n";
}

struct CollectorCase {
    const char* what;
    std::string fixture;
    int result;
    std::string attributes;
    const char* error;  // the collector's one error line, or none
};

void runCases(const std::vector<CollectorCase>& cases, Collector collector, const std::string& function) {
    for (const auto& c : cases) {
        Outcome outcome = collect(c.fixture, collector);
        EXPECT_EQ(outcome.result, c.result) << c.what;
        EXPECT_EQ(outcome.attributes, c.attributes) << c.what;
        EXPECT_EQ(errorsOf(outcome.log, function), expectedErrors(c.error)) << c.what;
    }
}

// ---- Firmware, partition and disks --------------------------------------------------------------

const char kBiosQuery[] = "SELECT SerialNumber FROM Win32_BIOS";

TEST(FirmwareCollectors, SerialNumber) {
    runCases(
        {
            {"serial", answer(kBiosQuery, "SerialNumber", {"bstr:ABC123"}), 0, "serial_number=\"QUJDMTIz\"", nullptr},
            {"no row", answer(kBiosQuery, "SerialNumber", {}), -8, "",
             "Empty list returned by WMI for BIOS serial number."},
            {"empty", answer(kBiosQuery, "SerialNumber", {"bstr:"}), -1, "", "Failed to encode BIOS serial number."},
            {"null", answer(kBiosQuery, "SerialNumber", {"null"}), -1, "", "Failed to encode BIOS serial number."},
            {"query fails", failing(kBiosQuery), -18, "", "Failed to run WMI query to get BIOS serial number."},
            {"no WMI", "connect 0x80041003\n", -18, "", "Failed to run WMI query to get BIOS serial number."},
        },
        &CAttributeCollectorWin::getBIOSSerialNumber, "getBIOSSerialNumber");
}

TEST(FirmwareCollectors, Uuid) {
    const char query[] = "SELECT UUID FROM Win32_ComputerSystemProduct";
    runCases(
        {
            {"uuid", answer(query, "UUID", {"bstr:4C4C4544-0042", "bstr:second"}), 0, "uuid=\"4C4C4544-0042\"",
             nullptr},
            {"empty uuid is kept", answer(query, "UUID", {"bstr:"}), 0, "uuid=\"\"", nullptr},
            {"no row", answer(query, "UUID", {}), -8, "", "Empty list returned by WMI for UUID."},
            {"query fails", failing(query), -18, "", "Failed to run WMI query to get UUID"},
        },
        &CAttributeCollectorWin::getBIOSUUID, "getBIOSUUID");
}

TEST(FirmwareCollectors, PartitionId) {
    const std::string drive = "query SELECT SystemDrive FROM Win32_OperatingSystem\nobject\nSystemDrive = bstr:C:\n";
    const std::string volume = "SELECT DeviceID FROM Win32_Volume WHERE DriveLetter='C:'";
    auto partition = [&](const std::string& deviceId) { return drive + answer(volume, "DeviceID", {deviceId}); };
    runCases(
        {
            {"volume path", partition("bstr:\\\\?\\Volume{9d4e5f60-1111}\\"), 0, "partition_id=\"9d4e5f60-1111\"",
             nullptr},
            {"first pair of braces", partition("bstr:x{1234}y{5678}"), 0, "partition_id=\"1234\"", nullptr},
            {"empty braces", partition("bstr:{}"), 0, "partition_id=\"\"", nullptr},
            {"no brace", partition("bstr:1234"), -8, "", "Malformed Partition ID retrieved"},
            {"no closing brace", partition("bstr:}{1234"), -8, "", "Malformed Partition ID retrieved"},
            {"no volume", drive + answer(volume, "DeviceID", {}), -8, "",
             "List from WMI was empty while fetching Partition ID."},
            {"volume query fails", drive + failing(volume), -18, "", "Failed to run WMI query to get Partition ID."},
            {"empty drive letter",
             "query SELECT SystemDrive FROM Win32_OperatingSystem\nobject\nSystemDrive = bstr:\n"
             "query SELECT DeviceID FROM Win32_Volume WHERE DriveLetter=''\n",
             -8, "", "List from WMI was empty while fetching Partition ID."},
            {"no system drive", "query SELECT SystemDrive FROM Win32_OperatingSystem\n", -8, "",
             "List from WMI was empty while fetching System Drive."},
            {"drive query fails", failing("SELECT SystemDrive FROM Win32_OperatingSystem"), -18, "",
             "Failed to run WMI query to get System Drive."},
        },
        &CAttributeCollectorWin::getPartitionID, "getPartitionID");
}

TEST(FirmwareCollectors, Disks) {
    const std::string query = "query SELECT SerialNumber, MediaType FROM Win32_DiskDrive\n";
    auto disk = [](const char* mediaType, const char* serial) {
        // The media type comes first, so a disk with an empty serial has had it examined already.
        return std::string("object\nMediaType = bstr:") + mediaType + "\nSerialNumber = bstr:" + serial + "\n";
    };
    runCases(
        {
            {"kinds",
             query + disk("Fixed hard disk media", "D2") + disk("External hard disk media", "D3") +
                 disk("Removable Media", "D4") + disk("Unknown", "D5") + disk("Fixed", "") +
                 disk("Removable Fixed", "D2") + disk("", "D3"),
             0,
             "disk_list[{internal=true,serial_number=\"RDI=\"},{internal=false,serial_number=\"RDM=\"},"
             "{internal=false,serial_number=\"RDQ=\"},{serial_number=\"RDU=\"},"
             "{internal=true,serial_number=\"RDI=\"},{serial_number=\"RDM=\"}]",
             nullptr},
            {"names in another case",
             query + "object\nserialnumber = bstr:D2\nMediaType = bstr:Fixed\n", 0, "disk_list[{internal=true}]",
             nullptr},
            {"every disk dropped", query + disk("Fixed", "") + disk("Removable", ""), 0, "", nullptr},
            {"no row", query, -8, "", "List from WMI was empty while fetching Disk info."},
            {"query fails", failing("SELECT SerialNumber, MediaType FROM Win32_DiskDrive"), -18, "",
             "Failed to run WMI query to get Disk info."},
        },
        &CAttributeCollectorWin::getDiskInfo, "getDiskInfo");

    // Every disk's serial is logged, the dropped one's too.
    Outcome outcome = collect(query + disk("Fixed", "") + disk("Fixed", "D2"), &CAttributeCollectorWin::getDiskInfo);
    const std::string debug = "tavo::CAttributeCollectorWin::getDiskInfo S: debug :: ";
    EXPECT_EQ(tavo::test::FindLogLine(outcome.log, debug + "Serial Number of disk: "), 0);
    EXPECT_NE(tavo::test::FindLogLine(outcome.log, debug + "Serial Number of disk: D2"), -1);
}

// ---- Operating system, host and virtual machine ------------------------------------------------

const char kOSQuery[] =
    "SELECT Version, OSArchitecture, BuildNumber, Caption, OSProductSuite, ProductType FROM Win32_OperatingSystem";

TEST(SystemCollectors, OSDetails) {
    // Alphabetical, as a provider may deliver them: the attributes follow this order.
    auto os = [](const char* version, const char* caption) {
        return std::string("query ") + kOSQuery + "\nobject\nBuildNumber = bstr:19045\nCaption = bstr:" + caption +
               "\nOSArchitecture = bstr:64-bit\nOSProductSuite = ui4:256\nProductType = ui4:1\nVersion = bstr:" +
               version + "\n";
    };
    const std::string rest = ",arch=\"64-bit\",suite=\"256\",product_type=\"1\"";
    runCases(
        {
            {"three parts", os("10.0.19045", " \t Microsoft Windows 10  Pro \\r\\n"), 0,
             "build=\"19045\",name=\"Microsoft Windows 10  Pro\"" + rest + ",major=\"10\",minor=\"0\"",
             nullptr},
            {"two parts", os("6.1", "W"), 0, "build=\"19045\",name=\"W\"" + rest + ",major=\"6\",minor=\"1\"",
             nullptr},
            {"no dot", os("10", "W"), 0, "build=\"19045\",name=\"W\"" + rest + ",major=\"\",minor=\"\"",
             nullptr},
            {"trailing dot", os("10.", "W"), 0,
             "build=\"19045\",name=\"W\"" + rest + ",major=\"10\",minor=\"\"", nullptr},
            {"no row", std::string("query ") + kOSQuery + "\n", -8, "", "Empty list returned by WMI for OS Details."},
            {"query fails", failing(kOSQuery), -18, "", "Failed to run WMI query to get OS Details."},
        },
        &CAttributeCollectorWin::getOSDetails, "getOSDetails");
}

TEST(SystemCollectors, FQDNComponents) {
    const char query[] = "SELECT DNSHostName, Domain FROM Win32_ComputerSystem";
    const std::string q = std::string("query ") + query + "\n";
    runCases(
        {
            {"both", q + "object\nDomain = bstr:corp.example\nDNSHostName = bstr:desk-17\n", 0,
             "domainname=\"corp.example\",hostname=\"desk-17\"", nullptr},
            {"empty host", q + "object\nDNSHostName = bstr:\nDomain = null\n", 0, "hostname=\"\",domainname=\"\"",
             nullptr},
            {"no row", q, -8, "", "Empty list returned by WMI for FQDN Components."},
            {"query fails", failing(query), -18, "", "Failed to run WMI query to get FQDN Components."},
        },
        &CAttributeCollectorWin::getFQDNComponents, "getFQDNComponents");
}

TEST(SystemCollectors, VirtualMachine) {
    const char systemQuery[] = "SELECT Model FROM Win32_ComputerSystem";
    const char diskQuery[] = "SELECT Model FROM Win32_DiskDrive";
    // Without a disk answer in the fixture, a disk query that should not run fails the case.
    auto system = [&](const char* model) { return answer(systemQuery, "Model", {std::string("bstr:") + model}); };
    auto disks = [&](std::vector<std::string> models) {
        for (std::string& model : models) {
            model = "bstr:" + model;
        }
        return answer(diskQuery, "Model", models);
    };
    runCases(
        {
            {"VMware system", system("VMware Virtual Platform"), 0, "is_virtual=true", nullptr},
            {"virtual in any case", system("Hyper-V vIrTuAL Machine"), 0, "is_virtual=true", nullptr},
            {"VMware first disk", system("OptiPlex 7090") + disks({"vmWARE disk", "Samsung"}), 0, "is_virtual=true",
             nullptr},
            {"physical", system("OptiPlex 7090") + disks({"Samsung SSD"}), 0, "is_virtual=false", nullptr},
            {"marker on the second disk only", system("OptiPlex") + disks({"Samsung", "VIRTUAL disk"}), 0,
             "is_virtual=false", nullptr},
            {"non-ASCII model", system("\xc3\x84hnlich VIRTU\xc3\x84L") + disks({"\xc3\x9c"}), 0, "is_virtual=false",
             nullptr},
            {"system query fails", failing(systemQuery), -18, "", "Failed to run WMI query to get System Model"},
            {"no system row", answer(systemQuery, "Model", {}), -3, "",
             "Empty list returned by WMI for System Model."},
            {"disk query fails", system("OptiPlex") + failing(diskQuery), -18, "",
             "Failed to run WMI query to get Disk Drive Model"},
            {"no disk row", system("OptiPlex") + disks({}), -3, "",
             "Empty list returned by WMI for Disk Drive Model."},
        },
        &CAttributeCollectorWin::getIsVirtualMachine, "getIsVirtualMachine");
}

// ---- Sibling products ----------------------------------------------------------------------------

// A registry key under HKLM in one view, created for the test and removed with its values; parents
// that it created are removed when they are left empty.
class TestKey {
public:
    TestKey(const std::wstring& path, REGSAM view) : m_path(path), m_view(view) {
        EXPECT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS | view, nullptr,
                                  &m_key, nullptr),
                  ERROR_SUCCESS);
    }
    ~TestKey() {
        RegCloseKey(m_key);
        for (std::wstring path = m_path; !path.empty(); path = path.substr(0, path.find_last_of(L'\\'))) {
            if (path.find(L'\\') == std::wstring::npos ||
                RegDeleteKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), m_view, 0) != ERROR_SUCCESS) {
                break;
            }
        }
    }
    void Set(const wchar_t* name, DWORD type, const void* data, DWORD size) {
        ASSERT_EQ(RegSetValueExW(m_key, name, 0, type, static_cast<const BYTE*>(data), size), ERROR_SUCCESS);
    }
    void SetString(const wchar_t* name, const std::wstring& text, DWORD type = REG_SZ) {
        Set(name, type, text.c_str(), static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t)));
    }
    void SetBytes(const wchar_t* name, const std::vector<BYTE>& bytes) {
        Set(name, REG_BINARY, bytes.data(), static_cast<DWORD>(bytes.size()));
    }

private:
    std::wstring m_path;
    REGSAM m_view;
    HKEY m_key = nullptr;
};

const wchar_t kZELKey[] = L"SOFTWARE\\Larchmere Protect";
const wchar_t kDeviceDetailsKey[] = L"Software\\Ostrel\\Ostrel Pellaway\\DeviceDetails";

TEST(SiblingProducts, ZELGuid) {
    const std::wstring six = L"abcdef";
    const struct {
        const char* what;
        std::function<void(TestKey& key64, TestKey& key32)> set;
        int result;
        std::string attributes;
        bool errorLine;
    } cases[] = {
        {"32-bit view only", [](TestKey&, TestKey& k32) { k32.SetString(L"guid", L"{GUID-32}"); }, 0,
         "zel{uuid=\"{GUID-32}\"}", false},
        {"64-bit view first",
         [](TestKey& k64, TestKey& k32) {
             k64.SetString(L"guid", L"{GUID-64}");
             k32.SetString(L"guid", L"{GUID-32}");
         },
         0, "zel{uuid=\"{GUID-64}\"}", false},
        {"REG_EXPAND_SZ passed over",
         [](TestKey& k64, TestKey& k32) {
             k64.SetString(L"guid", L"{GUID-64}", REG_EXPAND_SZ);
             k32.SetString(L"guid", L"{GUID-32}");
         },
         0, "zel{uuid=\"{GUID-32}\"}", false},
        {"no terminating zero",
         [&](TestKey& k64, TestKey&) { k64.Set(L"guid", REG_SZ, six.c_str(), 12); }, 0, "zel{uuid=\"abcdef\"}",
         false},
        {"odd byte count",
         [](TestKey& k64, TestKey&) { k64.Set(L"guid", REG_SZ, L"abcdefx", 13); }, 0, "zel{uuid=\"abcdef\"}",
         false},
        {"48 characters and their zero fit",
         [](TestKey& k64, TestKey&) { k64.SetString(L"guid", std::wstring(48, L'g')); }, 0,
         "zel{uuid=\"" + std::string(48, 'g') + "\"}", false},
        {"empty", [](TestKey& k64, TestKey&) { k64.SetString(L"guid", L""); }, 0, "", false},
        {"other type in both views",
         [](TestKey& k64, TestKey& k32) {
             DWORD number = 7;
             k64.Set(L"guid", REG_DWORD, &number, sizeof(number));
             k32.Set(L"guid", REG_DWORD, &number, sizeof(number));
         },
         0, "", true},
        {"too long in both views",
         [](TestKey& k64, TestKey& k32) {
             k64.Set(L"guid", REG_SZ, std::wstring(50, L'g').c_str(), 100);
             k32.Set(L"guid", REG_SZ, std::wstring(60, L'g').c_str(), 120);
         },
         -1, "", true},
        {"missing", [](TestKey&, TestKey&) {}, -1, "", true},
    };
    for (const auto& c : cases) {
        TestKey key64(kZELKey, KEY_WOW64_64KEY);
        TestKey key32(kZELKey, KEY_WOW64_32KEY);
        c.set(key64, key32);
        CAttributeCollectorWin collector;
        LogTail log;
        std::list<CAttribute> attributes;
        EXPECT_EQ(collector.getZELGUID(attributes), c.result) << c.what;
        EXPECT_EQ(describe(attributes), c.attributes) << c.what;
        EXPECT_EQ(errorsOf(log.lines(), "getZELGUID"),
                  expectedErrors(c.errorLine ? "Failed to open registry keys to retrieve zel guid" : nullptr))
            << c.what;
    }
}

std::wstring knownFolder(REFKNOWNFOLDERID id) {
    PWSTR path = nullptr;
    EXPECT_EQ(SHGetKnownFolderPath(id, 0, nullptr, &path), S_OK);
    std::wstring folder = path;
    CoTaskMemFree(path);
    return folder;
}

// A file (with the folders it needs) under an install folder, removed again with the folders it made.
class InstalledFile {
public:
    InstalledFile(const std::wstring& base, const std::wstring& relative) {
        std::wstring path = base;
        size_t start = 1;
        for (size_t slash; (slash = relative.find(L'\\', start)) != std::wstring::npos; start = slash + 1) {
            path = base + relative.substr(0, slash);
            if (CreateDirectoryW(path.c_str(), nullptr)) {
                m_folders.insert(m_folders.begin(), path);
            }
        }
        m_file = base + relative;
        HANDLE file = CreateFileW(m_file.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr);
        EXPECT_NE(file, INVALID_HANDLE_VALUE);
        CloseHandle(file);
    }
    ~InstalledFile() {
        DeleteFileW(m_file.c_str());
        for (const std::wstring& folder : m_folders) {
            RemoveDirectoryW(folder.c_str());
        }
    }

private:
    std::wstring m_file;
    std::vector<std::wstring> m_folders;
};

TEST(SiblingProducts, PLInstallCheck) {
    tavo::test::TempDir dir;
    const std::wstring base = tavo::StringToWString(dir.path().substr(0, dir.path().size() - 1));
    EXPECT_EQ(tavo::isPLInstalled(base), TAVO_FAIL);
    const struct {
        const wchar_t* relative;
        int result;
    } cases[] = {
        {L"\\Ostrel\\Ostrel Vantor\\kelpagent.exe", TAVO_OK},
        {L"\\Ostrel\\Ostrel Pellaway\\kelpagent.exe", TAVO_OK},
        {L"\\Ostrel\\Ostrel Vantor\\Orbin\\plorbinagent.exe", TAVO_OK},
        {L"\\Ostrel\\Ostrel Pellaway\\Orbin\\plorbinagent.exe", TAVO_OK},
        // A folder where the file should be counts too.
        {L"\\Ostrel\\Ostrel Vantor\\kelpagent.exe\\x", TAVO_OK},
        {L"\\Ostrel\\Ostrel Pellaway\\plorbinagent.exe", TAVO_FAIL},
        {L"\\Ostrel\\kelpagent.exe", TAVO_FAIL},
    };
    for (const auto& c : cases) {
        InstalledFile file(base, c.relative);
        EXPECT_EQ(tavo::isPLInstalled(base), c.result) << tavo::WStringToString(c.relative);
    }
    // A path that cannot be examined for a reason other than its absence counts as installed.
    EXPECT_EQ(tavo::isPLInstalled(base + L"\\bad|name"), TAVO_OK);

    // The collector looks under both known folders, which for a 32-bit process are one and the same.
    TestKey details(kDeviceDetailsKey, KEY_WOW64_32KEY);
    details.SetBytes(L"Sid", {1, 2});
    {
        // Not installed: nothing else is read.
        CAttributeCollectorWin collector;
        LogTail log;
        std::list<CAttribute> attributes;
        EXPECT_EQ(collector.getPLUDID(attributes), TAVO_FAIL);
        EXPECT_TRUE(attributes.empty());
        EXPECT_EQ(log.count("tavo::CAttributeCollectorWin::getPLUDID S: warning :: PL not installed failed to "
                            "retrieve PL UDID."),
                  1u)
            << log.text();
    }
    for (REFKNOWNFOLDERID folder : {FOLDERID_ProgramFilesX86, FOLDERID_ProgramFiles}) {
        InstalledFile last(knownFolder(folder), L"\\Ostrel\\Ostrel Pellaway\\Orbin\\plorbinagent.exe");
        CAttributeCollectorWin collector;
        std::list<CAttribute> attributes;
        EXPECT_EQ(collector.getPLUDID(attributes), TAVO_OK);
        EXPECT_EQ(namesOf(attributes), std::vector<std::string>{"pellaway"});
    }
}

TEST(SiblingProducts, PLUdidFromCachedDeviceValues) {
    InstalledFile agent(knownFolder(FOLDERID_ProgramFilesX86), L"\\Ostrel\\Ostrel Vantor\\kelpagent.exe");
    const DWORD nonce = 0x0A0B0C0D;
    const struct {
        const char* what;
        bool sid;
        bool productId4;
        DWORD nonceType;
        std::vector<unsigned char> bytes;
        const char* udid;  // computed apart, from the bytes
    } cases[] = {
        {"nonce, product id and sid", true, false, REG_DWORD, {0x0D, 0x0C, 0x0B, 0x0A, 0x03, 0x01, 0x02},
         "7ac33878742ca29790f275ea0439ce03923fff19"},
        {"binary nonce ignored", true, true, REG_BINARY, {0x04, 0x05, 0x03, 0x01, 0x02},
         "eed89b4b2860ccb66f21ed9a8459252eda9d9664"},
        {"no sid", false, true, REG_DWORD, {}, nullptr},
    };
    for (const auto& c : cases) {
        TestKey details(kDeviceDetailsKey, KEY_WOW64_32KEY);
        if (c.sid) {
            details.SetBytes(L"Sid", {0x01, 0x02});
        }
        details.SetBytes(L"DigitalProductId", {0x03});
        if (c.productId4) {
            details.SetBytes(L"DigitalProductId4", {0x04, 0x05});
        }
        details.Set(L"Nonce", c.nonceType, &nonce, sizeof(nonce));

        CAttributeCollectorWin collector;
        std::vector<unsigned char> bytes = {0xEE};
        EXPECT_EQ(collector.getDeviceID(bytes), c.sid ? TAVO_OK : TAVO_FAIL) << c.what;
        if (c.sid) {
            EXPECT_EQ(bytes, c.bytes) << c.what;
        }

        LogTail log;
        std::list<CAttribute> attributes;
        EXPECT_EQ(collector.getPLUDID(attributes), c.sid ? TAVO_OK : TAVO_FAIL) << c.what;
        EXPECT_EQ(describe(attributes), c.udid ? std::string("pellaway{udid=\"") + c.udid + "\"}" : "") << c.what;
        if (!c.sid) {
            std::vector<std::string> lines = log.lines();
            int details = tavo::test::FindLogLine(lines, "Failed to retrieve device details from cache");
            EXPECT_NE(details, -1) << log.text();
            EXPECT_NE(tavo::test::FindLogLine(lines, "warning :: failed to retrieve PL UDID.", details), -1);
        }
    }
}

// ---- Network adapters ------------------------------------------------------------------------------

class Winsock : public testing::Test {
protected:
    void SetUp() override {
        WSADATA data;
        ASSERT_EQ(WSAStartup(MAKEWORD(2, 2), &data), 0);
    }
    void TearDown() override { WSACleanup(); }
};

TEST_F(Winsock, RealAdaptersAreWellFormed) {
    CAttributeCollectorWin collector;
    std::list<CAttribute> attributes;
    ASSERT_EQ(collector.getAdapterList(attributes), TAVO_OK);
    ASSERT_LE(attributes.size(), 1u);
    if (attributes.empty()) {
        return;
    }
    EXPECT_EQ(attributes.front().m_strName, "adapters");
    EXPECT_EQ(attributes.front().m_iType, tavo::eAttrObjectArray);
    const std::regex member(
        "mac=\"([0-9a-f]{2}-)*[0-9a-f]{2}\",active=(true|false)(,name=\"[^\"]*\")?"
        "(,ipv4=\"[0-9.]+/[0-9]+\")?(,ipv6\\[(\"[0-9a-f:.]+/[0-9]+\",?)+\\])?");
    for (const CAttribute& adapter : *attributes.front().m_ptrChildren) {
        EXPECT_EQ(adapter.m_strName, "");
        EXPECT_EQ(adapter.m_iType, tavo::eAttrObject);
        EXPECT_TRUE(std::regex_match(describe(*adapter.m_ptrChildren), member)) << describe(*adapter.m_ptrChildren);
    }
}

// An adapter list built by the test, with the storage its pointers need.
class AdapterList {
public:
    IP_ADAPTER_ADDRESSES& add(ULONG type, std::vector<BYTE> mac, IF_OPER_STATUS status, const wchar_t* description) {
        IP_ADAPTER_ADDRESSES& adapter = m_adapters.emplace_back();
        adapter.IfType = type;
        adapter.PhysicalAddressLength = static_cast<ULONG>(mac.size());
        std::copy(mac.begin(), mac.end(), adapter.PhysicalAddress);
        adapter.OperStatus = status;
        adapter.Description = const_cast<wchar_t*>(description);
        if (m_adapters.size() > 1) {
            m_adapters[m_adapters.size() - 2].Next = &adapter;
        }
        return adapter;
    }
    void ipv4(IP_ADAPTER_ADDRESSES& adapter, const char* text, UINT8 prefix) {
        sockaddr_in& address = m_ipv4.emplace_back();
        address.sin_family = AF_INET;
        ASSERT_EQ(inet_pton(AF_INET, text, &address.sin_addr), 1);
        link(adapter, reinterpret_cast<sockaddr*>(&address), sizeof(address), prefix);
    }
    void ipv6(IP_ADAPTER_ADDRESSES& adapter, const char* text, ULONG scope, USHORT port, UINT8 prefix) {
        sockaddr_in6& address = m_ipv6.emplace_back();
        address.sin6_family = AF_INET6;
        address.sin6_scope_id = scope;
        address.sin6_port = htons(port);
        ASSERT_EQ(inet_pton(AF_INET6, text, &address.sin6_addr), 1);
        link(adapter, reinterpret_cast<sockaddr*>(&address), sizeof(address), prefix);
    }
    // An entry without a socket address.
    void empty(IP_ADAPTER_ADDRESSES& adapter) { link(adapter, nullptr, 0, 0); }
    const IP_ADAPTER_ADDRESSES* first() const { return m_adapters.empty() ? nullptr : &m_adapters.front(); }

private:
    void link(IP_ADAPTER_ADDRESSES& adapter, sockaddr* address, int length, UINT8 prefix) {
        IP_ADAPTER_UNICAST_ADDRESS& unicast = m_unicast.emplace_back();
        unicast.Address.lpSockaddr = address;
        unicast.Address.iSockaddrLength = length;
        unicast.OnLinkPrefixLength = prefix;
        IP_ADAPTER_UNICAST_ADDRESS** slot = &adapter.FirstUnicastAddress;
        while (*slot != nullptr) {
            slot = &(*slot)->Next;
        }
        *slot = &unicast;
    }

    // Deques keep their elements in place as they grow.
    std::deque<IP_ADAPTER_ADDRESSES> m_adapters;
    std::deque<IP_ADAPTER_UNICAST_ADDRESS> m_unicast;
    std::deque<sockaddr_in> m_ipv4;
    std::deque<sockaddr_in6> m_ipv6;
};

TEST_F(Winsock, AdapterWalk) {
    const std::vector<BYTE> mac = {0x00, 0x1a, 0x2b, 0x3c, 0x4d, 0x5e};
    {
        AdapterList list;
        list.ipv4(list.add(IF_TYPE_SOFTWARE_LOOPBACK, mac, IfOperStatusUp, L"Loopback"), "127.0.0.1", 8);
        list.ipv4(list.add(IF_TYPE_TUNNEL, {}, IfOperStatusUp, L"Tunnel"), "10.1.1.1", 8);
        std::list<CAttribute> attributes;
        CAttributeCollectorWin::getAdapterList(list.first(), attributes);
        EXPECT_TRUE(attributes.empty());
    }

    AdapterList list;
    IP_ADAPTER_ADDRESSES& ethernet = list.add(IF_TYPE_ETHERNET_CSMACD, mac, IfOperStatusUp, L"Ethernet \u00c4");
    list.empty(ethernet);
    list.ipv4(ethernet, "169.254.10.1", 16);
    list.ipv6(ethernet, "fe80::1", 12, 0, 64);
    list.ipv4(ethernet, "10.0.0.5", 8);
    list.ipv6(ethernet, "ffff:ffff:ffff:ffff:ffff:ffff:ffff:ffff", 0xffffffff, 65535, 128);  // does not fit
    list.ipv4(ethernet, "192.168.1.20", 24);
    list.ipv6(ethernet, "2001:db8::5", 0, 0, 64);
    IP_ADAPTER_ADDRESSES& down = list.add(IF_TYPE_IEEE80211, {0xff}, IfOperStatusDown, L"");
    list.ipv4(down, "169.254.3.4", 16);
    list.ipv6(down, "2001:db8::6", 0, 0, 48);
    list.add(IF_TYPE_ETHERNET_CSMACD, {0x01, 0x02}, IfOperStatusUp, nullptr);
    list.add(IF_TYPE_SOFTWARE_LOOPBACK, {0x03}, IfOperStatusUp, L"Loopback");

    std::list<CAttribute> attributes = {CAttribute("kept", tavo::eAttrString, "x")};
    LogTail log;
    CAttributeCollectorWin::getAdapterList(list.first(), attributes);
    EXPECT_EQ(describe(attributes),
              "kept=\"x\",adapters[{mac=\"00-1a-2b-3c-4d-5e\",active=true,name=\"Ethernet \xc3\x84\","
              "ipv4=\"10.0.0.5/8\",ipv6[\"fe80::1/64\",\"2001:db8::5/64\"]},"
              "{mac=\"ff\",active=false,name=\"\",ipv6[\"2001:db8::6/48\"]},"
              "{mac=\"01-02\",active=true}]");

    // The walk's lines name the collector.
    EXPECT_EQ(messagesOf(log.lines(), "getAdapterList", "debug"),
              (std::vector<std::string>{
                  "Adapter MAC Address : 00-1a-2b-3c-4d-5e", "Adapter status , IsActive : true",
                  "Adapter Name: Ethernet \xc3\x84", "Adapter Ipv6 Address: fe80::1/64",
                  "Adapter Ipv4 Address: 10.0.0.5/8", "Adapter Ipv6 Address: 2001:db8::5/64",
                  "Adapter MAC Address : ff", "Adapter status , IsActive : false", "Adapter Name: ",
                  "Adapter Ipv6 Address: 2001:db8::6/48", "Adapter MAC Address : 01-02",
                  "Adapter status , IsActive : true"}))
        << log.text();
}

// ---- Collection order ----------------------------------------------------------------------------

const char kMachine[] =
    "query SELECT SerialNumber FROM Win32_BIOS\nobject\nSerialNumber = bstr:VMW-1234\n"
    "query SELECT UUID FROM Win32_ComputerSystemProduct\nobject\nUUID = bstr:4C4C4544\n"
    "query SELECT SystemDrive FROM Win32_OperatingSystem\nobject\nSystemDrive = bstr:C:\n"
    "query SELECT DeviceID FROM Win32_Volume WHERE DriveLetter='C:'\nobject\nDeviceID = bstr:\\\\?\\Volume{9d4e}\\\n"
    "query SELECT SerialNumber, MediaType FROM Win32_DiskDrive\nobject\nSerialNumber = bstr:S3Z1\n"
    "MediaType = bstr:Fixed hard disk media\n"
    "query SELECT Version, OSArchitecture, BuildNumber, Caption, OSProductSuite, ProductType FROM "
    "Win32_OperatingSystem\nobject\nVersion = bstr:10.0.19045\nOSArchitecture = bstr:64-bit\n"
    "BuildNumber = bstr:19045\nCaption = bstr:Microsoft Windows 10 Pro\nOSProductSuite = ui4:256\n"
    "ProductType = ui4:1\n"
    "query SELECT DNSHostName, Domain FROM Win32_ComputerSystem\nobject\nDNSHostName = bstr:desk-17\n"
    "Domain = bstr:corp.example\n"
    "query SELECT Model FROM Win32_ComputerSystem\nobject\nModel = bstr:OptiPlex 7090\n"
    "query SELECT Model FROM Win32_DiskDrive\nobject\nModel = bstr:Samsung SSD 980\n";

// Both sibling products present for the test's life.
class SiblingProducts {
public:
    SiblingProducts()
        : m_zel(kZELKey, KEY_WOW64_64KEY),
          m_details(kDeviceDetailsKey, KEY_WOW64_32KEY),
          m_agent(knownFolder(FOLDERID_ProgramFilesX86), L"\\Ostrel\\Ostrel Pellaway\\kelpagent.exe") {
        m_zel.SetString(L"guid", L"{ZEL}");
        m_details.SetBytes(L"Sid", {0x01, 0x02});
    }

private:
    TestKey m_zel;
    TestKey m_details;
    InstalledFile m_agent;
};

TEST(CollectionOrder, FullCollectionInOrder) {
    SiblingProducts siblings;
    WmiFixture wmi(kMachine);
    std::unique_ptr<tavo::IAttributeCollector> collector = tavo::CreateAttributeCollector();
    LogTail log;
    std::list<CAttribute> attributes = {CAttribute("stale", tavo::eAttrString, "x")};
    ASSERT_EQ(collector->GetAttributeList(attributes), TAVO_OK);
    std::vector<std::string> names = namesOf(attributes);
    const std::vector<std::string> expected = {"zel",   "pellaway", "serial_number", "uuid",     "partition_id",
                                               "disk_list", "major", "minor",    "arch",          "build",
                                               "name",  "suite",    "product_type",  "hostname", "domainname",
                                               "is_virtual"};
    ASSERT_GE(names.size(), expected.size());
    EXPECT_EQ(std::vector<std::string>(names.begin(), names.begin() + expected.size()), expected);
    // Whatever adapters the machine reports come last.
    EXPECT_LE(names.size(), expected.size() + 1);
    if (names.size() > expected.size()) {
        EXPECT_EQ(names.back(), "adapters");
    }
    EXPECT_TRUE(errorsOf(log.lines(), "GetAttributeList").empty()) << log.text();
}

TEST(CollectionOrder, FailuresAreLoggedAndPassedOver) {
    // Nothing of the sibling products; the serial number has no row, every other query fails.
    WmiFixture wmi("query SELECT SerialNumber FROM Win32_BIOS\n");
    CAttributeCollectorWin collector;
    LogTail log;
    std::list<CAttribute> attributes;
    EXPECT_EQ(collector.GetAttributeList(attributes), TAVO_OK);
    std::vector<std::string> errors = errorsOf(log.lines(), "GetAttributeList");
    const std::vector<std::string> expected = {
        "Failed to retrieve ZEL GUID",           "Failed to retrieve PL UDID",
        "Failed to retrieve BIOS Serial Number.", "Failed to retrieve BIOS UUID.",
        "Failed to retrieve PartitionID Info.",   "Failed to retrieve Disk Info.",
        "Failed to retrieve basic OS details.",   "Failed to retrieve FQDN Components.",
        "Failed to determine virtualization",
    };
    EXPECT_EQ(errors, expected) << log.text();
    for (const std::string& name : namesOf(attributes)) {
        EXPECT_EQ(name, "adapters");
    }
}

TEST(CollectionOrder, UnusableWmiStopsAfterTheSerialNumber) {
    SiblingProducts siblings;
    WmiFixture wmi("connect 0x80041003\n");
    CAttributeCollectorWin collector;
    LogTail log;
    std::list<CAttribute> attributes = {CAttribute("stale", tavo::eAttrString, "x")};
    EXPECT_EQ(collector.GetAttributeList(attributes), TAVO_WMI_UNAVAILABLE);
    EXPECT_EQ(namesOf(attributes), (std::vector<std::string>{"zel", "pellaway"}));
    std::vector<std::string> lines = log.lines();
    int query = tavo::test::FindLogLine(lines, "WMIInterface::RunWMIQuery S: error :: Failed to construct object");
    int serial = tavo::test::FindLogLine(lines, "Failed to run WMI query to get BIOS serial number.", query);
    EXPECT_NE(query, -1) << log.text();
    EXPECT_NE(serial, -1);
    EXPECT_EQ(errorsOf(lines, "GetAttributeList"), expectedErrors("WMI Service is not setup on endpoint."));
    EXPECT_EQ(log.count("WMIInterface::RunWMIQuery S: error :: Failed to construct object "), 1u);
}

}  // namespace
