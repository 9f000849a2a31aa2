#include "base/hdatetime.h"

#include <cmath>
#include <cstdio>
#include <ctime>

namespace BRIXEL {

// The value is a day count since 1899-12-30. Fields come from the proleptic Gregorian
// calendar counted from 0000-01-01 (693959 days before the epoch): 400-year cycles of 146097
// days, centuries of 36524 days (the first of a cycle one longer), 4-year runs of 1461 days
// (the first of a non-leading century one shorter) and years of 365 days.
namespace {

constexpr double kHalfMillisecond = 1.0 / (2.0 * 86400000.0);
constexpr long kDaysToEpoch = 693959;
constexpr int kDaysBeforeMonth[13] = {0, 31, 59, 90, 120, 151, 181, 212, 243, 273, 304, 334, 365};

bool IsLeap(unsigned year) {
    return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
}

bool InRange(double value) {
    return !std::isnan(value) && value >= CHDateTime::kMinValue && value <= CHDateTime::kMaxValue;
}

struct Fields {
    int year, month, day, hour, minute, second, millisecond;
    int dayOfWeek;  // 1 = Sunday
    int dayOfYear;  // 1-based
};

bool Split(double value, Fields& f) {
    if (!InRange(value))
        return false;
    const double adjusted = value + (value > 0 ? kHalfMillisecond : -kHalfMillisecond);
    const long days = static_cast<long>(adjusted);  // toward zero: the fraction counts forward
    const double magnitude = std::fabs(adjusted);
    const double dayFraction = magnitude - std::floor(magnitude);
    const double secondsOfDay = dayFraction * 86400.0;
    long seconds = static_cast<long>(secondsOfDay);
    long millis = static_cast<long>((secondsOfDay - static_cast<double>(seconds)) * 1000.0);
    if (millis > 999)
        millis = 999;
    if (seconds > 86399)
        seconds = 86399;

    long absolute = days + kDaysToEpoch;  // days since 0000-01-01, which is day 0
    f.dayOfWeek = static_cast<int>((absolute - 1) % 7 + 1);
    const long cycles = absolute / 146097;
    absolute %= 146097;
    const long century = (absolute - 1) / 36524;
    bool leadingLeap = true;  // whether the 4-year run starts with a leap year
    long runs, dayInRun;
    if (century != 0) {
        absolute = (absolute - 1) % 36524;
        runs = (absolute + 1) / 1461;
        if (runs != 0) {
            dayInRun = (absolute + 1) % 1461;
        } else {
            leadingLeap = false;
            dayInRun = absolute;
        }
    } else {
        runs = absolute / 1461;
        dayInRun = absolute % 1461;
    }
    long yearInRun;
    if (leadingLeap) {
        yearInRun = (dayInRun - 1) / 365;
        if (yearInRun != 0)
            dayInRun = (dayInRun - 1) % 365;
    } else {
        yearInRun = dayInRun / 365;
        dayInRun %= 365;
    }
    f.year = static_cast<int>(cycles * 400 + century * 100 + runs * 4 + yearInRun);
    f.dayOfYear = static_cast<int>(dayInRun) + 1;

    bool done = false;
    if (yearInRun == 0 && leadingLeap) {
        if (dayInRun == 59) {
            f.month = 2;
            f.day = 29;
            done = true;
        } else if (dayInRun >= 60) {
            --dayInRun;
        }
    }
    if (!done) {
        ++dayInRun;
        int month = static_cast<int>(dayInRun >> 5) + 1;
        while (month < 12 && dayInRun > kDaysBeforeMonth[month])
            ++month;
        f.month = month;
        f.day = static_cast<int>(dayInRun) - kDaysBeforeMonth[month - 1];
    }
    f.hour = static_cast<int>(seconds / 3600);
    f.minute = static_cast<int>(seconds / 60 % 60);
    f.second = static_cast<int>(seconds % 60);
    f.millisecond = static_cast<int>(millis);
    return true;
}

// Dates before the epoch keep a forward-counting fraction; arithmetic needs a plain count.
double ToPlainDays(double value) {
    if (value >= 0)
        return value;
    const double whole = std::ceil(value);
    return whole - (value - whole);
}

double FromPlainDays(double days) {
    if (days >= 0)
        return days;
    const double whole = std::floor(days);
    return whole + (whole - days);
}

}  // namespace

CHDateTimeSpan::CHDateTimeSpan(double days, double hours, double minutes, double seconds,
                               double milliseconds)
    : m_span(days + hours / 24.0 + minutes / 1440.0 + seconds / 86400.0 +
             milliseconds / 86400000.0) {}

CHDateTimeSpan CHDateTimeSpan::FromDays(double days) {
    return CHDateTimeSpan(days, 0, 0, 0, 0);
}

CHDateTime::CHDateTime(double days) {
    SetValue(days);
}

CHDateTime::CHDateTime(const struct tm& t) {
    const int year = t.tm_year + 1900;
    const int month = t.tm_mon + 1;
    auto fits = [](int v) { return v >= 0 && v <= 0xFFFF; };
    if (!fits(year) || !fits(month) || !fits(t.tm_mday) || !fits(t.tm_hour) || !fits(t.tm_min) ||
        !fits(t.tm_sec)) {
        m_status = invalid;
        return;
    }
    SetDateTime(static_cast<uint16_t>(year), static_cast<uint16_t>(month),
                static_cast<uint16_t>(t.tm_mday), static_cast<uint16_t>(t.tm_hour),
                static_cast<uint16_t>(t.tm_min), static_cast<uint16_t>(t.tm_sec), 0);
}

CHDateTime::CHDateTime(uint16_t year, uint16_t month, uint16_t day, uint16_t hour, uint16_t minute,
                       uint16_t second, uint16_t millisecond) {
    SetDateTime(year, month, day, hour, minute, second, millisecond);
}

CHDateTime CHDateTime::Now() {
    timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    struct tm t {};
    CHDateTime result;
    if (!localtime_r(&ts.tv_sec, &t)) {
        result.m_status = invalid;
        return result;
    }
    const int second = t.tm_sec > 59 ? 59 : t.tm_sec;  // a leap second stays in its minute
    result.SetDateTime(static_cast<uint16_t>(t.tm_year + 1900), static_cast<uint16_t>(t.tm_mon + 1),
                       static_cast<uint16_t>(t.tm_mday), static_cast<uint16_t>(t.tm_hour),
                       static_cast<uint16_t>(t.tm_min), static_cast<uint16_t>(second),
                       static_cast<uint16_t>(ts.tv_nsec / 1000000));
    return result;
}

bool CHDateTime::SetDateTime(uint16_t year, uint16_t month, uint16_t day, uint16_t hour,
                             uint16_t minute, uint16_t second, uint16_t millisecond) {
    const bool fieldsOk = year <= 9999 && month >= 1 && month <= 12 && millisecond <= 999 &&
                          day >= 1 && hour <= 23 && minute <= 59 && second <= 59;
    if (!fieldsOk) {
        m_status = invalid;
        return false;
    }
    const bool leap = IsLeap(year);
    const int monthDays =
        kDaysBeforeMonth[month] - kDaysBeforeMonth[month - 1] + (leap && month == 2 ? 1 : 0);
    if (day > monthDays) {
        m_status = invalid;
        return false;
    }
    long dayNumber =
        365L * year + year / 4 - year / 100 + year / 400 + kDaysBeforeMonth[month - 1] + day;
    if (month <= 2 && leap)
        --dayNumber;
    dayNumber -= kDaysToEpoch;
    const double fraction =
        (3600.0 * hour + 60.0 * minute + second + millisecond / 1000.0) / 86400.0;
    const double value = dayNumber < 0 ? static_cast<double>(dayNumber) - fraction
                                       : static_cast<double>(dayNumber) + fraction;
    // Years below 100 pass the field checks but lie outside the representable range.
    if (!InRange(value)) {
        m_status = invalid;
        return false;
    }
    m_value = value;
    m_status = valid;
    return true;
}

void CHDateTime::SetValue(double days) {
    m_value = days;
    m_status = InRange(days) ? valid : invalid;
}

bool CHDateTime::GetFields(struct tm* out, int* millisecond) const {
    if (m_status != valid)
        return false;
    Fields f{};
    if (!Split(m_value, f))
        return false;
    if (out) {
        *out = tm{};
        out->tm_year = f.year - 1900;
        out->tm_mon = f.month - 1;
        out->tm_mday = f.day;
        out->tm_hour = f.hour;
        out->tm_min = f.minute;
        out->tm_sec = f.second;
        out->tm_wday = f.dayOfWeek - 1;
        out->tm_yday = f.dayOfYear - 1;
        out->tm_isdst = -1;
    }
    if (millisecond)
        *millisecond = f.millisecond;
    return true;
}

namespace {
template <typename Pick>
int FieldOf(const CHDateTime& dt, Pick pick) {
    if (dt.GetStatus() != CHDateTime::valid)
        return -1;
    Fields f{};
    if (!Split(dt.GetValue(), f))
        return -1;
    return pick(f);
}
}  // namespace

int CHDateTime::GetYear() const {
    return FieldOf(*this, [](const Fields& f) { return f.year; });
}
int CHDateTime::GetMonth() const {
    return FieldOf(*this, [](const Fields& f) { return f.month; });
}
int CHDateTime::GetDay() const {
    return FieldOf(*this, [](const Fields& f) { return f.day; });
}
int CHDateTime::GetHour() const {
    return FieldOf(*this, [](const Fields& f) { return f.hour; });
}
int CHDateTime::GetMinute() const {
    return FieldOf(*this, [](const Fields& f) { return f.minute; });
}
int CHDateTime::GetSecond() const {
    return FieldOf(*this, [](const Fields& f) { return f.second; });
}
int CHDateTime::GetMillisecond() const {
    return FieldOf(*this, [](const Fields& f) { return f.millisecond; });
}
int CHDateTime::GetDayOfWeek() const {
    return FieldOf(*this, [](const Fields& f) { return f.dayOfWeek; });
}

bool CHDateTime::IsSameYear(const CHDateTime& other) const {
    const int year = GetYear();
    return year >= 0 && year == other.GetYear();
}

bool CHDateTime::IsSameMonth(const CHDateTime& other) const {
    const int month = GetMonth();
    return IsSameYear(other) && month >= 0 && month == other.GetMonth();
}

bool CHDateTime::IsSameDay(const CHDateTime& other) const {
    const int day = GetDay();
    return IsSameMonth(other) && day >= 0 && day == other.GetDay();
}

std::string CHDateTime::Format(const char* pattern) const {
    if (m_status == null || !pattern)
        return {};
    struct tm t {};
    if (m_status == invalid || !GetFields(&t, nullptr))
        return "invalid datetime";
    char buffer[1024];
    const size_t n = strftime(buffer, sizeof(buffer), pattern, &t);
    return std::string(buffer, n);
}

std::string CHDateTime::ToString() const {
    if (m_status == null)
        return {};
    Fields f{};
    if (m_status != valid || !Split(m_value, f))
        f = Fields{};
    char buffer[64];
    snprintf(buffer, sizeof(buffer), "%04u-%02u-%02u %02u:%02u:%02u.%03u",
             static_cast<unsigned>(f.year), static_cast<unsigned>(f.month),
             static_cast<unsigned>(f.day), static_cast<unsigned>(f.hour),
             static_cast<unsigned>(f.minute), static_cast<unsigned>(f.second),
             static_cast<unsigned>(f.millisecond));
    return buffer;
}

CHDateTime CHDateTime::operator+(const CHDateTimeSpan& span) const {
    CHDateTime result;
    if (m_status == null || span.GetStatus() == CHDateTimeSpan::null) {
        result.m_status = null;
        return result;
    }
    if (m_status == invalid || span.GetStatus() == CHDateTimeSpan::invalid) {
        result.m_status = invalid;
        return result;
    }
    result.SetValue(FromPlainDays(ToPlainDays(m_value) + span.GetTotalDays()));
    return result;
}

CHDateTime CHDateTime::operator-(const CHDateTimeSpan& span) const {
    CHDateTimeSpan negated = CHDateTimeSpan::FromDays(-span.GetTotalDays());
    negated.SetStatus(span.GetStatus());
    return *this + negated;
}

CHDateTime& CHDateTime::operator+=(const CHDateTimeSpan& span) {
    *this = *this + span;
    return *this;
}

CHDateTimeSpan CHDateTime::operator-(const CHDateTime& other) const {
    CHDateTimeSpan span;
    if (m_status == null || other.m_status == null) {
        span.SetStatus(CHDateTimeSpan::null);
    } else if (m_status == invalid || other.m_status == invalid) {
        span.SetStatus(CHDateTimeSpan::invalid);
    } else {
        span = CHDateTimeSpan::FromDays(ToPlainDays(m_value) - ToPlainDays(other.m_value));
    }
    return span;
}

bool CHDateTime::operator==(const CHDateTime& other) const {
    return m_status == other.m_status && m_value == other.m_value;
}

bool CHDateTime::operator<(const CHDateTime& other) const {
    return ToPlainDays(m_value) < ToPlainDays(other.m_value);
}

}  // namespace BRIXEL
