#!/bin/sh
# Adds only what is missing to a Debian 12 machine: the cross compiler, Wine,
# Xvfb, the Japanese, German, Finnish and Arabic locales, CMake, GoogleTest,
# clang for fuzzing, pefile and bidi for the executable's checks, osslsigncode and
# openssl for signing, xorriso for the medium's image, NSIS (makensis) for an
# installer built with it as the tool in the end-to-end tests, strace to see
# that the medium reaches the disk in order, stress-ng to load the machine in
# `make soak`; and, where this kernel runs no i386 programs or
# WINE_RUN=vm asks for it, QEMU and a Debian kernel for tools/vm.
# Run it as often as you like; a machine that has everything costs seconds.
set -eu

packages="make cmake g++ g++-mingw-w64-i686 wine wine32:i386 xvfb xauth locales
googletest libgtest-dev clang libclang-rt-14-dev python3 python3-pefile python3-bidi stress-ng
osslsigncode openssl xorriso nsis strace"

sudo=
[ "$(id -u)" -eq 0 ] || sudo=sudo

installed() {
    dpkg-query -W -f='${db:Status-Status}' "$1" 2>/dev/null | grep -qx installed
}

missing=
for p in $packages; do
    installed "$p" || missing="$missing $p"
done

need_update=
if ! dpkg --print-foreign-architectures | grep -qx i386; then
    $sudo dpkg --add-architecture i386
    need_update=1
fi

if [ -n "$missing" ]; then
    need_update=1
fi

if [ -n "$need_update" ]; then
    echo "install-deps: installing$missing"
    $sudo apt-get update -q
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -q --no-install-recommends $missing
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
        [ -n "$need_update" ] || $sudo apt-get update -q
        DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -q --no-install-recommends $missing
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
