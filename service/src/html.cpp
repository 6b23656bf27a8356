#include "html.h"

namespace orvane {

std::string HtmlEscape(const std::string &text) {
  std::string out;
  out.reserve(text.size());
  for (char ch : text) {
    switch (ch) {
      case '&': out += "&amp;"; break;
      case '<': out += "&lt;"; break;
      case '>': out += "&gt;"; break;
      case '"': out += "&quot;"; break;
      case '\'': out += "&#39;"; break;
      default:
        if ((static_cast<unsigned char>(ch) < 0x20 && ch != '\n' && ch != '\t') || ch == 0x7F) out.push_back(' ');
        else out.push_back(ch);
    }
  }
  return out;
}

std::string MessagePage(const std::string &title, const std::string &text) {
  return "<!DOCTYPE html><html lang=\"zh-CN\"><head><meta charset=\"utf-8\">"
         "<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\"><title>" +
         HtmlEscape(title) + "</title></head><body style=\"font-family:sans-serif;max-width:32em;margin:3em auto;"
         "padding:0 1em\"><h1>" + HtmlEscape(title) + "</h1><p>" + HtmlEscape(text) + "</p></body></html>";
}

}  // namespace orvane
