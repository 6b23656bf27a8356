// The position picker: the floating ball in its own topmost layered window (class
// "BriskodeskOverlay", title "澄序位置选择") that the user drags over any window and confirms. It
// travels with the ball; every mouse event outside the ball and its two buttons falls through to the
// windows below. While it is open the main window is hidden. User-interface thread only.
#pragma once

#include <windows.h>

#include <cstdint>

class DrawResources;

enum class PickerButton { None = 0, Confirm = 1, Cancel = 2 };

// The overlay's own state, reset each time the picker opens.
struct PickerState {
    bool dragging = false;        // the ball is being dragged (mouse captured, pointer hidden)
    bool buttons_shown = false;   // the confirm/cancel panel is visible; false until the first drop
    PickerButton pressed_button = PickerButton::None;  // acted on at button-up
    POINT ball_centre{100, 100};   // overlay client coordinates, held 18…182
    POINT target_offset{100, 100}; // the exact chosen point, overlay client coordinates
    POINT drop_point{0, 0};        // screen: the ball centre at the last drop
    bool placement_verified = false;  // after the last drop the system pointer stands on drop_point
};

// What the pick is for: the click position, or a program for the developer's blacklist code.
enum class PickPurpose { ClickPosition, BlacklistProgram };

// Opens the picker with the ball at `point` (screen) and hides the main window. The blacklist-pick
// flag of AppState is set only once the overlay exists, so a picker that could not open never leaves
// it behind for the next ordinary pick. Does nothing when the picker is already open. True when the
// picker is open afterwards.
bool OpenPicker(POINT point, PickPurpose purpose = PickPurpose::ClickPosition);

// While a task waits (or its request is on the way) the ball does not open; the status says why.
inline constexpr wchar_t kPickerRefusedWhileBusyStatus[] = L"点击任务等待中，暂时不能重新选择位置";
inline constexpr wchar_t kPickerRefusedWhileBusyDetail[] = L"悬浮球会遮住要点击的程序；请在本次任务结束后再选择";

// Moves the overlay around `point` on its nearest monitor and updates the ball and the chosen point.
void PlacePicker(HWND overlay, POINT point);
// Renders the current state into the layered window.
void DrawPicker(HWND overlay);

// Closes the picker and applies the result: on confirmation the program under the chosen point is
// identified and becomes the target (its blacklist check starts), or, in blacklist-pick mode, fills
// the developer's blacklist form. Cancelling changes no target. Does nothing when no picker is open.
void FinishPicking(bool confirmed);

// The overlay while the picker is open, otherwise null.
HWND PickerWindow();
// A copy of the overlay's state (for the self-test and the tests).
PickerState PickerStateNow();
// Destroys an open overlay without applying anything (the main window is going away).
void DestroyPicker();

// The window procedure of the class "BriskodeskOverlay".
LRESULT CALLBACK PickerWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

// One frame of the overlay into a 200 × 200 premultiplied 32-bit top-down pixel buffer that starts
// fully transparent (the frame UpdateLayeredWindow receives). `resources` may be null.
void RenderPickerFrame(const PickerState& state, uint32_t* pixels, DrawResources* resources);
