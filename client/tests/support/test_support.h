// Helpers shared by the client's test programs.
#pragma once

#include <windows.h>

#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>

// The reference service started by the test run ("ORVANE_TEST_ENDPOINT"); empty when not set.
std::wstring TestServiceEndpoint();
// Host and port of the service's SNTP responder ("ORVANE_TEST_SNTP").
std::string TestSntpHost();
uint16_t TestSntpPort();

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

// Runs a program to its end (or until the time-out), with the given environment overrides.
struct ProcessResult {
    bool started = false;
    bool finished = false;
    DWORD exitCode = 0;
};
ProcessResult RunProgram(const std::filesystem::path& program, const std::wstring& arguments,
                         DWORD timeoutMs = 60000);

// Pumps this thread's messages until `done` returns true or the time-out passes; returns done().
bool PumpUntil(const std::function<bool()>& done, DWORD timeoutMs = 10000);

// Reads a whole file as bytes (empty when it cannot be read) and writes one.
std::string ReadFileBytes(const std::filesystem::path& file);
void WriteFileBytes(const std::filesystem::path& file, const std::string& bytes);

// Writes a saved-login entry ("Brisko.Pemmet.Login") as the program would, and tells whether one exists.
bool WriteSavedLoginForTest(const std::wstring& user, const std::wstring& password);
bool SavedLoginExists();

// GDI objects in use: those the program's holders own, and the system's count where it keeps one
// (GetGuiResources answers 0 under wine).
struct GdiUsage {
    long holders = 0;
    DWORD system = 0;
    bool operator==(const GdiUsage&) const = default;
};
GdiUsage GdiUsageNow();
