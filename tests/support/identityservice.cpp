#include "tests/support/identityservice.h"

#include <windows.h>

#include <cJSON.h>

#include <algorithm>
#include <cctype>
#include <memory>
#include <mutex>
#include <stdexcept>

namespace tavo::test {

namespace {

struct JsonDelete {
    void operator()(cJSON* json) const { cJSON_Delete(json); }
};
using JsonTree = std::unique_ptr<cJSON, JsonDelete>;

// The Linux path of a Windows path, through Wine's own conversion.
std::string unixPath(std::string windowsPath) {
    using Convert = char*(CDECL*)(LPCWSTR);
    static const Convert convert = reinterpret_cast<Convert>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleA("kernel32.dll"), "wine_get_unix_file_name")));
    if (convert == nullptr) {
        throw std::runtime_error("not running under Wine");
    }
    if (!windowsPath.empty() && windowsPath.back() == '\\') {
        windowsPath.pop_back();
    }
    const std::wstring wide(windowsPath.begin(), windowsPath.end());
    char* converted = convert(wide.c_str());
    if (converted == nullptr) {
        throw std::runtime_error("no Linux path for " + windowsPath);
    }
    std::string result = converted;
    HeapFree(GetProcessHeap(), 0, converted);
    return result;
}

// Runs a Windows program and waits for it; its exit code, or -1.
long runProgram(const std::string& commandLine) {
    STARTUPINFOA startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process = {};
    std::string line = commandLine;
    if (!CreateProcessA(nullptr, &line[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &process)) {
        return -1;
    }
    DWORD code = static_cast<DWORD>(-1);
    if (WaitForSingleObject(process.hProcess, 30000) == WAIT_OBJECT_0) {
        GetExitCodeProcess(process.hProcess, &code);
    }
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return static_cast<long>(code);
}

cJSON* headersToJson(const HeaderList& headers) {
    cJSON* list = cJSON_CreateArray();
    for (const auto& header : headers) {
        cJSON* pair = cJSON_CreateArray();
        cJSON_AddItemToArray(pair, cJSON_CreateString(header.first.c_str()));
        cJSON_AddItemToArray(pair, cJSON_CreateString(header.second.c_str()));
        cJSON_AddItemToArray(list, pair);
    }
    return list;
}

cJSON* answerToJson(const ServiceAnswer& answer) {
    cJSON* object = cJSON_CreateObject();
    cJSON_AddNumberToObject(object, "status", answer.status);
    cJSON_AddItemToObject(object, "headers", headersToJson(answer.headers));
    cJSON_AddStringToObject(object, "body", answer.body.c_str());
    cJSON_AddNumberToObject(object, "delay", answer.delaySeconds);
    if (answer.sendsRaw) {
        cJSON_AddStringToObject(object, "raw", answer.raw.c_str());
    }
    cJSON* interim = cJSON_AddArrayToObject(object, "interim");
    for (const ServiceAnswer& early : answer.interim) {
        cJSON_AddItemToArray(interim, answerToJson(early));
    }
    return object;
}

std::string text(const cJSON* object, const char* name) {
    const cJSON* item = cJSON_GetObjectItemCaseSensitive(object, name);
    return cJSON_IsString(item) ? item->valuestring : std::string();
}

void writeReplacing(const std::string& path, const std::string& bytes) {
    WriteFileBytes(path + ".tmp", bytes);
    MoveFileExA((path + ".tmp").c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING);
}

}  // namespace

std::string ServiceRequest::header(const std::string& name) const {
    for (const auto& field : headers) {
        if (field.first.size() == name.size() &&
            std::equal(name.begin(), name.end(), field.first.begin(),
                       [](char a, char b) { return tolower(static_cast<unsigned char>(a)) == tolower(static_cast<unsigned char>(b)); })) {
            return field.second;
        }
    }
    return std::string();
}

