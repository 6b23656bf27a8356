// The per-user data directory (<APPDATA>\Briskodesk) and its small files.
#pragma once

#include <filesystem>
#include <string>

// The Credential Manager entry (generic) that keeps the saved login.
extern const wchar_t kSavedLoginTarget[];

// Creates the directory (and missing parents) on every call. Throws std::filesystem::filesystem_error
// naming "temp_directory_path" or "create_directories" when that fails.
std::filesystem::path GetDataDirectory();

// The device id kept in "device-id.txt": 32 lower-case hexadecimal digits, made on first use. Throws
// (std::runtime_error or a filesystem error) when no random id can be made or the new id cannot be
// written and read back; an id that is not kept is never handed out.
std::string LoadOrCreateDeviceId();

// Whether "privacy-and-terms-v3.accepted" starts with the word "accepted".
bool IsPrivacyAccepted();
void RecordPrivacyAcceptance();

// Deletes the saved login credential and the data directory; 0 when no error was reported, else 1.
int RunUninstallCleanup();

// The first whitespace-delimited token of a text (what the small files are read as).
std::string FirstToken(const std::string& text);
// The rules applied to the files' first tokens.
bool IsUsableDeviceId(const std::string& token);
bool IsAcceptanceMarker(const std::string& token);
// 16 bytes as 32 lower-case hexadecimal digits.
std::string FormatDeviceId(const unsigned char (&bytes)[16]);
