// The launcher: starts the installer that the distribution's Autoinst folder
// holds for the running Windows, tells the user when it cannot, and ends.
#include <windows.h>
#include <shellapi.h>
#include "cmdline.h"
#include "harden.h"
#include "../detect/detect.h"

struct Installer {
    OsVersionCode code;
    LPCSTR        path;     // relative to the program's folder
    LPCSTR        notice;   // shown once the launch call has returned
};

static const Installer kInstallers[] = {
    { OsWin98,       "Autoinst\\win98SE\\inst98.exe",               NULL      },
    { OsWinMe,       "Autoinst\\winme\\instme.exe",                 NULL      },
    { OsWin2000,     "Autoinst\\win2k\\inst2k.exe",                 NULL      },
    { OsWinXp,       "Autoinst\\winxp\\instxp.exe",                 NULL      },
    { OsWinVista,    "Autoinst\\winvista\\Vistax86\\instvs32.exe",  "VISTA32" },
    { OsWinVistaX64, "Autoinst\\winvista\\Vistax64\\instvs64.exe",  "VISTA64" },
};

static const char kCaption[] = "INSTALL";

static void ShowMessage(LPCSTR text)
{
    MessageBoxA(NULL, text, kCaption, MB_OK);
}

// Puts the folder and the installer's relative path together, or returns
// FALSE when they would not fit: a cut-off path could name another program.
static BOOL ComposeLaunchPath(LPSTR launchPath, DWORD capacity,
                              LPCSTR folder, DWORD folderLength, LPCSTR installer)
{
    DWORD length = 0;
    while (installer[length])
        length++;
    if (folderLength + length >= capacity)
        return FALSE;

    LPSTR out = launchPath;
    for (DWORD i = 0; i < folderLength; i++)
        *out++ = folder[i];
    while ((*out++ = *installer++) != '\0')
        ;
    return TRUE;
}

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int)
{
    // Before anything that may load a DLL: the registry probe does.
    HardenDllSearch();

    LPCSTR pathEnd;
    DWORD folderLength;
    LPCSTR folder = FindProgramPath(GetCommandLineA(), &pathEnd, &folderLength);

    OsVersionCode code = GetOsVersionCode();
    const Installer* row = NULL;
    for (const Installer& candidate : kInstallers)
        if (candidate.code == code)
            row = &candidate;

    // ShellExecuteA reports success with a value above 32; anything else,
    // including no launch at all, is a failure.
    int result = 0;
    if (row == NULL) {
        ShowMessage("Unknow OS version");
    } else {
        char launchPath[256];
        if (ComposeLaunchPath(launchPath, sizeof launchPath, folder, folderLength, row->path))
            result = (int)(INT_PTR)ShellExecuteA(NULL, "open", launchPath, NULL, NULL, SW_SHOW);
        if (row->notice != NULL)
            ShowMessage(row->notice);
    }
    if (result <= 32)
        ShowMessage("Exec fail");
    return 0;
}
