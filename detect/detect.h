// Works out which Windows release the launcher runs on, and whether the
// processor counts as x86, so that the launcher can pick an installer.
#ifndef DETECT_DETECT_H
#define DETECT_DETECT_H

// The Windows release, as one small signed number. Only the even values from
// 32 to 52, and 0, name a release; OsUnknown stands for anything newer or
// stranger than the families known here, and the launcher serves none of it.
enum OsVersionCode : int {
    OsUnknown     = -1,   // NT above 6, or a platform id above 2
    OsNoVersion   =  0,   // Windows refused both version records
    OsWin32s      = 32,
    OsWin9xPre4   = 34,
    OsWin98       = 36,   // 95, 98 and 98 SE
    OsWinMe       = 38,
    OsWinNt4      = 40,   // NT 4.0 and earlier
    OsWin2000     = 42,
    OsWinXp       = 44,
    OsWinNt52     = 46,   // NT 5.2 on x86
    OsWinNt52X64  = 48,
    OsWinVista    = 50,   // NT 6 on x86
    OsWinVistaX64 = 52,
};

// 0 when the registry calls the processor x86, 1 otherwise (also when it
// could not be read). Written by DetectProcessorArchitecture only.
extern int g_is64Bit;

void DetectProcessorArchitecture(void);
OsVersionCode GetOsVersionCode(void);

#endif
