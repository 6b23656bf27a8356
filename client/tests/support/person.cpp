#include "support/person.h"

#include "support/test_support.h"
#include "target/picker_layout.h"
#include "ui/child_controls.h"
#include "ui/screen_layout.h"

namespace {

POINT Centre(const RECT& r) { return {(r.left + r.right) / 2, (r.top + r.bottom) / 2}; }

RECT MonitorOf(POINT point) {
    MONITORINFO info{};
    info.cbSize = sizeof info;
    GetMonitorInfoW(MonitorFromPoint(point, MONITOR_DEFAULTTONEAREST), &info);
    return info.rcMonitor;
}

POINT Offset(POINT origin, POINT inside) { return {origin.x + inside.x, origin.y + inside.y}; }

// Where the picker's window stands now (its top-left corner), when it is shown.
bool PickerOrigin(HWND picker, POINT& origin) {
    RECT r{};
    if (!picker || !IsWindowVisible(picker) || !GetWindowRect(picker, &r)) return false;
    origin = {r.left, r.top};
    return true;
}

}  // namespace

Person::Person(HWND mainWindow, const Hands& hands) : window_(mainWindow), hands_(hands) {}

const Hands& Person::DefaultHands() {
    static const Hands hands;
    return hands;
}

DWORD Person::processId() const {
    DWORD id = 0;
    GetWindowThreadProcessId(window_, &id);
    return id;
}

POINT Person::At(int x, int y) const {
    POINT point{x, y};
    ClientToScreen(window_, &point);
    return point;
}

void Person::Click(const RECT& clientRect) const {
    const POINT centre = Centre(clientRect);
    hands_.Click(At(centre.x, centre.y));
}

void Person::Retype(FormField field, const std::wstring& text) const {
    Click(FieldFrame(field));
    hands_.Key(VK_END);
    hands_.Key(VK_HOME, true);  // selects the whole line; what is typed replaces it
    hands_.Key(VK_DELETE);
    hands_.Type(text);
}

void Person::SignIn(const std::wstring& account, const std::wstring& password, bool tickAgreement) const {
    Retype(FormField::Account, account);
    Retype(FormField::Password, password);
    if (tickAgreement) Click(layout::kAgreementBox);
    Click(layout::kSubmitButton);
}

void Person::SavePurpose() const { Click(layout::kSavePurposeButton); }

std::string Person::PickPosition(POINT target, DWORD timeoutMs, int* drags) const {
    const DWORD process = processId();
    Click(layout::kPositionButton);
    HWND picker = nullptr;
    POINT origin{};
    if (!PumpUntil([&] { return PickerOrigin(picker = FindTopLevelWindowOf(process, L"BriskodeskOverlay", true), origin); },
                   timeoutMs))
        return "the ball did not appear";

    // Dropped on the target, the window stands around it and shows its buttons.
    const PickerPlacement dropped = PlacePickerOnMonitor(MonitorOf(target), target);
    auto droppedOnTarget = [&] {
        return PickerOrigin(picker, origin) && origin.x == dropped.windowOrigin.x && origin.y == dropped.windowOrigin.y;
    };
    // A drag that did not take (another program's window may see a stale move of the pointer
    // without the button) leaves the ball short of the target: the person drags it again from
    // where it now lies.
    int attempt = 0;
    for (; attempt < 3 && !droppedOnTarget(); ++attempt) {
        const POINT centre{origin.x + kPickerSize / 2, origin.y + kPickerSize / 2};
        const POINT ball = Offset(origin, PlacePickerOnMonitor(MonitorOf(centre), centre).ballCentre);
        // A pointer put somewhere reaches a window of another program as a move of its own, without
        // the buttons: it must have arrived before the press. The drag itself is made of mouse
        // moves, which carry the held button.
        hands_.MoveTo(ball);
        PumpUntil([] { return false; }, 250);
        hands_.Press();
        PumpUntil([] { return false; }, 100);
        const int steps = 8;
        for (int i = 1; i <= steps; ++i)
            hands_.DragTo({ball.x + (target.x - ball.x) * i / steps, ball.y + (target.y - ball.y) * i / steps});
        PumpUntil([] { return false; }, 100);
        hands_.Release();
        PumpUntil(droppedOnTarget, 2000);
    }
    if (drags) *drags = attempt;
    if (!droppedOnTarget())
        return "the ball did not stay where it was dropped (the window stands at " + std::to_string(origin.x) + "," +
               std::to_string(origin.y) + ")";
    PumpUntil([] { return false; }, 100);  // the panel is drawn with the drop
    const RECT confirm = PickerButtonLayout(dropped.ballCentre).confirm;
    hands_.Click(Offset(origin, Centre(confirm)));
    if (!PumpUntil([&] { return !IsWindow(picker) || !IsWindowVisible(picker); }, timeoutMs))
        return "the ball stayed after 确认";
    return {};
}

void Person::StartSyncTest(const std::wstring& timeOfDay) const {
    Retype(FormField::TestTime, TimeDigits(timeOfDay));
    Click(layout::kSyncTestButton);
}

void Person::CreateRoom(const std::wstring& code, const std::wstring& timeOfDay,
                        const std::wstring& participants) const {
    Retype(FormField::RoomCode, code);
    Retype(FormField::ClickTime, TimeDigits(timeOfDay));
    Retype(FormField::Participants, participants);
    Click(layout::kCreateRoomButton);
}

void Person::JoinRoom(const std::wstring& code) const {
    Retype(FormField::JoinCode, code);
    Click(layout::kJoinRoomButton);
}

std::wstring TimeDigits(const std::wstring& timeOfDay) {
    std::wstring digits;
    for (wchar_t c : timeOfDay)
        if (c >= L'0' && c <= L'9') digits.push_back(c);
    return digits;
}

HWND FindConfirmationBox(DWORD processId) {
    // A message box is modal: the program shows one at a time.
    HWND box = FindTopLevelWindowOf(processId, L"#32770", true);
    wchar_t caption[32] = {};
    if (box) GetWindowTextW(box, caption, 32);
    return box && std::wstring(caption) == L"请确认本次操作" ? box : nullptr;
}

bool AnswerYesWithThePointer(HWND box, const Hands& hands) {
    RECT yes{};
    if (!GetWindowRect(GetDlgItem(box, IDYES), &yes)) return false;
    SetForegroundWindow(box);
    hands.Click(Centre(yes));
    return true;
}
