// What one click task works with: copied from the application state when the task starts, so that
// later changes of the session or of the chosen target do not affect a running task.
#pragma once

#include <cstdint>
#include <string>

struct ClickPlatform;
struct DesktopSystem;

struct ClickTaskContext {
    int64_t taskId = 0;
    std::string token;          // the session's bearer token (UTF-8)
    std::string signPublicKey;  // base64 of the service's 32-byte Ed25519 key
    int64_t userId = 0;         // the signed-in account
    int32_t targetX = 0;        // the chosen click position, virtual-screen pixels
    int32_t targetY = 0;
    std::string executableSha256;  // SHA-256 of the target program, 64 lower-case hex digits
    int64_t executeAtMs = 0;       // the instant the request's answer named (unified ms); 0 = not known
    // The program's path at the pick: just before the click, the window under the point must belong
    // to a process running from it. Empty: not checked (only test programs leave it so).
    std::wstring executablePath;
    bool roomTask = false;         // a room's click (otherwise the synchronisation test): its own words

    // The input and timer functions the executor uses; null means the real ones. Only test programs
    // set this, to produce cases the real system cannot (a refused click).
    const ClickPlatform* platform = nullptr;
    // What Windows decides beyond SendInput's answer (integrity levels, the input desktop, the buttons'
    // swap, sleep): the table in use when the request was prepared; null means the real one.
    const DesktopSystem* desktop = nullptr;
};
