// The JSON and text helpers: what is found, what counts as missing, how escapes are read.
#include <gtest/gtest.h>

#include <cstdint>
#include <limits>

#include "net/json_text.h"

TEST(JsonEscape, EscapesQuotesBackslashesAndControlBytes) {
    struct Case {
        std::string input, expected;
    } cases[] = {
        {"a\"b", "a\\\"b"},
        {"a\\b", "a\\\\b"},
        {"\t\n\r", "\\t\\n\\r"},
        {std::string("\x01", 1), "\\u0001"},
        {std::string("\x1f", 1), "\\u001f"},
        {std::string("\0", 1), "\\u0000"},
        {"a/b\x7f", "a/b\x7f"},                         // slash and DEL pass unchanged
        {"\xE6\xBE\x84\xE5\xBA\x8F", "\xE6\xBE\x84\xE5\xBA\x8F"},  // 澄序 as its six UTF-8 bytes
        {"\"\\\t\x01", "\\\"\\\\\\t\\u0001"},
    };
    for (const Case& c : cases) EXPECT_EQ(JsonEscape(c.input), c.expected) << c.input;
}

TEST(JsonEscape, RoundTripsThroughJsonGetString) {
    const std::string original = std::string("quote\" backslash\\ tab\t nl\n cr\r ctl\x02 \xE4\xB8\xAD", 36);
    const std::string body = "{\"k\":\"" + JsonEscape(original) + "\"}";
    EXPECT_EQ(JsonGetString(body, "k"), original);
}

TEST(JsonFindValue, FirstOccurrenceAndWhiteSpaceRules) {
    EXPECT_FALSE(JsonFindValue("", "ok").found);
    EXPECT_FALSE(JsonFindValue("{\"o", "ok").found);                     // shorter than the needle
    EXPECT_FALSE(JsonFindValue("{\"a\":1,\"ok\"", "ok").found);          // key as the very last characters
    EXPECT_FALSE(JsonFindValue("{\"ok\" true}", "ok").found);            // no colon after it
    JsonValuePosition p = JsonFindValue("{\"ok\": \t\r\n true}", "ok");
    ASSERT_TRUE(p.found);
    EXPECT_EQ(p.index, 11u);
    // Only white space after the colon: found, at the end of the text.
    p = JsonFindValue("{\"ok\":   ", "ok");
    ASSERT_TRUE(p.found);
    EXPECT_EQ(p.index, 9u);
    // Only white space may stand between the key and its colon.
    EXPECT_EQ(JsonGetInt64("{\"n\" \t: 7}", "n", 0), 7);
    EXPECT_EQ(JsonGetInt64("{\"n\" xyz : 7}", "n", 0), 0);
}

TEST(JsonFindValue, NestedKeysWinButStringValuesAreNotKeys) {
    EXPECT_EQ(JsonGetInt64("{\"user\":{\"id\":5},\"id\":9}", "id", 0), 5);
    // The word appears first as a string value: passed over, the key itself is read.
    EXPECT_TRUE(JsonGetBool("{\"status\":\"ok\",\"next\":false,\"ok\":true}", "ok", false));
    EXPECT_EQ(JsonGetString("{\"sha\":\"nonce\",\"at\":1,\"nonce\":\"ab\"}", "nonce"), "ab");
    EXPECT_EQ(JsonGetInt64("{\"a\":[\"n\" , \"n\"],\"n\":4}", "n", 0), 4);
    EXPECT_EQ(JsonGetString("{\"list\":[{\"name\":\"a\"}],\"name\":\"b\"}", "name"), "a");
}

TEST(JsonGetString, EscapesAndMissingValues) {
    struct Case {
        std::string body, expected;
    } cases[] = {
        {R"({"message":"a\"b\\c\nd"})", "a\"b\\c\nd"},
        {R"({"message":"tab\there\rcr"})", "tab\there\rcr"},
        {R"({"message":"a\/b"})", "a/b"},
        {R"({"message":"x\by\fz"})", "x\by\fz"},
        {R"({"message":"unterminated)", "unterminated"},
        {R"({"message":12})", ""},
        {R"({"message":null})", ""},
        {R"({"other":"x"})", ""},
        {R"({"message":)", ""},
        {"{\"message\":\"raw \xE6\xBE\x84\xE5\xBA\x8F\"}", "raw \xE6\xBE\x84\xE5\xBA\x8F"},
        {R"({"message":"ends with backslash\)", "ends with backslash"},
    };
    for (const Case& c : cases) EXPECT_EQ(JsonGetString(c.body, "message"), c.expected) << c.body;
}

TEST(JsonGetString, DecodesUnicodeEscapesIntoUtf8) {
    struct Case {
        std::string body, expected;
    } cases[] = {
        {R"({"m":"\u4e2d\u6587"})", "\xE4\xB8\xAD\xE6\x96\x87"},          // 中文
        {R"({"m":"\u0041\u00e9"})", "A\xC3\xA9"},                          // one and two UTF-8 bytes
        {R"({"m":"\uD83D\uDE00"})", "\xF0\x9F\x98\x80"},                   // a surrogate pair, one code point
        {R"({"m":"\ud83d\ude00"})", "\xF0\x9F\x98\x80"},                   // lower-case hex digits
        {R"({"m":"a\uD83Db"})", "a\xEF\xBF\xBD" "b"},                      // lone high surrogate
        {R"({"m":"a\uDE00b"})", "a\xEF\xBF\xBD" "b"},                      // lone low surrogate
        {R"({"m":"\uD83D\u0041"})", "\xEF\xBF\xBD" "A"},                   // high surrogate + non-surrogate
        {R"({"m":"\u12"})", "u12"},                                        // incomplete escape stays as text
        {R"({"m":"\u12zz"})", "u12zz"},
        {R"({"m":"\u0022quoted\u0022"})", "\"quoted\""},
    };
    for (const Case& c : cases) EXPECT_EQ(JsonGetString(c.body, "m"), c.expected) << c.body;
}

