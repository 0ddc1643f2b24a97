#include "common/wallclock.h"

#include <windows.h>

namespace tavo {

namespace {

// 100-nanosecond ticks from 1601, the FILETIME epoch, to 1970.
constexpr int64_t kTicksFrom1601To1970 = INT64_C(116444736000000000);

}  // namespace

int64_t WallClockTicks() {
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    const uint64_t ticks = (static_cast<uint64_t>(now.dwHighDateTime) << 32) | now.dwLowDateTime;
    return static_cast<int64_t>(ticks) - kTicksFrom1601To1970;
}

int64_t WallClockSeconds() {
    return WallClockTicks() / 10000000;
}

}  // namespace tavo
