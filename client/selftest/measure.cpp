#include "selftest/measure.h"

#include <windows.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <thread>

#include "core/clock.h"
#include "core/config.h"
#include "core/holders.h"
#include "net/json_text.h"
#include "target/desktop_system.h"
#include "tasks/click_executor.h"
#include "timesync/standard_time.h"

namespace {

constexpr int kWindowSize = 160;
// Each click is ordered this far ahead: past the executor's longest coarse-wait lead, so every click
// takes the whole path a task's click takes.
constexpr int64_t kClickAheadMs = 80;
constexpr DWORD kArrivalWaitMs = 1000;

std::string Utf8(const std::wstring& text) { return Utf16ToUtf8(text); }

std::string Fixed(double value, int decimals) {
    char text[64];
    std::snprintf(text, sizeof text, "%.*f", decimals, value);
    return text;
}

std::string SpreadLine(const char* what, const std::vector<double>& values) {
    if (values.empty()) return std::string("  ") + what + "：没有数据\r\n";
    const Spread s = SpreadOf(values);
    return std::string("  ") + what + "（微秒）：中位数 " + Fixed(s.median, 0) + "，p99 " + Fixed(s.p99, 0) +
           "，最大 " + Fixed(s.max, 0) + "（" + std::to_string(s.count) + " 次）\r\n";
}

// ---- the system's answers -------------------------------------------------------------------------

std::wstring WindowsVersion() {
    // RtlGetVersion reports the real version, whatever the program's manifest declares.
    using Query = LONG(WINAPI*)(OSVERSIONINFOW*);
    auto query = reinterpret_cast<Query>(GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "RtlGetVersion"));
    OSVERSIONINFOW info{};
    info.dwOSVersionInfoSize = sizeof info;
    if (!query || query(&info) != 0) return L"";
    return std::to_wstring(info.dwMajorVersion) + L"." + std::to_wstring(info.dwMinorVersion) + L"." +
           std::to_wstring(info.dwBuildNumber);
}

// The system timer's current period (NtQueryTimerResolution, in 100-ns units), or -1.
double TimerResolutionMs() {
    using Query = LONG(WINAPI*)(ULONG*, ULONG*, ULONG*);
    auto query = reinterpret_cast<Query>(GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "NtQueryTimerResolution"));
    ULONG coarsest = 0, finest = 0, current = 0;
    if (!query || query(&coarsest, &finest, &current) != 0 || current == 0) return -1;
    return current / 10000.0;
}

std::wstring IntegrityName(const DesktopSystem& system) {
    DWORD rid = 0;
    if (!system.ownIntegrity(rid)) return L"";
    if (rid >= SECURITY_MANDATORY_SYSTEM_RID) return L"系统（System）";
    if (rid >= SECURITY_MANDATORY_HIGH_RID) return L"高（High，以管理员身份运行）";
    if (rid >= SECURITY_MANDATORY_MEDIUM_RID) return L"中（Medium）";
    return L"低（Low）";
}

std::wstring AlignmentLine(const StandardTimeResult& result, const std::wstring& error) {
    if (!result.ok) return L"无法对时：" + (error.empty() ? std::wstring(L"没有回答") : error);
    const int64_t uncertaintyMs = (result.uncertaintyUs + 999) / 1000;
    return L"对时误差 ±" + std::to_wstring(uncertaintyMs) + L" 毫秒（" + result.sourceLabel + L"，往返 " +
           std::to_wstring((result.delayUs + 500) / 1000) + L" 毫秒）";
}

// ---- the clicks into the program's own window ------------------------------------------------------

std::atomic<int64_t> g_pressNs{0};
HANDLE g_pressed = nullptr;
HWND g_window = nullptr;

LRESULT CALLBACK MeasureWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    // With the buttons swapped the press arrives as the secondary one where Windows does not swap
    // injected input: either counts as the click.
    if (message == WM_LBUTTONDOWN || message == WM_RBUTTONDOWN) {
        g_pressNs = SteadyNowNs();
        SetEvent(g_pressed);
        return 0;
    }
    if (message == WM_PAINT) {
        PAINTSTRUCT paint;
        HDC dc = BeginPaint(window, &paint);
        RECT area;
        GetClientRect(window, &area);
        FillRect(dc, &area, static_cast<HBRUSH>(GetStockObject(GRAY_BRUSH)));
        EndPaint(window, &paint);
        return 0;
    }
    return DefWindowProcW(window, message, wParam, lParam);
}

struct LookContext {
    const DesktopSystem* desktop;
    POINT point;
    bool refused = false;
};

