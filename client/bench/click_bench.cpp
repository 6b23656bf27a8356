// Measures the click executor on a window of its own: how close to the deadline SendInput is called,
// when the press reaches the window, how long SendInput itself takes, and the CPU time per click;
// idle, with one core loaded and with every core loaded.
//
//   click_bench [clicks per phase, default 200]
#include <windows.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "core/clock.h"
#include "tasks/click_executor.h"

namespace {

constexpr int kLeft = 240, kTop = 180, kSize = 320;

std::atomic<int64_t> g_arrivalNs{0};
std::atomic<int64_t> g_sendInputReturnNs{0};
HANDLE g_arrived = nullptr;

LRESULT CALLBACK WindowProcedure(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_LBUTTONDOWN) {
        g_arrivalNs = SteadyNowNs();
        SetEvent(g_arrived);
        return 0;
    }
    return DefWindowProcW(hwnd, message, wParam, lParam);
}

UINT WINAPI TimedSendInput(UINT count, LPINPUT inputs, int size) {
    UINT inserted = SendInput(count, inputs, size);
    g_sendInputReturnNs = SteadyNowNs();
    return inserted;
}

int64_t ThreadCpuUs() {
    FILETIME created, exited, kernel, user;
    GetThreadTimes(GetCurrentThread(), &created, &exited, &kernel, &user);
    auto value = [](const FILETIME& t) { return (static_cast<int64_t>(t.dwHighDateTime) << 32 | t.dwLowDateTime) / 10; };
    return value(kernel) + value(user);
}

struct Sample {
    double callUs;     // SendInput called minus the deadline
    double arrivalUs;  // WM_LBUTTONDOWN handled minus the deadline (negative: never arrived)
    double sendUs;     // duration of the SendInput call
    double spinUs;     // busy-wait before the click (CPU burnt)
    double wakeUs;     // end of the coarse wait minus the deadline (positive: woke too late)
    bool timer;
};

std::string Row(const char* name, std::vector<double> values) {
    if (values.empty()) return std::string(name) + ": no values\n";
    std::sort(values.begin(), values.end());
    auto at = [&](double q) { return values[std::min(values.size() - 1, static_cast<size_t>(q * (values.size() - 1) + 0.5))]; };
    char line[256];
    snprintf(line, sizeof line, "  %-34s min %9.1f  median %9.1f  p90 %9.1f  p99 %9.1f  max %9.1f  (n=%zu)\n", name,
             values.front(), at(0.5), at(0.9), at(0.99), values.back(), values.size());
    return line;
}

// Runs `clicks` clicks, each 20-120 ms ahead, on a worker (as the task pipeline does) while this
// thread pumps the window's messages.
std::vector<Sample> RunPhase(int clicks, std::mt19937& random, double& cpuPerClickUs) {
    std::vector<Sample> samples;
    std::atomic<bool> done{false};
    std::uniform_int_distribution<int64_t> ahead(20000, 120000);
    std::vector<int64_t> aheadUs(clicks);
    for (auto& a : aheadUs) a = ahead(random);
    std::thread worker([&] {
        static const ClickPlatform timed = [] {
            ClickPlatform p = SystemClickPlatform();
            p.sendInput = TimedSendInput;
            return p;
        }();
        const int64_t cpuStart = ThreadCpuUs();
        for (int i = 0; i < clicks; ++i) {
            ResetEvent(g_arrived);
            g_arrivalNs = 0;
            const int64_t target = WallClockUs() + aheadUs[i];
            const int64_t ms = target / 1000 + 1;
            const int64_t offsetUs = ms * 1000 - target;  // the instant lies exactly aheadUs away
            ClickTiming timing;
            ExecuteClickAt(ms, offsetUs, kLeft + kSize / 2, kTop + kSize / 2, &timed, &timing);
            const bool arrived = WaitForSingleObject(g_arrived, 1000) == WAIT_OBJECT_0;
            samples.push_back({(timing.sendInputNs - timing.deadlineNs) / 1000.0,
                               arrived ? (g_arrivalNs - timing.deadlineNs) / 1000.0 : -1.0,
                               (g_sendInputReturnNs - timing.sendInputNs) / 1000.0,
                               (timing.sendInputNs - timing.spinStartNs) / 1000.0,
                               (timing.spinStartNs - timing.deadlineNs) / 1000.0, timing.timerUsed});
            Sleep(5);
        }
        cpuPerClickUs = static_cast<double>(ThreadCpuUs() - cpuStart) / clicks;
        done = true;
    });
    while (!done) {
        MSG message;
        while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&message);
        MsgWaitForMultipleObjects(0, nullptr, FALSE, 50, QS_ALLINPUT);
    }
    worker.join();
    return samples;
}

