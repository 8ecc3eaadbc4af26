"""Lays out a distribution folder: the built launcher at its top, the six
Autoinst folders, and in each a README.txt saying which Windows it serves and
what the launcher starts there. Never overwrites anything; a second run
changes nothing."""
from kitlib import errors
from kitlib.model.names import launcher_name_refusal
from kitlib.shipping import new as layout_new

HELP = "lay out a distribution folder: the launcher, the Autoinst folders, a note in each"


def add_arguments(parser):
    parser.add_argument("kit", help="the distribution's folder (made if missing)")
    parser.add_argument("--name", default="launcher.exe",
                        help="the launcher's file name at the top (default launcher.exe; a name holding "
                             "setup or install makes Windows Vista and later ask for elevation)")


def run(args):
    if not args.kit:
        raise errors.Usage("name the distribution's folder")
    why = launcher_name_refusal(args.name)
    if why:
        raise errors.Usage(f"--name: {why}")
    made, kept = layout_new.new(args.kit, args.name)
    for line in made:
        print(f"made  {line}")
    for line in kept:
        print(f"kept  {line}")
    print(f"{args.kit}: {len(made)} made, {len(kept)} kept" + ("" if made or kept else ", nothing to do"))
    return 0
