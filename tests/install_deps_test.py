#!/usr/bin/python3
"""tools/install-deps.sh against a package mirror out of step: stand-ins for
apt-get, dpkg, dpkg-query, sudo, sleep and locale on PATH record their calls
and fail as each row tells. Nothing is installed; no root is needed."""
import os
import subprocess
import sys
import tempfile

ROOT = os.path.abspath(os.path.join(os.path.dirname(__file__), ".."))
CODENAME = next((l.split("=", 1)[1].strip().strip('"') for l in open("/etc/os-release")
                 if l.startswith("VERSION_CODENAME=")), "")
INDEX = CODENAME + "-security/main/binary-i386/Packages.xz"

STAND_INS = {
    "apt-get": r'''echo "apt-get $*" >> "$CALLS"
case "$1" in
update)
    n=$(grep -c '^apt-get update' "$CALLS")
    [ "$n" -gt "$UPDATE_FAILS" ] && exit 0
    echo "E: Failed to fetch http://.../debian-security/dists/%s  File has unexpected size (374820 != 376004). Mirror sync in progress?"
    echo "E: Some index files failed to download. They have been ignored, or old ones used instead."
    exit 100 ;;
install)
    case "$INSTALL $*" in works*|"with-t "*" -t "*) exit 0 ;; esac
    echo "The following packages have unmet dependencies:"
    echo " wine32:i386 : Depends: libwine:i386 (= 8.0) but it is not going to be installed"
    echo "E: Unable to correct problems, you have held broken packages."
    exit 100 ;;
esac''' % INDEX,
    "dpkg-query": 'case " $MISSING " in *" $3 "*) exit 1 ;; esac; printf installed',
    "dpkg": 'echo i386',
    "sudo": 'exec "$@"',
    "sleep": 'echo "sleep $*" >> "$CALLS"',
    "locale": 'printf "%s\\n" ja_JP.utf8 de_DE.utf8 fi_FI.utf8 ar_EG.utf8',
}

UPDATE = "apt-get update -q"
INSTALL = "apt-get install -y -q --no-install-recommends wine32:i386 nsis"
WITH_T = "apt-get install -y -q --no-install-recommends -t %s wine32:i386 nsis" % CODENAME

# name, update fails how often, install works / with-t / fails, status, calls, said
ROWS = [
    ("update fails once, then works", 1, "works", 0, [UPDATE, "sleep 20", UPDATE, INSTALL], None),
    ("update always fails, install works", 99, "works", 0,
     [UPDATE, "sleep 20", UPDATE, "sleep 20", UPDATE, INSTALL], "could not fetch " + INDEX + " after 3 tries"),
    ("install works only at the release suite", 0, "with-t", 0, [UPDATE, INSTALL, WITH_T], "-t " + CODENAME),
    ("install fails both ways", 99, "fails", 1,
     [UPDATE, "sleep 20", UPDATE, "sleep 20", UPDATE, INSTALL, WITH_T], "could not install wine32:i386,"),
    ("nothing missing", 99, "fails", 0, [], None),
]


def run(folder, update_fails, install, missing):
    calls = os.path.join(folder, "calls")
    open(calls, "w").close()
    env = dict(os.environ, PATH=folder + ":" + os.environ["PATH"], CALLS=calls, UPDATE_FAILS=str(update_fails),
               INSTALL=install, MISSING=missing, WINE_RUN="vm")
    done = subprocess.run(["sh", os.path.join(ROOT, "tools", "install-deps.sh")], env=env, capture_output=True,
                          text=True, timeout=60)
    return done, open(calls).read().splitlines()


def main():
    failed = 0
    with tempfile.TemporaryDirectory() as folder:
        for name, body in STAND_INS.items():
            with open(os.path.join(folder, name), "w") as f:
                f.write("#!/bin/sh\n" + body + "\n")
            os.chmod(os.path.join(folder, name), 0o755)
        for what, update_fails, install, status, calls, said in ROWS:
            done, got = run(folder, update_fails, install, "" if what == "nothing missing" else "wine32:i386 nsis")
            problems = []
            if done.returncode != status:
                problems.append("status %d, not %d" % (done.returncode, status))
            if got != calls:
                problems.append("calls %r" % got)
            if said and said not in done.stdout + done.stderr:
                problems.append("no %r" % said)
            if status and len(done.stderr.strip().splitlines()) != 1:
                problems.append("not one sentence on standard error: %r" % done.stderr)
            print("%s %s%s" % ("FAIL" if problems else "ok  ", what, problems and ": " + "; ".join(problems) or ""))
            failed += bool(problems)
    print("%d failed" % failed)
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
