"""The preview's results as the report's rows and tables, and the report
written from them."""
from kitlib import paths
from kitlib.preview.printing import started_from, table_title
from kitlib.report.data import write_json
from kitlib.report.writing import Box, Row, Table, write


def rows_of(table):
    """The report's rows of one of the preview's tables."""
    rows = []
    for result in table.results:
        run, starts = result.run, result.started()
        verdict, reason = result.judge(table.refusals)
        rows.append(Row(
            release=result.row.release, arch=result.row.machine.describe_arch(),
            installer=" + ".join(found_name for found_name, _ in starts) or None,
            bits=" + ".join(bits for _, bits in starts) or None,
            why_none="" if starts else result.why_none(),
            boxes=[Box(box, shot) for box, shot in zip(run.boxes, list(run.screenshots) + [None] * len(run.boxes))],
            exit_code=run.exit_code, verdict=verdict, modelled=result.row.modelled,
            problem="; ".join(run.problems), reason=reason))
    return rows


def tables_of(preview):
    """The report's tables of the preview's results."""
    pages = []
    for table in preview.tables:
        title = table_title(table, paths.shown(table.session.prefix))
        where = started_from(table, preview.request)
        if where:
            title = "Started" + where.lstrip(",") + " on a " + title[0].lower() + title[1:]
        if table.left_out:
            title += ". " + table.left_out
        pages.append(Table(windows=table.key, title=title, rows=rows_of(table)))
    return pages


def write_report(folder, preview):
    """The preview's results as the HTML report in folder; returns the page's path."""
    found = preview.wine
    return write(folder, findings=preview.findings, tables=tables_of(preview), launcher=preview.launcher,
                 wine=found.describe() + f" ({found.version})")


def write_preview_json(path, preview):
    """The preview's results as JSON at path; returns its path."""
    return write_json(path, tables_of(preview))
