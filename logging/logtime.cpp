#include "logging/logtime.h"

#include <ctime>

namespace tavo {

void FormatLogTime(int64_t secondsSince1970, char* text, size_t size) {
    if (size == 0) {
        return;
    }
    text[0] = '\0';
    const __time64_t moment = secondsSince1970;
    struct tm local = {};
    if (_localtime64_s(&local, &moment) != 0 || strftime(text, size, "%c", &local) == 0) {
        text[0] = '\0';
    }
}

}  // namespace tavo
