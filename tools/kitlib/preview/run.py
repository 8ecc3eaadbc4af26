"""The preview as a library: what a distribution's launcher does under Wine
on each Windows release. run() plans the tables (one machine, or the matrix
of every release on a 32-bit and a 64-bit Windows, and from a CD-ROM drive),
runs them and returns the results; preview_text renders them as the text
tables and as the HTML report. The distribution's own installers never run:
a scratch copy of its layout holds recording stand-ins in their place, of
the same bitness where that Windows would start them, and a file no Windows
starts where it would not. The kit itself is never changed."""
import dataclasses
import functools
import os
import shutil
import tempfile

import check_kit
import loadcheck
import make_kit
import paths
import stand_in_kit
import windows
import wine
from wine import ARM64, AS_IS, X86, Machine, WineError, WineSession

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
    timeout: float = wine.RUN_TIMEOUT
    screenshots: str = None       # a folder for a PNG of every box


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
    results: list = dataclasses.field(default_factory=list)   # (Row, Run, Layout)
    session: WineSession = None
    # What is known of the kit's installers that Windows will not load
    # (windows.Refusal): a row that starts one there is a fault.
    refusals: tuple = ()


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
        return os.path.join(self.kit, self.tables[0].results[0][2].program)


def run(kit=None, program=None, request=Request(), line=None):
    """Runs the planned tables on kit (None: the sample kit) and returns a
    Preview; line: a progress.Line told which row runs. Raises WineError
    (WineUnavailable where this machine cannot run 32-bit Windows programs)."""
    found = wine.find_wine()
    tables = plan(request, found)
    kits, samples = {}, {}
    for table in tables:
        if not kit and table.bits not in samples:
            samples[table.bits] = sample_kit(table.bits)
        kits[table.key] = os.path.abspath(kit) if kit else samples[table.bits]
    findings = check_kit.check(kits[tables[0].key], program)
    for table in tables:
        table.refusals = refusals_of(kits[table.key])
    wine.run_side_by_side([functools.partial(run_table, table, kits[table.key], program, request, found, line)
                           for table in tables])
    return Preview(request, found, kits, findings, tables)


def plan(request, found):
    """The tables to run: one machine, or the matrix (with cd a third
    table, the 64-bit Windows started from a CD-ROM drive)."""
    known = [release for release in windows.WINE_NAMES if found.knows(release)]
    if not request.matrix:
        bits = request.windows
        if request.release not in known:
            raise WineError(f"{found.describe()} does not know the release {request.release}")
        arch = request.arch if request.arch is not AS_IS or bits == 64 else X86
        kind = windows.ARM64_WIN11 if arch == ARM64 and bits == 64 else KINDS[bits]
        row = Row(Machine(request.release, arch, request.arch2), kind)
        return [Table("cd" if request.cd else str(bits), bits, request.cd, [row])]
    tables = [Table("32", 32, False, matrix_rows(32, known)), Table("64", 64, False, matrix_rows(64, known))]
    if request.cd:
        tables.append(Table("cd", 64, True, [row for row in matrix_rows(64, known) if not row.modelled]))
    return tables


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


def sample_kit(bits):
    """The sample kit for a Windows: a genuine 64-bit installer on a 64-bit one."""
    if bits == 64:
        return make_kit.make_kit(paths.SAMPLE_KIT + "64", genuine64=True)
    return make_kit.make_kit(paths.SAMPLE_KIT)


def refusals_of(kit):
    """What the check found of the kit's installers that a Windows will not
    load although Wine starts them (Wine exports every function whatever
    release it pretends to be): the rows it turns into faults."""
    refusals = []
    for row in windows.ROWS:
        by_reason = {}
        for release, reason in loadcheck.will_not_load(kit, row.path).items():
            by_reason.setdefault(reason, set()).add(release)
        refusals += [windows.Refusal(row.path, frozenset(releases), reason) for reason, releases in by_reason.items()]
    return tuple(refusals)


def table_prefix(table, request):
    """The table's Windows. The matrix's CD-ROM table has a 64-bit prefix of
    its own beside the 64-bit one, so that it can run alongside that table,
    and does so whether it does or not: the report stays the same."""
    if table.bits == 64:
        return os.path.normpath(request.prefix64) + "cd" if table.cd and request.matrix else request.prefix64
    return request.prefix


def run_table(table, kit, program, request, found, line=None, stop=None):
    """Runs the launcher of scratch copies of kit once per row of the table;
    line: a progress.Line to say which row runs; stop: an event that ends it
    before the next row (another table failed)."""
    scratch = tempfile.mkdtemp(prefix="preview-", dir=paths.BUILD)
    try:
        copies = {}

        def copy_for(row):
            # One copy per set of programs the row's Windows starts; from a
            # CD, the copy is the disc: the launcher at its root.
            if row.kind not in copies:
                dest = os.path.join(scratch, f"kit{len(copies)}")
                copies[row.kind] = (dest, stand_in_kit.lay(kit, dest, program, row.kind))
            return copies[row.kind]
        first, _ = copy_for(table.rows[0])
        with WineSession(table_prefix(table, request), own_display=request.own_display, timeout=request.timeout,
                         windows=table.bits, cdrom=first if table.cd else None, wine=found,
                         **paths.session_paths(table.bits)) as session:
            table.session = session
            for number, row in enumerate(table.rows, 1):
                if stop is not None and stop.is_set():
                    raise wine.Stopped()
                if line:
                    line.show(f"{TABLE_NAMES[table.key]}, row {number} of {len(table.rows)}: {row.release}",
                              key=table.key)
                copy, layout = copy_for(row)
                label = f"{table.key}-{row.release}-{row.machine.describe_arch().replace(' ', '')}"
                # AutoRun starts it by its quoted path from system32;
                # otherwise from its own folder, as a double click in Explorer.
                run = session.run(copy, row.machine, program=layout.program,
                                  start_folder=wine.AUTORUN_FOLDER if table.cd else copy,
                                  screenshots=request.screenshots, label=label)
                table.results.append((row, run, layout))
    finally:
        shutil.rmtree(scratch, ignore_errors=True)
