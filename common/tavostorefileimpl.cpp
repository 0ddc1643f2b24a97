#include "common/tavostorefileimpl.h"

#include <windows.h>

#include <aclapi.h>

#include <climits>
#include <memory>
#include <stdexcept>

#include "cJSON.h"
#include "common/filelock.h"
#include "common/scopedhandle.h"
#include "common/storesecurity.h"
#include "common/tavopath.h"
#include "common/tavostatus.h"
#include "logging/tavolog.h"

namespace tavo {

namespace {

// Set by the first access list applied in this process; never reset.
bool s_bPermissionSet = false;

using JsonTree = std::unique_ptr<cJSON, decltype(&cJSON_Delete)>;

struct JsonTextFree {
    void operator()(char* text) const { cJSON_free(text); }
};
using JsonText = std::unique_ptr<char, JsonTextFree>;

// Other processes may read, write and replace the file while it is open here.
constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

// The store is a few hundred bytes; anything near this size cannot be held anyway.
constexpr LONGLONG kMaxFileLength = INT_MAX;

// A write that finds the store file held open without delete sharing (a virus scanner, a backup
// agent) tries the rename again this often, this far apart: about a second in all.
constexpr int kReplaceAttempts = 6;
constexpr DWORD kReplaceRetryDelayMs = 200;

// Opens the file for reading and appending: creates it empty when missing, with the given security
// (none: the folder's inherited entries), and never truncates it. An existing file keeps its own.
// True when this call made the file.
bool createIfMissing(const std::string& path, SECURITY_ATTRIBUTES* security) {
    ScopedHandle file(CreateFileW(StringToWString(path).c_str(), GENERIC_READ | FILE_APPEND_DATA, kShareAll, security,
                                  OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    return file.valid() && GetLastError() != ERROR_ALREADY_EXISTS;
}

bool isNotFound(DWORD error) {
    return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
}

// 0 when the file exists, else the system's error for the query.
DWORD queryFileError(const std::string& path) {
    return GetFileAttributesW(StringToWString(path).c_str()) != INVALID_FILE_ATTRIBUTES ? 0 : GetLastError();
}

enum class ReadStatus { kOk, kNoMemory, kReadFailed };

// The whole content of an open file, as many bytes as the reads delivered. On kReadFailed the
// thread's last error tells why.
ReadStatus readWholeFile(HANDLE file, std::string& text, LONGLONG& length) {
    text.clear();
    LARGE_INTEGER size;
    if (!GetFileSizeEx(file, &size)) {
        return ReadStatus::kReadFailed;
    }
    length = size.QuadPart;
    if (length == 0) {
        return ReadStatus::kOk;
    }
    if (length > kMaxFileLength) {
        return ReadStatus::kNoMemory;
    }
    try {
        text.resize(static_cast<size_t>(length));
    } catch (const std::exception&) {
        return ReadStatus::kNoMemory;
    }
    size_t total = 0;
    while (total < text.size()) {
        DWORD got = 0;
        if (!ReadFile(file, &text[total], static_cast<DWORD>(text.size() - total), &got, nullptr)) {
            return ReadStatus::kReadFailed;
        }
        if (got == 0) {
            break;
        }
        total += got;
    }
    text.resize(total);
    return ReadStatus::kOk;
}

HANDLE openForReading(const std::string& path) {
    return CreateFileW(StringToWString(path).c_str(), GENERIC_READ, kShareAll, nullptr, OPEN_EXISTING,
                       FILE_ATTRIBUTE_NORMAL, nullptr);
}

// The system's text for a lock file's error, without its line end.
std::string lockErrorText(DWORD error) {
    char* text = nullptr;
    if (!FormatMessageA(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                        nullptr, error, MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT), reinterpret_cast<char*>(&text), 0,
                        nullptr)) {
        return "WinApi FormatMessage returned error";
    }
    std::string message = text;
    LocalFree(text);
    message.erase(message.find_last_not_of("\r\n") + 1);
    return message;
}

// The store file is text: every line feed reaches the disk as CR LF.
std::string withCrLf(const std::string& text) {
    std::string out;
    out.reserve(text.size() + text.size() / 16);
    for (char c : text) {
        if (c == '\n') {
            out += '\r';
        }
        out += c;
    }
    return out;
}

bool addString(cJSON* object, const std::string& key, const std::string& value) {
    cJSON* item = cJSON_CreateString(value.c_str());
    if (item == nullptr) {
        return false;
    }
    if (!cJSON_AddItemToObject(object, key.c_str(), item)) {
        cJSON_Delete(item);
        return false;
    }
    return true;
}

// Creates the file that takes the store's next text, with the store's access list from its first
// instant: the token is never in a file that the folder's inherited entries let others read. A
// companion left by a killed writer is removed first, since opening it would keep its access list.
HANDLE createCompanion(const std::wstring& path) {
    StoreSecurityAttributes security;
    if (security.get() == nullptr) {
        return INVALID_HANDLE_VALUE;
    }
    DeleteFileW(path.c_str());
    return CreateFileW(path.c_str(), GENERIC_WRITE, 0, security.get(), CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
}

bool writeAll(HANDLE file, const std::string& bytes) {
    DWORD written = 0;
    return WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) &&
           written == bytes.size();
}

}  // namespace

int CTAVOStoreFileImpl::Initialize(const std::string& path) {
    m_strFilePath = path;
    m_strLockFilePath = path + ".lck";
    // Only those who may read the store may lock it: whoever can open the lock file can hold its
    // lock for good and stall every access. A new lock file has the list from its first instant
    // (without the list none is made); one found here, made by an earlier build with the folder's
    // inherited entries, is given it now.
    StoreSecurityAttributes security;
    if (security.get() != nullptr && createIfMissing(m_strLockFilePath, security.get())) {
        return TAVO_OK;
    }
    if (SetFilePermission(m_strLockFilePath) != TAVO_OK) {
        TAVO_LOG(eLogWarning, false, "Unable to set necessary permissions on lock file [%s]",
                 m_strLockFilePath.c_str());
    }
    return TAVO_OK;
}

int CTAVOStoreFileImpl::ReadKeyValue(const std::string& key, std::string& value) {
    value.clear();
    if (m_strFilePath.empty()) {
        TAVO_LOG(eLogError, false, "CTAVOStoreFileImpl not Initialized");
        return TAVO_ERROR;
    }

    std::string text;
    {
        const FileLock shared(StringToWString(m_strLockFilePath), FileLock::Mode::kShared);
        if (shared.error() != 0) {
            TAVO_LOG(eLogError, false, "Unexpected Exception [%s] ", lockErrorText(shared.error()).c_str());
            return TAVO_FAIL;
        }
        ScopedHandle file(openForReading(m_strFilePath));
        if (!file.valid()) {
            TAVO_LOG(eLogWarning, false, "Couldn't open file : %s to read", m_strFilePath.c_str());
            return TAVO_FAIL;
        }
        LONGLONG length = 0;
        const ReadStatus status = readWholeFile(file.get(), text, length);
        if (status == ReadStatus::kReadFailed) {
            TAVO_LOG(eLogError, true, "Fatal error - could not read file [%s]", m_strFilePath.c_str());
            return TAVO_FAIL;
        }
        if (length == 0) {
            TAVO_LOG(eLogError, false, "File [%s] Size is zero", m_strFilePath.c_str());
            return TAVO_FAIL;
        }
        if (status == ReadStatus::kNoMemory) {
            TAVO_LOG(eLogError, false, "Fatal error - could not allocate memory of len(%lld)", length);
            return TAVO_FAIL;
        }
    }

    // The lock is released: parsing needs no lock.
    return readJSONKeyValueString(text, key, value) ? TAVO_OK : TAVO_FAIL;
}

int CTAVOStoreFileImpl::WriteKeyValue(const std::string& key, const std::string& value) {
    if (m_strFilePath.empty()) {
        TAVO_LOG(eLogError, false, "CTAVOStoreFileImpl not Initialized");
        return TAVO_ERROR;
    }

    // The exclusive lock covers everything from applying the access list through replacing the file:
    // no other writer can slip its change in between or be overwritten, and the access list is never
    // applied while another process is replacing the file.
    const FileLock exclusive(StringToWString(m_strLockFilePath), FileLock::Mode::kExclusive);
    if (exclusive.error() != 0) {
        TAVO_LOG(eLogError, false, "Unexpected Exception [%s] ", lockErrorText(exclusive.error()).c_str());
        return TAVO_ERROR;
    }

    // The access list is applied once per process, and again whenever the store file has gone.
    bool applyAccessList = !s_bPermissionSet;
    if (!applyAccessList) {
        const DWORD queryError = queryFileError(m_strFilePath);
        if (queryError != 0 && !isNotFound(queryError)) {
            TAVO_LOG(eLogError, false, "Couldn't query file [%s] error [%lu]", m_strFilePath.c_str(),
                     static_cast<unsigned long>(queryError));
            return TAVO_ERROR;
        }
        applyAccessList = queryError != 0;
    }
    if (applyAccessList) {
        createIfMissing(m_strFilePath, nullptr);
        if (SetFilePermission(m_strFilePath) != TAVO_OK) {
            TAVO_LOG(eLogError, false, "Unable to set necessary permissions on tavostore file.");
            return TAVO_ERROR;
        }
        s_bPermissionSet = true;
    }

    std::string text;
    {
        ScopedHandle file(openForReading(m_strFilePath));
        if (!file.valid()) {
            TAVO_LOG(eLogError, false, "Fatal error - could not open file for reading");
            return TAVO_ERROR;
        }
        LONGLONG length = 0;
        const ReadStatus status = readWholeFile(file.get(), text, length);
        if (status == ReadStatus::kReadFailed) {
            TAVO_LOG(eLogError, true, "Fatal error - could not read file [%s]", m_strFilePath.c_str());
            return TAVO_ERROR;
        }
        if (status == ReadStatus::kNoMemory) {
            TAVO_LOG(eLogError, false, "Fatal error - could not allocate memory of len(%lld)", length);
            return TAVO_ERROR;
        }
    }
    if (!insertOrUpdateJSONKeyValueString(key, value, text)) {
        return TAVO_ERROR;
    }

    // The new text is complete on disk in a companion file before one rename puts it in place:
    // a writer ended at any instant leaves the store with its old text or its new one.
    const std::wstring storePath = StringToWString(m_strFilePath);
    const std::wstring companionPath = StringToWString(m_strFilePath + ".tmp");
    ScopedHandle companion(createCompanion(companionPath));
    if (!companion.valid()) {
        TAVO_LOG(eLogError, false, "Fatal error - could not open file for writing");
        return TAVO_ERROR;
    }
    if (!writeAll(companion.get(), withCrLf(text)) || !FlushFileBuffers(companion.get())) {
        TAVO_LOG(eLogError, true, "Fatal error - could not write file [%s.tmp]", m_strFilePath.c_str());
        companion.reset();
        DeleteFileW(companionPath.c_str());
        return TAVO_ERROR;
    }
    companion.reset();
    // A file held open without delete sharing cannot be replaced; the holder is usually gone in a
    // moment, and the identity just received must not be lost to it.
    for (int attempt = 1;
         !MoveFileExW(companionPath.c_str(), storePath.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH);
         ++attempt) {
        const DWORD error = GetLastError();
        if (attempt == kReplaceAttempts || (error != ERROR_SHARING_VIOLATION && error != ERROR_ACCESS_DENIED)) {
            TAVO_LOG(eLogError, true, "Fatal error - could not move [%s.tmp] to [%s]", m_strFilePath.c_str(),
                     m_strFilePath.c_str());
            DeleteFileW(companionPath.c_str());
            return TAVO_ERROR;
        }
        if (attempt == 1) {
            TAVO_LOG(eLogWarning, true, "File [%s] is in use, trying again to replace it", m_strFilePath.c_str());
        }
        Sleep(kReplaceRetryDelayMs);
    }
    return TAVO_OK;
}

bool CTAVOStoreFileImpl::insertOrUpdateJSONKeyValueString(const std::string& key, const std::string& value,
                                                          std::string& json) {
    JsonTree root(nullptr, cJSON_Delete);
    if (json.empty()) {
        TAVO_LOG(eLogDebug, false, "Creating new Store");
        root.reset(cJSON_CreateObject());
        if (!root) {
            TAVO_LOG(eLogError, false, "Failed to Create String Json when creating JSON object tree");
            return false;
        }
        if (!addString(root.get(), key, value)) {
            TAVO_LOG(eLogError, false, "Failed to Create String Json");
            return false;
        }
        return serializeJson(root.get(), json);
    }

    // Text that is not an object (an array, a bare value) is not a store: a member added to it would
    // not be printed, and the write would report a value that was never stored.
    root.reset(cJSON_Parse(json.c_str()));
    if (!root || !cJSON_IsObject(root.get())) {
        TAVO_LOG(eLogError, false, "Couldn't parse json to write: [%s]", key.c_str());
        return false;
    }
    cJSON* member = cJSON_GetObjectItem(root.get(), key.c_str());
    if (member != nullptr) {
        if (!cJSON_IsString(member)) {
            TAVO_LOG(eLogError, false, "Invalid type [%d] of value for key[%s]", member->type, key.c_str());
            return false;
        }
        cJSON* item = cJSON_CreateString(value.c_str());
        if (item == nullptr || !cJSON_ReplaceItemInObject(root.get(), key.c_str(), item)) {
            cJSON_Delete(item);
            TAVO_LOG(eLogError, false, "Failed to Create String Json while replacing");
            return false;
        }
        TAVO_LOG(eLogDebug, false, "Parsed JSON to Update value for key[%s]", key.c_str());
    } else {
        TAVO_LOG(eLogDebug, false, "Adding key-value");
        if (!addString(root.get(), key, value)) {
            TAVO_LOG(eLogError, false, "Failed to Create String Json");
            return false;
        }
        TAVO_LOG(eLogDebug, false, "Parsed JSON to Insert value for key[%s]", key.c_str());
    }
    return serializeJson(root.get(), json);
}

bool CTAVOStoreFileImpl::readJSONKeyValueString(const std::string& json, const std::string& key, std::string& value) {
    value.clear();
    JsonTree root(cJSON_Parse(json.c_str()), cJSON_Delete);
    if (!root) {
        TAVO_LOG(eLogError, false, "Couldn't parse json to read: %s", key.c_str());
        return false;
    }
    const char* text = cJSON_GetStringValue(cJSON_GetObjectItem(root.get(), key.c_str()));
    if (text == nullptr) {
        TAVO_LOG(eLogWarning, false, "Couldn't get the key : %s", key.c_str());
        return false;
    }
    value = text;
    TAVO_LOG(eLogDebug, false, "Parsed JSON to Read value for key[%s]", key.c_str());
    return true;
}

bool CTAVOStoreFileImpl::serializeJson(cJSON* root, std::string& out) {
    out.clear();
    JsonText text(cJSON_Print(root));
    if (!text) {
        TAVO_LOG(eLogError, false, "Failed to allocate memory to serialize");
        return false;
    }
    out = text.get();
    return true;
}

int SetFilePermission(const std::string& path) {
    Sid administrators;
    Sid localSystem;
    if (!AllocateStoreSids(administrators, localSystem)) {
        TAVO_LOG(eLogError, true, "AllocateAndInitializeSid Error");
        return TAVO_ERROR;
    }
    PACL acl = nullptr;
    const DWORD aclResult = BuildStoreAcl(administrators, localSystem, &acl);
    if (aclResult != ERROR_SUCCESS) {
        TAVO_LOG(eLogError, false, "Error: %d while setting new ACLs\n", static_cast<int>(aclResult));
        return TAVO_ERROR;
    }

    int status = TAVO_ERROR;
    if (!IsValidAcl(acl)) {
        TAVO_LOG(eLogError, false, "Error : Invalid ACL:\n");
    } else {
        std::wstring target = StringToWString(path);
        const DWORD result = SetNamedSecurityInfoW(&target[0], SE_FILE_OBJECT,
                                                   DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION,
                                                   nullptr, nullptr, acl, nullptr);
        if (result != ERROR_SUCCESS) {
            TAVO_LOG(eLogError, false, "Error: %d while setting named security info\n", static_cast<int>(result));
        } else {
            TAVO_LOG(eLogDebug, false, "Security permissions changed on target file: %s", path.c_str());
            status = TAVO_OK;
        }
    }
    if (LocalFree(acl) != nullptr) {
        TAVO_LOG(eLogWarning, true, "Error Freeing DACL");
    }
    return status;
}

}  // namespace tavo
