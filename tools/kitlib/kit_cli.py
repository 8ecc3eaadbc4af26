"""The subcommands of tools/kit, the distribution maker's one command. The
work is done by the modules named here; this only picks one and hands it
the rest of the command line."""
import argparse
import sys

# (name, module, what it does). The forwarded ones keep their tools' own
# options and help.
COMMANDS = (
    ("new", "layout_new", "lay out a distribution folder: the launcher, the Autoinst folders, a note in each"),
    ("check", "check_kit", "check a distribution without running anything (exit 1 on any error)"),
    ("preview", "preview", "run the distribution's launcher under Wine on each Windows release "
                           "(exit 77 where this machine cannot run 32-bit Windows programs)"),
    ("brand", "brand", "build the launcher with an icon and version information"),
    ("sign", "signing", "sign a program with osslsigncode and verify the signature"),
    ("image", "make_media", "make the CD image of a distribution"),
    ("ship", "ship", "all of it in order from one settings file; on any failure nothing changes"),
)
USAGE = "kit COMMAND [options]   (kit COMMAND --help for each)"


def parser():
    p = argparse.ArgumentParser(prog="kit", usage=USAGE, description="One command for shipping a "
                                "distribution of the setup launcher.",
                                formatter_class=argparse.RawDescriptionHelpFormatter,
                                epilog="commands:\n" + "\n".join(f"  {name:<8} {what}"
                                                                 for name, _, what in COMMANDS))
    p.add_argument("command", choices=[name for name, _, _ in COMMANDS], metavar="COMMAND")
    return p


def main(argv):
    if not argv or argv[0] in ("-h", "--help"):
        p = parser()
        if not argv:
            p.print_usage(sys.stderr)
            print("kit: error: name a COMMAND: " + ", ".join(name for name, _, _ in COMMANDS), file=sys.stderr)
            return 2
        p.print_help()
        return 0
    command, rest = argv[0], argv[1:]
    modules = {name: module for name, module, _ in COMMANDS}
    if command not in modules:
        parser().parse_args([command])   # says what the commands are, and exits 2
    prog = f"kit {command}"
    if (sys.stdout.encoding or "").lower().replace("-", "") != "utf8":
        # Names and branding strings may be in any script; a C locale must
        # not turn them into an encoding error.
        sys.stdout.reconfigure(errors="backslashreplace")
        sys.stderr.reconfigure(errors="backslashreplace")
    if command == "preview":
        import preview
        import ship
        return ship._call(preview.main, rest) or 0
    module = __import__(modules[command])
    if command == "sign":
        return module.main(rest)
    return module.main(rest, prog=prog) or 0
