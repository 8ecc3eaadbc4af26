"""`kit ship`: a distribution from its folder to a disc image and a report,
from one settings file: check, brand, sign, check again, image, preview,
report. Every output is written beside its target (the launcher beside the
kit's, the image beside the image, the report beside the report) and all of
them are moved into place at the end, only when every step passed: a run
that stops anywhere leaves the kit and every output exactly as they were.

The key's password is never read here: osslsigncode gets the name of the file
that holds it, so it appears in no output, no log and no command line."""
import argparse
import contextlib
import io
import json
import os
import subprocess
import sys
import tempfile
import time

import brand
import check_kit
import layout_new
import make_media
import paths
import outputs
import settings as settings_module
import signing
import staging

STEPS_WIDTH = 9
RESULT_WIDTH = 56
CANNOT_RUN = 77   # the preview's word for "this machine runs no 32-bit Windows programs"


class Stop(Exception):
    """A step failed: the line's text, and the lines that explain it."""

    def __init__(self, text, details=()):
        super().__init__(text)
        self.details = list(details)


def verdict_of(findings):
    """The step's line for a check: ok, or a stop that lists the errors."""
    errors = [f for f in findings if f.severity == check_kit.ERROR]
    if errors:
        raise Stop(counts(findings), [f"{f.path}: {f.message}" for f in errors])
    return f"ok, {counts(findings)}"


def counts(findings):
    found = check_kit.severity_counts(findings)
    errors, warnings, infos = found[check_kit.ERROR], found[check_kit.WARNING], found[check_kit.INFO]
    return f"{errors} error{'s' * (errors != 1)}, {warnings} warning{'s' * (warnings != 1)}, {infos} info"


