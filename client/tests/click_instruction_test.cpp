// The signed click instruction: Ed25519 verification through the real signature library, and the
// field-by-field comparison with the task.
#include <gtest/gtest.h>

#include <limits>

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "core/library_module.h"
#include "net/json_text.h"
#include "support/test_signer.h"
#include "support/test_support.h"
#include "tasks/click_instruction.h"

namespace {

std::vector<uint8_t> FromHex(const std::string& hex) { return HexToBytes(hex); }

std::vector<uint8_t> Bytes(const std::string& text) { return {text.begin(), text.end()}; }

struct Rfc8032Vector {
    const char* seed;
    const char* publicKey;
    const char* message;
    const char* signature;
};
// RFC 8032 section 7.1, tests 1-3.
const Rfc8032Vector kVectors[] = {
    {"9d61b19deffd5a60ba844af492ec2cc44449c5697b326919703bac031cae7f60",
     "d75a980182b10ab7d54bfed3c964073a0ee172f3daa62325af021a68f707511a", "",
     "e5564300c360ac729086e2cc806e828a84877f1eb8e5d974d873e065224901555fb8821590a33bacc61e39701cf9b46bd25bf5f0595bbe24655141438e7a100b"},
    {"4ccd089b28ff96da9db6c346ec114e0f5b8a319f35aba624da8cf6ed4fb8a6fb",
     "3d4017c3e843895a92b70aa74d1b7ebc9c982ccf2ec4968cc0cd55f12af4660c", "72",
     "92a009a9f0d4cab8720e820b5f642540a2b27b5416503f8fb3762223ebdb69da085ac1e43e15996e458f3613d0f11d8c387b2eaeb4302aeeb00d291612bb0c00"},
    {"c5aa8df43f9f837bedb7442f31dcb7b166d38535076f094b85ce3a2e0b4458f7",
     "fc51cd8e6218a1a38da47ed00230f0580816ed13ba3303ac5deb911548908025", "af82",
     "6291d657deec24024827e69c3abe01a30ce548a284743a445e3680d7db5ac3ac18ff9b538d16f290ae67f760984dc6594a7c15e9716ed28dc027beceea1ec40a"},
};

std::vector<uint8_t> Sign(const std::string& message, const std::vector<uint8_t>& seed, std::vector<uint8_t>& publicKey) {
    return SignWithSeed(message, seed, &publicKey);
}

}  // namespace

TEST(VerifyDetachedSignature, AcceptsTheRfc8032Vectors) {
    for (const Rfc8032Vector& v : kVectors)
        EXPECT_TRUE(VerifyDetachedSignature(FromHex(v.message), FromHex(v.signature), FromHex(v.publicKey))) << v.message;
}

TEST(VerifyDetachedSignature, RejectsAnyChangeOfMessageSignatureOrKey) {
    const Rfc8032Vector& v = kVectors[2];
    std::vector<uint8_t> message = FromHex(v.message), signature = FromHex(v.signature), key = FromHex(v.publicKey);
    std::vector<uint8_t> changed = message;
    changed[1] ^= 0x01;
    EXPECT_FALSE(VerifyDetachedSignature(changed, signature, key));
    changed = signature;
    changed[10] ^= 0x80;
    EXPECT_FALSE(VerifyDetachedSignature(message, changed, key));
    // Another vector's key does not verify this signature.
    EXPECT_FALSE(VerifyDetachedSignature(message, signature, FromHex(kVectors[1].publicKey)));
}

