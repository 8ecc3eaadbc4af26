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
RELAYED = "user32.MessageBoxA;shell32.ShellExecuteA;shell32.ShellExecuteW"


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


def registry_changes(machine):
    """What puts the prefix in the state the machine asks for, in order:
    (what, key, name, value) with what one of "set", "dword", "delete" (a
    value) and "drop" (a key and all below it)."""
    changes = [
        ("set", "HKEY_CURRENT_USER\\Software\\Wine", "Version", machine.release),
        # Unmanaged windows: without a window manager Wine otherwise waits
        # two seconds for each closed box to be withdrawn.
        ("set", "HKEY_CURRENT_USER\\Software\\Wine\\X11 Driver", "Managed", "N"),
        # A crash must fail the run, not wait behind a dialog nobody closes.
        ("dword", "HKEY_CURRENT_USER\\Software\\Wine\\WineDbg", "ShowCrashDialog", "0"),
        ("set", "HKEY_CURRENT_USER\\Software\\Wine\\Debug", "RelayInclude", RELAYED),
    ]
    for key, text in ((PLACE1, machine.place1), (PLACE2, machine.place2)):
        if key == PLACE2:
            # Wine's prefixes have no ControlSet002; one a run made must not outlive it.
            changes.append(("drop", "HKEY_LOCAL_MACHINE\\SYSTEM\\ControlSet002", None, None))
            if text is None:
                continue
        if text is not AS_IS:
            key = "HKEY_LOCAL_MACHINE\\" + key
            changes.append(("delete", key, "PROCESSOR_ARCHITECTURE", None) if text is None
                           else ("set", key, "PROCESSOR_ARCHITECTURE", text))
    return changes


def starter_text(machine):
    """The changes as the starter reads them (STARTER_REGISTRY): it makes
    them itself, which spares each run a regedit, a Wine process of its own."""
    return "\n".join("\t".join(field for field in change if field is not None)
                     for change in registry_changes(machine))


def registry_text(machine):
    """The same changes as a REGEDIT4 file."""
    def value(what, text):
        if what == "delete":
            return "-"
        if what == "dword":
            return f"dword:{int(text):08x}"
        return '"' + text.replace("\\", "\\\\").replace('"', '\\"') + '"'

    lines = ["REGEDIT4", ""]
    for what, key, name, text in registry_changes(machine):
        if what == "drop":
            lines += [f"[-{key}]", ""]
        else:
            lines += [f"[{key}]", f'"{name}"={value(what, text)}', ""]
    return "\r\n".join(lines) + "\r\n"
