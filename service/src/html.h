// The few pieces of HTML the service writes itself: its pages are built as text, and whatever came
// from a client or an operator goes through HtmlEscape() on its way in.
#pragma once
#include <string>

namespace orvane {

// Text safe inside an element or a quoted attribute: & < > " ' as entities, control characters (which
// no text of ours needs and a hostile one might use) as blanks.
std::string HtmlEscape(const std::string &text);

// A page of one heading and one paragraph (payment pages, a result page that cannot be shown).
std::string MessagePage(const std::string &title, const std::string &text);

}  // namespace orvane