class Ship:
    def __init__(self, kit, config, preview=True, program=None, out=sys.stdout):
        self.kit = kit
        self.config = config
        self.run_preview = preview
        self.program = program
        self.out = out
        self.lines = []          # the step lines, for the report
        self.outputs = []        # what goes into place at the end, as shown
        self.staging = staging.Staging()
        self.scratch = None
        self.final_check = ""
        self.final_findings = []
        self.preview_log = None

    # -- output ---------------------------------------------------------

    def say(self, step, text, seconds=None):
        timing = f"{seconds:5.1f} s" if seconds is not None else ""
        line = f"{step:<{STEPS_WIDTH}} {text:<{RESULT_WIDTH}} {timing}".rstrip()
        self.lines.append(line)
        print(line, file=self.out, flush=True)

    def step(self, name, work):
        """Runs work(), which returns its line's text or raises Stop."""
        started = time.monotonic()
        self.current = name
        try:
            try:
                text = work()
            except OSError as error:
                where = f"{error.filename}: " if error.filename else ""
                raise Stop(f"{where}{error.strerror or error}") from None
        except Stop as stop:
            self.say(name, f"FAILED: {stop}", time.monotonic() - started)
            for detail in stop.details:
                print(f"          {detail}", file=self.out)
            raise
        self.say(name, text, time.monotonic() - started)

    # -- before any step ----------------------------------------------------

    def prepare(self):
        """Everything that can be refused before a step starts: the settings,
        where they and their files lie, and where the outputs would go."""
        kit = self.kit
        if not os.path.isdir(kit):
            raise Stop(f"{kit} is not a folder")
        if make_media.inside(self.config, kit):
            raise Stop(f"{self.config} is inside the kit {kit}: keep the settings beside the kit, not in it "
                       "(they name the signing key, and the disc would carry them)")
        self.settings = settings_module.load(self.config)
        shown = self.config
        for section, keys in settings_module.INPUTS.items():
            values = self.settings.get(section) or {}
            for key in keys:
                if key in values and not os.path.isfile(values[key]):
                    raise Stop(f"{shown}: [{section}] {key}: {values[key]} does not exist or is not a file")
        for key in settings_module.SECRETS:
            path = (self.settings.get("sign") or {}).get(key)
            if path and make_media.inside(path, kit):
                raise Stop(f"{shown}: [sign] {key}: {path} is inside the kit: the disc would carry it")
        for section in ("image", "report"):
            target = (self.settings.get(section) or {}).get("output")
            if target and make_media.inside(target, kit):
                raise Stop(f"{shown}: [{section}] output: {target} is inside the kit: write it somewhere else")
        image = self.settings.get("image")
        if image and not make_media.LABEL.fullmatch(image["label"]):
            raise Stop(f"{shown}: [image] label {image['label']!r} cannot be a disc's name: 1 to 16 "
                       "characters A-Z, 0-9 and _")
        report = self.settings.get("report")
        if image and report and os.path.abspath(image["output"]) == os.path.abspath(report["output"]):
            raise Stop(f"{shown}: [image] and [report] name the same output")
        self.name = self.launcher_name()
        self.refuse_replacing()

    def refuse_replacing(self):
        """Each output may replace only an earlier output of its kind, never
        the kit or a file the run reads."""
        own = [("the kit", self.kit), ("the settings file", self.config)]
        for section, keys in settings_module.INPUTS.items():
            own += [(f"[{section}] {key}", path) for key, path in self.settings.files(section, keys)]
        launcher = self.settings.get("launcher")
        if launcher is not None:
            target = os.path.join(self.kit, self.name)
            why = outputs.launcher(target)
            if why:
                raise Stop(f"{self.config}: [launcher] name: {_shown(target)} {why}")
        for section, kind, folder in (("image", outputs.image, False), ("report", outputs.report, True)):
            target = (self.settings.get(section) or {}).get("output")
            why = target and (outputs.owned(target, own, folder) or kind(target))
            if why:
                raise Stop(f"{self.config}: [{section}] output: {_shown(target)} {why}")

    def launcher_name(self):
        launcher = self.settings.get("launcher")
        shown = self.config
        if launcher is not None:
            name = launcher.get("name")
            if name:
                why = layout_new.valid_name(name)
                if why:
                    raise Stop(f"{shown}: [launcher] name: {why}")
                return name
            found = check_kit.find_launcher(self.kit, self.program)
            return found if isinstance(found, str) else "launcher.exe"
        found = check_kit.find_launcher(self.kit, self.program)
        if isinstance(found, check_kit.Finding):
            raise Stop(f"{self.kit}: {found.message}" + ("" if self.program else
                       "; or name it with [launcher] name, which brands a fresh one"))
        if not os.path.isfile(os.path.join(self.kit, found)):
            raise Stop(f"{self.kit} has no launcher named {found} at its top")
        return found

    # -- the steps ------------------------------------------------------

    def check_before(self):
        branding = self.settings.get("launcher") is not None
        findings = check_kit.check(self.kit, self.name)
        self.replaces = None
        if branding:
            # The launcher there now is the one the brand step replaces; a
            # program of the maker's own under that name is not replaced.
            findings = [f for f in findings if f.path != self.name]
            current = os.path.join(self.kit, self.name)
            if os.path.lexists(current) and not _is_launcher(current):
                findings.append(check_kit.Finding(self.name, check_kit.ERROR, "not a build of this launcher: "
                                "branding would replace it; move it away, or choose another [launcher] name"))
            others = [other for other in sorted(os.listdir(self.kit))
                      if other != self.name and other.lower().endswith(".exe")
                      and os.path.isfile(os.path.join(self.kit, other)) and _is_launcher(os.path.join(self.kit, other))]
            if len(others) == 1 and not os.path.lexists(os.path.join(self.kit, self.name)):
                # The launcher as `new` left it: the settings name it anew.
                self.replaces = others[0]
            else:
                findings += [check_kit.Finding(other, check_kit.ERROR, "another build of the launcher: the disc "
                             f"would carry two; remove it, or brand it with [launcher] name = \"{other}\"")
                             for other in others]
        return verdict_of(findings)

    def brand(self):
        launcher = self.settings.get("launcher")
        if launcher is None:
            return f"skipped: no [launcher]; the kit's {self.name} as it is"
        target = os.path.join(self.kit, self.name)
        self.launcher = self.staging.file(target)
        self.outputs.append(target)
        if self.replaces:
            self.staging.remove(os.path.join(self.kit, self.replaces))
        branding = {key: launcher.get(key) for key in settings_module.BRANDING}
        warnings = []
        try:
            size = brand.brand(self.launcher, warn=warnings.append, **branding)
        except brand.BrandError as error:
            # Its refusals name the command-line option; here the key is meant.
            text = str(error)
            for option in settings_module.BRANDING:
                if text.startswith(f"--{option}:"):
                    text = f"[launcher] {option}:" + text[len(option) + 3:]
            raise Stop(text) from None
        for warning in warnings:
            print(f"          warning: {warning}", file=self.out)
        replaces = f", replaces {self.replaces}" if self.replaces else ""
        return f"{self.name}{replaces}: {brand.describe(branding)}; {size} bytes"

    def sign(self):
        options = self.settings.get("sign")
        if options is None:
            return f"skipped: no [sign]; {self.name} stays unsigned"
        if getattr(self, "launcher", None) is None:
            target = os.path.join(self.kit, self.name)
            self.launcher = self.staging.file(target, copy_of=target)
            self.outputs.append(target)
        said = lambda text: text.replace(self.launcher, self.name).strip()  # noqa: E731
        try:
            return said(signing.sign(self.launcher, **options))
        except signing.SignError as error:
            raise Stop(said(str(error))) from None

    def check_after(self):
        self.mirror = os.path.join(self.scratch, "kit")
        _mirror(self.kit, self.mirror, set(self.staging.paths()) | set(self.staging.removed()))
        launcher = getattr(self, "launcher", None)
        if launcher:
            entry = os.path.join(self.mirror, self.name)
            if os.path.lexists(entry):
                os.unlink(entry)
            os.symlink(os.path.abspath(launcher), entry)
        findings = check_kit.check(self.mirror, self.name, within=self.kit)
        self.final_findings = findings
        self.final_check = check_kit.format_text(findings)
        return verdict_of(findings)

    def image(self):
        image = self.settings.get("image")
        if image is None:
            self.image_path = None
            return "skipped: no [image]"
        self.image_path = self.staging.file(image["output"])
        self.outputs.append(image["output"])
        autorun = image.get("autorun", True)
        log = io.StringIO()
        try:
            with contextlib.redirect_stderr(log):
                make_media.make_media(self.mirror, self.image_path, image["label"], self.name, autorun, out=log,
                                      within=self.kit, staged=True)
        except (make_media.MediaError, OSError) as error:
            details = [line for line in log.getvalue().splitlines() if line.strip()][-5:]
            raise Stop(str(error).replace(self.image_path, image["output"]), details) from None
        size = os.path.getsize(self.image_path)
        return (f"{os.path.basename(image['output'])}: {image['label']}, "
                f"{'autorun.inf' if autorun else 'no autorun.inf'}, {size / 1e6:.1f} MB")

    def preview(self):
        if not self.run_preview:
            return "skipped: --no-preview"
        if self.image_path is None:
            return "skipped: no image to preview"
        disc = os.path.join(self.scratch, "cd")
        result = subprocess.run(["xorriso", "-no_rc", "-osirrox", "on", "-indev", self.image_path,
                                 "-extract", "/", disc], capture_output=True, text=True,
                                stdin=subprocess.DEVNULL, errors="replace")
        if result.returncode != 0:
            raise Stop(f"xorriso could not extract the image (exit code {result.returncode})",
                       result.stderr.strip().splitlines()[-3:])
        import preview  # Wine's machinery, only when it is used
        import progress
        progress.attach()   # before descriptor 2 goes to the log: the progress line is the terminal's
        argv = [disc, "--program", self.name, "--matrix", "--cd", "--xvfb"]
        report = self.report_folder()
        tables_in_report = report is not None and _takes(preview, "--report")
        if tables_in_report:
            argv += ["--report", report]
        self.preview_log = os.path.join(self.scratch, "preview.txt")
        code, said = _call_captured(preview.main, argv, self.preview_log)
        # The preview ran on the image's contents in a scratch folder and
        # wrote into the staged report, both gone once ship ends: its texts
        # name the kit and the report instead.
        names = {disc: self.kit}
        if tables_in_report:
            names[report] = _shown(self.settings.get("report")["output"])
        said = _renamed(said, names)
        with open(self.preview_log, encoding="utf-8", errors="replace") as f:
            text = _renamed(f.read(), names)
        with open(self.preview_log, "w", encoding="utf-8") as f:
            f.write(text)
        if code == CANNOT_RUN:
            return f"skipped: {said or 'this machine cannot run Wine 32-bit programs'}"
        if code != 0:
            raise Stop(said or f"the preview failed (exit code {code})", _tail(self.preview_log, 5))
        with open(self.preview_log, encoding="utf-8", errors="replace") as f:
            tables = sum(line.startswith("Release ") for line in f)
        return f"ok, {tables} table{'s' * (tables != 1)}" + (
            "" if tables_in_report or report is None else " (in preview.txt)")

    def report_folder(self):
        report = self.settings.get("report")
        if report is None:
            return None
        if getattr(self, "report_path", None) is None:
            self.report_path = self.staging.folder(report["output"])
            self.outputs.append(report["output"])
        return self.report_path

    def report(self):
        folder = self.report_folder()
        if folder is None:
            return "skipped: no [report]"
        report = self.settings.get("report")
        os.makedirs(folder, exist_ok=True)
        written = []

        def write(name, text):
            try:
                with open(os.path.join(folder, name), "w", encoding="utf-8") as f:
                    f.write(text)
            except OSError as error:
                # A full disk fails the write, which names no file.
                raise OSError(error.errno, error.strerror, os.path.join(report["output"], name)) from None
            written.append(name)

        write("ship.txt", "\n".join([f"kit ship {self.kit} --config {self.config}", ""] + self.lines) + "\n")
        write("check.txt", self.final_check + "\n")
        write("check.json", json.dumps([f.as_dict() for f in self.final_findings], indent=2,
                                       ensure_ascii=False) + "\n")
        if self.preview_log and os.path.exists(self.preview_log):
            with open(self.preview_log, encoding="utf-8", errors="replace") as f:
                write("preview.txt", f.read())
        others = sorted(set(os.listdir(folder)) - set(written))
        return f"{os.path.basename(os.path.normpath(self.settings.get('report')['output']))}: " + \
            ", ".join(written + others)

    # -- the whole ------------------------------------------------------

    def run(self):
        build = paths.BUILD
        os.makedirs(build, exist_ok=True)
        if not os.path.isdir(self.kit):
            raise Stop(f"{self.kit} is not a folder")
        try:
            with staging.lock_beside(self.kit):
                return self._run(build)
        except staging.Busy as busy:
            raise Stop(f"another ship of {self.kit} is running (it holds {_shown(str(busy))}): "
                       "wait for it; nothing was changed") from None

    def _run(self, build):
        self.prepare()
        self.scratch = tempfile.mkdtemp(prefix="ship-", dir=build)
        try:
            for name, work in (("check", self.check_before), ("brand", self.brand), ("sign", self.sign),
                               ("check", self.check_after), ("image", self.image),
                               ("preview", self.preview), ("report", self.report)):
                self.step(name, work)
            self.staging.commit()
        except BaseException:
            self.staging.rollback()
            raise
        finally:
            staging.remove_tree(self.scratch)
        return self.outputs


