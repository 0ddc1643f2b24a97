#include "logging/tavologger.h"

#include <windows.h>

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "common/tavopath.h"
#include "common/tavostatus.h"
#include "logging/functionname.h"
#include "logging/logtime.h"

const std::string s_logFileName = "vrn_tavo.exe.log";

namespace {

constexpr long kMaxLogFileSize = 5000000;
constexpr int kOldFileCount = 5;

// The file system's idea of the file's size; false when the file cannot be queried.
bool queryFileSize(const std::wstring& path, long& size) {
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data)) {
        return false;
    }
    size = static_cast<long>(data.nFileSizeLow);
    return true;
}

// Paths are UTF-8, as the data directory is; the wide file functions read them by that meaning.
bool fileExists(const char* path) {
    return GetFileAttributesW(tavo::StringToWString(path).c_str()) != INVALID_FILE_ATTRIBUTES;
}

bool deleteFile(const char* path) {
    return DeleteFileW(tavo::StringToWString(path).c_str()) != FALSE;
}

bool moveFile(const char* source, const char* target) {
    return MoveFileW(tavo::StringToWString(source).c_str(), tavo::StringToWString(target).c_str()) != FALSE;
}

// The system's English text for the error, its trailing CR LF turned into blanks.
void formatErrorText(DWORD error, char* buffer, size_t size) {
    DWORD length = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, error,
                                  0x409, buffer, static_cast<DWORD>(size), nullptr);
    if (length == 0) {
        const DWORD formatError = GetLastError();
        snprintf(buffer, size, "Retrieving error string of %d failed with error = %d", static_cast<int>(error),
                 static_cast<int>(formatError));
        return;
    }
    size_t textLength = strlen(buffer);
    if (textLength >= 2 && buffer[textLength - 2] == '\r' && buffer[textLength - 1] == '\n') {
        buffer[textLength - 2] = ' ';
        buffer[textLength - 1] = ' ';
    }
}

// Appends up to `count` bytes of `text` to the line, never past its last byte.
size_t appendBounded(char* line, size_t used, size_t capacity, const char* text, size_t count) {
    size_t room = capacity - 1 - used;
    size_t n = count < room ? count : room;
    memcpy(line + used, text, n);
    line[used + n] = '\0';
    return used + n;
}

// The log is a text file: every line feed is stored as CR LF. `out` holds twice `size` bytes.
size_t withCrLf(const char* text, size_t size, char* out) {
    size_t used = 0;
    for (size_t i = 0; i < size; ++i) {
        if (text[i] == '\n') {
            out[used++] = '\r';
        }
        out[used++] = text[i];
    }
    return used;
}

// Appends the bytes at the end of the file in one write. Bytes that went in short of the whole (a
// disk full in mid-line) are cut off again, so that the next line never continues a fragment.
void appendWhole(HANDLE file, const char* bytes, DWORD size) {
    OVERLAPPED atEnd = {};
    atEnd.Offset = 0xFFFFFFFF;
    atEnd.OffsetHigh = 0xFFFFFFFF;
    DWORD written = 0;
    const bool complete = WriteFile(file, bytes, size, &written, &atEnd) && written == size;
    if (complete || written == 0) {
        return;
    }
    LARGE_INTEGER end = {};
    if (!SetFilePointerEx(file, LARGE_INTEGER{}, &end, FILE_CURRENT)) {
        return;
    }
    FILE_END_OF_FILE_INFO cut = {};
    cut.EndOfFile.QuadPart = end.QuadPart - written;
    SetFileInformationByHandle(file, FileEndOfFileInfo, &cut, sizeof(cut));
}

// Deletes fileName.5, moves fileName.4 ... fileName.1 up by one and then `newest` (when given) to
// fileName.1; `name` is what a failure of that last move reports.
int shiftChain(const char* fileName, const char* newest, const char* name) {
    char source[4096];
    char target[4096];
    for (int n = kOldFileCount; n >= 1; --n) {
        snprintf(source, sizeof(source), "%s.%d", fileName, n);
        if (!fileExists(source)) {
            continue;
        }
        if (n == kOldFileCount) {
            if (!deleteFile(source)) {
                fprintf(stderr, "Remove  failed for %s\n", source);
                return TAVO_FAIL;
            }
            continue;
        }
        snprintf(target, sizeof(target), "%s.%d", fileName, n + 1);
        if (!moveFile(source, target)) {
            fprintf(stderr, "Rename failed for %s\n", source);
            return TAVO_FAIL;
        }
    }
    snprintf(target, sizeof(target), "%s.1", fileName);
    if (newest != nullptr && !moveFile(newest, target)) {
        fprintf(stderr, "Rename failed for %s\n", name);
        return TAVO_FAIL;
    }
    return TAVO_OK;
}

}  // namespace

std::string logLevelName(int level) {
    switch (level) {
    case eLogError:
        return "error";
    case eLogWarning:
        return "warning";
    case eLogDebug:
        return "debug";
    case eLogVerbose:
        return "verbose";
    default:
        return "unknown";
    }
}

CTAVOLogger& CTAVOLogger::GetInstance(const std::string& fileName) {
    static CTAVOLogger instance(fileName);
    return instance;
}

