"""The preview's results (preview.run) rendered for a person: the text that
`kit preview` prints (the check, then a table per Windows or one run in
full, each row with its verdict) and the HTML report (report.py)."""
import os

import check_kit
import paths
import windows
import wine
from wine import AS_IS, format_boxes


def text(preview):
    """All that `kit preview` prints of the results, ending in a newline."""
    lines = [f"Check of {preview.kit}:", check_kit.format_text(preview.findings), ""]
    for table in preview.tables:
        kit = preview.kits[table.key]
        if preview.request.matrix:
            launcher = paths.shown(os.path.join(kit, table.results[0][2].program))
            lines.append(f"Launcher: {launcher}{', from a CD-ROM drive (AutoRun)' if table.cd else ''}")
            lines.append(table_title(table, paths.shown(table.session.prefix)))
            lines += [format_table(table), ""]
        else:
            row, run, layout = table.results[0]
            lines += run_text(row, run, kit, layout, table.bits, table.refusals)
    return "\n".join(lines) + "\n"


def problems(preview):
    """A line for each run that could not be judged: Wine got it wrong even
    after its retries, or the launcher ended without a box or a start, which
    no run of it does (a prefix that cannot load it, say). No fact about the
    launcher: the row says so, and the preview fails."""
    lines = []
    for table in preview.tables:
        for row, run, layout in table.results:
            if judge(row, run, layout, table.refusals)[0] == windows.RUN_PROBLEM:
                why = "; ".join(run.problems) or (f"the launcher ended with exit code {run.exit_code}, "
                                                  "showing no box and starting nothing")
                lines.append(f"{table.key}: {row.release} {arch_text(row)}: {why}")
    return lines


def verdicts(preview):
    return [judge(row, run, layout, table.refusals)[0]
            for table in preview.tables for row, run, layout in table.results]


def table_title(table, prefix):
    found = table.session.wine
    if table.bits == 64:
        arm = "; the ARM64 rows modelled, not run" if any(row.modelled for row in table.rows) else ""
        title = f"64-bit Windows ({prefix}, WOW64) on {found.describe()}: the registry as that Windows has it{arm}"
    else:
        made = "" if found.true_32bit else f", {found.how_32bit_windows()}"
        title = f"32-bit Windows ({prefix}{made}) on {found.describe()}: PROCESSOR_ARCHITECTURE set as shown"
    return title


def why_none(run, layout):
    """Why no installer started, in the table's words ("" when the boxes say it)."""
    if windows.UNKNOWN_BOX in run.boxes:
        return ""
    # The launcher does not say which path it failed to start; the release
    # tells, and on NT 6 the notice box.
    tried = windows.row_tried(run.machine.release, run.boxes)
    slot = layout.slots.get(tried.path) if tried else None
    return slot.why if slot is not None and slot.bits is None else ""


def started(run, layout):
    """(the distribution's file, its bitness) for each start of the run."""
    out = []
    for launch in run.launches:
        slot = layout.slot_of(launch.relative)
        out.append((slot.found if slot else launch.relative, launch.bits))
    return out


def installer_text(run, layout):
    """Which of the distribution's files started, and how, or why none did."""
    if run.problems:
        return "not judged: " + "; ".join(run.problems)
    starts = started(run, layout)
    if starts:
        return " + ".join(f"{found} ({bits}-bit)" for found, bits in starts)
    why = why_none(run, layout)
    return f"none ({why})" if why else "none"


def judge(row, run, layout, refusals=()):
    """(verdict, reason) of the row: see windows.judge. refusals: what is
    known of installers that Windows will not load (windows.Refusal)."""
    started_paths = [slot.expected for slot in map(layout.slot_of, (launch.relative for launch in run.launches))
                     if slot]
    return windows.judge(row.release, run.boxes, started_paths, run.problems, refusals)


def verdict_text(row, run, layout, refusals=()):
    verdict, reason = judge(row, run, layout, refusals)
    return f"{verdict} ({reason})" if reason else verdict


def arch_text(row):
    return row.machine.describe_arch() + (" (modelled)" if row.modelled else "")


def format_table(table):
    header = ("Release", "PROCESSOR_ARCHITECTURE", "Installer started", "Boxes", "Exit", "Verdict")
    rows = [(row.release, arch_text(row), installer_text(run, layout),
             "?" if run.problems else format_boxes(run.boxes), str(run.exit_code),
             verdict_text(row, run, layout, table.refusals))
            for row, run, layout in table.results]
    widths = [max(len(row[i]) for row in [header] + rows) for i in range(len(header))]

    def line(cells):
        return "  ".join(cell.ljust(width) for cell, width in zip(cells, widths)).rstrip()
    return "\n".join([line(header), line(["-" * width for width in widths])] + [line(row) for row in rows])


def run_text(row, run, kit, layout, bits, refusals=()):
    """One run in full, as lines."""
    lines = [f"Kit:                     {kit}",
             f"Windows:                 {bits}-bit, {row.release}" + (" (modelled)" if row.modelled else "")]
    if run.machine.place1 is AS_IS:
        lines.append("PROCESSOR_ARCHITECTURE:  as that Windows has it")
    else:
        lines.append(f"PROCESSOR_ARCHITECTURE:  CurrentControlSet: {run.machine.place1 or '(none)'}; "
                     f"ControlSet002: {run.machine.place2 or '(none)'}")
    lines.append(f"Installer started:       {installer_text(run, layout)}")
    for launch in run.launches:
        lines += [f"  its command line:      {launch.command_line}",
                  f"  its current folder:    {launch.folder}",
                  f"  its drive:             {wine.DRIVE_TYPES.get(launch.drive, launch.drive)}"]
    lines += [f"Boxes, in order:         {format_boxes(run.boxes)}",
              f"Exit code:               {run.exit_code}",
              f"Verdict:                 {verdict_text(row, run, layout, refusals)}"]
    lines += [f"Screenshot:              {shot}" for shot in run.screenshots]
    return lines


def write_report(folder, preview):
    """The results as the HTML report in folder; returns the page's path."""
    import report   # only a report needs it (and Jinja2 with it)
    pages = []
    for table in preview.tables:
        rows = []
        for row, run, layout in table.results:
            starts = started(run, layout)
            verdict, reason = judge(row, run, layout, table.refusals)
            rows.append(report.Row(
                release=row.release, arch=row.machine.describe_arch(),
                installer=" + ".join(found_name for found_name, _ in starts) or None,
                bits=" + ".join(bits for _, bits in starts) or None,
                why_none="" if starts else why_none(run, layout),
                boxes=[report.Box(box, shot) for box, shot in
                       zip(run.boxes, list(run.screenshots) + [None] * len(run.boxes))],
                exit_code=run.exit_code, verdict=verdict, modelled=row.modelled,
                problem="; ".join(run.problems), reason=reason))
        title = table_title(table, paths.shown(table.session.prefix))
        if table.cd:
            title = "Started from a CD-ROM drive (AutoRun) on a " + title[0].lower() + title[1:]
        pages.append(report.Table(windows=table.key, title=title, rows=rows))
    found = preview.wine
    return report.write(folder, findings=preview.findings, tables=pages, launcher=preview.launcher,
                        wine=found.describe() + f" ({found.version})")