def _shown(path):
    relative = os.path.relpath(path)
    return path if relative.startswith("..") else relative


def _renamed(text, names):
    """text with each path of names, absolute or relative, put as its name."""
    for path, name in names.items():
        for form in (os.path.abspath(path), os.path.relpath(path)):
            text = text.replace(form, name.rstrip(os.sep) or name)
    return text


def _is_launcher(path):
    try:
        return not check_kit.unnamed_paths(path)
    except (OSError, ValueError):
        return False


def _mirror(kit, mirror, leave_out):
    """The kit as folders of links to its files, without the staged files
    in it: the view the second check and the image are made of."""
    leave_out = {os.path.abspath(path) for path in leave_out}
    for parent, folders, files in os.walk(kit):
        here = os.path.join(mirror, os.path.relpath(parent, kit))
        os.makedirs(here, exist_ok=True)
        for name in list(folders):
            source = os.path.join(parent, name)
            if os.path.islink(source):
                os.symlink(os.path.abspath(source), os.path.join(here, name))
                folders.remove(name)
        for name in files:
            source = os.path.join(parent, name)
            if os.path.abspath(source) not in leave_out:
                os.symlink(os.path.abspath(source), os.path.join(here, name))


def _takes(module, option):
    """Whether module.main's parser knows option, from its --help."""
    text = io.StringIO()
    try:
        with contextlib.redirect_stdout(text), contextlib.redirect_stderr(io.StringIO()):
            _call(module.main, ["--help"])
    except SystemExit:
        pass
    return option in text.getvalue()


