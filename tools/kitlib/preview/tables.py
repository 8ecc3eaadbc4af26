"""What a preview runs, as plain data: the request (one machine or the
matrix, from a CD-ROM drive or not), the tables it plans (a 32-bit and a
64-bit Windows, the CD-ROM table), their rows, and what the preview found."""
import dataclasses
import os

from kitlib import errors, paths
from kitlib.model import windows
from kitlib.wine import code_page
from kitlib.wine.errors import WineError
from kitlib.wine.registry import ARM64, AS_IS, X86, Machine
from kitlib.wine.timing import RUN_TIMEOUT

MATRIX_FROM = "win95"
# What a Windows of each bitness starts.
KINDS = {32: windows.X86_WINDOWS, 64: windows.X64_WINDOWS}
TABLE_NAMES = {"32": "32-bit table", "64": "64-bit table", "cd": "CD-ROM table"}


@dataclasses.dataclass
class Request:
    """What to preview: one machine (windows, release, arch, arch2), or the
    matrix; from a CD-ROM drive with cd; where and how Wine runs."""
    matrix: bool = False
    cd: bool = False
    windows: int = 32
    release: str = "winxp"
    arch: object = AS_IS          # CurrentControlSet's PROCESSOR_ARCHITECTURE (None: no value)
    arch2: object = None          # ControlSet002's
    prefix: str = paths.PREFIXES[32]
    prefix64: str = paths.PREFIXES[64]
    own_display: bool = False     # a display of our own even where DISPLAY is set
    timeout: float = RUN_TIMEOUT
    screenshots: str = None       # a folder for a PNG of every box
    folder: str = None            # the name of the folder the kit is run from, parts separated by /


@dataclasses.dataclass
class Row:
    """One run of a table: the machine, the kind of Windows (what it starts),
    and whether Wine runs it as that Windows or the row is a model of one."""
    machine: Machine
    kind: windows.Kind
    modelled: bool = False
    release_shown: str = None   # the release the row stands for, when Wine runs another

    @property
    def release(self):
        return self.release_shown or self.machine.release


@dataclasses.dataclass
class Table:
    key: str            # "32", "64" or "cd"
    bits: int           # the Windows' bitness
    cd: bool
    rows: list
    results: list = dataclasses.field(default_factory=list)   # results.Result, one per row run
    session: object = None      # the wine.WineSession it ran in
    # What is known of the kit's installers that Windows will not load
    # (model.Refusal): a row that starts one there is a fault.
    refusals: tuple = ()
    left_out: str = ""          # the rows left out of it, and why


@dataclasses.dataclass
class Preview:
    """What run() found: the Wine, the kit each table ran (the sample kit
    differs by bitness), the check of the first, and the tables' results."""
    request: Request
    wine: object
    kits: dict
    findings: list
    tables: list

    @property
    def kit(self):
        return self.kits[self.tables[0].key]

    @property
    def launcher(self):
        return os.path.join(self.kit, self.tables[0].results[0].layout.program)


def plan(request, found):
    """The tables to run: one machine, or the matrix (with cd a third
    table, the 64-bit Windows started from a CD-ROM drive)."""
    known = [release for release in windows.WINE_NAMES if found.knows(release)]
    unnamed, why = unnamed_folder(request, *([windows.NAMES[request.release]] if not request.matrix else []))
    if not request.matrix:
        bits = request.windows
        if request.release not in known:
            raise WineError(f"{found.describe()} does not know the release {request.release}")
        if request.release in unnamed and not request.cd:
            raise errors.Usage(f"--folder: {why}")
        arch = request.arch if request.arch is not AS_IS or bits == 64 else X86
        kind = windows.ARM64_WIN11 if arch == ARM64 and bits == 64 else KINDS[bits]
        row = Row(Machine(request.release, arch, request.arch2), kind)
        return [Table("cd" if request.cd else str(bits), bits, request.cd, [row])]
    rows = {bits: matrix_rows(bits, known) for bits in (32, 64)}
    gone = [row.release for row in rows[32] if row.release in unnamed]
    left_out = f"Left out: {', '.join(gone)}: {why}" if gone else ""
    tables = [Table(key, bits, False, [row for row in rows[bits] if row.release not in unnamed],
                    left_out=left_out) for key, bits in (("32", 32), ("64", 64))]
    if request.cd:
        tables.append(Table("cd", 64, True, [row for row in matrix_rows(64, known) if not row.modelled]))
    return tables


def unnamed_folder(request, who="Windows 95, 98 and Me"):
    """(the releases that cannot name the folder the kit is run from, why):
    a Windows that sees names only in the ANSI code page has no name for a
    folder named outside it, so no user of it starts a launcher from there."""
    page = code_page.ansi_code_page(os.environ)
    if not request.folder or code_page.holds(request.folder, page):
        return (), ""
    shown = request.folder.replace("/", "\\")
    return windows.ANSI_ONLY, (f"the ANSI code page ({page} here), the only one in which {who} can name a file, "
                               f"cannot hold '{shown}'")


def matrix_rows(bits, known):
    """The rows of a table: on a 32-bit Windows the registry says x86, as a
    32-bit Windows always does; on a 64-bit one its own (no faking there),
    then Windows on ARM, modelled, after every row that needs the registry as
    Windows has it. known: the releases this Wine can be, in the model's order."""
    releases = known[known.index(MATRIX_FROM):] if MATRIX_FROM in known else []
    if bits == 32:
        return [Row(Machine(release, X86), KINDS[32]) for release in releases]
    rows = [Row(Machine(release, AS_IS), KINDS[64]) for release in releases]
    # Windows on ARM, which Wine cannot be, tells the launcher 6.2 as 10 and
    # 11 do, and claims ARM64; the copy holds what that Windows starts.
    for release, kind in windows.ON_ARM.items():
        run_as = release if release in known else "win10"
        rows.append(Row(Machine(run_as, ARM64), kind, modelled=True, release_shown=release))
    return rows


def table_prefix(table, request):
    """The table's Windows. The matrix's CD-ROM table has a 64-bit prefix of
    its own beside the 64-bit one, so that it can run alongside that table,
    and does so whether it does or not: the report stays the same."""
    if table.bits == 64:
        return os.path.normpath(request.prefix64) + "cd" if table.cd and request.matrix else request.prefix64
    return request.prefix
