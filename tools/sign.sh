#!/bin/sh
# Signs setup.exe with Authenticode, using osslsigncode. What `make sign`
# runs. Usage: sign.sh [EXE]   (build/win32/setup.exe by default)
#
#   SIGN_CERT, SIGN_KEY     certificate (chain) and key, PEM
#   SIGN_PKCS12             or both in one PKCS#12 file
#   SIGN_PASSWORD_FILE      the password of the key or of the PKCS#12 file
#   SIGN_DIGESTS            sha256 (the default), or sha1+sha256: a SHA-1
#                           signature with a nested SHA-256 one, for Windows
#                           that cannot check SHA-256
#   SIGN_TIMESTAMP_URL      an RFC 3161 time-stamp server for each signature
#                           (optional)
#
# The file is signed in a private folder beside it, then renamed over it: a
# failure or a signal (INT, TERM, HUP) leaves the unsigned file as it was and
# nothing beside it. EXE.signed then records the digest of what was signed,
# so that make medium can tell a rebuilt, unsigned file from it; a signal
# waits while the two are renamed into place. A folder that a killed run
# left is removed by the next one.
set -eu
exe=${1:-build/win32/setup.exe}
# A name that begins with - would be taken for an option below.
case $exe in -*) exe=./$exe ;; esac
record=$exe.signed

if [ -n "${SIGN_CERT:-}" ] && [ -n "${SIGN_KEY:-}" ]; then
    set -- -certs "$SIGN_CERT" -key "$SIGN_KEY"
elif [ -n "${SIGN_PKCS12:-}" ]; then
    set -- -pkcs12 "$SIGN_PKCS12"
else
    echo "sign: no certificate. Set SIGN_CERT and SIGN_KEY (PEM files), or SIGN_PKCS12; and" >&2
    echo "      SIGN_PASSWORD_FILE for a key with a password; SIGN_TIMESTAMP_URL adds a time stamp." >&2
    exit 2
fi
[ -z "${SIGN_PASSWORD_FILE:-}" ] || set -- "$@" -readpass "$SIGN_PASSWORD_FILE"
[ -z "${SIGN_TIMESTAMP_URL:-}" ] || set -- "$@" -ts "$SIGN_TIMESTAMP_URL"
digests=${SIGN_DIGESTS:-sha256}
case $digests in
    sha256 | sha1+sha256) ;;
    *) echo "sign: SIGN_DIGESTS is '$digests': it takes sha256 or sha1+sha256" >&2; exit 2 ;;
esac
[ -f "$exe" ] || { echo "sign: no $exe; build it first (make)" >&2; exit 2; }
# Renaming the signed file over a link would leave the file it names unsigned.
[ ! -L "$exe" ] || { echo "sign: $exe is a link: sign the file it names, $(readlink -f -- "$exe")" >&2; exit 2; }
if [ -e "$record" ] && [ "$(head -n 1 -- "$record")" != "# make sign" ]; then
    echo "sign: $record exists and is not a record of make sign: it is left as it is" >&2
    exit 2
fi
command -v osslsigncode >/dev/null || { echo "sign: osslsigncode is missing (make deps)" >&2; exit 2; }

# What a run killed before it could clean up left: a folder whose run has
# ended. The run's process number is in the folder's name from the moment
# it is made (an earlier make sign wrote it to a pid file inside); a folder
# whose run still lives stays.
for old in "$(dirname "$exe")/.$(basename "$exe").signing."*; do
    [ -d "$old" ] || continue
    pid=${old##*.signing.}
    pid=${pid%%.*}
    case $pid in '' | *[!0-9]*) pid=$(cat "$old/pid" 2>/dev/null || true) ;; esac
    if [ -z "$pid" ] || ! kill -0 "$pid" 2>/dev/null; then
        rm -rf "$old"
    fi
done

# Beside the file, so that the last step is a rename on one file system; a
# folder of its own, so that no other process can take a name in it.
work=$(mktemp -d "$(dirname "$exe")/.$(basename "$exe").signing.$$.XXXXXX")
signer=
cleanup() {
    [ -z "$signer" ] || kill "$signer" 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 129' HUP
trap 'exit 130' INT
trap 'exit 143' TERM

# KIT_TEST_SIGNAL=SIGNAL:STEP: the tests send a signal at a named step.
step() {
    case ${KIT_TEST_SIGNAL:-} in *:"$1") kill -s "${KIT_TEST_SIGNAL%%:*}" $$ ;; esac
}

signed=$exe
nest=
for digest in $(echo "$digests" | tr + ' '); do
    # In the background, so that a signal is taken at once, not after it.
    osslsigncode sign $nest -h "$digest" "$@" -in "$signed" -out "$work/$digest.exe" >/dev/null &
    signer=$!
    wait "$signer"
    signer=
    signed=$work/$digest.exe
    nest=-nest
done
chmod --reference="$exe" "$signed"
{ echo "# make sign"; sha256sum < "$signed" | cut -d' ' -f1; } > "$work/record"
# The signed file and its record go in together: a signal waits for both.
stop=
trap 'stop=129' HUP
trap 'stop=130' INT
trap 'stop=143' TERM
mv "$signed" "$exe"
step "signed in"
mv "$work/record" "$record"
[ -z "$stop" ] || exit "$stop"
echo "signed $exe ($digests)"
