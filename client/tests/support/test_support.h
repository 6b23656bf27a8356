// Helpers shared by the client's test programs.
#pragma once

#include <windows.h>

#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

// The reference service started by the test run ("ORVANE_TEST_ENDPOINT"); empty when not set.
std::wstring TestServiceEndpoint();
// Host and port of the service's SNTP responder ("ORVANE_TEST_SNTP").
std::string TestSntpHost();
uint16_t TestSntpPort();

// A file of the repository's shared test data folder (read by the service's tests too), as this
// program reaches it through the prefix's drive for the host's root.
std::filesystem::path SharedTestDataFile(const char* name);

// The folder of the running test program (where Orvane.exe and libsodium.dll are built).
std::filesystem::path ProgramFolder();

// A fresh empty folder under the temporary directory, removed again when the object goes away.
class TempFolder {
public:
    TempFolder();
    ~TempFolder();
    TempFolder(const TempFolder&) = delete;
    TempFolder& operator=(const TempFolder&) = delete;
    const std::filesystem::path& path() const { return path_; }

private:
    std::filesystem::path path_;
};

// Sets an environment variable for this process for one scope and restores the old value.
class ScopedEnvironment {
public:
    ScopedEnvironment(const wchar_t* name, const std::wstring& value);
    ~ScopedEnvironment();
    ScopedEnvironment(const ScopedEnvironment&) = delete;
    ScopedEnvironment& operator=(const ScopedEnvironment&) = delete;

private:
    std::wstring name_;
    std::wstring old_;
    bool hadOld_;
};

// Makes a program of this suite the one that opens https addresses in the prefix, and puts back what
// was there before when it goes.
class HttpsHandler {
public:
    explicit HttpsHandler(const std::filesystem::path& program);
    ~HttpsHandler();
    HttpsHandler(const HttpsHandler&) = delete;
    HttpsHandler& operator=(const HttpsHandler&) = delete;
    bool Set() const { return set_; }

private:
    static constexpr wchar_t kKey[] = L"https\\shell\\open\\command";
    HKEY key_ = nullptr;
    bool had_ = false, set_ = false;
    DWORD type_ = REG_SZ;
    std::vector<BYTE> saved_;
};

// Runs a program to its end (or until the time-out), with the given environment overrides.
struct ProcessResult {
    bool started = false;
    bool finished = false;
    DWORD exitCode = 0;
};
ProcessResult RunProgram(const std::filesystem::path& program, const std::wstring& arguments,
                         DWORD timeoutMs = 60000);

// A started program, for runs that open a window: ended by force when the object goes away and the
// program is still running.
class RunningProgram {
public:
    RunningProgram(const std::filesystem::path& program, const std::wstring& arguments);
    ~RunningProgram();
    RunningProgram(const RunningProgram&) = delete;
    RunningProgram& operator=(const RunningProgram&) = delete;
    bool started() const { return started_; }
    DWORD id() const { return process_.dwProcessId; }
    // Waits for the end; false on time-out (the program keeps running).
    bool WaitExit(DWORD timeoutMs, DWORD& exitCode);
    bool Exited() const;
    void Terminate();

private:
    PROCESS_INFORMATION process_{};
    bool started_ = false;
};

// The top-level window of class `className` (and, when given, that caption) that belongs to process
// `processId`, or null.
HWND FindTopLevelWindowOf(DWORD processId, const wchar_t* className, bool visibleOnly,
                          const wchar_t* caption = nullptr);

// Pumps this thread's messages until `done` returns true or the time-out passes; returns done().
bool PumpUntil(const std::function<bool()>& done, DWORD timeoutMs = 10000);

// Reads a whole file as bytes (empty when it cannot be read) and writes one.
std::string ReadFileBytes(const std::filesystem::path& file);
void WriteFileBytes(const std::filesystem::path& file, const std::string& bytes);

// The saved-login entry ("Brisko.Pemmet.Login") as the Credential Manager holds it.
struct RawSavedLogin {
    bool found = false;
    std::wstring targetName;
    std::wstring user;
    std::vector<unsigned char> blob;
    DWORD type = 0, persist = 0, flags = 0, attributeCount = 0;
};
RawSavedLogin ReadRawSavedLogin();
// Writes the entry with arbitrary contents, as another program could (a null user name is left out).
// Any older entry is deleted first: an entry written over an old one may keep the old user name under
// wine.
bool WriteRawSavedLogin(const wchar_t* user, const std::vector<unsigned char>& blob);
// Writes the entry as the program would (UTF-16 password without terminator).
bool WriteSavedLoginForTest(const std::wstring& user, const std::wstring& password);
bool SavedLoginExists();
// The UTF-16 code units of a text as bytes.
std::vector<unsigned char> Utf16Bytes(const std::wstring& text);

// GDI objects in use: those the program's holders own, and the system's count where it keeps one
// (GetGuiResources answers 0 under wine).
struct GdiUsage {
    long holders = 0;
    DWORD system = 0;
    bool operator==(const GdiUsage&) const = default;
};
GdiUsage GdiUsageNow();
