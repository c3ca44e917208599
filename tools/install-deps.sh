#!/bin/sh
# Adds only what is missing to a Debian 12 machine: the cross compiler, Wine,
# Xvfb, the Japanese, German, Finnish and Arabic locales, CMake, GoogleTest,
# clang for fuzzing, pefile and bidi for the executable's checks, osslsigncode and
# openssl for signing, with a key on a PKCS#11 token (the OpenSSL engine; a
# token in software, SoftHSM, and opensc's pkcs11-tool for the tests, and
# faketime for their time-stamp authority), xorriso for the medium's image, NSIS (makensis) for an
# installer built with it as the tool in the end-to-end tests, strace to see
# that the medium reaches the disk in order, stress-ng to load the machine in
# `make soak`, gcovr for `make coverage`; and, where this kernel runs no i386 programs or
# WINE_RUN=vm asks for it, QEMU and a Debian kernel for tools/vm.
# Run it as often as you like; a machine that has everything costs seconds.
set -eu

packages="make cmake g++ g++-mingw-w64-i686 wine wine32:i386 xvfb xauth locales
googletest libgtest-dev clang libclang-rt-14-dev python3 python3-pefile python3-bidi stress-ng
osslsigncode openssl softhsm2 libengine-pkcs11-openssl opensc faketime xorriso nsis strace gcovr"

sudo=
[ "$(id -u)" -eq 0 ] || sudo=sudo
apt_get="$sudo env DEBIAN_FRONTEND=noninteractive apt-get"

log=$(mktemp)
trap 'rm -f "$log" "$log.status"' EXIT

installed() {
    dpkg-query -W -f='${db:Status-Status}' "$1" 2>/dev/null | grep -qx installed
}

# Runs a command with its output shown and kept in $log; its status.
logged() {
    { status=0; "$@" 2>&1 || status=$?; echo "$status" > "$log.status"; } | tee "$log"
    return "$(cat "$log.status")"
}

# A mirror that is syncing can serve an index out of step with its release
# file for hours, and apt-get update then fails for that one index. Three
# tries, then the lists there are: whether they do is for the install to say.
updated=
update_lists() {
    [ -z "$updated" ] || return 0
    updated=1
    for try in 1 2 3; do
        logged $apt_get update -q && return 0
        [ "$try" -eq 3 ] && break
        echo "install-deps: apt-get update failed; trying again in 20 s"
        sleep 20
    done
    indexes=$(sed -n 's|^[EW]: Failed to fetch [^ ]*/dists/\([^ ]*\).*|\1|p' "$log" | sort -u | tr '\n' ' ')
    indexes=${indexes% }
    echo "install-deps: apt-get update could not fetch ${indexes:-every index} after 3 tries; going on with the package lists there are"
}

# Where the lists of one architecture are older than another's (an index
# missing, or a mirror half synced), a package installed for both cannot be
# given one version: the release suite's versions are the same for both.
install_packages() {
    logged $apt_get install -y -q --no-install-recommends "$@" && return 0
    codename=$(sed -n 's/^VERSION_CODENAME=//p' /etc/os-release 2>/dev/null | tr -d '"')
    if [ -n "$codename" ]; then
        echo "install-deps: trying again with the versions of $codename itself (-t $codename)"
        logged $apt_get install -y -q --no-install-recommends -t "$codename" "$@" && return 0
    fi
    refused=$(sed -n -e 's/^ \([^ ]*\) : [A-Za-z-]*:.*/\1/p' -e 's/^E: Unable to locate package \(.*\)/\1/p' \
                     -e "s/^E: Package '\\(.*\\)' has no installation candidate/\\1/p" "$log" | sort -u | tr '\n' ' ')
    refused=${refused:-$*}
    echo "install-deps: apt-get could not install ${refused% }${codename:+, neither as the package lists stand nor at $codename's own versions}; run make again later, once the package mirror is in step (apt-get update), or install them yourself${codename:+ with apt-get install -t $codename}." >&2
    exit 1
}

missing=
for p in $packages; do
    installed "$p" || missing="$missing $p"
done

if ! dpkg --print-foreign-architectures | grep -qx i386; then
    $sudo dpkg --add-architecture i386
    update_lists
fi

if [ -n "$missing" ]; then
    echo "install-deps: installing$missing"
    update_lists
    install_packages $missing
fi

# Wine's loader is an i386 program: without the kernel's IA-32 emulation,
# Wine runs in a virtual machine instead, as it does wherever WINE_RUN=vm.
if [ "${WINE_RUN:-}" = vm ] || ! /usr/lib/wine/wine --version >/dev/null 2>&1; then
    missing=
    for p in qemu-system-x86 linux-image-amd64 busybox-static cpio kmod; do
        installed "$p" || missing="$missing $p"
    done
    if [ -n "$missing" ]; then
        echo "install-deps: installing$missing for the virtual machine (tools/vm)"
        update_lists
        install_packages $missing
    fi
fi

# The end-to-end tests run Wine in these languages: its interface language
# follows the locale.
generate=
for locale in ja_JP de_DE fi_FI ar_EG; do
    locale -a 2>/dev/null | grep -qix "$locale.utf8" && continue
    generate="$generate $locale.UTF-8"
    if ! grep -q "^$locale.UTF-8 UTF-8" /etc/locale.gen 2>/dev/null; then
        echo "$locale.UTF-8 UTF-8" | $sudo tee -a /etc/locale.gen >/dev/null
    fi
done
if [ -n "$generate" ]; then
    echo "install-deps: generating$generate"
    $sudo locale-gen >/dev/null
fi