void Report(const char* phase, const std::vector<Sample>& samples, double cpuPerClickUs) {
    std::vector<double> call, arrival, send, spin, wake;
    int lost = 0, timers = 0, lateWakes = 0;
    for (const Sample& s : samples) {
        call.push_back(s.callUs);
        if (s.arrivalUs >= 0) arrival.push_back(s.arrivalUs); else ++lost;
        send.push_back(s.sendUs);
        spin.push_back(s.spinUs);
        wake.push_back(s.wakeUs);
        lateWakes += s.wakeUs > 0;
        timers += s.timer;
    }
    printf("%s: %zu clicks, %d coarse waits on a timer, %d presses not seen within 1 s (all figures in us)\n", phase,
           samples.size(), timers, lost);
    printf("%s", Row("(a) SendInput called - deadline", call).c_str());
    printf("%s", Row("(b) WM_LBUTTONDOWN - deadline", arrival).c_str());
    printf("%s", Row("    SendInput call duration", send).c_str());
    printf("%s", Row("    coarse wait end - deadline", wake).c_str());
    printf("%s", Row("    busy-wait per click", spin).c_str());
    printf("  coarse wait ended after the deadline in %d of %zu clicks; CPU time of the clicking thread "
           "%.0f us per click (thread-time clock granularity averaged over the phase)\n",
           lateWakes, samples.size(), cpuPerClickUs);
    fflush(stdout);
}

// Busy threads at normal priority, for the loaded phases.
struct Load {
    std::atomic<bool> stop{false};
    std::vector<std::thread> threads;
    explicit Load(int count) {
        for (int i = 0; i < count; ++i)
            threads.emplace_back([this] {
                volatile uint64_t x = 0;
                while (!stop.load(std::memory_order_relaxed)) x = x + 1;
            });
    }
    ~Load() {
        stop = true;
        for (auto& t : threads) t.join();
    }
};

}  // namespace

int wmain(int argc, wchar_t** argv) {
    const int clicks = argc > 1 ? std::max(1, _wtoi(argv[1])) : 200;
    g_arrived = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    WNDCLASSW wc{};
    wc.lpfnWndProc = WindowProcedure;
    wc.hInstance = GetModuleHandleW(nullptr);
    wc.lpszClassName = L"ClickBenchTarget";
    RegisterClassW(&wc);
    HWND window = CreateWindowExW(WS_EX_TOPMOST, wc.lpszClassName, L"click bench", WS_POPUP | WS_VISIBLE, kLeft, kTop,
                                  kSize, kSize, nullptr, nullptr, wc.hInstance, nullptr);
    if (!window) {
        fprintf(stderr, "cannot create the target window\n");
        return 1;
    }
    SetForegroundWindow(window);
    SYSTEM_INFO system;
    GetSystemInfo(&system);
    LARGE_INTEGER frequency;
    QueryPerformanceFrequency(&frequency);
    printf("click_bench: %d clicks per phase, 20-120 ms ahead; %lu logical processors; counter %lld Hz\n", clicks,
           system.dwNumberOfProcessors, static_cast<long long>(frequency.QuadPart));

    std::mt19937 random(12345);
    double cpu = 0;
    std::vector<Sample> samples = RunPhase(clicks, random, cpu);
    Report("idle", samples, cpu);
    {
        Load load(1);
        samples = RunPhase(clicks, random, cpu);
        Report("one core loaded", samples, cpu);
    }
    {
        Load load(static_cast<int>(system.dwNumberOfProcessors));
        samples = RunPhase(clicks, random, cpu);
        Report("all cores loaded", samples, cpu);
    }
    DestroyWindow(window);
    CloseHandle(g_arrived);
    return 0;
}
