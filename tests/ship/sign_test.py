#!/usr/bin/env python3
"""Signing tests: tools/kitlib/sign.sh with a throwaway certificate made here, the
round trip (signed, verified, still passing the program check) and the
failures (the program left as it was, nothing left beside it).

Usage: sign_test.py --work DIR PROGRAM...
"""
import argparse
import os
import re
import shutil
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(os.path.dirname(HERE))
SIGN = os.path.join(ROOT, "tools", "kitlib", "sign.sh")
CHECK_PE = os.path.join(ROOT, "tools", "kitlib", "check_pe.py")
sys.path.insert(0, os.path.join(ROOT, "tools", "kitlib"))
import interpreter  # noqa: E402

interpreter.require("pefile")
import pefile  # noqa: E402

from checking import Checker, expect_refused, run, snapshot  # noqa: E402

PASSWORD = "correct horse"


def make_certificates(folder):
    """A code-signing certificate with a password-protected key, and a key
    that belongs to another certificate; never kept beyond the test."""
    os.makedirs(folder, exist_ok=True)
    files = {name: os.path.join(folder, name) for name in
             ("cert.pem", "key.pem", "pass.txt", "wrong-pass.txt", "other-key.pem", "other-cert.pem")}
    with open(files["pass.txt"], "w") as f:
        f.write(PASSWORD + "\n")
    with open(files["wrong-pass.txt"], "w") as f:
        f.write("not the password\n")
    for cert, key, secret in (("cert.pem", "key.pem", ["-passout", "file:" + files["pass.txt"]]),
                              ("other-cert.pem", "other-key.pem", ["-noenc"])):
        result = run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-days", "2", "-subj",
                      "/CN=Throwaway test publisher", "-addext", "extendedKeyUsage=codeSigning",
                      "-keyout", files[key], "-out", files[cert]] + secret)
        if result.returncode != 0:
            sys.exit("openssl could not make a test certificate:\n" + result.stderr)
    return files


def digests(program, ca):
    """The digest algorithm of each signature, in order, as osslsigncode
    verifies them; None when verification fails."""
    result = run(["osslsigncode", "verify", "-in", program, "-CAfile", ca])
    if result.returncode != 0:
        return None
    return re.findall(r"^Message digest algorithm\s+: (\S+)", result.stdout, re.M)


def security_directory_size(program):
    pe = pefile.PE(program, fast_load=True)
    entry = pe.OPTIONAL_HEADER.DATA_DIRECTORY[pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_SECURITY"]]
    return entry.Size if entry.VirtualAddress else 0


def round_trips(check, program, files, work):
    own = ["--pass", files["pass.txt"]]
    # how the program is prepared, options, the signatures that verify afterwards
    rows = [
        ("copy", own, ["SHA256"]),
        ("copy", own + ["--also-sha1"], ["SHA1", "SHA256"]),
        # Signing a signed program replaces its signature instead of adding one.
        ("signed", own, ["SHA256"]),
        ("signed", own + ["--also-sha1"], ["SHA1", "SHA256"]),
        # The file a link points to gets signed; the link stays a link.
        ("link", own, ["SHA256"]),
        ("copy", ["--key", files["other-key.pem"], "--cert", files["other-cert.pem"],
                  "--ca", files["other-cert.pem"]], ["SHA256"]),
    ]
    for how, options, expected in rows:
        row = f"{os.path.basename(os.path.dirname(program))}/{os.path.basename(program)}, {how}: {' '.join(options)}"
        folder = os.path.join(work, "round-trip")
        shutil.rmtree(folder, ignore_errors=True)
        os.makedirs(folder)
        target = os.path.join(folder, "setup.exe")
        shutil.copy(program, target)
        os.chmod(target, 0o751)
        command = [SIGN, target, "--cert", files["cert.pem"], "--key", files["key.pem"], "--ca", files["cert.pem"]]
        if how == "signed":
            run(command + own)
        named = target
        if how == "link":
            named = os.path.join(folder, "link.exe")
            os.symlink("setup.exe", named)
        result = run([SIGN, named] + command[2:] + options)
        check.expect(row, "exit code", result.returncode, 0)
        if result.returncode != 0:
            print(result.stderr)
            continue
        ca = options[options.index("--ca") + 1] if "--ca" in options else files["cert.pem"]
        check.expect(row, "signatures verified", digests(target, ca), expected)
        check.expect(row, "security directory present", security_directory_size(target) > 0, True)
        check.expect(row, "files in the folder", sorted(os.listdir(folder)),
                     ["link.exe", "setup.exe"] if how == "link" else ["setup.exe"])
        check.expect(row, "still a link", os.path.islink(named), how == "link")
        check.expect(row, "mode", oct(os.stat(target).st_mode & 0o777), oct(0o751))
        checked = run([sys.executable, CHECK_PE, target])
        check.expect(row, "check_pe.py exit code", checked.returncode, 0)
        if checked.returncode != 0:
            print(checked.stdout + checked.stderr)
    return len(rows)


def failures(check, program, files, work):
    not_a_program = os.path.join(work, "readme.txt")
    with open(not_a_program, "w") as f:
        f.write("Not a program.\n")
    could_not = "osslsigncode could not sign it with SHA-256"
    # what goes wrong, options, the program to sign, what the last line says
    rows = [
        ("wrong password", ["--pass", files["wrong-pass.txt"]], program, could_not),
        ("no password for a protected key", [], program, could_not),
        ("wrong password, nested", ["--pass", files["wrong-pass.txt"], "--also-sha1"], program,
         "osslsigncode could not sign it with SHA-1"),
        ("key of another certificate", ["--key", files["other-key.pem"]], program, could_not),
        ("missing key", ["--key", os.path.join(work, "no-such-key.pem")], program, "no such file"),
        ("certificate not trusted", ["--pass", files["pass.txt"], "--ca", files["other-cert.pem"]], program,
         "the signature does not verify"),
        ("time-stamping server unreachable", ["--pass", files["pass.txt"], "--timestamp", "http://127.0.0.1:9/"],
         program, could_not),
        ("not a program", ["--pass", files["pass.txt"]], not_a_program, could_not),
    ]
    for name, options, source, message in rows:
        folder = os.path.join(work, "failure")
        shutil.rmtree(folder, ignore_errors=True)
        os.makedirs(folder)
        target = os.path.join(folder, os.path.basename(source))
        shutil.copy(source, target)
        before = snapshot(folder)
        command = [SIGN, target, "--cert", files["cert.pem"], "--key", files["key.pem"]]
        if "--ca" not in options:
            command += ["--ca", files["cert.pem"]]
        result = run(command + options)
        expect_refused(check, name, result, message, folder, before)
    return len(rows)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--work", required=True)
    parser.add_argument("programs", nargs="+")
    args = parser.parse_args()
    shutil.rmtree(args.work, ignore_errors=True)
    files = make_certificates(os.path.join(args.work, "certificates"))
    check = Checker()
    cases = 0
    for program in args.programs:
        cases += round_trips(check, program, files, args.work)
        cases += failures(check, program, files, args.work)
    print(f"{cases} signing cases, {check.failures} failures")
    sys.exit(1 if check.failures else 0)


if __name__ == "__main__":
    main()
