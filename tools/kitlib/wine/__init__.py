"""The Wine machinery shared by the preview, the end-to-end tests and the
benchmark: which Wine there is (install), the machine a run pretends to be
(registry), a prefix of our own (prefix), the display and its boxes
(display), what a run left behind and whether to believe it (records), the
session that runs a kit's launcher (session), and sessions side by side
(side_by_side)."""
from .display import tail
from .errors import WineError, WineUnavailable
from .install import WITH_32BIT, WOW64_ONLY, Wine, check_runs_32bit, i386_emulator, need_program
from .install import find as find_wine
from .prefix import CD_DRIVE, clear_folder, prefix_arch
from .records import DRIVE_TYPES, Launch, Run, Trace, decode_trace_text, format_boxes, verdict
from .registry import ARM64, AS_IS, PLACE1, PLACE2, X64, X86, Machine, knows, registry_text
from .session import AUTORUN_FOLDER, RUN_TIMEOUT, SLOWDOWN, WineSession, to_windows
from .side_by_side import Stopped, interrupt
from .side_by_side import run_all as run_side_by_side
