// Where a status or detail line breaks when it does not fit its width. Chinese has no spaces between
// words, and a layout that breaks after any character splits words and leaves one or two characters
// alone on the last line ("毫\n秒"). These rules break at phrase ends (after "，", "；", "：", a blank
// or " · ") where they can, never inside a Latin word or a number, keep closing punctuation with the
// character before it, and never leave fewer than three characters alone on the last line.
#pragma once

#include <functional>
#include <string>
#include <vector>

// The width of a piece of text as it will be drawn (pixels, or any unit `maxWidth` shares).
using TextMeasure = std::function<float(const std::wstring&)>;

// The lines of `text`, each within `maxWidth` when any break allows it (a single character wider
// than the line stands alone). Blanks at a break are dropped. An empty text gives no lines.
std::vector<std::wstring> BreakIntoLines(const std::wstring& text, float maxWidth, const TextMeasure& measure);
