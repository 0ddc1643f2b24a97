#pragma once

#include "logging/tavologger.h"

// The log call used at every call site. The function name is derived from the compiler's pretty
// name by the logger, and only for lines that pass the level filter.
#define TAVO_LOG(level, withLastError, ...)                                                         \
    CTAVOLogger::GetInstance(std::string()).log((level), (withLastError), __FILE_NAME__,            \
                                                __PRETTY_FUNCTION__, __LINE__, __VA_ARGS__)

// A failure condition of a step: when it holds, log it exactly as written and yield true, so that
// the caller leaves with its failure status: if (TAVO_CONDITION_FAILED(NULL == p)) return TAVO_ERROR;
#define TAVO_CONDITION_FAILED(condition)                                                           \
    ((condition) ? (TAVO_LOG(eLogError, false, "Failed in condition: (%s)", #condition), true) : false)

// The log call for crash time: the line is dropped while the logger is busy, since the writer may
// be the crashed thread, which never lets go. A writer that takes the lock after the test is a
// running thread and lets go after its one line.
#define TAVO_LOG_UNLESS_BUSY(level, withLastError, ...)                                            \
    do {                                                                                            \
        CTAVOLogger& crashTimeLogger = CTAVOLogger::GetInstance(std::string());                     \
        if (!crashTimeLogger.IsBusy()) {                                                            \
            crashTimeLogger.log((level), (withLastError), __FILE_NAME__, __PRETTY_FUNCTION__,       \
                                __LINE__, __VA_ARGS__);                                             \
        }                                                                                           \
    } while (0)

// The log call where nothing may be thrown: in a catch handler, a destructor, a thread's last
// steps, a step that has done its work. The logger's strings can throw std::bad_alloc; the line is
// then lost.
#define TAVO_LOG_NOTHROW(level, withLastError, ...)                                                \
    do {                                                                                            \
        try {                                                                                       \
            TAVO_LOG((level), (withLastError), __VA_ARGS__);                                        \
        } catch (...) {                                                                             \
        }                                                                                           \
    } while (0)
