#include "agent/windows/attributecollectorwin.h"

#include <ws2tcpip.h>
#include <shlobj.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <cwchar>
#include <iterator>

#include "agent/cryptoutils.h"
#include "agent/windows/scopedcom.h"
#include "common/scopedhandle.h"
#include "common/tavopath.h"
#include "common/tavostatus.h"
#include "common/tavoutils.h"
#include "logging/tavolog.h"

namespace tavo {

namespace {

using Columns = std::list<std::wstring>;
using Rows = std::list<std::list<WMIValue>>;

const wchar_t kZELRegistryKey[] = L"SOFTWARE\\Larchmere Protect\\";
const wchar_t kZELGuidValue[] = L"guid";
const wchar_t kDeviceDetailsKey[] = L"Software\\Ostrel\\Ostrel Pellaway\\DeviceDetails";
constexpr REGSAM kDeviceDetailsAccess = KEY_READ | KEY_WOW64_32KEY;

const wchar_t* const s_deviceDetailValueNames[] = {L"Sid", L"DigitalProductId", L"DigitalProductId4"};
const wchar_t s_nonceValueName[] = L"Nonce";

// The VPN product's candidate files under an install folder, in the order they are tried.
const struct {
    const wchar_t* folder;
    const wchar_t* file;
} kPLCandidates[] = {
    {L"\\Ostrel\\Ostrel Vantor\\", L"kelpagent.exe"},
    {L"\\Ostrel\\Ostrel Pellaway\\", L"kelpagent.exe"},
    {L"\\Ostrel\\Ostrel Vantor\\", L"Orbin\\plorbinagent.exe"},
    {L"\\Ostrel\\Ostrel Pellaway\\", L"Orbin\\plorbinagent.exe"},
};

constexpr ULONG kAdapterBufferSize = 15000;
constexpr int kAdapterCalls = 5;
constexpr DWORD kAddressTextLength = 46;

// The first value of the first row; null for an empty result.
const WMIValue* firstValue(const Rows& rows) {
    return rows.empty() || rows.front().empty() ? nullptr : &rows.front().front();
}

std::shared_ptr<std::list<CAttribute>> shared(std::list<CAttribute>& members) {
    return std::make_shared<std::list<CAttribute>>(std::move(members));
}

std::string lowerCase(std::string text) {
    for (char& c : text) {
        c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
    }
    return text;
}

// Empty when the lookup fails.
std::wstring knownFolder(REFKNOWNFOLDERID id) {
    ScopedCoTaskMem<wchar_t> path;
    HRESULT hr = SHGetKnownFolderPath(id, 0, nullptr, path.receive());
    return SUCCEEDED(hr) && path.get() != nullptr ? std::wstring(path.get()) : std::wstring();
}

// The address of one unicast entry as text; false when it does not convert (or does not fit).
bool addressText(const SOCKET_ADDRESS& address, std::string& text) {
    wchar_t buffer[kAddressTextLength] = {};
    DWORD length = kAddressTextLength;
    if (WSAAddressToStringW(address.lpSockaddr, static_cast<DWORD>(address.iSockaddrLength), nullptr, buffer,
                            &length) != 0) {
        return false;
    }
    text = WStringToString(std::wstring(buffer, wcsnlen(buffer, kAddressTextLength)));
    return true;
}

}  // namespace

// ---- Collection order --------------------------------------------------------------------------

std::unique_ptr<IAttributeCollector> CreateAttributeCollector() {
    return std::make_unique<CAttributeCollectorWin>();
}

int CAttributeCollectorWin::GetAttributeList(std::list<CAttribute>& attributes) {
    static const struct {
        int (CAttributeCollectorWin::*collect)(std::list<CAttribute>&);
        const char* failure;
    } collectors[] = {
        {&CAttributeCollectorWin::getZELGUID, "Failed to retrieve ZEL GUID"},
        {&CAttributeCollectorWin::getPLUDID, "Failed to retrieve PL UDID"},
        {&CAttributeCollectorWin::getBIOSSerialNumber, "Failed to retrieve BIOS Serial Number."},
        {&CAttributeCollectorWin::getBIOSUUID, "Failed to retrieve BIOS UUID."},
        {&CAttributeCollectorWin::getPartitionID, "Failed to retrieve PartitionID Info."},
        {&CAttributeCollectorWin::getDiskInfo, "Failed to retrieve Disk Info."},
        {&CAttributeCollectorWin::getOSDetails, "Failed to retrieve basic OS details."},
        {&CAttributeCollectorWin::getFQDNComponents, "Failed to retrieve FQDN Components."},
        {&CAttributeCollectorWin::getIsVirtualMachine, "Failed to determine virtualization"},
        {&CAttributeCollectorWin::getAdapterList, "Failed to retrieve Adapter List"},
    };

    attributes.clear();
    for (const auto& collector : collectors) {
        int result = (this->*collector.collect)(attributes);
        if (result == TAVO_OK) {
            continue;
        }
        // Only the firmware serial number tells whether WMI can be used at all.
        if (collector.collect == &CAttributeCollectorWin::getBIOSSerialNumber && result == TAVO_WMI_UNAVAILABLE) {
            TAVO_LOG(eLogError, false, "WMI Service is not setup on endpoint.");
            return TAVO_WMI_UNAVAILABLE;
        }
        TAVO_LOG(eLogError, false, "%s", collector.failure);
    }
    return TAVO_OK;
}

// ---- Sibling products --------------------------------------------------------------------------

int CAttributeCollectorWin::getZELGUID(std::list<CAttribute>& attributes) {
    constexpr DWORD kBufferSize = 100;
    // Zeroed, so that a value stored without its terminating zero still ends within the buffer.
    std::vector<BYTE> buffer(kBufferSize, 0);
    DWORD size = kBufferSize;
    DWORD type = REG_NONE;
    int result = ReadRegistryValue(HKEY_LOCAL_MACHINE, kZELRegistryKey, kZELGuidValue, buffer.data(), &size, &type,
                                   true);
    if (result != TAVO_OK || type != REG_SZ) {
        std::fill(buffer.begin(), buffer.end(), 0);
        size = kBufferSize;
        type = REG_NONE;
        result = ReadRegistryValue(HKEY_LOCAL_MACHINE, kZELRegistryKey, kZELGuidValue, buffer.data(), &size, &type,
                                   false);
        if (result != TAVO_OK || type != REG_SZ) {
            TAVO_LOG(eLogError, false, "Failed to open registry keys to retrieve zel guid");
            return result;
        }
    }

    // Only whole UTF-16 units of the data itself: the size counts the zero byte that the read
    // appended, which would otherwise complete a stray unit after an odd byte count.
    const wchar_t* text = reinterpret_cast<const wchar_t*>(buffer.data());
    size_t units = (size - 1) / sizeof(wchar_t);
    std::string guid = WStringToAnsiString(std::wstring(text, wcsnlen(text, units)));
    if (!guid.empty()) {
        TAVO_LOG(eLogVerbose, false, "ZEL GUID retrieved: %s", guid.c_str());
        std::list<CAttribute> members;
        members.emplace_back("uuid", eAttrString, guid);
        attributes.emplace_back("zel", eAttrObject, shared(members));
    }
    return result;
}

int CAttributeCollectorWin::getPLUDID(std::list<CAttribute>& attributes) {
    std::wstring programFilesX86 = knownFolder(FOLDERID_ProgramFilesX86);
    std::wstring programFiles = knownFolder(FOLDERID_ProgramFiles);
    if (isPLInstalled(programFilesX86) != TAVO_OK && isPLInstalled(programFiles) != TAVO_OK) {
        TAVO_LOG(eLogWarning, false, "PL not installed failed to retrieve PL UDID.");
        return TAVO_FAIL;
    }

    std::vector<unsigned char> bytes;
    if (getDeviceID(bytes) != TAVO_OK) {
        TAVO_LOG(eLogWarning, false, "failed to retrieve PL UDID.");
        return TAVO_FAIL;
    }

    std::string udid;
    if (GetSHA1Hash(bytes.data(), bytes.size(), udid) != TAVO_OK) {
        TAVO_LOG(eLogError, false, "getSHA1Hash failed.");
        return TAVO_FAIL;
    }
    if (!udid.empty()) {
        TAVO_LOG(eLogDebug, false, "PL UDID retrieved: %s", udid.c_str());
        std::list<CAttribute> members;
        members.emplace_back("udid", eAttrString, udid);
        attributes.emplace_back("pellaway", eAttrObject, shared(members));
    }
    return TAVO_OK;
}

// A candidate that exists, or that cannot be examined for a reason other than its absence
// (access denied, say), counts as installed.
int isPLInstalled(std::wstring baseFolder) {
    for (const auto& candidate : kPLCandidates) {
        std::wstring path = baseFolder + candidate.folder + candidate.file;
        if (GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES) {
            return TAVO_OK;
        }
        DWORD error = GetLastError();
        if (error != ERROR_FILE_NOT_FOUND && error != ERROR_PATH_NOT_FOUND) {
            return TAVO_OK;
        }
    }
    return TAVO_FAIL;
}

int CAttributeCollectorWin::getDeviceID(std::vector<unsigned char>& bytes) {
    bytes.clear();
    std::map<std::wstring, std::vector<unsigned char>> details;
    if (getDeviceDetailsFromCache(details) != TAVO_OK) {
        TAVO_LOG(eLogError, false, "Failed to retrieve device details from cache");
        return TAVO_FAIL;
    }
    for (const wchar_t* name : s_deviceDetailValueNames) {
        auto found = details.find(name);
        if (found != details.end()) {
            bytes.insert(bytes.begin(), found->second.begin(), found->second.end());
        }
    }
    getUDIDNonceFromRegistry(bytes);
    return TAVO_OK;
}

int getDeviceDetailsFromCache(std::map<std::wstring, std::vector<unsigned char>>& details) {
    details.clear();
    TAVO_LOG(eLogVerbose, false, "Retrieving device details from cache");
    for (const wchar_t* name : s_deviceDetailValueNames) {
        std::vector<BYTE> value;
        if (GetBinaryRegistryKey(kDeviceDetailsKey, name, kDeviceDetailsAccess, value) == TAVO_OK) {
            details[name] = std::move(value);
        } else if (name == s_deviceDetailValueNames[0]) {
            return TAVO_FAIL;
        }
    }
    return TAVO_OK;
}

bool getUDIDNonceFromRegistry(std::vector<unsigned char>& bytes) {
    ScopedRegKey key;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kDeviceDetailsKey, 0, kDeviceDetailsAccess, key.receive()) !=
        ERROR_SUCCESS) {
        TAVO_LOG(eLogError, false, "Failed to Open Registry keys");
        return false;
    }
    DWORD nonce = 0;
    DWORD size = sizeof(nonce);
    DWORD type = REG_NONE;
    if (RegQueryValueExW(key.get(), s_nonceValueName, nullptr, &type, reinterpret_cast<BYTE*>(&nonce), &size) !=
            ERROR_SUCCESS ||
        type != REG_DWORD) {
        return false;
    }
    const unsigned char littleEndian[] = {
        static_cast<unsigned char>(nonce), static_cast<unsigned char>(nonce >> 8),
        static_cast<unsigned char>(nonce >> 16), static_cast<unsigned char>(nonce >> 24)};
    bytes.insert(bytes.begin(), std::begin(littleEndian), std::end(littleEndian));
    return true;
}

