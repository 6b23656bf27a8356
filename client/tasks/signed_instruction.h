// The signed one-shot click instruction as the client reads it: the claim answer that carries it, the
// signature check through two entry points of the signature library, and the field-by-field
// comparison with what the user chose on this machine. Plain C++ (no system calls), so that these
// rules build and run anywhere; tasks/click_instruction.h loads the real library.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "tasks/click_task_context.h"

// User-facing texts of the three rejections.
inline constexpr wchar_t kSignatureFailedStatus[] = L"程序文件检查失败";
inline constexpr wchar_t kSignatureFailedDetail[] = L"程序运行文件不完整，请重新解压后使用";
inline constexpr wchar_t kInstructionMismatchStatus[] = L"收到的点击安排与当前操作不一致";
inline constexpr wchar_t kInstructionExpiredStatus[] = L"本次点击安排已失效，请重新开始";

// The answer to task.claim: not ready yet (when to ask again), or the instruction's text and its
// signature, both base64.
struct ClaimAnswer {
    int64_t executeAtMs = 0;  // 0 when missing
    bool ready = false;
    int64_t retryAtMs = 0;    // executeAtMs − 60000 when missing
    std::string payload;
    std::string signature;
    int64_t roomCapacity = 0;  // a room's size and how many have joined so far; 0 when not told
    int64_t roomJoined = 0;
};
ClaimAnswer ParseClaimAnswer(const std::string& body);

// The two library entry points the verification needs.
struct SignatureEntryPoints {
    int (*sodiumInit)() = nullptr;
    int (*verifyDetached)(const unsigned char* signature, const unsigned char* message,
                          unsigned long long messageLength, const unsigned char* publicKey) = nullptr;
};

// Checks the sizes (64-byte signature, 32-byte key) before anything is called, then initialises the
// library and verifies. False when an entry point is missing.
bool VerifyWithEntryPoints(const SignatureEntryPoints& entries, const std::vector<uint8_t>& message,
                           const std::vector<uint8_t>& signature, const std::vector<uint8_t>& publicKey);

enum class InstructionVerdict { Accepted, Mismatch, Expired };

struct InstructionCheck {
    InstructionVerdict verdict = InstructionVerdict::Mismatch;
    std::wstring status;        // empty when accepted
    const char* failedField = "";  // the first field that differed (mismatch only)
    int64_t executeAtMs = 0;
    int64_t expiresAtMs = 0;
    std::string nonce;
};

// Compares the verified instruction text with the task, field by field in a fixed order (the first
// difference decides; later fields are not examined), then applies the expiry rule: expired when
// wallClockUs + offsetUs (saturating) > expiresAtMs × 1000, or when executeAtMs lies after expiresAtMs.
// Touches no clock: the caller passes the wall clock.
InstructionCheck CheckClickInstruction(const std::string& text, const ClickTaskContext& context,
                                       int64_t wallClockUs, int64_t offsetUs);
