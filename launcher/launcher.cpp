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

// 255 characters and the terminator: bytes on the ANSI path, UTF-16 code
// units on the wide one (a character beyond the Basic Multilingual Plane
// takes two). Within MAX_PATH, which the shell's calls hold to, and the
// same limit for a distribution whichever Windows starts it.
static const DWORD kLaunchPathSize = 256;

// Puts the folder and the installer's relative path together, or returns
// FALSE when they would not fit: a cut-off path could name another program.
// In bytes on the ANSI path, in UTF-16 on the wide one; the relative paths
// are ASCII, so each of their bytes is one character of either.
template <typename Char>
static BOOL ComposeLaunchPath(Char* launchPath, const Char* folder, DWORD folderLength, LPCSTR installer)
{
    DWORD length = 0;
    while (installer[length])
        length++;
    if (folderLength + length >= kLaunchPathSize)
        return FALSE;

    Char* out = launchPath;
    for (DWORD i = 0; i < folderLength; i++)
        *out++ = folder[i];
    while ((*out++ = (Char)(BYTE)*installer++) != 0)
        ;
    return TRUE;
}

typedef HINSTANCE (WINAPI* ShellExecuteWProc)(HWND owner, LPCWSTR verb, LPCWSTR file,
                                              LPCWSTR parameters, LPCWSTR directory, INT show);

// Returned as void (*)(void), the one function type that converts to any
// other without a warning.
typedef void (*AnyFunction)(void);

// NT keeps the command line in UTF-16, and its ANSI form has a "?" for every
// character the code page lacks: a folder named in another script would not
// be found. So NT gets the wide call; 9x has only the ANSI path. Windows 95's
// shell32 lacks ShellExecuteW, and an import would keep the program from
// loading there: it is looked up. shell32 is loaded already, for
// ShellExecuteA. Should it be missing all the same, the ANSI path serves.
static ShellExecuteWProc FindShellExecuteW(void)
{
    if (GetVersion() & 0x80000000u)   // 9x and Win32s
        return NULL;
    return reinterpret_cast<ShellExecuteWProc>(
        reinterpret_cast<AnyFunction>(GetProcAddress(GetModuleHandleA("SHELL32"), "ShellExecuteW")));
}

// Starts the installer at its relative path below the program's folder.
// Returns what the launch call returned, or 0 when nothing was launched.
static int StartInstaller(LPCSTR installer)
{
    DWORD folderLength;
    ShellExecuteWProc shellExecuteW = FindShellExecuteW();
    if (shellExecuteW != NULL) {
        static const WCHAR kOpen[] = {'o', 'p', 'e', 'n', 0};
        LPCWSTR pathEnd;
        LPCWSTR folder = FindProgramPathW(GetCommandLineW(), &pathEnd, &folderLength);
        WCHAR launchPath[kLaunchPathSize];
        if (!ComposeLaunchPath(launchPath, folder, folderLength, installer))
            return 0;
        return (int)(INT_PTR)shellExecuteW(NULL, kOpen, launchPath, NULL, NULL, SW_SHOW);
    }
    LPCSTR pathEnd;
    LPCSTR folder = FindProgramPath(GetCommandLineA(), &pathEnd, &folderLength);
    char launchPath[kLaunchPathSize];
    if (!ComposeLaunchPath(launchPath, folder, folderLength, installer))
        return 0;
    return (int)(INT_PTR)ShellExecuteA(NULL, "open", launchPath, NULL, NULL, SW_SHOW);
}

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int)
{
    // Before anything that may load a DLL: the registry probe does.
    HardenDllSearch();

    OsVersionCode code = GetOsVersionCode();
    const Installer* row = NULL;
    for (const Installer& candidate : kInstallers)
        if (candidate.code == code)
            row = &candidate;

    // ShellExecute reports success with a value above 32; anything else,
    // including no launch at all, is a failure.
    int result = 0;
    if (row == NULL) {
        ShowMessage("Unknow OS version");
    } else {
        result = StartInstaller(row->path);
        if (row->notice != NULL)
            ShowMessage(row->notice);
    }
    if (result <= 32)
        ShowMessage("Exec fail");
    return 0;
}
