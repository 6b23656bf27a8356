// The saved login: one generic Credential Manager entry ("Brisko.Pemmet.Login") holding the account
// name as typed and the password as UTF-16 code units without terminator.
#pragma once

#include <cstddef>
#include <string>

struct SavedLogin {
    std::wstring userName;
    std::wstring password;  // the caller wipes it (SecureWipe) as soon as it has been used
    bool found = false;
};

// Reads the entry. A missing entry, an empty user name, or a blob that is absent, empty or of odd
// length count as "not found".
SavedLogin ReadSavedLogin();

// Writes (or replaces) the entry; false without writing when either text is empty, or when the
// Credential Manager refuses it.
bool WriteSavedLogin(const std::wstring& userName, const std::wstring& password);

// Removes the entry; succeeds silently when there is none.
void DeleteSavedLogin();

// The rule applied to an entry's contents: the password decoded from the blob (empty unless the
// blob is present with a non-zero even size) and whether the entry counts as found.
SavedLogin InterpretSavedLogin(const wchar_t* userName, const unsigned char* blob, size_t blobSize);