// ---- Firmware, partition and disks -------------------------------------------------------------

int CAttributeCollectorWin::getBIOSSerialNumber(std::list<CAttribute>& attributes) {
    Columns columns;
    Rows rows;
    int result = m_wmi.RunWMIQuery(L"SELECT SerialNumber FROM Win32_BIOS", columns, rows);
    if (result != TAVO_OK) {
        TAVO_LOG(eLogError, false, "Failed to run WMI query to get BIOS serial number.");
        return result;
    }
    const WMIValue* value = firstValue(rows);
    if (value == nullptr) {
        TAVO_LOG(eLogError, false, "Empty list returned by WMI for BIOS serial number.");
        return TAVO_INVALID_ARGUMENT;
    }
    // A serial that the code page cannot narrow comes back empty, and an empty one does not encode.
    std::string serial = WStringToAnsiString(value->m_strText);
    std::string encoded;
    if (Base64Encode(serial, encoded) != TAVO_OK) {
        TAVO_LOG(eLogError, false, "Failed to encode BIOS serial number.");
        return TAVO_FAIL;
    }
    TAVO_LOG(eLogDebug, false, "Successfully encoded BIOS serial number %s. Encoded Value: %s", serial.c_str(),
             encoded.c_str());
    attributes.emplace_back("serial_number", eAttrString, encoded);
    return TAVO_OK;
}

