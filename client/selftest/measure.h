// Orvane.exe --measure: how precise this program is on the machine it runs on, for a person to run on
// their own computer without an account. Clicks only into a small window of its own, prints a short
// report to standard output (a console or a redirect) and saves it as "orvane-measure.txt" in the
// current folder.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

inline constexpr wchar_t kMeasureReportFile[] = L"orvane-measure.txt";
inline constexpr int kMeasureClicks = 200;

// Median, 99th percentile (nearest rank) and maximum of a set of figures.
struct Spread {
    double median = 0;
    double p99 = 0;
    double max = 0;
    size_t count = 0;
};
Spread SpreadOf(std::vector<double> values);

struct MeasureReport {
    std::wstring version;
    std::wstring windows;           // "10.0.19045"; empty when it could not be read
    double timerResolutionMs = -1;  // the system timer's period while the clicks ran; -1: unknown
    bool priorityRaised = false;    // the clicking thread runs at time-critical priority
    bool prioritiesIgnored = false; // where thread priorities are not passed on (wine)
    bool unthrottled = false;       // this process is out of power throttling while it measures
    std::wstring integrity;         // "中（Medium）" …; empty when it could not be read
    int clicksAsked = 0;
    int clicksSent = 0;
    std::vector<double> callUs;     // SendInput called minus the deadline, one per click sent
    std::vector<double> arrivalUs;  // the press at the window minus the deadline, one per press received
    std::wstring stoppedBecause;    // why the clicks stopped before all were made; empty when they did not
    std::wstring standardTime;      // the time servers' alignment, or why there is none
    std::wstring serviceTime;       // the service clock's
};

// The report as the person reads it (UTF-8, one line per figure, lines ending in CR LF).
std::string FormatMeasureReport(const MeasureReport& report);

// The whole run: returns 0 when the report was written to the file, 1 otherwise.
int RunMeasure();
