"""What each Windows' loader has and accepts, as the load check reads it:
the subsystem versions each release starts, the export lists that stand for
each release, the DLLs a release always takes from itself (known DLLs), the
system files the lists lack, what Windows XP and its service packs added
that 95 to 2000 lack, what a release gained only with a service pack or an
update, and the side-by-side assemblies Windows carries. Where each fact
comes from: docs/loading.md."""
import dataclasses

# -- the subsystem version of a program's header ----------------------------
# Windows NT starts a program whose subsystem version is at least NT 3.1's
# and at most its own: the kernel's real version, which 8.1 and later hide
# from GetVersion but not from this check ("is not a valid Win32
# application" otherwise). Windows 95, 98 and Me compare the major version
# alone ("expects a newer version of Windows" above 4); what they do below
# 3.10 nothing documents. A DLL's subsystem version is never compared.
ANY_MINOR = 0xFFFF
NINE_X = ("win95", "win98", "winme")
NT_OLDEST_SUBSYSTEM = (3, 10)
SUBSYSTEM_NEWEST = {
    "win95": (4, ANY_MINOR), "win98": (4, ANY_MINOR), "winme": (4, ANY_MINOR), "win2k": (5, 0),
    "winxp": (5, 1), "vista": (6, 0), "win7": (6, 1), "win8": (6, 2), "win81": (6, 3), "win10": (10, 0),
    "win11": (10, 0),
}
NEWER, OLDER, UNDOCUMENTED = "newer", "older", "undocumented"


def subsystem_refusal(release, version):
    """NEWER or OLDER when release refuses a program of that subsystem
    version (major, minor), UNDOCUMENTED where nothing says what it does,
    else None."""
    if version > SUBSYSTEM_NEWEST[release]:
        return NEWER
    if version < NT_OLDEST_SUBSYSTEM:
        return UNDOCUMENTED if release in NINE_X else OLDER
    return None


def subsystem_ceiling(releases):
    """(the highest subsystem version every one of releases starts, the
    releases that start no newer one)."""
    ceiling = min(SUBSYSTEM_NEWEST[release] for release in releases)
    return ceiling, [release for release in releases if SUBSYSTEM_NEWEST[release] == ceiling]


# What a subsystem version was linked for, to say it in a message.
LINKED_FOR = {
    (4, 0): "Windows 95 and NT 4", (4, 10): "Windows 98", (4, 90): "Windows Me",
    (5, 0): "Windows 2000", (5, 1): "Windows XP", (5, 2): "Windows XP x64 and Server 2003",
    (6, 0): "Windows Vista", (6, 1): "Windows 7", (6, 2): "Windows 8", (6, 3): "Windows 8.1",
    (10, 0): "Windows 10",
}

# -- the export lists -------------------------------------------------------
# The export lists of real Windows builds (checks/loading/data) that stand
# for a release when the check reads what an installer imports: the build,
# and the release's name in the check's words. 95 to 2000 have no list of
# their own: XP's stands for them, less what XP added. Windows 11 and 10
# after 1507 export more than 10 1507, so no list stands for 11: nothing is
# raised there that 1507 would not raise on 10.
EXPORT_LISTS = {
    "win95": ("5.1.2600", "Windows 95"), "win98": ("5.1.2600", "Windows 98"),
    "winme": ("5.1.2600", "Windows Me"), "win2k": ("5.1.2600", "Windows 2000"),
    "winxp": ("5.1.2600", "Windows XP"), "vista": ("6.0.6000", "Windows Vista"),
    "win7": ("6.1.7600", "Windows 7"), "win8": ("6.2.9200", "Windows 8"),
    "win81": ("6.3.9600", "Windows 8.1"), "win10": ("10.0.10240", "Windows 10 1507"),
}
# No lists of their own, and no manifests either.
UNLISTED = NINE_X + ("win2k",)
# API sets exist from Windows 7 on.
NO_API_SETS = UNLISTED + ("winxp", "vista")
# Resolves API sets through its schema; a set the floor's build has, it has too.
SCHEMA = "win10"
SCHEMA_FLOOR = "6.3.9600"

# -- known DLLs -------------------------------------------------------------
# The DLLs a release takes from itself whatever the program's folder holds:
# the values of its KnownDLLs key, which the session manager maps at boot
# with the DLLs they import, and what every process holds before its
# imports are resolved (ntdll, kernel32; kernelbase from 7 on). On 95, 98
# and Me, the modules every process shares (a loaded module of the same
# name is reused) and their own KnownDLLs key. A 32-bit program on 64-bit
# Windows gets the same list. Looked up only where the release has the DLL.
_XP = ("advapi32 comdlg32 gdi32 imagehlp kernel32 lz32 ole32 oleaut32 olecli32 olecnv32 olesvr32 olethk32 "
       "rpcrt4 shell32 url urlmon user32 version wininet wldap32 ntdll msvcrt shlwapi")
