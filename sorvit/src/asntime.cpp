#include <sorvit/asntime.h>

#include <cstdint>
#include <cstring>
#include <limits>

namespace {

const int kMonthDays[2][12] = {
    {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31},
    {31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31},
};

bool IsLeap(int64_t year)
{
    return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
}

int MonthLength(int64_t tmYear, int month)
{
    return kMonthDays[IsLeap(tmYear + 1900) ? 1 : 0][month];
}

// Floor division with the remainder brought into [0, divisor).
int64_t FloorDiv(int64_t value, int64_t divisor, int64_t& remainder)
{
    int64_t q = value / divisor;
    int64_t r = value % divisor;
    if (r < 0) {
        r += divisor;
        --q;
    }
    remainder = r;
    return q;
}

bool IsDigit(char c)
{
    return c >= '0' && c <= '9';
}

// The decimal number of the count characters at pos; false unless all are digits.
bool Digits(const std::string& text, size_t pos, size_t count, int* value)
{
    if (pos + count > text.size())
        return false;
    int v = 0;
    for (size_t i = pos; i < pos + count; ++i) {
        if (!IsDigit(text[i]))
            return false;
        v = v * 10 + (text[i] - '0');
    }
    *value = v;
    return true;
}

// A date and time that exist: no field is carried into the next, as mkgmtime would do, except a
// leap second (60), which mkgmtime carries into the next minute.
bool ValidFields(int year, int month, int day, int hour, int minute, int second)
{
    return month >= 1 && month <= 12 && day >= 1 && day <= MonthLength(static_cast<int64_t>(year) - 1900, month - 1) &&
           hour <= 23 && minute <= 59 && second <= 60;
}

bool Format(const tm* t, const char* format, std::string* out)
{
    char buf[32];
    size_t n = std::strftime(buf, sizeof buf, format, t);
    if (n == 0)
        return false;
    out->assign(buf, n);
    return true;
}

// Leap days in the years [1970, year).
int64_t LeapDaysSince1970(int64_t year)
{
    auto upTo = [](int64_t y) { // leap years in [1, y]
        return y / 4 - y / 100 + y / 400;
    };
    return upTo(year - 1) - upTo(1969);
}

}

bool TmToGeneralizedTime(tm* t, std::string* out)
{
    if (t == nullptr || out == nullptr)
        return false;
    return Format(t, "%Y%m%d%H%M%SZ", out);
}

bool TmToUTCTime(tm* t, std::string* out)
{
    if (t == nullptr || out == nullptr)
        return false;
    const int64_t year = static_cast<int64_t>(t->tm_year) + 1900;
    if (year < 1950 || year > 2049)
        return false;
    return Format(t, "%y%m%d%H%M%SZ", out);
}

bool Time_tToGeneralizedTime(time_t* t, std::string* out)
{
    if (t == nullptr || out == nullptr)
        return false;
    tm broken;
    if (gmtime_r(t, &broken) == nullptr)
        return false;
    return TmToGeneralizedTime(&broken, out);
}

bool Time_tToUTCTime(time_t* t, std::string* out)
{
    if (t == nullptr || out == nullptr)
        return false;
    tm broken;
    if (gmtime_r(t, &broken) == nullptr)
        return false;
    return TmToUTCTime(&broken, out);
}

bool GeneralizedTimeToTm(std::string text, tm* t)
{
    if (t == nullptr)
        return false;
    // YYYYMMDDHHMM[SS][.fff][Z | +hh[mm] | -hh[mm]]. A single digit of seconds that
    // ends the text is taken as they were always taken.
    int year, month, day, hour, minute, second = 0;
    if (!Digits(text, 0, 4, &year) || !Digits(text, 4, 2, &month) || !Digits(text, 6, 2, &day) ||
        !Digits(text, 8, 2, &hour) || !Digits(text, 10, 2, &minute))
        return false;
    size_t pos = 12;
    if (pos < text.size() && IsDigit(text[pos])) {
        if (text.size() == 13)
            second = text[pos++] - '0';
        else if (Digits(text, pos, 2, &second))
            pos += 2;
        else
            return false;
    }
    if (!ValidFields(year, month, day, hour, minute, second))
        return false;
    if (pos < text.size() && (text[pos] == '.' || text[pos] == ',')) {
        const size_t digits = text.find_first_not_of("0123456789", ++pos);
        const size_t end = digits == std::string::npos ? text.size() : digits;
        if (end == pos)
            return false;
        pos = end;  // fractions of a second are not kept
    }

    // Local time minus the differential is UTC; mkgmtime normalises the fields.
    int hours = 0, minutes = 0, direction = 0;
    if (pos < text.size() && text[pos] == 'Z') {
        ++pos;
    } else if (pos < text.size() && (text[pos] == '+' || text[pos] == '-')) {
        direction = text[pos] == '+' ? -1 : 1;
        if (!Digits(text, pos + 1, 2, &hours) || hours > 23)
            return false;
        pos += 3;
        if (pos < text.size()) {
            if (!Digits(text, pos, 2, &minutes) || minutes > 59)
                return false;
            pos += 2;
        }
    }
    if (pos != text.size())
        return false;

    t->tm_isdst = -1;
    t->tm_year = year - 1900;
    t->tm_mon = month - 1;
    t->tm_mday = day;
    t->tm_hour = hour + direction * hours;
    t->tm_min = minute + direction * minutes;
    t->tm_sec = second;
    return true;
}

