#!/bin/sh
# Signs setup.exe with Authenticode, SHA-256, using osslsigncode. What `make
# sign` runs. Usage: sign.sh [EXE]   (build/win32/setup.exe by default)
#
#   SIGN_CERT, SIGN_KEY              certificate (chain) and key, PEM
#   SIGN_PKCS12, SIGN_PASSWORD_FILE  or both in one PKCS#12 file
#   SIGN_TIMESTAMP_URL               an RFC 3161 time-stamp server (optional)
#
# The file is signed into a temporary copy beside it, then renamed over it:
# a failure leaves the unsigned file as it was.
set -eu
exe=${1:-build/win32/setup.exe}

if [ -n "${SIGN_CERT:-}" ] && [ -n "${SIGN_KEY:-}" ]; then
    set -- -certs "$SIGN_CERT" -key "$SIGN_KEY"
elif [ -n "${SIGN_PKCS12:-}" ]; then
    set -- -pkcs12 "$SIGN_PKCS12"
    [ -z "${SIGN_PASSWORD_FILE:-}" ] || set -- "$@" -readpass "$SIGN_PASSWORD_FILE"
else
    echo "sign: no certificate. Set SIGN_CERT and SIGN_KEY (PEM files), or SIGN_PKCS12 and" >&2
    echo "      SIGN_PASSWORD_FILE; SIGN_TIMESTAMP_URL adds a time stamp." >&2
    exit 2
fi
[ -z "${SIGN_TIMESTAMP_URL:-}" ] || set -- "$@" -ts "$SIGN_TIMESTAMP_URL"
[ -f "$exe" ] || { echo "sign: no $exe; build it first (make)" >&2; exit 2; }
command -v osslsigncode >/dev/null || { echo "sign: osslsigncode is missing (make deps)" >&2; exit 2; }

signed=$(mktemp "$exe.signing.XXXXXX")
trap 'rm -f "$signed"' EXIT
rm -f "$signed" # osslsigncode makes the file itself
osslsigncode sign -h sha256 "$@" -in "$exe" -out "$signed" >/dev/null
chmod --reference="$exe" "$signed"
mv "$signed" "$exe"
trap - EXIT
echo "signed $exe"
