#pragma once

#include <cstdint>

// Outcome of an operation across the agent: 0 is success, every failure is negative.
enum TAVO_STATUS : int32_t {
    TAVO_OK = 0,
    TAVO_FAIL = -1,
    TAVO_ERROR = -3,
    TAVO_BUSY = -5,
    TAVO_INVALID_ARGUMENT = -8,
    TAVO_OUT_OF_MEMORY = -9,
    TAVO_NOT_INITIALIZED = -10,
    TAVO_CLOUD_ERROR_RESPONSE = -11,
    TAVO_RATE_LIMITED = -12,
    TAVO_BUFFER_TOO_SMALL = -17,
    TAVO_WMI_UNAVAILABLE = -18,
};
