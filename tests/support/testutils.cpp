#include "tests/support/testutils.h"

#include <windows.h>

#include <fcntl.h>
#include <io.h>

#include <algorithm>
#include <cstdio>
#include <stdexcept>

#include "common/tavopath.h"

namespace tavo::test {

namespace {

void removeTree(const std::wstring& dir) {
    WIN32_FIND_DATAW data;
    HANDLE find = FindFirstFileW((dir + L"*").c_str(), &data);
    if (find != INVALID_HANDLE_VALUE) {
        do {
            std::wstring name = data.cFileName;
            if (name == L"." || name == L"..") {
                continue;
            }
            std::wstring path = dir + name;
            if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
                removeTree(path + L"\\");
            } else {
                SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
                DeleteFileW(path.c_str());
            }
        } while (FindNextFileW(find, &data));
        FindClose(find);
    }
    RemoveDirectoryW(dir.c_str());
}

std::string tempFolder() {
    wchar_t base[MAX_PATH] = {};
    GetTempPathW(MAX_PATH, base);
    return WStringToString(base);
}

}  // namespace

const char kNonAsciiName[] = "d\xc3\xa4t\xc3\xa4-\xe6\x95\xb0\xe6\x8d\xae";

TempDir::TempDir() {
    const std::string base = tempFolder();
    static unsigned counter = 0;
    for (;;) {
        char name[64];
        snprintf(name, sizeof(name), "tavo-%lu-%lu-%u\\", GetCurrentProcessId(), GetTickCount(), counter++);
        if (CreateDirectoryW(StringToWString(base + name).c_str(), nullptr)) {
            m_path = base + name;
            return;
        }
        if (GetLastError() != ERROR_ALREADY_EXISTS) {
            throw std::runtime_error("cannot create " + base + name);
        }
    }
}

TempDir::~TempDir() {
    removeTree(StringToWString(m_path));
}

std::string TempDir::folder(const std::string& name) const {
    const std::string path = m_path + name + "\\";
    if (!CreateDirectoryW(StringToWString(path).c_str(), nullptr)) {
        throw std::runtime_error("cannot create " + path);
    }
    return path;
}

std::string ReadFileBytes(const std::string& path) {
    FILE* file = _wfopen(StringToWString(path).c_str(), L"rb");
    if (file == nullptr) {
        return std::string();
    }
    std::string bytes;
    char buffer[65536];
    for (size_t got; (got = fread(buffer, 1, sizeof(buffer), file)) > 0;) {
        bytes.append(buffer, got);
    }
    fclose(file);
    return bytes;
}

void WriteFileBytes(const std::string& path, const std::string& bytes) {
    FILE* file = _wfopen(StringToWString(path).c_str(), L"wb");
    if (file == nullptr) {
        return;
    }
    fwrite(bytes.data(), 1, bytes.size(), file);
    fclose(file);
}

bool FileExists(const std::string& path) {
    return GetFileAttributesW(StringToWString(path).c_str()) != INVALID_FILE_ATTRIBUTES;
}

const std::string& ProcessLogPath() {
    static const std::string path = [] {
        wchar_t exePath[MAX_PATH] = {};
        GetModuleFileNameW(nullptr, exePath, MAX_PATH);
        std::string program = WStringToString(exePath);
        program = program.substr(program.find_last_of('\\') + 1);
        program = program.substr(0, program.rfind('.'));
        return tempFolder() + program + "-" + std::to_string(GetCurrentProcessId()) + ".log";
    }();
    return path;
}

LogTail::LogTail() : m_start(ReadFileBytes(ProcessLogPath()).size()) {}

std::string LogTail::text() const {
    return ReadFileBytes(ProcessLogPath()).substr(m_start);
}

size_t LogTail::count(const std::string& line) const {
    const std::vector<std::string> all = lines();
    return static_cast<size_t>(std::count(all.begin(), all.end(), line));
}

std::vector<std::string> LogTail::lines() const {
    return LogLines(text());
}

std::vector<std::string> LogLines(const std::string& text) {
    std::vector<std::string> result;
    size_t start = 0;
    for (size_t end; (end = text.find("\r\n", start)) != std::string::npos; start = end + 2) {
        std::string line = text.substr(start, end - start);
        const size_t function = line.find(" f: ");
        line = function == std::string::npos ? line : line.substr(function + 4);
        if (!line.empty() && line.back() == ' ') {
            line.pop_back();
        }
        result.push_back(line);
    }
    return result;
}

int FindLogLine(const std::vector<std::string>& lines, const std::string& text, int from) {
    for (size_t i = from < 0 ? 0 : static_cast<size_t>(from); i < lines.size(); ++i) {
        if (lines[i].find(text) != std::string::npos) {
            return static_cast<int>(i);
        }
    }
    return -1;
}

bool WaitForLogLine(const std::string& text, unsigned long timeoutMs) {
    const ULONGLONG deadline = GetTickCount64() + timeoutMs;
    for (;;) {
        const std::string bytes = ReadFileBytes(ProcessLogPath());
        const size_t complete = bytes.rfind("\r\n");
        if (complete != std::string::npos && bytes.substr(0, complete).find(text) != std::string::npos) {
            return true;
        }
        if (GetTickCount64() >= deadline) {
            return false;
        }
        Sleep(20);
    }
}

std::string ProgramDir() {
    char path[MAX_PATH] = {};
    GetModuleFileNameA(nullptr, path, MAX_PATH);
    std::string text = path;
    return text.substr(0, text.find_last_of('\\') + 1);
}

StderrCapture::StderrCapture() {
    char base[MAX_PATH] = {};
    GetTempPathA(MAX_PATH, base);
    char name[MAX_PATH] = {};
    GetTempFileNameA(base, "err", 0, name);
    m_file = name;
    fflush(stderr);
    m_savedFd = _dup(_fileno(stderr));
    int fd = _open(m_file.c_str(), _O_WRONLY | _O_TRUNC | _O_BINARY);
    _dup2(fd, _fileno(stderr));
    _close(fd);
}

StderrCapture::~StderrCapture() {
    restore();
    DeleteFileA(m_file.c_str());
}

void StderrCapture::restore() {
    if (m_savedFd >= 0) {
        fflush(stderr);
        _dup2(m_savedFd, _fileno(stderr));
        _close(m_savedFd);
        m_savedFd = -1;
    }
}

std::string StderrCapture::text() {
    restore();
    return ReadFileBytes(m_file);
}

}  // namespace tavo::test
