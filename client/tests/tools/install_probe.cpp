// install-probe COMMAND ...: looks at an installed 澄序 Orvane from inside Windows for the install test
// (scripts/test-install). Answers are UTF-8 lines "name=value" on standard output; the exit code is 0
// when the thing asked for is there and as expected, 1 when it is not, 2 on a usage error.
//
//   folders                     the shell folders the installer writes to
//   entry KEY                   the values of the programs-list entry HKLM\...\Uninstall\KEY (64-bit view)
//   shortcut LINK               the target, arguments and working folder of a shortcut
//   version EXE                 the version resource texts of a program
//   login save|check            writes a saved login as the program does / tells whether one exists
//   launch LINK                 starts the shortcut's target as the shell would and waits for its window
//   close PID                   closes that program's main window and waits for it to end (its exit code)
//   hold FILE RELEASE           keeps FILE open (no delete sharing) until the file RELEASE appears
//   run COMMAND-LINE            runs a command line exactly as given and prints its exit code
//   quiet-uninstall KEY         the same with the entry's QuietUninstallString
//   started NAME                waits up to 30 s for a process of that file name with a visible main
//                               window; its id and the file name of the process that started it (seen
//                               at any time while waiting)
#include <windows.h>
#include <objbase.h>
#include <shlobj.h>
#include <shobjidl.h>
#include <tlhelp32.h>

#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "support/test_support.h"

namespace {

const wchar_t kMainWindowClass[] = L"BriskodeskMain";
const wchar_t kMainWindowTitle[] = L"澄序 Orvane";

std::string Utf8(const std::wstring& text) {
    if (text.empty()) return {};
    const int size = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0,
                                         nullptr, nullptr);
    std::string out(static_cast<size_t>(size), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), size, nullptr,
                        nullptr);
    return out;
}

void Print(const std::wstring& name, const std::wstring& value) {
    const std::string line = Utf8(name) + "=" + Utf8(value) + "\n";
    DWORD written = 0;
    WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
}

int Fail(const std::wstring& message) {
    const std::string line = "install-probe: " + Utf8(message) + "\n";
    DWORD written = 0;
    WriteFile(GetStdHandle(STD_ERROR_HANDLE), line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
    return 1;
}

std::wstring KnownFolder(REFKNOWNFOLDERID id) {
    PWSTR path = nullptr;
    std::wstring result;
    if (SUCCEEDED(SHGetKnownFolderPath(id, 0, nullptr, &path))) result = path;
    CoTaskMemFree(path);
    return result;
}

int Folders() {
    Print(L"programfiles", KnownFolder(FOLDERID_ProgramFiles));
    Print(L"startmenu", KnownFolder(FOLDERID_CommonPrograms));
    Print(L"desktop", KnownFolder(FOLDERID_PublicDesktop));
    Print(L"appdata", KnownFolder(FOLDERID_RoamingAppData));
    return 0;
}

std::wstring UninstallKey(const std::wstring& key) {
    return L"Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\" + key;
}

int Entry(const std::wstring& key) {
    HKEY handle = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, UninstallKey(key).c_str(), 0, KEY_READ | KEY_WOW64_64KEY, &handle) !=
        ERROR_SUCCESS)
        return Fail(L"no programs-list entry " + key);
    for (DWORD index = 0;; ++index) {
        wchar_t name[256];
        DWORD nameLength = 256, type = 0, size = 0;
        if (RegEnumValueW(handle, index, name, &nameLength, nullptr, &type, nullptr, &size) != ERROR_SUCCESS) break;
        std::vector<BYTE> data(size + sizeof(wchar_t));
        nameLength = 256;
        RegEnumValueW(handle, index, name, &nameLength, nullptr, &type, data.data(), &size);
        if (type == REG_SZ || type == REG_EXPAND_SZ) {
            Print(name, reinterpret_cast<const wchar_t*>(data.data()));
        } else if (type == REG_DWORD) {
            DWORD value = 0;
            memcpy(&value, data.data(), sizeof value);
            Print(name, L"dword:" + std::to_wstring(value));
        } else {
            Print(name, L"type:" + std::to_wstring(type));
        }
    }
    RegCloseKey(handle);
    return 0;
}

struct Link {
    std::wstring target, arguments, workingFolder, icon;
    int iconIndex = 0;
};

