// room-driver COMMAND ...: a person at one simulated machine. Runs in that machine's wine session and
// works the Orvane.exe running there through its window with real input (SendInput), reading only
// what the screen shows. Prints one line "ok ..." on success; on failure a line "failed: why" and a
// screenshot of the screen (ORVANE_DRIVER_SHOTS, a folder) and exit code 1; 2 on a usage error.
//
//   prepare EMAIL PASSWORD X Y         sign in, save the purpose, pick the position (X, Y) and wait
//                                      until the service has allowed the program there; says how
//                                      many drags the ball needed
//   create CODE HH:MM:SS PARTICIPANTS  create a room, confirm it, wait until the task is admitted
//   join CODE                          join a room, confirm it, wait until the task is admitted
//   read MACHINES                      bring the window back after a task and read the status line: the
//                                      room's result for a room of MACHINES that all clicked ("room"
//                                      and the spread it gives), otherwise the machine's own outcome
//                                      ("done" or "failed"); and the uncertainty the screen reports
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

#include "core/draw_context.h"
#include "core/holders.h"
#include "net/json_text.h"
#include "support/person.h"
#include "support/pixels.h"
#include "support/real_input.h"
#include "support/test_support.h"
#include "tasks/click_task.h"
#include "tasks/room_result.h"
#include "ui/screen_layout.h"
#include "ui/screen_state.h"