TEST(VerifyDetachedSignature, OneExtraSpaceInAnEquivalentPayloadIsRejected) {
    const std::string signedText =
        "{\"taskId\":7,\"userId\":3,\"action\":\"single_click\",\"targetX\":10,\"targetY\":20,"
        "\"executableSha256\":\"e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855\","
        "\"executeAtMs\":1785200000000,\"expiresAtMs\":1785200060000,\"nonce\":\"n1\"}";
    std::vector<uint8_t> key;
    const std::vector<uint8_t> signature = Sign(signedText, FromHex(kVectors[0].seed), key);
    ASSERT_EQ(signature.size(), 64u);
    EXPECT_TRUE(VerifyDetachedSignature(Bytes(signedText), signature, key));
    std::string spaced = signedText;
    spaced.insert(spaced.find("\"userId\""), " ");  // the same JSON content, one byte more
    EXPECT_FALSE(VerifyDetachedSignature(Bytes(spaced), signature, key));
}

TEST(VerifyDetachedSignature, WrongLengthsAreRejectedEvenWhenTheBytesWouldVerify) {
    const Rfc8032Vector& v = kVectors[1];
    const std::vector<uint8_t> message = FromHex(v.message), signature = FromHex(v.signature), key = FromHex(v.publicKey);
    ASSERT_TRUE(VerifyDetachedSignature(message, signature, key));
    std::vector<uint8_t> longer = signature;
    longer.push_back(0);  // the first 64 bytes are the valid signature
    std::vector<uint8_t> shorter(signature.begin(), signature.end() - 1);
    std::vector<uint8_t> longerKey = key;
    longerKey.push_back(0);
    struct Case {
        const char* name;
        std::vector<uint8_t> signature, key;
    } cases[] = {
        {"63-byte signature", shorter, key},
        {"65-byte signature", longer, key},
        {"31-byte key", signature, std::vector<uint8_t>(key.begin(), key.end() - 1)},
        {"33-byte key", signature, longerKey},
        {"empty signature", {}, key},
        {"empty key", signature, {}},
    };
    for (const Case& c : cases) EXPECT_FALSE(VerifyDetachedSignature(message, c.signature, c.key)) << c.name;
}

// Counting stand-ins for the two entry points: the real library cannot show whether it was called.
namespace {
int g_initCalls = 0, g_verifyCalls = 0, g_initResult = 0, g_verifyResult = 0;
int CountingInit() {
    ++g_initCalls;
    return g_initResult;
}
int CountingVerify(const unsigned char*, const unsigned char*, unsigned long long, const unsigned char*) {
    ++g_verifyCalls;
    return g_verifyResult;
}
}  // namespace

TEST(VerifyWithEntryPoints, WrongSizesNeverReachTheLibraryAndItsAnswersAreHonoured) {
    struct Case {
        const char* name;
        size_t signatureSize, keySize;
        int initResult, verifyResult;
        bool expected;
        int initCalls, verifyCalls;
    } cases[] = {
        {"63-byte signature", 63, 32, 0, 0, false, 0, 0},
        {"65-byte signature", 65, 32, 0, 0, false, 0, 0},
        {"31-byte key", 64, 31, 0, 0, false, 0, 0},
        {"valid", 64, 32, 0, 0, true, 1, 1},
        {"already initialised", 64, 32, 1, 0, true, 1, 1},
        {"initialisation fails", 64, 32, -1, 0, false, 1, 0},
        {"invalid signature", 64, 32, 0, -1, false, 1, 1},
    };
    SignatureEntryPoints entries{CountingInit, CountingVerify};
    for (const Case& c : cases) {
        g_initCalls = g_verifyCalls = 0;
        g_initResult = c.initResult;
        g_verifyResult = c.verifyResult;
        EXPECT_EQ(VerifyWithEntryPoints(entries, {1, 2, 3}, std::vector<uint8_t>(c.signatureSize),
                                        std::vector<uint8_t>(c.keySize)),
                  c.expected)
            << c.name;
        EXPECT_EQ(g_initCalls, c.initCalls) << c.name;
        EXPECT_EQ(g_verifyCalls, c.verifyCalls) << c.name;
    }
    g_initResult = g_verifyResult = 0;
    EXPECT_FALSE(VerifyWithEntryPoints({nullptr, CountingVerify}, {}, std::vector<uint8_t>(64), std::vector<uint8_t>(32)));
    EXPECT_FALSE(VerifyWithEntryPoints({CountingInit, nullptr}, {}, std::vector<uint8_t>(64), std::vector<uint8_t>(32)));
}

