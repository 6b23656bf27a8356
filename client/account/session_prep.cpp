#include "account/session_prep.h"

#include <string>

#include "account/credits.h"
#include "core/app_state.h"
#include "target/blacklist_check.h"
#include "timesync/standard_time.h"

namespace {

constexpr int kPreparationSamples = 7;
constexpr uint32_t kPreparationBudgetMs = 1500;

}  // namespace

void PrepareSession() {
    AppState& app = App();
    std::string token;
    {
        std::lock_guard<std::mutex> lock(app.stateMutex);
        token = app.session.token;
    }
    // A target chosen before the login (or checked under the previous session) is checked now.
    StartBlacklistCheck();

    std::wstring error;
    const StandardTimeResult aligned = GetStandardTime(token, kPreparationSamples, error, kPreparationBudgetMs);
    if (aligned.ok) {
        SetStatus(L"软件已连接，正在准备本次使用", L"");
        PostToMainWindow(MSG_TIME_ALIGNED);
    } else {
        SetStatus(L"软件已连接；标准时间暂时未对准", std::move(error));
    }
    RequestCreditsRefresh();

    PostToMainWindow(MSG_PREPARATION_DONE);
}
