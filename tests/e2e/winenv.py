"""A Wine session of the end-to-end tests: its own Xvfb on a free display, its
own WINEPREFIX under build/, and Wine's desktop brought up before any case;
all stopped again at the end.

The prefix is made once per Wine version and kept in a cache outside the work
tree (drop it with `make clean-cache`); each run starts from a fresh copy.

    winenv.py make-prefix DIR   makes a prefix in DIR (where Wine runs)
"""
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import time

ROOT = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", ".."))
BUILD = os.path.join(ROOT, "build")
PREFIX = os.path.join(BUILD, "wine", "prefix")
WIN32 = os.environ.get("WIN32_BUILD_DIR", os.path.join(BUILD, "win32"))
RUNNER = os.path.join(WIN32, "e2e_runner.exe")
WINE_RUN = [os.path.join(ROOT, "tools", "wine-run")]
STAGES = os.path.join(BUILD, "stage-times")
# Raise when the way a prefix is made changes, so that old caches are not used.
PREFIX_RECIPE = 4
# A program that crashes just ends: no debugger, no crash dialog. Without a
# window manager on Xvfb, Wine waits two seconds for one at each window that
# it hides, unless its windows are unmanaged. Drive N:, where the end-to-end
# tests link it, is a network drive.
PREFIX_SETTINGS = b"""REGEDIT4

[HKEY_LOCAL_MACHINE\\Software\\Microsoft\\Windows NT\\CurrentVersion\\AeDebug]
"Debugger"=""
"Auto"="1"

[HKEY_LOCAL_MACHINE\\Software\\Wine\\Drives]
"n:"="network"

[HKEY_CURRENT_USER\\Software\\Wine\\X11 Driver]
"Managed"="N"
"""


def windows_path(path, codepage="cp1252"):
    """Bytes of the Windows path under which Wine shows a Unix path: drive C:
    inside the prefix's drive_c, else drive Z:."""
    path = os.path.abspath(path)
    drive_c = os.path.join(PREFIX, "drive_c")
    if path == drive_c or path.startswith(drive_c + "/"):
        return ("C:" + (path[len(drive_c):] or "/").replace("/", "\\")).encode(codepage)
    return ("Z:" + path.replace("/", "\\")).encode(codepage)


def cache_dir():
    home = os.environ.get("XDG_CACHE_HOME") or os.path.join(os.path.expanduser("~"), ".cache")
    return os.path.join(home, "setup-launcher")


def cached_prefix():
    """The cache's prefix for the installed Wine, read from dpkg: the host
    may be unable to run Wine itself."""
    version = subprocess.run(["dpkg-query", "-W", "-f=${Version}", "wine32:i386"],
                             capture_output=True, text=True).stdout.strip() or "unknown"
    return os.path.join(cache_dir(), "wine-%s-r%d" % (version.replace("/", "_"), PREFIX_RECIPE))


def fresh_prefix(wine_run):
    """Copies the cached prefix to PREFIX, making it first when the cache has
    none for this Wine. Returns whether it had to be made."""
    cached = cached_prefix()
    made = False
    if not os.path.exists(os.path.join(cached, "system.reg")):
        os.makedirs(os.path.dirname(cached), exist_ok=True)
        work = tempfile.mkdtemp(prefix=os.path.basename(cached) + ".", dir=os.path.dirname(cached))
        subprocess.run(wine_run + [sys.executable, os.path.abspath(__file__), "make-prefix", work],
                       check=True, timeout=3000)
        try:
            os.rename(work, cached)
        except OSError:  # another clone made it meanwhile
            shutil.rmtree(work, ignore_errors=True)
        made = True
    shutil.rmtree(PREFIX, ignore_errors=True)
    os.makedirs(os.path.dirname(PREFIX), exist_ok=True)
    subprocess.run(["cp", "-a", "--reflink=auto", cached, PREFIX], check=True)
    return made


def record_stage(name, seconds):
    """Adds a line to the stage times that make test prints at its end."""
    with open(STAGES, "a") as f:
        f.write("%s\t%.0f\n" % (name, seconds))


