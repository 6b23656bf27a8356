// The signed-in dashboard: header, the left status column with the countdown, the main heading and
// account summary, the three action cards and the developer card.
#include "tasks/room_result.h"
#include "timesync/time_of_day.h"
#include "ui/child_controls.h"
#include "ui/screen_layout.h"
#include "ui/screen_paint.h"

namespace {

constexpr Argb kCardColour = 0xFF131F31;
constexpr Argb kCardTitle = 0xFFF2F7FE;
constexpr Argb kCostLine = 0xFF9BAEC6;
constexpr Argb kFieldLabel = 0xFFA6B8CF;
constexpr Argb kHintBox = 0xFF112A45;
constexpr Argb kHintFirst = 0xFF67A9FF;
constexpr Argb kHintSecond = 0xFFB0C1D6;
constexpr Argb kBalance = 0xFF79B9FF;

const LabelSpec kLeftColumnLabels[] = {
    {L"开始前准备", {20, 120, 180, 24}, 12, true, TextAlign::Near, 0xFF5B8FFF},
    {L"点击位置与进度", {20, 150, 240, 34}, 24, true, TextAlign::Near, 0xFFF6F9FE},
    {L"先选好点击位置，再创建或加入房间。", {20, 187, 250, 32}, 12, false, TextAlign::Near, 0xFFA4B5CB},
    {L"当前进度", {20, 350, 220, 25}, 12, true, TextAlign::Near, 0xFF5B8FFF},
};

// The three action cards and the developer card: (x, y, w, h).
const RectF kCardA{315, 205, 275, 380};
const RectF kCardB{600, 205, 270, 380};
const RectF kCardC{880, 205, 280, 380};
const RectF kDeveloperCard{315, 610, 845, 130};
const RectF kHintBoxB{620, 395, 230, 72};
const RectF kHintBoxC{900, 395, 240, 72};

const LabelSpec kCardLabels[] = {
    {L"A  创建房间", {335, 224, 235, 34}, 18, true, TextAlign::Near, kCardTitle},
    {L"创建扣除 2 积分", {335, 256, 235, 25}, 12, false, TextAlign::Near, kCostLine},
    {L"房间号", {335, 298, 150, 24}, 12, false, TextAlign::Near, kFieldLabel},
    {L"点击时间", {325, 424, 120, 22}, 11, false, TextAlign::Near, kFieldLabel},
    {L"人数", {450, 424, 120, 22}, 11, false, TextAlign::Near, kFieldLabel},
    {L"B  加入房间", {620, 224, 230, 34}, 18, true, TextAlign::Near, kCardTitle},
    {L"加入扣除 2 积分", {620, 256, 230, 25}, 12, false, TextAlign::Near, kCostLine},
    {L"房间号", {620, 298, 150, 24}, 12, false, TextAlign::Near, kFieldLabel},
    {L"无需填写点击时间", {638, 402, 195, 27}, 13, true, TextAlign::Near, kHintFirst},
    {L"加入成功后左侧显示倒计时", {638, 429, 195, 27}, 11, false, TextAlign::Near, kHintSecond},
    {L"C  同步测试", {900, 224, 240, 34}, 18, true, TextAlign::Near, kCardTitle},
    {L"测试扣除 1 积分", {900, 256, 240, 25}, 12, false, TextAlign::Near, kCostLine},
    {L"计划触发时间", {900, 298, 180, 24}, 12, false, TextAlign::Near, kFieldLabel},
    {L"手动设置当天时间", {918, 402, 205, 27}, 13, true, TextAlign::Near, kHintFirst},
    {L"须至少晚于开始测试 10 秒", {918, 429, 205, 27}, 11, false, TextAlign::Near, kHintSecond},
};

const LabelSpec kDeveloperLabels[] = {
    {L"软件黑名单采集", {335, 624, 200, 28}, 16, true, TextAlign::Near, kCardTitle},
    {L"用悬浮球选择程序，自动计算文件校验值并生成加密黑名单码", {510, 626, 620, 24}, 11, false, TextAlign::Near,
     kCostLine},
    {L"软件显示名称", {510, 653, 180, 22}, 11, false, TextAlign::Near, kFieldLabel},
    {L"加入黑名单原因", {710, 653, 220, 22}, 11, false, TextAlign::Near, kFieldLabel},
};

struct ButtonSpec {
    const RECT& rect;
    const wchar_t* caption;
    bool primary;
};

constexpr ButtonSpec kCardButtons[] = {
    {layout::kRoomCodeButton, L"自动生成房间号", false},
    {layout::kCreateRoomButton, L"创建房间", true},
    {layout::kJoinRoomButton, L"加入房间", false},
    {layout::kSyncTestButton, L"开始同步测试", true},
};

std::wstring BalanceText(int64_t credits) { return L"剩余 " + NumberText(credits) + L" 积分"; }

void PaintHeaderItems(DrawContext& context, const ScreenSnapshot& state) {
    DrawLabel(context, L"Orvane · 多设备协同触发", {70, 56, 270, 24}, 11, 0xFF97AAC2, false, TextAlign::Near);
    if (!state.loggedIn) return;
    DrawLabel(context, BalanceText(state.credits), {560, 28, 210, 44}, 14, kBalance, true, TextAlign::Far);
    if (state.alipayAvailable || state.wechatAvailable) DrawButton(context, layout::kTopUpButton, L"积分获取", true);
    DrawButton(context, layout::kPersonalCentreButton, L"个人中心", false);
}

void PaintCountdown(DrawContext& context, const PaintInputs& inputs) {
    const ScreenSnapshot& state = inputs.state;
    const int64_t remaining = RemainingMs(state, inputs.wallClockMs);
    DrawLabel(context, L"距离一起点击", {34, 418, 210, 24}, 11, 0xFF7EA6DD, true, TextAlign::Near);
    DrawLabel(context, FormatRemainingTime(remaining), ToRectF(layout::kRemainingTimeLabel), 25,
              RemainingColour(remaining), true, TextAlign::Near);
    DrawLabel(context, L"计划在 " + FormatLocalTimeOfDayMs(state.countdownTargetMs), {34, 482, 210, 25}, 11,
              0xFF9FB3CC, true, TextAlign::Near);
    DrawPhrasedLabel(context, SyncLine(state), {34, 507, 210, 24}, 11, state.timeAligned ? 0xFF5BE0A4 : 0xFFFFC14D, false,
              TextAlign::Near);
    if (!state.detailText.empty())
        DrawPhrasedLabel(context, state.detailText, {34, 530, 210, 18}, 10, 0xFFFF7E8F, false, TextAlign::Near);
}

// A room's result takes the whole box: the room's line (up to three lines), the time line, this
// machine's own outcome, and the button to the room's page.
void PaintRoomResult(DrawContext& context, const ScreenSnapshot& state) {
    DrawPhrasedLabel(context, state.statusText, {34, 384, 228, 62}, 12, 0xFFF1F5FB, true, TextAlign::Near);
    DrawPhrasedLabel(context, SyncLine(state), {34, 448, 228, 24}, 10, state.timeAligned ? 0xFF5BE0A4 : 0xFFFFC14D,
                     false, TextAlign::Near);
    DrawPhrasedLabel(context, state.detailText, {34, 474, 228, 58}, 10, 0xFFB6C2D2, false, TextAlign::Near);
    DrawButton(context, layout::kRoomResultButton, kRoomResultButtonText, false);
}

void PaintLeftColumn(DrawContext& context, const PaintInputs& inputs) {
    const ScreenSnapshot& state = inputs.state;
    FillRoundRect(context, {0, 104, 294, 656}, 0, 0xFF0B1523);
    DrawLabels(context, kLeftColumnLabels);

    FillRoundRect(context, {20, 228, 255, 35}, 10, 0xFF152337);
    const ColouredText position = PositionLine(state);
    DrawLabel(context, position.text, {34, 228, 225, 35}, 13, position.colour, true, TextAlign::Near);
    DrawButton(context, layout::kPositionButton, state.targetConfirmed ? L"重新选择位置" : L"选择点击位置", true);

    FillRoundRect(context, {20, 380, 255, ProgressBoxHeight(state)}, 12, 0xFF142134);
    if (!state.roomResultOffered)
        // Tall enough for a status of two lines (two lines of 13 px take about 35 px), up to the line below.
        DrawPhrasedLabel(context, state.statusText, {34, 384, 210, 36}, 13,
                         IsFailureStatus(state.statusText) ? kErrorColour : 0xFFF1F5FB, true, TextAlign::Near);
    if (state.countdownTargetMs > 0) {
        PaintCountdown(context, inputs);
        return;
    }
    if (state.roomResultOffered) {
        PaintRoomResult(context, state);
        return;
    }
    if (state.timeAligned)
        DrawPhrasedLabel(context, SyncLine(state), {34, 420, 210, 26}, 10, 0xFF5BE0A4, false, TextAlign::Near);
    if (!state.detailText.empty()) {
        const RectF where = state.timeAligned ? RectF(34, 447, 210, 38) : RectF(34, 420, 210, 38);
        DrawPhrasedLabel(context, state.detailText, where, 11, 0xFFFF7E8F, false, TextAlign::Near);
    }
}

void PaintMainHeading(DrawContext& context, const ScreenSnapshot& state) {
    DrawLabel(context, L"开始协同任务", {318, 126, 330, 42}, 30, 0xFFF7FAFF, true, TextAlign::Near);
    if (state.purposeSaved) {
        FillRoundRect(context, {530, 150, 145, 42}, 11, 0xFF144248);
        DrawLabel(context, std::wstring(L"当前用途 · ") + PurposeLabel(state.savedPurpose), {542, 150, 122, 42}, 11,
                  0xFF67E8B8, true, TextAlign::Centre);
        DrawButton(context, layout::kChangePurposeButton, L"更改用途", false);
    }
    if (state.loggedIn)
        DrawLabel(context, L"账号已登录", {960, 128, 190, 32}, 13, 0xFF54DC9D, true, TextAlign::Far);
    else
        DrawLabel(context, L"尚未登录", {960, 128, 190, 32}, 13, 0xFFFFC14D, true, TextAlign::Far);
    DrawLabel(context, BalanceText(state.credits), {960, 158, 190, 28}, 13, kBalance, true, TextAlign::Far);
}

void PaintCards(DrawContext& context, const PaintInputs& inputs) {
    for (const RectF& card : {kCardA, kCardB, kCardC}) FillRoundRect(context, card, 16, kCardColour);
    for (const RectF& hint : {kHintBoxB, kHintBoxC}) FillRoundRect(context, hint, 12, kHintBox);
    DrawLabels(context, kCardLabels);
    for (FormField field : {FormField::RoomCode, FormField::ClickTime, FormField::Participants, FormField::JoinCode,
                            FormField::TestTime})
        DrawFieldFrame(context, inputs, field);
    for (const ButtonSpec& button : kCardButtons) DrawButton(context, button.rect, button.caption, button.primary);

    if (!inputs.state.developer) return;
    FillRoundRect(context, kDeveloperCard, 16, kCardColour);
    DrawLabels(context, kDeveloperLabels);
    DrawFieldFrame(context, inputs, FormField::SoftwareName);
    DrawFieldFrame(context, inputs, FormField::BlacklistReason);
    DrawButton(context, layout::kPickTargetButton, L"选择目标程序", false);
    DrawButton(context, layout::kBlacklistCodeButton, L"生成并复制名单码", true);
}

}  // namespace

void PaintDashboard(DrawContext& context, const PaintInputs& inputs) {
    PaintHeaderItems(context, inputs.state);
    PaintLeftColumn(context, inputs);
    PaintMainHeading(context, inputs.state);
    PaintCards(context, inputs);
}
