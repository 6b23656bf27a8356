// The points balance and buying points: the "me" refresh on its rhythm (30 s, 3 s for five minutes
// after a payment page opened, 15 s after a failure), the amount rule, the order and the hand-off of
// the payment page to the browser.
#pragma once

#include <cstdint>
#include <string>

#include "core/app_state.h"

// The rhythm of the refresh, in milliseconds of the local clock.
constexpr int64_t kRefreshIntervalMs = 30000;
constexpr int64_t kFastRefreshIntervalMs = 3000;
constexpr int64_t kFastRefreshPeriodMs = 300000;
constexpr int64_t kRefreshRetryMs = 15000;

// Any thread: starts a refresh worker unless one runs or there is no session token.
void RequestCreditsRefresh();
// The main window's timer: a refresh when signed in, none in flight and its time has come.
void RefreshCreditsWhenDue();

// Worker side of a refresh, also for tests: applies a successful "me" answer to the session that
// asked (identified by its token) and sets the next refresh time by `nowMs`; a failure only sets the
// retry time. An answer for a session that has ended meanwhile changes nothing. Returns whether it
// was applied.
bool ApplyCreditsRefresh(const std::string& token, bool succeeded, const std::string& body, int64_t nowMs);

// The amount rule of a top-up order: the text (at most 63 characters) is a decimal number in the usual
// floating-point syntax (optional leading white space, optional sign, digits with an optional decimal
// point, optional exponent) and nothing else, its value lies between 1 and 9999.9 yuan inclusive, and
// at most one character follows its first ".". The value is compared exactly, digit by digit.
bool IsValidTopUpAmount(const std::wstring& text);

// "alipay" or "wxpay" (WeChat Pay only for WeChatPay).
const char* PaymentMethodName(PaymentMethod method);
// {"amount":"<text as typed>","type":"alipay"}
std::string BuildPaymentBody(const std::string& amountUtf8, PaymentMethod method);

inline constexpr wchar_t kPaymentPageNotOpenedStatus[] = L"无法打开支付页面";
inline constexpr wchar_t kPointsArrivedStatus[] = L"充值已到账，积分已更新";

// UI thread: the top-up panel's order button. False while the amount is refused (the status says
// so and the panel stays); true once the order is on its way (the caller closes the panel).
bool StartPayment();
