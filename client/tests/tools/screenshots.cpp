// Saves a PNG of every screen of the real main window: the three signed-out forms, the dashboard of
// a user and of a developer, each panel, and the agreement dialog. Usage: screenshots.exe FOLDER
// (`make screenshots` writes docs/screenshots/). The state is set directly; nothing is sent anywhere.
#include <windows.h>

#include <atomic>
#include <cstdio>
#include <functional>
#include <string>
#include <thread>

#include "app/startup.h"
#include "core/app_state.h"
#include "core/clock.h"
#include "core/form_fields.h"
#include "core/globals.h"
#include "core/holders.h"
#include "support/pixels.h"
#include "support/test_support.h"
#include "ui/agreement_dialog.h"
#include "ui/child_controls.h"

namespace {

std::wstring g_folder;
int g_failures = 0;

void Show(HWND window) {
    ShowWindow(window, SW_SHOW);
    SetForegroundWindow(window);
    RedrawWindow(window, nullptr, nullptr, RDW_INVALIDATE | RDW_UPDATENOW | RDW_ALLCHILDREN);
    PumpUntil([] { return false; }, 250);
}

void Save(const PixelImage& image, const wchar_t* name) {
    const std::wstring path = g_folder + L"\\" + name + L".png";
    if (SavePng(image, path)) {
        std::printf("saved %ls\n", path.c_str());
    } else {
        std::printf("could not save %ls\n", path.c_str());
        ++g_failures;
    }
}

void Shoot(HWND window, const wchar_t* name, const std::function<void(AppState&)>& change) {
    AppState& app = App();
    {
        std::lock_guard<std::mutex> lock(app.stateMutex);
        change(app);
    }
    UpdateChildControls();
    Show(window);
    Save(CaptureClientArea(window), name);
}

void SignedOut(AppState& app, AuthFormMode mode) {
    app.session = Session{};
    app.session.modalPanel = ModalPanelKind::None;
    app.authFormMode = mode;
    app.serviceReady = true;
    app.privacyAccepted = mode == AuthFormMode::Login;
    app.rememberPassword = true;
    app.statusText = mode == AuthFormMode::Login      ? L"请输入邮箱和密码"
                     : mode == AuthFormMode::Register ? L"填写邮箱、密码和收到的验证码"
                                                      : L"使用邮箱验证码设置新密码";
    app.detailText.clear();
}

void SignedIn(AppState& app, bool developer) {
    app.session.logged_in = true;
    app.session.token = "screenshot";
    app.session.id = 1042;
    app.session.credits = 240;
    app.session.email = developer ? "" : "tester@example.com";
    app.session.developer_user = developer;
    app.session.purposeSaved = true;
    app.session.savedPurpose = 0;
    app.session.modalPanel = ModalPanelKind::None;
    app.session.alipayAvailable = true;
    app.session.wxpayAvailable = true;
    app.session.pointsPerYuan = 10;
    app.timeAligned = true;
    app.timeSourceLabel = L"本机直连标准时间";
    app.timeUncertaintyMs = 3;
    app.session.target.target_confirmed = true;
    app.session.target.check_ok = true;
    app.session.target.executable_name = L"DemoApp.exe";
    app.session.target.click_point = {812, 455};
    app.statusText = L"已加入房间，等待一起点击";
    app.detailText.clear();
    app.countdownTargetMs = WallClockMs() + 83000;
    app.timeOffsetMs = 0;
}

// Captures the agreement dialog once it is up, then closes it.
void ShootAgreementDialog(HWND window) {
    std::atomic<bool> done{false};
    std::thread watcher([&] {
        HWND dialog = nullptr;
        for (int i = 0; i < 400 && !dialog; ++i) {
            dialog = FindWindowW(L"#32770", kAgreementTitle);
            if (!dialog) Sleep(25);
        }
        if (dialog) {
            Sleep(400);
            RECT rect{};
            GetWindowRect(dialog, &rect);
            Save(CaptureScreenRect(rect), L"agreement-dialog");
            PostMessageW(dialog, WM_CLOSE, 0, 0);
        } else {
            std::printf("the agreement dialog did not open\n");
            ++g_failures;
        }
        done = true;
    });
    ShowAgreementDialog(window);
    watcher.join();
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc < 2) {
        std::printf("usage: screenshots.exe FOLDER [--dashboard-only SUFFIX]\n");
        return 2;
    }
    // A second run on a display of another DPI shows the dashboard once more, under its own name.
    const bool dashboardOnly = argc >= 4 && std::wstring(argv[2]) == L"--dashboard-only";
    g_folder = argv[1];
    CreateDirectoryW(g_folder.c_str(), nullptr);
    GdiplusSession gdiplus;
    TempFolder appData;
    ScopedEnvironment appDataVariable(L"APPDATA", appData.path().wstring());

