#!/usr/bin/env python3
"""Runs setup.exe under Wine from a medium and prints what the installer
tool received: by default from a sample medium that it lays out under
build/demo/ with the substitute tool; else from the medium folder given
(make medium's build/medium, say), whose tool runs as it is.

    demo.py [FOLDER]
"""
import os
import shutil
import sys

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "tests", "e2e"))
from winenv import BUILD, WIN32, Wine, run_where_wine_runs, windows_path  # noqa: E402

DEMO = os.path.join(BUILD, "demo")


def sample_medium():
    medium = os.path.join(DEMO, "medium")
    bin_dir = os.path.join(medium, "vorald_installer", "bin")
    os.makedirs(bin_dir)
    shutil.copy(os.path.join(WIN32, "setup.exe"), medium)
    shutil.copy(os.path.join(WIN32, "fake_tool.exe"), os.path.join(bin_dir, "vorald_installer_cmd.exe"))
    return medium


def main():
    args = [a for a in sys.argv[1:] if a != "--in-wine"]
    if "--in-wine" not in sys.argv:
        return run_where_wine_runs(__file__, [os.path.abspath(a) for a in args])
    shutil.rmtree(DEMO, ignore_errors=True)
    os.makedirs(DEMO)
    medium = args[0] if args else sample_medium()
    record = os.path.join(DEMO, "record")

    print("medium:  %s" % medium)
    with Wine() as wine:
        # What the substitute tool reads; another tool ignores it.
        wine.env["FAKE_TOOL_RECORD"] = windows_path(record).decode()
        wine.env["FAKE_TOOL_EXIT"] = "5"
        run = wine.run(["wine", os.path.join(medium, "setup.exe")], cwd=DEMO)
    if os.path.exists(record):
        with open(record, "rb") as f:
            fields = [item.partition(b"=") for item in f.read().split(b"\0") if item]
        for key, _, value in fields:
            if key in (b"cmdline", b"cwd"):
                label = {b"cmdline": "the tool received", b"cwd": "in the folder"}[key]
                print("%s: %s" % (label, value.decode("cp1252")))
        print("the tool ended with status 5; setup.exe ended with status %d" % run.returncode)
    else:
        print("setup.exe ended with status %d" % run.returncode)
    return 0 if run.returncode == 0 else 1


if __name__ == "__main__":
    sys.exit(main())
