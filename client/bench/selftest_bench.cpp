// How long `Orvane.exe --self-test` takes as a user or an installer runs it: from process creation to
// its exit, start-up and every check included. Rounds one after another; the exit code of each is shown
// too, since a run that failed early would look fast.
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "bench/timed_start.h"

namespace fs = std::filesystem;

namespace {

struct Run {
    double ms = -1;
    DWORD exitCode = 0;
};

Run Measure(const fs::path& program) {
    Run run;
    const TimedStart start(program, L"--self-test");
    if (!start.started()) return run;
    if (WaitForSingleObject(start.process(), 60000) == WAIT_OBJECT_0) {
        run.ms = start.ElapsedMs();
        GetExitCodeProcess(start.process(), &run.exitCode);
    } else {
        TerminateProcess(start.process(), 1);
        WaitForSingleObject(start.process(), 10000);
    }
    return run;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    wchar_t self[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, self, MAX_PATH);
    const fs::path orvane = fs::path(self).parent_path() / L"Orvane.exe";
    const int rounds = argc > 1 ? std::max(1, _wtoi(argv[1])) : 10;

    std::printf("self-test run time (process start to exit), %d rounds\n", rounds);
    std::vector<double> times;
    int failed = 0;
    for (int i = 0; i < rounds; ++i) {
        const Run run = Measure(orvane);
        if (run.ms < 0) {
            std::printf("  round %2d: did not finish\n", i + 1);
            ++failed;
            continue;
        }
        std::printf("  round %2d: %7.1f ms, exit code %lu\n", i + 1, run.ms, static_cast<unsigned long>(run.exitCode));
        if (run.exitCode != 0) ++failed;
        times.push_back(run.ms);
    }
    if (times.empty()) return 1;
    std::sort(times.begin(), times.end());
    std::printf("  min %.1f ms, median %.1f ms, max %.1f ms (aim: under 3000 ms)\n", times.front(),
                times[times.size() / 2], times.back());
    return failed ? 1 : 0;
}