def _call(main, argv):
    """main(argv), or main() reading sys.argv for one that takes none."""
    import inspect
    if inspect.signature(main).parameters:
        return main(argv)
    saved = sys.argv
    sys.argv = ["kit preview", *argv]
    try:
        return main()
    finally:
        sys.argv = saved


def _call_captured(main, argv, log):
    """Calls main with everything it and its children print going to log;
    returns the exit code and the last line printed to stderr."""
    errors = io.StringIO()
    sys.stdout.flush()
    sys.stderr.flush()
    saved = os.dup(1), os.dup(2)
    with open(log, "w") as f:
        os.dup2(f.fileno(), 1)
        os.dup2(f.fileno(), 2)
        try:
            try:
                with contextlib.redirect_stderr(_Tee(errors, sys.stderr)):
                    code = _call(main, argv)
            except SystemExit as exit:
                code = exit.code
                if isinstance(code, str):
                    print(code, file=errors)
                    print(code, file=sys.stderr)
                    code = 1
            sys.stdout.flush()
            sys.stderr.flush()
        finally:
            os.dup2(saved[0], 1)
            os.dup2(saved[1], 2)
            os.close(saved[0])
            os.close(saved[1])
    last = (errors.getvalue().strip().splitlines() or [""])[-1]
    return (code or 0), last.removeprefix("preview: ")


