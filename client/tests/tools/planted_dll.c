/* A stand-in for a system DLL, as someone could drop it beside the program in a download folder.
   When it is loaded it leaves a file named after itself in the folder that ORVANE_PLANTED_MARKER
   names, so a test can tell that it was. */
#include <windows.h>

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved) {
    (void)reserved;
    if (reason == DLL_PROCESS_ATTACH) {
        wchar_t folder[MAX_PATH], self[MAX_PATH], marker[2 * MAX_PATH];
        DWORD length = GetEnvironmentVariableW(L"ORVANE_PLANTED_MARKER", folder, MAX_PATH);
        if (length > 0 && length < MAX_PATH && GetModuleFileNameW(instance, self, MAX_PATH)) {
            const wchar_t* name = self;
            for (const wchar_t* p = self; *p; ++p)
                if (*p == L'\\' || *p == L'/') name = p + 1;
            wsprintfW(marker, L"%s\\%s.loaded", folder, name);
            HANDLE file = CreateFileW(marker, GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, 0, NULL);
            if (file != INVALID_HANDLE_VALUE) CloseHandle(file);
        }
    }
    return TRUE;
}
