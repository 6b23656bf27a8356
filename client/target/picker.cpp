#include "target/picker.h"

#include <windowsx.h>

#include <memory>
#include <string>
#include <utility>

#include "core/app_state.h"
#include "core/draw_context.h"
#include "core/form_fields.h"
#include "core/globals.h"
#include "target/blacklist_check.h"
#include "target/desktop_system.h"
#include "target/picker_layout.h"
#include "target/target_identity.h"

namespace {

constexpr DWORD kOverlayExStyle = WS_EX_LAYERED | WS_EX_TOOLWINDOW | WS_EX_TOPMOST;

struct Picker {
    HWND overlay = nullptr;
    PickerState state;
    std::unique_ptr<DrawResources> resources;  // fonts of the two captions, for the overlay's life
};

Picker& Current() {
    static Picker picker;
    return picker;
}

HCURSOR HandCursor() { return LoadCursorW(nullptr, IDC_HAND); }

// The pointer is hidden by setting no cursor rather than with the display counter of ShowCursor,
// which every hide would have to balance; any later SetCursor brings it back.
void HidePointer() { SetCursor(nullptr); }
void ShowHandPointer() { SetCursor(HandCursor()); }

POINT ToScreen(HWND overlay, POINT client) {
    ClientToScreen(overlay, &client);
    return client;
}

bool SamePoint(POINT a, POINT b) { return a.x == b.x && a.y == b.y; }

// Puts the system pointer on `target`; when SetCursorPos lands elsewhere (DPI or monitor-layout
// effects), one absolute move corrects it. Whether the pointer stands there in the end.
bool MovePointerOnto(POINT target) {
    SetCursorPos(target.x, target.y);
    POINT now{};
    GetCursorPos(&now);
    if (SamePoint(now, target)) return true;
    VirtualScreen screen;
    screen.left = GetSystemMetrics(SM_XVIRTUALSCREEN);
    screen.top = GetSystemMetrics(SM_YVIRTUALSCREEN);
    screen.width = GetSystemMetrics(SM_CXVIRTUALSCREEN);
    screen.height = GetSystemMetrics(SM_CYVIRTUALSCREEN);
    const POINT absolute = AbsolutePointerCoordinates(target, screen);
    INPUT input{};
    input.type = INPUT_MOUSE;
    input.mi.dx = absolute.x;
    input.mi.dy = absolute.y;
    input.mi.dwFlags = MOUSEEVENTF_MOVE | MOUSEEVENTF_VIRTUALDESK | MOUSEEVENTF_ABSOLUTE;
    SendInput(1, &input, sizeof input);
    GetCursorPos(&now);
    return SamePoint(now, target);
}

// The end of a drag, by button release or by losing the mouse capture.
void Drop(HWND overlay) {
    PickerState& state = Current().state;
    state.dragging = false;  // first: releasing the capture reports WM_CAPTURECHANGED to this window
    if (GetCapture() == overlay) ReleaseCapture();
    POINT pointer{};
    GetCursorPos(&pointer);
    PlacePicker(overlay, pointer);
    state.buttons_shown = true;
    DrawPicker(overlay);
    state.drop_point = ToScreen(overlay, state.ball_centre);
    state.placement_verified = MovePointerOnto(state.drop_point);
    ShowHandPointer();
}

void OnButtonDown(HWND overlay, POINT client) {
    PickerState& state = Current().state;
    const PickerHit hit = HitTestPicker(state.ball_centre, state.buttons_shown, client);
    if (hit == PickerHit::Ball) {
        SetForegroundWindow(overlay);
        SetFocus(overlay);
        state.dragging = true;
        state.buttons_shown = false;
        SetCapture(overlay);
        HidePointer();
        DrawPicker(overlay);
    } else if (hit == PickerHit::Confirm) {
        state.pressed_button = PickerButton::Confirm;
    } else if (hit == PickerHit::Cancel) {
        state.pressed_button = PickerButton::Cancel;
    }
}

void OnMouseMove(HWND overlay, WPARAM keys) {
    PickerState& state = Current().state;
    if (!state.dragging) return;
    // The button state comes with the message, so messages sent by the self-test act like real ones.
    // A move without the button while dragging means its release was never seen: that is the drop.
    if (!(keys & MK_LBUTTON)) {
        Drop(overlay);
        return;
    }
    POINT pointer{};
    GetCursorPos(&pointer);
    PlacePicker(overlay, pointer);
    HidePointer();
    DrawPicker(overlay);
}

void OnButtonUp(HWND overlay, POINT client) {
    PickerState& state = Current().state;
    if (state.dragging) {
        Drop(overlay);
        return;
    }
    const PickerButton pressed = std::exchange(state.pressed_button, PickerButton::None);
    if (pressed == PickerButton::None) return;
    const PickerHit hit = HitTestPicker(state.ball_centre, state.buttons_shown, client);
    // Only a release over the button that was pressed acts.
    if (pressed == PickerButton::Confirm && hit == PickerHit::Confirm) FinishPicking(true);
    else if (pressed == PickerButton::Cancel && hit == PickerHit::Cancel) FinishPicking(false);
}

LRESULT OnHitTest(HWND overlay, LPARAM lParam) {
    POINT point{GET_X_LPARAM(lParam), GET_Y_LPARAM(lParam)};
    ScreenToClient(overlay, &point);
    const PickerState& state = Current().state;
    return HitTestPicker(state.ball_centre, state.buttons_shown, point) == PickerHit::Transparent ? HTTRANSPARENT
                                                                                                 : HTCLIENT;
}

// Draws with GDI+ straight into the premultiplied pixels of the overlay's frame.
void RenderInto(const PickerState& state, Gdiplus::Bitmap& frame, DrawResources* resources) {
    Gdiplus::Graphics graphics(&frame);
    graphics.SetSmoothingMode(Gdiplus::SmoothingModeAntiAlias);
    graphics.SetCompositingMode(Gdiplus::CompositingModeSourceOver);
    graphics.SetTextRenderingHint(Gdiplus::TextRenderingHintAntiAliasGridFit);
    DrawContext context;
    context.graphics = &graphics;
    context.resources = resources;

    const POINT ball = state.ball_centre, target = state.target_offset;
    if (!SamePoint(ball, target)) {
        // The ball is held inside the window near a monitor edge: a guide line leads to the real point.
        Gdiplus::Pen guide(Gdiplus::Color(0xE6DCE4FF), 1.5f);
        graphics.DrawLine(&guide, static_cast<float>(target.x), static_cast<float>(target.y),
                          static_cast<float>(ball.x), static_cast<float>(ball.y));
        FillRoundRect(context, RectF(target.x - 2.0f, target.y - 2.0f, 4.0f, 4.0f), 0, 0xFFFFFFFF);
    }
    if (state.buttons_shown) {
        const PickerButtons buttons = PickerButtonLayout(ball);
        auto asRectF = [](const RECT& r) {
            return RectF(static_cast<float>(r.left), static_cast<float>(r.top), static_cast<float>(r.right - r.left),
                         static_cast<float>(r.bottom - r.top));
        };
        FillRoundRect(context, asRectF(buttons.panel), 12, 0xF60E192A);
        FillRoundRect(context, asRectF(buttons.confirm), 9, 0xFF2A66EC);
        FillRoundRect(context, asRectF(buttons.cancel), 9, 0xFF1F2F46);
        DrawLabel(context, L"确认", asRectF(buttons.confirm), 14, 0xFFFFFFFF, true, TextAlign::Centre);
        DrawLabel(context, L"取消", asRectF(buttons.cancel), 14, 0xFFEEF4FC, true, TextAlign::Centre);
    }
    struct Ring {
        float diameter;
        Argb colour;
    };
    const Ring rings[] = {{36, 0x694A58DC}, {32, 0xF5DCE4FF}, {28, 0xFF4050D2}, {22, 0xFF6879FF}, {6, 0xFFFFFFFF}};
    for (const Ring& ring : rings)
        FillEllipse(context, RectF(ball.x - ring.diameter / 2, ball.y - ring.diameter / 2, ring.diameter, ring.diameter),
                    ring.colour);
}

}  // namespace

