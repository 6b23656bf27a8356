// Times of day as typed, today's date around midnight, and the remaining-time display.
#include <gtest/gtest.h>

#include <ctime>

#include "timesync/time_of_day.h"

namespace {

TEST(ParseTimeOfDay, AcceptedAndRejectedTexts) {
    const struct { const wchar_t* in; const wchar_t* out; } cases[] = {
        {L"9:5:3", L"09:05:03"},   {L" 9 : 5 : 3 ", L"09:05:03"}, {L"9:5", L"09:05:00"},
        {L"141516", L"14:15:16"},  {L"1415", L"14:15:00"},        {L"14", L"14:00:00"},
        {L"14:15:", L"14:15:00"},  {L"0", L"00:00:00"},           {L"23:59:59", L"23:59:59"},
        {L"\t07\n:\r08", L"07:08:00"}, {L"00:00:00", L"00:00:00"}, {L"235959", L"23:59:59"},
        // rejected
        {L"24:00:00", nullptr},    {L"12:60:00", nullptr},        {L"12:00:60", nullptr},
        {L"1415167", nullptr},     {L"141", nullptr},             {L"14151", nullptr},
        {L"", nullptr},            {L"   ", nullptr},             {L":14:15", nullptr},
        {L"14::15", nullptr},      {L"14:15::", nullptr},         {L"1:2:3:4", nullptr},
        {L"14:155:00", nullptr},   {L"14：15：16", nullptr},      {L"14:1a", nullptr},
        {L"a", nullptr},           {L"-1:00", nullptr},           {L"+1:00", nullptr},
        {L"１４:１５", nullptr},   {L":", nullptr},               {L"2400", nullptr},
    };
    for (const auto& c : cases) {
        const std::optional<std::wstring> r = ParseTimeOfDay(c.in);
        if (c.out) {
            ASSERT_TRUE(r.has_value()) << testing::PrintToString(std::wstring(c.in));
            EXPECT_EQ(*r, c.out);
        } else {
            EXPECT_FALSE(r.has_value()) << testing::PrintToString(std::wstring(c.in));
        }
    }
}

// Local calendar time → ms since 1970 (the test's own conversion, through the C runtime).
int64_t LocalMs(int year, int month, int day, int hour, int minute, int second) {
    std::tm t{};
    t.tm_year = year - 1900;
    t.tm_mon = month - 1;
    t.tm_mday = day;
    t.tm_hour = hour;
    t.tm_min = minute;
    t.tm_sec = second;
    t.tm_isdst = -1;
    return static_cast<int64_t>(_mktime64(&t)) * 1000;
}

TEST(TimeOfDayToUnifiedMs, TodaysDateEvenJustBeforeMidnight) {
    const int64_t halfMinuteBeforeMidnight = LocalMs(2025, 3, 14, 23, 59, 30) + 250;
    const struct { const wchar_t* text; int64_t expected; } cases[] = {
        {L"00:01:30", LocalMs(2025, 3, 14, 0, 1, 30)},  // two minutes "later", but today: almost a day ago
        {L"23:59:45", LocalMs(2025, 3, 14, 23, 59, 45)},
        {L"12", LocalMs(2025, 3, 14, 12, 0, 0)},
        {L"235959", LocalMs(2025, 3, 14, 23, 59, 59)},
    };
    for (const auto& c : cases) {
        const std::optional<int64_t> ms = TimeOfDayToUnifiedMsAt(c.text, halfMinuteBeforeMidnight);
        ASSERT_TRUE(ms.has_value()) << testing::PrintToString(std::wstring(c.text));
        EXPECT_EQ(*ms, c.expected);
        EXPECT_EQ(*ms % 1000, 0);
    }
    const std::optional<int64_t> past = TimeOfDayToUnifiedMsAt(L"00:01:30", halfMinuteBeforeMidnight);
    EXPECT_GT(halfMinuteBeforeMidnight - *past, 23 * 3600 * 1000LL);
    EXPECT_FALSE(TimeOfDayToUnifiedMsAt(L"24:00", halfMinuteBeforeMidnight).has_value());
    EXPECT_FALSE(TimeOfDayToUnifiedMsAt(L"", halfMinuteBeforeMidnight).has_value());
}

TEST(TimeOfDayToUnifiedMs, AlwaysWholeSecondsOfTheCurrentDay) {
    const std::optional<int64_t> now = TimeOfDayToUnifiedMs(L"12:34:56");
    ASSERT_TRUE(now.has_value());
    EXPECT_EQ(*now % 1000, 0);
    for (int64_t at : {LocalMs(2024, 2, 29, 0, 0, 0), LocalMs(2024, 12, 31, 23, 59, 59) + 999}) {
        const std::optional<int64_t> ms = TimeOfDayToUnifiedMsAt(L"06:07:08", at);
        ASSERT_TRUE(ms.has_value());
        EXPECT_EQ(*ms % 1000, 0);
        EXPECT_LT(std::abs(*ms - at), 24 * 3600 * 1000LL);
    }
}

TEST(DefaultTimeText, TwoMinutesAhead) {
    EXPECT_EQ(DefaultTimeTextAt(LocalMs(2025, 3, 14, 10, 0, 0) + 999), L"10:02:00");
    // Near midnight the proposal stays within today: a time of day always means today.
    EXPECT_EQ(DefaultTimeTextAt(LocalMs(2025, 3, 14, 23, 57, 59) + 999), L"23:59:59");
    EXPECT_EQ(DefaultTimeTextAt(LocalMs(2025, 3, 14, 23, 58, 0)), L"23:59:59");
    EXPECT_EQ(DefaultTimeTextAt(LocalMs(2025, 3, 14, 23, 59, 30)), L"23:59:59");
    EXPECT_EQ(DefaultTimeTextAt(LocalMs(2025, 12, 31, 23, 59, 0)), L"23:59:59");
    const std::wstring proposed = DefaultTimeText();
    EXPECT_EQ(ParseTimeOfDay(proposed), proposed);  // already canonical
}

TEST(FormatRemainingTime, Durations) {
    const struct { int64_t ms; const wchar_t* text; } cases[] = {
        {-1, L"00:00:00.000"},          {-3726045, L"00:00:00.000"}, {0, L"00:00:00.000"},
        {1, L"00:00:00.001"},           {999, L"00:00:00.999"},      {3726045, L"01:02:06.045"},
        {86399999, L"23:59:59.999"},    {360000000, L"100:00:00.000"},
        {INT64_MIN, L"00:00:00.000"},
    };
    for (const auto& c : cases) EXPECT_EQ(FormatRemainingTime(c.ms), c.text) << c.ms;
}

}  // namespace
