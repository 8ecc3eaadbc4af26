"""Makes the CD image of a distribution: ISO 9660 with Joliet names (which
Windows 95 and later read, case and long names kept), and an autorun.inf at
its root that starts the launcher when the disc goes in. The distribution is
checked first; its errors stop the image from being made. The image is
written whole or not at all, and only over an earlier image."""
import os

from kitlib import errors
from kitlib.model.names import label_refusal
from kitlib.shipping import image as make_media

HELP = "make the CD image of a distribution"


def add_arguments(parser):
    parser.add_argument("kit", help="the distribution's folder, the launcher at its top")
    parser.add_argument("image", help="the image file to write, e.g. build/MYDISC.iso")
    parser.add_argument("--label", required=True, help="the disc's name: up to 16 characters A-Z, 0-9, _")
    parser.add_argument("--program", help="the launcher's file name (default: the one .exe at the top)")
    parser.add_argument("--no-autorun", action="store_true", help="write no autorun.inf")


def run(args):
    why = label_refusal(args.label)
    if why:
        raise errors.Usage(f"--label {why}")
    if not os.path.isdir(args.kit):
        raise errors.Usage(f"{args.kit} is not a folder")
    name = make_media.make_media(args.kit, args.image, args.label, args.program, not args.no_autorun)
    print(f"{args.image}: label {args.label}, {name} at the top"
          f"{'' if args.no_autorun else ', started by autorun.inf'}; {os.path.getsize(args.image)} bytes")
    return 0