IdentityService::IdentityService(bool untrusted, bool tls13Only) {
    const std::string caDir = ProgramDir() + "testca\\";
    std::string command = "/usr/bin/python3 " + unixPath(ProgramDir() + "identityservice.py") + " --state-dir " +
                          unixPath(m_state.path()) + " --ca-dir " + unixPath(caDir) + " --lifetime 120";
    if (untrusted) {
        command += " --untrusted";
    }
    if (tls13Only) {
        command += " --tls13-only";
    }
    STARTUPINFOA startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process = {};
    if (!CreateProcessA(nullptr, &command[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &process)) {
        throw std::runtime_error("cannot start " + command);
    }
    // For a Linux program Wine fills the handles with whatever its stack held: they are not ours to
    // close. Closing them once closed the process's cached HKEY_CURRENT_USER, and with it libcurl's
    // view of the trusted roots.
    const ULONGLONG deadline = GetTickCount64() + 20000;
    while (!FileExists(m_state.file("port"))) {
        if (GetTickCount64() >= deadline) {
            throw std::runtime_error("identity service did not start: " + ReadFileBytes(m_state.file("server.log")));
        }
        Sleep(20);
    }
    m_port = std::stoi(ReadFileBytes(m_state.file("port")));
    // Once per test process: the CA exists now, and adding it again changes nothing.
    static std::once_flag trusted;
    std::call_once(trusted, [&] {
        if (runProgram("\"" + ProgramDir() + "trustca.exe\" \"" + caDir + "ca.pem\"") != 0) {
            throw std::runtime_error("trustca.exe failed");
        }
    });
}

IdentityService::~IdentityService() {
    WriteFileBytes(m_state.file("stop"), "");
    const ULONGLONG deadline = GetTickCount64() + 5000;
    while (!FileExists(m_state.file("stopped")) && GetTickCount64() < deadline) {
        Sleep(20);
    }
}

std::string IdentityService::url(const std::string& path) const {
    return "https://127.0.0.1:" + std::to_string(m_port) + path;
}

void IdentityService::answer(const std::string& path, const std::vector<ServiceAnswer>& answers) {
    m_answers[path] = answers;
    JsonTree script(cJSON_CreateObject());
    for (const auto& entry : m_answers) {
        cJSON* list = cJSON_AddArrayToObject(script.get(), entry.first.c_str());
        for (const ServiceAnswer& answer : entry.second) {
            cJSON_AddItemToArray(list, answerToJson(answer));
        }
    }
    char* printed = cJSON_PrintUnformatted(script.get());
    writeReplacing(m_state.file("answers.json"), printed);
    cJSON_free(printed);
}

std::vector<ServiceRequest> IdentityService::requests() const {
    std::vector<ServiceRequest> result;
    const std::string log = ReadFileBytes(m_state.file("requests.jsonl"));
    size_t start = 0;
    for (size_t end; (end = log.find('\n', start)) != std::string::npos; start = end + 1) {
        const JsonTree line(cJSON_Parse(log.substr(start, end - start).c_str()));
        if (!line) {
            continue;
        }
        ServiceRequest request;
        request.requestLine = text(line.get(), "request_line");
        request.method = text(line.get(), "method");
        request.path = text(line.get(), "path");
        request.body = text(line.get(), "body");
        const cJSON* headers = cJSON_GetObjectItemCaseSensitive(line.get(), "headers");
        const cJSON* pair = nullptr;
        cJSON_ArrayForEach(pair, headers) {
            request.headers.emplace_back(cJSON_GetArrayItem(pair, 0)->valuestring, cJSON_GetArrayItem(pair, 1)->valuestring);
        }
        result.push_back(request);
    }
    return result;
}

bool IdentityService::waitForRequests(size_t count, unsigned long timeoutMs) const {
    const ULONGLONG deadline = GetTickCount64() + timeoutMs;
    while (requests().size() < count) {
        if (GetTickCount64() >= deadline) {
            return false;
        }
        Sleep(20);
    }
    return true;
}

}  // namespace tavo::test
