// Which program owns the window at a screen point, and the SHA-256 of its executable: the identity
// the blacklist check and the signed click instruction are bound to.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>

struct TargetIdentity {
    bool identified = false;        // both the executable's path and its hash were obtained
    std::wstring executable_name;   // last path component, e.g. "notepad.exe"
    std::string executable_sha256;  // 64 lower-case hex digits
    std::wstring executable_path;   // the full path the process runs from
    DWORD processId = 0;            // the process that owns the window at the point
};

// The top-level window under a screen point and the program it belongs to.
struct PointOwner {
    HWND root = nullptr;           // null when there is no window at all
    DWORD processId = 0;
    std::wstring executablePath;   // empty when the process cannot be asked (elevated, protected, gone)
};
// The window under `point` (the shell's window when there is none) and its process.
PointOwner PointOwnerAt(POINT point);

// Whom a click at the point would reach, against the program confirmed at the pick.
enum class PointOwnerVerdict {
    Target,        // a process running from the confirmed program's path
    OwnWindow,     // a window of this program
    OtherProgram,  // anything else, also a process that cannot be asked
};
// Paths compare as Windows compares file names: without regard to letter case.
PointOwnerVerdict JudgePointOwner(DWORD ownerProcessId, const std::wstring& ownerPath, DWORD ownProcessId,
                                  const std::wstring& targetPath);

// The program of the top-level window under `point` (the shell's window when there is none). Elevated,
// protected or vanished processes and unreadable files are not identified. Runs on the user-interface
// thread and takes as long as hashing the executable takes.
TargetIdentity IdentifyTargetAt(POINT point);

// SHA-256 of the file's bytes as 64 lower-case hex digits, or "" when the file cannot be opened or a
// read fails part-way (a hash of the part read so far is never returned). Long paths are opened in
// their "\\?\" form.
std::string HashFileSha256(const std::wstring& path);

// SHA-256 of bytes in memory, the same way: 64 lower-case hex digits, or "" when hashing fails.
std::string HashBytesSha256(const std::string& bytes);

// The size of one read while hashing.
inline constexpr DWORD kHashChunkBytes = 1024 * 1024;

// ---- path text ---------------------------------------------------------------------------------

// The characters after the last "\" or "/" that follows the root (drive, UNC share, "\\?\" forms).
std::wstring ExecutableNameFromPath(const std::wstring& path);

// The "\\?\" (or "\\?\UNC\") form of an absolute path, which the file functions take beyond 260
// characters; slashes become back-slashes, as that form takes names literally. Other paths, and
// paths already in a device form, come back unchanged.
std::wstring LongPathForm(const std::wstring& absolutePath);

// The file name without its last extension ("Tool.v2.exe" → "Tool.v2").
std::wstring PathStem(const std::wstring& fileName);