int CAttributeCollectorWin::getBIOSUUID(std::list<CAttribute>& attributes) {
    Columns columns;
    Rows rows;
    int result = m_wmi.RunWMIQuery(L"SELECT UUID FROM Win32_ComputerSystemProduct", columns, rows);
    if (result != TAVO_OK) {
        TAVO_LOG(eLogError, false, "Failed to run WMI query to get UUID");
        return result;
    }
    const WMIValue* value = firstValue(rows);
    if (value == nullptr) {
        TAVO_LOG(eLogError, false, "Empty list returned by WMI for UUID.");
        return TAVO_INVALID_ARGUMENT;
    }
    std::string uuid = WStringToString(value->m_strText);
    TAVO_LOG(eLogDebug, false, "BIOS UUID: %s", uuid.c_str());
    attributes.emplace_back("uuid", eAttrString, uuid);
    return TAVO_OK;
}

int CAttributeCollectorWin::getPartitionID(std::list<CAttribute>& attributes) {
    Columns columns;
    Rows rows;
    int result = m_wmi.RunWMIQuery(L"SELECT SystemDrive FROM Win32_OperatingSystem", columns, rows);
    if (result != TAVO_OK) {
        TAVO_LOG(eLogError, false, "Failed to run WMI query to get System Drive.");
        return result;
    }
    const WMIValue* value = firstValue(rows);
    if (value == nullptr) {
        TAVO_LOG(eLogError, false, "List from WMI was empty while fetching System Drive.");
        return TAVO_INVALID_ARGUMENT;
    }
    std::wstring drive = value->m_strText;
    columns.clear();
    rows.clear();

    result = m_wmi.RunWMIQuery(L"SELECT DeviceID FROM Win32_Volume WHERE DriveLetter='" + drive + L"'", columns, rows);
    if (result != TAVO_OK) {
        TAVO_LOG(eLogError, false, "Failed to run WMI query to get Partition ID.");
        return result;
    }
    value = firstValue(rows);
    if (value == nullptr) {
        TAVO_LOG(eLogError, false, "List from WMI was empty while fetching Partition ID.");
        return TAVO_INVALID_ARGUMENT;
    }
    std::string deviceId = WStringToString(value->m_strText);
    size_t open = deviceId.find('{');
    size_t close = open == std::string::npos ? std::string::npos : deviceId.find('}', open + 1);
    if (close == std::string::npos) {
        TAVO_LOG(eLogError, false, "Malformed Partition ID retrieved");
        return TAVO_INVALID_ARGUMENT;
    }
    std::string partitionId = deviceId.substr(open + 1, close - open - 1);
    TAVO_LOG(eLogDebug, false, "Partition ID: %s", partitionId.c_str());
    attributes.emplace_back("partition_id", eAttrString, partitionId);
    return TAVO_OK;
}

