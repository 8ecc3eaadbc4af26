// Windows looks for a DLL loaded by its bare name in the program's folder
// first. The launcher is started from folders its user does not control (a
// download folder, a stick, an unpacked archive), and its first message box
// and the launch call make the system load DLLs by bare name on its behalf; a
// file of such a name next to the launcher would run inside it.
#include <windows.h>
#include "harden.h"

// The DLLs that the message boxes and ShellExecute load by bare name on
// some release, from 95 to 7. Loaded once from the system folder, they are
// found in memory when asked for again, and the program's folder is never
// searched for them. A name that a release lacks simply fails to load.
static const char kPreloads[] =
    "uxtheme\0"     // themed boxes, XP and later
    "dwmapi\0"      // the boxes' frames, Vista and later
    "userenv\0"
    "setupapi\0"    // ShellExecute on XP
    "apphelp\0"
    "propsys\0"
    "cryptbase\0"   // 7
    "oleacc\0"
    "clbcatq\0"
    "comres\0"
    "version\0"
    "ntmarta\0"
    "profapi\0";

// Both exist only on some releases (SetDllDirectoryA from XP SP1, the other
// from 8, or 7 and Vista with an update), so they are looked up, never
// imported: an import would keep the program from loading on the others.
typedef BOOL (WINAPI* SetDefaultDllDirectoriesProc)(DWORD directoryFlags);
typedef BOOL (WINAPI* SetDllDirectoryAProc)(LPCSTR path);

// Returned as void (*)(void), the one function type that converts to any
// other without a warning.
typedef void (*AnyFunction)(void);

static AnyFunction FindKernelExport(LPCSTR name)
{
    return reinterpret_cast<AnyFunction>(GetProcAddress(GetModuleHandleA("KERNEL32"), name));
}

// Loads each DLL by its full path. LOAD_WITH_ALTERED_SEARCH_PATH makes the
// DLL's own dependencies come from its folder, the system folder, too.
static void PreloadFromSystemFolder(void)
{
    char path[MAX_PATH];
    // The folder's length on success; the size it would need, or 0, when it
    // cannot be told.
    UINT folderLength = GetSystemDirectoryA(path, MAX_PATH);
    if (folderLength == 0 || folderLength >= MAX_PATH)
        return;
    path[folderLength++] = '\\';

    static const char kExtension[] = ".dll";
    UINT nameLength;
    for (LPCSTR name = kPreloads; *name != '\0'; name += nameLength + 1) {
        nameLength = 0;
        while (name[nameLength] != '\0')
            nameLength++;
        // A cut-off path would name another file: skip what does not fit
        // with its extension and terminator.
        if (folderLength + nameLength + sizeof kExtension > MAX_PATH)
            continue;
        for (UINT i = 0; i < nameLength; i++)
            path[folderLength + i] = name[i];
        for (UINT i = 0; i < sizeof kExtension; i++)
            path[folderLength + nameLength + i] = kExtension[i];
        LoadLibraryExA(path, NULL, LOAD_WITH_ALTERED_SEARCH_PATH);
    }
}

void HardenDllSearch(void)
{
    // Vista has the restrictive call with an update, but with it in force the
    // shell cannot create its COM objects, and ShellExecute needs them there.
    // GetVersion tells Vista (6.0) apart from the releases that report 6.2 to
    // a program without a manifest; the low byte is the major version.
    DWORD version = GetVersion();
    BOOL isVista = LOBYTE(version) == 6 && HIBYTE(LOWORD(version)) == 0;

    SetDefaultDllDirectoriesProc setDefaultDllDirectories =
        reinterpret_cast<SetDefaultDllDirectoriesProc>(FindKernelExport("SetDefaultDllDirectories"));
    if (!isVista && setDefaultDllDirectories != NULL &&
        setDefaultDllDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32))
        return;

    // Elsewhere the search cannot be narrowed to the system folder: take the
    // current folder out of it where Windows can, and load the DLLs that
    // would be looked for in the program's folder before anyone asks.
    SetDllDirectoryAProc setDllDirectory =
        reinterpret_cast<SetDllDirectoryAProc>(FindKernelExport("SetDllDirectoryA"));
    if (setDllDirectory != NULL)
        setDllDirectory("");
    PreloadFromSystemFolder();
}
