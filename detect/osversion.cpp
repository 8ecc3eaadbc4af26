// Classifies the running Windows, from the version record and the
// architecture flag, into an OsVersionCode.
#include <windows.h>
#include "detect.h"

OsVersionCode GetOsVersionCode(void)
{
    DetectProcessorArchitecture();

    // Windows 9x and NT 4 before SP6 refuse the extended record outright,
    // so ask again with the plain size before giving up.
    OSVERSIONINFOEXA info = {};
    info.dwOSVersionInfoSize = sizeof(OSVERSIONINFOEXA);
    if (!GetVersionExA((LPOSVERSIONINFOA)&info)) {
        info.dwOSVersionInfoSize = sizeof(OSVERSIONINFOA);
        if (!GetVersionExA((LPOSVERSIONINFOA)&info))
            return OsNoVersion;
    }

    DWORD major = info.dwMajorVersion;
    DWORD minor = info.dwMinorVersion;
    switch (info.dwPlatformId) {
    case VER_PLATFORM_WIN32s:
        return OsWin32s;

    case VER_PLATFORM_WIN32_WINDOWS:
        if (major < 4)
            return OsWin9xPre4;
        return minor < 90 ? OsWin98 : OsWinMe;   // Me reports 4.90

    case VER_PLATFORM_WIN32_NT:
        if (major <= 4)
            return OsWinNt4;
        if (major == 5) {
            if (minor == 0)
                return OsWin2000;
            if (minor == 1)
                return OsWinXp;
            return g_is64Bit ? OsWinNt52X64 : OsWinNt52;   // 2003, XP x64
        }
        // An unmanifested program is told 6.2 on 8.1, 10 and 11 as well.
        if (major == 6)
            return g_is64Bit ? OsWinVistaX64 : OsWinVista;
        return OsUnknown;
    }
    return OsUnknown;
}
