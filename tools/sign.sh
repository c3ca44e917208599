#!/bin/sh
# Signs setup.exe with Authenticode, using osslsigncode. What `make sign`
# runs. Usage: sign.sh [EXE]   (build/win32/setup.exe by default)
#
#   SIGN_PKCS11_MODULE      the PKCS#11 library of a token or HSM that holds
#   SIGN_PKCS11_KEY         the key, named by a pkcs11: URI (RFC 7512); its
#                           certificate from the token, or from SIGN_CERT
#   SIGN_CERT, SIGN_KEY     or certificate (chain) and key, PEM
#   SIGN_PKCS12             or both in one PKCS#12 file
#   SIGN_PASSWORD_FILE      the token's PIN, or the password of the key or
#                           of the PKCS#12 file: never on a command line
#   SIGN_DIGESTS            sha256 (the default), or sha1+sha256: a SHA-1
#                           signature with a nested SHA-256 one, for Windows
#                           that cannot check SHA-256
#   SIGN_TIMESTAMP_URL      RFC 3161 time-stamp authorities, separated by
#                           blanks, tried in turn for each signature (optional)
#   SIGN_TIMESTAMP_TIMEOUT  how long each request to one may take, in seconds
#                           (60)
#
# Each signature and each stamp is checked on its own before the signed file
# replaces EXE; a build for the tests alone is refused.
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

refuse() {
    echo "sign: $*" >&2
    exit 2
}

# The certificate of a key on a token: the object of the same name and id.
certificate_of() {
    case $1 in
        *type=private*) printf '%s\n' "$1" | sed 's/type=private/type=cert/' ;;
        *\?*) printf '%s\n' "$1" | sed 's/?/;type=cert?/' ;;
        *) printf '%s;type=cert\n' "$1" ;;
    esac
}

token_certificate=
if [ -n "${SIGN_PKCS11_KEY:-}${SIGN_PKCS11_MODULE:-}" ]; then
    [ -n "${SIGN_PKCS11_MODULE:-}" ] && [ -n "${SIGN_PKCS11_KEY:-}" ] ||
        refuse "a key on a token takes both SIGN_PKCS11_MODULE, the token's PKCS#11 library, and SIGN_PKCS11_KEY, the key's pkcs11: URI"
    case $SIGN_PKCS11_KEY in
        pkcs11:*) ;;
        *) refuse "SIGN_PKCS11_KEY is '$SIGN_PKCS11_KEY': it takes the key's pkcs11: URI (RFC 7512), as p11tool --list-privkeys shows it" ;;
    esac
    [ -z "${SIGN_KEY:-}${SIGN_PKCS12:-}" ] ||
        refuse "SIGN_PKCS11_KEY and ${SIGN_KEY:+SIGN_KEY}${SIGN_PKCS12:+SIGN_PKCS12} both name a key: give one"
    [ -f "$SIGN_PKCS11_MODULE" ] || refuse "SIGN_PKCS11_MODULE is '$SIGN_PKCS11_MODULE', which is no file"
    if [ -n "${SIGN_CERT:-}" ]; then
        set -- -pkcs11module "$SIGN_PKCS11_MODULE" -certs "$SIGN_CERT" -key "$SIGN_PKCS11_KEY"
    else
        token_certificate=$(certificate_of "$SIGN_PKCS11_KEY")
        set -- -pkcs11module "$SIGN_PKCS11_MODULE" -pkcs11cert "$token_certificate" -key "$SIGN_PKCS11_KEY"
    fi
elif [ -n "${SIGN_CERT:-}" ] && [ -n "${SIGN_KEY:-}" ]; then
    set -- -certs "$SIGN_CERT" -key "$SIGN_KEY"
elif [ -n "${SIGN_PKCS12:-}" ]; then
    set -- -pkcs12 "$SIGN_PKCS12"