_VISTA = ("advapi32 clbcatq comdlg32 gdi32 iertutil imagehlp imm32 kernel32 lpk msctf msvcrt normaliz nsi ole32 "
          "oleaut32 psapi rpcrt4 setupapi shell32 shlwapi urlmon user32 usp10 wininet wldap32 ws2_32 ntdll")
_SEVEN = _VISTA + " difxapi sechost kernelbase"
_EIGHT = " ".join(name for name in _SEVEN.split() if name not in ("iertutil", "urlmon", "wininet", "lpk", "usp10")) \
    + " combase"
_TEN = _EIGHT + " shcore gdiplus coml2"
_9X = "kernel32 user32 gdi32 advapi32 comdlg32 lz32 olecli32 olesvr32 shell32 version"
KNOWN_DLLS = {release: frozenset(name + ".dll" for name in names.split()) for release, names in (
    ("win95", _9X), ("win98", _9X), ("winme", _9X), ("win2k", _XP), ("winxp", _XP), ("vista", _VISTA),
    ("win7", _SEVEN), ("win8", _EIGHT), ("win81", _EIGHT), ("win10", _TEN), ("win11", _TEN))}


# -- System32 files the export lists lack -----------------------------------

@dataclasses.dataclass(frozen=True)
class SystemFile:
    """A file of Windows' own that the export lists do not hold."""
    first_9x: str           # the first of 95, 98 and Me that has it
    first_nt: str           # the first NT of the rows that has it
    brought_by: str = None  # what brings it to a 9x release before first_9x
    exports: frozenset = None   # the names it exports; None: only the file is told


SYSTEM_FILES = {
    # HTML Help 1.x: part of 98 and 2000 on; on 95 once Internet Explorer 4
    # or later (or hhupd.exe) has installed it. Its ordinals are not told.
    "hhctrl.ocx": SystemFile("win98", "win2k", "HTML Help (Internet Explorer 4 or later, or hhupd.exe)",
                             frozenset({"HtmlHelpA", "HtmlHelpW", "doWinMain", "DllCanUnloadNow",
                                        "DllGetClassObject", "DllRegisterServer", "DllUnregisterServer"})),
    # Rich Edit 1.0: in every release of the rows (from 2000 on, riched20's wrapper).
    "riched32.dll": SystemFile("win95", "win2k"),
}
# The rows' releases, oldest first within each family.
_ORDER = NINE_X + ("win2k", "winxp", "vista", "win7", "win8", "win81", "win10", "win11")


def has_system_file(release, system_file):
    first = system_file.first_9x if release in NINE_X else system_file.first_nt
    return _ORDER.index(release) >= _ORDER.index(first)


# -- what Windows XP added, which 95 to 2000 lack -----------------------------
# first-windows.txt (the data's) names most; these documented XP additions
# (each function's "minimum supported client") it lacks. XP's list has them all.
_XP_ADDED = {
    "kernel32.dll": "AddVectoredExceptionHandler RemoveVectoredExceptionHandler AttachConsole HeapSetInformation "
                    "HeapQueryInformation DebugActiveProcessStop DebugSetProcessKillOnExit DebugBreakProcess "
                    "CreateMemoryResourceNotification QueryMemoryResourceNotification "
                    "GetVolumePathNamesForVolumeNameA GetVolumePathNamesForVolumeNameW IsProcessInJob "
                    "SetFileValidData SetFileShortNameA SetFileShortNameW CreateActCtxA CreateActCtxW "
                    "ActivateActCtx DeactivateActCtx ReleaseActCtx AddRefActCtx QueryActCtxW GetCurrentActCtx "
                    "ZombifyActCtx FindActCtxSectionStringA FindActCtxSectionStringW FindActCtxSectionGuid "
                    "GetFirmwareEnvironmentVariableA GetFirmwareEnvironmentVariableW "
                    "SetFirmwareEnvironmentVariableA SetFirmwareEnvironmentVariableW GetConsoleProcessList "
                    "GetSystemWow64DirectoryA GetSystemWow64DirectoryW RtlCaptureStackBackTrace "
                    "CheckRemoteDebuggerPresent GetSystemTimes GetProcessHandleCount GetSystemRegistryQuota "
                    "IsWow64Process EncodePointer DecodePointer",
    "advapi32.dll": "CreateWellKnownSid IsWellKnownSid GetWindowsAccountDomainSid EqualDomainSid CredReadA CredReadW "
                    "CredWriteA CredWriteW CredFree CredDeleteA CredDeleteW CredEnumerateA CredEnumerateW",
    "user32.dll": "PrintWindow GetRawInputData GetRawInputDeviceInfoA GetRawInputDeviceInfoW GetRawInputDeviceList "
                  "RegisterRawInputDevices GetRegisteredRawInputDevices DefRawInputProc GetRawInputBuffer "
                  "GetLayeredWindowAttributes IsGUIThread GetWindowRgnBox",
    "shell32.dll": "SHGetFolderPathAndSubDirA SHGetFolderPathAndSubDirW SHParseDisplayName SHOpenFolderAndSelectItems",
    # 2000 has these only through wspiapi.h's inline fallback, never as imports.
    "ws2_32.dll": "getaddrinfo freeaddrinfo getnameinfo",
    "wtsapi32.dll": "WTSRegisterSessionNotification WTSUnRegisterSessionNotification",
}
XP_ADDED = frozenset((dll, function) for dll, names in _XP_ADDED.items() for function in names.split())
# DLLs Windows XP brought (msftedit with its Service Pack 1); 98, Me and 2000
# have them only where the program brings them (GDI+'s redistributable).
XP_ADDED_DLLS = frozenset({"uxtheme.dll", "gdiplus.dll", "apphelp.dll", "msftedit.dll"})

