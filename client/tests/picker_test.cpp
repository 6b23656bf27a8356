// The position picker: its geometry as pure functions (including monitor layouts the virtual display
// cannot show), its frame as pixels, and the real overlay driven by real input (SendInput) over a real
// program, as a user drags and confirms.
#include <gtest/gtest.h>

#include <windows.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "app/startup.h"
#include "core/app_state.h"
#include "core/draw_context.h"
#include "core/form_fields.h"
#include "core/globals.h"
#include "support/dialog_watcher.h"
#include "support/main_window_harness.h"
#include "support/pixels.h"
#include "support/real_input.h"
#include "support/target_helper.h"
#include "support/test_support.h"
#include "target/blacklist_code.h"
#include "target/desktop_system.h"
#include "target/picker.h"
#include "target/picker_layout.h"

namespace {

bool Inside(const RECT& outer, const RECT& inner) {
    return inner.left >= outer.left && inner.top >= outer.top && inner.right <= outer.right &&
           inner.bottom <= outer.bottom;
}

// ---- geometry --------------------------------------------------------------------------------

TEST(PickerGeometry, PlacementOnMonitorsOfEveryKind) {
    struct Case {
        const char* what;
        RECT monitor;
        POINT point;
        POINT origin, offset, ball;
    };
    const Case cases[] = {
        {"middle", {0, 0, 1600, 1000}, {800, 500}, {700, 400}, {100, 100}, {100, 100}},
        {"top-left corner", {0, 0, 1600, 1000}, {0, 0}, {0, 0}, {0, 0}, {18, 18}},
        {"near top-left", {0, 0, 1600, 1000}, {2, 2}, {0, 0}, {2, 2}, {18, 18}},
        {"bottom-right corner", {0, 0, 1600, 1000}, {1599, 999}, {1400, 800}, {199, 199}, {182, 182}},
        {"beyond the right edge", {0, 0, 1600, 1000}, {5000, 500}, {1400, 400}, {199, 100}, {182, 100}},
        {"top edge, 30 px in", {0, 0, 1600, 1000}, {800, 30}, {700, 0}, {100, 30}, {100, 30}},
        // A monitor left of and above the primary one: negative coordinates throughout.
        {"left monitor middle", {-1920, -200, 0, 880}, {-960, 340}, {-1060, 240}, {100, 100}, {100, 100}},
        {"left monitor top-left", {-1920, -200, 0, 880}, {-1920, -200}, {-1920, -200}, {0, 0}, {18, 18}},
        {"left monitor right edge", {-1920, -200, 0, 880}, {-1, 0}, {-200, -100}, {199, 100}, {182, 100}},
        // A monitor smaller than the overlay: the window starts at its left/top edge.
        {"tiny monitor", {3000, 0, 3150, 120}, {3149, 119}, {3000, 0}, {149, 119}, {149, 119}},
    };
    for (const Case& c : cases) {
        const PickerPlacement p = PlacePickerOnMonitor(c.monitor, c.point);
        EXPECT_EQ(p.windowOrigin.x, c.origin.x) << c.what;
        EXPECT_EQ(p.windowOrigin.y, c.origin.y) << c.what;
        EXPECT_EQ(p.targetOffset.x, c.offset.x) << c.what;
        EXPECT_EQ(p.targetOffset.y, c.offset.y) << c.what;
        EXPECT_EQ(p.ballCentre.x, c.ball.x) << c.what;
        EXPECT_EQ(p.ballCentre.y, c.ball.y) << c.what;
        const RECT window{p.windowOrigin.x, p.windowOrigin.y, p.windowOrigin.x + kPickerSize,
                          p.windowOrigin.y + kPickerSize};
        if (c.monitor.right - c.monitor.left >= kPickerSize && c.monitor.bottom - c.monitor.top >= kPickerSize) {
            EXPECT_TRUE(Inside(c.monitor, window)) << c.what;
        }
    }
}

// Moving the point down from a monitor's top edge moves the ball smoothly: never back, never a jump.
TEST(PickerGeometry, BallFollowsThePointWithoutJumps) {
    const RECT monitors[] = {{0, 0, 1600, 1000}, {-1920, -1080, 0, 0}};
    for (const RECT& m : monitors) {
        int previous = -1 << 30;
        for (int i = 0; i <= 260; ++i) {
            const PickerPlacement p = PlacePickerOnMonitor(m, {(m.left + m.right) / 2, m.top + i});
            const int ballY = p.windowOrigin.y + p.ballCentre.y;
            if (i > 0) {
                EXPECT_GE(ballY, previous) << "step " << i;
                EXPECT_LE(ballY - previous, 1) << "step " << i;
            }
            previous = ballY;
        }
    }
}

TEST(PickerGeometry, ButtonPanelAboveOrBelowTheBall) {
    struct Case {
        POINT ball;
        RECT panel;
    };
    const Case cases[] = {
        {{100, 100}, {16, 30, 184, 74}},
        {{100, 70}, {16, 0, 184, 44}},     // exactly fits above
        {{100, 69}, {16, 95, 184, 139}},   // one pixel less: below the ball
        {{18, 18}, {0, 44, 168, 88}},
        {{182, 182}, {32, 112, 200, 156}},
        {{182, 18}, {32, 44, 200, 88}},
        {{18, 182}, {0, 112, 168, 156}},
    };
    for (const Case& c : cases) {
        const PickerButtons b = PickerButtonLayout(c.ball);
        EXPECT_TRUE(EqualRect(&b.panel, &c.panel)) << c.ball.x << "," << c.ball.y << ": " << b.panel.left << ","
                                                   << b.panel.top << "," << b.panel.right << "," << b.panel.bottom;
        const RECT confirm{c.panel.left + 4, c.panel.top + 4, c.panel.left + 80, c.panel.top + 40};
        const RECT cancel{c.panel.left + 88, c.panel.top + 4, c.panel.left + 164, c.panel.top + 40};
        EXPECT_TRUE(EqualRect(&b.confirm, &confirm));
        EXPECT_TRUE(EqualRect(&b.cancel, &cancel));
        EXPECT_TRUE(Inside({0, 0, kPickerSize, kPickerSize}, b.panel));
    }
}

TEST(PickerGeometry, HitTesting) {
    const POINT ball{100, 100};  // panel (16, 30)-(184, 74): confirm (20, 34)-(96, 70), cancel (104, 34)-(180, 70)
    struct Case {
        POINT point;
        bool buttonsShown;
        PickerHit hit;
    };
    const Case cases[] = {
        {{100, 100}, false, PickerHit::Ball},        {{120, 100}, false, PickerHit::Ball},  // radius 20
        {{121, 100}, false, PickerHit::Transparent}, {{114, 114}, false, PickerHit::Ball},  // 14² + 14² ≤ 400
        {{115, 114}, false, PickerHit::Transparent}, {{30, 50}, false, PickerHit::Transparent},
        {{30, 50}, true, PickerHit::Confirm},        {{20, 34}, true, PickerHit::Confirm},  // left/top edge in
        {{96, 50}, true, PickerHit::Transparent},    {{95, 69}, true, PickerHit::Confirm},  // right/bottom out
        {{104, 34}, true, PickerHit::Cancel},        {{179, 69}, true, PickerHit::Cancel},
        {{180, 50}, true, PickerHit::Transparent},   {{100, 52}, true, PickerHit::Transparent},  // between
        {{0, 0}, true, PickerHit::Transparent},
    };
    for (const Case& c : cases)
        EXPECT_EQ(HitTestPicker(ball, c.buttonsShown, c.point), c.hit)
            << c.point.x << "," << c.point.y << (c.buttonsShown ? " with buttons" : "");
}

TEST(PickerGeometry, AbsolutePointerCoordinatesOnWideDesktops) {
    struct Case {
        const char* what;
        VirtualScreen screen;
        POINT point;
        POINT expected;
    };
    const Case cases[] = {
        {"origin", {0, 0, 1600, 1000}, {0, 0}, {0, 0}},
        {"far corner", {0, 0, 1600, 1000}, {1599, 999}, {65535, 65535}},
        {"middle, rounded", {0, 0, 1600, 1000}, {800, 500}, {32788, 32800}},
        {"monitor left of the primary", {-1920, -200, 3520, 1080}, {-1920, 879}, {0, 65535}},
        // 46 080 pixels wide: (x − left) × 65535 is beyond 32 bits at the right end.
        {"very wide desktop, right edge", {-7680, 0, 46080, 2160}, {38399, 2159}, {65535, 65535}},
        {"very wide desktop, 3/4", {-7680, 0, 46080, 2160}, {26880, 0}, {49152, 0}},
        {"two pixels wide", {0, 0, 2, 2}, {1, 1}, {65535, 65535}},
    };
    for (const Case& c : cases) {
        const POINT a = AbsolutePointerCoordinates(c.point, c.screen);
        EXPECT_EQ(a.x, c.expected.x) << c.what;
        EXPECT_EQ(a.y, c.expected.y) << c.what;
    }
}

// ---- the frame --------------------------------------------------------------------------------

bool PixelIs(const std::vector<uint32_t>& frame, int x, int y, Argb expected, int tolerance = 4) {
    return PremultipliedPixelIs(frame, kPickerSize, x, y, expected, tolerance);
}

TEST(PickerFrame, BallRingsPanelAndGuideLine) {
    DrawResources resources;
    std::vector<uint32_t> frame(kPickerSize * kPickerSize, 0);
    PickerState state;  // ball in the middle, no buttons
    RenderPickerFrame(state, frame.data(), &resources);
    EXPECT_TRUE(PixelIs(frame, 100, 100, 0xFFFFFFFF)) << "white centre";
    EXPECT_TRUE(PixelIs(frame, 100 + 7, 100, 0xFF6879FF)) << "inner ring (diameter 22)";
    EXPECT_TRUE(PixelIs(frame, 100 + 12, 100, 0xFF4050D2)) << "ring of diameter 28";
    EXPECT_TRUE(PixelIs(frame, 100, 100 + 15, 0xF5DCE4FF)) << "ring of diameter 32";
    EXPECT_TRUE(PixelIs(frame, 100 - 17, 100, 0x694A58DC)) << "outer halo (diameter 36)";
    EXPECT_TRUE(PixelIs(frame, 100, 100 - 22, 0)) << "transparent outside the ball";
    EXPECT_TRUE(PixelIs(frame, 0, 0, 0));
    EXPECT_TRUE(PixelIs(frame, 40, 50, 0)) << "no panel before the first drop";

    std::fill(frame.begin(), frame.end(), 0);
    state.buttons_shown = true;
    RenderPickerFrame(state, frame.data(), &resources);
    EXPECT_TRUE(PixelIs(frame, 100, 32, 0xF60E192A)) << "panel between the buttons";
    EXPECT_TRUE(PixelIs(frame, 24, 52, 0xFF2A66EC)) << "confirm button";
    EXPECT_TRUE(PixelIs(frame, 176, 52, 0xFF1F2F46)) << "cancel button";
    EXPECT_TRUE(PixelIs(frame, 100, 100, 0xFFFFFFFF)) << "the ball is drawn over everything";

    // Ball held inside the window near a corner: guide line and dot at the real point.
    std::fill(frame.begin(), frame.end(), 0);
    state = PickerState{};
    state.target_offset = {2, 2};
    state.ball_centre = {18, 18};
    RenderPickerFrame(state, frame.data(), &resources);
    EXPECT_TRUE(PixelIs(frame, 1, 1, 0xFFFFFFFF, 60)) << "the dot at the chosen point";
    EXPECT_GT(frame[static_cast<size_t>(9) * kPickerSize + 9] >> 24, 0u) << "the guide line between them";
    EXPECT_TRUE(PixelIs(frame, 18, 18, 0xFFFFFFFF));
}

// ---- the real overlay under real input --------------------------------------------------------

bool PointerVisible() {
    CURSORINFO info{};
    info.cbSize = sizeof info;
    return GetCursorInfo(&info) && (info.flags & CURSOR_SHOWING) && info.hCursor != nullptr;
}

RECT PrimaryMonitor() {
    MONITORINFO info{};
    info.cbSize = sizeof info;
    GetMonitorInfoW(MonitorFromPoint({0, 0}, MONITOR_DEFAULTTOPRIMARY), &info);
    return info.rcMonitor;
}

void Settle(DWORD ms = 30) { PumpUntil([] { return false; }, ms); }

POINT BallOnScreen() {
    const PickerState state = PickerStateNow();
    POINT ball = state.ball_centre;
    ClientToScreen(PickerWindow(), &ball);
    return ball;
}

POINT ChosenPointOnScreen() {
    POINT chosen = PickerStateNow().target_offset;
    ClientToScreen(PickerWindow(), &chosen);
    return chosen;
}

POINT ButtonCentreOnScreen(PickerButton button) {
    const PickerButtons layout = PickerButtonLayout(PickerStateNow().ball_centre);
    const RECT& r = button == PickerButton::Confirm ? layout.confirm : layout.cancel;
    POINT centre{(r.left + r.right) / 2, (r.top + r.bottom) / 2};
    ClientToScreen(PickerWindow(), &centre);
    return centre;
}

bool Dragging() { return PickerStateNow().dragging; }

// Presses on the ball and drags it in steps to `to`, without releasing it.
void PressAndDragBall(POINT to) {
    const POINT from = BallOnScreen();
    MovePointer(from);
    PressLeftButton();
    ASSERT_TRUE(PumpUntil(Dragging, 2000)) << "the press on the ball at " << from.x << "," << from.y << " started no drag";
    const int steps = 8;
    for (int i = 1; i <= steps; ++i)
        MovePointer({from.x + (to.x - from.x) * i / steps, from.y + (to.y - from.y) * i / steps});
}

// Drags the ball to `to` and releases it there.
void DragBallTo(POINT to) {
    PressAndDragBall(to);
    ReleaseLeftButton();
    ASSERT_TRUE(PumpUntil([] { return !Dragging() && PickerStateNow().buttons_shown; }, 2000)) << "no drop";
}

// Clicks one of the two buttons; the picker closes.
void ClickButton(PickerButton button) {
    MovePointer(ButtonCentreOnScreen(button));
    PressLeftButton();
    ReleaseLeftButton();
    ASSERT_TRUE(PumpUntil([] { return PickerWindow() == nullptr; }, 5000)) << "the picker is still open";
}

class PickerFlow : public testing::Test {
protected:
    void SetUp() override {
        harness_ = std::make_unique<MainWindowHarness>();
        ASSERT_TRUE(harness_->Alive());
        harness_->WaitForStartupCheck();  // its status line must not land in the middle of a test
        ShowWindow(harness_->window(), SW_SHOW);
        SetTarget(false, L"", "");
    }
    void TearDown() override {
        if (PickerWindow()) FinishPicking(false);
        harness_.reset();
    }

