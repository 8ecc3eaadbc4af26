// The program's own start-up, used instead of a C runtime: Windows enters
// here, and the process ends with what WinMain returns.
#include <windows.h>
#include "cmdline.h"

extern "C" IMAGE_DOS_HEADER __ImageBase;

extern "C" void WINAPI WinMainCRTStartup(void)
{
    LPCSTR tail;
    DWORD folderLength;
    FindProgramPath(GetCommandLineA(), &tail, &folderLength);
    if (*tail == '"')
        tail++;
    while (*tail == ' ' || *tail == '\t')
        tail++;

    // ExitProcess rather than a return: shell32 may have left threads of its
    // own behind, and returning would only end this one.
    ExitProcess((UINT)WinMain((HINSTANCE)&__ImageBase, NULL, (LPSTR)tail, SW_SHOWDEFAULT));
}
