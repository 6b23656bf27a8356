// Start-up figures of Orvane.exe under the current platform, side by side with a minimal window
// program built the same way: time from process creation to the first paint of the main window (the
// message loop going idle after the first paint), and the private memory once it is up.
#include <windows.h>
#include <psapi.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "bench/timed_start.h"

namespace fs = std::filesystem;

namespace {

struct Sample {
    double startMs = -1;
    double privateKiB = 0;
};

Sample Measure(const fs::path& program) {
    Sample sample;
    const TimedStart start(program, L"");
    if (!start.started()) return sample;
    HANDLE process = start.process();
    if (WaitForInputIdle(process, 30000) == 0) sample.startMs = start.ElapsedMs();
    Sleep(500);  // let start-up work settle before reading the memory figure
    PROCESS_MEMORY_COUNTERS_EX counters{};
    counters.cb = sizeof counters;
    if (GetProcessMemoryInfo(process, reinterpret_cast<PROCESS_MEMORY_COUNTERS*>(&counters), sizeof counters))
        // Some platforms (wine) leave PrivateUsage at zero; the page-file commit is the same figure there.
        sample.privateKiB = static_cast<double>(counters.PrivateUsage ? counters.PrivateUsage : counters.PagefileUsage) / 1024.0;
    TerminateProcess(process, 0);
    WaitForSingleObject(process, 10000);
    return sample;
}

double Median(std::vector<double> values) {
    if (values.empty()) return -1;
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    wchar_t self[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, self, MAX_PATH);
    const fs::path folder = fs::path(self).parent_path();
    const fs::path orvane = folder / L"Orvane.exe";
    const fs::path minimal = folder / L"minimal_window.exe";
    const int rounds = argc > 1 ? std::max(1, _wtoi(argv[1])) : 10;

    std::printf("start-up benchmark, %d rounds each, interleaved\n", rounds);
    std::printf("  Orvane.exe         %8.0f KiB\n", static_cast<double>(fs::file_size(orvane)) / 1024.0);
    std::printf("  libsodium.dll      %8.0f KiB\n", static_cast<double>(fs::file_size(folder / L"libsodium.dll")) / 1024.0);
    std::printf("  minimal_window.exe %8.0f KiB\n", static_cast<double>(fs::file_size(minimal)) / 1024.0);

    std::vector<double> orvaneMs, minimalMs, orvaneKiB, minimalKiB;
    for (int i = 0; i < rounds; ++i) {
        Sample a = Measure(minimal);
        Sample b = Measure(orvane);
        if (a.startMs >= 0) minimalMs.push_back(a.startMs), minimalKiB.push_back(a.privateKiB);
        if (b.startMs >= 0) orvaneMs.push_back(b.startMs), orvaneKiB.push_back(b.privateKiB);
    }
    const double o = Median(orvaneMs), m = Median(minimalMs);
    std::printf("  time to first paint (median): Orvane %.1f ms, minimal %.1f ms, ratio %.2f\n", o, m, m > 0 ? o / m : 0);
    std::printf("  private memory after start (median): Orvane %.0f KiB, minimal %.0f KiB\n", Median(orvaneKiB),
                Median(minimalKiB));
    return orvaneMs.empty() || minimalMs.empty() ? 1 : 0;
}