void RenderPickerFrame(const PickerState& state, uint32_t* pixels, DrawResources* resources) {
    Gdiplus::Bitmap frame(kPickerSize, kPickerSize, kPickerSize * 4, PixelFormat32bppPARGB,
                          reinterpret_cast<BYTE*>(pixels));
    if (frame.GetLastStatus() != Gdiplus::Ok) return;
    RenderInto(state, frame, resources);
}

HWND PickerWindow() { return Current().overlay; }

PickerState PickerStateNow() { return Current().state; }

bool OpenPicker(POINT point, PickPurpose purpose) {
    Picker& picker = Current();
    if (picker.overlay) return true;
    // The ball would cover the program that is about to be clicked, and a new pick cannot change the
    // target the service has already signed for.
    if (App().taskBusy.load()) {
        SetStatus(kPickerRefusedWhileBusyStatus, kPickerRefusedWhileBusyDetail);
        return false;
    }
    picker.state = PickerState{};
    HWND overlay = CreateWindowExW(kOverlayExStyle, L"BriskodeskOverlay", L"澄序位置选择", WS_POPUP,
                                   point.x - kPickerSize / 2, point.y - kPickerSize / 2, kPickerSize, kPickerSize,
                                   nullptr, nullptr, Globals().instance, nullptr);
    AppState& app = App();
    {
        std::lock_guard<std::mutex> lock(app.stateMutex);
        app.session.blacklistPickMode = overlay && purpose == PickPurpose::BlacklistProgram;
        if (!overlay) {
            app.statusText = L"暂时无法显示悬浮球";
            app.detailText = L"请稍后再点击一次；如果仍然不行，请重新启动澄序";
        }
    }
    if (!overlay) {
        PostToMainWindow(MSG_STATE_CHANGED);
        return false;
    }
    picker.overlay = overlay;
    picker.resources = std::make_unique<DrawResources>();
    PlacePicker(overlay, point);
    if (HWND main = app.mainWindow.load()) ShowWindow(main, SW_HIDE);
    // The self-test drives the overlay through its window procedure without the user ever seeing it.
    // Shown active, it takes over from the main window it replaces: Escape reaches it from the start,
    // and under wine with a window manager it is a managed window from its first appearance. Shown
    // inactive, it became managed only when the press on the ball activated it; wine then unmaps and
    // maps it again for the window manager, which ends the press's pointer grab, so the first drag of
    // every ball was lost and its release went to the program underneath.
    if (!Globals().selfTest) {
        ShowWindow(overlay, SW_SHOW);
        SetForegroundWindow(overlay);
    }
    DrawPicker(overlay);
    return true;
}

