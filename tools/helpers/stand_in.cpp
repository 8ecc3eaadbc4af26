// A stand-in for each installer of the sample kit: it records that it ran,
// with its own path, its command line, its current folder, whether it runs as
// a 32-bit or a 64-bit process (the same source is built both ways) and the
// kind of drive it was started from, and ends. The paths and the command
// line as Windows keeps them, in UTF-16, recorded in UTF-8, so that a test
// can check the exact path started, whatever its script.
#include <windows.h>
#include "record.h"

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int)
{
    WCHAR path[1024];
    DWORD length = GetModuleFileNameW(NULL, path, 1024);
    if (length == 0 || length >= 1024)
        lstrcpyW(path, L"?");

    WCHAR folder[1024];
    length = GetCurrentDirectoryW(1024, folder);
    if (length == 0 || length >= 1024)
        lstrcpyW(folder, L"?");

    // The drive type as Windows reports it, so that a run from a CD-ROM can
    // be told from one off a folder that merely looks like one.
    char drive[16] = "?";
    if (path[0] && path[1] == L':') {
        WCHAR root[] = {path[0], L':', L'\\', 0};
        wsprintfA(drive, "%u", GetDriveTypeW(root));
    }

    char pathText[4096], lineText[4096], folderText[4096];
    LPCSTR fields[] = {"ran", Utf8Field(path, pathText, sizeof pathText),
                       Utf8Field(GetCommandLineW(), lineText, sizeof lineText),
                       Utf8Field(folder, folderText, sizeof folderText), sizeof(void*) == 8 ? "64" : "32", drive};
    AppendRecord("KIT_RECORD", fields, 6);
    return 0;
}
