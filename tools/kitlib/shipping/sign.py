"""`kit sign`: signs a Windows program in place with osslsigncode, then
verifies the signature. The program is replaced only once the signed copy
verifies: on any failure it stays exactly as it was, and no half-signed copy
is left beside it. The key's password only ever travels as the name of the
file that holds it, so it appears in no output and on no command line."""
import dataclasses
import os
import re
import shutil
import ssl
import subprocess
import time

from kitlib import errors
from kitlib.outputs import staging


class SignError(errors.Failure):
    """Signing failed: the line to show, and the tool's output that explains
    it when the reason could not be named."""


def _run(args):
    # A session of its own has no terminal: a key that needs a password fails
    # at once instead of prompting in the middle of `ship`'s table.
    return subprocess.run(args, capture_output=True, text=True, errors="replace",
                          stdin=subprocess.DEVNULL, start_new_session=True)


def _openssl(*args):
    """openssl's answer, or None without openssl: then the reason stays unnamed."""
    try:
        return _run(["openssl", *args])
    except OSError:
        return None


def _why_unsigned(cert, key, password_file):
    """Why osslsigncode could not sign, asked of the key and the certificate
    themselves; None when neither explains it."""
    opened = _openssl("pkey", "-in", key, "-passin", f"file:{password_file}" if password_file else "pass:",
                      "-pubout")
    if opened is None:
        return None
    if opened.returncode != 0:
        # Any other refusal may be a key format osslsigncode reads and openssl does not.
        if "bad decrypt" not in opened.stderr:
            return None
        if password_file:
            return f"wrong password: {password_file} does not open the key {key}"
        return f"the key {key} is protected by a password, and no password file was given"
    certificate = _openssl("x509", "-in", cert, "-noout", "-pubkey")
    if certificate and certificate.returncode == 0 and certificate.stdout != opened.stdout:
        return f"the key {key} does not belong to the certificate {cert}"
    return None


def _outside_dates(cert, now=None):
    """'expired on ...' or 'not yet valid ...' for a certificate outside its
    dates (the first in the file: the signer's, by custom); None otherwise."""
    result = _openssl("x509", "-in", cert, "-noout", "-dates")
    if not result or result.returncode != 0:
        return None
    dates = dict(re.findall(r"^(notBefore|notAfter)=(.+)$", result.stdout, re.M))
    try:
        start, end = (ssl.cert_time_to_seconds(dates[name].strip()) for name in ("notBefore", "notAfter"))
    except (KeyError, ValueError):
        return None
    now = time.time() if now is None else now
    shown = lambda seconds: time.strftime("%Y-%m-%d %H:%M UTC", time.gmtime(seconds))  # noqa: E731
    if now > end:
        return f"the certificate {cert} expired on {shown(end)}"
    if now < start:
        return f"the certificate {cert} is not yet valid: it is valid from {shown(start)}"
    return None


@dataclasses.dataclass(frozen=True)
class _Signer:
    """Who signs: the certificate, its key, the file holding the key's
    password, the time-stamping server."""
    cert: str
    key: str
    password_file: str = None
    timestamp: str = None


def _osslsign(program, source, out, digest, signer, stamp_option, nest=False):
    cert, key, password_file, timestamp = signer.cert, signer.key, signer.password_file, signer.timestamp
    args = ["osslsigncode", "sign", "-certs", cert, "-key", key, "-h", f"sha{digest}", "-in", source, "-out", out]
    if nest:
        args.append("-nest")
    if password_file:
        args += ["-readpass", password_file]
    if timestamp:
        args += [stamp_option, timestamp]
    result = _run(args)
    if result.returncode == 0:
        return
    log = result.stdout + result.stderr
    why, details = _why_unsigned(cert, key, password_file), []
    if why is None and timestamp and re.search(r"timestamping failed", log, re.I):
        why = f"the time-stamping server {timestamp} did not answer"
    if why is None and re.search(r"Unrecognized file type|unsupported input file type", log):
        why = "not a Windows program osslsigncode can sign"
    if why is None:
        why, details = f"osslsigncode could not sign it with SHA-{digest}", log.splitlines()
    raise SignError(f"{program}: {why}; the program is unchanged", details)


def _verify(program, signed, cert, ca):
    """The number of signatures that verify; SignError when they do not."""
    args = ["osslsigncode", "verify", "-in", signed]
    if ca:
        args += ["-CAfile", ca]
    result = _run(args)
    log = result.stdout + result.stderr
    if result.returncode == 0:
        return len(re.findall(r"^Signature Index", log, re.M))
    why, details = _outside_dates(cert), []
    if why is None:
        roots = f"the roots in {ca}" if ca else "the system's roots (an in-house certificate needs its root: --ca)"
        why, details = f"the signature does not verify: the certificate {cert} is not trusted by {roots}", \
            log.splitlines()
    raise SignError(f"{program}: {why}; the program is unchanged", details)


def _sign_in(work, program, target, signer, also_sha1, ca):
    """Signs target into work, verifies it and puts it in target's place;
    returns the number of signatures verified."""
    signed = os.path.join(work, "signed.exe")
    if also_sha1:
        # Windows XP and Vista read only Authenticode time stamps.
        first = os.path.join(work, "sha1.exe")
        _osslsign(program, target, first, 1, signer, "-t")
        _osslsign(program, first, signed, 256, signer, "-ts", nest=True)
    else:
        _osslsign(program, target, signed, 256, signer, "-ts")
    verified = _verify(program, signed, signer.cert, ca)
    shutil.copymode(target, signed)
    staging.put(signed, target)
    return verified


def sign(program, cert, key, password_file=None, timestamp=None, also_sha1=False, ca=None):
    """Signs program in place (the file a link names, the link staying a
    link) and verifies it; returns the line to show, or raises SignError."""
    if shutil.which("osslsigncode") is None:
        raise SignError("osslsigncode is missing; tools/dev/setup.sh ship installs it")
    if not os.path.isfile(program):
        raise SignError(f"{program}: no such file")
    if not os.access(program, os.W_OK):
        raise SignError(f"{program}: cannot be written")
    for path in (cert, key, password_file, ca):
        if path and not (os.path.isfile(path) and os.access(path, os.R_OK)):
            raise SignError(f"{path}: no such file, or it cannot be read")
    target = os.path.realpath(program)
    try:
        # Beside the program, so that putting it in place cannot cross file systems.
        with staging.scratch_beside(target, prefix=".sign.") as work:
            verified = _sign_in(work, program, target, _Signer(cert, key, password_file, timestamp), also_sha1, ca)
    except OSError as error:
        if error.filename == os.path.dirname(target):
            raise SignError(f"cannot write next to {program}: {error.strerror}") from None
        raise SignError(f"{program}: {error.strerror or error}; the program is unchanged") from None
    return (f"{program}: signed with SHA-256{' nested in SHA-1' if also_sha1 else ''}"
            f"{f', time-stamped by {timestamp}' if timestamp else ''}; {verified} signature(s) verified")
