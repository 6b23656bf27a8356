#include "core/line_breaks.h"

#include <cstddef>

namespace {

bool IsBlank(wchar_t c) { return c == L' ' || c == L'\t' || c == 0x3000; }

// Punctuation that closes what stands before it: never at the start of a line.
bool IsClosing(wchar_t c) {
    static const std::wstring kClosing = L"，。、；：！？）」』”’》〉】…·,.;:!?)]}%";
    return kClosing.find(c) != std::wstring::npos;
}
// Punctuation that opens what follows: never at the end of a line.
bool IsOpening(wchar_t c) {
    static const std::wstring kOpening = L"（「『“‘《〈【([{";
    return kOpening.find(c) != std::wstring::npos;
}
// Ends a phrase: the preferred place for a break.
bool EndsPhrase(wchar_t c) {
    static const std::wstring kPhraseEnds = L"，。、；：！？…·,;:!?";
    return kPhraseEnds.find(c) != std::wstring::npos;
}
// Letters, digits and the signs inside numbers, times and addresses: a run of them is one word.
bool IsWordChar(wchar_t c) {
    return (c >= L'0' && c <= L'9') || (c >= L'A' && c <= L'Z') || (c >= L'a' && c <= L'z') || c == L'_' ||
           c == L'-' || c == L'@' || c == L'/' || c == L'+' || c == L'#' || c == L'&' || c == L'=' ||
           (c >= 0xC0 && c < 0x2E80 && c != 0xB7);
}
// Characters that count as visible content of a line (not blanks, not punctuation).
bool Counts(wchar_t c) { return !IsBlank(c) && !IsClosing(c) && !IsOpening(c); }

// The pieces a line may break between.
struct Unit {
    std::wstring text;
    bool blank = false;
};

std::vector<Unit> SplitIntoUnits(const std::wstring& text) {
    std::vector<Unit> units;
    bool glueNext = false;  // the previous unit ended in opening punctuation
    for (size_t i = 0; i < text.size();) {
        const wchar_t c = text[i];
        if (IsBlank(c)) {
            size_t j = i;
            while (j < text.size() && IsBlank(text[j])) ++j;
            units.push_back({text.substr(i, j - i), true});
            glueNext = false;
            i = j;
            continue;
        }
        std::wstring piece;
        if (IsWordChar(c)) {
            size_t j = i;
            // A number keeps its point and colon ("14:15:16", "0.49").
            while (j < text.size() &&
                   (IsWordChar(text[j]) || ((text[j] == L'.' || text[j] == L':') && j + 1 < text.size() &&
                                            IsWordChar(text[j + 1]) && j > i)))
                ++j;
            piece = text.substr(i, j - i);
            i = j;
        } else {
            piece.assign(1, c);
            ++i;
        }
        // Closing punctuation after the piece stays with it.
        while (i < text.size() && IsClosing(text[i]) && !(IsWordChar(text[i]))) piece += text[i++];
        if (!units.empty() && !units.back().blank && (glueNext || IsClosing(piece.front()))) {
            units.back().text += piece;
        } else if (!units.empty() && units.back().blank && IsClosing(piece.front()) && piece.size() == 1 &&
                   piece.front() == 0xB7) {
            // " · ": the dot ends the phrase before it.
            units.back().text += piece;
            units.back().blank = false;
        } else {
            units.push_back({piece, false});
        }
        glueNext = IsOpening(piece.back());
    }
    return units;
}

std::wstring Join(const std::vector<Unit>& units, size_t from, size_t to) {
    // Blanks at either end of a line are not drawn.
    while (from < to && units[from].blank) ++from;
    while (to > from && units[to - 1].blank) --to;
    std::wstring line;
    for (size_t i = from; i < to; ++i) line += units[i].text;
    while (!line.empty() && IsBlank(line.back())) line.pop_back();
    size_t lead = 0;
    while (lead < line.size() && IsBlank(line[lead])) ++lead;
    return line.substr(lead);
}

size_t CountedChars(const std::wstring& line) {
    size_t count = 0;
    for (wchar_t c : line)
        if (Counts(c)) ++count;
    return count;
}

// A phrase ends after punctuation such as "，" or " · ".
bool PhraseEndsAfter(const std::vector<Unit>& units, size_t index) {
    return !units[index].blank && EndsPhrase(units[index].text.back());
}
// A blank separates words (a number and its unit, an address and the text around it).
bool WordEndsAfter(const std::vector<Unit>& units, size_t index) {
    return units[index].blank || (index + 1 < units.size() && units[index + 1].blank);
}

}  // namespace

std::vector<std::wstring> BreakIntoLines(const std::wstring& text, float maxWidth, const TextMeasure& measure) {
    std::vector<Unit> units = SplitIntoUnits(text);
    const auto fits = [&](size_t from, size_t to) { return measure(Join(units, from, to)) <= maxWidth; };

    // Lines as [start, end) ranges of units.
    std::vector<std::pair<size_t, size_t>> lines;
    size_t start = 0;
    while (start < units.size()) {
        while (start < units.size() && units[start].blank) ++start;
        if (start == units.size()) break;
        if (!fits(start, start + 1) && units[start].text.size() > 1) {
            // A word wider than the line: only then is it broken, character by character.
            std::vector<Unit> pieces;
            for (wchar_t c : units[start].text) pieces.push_back({std::wstring(1, c), false});
            units.erase(units.begin() + static_cast<std::ptrdiff_t>(start));
            units.insert(units.begin() + static_cast<std::ptrdiff_t>(start), pieces.begin(), pieces.end());
            continue;
        }
        size_t end = start + 1;
        while (end < units.size() && fits(start, end + 1)) ++end;
        if (end < units.size()) {
            // Prefer the last phrase end on the line, then the last blank, unless that leaves the line
            // less than half full; otherwise the line breaks between two characters.
            bool placed = false;
            for (auto breaksAfter : {PhraseEndsAfter, WordEndsAfter}) {
                for (size_t k = end; k > start + 1 && !placed; --k) {
                    if (!breaksAfter(units, k - 1)) continue;
                    if (measure(Join(units, start, k)) < maxWidth / 2) break;
                    end = k;
                    placed = true;
                }
                if (placed) break;
            }
        }
        lines.push_back({start, end});
        start = end;
    }

    // The last line never holds only one or two characters: units move down from the line above
    // while that line keeps three or more and the last line still fits.
    if (lines.size() >= 2) {
        auto& above = lines[lines.size() - 2];
        auto& last = lines.back();
        while (CountedChars(Join(units, last.first, last.second)) < 3 && above.second - above.first > 1) {
            const size_t moved = above.second - 1;
            if (CountedChars(Join(units, above.first, moved)) < 3 || !fits(moved, last.second)) break;
            above.second = moved;
            last.first = moved;
        }
    }

    std::vector<std::wstring> result;
    for (const auto& [from, to] : lines) {
        std::wstring line = Join(units, from, to);
        if (!line.empty()) result.push_back(std::move(line));
    }
    return result;
}
