#!/usr/bin/env python3
"""How long make medium takes for a large tool tree, beside the least that
any such step must take, in one run.

    bench_medium.py [MEGABYTES]     (1100 by default)

Lays out a tool tree of MEGABYTES in build/bench-medium/ (files of 10 MiB
and of 100 KiB), then times, each with the files in the page cache: the
floor (copying the tree, hashing it once, making the image of the copy,
reading the image once) and make medium, made new and then made again over
its own earlier medium, each after a sync. Prints the times and their
ratios to the floor.
"""
import os
import shutil
import statistics
import subprocess
import sys
import time

ROOT = os.path.abspath(os.path.join(os.path.dirname(__file__), ".."))
WORK = os.path.join(ROOT, "build", "bench-medium")
ROUNDS = 3  # each time the median of three: one run of a step varies by a third


def lay_tool(tool, megabytes):
    os.makedirs(os.path.join(tool, "bin"))
    shutil.copy(os.path.join(ROOT, "build", "win32", "fake_tool.exe"),
                os.path.join(tool, "bin", "vorald_installer_cmd.exe"))
    # Ten elevenths in files of 10 MiB, the rest in files of 100 KiB.
    large, small = megabytes * 10 // 11 // 10, megabytes // 11 * 10
    os.makedirs(os.path.join(tool, "data"))
    for i in range(large):
        with open(os.path.join(tool, "data", "part%03d.bin" % i), "wb") as f:
            f.write(os.urandom(10 << 20))
    for i in range(small):
        folder = os.path.join(tool, "files", "%02d" % (i % 50))
        os.makedirs(folder, exist_ok=True)
        with open(os.path.join(folder, "f%04d.dat" % i), "wb") as f:
            f.write(os.urandom(100 << 10))


def timed(argv, **kw):
    # Each from a clean page cache: no step pays for the writes of another.
    os.sync()
    started = time.monotonic()
    subprocess.run(argv, check=True, stdout=subprocess.DEVNULL, **kw)
    return time.monotonic() - started


def main():
    megabytes = int(sys.argv[1]) if len(sys.argv) > 1 else 1100
    setup = os.path.join(ROOT, "build", "win32", "setup.exe")
    if not os.path.isfile(setup):
        sys.exit("bench_medium: no %s: build it first (make)" % setup)
    subprocess.run(["rm", "-rf", WORK])
    tool = os.path.join(WORK, "tool")
    lay_tool(tool, megabytes)
    size = sum(os.path.getsize(os.path.join(d, f)) for d, _, fs in os.walk(tool) for f in fs)
    subprocess.run(["cat"] + [os.path.join(d, f) for d, _, fs in os.walk(tool) for f in fs],
                   stdout=subprocess.DEVNULL)

    copy, image = os.path.join(WORK, "copy"), os.path.join(WORK, "copy.iso")
    steps = []
    for name, argv, kw in (
            ("copy", ["cp", "-r", tool, copy], {}),
            ("hash", ["sh", "-c", "find . -type f -exec sha256sum {} + > /dev/null"], {"cwd": copy}),
            ("image", ["xorriso", "-as", "mkisofs", "-quiet", "-iso-level", "3", "-J", "-r", "-o", image, copy],
             {"stderr": subprocess.DEVNULL}),
            ("read", ["cat", image], {})):
        times = []
        for _ in range(ROUNDS):
            subprocess.run(["rm", "-rf"] + ([copy] if name == "copy" else [image] if name == "image" else []))
            times.append(timed(argv, **kw))
        steps.append((name, statistics.median(times)))
    floor = sum(t for _, t in steps)
    shutil.rmtree(copy)
    os.remove(image)

    medium = os.path.join(WORK, "medium")
    env = {k: v for k, v in os.environ.items() if not k.startswith("MEDIUM_")}
    env["MEDIUM_TOOL"] = tool
    make = [sys.executable, os.path.join(ROOT, "tools", "medium"), "make", medium, "--setup", setup]
    firsts = []
    for _ in range(ROUNDS):
        subprocess.run(["rm", "-rf", medium, medium + ".iso", medium + ".made"])
        firsts.append(timed(make, env=env))
    first = statistics.median(firsts)
    again = statistics.median(timed(make, env=env) for _ in range(ROUNDS))

    print("tool tree: %d MB in %d files" % (size // 10**6, sum(len(fs) for _, _, fs in os.walk(tool))))
    print("floor: %.1f s (%s)" % (floor, ", ".join("%s %.1f s" % step for step in steps)))
    print("make medium, new:           %.1f s, %.2f times the floor" % (first, first / floor))
    print("make medium, over its own:  %.1f s, %.2f times the floor" % (again, again / floor))
    subprocess.run(["rm", "-rf", WORK])


if __name__ == "__main__":
    main()
