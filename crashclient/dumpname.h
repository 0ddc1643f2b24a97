#pragma once

#include <windows.h>

#include <cstddef>

// GUID texts for dump names. Both write into caller's buffers (no allocation: they run at crash
// time) and always terminate the text.

// "%08x-%04x-%04x-%02x%02x-%02x%02x%02x%02x%02x%02x": 36 lower-case characters.
void GuidToString(const GUID& guid, wchar_t* text, size_t capacity);
// 32 upper-case hexadecimal digits without dashes.
void GuidToCompactString(const GUID& guid, wchar_t* text, size_t capacity);
