#include "logging/logtime.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

namespace {

// The system's own local time of the moment, as month/day/two-digit year and 24-hour time.
std::string SystemLocalTimeText(int64_t secondsSince1970) {
    const uint64_t ticks = static_cast<uint64_t>(secondsSince1970) * 10000000 + UINT64_C(116444736000000000);
    FILETIME utcFile = {static_cast<DWORD>(ticks), static_cast<DWORD>(ticks >> 32)};
    SYSTEMTIME utc;
    SYSTEMTIME local;
    if (!FileTimeToSystemTime(&utcFile, &utc) || !SystemTimeToTzSpecificLocalTime(nullptr, &utc, &local)) {
        return "no local time";
    }
    char text[32];
    snprintf(text, sizeof(text), "%02u/%02u/%02u %02u:%02u:%02u", local.wMonth, local.wDay, local.wYear % 100,
             local.wHour, local.wMinute, local.wSecond);
    return text;
}

TEST(LogTime, IsTheLocalTimeAlsoAfter2038) {
    const int64_t moments[] = {
        1700000000,   // 2023-11-14 22:13:20 UTC
        2147483647,   // 2038-01-19 03:14:07 UTC, the last second of a 32-bit time_t
        2147483648,   // one second later
        2214129600,   // 2040-02-29 12:00:00 UTC
        4102444799,   // 2099-12-31 23:59:59 UTC
    };
    for (const int64_t moment : moments) {
        char text[25] = "stale";
        tavo::FormatLogTime(moment, text, sizeof(text));
        EXPECT_EQ(std::string(text), SystemLocalTimeText(moment)) << moment;
    }
}

TEST(LogTime, MomentWithoutALocalTimeGivesAnEmptyText) {
    char text[25] = "stale";
    tavo::FormatLogTime(-100000000000LL, text, sizeof(text));
    EXPECT_STREQ(text, "");
}

}  // namespace
