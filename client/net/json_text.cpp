#include "net/json_text.h"

#include <windows.h>
#include <wincrypt.h>

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
    if (json.size() < needle.size()) return {};
    size_t at = json.find(needle);
    if (at == std::string::npos) return {};
    size_t after = at + needle.size();
    if (after >= json.size()) return {};
    size_t colon = json.find(':', after);
    if (colon == std::string::npos) return {};
    size_t pos = colon + 1;
    while (pos < json.size() && IsJsonSpace(json[pos])) ++pos;
    return {true, pos};
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

std::string Utf16ToUtf8(const std::wstring& text) {
    if (text.empty()) return {};
    int length = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0,
                                     nullptr, nullptr);
    if (length <= 0) return {};
    std::string out(static_cast<size_t>(length), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), length, nullptr,
                        nullptr);
    return out;
}

std::wstring Utf8ToUtf16(const std::string& text) {
    if (text.empty()) return {};
    int length = MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    if (length <= 0) return {};
    std::wstring out(static_cast<size_t>(length), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), length);
    return out;
}

std::string Base64Encode(const std::vector<uint8_t>& bytes) {
    if (bytes.empty()) return {};
    const DWORD flags = CRYPT_STRING_BASE64 | CRYPT_STRING_NOCRLF;
    DWORD length = 0;
    if (!CryptBinaryToStringA(bytes.data(), static_cast<DWORD>(bytes.size()), flags, nullptr, &length) ||
        length == 0)
        return {};
    std::string out(length, '\0');
    if (!CryptBinaryToStringA(bytes.data(), static_cast<DWORD>(bytes.size()), flags, out.data(), &length))
        return {};
    out.resize(length);  // the second call reports the length without the terminating zero
    while (!out.empty() && out.back() == '\0') out.pop_back();
    return out;
}

std::vector<uint8_t> Base64Decode(const std::string& text) {
    DWORD length = 0;
    if (!CryptStringToBinaryA(text.c_str(), 0, CRYPT_STRING_BASE64, nullptr, &length, nullptr, nullptr))
        return {};
    std::vector<uint8_t> out(length);
    if (length == 0) return out;
    if (!CryptStringToBinaryA(text.c_str(), 0, CRYPT_STRING_BASE64, out.data(), &length, nullptr, nullptr))
        return {};
    out.resize(length);
    return out;
}
