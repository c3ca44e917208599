#!/usr/bin/env python3
"""Lays out a sample medium under build/demo/ with a substitute installer
tool, runs setup.exe there under Wine, and prints what the tool received."""
import os
import shutil
import sys

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "tests", "e2e"))
from winenv import BUILD, WIN32, Wine, run_where_wine_runs, windows_path  # noqa: E402

DEMO = os.path.join(BUILD, "demo")


def main():
    if "--in-wine" not in sys.argv:
        return run_where_wine_runs(__file__, [])
    shutil.rmtree(DEMO, ignore_errors=True)
    medium = os.path.join(DEMO, "medium")
    bin_dir = os.path.join(medium, "vorald_installer", "bin")
    os.makedirs(bin_dir)
    shutil.copy(os.path.join(WIN32, "setup.exe"), medium)
    shutil.copy(os.path.join(WIN32, "fake_tool.exe"), os.path.join(bin_dir, "vorald_installer_cmd.exe"))
    record = os.path.join(DEMO, "record")

    print("medium:  %s" % medium)
    with Wine() as wine:
        wine.env["FAKE_TOOL_RECORD"] = windows_path(record).decode()
        wine.env["FAKE_TOOL_EXIT"] = "5"
        run = wine.run(["wine", os.path.join(medium, "setup.exe")], cwd=DEMO)
    if not os.path.exists(record):
        print("the installer tool did not start")
    else:
        with open(record, "rb") as f:
            fields = [item.partition(b"=") for item in f.read().split(b"\0") if item]
        for key, _, value in fields:
            if key in (b"cmdline", b"cwd"):
                label = {b"cmdline": "the tool received", b"cwd": "in the folder"}[key]
                print("%s: %s" % (label, value.decode("cp1252")))
    print("the tool ended with status 5; setup.exe ended with status %d" % run.returncode)
    return 0 if run.returncode == 0 else 1


if __name__ == "__main__":
    sys.exit(main())