bool ReadLink(const std::wstring& file, Link& link) {
    IShellLinkW* shellLink = nullptr;
    if (FAILED(CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER, IID_IShellLinkW,
                                reinterpret_cast<void**>(&shellLink))))
        return false;
    IPersistFile* persist = nullptr;
    bool ok = SUCCEEDED(shellLink->QueryInterface(IID_IPersistFile, reinterpret_cast<void**>(&persist))) &&
              SUCCEEDED(persist->Load(file.c_str(), STGM_READ));
    if (ok) {
        wchar_t buffer[MAX_PATH * 2] = {};
        // The item list holds the target's full Unicode name, as the shell resolves it; the plain
        // path beside it is kept in the ANSI code page and loses characters outside it.
        PIDLIST_ABSOLUTE items = nullptr;
        ok = SUCCEEDED(shellLink->GetIDList(&items)) && items && SHGetPathFromIDListW(items, buffer);
        CoTaskMemFree(items);
        link.target = buffer;
        buffer[0] = 0;
        shellLink->GetArguments(buffer, MAX_PATH * 2);
        link.arguments = buffer;
        buffer[0] = 0;
        shellLink->GetWorkingDirectory(buffer, MAX_PATH * 2);
        link.workingFolder = buffer;
        buffer[0] = 0;
        shellLink->GetIconLocation(buffer, MAX_PATH * 2, &link.iconIndex);
        link.icon = buffer;
    }
    if (persist) persist->Release();
    shellLink->Release();
    return ok;
}

int Shortcut(const std::wstring& file) {
    Link link;
    if (!ReadLink(file, link)) return Fail(L"cannot read the shortcut " + file);
    Print(L"target", link.target);
    Print(L"arguments", link.arguments);
    Print(L"workdir", link.workingFolder);
    Print(L"icon", link.icon + L"," + std::to_wstring(link.iconIndex));
    return 0;
}

int Version(const std::wstring& program) {
    DWORD ignored = 0;
    const DWORD size = GetFileVersionInfoSizeW(program.c_str(), &ignored);
    if (size == 0) return Fail(L"no version resource in " + program);
    std::vector<BYTE> data(size);
    if (!GetFileVersionInfoW(program.c_str(), 0, size, data.data())) return Fail(L"cannot read " + program);
    struct Translation {
        WORD language, codePage;
    }* translation = nullptr;
    UINT length = 0;
    if (!VerQueryValueW(data.data(), L"\\VarFileInfo\\Translation", reinterpret_cast<void**>(&translation),
                        &length) ||
        length < sizeof(Translation))
        return Fail(L"no translation in the version resource of " + program);
    wchar_t block[32];
    swprintf(block, 32, L"\\StringFileInfo\\%04x%04x\\", translation->language, translation->codePage);
    for (const wchar_t* name : {L"ProductName", L"CompanyName", L"ProductVersion", L"FileVersion"}) {
        wchar_t* value = nullptr;
        if (VerQueryValueW(data.data(), (std::wstring(block) + name).c_str(), reinterpret_cast<void**>(&value),
                           &length))
            Print(name, value);
    }
    return 0;
}

int Login(const std::wstring& what) {
    if (what == L"save") return WriteSavedLoginForTest(L"tester@example.com", L"install-test-secret") ? 0 : 1;
    if (what == L"check") {
        const bool exists = SavedLoginExists();
        Print(L"saved-login", exists ? L"yes" : L"no");
        return exists ? 0 : 1;
    }
    return 2;
}

int Launch(const std::wstring& file) {
    Link link;
    if (!ReadLink(file, link)) return Fail(L"cannot read the shortcut " + file);
    std::wstring commandLine = L"\"" + link.target + L"\"";
    if (!link.arguments.empty()) commandLine += L" " + link.arguments;
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    if (!CreateProcessW(link.target.c_str(), commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr,
                        link.workingFolder.empty() ? nullptr : link.workingFolder.c_str(), &startup, &process))
        return Fail(L"cannot start " + link.target + L" (error " + std::to_wstring(GetLastError()) + L")");
    CloseHandle(process.hThread);
    HWND window = nullptr;
    for (int i = 0; i < 600 && !window; ++i) {
        if (WaitForSingleObject(process.hProcess, 50) == WAIT_OBJECT_0) {
            DWORD code = 0;
            GetExitCodeProcess(process.hProcess, &code);
            CloseHandle(process.hProcess);
            return Fail(L"the program ended without showing its window (exit code " + std::to_wstring(code) + L")");
        }
        window = FindTopLevelWindowOf(process.dwProcessId, kMainWindowClass, true);
    }
    CloseHandle(process.hProcess);
    if (!window) return Fail(L"no visible main window within 30 s");
    wchar_t title[128] = {};
    GetWindowTextW(window, title, 128);
    Print(L"pid", std::to_wstring(process.dwProcessId));
    Print(L"title", title);
    return wcscmp(title, kMainWindowTitle) == 0 ? 0 : Fail(L"unexpected window title");
}

int Close(DWORD processId) {
    HANDLE process = OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, processId);
    if (!process) return Fail(L"no process " + std::to_wstring(processId));
    HWND window = FindTopLevelWindowOf(processId, kMainWindowClass, false);
    if (!window) {
        CloseHandle(process);
        return Fail(L"process " + std::to_wstring(processId) + L" has no main window");
    }
    PostMessageW(window, WM_CLOSE, 0, 0);
    const bool ended = WaitForSingleObject(process, 20000) == WAIT_OBJECT_0;
    DWORD code = 0;
    GetExitCodeProcess(process, &code);
    CloseHandle(process);
    if (!ended) return Fail(L"the program did not end within 20 s of being closed");
    Print(L"exit", std::to_wstring(code));
    return code == 0 ? 0 : 1;
}

