#include "tasks/signed_instruction.h"

#include <limits>

#include "core/saturating.h"
#include "net/json_text.h"

ClaimAnswer ParseClaimAnswer(const std::string& body) {
    ClaimAnswer answer;
    answer.executeAtMs = JsonGetInt64(body, "execute_at_ms", 0);
    answer.ready = JsonGetBool(body, "ready", false);
    answer.retryAtMs = JsonGetInt64(body, "retry_at_ms", SaturatingSub(answer.executeAtMs, 60000));
    answer.payload = JsonGetString(body, "payload");
    answer.signature = JsonGetString(body, "signature");
    answer.roomCapacity = JsonGetInt64(body, "room_capacity", 0);
    answer.roomJoined = JsonGetInt64(body, "room_joined", 0);
    return answer;
}

bool VerifyWithEntryPoints(const SignatureEntryPoints& entries, const std::vector<uint8_t>& message,
                           const std::vector<uint8_t>& signature, const std::vector<uint8_t>& publicKey) {
    if (!entries.sodiumInit || !entries.verifyDetached) return false;
    // The library reads exactly 64 and 32 bytes: anything else must never reach it.
    if (signature.size() != 64 || publicKey.size() != 32) return false;
    if (entries.sodiumInit() < 0) return false;
    return entries.verifyDetached(signature.data(), message.data(), message.size(), publicKey.data()) == 0;
}

InstructionCheck CheckClickInstruction(const std::string& text, const ClickTaskContext& context,
                                       int64_t wallClockUs, int64_t offsetUs) {
    InstructionCheck check;
    // A missing coordinate reads as the smallest 64-bit value, which no 32-bit position can equal.
    constexpr int64_t kMissingCoordinate = std::numeric_limits<int64_t>::min();
    const char* failed = nullptr;
    if (JsonGetInt64(text, "taskId", 0) != context.taskId)
        failed = "taskId";
    else if (JsonGetInt64(text, "userId", 0) != context.userId)
        failed = "userId";
    else if (JsonGetString(text, "action") != "single_click")
        failed = "action";
    else if (JsonGetInt64(text, "targetX", kMissingCoordinate) != static_cast<int64_t>(context.targetX))
        failed = "targetX";
    else if (JsonGetInt64(text, "targetY", kMissingCoordinate) != static_cast<int64_t>(context.targetY))
        failed = "targetY";
    else if (JsonGetString(text, "executableSha256") != context.executableSha256)
        failed = "executableSha256";
    if (failed) {
        check.verdict = InstructionVerdict::Mismatch;
        check.status = kInstructionMismatchStatus;
        check.failedField = failed;
        return check;
    }

    check.executeAtMs = JsonGetInt64(text, "executeAtMs", 0);
    check.expiresAtMs = JsonGetInt64(text, "expiresAtMs", 0);
    check.nonce = JsonGetString(text, "nonce");
    // Equality passes; a missing expiry (0) is always in the past. An instant after the instruction's
    // own expiry would be clicked with an expired instruction: that is expired as well.
    if (SaturatingAdd(wallClockUs, offsetUs) > MsToUsSaturated(check.expiresAtMs) || check.executeAtMs > check.expiresAtMs) {
        check.verdict = InstructionVerdict::Expired;
        check.status = kInstructionExpiredStatus;
        return check;
    }
    check.verdict = InstructionVerdict::Accepted;
    return check;
}
