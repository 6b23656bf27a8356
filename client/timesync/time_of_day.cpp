#include "timesync/time_of_day.h"

#include "core/app_state.h"

#include <cstdio>
#include <ctime>
#include <cwctype>
#include <vector>

namespace {

std::wstring Pad(int64_t value, int width) {
    std::wstring digits = std::to_wstring(value);
    if (static_cast<int>(digits.size()) < width) digits.insert(0, width - digits.size(), L'0');
    return digits;
}

std::wstring Canonical(int hours, int minutes, int seconds) {
    return Pad(hours, 2) + L":" + Pad(minutes, 2) + L":" + Pad(seconds, 2);
}

bool LocalTime(int64_t seconds, std::tm& out) {
    __time64_t t = seconds;
    return _localtime64_s(&out, &t) == 0;
}

}  // namespace

std::optional<std::wstring> ParseTimeOfDay(const std::wstring& text) {
    std::wstring compact;
    for (wchar_t c : text)
        if (!std::iswspace(c)) compact.push_back(c);
    if (compact.empty()) return std::nullopt;

    std::vector<std::wstring> parts;
    if (compact.find(L':') != std::wstring::npos) {
        size_t start = 0;
        while (true) {
            size_t colon = compact.find(L':', start);
            parts.push_back(compact.substr(start, colon == std::wstring::npos ? std::wstring::npos : colon - start));
            if (colon == std::wstring::npos) break;
            start = colon + 1;
        }
        if (parts.back().empty()) parts.pop_back();  // one trailing colon is tolerated
    } else {
        for (wchar_t c : compact)
            if (!std::iswdigit(c)) return std::nullopt;
        switch (compact.size()) {
            case 1:
            case 2: parts = {compact}; break;
            case 4: parts = {compact.substr(0, 2), compact.substr(2, 2)}; break;
            case 6: parts = {compact.substr(0, 2), compact.substr(2, 2), compact.substr(4, 2)}; break;
            default: return std::nullopt;
        }
    }
    if (parts.empty() || parts.size() > 3) return std::nullopt;

    int values[3] = {0, 0, 0};
    for (size_t i = 0; i < parts.size(); ++i) {
        const std::wstring& part = parts[i];
        if (part.empty() || part.size() > 2) return std::nullopt;
        int value = 0;
        for (wchar_t c : part) {
            if (c < L'0' || c > L'9') return std::nullopt;  // iswdigit would also admit other digits
            value = value * 10 + (c - L'0');
        }
        values[i] = value;
    }
    if (values[0] > 23 || values[1] > 59 || values[2] > 59) return std::nullopt;
    return Canonical(values[0], values[1], values[2]);
}

std::wstring DefaultTimeTextAt(int64_t unifiedNowMs) {
    std::tm now{}, proposed{};
    if (!LocalTime(unifiedNowMs / 1000, now) || !LocalTime((unifiedNowMs + 120000) / 1000, proposed))
        return L"00:00:00";
    // A time of day always means today: two minutes past 23:58 would read as a moment early this
    // morning, long gone, so the proposal stops at the day's last second.
    if (proposed.tm_yday != now.tm_yday || proposed.tm_year != now.tm_year) return L"23:59:59";
    return Canonical(proposed.tm_hour, proposed.tm_min, proposed.tm_sec);
}

std::wstring DefaultTimeText() { return DefaultTimeTextAt(UnifiedNowMs()); }

std::optional<int64_t> TimeOfDayToUnifiedMsAt(const std::wstring& text, int64_t unifiedNowMs) {
    std::optional<std::wstring> canonical = ParseTimeOfDay(text);
    if (!canonical) return std::nullopt;
    int hours = 0, minutes = 0, seconds = 0;
    if (std::swscanf(canonical->c_str(), L"%d:%d:%d", &hours, &minutes, &seconds) != 3 || hours > 23 ||
        minutes >= 60 || seconds >= 60)
        return std::nullopt;
    std::tm today{};
    if (!LocalTime(unifiedNowMs / 1000, today)) return std::nullopt;
    today.tm_hour = hours;
    today.tm_min = minutes;
    today.tm_sec = seconds;
    today.tm_isdst = -1;  // let the system decide about daylight saving time
    __time64_t result = _mktime64(&today);
    if (result == -1) return std::nullopt;
    return static_cast<int64_t>(result) * 1000;
}

std::optional<int64_t> TimeOfDayToUnifiedMs(const std::wstring& text) {
    return TimeOfDayToUnifiedMsAt(text, UnifiedNowMs());
}

std::wstring FormatRemainingTime(int64_t ms) {
    if (ms < 1) ms = 0;
    const int64_t hours = ms / 3600000;
    const int64_t minutes = (ms % 3600000) / 60000;
    const int64_t seconds = (ms % 60000) / 1000;
    const int64_t millis = ms % 1000;
    return Pad(hours, 2) + L":" + Pad(minutes, 2) + L":" + Pad(seconds, 2) + L"." + Pad(millis, 3);
}

std::wstring FormatLocalTimeOfDayMs(int64_t unifiedMs) {
    // Floor division, so a moment before 1970 still shows a time of day within its second.
    int64_t seconds = unifiedMs / 1000, millis = unifiedMs % 1000;
    if (millis < 0) {
        millis += 1000;
        --seconds;
    }
    std::tm local{};
    if (!LocalTime(seconds, local)) return L"00:00:00.000";
    return Canonical(local.tm_hour, local.tm_min, local.tm_sec) + L"." + Pad(millis, 3);
}
