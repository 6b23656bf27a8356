// The --self-test run: exercises the program's own parsers, validators, controls and libraries
// without touching the service, and returns 0 or the code of the first failed check.
#pragma once

int RunSelfTest();

// Exit codes of the individual checks.
enum SelfTestCode : int {
    kSelfTestPassed = 0,
    kSelfTestDuration = 7,
    kSelfTestSignature = 8,
    kSelfTestSignatureLibrary = 9,
    kSelfTestMonitor = 10,
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
};
