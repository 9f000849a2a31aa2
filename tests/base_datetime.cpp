// Calendar conversions of CHDateTime and spans.

#include <gtest/gtest.h>

#include <cmath>

#include "base/hdatetime.h"

using namespace BRIXEL;

namespace {
constexpr double kMs = 1.0 / 86400000.0;
}

TEST(DateTimeTest, FieldValidation) {
    struct Case {
        uint16_t y, mo, d, h, mi, s, ms;
        bool ok;
    } cases[] = {
        {2020, 2, 29, 0, 0, 0, 0, true},    {2019, 2, 29, 0, 0, 0, 0, false},
        {1900, 2, 29, 0, 0, 0, 0, false},   {2000, 2, 29, 0, 0, 0, 0, true},
        {2021, 4, 31, 0, 0, 0, 0, false},   {2021, 12, 31, 23, 59, 59, 999, true},
        {2021, 0, 1, 0, 0, 0, 0, false},    {2021, 13, 1, 0, 0, 0, 0, false},
        {2021, 1, 0, 0, 0, 0, 0, false},    {2021, 1, 1, 24, 0, 0, 0, false},
        {2021, 1, 1, 0, 60, 0, 0, false},   {2021, 1, 1, 0, 0, 60, 0, false},
        {2021, 1, 1, 0, 0, 0, 1000, false}, {10000, 1, 1, 0, 0, 0, 0, false},
        {9999, 12, 31, 0, 0, 0, 0, true},   {100, 1, 1, 0, 0, 0, 0, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.y << "-" << c.mo << "-" << c.d << " " << c.h << ":"
                                        << c.mi << ":" << c.s << "." << c.ms);
        CHDateTime dt;
        EXPECT_EQ(dt.SetDateTime(c.y, c.mo, c.d, c.h, c.mi, c.s, c.ms), c.ok);
        EXPECT_EQ(dt.GetStatus(), c.ok ? CHDateTime::valid : CHDateTime::invalid);
        if (!c.ok) {
            EXPECT_EQ(dt.GetHour(), -1);
            EXPECT_EQ(dt.GetMillisecond(), -1);
        }
    }
}

TEST(DateTimeTest, KnownValues) {
    struct Case {
        uint16_t y, mo, d, h, mi, s, ms;
        double value;
    } cases[] = {
        {1899, 12, 30, 0, 0, 0, 0, 0.0},    {1899, 12, 31, 0, 0, 0, 0, 1.0},
        {1899, 12, 29, 6, 0, 0, 0, -1.25},  {1900, 1, 1, 0, 0, 0, 0, 2.0},
        {1900, 3, 1, 0, 0, 0, 0, 61.0},     {2020, 3, 31, 12, 0, 0, 0, 43921.5},
        {100, 1, 1, 0, 0, 0, 0, -657434.0}, {9999, 12, 31, 0, 0, 0, 0, 2958465.0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.value);
        CHDateTime dt(c.y, c.mo, c.d, c.h, c.mi, c.s, c.ms);
        ASSERT_TRUE(dt.IsValid());
        EXPECT_DOUBLE_EQ(dt.GetValue(), c.value);
        CHDateTime back(c.value);
        EXPECT_EQ(back.GetYear(), c.y);
        EXPECT_EQ(back.GetMonth(), c.mo);
        EXPECT_EQ(back.GetDay(), c.d);
        EXPECT_EQ(back.GetHour(), c.h);
        EXPECT_EQ(back.GetMinute(), c.mi);
    }
    EXPECT_EQ(CHDateTime(43921.5).ToString(), "2020-03-31 12:00:00.000");
    EXPECT_EQ(CHDateTime(-1.25).ToString(), "1899-12-29 06:00:00.000");
}

