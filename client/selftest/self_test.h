// The --self-test run: exercises the program's own parsers, validators, controls and libraries
// without touching the service, and returns 0 or the code of the first failed check.
#pragma once

int RunSelfTest();

// Exit codes of the individual checks.
enum SelfTestCode : int {
    kSelfTestPassed = 0,
    kSelfTestRoomCode = 6,
    kSelfTestDuration = 7,
    kSelfTestSignature = 8,
    kSelfTestSignatureLibrary = 9,
    kSelfTestMonitor = 10,
    kSelfTestPickerBottomRightOpen = 11,
    kSelfTestPickerBottomRightDrag = 12,
    kSelfTestPickerCancel = 13,
    kSelfTestPickerTopLeftOpen = 14,
    kSelfTestPickerTopLeftDrag = 15,
    kSelfTestPickerConfirm = 16,
    kSelfTestPickerClickPoint = 17,
    kSelfTestPickerBottomRightPoint = 18,
    kSelfTestPickerBottomRightDragPoint = 19,
    kSelfTestPickerTopLeftPoint = 20,
    kSelfTestPickerTopLeftDragPoint = 21,
    kSelfTestPickerBottomRightBall = 22,
    kSelfTestPickerBottomRightDragBall = 23,
    kSelfTestPickerTopLeftBall = 24,
    kSelfTestPickerTopLeftDragBall = 25,
    kSelfTestPickerSweep = 26,
    kSelfTestBlacklistCode = 27,
    kSelfTestPickerStillDragging = 28,
    kSelfTestControlsSignedOut = 29,
    kSelfTestControlsSignedIn = 30,
    kSelfTestControlsDeveloper = 31,
    kSelfTestEmailRule = 32,
    kSelfTestControlsRegister = 33,
    kSelfTestControlsReset = 34,
    kSelfTestTimeOfDay = 35,
    kSelfTestMaskRule = 36,
    kSelfTestLiveMask = 37,
    kSelfTestHotkeyText = 38,
    kSelfTestTaskFields = 39,
    kSelfTestOverlayShown = 40,
    kSelfTestOverlayCleared = 41,
    kSelfTestWindowFits = 42,
};
