#pragma once

#include <cstddef>
#include <string>

namespace tavo {

// The SHA-1 digest of the bytes as 40 lower-case hexadecimal digits. 0, -8 for null data, or -1
// with out unchanged.
int GetSHA1Hash(const unsigned char* data, size_t length, std::string& out);

// Standard Base64 (padded, one line without breaks). 0, or -1 with out unchanged; an empty input is
// a failure to encode.
int Base64Encode(const std::string& data, std::string& out);
// The inverse, for text without line breaks. 0 (an empty text decodes to nothing), or -1.
int Base64Decode(const std::string& text, std::string& out);

}  // namespace tavo
