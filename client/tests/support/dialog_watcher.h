// Watches this process for dialog windows (class "#32770": message boxes and the like), records the
// caption, text, icon and owner of each as it appears, and answers it by pressing a button. Works for
// boxes shown on any thread, so a test can drive code that shows message boxes on the UI thread or
// on a worker.
#pragma once

#include <windows.h>

#include <atomic>
#include <functional>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

enum class DialogIcon { None, Information, Warning, Error, Question, Other };

struct SeenDialog {
    std::wstring caption;
    std::wstring text;
    DialogIcon icon = DialogIcon::None;
    HWND owner = nullptr;
    DWORD threadId = 0;  // the thread that shows the dialog
};

// How to answer one dialog: the command pressed, and whether the pointer presses that button as a
// person would (a real click on it) rather than by a posted command.
struct DialogAnswer {
    int command = IDOK;
    bool withPointer = false;
};
// Chooses the answer for a dialog just seen; runs on the watcher's thread while the dialog is open,
// so a test can also change the program's state at that moment.
using DialogDecider = std::function<DialogAnswer(const SeenDialog&)>;

class DialogWatcher {
public:
    // Answers a dialog with real keyboard input: the Enter key, which presses the default button.
    static constexpr int kPressEnter = -1;

    // Acts on a dialog as a person would (on the watcher's own thread, once per dialog).
    using Handler = std::function<void(HWND dialog, const SeenDialog& seen)>;

    // `answer` is the command id pressed on every dialog (IDOK closes a plain message box), or
    // kPressEnter.
    explicit DialogWatcher(int answer = IDOK);
    // Each dialog is handed to `handler` instead, which answers it itself.
    explicit DialogWatcher(Handler handler);
    // Each dialog's answer is chosen by `decide` as it appears.
    explicit DialogWatcher(DialogDecider decide);
    ~DialogWatcher();
    DialogWatcher(const DialogWatcher&) = delete;
    DialogWatcher& operator=(const DialogWatcher&) = delete;

    std::vector<SeenDialog> Seen() const;
    size_t Count() const;
    // Waits until `count` dialogs were seen, pumping this thread's messages meanwhile (a box shown on
    // a worker but owned by a window of this thread needs this thread to answer its messages).
    bool WaitForCount(size_t count, DWORD timeoutMs = 10000) const;

private:
    void Run();
    void Inspect(HWND dialog);

    int answer_ = IDOK;
    Handler handler_;
    DialogDecider decide_;
    std::atomic<bool> stop_{false};
    mutable std::mutex lock_;
    std::vector<SeenDialog> seen_;
    std::set<HWND> answered_;
    std::thread thread_;
};

// Presses the dialog's button `id` with the pointer (real input), as a person would.
void ClickDialogButton(HWND dialog, int id);

// Every static text of a dialog, one per line (a task dialog keeps its texts in several).
std::wstring DialogTexts(HWND dialog);

// A readable name of an icon kind, for failure messages.
const char* DialogIconName(DialogIcon icon);
