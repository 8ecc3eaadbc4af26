// A DLL that notes every program it is loaded into. A test copies it next to
// the launcher under the name of a DLL that Windows loads by bare name, to
// see whether a DLL planted there ends up inside the launcher.
#include <windows.h>
#include "record.h"

BOOL WINAPI DllMain(HINSTANCE self, DWORD reason, LPVOID)
{
    if (reason == DLL_PROCESS_ATTACH) {
        // In UTF-8 from UTF-16, as the stand-in records its paths.
        WCHAR program[1024], dll[1024];
        DWORD length = GetModuleFileNameW(NULL, program, 1024);
        if (length == 0 || length >= 1024)
            lstrcpyW(program, L"?");
        length = GetModuleFileNameW(self, dll, 1024);
        if (length == 0 || length >= 1024)
            lstrcpyW(dll, L"?");
        char programText[4096], dllText[4096];
        LPCSTR fields[] = {"loaded", Utf8Field(program, programText, sizeof programText),
                           Utf8Field(dll, dllText, sizeof dllText)};
        AppendRecord("KIT_RECORD", fields, 3);
    }
    // Loaded in place of a system DLL, it must not make the load fail: the
    // program would then see a failure it never sees on a clean system.
    return TRUE;
}