TEST(VerifyDetachedSignatureWithLibrary, MissingOrBrokenLibraryFails) {
    const Rfc8032Vector& v = kVectors[0];
    const std::vector<uint8_t> message = FromHex(v.message), signature = FromHex(v.signature), key = FromHex(v.publicKey);
    TempFolder folder;
    const std::filesystem::path library = folder.path() / "libsodium.dll";
    EXPECT_FALSE(VerifyDetachedSignatureWithLibrary(library.wstring(), message, signature, key)) << "missing";

    WriteFileBytes(library, "this is not a program library");
    EXPECT_FALSE(VerifyDetachedSignatureWithLibrary(library.wstring(), message, signature, key)) << "text file";

    const std::string real = ReadFileBytes(ProgramFolder() / "libsodium.dll");
    ASSERT_GT(real.size(), 4096u);
    WriteFileBytes(library, real.substr(0, real.size() / 3));
    EXPECT_FALSE(VerifyDetachedSignatureWithLibrary(library.wstring(), message, signature, key)) << "truncated";

    // The intact library copied there verifies, so the failures above came from the file itself, and
    // the copy is released again (it can be deleted at once).
    WriteFileBytes(library, real);
    EXPECT_TRUE(VerifyDetachedSignatureWithLibrary(library.wstring(), message, signature, key));
    EXPECT_TRUE(std::filesystem::remove(library));
}

// ---- the field checks ------------------------------------------------------------------------

namespace {

constexpr char kHash[] = "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855";
constexpr int64_t kExpiresAtMs = 1785200060000;

ClickTaskContext Context() {
    ClickTaskContext c;
    c.taskId = 42;
    c.userId = 7;
    c.targetX = 640;
    c.targetY = 400;
    c.executableSha256 = kHash;
    return c;
}

struct Fields {
    std::string taskId = "42", userId = "7", action = "\"single_click\"", targetX = "640", targetY = "400",
                hash = std::string("\"") + kHash + "\"", executeAt = "1785200000000",
                expiresAt = std::to_string(kExpiresAtMs), nonce = "\"n-1\"";
};

std::string Instruction(const Fields& f) {
    std::string text = "{";
    auto add = [&text](const char* name, const std::string& value) {
        if (value.empty()) return;  // left out
        if (text.size() > 1) text += ",";
        text += "\"" + std::string(name) + "\":" + value;
    };
    add("taskId", f.taskId);
    add("userId", f.userId);
    add("action", f.action);
    add("targetX", f.targetX);
    add("targetY", f.targetY);
    add("executableSha256", f.hash);
    add("executeAtMs", f.executeAt);
    add("expiresAtMs", f.expiresAt);
    add("nonce", f.nonce);
    return text + "}";
}

const int64_t kBeforeExpiryUs = (kExpiresAtMs - 30000) * 1000;

}  // namespace

TEST(CheckClickInstruction, AcceptsAMatchingInstructionAndYieldsItsTimesAndNonce) {
    Fields f;
    f.nonce = "\"a\\\"b\"";
    InstructionCheck check = CheckClickInstruction(Instruction(f), Context(), kBeforeExpiryUs, 0);
    EXPECT_EQ(check.verdict, InstructionVerdict::Accepted);
    EXPECT_EQ(check.status, L"");
    EXPECT_EQ(check.executeAtMs, 1785200000000);
    EXPECT_EQ(check.expiresAtMs, kExpiresAtMs);
    EXPECT_EQ(check.nonce, "a\"b");
}

