#!/usr/bin/env python3
"""Keeps the guides true to the code, without reading their prose: every make
target in make help and the README's table; every variable that the code
reads in a guide's table, and none there that nothing reads; every status of
launcher/status.h in the exit-status table; every relative link and every
path of HACKING.md's layout there; every size limit quoted as the one
tests/check_exe.py enforces.

    check_docs.py
"""
import os
import re
import subprocess
import sys

ROOT = os.path.abspath(os.path.join(os.path.dirname(__file__), ".."))
GUIDES = ["README.md", "HACKING.md"] + [os.path.join("docs", n) for n in sorted(os.listdir(os.path.join(ROOT, "docs")))
                                        if n.endswith(".md")]
# The names of the settings and hooks that a user or a test can give.
VARIABLE = re.compile(r"\b(?:(?:SETUP|SIGN|MEDIUM|WINVM|E2E|FAKE_TOOL|KIT_TEST|FUZZ|DEMO)_[A-Z][A-Z0-9_]*|WINE_RUN|"
                      r"SOURCE_DATE_EPOCH|TEST_ELEVATION|COVERAGE|WIN32_BUILD_DIR|XDG_CACHE_HOME)\b")
# Compile definitions that the build makes of SETUP_COMMAND_LINE and
# SETUP_EXIT_STATUS: no one sets them.
MADE_BY_THE_BUILD = {"SETUP_UTF16", "SETUP_PASS_TOOL_STATUS"}
# Where the code reads them; the release tests set values, some of them
# wrong on purpose.
CODE = ("Makefile", "CMakeLists.txt", "CMakePresets.json", "cmake", "win32", "launcher", "entry", "tools",
        "tests/e2e", "tests/unit", "tests/CMakeLists.txt", "tests/check_exe.py", "tests/check_link.py")


def text(path):
    with open(os.path.join(ROOT, path), encoding="utf-8") as f:
        return f.read()


def code_files():
    for top in CODE:
        path = os.path.join(ROOT, top)
        if os.path.isfile(path):
            yield top
        for folder, _, names in os.walk(path):
            for name in names:
                if not name.endswith((".md", ".txt")) or name == "CMakeLists.txt":
                    yield os.path.relpath(os.path.join(folder, name), ROOT)


def table_rows(path):
    return [line for line in text(path).splitlines() if line.startswith("|")]


def targets():
    """The Makefile's targets, those that make help prints, and those of the
    README's table."""
    makefile = re.findall(r"^([a-z][a-z-]*):", text("Makefile"), re.M)
    done = subprocess.run(["make", "-s", "--no-print-directory", "help"], cwd=ROOT, capture_output=True, text=True,
                          env=dict(os.environ, MAKEFLAGS=""))
    helped = re.findall(r"^  make (\S+)", done.stdout, re.M)
    listed = [m for row in table_rows("README.md") for m in re.findall(r"^\| `make ([a-z-]+)`", row)]
    problems = []
    for name, found in (("make help", helped), ("README.md's table of targets", listed)):
        problems += ["the target %s is in the Makefile but not in %s" % (t, name) for t in makefile if t not in found]
        problems += ["%s lists %s, which the Makefile lacks" % (name, t) for t in found if t not in makefile]
    return problems


def variables():
    read = {}
    for path in code_files():
        try:
            found = VARIABLE.findall(text(path))
        except UnicodeDecodeError:
            continue
        for name in found:
            read.setdefault(name, path)
    documented = {}
    for guide in GUIDES:
        for row in table_rows(guide):
            for name in VARIABLE.findall(row):
                documented.setdefault(name, guide)
    problems = ["%s is read in %s but in no guide's table" % (n, p) for n, p in sorted(read.items())
                if n not in documented and n not in MADE_BY_THE_BUILD]
    problems += ["%s's table names %s, which nothing reads" % (g, n) for n, g in sorted(documented.items())
                 if n not in read]
    return problems


def statuses():
    numbers = set(re.findall(r"=\s*(\d+)", text("launcher/status.h")))
    listed = {m for row in table_rows("docs/administrators.md") for m in re.findall(r"^\| (\d+) \|", row)}
    return ["the status %s of launcher/status.h is not in the exit-status table of docs/administrators.md" % n
            for n in sorted(numbers - listed, key=int)]


def anchors(path):
    """The anchors of a Markdown file's headings, as GitHub makes them."""
    return {re.sub(r"[^\w\- ]", "", h.strip().lower()).replace(" ", "-")
            for h in re.findall(r"^#+ (.*)$", text(path), re.M)}


def links():
    problems = []
    for guide in GUIDES:
        for target in re.findall(r"\]\(([^)\s]+)\)", text(guide)):
            if re.match(r"[a-z]+:", target):
                continue
            path, _, anchor = target.partition("#")
            whole = os.path.normpath(os.path.join(os.path.dirname(guide), path)) if path else guide
            if not os.path.exists(os.path.join(ROOT, whole)):
                problems.append("%s links to %s, which does not exist" % (guide, target))
            elif anchor and whole.endswith(".md") and anchor not in anchors(whole):
                problems.append("%s links to %s, whose heading is not there" % (guide, target))
    return problems


def layout():
    """Every path that HACKING.md's layout names is there."""
    section = text("HACKING.md").split("## Layout", 1)[1].split("\n## ", 1)[0]
    tracked = subprocess.run(["git", "ls-files", "--cached", "--others", "--exclude-standard"], cwd=ROOT,
                             capture_output=True, text=True).stdout.split()
    names = {os.path.basename(p) for p in tracked}
    problems = []
    for name in re.findall(r"`([\w./-]+)`", section):
        if "/" in name.rstrip("/"):
            if not os.path.exists(os.path.join(ROOT, name)):
                problems.append("HACKING.md's layout names %s, which does not exist" % name)
        elif re.search(r"\.(cpp|h|py|sh|txt|cmake|nsi|json)$", name) and name not in names:
            problems.append("HACKING.md's layout names %s, which is in no folder" % name)
    return problems


def sizes():
    limits = re.search(r"MAX_SIZE, MAX_SIZE_LANGUAGES = (\d+), (\d+)", text("tests/check_exe.py"))
    enforced = {int(limits.group(1)) // 1024, int(limits.group(2)) // 1024}
    return ["%s quotes a limit of %s KiB, where tests/check_exe.py enforces %s" % (
                guide, size, " and ".join("%d KiB" % k for k in sorted(enforced)))
            for guide in GUIDES for size in re.findall(r"at most\s+(\d+)\s+KiB", text(guide))
            if int(size) not in enforced]


def main():
    problems = targets() + variables() + statuses() + links() + layout() + sizes()
    for p in problems:
        print("FAIL " + p)
    print("%d problems in %s" % (len(problems), ", ".join(GUIDES)))
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
