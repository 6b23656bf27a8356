// Line-oriented diagnostics on stderr, one line per event, safe from any thread.
#pragma once
#include <string>

namespace orvane {

void LogLine(const std::string &text);
// Quiets the log (tests start many services and only want failures on screen).
void SetLogQuiet(bool quiet);

}  // namespace orvane
