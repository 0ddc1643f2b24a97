#include "common/tavopath.h"

#include <cstdio>

#include "common/scopedhandle.h"
#include "common/tavostatus.h"
#include "logging/tavolog.h"

namespace tavo {

namespace {

const wchar_t kTAVORegistryKey[] = L"SOFTWARE\\Ostrel\\Vantor\\Quillmark\\TAVO";
const wchar_t kDataDirValue[] = L"DataDir";
constexpr DWORD kDataDirBufferSize = 4096;

std::wstring s_configDirectory;

}  // namespace

int GetTAVODirectoryPath(std::string& dataDir) {
    wchar_t buffer[kDataDirBufferSize / sizeof(wchar_t)] = {};
    DWORD size = kDataDirBufferSize;
    DWORD type = REG_NONE;
    int result = ReadRegistryValue(HKEY_LOCAL_MACHINE, kTAVORegistryKey, kDataDirValue,
                                   reinterpret_cast<BYTE*>(buffer), &size, &type, true);
    if (result != TAVO_OK || type != REG_SZ) {
        fputs("Failed to get Program Data path\n", stderr);
        return TAVO_FAIL;
    }
    dataDir = WStringToString(std::wstring(buffer, wcsnlen(buffer, sizeof(buffer) / sizeof(buffer[0]))));
    return TAVO_OK;
}

int SetTAVOConfigDirectory(const std::wstring& dir) {
    TAVO_LOG(eLogDebug, false, "TAVO Config file path is [%ls]", dir.c_str());
    s_configDirectory = dir;
    return TAVO_OK;
}

std::wstring GetTAVOConfigDirectory() {
    return s_configDirectory;
}

int ReadRegistryValue(HKEY root, const std::wstring& subKey, const std::wstring& valueName, BYTE* buffer,
                      DWORD* size, DWORD* type, bool view64) {
    if (buffer == nullptr || size == nullptr || *size == 0) {
        return TAVO_INVALID_ARGUMENT;
    }
    ScopedRegKey key;
    REGSAM access = KEY_READ | (view64 ? KEY_WOW64_64KEY : KEY_WOW64_32KEY);
    if (RegOpenKeyExW(root, subKey.c_str(), 0, access, key.receive()) != ERROR_SUCCESS) {
        return TAVO_FAIL;
    }
    DWORD valueType = REG_NONE;
    DWORD dataSize = *size;
    if (RegQueryValueExW(key.get(), valueName.c_str(), nullptr, &valueType, buffer, &dataSize) != ERROR_SUCCESS) {
        return TAVO_FAIL;
    }
    if (type != nullptr) {
        *type = valueType;
    }
    // No room left for a terminating zero.
    if (dataSize == *size) {
        *size = dataSize + 1;
        return TAVO_BUFFER_TOO_SMALL;
    }
    if (valueType == REG_SZ || valueType == REG_EXPAND_SZ || valueType == REG_MULTI_SZ) {
        buffer[dataSize++] = 0;
    }
    *size = dataSize;
    return TAVO_OK;
}

// The registry reports its error as a result, not as the thread's last error; it is made the last
// error so that the log line names the actual cause.
int GetBinaryRegistryKey(const wchar_t* subKey, const wchar_t* valueName, REGSAM access, std::vector<BYTE>& out) {
    out.clear();
    ScopedRegKey key;
    LONG result = RegOpenKeyExW(HKEY_LOCAL_MACHINE, subKey, 0, access, key.receive());
    if (result != ERROR_SUCCESS) {
        SetLastError(static_cast<DWORD>(result));
        TAVO_LOG(eLogError, true, "RegOpenKeyEx failed");
        return TAVO_FAIL;
    }
    DWORD type = REG_NONE;
    DWORD size = 0;
    result = RegQueryValueExW(key.get(), valueName, nullptr, &type, nullptr, &size);
    if (result != ERROR_SUCCESS || type != REG_BINARY) {
        SetLastError(result != ERROR_SUCCESS ? static_cast<DWORD>(result) : ERROR_INVALID_DATA);
        TAVO_LOG(eLogError, true, "QueryBinaryValue failed");
        return TAVO_FAIL;
    }
    if (size == 0) {
        TAVO_LOG(eLogDebug, false, "CRegKey::QueryBinaryValue returned zero value size");
        return TAVO_FAIL;
    }
    std::vector<BYTE> data(size);
    result = RegQueryValueExW(key.get(), valueName, nullptr, &type, data.data(), &size);
    if (result != ERROR_SUCCESS || type != REG_BINARY) {
        SetLastError(result != ERROR_SUCCESS ? static_cast<DWORD>(result) : ERROR_INVALID_DATA);
        TAVO_LOG(eLogError, true, "QueryBinaryValue failed");
        return TAVO_FAIL;
    }
    data.resize(size);
    out = std::move(data);
    return TAVO_OK;
}

namespace {

// One GetComputerNameExW lookup: the needed size first, then the name; empty when it fails.
std::wstring computerName(COMPUTER_NAME_FORMAT format, std::vector<wchar_t>& buffer) {
    DWORD size = 0;
    GetComputerNameExW(format, nullptr, &size);
    buffer.assign(size, L'\0');
    if (size == 0 || !GetComputerNameExW(format, buffer.data(), &size) || buffer[0] == L'\0') {
        return std::wstring();
    }
    return std::wstring(buffer.data(), wcsnlen(buffer.data(), buffer.size()));
}

}  // namespace

int GetHostname(std::string& out) {
    std::vector<wchar_t> buffer;
    std::wstring name = computerName(ComputerNameDnsFullyQualified, buffer);
    if (name.empty()) {
        TAVO_LOG(eLogError, true, "GetComputerNameEx failed to retrieve Fully Qualified DNS Computer Name");
        name = computerName(ComputerNameNetBIOS, buffer);
        if (name.empty()) {
            TAVO_LOG(eLogError, true, "GetComputerNameEx failed to retrieve NetBIOS name");
            return TAVO_FAIL;
        }
    }
    out = WStringToString(name);
    return TAVO_OK;
}

namespace {

std::string narrow(const std::wstring& wide, UINT codePage) {
    if (wide.empty()) {
        return std::string();
    }
    int length = WideCharToMultiByte(codePage, 0, wide.c_str(), -1, nullptr, 0, nullptr, nullptr);
    if (length <= 0) {
        return std::string();
    }
    std::vector<char> buffer(length);
    if (WideCharToMultiByte(codePage, 0, wide.c_str(), -1, buffer.data(), length, nullptr, nullptr) != length) {
        return std::string();
    }
    return std::string(buffer.data());
}

std::wstring widen(const std::string& text, UINT codePage) {
    if (text.empty()) {
        return std::wstring();
    }
    int length = MultiByteToWideChar(codePage, 0, text.c_str(), -1, nullptr, 0);
    if (length <= 0) {
        return std::wstring();
    }
    std::vector<wchar_t> buffer(length);
    if (MultiByteToWideChar(codePage, 0, text.c_str(), -1, buffer.data(), length) != length) {
        return std::wstring();
    }
    return std::wstring(buffer.data());
}

}  // namespace

std::wstring StringToWString(const std::string& utf8) {
    return widen(utf8, CP_UTF8);
}

std::string WStringToString(const std::wstring& wide) {
    return narrow(wide, CP_UTF8);
}

std::string WStringToAnsiString(const std::wstring& wide) {
    return narrow(wide, CP_THREAD_ACP);
}

}  // namespace tavo
