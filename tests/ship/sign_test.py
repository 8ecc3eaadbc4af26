#!/usr/bin/env python3
"""Signing tests: tools/kitlib/signing.py with throwaway certificates made here,
the round trip (signed, verified, still passing the program check) and the
failures (each named in one line, the program left as it was, nothing left
beside it).

Usage: sign_test.py --work DIR PROGRAM...
"""
import argparse
import os
import re
import shutil
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(os.path.dirname(HERE))
CHECK_PE = os.path.join(ROOT, "tools", "kitlib", "check_pe.py")
sys.path.insert(0, os.path.join(ROOT, "tools", "kitlib"))
import interpreter  # noqa: E402

interpreter.require("pefile")
import pefile  # noqa: E402

import signing  # noqa: E402
from checking import Checker, run, snapshot  # noqa: E402

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


def make_dated_certificates(folder):
    """Code-signing certificates, each with its own key, whose dates lie wholly
    in the past or wholly in the future: openssl ca sets both dates."""
    database = os.path.join(folder, "ca")
    os.makedirs(database, exist_ok=True)
    open(os.path.join(database, "index.txt"), "w").close()
    with open(os.path.join(database, "serial"), "w") as f:
        f.write("01\n")
    config = os.path.join(folder, "ca.cnf")
    with open(config, "w") as f:
        f.write(f"[ca]\ndefault_ca = test\n[test]\ndatabase = {database}/index.txt\nnew_certs_dir = {database}\n"
                f"serial = {database}/serial\ndefault_md = sha256\npolicy = any\nx509_extensions = code\n"
                "unique_subject = no\n[any]\ncommonName = supplied\n[code]\nextendedKeyUsage = codeSigning\n")
    files = {}
    for name, start, end in (("expired", "20200101000000Z", "20200102000000Z"),
                             ("future", "20990101000000Z", "20990102000000Z")):
        key, cert = (os.path.join(folder, f"{name}-{what}.pem") for what in ("key", "cert"))
        files.update({f"{name}-key.pem": key, f"{name}-cert.pem": cert})
        request = os.path.join(folder, name + ".csr")
        for command in (["openssl", "req", "-new", "-newkey", "rsa:2048", "-noenc", "-subj", "/CN=Dated test publisher",
                         "-keyout", key, "-out", request],
                        ["openssl", "ca", "-batch", "-config", config, "-selfsign", "-keyfile", key, "-in", request,
                         "-out", cert, "-startdate", start, "-enddate", end, "-notext"]):
            result = run(command)
            if result.returncode != 0:
                sys.exit("openssl could not make a dated test certificate:\n" + result.stderr)
    return files


