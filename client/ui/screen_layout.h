// The rectangles that are both drawn and clicked, named once: the painters draw their buttons into
// them and the click tables test the pointer against them, so what is seen and what reacts cannot
// drift apart. Client pixels of the fixed 1180 × 760 client area; never scaled.
#pragma once

#include <windows.h>

namespace layout {

// Header (every screen).
inline constexpr RECT kTopUpButton{790, 28, 900, 72};
inline constexpr RECT kPersonalCentreButton{920, 28, 1045, 72};
inline constexpr RECT kExitButton{1060, 28, 1150, 72};

// Dashboard.
inline constexpr RECT kChangePurposeButton{690, 150, 850, 192};
inline constexpr RECT kPositionButton{20, 270, 275, 322};
// Under a room's result in the progress box.
inline constexpr RECT kRoomResultButton{34, 540, 261, 578};
inline constexpr RECT kRoomCodeButton{335, 380, 570, 416};
inline constexpr RECT kCreateRoomButton{335, 510, 570, 554};
inline constexpr RECT kJoinRoomButton{620, 510, 850, 554};
inline constexpr RECT kSyncTestButton{900, 510, 1140, 554};
inline constexpr RECT kPickTargetButton{335, 678, 495, 722};
inline constexpr RECT kBlacklistCodeButton{950, 678, 1140, 722};
// The countdown part of the left column.
inline constexpr RECT kCountdownArea{20, 380, 275, 551};
// The remaining time's label inside it.
inline constexpr RECT kRemainingTimeLabel{32, 440, 247, 482};
// What the 50 ms timer repaints while a countdown runs. The remaining time is the only thing on
// screen that changes with time alone (every other change of the countdown area comes with a state
// change, which repaints the whole window), so a tick repaints just its label, less the label's two
// top rows: they are shared with the caption above, and the 25 px digits centred in the label's
// 42 px never reach them.
inline constexpr RECT kCountdownTickArea{32, 442, 247, 482};

// Signed-out form.
inline constexpr RECT kLoginTab{550, 160, 730, 202};  // also "←  返回登录" in the reset form
inline constexpr RECT kRegisterTab{750, 160, 930, 202};
inline constexpr RECT kForgotPasswordLink{760, 458, 930, 486};
inline constexpr RECT kSendCodeButton{745, 488, 930, 530};
inline constexpr RECT kRememberBox{550, 490, 720, 516};
inline constexpr RECT kAgreementBox{550, 530, 590, 558};
inline constexpr RECT kAgreementText{590, 526, 940, 562};
inline constexpr RECT kSubmitButton{620, 574, 860, 622};

// Modal panels.
inline constexpr RECT kPanelCloseBox{858, 142, 902, 186};
inline constexpr RECT kPurposeOptions[4] = {
    {300, 238, 565, 344}, {595, 238, 860, 344}, {300, 370, 565, 476}, {595, 370, 860, 476}};
inline constexpr RECT kSavePurposeButton{410, 526, 750, 578};
inline constexpr RECT kAlipayOption{350, 424, 560, 492};
inline constexpr RECT kWeChatOption{600, 424, 810, 492};
inline constexpr RECT kOrderButton{410, 520, 750, 574};
inline constexpr RECT kHotkeyButton{650, 482, 835, 520};
inline constexpr RECT kLogoutButton{350, 530, 565, 584};
inline constexpr RECT kDeleteAccountButton{595, 530, 810, 584};
// Above the panel: what an action in the panel just caused.
inline constexpr RECT kPanelNotice{250, 56, 930, 108};

}  // namespace layout
