"""Signing tests: the toolkit's signing with throwaway certificates made here,
the round trip (signed, verified, still passing the program check) and the
failures (each named in one line, the program left as it was, nothing left
beside it), for the unbranded and the branded program.

CMake passes LAUNCHER_EXE and BRANDED_EXE, and SHIP_WORK, a scratch folder.
make_certificates and PASSWORD serve the kit's and the Wine tests too.
"""
import os
import re
import shutil
import sys

import pytest

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(os.path.dirname(HERE))
CHECK_PE = os.path.join(ROOT, "tools", "dev", "check_launcher.py")
from kitlib import interpreter  # noqa: E402

interpreter.require("pefile")
import pefile  # noqa: E402

from kitlib.shipping import sign as signing  # noqa: E402
from shared import run, tree  # noqa: E402

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


WORK = os.path.join(os.environ.get("SHIP_WORK", os.path.join(ROOT, "build", "ship-work")), "sign")
PROGRAMS = {"unbranded": os.environ.get("LAUNCHER_EXE", os.path.join(ROOT, "build", "windows", "launcher.exe")),
            "branded": os.environ.get("BRANDED_EXE", os.path.join(ROOT, "build", "branded", "launcher.exe"))}
# Where the certificates fixture makes them, so that the tables can name them.
FILES = {name: os.path.join(WORK, "certificates", name) for name in (
    "cert.pem", "key.pem", "pass.txt", "wrong-pass.txt", "other-key.pem", "other-cert.pem",
    "expired-key.pem", "expired-cert.pem", "future-key.pem", "future-cert.pem")}
NOT_A_PROGRAM = os.path.join(WORK, "readme.txt")
MISSING = os.path.join(WORK, "no-such-key.pem")


@pytest.fixture(scope="module")
def certificates():
    shutil.rmtree(WORK, ignore_errors=True)
    files = make_certificates(os.path.dirname(FILES["cert.pem"]))
    files.update(make_dated_certificates(os.path.dirname(FILES["cert.pem"])))
    assert files == FILES
    with open(NOT_A_PROGRAM, "w") as f:
        f.write("Not a program.\n")
    return files


@pytest.fixture(params=sorted(PROGRAMS))
def program(request):
    if not os.path.isfile(PROGRAMS[request.param]):
        pytest.fail(f"{PROGRAMS[request.param]} is missing: build it first", pytrace=False)
    return PROGRAMS[request.param]


OWN = {"cert": FILES["cert.pem"], "key": FILES["key.pem"], "password_file": FILES["pass.txt"], "ca": FILES["cert.pem"]}
OTHER = {"cert": FILES["other-cert.pem"], "key": FILES["other-key.pem"], "ca": FILES["other-cert.pem"]}
ONE = "signed with SHA-256; 1 signature(s) verified"
NESTED = "signed with SHA-256 nested in SHA-1; 2 signature(s) verified"
# (what, how the program is prepared, options, the line's end, the signatures that verify afterwards)
ROUND_TRIPS = [
    ("copy", "copy", OWN, ONE, ["SHA256"]),
    ("copy, nested", "copy", {**OWN, "also_sha1": True}, NESTED, ["SHA1", "SHA256"]),
    # Signing a signed program replaces its signature instead of adding one.
    ("signed before", "signed", OWN, ONE, ["SHA256"]),
    ("signed before, nested", "signed", {**OWN, "also_sha1": True}, NESTED, ["SHA1", "SHA256"]),
    # The file a link points to gets signed; the link stays a link.
    ("a link", "link", OWN, ONE, ["SHA256"]),
    ("a key without password", "copy", OTHER, ONE, ["SHA256"]),
]


