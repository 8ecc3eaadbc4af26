"""`kit ship` as a pipeline: a distribution from its folder to a disc image
and a report, from one settings file, in seven steps (ship_steps.py) over one
small context. Every output is written beside its target and all of them are
moved into place at the end, only when every step passed: a run that stops
anywhere, a signal included, leaves the kit and every output exactly as they
were. One ship of a kit at a time: a lock beside the kit, never in it."""
import dataclasses
import os
import sys
import tempfile
import time

from kitlib import errors, paths
from kitlib.outputs import staging
from kitlib.shipping import settings as settings_module, steps as ship_steps

STEPS_WIDTH = 9
RESULT_WIDTH = 56
STEPS = (("check", ship_steps.check_before), ("brand", ship_steps.brand), ("sign", ship_steps.sign),
         ("check", ship_steps.check_after), ("image", ship_steps.image), ("preview", ship_steps.preview),
         ("report", ship_steps.report))


# The field below takes the module's name.
_new_staging = staging.Staging


@dataclasses.dataclass
class Context:
    """What the steps share: the inputs, what they staged, and what they found."""
    kit: str
    config: str
    settings: settings_module.Settings
    name: str                       # the launcher's name at the kit's top
    scratch: str                    # a private folder below build/, removed at the end
    run_preview: bool = True
    out: object = None
    staging: object = dataclasses.field(default_factory=_new_staging)
    lines: list = dataclasses.field(default_factory=list)      # the step lines, for the report
    outputs: list = dataclasses.field(default_factory=list)    # what goes into place at the end
    launcher: str = None            # the staged launcher, once brand or sign made one
    replaces: str = None            # the launcher under another name that the branded one replaces
    mirror: str = None              # the kit as the disc will carry it
    image_path: str = None          # the staged image
    report_path: str = None         # the staged report folder
    final_findings: list = dataclasses.field(default_factory=list)
    preview_text: str = None        # the preview's tables, for the report
    preview_data: dict = None       # the same as the preview's JSON

    def say(self, step, text, seconds=None):
        timing = f"{seconds:5.1f} s" if seconds is not None else ""
        line = f"{step:<{STEPS_WIDTH}} {text:<{RESULT_WIDTH}} {timing}".rstrip()
        self.lines.append(line)
        print(line, file=self.out, flush=True)

    def detail(self, text):
        print(f"{'':<{STEPS_WIDTH}} {text}", file=self.out)


def ship(kit, config, program=None, run_preview=True, out=None):
    """Runs the steps, saying each on out (default: the standard output);
    returns the outputs put in place. Raises errors.Failure with one line
    when it stops, the kit and every output as they were."""
    plan = settings_module.plan(kit, config, program)
    try:
        with staging.lock_beside(kit):
            os.makedirs(paths.BUILD, exist_ok=True)
            context = Context(kit, config, plan.settings, plan.name, tempfile.mkdtemp(prefix="ship-", dir=paths.BUILD),
                              run_preview, out or sys.stdout)
            try:
                _run(context)
            finally:
                staging.remove_tree(context.scratch)
    except staging.Busy as busy:
        raise errors.Failure(f"another ship of {kit} is running (it holds {paths.shown(str(busy))}): "
                             "wait for it; nothing was changed") from None
    return context.outputs


def _run(context):
    try:
        for name, step in STEPS:
            _step(context, name, step)
        context.staging.commit()
    except KeyboardInterrupt:
        context.staging.rollback()
        raise errors.Failure("interrupted; the kit and every output are as they were") from None
    except BaseException:
        context.staging.rollback()
        raise


def _step(context, name, step):
    """Runs one step, which returns its line's text or raises Stop."""
    started = time.monotonic()
    try:
        try:
            text = step(context)
        except OSError as error:
            where = f"{error.filename}: " if error.filename else ""
            raise ship_steps.Stop(f"{where}{error.strerror or error}") from None
    except ship_steps.Stop as stop:
        context.say(name, f"FAILED: {stop}", time.monotonic() - started)
        for detail in stop.details:
            context.detail(detail)
        raise errors.Failure(f"stopped at {name}; the kit and every output are as they were") from None
    context.say(name, text, time.monotonic() - started)
