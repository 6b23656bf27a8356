#include "core/data_dir.h"

#include <windows.h>
#include <bcrypt.h>
#include <wincred.h>

#include <fstream>
#include <sstream>
#include <stdexcept>
#include <system_error>
#include <vector>

namespace fs = std::filesystem;

const wchar_t kSavedLoginTarget[] = L"Brisko.Pemmet.Login";

namespace {

constexpr wchar_t kDataFolderName[] = L"Briskodesk";
constexpr wchar_t kDeviceIdFile[] = L"device-id.txt";
constexpr wchar_t kPrivacyMarkerFile[] = L"privacy-and-terms-v3.accepted";

std::wstring ReadEnvironment(const wchar_t* name) {
    std::vector<wchar_t> buffer(MAX_PATH);
    for (;;) {
        DWORD length = GetEnvironmentVariableW(name, buffer.data(), static_cast<DWORD>(buffer.size()));
        if (length == 0) return {};
        if (length < buffer.size()) return std::wstring(buffer.data(), length);
        buffer.resize(length);  // too small: `length` is the size needed, terminator included
    }
}

// The first whitespace-delimited token of a file opened in text mode; "" when it cannot be read.
std::string ReadFirstToken(const fs::path& file) {
    std::ifstream in(file);
    std::string token;
    if (in) in >> token;
    return token;
}

}  // namespace

fs::path GetDataDirectory() {
    const std::wstring appData = ReadEnvironment(L"APPDATA");
    fs::path base = appData.empty() ? fs::temp_directory_path() : fs::path(appData);
    fs::path directory = base / kDataFolderName;
    std::error_code error;
    fs::create_directories(directory, error);
    if (error) throw fs::filesystem_error("create_directories", directory, error);
    return directory;
}

std::string FirstToken(const std::string& text) {
    std::istringstream in(text);
    std::string token;
    in >> token;
    return token;
}

bool IsUsableDeviceId(const std::string& token) { return token.size() >= 32; }

bool IsAcceptanceMarker(const std::string& token) { return token == "accepted"; }

std::string FormatDeviceId(const unsigned char (&bytes)[16]) {
    static const char kHex[] = "0123456789abcdef";
    std::string id;
    for (unsigned char b : bytes) {
        id.push_back(kHex[b >> 4]);
        id.push_back(kHex[b & 0x0F]);
    }
    return id;
}

std::string LoadOrCreateDeviceId() {
    const fs::path file = GetDataDirectory() / kDeviceIdFile;
    std::string token = ReadFirstToken(file);
    if (IsUsableDeviceId(token)) return token;

    // An id that was not made from real randomness, or that could not be kept, must not be used: a
    // new one at every start would look like a new device each time, and a developer account bound to
    // its first device would be refused from then on.
    unsigned char bytes[16] = {};
    if (!BCRYPT_SUCCESS(BCryptGenRandom(nullptr, bytes, sizeof bytes, BCRYPT_USE_SYSTEM_PREFERRED_RNG)))
        throw std::runtime_error("BCryptGenRandom failed for the device id");
    std::string id = FormatDeviceId(bytes);
    std::ofstream out(file, std::ios::trunc);
    out << id;
    out.close();
    if (!out || ReadFirstToken(file) != id)
        throw fs::filesystem_error("write device id", file, std::make_error_code(std::errc::io_error));
    return id;
}

bool IsPrivacyAccepted() { return IsAcceptanceMarker(ReadFirstToken(GetDataDirectory() / kPrivacyMarkerFile)); }

void RecordPrivacyAcceptance() {
    std::ofstream out(GetDataDirectory() / kPrivacyMarkerFile, std::ios::trunc);
    if (out) out << "accepted\n";
}

int RunUninstallCleanup() {
    CredDeleteW(kSavedLoginTarget, CRED_TYPE_GENERIC, 0);
    fs::path directory;
    try {
        directory = GetDataDirectory();
    } catch (const fs::filesystem_error&) {
        return 1;
    }
    if (directory.filename() != fs::path(kDataFolderName)) return 0;
    std::error_code error;
    fs::remove_all(directory, error);
    return error ? 1 : 0;
}
