"""`kit sign`: tools/kitlib/sign.sh, which signs a program in place and
replaces it only once the signature verifies. The key's password only ever
travels as the name of the file that holds it."""
import os
import subprocess

SIGN_SH = os.path.join(os.path.dirname(os.path.abspath(__file__)), "sign.sh")


def command(program, cert, key, password_file=None, timestamp=None, also_sha1=False, ca=None):
    args = ["bash", SIGN_SH, program, "--cert", cert, "--key", key]
    if password_file:
        args += ["--pass", password_file]
    if timestamp:
        args += ["--timestamp", timestamp]
    if also_sha1:
        args.append("--also-sha1")
    if ca:
        args += ["--ca", ca]
    return args


def sign(program, **options):
    """Signs program; returns (exit code, its stdout, its stderr)."""
    result = subprocess.run(command(program, **options), capture_output=True, text=True,
                            stdin=subprocess.DEVNULL, errors="replace")
    return result.returncode, result.stdout, result.stderr


# sign.sh's options that take a value; the other words are programs.
VALUED = ("--cert", "--key", "--pass", "--timestamp", "--ca")


def main(argv):
    """sign.sh once per program named, the same options for each; stops at
    the first that fails (each program is replaced whole or not at all)."""
    programs, options = [], []
    words = iter(argv)
    for word in words:
        if word in VALUED:
            value = next(words, None)
            # A missing value is left for sign.sh to refuse.
            options += [word] if value is None else [word, value]
        elif word.startswith("-"):
            options.append(word)
        else:
            programs.append(word)
    if len(programs) <= 1:
        return subprocess.run(["bash", SIGN_SH, *argv]).returncode
    for program in programs:
        code = subprocess.run(["bash", SIGN_SH, program, *options]).returncode
        if code != 0:
            return code
    return 0
