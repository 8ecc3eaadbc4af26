// A DLL that notes every program it is loaded into. A test copies it next to
// the launcher under the name of a DLL that Windows loads by bare name, to
// see whether a DLL planted there ends up inside the launcher.
#include <windows.h>
#include "record.h"

BOOL WINAPI DllMain(HINSTANCE self, DWORD reason, LPVOID)
{
    if (reason == DLL_PROCESS_ATTACH) {
        char program[1024], dll[1024];
        DWORD length = GetModuleFileNameA(NULL, program, sizeof program);
        if (length == 0 || length >= sizeof program)
            lstrcpyA(program, "?");
        length = GetModuleFileNameA(self, dll, sizeof dll);
        if (length == 0 || length >= sizeof dll)
            lstrcpyA(dll, "?");
        LPCSTR fields[] = {"loaded", program, dll};
        AppendRecord("KIT_RECORD", fields, 3);
    }
    // Loaded in place of a system DLL, it must not make the load fail: the
    // program would then see a failure it never sees on a clean system.
    return TRUE;
}
