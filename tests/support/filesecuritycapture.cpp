#include "tests/support/filesecuritycapture.h"

#include <aclapi.h>

#include <mutex>

#include "common/tavopath.h"

namespace tavo::test {

namespace {

using CreateFileWFunction = HANDLE(WINAPI*)(LPCWSTR, DWORD, DWORD, LPSECURITY_ATTRIBUTES, DWORD, DWORD, HANDLE);
using SetNamedSecurityInfoWFunction = DWORD(WINAPI*)(LPWSTR, SE_OBJECT_TYPE, SECURITY_INFORMATION, PSID, PSID, PACL,
                                                     PACL);

std::mutex g_lock;
std::vector<FileSecurityCapture::Call> g_created;
std::vector<FileSecurityCapture::Call> g_applied;
std::string g_refusedSuffix;
DWORD g_refusal = ERROR_SUCCESS;

// The system's own functions, which each replacement hands its call to.
template <typename Function>
Function systemFunction(const wchar_t* module, const char* name) {
    return reinterpret_cast<Function>(reinterpret_cast<void (*)()>(GetProcAddress(GetModuleHandleW(module), name)));
}

const CreateFileWFunction g_createFile = systemFunction<CreateFileWFunction>(L"kernel32.dll", "CreateFileW");
const SetNamedSecurityInfoWFunction g_setNamedSecurityInfo =
    systemFunction<SetNamedSecurityInfoWFunction>(L"advapi32.dll", "SetNamedSecurityInfoW");

bool endsWith(const std::string& text, const std::string& suffix) {
    return text.size() >= suffix.size() && text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0;
}

std::string pathText(const wchar_t* path) {
    return path != nullptr ? WStringToString(path) : std::string();
}

HANDLE WINAPI capturingCreateFileW(LPCWSTR path, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES security,
                                   DWORD disposition, DWORD attributes, HANDLE templateFile) {
    FileSecurityCapture::Call call;
    call.path = pathText(path);
    call.disposition = disposition;
    call.list = DescribeDescriptor(security != nullptr ? security->lpSecurityDescriptor : nullptr);
    {
        const std::lock_guard<std::mutex> guard(g_lock);
        g_created.push_back(call);
    }
    return g_createFile(path, access, share, security, disposition, attributes, templateFile);
}

DWORD WINAPI capturingSetNamedSecurityInfoW(LPWSTR path, SE_OBJECT_TYPE type, SECURITY_INFORMATION information,
                                            PSID owner, PSID group, PACL dacl, PACL sacl) {
    FileSecurityCapture::Call call;
    call.path = pathText(path);
    call.information = information;
    call.ownerGroupOrSacl = owner != nullptr || group != nullptr || sacl != nullptr;
    call.list = DescribeAccessList(dacl, (information & PROTECTED_DACL_SECURITY_INFORMATION) != 0);
    {
        const std::lock_guard<std::mutex> guard(g_lock);
        g_applied.push_back(call);
        if (g_refusal != ERROR_SUCCESS && endsWith(call.path, g_refusedSuffix)) {
            return g_refusal;
        }
    }
    return g_setNamedSecurityInfo(path, type, information, owner, group, dacl, sacl);
}

std::vector<FileSecurityCapture::Call> endingWith(const std::vector<FileSecurityCapture::Call>& calls,
                                                  const std::string& suffix) {
    std::vector<FileSecurityCapture::Call> found;
    for (const FileSecurityCapture::Call& call : calls) {
        if (endsWith(call.path, suffix)) {
            found.push_back(call);
        }
    }
    return found;
}

}  // namespace

FileSecurityCapture::FileSecurityCapture()
    : m_createFile("kernel32.dll", "CreateFileW", reinterpret_cast<const void*>(&capturingCreateFileW)),
      m_setNamedSecurityInfo("advapi32.dll", "SetNamedSecurityInfoW",
                             reinterpret_cast<const void*>(&capturingSetNamedSecurityInfoW)) {}

FileSecurityCapture::~FileSecurityCapture() {
    const std::lock_guard<std::mutex> guard(g_lock);
    g_created.clear();
    g_applied.clear();
    g_refusal = ERROR_SUCCESS;
}

std::vector<FileSecurityCapture::Call> FileSecurityCapture::created(const std::string& suffix) const {
    const std::lock_guard<std::mutex> guard(g_lock);
    return endingWith(g_created, suffix);
}

std::vector<FileSecurityCapture::Call> FileSecurityCapture::applied(const std::string& suffix) const {
    const std::lock_guard<std::mutex> guard(g_lock);
    return endingWith(g_applied, suffix);
}

void FileSecurityCapture::refuseApplications(const std::string& suffix, DWORD error) {
    const std::lock_guard<std::mutex> guard(g_lock);
    g_refusedSuffix = suffix;
    g_refusal = error;
}

}  // namespace tavo::test
