#include "common/tavoutils.h"

namespace tavo {

const std::string s_whitespaceChars = " \n\r\t\f\v";

void TrimLeft(std::string& text) {
    text.erase(0, text.find_first_not_of(s_whitespaceChars));
}

void TrimRight(std::string& text) {
    const size_t last = text.find_last_not_of(s_whitespaceChars);
    text.erase(last == std::string::npos ? 0 : last + 1);
}

void Trim(std::string& text) {
    TrimLeft(text);
    TrimRight(text);
}

void FormatHexBytes(const uint8_t* data, size_t length, std::string& out) {
    if (data == nullptr) {
        return;
    }
    static const char kDigits[] = "0123456789abcdef";
    std::string text;
    text.reserve(length * 3);
    for (size_t i = 0; i < length; ++i) {
        if (i > 0) {
            text += '-';
        }
        text += kDigits[data[i] >> 4];
        text += kDigits[data[i] & 0x0F];
    }
    out = std::move(text);
}

namespace {

template <typename Char>
size_t boundedLength(const Char* text, size_t max) {
    if (text == nullptr) {
        return 0;
    }
    size_t n = 0;
    while (n < max && text[n] != Char(0)) {
        ++n;
    }
    return n;
}

template <typename Char>
size_t boundedCopy(Char* dest, const Char* src, size_t capacity) {
    if (src == nullptr) {
        return 0;
    }
    const size_t n = boundedLength(src, capacity);
    if (dest != nullptr && capacity > 0) {
        const size_t count = n < capacity - 1 ? n : capacity - 1;
        for (size_t i = 0; i < count; ++i) {
            dest[i] = src[i];
        }
        dest[count] = Char(0);
    }
    return n;
}

template <typename Char>
size_t boundedAppend(Char* dest, const Char* src, size_t capacity) {
    if (dest == nullptr || src == nullptr) {
        return capacity;
    }
    const size_t d = boundedLength(dest, capacity);
    if (d == capacity) {
        return capacity;
    }
    const size_t s = boundedLength(src, capacity);
    const size_t room = capacity - d - 1;
    const size_t count = s < room ? s : room;
    for (size_t i = 0; i < count; ++i) {
        dest[d + i] = src[i];
    }
    dest[d + count] = Char(0);
    return d + s;
}

template <typename Char>
const Char* boundedBreak(const Char* text, const Char* set, size_t max) {
    if (text == nullptr || set == nullptr) {
        return nullptr;
    }
    for (size_t i = 0; i < max && text[i] != Char(0); ++i) {
        for (const Char* c = set; *c != Char(0); ++c) {
            if (*c == text[i]) {
                return text + i;
            }
        }
    }
    return nullptr;
}

}  // namespace

size_t StrNLen(const char* text, size_t max) {
    return boundedLength(text, max);
}

size_t WcsNLen(const wchar_t* text, size_t max) {
    return boundedLength(text, max);
}

size_t StrLCpy(char* dest, const char* src, size_t capacity) {
    return boundedCopy(dest, src, capacity);
}

size_t WcsLCpy(wchar_t* dest, const wchar_t* src, size_t capacity) {
    return boundedCopy(dest, src, capacity);
}

size_t StrLCat(char* dest, const char* src, size_t capacity) {
    return boundedAppend(dest, src, capacity);
}

size_t WcsLCat(wchar_t* dest, const wchar_t* src, size_t capacity) {
    return boundedAppend(dest, src, capacity);
}

const char* StrNPBrk(const char* text, const char* set, size_t max) {
    return boundedBreak(text, set, max);
}

const wchar_t* WcsNPBrk(const wchar_t* text, const wchar_t* set, size_t max) {
    return boundedBreak(text, set, max);
}

}  // namespace tavo
