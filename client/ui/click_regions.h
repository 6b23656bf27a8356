// The main window's click regions: one table for the dashboard and signed-out screen, one for the
// open panel, each row a condition, a half-open rectangle and the action it starts. A click acts on
// the button's release, and only when the press began in the same region of the same window.
#pragma once

#include <windows.h>

#include <vector>

#include "core/app_state.h"

// What decides which rows are active (copied under the state lock in one hold).
struct ClickConditions {
    bool loggedIn = false;
    bool developer = false;
    bool alipayAvailable = false;
    bool wechatAvailable = false;
    ModalPanelKind panel = ModalPanelKind::None;
    AuthFormMode authMode = AuthFormMode::Login;
    bool purposeSaved = false;
    bool roomResultOffered = false;  // the status line gives a room's result with its page
};
ClickConditions TakeClickConditions();

enum class ClickTable { None, Main, Panel };

// The row of a table that a point falls in (the first active match in table order).
struct ClickHit {
    ClickTable table = ClickTable::None;
    int row = -1;
    bool operator==(const ClickHit&) const = default;
};

// Which row (x, y) in client pixels hits: the panel table while a panel is open (no dashboard row is
// active then), otherwise the main table. Regions are [left, right) × [top, bottom).
ClickHit HitTestClick(const ClickConditions& conditions, int x, int y);

// A row the keyboard can reach: active and drawn on the current screen (a region that reacts where
// nothing is drawn, such as "更改用途" before a purpose is saved, is no stop).
struct ClickStop {
    ClickHit hit;
    RECT region;
    bool checkbox;  // Space toggles it; Enter presses the form's main button instead
    bool endsProgram = false;  // "退出": reached with Tab, never where the focus is put by itself
};
std::vector<ClickStop> ClickStops(const ClickConditions& conditions);

// "退出" on the screens of a signed-in person ends the program, which is not what someone who only wants
// another account means ("退出账号" in the personal centre): the button asks first ("否" is the
// default). Signed out it closes at once; while a task waits the window's own question comes instead.
inline constexpr wchar_t kQuitSignedInText[] =
    L"要关闭澄序吗？\n\n只想换一个账号时，请选“否”，再在“个人中心”中选择“退出账号”。";

// The rows' names as the screens show them ("退出", "登录", …), for tests and diagnostics.
const char* ClickRowName(const ClickHit& hit);
// Runs the row's action (a row whose action is not built yet does nothing).
void RunClickRow(HWND window, const ClickHit& hit);

// Left button pressed / released at a client position (x, y from lParam as signed 16-bit values).
void OnMainButtonDown(HWND window, LPARAM position);
void OnMainButtonUp(HWND window, LPARAM position);
// The window lost the mouse capture to another window: a press in progress no longer counts.
void OnMainCaptureLost(HWND window, HWND newCapture);
