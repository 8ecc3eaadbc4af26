"""What one Windows' own DLL lacks of what an installer imports from it:
what its export list lacks; on 95 to 2000, whose lists are XP's, what XP
and its service packs added (first-windows lines and the model's own list);
what a service pack or an update added (a warning); and the functions only
Common Controls 6 has. Templates as causes.py's."""
from kitlib.checks.loading.causes import REFUSES
from kitlib.model.findings import ERROR, WARNING
from kitlib.model.loader import (COMCTL6_ONLY, FIRST_WINDOWS_NOT_TAKEN, UNLISTED, UPDATES, XP_ADDED,
                                 first_windows_rule)

NEEDS = "{releases} will load it only with %s: {items}"


def lacks(release, dll, function, exports, data, comctl6):
    """(severity, template) when release's dll (exports: its Exports there)
    lacks function, or None. data: the export data, for its first-windows
    lines; comctl6: whether the installer's manifest asks for Common
    Controls 6 there."""
    listed = exports.has(function)
    update = UPDATES.get((dll, function), {})
    if update.get(release):
        return WARNING, NEEDS % update[release]
    first = data.first_windows(dll, function) if (dll, function) not in FIRST_WINDOWS_NOT_TAKEN else None
    rule = first_windows_rule(release, first, listed) if first else None
    if rule and rule[0] == WARNING:
        return WARNING, NEEDS % rule[1]
    if not listed:
        return ERROR, REFUSES + "{items}"
    if release in UNLISTED:
        # What an XP service pack added, XP's own list (SP3) has too.
        added = ("Windows XP " + update["winxp"] if update.get("winxp") else rule[1] if rule
                 else "Windows XP" if (dll, function) in XP_ADDED else None)
        if added:
            return ERROR, REFUSES + "{items} (%s added it)" % added
    if dll == "comctl32.dll" and function in COMCTL6_ONLY and not comctl6 and release not in UNLISTED:
        return ERROR, (REFUSES + "{items}: only Common Controls version 6 has it, and the installer's "
                       "manifest does not ask for that version")
    return None