else
    echo "sign: no certificate. Set SIGN_PKCS11_MODULE and SIGN_PKCS11_KEY (a key on a token), SIGN_CERT and" >&2
    echo "      SIGN_KEY (PEM files), or SIGN_PKCS12; and SIGN_PASSWORD_FILE for the PIN or the password;" >&2
    echo "      SIGN_TIMESTAMP_URL adds a time stamp." >&2
    exit 2
fi
# osslsigncode reads the PIN or the password from the file itself, and says
# the same of every fault of it.
if [ -n "${SIGN_PASSWORD_FILE:-}" ]; then
    pass=$SIGN_PASSWORD_FILE
    [ -e "$pass" ] || refuse "SIGN_PASSWORD_FILE is '$pass', which does not exist"
    [ ! -d "$pass" ] || refuse "SIGN_PASSWORD_FILE is '$pass', a folder: it names the file that holds the PIN or the password"
    [ -f "$pass" ] || refuse "SIGN_PASSWORD_FILE is '$pass', which is no file"
    { : < "$pass"; } 2>/dev/null || refuse "SIGN_PASSWORD_FILE is '$pass', which cannot be read"
    [ -s "$pass" ] || refuse "SIGN_PASSWORD_FILE is '$pass', which is empty"
    set -- "$@" -readpass "$pass"
fi
limit=${SIGN_TIMESTAMP_TIMEOUT:-60}
case $limit in
    '' | *[!0-9]* | 0*) refuse "SIGN_TIMESTAMP_TIMEOUT is '$limit': it takes a whole number of seconds, 1 or more" ;;
esac
digests=${SIGN_DIGESTS:-sha256}
case $digests in
    sha256 | sha1+sha256) ;;
    *) refuse "SIGN_DIGESTS is '$digests': it takes sha256 or sha1+sha256" ;;
esac
[ -f "$exe" ] || refuse "no $exe; build it first (make)"
# Renaming the signed file over a link would leave the file it names unsigned.
[ ! -L "$exe" ] || refuse "$exe is a link: sign the file it names, $(readlink -f -- "$exe")"
if [ -e "$record" ] && [ "$(head -n 1 -- "$record")" != "# make sign" ]; then
    refuse "$record exists and is not a record of make sign: it is left as it is"
fi
command -v osslsigncode >/dev/null || refuse "osslsigncode is missing (make deps)"

# Each run holds a lock on its folder while it lives, and so do the programs
# it starts: a folder whose lock anyone can take is what a killed run left,
# whatever became of its process (in another PID namespace, or another
# user's, its number tells nothing). The folder beside them is locked while
# they are looked at and a new one is made and locked, so that no run takes
# one for dead that another has only just made. Beside the file, so that the
# last step is a rename on one file system; a folder of its own, so that no
# other process can take a name in it.
dir=$(dirname "$exe")
exec 8<"$dir"
flock -w 60 8 || refuse "$dir is locked by another program: run make sign again when it has let go"
for old in "$dir/.$(basename "$exe").signing."*; do
    [ -d "$old" ] || continue
    if (exec 7<"$old" && flock -n 7) 2>/dev/null; then
        rm -rf "$old"
    fi
done
work=$(mktemp -d "$dir/.$(basename "$exe").signing.XXXXXX")
exec 9<"$work"
flock -n 9
exec 8<&-
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

