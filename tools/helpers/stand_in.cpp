// A stand-in for each installer of the sample kit: it records that it ran,
// with its own path, its command line, its current folder, whether it runs as
// a 32-bit or a 64-bit process (the same source is built both ways) and the
// kind of drive it was started from, and ends.
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

    // The drive type as Windows reports it, so that a run from a CD-ROM can
    // be told from one off a folder that merely looks like one.
    char drive[16] = "?";
    if (path[0] && path[1] == ':') {
        char root[] = {path[0], ':', '\\', 0};
        wsprintfA(drive, "%u", GetDriveTypeA(root));
    }

    LPCSTR fields[] = {"ran", path, GetCommandLineA(), folder, sizeof(void*) == 8 ? "64" : "32", drive};
    AppendRecord("KIT_RECORD", fields, 6);
    return 0;
}
