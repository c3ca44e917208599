"""What the release tests share: their constants, the row that each check
adds (expect), running a command, laying out files, watching a stopped
run, and the medium that the medium tests start from.
"""
import os
import shutil
import signal
import subprocess
import sys
import time
from types import SimpleNamespace

ROOT = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", ".."))
TOOL = "vorald_installer/bin/vorald_installer_cmd.exe"
BUILD = os.path.join(ROOT, "build")
SETUP = os.path.join(BUILD, "win32", "setup.exe")
CHECK = [sys.executable, os.path.join(ROOT, "tests", "check_exe.py")]
LISTS = os.path.join(ROOT, "tests", "win2000")
STOPPING = (signal.SIGINT, signal.SIGTERM, signal.SIGHUP)
failures = []


# What each table leaves for those that come after it.
LEFT = {"branding": [os.path.join(BUILD, b, "setup.exe") for b in ("branded", "utf16", "elevation")],
        "signing": [os.path.join(BUILD, "signed", n) for n in ("setup.exe", "setup.exe.signed")]}


def has_what_it_needs(table, earlier):
    """Whether the tables earlier have left what table needs; where not, a
    failing row says which to run first."""
    missing = [(e, p) for e in earlier for p in LEFT[e] if not os.path.exists(p)]
    if missing:
        expect("the %s table finds what the %s table%s leave%s" % (table, " and ".join(earlier),
                                                                 "s" if len(earlier) > 1 else "",
                                                                 "" if len(earlier) > 1 else "s"),
               False, "no %s: run release_test.py %s first" % (missing[0][1], missing[0][0]))
    return not missing


def expect(what, ok, detail=""):
    print("%s %s%s" % ("ok  " if ok else "FAIL", what, "" if ok else ": " + detail))
    if not ok:
        failures.append(what)


def run(argv, **kw):
    return subprocess.run(argv, capture_output=True, text=True, errors="replace", **kw)


def wait_for(done, seconds):
    for _ in range(seconds * 10):
        if done():
            return True
        time.sleep(0.1)
    return False


def stopped_process(pid):
    with open("/proc/%d/stat" % pid) as f:
        return f.read().rsplit(")", 1)[1].split()[0] == "T"


def gone(pid):
    """Whether process pid has ended (a zombie has)."""
    try:
        with open("/proc/%d/stat" % pid) as f:
            return f.read().rsplit(")", 1)[1].split()[0] == "Z"
    except OSError:
        return True


def rewrite(path, old=None, new=None):
    """Changes path as a hand edit would: the same size, other bytes (old
    replaced by new, or the last byte)."""
    with open(path, "rb") as f:
        data = f.read()
    data = data.replace(old.encode(), new.encode()) if old else data[:-1] + bytes([data[-1] ^ 1])
    os.chmod(path, 0o644)
    with open(path, "wb") as f:
        f.write(data)


def medium_holding(medium, setup, copy):
    """A copy of the medium folder with setup in place of its setup.exe, and
    SHA256SUMS to match: what make medium would refuse to make."""
    shutil.copytree(medium, copy)
    os.chmod(os.path.join(copy, "setup.exe"), 0o644)
    shutil.copy(setup, os.path.join(copy, "setup.exe"))
    run(["sh", "-c", "grep -v ' setup.exe$' SHA256SUMS > s; sha256sum setup.exe >> s; mv s SHA256SUMS"], cwd=copy)
    return copy


def lay_script(path, body):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "w") as f:
        f.write("#!/bin/sh\n" + body)
    os.chmod(path, 0o755)


def lay_files(folder, names):
    """Copies of the substitute tool at each of names under folder, a new one;
    "name -> target" makes a link instead, "name/" an empty folder."""
    shutil.rmtree(folder, ignore_errors=True)
    os.makedirs(folder)
    for name in names:
        name, _, target = name.partition(" -> ")
        path = os.path.join(folder, name)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        if name.endswith("/"):
            os.makedirs(path, exist_ok=True)
        elif target:
            os.symlink(target, path)
        else:
            shutil.copy(os.path.join(BUILD, "win32", "fake_tool.exe"), path)


def snapshot(folder):
    """Names, sizes, times and inodes of folder, FOLDER.iso and FOLDER.made."""
    tops = [p for p in (folder, folder + ".iso", folder + ".made") if os.path.lexists(p)]
    return tops and run(["find"] + tops + ["-printf", "%p %s %T@ %i\n"]).stdout


def args_of(folder):
    with open(os.path.join(folder, ".setup_args"), "rb") as f:
        return f.read()


def stopped_at(argv, env, at):
    """A run of argv stopped (SIGSTOP) at the step at, once it is there."""
    process = subprocess.Popen(argv, env=dict(env, KIT_TEST_SIGNAL="STOP:" + at), stdout=subprocess.PIPE,
                               stderr=subprocess.PIPE, text=True)
    wait_for(lambda: stopped_process(process.pid), 60)
    return process


def finished(process):
    """Lets a stopped run go on; its status and standard error (its standard
    output kept as process.output)."""
    os.kill(process.pid, signal.SIGCONT)
    process.output, error = process.communicate(timeout=120)
    return process.returncode, error


def one_line(done):
    """A refusal of one sentence: no traceback."""
    return done.returncode != 0 and "Traceback" not in done.stderr and len(done.stderr.strip().splitlines()) == 1


def medium_setup():
    """A fresh work folder with a tool tree, extra files and the settings of
    a good medium, which the medium tests share."""
    work = os.path.join(BUILD, "medium-test")
    shutil.rmtree(work, ignore_errors=True)
    tool, extra = os.path.join(work, "tool"), os.path.join(work, "extra")
    # Joliet's longest path: 240 bytes with the leading slash.
    deep = "/".join(["d" * 10] * 10) + "/" + "f" * 9
    lay_files(tool, ["bin/vorald_installer_cmd.exe"])
    lay_files(os.path.join(work, "cased"), ["Bin/vorald_installer_cmd.exe"])
    lay_files(extra, ["docs/Łódź 表.txt", deep, "docs/link.txt -> Łódź 表.txt"])
    bare = {k: v for k, v in os.environ.items() if not k.startswith("MEDIUM_")}
    good = dict(bare, MEDIUM_TOOL=tool, MEDIUM_ARGS='--from-medium "a b"', MEDIUM_EXTRA=extra,
                MEDIUM_LABEL="Example Suite")
    return SimpleNamespace(work=work, out=os.path.join(work, "medium"), tool=tool, extra=extra, deep=deep, bare=bare,
                           good=good, again=dict(good, MEDIUM_ARGS="--again"),
                           script=[sys.executable, os.path.join(ROOT, "tools", "medium")])


def replaced(m):
    """The medium that the replacement tests make again and again: its
    folder, the command that makes it, and fresh(env), which makes it anew."""
    folder = os.path.join(m.work, "replaced")
    make = m.script + ["make", folder]

    def fresh(env=m.good):
        run(["rm", "-rf", folder, folder + ".iso", folder + ".made", os.path.join(m.work, ".replaced.work")])
        return run(make, env=env)

    return folder, make, fresh