    static void SetTarget(bool confirmed, const std::wstring& name, const std::string& hash) {
        std::lock_guard<std::mutex> lock(App().stateMutex);
        App().session.target = TargetSelection{};
        App().session.target.target_confirmed = confirmed;
        App().session.target.executable_name = name;
        App().session.target.executable_sha256 = hash;
        App().session.blacklistPickMode = false;
    }
    static TargetSelection TargetNow() {
        std::lock_guard<std::mutex> lock(App().stateMutex);
        return App().session.target;
    }
    static bool BlacklistPickModeNow() {
        std::lock_guard<std::mutex> lock(App().stateMutex);
        return App().session.blacklistPickMode;
    }

    std::unique_ptr<MainWindowHarness> harness_;
    DialogWatcher dialogs_;
};

TEST_F(PickerFlow, DragOntoAProgramAndConfirm) {
    const RECT area{1100, 650, 1400, 850};
    TargetHelper helper(area);
    ASSERT_TRUE(helper.Ready());

    ASSERT_TRUE(OpenPicker({300, 300}));
    ASSERT_NE(PickerWindow(), nullptr);
    EXPECT_FALSE(IsWindowVisible(harness_->window())) << "the main window hides while picking";
    EXPECT_TRUE(IsWindowVisible(PickerWindow()));
    EXPECT_EQ(BallOnScreen().x, 300);
    EXPECT_EQ(BallOnScreen().y, 300);

    const POINT target = helper.BodyPoint();
    PressAndDragBall(target);
    EXPECT_TRUE(PickerStateNow().dragging);
    EXPECT_FALSE(PointerVisible()) << "the pointer is hidden while the ball is dragged";
    ReleaseLeftButton();
    ASSERT_TRUE(PumpUntil([] { return !Dragging(); }, 2000));

    PickerState state = PickerStateNow();
    EXPECT_FALSE(state.dragging);
    EXPECT_TRUE(state.buttons_shown);
    EXPECT_TRUE(state.placement_verified);
    EXPECT_EQ(state.drop_point.x, target.x);
    EXPECT_EQ(state.drop_point.y, target.y);
    EXPECT_TRUE(PointerVisible()) << "the pointer is back after the drop";
    EXPECT_EQ(ChosenPointOnScreen().x, target.x);

    ClickButton(PickerButton::Confirm);
    EXPECT_EQ(PickerWindow(), nullptr);
    EXPECT_TRUE(IsWindowVisible(harness_->window())) << "the main window is back";
    const TargetSelection chosen = TargetNow();
    EXPECT_TRUE(chosen.target_confirmed);
    EXPECT_EQ(chosen.click_point.x, target.x);
    EXPECT_EQ(chosen.click_point.y, target.y);
    EXPECT_EQ(chosen.executable_name, L"target-helper.exe");
    EXPECT_EQ(chosen.executable_sha256, TargetHelper::BuiltProgramSha256());
    EXPECT_FALSE(chosen.check_ok);
    EXPECT_EQ(StatusTextNow(), L"等待连接后检查目标软件") << "no session: the check waits for the login";
    EXPECT_EQ(dialogs_.Count(), 0u);
}

TEST_F(PickerFlow, CancelEscapeAndAPressThatLeavesItsButton) {
    SetTarget(true, L"earlier.exe", std::string(64, 'a'));

    // A press on 确认 released over 取消 does nothing.
    ASSERT_TRUE(OpenPicker({500, 500}));
    DragBallTo({520, 480});
    MovePointer(ButtonCentreOnScreen(PickerButton::Confirm));
    PressLeftButton();
    MovePointer(ButtonCentreOnScreen(PickerButton::Cancel));
    ReleaseLeftButton();
    EXPECT_NE(PickerWindow(), nullptr) << "still open";
    EXPECT_EQ(PickerStateNow().pressed_button, PickerButton::None);

    ClickButton(PickerButton::Cancel);
    EXPECT_EQ(PickerWindow(), nullptr);
    EXPECT_EQ(StatusTextNow(), L"已取消选择点击位置");
    TargetSelection kept = TargetNow();
    EXPECT_FALSE(kept.target_confirmed);
    EXPECT_EQ(kept.executable_name, L"earlier.exe") << "a cancelled pick keeps the previous program";
    EXPECT_TRUE(PointerVisible());

    // Escape, after a drop and straight after opening: the ball takes over the keyboard from the main
    // window it replaces, so Escape reaches it before it is ever pressed.
    ASSERT_TRUE(OpenPicker({500, 500}));
    DragBallTo({480, 520});
    PressKey(VK_ESCAPE);
    EXPECT_TRUE(PumpUntil([] { return PickerWindow() == nullptr; }, 2000));
    EXPECT_TRUE(IsWindowVisible(harness_->window()));
    ASSERT_TRUE(OpenPicker({500, 500}));
    EXPECT_EQ(GetForegroundWindow(), PickerWindow()) << "the ball is the active window as soon as it shows";
    PressKey(VK_ESCAPE);
    EXPECT_TRUE(PumpUntil([] { return PickerWindow() == nullptr; }, 2000)) << "Escape before any press";
    EXPECT_EQ(StatusTextNow(), L"已取消选择点击位置");
    EXPECT_TRUE(IsWindowVisible(harness_->window()));
}

TEST_F(PickerFlow, DropsAtTheScreenEdgesKeepTheBallInside) {
    const RECT monitor = PrimaryMonitor();
    const POINT edges[] = {{monitor.left, monitor.top},
                           {monitor.right - 1, monitor.top},
                           {monitor.left, monitor.bottom - 1},
                           {monitor.right - 1, monitor.bottom - 1},
                           {(monitor.left + monitor.right) / 2, monitor.top},
                           {monitor.right - 1, (monitor.top + monitor.bottom) / 2}};
    ASSERT_TRUE(OpenPicker({800, 500}));
    for (const POINT& edge : edges) {
        SCOPED_TRACE(std::to_string(edge.x) + "," + std::to_string(edge.y));
        DragBallTo(edge);
        const PickerState state = PickerStateNow();
        ASSERT_FALSE(state.dragging);
        RECT window{};
        GetWindowRect(PickerWindow(), &window);
        EXPECT_TRUE(Inside(monitor, window));
        EXPECT_GE(state.ball_centre.x, kBallMargin);
        EXPECT_GE(state.ball_centre.y, kBallMargin);
        EXPECT_LE(state.ball_centre.x, kPickerSize - kBallMargin);
        EXPECT_LE(state.ball_centre.y, kPickerSize - kBallMargin);
        const POINT chosen = ChosenPointOnScreen();
        EXPECT_EQ(chosen.x, edge.x) << "the real point, not the ball's centre";
        EXPECT_EQ(chosen.y, edge.y);
        EXPECT_TRUE(state.placement_verified) << "the pointer was put back on the ball";
        POINT pointer{};
        GetCursorPos(&pointer);
        EXPECT_EQ(pointer.x, state.drop_point.x);
        EXPECT_EQ(pointer.y, state.drop_point.y);
        EXPECT_TRUE(PointerVisible());
        // A ball held at the top edge has its panel below it.
        const PickerButtons layout = PickerButtonLayout(state.ball_centre);
        if (edge.y == monitor.top) {
            EXPECT_GT(layout.panel.top, state.ball_centre.y);
        }
    }
}

TEST_F(PickerFlow, LosingTheCaptureMidDragIsADrop) {
    ASSERT_TRUE(OpenPicker({600, 400}));
    PressAndDragBall({650, 450});
    ASSERT_TRUE(PickerStateNow().dragging);
    EXPECT_FALSE(PointerVisible());

    // Another window takes the mouse, as a system dialog would.
    HWND thief = CreateWindowExW(0, L"STATIC", L"", WS_POPUP, 0, 0, 10, 10, nullptr, nullptr, nullptr, nullptr);
    ASSERT_NE(thief, nullptr);
    SetCapture(thief);
    Settle();
    const PickerState state = PickerStateNow();
    EXPECT_FALSE(state.dragging);
    EXPECT_TRUE(state.buttons_shown);
    EXPECT_TRUE(PointerVisible()) << "the pointer is never left hidden";
    ReleaseLeftButton();
    ReleaseCapture();
    DestroyWindow(thief);
    EXPECT_NE(PickerWindow(), nullptr) << "the picker is still open for another drag or a confirmation";
}

TEST_F(PickerFlow, WakeHotkeyCancelsAPick) {
    bool registered;
    {
        std::lock_guard<std::mutex> lock(App().stateMutex);
        registered = App().hotkeyRegistered;
    }
    if (!registered) GTEST_SKIP() << "the wake hotkey is taken on this display";
    SetTarget(true, L"earlier.exe", std::string(64, 'b'));
    ASSERT_TRUE(OpenPicker({700, 300}));
    PressAndDragBall({720, 330});  // in the middle of a drag
    PressChord({VK_CONTROL, VK_MENU, 'Q'});
    ReleaseLeftButton();
    EXPECT_TRUE(PumpUntil([] { return PickerWindow() == nullptr; }, 2000));
    EXPECT_TRUE(IsWindowVisible(harness_->window()));
    EXPECT_TRUE(GetWindowLongW(harness_->window(), GWL_EXSTYLE) & WS_EX_TOPMOST);
    EXPECT_EQ(StatusTextNow(), L"已取消选择点击位置");
    EXPECT_EQ(TargetNow().executable_name, L"earlier.exe");
    EXPECT_TRUE(PointerVisible());
}

TEST_F(PickerFlow, ProgramThatCannotBeReadLeavesNoTarget) {
    TempFolder folder;
    // A copy under the same name (the test run keeps that name's windows out of window management).
    const std::filesystem::path program = folder.path() / "target-helper.exe";
    std::filesystem::copy_file(TargetHelper::BuiltProgram(), program);
    TargetHelper helper({1100, 650, 1400, 850}, program);
    ASSERT_TRUE(helper.Ready());
    ASSERT_TRUE(MoveFileW(program.wstring().c_str(), (folder.path() / "moved.bin").wstring().c_str()));

    // In blacklist-pick mode the current target stays as it was.
    SetTarget(true, L"earlier.exe", std::string(64, 'c'));
    ASSERT_TRUE(OpenPicker({300, 300}, PickPurpose::BlacklistProgram));
    DragBallTo(helper.BodyPoint());
    ClickButton(PickerButton::Confirm);
    ASSERT_TRUE(dialogs_.WaitForCount(1));
    EXPECT_TRUE(TargetNow().target_confirmed);
    EXPECT_EQ(TargetNow().executable_name, L"earlier.exe");

    // An ordinary pick clears the target.
    ASSERT_TRUE(OpenPicker({300, 300}));
    DragBallTo(helper.BodyPoint());
    ClickButton(PickerButton::Confirm);
    ASSERT_TRUE(dialogs_.WaitForCount(2));
    const TargetSelection target = TargetNow();
    EXPECT_FALSE(target.target_confirmed);
    EXPECT_EQ(target.executable_name, L"");
    EXPECT_EQ(target.executable_sha256, "");
    EXPECT_EQ(StatusTextNow(), L"无法确认目标软件");
    EXPECT_EQ(DetailTextNow(), L"请在有权操作的普通桌面软件上重新选择位置");
    for (const SeenDialog& seen : dialogs_.Seen()) {
        EXPECT_EQ(seen.caption, L"目标软件无法确认");
        EXPECT_EQ(seen.text,
                  L"无法读取目标程序文件，因此不能检查软件黑名单。\n"
                  L"请在你有权操作的普通桌面程序上重新选择位置；系统界面和受保护程序不能使用。");
        EXPECT_EQ(seen.icon, DialogIcon::Warning);
        EXPECT_EQ(seen.owner, harness_->window());
    }
}

// Windows drops input sent to a program of a higher integrity level without telling the sender, so a
// pick of such a program, or of one whose level cannot be read, is refused at once, with the way out.
TEST_F(PickerFlow, AProgramThisOneCannotReachIsRefusedAtThePick) {
    TargetHelper helper({1100, 650, 1400, 850});
    ASSERT_TRUE(helper.Ready());
    static std::atomic<int> targetLevel{0};  // 0: unreadable
    static const DesktopSystem levels = [] {
        DesktopSystem table = RealDesktopSystem();
        table.processIntegrity = [](DWORD, DWORD& rid) {
            rid = static_cast<DWORD>(targetLevel.load());
            return rid != 0;
        };
        table.ownIntegrity = [](DWORD& rid) {
            rid = SECURITY_MANDATORY_MEDIUM_RID;
            return true;
        };
        return table;
    }();
    SetDesktopSystemForTesting(&levels);
    const struct {
        const char* name;
        int level;
        const wchar_t* status;  // null: confirmed
        const wchar_t* firstWords;
    } cases[] = {
        {"started as administrator", SECURITY_MANDATORY_HIGH_RID, L"所选程序以管理员身份运行，澄序无法点击它",
         L"所选程序以管理员身份运行，Windows 不允许普通程序点击它。"},
        {"its level cannot be read", 0, L"无法读取所选程序的权限级别", L"无法读取所选程序的权限级别"},
        {"an ordinary program", SECURITY_MANDATORY_MEDIUM_RID, nullptr, nullptr},
    };
    size_t boxes = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        targetLevel = c.level;
        SetTarget(false, L"", "");
        ASSERT_TRUE(OpenPicker({300, 300}));
        DragBallTo(helper.BodyPoint());
        ClickButton(PickerButton::Confirm);
        const TargetSelection target = TargetNow();
        if (!c.status) {
            EXPECT_TRUE(target.target_confirmed);
            EXPECT_EQ(target.executable_name, L"target-helper.exe");
            continue;
        }
        ASSERT_TRUE(dialogs_.WaitForCount(++boxes));
        EXPECT_FALSE(target.target_confirmed);
        EXPECT_EQ(target.executable_sha256, "");
        EXPECT_EQ(StatusTextNow(), c.status);
        EXPECT_EQ(DetailTextNow(), L"请以普通方式运行目标程序后重新选择位置");
        EXPECT_EQ(dialogs_.Seen().back().caption, L"无法点击所选程序");
        EXPECT_EQ(dialogs_.Seen().back().text.rfind(c.firstWords, 0), 0u);
    }
    SetDesktopSystemForTesting(nullptr);
    EXPECT_EQ(dialogs_.Count(), boxes);
}

