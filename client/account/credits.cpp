#include "account/credits.h"


#include <algorithm>
#include <memory>
#include <utility>

#include "core/clock.h"
#include "core/form_fields.h"
#include "core/holders.h"
#include "core/web_page.h"
#include "core/worker.h"
#include "net/json_text.h"
#include "net/service_api.h"
#include "net/startup_check.h"

namespace {

constexpr uint32_t kCreditsRequestTimeoutMs = 8000;
constexpr size_t kAmountMaxLength = 63;
constexpr int32_t kPointsPerYuanMin = 1;
constexpr int32_t kPointsPerYuanMax = 100000;

struct PaymentJob {
    std::string token;
    std::string amount;  // UTF-8, as typed
    PaymentMethod method = PaymentMethod::Alipay;
};

void RunRefreshJob(const std::string& token) {
    const ApiResponse response = PostServiceAction("me", "{}", token, kCreditsRequestTimeoutMs);
    std::wstring message;
    const bool succeeded = EvaluateApiResponse(response, message);
    // A failed refresh is not the user's concern: it is simply tried again later.
    if (ApplyCreditsRefresh(token, succeeded, response.body, WallClockMs()) && succeeded)
        PostToMainWindow(MSG_STATE_CHANGED);
}

void RunPaymentJob(const PaymentJob& job) {
    const ApiResponse response = PostServiceAction("payment.create", BuildPaymentBody(job.amount, job.method),
                                                   job.token, kCreditsRequestTimeoutMs);
    std::wstring message;
    if (!EvaluateApiResponse(response, message)) {
        SetStatus(L"充值订单创建失败", std::move(message));
        return;
    }
    // Only a web page goes to the shell: a program path, a file or another scheme in the answer would
    // be run or opened on this machine.
    const std::wstring page = Utf8ToUtf16(JsonGetString(response.body, "pay_url"));
    if (page.empty() || !IsWebAddress(page)) {
        SetStatus(L"充值订单创建失败", L"后台没有返回支付页面");
        return;
    }
    const bool opened = OpenWebPage(page);
    AppState& app = App();
    {
        std::lock_guard<std::mutex> lock(app.stateMutex);
        // The faster rhythm is for the account that pays, not for one that signed in since. The order
        // exists either way: without a browser the person pays through the copied address.
        if (app.session.token == job.token) {
            const int64_t now = WallClockMs();
            app.session.fastRefreshUntilMs = now + kFastRefreshPeriodMs;
            app.session.accountRefreshDueMs = now + kFastRefreshIntervalMs;
            app.session.paymentPageToShow = page;
            app.session.paymentPageOpened = opened;
            app.session.creditsBeforePayment = app.session.credits;
        }
        if (opened) {
            app.statusText = L"支付页面已打开，到账后积分会自动更新";
            app.detailText.clear();
        } else {
            app.statusText = kPaymentPageNotOpenedStatus;
            app.detailText = L"请复制支付页面地址，在浏览器中打开";
        }
    }
    PostToMainWindow(MSG_STATE_CHANGED);
}

bool IsBlank(wchar_t c) { return c == L' ' || c == L'\t' || c == L'\n' || c == L'\v' || c == L'\f' || c == L'\r'; }
bool IsDigit(wchar_t c) { return c >= L'0' && c <= L'9'; }

}  // namespace

void RequestCreditsRefresh() {
    AppState& app = App();
    std::string token;
    {
        std::lock_guard<std::mutex> lock(app.stateMutex);
        if (app.session.accountRefreshBusy || app.session.token.empty()) return;
        token = app.session.token;
        app.session.accountRefreshBusy = true;
    }
    if (StartWorker([token] { RunRefreshJob(token); })) return;
    // No worker: counted as a failed refresh (tried again later), and the detail line says why the
    // balance may be old.
    ApplyCreditsRefresh(token, false, "", WallClockMs());
    {
        std::lock_guard<std::mutex> lock(app.stateMutex);
        app.detailText = L"无法启动积分刷新，稍后自动重试";
    }
    PostToMainWindow(MSG_STATUS_CHANGED);
}

void RefreshCreditsWhenDue() {
    AppState& app = App();
    {
        std::lock_guard<std::mutex> lock(app.stateMutex);
        const Session& session = app.session;
        if (!session.logged_in || session.accountRefreshBusy || WallClockMs() < session.accountRefreshDueMs) return;
    }
    RequestCreditsRefresh();
}