def run_where_wine_runs(script, args, timeout=3000):
    """From this machine: a fresh prefix, then `SCRIPT --in-wine ARGS` where
    32-bit Wine can run (here, or in the virtual machine, which gets TIMEOUT
    seconds unless WINVM_TIMEOUT says otherwise). Returns its status."""
    started = time.time()
    made = fresh_prefix(WINE_RUN)
    record_stage("wine prefix, %s" % ("made and cached" if made else "copied from the cache"),
                 time.time() - started)
    env = dict(os.environ)
    env.setdefault("WINVM_TIMEOUT", str(timeout))
    return subprocess.run(WINE_RUN + [sys.executable, os.path.abspath(script), "--in-wine"] + args,
                          env=env).returncode


class Wine:
    def __init__(self, lang="C.UTF-8", prefix=PREFIX, persistent=True):
        self.env = dict(os.environ)
        self.env.update({
            "WINEPREFIX": prefix,
            "WINEDEBUG": "-all",
            "WINEDLLOVERRIDES": "mscoree,mshtml=",  # no Mono or Gecko prompts
            "LANG": lang,
            "LC_ALL": lang,
        })
        self.xvfb = None
        self.desktop = None
        self.persistent = persistent

    def __enter__(self):
        read_end, write_end = os.pipe()
        self.xvfb = subprocess.Popen(
            ["Xvfb", "-displayfd", str(write_end), "-nolisten", "tcp", "-screen", "0", "800x600x24"],
            pass_fds=[write_end], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        os.close(write_end)
        with os.fdopen(read_end) as pipe:
            display = pipe.readline().strip()
        if not display:
            raise RuntimeError("Xvfb did not start")
        self.env["DISPLAY"] = ":" + display
        if self.persistent:
            self.run(["wineserver", "-p"])
        return self

    def bring_up_desktop(self):
        """Starts Wine's desktop and waits until windows can be made on it,
        however long that takes; raises when they cannot."""
        ready = os.path.join(os.path.dirname(self.env["WINEPREFIX"]), "desktop-ready")
        if os.path.exists(ready):
            os.remove(ready)
        self.desktop = self.popen(["wine", RUNNER, "--desktop", windows_path(ready).decode()])
        while not os.path.exists(ready) or not os.path.getsize(ready):
            if self.desktop.poll() is not None:
                raise RuntimeError("the desktop keeper ended with status %d" % self.desktop.returncode)
            time.sleep(0.1)
        with open(ready) as f:
            answer = f.read()
        if answer != "ok":
            raise RuntimeError("Wine's desktop did not come up: " + answer)

    def __exit__(self, *exc):
        self.run(["wineserver", "-k"])
        for process in (self.desktop, self.xvfb):
            if process and process.poll() is None:
                process.send_signal(signal.SIGTERM)
                process.wait()

    def run(self, argv, timeout=600, env=None, **kw):
        # Output goes to a file: Wine's own background processes inherit it
        # and would hold a pipe open.
        with tempfile.TemporaryFile() as out:
            done = subprocess.run(argv, env=env or self.env, timeout=timeout, stdout=out,
                                  stderr=subprocess.STDOUT, stdin=subprocess.DEVNULL, **kw)
            out.seek(0)
            done.stdout = out.read()
        return done

    def popen(self, argv):
        return subprocess.Popen(argv, env=self.env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)


def make_prefix(directory):
    with Wine(prefix=directory, persistent=False) as wine:
        wine.run(["wineboot", "-i"], timeout=2400)
        wine.run(["wineserver", "-w"], timeout=600)
        settings = os.path.join(directory, "settings.reg")
        with open(settings, "wb") as f:
            f.write(PREFIX_SETTINGS)
        done = wine.run(["wine", "reg", "import", windows_path(settings).decode()], timeout=600)
        wine.run(["wineserver", "-w"], timeout=600)
        os.remove(settings)
        if done.returncode != 0 or not os.path.exists(os.path.join(directory, "system.reg")):
            raise RuntimeError("making a Wine prefix failed: %s" % done.stdout.decode(errors="replace"))


if __name__ == "__main__" and sys.argv[1:2] == ["make-prefix"]:
    make_prefix(sys.argv[2])
