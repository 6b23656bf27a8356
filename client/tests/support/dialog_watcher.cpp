#include "support/dialog_watcher.h"

#include "support/real_input.h"
#include "support/test_support.h"

namespace {

constexpr DWORD kPollMs = 15;

std::wstring WindowText(HWND window) {
    const int length = GetWindowTextLengthW(window);
    if (length <= 0) return {};
    std::wstring text(static_cast<size_t>(length) + 1, L'\0');
    const int copied = GetWindowTextW(window, text.data(), length + 1);
    text.resize(copied > 0 ? static_cast<size_t>(copied) : 0);
    return text;
}

std::wstring ClassOf(HWND window) {
    wchar_t name[64] = {};
    GetClassNameW(window, name, 64);
    return name;
}

DialogIcon IconKind(HICON icon) {
    if (!icon) return DialogIcon::None;
    struct Known {
        LPCWSTR id;
        DialogIcon kind;
    };
    const Known known[] = {{IDI_INFORMATION, DialogIcon::Information},
                           {IDI_WARNING, DialogIcon::Warning},
                           {IDI_ERROR, DialogIcon::Error},
                           {IDI_QUESTION, DialogIcon::Question}};
    for (const Known& k : known)
        if (LoadIconW(nullptr, k.id) == icon) return k.kind;
    return DialogIcon::Other;
}

struct ChildScan {
    std::wstring text;       // the message text (static control 0xFFFF)
    HICON icon = nullptr;    // the picture of the icon static control
};

BOOL CALLBACK ScanChild(HWND child, LPARAM param) {
    ChildScan& scan = *reinterpret_cast<ChildScan*>(param);
    if (ClassOf(child) != L"Static") return TRUE;
    const LONG style = GetWindowLongW(child, GWL_STYLE);
    if ((style & SS_TYPEMASK) == SS_ICON) {
        if (!scan.icon) scan.icon = reinterpret_cast<HICON>(SendMessageW(child, STM_GETICON, 0, 0));
    } else if (GetDlgCtrlID(child) == 0xFFFF) {
        scan.text = WindowText(child);
    }
    return TRUE;
}

struct TopLevelScan {
    DWORD process;
    std::vector<HWND> dialogs;
};

BOOL CALLBACK ScanTopLevel(HWND window, LPARAM param) {
    TopLevelScan& scan = *reinterpret_cast<TopLevelScan*>(param);
    DWORD process = 0;
    GetWindowThreadProcessId(window, &process);
    if (process == scan.process && IsWindowVisible(window) && ClassOf(window) == L"#32770")
        scan.dialogs.push_back(window);
    return TRUE;
}

}  // namespace

void ClickDialogButton(HWND dialog, int id) {
    HWND button = GetDlgItem(dialog, id);
    RECT rect{};
    if (!button || !GetWindowRect(button, &rect)) return;
    ClickAt({(rect.left + rect.right) / 2, (rect.top + rect.bottom) / 2});
}

const char* DialogIconName(DialogIcon icon) {
    switch (icon) {
        case DialogIcon::None: return "none";
        case DialogIcon::Information: return "information";
        case DialogIcon::Warning: return "warning";
        case DialogIcon::Error: return "error";
        case DialogIcon::Question: return "question";
        default: return "other";
    }
}

DialogWatcher::DialogWatcher(int answer) : answer_(answer), thread_([this] { Run(); }) {}

DialogWatcher::DialogWatcher(Handler handler)
    : answer_(IDOK), handler_(std::move(handler)), thread_([this] { Run(); }) {}

DialogWatcher::DialogWatcher(DialogDecider decide) : decide_(std::move(decide)), thread_([this] { Run(); }) {}

DialogWatcher::~DialogWatcher() {
    stop_ = true;
    thread_.join();
}

std::vector<SeenDialog> DialogWatcher::Seen() const {
    std::lock_guard<std::mutex> guard(lock_);
    return seen_;
}

size_t DialogWatcher::Count() const {
    std::lock_guard<std::mutex> guard(lock_);
    return seen_.size();
}

bool DialogWatcher::WaitForCount(size_t count, DWORD timeoutMs) const {
    return PumpUntil([this, count] { return Count() >= count; }, timeoutMs);
}

void DialogWatcher::Run() {
    while (!stop_) {
        TopLevelScan scan{GetCurrentProcessId(), {}};
        EnumWindows(ScanTopLevel, reinterpret_cast<LPARAM>(&scan));
        {
            std::lock_guard<std::mutex> guard(lock_);
            for (auto it = answered_.begin(); it != answered_.end();)
                it = IsWindow(*it) ? std::next(it) : answered_.erase(it);
        }
        for (HWND dialog : scan.dialogs) Inspect(dialog);
        Sleep(kPollMs);
    }
}

void DialogWatcher::Inspect(HWND dialog) {
    {
        std::lock_guard<std::mutex> guard(lock_);
        if (answered_.count(dialog)) return;
    }
    SeenDialog seen;
    seen.caption = WindowText(dialog);
    ChildScan children;
    EnumChildWindows(dialog, ScanChild, reinterpret_cast<LPARAM>(&children));
    seen.text = children.text;
    seen.icon = IconKind(children.icon);
    seen.owner = GetWindow(dialog, GW_OWNER);
    seen.threadId = GetWindowThreadProcessId(dialog, nullptr);
    DialogAnswer answer{answer_, false};
    if (decide_) answer = decide_(seen);
    {
        std::lock_guard<std::mutex> guard(lock_);
        seen_.push_back(seen);
        answered_.insert(dialog);
    }
    if (handler_) {
        handler_(dialog, seen);
        return;
    }
    const int command = answer.command;
    if (answer.withPointer) {
        RECT button{};
        if (GetWindowRect(GetDlgItem(dialog, answer.command), &button)) {
            SetForegroundWindow(dialog);
            ClickAt({(button.left + button.right) / 2, (button.top + button.bottom) / 2});
            return;
        }
    }
    if (command == kPressEnter) {
        SetForegroundWindow(dialog);
        INPUT keys[2]{};
        keys[0].type = keys[1].type = INPUT_KEYBOARD;
        keys[0].ki.wVk = keys[1].ki.wVk = VK_RETURN;
        keys[1].ki.dwFlags = KEYEVENTF_KEYUP;
        SendInput(2, keys, sizeof(INPUT));
        return;
    }
    PostMessageW(dialog, WM_COMMAND, MAKEWPARAM(command, BN_CLICKED),
                 reinterpret_cast<LPARAM>(GetDlgItem(dialog, command)));
}

std::wstring DialogTexts(HWND dialog) {
    std::wstring texts;
    EnumChildWindows(
        dialog,
        [](HWND child, LPARAM param) -> BOOL {
            wchar_t name[32] = {};
            GetClassNameW(child, name, 32);
            if (lstrcmpiW(name, L"Static") != 0) return TRUE;
            wchar_t text[1024] = {};
            GetWindowTextW(child, text, 1024);
            *reinterpret_cast<std::wstring*>(param) += std::wstring(text) + L"\n";
            return TRUE;
        },
        reinterpret_cast<LPARAM>(&texts));
    return texts;
}
