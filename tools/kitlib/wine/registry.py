"""The machine a run pretends to be: the Windows release Wine reports and
PROCESSOR_ARCHITECTURE where the launcher reads it, as a REGEDIT4 file."""
import dataclasses

# The releases (Wine's names) that older Wines do not know: release -> the
# first major version that does. The toolkit's model of Windows names the rest.
NEWER_RELEASES = {"win11": 9}
X86, X64, ARM64 = "x86", "AMD64", "ARM64"


class _AsIs:
    """PROCESSOR_ARCHITECTURE left as the prefix's Windows has it."""
    def __repr__(self):
        return "AS_IS"


AS_IS = _AsIs()

ENVIRONMENT_KEY = "SYSTEM\\{}\\Control\\Session Manager\\Environment"
PLACE1 = ENVIRONMENT_KEY.format("CurrentControlSet")
PLACE2 = ENVIRONMENT_KEY.format("ControlSet002")
# The calls whose relay trace tells what the launcher asked of Windows,
# whatever Wine then made of it.
RELAYED = "user32.MessageBoxA;shell32.ShellExecuteA"


def knows(major, release):
    """Whether a Wine of that major version (None: unknown, taken as new)
    can pretend to be release."""
    return major is None or major >= NEWER_RELEASES.get(release, 0)


@dataclasses.dataclass
class Machine:
    """What the launcher is to find: a Wine release name, and the registry's
    PROCESSOR_ARCHITECTURE at the two places it reads (None: no value;
    AS_IS at place1: whatever the prefix's Windows says, place2 unset)."""
    release: str
    place1: str = X86
    place2: str = None

    def describe_arch(self):
        if self.place1 is AS_IS:
            return "as is"
        if self.place2 is None:
            return "(none)" if self.place1 is None else self.place1
        return f"{self.place1 or '(none)'} / ControlSet002: {self.place2}"


def registry_text(machine):
    """A REGEDIT4 file that puts the prefix in the state the machine asks for."""
    def value(text):
        if text is None:
            return "-"
        return '"' + text.replace("\\", "\\\\").replace('"', '\\"') + '"'

    lines = [
        "REGEDIT4", "",
        "[HKEY_CURRENT_USER\\Software\\Wine]",
        f'"Version"={value(machine.release)}', "",
        # Unmanaged windows: without a window manager Wine otherwise waits
        # two seconds for each closed box to be withdrawn.
        "[HKEY_CURRENT_USER\\Software\\Wine\\X11 Driver]",
        '"Managed"="N"', "",
        # A crash must fail the run, not wait behind a dialog nobody closes.
        "[HKEY_CURRENT_USER\\Software\\Wine\\WineDbg]",
        '"ShowCrashDialog"=dword:00000000', "",
        "[HKEY_CURRENT_USER\\Software\\Wine\\Debug]",
        f'"RelayInclude"={value(RELAYED)}', "",
    ]
    if machine.place1 is not AS_IS:
        lines += [f"[HKEY_LOCAL_MACHINE\\{PLACE1}]",
                  f'"PROCESSOR_ARCHITECTURE"={value(machine.place1)}', ""]
    # Wine's prefixes have no ControlSet002; one a run made must not outlive it.
    lines += ["[-HKEY_LOCAL_MACHINE\\SYSTEM\\ControlSet002]", ""]
    if machine.place2 is not None:
        lines += [f"[HKEY_LOCAL_MACHINE\\{PLACE2}]",
                  f'"PROCESSOR_ARCHITECTURE"={value(machine.place2)}', ""]
    return "\r\n".join(lines) + "\r\n"
