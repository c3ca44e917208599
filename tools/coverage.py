#!/usr/bin/env python3
"""Which lines of setup.exe the tests run: the unit tests, counted on this
machine, and every end-to-end table, run under Wine by builds of setup.exe
that count their lines (COVERAGE=ON, which also plays a user without
administrator rights where a case asks). Prints, for each file of launcher/
and entry/, the lines and functions run, then the lines that no test ran;
build/coverage/index.html shows them in the source. The builds that ship are
not touched: these are made in build/coverage/.

    coverage.py
"""
import json
import os
import subprocess
import sys

ROOT = os.path.abspath(os.path.join(os.path.dirname(__file__), ".."))
OUT = os.path.join(ROOT, "build", "coverage")
TOOLCHAIN = os.path.join(ROOT, "cmake", "i686-w64-mingw32.cmake")
# Each stands in for the end-to-end builds that tests/e2e/e2e.py names.
COUNTING = {"win32": {}, "tool-status": {"SETUP_EXIT_STATUS": "tool"}, "utf16": {"SETUP_COMMAND_LINE": "utf16"}}
FILTERS = ["--filter", os.path.join(ROOT, "launcher") + "/", "--filter", os.path.join(ROOT, "entry") + "/"]


def run(argv, **kw):
    done = subprocess.run(argv, capture_output=True, text=True, **kw)
    if done.returncode:
        sys.exit("coverage: %s failed:\n%s%s" % (" ".join(argv[:3]), done.stdout[-3000:], done.stderr[-3000:]))
    return done


def build(folder, options, target):
    directory = os.path.join(OUT, folder)
    run(["cmake", "-S", ROOT, "-B", directory] + ["-D%s=%s" % kv for kv in options.items()])
    run(["cmake", "--build", directory, "--target", target, "--parallel", str(os.cpu_count())])
    for top, _, files in os.walk(directory):
        for name in files:
            if name.endswith(".gcda"):
                os.remove(os.path.join(top, name))
    return directory


def counts(directory, gcov, name):
    tracefile = os.path.join(OUT, name + ".json")
    run(["gcovr", "-r", ROOT, "--gcov-executable", gcov, "--json", tracefile] + FILTERS + [directory])
    return tracefile


def ranges(numbers):
    """1 2 3 7 as "1-3, 7"."""
    spans = []
    for n in numbers:
        if spans and spans[-1][1] == n - 1:
            spans[-1][1] = n
        else:
            spans.append([n, n])
    return ", ".join("%d" % a if a == b else "%d-%d" % (a, b) for a, b in spans)


def summary(tracefile):
    """By file: the lines and the functions, each as {number or name: count}."""
    with open(tracefile) as f:
        files = json.load(f)["files"]
    return {f["file"]: ({l["line_number"]: l["count"] for l in f["lines"] if not l.get("gcovr/noncode")},
                        {fn["name"]: fn["execution_count"] for fn in f.get("functions", [])}) for f in files}


def share(counts):
    done = sum(1 for n in counts.values() if n > 0)
    return "%4d/%-4d %3.0f%%" % (done, len(counts), 100.0 * done / max(len(counts), 1))


def table(every, wine):
    """Each file's lines and functions run by any test and under Wine; the
    lines that no test ran, and those that only the unit tests ran."""
    print("%-29s %-32s %s" % ("", "lines: any test, under Wine", "functions: any test, under Wine"))
    totals = [{}, {}, {}, {}]
    for name in sorted(every):
        lines, functions = every[name]
        wine_lines, wine_functions = wine.get(name, ({}, {}))
        wine_lines = {n: wine_lines.get(n, 0) for n in lines}
        wine_functions = {f: wine_functions.get(f, 0) for f in functions}
        for total, counts in zip(totals, (lines, wine_lines, functions, wine_functions)):
            total.update({(name, k): v for k, v in counts.items()})
        print("%-29s %s %s   %s %s" % (name, share(lines), share(wine_lines), share(functions),
                                        share(wine_functions)))
    print("%-29s %s %s   %s %s" % (("all",) + tuple(share(t) for t in totals)))
    for title, wanted in (("Lines that no test ran", lambda n, w: n == 0),
                          ("Lines that the unit tests alone ran, not Wine", lambda n, w: n > 0 and w == 0)):
        print("\n%s:" % title)
        for name in sorted(every):
            lines = every[name][0]
            wine_lines = wine.get(name, ({}, {}))[0]
            missed = sorted(n for n, count in lines.items() if wanted(count, wine_lines.get(n, 0)))
            if missed:
                print("  %s: %s" % (name, ranges(missed)))


def main():
    os.makedirs(OUT, exist_ok=True)
    print("Building setup.exe to count its lines, and the unit tests (build/coverage/)")
    directories = {name: build(name, dict(options, CMAKE_TOOLCHAIN_FILE=TOOLCHAIN, CMAKE_BUILD_TYPE="Debug",
                                          COVERAGE="ON"), "setup")
                   for name, options in COUNTING.items()}
    host = build("host", {"CMAKE_BUILD_TYPE": "Debug", "CMAKE_CXX_FLAGS": "--coverage"}, "unit_tests")
    print("Running the unit tests")
    units = subprocess.run([os.path.join(host, "tests", "unit_tests"), "--gtest_brief=1"])
    print("Running the end-to-end tables under Wine")
    # gcov writes beside the objects, by their Unix path: Wine's Z: drive.
    env = dict(os.environ, E2E_COVERAGE=OUT, GCOV_PREFIX="Z:")
    env.pop("E2E_ALL_BUILDS", None)
    e2e = subprocess.run([sys.executable, os.path.join(ROOT, "tests", "e2e", "e2e.py")], env=env)
    unit = counts(host, "gcov", "host")
    windows = [counts(directory, "i686-w64-mingw32-gcov", name) for name, directory in directories.items()]
    merged = {}
    for name, tracefiles in (("wine", windows), ("all", [unit] + windows)):
        merged[name] = os.path.join(OUT, name + ".json")
        run(["gcovr", "-r", ROOT, "--json", merged[name]] + [a for t in tracefiles for a in ("--add-tracefile", t)])
    run(["gcovr", "-r", ROOT, "--html-details", os.path.join(OUT, "index.html"), "--add-tracefile", merged["all"]])
    print()
    table(summary(merged["all"]), summary(merged["wine"]))
    print("\nbuild/coverage/index.html shows each file's lines.")
    if units.returncode or e2e.returncode:
        print("Some tests failed (above): their lines may count as not run.")
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