def round_trips(check, program, files, work):
    own = {"cert": files["cert.pem"], "key": files["key.pem"], "password_file": files["pass.txt"],
           "ca": files["cert.pem"]}
    other = {"cert": files["other-cert.pem"], "key": files["other-key.pem"], "ca": files["other-cert.pem"]}
    # how the program is prepared, options, the line's end, the signatures that verify afterwards
    rows = [
        ("copy", own, "signed with SHA-256; 1 signature(s) verified", ["SHA256"]),
        ("copy", {**own, "also_sha1": True}, "signed with SHA-256 nested in SHA-1; 2 signature(s) verified",
         ["SHA1", "SHA256"]),
        # Signing a signed program replaces its signature instead of adding one.
        ("signed", own, "signed with SHA-256; 1 signature(s) verified", ["SHA256"]),
        ("signed", {**own, "also_sha1": True}, "signed with SHA-256 nested in SHA-1; 2 signature(s) verified",
         ["SHA1", "SHA256"]),
        # The file a link points to gets signed; the link stays a link.
        ("link", own, "signed with SHA-256; 1 signature(s) verified", ["SHA256"]),
        ("copy", other, "signed with SHA-256; 1 signature(s) verified", ["SHA256"]),
    ]
    for how, options, line, expected in rows:
        row = f"{os.path.basename(os.path.dirname(program))}/{os.path.basename(program)}, {how}: {options}"
        folder = os.path.join(work, "round-trip")
        shutil.rmtree(folder, ignore_errors=True)
        os.makedirs(folder)
        target = os.path.join(folder, "setup.exe")
        shutil.copy(program, target)
        os.chmod(target, 0o751)
        if how == "signed":
            signing.sign(target, **own)
        named = target
        if how == "link":
            named = os.path.join(folder, "link.exe")
            os.symlink("setup.exe", named)
        try:
            said = signing.sign(named, **options)
        except signing.SignError as error:
            check.expect(row, "signed", str(error), None)
            continue
        check.expect(row, "line", said, f"{named}: {line}")
        check.expect(row, "signatures verified", digests(target, options["ca"]), expected)
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
    missing = os.path.join(work, "no-such-key.pem")
    own = {"cert": files["cert.pem"], "key": files["key.pem"], "ca": files["cert.pem"]}
    right, wrong = files["pass.txt"], files["wrong-pass.txt"]
    # what goes wrong, options, the program to sign, the line that names it (after the program's name)
    rows = [
        ("wrong password", {**own, "password_file": wrong}, program,
         f"wrong password: {wrong} does not open the key {files['key.pem']}; the program is unchanged"),
        ("wrong password, nested", {**own, "password_file": wrong, "also_sha1": True}, program,
         f"wrong password: {wrong} does not open the key {files['key.pem']}; the program is unchanged"),
        ("no password for a protected key", own, program,
         f"the key {files['key.pem']} is protected by a password, and no password file was given; "
         "the program is unchanged"),
        ("key of another certificate", {**own, "key": files["other-key.pem"]}, program,
         f"the key {files['other-key.pem']} does not belong to the certificate {files['cert.pem']}; "
         "the program is unchanged"),
        ("missing key", {**own, "key": missing}, program, None),
        ("certificate not trusted", {**own, "password_file": right, "ca": files["other-cert.pem"]}, program,
         f"the signature does not verify: the certificate {files['cert.pem']} is not trusted by the roots in "
         f"{files['other-cert.pem']}; the program is unchanged"),
        ("certificate expired", {"cert": files["expired-cert.pem"], "key": files["expired-key.pem"],
                                 "ca": files["expired-cert.pem"]}, program,
         f"the certificate {files['expired-cert.pem']} expired on 2020-01-02 00:00 UTC; the program is unchanged"),
        ("certificate not yet valid", {"cert": files["future-cert.pem"], "key": files["future-key.pem"],
                                       "ca": files["future-cert.pem"]}, program,
         f"the certificate {files['future-cert.pem']} is not yet valid: it is valid from 2099-01-01 00:00 UTC; "
         "the program is unchanged"),
        ("time-stamping server unreachable", {**own, "password_file": right, "timestamp": "http://127.0.0.1:9/"},
         program, "the time-stamping server http://127.0.0.1:9/ did not answer; the program is unchanged"),
        ("not a program", {**own, "password_file": right}, not_a_program,
         "not a Windows program osslsigncode can sign; the program is unchanged"),
    ]
    for name, options, source, message in rows:
        folder = os.path.join(work, "failure")
        shutil.rmtree(folder, ignore_errors=True)
        os.makedirs(folder)
        target = os.path.join(folder, os.path.basename(source))
        shutil.copy(source, target)
        before = snapshot(folder)
        expected = f"{target}: {message}" if message else f"{missing}: no such file, or it cannot be read"
        try:
            said = signing.sign(target, **options)
        except signing.SignError as error:
            said = str(error)
        check.expect(name, "the line", said, expected)
        check.expect(name, "folder unchanged (names, modes, bytes)", snapshot(folder) == before, True)
    return len(rows)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--work", required=True)
    parser.add_argument("programs", nargs="+")
    args = parser.parse_args()
    shutil.rmtree(args.work, ignore_errors=True)
    files = make_certificates(os.path.join(args.work, "certificates"))
    files.update(make_dated_certificates(os.path.join(args.work, "certificates")))
    check = Checker()
    cases = 0
    for program in args.programs:
        cases += round_trips(check, program, files, args.work)
        cases += failures(check, program, files, args.work)
    print(f"{cases} signing cases, {check.failures} failures")
    sys.exit(1 if check.failures else 0)


if __name__ == "__main__":
    main()
