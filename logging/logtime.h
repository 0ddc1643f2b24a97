#pragma once

#include <cstddef>
#include <cstdint>

namespace tavo {

// The log line's time: the local time of a moment, given in seconds since 1970, as the C locale's
// "%c" ("02/29/40 12:00:00"). Empty when the moment has no local time. 64 bits wide in both
// widths: the 32-bit build's time_t and its time functions end in January 2038.
void FormatLogTime(int64_t secondsSince1970, char* text, size_t size);

}  // namespace tavo
