#include "support/test_support.h"

#include <cstring>
#include <fstream>
#include <sstream>
#include <vector>

#include <bcrypt.h>
#include <wincred.h>

#include "core/data_dir.h"
#include "core/holders.h"
#include "net/json_text.h"

namespace fs = std::filesystem;

namespace {

std::wstring Environment(const wchar_t* name) {
    wchar_t buffer[1024] = {};
    DWORD length = GetEnvironmentVariableW(name, buffer, 1024);
    return length && length < 1024 ? std::wstring(buffer, length) : std::wstring();
}

}  // namespace

std::wstring TestServiceEndpoint() { return Environment(L"ORVANE_TEST_ENDPOINT"); }

std::string TestSntpHost() {
    std::string value = Utf16ToUtf8(Environment(L"ORVANE_TEST_SNTP"));
    return value.substr(0, value.rfind(':'));
}

uint16_t TestSntpPort() {
    std::string value = Utf16ToUtf8(Environment(L"ORVANE_TEST_SNTP"));
    size_t colon = value.rfind(':');
    return colon == std::string::npos ? 0 : static_cast<uint16_t>(std::stoi(value.substr(colon + 1)));
}

fs::path SharedTestDataFile(const char* name) {
    std::wstring path = L"Z:" + Utf8ToUtf16(ORVANE_SHARED_TEST_DATA) + L"/" + Utf8ToUtf16(name);
    for (wchar_t& c : path)
        if (c == L'/') c = L'\\';
    return fs::path(path);
}

fs::path ProgramFolder() {
    wchar_t buffer[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, buffer, MAX_PATH);
    return fs::path(buffer).parent_path();
}

namespace {

// Removes a folder tree with the wide Win32 calls on "\\?\" paths, so that it also goes below paths
// longer than MAX_PATH (which the standard library's removal cannot reach here).
void RemoveLongTree(const std::wstring& folder) {
    WIN32_FIND_DATAW entry;
    HANDLE search = FindFirstFileW((folder + L"\\*").c_str(), &entry);
    if (search != INVALID_HANDLE_VALUE) {
        do {
            const std::wstring name = entry.cFileName;
            if (name == L"." || name == L"..") continue;
            const std::wstring child = folder + L"\\" + name;
            if (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
                RemoveLongTree(child);
            } else {
                SetFileAttributesW(child.c_str(), FILE_ATTRIBUTE_NORMAL);
                DeleteFileW(child.c_str());
            }
        } while (FindNextFileW(search, &entry));
        FindClose(search);
    }
    RemoveDirectoryW(folder.c_str());
}

void RemoveTree(const fs::path& folder) { RemoveLongTree(L"\\\\?\\" + fs::absolute(folder).wstring()); }

}  // namespace

TempFolder::TempFolder() {
    // Process ids repeat across runs (under wine they are small numbers), so the name also carries
    // random bits: a folder left behind by an earlier run is never reused.
    unsigned char random[8] = {};
    BCryptGenRandom(nullptr, random, sizeof random, BCRYPT_USE_SYSTEM_PREFERRED_RNG);
    wchar_t name[80];
    static LONG counter = 0;
    swprintf(name, 80, L"orvane-test-%lu-%ld-%02x%02x%02x%02x%02x%02x%02x%02x", GetCurrentProcessId(),
             InterlockedIncrement(&counter), random[0], random[1], random[2], random[3], random[4], random[5],
             random[6], random[7]);
    path_ = fs::temp_directory_path() / name;
    fs::create_directories(path_);
}

TempFolder::~TempFolder() { RemoveTree(path_); }

ScopedEnvironment::ScopedEnvironment(const wchar_t* name, const std::wstring& value) : name_(name) {
    wchar_t buffer[32768];
    DWORD length = GetEnvironmentVariableW(name, buffer, 32768);
    hadOld_ = length > 0 || GetLastError() != ERROR_ENVVAR_NOT_FOUND;
    old_.assign(buffer, length);
    SetEnvironmentVariableW(name, value.c_str());
}

ScopedEnvironment::~ScopedEnvironment() { SetEnvironmentVariableW(name_.c_str(), hadOld_ ? old_.c_str() : nullptr); }

RunningProgram::RunningProgram(const fs::path& program, const std::wstring& arguments) {
    std::wstring commandLine = L"\"" + program.wstring() + L"\" " + arguments;
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    started_ = CreateProcessW(program.wstring().c_str(), commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr,
                              nullptr, &startup, &process_) != FALSE;
}

RunningProgram::~RunningProgram() {
    if (!started_) return;
    Terminate();
    CloseHandle(process_.hThread);
    CloseHandle(process_.hProcess);
}

bool RunningProgram::WaitExit(DWORD timeoutMs, DWORD& exitCode) {
    if (!started_ || WaitForSingleObject(process_.hProcess, timeoutMs) != WAIT_OBJECT_0) return false;
    GetExitCodeProcess(process_.hProcess, &exitCode);
    return true;
}

bool RunningProgram::Exited() const {
    return started_ && WaitForSingleObject(process_.hProcess, 0) == WAIT_OBJECT_0;
}

void RunningProgram::Terminate() {
    if (started_ && !Exited()) {
        TerminateProcess(process_.hProcess, 255);
        WaitForSingleObject(process_.hProcess, 5000);
    }
}

ProcessResult RunProgram(const fs::path& program, const std::wstring& arguments, DWORD timeoutMs) {
    ProcessResult result;
    RunningProgram running(program, arguments);
    if (!running.started()) return result;
    result.started = true;
    result.finished = running.WaitExit(timeoutMs, result.exitCode);
    if (!result.finished) {
        running.Terminate();
        running.WaitExit(0, result.exitCode);
    }
    return result;
}

