#include "tasks/click_instruction.h"

#include "core/library_module.h"

bool VerifyDetachedSignatureWithLibrary(const std::wstring& libraryPath, const std::vector<uint8_t>& message,
                                        const std::vector<uint8_t>& signature,
                                        const std::vector<uint8_t>& publicKey) {
    ScopedModule library = LoadLibraryAt(libraryPath);
    if (!library) return false;
    SignatureEntryPoints entries;
    entries.sodiumInit = library.Find<decltype(entries.sodiumInit)>("sodium_init");
    entries.verifyDetached = library.Find<decltype(entries.verifyDetached)>("crypto_sign_verify_detached");
    return VerifyWithEntryPoints(entries, message, signature, publicKey);
}

bool VerifyDetachedSignature(const std::vector<uint8_t>& message, const std::vector<uint8_t>& signature,
                             const std::vector<uint8_t>& publicKey) {
    return VerifyDetachedSignatureWithLibrary(SignatureLibraryPath(), message, signature, publicKey);
}
