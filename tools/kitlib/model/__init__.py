"""The model the tools share: Windows and the launcher's rows in it
(windows), what each Windows' loader has (loader), the kit's layout (kit),
the names a kit may hold (names), what a check finds (findings) and the
verdict on a run (verdicts). It imports nothing else of the toolkit but
its errors."""
from kitlib.model.findings import ERROR, INFO, SEVERITIES, WARNING, Finding, format_text, severity_counts
from kitlib.model.kit import NoLauncher, find_launcher, installer_file, is_launcher, locate, unnamed_paths
from kitlib.model.verdicts import FAULT, NOT_SERVED, RUN_PROBLEM, STARTS, VERDICTS, Refusal, judge
from kitlib.model.windows import INSTALLERS, RELEASES, ROWS, WINE_NAMES