TEST(DateTimeTest, EveryDayOfTheRangeRoundTrips) {
    // Walk the calendar day by day from 0100-01-01 and compare with the split of each value.
    static const int kMonthDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    int y = 100, m = 1, d = 1, weekday = 6;  // 0100-01-01 was a Friday (proleptic Gregorian)
    int mismatches = 0;
    for (long v = -657434; v <= 2958465 && mismatches < 5; ++v) {
        CHDateTime dt(static_cast<double>(v));
        if (dt.GetYear() != y || dt.GetMonth() != m || dt.GetDay() != d ||
            dt.GetDayOfWeek() != weekday) {
            ADD_FAILURE() << v << " split to " << dt.ToString() << " expected " << y << "-" << m
                          << "-" << d;
            ++mismatches;
        }
        CHDateTime built;
        if (!built.SetDateTime(static_cast<uint16_t>(y), static_cast<uint16_t>(m),
                               static_cast<uint16_t>(d), 0, 0, 0, 0) ||
            built.GetValue() != static_cast<double>(v)) {
            ADD_FAILURE() << y << "-" << m << "-" << d << " built " << built.GetValue()
                          << " expected " << v;
            ++mismatches;
        }
        const bool leap = (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
        const int length = (m == 2 && leap) ? 29 : kMonthDays[m - 1];
        weekday = weekday % 7 + 1;
        if (++d > length) {
            d = 1;
            if (++m > 12) {
                m = 1;
                ++y;
            }
        }
    }
}

TEST(DateTimeTest, HalfMillisecondRounding) {
    // 0.4 ms before midnight belongs to the next day.
    CHDateTime late(43921.0 + 1.0 - 0.4 * kMs);
    EXPECT_EQ(late.ToString(), "2020-04-01 00:00:00.000");
    // 0.6 ms after a whole second keeps it; 123 ms survive the double representation.
    EXPECT_EQ(CHDateTime(43921.5 + 0.6 * kMs).ToString(), "2020-03-31 12:00:00.001");
    CHDateTime withMs(2020, 3, 31, 23, 59, 59, 123);
    EXPECT_EQ(withMs.GetMillisecond(), 123);
    EXPECT_EQ(withMs.GetSecond(), 59);
    EXPECT_EQ(withMs.ToString(), "2020-03-31 23:59:59.123");
    // Before the epoch the fraction counts forward from midnight of the (negative) day.
    CHDateTime old(1850, 6, 15, 18, 30, 15, 250);
    EXPECT_LT(old.GetValue(), 0.0);
    EXPECT_EQ(old.ToString(), "1850-06-15 18:30:15.250");
}

TEST(DateTimeTest, RangeAndStatusText) {
    EXPECT_FALSE(CHDateTime(-657435.0).IsValid());
    EXPECT_FALSE(CHDateTime(2958466.0).IsValid());
    EXPECT_FALSE(CHDateTime(std::nan("")).IsValid());
    EXPECT_TRUE(CHDateTime(-657434.0).IsValid());

    CHDateTime invalid;
    invalid.SetDateTime(2019, 2, 29, 0, 0, 0, 0);
    EXPECT_EQ(invalid.ToString(), "0000-00-00 00:00:00.000");
    EXPECT_EQ(invalid.Format("%Y"), "invalid datetime");

    CHDateTime null;
    null.SetStatus(CHDateTime::null);
    EXPECT_EQ(null.ToString(), "");
    EXPECT_EQ(null.Format("%Y"), "");

    CHDateTime dt(2020, 3, 31, 14, 3, 7, 45);
    EXPECT_EQ(dt.Format("_%Y%m%d %H:%M:%S %a %j"), "_20200331 14:03:07 Tue 091");
    EXPECT_EQ(dt.GetDayOfWeek(), 3);
}

TEST(DateTimeTest, SameYearMonthDay) {
    CHDateTime a(2020, 3, 31, 1, 0, 0, 0), b(2020, 3, 31, 23, 0, 0, 0), c(2020, 4, 1, 0, 0, 0, 0),
        d(2021, 3, 31, 0, 0, 0, 0);
    EXPECT_TRUE(a.IsSameDay(b));
    EXPECT_FALSE(a.IsSameDay(c));
    EXPECT_TRUE(a.IsSameYear(c));
    EXPECT_FALSE(a.IsSameMonth(c));
    EXPECT_FALSE(a.IsSameMonth(d));  // same month number, other year
    EXPECT_FALSE(a.IsSameDay(d));
    CHDateTime bad(1e9);
    EXPECT_FALSE(bad.IsSameYear(bad));
}

TEST(DateTimeTest, SpanArithmeticAcrossTheEpoch) {
    EXPECT_DOUBLE_EQ(CHDateTimeSpan(1, 12, 0, 0, 0).GetTotalDays(), 1.5);
    EXPECT_DOUBLE_EQ(CHDateTimeSpan(0, 0, 0, 0, 86400000).GetTotalDays(), 1.0);

    // 1899-12-29 06:00 plus 20 hours is 1899-12-30 02:00.
    CHDateTime before(-1.25);
    CHDateTime after = before + CHDateTimeSpan(0, 20, 0, 0, 0);
    EXPECT_EQ(after.ToString(), "1899-12-30 02:00:00.000");
    // And back again, landing before the epoch with a forward fraction.
    EXPECT_EQ((after - CHDateTimeSpan(0, 20, 0, 0, 0)).ToString(), "1899-12-29 06:00:00.000");
    EXPECT_NEAR((after - before).GetTotalDays(), 20.0 / 24.0, 1e-9);

    // File time stamps: begin plus a span of milliseconds.
    CHDateTime begin(2020, 3, 31, 23, 59, 59, 500);
    EXPECT_EQ((begin + CHDateTimeSpan(0, 0, 0, 0, 1500)).ToString(), "2020-04-01 00:00:01.000");

    CHDateTime top(2958465.0);
    EXPECT_EQ((top + CHDateTimeSpan(2, 0, 0, 0, 0)).GetStatus(), CHDateTime::invalid);
    CHDateTimeSpan nullSpan;
    nullSpan.SetStatus(CHDateTimeSpan::null);
    EXPECT_EQ((begin + nullSpan).GetStatus(), CHDateTime::null);
    CHDateTime invalid(1e9);
    EXPECT_EQ((invalid + CHDateTimeSpan()).GetStatus(), CHDateTime::invalid);
}

TEST(DateTimeTest, FromBrokenDownAndNow) {
    struct tm t {};
    t.tm_year = 120;
    t.tm_mon = 2;
    t.tm_mday = 31;
    t.tm_hour = 12;
    EXPECT_DOUBLE_EQ(CHDateTime(t).GetValue(), 43921.5);
    t.tm_mon = -1;
    EXPECT_FALSE(CHDateTime(t).IsValid());

    const CHDateTime now = CHDateTime::Now();
    ASSERT_TRUE(now.IsValid());
    EXPECT_GE(now.GetYear(), 2020);
    EXPECT_GE(now.GetMillisecond(), 0);
    EXPECT_LE(now.GetMillisecond(), 999);
}