int CAttributeCollectorWin::getDiskInfo(std::list<CAttribute>& attributes) {
    Columns columns;
    Rows rows;
    int result = m_wmi.RunWMIQuery(L"SELECT SerialNumber, MediaType FROM Win32_DiskDrive", columns, rows);
    if (result != TAVO_OK) {
        TAVO_LOG(eLogError, false, "Failed to run WMI query to get Disk info.");
        return result;
    }
    if (rows.empty()) {
        TAVO_LOG(eLogError, false, "List from WMI was empty while fetching Disk info.");
        return TAVO_INVALID_ARGUMENT;
    }

    std::list<CAttribute> disks;
    for (const auto& row : rows) {
        std::list<CAttribute> members;
        bool dropped = false;
        auto value = row.begin();
        for (auto column = columns.begin(); column != columns.end() && value != row.end() && !dropped;
             ++column, ++value) {
            std::string text = WStringToAnsiString(value->m_strText);
            std::string name = WStringToString(*column);
            if (name == "SerialNumber") {
                TAVO_LOG(eLogDebug, false, "Serial Number of disk: %s", text.c_str());
                std::string encoded;
                if (text.empty()) {
                    dropped = true;
                } else if (Base64Encode(text, encoded) != TAVO_OK) {
                    TAVO_LOG(eLogError, false, "Failed to encode Disk serial number.");
                    dropped = true;
                } else {
                    TAVO_LOG(eLogDebug, false, "Successfully encoded Disk serial number %s. Encoded Value: %s",
                             text.c_str(), encoded.c_str());
                    members.emplace_back("serial_number", eAttrString, encoded);
                }
            } else if (name == "MediaType") {
                const char* internal = text.find("Fixed") != std::string::npos      ? "true"
                                       : text.find("External") != std::string::npos  ? "false"
                                       : text.find("Removable") != std::string::npos ? "false"
                                                                                     : nullptr;
                if (internal != nullptr) {
                    members.emplace_back("internal", eAttrBool, internal);
                }
            }
        }
        if (!dropped && !members.empty()) {
            disks.emplace_back("", eAttrObject, shared(members));
        }
    }
    if (!disks.empty()) {
        attributes.emplace_back("disk_list", eAttrObjectArray, shared(disks));
    }
    return TAVO_OK;
}

