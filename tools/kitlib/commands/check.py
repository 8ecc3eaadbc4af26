"""Checks a distribution without running anything: the launcher at its top
and, for every installer path the launcher may start, that the file is there
under that exact name, is a Windows program that the row's releases and
processors can load, and that each of those Windows finds what it imports.
Exit 1 when anything is an error."""
import json
import os

from kitlib import checks, errors
from kitlib.model import findings as checked

HELP = "check a distribution without running anything (exit 1 on any error)"


def add_arguments(parser):
    parser.add_argument("kit", help="the distribution's folder")
    parser.add_argument("--program", help="the launcher's file name (default: the one .exe at the top)")
    parser.add_argument("--json", action="store_true", help="print a JSON list of findings")


def run(args):
    if not os.path.isdir(args.kit):
        raise errors.Usage(f"{args.kit} is not a folder")
    findings = checks.check(args.kit, args.program)
    if args.json:
        print(json.dumps([finding.as_dict() for finding in findings], indent=2, ensure_ascii=False))
    else:
        print(checked.format_text(findings))
    return 1 if checked.errors_in(findings) else 0