void PlacePicker(HWND overlay, POINT point) {
    HMONITOR monitor = MonitorFromPoint(point, MONITOR_DEFAULTTONEAREST);
    MONITORINFO info{};
    info.cbSize = sizeof info;
    if (!monitor || !GetMonitorInfoW(monitor, &info)) return;
    const PickerPlacement placement = PlacePickerOnMonitor(info.rcMonitor, point);
    PickerState& state = Current().state;
    state.target_offset = placement.targetOffset;
    state.ball_centre = placement.ballCentre;
    SetWindowPos(overlay, HWND_TOPMOST, placement.windowOrigin.x, placement.windowOrigin.y, kPickerSize, kPickerSize,
                 SWP_NOACTIVATE);
}

void DrawPicker(HWND overlay) {
    PushLayeredFrame(overlay, {kPickerSize, kPickerSize}, [](uint32_t* pixels) {
        RenderPickerFrame(Current().state, pixels, Current().resources.get());
    });
}

void FinishPicking(bool confirmed) {
    Picker& picker = Current();
    HWND overlay = picker.overlay;
    if (!overlay) return;
    PickerState& state = picker.state;
    if (state.dragging) {
        state.dragging = false;
        if (GetCapture() == overlay) ReleaseCapture();
    }
    ShowHandPointer();

    // The exact chosen point, not the ball held inside the window.
    const POINT chosen = ToScreen(overlay, state.target_offset);
    const bool selfTest = Globals().selfTest;
    TargetIdentity identity;
    if (confirmed) {
        ShowWindow(overlay, SW_HIDE);  // so that the overlay is not the window under the point
        if (selfTest) {
            identity.identified = true;
            identity.executable_name = L"self-test.exe";
            identity.executable_sha256 = std::string(64, '0');
            identity.executable_path = L"C:\\self-test.exe";
        } else {
            identity = IdentifyTargetAt(chosen);
        }
    }
    // A program above this one's integrity level never receives its input, and Windows does not say so:
    // such a pick is refused now rather than "clicked" at the instant.
    Reach reach = Reach::Reachable;
    if (identity.identified && !selfTest) {
        reach = ReachOfProcess(CurrentDesktopSystem(), identity.processId);
        if (reach != Reach::Reachable) identity = TargetIdentity{};
    }
    const bool identified = identity.identified;

    AppState& app = App();
    bool blacklistPick;
    {
        std::lock_guard<std::mutex> lock(app.stateMutex);
        TargetSelection& target = app.session.target;
        blacklistPick = std::exchange(app.session.blacklistPickMode, false);
        if (!(blacklistPick && !identified)) target.target_confirmed = identified;
        if (identified) {
            target.click_point = chosen;
            target.executable_name = identity.executable_name;
            target.executable_sha256 = identity.executable_sha256;
            target.executable_path = identity.executable_path;
            if (blacklistPick) {
                app.session.blacklistExecutableName = identity.executable_name;
                app.session.blacklistExecutableSha256 = identity.executable_sha256;
            }
            target.check_ok = false;
            target.blocked = false;
            target.block_reason.clear();
            app.statusText = blacklistPick ? L"目标程序已确认，请填写加入黑名单原因" : L"目标软件已确认，正在检查黑名单…";
            app.detailText.clear();
        } else if (confirmed) {
            if (!blacklistPick) {
                target.executable_name.clear();
                target.executable_sha256.clear();
                target.executable_path.clear();
                target.check_ok = false;
                target.blocked = false;
                target.block_reason.clear();
            }
            if (reach == Reach::Reachable) {
                app.statusText = L"无法确认目标软件";
                app.detailText = L"请在有权操作的普通桌面软件上重新选择位置";
            } else {
                app.statusText = reach == Reach::Elevated ? L"所选程序以管理员身份运行，澄序无法点击它"
                                                          : L"无法读取所选程序的权限级别";
                app.detailText = L"请以普通方式运行目标程序后重新选择位置";
            }
        } else {
            app.statusText = blacklistPick ? L"已取消选择黑名单程序" : L"已取消选择点击位置";
        }
    }

    DestroyPicker();
    HWND main = app.mainWindow.load();
    if (main && !selfTest) {
        ShowWindow(main, SW_SHOW);
        SetForegroundWindow(main);
    }
    if (identified && !selfTest) {
        if (blacklistPick) {
            WriteFormField(FormField::SoftwareName, PathStem(identity.executable_name));
            if (HWND reason = FormFieldControl(FormField::BlacklistReason)) SetFocus(reason);
        } else {
            StartBlacklistCheck();
        }
    }
    PostToMainWindow(MSG_STATE_CHANGED);
    RepaintMainWindow();
    if (confirmed && !identified && !selfTest && reach != Reach::Reachable)
        ShowMessage(ReachRefusalText(reach), L"无法点击所选程序", MB_ICONWARNING);
    else if (confirmed && !identified && !selfTest)
        ShowMessage(L"无法读取目标程序文件，因此不能检查软件黑名单。\n"
                    L"请在你有权操作的普通桌面程序上重新选择位置；系统界面和受保护程序不能使用。",
                    L"目标软件无法确认", MB_ICONWARNING);
}