// ---- Operating system, host and virtual machine -----------------------------------------------

int CAttributeCollectorWin::getOSDetails(std::list<CAttribute>& attributes) {
    Columns columns;
    Rows rows;
    int result = m_wmi.RunWMIQuery(
        L"SELECT Version, OSArchitecture, BuildNumber, Caption, OSProductSuite, ProductType FROM Win32_OperatingSystem",
        columns, rows);
    if (result != TAVO_OK) {
        TAVO_LOG(eLogError, false, "Failed to run WMI query to get OS Details.");
        return result;
    }
    if (firstValue(rows) == nullptr) {
        TAVO_LOG(eLogError, false, "Empty list returned by WMI for OS Details.");
        return TAVO_INVALID_ARGUMENT;
    }

    // The attributes follow the columns in the order the query delivers them.
    auto value = rows.front().begin();
    for (auto column = columns.begin(); column != columns.end() && value != rows.front().end(); ++column, ++value) {
        std::string name = WStringToString(*column);
        std::string text = WStringToString(value->m_strText);
        if (name == "BuildNumber") {
            attributes.emplace_back("build", eAttrString, text);
        } else if (name == "OSArchitecture") {
            attributes.emplace_back("arch", eAttrString, text);
        } else if (name == "Caption") {
            Trim(text);
            attributes.emplace_back("name", eAttrString, text);
        } else if (name == "OSProductSuite") {
            attributes.emplace_back("suite", eAttrString, text);
        } else if (name == "ProductType") {
            attributes.emplace_back("product_type", eAttrString, text);
        } else if (name == "Version") {
            std::string major;
            std::string minor;
            size_t dot = text.find('.');
            if (dot != std::string::npos) {
                major = text.substr(0, dot);
                size_t next = text.find('.', dot + 1);
                minor = text.substr(dot + 1, next == std::string::npos ? std::string::npos : next - dot - 1);
            }
            attributes.emplace_back("major", eAttrString, major);
            attributes.emplace_back("minor", eAttrString, minor);
        }
    }
    return TAVO_OK;
}

