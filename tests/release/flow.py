"""The worked flow of docs/medium-authors.md, run as it stands: its lines
taken from the guide, in a copy of this tree, with a throw-away certificate,
the signing tests' time-stamp authority and the substitute tool.
"""
import os
import re
import shutil
import subprocess

from common import BUILD, ROOT, expect, run
from branding import write_icon
from signing import Authority

GUIDE = os.path.join(ROOT, "docs", "medium-authors.md")


def flow_lines():
    """The shell lines of the guide's worked flow."""
    with open(GUIDE, encoding="utf-8") as f:
        text = f.read()
    return re.search(r"<!-- flow:.*?-->\n```sh\n(.*?)```", text, re.S).group(1)


def flow():
    work = os.path.join(BUILD, "flow")
    shutil.rmtree(work, ignore_errors=True)
    tree, home = os.path.join(work, "tree"), os.path.join(work, "home")
    tracked = subprocess.run(["git", "ls-files", "--cached", "--others", "--exclude-standard"], cwd=ROOT,
                             capture_output=True, text=True).stdout.split("\n")
    for name in filter(None, tracked):
        if os.path.isfile(os.path.join(ROOT, name)):
            os.makedirs(os.path.dirname(os.path.join(tree, name)), exist_ok=True)
            shutil.copy2(os.path.join(ROOT, name), os.path.join(tree, name))
    # What the guide's author has: an icon, a key, and their tool in $HOME.
    write_icon(os.path.join(tree, "suite.ico"))
    run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2", "-subj", "/CN=Example Media Ltd.",
         "-addext", "extendedKeyUsage=codeSigning", "-keyout", os.path.join(tree, "key.pem"),
         "-out", os.path.join(tree, "cert.pem")])
    tool = os.path.join(home, "vorald_installer", "bin")
    os.makedirs(tool)
    shutil.copy(os.path.join(BUILD, "win32", "fake_tool.exe"), os.path.join(tool, "vorald_installer_cmd.exe"))
    authority = Authority(work)
    script = flow_lines().replace("http://timestamp.example.com", authority.url)
    cache = os.environ.get("XDG_CACHE_HOME") or os.path.join(os.path.expanduser("~"), ".cache")
    env = {k: v for k, v in os.environ.items() if not k.startswith(("SETUP_", "SIGN_", "MEDIUM_", "MAKE"))}
    env.update(HOME=home, XDG_CACHE_HOME=cache)
    done = run(["sh", "-ec", script], cwd=tree, env=env)
    authority.stop()
    out = done.stdout
    expect("the guide's worked flow runs as it stands: built, signed and stamped, made, checked, and tried under "
           "Wine", done.returncode == 0 and "signed by /CN=Example Media Ltd. (SHA256, stamped " in out and
           "ok   setup.exe: signed by /CN=Example Media Ltd." in out and
           "--source=" in out and "setup.exe ended with status 0" in out,
           out[-1500:] + done.stderr[-1500:])
