"""Made-up preview results for the report's tests: every kind of row, texts
meant to break out of the page, and real PNGs of message-box-like pictures
of known sizes."""
import os
import struct
import zlib

from kitlib import interpreter

# The report needs Jinja2, and the model pefile: this may start the test
# again under Debian's Python, so before anything is made.
interpreter.require("pefile", "jinja2")
from kitlib import model, report  # noqa: E402
from kitlib.report import shots as report_shots  # noqa: E402
from kitlib.report import Box, Row, Table  # noqa: E402

HOSTILE = '<script>window.pwned = 1</script>"><img src=x onerror="window.pwned = 2">&amp;'
XP, VISTA32, VISTA64 = (r"Autoinst\winxp\instxp.exe", r"Autoinst\winvista\Vistax86\instvs32.exe",
                        r"Autoinst\winvista\Vistax64\instvs64.exe")


def png(path, width, height, title=(10, 36, 106)):
    """A PNG of a box: a grey face under a title bar, with an OK button."""
    face, edge, white = (212, 208, 200), (128, 128, 128), (255, 255, 255)
    rows = []
    for y in range(height):
        row = bytearray()
        for x in range(width):
            if x in (0, width - 1) or y in (0, height - 1):
                pixel = edge
            elif 2 <= y < 20:
                shade = x / width
                pixel = tuple(int(c + (166 - c) * shade) for c in title)
            elif width // 2 - 36 <= x < width // 2 + 36 and height - 34 <= y < height - 10:
                on_edge = x in (width // 2 - 36, width // 2 + 35) or y in (height - 34, height - 11)
                pixel = edge if on_edge else face
            elif 14 <= x < 46 and 32 <= y < 64:
                pixel = white if (x - 30) ** 2 + (y - 48) ** 2 < 240 else face
            else:
                pixel = face
            row += bytes(pixel)
        rows.append(b"\0" + bytes(row))

    def chunk(kind, data):
        return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data))
    with open(path, "wb") as out:
        out.write(report_shots.PNG_SIGNATURE + chunk(b"IHDR", struct.pack(">IIBBBBB", width, height, 8, 2, 0, 0, 0))
                  + chunk(b"IDAT", zlib.compress(b"".join(rows))) + chunk(b"IEND", b""))
    return path


def shots(folder):
    """The screenshots, by box text: (path, width, height)."""
    sizes = {"Unknow OS version": (236, 118), "Exec fail": (190, 118), "VISTA32": (170, 110),
             "VISTA64": (170, 110), HOSTILE: (320, 130)}
    made = {}
    for i, (text, (width, height)) in enumerate(sizes.items()):
        # A name no file system likes much: the report renames it.
        made[text] = (png(os.path.join(folder, f"shot {i} <&>.png"), width, height), width, height)
    return made


def tables(folder):
    made = shots(folder)

    def box(text, shot=True):
        return Box(text, made[text][0] if shot else None)

    def unknown(shot=True):
        return [box("Unknow OS version", shot), box("Exec fail", shot)]
    v32 = lambda release, arch="x86": Row(release, arch, VISTA32, "32", "", [box("VISTA32")], 0, "starts")
    v64 = lambda release, bits="32": Row(release, "AMD64", VISTA64, bits, "", [box("VISTA64")], 0, "starts")
    x32 = Table("32", "32-bit Windows (Wine 8.0, with its 32-bit part): PROCESSOR_ARCHITECTURE set as shown", [
        Row("win95", "x86", r"Autoinst\win98SE\inst98.exe", "32", "", [], 0, "starts"),
        Row("winme", "x86", None, None, r"missing: Autoinst\winme\instme.exe", [], 0, "fault"),
        Row("nt40", "x86", None, None, "", unknown(), 0, "not-served"),
        Row("winxp", "x86", XP, "32", "", [], 0, "starts"),
        Row("winxp64", "x86", None, None, "", unknown(shot=False), 0, "not-served"),
        v32("vista"), v64("vista"),
        Row("win7", "x86", VISTA32, "32", "", [box("VISTA32")], 0, "run-problem",
            problem="Wine did not show a box the launcher called for"),
        v64("win7"), v32("win10"), v64("win10"),
    ])
    x64 = Table("64", "64-bit Windows (Wine 8.0, WOW64): the registry as that Windows has it", [
        Row("winxp", "AMD64", XP, "32", "", [], 0, "starts"),
        Row("win2003", "AMD64", None, None, "", unknown(), 0, "not-served"),
        v64("win7", "64"), v64("win10", "64"),
        Row("win10", "ARM64", VISTA32, "32", "", [], None, "starts", modelled=True),
        Row("win11", "ARM64", None, None, "Windows on ARM runs no x64 installer here", [], None, "fault",
            modelled=True),
        Row("win81", "as is", HOSTILE, "64", HOSTILE, [box(HOSTILE)], 3, "run-problem", problem=HOSTILE),
    ])
    cd = Table("cd", "Started from a CD-ROM drive (AutoRun)", [
        Row("winxp", "x86", XP, "32", "", [], 0, "starts"),
        Row("win7", "AMD64", VISTA64, "32", "", [box("VISTA64")], 0, "starts"),
    ])
    return [x32, x64, cd], made


FINDINGS = [
    model.Finding(r"Autoinst\winme\instme.exe", model.ERROR, r"missing: Autoinst\winme\instme.exe"),
    model.Finding(XP, model.WARNING, "its name holds \"inst\": Vista may ask for elevation"),
    model.Finding("launcher.exe", model.INFO, "not signed"),
    model.Finding(HOSTILE, model.INFO, HOSTILE),
]
WINE = "wine-8.0 (Debian 8.0~repack-4)"

# The rows of tables() as the page must carry them: (data-windows,
# data-release, data-arch, data-verdict, data-modelled present).
EXPECTED_ROWS = [
    ("32", "win95", "x86", "starts", False), ("32", "winme", "x86", "fault", False),
    ("32", "nt40", "x86", "not-served", False), ("32", "winxp", "x86", "starts", False),
    ("32", "winxp64", "x86", "not-served", False), ("32", "vista", "x86", "starts", False),
    ("32", "vista", "AMD64", "starts", False), ("32", "win7", "x86", "run-problem", False),
    ("32", "win7", "AMD64", "starts", False), ("32", "win10", "x86", "starts", False),
    ("32", "win10", "AMD64", "starts", False),
    ("64", "winxp", "AMD64", "starts", False), ("64", "win2003", "AMD64", "not-served", False),
    ("64", "win7", "AMD64", "starts", False), ("64", "win10", "AMD64", "starts", False),
    ("64", "win10", "ARM64", "starts", True), ("64", "win11", "ARM64", "fault", True),
    ("64", "win81", "as is", "run-problem", False),
    ("cd", "winxp", "x86", "starts", False), ("cd", "win7", "AMD64", "starts", False),
]
# Its headline: faults only, the Windows served (all but the 3 not served)
# and those an installer starts on.
EXPECTED_SUMMARY = ("20 rows \u2716 2 faults The launcher serves 17 of these Windows and starts an installer on 13 "
                    "3 not served, by design \u25c7 2 modelled, not run \u26a0 2 run problems")