int CAttributeCollectorWin::getFQDNComponents(std::list<CAttribute>& attributes) {
    Columns columns;
    Rows rows;
    int result = m_wmi.RunWMIQuery(L"SELECT DNSHostName, Domain FROM Win32_ComputerSystem", columns, rows);
    if (result != TAVO_OK) {
        TAVO_LOG(eLogError, false, "Failed to run WMI query to get FQDN Components.");
        return result;
    }
    if (firstValue(rows) == nullptr) {
        TAVO_LOG(eLogError, false, "Empty list returned by WMI for FQDN Components.");
        return TAVO_INVALID_ARGUMENT;
    }

    auto value = rows.front().begin();
    for (auto column = columns.begin(); column != columns.end() && value != rows.front().end(); ++column, ++value) {
        std::string name = WStringToString(*column);
        if (name == "DNSHostName") {
            attributes.emplace_back("hostname", eAttrString, WStringToString(value->m_strText));
        } else if (name == "Domain") {
            attributes.emplace_back("domainname", eAttrString, WStringToString(value->m_strText));
        }
    }
    return TAVO_OK;
}

int CAttributeCollectorWin::getIsVirtualMachine(std::list<CAttribute>& attributes) {
    static const std::list<std::string> s_virtualModelMarkers = {"vmware", "virtual"};
    auto hasMarker = [](const WMIValue& model) {
        std::string text = lowerCase(WStringToString(model.m_strText));
        for (const std::string& marker : s_virtualModelMarkers) {
            if (text.find(marker) != std::string::npos) {
                return true;
            }
        }
        return false;
    };

    Columns columns;
    Rows rows;
    int result = m_wmi.RunWMIQuery(L"SELECT Model FROM Win32_ComputerSystem", columns, rows);
    if (result != TAVO_OK) {
        TAVO_LOG(eLogError, false, "Failed to run WMI query to get System Model");
        return result;
    }
    const WMIValue* model = firstValue(rows);
    if (model == nullptr) {
        TAVO_LOG(eLogError, false, "Empty list returned by WMI for System Model.");
        return TAVO_ERROR;
    }
    bool isVirtual = hasMarker(*model);

    if (!isVirtual) {
        // Only the first disk that WMI lists is looked at.
        columns.clear();
        rows.clear();
        result = m_wmi.RunWMIQuery(L"SELECT Model FROM Win32_DiskDrive", columns, rows);
        if (result != TAVO_OK) {
            TAVO_LOG(eLogError, false, "Failed to run WMI query to get Disk Drive Model");
            return result;
        }
        model = firstValue(rows);
        if (model == nullptr) {
            TAVO_LOG(eLogError, false, "Empty list returned by WMI for Disk Drive Model.");
            return TAVO_ERROR;
        }
        isVirtual = hasMarker(*model);
    }
    attributes.emplace_back("is_virtual", eAttrBool, isVirtual ? "true" : "false");
    return TAVO_OK;
}

// ---- Network adapters --------------------------------------------------------------------------

int getAdaptersAddrs(ULONG family, IP_ADAPTER_ADDRESSES** buffer, ULONG flags) {
    *buffer = nullptr;
    ULONG size = kAdapterBufferSize;
    auto* block = static_cast<IP_ADAPTER_ADDRESSES*>(malloc(size));
    if (block == nullptr) {
        TAVO_LOG(eLogError, false, "Malloc failed");
        return TAVO_FAIL;
    }
    for (int call = 1;; ++call) {
        ULONG result = GetAdaptersAddresses(family, flags, nullptr, block, &size);
        if (result == NO_ERROR) {
            *buffer = block;
            return TAVO_OK;
        }
        if (result != ERROR_BUFFER_OVERFLOW) {
            TAVO_LOG(eLogError, false, "GetAdaptersAddresses failed");
            free(block);
            return TAVO_FAIL;
        }
        // A list that keeps growing gets only so many tries.
        if (call == kAdapterCalls) {
            free(block);
            return TAVO_FAIL;
        }
        auto* larger = static_cast<IP_ADAPTER_ADDRESSES*>(realloc(block, size));
        if (larger == nullptr) {
            TAVO_LOG(eLogError, false, "Realloc failed");
            free(block);
            return TAVO_FAIL;
        }
        block = larger;
    }
}

