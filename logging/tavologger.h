#pragma once

#include <mutex>
#include <stdexcept>
#include <string>

#include "common/scopedhandle.h"

enum eLogLevel {
    eLogError = 1,
    eLogWarning = 2,
    eLogDebug = 3,
    eLogVerbose = 4,
};

// Name of the log file in the data directory.
extern const std::string s_logFileName;

std::string logLevelName(int level);

// The process's one log writer: formatted lines, a level threshold, rotation past 5,000,000 bytes.
// File names are UTF-8, as the data directory is.
class CTAVOLogger {
public:
    class logger_exception : public std::runtime_error {
    public:
        explicit logger_exception(const std::string& message) : std::runtime_error(message) {}
    };

    // The first call constructs the logger with fileName; later calls ignore their argument.
    static CTAVOLogger& GetInstance(const std::string& fileName);

    explicit CTAVOLogger(const std::string& fileName);
    ~CTAVOLogger();
    CTAVOLogger(const CTAVOLogger&) = delete;
    CTAVOLogger& operator=(const CTAVOLogger&) = delete;

    void SetLogLevel(int level);

    // Whether another thread is writing a line or rotating at this moment. Crash-time lines are
    // dropped then: the writer may be the crashed thread, which never lets go of the lock.
    bool IsBusy();

    void log(int level, bool withLastError, const char* fileName, const char* functionName, long line,
             const char* format, ...) __attribute__((format(gnu_printf, 7, 8)));

    // Shifts fileName.1 ... fileName.4 up by one, drops fileName.5, and moves fileName to .1.
    static int rotate(const char* fileName);

private:
    void open();
    void rotateIfTooLarge();

    tavo::ScopedHandle m_logFile;
    std::mutex m_mutex;
    std::string m_strFileName;
    std::wstring m_wstrFileName;  // m_strFileName as the file functions take it
    int m_iLogLevel;
};
