#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace tavo {

// Trimming of the blanks " \n\r\t\f\v", in place.
void TrimLeft(std::string& text);
void TrimRight(std::string& text);
void Trim(std::string& text);

// Every byte as two lower-case hexadecimal digits, joined by "-" (00-1a-ff). A null data leaves
// out unchanged.
void FormatHexBytes(const uint8_t* data, size_t length, std::string& out);

// Bounded zero-terminated strings; sizes and results count characters.
// The length before the terminator, at most max; 0 for a null text.
size_t StrNLen(const char* text, size_t max);
size_t WcsNLen(const wchar_t* text, size_t max);
// Copies what fits with its terminator; returns the length of src bounded by capacity.
size_t StrLCpy(char* dest, const char* src, size_t capacity);
size_t WcsLCpy(wchar_t* dest, const wchar_t* src, size_t capacity);
// Appends what fits with its terminator; returns the bounded lengths of dest and src added, or
// capacity when either is null or dest holds no terminator within capacity.
size_t StrLCat(char* dest, const char* src, size_t capacity);
size_t WcsLCat(wchar_t* dest, const wchar_t* src, size_t capacity);
// The first of the first max characters of text that occurs in set; null when none does.
const char* StrNPBrk(const char* text, const char* set, size_t max);
const wchar_t* WcsNPBrk(const wchar_t* text, const wchar_t* set, size_t max);

}  // namespace tavo
