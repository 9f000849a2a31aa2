#pragma once
// Calendar time as a day count since 1899-12-30 00:00 local time with the time of day as the
// fraction. Before the epoch the whole part is negative while the fraction still counts forward
// from midnight: -1.25 is 1899-12-29 06:00.

#include <cstdint>
#include <ctime>
#include <string>

namespace BRIXEL {

class CHDateTimeSpan {
public:
    enum Status : uint32_t { valid = 0, invalid = 1, null = 2 };

    CHDateTimeSpan() = default;
    CHDateTimeSpan(double days, double hours, double minutes, double seconds, double milliseconds);
    static CHDateTimeSpan FromDays(double days);

    double GetTotalDays() const { return m_span; }
    double GetTotalMilliseconds() const { return m_span * 86400000.0; }
    Status GetStatus() const { return m_status; }
    void SetStatus(Status status) { m_status = status; }

private:
    double m_span = 0.0;
    Status m_status = valid;
};

class CHDateTime {
public:
    enum Status : uint32_t { valid = 0, invalid = 1, null = 2 };

    static constexpr double kMinValue = -657434.0;  // 0100-01-01
    static constexpr double kMaxValue = 2958465.0;  // 9999-12-31

    CHDateTime() = default;
    explicit CHDateTime(double days);
    // tm_year since 1900, tm_mon 0..11; milliseconds 0.
    explicit CHDateTime(const struct tm& fields);
    CHDateTime(uint16_t year, uint16_t month, uint16_t day, uint16_t hour, uint16_t minute,
               uint16_t second, uint16_t millisecond = 0);
    virtual ~CHDateTime() = default;
    CHDateTime(const CHDateTime&) = default;
    CHDateTime& operator=(const CHDateTime&) = default;

    // Local time now, with milliseconds.
    static CHDateTime Now();

    // False (and status invalid) for a field out of range.
    bool SetDateTime(uint16_t year, uint16_t month, uint16_t day, uint16_t hour, uint16_t minute,
                     uint16_t second, uint16_t millisecond);
    void SetValue(double days);
    double GetValue() const { return m_value; }
    Status GetStatus() const { return m_status; }
    void SetStatus(Status status) { m_status = status; }
    bool IsValid() const { return m_status == valid; }

    // -1 when the value is not valid.
    int GetYear() const;
    int GetMonth() const;  // 1..12
    int GetDay() const;
    int GetHour() const;
    int GetMinute() const;
    int GetSecond() const;
    int GetMillisecond() const;
    int GetDayOfWeek() const;  // 1 = Sunday .. 7

    // Broken-down fields (tm_year since 1900, tm_mon 0..11); false when invalid or out of range.
    bool GetFields(struct tm* out, int* millisecond) const;

    bool IsSameYear(const CHDateTime& other) const;
    bool IsSameMonth(const CHDateTime& other) const;
    bool IsSameDay(const CHDateTime& other) const;

    // strftime into 1024 bytes; "invalid datetime" when invalid, "" when null.
    std::string Format(const char* pattern) const;
    // "YYYY-MM-DD hh:mm:ss.mmm"; all zero fields when invalid, "" when null.
    std::string ToString() const;

    CHDateTime operator+(const CHDateTimeSpan& span) const;
    CHDateTime operator-(const CHDateTimeSpan& span) const;
    CHDateTime& operator+=(const CHDateTimeSpan& span);
    // Plain-day-count difference; null or invalid when either side is.
    CHDateTimeSpan operator-(const CHDateTime& other) const;

    bool operator==(const CHDateTime& other) const;
    bool operator<(const CHDateTime& other) const;

private:
    double m_value = 0.0;
    Status m_status = valid;
};

}  // namespace BRIXEL
