"""A Wine session of the end-to-end tests: its own Xvfb on a free display and
its own WINEPREFIX under build/, both stopped again at the end."""
import os
import signal
import subprocess
import tempfile

ROOT = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", ".."))
BUILD = os.path.join(ROOT, "build")
PREFIX = os.path.join(BUILD, "wine", "prefix")


def windows_path(path, codepage="cp1252"):
    """Bytes of the Windows path under which Wine shows a Unix path (drive Z:)."""
    return ("Z:" + os.path.abspath(path).replace("/", "\\")).encode(codepage)


class Wine:
    def __init__(self, lang="C.UTF-8"):
        self.env = dict(os.environ)
        self.env.update({
            "WINEPREFIX": PREFIX,
            "WINEDEBUG": "-all",
            "WINEDLLOVERRIDES": "mscoree,mshtml=",  # no Mono or Gecko prompts
            "LANG": lang,
            "LC_ALL": lang,
        })
        self.xvfb = None

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
        if not os.path.exists(os.path.join(PREFIX, "system.reg")):
            os.makedirs(os.path.dirname(PREFIX), exist_ok=True)
            self.run(["wineboot", "-i"], timeout=1200)
            self.run(["wineserver", "-w"], timeout=600)
            # A crashing program must not wait on a crash dialog.
            self.run(["wine", "reg", "add", "HKCU\\Software\\Wine\\WineDbg", "/v", "ShowCrashDialog",
                      "/t", "REG_DWORD", "/d", "0", "/f"], timeout=600)
        self.run(["wineserver", "-p"])
        return self

    def __exit__(self, *exc):
        self.run(["wineserver", "-k"])
        if self.xvfb:
            self.xvfb.send_signal(signal.SIGTERM)
            self.xvfb.wait()

    def run(self, argv, timeout=600, **kw):
        # Output goes to a file: Wine's own background processes inherit it
        # and would hold a pipe open.
        with tempfile.TemporaryFile() as out:
            done = subprocess.run(argv, env=self.env, timeout=timeout, stdout=out,
                                  stderr=subprocess.STDOUT, stdin=subprocess.DEVNULL, **kw)
            out.seek(0)
            done.stdout = out.read()
        return done

    def popen(self, argv):
        return subprocess.Popen(argv, env=self.env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
