#include "net/json_text.h"

#include <cstdio>
#include <limits>

namespace {

bool IsJsonSpace(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

int HexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// Reads four hexadecimal digits at `pos`; -1 when they are not there.
long ReadHex4(const std::string& text, size_t pos) {
    if (pos + 4 > text.size()) return -1;
    long value = 0;
    for (size_t i = 0; i < 4; ++i) {
        int digit = HexValue(text[pos + i]);
        if (digit < 0) return -1;
        value = value * 16 + digit;
    }
    return value;
}

void AppendUtf8(std::string& out, uint32_t codePoint) {
    if (codePoint < 0x80) {
        out.push_back(static_cast<char>(codePoint));
    } else if (codePoint < 0x800) {
        out.push_back(static_cast<char>(0xC0 | (codePoint >> 6)));
        out.push_back(static_cast<char>(0x80 | (codePoint & 0x3F)));
    } else if (codePoint < 0x10000) {
        out.push_back(static_cast<char>(0xE0 | (codePoint >> 12)));
        out.push_back(static_cast<char>(0x80 | ((codePoint >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (codePoint & 0x3F)));
    } else {
        out.push_back(static_cast<char>(0xF0 | (codePoint >> 18)));
        out.push_back(static_cast<char>(0x80 | ((codePoint >> 12) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | ((codePoint >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (codePoint & 0x3F)));
    }
}

constexpr uint32_t kReplacementCharacter = 0xFFFD;

}  // namespace

std::string JsonEscape(const std::string& text) {
    // The exact length first, so the result is allocated once: the text may be a password, and a
    // buffer left behind by growing would keep a copy of it that nobody wipes.
    size_t length = 0;
    for (unsigned char c : text) {
        if (c == '\t' || c == '\n' || c == '\r' || c == '"' || c == '\\') length += 2;
        else if (c < 0x20) length += 6;
        else length += 1;
    }
    std::string out;
    out.reserve(length);
    for (unsigned char c : text) {
        switch (c) {
            case '\t': out += "\\t"; break;
            case '\n': out += "\\n"; break;
            case '\r': out += "\\r"; break;
            case '"': out += "\\\""; break;
            case '\\': out += "\\\\"; break;
            default:
                if (c < 0x20) {
                    char buffer[8];
                    std::snprintf(buffer, sizeof buffer, "\\u%04x", c);
                    out += buffer;
                } else {
                    out.push_back(static_cast<char>(c));
                }
        }
    }
    return out;
}

JsonValuePosition JsonFindValue(const std::string& json, const std::string& key) {
    const std::string needle = "\"" + key + "\"";
    // Only a quoted word with its colon after it is a key. The same word as a string value is passed
    // over: an answer's text that happens to spell a member's name (a nonce "nonce", a room called
    // "ok") must not make the next member's value read as that member's. (Inside a string a quote
    // is always escaped, so the word can appear there only with a backslash before each quote.)
    for (size_t at = json.find(needle); at != std::string::npos; at = json.find(needle, at + 1)) {
        size_t pos = at + needle.size();
        while (pos < json.size() && IsJsonSpace(json[pos])) ++pos;
        if (pos >= json.size() || json[pos] != ':') continue;
        ++pos;
        while (pos < json.size() && IsJsonSpace(json[pos])) ++pos;
        return {true, pos};
    }
    return {};
}

std::string JsonGetString(const std::string& json, const std::string& key) {
    JsonValuePosition value = JsonFindValue(json, key);
    if (!value.found || value.index >= json.size() || json[value.index] != '"') return {};
    std::string out;
    size_t i = value.index + 1;
    while (i < json.size()) {
        char c = json[i];
        if (c == '"') break;
        if (c != '\\') {
            out.push_back(c);
            ++i;
            continue;
        }
        if (i + 1 >= json.size()) break;  // a lone backslash at the very end
        char escaped = json[i + 1];
        i += 2;
        switch (escaped) {
            case 'n': out.push_back('\n'); break;
            case 'r': out.push_back('\r'); break;
            case 't': out.push_back('\t'); break;
            case 'b': out.push_back('\b'); break;
            case 'f': out.push_back('\f'); break;
            case 'u': {
                long unit = ReadHex4(json, i);
                if (unit < 0) {
                    out.push_back('u');  // not a complete escape: keep the letter as it stands
                    break;
                }
                i += 4;
                uint32_t codePoint = static_cast<uint32_t>(unit);
                if (unit >= 0xD800 && unit <= 0xDBFF) {
                    // A high surrogate counts only together with the low surrogate that follows it.
                    long low = (i + 1 < json.size() && json[i] == '\\' && json[i + 1] == 'u')
                                   ? ReadHex4(json, i + 2)
                                   : -1;
                    if (low >= 0xDC00 && low <= 0xDFFF) {
                        codePoint = 0x10000 + ((static_cast<uint32_t>(unit) - 0xD800) << 10) +
                                    (static_cast<uint32_t>(low) - 0xDC00);
                        i += 6;
                    } else {
                        codePoint = kReplacementCharacter;
                    }
                } else if (unit >= 0xDC00 && unit <= 0xDFFF) {
                    codePoint = kReplacementCharacter;
                }
                AppendUtf8(out, codePoint);
                break;
            }
            default: out.push_back(escaped);
        }
    }
    return out;
}

bool JsonGetBool(const std::string& json, const std::string& key, bool fallback) {
    JsonValuePosition value = JsonFindValue(json, key);
    if (!value.found) return fallback;
    size_t remaining = json.size() - value.index;
    if (remaining >= 4 && json.compare(value.index, 4, "true") == 0) return true;
    if (remaining >= 5 && json.compare(value.index, 5, "false") == 0) return false;
    return fallback;
}

int64_t JsonGetInt64(const std::string& json, const std::string& key, int64_t fallback) {
    JsonValuePosition value = JsonFindValue(json, key);
    if (!value.found) return fallback;
    size_t i = value.index;
    bool negative = false;
    if (i < json.size() && (json[i] == '+' || json[i] == '-')) {
        negative = json[i] == '-';
        ++i;
    }
    if (i >= json.size() || json[i] < '0' || json[i] > '9') return fallback;
    // Accumulate towards the sign so that the smallest value is reachable; saturate on overflow.
    constexpr int64_t kMax = std::numeric_limits<int64_t>::max();
    constexpr int64_t kMin = std::numeric_limits<int64_t>::min();
    int64_t result = 0;
    bool saturated = false;
    for (; i < json.size() && json[i] >= '0' && json[i] <= '9'; ++i) {
        if (saturated) continue;
        int digit = json[i] - '0';
        if (!negative) {
            if (result > (kMax - digit) / 10) {
                result = kMax;
                saturated = true;
            } else {
                result = result * 10 + digit;
            }
        } else {
            if (result < (kMin + digit) / 10) {
                result = kMin;
                saturated = true;
            } else {
                result = result * 10 - digit;
            }
        }
    }
    return result;
}


namespace {

constexpr char kBase64Digits[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

int Base64Value(char c) {
    if (c >= 'A' && c <= 'Z') return c - 'A';
    if (c >= 'a' && c <= 'z') return c - 'a' + 26;
    if (c >= '0' && c <= '9') return c - '0' + 52;
    if (c == '+') return 62;
    if (c == '/') return 63;
    return -1;
}

}  // namespace

std::string Base64Encode(const std::vector<uint8_t>& bytes) {
    std::string out;
    out.reserve((bytes.size() + 2) / 3 * 4);
    size_t i = 0;
    for (; i + 3 <= bytes.size(); i += 3) {
        const uint32_t group = (uint32_t{bytes[i]} << 16) | (uint32_t{bytes[i + 1]} << 8) | bytes[i + 2];
        out.push_back(kBase64Digits[group >> 18]);
        out.push_back(kBase64Digits[(group >> 12) & 63]);
        out.push_back(kBase64Digits[(group >> 6) & 63]);
        out.push_back(kBase64Digits[group & 63]);
    }
    const size_t rest = bytes.size() - i;
    if (rest > 0) {
        const uint32_t group = (uint32_t{bytes[i]} << 16) | (rest == 2 ? uint32_t{bytes[i + 1]} << 8 : 0);
        out.push_back(kBase64Digits[group >> 18]);
        out.push_back(kBase64Digits[(group >> 12) & 63]);
        out.push_back(rest == 2 ? kBase64Digits[(group >> 6) & 63] : '=');
        out.push_back('=');
    }
    return out;
}

std::vector<uint8_t> Base64Decode(const std::string& text) {
    // Only the form the service writes: groups of four digits, padding at the very end only, and the
    // bits below the last byte zero. Everything the client decodes is a key, a signature or a signed
    // message, so there is exactly one spelling of each and anything else is not ours.
    if (text.empty() || text.size() % 4 != 0) return {};
    size_t padding = 0;
    if (text.back() == '=') padding = text[text.size() - 2] == '=' ? 2 : 1;
    std::vector<uint8_t> out;
    out.reserve(text.size() / 4 * 3 - padding);
    uint32_t group = 0;
    const size_t digits = text.size() - padding;
    for (size_t i = 0; i < digits; ++i) {
        const int value = Base64Value(text[i]);
        if (value < 0) return {};
        group = (group << 6) | static_cast<uint32_t>(value);
        if (i % 4 == 3) {
            out.push_back(static_cast<uint8_t>(group >> 16));
            out.push_back(static_cast<uint8_t>(group >> 8));
            out.push_back(static_cast<uint8_t>(group));
            group = 0;
        }
    }
    if (padding == 2) {
        if (group & 0xF) return {};
        out.push_back(static_cast<uint8_t>(group >> 4));
    } else if (padding == 1) {
        if (group & 0x3) return {};
        out.push_back(static_cast<uint8_t>(group >> 10));
        out.push_back(static_cast<uint8_t>(group >> 2));
    }
    return out;
}
