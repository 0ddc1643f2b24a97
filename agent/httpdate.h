#pragma once

#include <cstdint>
#include <string>

namespace tavo {

// Seconds since 1970 of an HTTP date in any of its three forms: "Sun, 06 Nov 1994 08:49:37 GMT",
// "Sunday, 06-Nov-94 08:49:37 GMT" and "Sun Nov  6 08:49:37 1994". 64-bit arithmetic of its own,
// so it holds past 2038 in both widths. The two-digit year is put within 50 years of now (seconds
// since 1970), the future side included. False, seconds untouched, for any other text.
bool ParseHttpDate(const std::string& text, int64_t now, int64_t& seconds);

}  // namespace tavo