CTAVOLogger::CTAVOLogger(const std::string& fileName)
    : m_strFileName(fileName), m_wstrFileName(tavo::StringToWString(fileName)), m_iLogLevel(eLogDebug) {
    if (fileName.empty()) {
        throw logger_exception("Empty filename");
    }
    open();
    if (!m_logFile.valid()) {
        throw logger_exception("Failed to create/open file : " + fileName);
    }
}

CTAVOLogger::~CTAVOLogger() = default;

void CTAVOLogger::SetLogLevel(int level) {
    m_iLogLevel = level;
}

bool CTAVOLogger::IsBusy() {
    if (!m_mutex.try_lock()) {
        return true;
    }
    m_mutex.unlock();
    return false;
}

// Created when missing and appended to, shared for reading and writing, so other processes can
// follow the log while it is open. Every line is written at the end of the file (appendWhole).
void CTAVOLogger::open() {
    m_logFile.reset(CreateFileW(m_wstrFileName.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
}

void CTAVOLogger::log(int level, bool withLastError, const char* fileName, const char* functionName, long line,
                      const char* format, ...) {
    if (level > m_iLogLevel) {
        return;
    }
    const DWORD lastError = GetLastError();

    char lineBuffer[4096] = {};
    char header[2048] = {};
    char errorText[2048] = {};
    char timeText[25] = {};

    tavo::FormatLogTime(_time64(nullptr), timeText, sizeof(timeText));

    const std::string levelName = logLevelName(level);
    if (withLastError) {
        formatErrorText(lastError, errorText, sizeof(errorText));
    }
    const std::string qualifiedName = tavo::QualifiedFunctionName(functionName);

    // The header holds the caller's format as plain text; only that part is then expanded with the
    // caller's arguments, so a '%' in a file or function name or in the error text stays as it is.
    int prefixLength = snprintf(header, sizeof(header), "[%s] [%d] T: %X F: %s L: %ld f: %s S: %s :: ", timeText,
                                static_cast<int>(GetCurrentProcessId()),
                                static_cast<unsigned>(GetCurrentThreadId()), fileName, line,
                                qualifiedName.c_str(), levelName.c_str());
    size_t headerUsed = prefixLength < 0 ? 0 : std::min<size_t>(prefixLength, sizeof(header) - 1);
    size_t headerRoom = sizeof(header) - 1 - headerUsed;
    std::string callerFormat(format, std::min(strlen(format), headerRoom));
    headerRoom -= callerFormat.size();
    std::string suffix = std::string(" ") + errorText + "\n";
    suffix.resize(std::min(suffix.size(), headerRoom));

    size_t used = appendBounded(lineBuffer, 0, sizeof(lineBuffer), header, headerUsed);
    va_list args;
    va_start(args, format);
    int expanded = vsnprintf(lineBuffer + used, sizeof(lineBuffer) - used, callerFormat.c_str(), args);
    va_end(args);
    if (expanded > 0) {
        used = std::min(used + static_cast<size_t>(expanded), sizeof(lineBuffer) - 1);
    }
    used = appendBounded(lineBuffer, used, sizeof(lineBuffer), suffix.data(), suffix.size());
    // A cut line still ends with its line end, so the next line never joins it.
    if (used == 0 || lineBuffer[used - 1] != '\n') {
        if (used == sizeof(lineBuffer) - 1) {
            --used;
        }
        lineBuffer[used++] = '\n';
        lineBuffer[used] = '\0';
    }

    char fileText[2 * sizeof(lineBuffer)];
    const size_t fileTextSize = withCrLf(lineBuffer, used, fileText);

    // One lock over the size check, any rotation and the write: lines never interleave and never
    // meet a closed file. A line that cannot be written (a disk full for a moment) is the only one
    // lost. The write goes straight to the system, so the line is in the file when the call returns.
    std::lock_guard<std::mutex> lock(m_mutex);
    rotateIfTooLarge();
    if (m_logFile.valid()) {
        appendWhole(m_logFile.get(), fileText, static_cast<DWORD>(fileTextSize));
    }
}

void CTAVOLogger::rotateIfTooLarge() {
    long size = 0;
    if (!queryFileSize(m_wstrFileName, size) || size <= kMaxLogFileSize) {
        return;
    }
    m_logFile.reset();
    if (rotate(m_strFileName.c_str()) != TAVO_OK) {
        fprintf(stderr, "File rotation failed\n");
    }
    open();
}

// The current file is moved aside before the chain is shifted: when it cannot be moved (another
// process holds it open), the old files stay as they are instead of being shifted line by line.
int CTAVOLogger::rotate(const char* fileName) {
    char aside[4096];
    snprintf(aside, sizeof(aside), "%s.rotating", fileName);
    // A file that an earlier rotation could not put back holds lines older than the current file's:
    // it joins the chain first, so a file set aside is never overwritten.
    if (fileExists(aside) && shiftChain(fileName, aside, aside) != TAVO_OK) {
        return TAVO_FAIL;
    }
    const bool hasCurrent = fileExists(fileName);
    if (hasCurrent && !moveFile(fileName, aside)) {
        fprintf(stderr, "Rename failed for %s\n", fileName);
        return TAVO_FAIL;
    }
    if (shiftChain(fileName, hasCurrent ? aside : nullptr, fileName) != TAVO_OK) {
        // Stopped part-way: the current file goes back under its name, to be appended to.
        if (hasCurrent && !moveFile(aside, fileName)) {
            fprintf(stderr, "Rename failed for %s\n", aside);
        }
        return TAVO_FAIL;
    }
    return TAVO_OK;
}