namespace {

constexpr DWORD kStepMs = 30000;

// The machine's mouse and keyboard: input given to its X display, as a person's hands give it.
const XdotoolHands& MachineHands() {
    static const XdotoolHands hands;
    return hands;
}

// What a failure's reader needs when only the printed lines are kept (a CI log): the window in
// front, and what the visible fields of Orvane's window hold (a password field only its length).
std::string ScreenFacts() {
    std::string facts;
    wchar_t text[256] = {};
    if (HWND front = GetForegroundWindow()) {
        GetClassNameW(front, text, 256);
        facts += "in front: " + Utf16ToUtf8(text);
        GetWindowTextW(front, text, 256);
        facts += " \"";
        facts += Utf16ToUtf8(text);
        facts += '"';
    }
    HWND main = FindWindowW(L"BriskodeskMain", nullptr);
    if (!main) return facts + "; no main window";
    if (IsIconic(main)) facts += "; main window minimised";
    for (HWND child = FindWindowExW(main, nullptr, L"Edit", nullptr); child;
         child = FindWindowExW(main, child, L"Edit", nullptr)) {
        if (!IsWindowVisible(child)) continue;
        RECT r{};
        GetWindowRect(child, &r);
        MapWindowPoints(nullptr, main, reinterpret_cast<POINT*>(&r), 2);
        facts += "; field at " + std::to_string(r.left) + "," + std::to_string(r.top) + ": ";
        if (GetWindowLongW(child, GWL_STYLE) & ES_PASSWORD) {
            facts += std::to_string(SendMessageW(child, WM_GETTEXTLENGTH, 0, 0)) + " characters";
        } else {
            GetWindowTextW(child, text, 256);
            facts += '"';
            facts += Utf16ToUtf8(text);
            facts += '"';
        }
    }
    return facts;
}

[[noreturn]] void Fail(const std::string& why) {
    std::printf("failed: %s | %s\n", why.c_str(), ScreenFacts().c_str());
    wchar_t folder[MAX_PATH] = {};
    if (GetEnvironmentVariableW(L"ORVANE_DRIVER_SHOTS", folder, MAX_PATH)) {
        const std::wstring path = std::wstring(folder) + L"\\driver-" + std::to_wstring(GetTickCount64()) + L".png";
        const PixelImage screen = CaptureScreenRect({0, 0, GetSystemMetrics(SM_CXSCREEN), GetSystemMetrics(SM_CYSCREEN)});
        if (SavePng(screen, path)) std::printf("screenshot: %s\n", Utf16ToUtf8(path).c_str());
    }
    std::fflush(stdout);
    std::exit(1);
}

HWND MainWindow() {
    HWND window = nullptr;
    PumpUntil([&] { return (window = FindWindowW(L"BriskodeskMain", nullptr)) != nullptr; }, kStepMs);
    if (!window) Fail("no main window of Orvane.exe");
    return window;
}

DWORD ProcessOf(HWND window) {
    DWORD id = 0;
    GetWindowThreadProcessId(window, &id);
    return id;
}

// Colours of the screen at client points, as the person sees them.
bool Shows(HWND window, std::initializer_list<std::pair<POINT, Argb>> probes, int tolerance = 6) {
    if (IsIconic(window) || !IsWindowVisible(window)) return false;
    const PixelImage image = CaptureClientArea(window);
    for (const auto& [at, colour] : probes)
        if (!ColourNear(image.At(at.x, at.y), colour, tolerance)) return false;
    return true;
}

constexpr Argb kPrimaryButton = 0xFF2A66EC;
constexpr Argb kCard = 0xFF131F31;
constexpr Argb kSecondaryButton = 0xFF1D2D44;

bool LoginReady(HWND w) { return Shows(w, {{{628, 598}, kPrimaryButton}}); }
bool PurposePanelOpen(HWND w) { return Shows(w, {{{420, 552}, kPrimaryButton}}) && !Shows(w, {{{318, 400}, kCard}}); }
bool DashboardShown(HWND w) { return Shows(w, {{{318, 400}, kCard}, {{925, 50}, kSecondaryButton}}); }
// The position line in green: the program at the chosen point may be used.
bool TargetAllowed(HWND w) {
    if (IsIconic(w)) return false;
    return CountNear(CaptureClientArea(w), RECT{34, 232, 259, 259}, 0xFF5BE0A4, 40) > 15;
}

// A message box of Orvane other than the confirmation: its caption and text, answered with OK.
std::string TakeOtherBox(DWORD process) {
    HWND box = FindTopLevelWindowOf(process, L"#32770", true);
    if (!box || box == FindConfirmationBox(process)) return {};
    wchar_t caption[128] = {}, text[512] = {};
    GetWindowTextW(box, caption, 128);
    GetDlgItemTextW(box, 0xFFFF, text, 512);
    PostMessageW(box, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0);
    return Utf16ToUtf8(std::wstring(caption) + L": " + text);
}

bool HasEnded(DWORD process) {
    const ScopedHandle handle(OpenProcess(SYNCHRONIZE, FALSE, process));
    return handle && WaitForSingleObject(handle.get(), 0) == WAIT_OBJECT_0;
}

void WaitFor(const char* what, const std::function<bool()>& done, DWORD process, DWORD timeoutMs = kStepMs) {
    std::printf("waiting for %s\n", what);
    std::fflush(stdout);
    std::string box;
    bool ended = false;
    const bool reached = PumpUntil(
        [&] { return done() || !(box = TakeOtherBox(process)).empty() || (ended = HasEnded(process)); }, timeoutMs);
    if (!box.empty()) Fail(std::string("while waiting for ") + what + ", a message box: " + box);
    if (ended) Fail(std::string("while waiting for ") + what + ", Orvane.exe ended");
    if (!reached) Fail(std::string("timed out waiting for ") + what);
}

// The wake hotkey brings the window back (Ctrl + Alt + Q, the default).
void BringBack(HWND window) {
    if (!IsIconic(window) && GetForegroundWindow() == window) return;
    MachineHands().Chord({VK_CONTROL, VK_MENU, 'Q'});
    WaitFor("the window to come back", [&] { return !IsIconic(window) && IsWindowVisible(window); }, ProcessOf(window),
            5000);
    PumpUntil([] { return false; }, 300);
}

void Prepare(const std::wstring& email, const std::wstring& password, POINT target) {
    HWND window = MainWindow();
    const DWORD process = ProcessOf(window);
    const Person person(window, MachineHands());
    WaitFor("the sign-in form to be ready", [&] { return LoginReady(window); }, process);
    person.SignIn(email, password, true);
    // A sign-in that did not take leaves the form ready again (a click lost on a loaded machine, an
    // answer the form shows): the person reads it and signs in once more, and the note says so.
    std::string again;
    if (!PumpUntil([&] { return PurposePanelOpen(window); }, 10000) && LoginReady(window) && !HasEnded(process)) {
        again = " signed in again after: " + ScreenFacts();
        std::printf("signing in again\n");
        person.SignIn(email, password, true);
    }
    WaitFor("the purpose panel", [&] { return PurposePanelOpen(window); }, process);
    person.SavePurpose();
    WaitFor("the dashboard", [&] { return DashboardShown(window); }, process);
    int drags = 0;
    if (const std::string why = person.PickPosition(target, 15000, &drags); !why.empty())
        Fail("picking the position: " + why);
    WaitFor("the program to be allowed", [&] { return TargetAllowed(window); }, process);
    std::printf("ok prepared drags=%d%s\n", drags, again.c_str());
}

// After the box is answered: the task is admitted once the window gives way to the badge.
void ConfirmAndWaitForTheTask(HWND window) {
    const DWORD process = ProcessOf(window);
    HWND box = nullptr;
    WaitFor("the confirmation box", [&] { return (box = FindConfirmationBox(process)) != nullptr; }, process);
    if (!AnswerYesWithThePointer(box, MachineHands())) Fail("no 是 button in the confirmation box");
    WaitFor("the task to be admitted", [&] { return IsIconic(window) != FALSE; }, process);
    // On a desktop, the window manager hands the activation to the next window when the active one is
    // minimised: the program at the point, which the person has just picked. This virtual display
    // has no window manager, so nothing would be active and the press would first have to activate
    // the target's window, which under wine costs a round trip to the X server before the press
    // arrives (1–1.5 ms measured). The person brings it to the front instead.
    HWND target = FindWindowW(L"OrvaneTargetHelper", nullptr);
    if (!target) Fail("no window of target-helper on this machine");
    SetForegroundWindow(target);
    WaitFor("the target's window to become the active one", [&] { return GetForegroundWindow() == target; }, process,
            5000);
    std::printf("ok admitted\n");
}

void Create(const std::wstring& code, const std::wstring& timeOfDay, const std::wstring& participants) {
    HWND window = MainWindow();
    BringBack(window);
    Person(window, MachineHands()).CreateRoom(code, timeOfDay, participants);
    ConfirmAndWaitForTheTask(window);
}

void Join(const std::wstring& code) {
    HWND window = MainWindow();
    BringBack(window);
    Person(window, MachineHands()).JoinRoom(code);
    ConfirmAndWaitForTheTask(window);
}

// Which candidate text is drawn in `label` (a label of the left column's progress box): each is
// drawn the way the dashboard draws it, over the box's colour, and compared with the screen.
int ClosestLabel(const PixelImage& screen, const RECT& label, const std::vector<std::wstring>& candidates, float size,
                 const std::function<Argb(const std::wstring&)>& colourOf, bool bold, double& meanDifference) {
    const int width = label.right - label.left, height = label.bottom - label.top;
    int best = -1;
    meanDifference = 1e9;
    for (size_t i = 0; i < candidates.size(); ++i) {
        const PixelImage drawn = RenderFrameAt(label, [&](DrawContext& context, const RECT&) {
            FillRoundRect(context, {20, 380, 255, 125}, 12, 0xFF142134);
            DrawPhrasedLabel(context, candidates[i],
                             RectF(static_cast<float>(label.left), static_cast<float>(label.top),
                                   static_cast<float>(width), static_cast<float>(height)),
                             size, colourOf(candidates[i]), bold, TextAlign::Near);
        });
        double total = 0;
        for (int y = 0; y < height; ++y)
            for (int x = 0; x < width; ++x) {
                const uint32_t a = screen.At(label.left + x, label.top + y), b = drawn.At(x, y);
                for (int shift : {0, 8, 16})
                    total += std::abs(static_cast<int>((a >> shift) & 0xFF) - static_cast<int>((b >> shift) & 0xFF));
            }
        const double mean = total / (3.0 * width * height);
        if (mean < meanDifference) {
            meanDifference = mean;
            best = static_cast<int>(i);
            wchar_t folder[MAX_PATH] = {};
            if (GetEnvironmentVariableW(L"ORVANE_DRIVER_DEBUG", folder, MAX_PATH)) {
                SavePng(drawn, std::wstring(folder) + L"\\drawn-" + std::to_wstring(label.top) + L".png");
                PixelImage shown;
                shown.width = width;
                shown.height = height;
                for (int y = 0; y < height; ++y)
                    for (int x = 0; x < width; ++x) shown.pixels.push_back(screen.At(label.left + x, label.top + y));
                SavePng(shown, std::wstring(folder) + L"\\shown-" + std::to_wstring(label.top) + L".png");
            }
        }
    }
    return best;
}

// The room's result for a room of `machines` that all clicked, one text per spread (0…100 ms).
std::vector<std::wstring> RoomResultTexts(int machines) {
    RoomResult all;
    all.capacity = all.joined = all.reported = all.clicked = machines;
    all.complete = true;
    std::vector<std::wstring> texts;
    for (int ms = 0; ms <= (machines >= 2 ? 100 : 0); ++ms) {
        all.spreadMs = all.spreadBoundMs = ms;
        texts.push_back(DescribeRoomResult(all, L"").status);
    }
    return texts;
}

// The time line "本机直连标准时间 · 预计相差 N 毫秒" drawn in `label`: N, or -1.
int ReadUncertainty(const PixelImage& screen, const RECT& label, double& difference) {
    ScreenSnapshot aligned;
    aligned.timeAligned = true;
    aligned.timeSourceLabel = L"本机直连标准时间";
    std::vector<std::wstring> lines;
    for (int ms = 0; ms <= 200; ++ms) {
        aligned.timeUncertaintyMs = ms;
        lines.push_back(SyncLine(aligned));
    }
    return ClosestLabel(screen, label, lines, 10, [](const std::wstring&) { return Argb{0xFF5BE0A4}; }, false,
                        difference);
}

void Read(int machines) {
    HWND window = MainWindow();
    BringBack(window);
    // A window just restored on a busy machine may take a moment to paint.
    WaitFor("the dashboard", [&] { return DashboardShown(window); }, ProcessOf(window), 5000);

    // The room's result comes once the others have reported: looked for a while before the machine's
    // own outcome is read instead.
    const std::vector<std::wstring> roomTexts = RoomResultTexts(machines);
    const ULONGLONG until = GetTickCount64() + 20000;
    for (;;) {
        const PixelImage screen = CaptureClientArea(window);
        double roomDifference = 0, lineDifference = 0;
        const int room = ClosestLabel(screen, {34, 384, 262, 446}, roomTexts, 12,
                                      [](const std::wstring&) { return Argb{0xFFF1F5FB}; }, true, roomDifference);
        if (room >= 0 && roomDifference <= 2.0) {
            const int uncertainty = ReadUncertainty(screen, {34, 448, 262, 472}, lineDifference);
            if (uncertainty < 0 || lineDifference > 2.0)
                Fail("the room's result stands without a time line one of the expected texts gives");
            std::printf("ok status=room room_spread_ms=%d uncertainty_ms=%d\n", machines >= 2 ? room : -1, uncertainty);
            return;
        }
        if (GetTickCount64() > until) break;
        Sleep(500);
    }

    const PixelImage screen = CaptureClientArea(window);
    std::vector<std::wstring> statuses;
    // A room's own words, never the synchronisation test's.
    for (int ms = -50; ms <= 50; ++ms) statuses.push_back(ClickDoneStatus(ms, true));
    statuses.push_back(ClickRefusedStatus(true));
    double statusDifference = 0;
    const int status = ClosestLabel(
        screen, {34, 384, 244, 420}, statuses, 13,
        [](const std::wstring& text) { return IsFailureStatus(text) ? kErrorColour : Argb{0xFFF1F5FB}; }, true,
        statusDifference);
    double lineDifference = 0;
    const int uncertainty = ReadUncertainty(screen, {34, 420, 244, 446}, lineDifference);
    char differences[96];
    std::snprintf(differences, sizeof differences, " (closest drawings differ by %.2f and %.2f per channel)",
                  statusDifference, lineDifference);
    if (status < 0 || statusDifference > 2.0)
        Fail(std::string("the status line reads none of the expected texts") + differences);
    if (uncertainty < 0 || lineDifference > 2.0)
        Fail(std::string("the synchronisation line reads none of the expected texts") + differences);
    std::printf("ok status=%s uncertainty_ms=%d\n", status + 1 == static_cast<int>(statuses.size()) ? "failed" : "done",
                uncertainty);
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    GdiplusSession gdiplus;
    const std::wstring command = argc > 1 ? argv[1] : L"";
    if (command == L"prepare" && argc == 6) {
        Prepare(argv[2], argv[3], {_wtoi(argv[4]), _wtoi(argv[5])});
    } else if (command == L"create" && argc == 5) {
        Create(argv[2], argv[3], argv[4]);
    } else if (command == L"join" && argc == 3) {
        Join(argv[2]);
    } else if (command == L"read" && argc == 3 && _wtoi(argv[2]) >= 1) {
        Read(_wtoi(argv[2]));
    } else {
        std::fprintf(stderr, "usage: room-driver prepare EMAIL PASSWORD X Y | create CODE HH:MM:SS N | join CODE | read MACHINES\n");
        return 2;
    }
    std::fflush(stdout);
    return 0;
}
