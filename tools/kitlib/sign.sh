#!/usr/bin/env bash
# Signs the launcher (or any Windows program) in place with osslsigncode, then
# verifies the signature. The program is replaced only once the signed copy
# has been verified: on any failure it stays exactly as it was, and no
# half-signed copy is left next to it.
#
# Usage: tools/kitlib/sign.sh PROGRAM --cert FILE --key FILE [--pass FILE]
#                      [--timestamp URL] [--also-sha1] [--ca FILE]
#
#   --cert       the code-signing certificate (PEM or DER), with its
#                intermediate certificates if the issuer sent them
#   --key        its private key
#   --pass       a file holding the key's password (never on the command line,
#                where every user of the machine could read it)
#   --timestamp  a time-stamping server, so that the signature outlives the
#                certificate
#   --also-sha1  a SHA-1 signature first, with the SHA-256 one nested in it:
#                Windows XP and Vista check only the first signature and know
#                nothing of SHA-256; 7 and later take the SHA-256 one
#   --ca         the root certificates the check trusts (default: the
#                system's); an in-house or test certificate needs itself here
set -euo pipefail

# usage [0]: asked for with --help, the options too, on stdout, and all is well.
usage() {
    if [ "${1:-2}" = 0 ]; then
        sed -n '/^# Usage:/,/^set /p' "$0" | sed -e '/^set /d' -e 's/^# \{0,1\}//' -e 's/^#$//'
        exit 0
    fi
    sed -n '/^# Usage:/,/^#$/p' "$0" | sed -e 's/^# \{0,1\}//' -e '/^$/d' >&2
    exit 2
}
fail() {
    echo "sign.sh: $*" >&2
    exit 1
}

program="" cert="" key="" pass="" timestamp="" also_sha1="" ca=""
while [ $# -gt 0 ]; do
    case "$1" in
        --cert|--key|--pass|--timestamp|--ca)
            [ $# -ge 2 ] || usage
            option=${1#--}
            printf -v "$option" '%s' "$2"
            shift 2 ;;
        --also-sha1) also_sha1=1; shift ;;
        -h|--help) usage 0 ;;
        -*) echo "sign.sh: unknown option $1" >&2; usage ;;
        *) [ -z "$program" ] || usage; program=$1; shift ;;
    esac
done
if [ -z "$program" ] || [ -z "$cert" ] || [ -z "$key" ]; then
    usage
fi

command -v osslsigncode >/dev/null || fail "osslsigncode is missing; tools/dev/setup.sh ship installs it"
[ -f "$program" ] || fail "$program: no such file"
[ -w "$program" ] || fail "$program: cannot be written"
for file in "$cert" "$key" ${pass:+"$pass"} ${ca:+"$ca"}; do
    if [ ! -f "$file" ] || [ ! -r "$file" ]; then
        fail "$file: no such file, or it cannot be read"
    fi
done
# The file a link points to is the one to sign; replacing the link itself
# would leave that file unsigned.
target=$(readlink -f -- "$program")

# Next to the program, so that the final rename cannot cross file systems.
work=$(mktemp -d "$(dirname "$target")/.sign.XXXXXX") || fail "cannot write next to $program"
trap 'rm -rf "$work"' EXIT
trap 'exit 1' INT TERM HUP

log="$work/osslsigncode.log"
# sign HASH TIMESTAMP-OPTION IN OUT [-nest]
sign() {
    local hash=$1 stamp_option=$2 in=$3 out=$4
    shift 4
    local args=(sign -certs "$cert" -key "$key" -h "sha$hash" -in "$in" -out "$out" "$@")
    [ -z "$pass" ] || args+=(-readpass "$pass")
    [ -z "$timestamp" ] || args+=("$stamp_option" "$timestamp")
    osslsigncode "${args[@]}" </dev/null >"$log" 2>&1 || {
        cat "$log" >&2
        fail "$program: osslsigncode could not sign it with SHA-$hash (wrong key or password? \
unreachable time-stamping server?); the program is unchanged"
    }
}

if [ -n "$also_sha1" ]; then
    # Windows XP and Vista read only Authenticode time stamps.
    sign 1 -t "$target" "$work/sha1.exe"
    sign 256 -ts "$work/sha1.exe" "$work/signed.exe" -nest
else
    sign 256 -ts "$target" "$work/signed.exe"
fi

verify=(verify -in "$work/signed.exe")
[ -z "$ca" ] || verify+=(-CAfile "$ca")
if ! osslsigncode "${verify[@]}" </dev/null >"$log" 2>&1; then
    cat "$log" >&2
    fail "$program: the signature does not verify (a key that does not match the certificate? \
a certificate the system does not trust: --ca); the program is unchanged"
fi

chmod --reference="$target" "$work/signed.exe"
mv -f "$work/signed.exe" "$target"
echo "$program: signed with SHA-256${also_sha1:+ nested in SHA-1}${timestamp:+, time-stamped by $timestamp}; \
$(grep -c '^Signature Index' "$log") signature(s) verified"
