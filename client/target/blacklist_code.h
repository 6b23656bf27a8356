// The developer's blacklist code: a small record describing the chosen program, sealed for the
// service with an anonymous sealed box (libsodium) addressed to the service's key, put on the
// clipboard as "QVTR1." + Base64 for an administrator to import. Nothing is sent to the service.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>

// What the code is built from: the session, the program picked for the form and its two fields.
struct BlacklistCodeInputs {
    bool loggedIn = false;
    bool developer = false;
    std::string signPublicKey;  // Base64 of the service's Ed25519 key
    int64_t userId = 0;
    std::wstring executableName;
    std::string executableSha256;
    std::wstring displayName;  // the whole text of softwareNameEdit
    std::wstring reason;       // the whole text of blacklistReasonEdit
};

// Why a code cannot be made: the caption and text of the warning box; empty caption when it can.
struct BlacklistCodeRefusal {
    std::wstring caption;
    std::wstring text;
};
BlacklistCodeRefusal CheckBlacklistCodeInputs(const BlacklistCodeInputs& inputs);

// The record as UTF-8 JSON, keys in their fixed order, `expiresAtMs` seven days after `issuedAtMs`.
std::string BuildBlacklistRecord(const BlacklistCodeInputs& inputs, int64_t issuedAtMs);

// "QVTR1." + Base64 of the sealed box of `plaintext` for the Ed25519 key `keyBase64` (converted to
// X25519), or "" on any failure: no or an incomplete library, a key that is not 32 bytes or not a
// valid point, empty plaintext. The library is loaded from `libraryPath` for this one call.
std::string SealForServiceWithLibrary(const std::wstring& libraryPath, const std::string& plaintext,
                                      const std::string& keyBase64);
// The same with libsodium.dll from the program's own folder.
std::string SealForService(const std::string& plaintext, const std::string& keyBase64);

// The inputs as the button reads them: the session, the program picked for the form, the two fields.
BlacklistCodeInputs ReadBlacklistCodeInputs();

// The button "生成并复制名单码": reads the inputs, checks them, seals the record and copies the code,
// telling the user the outcome in a message box. User-interface thread.
void GenerateBlacklistCode();