TEST(CheckClickInstruction, TheFirstDifferingFieldDecidesAndLaterOnesAreNotExamined) {
    // Each row spoils one field and every field after it: the reported field must be the spoiled one
    // that comes first in the order taskId, userId, action, targetX, targetY, executableSha256.
    using Spoil = void (*)(Fields&);
    const std::pair<const char*, Spoil> order[] = {
        {"taskId", [](Fields& f) { f.taskId = "43"; }},
        {"userId", [](Fields& f) { f.userId = "8"; }},
        {"action", [](Fields& f) { f.action = "\"double_click\""; }},
        {"targetX", [](Fields& f) { f.targetX = "641"; }},
        {"targetY", [](Fields& f) { f.targetY = "-400"; }},
        {"executableSha256", [](Fields& f) { f.hash = "\"abc\""; }},
    };
    for (size_t first = 0; first < std::size(order); ++first) {
        Fields f;
        for (size_t i = first; i < std::size(order); ++i) order[i].second(f);
        f.expiresAt = std::to_string(1);  // also expired: a mismatch is reported before the expiry is looked at
        InstructionCheck check = CheckClickInstruction(Instruction(f), Context(), kBeforeExpiryUs, 0);
        EXPECT_EQ(check.verdict, InstructionVerdict::Mismatch) << order[first].first;
        EXPECT_EQ(check.status, L"收到的点击安排与当前操作不一致") << order[first].first;
        EXPECT_STREQ(check.failedField, order[first].first);
    }
}

TEST(CheckClickInstruction, SingleFieldCasesThatMustNotMatch) {
    using Change = void (*)(Fields&);
    const std::tuple<const char*, Change, const char*> cases[] = {
        {"another task of the same user", [](Fields& f) { f.taskId = "41"; }, "taskId"},
        {"no taskId", [](Fields& f) { f.taskId = ""; }, "taskId"},
        {"another user", [](Fields& f) { f.userId = "70"; }, "userId"},
        {"action in capitals", [](Fields& f) { f.action = "\"SINGLE_CLICK\""; }, "action"},
        {"action as a number", [](Fields& f) { f.action = "1"; }, "action"},
        {"no targetX", [](Fields& f) { f.targetX = ""; }, "targetX"},
        {"no targetY", [](Fields& f) { f.targetY = ""; }, "targetY"},
        {"targetX as text", [](Fields& f) { f.targetX = "\"640\""; }, "targetX"},
        {"targetX beyond 32 bits", [](Fields& f) { f.targetX = "4294967936"; }, "targetX"},  // 2^32 + 640
        {"upper-case hash", [](Fields& f) { f.hash = "\"E3B0C44298FC1C149AFBF4C8996FB92427AE41E4649B934CA495991B7852B855\""; },
         "executableSha256"},
        {"hash one character short", [](Fields& f) { f.hash = std::string("\"") + std::string(kHash).substr(0, 63) + "\""; },
         "executableSha256"},
        {"no hash", [](Fields& f) { f.hash = ""; }, "executableSha256"},
    };
    for (const auto& [name, change, field] : cases) {
        Fields f;
        change(f);
        InstructionCheck check = CheckClickInstruction(Instruction(f), Context(), kBeforeExpiryUs, 0);
        EXPECT_EQ(check.verdict, InstructionVerdict::Mismatch) << name;
        EXPECT_STREQ(check.failedField, field) << name;
    }
}

TEST(CheckClickInstruction, NegativeCoordinatesMatchAChosenPointLeftOfThePrimaryMonitor) {
    ClickTaskContext context = Context();
    context.targetX = -5;
    context.targetY = -1080;
    Fields f;
    f.targetX = "-5";
    f.targetY = "-1080";
    EXPECT_EQ(CheckClickInstruction(Instruction(f), context, kBeforeExpiryUs, 0).verdict, InstructionVerdict::Accepted);
    context.targetX = INT32_MIN;  // the smallest coordinate is not confused with a missing field
    f.targetX = std::to_string(INT32_MIN);
    EXPECT_EQ(CheckClickInstruction(Instruction(f), context, kBeforeExpiryUs, 0).verdict, InstructionVerdict::Accepted);
}

