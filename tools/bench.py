#!/usr/bin/env python3
"""Under Wine with its server kept warm: setup.exe starting a substitute tool
that ends at once, against a minimal spawner starting the same command line,
run alternately; then setup.exe's processor time while the tool sleeps.

    bench.py [OTHER_SETUP_EXE]   also runs another build of setup.exe in turn
"""
import os
import shutil
import statistics
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "tests", "e2e"))
from winenv import BUILD, WIN32, Wine, run_where_wine_runs, windows_path  # noqa: E402

BENCH = os.path.join(BUILD, "bench")
PAIRS = 20
TOOL = b"vorald_installer\\bin\\vorald_installer_cmd.exe"


def case_file(index, app, line, sleep_ms):
    result = os.path.join(BENCH, "result.%d" % index)
    path = os.path.join(BENCH, "case.%d" % index)
    with open(path, "wb") as f:
        f.write(b"\n".join([b"app=" + app, b"cmdline=" + line, b"cwd=" + windows_path(BENCH),
                            b"env=FAKE_TOOL_SLEEP_MS=%d" % sleep_ms, b"result=" + windows_path(result)]) + b"\n")
    return path, result


def processor_time(wine, medium, sleep_ms):
    """User and system time of setup.exe's own Unix process. Wine's
    GetProcessTimes reports the caller's times for any other process."""
    wine.env["FAKE_TOOL_SLEEP_MS"] = str(sleep_ms)
    process = wine.popen(["wine", os.path.join(medium, "setup.exe")])
    ticks = 0
    while process.poll() is None:
        try:
            with open("/proc/%d/stat" % process.pid) as f:
                fields = f.read().rsplit(")", 1)[1].split()
            ticks = int(fields[11]) + int(fields[12])
        except (OSError, IndexError):
            pass
        time.sleep(0.01)
    return ticks / os.sysconf("SC_CLK_TCK")


def field(result, name):
    with open(result, "rb") as f:
        for item in f.read().split(b"\0"):
            key, _, value = item.partition(b"=")
            if key.decode() == name:
                return int(value)
    raise RuntimeError("%s: no %s" % (result, name))


def main():
    args = [a for a in sys.argv[1:] if a != "--in-wine"]
    if "--in-wine" not in sys.argv:
        return run_where_wine_runs(__file__, [os.path.abspath(a) for a in args])
    shutil.rmtree(BENCH, ignore_errors=True)
    medium = os.path.join(BENCH, "medium")
    os.makedirs(os.path.join(medium, "vorald_installer", "bin"))
    for exe in ("setup.exe", "spawner.exe"):
        shutil.copy(os.path.join(WIN32, exe), medium)
    other = args[0] if args else None
    if other:
        shutil.copy(other, os.path.join(medium, "other.exe"))
    shutil.copy(os.path.join(WIN32, "fake_tool.exe"), os.path.join(medium, "vorald_installer", "bin",
                                                                    "vorald_installer_cmd.exe"))
    base = windows_path(medium) + b"\\"
    setup, spawner = base + b"setup.exe", base + b"spawner.exe"
    command = base + TOOL + b" --source=" + base + b" --dvd"

    kinds = [("setup", setup, b'"' + setup + b'"'),
             ("spawner", spawner, b'"' + spawner + b'" ' + command)]
    if other:
        kinds.append(("other", base + b"other.exe", b'"' + base + b'other.exe"'))
    runs = []  # (kind, result file)
    cases = []
    for pair in range(PAIRS + 1):
        for kind, app, line in kinds:
            path, result = case_file(len(cases), app, line, 0)
            cases.append(path)
            if pair:  # the first pair warms up
                runs.append((kind, result))
    with Wine() as wine:
        wine.run(["wine", os.path.join(WIN32, "e2e_runner.exe")] + cases, timeout=1800)
        cpu = [(sleep_ms, processor_time(wine, medium, sleep_ms)) for sleep_ms in (0, 5000, 0, 5000)]

    times = {kind: [] for kind, _, _ in kinds}
    for kind, result in runs:
        times[kind].append(field(result, "elapsed_us") / 1e6)
    a, b = statistics.median(times["setup"]), statistics.median(times["spawner"])
    print("wall time, median of %d alternating pairs after a warm-up pair:" % PAIRS)
    print("  setup.exe  %.4f s" % a)
    print("  spawner    %.4f s" % b)
    print("  ratio      %.3f (goal: 1.02 or less)" % (a / b))
    if other:
        print("  %s  %.4f s" % (other, statistics.median(times["other"])))
    print("setup.exe's processor time, from its Unix process, last sampled while it ran:")
    for sleep_ms, seconds in cpu:
        print("  tool sleeping %4d ms: %.0f ms" % (sleep_ms, seconds * 1000))
    return 0


if __name__ == "__main__":
    sys.exit(main())
