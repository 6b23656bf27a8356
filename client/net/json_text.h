// JSON and text helpers at the edge between the service (UTF-8 JSON) and the user interface (UTF-16).
//
// There is no general JSON parser: request bodies are built by concatenation (string values through
// JsonEscape) and answers are read by searching for one key at a time. The first occurrence of the
// quoted key with a colon after it wins, at whatever depth it stands.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct JsonValuePosition {
    bool found = false;
    size_t index = 0;  // first character of the value
};

// Escapes UTF-8 text for use between the quotes of a JSON string.
std::string JsonEscape(const std::string& text);

// Finds the value of the first occurrence of "key" followed (after white space only) by a colon; the
// same quoted word anywhere else is a string value and does not count.
JsonValuePosition JsonFindValue(const std::string& json, const std::string& key);

// The unescaped string value of `key`, or "" when it is missing or not a string.
std::string JsonGetString(const std::string& json, const std::string& key);

// true / false for the literal words, otherwise the fallback.
bool JsonGetBool(const std::string& json, const std::string& key, bool fallback);

// A decimal integer (saturating at the 64-bit limits; a fraction gives its integer part), or the
// fallback when the value does not start with a number.
int64_t JsonGetInt64(const std::string& json, const std::string& key, int64_t fallback);

// Through Windows' code pages (net/utf16_text.cpp); everything else here is plain C++.
std::string Utf16ToUtf8(const std::wstring& text);
std::wstring Utf8ToUtf16(const std::string& text);

// Standard base64 with padding, no line breaks (empty for no bytes).
std::string Base64Encode(const std::vector<uint8_t>& bytes);
// Strict standard base64 as Base64Encode writes it (padding required, no white space, unused bits
// zero); empty on anything else (callers treat an empty result as invalid data).
std::vector<uint8_t> Base64Decode(const std::string& text);