# Why osslsigncode could not sign, in one sentence, from what it and the
# token's library said.
said() {
    grep -q -i -e "$1" "$work/errors"
}
failed() {
    if said "Unable to load module\|Unable to load PKCS#11 module"; then
        why="the PKCS#11 module $SIGN_PKCS11_MODULE could not be loaded"
    elif said "No matching initialized token"; then
        why="no token that $SIGN_PKCS11_KEY names is there: is it plugged in, and does the URI name its token?"
    elif said "PIN locked"; then
        why="the token's PIN is locked"
    elif said "PIN incorrect\|PIN_LEN_RANGE\|Login failed"; then
        why="the token refused the PIN${SIGN_PASSWORD_FILE:+ in $SIGN_PASSWORD_FILE}"
    elif [ -n "$token_certificate" ] && said "Failed to load certificate"; then
        why="the token holds no certificate for the key $SIGN_PKCS11_KEY (looked for as $token_certificate): check the URI, or give the certificate in SIGN_CERT"
    elif said "private key was not found\|Failed to load private key"; then
        why="${SIGN_PKCS11_KEY:+the token holds no key $SIGN_PKCS11_KEY}${SIGN_PKCS11_KEY:-the key could not be read}"
    elif said "key values mismatch\|consistency of a private key"; then
        why="the certificate ${SIGN_CERT:-${SIGN_PKCS12:-on the token}} is not the one of the key ${SIGN_KEY:-${SIGN_PKCS11_KEY:-in it}}"
    else
        why="osslsigncode could not sign it: $(grep -v '^[0-9A-F]*:error:' "$work/errors" | tail -n 1)"
    fi
    echo "sign: $why; $exe is left as it was." >&2
    exit 1
}

# Each signature gets its stamp from the first authority that gives one
# within the time limit; osslsigncode itself would wait for ever on one that
# takes the request and never answers. $1: the signature's index.
stamped_by=
stamp() {
    tried=
    for url in $SIGN_TIMESTAMP_URL; do
        timeout -k 5 "$limit" osslsigncode add -index "$1" -ts "$url" -in "$signed" -out "$work/stamped.exe" \
            </dev/null >/dev/null 2>"$work/errors" &
        signer=$!
        status=0
        wait "$signer" || status=$?
        signer=
        if [ $status -eq 0 ]; then
            mv "$work/stamped.exe" "$signed"
            case " $stamped_by " in *" $url "*) ;; *) stamped_by="${stamped_by:+$stamped_by and }$url" ;; esac
            return
        fi
        rm -f "$work/stamped.exe"
        if [ $status -eq 124 ] || [ $status -eq 137 ]; then
            why="$url did not answer within $limit s"
        else
            detail=$(grep -o -m 1 "connect error\|Connection refused\|HTTP failure[^:]*\|Timeout[^:]*" "$work/errors" || true)
            why="$url gave no time stamp${detail:+ ($detail)}"
        fi
        tried="${tried:+$tried; }$why"
    done
    echo "sign: no time-stamp authority stamped the $2 signature: $tried; $exe is left as it was." >&2
    exit 1
}

# The bytes that are checked are the bytes that are signed.
cp -- "$exe" "$work/unsigned.exe"
checks="$(dirname "$0")/medium/setup_exe.py"
refusal=$(python3 "$checks" shippable "$work/unsigned.exe" "$exe" 2>&1) || refuse "$refusal"
signed=$work/unsigned.exe
nest=
for digest in $(echo "$digests" | tr + ' '); do
    # In the background, so that a signal is taken at once, not after it; no
    # input, so that a prompt that nobody sees ends at once.
    osslsigncode sign $nest -h "$digest" "$@" -in "$signed" -out "$work/$digest.exe" \
        </dev/null >/dev/null 2>"$work/errors" &
    signer=$!
    wait "$signer" || failed
    signer=
    signed=$work/$digest.exe
    nest=-nest
done
if [ -n "${SIGN_TIMESTAMP_URL:-}" ]; then
    index=0
    for digest in $(echo "$digests" | tr + ' '); do
        stamp $index "$(echo "$digest" | tr a-z A-Z)"
        index=$((index + 1))
    done
fi
# What the summary says rests on these checks of what goes in.
said=$(python3 "$checks" signed "$signed" "$exe" ${SIGN_TIMESTAMP_URL:+stamped} 2>&1) || {
    echo "sign: $said" >&2
    exit 1
}
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
echo "$exe: $said${stamped_by:+, the stamps from $stamped_by}"
