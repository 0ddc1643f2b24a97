#include "tests/support/testutils.h"

#include <windows.h>

#include <fcntl.h>
#include <io.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace tavo::test {

namespace {

void removeTree(const std::string& dir) {
    WIN32_FIND_DATAA data;
    HANDLE find = FindFirstFileA((dir + "*").c_str(), &data);
    if (find != INVALID_HANDLE_VALUE) {
        do {
            std::string name = data.cFileName;
            if (name == "." || name == "..") {
                continue;
            }
            std::string path = dir + name;
            if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
                removeTree(path + "\\");
            } else {
                SetFileAttributesA(path.c_str(), FILE_ATTRIBUTE_NORMAL);
                DeleteFileA(path.c_str());
            }
        } while (FindNextFileA(find, &data));
        FindClose(find);
    }
    RemoveDirectoryA(dir.c_str());
}

}  // namespace

TempDir::TempDir() {
    char base[MAX_PATH] = {};
    GetTempPathA(MAX_PATH, base);
    static unsigned counter = 0;
    for (;;) {
        char name[MAX_PATH];
        snprintf(name, sizeof(name), "%stavo-%lu-%lu-%u\\", base, GetCurrentProcessId(), GetTickCount(), counter++);
        if (CreateDirectoryA(name, nullptr)) {
            m_path = name;
            return;
        }
        if (GetLastError() != ERROR_ALREADY_EXISTS) {
            throw std::runtime_error(std::string("cannot create ") + name);
        }
    }
}

TempDir::~TempDir() {
    removeTree(m_path);
}

std::string ReadFileBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

void WriteFileBytes(const std::string& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

bool FileExists(const std::string& path) {
    return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

const std::string& ProcessLogPath() {
    static const std::string path = [] {
        char tempDir[MAX_PATH] = {};
        GetTempPathA(MAX_PATH, tempDir);
        char exePath[MAX_PATH] = {};
        GetModuleFileNameA(nullptr, exePath, MAX_PATH);
        std::string program = exePath;
        program = program.substr(program.find_last_of('\\') + 1);
        program = program.substr(0, program.rfind('.'));
        return std::string(tempDir) + program + "-" + std::to_string(GetCurrentProcessId()) + ".log";
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