# -- service packs and updates ------------------------------------------------
# What a service pack or an update added to a release, where first-windows.txt
# does not say it: the release loads the program only with it, its list being
# of an earlier build (Vista and 7 RTM) or of the one with it (XP SP3).
# (DLL, function) -> {release: what}.
_SP1, _SP2, _SP3 = ("Service Pack %d" % n for n in (1, 2, 3))
_DEP = {"winxp": _SP3, "vista": _SP1}
_KB = {"vista": "update KB2533623", "win7": "update KB2533623"}
UPDATES = {("kernel32.dll", "SetProcessDEPPolicy"): _DEP, ("kernel32.dll", "GetProcessDEPPolicy"): _DEP,
           ("kernel32.dll", "GetSystemDEPPolicy"): _DEP, ("kernel32.dll", "AddDllDirectory"): _KB,
           ("kernel32.dll", "RemoveDllDirectory"): _KB, ("kernel32.dll", "SetDefaultDllDirectories"): _KB}
UPDATES.update({("kernel32.dll", name): {"winxp": _SP2} for name in ("IsWow64Process", "EncodePointer",
                                                                      "DecodePointer")})
UPDATES.update({("kernel32.dll", name): {"winxp": _SP1} for name in (
    "CheckRemoteDebuggerPresent", "GetSystemTimes", "GetProcessHandleCount", "GetSystemRegistryQuota")})
# The release whose service packs a first-windows line's "SPn" counts.
SERVICE_PACKS_OF = {"5.1": "winxp", "6.0": "vista", "6.1": "win7"}
ADDED_BY = {"5.0": "Windows 2000", "5.1": "Windows XP", "5.2": "Windows XP"}
# Lines not taken: DirectX 9, not XP SP3, brought Direct3DCreate9; 98 SE,
# Me and 2000 have it once DirectX 9 is installed.
FIRST_WINDOWS_NOT_TAKEN = frozenset({("d3d9.dll", "Direct3DCreate9")})


def first_windows_rule(release, first, listed):
    """What a first-windows line says of a function on release: first is its
    first Windows ("5.1", "5.1 SP2", "6.0 SP1"), listed whether the list
    standing for release has it. ("error", the Windows that added it),
    ("warning", the service pack it needs) or None. Its 6.x lines name the
    Windows whose own behaviour of a function changed too: only the lists
    tell what a release lacks, these lines only what its list cannot."""
    version, _, pack = first.partition(" ")
    if release in UNLISTED and listed and version in ADDED_BY and (version != "5.0" or release in NINE_X):
        return "error", ADDED_BY[version] + (" Service Pack %s" % pack[2:] if pack and version == "5.1" else "")
    if pack and SERVICE_PACKS_OF.get(version) == release and (release == "winxp" or not listed):
        return "warning", "Service Pack %s" % pack[2:]
    return None


# -- what the loader reads of a manifest --------------------------------------
# Version 5.82, which a program gets without a Common Controls 6 manifest,
# lacks these (their documentation asks for version 6).
COMCTL6_ONLY = {"TaskDialog", "TaskDialogIndirect"}
# The shared assemblies every Windows that reads manifests (XP on) carries:
# name in lower case -> the versions it has, by their first part.
WINDOWS_ASSEMBLIES = {"microsoft.windows.common-controls": ("5.", "6."), "microsoft.windows.gdiplus": ("1.",)}