int CAttributeCollectorWin::getAdapterList(std::list<CAttribute>& attributes) {
    IP_ADAPTER_ADDRESSES* buffer = nullptr;
    if (getAdaptersAddrs(AF_UNSPEC, &buffer, GAA_FLAG_INCLUDE_PREFIX) != TAVO_OK) {
        return TAVO_FAIL;
    }
    std::unique_ptr<IP_ADAPTER_ADDRESSES, decltype(&free)> owner(buffer, &free);
    getAdapterList(owner.get(), attributes);
    return TAVO_OK;
}

void CAttributeCollectorWin::getAdapterList(const IP_ADAPTER_ADDRESSES* adapters,
                                            std::list<CAttribute>& attributes) {
    std::list<CAttribute> reported;
    for (const IP_ADAPTER_ADDRESSES* adapter = adapters; adapter != nullptr; adapter = adapter->Next) {
        if (adapter->IfType == IF_TYPE_SOFTWARE_LOOPBACK || adapter->PhysicalAddressLength == 0) {
            continue;
        }
        std::list<CAttribute> members;

        std::string mac;
        FormatHexBytes(adapter->PhysicalAddress, adapter->PhysicalAddressLength, mac);
        TAVO_LOG(eLogDebug, false, "Adapter MAC Address : %s", mac.c_str());
        members.emplace_back("mac", eAttrString, mac);

        const char* active = adapter->OperStatus == IfOperStatusUp ? "true" : "false";
        TAVO_LOG(eLogDebug, false, "Adapter status , IsActive : %s", active);
        members.emplace_back("active", eAttrBool, active);

        if (adapter->Description != nullptr) {
            std::string name = WStringToString(adapter->Description);
            TAVO_LOG(eLogDebug, false, "Adapter Name: %s", name.c_str());
            members.emplace_back("name", eAttrString, name);
        }

        bool ipv4Taken = false;
        std::list<std::string> ipv6;
        for (const IP_ADAPTER_UNICAST_ADDRESS* unicast = adapter->FirstUnicastAddress; unicast != nullptr;
             unicast = unicast->Next) {
            std::string text;
            if (unicast->Address.lpSockaddr == nullptr || !addressText(unicast->Address, text)) {
                continue;
            }
            std::string prefix = "/" + std::to_string(unicast->OnLinkPrefixLength);
            if (unicast->Address.lpSockaddr->sa_family == AF_INET && !ipv4Taken) {
                // A link-local address is passed over; a later address of the adapter may still serve.
                if (text.compare(0, 7, "169.254") != 0) {
                    std::string ipv4 = text + prefix;
                    TAVO_LOG(eLogDebug, false, "Adapter Ipv4 Address: %s", ipv4.c_str());
                    members.emplace_back("ipv4", eAttrString, ipv4);
                    ipv4Taken = true;
                }
            } else if (unicast->Address.lpSockaddr->sa_family == AF_INET6) {
                std::string address = text.substr(0, text.find('%')) + prefix;
                TAVO_LOG(eLogDebug, false, "Adapter Ipv6 Address: %s", address.c_str());
                ipv6.push_back(address);
            }
        }
        if (!ipv6.empty()) {
            members.emplace_back("ipv6", eAttrStringArray, ipv6);
        }
        reported.emplace_back("", eAttrObject, shared(members));
    }
    if (!reported.empty()) {
        attributes.emplace_back("adapters", eAttrObjectArray, shared(reported));
    }
}

}  // namespace tavo
