// The signed one-shot click instruction: Ed25519 verification through the signature library beside
// the program. Reading the instruction and comparing it with the task is in tasks/signed_instruction.h.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "tasks/signed_instruction.h"

// Loads the library at `libraryPath`, verifies, and releases the library again on every path.
bool VerifyDetachedSignatureWithLibrary(const std::wstring& libraryPath, const std::vector<uint8_t>& message,
                                        const std::vector<uint8_t>& signature,
                                        const std::vector<uint8_t>& publicKey);

// The same with "libsodium.dll" from the program's own folder (no other location is searched).
bool VerifyDetachedSignature(const std::vector<uint8_t>& message, const std::vector<uint8_t>& signature,
                             const std::vector<uint8_t>& publicKey);