// The click goes only where this program's own window is under the point, on the desktop that takes
// input: otherwise nothing is sent and the measurement ends.
BOOL OwnWindowUnderThePoint(void* context) {
    auto* look = static_cast<LookContext*>(context);
    if (look->desktop->inputDesktopIsOurs() && WindowFromPoint(look->point) == g_window) return TRUE;
    look->refused = true;
    return FALSE;
}

void MeasureClicks(MeasureReport& report, const DesktopSystem& desktop, POINT point) {
    ThreadPriority probe(THREAD_PRIORITY_HIGHEST);
    report.priorityRaised = GetThreadPriority(GetCurrentThread()) == THREAD_PRIORITY_HIGHEST;
    report.prioritiesIgnored = ThreadPrioritiesIgnored();
    ForgetLearnedOversleepForTesting();  // each measurement learns its machine afresh
    LookContext look{&desktop, point};
    for (int i = 0; i < kMeasureClicks; ++i) {
        ++report.clicksAsked;
        ResetEvent(g_pressed);
        ClickOrder order;
        order.executeAtMs = WallClockMs() + kClickAheadMs;
        order.x = point.x;
        order.y = point.y;
        order.buttonsSwapped = desktop.buttonsSwapped();
        order.checks = {&look, nullptr, OwnWindowUnderThePoint};
        ClickTiming timing;
        const bool accepted = ExecuteClickAt(order, nullptr, &timing);
        if (look.refused) {
            report.stoppedBecause = L"测量窗口被遮住、不在屏幕上或屏幕已锁定：为免点到其他程序，点击已停止";
            return;
        }
        if (!accepted || timing.sentNs == 0) {
            report.stoppedBecause = L"Windows 没有接受本次点击（SendInput 未插入输入）";
            return;
        }
        ++report.clicksSent;
        report.callUs.push_back((timing.sendInputNs - timing.deadlineNs) / 1000.0);
        if (WaitForSingleObject(g_pressed, kArrivalWaitMs) == WAIT_OBJECT_0)
            report.arrivalUs.push_back((g_pressNs.load() - timing.deadlineNs) / 1000.0);
    }
}

// Shows the small window in the middle of the primary screen, clicks into it on a worker while this
// thread delivers its messages, and closes it.
void RunClicks(MeasureReport& report, const DesktopSystem& desktop) {
    HINSTANCE instance = GetModuleHandleW(nullptr);
    WNDCLASSW windowClass{};
    windowClass.lpfnWndProc = MeasureWindowProc;
    windowClass.hInstance = instance;
    windowClass.hCursor = LoadCursorW(nullptr, IDC_ARROW);
    windowClass.lpszClassName = L"OrvaneMeasureTarget";
    RegisterClassW(&windowClass);
    const int left = (GetSystemMetrics(SM_CXSCREEN) - kWindowSize) / 2;
    const int top = (GetSystemMetrics(SM_CYSCREEN) - kWindowSize) / 2;
    g_window = CreateWindowExW(WS_EX_TOPMOST | WS_EX_TOOLWINDOW, windowClass.lpszClassName, L"澄序 Orvane 精度测量",
                               WS_POPUP | WS_VISIBLE, left, top, kWindowSize, kWindowSize, nullptr, nullptr, instance,
                               nullptr);
    if (!g_window) {
        report.stoppedBecause = L"无法打开测量窗口";
        return;
    }
    SetForegroundWindow(g_window);
    UpdateWindow(g_window);
    ScopedHandle pressed(CreateEventW(nullptr, FALSE, FALSE, nullptr));
    ScopedHandle done(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    g_pressed = pressed.get();
    const POINT point{left + kWindowSize / 2, top + kWindowSize / 2};
    std::thread clicker([&] {
        MeasureClicks(report, desktop, point);
        SetEvent(done.get());
    });
    HANDLE waitFor = done.get();
    while (MsgWaitForMultipleObjects(1, &waitFor, FALSE, INFINITE, QS_ALLINPUT) != WAIT_OBJECT_0) {
        MSG message;
        while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
            TranslateMessage(&message);
            DispatchMessageW(&message);
        }
    }
    clicker.join();
    DestroyWindow(g_window);
    g_window = nullptr;
    g_pressed = nullptr;
}

