// One simulated machine's alignment, as its Orvane.exe aligns: `align-probe [rounds]` asks the
// program's built-in standard-time servers (through the machine's own name resolution) with the
// alignment's sample count and time-out, and prints per round the offset it found and the uncertainty
// it would show:
//   align offset_us=-3200412 uncertainty_us=1000 delay_us=1804
// scripts/rooms-e2e compares the offset with the clock error it gave the machine (libfaketime).
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "timesync/standard_time.h"

int wmain(int argc, wchar_t** argv) {
    const int rounds = argc > 1 ? std::max(1, _wtoi(argv[1])) : 1;
    int failed = 0;
    for (int i = 0; i < rounds; ++i) {
        std::wstring error;
        // The alignment at the start of a task: 7 samples, 250 ms per query.
        const StandardTimeResult r = QueryDirectNtpTime(7, 250, error);
        if (!r.ok) {
            std::printf("failed %ls\n", error.c_str());
            ++failed;
        } else {
            std::printf("align offset_us=%lld uncertainty_us=%lld delay_us=%lld\n", static_cast<long long>(r.offsetUs),
                        static_cast<long long>(r.uncertaintyUs), static_cast<long long>(r.delayUs));
        }
        std::fflush(stdout);
        Sleep(200);
    }
    return failed == rounds ? 1 : 0;
}
