// Pure input rules shared by the actions, the admin commands and the command line.
// Nothing here touches the network, the clock or the database.
#pragma once
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace orvane {

// "0.9.10" -> {0,9,10}. One to four numeric components, each up to 9 digits.
std::optional<std::vector<uint32_t>> ParseVersion(const std::string &text);
// Numeric comparison per component; missing components count as 0. -1, 0 or 1.
int CompareVersions(const std::vector<uint32_t> &a, const std::vector<uint32_t> &b);

// Number of code points of valid UTF-8 text (invalid bytes count one each).
size_t Utf8Length(const std::string &text);

// Lower-cased address when it is an acceptable e-mail address, otherwise nothing.
// Rules: 3..190 bytes, exactly one "@" neither first nor last, a dot-free or dotted
// domain without spaces, no control characters, quotes, backslashes or blanks.
std::optional<std::string> NormaliseEmail(const std::string &text);

// Developer user names: 4..32 characters of A-Z a-z 0-9 . _ - (never an "@").
bool IsValidUsername(const std::string &text);

// Password length in characters within [min, max].
bool PasswordLengthOk(const std::string &password, size_t min, size_t max);

// Room codes: ASCII letters upper-cased, then 4..16 of A-Z 0-9 _ -.
std::optional<std::string> NormaliseRoomCode(const std::string &text);

// SHA-256 as 64 hexadecimal digits; returns the lower-case form.
std::optional<std::string> NormaliseSha256(const std::string &text);

// Device ids: 16..256 bytes, no blanks or control characters, no quotes or backslashes.
bool IsValidDeviceId(const std::string &text);

// Six decimal digits.
bool IsSixDigitCode(const std::string &text);

// Payment amounts in yuan as the client accepts them: at most 63 characters, a decimal number in the
// usual floating-point syntax (leading blanks, sign, digits with an optional point, optional
// exponent) and nothing else, 1 .. 9999.9 compared exactly, and at most one character after the
// first ".". Returns the amount in fen (0.01 yuan); an exponent form with finer digits ("1234e-3")
// is rounded half up to a whole fen.
std::optional<int64_t> ParseAmountFen(const std::string &text);

// Usage purposes the client may send.
bool IsKnownPurpose(const std::string &key);

struct HostPort {
  std::string host;
  int port = 0;
};
// "127.0.0.1:8443", "localhost:0", "[::1]:123".
std::optional<HostPort> ParseHostPort(const std::string &text);

// Text safe to echo inside a message: printable ASCII only, at most max_len characters.
std::string SanitiseForMessage(const std::string &text, size_t max_len = 40);

}  // namespace orvane
