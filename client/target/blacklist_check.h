// Asking the service ("app.check") whether the chosen target program is on the administrator's
// blacklist, and recording the answer in the target selection of AppState.
#pragma once

#include <cstdint>
#include <string>

// Resets the check state of the current target, shows what happens next in the status line and,
// with a session, a 64-digit hash and a file name, starts one detached check worker. Any thread (the
// user interface after a pick, the login worker after a login). Every call outdates the checks
// started before it: their answers are dropped.
void StartBlacklistCheck();

// The request body of "app.check".
std::string BuildAppCheckBody(const std::wstring& executableName, const std::string& executableSha256);
