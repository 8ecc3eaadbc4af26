"""Signs Windows programs in place with osslsigncode and verifies the
signature; a program is replaced only once its signed copy verifies. Each
program named gets the same options; it stops at the first that fails."""
from kitlib.shipping import sign as signing

HELP = "sign a program and verify the signature"
# Options may follow the programs, as in `kit sign a.exe b.exe --cert ...`.
INTERMIXED = True


def add_arguments(parser):
    parser.add_argument("programs", nargs="+", metavar="PROGRAM", help="the launcher, or any Windows program")
    parser.add_argument("--cert", required=True, metavar="FILE", help="the code-signing certificate (PEM or "
                        "DER), with its intermediate certificates if the issuer sent them")
    parser.add_argument("--key", required=True, metavar="FILE", help="its private key")
    parser.add_argument("--pass", dest="password_file", metavar="FILE", help="a file holding the key's password "
                        "(never the password on the command line, where every user of the machine could read it)")
    parser.add_argument("--timestamp", metavar="URL", help="a time-stamping server, so that the signature "
                        "outlives the certificate")
    parser.add_argument("--also-sha1", action="store_true", help="a SHA-1 signature first, with the SHA-256 one "
                        "nested in it: Windows XP and Vista check only the first signature and know nothing of "
                        "SHA-256; 7 and later take the SHA-256 one")
    parser.add_argument("--ca", metavar="FILE", help="the root certificates the check trusts (default: the "
                        "system's); an in-house or test certificate needs itself here")


def run(args):
    options = {name: getattr(args, name) for name in ("cert", "key", "password_file", "timestamp", "also_sha1", "ca")}
    for program in args.programs:
        print(signing.sign(program, **options), flush=True)
    return 0
