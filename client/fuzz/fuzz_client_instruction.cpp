// Fuzz target: the signed click instruction from the service's code to the client's reading of it
// (tasks/signed_instruction.h). From fuzzed field values the service's own code builds the instruction,
// signs it and wraps it in a claim answer the way task.claim does; the client parses the answer,
// decodes and verifies it with the real signature library, and its field-by-field check must give back
// exactly what went in: accepted or expired by the rule's own arithmetic, mismatched on exactly the
// field that was changed. The input's tail, as an answer and as an instruction, must never crash.
#include <sodium.h>

#include <array>
#include <cstdint>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "crypto.h"
#include "fuzz_input.h"
#include "instruction.h"
#include "json_util.h"
#include "net/json_text.h"
#include "tasks/signed_instruction.h"

namespace {

constexpr char kTarget[] = "fuzz_client_instruction";

void Check(bool ok, const char* what) { fuzz::Check(ok, kTarget, what); }

const orvane::SigningKey& ServiceKey() {
    static const orvane::SigningKey key = [] {
        orvane::InitCrypto();
        std::array<uint8_t, 32> seed{};
        for (size_t i = 0; i < seed.size(); ++i) seed[i] = static_cast<uint8_t>(i * 29 + 3);
        return orvane::SigningKey::FromSeed(seed);
    }();
    return key;
}

const SignatureEntryPoints kLibrary = {sodium_init, crypto_sign_verify_detached};

// A position: mostly on a screen, sometimes anywhere in 64 bits (the client holds 32).
int64_t Coordinate(fuzz::Input& in) {
    const uint8_t kind = in.Byte();
    return kind & 1 ? in.Int64() : in.InRange(-40000, 40000);
}

// An instant in ms: mostly near the wall clock, sometimes anywhere.
int64_t Instant(fuzz::Input& in, int64_t nowMs) {
    const uint8_t kind = in.Byte();
    return kind & 1 ? in.Int64() : nowMs + in.InRange(-600000, 600000);
}

bool FitsInt32(int64_t v) {
    return v >= std::numeric_limits<int32_t>::min() && v <= std::numeric_limits<int32_t>::max();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::Input in(data, size);
    // The client's clock: a wall clock within this century and an offset of up to about 12 days.
    const int64_t wallUs = in.InRange(0, int64_t{4102444800} * 1000000);
    const int64_t offsetUs = in.InRange(-(int64_t{1} << 40), int64_t{1} << 40);
    const int64_t nowMs = (wallUs + offsetUs) / 1000;

    orvane::Instruction sent;
    sent.task_id = in.Int64();
    sent.user_id = in.Int64();
    sent.target_x = Coordinate(in);
    sent.target_y = Coordinate(in);
    sent.executable_sha256 = in.Text(80);
    sent.execute_at_ms = Instant(in, nowMs);
    sent.expires_at_ms = Instant(in, nowMs);
    sent.nonce = in.Text(48);
    const uint8_t changed = in.Byte();

    // The service's side, as task.claim answers once the instruction is released.
    const std::string text = orvane::BuildInstructionJson(sent);
    const auto signature = ServiceKey().Sign(text);
    orvane::OJson answer = orvane::OkBody();
    answer["ready"] = true;
    answer["execute_at_ms"] = sent.execute_at_ms;
    answer["payload"] = orvane::Base64Encode(text);
    answer["signature"] = orvane::Base64Encode(signature.data(), signature.size());
    const std::string body = orvane::DumpJson(answer);

    // The client's side, in the order the click task takes it.
    const ClaimAnswer claim = ParseClaimAnswer(body);
    Check(claim.ready, "the answer reads as ready");
    Check(claim.executeAtMs == sent.execute_at_ms, "the answer's instant reads back");
    const int64_t retryMs = sent.execute_at_ms < std::numeric_limits<int64_t>::min() + 60000
                                ? std::numeric_limits<int64_t>::min()
                                : sent.execute_at_ms - 60000;
    Check(claim.retryAtMs == retryMs, "without a retry time, a minute before the instant (saturating)");
    const std::vector<uint8_t> message = Base64Decode(claim.payload);
    Check(std::string(message.begin(), message.end()) == text, "the payload decodes to the instruction text");
    const std::vector<uint8_t> signatureBytes = Base64Decode(claim.signature);
    const std::vector<uint8_t> key = Base64Decode(ServiceKey().PublicKeyBase64());
    Check(VerifyWithEntryPoints(kLibrary, message, signatureBytes, key), "the service's signature verifies");
    {
        std::vector<uint8_t> altered = message;
        altered[changed % altered.size()] ^= static_cast<uint8_t>(1 << (changed % 8));
        Check(!VerifyWithEntryPoints(kLibrary, altered, signatureBytes, key), "an altered instruction does not verify");
    }

    // The task as this machine holds it: the same fields, unless one is changed on purpose.
    ClickTaskContext context;
    context.taskId = sent.task_id;
    context.userId = sent.user_id;
    context.targetX = static_cast<int32_t>(sent.target_x);
    context.targetY = static_cast<int32_t>(sent.target_y);
    context.executableSha256 = sent.executable_sha256;
    const char* const fields[] = {"taskId", "userId", "targetX", "targetY", "executableSha256"};
    const char* differs = nullptr;
    if (changed & 0x80) {
        differs = fields[changed % 5];
        switch (changed % 5) {
            case 0: context.taskId ^= 1; break;
            case 1: context.userId ^= 1; break;
            case 2: context.targetX ^= 1; break;
            case 3: context.targetY ^= 1; break;
            case 4: context.executableSha256 += "0"; break;
        }
    }
    // The first field that differs decides. A position beyond 32 bits differs from any the client
    // holds; text that is not UTF-8 went out with replacement characters and differs as well.
    const char* expectedField = nullptr;
    const bool shaSame = fuzz::IsUtf8(sent.executable_sha256) && context.executableSha256 == sent.executable_sha256;
    if (context.taskId != sent.task_id) expectedField = "taskId";
    else if (context.userId != sent.user_id) expectedField = "userId";
    else if (!FitsInt32(sent.target_x) || context.targetX != sent.target_x) expectedField = "targetX";
    else if (!FitsInt32(sent.target_y) || context.targetY != sent.target_y) expectedField = "targetY";
    else if (!shaSame) expectedField = "executableSha256";
    if (differs && expectedField == nullptr) Check(false, "a changed field makes a difference");

    const InstructionCheck check = CheckClickInstruction(text, context, wallUs, offsetUs);
    if (expectedField) {
        Check(check.verdict == InstructionVerdict::Mismatch, "a differing field is a mismatch");
        Check(std::strcmp(check.failedField, expectedField) == 0, "the mismatch names the first differing field");
        Check(check.status == kInstructionMismatchStatus, "a mismatch says so");
    } else {
        Check(check.executeAtMs == sent.execute_at_ms, "the instant reads back");
        Check(check.expiresAtMs == sent.expires_at_ms, "the expiry reads back");
        if (fuzz::IsUtf8(sent.nonce)) Check(check.nonce == sent.nonce, "the nonce reads back");
        // Expired when the unified now lies after the expiry, or the instant after the expiry; exact
        // arithmetic here (the wall clock and offset are small enough that no saturation applies).
        const bool expired = __int128{wallUs} + offsetUs > __int128{sent.expires_at_ms} * 1000 ||
                             sent.execute_at_ms > sent.expires_at_ms;
        Check(check.verdict == (expired ? InstructionVerdict::Expired : InstructionVerdict::Accepted),
              "accepted exactly until the expiry");
        Check(check.status == (expired ? std::wstring(kInstructionExpiredStatus) : std::wstring()),
              "an expiry says so, an acceptance says nothing");
    }

    // Whatever else the input holds, as a claim answer and as an instruction.
    const std::string rest = in.Rest();
    const ClaimAnswer any = ParseClaimAnswer(rest);
    if (!any.payload.empty()) (void)Base64Decode(any.payload);
    const InstructionCheck anyCheck = CheckClickInstruction(rest, context, wallUs, offsetUs);
    if (anyCheck.verdict == InstructionVerdict::Accepted) {
        Check(JsonGetInt64(rest, "taskId", 0) == context.taskId, "an accepted instruction names the task");
        Check(JsonGetString(rest, "action") == "single_click", "an accepted instruction is a single click");
    }
    return 0;
}