class _Tee:
    def __init__(self, *streams):
        self.streams = streams

    def write(self, text):
        for stream in self.streams:
            stream.write(text)
        return len(text)

    def flush(self):
        for stream in self.streams:
            stream.flush()


def _tail(path, count):
    try:
        with open(path, encoding="utf-8", errors="replace") as f:
            return [line.rstrip() for line in f if line.strip()][-count:]
    except OSError:
        return []


def main(argv, prog="kit ship", out=sys.stdout):
    parser = argparse.ArgumentParser(
        prog=prog, description="Ships a distribution from one settings file: check, brand the launcher into "
        "the kit, sign it, check again, make the image, preview the image's contents as started from a CD-ROM "
        "drive, write the report. One line per step; on any failure it stops and leaves the kit and every "
        "output as they were. A missing section of the settings skips its step.",
        epilog="The settings file (TOML; paths relative to it) lies beside the kit, never inside it: "
        "[launcher] name icon version product company description copyright; [sign] cert key password_file "
        "timestamp also_sha1 ca; [image] output label autorun; [report] output.")
    parser.add_argument("kit", help="the distribution's folder")
    parser.add_argument("--config", required=True, metavar="FILE", help="the settings file, e.g. ship.toml")
    parser.add_argument("--program", metavar="NAME",
                        help="the launcher's file name in KIT when the top holds several programs and there "
                             "is no [launcher] name")
    parser.add_argument("--no-preview", action="store_true",
                        help="skip the Wine preview (the three tables of the report); everything else runs")
    args = parser.parse_args(argv)
    if not os.path.isdir(args.kit):
        parser.error(f"{args.kit} is not a folder")
    ship = Ship(args.kit, args.config, preview=not args.no_preview, program=args.program, out=out)
    try:
        outputs = ship.run()
    except settings_module.SettingsError as error:
        print(f"{prog}: {error}", file=sys.stderr)
        return 1
    except Stop as stop:
        if not ship.lines:
            print(f"{prog}: {stop}", file=sys.stderr)
        else:
            print(f"{prog}: stopped at {ship.current}; the kit and every output are as they were", file=sys.stderr)
        return 1
    except KeyboardInterrupt:
        print(f"{prog}: interrupted; the kit and every output are as they were", file=sys.stderr)
        return 1
    print(f"{prog}: done: " + (", ".join(map(_shown, outputs)) if outputs else "nothing to write"), file=out)
    return 0
