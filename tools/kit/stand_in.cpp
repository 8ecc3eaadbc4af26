// A stand-in for each installer of the sample kit: it records that it ran,
// with its own path, its command line and its current folder, and ends.
#include <windows.h>
#include "record.h"

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int)
{
    char path[1024];
    DWORD length = GetModuleFileNameA(NULL, path, sizeof path);
    if (length == 0 || length >= sizeof path)
        lstrcpyA(path, "?");

    char folder[1024];
    length = GetCurrentDirectoryA(sizeof folder, folder);
    if (length == 0 || length >= sizeof folder)
        lstrcpyA(folder, "?");

    LPCSTR fields[] = {"ran", path, GetCommandLineA(), folder};
    AppendRecord("KIT_RECORD", fields, 4);
    return 0;
}
