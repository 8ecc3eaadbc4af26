"""Ships a distribution from one settings file: check, brand the launcher
into the kit, sign it, check again, make the image, preview the image's
contents as started from a CD-ROM drive, write the report. One line per
step; on any failure it stops and leaves the kit and every output as they
were. A missing section of the settings skips its step."""
import os

from kitlib import errors, paths
from kitlib.shipping import pipeline as shipping

HELP = "all of it in order from one settings file; on any failure nothing changes"
EPILOG = ("The settings file (TOML; paths relative to it) lies beside the kit, never inside it: "
          "[launcher] name icon version product company description copyright; [sign] cert key password_file "
          "timestamp also_sha1 ca; [image] output label autorun; [report] output.")


def add_arguments(parser):
    parser.add_argument("kit", help="the distribution's folder")
    parser.add_argument("--config", required=True, metavar="FILE", help="the settings file, e.g. ship.toml")
    parser.add_argument("--program", metavar="NAME",
                        help="the launcher's file name in KIT when the top holds several programs and there "
                             "is no [launcher] name")
    parser.add_argument("--no-preview", action="store_true",
                        help="skip the Wine preview (the three tables of the report); everything else runs")


def run(args):
    if not os.path.isdir(args.kit):
        raise errors.Usage(f"{args.kit} is not a folder")
    outputs = shipping.ship(args.kit, args.config, program=args.program, run_preview=not args.no_preview)
    print("kit ship: done: " + (", ".join(map(paths.shown, outputs)) if outputs else "nothing to write"))
    return 0