// Standard output as the caller gave it (a redirect, a pipe), or the console the program was started
// from: a windowed program has no console of its own.
void Print(const std::string& text) {
    HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
    ScopedFile console;
    if ((!out || out == INVALID_HANDLE_VALUE) && AttachConsole(ATTACH_PARENT_PROCESS)) {
        console.reset(CreateFileW(L"CONOUT$", GENERIC_WRITE, FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr));
        out = console.get();
    }
    if (!out || out == INVALID_HANDLE_VALUE) return;
    DWORD mode = 0, written = 0;
    if (GetConsoleMode(out, &mode)) {
        // A console shows UTF-16 as it is; bytes would be read in the console's code page.
        const std::wstring wide = Utf8ToUtf16(text);
        WriteConsoleW(out, wide.data(), static_cast<DWORD>(wide.size()), &written, nullptr);
    } else {
        WriteFile(out, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
    }
}

bool SaveReport(const std::string& text, std::wstring& path) {
    wchar_t full[MAX_PATH] = {};
    path = GetFullPathNameW(kMeasureReportFile, MAX_PATH, full, nullptr) ? full : kMeasureReportFile;
    ScopedFile file(CreateFileW(kMeasureReportFile, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL,
                                  nullptr));
    if (!file) return false;
    const std::string bom = "\xEF\xBB\xBF";  // Notepad reads it as UTF-8
    DWORD written = 0;
    return WriteFile(file.get(), bom.data(), static_cast<DWORD>(bom.size()), &written, nullptr) &&
           WriteFile(file.get(), text.data(), static_cast<DWORD>(text.size()), &written, nullptr) &&
           written == text.size();
}

}  // namespace

Spread SpreadOf(std::vector<double> values) {
    Spread s;
    s.count = values.size();
    if (values.empty()) return s;
    std::sort(values.begin(), values.end());
    const size_t n = values.size();
    s.median = n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
    // Nearest rank: the smallest value with at least 99 % of the values at or below it.
    const size_t rank = static_cast<size_t>(std::ceil(0.99 * static_cast<double>(n)));
    s.p99 = values[std::max<size_t>(rank, 1) - 1];
    s.max = values.back();
    return s;
}

std::string FormatMeasureReport(const MeasureReport& r) {
    std::string text = "澄序 Orvane 本机精度测量（版本 " + Utf8(r.version) + "）\r\n";
    text += "Windows 版本：" + (r.windows.empty() ? std::string("无法读取") : Utf8(r.windows)) + "\r\n";
    text += "系统定时器周期：" +
            (r.timerResolutionMs < 0 ? std::string("无法读取") : Fixed(r.timerResolutionMs, 3) + " 毫秒") +
            "（请求 1 毫秒）\r\n";
    text += std::string("点击线程优先级：") + (r.priorityRaised ? "已提升为 HIGHEST" : "未能提升") +
            (r.prioritiesIgnored ? "（此环境不采用线程优先级，例如 wine）" : "") + "\r\n";
    text += std::string("节能限制（执行速度与定时器精度）：") +
            (r.unthrottled ? "测量期间已为本程序关闭" : "未能关闭（系统不支持或拒绝）") + "\r\n";
    text += "本程序权限级别：" + (r.integrity.empty() ? std::string("无法读取") : Utf8(r.integrity)) + "\r\n";
    text += "点击：在本程序自己的测量窗口内点击 " + std::to_string(r.clicksAsked) + " 次，发出 " +
            std::to_string(r.clicksSent) + " 次，窗口收到 " + std::to_string(r.arrivalUs.size()) + " 次\r\n";
    if (!r.stoppedBecause.empty()) text += "  点击提前停止：" + Utf8(r.stoppedBecause) + "\r\n";
    text += SpreadLine("SendInput 调用 − 预定时刻", r.callUs);
    text += SpreadLine("按下到达窗口 − 预定时刻", r.arrivalUs);
    text += "标准时间服务器：" + Utf8(r.standardTime) + "\r\n";
    text += "服务时钟：" + Utf8(r.serviceTime) + "\r\n";
    return text;
}

int RunMeasure() {
    Print("澄序 Orvane 正在测量本机精度（约 30 秒，期间只点击屏幕中央的灰色小窗口，请勿操作鼠标）…\r\n");
    MeasureReport report;
    report.version = kClientVersion;
    report.windows = WindowsVersion();
    const DesktopSystem& desktop = RealDesktopSystem();
    report.integrity = IntegrityName(desktop);
    {
        // As a waiting task holds them: the 1 ms timer, the machine awake and out of power throttling.
        TimerPeriod period;
        KeepAwake awake(desktop);
        report.unthrottled = awake.Unthrottled();
        report.timerResolutionMs = TimerResolutionMs();
        RunClicks(report, desktop);
    }
    std::wstring error;
    const StandardTimeResult standard = QueryDirectNtpTime(5, 250, error);
    report.standardTime = AlignmentLine(standard, error);
    error.clear();
    const StandardTimeResult service = QueryServiceTime("", 5, error, 3000);
    report.serviceTime = AlignmentLine(service, error);

    std::string text = FormatMeasureReport(report);
    std::wstring path;
    const bool saved = SaveReport(text, path);
    text += saved ? "报告已保存到 " + Utf8(path) + "\r\n" : "无法保存报告到 " + Utf8(path) + "\r\n";
    Print(text);
    return saved ? 0 : 1;
}
