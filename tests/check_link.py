#!/usr/bin/python3
"""setup.exe replaces the start-up's relocator of data imported from DLLs
with nothing, which is safe only while its link refuses every such import.
Links a probe that imports one (msvcrt's _osver) with setup.exe's own link
options: the link must fail naming it; and without --disable-auto-import it
must still fail, so that the relocator is never needed.

    check_link.py LINK_OPTIONS   (build/win32/link_options.txt: the compiler,
                                  then one option a line)
"""
import os
import subprocess
import sys
import tempfile


def link(compiler, options, probe, folder):
    return subprocess.run([compiler, probe, "-o", os.path.join(folder, "probe.exe")] + options,
                          capture_output=True, text=True)


def main():
    with open(sys.argv[1]) as f:
        compiler, *options = f.read().split("\n")
    options = [o for o in options if o]
    failures = []
    with tempfile.TemporaryDirectory() as folder:
        probe = os.path.join(folder, "probe.c")
        with open(probe, "w") as f:
            f.write("extern int _osver;\nint main(void) { return _osver; }\n")
        done = link(compiler, options, probe, folder)
        if done.returncode == 0 or "undefined reference to `_osver'" not in done.stderr:
            failures.append("setup.exe's link takes a data import, or refuses it without naming it: " +
                            (done.stderr.strip()[-300:] or "it links"))
        done = link(compiler, [o for o in options if o != "-Wl,--disable-auto-import"], probe, folder)
        if done.returncode == 0:
            failures.append("without --disable-auto-import, setup.exe's link takes a data import that its "
                            "relocator would never patch")
    for failure in failures:
        print("FAIL " + failure)
    print("%d failed" % len(failures))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
