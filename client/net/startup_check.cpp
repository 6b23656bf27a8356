#include "net/startup_check.h"

#include <windows.h>
#include <shellapi.h>

#include <atomic>
#include <exception>
#include <thread>

#include "core/app_state.h"
#include "core/config.h"
#include "core/worker.h"
#include "net/json_text.h"
#include "net/service_api.h"

namespace {

constexpr uint32_t kHealthTimeoutMs = 8000;

void OpenWithShell(const std::wstring& address) {
    ShellExecuteW(nullptr, L"open", address.c_str(), nullptr, nullptr, SW_SHOWNORMAL);
}

std::atomic<PageOpener> pageOpener{OpenWithShell};

bool StartsWithIgnoringCase(const std::wstring& text, const wchar_t* prefix) {
    size_t i = 0;
    for (; prefix[i]; ++i) {
        if (i >= text.size()) return false;
        const wchar_t c = text[i];
        const wchar_t lower = (c >= L'A' && c <= L'Z') ? static_cast<wchar_t>(c - L'A' + L'a') : c;
        if (lower != prefix[i]) return false;
    }
    return true;
}

}  // namespace

void SetPageOpenerForTesting(PageOpener opener) { pageOpener = opener ? opener : OpenWithShell; }

std::wstring DefaultDownloadPage(const std::wstring& endpoint) {
    const size_t schemeEnd = endpoint.find(L"://");
    if (schemeEnd == std::wstring::npos) return {};
    const size_t start = schemeEnd + 3;
    const size_t end = endpoint.find_first_of(L"/?#", start);
    std::wstring authority = endpoint.substr(start, end == std::wstring::npos ? std::wstring::npos : end - start);
    if (const size_t at = authority.rfind(L'@'); at != std::wstring::npos) authority.erase(0, at + 1);
    if (authority.empty() || authority[0] == L':') return {};
    return L"https://" + authority + L"/download/";
}

bool IsWebAddress(const std::wstring& address) {
    size_t hostStart;
    if (StartsWithIgnoringCase(address, L"https://")) hostStart = 8;
    else if (StartsWithIgnoringCase(address, L"http://")) hostStart = 7;
    else return false;
    if (hostStart >= address.size() || address[hostStart] == L'/' || address[hostStart] == L'\\') return false;
    for (wchar_t c : address)
        if (c <= L' ' || c == 0x7F) return false;
    return true;
}

std::wstring ChooseDownloadPage(const std::wstring& servedAddress, const std::wstring& endpoint) {
    return IsWebAddress(servedAddress) ? servedAddress : DefaultDownloadPage(endpoint);
}

std::wstring ComposeUpdateNotice(const std::wstring& latestVersion) {
    const std::wstring version = latestVersion.empty() ? std::wstring(L"最新版本") : latestVersion;
    return L"当前版本已停止服务，请安装澄序 " + version + L" 后继续使用。";
}

namespace {

// The check writes the status lines only while they still hold what it wrote last (the connecting
// line and `ownDetail`): a line written meanwhile by someone else (the hotkey conflict found at start,
// a sign-in begun) stays. Returns whether it wrote.
bool SetCheckStatus(const std::wstring& ownDetail, const wchar_t* status, const std::wstring& detail) {
    AppState& app = App();
    {
        std::lock_guard<std::mutex> lock(app.stateMutex);
        if (app.statusText != kConnectingStatus || app.detailText != ownDetail) return false;
        app.statusText = status;
        app.detailText = detail;
    }
    PostToMainWindow(MSG_STATE_CHANGED);
    return true;
}

}  // namespace

void RunStartupCheck() {
    // The window the check was made for; once it has gone, nobody waits for the answer any more.
    HWND window = App().mainWindow.load();
    const auto windowGone = [window] { return !IsWindow(window) || App().mainWindow.load() != window; };
    // A failure on the way (no connection, a time-out, a 5xx) says nothing about this version: the
    // check is made again on the requests' retry rhythm, the status lines saying so, until the service
    // answers. Only its answer, or an address that cannot work, is final.
    std::wstring ownDetail;  // the detail line as the check last wrote it
    ApiResponse response = PostServiceAction("health", "{}", "", kHealthTimeoutMs);
    for (int failed = 1; JudgeServiceAnswer(response) == AnswerVerdict::NotYet; ++failed) {
        std::wstring reason;
        EvaluateApiResponse(response, reason);
        if (windowGone()) return;
        const std::wstring retrying = RetryingDetail(failed, reason);
        if (SetCheckStatus(ownDetail, kConnectingStatus, retrying)) ownDetail = retrying;
        Sleep(RetryPauseMs(failed));
        if (windowGone()) return;
        response = PostServiceAction("health", "{}", "", kHealthTimeoutMs);
    }
    // An answer that comes after its window has gone changes nothing.
    if (windowGone()) return;
    std::wstring message;
    if (!EvaluateApiResponse(response, message)) {
        if (!SetCheckStatus(ownDetail, L"服务暂时无法连接", message)) SetStatus(L"服务暂时无法连接", std::move(message));
        return;
    }

    AppState& app = App();
    if (!JsonGetBool(response.body, "update_required", false)) {
        {
            std::lock_guard<std::mutex> lock(app.stateMutex);
            app.serviceReady = true;
            if (app.statusText == kConnectingStatus) app.statusText = kSignInAskText;
            if (app.detailText == ownDetail) app.detailText.clear();
        }
        PostToMainWindow(MSG_STATE_CHANGED);
        return;
    }

    const std::wstring notice = ComposeUpdateNotice(Utf8ToUtf16(JsonGetString(response.body, "latest_version")));
    // Only a web address is ever handed to the shell: a file, program path or other scheme sent by
    // the service would be executed, so the download page of our own host is opened instead.
    const std::wstring page =
        ChooseDownloadPage(Utf8ToUtf16(JsonGetString(response.body, "download_url")), ServiceEndpoint());
    ShowMessage(notice, L"需要更新澄序", MB_ICONINFORMATION | MB_SETFOREGROUND);
    if (!page.empty()) pageOpener.load()(page);
    PostToMainWindow(WM_CLOSE);
}

void StartStartupCheck() {
    if (!StartWorker(RunStartupCheck)) SetStatus(L"服务暂时无法连接", L"无法启动后台任务，请重新打开程序");
}
