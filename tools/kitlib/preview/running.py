"""The preview as a library: what a distribution's launcher does under Wine
on each Windows release. run() plans the tables (tables.py), runs them side
by side and returns what it found; printing.py and the report render it. The
distribution's own installers never run: a scratch copy of its layout holds
recording stand-ins in their place (stand_ins.py), of the same bitness where
that Windows would start them, and a file no Windows starts where it would
not. The kit itself is never changed."""
import functools
import os
import shutil
import tempfile

from kitlib import checks, paths, wine
from kitlib.preview import stand_ins
from kitlib.preview.sample_kit import make_kit
from kitlib.preview.results import Result
from kitlib.preview.tables import TABLE_NAMES, Preview, Request, plan, table_prefix
from kitlib.wine import WineSession


def run(kit=None, program=None, request=None, line=None):
    """Runs the planned tables on kit (None: the sample kit) and returns a
    Preview; line: a progress.Line told which row runs. Raises WineError
    (WineUnavailable where this machine cannot run 32-bit Windows programs)."""
    request = request or Request()
    found = wine.find_wine()
    tables = plan(request, found)
    kits, samples = {}, {}
    for table in tables:
        if not kit and table.bits not in samples:
            samples[table.bits] = sample_kit(table.bits)
        kits[table.key] = os.path.abspath(kit) if kit else samples[table.bits]
    findings = checks.check(kits[tables[0].key], program)
    for table in tables:
        # Wine starts what a Windows would not load (it exports every function
        # whatever release it pretends to be): the check says where.
        table.refusals = checks.refusals(kits[table.key])
    wine.run_side_by_side([functools.partial(run_table, table, kits[table.key], program, request, found, line)
                           for table in tables])
    return Preview(request, found, kits, findings, tables)


def sample_kit(bits):
    """The sample kit for a Windows: a genuine 64-bit installer on a 64-bit one."""
    if bits == 64:
        return make_kit(paths.SAMPLE_KIT + "64", genuine64=True)
    return make_kit(paths.SAMPLE_KIT)


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
                if request.folder and not table.cd:
                    dest = os.path.join(dest, *request.folder.split("/"))
                copies[row.kind] = (dest, stand_ins.lay(kit, dest, program, row.kind))
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
                table.results.append(Result(row, run, layout))
    finally:
        shutil.rmtree(scratch, ignore_errors=True)
