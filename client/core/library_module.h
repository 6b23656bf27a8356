// The signature library, loaded by full path from the program's own folder for each use.
#pragma once

#include <string>

#include "core/holders.h"

// "<folder of the running executable>\libsodium.dll", or empty when the program's own path cannot
// be read. No other location is ever searched.
std::wstring SignatureLibraryPath();

// Loads a library from an absolute path (drive letter or UNC). Anything else — an empty path, a bare
// file name, a relative path — loads nothing, so the system's search order is never consulted.
ScopedModule LoadLibraryAt(const std::wstring& absolutePath);

// Whether `path` is absolute in the Windows sense ("C:\…", "\\server\…", "\\?\…").
bool IsAbsoluteWindowsPath(const std::wstring& path);
