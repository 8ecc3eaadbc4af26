"""The preview's results rendered as the text that `kit preview` prints:
the check, then a table per Windows or one run in full, each row with its
verdict; and the runs that could not be judged."""
import os

from kitlib import paths, wine
from kitlib.model import format_text
from kitlib.model.verdicts import RUN_PROBLEM
from kitlib.wine import AS_IS, format_boxes


def text(preview):
    """All that `kit preview` prints of the results, ending in a newline."""
    lines = [f"Check of {preview.kit}:", format_text(preview.findings), ""]
    for table in preview.tables:
        kit = preview.kits[table.key]
        if preview.request.matrix:
            launcher = paths.shown(os.path.join(kit, table.results[0].layout.program))
            lines.append(f"Launcher: {launcher}{started_from(table, preview.request)}")
            lines += [table.left_out] if table.left_out else []
            lines.append(table_title(table, paths.shown(table.session.prefix)))
            lines += [format_table(table), ""]
        else:
            lines += run_text(table.results[0], kit, table.bits, table.refusals)
            folder = started_from(table, preview.request)
            lines += [f"Started:                 {folder[2:]}"] if folder else []
    return "\n".join(lines) + "\n"


def started_from(table, request):
    """Where the launcher was started, when not from a folder like any
    other: ", from ..." or ""."""
    if table.cd:
        return ", from a CD-ROM drive (AutoRun)"
    if request.folder:
        return f", from a folder named {request.folder.replace('/', chr(92))}"
    return ""


def problems(preview):
    """A line for each run that could not be judged: Wine got it wrong even
    after its retries, or the launcher ended without a box or a start, which
    no run of it does (a prefix that cannot load it, say). No fact about the
    launcher: the row says so, and the preview fails."""
    lines = []
    for table in preview.tables:
        for result in table.results:
            if result.judge(table.refusals)[0] == RUN_PROBLEM:
                run = result.run
                why = "; ".join(run.problems) or (f"the launcher ended with exit code {run.exit_code}, "
                                                  "showing no box and starting nothing")
                lines.append(f"{table.key}: {result.row.release} {result.arch_text()}: {why}")
    return lines


def verdicts(preview):
    return [result.judge(table.refusals)[0] for table in preview.tables for result in table.results]


def table_title(table, prefix):
    found = table.session.wine
    if table.bits == 64:
        arm = "; the ARM64 rows modelled, not run" if any(row.modelled for row in table.rows) else ""
        title = f"64-bit Windows ({prefix}, WOW64) on {found.describe()}: the registry as that Windows has it{arm}"
    else:
        made = "" if found.true_32bit else f", {found.how_32bit_windows()}"
        title = f"32-bit Windows ({prefix}{made}) on {found.describe()}: PROCESSOR_ARCHITECTURE set as shown"
    return title


def format_table(table):
    header = ("Release", "PROCESSOR_ARCHITECTURE", "Installer started", "Boxes", "Exit", "Verdict")
    rows = [(result.row.release, result.arch_text(), result.installer_text(),
             "?" if result.run.problems else format_boxes(result.run.boxes), str(result.run.exit_code),
             result.verdict_text(table.refusals))
            for result in table.results]
    widths = [max(len(row[i]) for row in [header] + rows) for i in range(len(header))]

    def line(cells):
        return "  ".join(cell.ljust(width) for cell, width in zip(cells, widths)).rstrip()
    return "\n".join([line(header), line(["-" * width for width in widths])] + [line(row) for row in rows])


def run_text(result, kit, bits, refusals=()):
    """One run in full, as lines."""
    row, run = result.row, result.run
    lines = [f"Kit:                     {kit}",
             f"Windows:                 {bits}-bit, {row.release}" + (" (modelled)" if row.modelled else "")]
    if run.machine.place1 is AS_IS:
        lines.append("PROCESSOR_ARCHITECTURE:  as that Windows has it")
    else:
        lines.append(f"PROCESSOR_ARCHITECTURE:  CurrentControlSet: {run.machine.place1 or '(none)'}; "
                     f"ControlSet002: {run.machine.place2 or '(none)'}")
    lines.append(f"Installer started:       {result.installer_text()}")
    for launch in run.launches:
        lines += [f"  its command line:      {launch.command_line}",
                  f"  its current folder:    {launch.folder}",
                  f"  its drive:             {wine.DRIVE_TYPES.get(launch.drive, launch.drive)}"]
    lines += [f"Boxes, in order:         {format_boxes(run.boxes)}",
              f"Exit code:               {run.exit_code}",
              f"Verdict:                 {result.verdict_text(refusals)}"]
    lines += [f"Screenshot:              {shot}" for shot in run.screenshots]
    return lines