HWND FindTopLevelWindowOf(DWORD processId, const wchar_t* className, bool visibleOnly, const wchar_t* caption) {
    struct Search {
        DWORD processId;
        const wchar_t* className;
        bool visibleOnly;
        const wchar_t* caption;
        HWND found;
    } search{processId, className, visibleOnly, caption, nullptr};
    EnumWindows(
        [](HWND window, LPARAM parameter) -> BOOL {
            auto* s = reinterpret_cast<Search*>(parameter);
            DWORD owner = 0;
            GetWindowThreadProcessId(window, &owner);
            wchar_t name[128] = {};
            GetClassNameW(window, name, 128);
            wchar_t title[256] = {};
            if (s->caption) GetWindowTextW(window, title, 256);
            if (owner == s->processId && std::wstring(name) == s->className &&
                (!s->visibleOnly || IsWindowVisible(window)) && (!s->caption || std::wstring(title) == s->caption)) {
                s->found = window;
                return FALSE;
            }
            return TRUE;
        },
        reinterpret_cast<LPARAM>(&search));
    return search.found;
}

bool PumpUntil(const std::function<bool()>& done, DWORD timeoutMs) {
    const ULONGLONG deadline = GetTickCount64() + timeoutMs;
    while (!done()) {
        if (GetTickCount64() >= deadline) return done();
        MSG message;
        while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
            TranslateMessage(&message);
            DispatchMessageW(&message);
        }
        MsgWaitForMultipleObjects(0, nullptr, FALSE, 10, QS_ALLINPUT);
    }
    return true;
}

std::string ReadFileBytes(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    std::ostringstream bytes;
    if (in) bytes << in.rdbuf();
    return bytes.str();
}

void WriteFileBytes(const fs::path& file, const std::string& bytes) {
    std::ofstream out(file, std::ios::binary | std::ios::trunc);
    out << bytes;
}

RawSavedLogin ReadRawSavedLogin() {
    RawSavedLogin raw;
    PCREDENTIALW entry = nullptr;
    if (!CredReadW(kSavedLoginTarget, CRED_TYPE_GENERIC, 0, &entry)) return raw;
    raw.found = true;
    raw.targetName = entry->TargetName ? entry->TargetName : L"";
    raw.user = entry->UserName ? entry->UserName : L"";
    raw.blob.assign(entry->CredentialBlob, entry->CredentialBlob + entry->CredentialBlobSize);
    raw.type = entry->Type;
    raw.persist = entry->Persist;
    raw.flags = entry->Flags;
    raw.attributeCount = entry->AttributeCount;
    CredFree(entry);
    return raw;
}

bool WriteRawSavedLogin(const wchar_t* user, const std::vector<unsigned char>& blob) {
    CredDeleteW(kSavedLoginTarget, CRED_TYPE_GENERIC, 0);
    std::wstring target = kSavedLoginTarget;
    std::wstring userCopy = user ? user : L"";
    std::vector<unsigned char> bytes = blob;
    CREDENTIALW credential{};
    credential.Type = CRED_TYPE_GENERIC;
    credential.TargetName = target.data();
    credential.CredentialBlobSize = static_cast<DWORD>(bytes.size());
    credential.CredentialBlob = bytes.empty() ? nullptr : bytes.data();
    credential.Persist = CRED_PERSIST_LOCAL_MACHINE;
    credential.UserName = user ? userCopy.data() : nullptr;
    return CredWriteW(&credential, 0) == TRUE;
}

bool WriteSavedLoginForTest(const std::wstring& user, const std::wstring& password) {
    return WriteRawSavedLogin(user.c_str(), Utf16Bytes(password));
}

bool SavedLoginExists() { return ReadRawSavedLogin().found; }

std::vector<unsigned char> Utf16Bytes(const std::wstring& text) {
    std::vector<unsigned char> bytes(text.size() * sizeof(wchar_t));
    if (!bytes.empty()) std::memcpy(bytes.data(), text.data(), bytes.size());
    return bytes;
}

GdiUsage GdiUsageNow() { return {LiveGdiHolderCount(), GetGuiResources(GetCurrentProcess(), GR_GDIOBJECTS)}; }

HttpsHandler::HttpsHandler(const std::filesystem::path& program) {
    if (RegCreateKeyExW(HKEY_CLASSES_ROOT, kKey, 0, nullptr, 0, KEY_READ | KEY_WRITE, nullptr, &key_, nullptr) !=
        ERROR_SUCCESS)
        return;
    DWORD type = 0, size = 0;
    if (RegQueryValueExW(key_, nullptr, nullptr, &type, nullptr, &size) == ERROR_SUCCESS) {
        had_ = true;
        type_ = type;
        saved_.resize(size);
        RegQueryValueExW(key_, nullptr, nullptr, &type, saved_.data(), &size);
    }
    const std::wstring command = L"\"" + program.wstring() + L"\" \"%1\"";
    set_ = RegSetValueExW(key_, nullptr, 0, REG_SZ, reinterpret_cast<const BYTE*>(command.c_str()),
                          static_cast<DWORD>((command.size() + 1) * sizeof(wchar_t))) == ERROR_SUCCESS;
}

HttpsHandler::~HttpsHandler() {
    if (!key_) return;
    if (had_) RegSetValueExW(key_, nullptr, 0, type_, saved_.data(), static_cast<DWORD>(saved_.size()));
    else RegDeleteValueW(key_, nullptr);
    RegCloseKey(key_);
}