    ProcessGlobals& globals = Globals();
    globals.instance = GetModuleHandleW(nullptr);
    globals.selfTest = true;  // no hotkey, no start-up check: the figures show a set state
    globals.appIcon = LoadIconW(globals.instance, MAKEINTRESOURCEW(101));
    RegisterWindowClasses(globals.instance);
    HWND window = CreateMainWindow(globals.instance);
    if (!window) return 1;
    SetWindowPos(window, HWND_TOPMOST, 0, 0, 0, 0, SWP_NOSIZE);

    if (dashboardOnly) {
        WriteFormField(FormField::RoomCode, L"A7K2Q9");
        const std::wstring name = L"dashboard-user" + std::wstring(argv[3]);
        Shoot(window, name.c_str(), [](AppState& app) { SignedIn(app, false); });
        DestroyWindow(window);
        return g_failures == 0 ? 0 : 1;
    }

    WriteFormField(FormField::Account, L"tester@example.com");
    WriteFormField(FormField::Password, L"password");
    Shoot(window, L"signed-out-login", [](AppState& app) { SignedOut(app, AuthFormMode::Login); });
    WriteFormField(FormField::EmailCode, L"");
    Shoot(window, L"signed-out-register", [](AppState& app) { SignedOut(app, AuthFormMode::Register); });
    Shoot(window, L"signed-out-reset", [](AppState& app) { SignedOut(app, AuthFormMode::ResetPassword); });
    ShootAgreementDialog(window);

    WriteFormField(FormField::RoomCode, L"A7K2Q9");
    WriteFormField(FormField::JoinCode, L"");
    Shoot(window, L"dashboard-user", [](AppState& app) { SignedIn(app, false); });
    WriteFormField(FormField::SoftwareName, L"演示程序");
    WriteFormField(FormField::BlacklistReason, L"未获授权的自动化工具");
    Shoot(window, L"dashboard-developer", [](AppState& app) { SignedIn(app, true); });
    Shoot(window, L"dashboard-room-result", [](AppState& app) {
        SignedIn(app, false);
        app.countdownTargetMs = 0;
        app.statusText = L"房间结果：3 台中 2 台已点击，各机自测彼此相差约 4 毫秒；机器 3 未点击";
        app.detailText = L"本机：房间点击已完成，与约定时间相差 1 毫秒；计入各机显示的对时误差，实际最多可能相差 11 毫秒";
        app.roomResultPage = L"https://localhost:8443/room/example";
        app.roomResultStatus = app.statusText;
    });
    Shoot(window, L"panel-purpose", [](AppState& app) {
        SignedIn(app, false);
        app.session.modalPanel = ModalPanelKind::Purpose;
        app.session.pendingPurpose = 1;
    });
    WriteFormField(FormField::Amount, L"10.5");
    Shoot(window, L"panel-top-up", [](AppState& app) {
        SignedIn(app, false);
        app.session.modalPanel = ModalPanelKind::TopUp;
        app.session.paymentMethod = PaymentMethod::WeChatPay;
    });
    Shoot(window, L"panel-personal-centre", [](AppState& app) {
        SignedIn(app, false);
        app.session.modalPanel = ModalPanelKind::PersonalCentre;
        app.rememberPassword = true;
    });

    DestroyWindow(window);
    return g_failures == 0 ? 0 : 1;
}
