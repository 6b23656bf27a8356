// Hands a web page to the shell's "open" verb (the person's browser, where there is one).
#pragma once

#include <string>

// True when the shell says it started something for `address`; that proves no browser showed it
// (under wine the shell reports success without one), so callers offer the address to copy as well.
// Blocks while the shell looks for a handler: call it on a worker.
bool OpenWebPage(const std::wstring& address);
