// Fuzz target: the client's JSON reader and base64 (net/json_text.h). Beyond not crashing, each answer
// is checked against a reference: numbers against strtoll (the reader saturates as strtoll does and
// takes a fraction's integer part, which is where strtoll stops), escaped text read back as written,
// base64 against the service's own (libsodium's) encoder and strict decoder.
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "crypto.h"
#include "fuzz_input.h"
#include "net/json_text.h"

namespace {

constexpr char kTarget[] = "fuzz_client_json";

void Check(bool ok, const char* what) { fuzz::Check(ok, kTarget, what); }

bool IsJsonSpace(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r'; }

// The reader's number rule, by the C library: strtoll from the value's first character (the reader
// has skipped white space there already, the same six characters isspace knows).
std::optional<int64_t> ReferenceNumber(const std::string& json, size_t index) {
    if (index >= json.size()) return std::nullopt;
    const char* start = json.c_str() + index;
    char* end = nullptr;
    errno = 0;
    const long long v = std::strtoll(start, &end, 10);
    if (end == start) return std::nullopt;
    return static_cast<int64_t>(v);
}

// Any text as an answer, read with a few keys.
void CheckAnswer(const std::string& json) {
    for (const char* key : {"ok", "n", "payload", ""}) {
        const JsonValuePosition at = JsonFindValue(json, key);
        if (!at.found) {
            Check(JsonGetString(json, key).empty(), "a missing key reads as an empty string");
            Check(JsonGetInt64(json, key, 17) == 17 && JsonGetBool(json, key, true), "a missing key gives the fallback");
            continue;
        }
        Check(at.index <= json.size(), "a value starts inside the text");
        Check(at.index > 0 && (json[at.index - 1] == ':' || IsJsonSpace(json[at.index - 1])),
              "a value follows its colon and white space");
        Check(at.index == json.size() || !IsJsonSpace(json[at.index]), "white space before a value is skipped");

        const std::optional<int64_t> number = ReferenceNumber(json, at.index);
        const int64_t a = JsonGetInt64(json, key, 17), b = JsonGetInt64(json, key, -17);
        if (number) Check(a == *number && b == *number, "a number reads as strtoll reads it");
        else Check(a == 17 && b == -17, "a value that is no number gives the fallback");

        const std::string rest = json.substr(at.index);
        const bool isTrue = rest.rfind("true", 0) == 0, isFalse = rest.rfind("false", 0) == 0;
        Check(JsonGetBool(json, key, false) == isTrue && JsonGetBool(json, key, true) == !isFalse,
              "true and false are the literal words, anything else the fallback");

        const std::string text = JsonGetString(json, key);
        if (rest.empty() || rest[0] != '"') Check(text.empty(), "a value that is no string reads as empty");
        // Every escape is at least as long as what it stands for.
        Check(text.size() <= rest.size(), "a string never reads longer than its source");
        const size_t close = rest.find('"', 1);
        if (!rest.empty() && rest[0] == '"' && rest.find('\\') > close && close != std::string::npos)
            Check(text == rest.substr(1, close - 1), "a string without escapes reads as it stands");
    }
}

// The number rule with the input as the value itself.
void CheckNumber(const std::string& value) {
    const std::string json = "{\"n\":" + value;
    size_t index = 5;
    while (index < json.size() && IsJsonSpace(json[index])) ++index;
    const std::optional<int64_t> number = ReferenceNumber(json, index);
    const int64_t read = JsonGetInt64(json, "n", 17);
    if (number) Check(read == *number, "a number reads as strtoll reads it");
    else Check(read == 17, "a value that is no number gives the fallback");
}

// Any text escaped by JsonEscape reads back as itself, with a string value before it that spells the key.
void CheckEscape(const std::string& text) {
    const std::string escaped = JsonEscape(text);
    for (char c : escaped) Check(static_cast<unsigned char>(c) >= 0x20, "no control character is left raw");
    for (size_t i = 0; i < escaped.size(); ++i)
        if (escaped[i] == '"') Check(i > 0 && escaped[i - 1] == '\\', "every quote is escaped");
    const std::string json = "{\"note\":\"" + JsonEscape("k") + "\",\"text\":\"" + JsonEscape(text + "\"k\":\"decoy") +
                             "\",\"k\" : \"" + escaped + "\",\"after\":\"k\"}";
    // Any bytes at all, not only UTF-8: the reader passes what it does not recognise through.
    Check(JsonGetString(json, "k") == text, "JsonEscape then JsonGetString gives the text back");
}

void CheckBase64(const std::string& input) {
    const std::vector<uint8_t> bytes(input.begin(), input.end());
    const std::string encoded = Base64Encode(bytes);
    Check(encoded == orvane::Base64Encode(bytes), "encoded as the service encodes");
    Check(Base64Decode(encoded) == bytes, "base64 round trips");
    // Arbitrary text: accepted exactly when the service's strict decoder accepts it, with the same bytes.
    const std::optional<orvane::Bytes> service = orvane::Base64Decode(input);
    const std::vector<uint8_t> client = Base64Decode(input);
    Check(client.empty() == !service.has_value(), "accepted exactly when the service accepts");
    if (service) {
        Check(client == *service, "decoded to the same bytes as the service");
        Check(Base64Encode(client) == input, "an accepted text is the one spelling of its bytes");
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    CheckAnswer(text);
    CheckNumber(text);
    CheckEscape(text);
    CheckBase64(text);
    return 0;
}
