#pragma once

#include <cstdint>

namespace tavo {

// The system's wall clock since 1970-01-01 UTC, in 100-nanosecond ticks and in whole seconds (the
// ticks divided by 10,000,000). 64 bits in both widths: in the 32-bit build time_t, and with it
// std::chrono::system_clock and the C runtime's time functions, end in January 2038.
int64_t WallClockTicks();
int64_t WallClockSeconds();

}  // namespace tavo