bool UTCTimeToTm(std::string text, tm* t)
{
    if (t == nullptr || text.size() != 13)
        return false;
    int yy, month, day, hour, minute, second;
    if (!Digits(text, 0, 2, &yy) || !Digits(text, 2, 2, &month) || !Digits(text, 4, 2, &day) ||
        !Digits(text, 6, 2, &hour) || !Digits(text, 8, 2, &minute) || !Digits(text, 10, 2, &second))
        return false;
    const int year = yy > 49 ? 1900 + yy : 2000 + yy;
    if (!ValidFields(year, month, day, hour, minute, second))
        return false;
    std::memset(t, 0, sizeof *t);
    t->tm_isdst = -1;
    t->tm_year = year - 1900;
    t->tm_mon = month - 1;
    t->tm_mday = day;
    t->tm_hour = hour;
    t->tm_min = minute;
    t->tm_sec = second;
    return true;
}

bool GeneralizedTimeToTime_t(std::string text, time_t* out)
{
    if (out == nullptr)
        return false;
    tm t;
    std::memset(&t, 0, sizeof t);
    if (!GeneralizedTimeToTm(text, &t))
        return false;
    *out = mkgmtime(&t);
    return true;
}

bool UTCTimeToTime_t(std::string text, time_t* out)
{
    if (out == nullptr)
        return false;
    tm t;
    std::memset(&t, 0, sizeof t);
    if (!UTCTimeToTm(text, &t))
        return false;
    *out = mkgmtime(&t);
    return true;
}

time_t GetGMT()
{
    time_t now = time(nullptr);
    tm broken;
    if (gmtime_r(&now, &broken) == nullptr)
        return static_cast<time_t>(-1);
    return mkgmtime(&broken);
}

time_t mkgmtime(tm* t)
{
    if (t == nullptr)
        return static_cast<time_t>(-1);

    // Carry upwards in 64 bits so out-of-range fields cannot overflow.
    int64_t rem;
    int64_t carry = FloorDiv(t->tm_sec, 60, rem);
    const int sec = static_cast<int>(rem);
    carry = FloorDiv(static_cast<int64_t>(t->tm_min) + carry, 60, rem);
    const int min = static_cast<int>(rem);
    int64_t days = FloorDiv(static_cast<int64_t>(t->tm_hour) + carry, 24, rem);
    const int hour = static_cast<int>(rem);
    int64_t year = static_cast<int64_t>(t->tm_year) + FloorDiv(t->tm_mon, 12, rem);
    int month = static_cast<int>(rem);

    days += static_cast<int64_t>(t->tm_mday) - 1;

    // Whole 400-year cycles (146097 days) first, so huge day counts stay fast.
    const int64_t kCycleDays = 146097;
    if (days < 0 || days >= kCycleDays) {
        int64_t cycles = FloorDiv(days, kCycleDays, rem);
        days = rem;
        year += cycles * 400;
    }
    while (days < 0) {
        if (--month < 0) {
            month = 11;
            --year;
        }
        days += MonthLength(year, month);
    }
    while (days >= MonthLength(year, month)) {
        days -= MonthLength(year, month);
        if (++month > 11) {
            month = 0;
            ++year;
        }
    }

    if (year < std::numeric_limits<int>::min() || year > std::numeric_limits<int>::max())
        return static_cast<time_t>(-1);
    t->tm_sec = sec;
    t->tm_min = min;
    t->tm_hour = hour;
    t->tm_mon = month;
    t->tm_year = static_cast<int>(year);
    t->tm_mday = static_cast<int>(days) + 1;

    if (year < 70)
        return static_cast<time_t>(-1);

    const int64_t fullYear = year + 1900;
    int yday = 0;
    for (int m = 0; m < month; ++m)
        yday += MonthLength(year, m);
    yday += t->tm_mday - 1;
    t->tm_yday = yday;

    const int64_t dayNumber = 365 * (fullYear - 1970) + LeapDaysSince1970(fullYear) + yday;
    t->tm_wday = static_cast<int>((dayNumber + 4) % 7);

    const int64_t secondsOfDay = (static_cast<int64_t>(hour) * 60 + min) * 60 + sec;
    if (dayNumber > (std::numeric_limits<int64_t>::max() - secondsOfDay) / 86400)
        return static_cast<time_t>(-1);
    return static_cast<time_t>(dayNumber * 86400 + secondsOfDay);
}
