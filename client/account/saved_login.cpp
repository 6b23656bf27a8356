#include "account/saved_login.h"

#include <windows.h>
#include <wincred.h>

#include <algorithm>
#include <cstring>

#include "core/data_dir.h"
#include "core/holders.h"

SavedLogin InterpretSavedLogin(const wchar_t* userName, const unsigned char* blob, size_t blobSize) {
    SavedLogin saved;
    if (userName) saved.userName = userName;
    if (blob && blobSize > 0 && blobSize % 2 == 0) {
        saved.password.reserve(std::max<size_t>(blobSize / 2, 32));  // never inside the object itself
        saved.password.resize(blobSize / 2);
        std::memcpy(saved.password.data(), blob, blobSize);
    }
    saved.found = !saved.userName.empty() && !saved.password.empty();
    if (!saved.found) SecureWipe(saved.password);
    return saved;
}

SavedLogin ReadSavedLogin() {
    ScopedCredential credential;
    if (!CredReadW(kSavedLoginTarget, CRED_TYPE_GENERIC, 0, credential.out()) || !credential.get()) return {};
    CREDENTIALW* entry = credential.get();
    SavedLogin saved = InterpretSavedLogin(entry->UserName, entry->CredentialBlob, entry->CredentialBlobSize);
    // The system's copy of the password is freed with the credential; wipe it first.
    if (entry->CredentialBlob && entry->CredentialBlobSize) SecureZeroMemory(entry->CredentialBlob, entry->CredentialBlobSize);
    return saved;
}

bool WriteSavedLogin(const std::wstring& userName, const std::wstring& password) {
    if (userName.empty() || password.empty()) return false;
    // CredWriteW takes non-const pointers but does not change the texts; private copies keep the
    // caller's strings untouched and are wiped afterwards.
    std::wstring user = userName;
    std::wstring secret = password;
    WipeOnExit<std::wstring> wipeSecret(secret);
    std::wstring target = kSavedLoginTarget;

    CREDENTIALW credential{};
    credential.Flags = 0;
    credential.Type = CRED_TYPE_GENERIC;
    credential.TargetName = target.data();
    credential.CredentialBlobSize = static_cast<DWORD>(secret.size() * sizeof(wchar_t));
    credential.CredentialBlob = reinterpret_cast<LPBYTE>(secret.data());
    credential.Persist = CRED_PERSIST_LOCAL_MACHINE;
    credential.UserName = user.data();
    return CredWriteW(&credential, 0) == TRUE;
}

void DeleteSavedLogin() { CredDeleteW(kSavedLoginTarget, CRED_TYPE_GENERIC, 0); }
