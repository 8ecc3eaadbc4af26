"""What each Windows' loader has and accepts, as the load check reads it:
the export lists that stand for each release, the releases with no lists or
no API sets of their own, the functions a release gained only with a service
pack or an update, and what a subsystem version was linked for."""
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
UNLISTED = ("win95", "win98", "winme", "win2k")
# API sets exist from Windows 7 on.
NO_API_SETS = UNLISTED + ("winxp", "vista")
# Resolves API sets through its schema; a set the floor's build has, it has too.
SCHEMA = "win10"
SCHEMA_FLOOR = "6.3.9600"

# What XP's list has and Windows 95 to 2000 lack (the data's README).
XP_ADDITIONS = {"kernel32.dll": {"GetNativeSystemInfo", "GetModuleHandleExA", "GetModuleHandleExW",
                                 "AttachConsole", "IsWow64Process", "SetDllDirectoryA", "SetDllDirectoryW",
                                 "EncodePointer", "DecodePointer"}}
# What a service pack or an update added to a release: where its list is of
# an earlier build (Vista and 7 RTM) or of the one with it (XP SP3), the
# release loads the program only with it. (DLL, function) -> {release: what}.
_DEP = {"winxp": "Service Pack 3", "vista": "Service Pack 1"}
_KB = {"vista": "update KB2533623", "win7": "update KB2533623"}
UPDATES = {("kernel32.dll", "SetProcessDEPPolicy"): _DEP, ("kernel32.dll", "GetProcessDEPPolicy"): _DEP,
           ("kernel32.dll", "GetSystemDEPPolicy"): _DEP, ("kernel32.dll", "AddDllDirectory"): _KB,
           ("kernel32.dll", "RemoveDllDirectory"): _KB, ("kernel32.dll", "SetDefaultDllDirectories"): _KB,
           ("kernel32.dll", "IsWow64Process"): {"winxp": "Service Pack 2"},
           ("kernel32.dll", "GetLogicalProcessorInformation"): {"winxp": "Service Pack 3"}}
# Version 5.82, which a program gets without a Common Controls 6 manifest,
# lacks these (their documentation asks for version 6).
COMCTL6_ONLY = {"TaskDialog", "TaskDialogIndirect"}

# What a subsystem version was linked for, to say it in a message.
LINKED_FOR = {
    (4, 0): "Windows 95 and NT 4", (4, 10): "Windows 98", (4, 90): "Windows Me",
    (5, 0): "Windows 2000", (5, 1): "Windows XP", (5, 2): "Windows XP x64 and Server 2003",
    (6, 0): "Windows Vista", (6, 1): "Windows 7", (6, 2): "Windows 8", (6, 3): "Windows 8.1",
    (10, 0): "Windows 10",
}
