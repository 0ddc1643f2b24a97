#include "crashclient/dumpname.h"

#include <cstdio>

void GuidToString(const GUID& guid, wchar_t* text, size_t capacity) {
    if (capacity == 0) {
        return;
    }
    _snwprintf(text, capacity, L"%08lx-%04x-%04x-%02x%02x-%02x%02x%02x%02x%02x%02x",
               static_cast<unsigned long>(guid.Data1), guid.Data2, guid.Data3, guid.Data4[0], guid.Data4[1],
               guid.Data4[2], guid.Data4[3], guid.Data4[4], guid.Data4[5], guid.Data4[6], guid.Data4[7]);
    text[capacity - 1] = L'\0';
}

void GuidToCompactString(const GUID& guid, wchar_t* text, size_t capacity) {
    if (capacity == 0) {
        return;
    }
    _snwprintf(text, capacity, L"%08lX%04X%04X%02X%02X%02X%02X%02X%02X%02X%02X",
               static_cast<unsigned long>(guid.Data1), guid.Data2, guid.Data3, guid.Data4[0], guid.Data4[1],
               guid.Data4[2], guid.Data4[3], guid.Data4[4], guid.Data4[5], guid.Data4[6], guid.Data4[7]);
    text[capacity - 1] = L'\0';
}