int Hold(const std::wstring& file, const std::wstring& release) {
    const size_t slash = file.find_last_of(L'\\');
    if (slash != std::wstring::npos) SHCreateDirectoryExW(nullptr, file.substr(0, slash).c_str(), nullptr);
    HANDLE handle = CreateFileW(file.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) return Fail(L"cannot open " + file);
    for (int i = 0; i < 2400 && GetFileAttributesW(release.c_str()) == INVALID_FILE_ATTRIBUTES; ++i) Sleep(50);
    CloseHandle(handle);
    return 0;
}

// Runs a command line as given (as the programs list or a deployment tool would) and waits for that
// process; prints its exit code.
int Run(std::wstring commandLine) {
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    if (!CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                        &process))
        return Fail(L"cannot run " + commandLine + L" (error " + std::to_wstring(GetLastError()) + L")");
    const bool ended = WaitForSingleObject(process.hProcess, 120000) == WAIT_OBJECT_0;
    DWORD code = 0;
    GetExitCodeProcess(process.hProcess, &code);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    if (!ended) return Fail(L"still running after 120 s: " + commandLine);
    Print(L"exit", std::to_wstring(code));
    return 0;
}

int QuietUninstall(const std::wstring& key) {
    wchar_t command[1024] = {};
    DWORD size = sizeof command;
    if (RegGetValueW(HKEY_LOCAL_MACHINE, UninstallKey(key).c_str(), L"QuietUninstallString",
                     RRF_RT_REG_SZ | RRF_SUBKEY_WOW6464KEY, nullptr, command, &size) != ERROR_SUCCESS)
        return Fail(L"no QuietUninstallString in the entry " + key);
    Print(L"command", command);
    return Run(command);
}

// The file name of each running process, and the process that started it, by id.
struct ProcessRecord {
    DWORD id = 0, parent = 0;
    std::wstring name;
};
std::vector<ProcessRecord> RunningProcesses() {
    std::vector<ProcessRecord> found;
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snapshot == INVALID_HANDLE_VALUE) return found;
    PROCESSENTRY32W entry{};
    entry.dwSize = sizeof entry;
    for (BOOL more = Process32FirstW(snapshot, &entry); more; more = Process32NextW(snapshot, &entry))
        found.push_back({entry.th32ProcessID, entry.th32ParentProcessID, entry.szExeFile});
    CloseHandle(snapshot);
    return found;
}

int Started(const std::wstring& name) {
    // Every process seen while waiting, by id: the one that started the program may have ended by the
    // time the program's window shows (a shell hands the start on and exits).
    std::map<DWORD, std::wstring> seen;
    for (int i = 0; i < 1500; ++i) {
        const std::vector<ProcessRecord> running = RunningProcesses();
        // A process caught while it is still being made has no name yet.
        for (const ProcessRecord& process : running)
            if (!process.name.empty()) seen[process.id] = process.name;
        for (const ProcessRecord& process : running) {
            if (_wcsicmp(process.name.c_str(), name.c_str()) != 0) continue;
            if (!FindTopLevelWindowOf(process.id, kMainWindowClass, true)) continue;
            const auto parent = seen.find(process.parent);
            Print(L"pid", std::to_wstring(process.id));
            Print(L"parent", parent == seen.end() ? L"(not seen)" : parent->second);
            return 0;
        }
        Sleep(20);
    }
    return Fail(L"no " + name + L" with a visible main window within 30 s");
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    const std::wstring command = argc > 1 ? argv[1] : L"";
    const std::wstring first = argc > 2 ? argv[2] : L"";
    int result = 2;
    if (command == L"folders" && argc == 2) result = Folders();
    else if (command == L"entry" && argc == 3) result = Entry(first);
    else if (command == L"shortcut" && argc == 3) result = Shortcut(first);
    else if (command == L"version" && argc == 3) result = Version(first);
    else if (command == L"login" && argc == 3) result = Login(first);
    else if (command == L"launch" && argc == 3) result = Launch(first);
    else if (command == L"close" && argc == 3) result = Close(static_cast<DWORD>(_wtoi(first.c_str())));
    else if (command == L"hold" && argc == 4) result = Hold(first, argv[3]);
    else if (command == L"run" && argc == 3) result = Run(first);
    else if (command == L"quiet-uninstall" && argc == 3) result = QuietUninstall(first);
    else if (command == L"started" && argc == 3) result = Started(first);
    if (result == 2) std::fwprintf(stderr, L"usage: see the comment at the top of install_probe.cpp\n");
    CoUninitialize();
    return result;
}
