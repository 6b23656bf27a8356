#include "target/desktop_system.h"

#include <atomic>
#include <vector>

#include "core/holders.h"

namespace {

bool TokenIntegrity(HANDLE process, DWORD& rid) {
    HANDLE raw = nullptr;
    if (!OpenProcessToken(process, TOKEN_QUERY, &raw)) return false;
    ScopedHandle token(raw);
    DWORD needed = 0;
    GetTokenInformation(token.get(), TokenIntegrityLevel, nullptr, 0, &needed);
    if (needed == 0 || needed > 4096) return false;
    std::vector<BYTE> buffer(needed);
    if (!GetTokenInformation(token.get(), TokenIntegrityLevel, buffer.data(), needed, &needed)) return false;
    const auto* label = reinterpret_cast<const TOKEN_MANDATORY_LABEL*>(buffer.data());
    PSID sid = label->Label.Sid;
    if (!sid || !IsValidSid(sid)) return false;
    const UCHAR count = *GetSidSubAuthorityCount(sid);
    if (count == 0) return false;
    rid = *GetSidSubAuthority(sid, count - 1);
    return true;
}

bool RealProcessIntegrity(DWORD processId, DWORD& rid) {
    if (processId == 0) return false;
    ScopedHandle process(OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, processId));
    return process && TokenIntegrity(process.get(), rid);
}

bool RealOwnIntegrity(DWORD& rid) { return TokenIntegrity(GetCurrentProcess(), rid); }

std::wstring DesktopName(HDESK desktop) {
    wchar_t name[256] = {};
    DWORD needed = 0;
    if (!GetUserObjectInformationW(desktop, UOI_NAME, name, sizeof name - sizeof(wchar_t), &needed)) return {};
    return name;
}

bool RealInputDesktopIsOurs() {
    POINT at{};
    if (!GetCursorPos(&at)) return false;
    HDESK input = OpenInputDesktop(0, FALSE, DESKTOP_READOBJECTS);
    if (!input) return false;
    const std::wstring inputName = DesktopName(input);
    CloseDesktop(input);
    const std::wstring ownName = DesktopName(GetThreadDesktop(GetCurrentThreadId()));
    return !inputName.empty() && CompareStringOrdinal(inputName.c_str(), -1, ownName.c_str(), -1, TRUE) == CSTR_EQUAL;
}

bool RealButtonsSwapped() { return GetSystemMetrics(SM_SWAPBUTTON) != 0; }

int RealScreenSaverSeconds() {
    BOOL active = FALSE;
    if (!SystemParametersInfoW(SPI_GETSCREENSAVEACTIVE, 0, &active, 0) || !active) return 0;
    int seconds = 0;
    if (!SystemParametersInfoW(SPI_GETSCREENSAVETIMEOUT, 0, &seconds, 0)) return 0;
    return seconds > 0 ? seconds : 0;
}

bool RealSetPowerThrottling(bool throttled) {
    PROCESS_POWER_THROTTLING_STATE state{};
    state.Version = PROCESS_POWER_THROTTLING_CURRENT_VERSION;
    // Opting out: the controlled features are named and none of them is on. Handing back: none is named.
    state.ControlMask =
        throttled ? 0 : PROCESS_POWER_THROTTLING_EXECUTION_SPEED | PROCESS_POWER_THROTTLING_IGNORE_TIMER_RESOLUTION;
    state.StateMask = 0;
    return SetProcessInformation(GetCurrentProcess(), ProcessPowerThrottling, &state, sizeof state) != FALSE;
}

std::atomic<const DesktopSystem*> gTestingSystem{nullptr};

}  // namespace

const DesktopSystem& RealDesktopSystem() {
    static const DesktopSystem system{RealProcessIntegrity, RealOwnIntegrity,       RealInputDesktopIsOurs,
                                      RealButtonsSwapped,   SetThreadExecutionState, RealScreenSaverSeconds,
                                      RealSetPowerThrottling};
    return system;
}

const DesktopSystem& CurrentDesktopSystem() {
    const DesktopSystem* testing = gTestingSystem.load();
    return testing ? *testing : RealDesktopSystem();
}

void SetDesktopSystemForTesting(const DesktopSystem* system) { gTestingSystem.store(system); }

KeepAwake::KeepAwake(const DesktopSystem& system) : system_(system) {
    held_ = system_.setExecutionState(ES_CONTINUOUS | ES_SYSTEM_REQUIRED | ES_DISPLAY_REQUIRED) != 0;
    unthrottled_ = system_.setPowerThrottling(false);
}

KeepAwake::~KeepAwake() {
    if (unthrottled_) system_.setPowerThrottling(true);
    if (held_) system_.setExecutionState(ES_CONTINUOUS);
}

Reach JudgeReach(bool targetKnown, DWORD targetRid, bool ownKnown, DWORD ownRid) {
    if (!targetKnown || !ownKnown) return Reach::Unreadable;
    return targetRid > ownRid ? Reach::Elevated : Reach::Reachable;
}

Reach ReachOfProcess(const DesktopSystem& system, DWORD processId) {
    DWORD targetRid = 0, ownRid = 0;
    const bool targetKnown = system.processIntegrity(processId, targetRid);
    const bool ownKnown = system.ownIntegrity(ownRid);
    return JudgeReach(targetKnown, targetRid, ownKnown, ownRid);
}

std::wstring ReachRefusalText(Reach reach) {
    if (reach == Reach::Elevated)
        return L"所选程序以管理员身份运行，Windows 不允许普通程序点击它。\n"
               L"请以普通方式重新启动该程序，或以管理员身份运行澄序，然后重新选择位置。";
    if (reach == Reach::Unreadable)
        return L"无法读取所选程序的权限级别，它可能以管理员身份运行或受系统保护，点击可能被 Windows 拦下。\n"
               L"请在以普通方式运行的桌面程序上重新选择位置。";
    return {};
}

std::wstring ReachNotClickedDetail(Reach reach) {
    if (reach == Reach::Elevated) return L"所选程序此时以管理员身份运行，Windows 会拦下本机点击";
    if (reach == Reach::Unreadable) return L"无法读取所选程序的权限级别，点击可能被 Windows 拦下";
    return {};
}

std::wstring ScreenSaverWarning(int screenSaverSeconds, int64_t secondsUntilInstant) {
    if (screenSaverSeconds <= 0 || secondsUntilInstant <= screenSaverSeconds) return {};
    const int minutes = (screenSaverSeconds + 59) / 60;
    return L"屏幕保护程序会在无操作 " + std::to_wstring(minutes) +
           L" 分钟后启动，早于点击时刻；它出现时本机不会点击。请在点击前动一下鼠标，或暂时关闭屏幕保护。";
}