TEST(JsonGetBool, LiteralWordsOnlyOtherwiseFallback) {
    struct Case {
        std::string body;
        bool fallback, expected;
    } cases[] = {
        {R"({"ok":true})", false, true},
        {R"({"ok": true})", false, true},
        {R"({"ok":false})", true, false},
        {R"({"ok":trueish})", false, true},  // only the prefix is compared
        {R"({"ok":"true"})", false, false},
        {R"({"ok":null})", true, true},
        {R"({"ok":1})", false, false},
        {R"({"ok":tru})", true, true},
        {R"({"other":true})", false, false},
        {R"({"ok":fals)", true, true},
    };
    for (const Case& c : cases) EXPECT_EQ(JsonGetBool(c.body, "ok", c.fallback), c.expected) << c.body;
}

TEST(JsonGetInt64, NumbersSignsFractionsAndSaturation) {
    constexpr int64_t kMax = std::numeric_limits<int64_t>::max();
    constexpr int64_t kMin = std::numeric_limits<int64_t>::min();
    struct Case {
        std::string value;
        int64_t expected;
    } cases[] = {
        {"1785200000123", 1785200000123},
        {"\"1785200000123\"", -7},  // quoted digits: the fallback
        {"-42", -42},
        {"+42", 42},
        {"12.5", 12},
        {"-0.9", 0},
        {"9223372036854775807", kMax},
        {"9223372036854775808", kMax},
        {"99999999999999999999999", kMax},
        {"-9223372036854775808", kMin},
        {"-9223372036854775809", kMin},
        {"null", -7},
        {"true", -7},
        {"{\"x\":1}", -7},
        {"-", -7},
        {"", -7},
        {"7e3", 7},
    };
    for (const Case& c : cases)
        EXPECT_EQ(JsonGetInt64("{\"n\":" + c.value + "}", "n", -7), c.expected) << c.value;
    EXPECT_EQ(JsonGetInt64("{\"m\":1}", "n", 33), 33);
}

TEST(TextConversion, Utf16AndUtf8BothWays) {
    EXPECT_EQ(Utf16ToUtf8(L""), "");
    EXPECT_EQ(Utf8ToUtf16(""), L"");
    EXPECT_EQ(Utf16ToUtf8(L"澄序 Orvane"), "\xE6\xBE\x84\xE5\xBA\x8F Orvane");
    EXPECT_EQ(Utf8ToUtf16("\xE6\xBE\x84\xE5\xBA\x8F Orvane"), L"澄序 Orvane");
    // Embedded zero units are converted like any other.
    const std::wstring withZero(L"a\0b", 3);
    EXPECT_EQ(Utf16ToUtf8(withZero), std::string("a\0b", 3));
    EXPECT_EQ(Utf8ToUtf16(std::string("a\0b", 3)), withZero);
    // A code point outside the basic plane survives the round trip.
    EXPECT_EQ(Utf8ToUtf16(Utf16ToUtf8(L"\xD83D\xDE00")), L"\xD83D\xDE00");
    // Invalid UTF-8 becomes replacement characters, never an empty or truncated text.
    const std::wstring replaced = Utf8ToUtf16("a\xFF" "b");
    ASSERT_EQ(replaced.size(), 3u);
    EXPECT_EQ(replaced[0], L'a');
    EXPECT_EQ(replaced[1], L'\xFFFD');
    EXPECT_EQ(replaced[2], L'b');
}

TEST(Base64, EncodeDecodeAndRejectNonsense) {
    EXPECT_EQ(Base64Encode({}), "");
    EXPECT_EQ(Base64Encode({'f'}), "Zg==");
    EXPECT_EQ(Base64Encode({'f', 'o', 'o', 'b', 'a', 'r'}), "Zm9vYmFy");
    std::vector<uint8_t> key(32);
    for (size_t i = 0; i < key.size(); ++i) key[i] = static_cast<uint8_t>(i * 7 + 1);
    const std::string encoded = Base64Encode(key);
    EXPECT_EQ(encoded.size(), 44u);
    EXPECT_EQ(encoded.back(), '=');
    EXPECT_NE(encoded[42], '=');
    EXPECT_EQ(Base64Decode(encoded), key);
    EXPECT_EQ(Base64Decode("11qYAYKxCrfVS/7TyWQHOg7hcvPapiMlrwIaaPcHURo=").size(), 32u);
    EXPECT_TRUE(Base64Decode("not base64 at all!").empty());
    EXPECT_TRUE(Base64Decode("").empty());
    EXPECT_TRUE(Base64Decode("%%%%").empty());
    // Binary with zeros and high bytes.
    const std::vector<uint8_t> binary = {0, 0xFF, 0x80, 0, 1};
    EXPECT_EQ(Base64Decode(Base64Encode(binary)), binary);
}