TEST_F(PickerFlow, OverlayThatCannotOpenLeavesNoBlacklistFlag) {
    HINSTANCE instance = GetModuleHandleW(nullptr);
    ASSERT_TRUE(UnregisterClassW(L"BriskodeskOverlay", instance));
    EXPECT_FALSE(OpenPicker({300, 300}, PickPurpose::BlacklistProgram));
    RegisterWindowClasses(instance);
    EXPECT_EQ(PickerWindow(), nullptr);
    EXPECT_FALSE(BlacklistPickModeNow()) << "the next ordinary pick must not count as a blacklist pick";
    EXPECT_TRUE(IsWindowVisible(harness_->window())) << "the main window stays";
    EXPECT_EQ(StatusTextNow(), L"暂时无法显示悬浮球");

    // The next ordinary pick is an ordinary one.
    TargetHelper helper({1100, 650, 1400, 850});
    ASSERT_TRUE(helper.Ready());
    ASSERT_TRUE(OpenPicker({300, 300}));
    DragBallTo(helper.BodyPoint());
    ClickButton(PickerButton::Confirm);
    EXPECT_EQ(StatusTextNow(), L"等待连接后检查目标软件");
    EXPECT_EQ(ReadFormField(FormField::SoftwareName), L"");
}

// The way a person gets there: the dashboard's buttons under the real pointer.
TEST_F(PickerFlow, DashboardButtonsOpenThePickerUnderThePointer) {
    TargetHelper helper({1250, 800, 1550, 980});
    ASSERT_TRUE(helper.Ready());
    {
        std::lock_guard<std::mutex> lock(App().stateMutex);
        App().session.logged_in = true;
        App().session.id = 7;
        App().session.purposeSaved = true;
    }
    harness_->ShowInFront();
    const POINT positionButton = harness_->ScreenPoint(100, 296);
    // While a task waits, the same press leaves the ball closed and says why.
    App().taskBusy.store(true);
    ClickAt(positionButton);
    PumpUntil([] { return false; }, 200);
    App().taskBusy.store(false);
    EXPECT_EQ(PickerWindow(), nullptr) << "no ball while a task waits";
    EXPECT_EQ(StatusTextNow(), kPickerRefusedWhileBusyStatus);
    EXPECT_EQ(DetailTextNow(), kPickerRefusedWhileBusyDetail);
    EXPECT_TRUE(IsWindowVisible(harness_->window()));
    harness_->ShowInFront();
    ClickAt(positionButton);
    ASSERT_NE(PickerWindow(), nullptr) << "选择点击位置 opens the picker";
    EXPECT_EQ(ChosenPointOnScreen().x, positionButton.x);
    EXPECT_EQ(ChosenPointOnScreen().y, positionButton.y);
    EXPECT_FALSE(IsWindowVisible(harness_->window()));
    DragBallTo(helper.BodyPoint());
    ClickButton(PickerButton::Confirm);
    EXPECT_TRUE(TargetNow().target_confirmed);
    EXPECT_EQ(TargetNow().executable_sha256, TargetHelper::BuiltProgramSha256());

    // A developer picks a program for the blacklist form: no check starts, the form is filled.
    const uint64_t serialBefore = [] {
        std::lock_guard<std::mutex> lock(App().stateMutex);
        App().session.developer_user = true;
        return App().blacklistCheckSerial;
    }();
    harness_->ShowInFront();
    ClickAt(harness_->ScreenPoint(415, 700));  // "选择目标程序" on the developer card
    ASSERT_NE(PickerWindow(), nullptr);
    EXPECT_TRUE(BlacklistPickModeNow());
    DragBallTo(helper.ChildPoint());
    ClickButton(PickerButton::Confirm);
    EXPECT_FALSE(BlacklistPickModeNow());
    EXPECT_EQ(ReadFormField(FormField::SoftwareName), L"target-helper");
    EXPECT_EQ(GetFocus(), FormFieldControl(FormField::BlacklistReason));
    EXPECT_EQ(StatusTextNow(), L"目标程序已确认，请填写加入黑名单原因");
    const TargetSelection target = TargetNow();
    EXPECT_TRUE(target.target_confirmed);
    EXPECT_EQ(target.click_point.x, helper.ChildPoint().x);
    EXPECT_FALSE(target.check_ok);
    const BlacklistCodeInputs sealed = ReadBlacklistCodeInputs();
    EXPECT_EQ(sealed.executableName, L"target-helper.exe") << "the code names the program picked for it";
    EXPECT_EQ(sealed.executableSha256, TargetHelper::BuiltProgramSha256());
    std::lock_guard<std::mutex> lock(App().stateMutex);
    EXPECT_EQ(App().blacklistCheckSerial, serialBefore) << "no blacklist check for a blacklist pick";
}

}  // namespace
