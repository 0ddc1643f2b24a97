#include "agent/httpdate.h"

#include <cstring>

namespace tavo {

namespace {

const char* const kDayNames[] = {"Mon", "Tue", "Wed", "Thu", "Fri", "Sat", "Sun"};
const char* const kLongDayNames[] = {"Monday", "Tuesday", "Wednesday", "Thursday", "Friday", "Saturday", "Sunday"};
const char* const kMonthNames[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                   "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

// A date and time of day as an HTTP date spells them; month 1 to 12.
struct DateFields {
    int64_t year = 0;
    int month = 0;
    int day = 0;
    int hour = 0;
    int minute = 0;
    int second = 0;
};

// Reads the pieces of an HTTP date from left to right.
class DateReader {
public:
    explicit DateReader(const std::string& text) : m_text(text) {}

    bool literal(const char* expected) {
        const size_t length = strlen(expected);
        if (m_text.compare(m_pos, length, expected) != 0) {
            return false;
        }
        m_pos += length;
        return true;
    }
    // Exactly `digits` decimal digits.
    bool number(size_t digits, int& value) {
        if (m_text.size() - m_pos < digits) {
            return false;
        }
        int read = 0;
        for (size_t i = 0; i < digits; ++i) {
            const char c = m_text[m_pos + i];
            if (c < '0' || c > '9') {
                return false;
            }
            read = read * 10 + (c - '0');
        }
        value = read;
        m_pos += digits;
        return true;
    }
    bool year(size_t digits, int64_t& value) {
        int read = 0;
        if (!number(digits, read)) {
            return false;
        }
        value = read;
        return true;
    }
    // One of the names, letter case included; the day names are redundant and only skipped.
    template <size_t N>
    bool name(const char* const (&names)[N]) {
        int index = 0;
        return name(names, index);
    }
    template <size_t N>
    bool name(const char* const (&names)[N], int& index) {
        for (size_t i = 0; i < N; ++i) {
            if (literal(names[i])) {
                index = static_cast<int>(i);
                return true;
            }
        }
        return false;
    }
    bool month(DateFields& date) {
        if (!name(kMonthNames, date.month)) {
            return false;
        }
        ++date.month;
        return true;
    }
    // "HH:MM:SS".
    bool timeOfDay(DateFields& date) {
        return number(2, date.hour) && literal(":") && number(2, date.minute) && literal(":") &&
               number(2, date.second);
    }
    bool atEnd() const { return m_pos == m_text.size(); }

private:
    const std::string& m_text;
    size_t m_pos = 0;
};

bool isLeapYear(int64_t year) {
    return year % 4 == 0 && (year % 100 != 0 || year % 400 == 0);
}

int daysInMonth(int64_t year, int month) {
    static const int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return month == 2 && isLeapYear(year) ? 29 : kDays[month - 1];
}

// Up to 23:59:60 (a leap second), on a day that the month has.
bool isValid(const DateFields& date) {
    return date.day >= 1 && date.day <= daysInMonth(date.year, date.month) && date.hour <= 23 &&
           date.minute <= 59 && date.second <= 60;
}

int64_t floorDivide(int64_t a, int64_t b) {
    return a / b - (a % b < 0 ? 1 : 0);
}

// Days from 1970-01-01 to the date of the proleptic Gregorian calendar, counted in eras of 400
// years (146097 days each) whose years begin on 1 March, so that the leap day ends a year.
int64_t daysFromCivil(int64_t year, int month, int day) {
    year -= month <= 2 ? 1 : 0;
    const int64_t era = floorDivide(year, 400);
    const int64_t yearOfEra = year - era * 400;
    const int64_t dayOfYear = (153 * (month > 2 ? month - 3 : month + 9) + 2) / 5 + day - 1;
    const int64_t dayOfEra = yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
    return era * 146097 + dayOfEra - 719468;
}

// The year in which a count of days since 1970-01-01 falls (the inverse of daysFromCivil).
int64_t yearOfDays(int64_t days) {
    const int64_t shifted = days + 719468;
    const int64_t era = floorDivide(shifted, 146097);
    const int64_t dayOfEra = shifted - era * 146097;
    const int64_t yearOfEra = (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;
    const int64_t dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
    const int64_t marchBasedMonth = (5 * dayOfYear + 2) / 153;
    return yearOfEra + era * 400 + (marchBasedMonth >= 10 ? 1 : 0);
}

// The year ending in the two digits that lies within 50 years of now's year: in the past, or up to
// 50 years ahead.
int64_t fullYear(int64_t twoDigits, int64_t now) {
    const int64_t nowYear = yearOfDays(floorDivide(now, 86400));
    int64_t year = nowYear - ((nowYear - twoDigits) % 100 + 100) % 100;
    if (year + 100 <= nowYear + 50) {
        year += 100;
    }
    return year;
}

// "Sun, 06 Nov 1994 08:49:37 GMT"
bool readImfFixdate(const std::string& text, DateFields& date) {
    DateReader reader(text);
    return reader.name(kDayNames) && reader.literal(", ") && reader.number(2, date.day) && reader.literal(" ") &&
           reader.month(date) && reader.literal(" ") && reader.year(4, date.year) && reader.literal(" ") &&
           reader.timeOfDay(date) && reader.literal(" GMT") && reader.atEnd();
}

// "Sunday, 06-Nov-94 08:49:37 GMT"; the two-digit year is put within 50 years of now.
bool readRfc850Date(const std::string& text, int64_t now, DateFields& date) {
    DateReader reader(text);
    if (!(reader.name(kLongDayNames) && reader.literal(", ") && reader.number(2, date.day) && reader.literal("-") &&
          reader.month(date) && reader.literal("-") && reader.year(2, date.year) && reader.literal(" ") &&
          reader.timeOfDay(date) && reader.literal(" GMT") && reader.atEnd())) {
        return false;
    }
    date.year = fullYear(date.year, now);
    return true;
}

// "Sun Nov  6 08:49:37 1994"; a day below 10 may stand after a second blank.
bool readAsctimeDate(const std::string& text, DateFields& date) {
    DateReader reader(text);
    return reader.name(kDayNames) && reader.literal(" ") && reader.month(date) && reader.literal(" ") &&
           (reader.literal(" ") ? reader.number(1, date.day) : reader.number(2, date.day)) && reader.literal(" ") &&
           reader.timeOfDay(date) && reader.literal(" ") && reader.year(4, date.year) && reader.atEnd();
}

}  // namespace

bool ParseHttpDate(const std::string& text, int64_t now, int64_t& seconds) {
    // A form that reads to the end has set every field.
    DateFields date;
    if (!(readImfFixdate(text, date) || readRfc850Date(text, now, date) || readAsctimeDate(text, date)) ||
        !isValid(date)) {
        return false;
    }
    seconds = daysFromCivil(date.year, date.month, date.day) * 86400 + date.hour * 3600 + date.minute * 60 +
              date.second;
    return true;
}

}  // namespace tavo
