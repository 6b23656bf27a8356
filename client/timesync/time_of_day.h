// Times of day typed by the user ("HH:MM:SS", local time, today) and the remaining-time display.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

// Accepts "9:5:3", " 9 : 5 : 3 ", "9:5", "14:15:", "141516", "1415", "14" and the like; yields the
// canonical "HH:MM:SS", or nothing for text that is not a valid time of day.
std::optional<std::wstring> ParseTimeOfDay(const std::wstring& text);

// Two minutes after the current unified time, as a canonical local time of day.
std::wstring DefaultTimeText();
std::wstring DefaultTimeTextAt(int64_t unifiedNowMs);

// The moment of that time of day today (the local date of the unified time), in unified ms; a
// multiple of 1000. A time that has passed today gives a moment in the past, never tomorrow.
std::optional<int64_t> TimeOfDayToUnifiedMs(const std::wstring& text);
std::optional<int64_t> TimeOfDayToUnifiedMsAt(const std::wstring& text, int64_t unifiedNowMs);

// "HH:MM:SS.mmm" of a duration; the hours are not wrapped at 24; values below 1 show as zero.
std::wstring FormatRemainingTime(int64_t ms);

// "HH:MM:SS.mmm": the local time of day of a unified moment (the planned click shown beside the
// countdown).
std::wstring FormatLocalTimeOfDayMs(int64_t unifiedMs);