TEST(CheckClickInstruction, ExpiryUsesTheWallClockPlusTheOffsetAndEqualityPasses) {
    const int64_t expiryUs = kExpiresAtMs * 1000;
    struct Case {
        const char* name;
        std::string expiresAt;
        int64_t wallUs, offsetUs;
        InstructionVerdict expected;
    } cases[] = {
        {"exactly at the expiry", std::to_string(kExpiresAtMs), expiryUs, 0, InstructionVerdict::Accepted},
        {"exactly at it through the offset", std::to_string(kExpiresAtMs), expiryUs - 2500, 2500, InstructionVerdict::Accepted},
        {"one microsecond after", std::to_string(kExpiresAtMs), expiryUs + 1, 0, InstructionVerdict::Expired},
        {"after it through the offset", std::to_string(kExpiresAtMs), expiryUs - 2500, 2501, InstructionVerdict::Expired},
        {"negative offset keeps it valid", std::to_string(kExpiresAtMs), expiryUs + 1000, -1000, InstructionVerdict::Accepted},
        {"no expiry at all", "", kBeforeExpiryUs, 0, InstructionVerdict::Expired},
        {"expiry as text", "\"1785200060000\"", kBeforeExpiryUs, 0, InstructionVerdict::Expired},
        {"expiry too large to scale", "9223372036854775807", kBeforeExpiryUs, 0, InstructionVerdict::Accepted},
    };
    for (const Case& c : cases) {
        Fields f;
        f.expiresAt = c.expiresAt;
        InstructionCheck check = CheckClickInstruction(Instruction(f), Context(), c.wallUs, c.offsetUs);
        EXPECT_EQ(check.verdict, c.expected) << c.name;
        EXPECT_EQ(check.status, c.expected == InstructionVerdict::Expired ? L"本次点击安排已失效，请重新开始" : L"") << c.name;
    }
}

TEST(CheckClickInstruction, AnExecuteTimeInThePastIsNotJudged) {
    for (const char* executeAt : {"1", "1785200030000", ""}) {
        Fields f;
        f.executeAt = executeAt;
        InstructionCheck check = CheckClickInstruction(Instruction(f), Context(), kBeforeExpiryUs, 0);
        EXPECT_EQ(check.verdict, InstructionVerdict::Accepted) << executeAt;
        EXPECT_EQ(check.executeAtMs, *executeAt ? std::stoll(executeAt) : 0) << executeAt;
    }
}

TEST(CheckClickInstruction, AnInstantAfterItsOwnExpiryOrAClockAtTheLimitIsExpired) {
    struct Case {
        const char* name;
        std::string executeAt, expiresAt;
        int64_t wallUs, offsetUs;
        InstructionVerdict expected;
    } cases[] = {
        {"instant one ms after the expiry", std::to_string(kExpiresAtMs + 1), std::to_string(kExpiresAtMs),
         kBeforeExpiryUs, 0, InstructionVerdict::Expired},
        {"instant at the expiry", std::to_string(kExpiresAtMs), std::to_string(kExpiresAtMs), kBeforeExpiryUs, 0,
         InstructionVerdict::Accepted},
        // A sum that wrapped would turn "after every expiry" into "long before it".
        {"wall clock at the limit plus an offset", "1785200000000", std::to_string(kExpiresAtMs),
         std::numeric_limits<int64_t>::max() - 10, 1000, InstructionVerdict::Expired},
        {"offset at the limit", "1785200000000", std::to_string(kExpiresAtMs), kBeforeExpiryUs,
         std::numeric_limits<int64_t>::max(), InstructionVerdict::Expired},
    };
    for (const Case& c : cases) {
        Fields f;
        f.executeAt = c.executeAt;
        f.expiresAt = c.expiresAt;
        EXPECT_EQ(CheckClickInstruction(Instruction(f), Context(), c.wallUs, c.offsetUs).verdict, c.expected) << c.name;
    }
}
