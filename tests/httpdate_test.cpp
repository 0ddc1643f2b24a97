#include "agent/httpdate.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <ostream>

namespace {

struct DateCase {
    const char* text;
    bool parsed;
    int64_t seconds;
};

void PrintTo(const DateCase& c, std::ostream* os) {
    *os << '"' << c.text << '"';
}

class HttpDate : public testing::TestWithParam<DateCase> {};

// 2026-01-01T00:00:00Z: two-digit years from 77 to 99 lie in the past, 00 to 76 up to 50 years ahead.
const int64_t kNow2026 = 1767225600;

TEST_P(HttpDate, ReadsTheThreeFormsIn64Bits) {
    const DateCase& c = GetParam();
    int64_t seconds = -1;
    EXPECT_EQ(tavo::ParseHttpDate(c.text, kNow2026, seconds), c.parsed);
    EXPECT_EQ(seconds, c.parsed ? c.seconds : -1);
}

INSTANTIATE_TEST_SUITE_P(
    Table, HttpDate,
    testing::Values(
        DateCase{"Sun, 06 Nov 1994 08:49:37 GMT", true, 784111777},
        DateCase{"Sunday, 06-Nov-94 08:49:37 GMT", true, 784111777},
        DateCase{"Sun Nov  6 08:49:37 1994", true, 784111777},
        DateCase{"Sun Nov 16 08:49:37 1994", true, 784111777 + 10 * 86400},
        // The first second that a 32-bit time_t cannot hold, in each form.
        DateCase{"Tue, 19 Jan 2038 03:14:08 GMT", true, INT64_C(2147483648)},
        DateCase{"Tuesday, 19-Jan-38 03:14:08 GMT", true, INT64_C(2147483648)},
        DateCase{"Tue Jan 19 03:14:08 2038", true, INT64_C(2147483648)},
        DateCase{"Fri, 31 Dec 9999 23:59:59 GMT", true, INT64_C(253402300799)},
        DateCase{"Thu, 01 Jan 1970 00:00:00 GMT", true, 0},
        DateCase{"Wednesday, 01-Jan-76 00:00:00 GMT", true, INT64_C(3345062400)},
        DateCase{"Saturday, 01-Jan-77 00:00:00 GMT", true, 220924800},
        DateCase{"Thu, 29 Feb 2024 12:00:00 GMT", true, 1709208000},
        DateCase{"Tue, 29 Feb 2000 00:00:00 GMT", true, 951782400},
        DateCase{"Sat, 31 Dec 2016 23:59:60 GMT", true, 1483228800},
        // The day name is not checked against the date.
        DateCase{"Mon, 06 Nov 1994 08:49:37 GMT", true, 784111777},
        DateCase{"", false, 0},
        DateCase{"soon", false, 0},
        DateCase{"Sun, 6 Nov 1994 08:49:37 GMT", false, 0},
        DateCase{"sun, 06 nov 1994 08:49:37 GMT", false, 0},
        DateCase{"Sun, 06 Nov 1994 08:49:37 UTC", false, 0},
        DateCase{"Sun, 06 Nov 1994 08:49:37 GMT ", false, 0},
        DateCase{"Sun, 06 Nov 94 08:49:37 GMT", false, 0},
        DateCase{"Sunday, 06-Nov-1994 08:49:37 GMT", false, 0},
        DateCase{"Sun Nov 6 08:49:37 1994", false, 0},
        DateCase{"Sun, 31 Nov 1994 08:49:37 GMT", false, 0},
        DateCase{"Mon, 29 Feb 2100 00:00:00 GMT", false, 0},
        DateCase{"Sun, 00 Nov 1994 08:49:37 GMT", false, 0},
        DateCase{"Sun, 06 Nov 1994 24:00:00 GMT", false, 0},
        DateCase{"Sun, 06 Nov 1994 08:60:00 GMT", false, 0},
        DateCase{"Sun, 06 Nov 1994 08:49:61 GMT", false, 0},
        DateCase{"Sun, 06 Nov 1994 8:49:37 GMT", false, 0}));

}  // namespace