bool ApplyCreditsRefresh(const std::string& token, bool succeeded, const std::string& body, int64_t nowMs) {
    AppState& app = App();
    std::lock_guard<std::mutex> lock(app.stateMutex);
    // Signed out, or another session since: its refresh flag and times are not this worker's.
    if (token.empty() || app.session.token != token) return false;
    app.session.accountRefreshBusy = false;
    if (!succeeded) {
        app.session.accountRefreshDueMs = nowMs + kRefreshRetryMs;
        return true;
    }
    const int64_t before = app.session.credits;
    app.session.credits = JsonGetInt64(body, "credits", app.session.credits);
    // The points of an order arrived: the status says so instead of still pointing at the payment page.
    if (app.session.creditsBeforePayment >= 0 && app.session.credits > app.session.creditsBeforePayment &&
        app.session.credits > before) {
        app.session.creditsBeforePayment = -1;
        app.statusText = kPointsArrivedStatus;
        app.detailText = L"现有 " + std::to_wstring(app.session.credits) + L" 积分";
    }
    app.session.alipayAvailable = JsonGetBool(body, "alipay", app.session.alipayAvailable);
    app.session.wxpayAvailable = JsonGetBool(body, "wxpay", app.session.wxpayAvailable);
    const int64_t perYuan = JsonGetInt64(body, "points_per_yuan", app.session.pointsPerYuan);
    app.session.pointsPerYuan = static_cast<int32_t>(std::clamp<int64_t>(perYuan, kPointsPerYuanMin, kPointsPerYuanMax));
    app.session.accountRefreshDueMs =
        nowMs + (nowMs < app.session.fastRefreshUntilMs ? kFastRefreshIntervalMs : kRefreshIntervalMs);
    return true;
}

bool IsValidTopUpAmount(const std::wstring& text) {
    if (text.size() > kAmountMaxLength) return false;
    size_t i = 0;
    while (i < text.size() && IsBlank(text[i])) ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == L'+' || text[i] == L'-')) negative = text[i++] == L'-';

    // The significant digits of the mantissa and how many of them stand after the point.
    std::wstring digits;
    size_t mantissaDigits = 0;
    int64_t fractionDigits = 0;
    for (; i < text.size() && IsDigit(text[i]); ++i, ++mantissaDigits)
        if (!digits.empty() || text[i] != L'0') digits += text[i];
    if (i < text.size() && text[i] == L'.') {
        for (++i; i < text.size() && IsDigit(text[i]); ++i, ++mantissaDigits, ++fractionDigits)
            if (!digits.empty() || text[i] != L'0') digits += text[i];  // zeros skipped here still scale
    }
    if (mantissaDigits == 0) return false;

    int64_t exponent = 0;
    if (i < text.size() && (text[i] == L'e' || text[i] == L'E')) {
        size_t j = i + 1;
        bool exponentNegative = false;
        if (j < text.size() && (text[j] == L'+' || text[j] == L'-')) exponentNegative = text[j++] == L'-';
        if (j < text.size() && IsDigit(text[j])) {
            for (; j < text.size() && IsDigit(text[j]); ++j)
                exponent = std::min<int64_t>(exponent * 10 + (text[j] - L'0'), 1000000);
            if (exponentNegative) exponent = -exponent;
            i = j;
        }
        // Without digits the "e" is not part of the number, which then does not reach the end.
    }
    if (i != text.size()) return false;

    const size_t point = text.find(L'.');
    if (point != std::wstring::npos && text.size() - point - 1 > 1) return false;
    if (negative || digits.empty()) return false;  // below 1 (or zero)

    // value × 10 = digits × 10^scale; it must lie in 10 … 99999.
    const int64_t scale = exponent - fractionDigits + 1;
    const int64_t wholeDigits = static_cast<int64_t>(digits.size()) + scale;  // digits before the point of value × 10
    if (wholeDigits < 2 || wholeDigits > 5) return false;
    if (wholeDigits == 5 && scale < 0) {
        // 99999.x: only 9999.9 itself is allowed, so the value × 10 must be 99999 exactly.
        const std::wstring whole = digits.substr(0, 5);
        const bool fraction = digits.find_first_not_of(L'0', 5) != std::wstring::npos;
        if (whole == L"99999" && fraction) return false;
    }
    return true;
}

const char* PaymentMethodName(PaymentMethod method) { return method == PaymentMethod::WeChatPay ? "wxpay" : "alipay"; }

std::string BuildPaymentBody(const std::string& amountUtf8, PaymentMethod method) {
    return "{\"amount\":\"" + JsonEscape(amountUtf8) + "\",\"type\":\"" + PaymentMethodName(method) + "\"}";
}

bool StartPayment() {
    AppState& app = App();
    PaymentJob job;
    {
        std::lock_guard<std::mutex> lock(app.stateMutex);
        job.token = app.session.token;
        job.method = app.session.paymentMethod;
    }
    if (job.token.empty()) return false;
    const std::wstring amount = ReadFormField(FormField::Amount);
    if (!IsValidTopUpAmount(amount)) {
        SetStatus(L"充值金额不正确", L"请输入 1 至 9999.9 元，最多保留一位小数");
        return false;
    }
    job.amount = Utf16ToUtf8(amount);
    SetStatus(L"正在创建充值订单…", L"");
    if (!StartWorker([job = std::move(job)] { RunPaymentJob(job); }))
        SetStatus(L"充值订单创建失败", L"无法启动后台任务，请稍后重试");
    return true;
}
