"""The Wine machinery shared by the preview, the end-to-end tests and the
benchmark: which Wine there is (install), the machine a run pretends to be
(registry), a prefix of our own (prefix) and its drives (drives), Wine's own
programs (programs), the display and its boxes (display), what a run left
behind and whether to believe it (records), the session that runs a kit's
launcher (session), the waits (timing), and sessions side by side
(side_by_side)."""
from .errors import WineError, WineUnavailable, need_program, tail
from .install import WITH_32BIT, WOW64_ONLY, Wine, check_runs_32bit, i386_emulator
from .install import find as find_wine
from .drives import CD_DRIVE, to_windows
from .prefix import clear_folder, prefix_arch
from .records import DRIVE_TYPES, Launch, Run, Trace, decode_trace_text, format_boxes, verdict
from .registry import ARM64, AS_IS, PLACE1, PLACE2, X64, X86, Machine, knows, registry_text
from .session import AUTORUN_FOLDER, WineSession
from .timing import RUN_TIMEOUT, SLOWDOWN
from .side_by_side import Stopped, interrupt
from .side_by_side import run_all as run_side_by_side