@pytest.mark.parametrize("what, how, options, line, expected", ROUND_TRIPS, ids=[row[0] for row in ROUND_TRIPS])
def test_round_trip(certificates, program, tmp_path, what, how, options, line, expected):
    folder = str(tmp_path)
    target = os.path.join(folder, "setup.exe")
    shutil.copy(program, target)
    os.chmod(target, 0o751)
    if how == "signed":
        signing.sign(target, **OWN)
    named = target
    if how == "link":
        named = os.path.join(folder, "link.exe")
        os.symlink("setup.exe", named)
    assert signing.sign(named, **options) == f"{named}: {line}"
    assert digests(target, options["ca"]) == expected, "the signatures verified"
    assert security_directory_size(target) > 0
    assert sorted(os.listdir(folder)) == (["link.exe", "setup.exe"] if how == "link" else ["setup.exe"])
    assert os.path.islink(named) == (how == "link")
    assert oct(os.stat(target).st_mode & 0o777) == oct(0o751), "mode"
    checked = run([sys.executable, CHECK_PE, target])
    assert checked.returncode == 0, checked.stdout + checked.stderr


UNCHANGED = "; the program is unchanged"
BY_PASSWORD = {"cert": FILES["cert.pem"], "key": FILES["key.pem"], "ca": FILES["cert.pem"]}
WRONG, RIGHT = FILES["wrong-pass.txt"], FILES["pass.txt"]
# The program signed, in the lines below.
PROGRAM = "<program>"
# (what goes wrong, options, the program to sign (None: the one under test), the line that names it)
FAILURES = [
    ("wrong password", {**BY_PASSWORD, "password_file": WRONG}, None,
     f"{PROGRAM}: wrong password: {WRONG} does not open the key {FILES['key.pem']}" + UNCHANGED),
    ("wrong password, nested", {**BY_PASSWORD, "password_file": WRONG, "also_sha1": True}, None,
     f"{PROGRAM}: wrong password: {WRONG} does not open the key {FILES['key.pem']}" + UNCHANGED),
    ("no password for a protected key", BY_PASSWORD, None,
     f"{PROGRAM}: the key {FILES['key.pem']} is protected by a password, and no password file was given" + UNCHANGED),
    ("key of another certificate", {**BY_PASSWORD, "key": FILES["other-key.pem"]}, None,
     f"{PROGRAM}: the key {FILES['other-key.pem']} does not belong to the certificate {FILES['cert.pem']}" + UNCHANGED),
    ("missing key", {**BY_PASSWORD, "key": MISSING}, None, f"{MISSING}: no such file, or it cannot be read"),
    ("certificate not trusted", {**BY_PASSWORD, "password_file": RIGHT, "ca": FILES["other-cert.pem"]}, None,
     f"{PROGRAM}: the signature does not verify: the certificate {FILES['cert.pem']} is not trusted by the roots in "
     f"{FILES['other-cert.pem']}" + UNCHANGED),
    ("certificate expired", {"cert": FILES["expired-cert.pem"], "key": FILES["expired-key.pem"],
                             "ca": FILES["expired-cert.pem"]}, None,
     f"{PROGRAM}: the certificate {FILES['expired-cert.pem']} expired on 2020-01-02 00:00 UTC" + UNCHANGED),
    ("certificate not yet valid", {"cert": FILES["future-cert.pem"], "key": FILES["future-key.pem"],
                                   "ca": FILES["future-cert.pem"]}, None,
     f"{PROGRAM}: the certificate {FILES['future-cert.pem']} is not yet valid: it is valid from 2099-01-01 00:00 UTC"
     + UNCHANGED),
    ("time-stamping server unreachable", {**BY_PASSWORD, "password_file": RIGHT, "timestamp": "http://127.0.0.1:9/"},
     None, f"{PROGRAM}: the time-stamping server http://127.0.0.1:9/ did not answer" + UNCHANGED),
    ("not a program", {**BY_PASSWORD, "password_file": RIGHT}, NOT_A_PROGRAM,
     f"{PROGRAM}: not a Windows program osslsigncode can sign" + UNCHANGED),
]


@pytest.mark.parametrize("what, options, source, message", FAILURES, ids=[row[0] for row in FAILURES])
def test_failure(certificates, program, tmp_path, what, options, source, message):
    source = source or program
    target = os.path.join(tmp_path, os.path.basename(source))
    shutil.copy(source, target)
    before = tree(tmp_path)
    try:
        said = signing.sign(target, **options)
    except signing.SignError as error:
        said = str(error)
    assert said == message.replace(PROGRAM, target)
    assert tree(tmp_path) == before, "the folder changed (names, modes or bytes)"