void DestroyPicker() {
    Picker& picker = Current();
    HWND overlay = std::exchange(picker.overlay, nullptr);
    if (overlay) DestroyWindow(overlay);
    picker.resources.reset();
    picker.state.dragging = false;
}

LRESULT CALLBACK PickerWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    // Messages of an overlay that is being destroyed, or of a stray window of this class, change nothing.
    const bool current = window == Current().overlay;
    switch (message) {
        case WM_NCHITTEST: return current ? OnHitTest(window, lParam) : HTTRANSPARENT;
        case WM_SETCURSOR:
            if (current && Current().state.dragging) HidePointer();
            else ShowHandPointer();
            return TRUE;
        case WM_LBUTTONDOWN:
            if (current) OnButtonDown(window, {GET_X_LPARAM(lParam), GET_Y_LPARAM(lParam)});
            return 0;
        case WM_MOUSEMOVE:
            if (current) OnMouseMove(window, wParam);
            return 0;
        case WM_LBUTTONUP:
            if (current) OnButtonUp(window, {GET_X_LPARAM(lParam), GET_Y_LPARAM(lParam)});
            return 0;
        case WM_CAPTURECHANGED:
            // Losing the capture mid-drag (another window took it, a system dialog opened) is a drop,
            // so the pointer is never left hidden.
            if (current && Current().state.dragging && reinterpret_cast<HWND>(lParam) != window) Drop(window);
            return 0;
        case WM_KEYDOWN:
        case WM_SYSKEYDOWN:
            if (current && wParam == VK_ESCAPE) FinishPicking(false);
            return 0;
        case WM_PAINT: ValidateRect(window, nullptr); return 0;
        case WM_DESTROY: return 0;
        default: break;
    }
    return DefWindowProcW(window, message, wParam, lParam);
}
