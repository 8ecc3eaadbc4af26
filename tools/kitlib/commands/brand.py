"""Builds the launcher with an icon and version information (the Properties
Explorer shows, the name Task Manager shows) and writes it to FILE, only over
an earlier build of the launcher. Every option is optional; with none, the
program is the plain build. Needs the mingw-w64 toolchain (tools/build.sh
installs it)."""
import argparse

from kitlib import errors
from kitlib.outputs import replaceable
from kitlib.shipping import brand

HELP = "build the launcher with an icon and version information"


def add_arguments(parser):
    parser.add_argument("-o", "--output", required=True, metavar="FILE",
                        help="the program to write, e.g. dist/setup.exe (replaced whole, or left as it was)")
    parser.add_argument("--icon", metavar="ICO", help="an .ico file; give a 32- or 48-pixel bitmap image for "
                        "Windows XP and older")
    parser.add_argument("--version", metavar="a.b.c.d", help="File and Product version: four numbers of at "
                        "most 65535")
    parser.add_argument("--product", help="Product name")
    parser.add_argument("--company", help="Company")
    parser.add_argument("--description", help="File description, the name Task Manager shows")
    parser.add_argument("--copyright", help="Copyright")
    parser.add_argument("--cmake", default="cmake", help=argparse.SUPPRESS)


def run(args):
    branding = {option: getattr(args, option) for option in brand.VARIABLES}
    why = replaceable.launcher(args.output)
    if why:
        raise errors.Failure(f"-o: {args.output} {why}")
    size = brand.brand(args.output, cmake=args.cmake, warn=lambda text: print(f"kit brand: warning: {text}"),
                       **branding)
    print(f"{args.output}: {brand.describe(branding)}; {size} bytes")
    return 0
