#include "validate.h"

#include <algorithm>

#include <cerrno>
#include <cmath>
#include <cstdlib>

namespace orvane {

std::optional<std::vector<uint32_t>> ParseVersion(const std::string &text) {
  std::vector<uint32_t> parts;
  size_t i = 0;
  if (text.empty()) return std::nullopt;
  while (true) {
    size_t start = i;
    uint64_t value = 0;
    while (i < text.size() && text[i] >= '0' && text[i] <= '9') {
      value = value * 10 + static_cast<uint64_t>(text[i] - '0');
      ++i;
      if (i - start > 9) return std::nullopt;
    }
    if (i == start) return std::nullopt;
    parts.push_back(static_cast<uint32_t>(value));
    if (parts.size() > 4) return std::nullopt;
    if (i == text.size()) break;
    if (text[i] != '.') return std::nullopt;
    ++i;
  }
  return parts;
}

int CompareVersions(const std::vector<uint32_t> &a, const std::vector<uint32_t> &b) {
  size_t n = std::max(a.size(), b.size());
  for (size_t i = 0; i < n; ++i) {
    uint32_t x = i < a.size() ? a[i] : 0;
    uint32_t y = i < b.size() ? b[i] : 0;
    if (x != y) return x < y ? -1 : 1;
  }
  return 0;
}

size_t Utf8Length(const std::string &text) {
  size_t count = 0;
  for (unsigned char c : text) {
    if ((c & 0xC0) != 0x80) ++count;
  }
  return count;
}

std::optional<std::string> NormaliseEmail(const std::string &text) {
  if (text.size() < 3 || text.size() > 190) return std::nullopt;
  size_t at = text.find('@');
  if (at == std::string::npos || at == 0 || at + 1 >= text.size()) return std::nullopt;
  if (text.find('@', at + 1) != std::string::npos) return std::nullopt;
  std::string out;
  out.reserve(text.size());
  for (unsigned char c : text) {
    if (c <= 0x20 || c == 0x7F || c == '"' || c == '\\' || c == '<' || c == '>' || c == ',' ||
        c == ';')
      return std::nullopt;
    if (c >= 'A' && c <= 'Z') c = static_cast<unsigned char>(c - 'A' + 'a');
    out.push_back(static_cast<char>(c));
  }
  const std::string domain = out.substr(at + 1);
  if (domain.front() == '.' || domain.back() == '.' || domain.find("..") != std::string::npos)
    return std::nullopt;
  return out;
}

bool IsValidUsername(const std::string &text) {
  if (text.size() < 4 || text.size() > 32) return false;
  for (char c : text) {
    bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
              c == '.' || c == '_' || c == '-';
    if (!ok) return false;
  }
  return true;
}

bool PasswordLengthOk(const std::string &password, size_t min, size_t max) {
  size_t n = Utf8Length(password);
  return n >= min && n <= max;
}

std::optional<std::string> NormaliseRoomCode(const std::string &text) {
  if (text.size() < 4 || text.size() > 16) return std::nullopt;
  std::string out;
  for (char c : text) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    bool ok = (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' || c == '-';
    if (!ok) return std::nullopt;
    out.push_back(c);
  }
  return out;
}

std::optional<std::string> NormaliseSha256(const std::string &text) {
  if (text.size() != 64) return std::nullopt;
  std::string out;
  for (char c : text) {
    if (c >= 'A' && c <= 'F') c = static_cast<char>(c - 'A' + 'a');
    if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return std::nullopt;
    out.push_back(c);
  }
  return out;
}

bool IsValidDeviceId(const std::string &text) {
  if (text.size() < 16 || text.size() > 256) return false;
  for (unsigned char c : text) {
    if (c <= 0x20 || c == 0x7F || c == '"' || c == '\\') return false;
  }
  return true;
}

bool IsSixDigitCode(const std::string &text) {
  if (text.size() != 6) return false;
  for (char c : text)
    if (c < '0' || c > '9') return false;
  return true;
}

std::optional<int64_t> ParseAmountFen(const std::string &text) {
  if (text.size() > 63) return std::nullopt;
  auto blank = [](char ch) { return ch == ' ' || ch == '\t' || ch == '\n' || ch == '\v' || ch == '\f' || ch == '\r'; };
  auto digit = [](char ch) { return ch >= '0' && ch <= '9'; };
  size_t i = 0;
  while (i < text.size() && blank(text[i])) ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
  // The significant digits of the mantissa, and how many digits stand after the point (leading
  // zeros that are not kept still count there).
  std::string digits;
  size_t mantissa_digits = 0;
  int64_t fraction_digits = 0;
  for (; i < text.size() && digit(text[i]); ++i, ++mantissa_digits)
    if (!digits.empty() || text[i] != '0') digits.push_back(text[i]);
  if (i < text.size() && text[i] == '.') {
    for (++i; i < text.size() && digit(text[i]); ++i, ++mantissa_digits, ++fraction_digits)
      if (!digits.empty() || text[i] != '0') digits.push_back(text[i]);
  }
  if (mantissa_digits == 0) return std::nullopt;
  int64_t exponent = 0;
  if (i < text.size() && (text[i] == 'e' || text[i] == 'E')) {
    size_t j = i + 1;
    bool exponent_negative = false;
    if (j < text.size() && (text[j] == '+' || text[j] == '-')) exponent_negative = text[j++] == '-';
    if (j < text.size() && digit(text[j])) {
      for (; j < text.size() && digit(text[j]); ++j)
        exponent = std::min<int64_t>(exponent * 10 + (text[j] - '0'), 1000000);
      if (exponent_negative) exponent = -exponent;
      i = j;
    }
    // Without digits the "e" is not part of the number, which then does not reach the end.
  }
  if (i != text.size()) return std::nullopt;
  size_t point = text.find('.');
  if (point != std::string::npos && text.size() - point - 1 > 1) return std::nullopt;
  if (negative || digits.empty()) return std::nullopt;
  // value × 10 = digits × 10^scale must lie within 10 … 99999, decided on the digits themselves.
  int64_t scale = exponent - fraction_digits + 1;
  int64_t whole_digits = static_cast<int64_t>(digits.size()) + scale;
  if (whole_digits < 2 || whole_digits > 5) return std::nullopt;
  if (whole_digits == 5 && scale < 0 && digits.compare(0, 5, "99999") == 0 &&
      digits.find_first_not_of('0', 5) != std::string::npos)
    return std::nullopt;
  // In fen: value × 100 = digits × 10^(scale + 1), rounded half up to a whole fen.
  int64_t fen_digits = whole_digits + 1;
  int64_t fen = 0;
  for (int64_t k = 0; k < fen_digits; ++k)
    fen = fen * 10 + (k < static_cast<int64_t>(digits.size()) ? digits[static_cast<size_t>(k)] - '0' : 0);
  if (fen_digits < static_cast<int64_t>(digits.size()) && digits[static_cast<size_t>(fen_digits)] >= '5') ++fen;
  return fen;
}

bool IsKnownPurpose(const std::string &key) {
  return key == "software_testing" || key == "showroom_demo" || key == "teaching_experiment" ||
         key == "internal_training";
}

std::optional<HostPort> ParseHostPort(const std::string &text) {
  HostPort hp;
  std::string port_text;
  if (!text.empty() && text.front() == '[') {
    size_t close = text.find(']');
    if (close == std::string::npos || close + 1 >= text.size() || text[close + 1] != ':')
      return std::nullopt;
    hp.host = text.substr(1, close - 1);
    port_text = text.substr(close + 2);
  } else {
    size_t colon = text.rfind(':');
    if (colon == std::string::npos || colon == 0) return std::nullopt;
    hp.host = text.substr(0, colon);
    if (hp.host.find(':') != std::string::npos) return std::nullopt;
    port_text = text.substr(colon + 1);
  }
  if (hp.host.empty() || port_text.empty() || port_text.size() > 5) return std::nullopt;
  int port = 0;
  for (char c : port_text) {
    if (c < '0' || c > '9') return std::nullopt;
    port = port * 10 + (c - '0');
  }
  if (port > 65535) return std::nullopt;
  hp.port = port;
  return hp;
}

std::string SanitiseForMessage(const std::string &text, size_t max_len) {
  std::string out;
  for (unsigned char c : text) {
    if (out.size() >= max_len) {
      out += "...";
      break;
    }
    out.push_back(c >= 0x20 && c < 0x7F ? static_cast<char>(c) : '?');
  }
  return out;
}

}  // namespace orvane
