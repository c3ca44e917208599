#!/usr/bin/env python3
"""The installation medium around setup.exe, and a check of an image of one.

    medium.py make [FOLDER]   FOLDER (build/medium) and FOLDER.iso from
                              MEDIUM_TOOL (required), MEDIUM_ARGS, MEDIUM_EXTRA
                              and MEDIUM_LABEL
    medium.py check [IMAGE] [--extract DIR]
                              reads IMAGE's Joliet tree, what Windows shows, and
                              checks it against its SHA256SUMS; keeps the tree
                              in DIR, a new folder, when asked
"""
import hashlib
import os
import shutil
import subprocess
import sys
import tempfile

ROOT = os.path.abspath(os.path.join(os.path.dirname(__file__), ".."))
BUILD = os.path.join(ROOT, "build")
IMAGE = os.path.join(BUILD, "medium.iso")
TOOL = "vorald_installer/bin/vorald_installer_cmd.exe"
SUMS = "SHA256SUMS"
# Joliet holds names of 64 UCS-2 characters and paths of 240 bytes; xorriso
# cuts a longer name, and leaves out a file on a longer path, with at most a
# warning. Windows shows the Joliet tree and takes no name that differs from
# another only in case, or that ends in a dot or a blank.
NAME_MAX, PATH_MAX, LABEL_MAX = 64, 120, 16
FORBIDDEN = set('*/:;?\\"<>|') | {chr(c) for c in range(32)}
XORRISO_ENV = dict(os.environ, LC_ALL="C.UTF-8")


def fail(message):
    sys.exit("medium: " + message)


def unholdable(name):
    """Why Joliet or Windows cannot hold name whole, else None."""
    if any(0xD800 <= ord(c) <= 0xDFFF for c in name):
        return "is not UTF-8"
    if any(ord(c) > 0xFFFF for c in name):
        return "has a character beyond Joliet's UCS-2"
    if FORBIDDEN & set(name):
        return "has a character that Joliet or Windows forbids (* / : ; ? \\ \" < > | or a control character)"
    if len(name) > NAME_MAX:
        return "is longer than Joliet's %d characters" % NAME_MAX
    if name.endswith((".", " ")):
        return "ends in a dot or a blank, which Windows drops"
    return None


def plan():
    """Every file of the medium, as (path on the medium, source file or bytes)."""
    tool = os.environ.get("MEDIUM_TOOL")
    if not tool:
        fail("MEDIUM_TOOL is not set: it names the folder that becomes vorald_installer, "
             "with bin/vorald_installer_cmd.exe in it")
    if not os.path.isfile(os.path.join(tool, "bin", "vorald_installer_cmd.exe")):
        found = [os.path.join(d, f) for d, _, fs in os.walk(tool) for f in fs
                 if f.lower() == "vorald_installer_cmd.exe"]
        fail("no %s: setup.exe looks for vorald_installer\\bin\\vorald_installer_cmd.exe, spelled so%s"
             % (os.path.join(tool, "bin", "vorald_installer_cmd.exe"),
                "; found " + ", ".join(found) if found else ""))
    setup = os.path.join(BUILD, "win32", "setup.exe")
    if not os.path.isfile(setup):
        fail("no %s: build it first (make)" % setup)
    with open(os.path.join(BUILD, "win32", "check_exe.args")) as f:
        has_icon = "--icon" in f.read().split()
    label = os.environ.get("MEDIUM_LABEL", "Setup")
    why = unholdable(label) if label else "is empty"
    if why or len(label) > LABEL_MAX:
        fail("MEDIUM_LABEL is %r: it %s" % (label, why or "is longer than Joliet's %d characters" % LABEL_MAX))
    autorun = "[autorun]\r\nopen=setup.exe\r\n" + ("icon=setup.exe,0\r\n" if has_icon else "")
    # autorun.inf is ANSI text: a label it cannot hold is left to the volume's.
    if label.isascii():
        autorun += "label=%s\r\n" % label
    files = [("setup.exe", setup), ("autorun.inf", autorun.encode("ascii"))]
    if "MEDIUM_ARGS" in os.environ:
        files.append((".setup_args", os.environb[b"MEDIUM_ARGS"]))
    trees = [("vorald_installer/", tool)]
    if os.environ.get("MEDIUM_EXTRA"):
        trees.append(("", os.environ["MEDIUM_EXTRA"]))
    for prefix, top in trees:
        if not os.path.isdir(top):
            fail("%s is not a folder" % top)
        for folder, dirs, names in os.walk(top, followlinks=True):
            dirs.sort()
            for name in sorted(names):
                source = os.path.join(folder, name)
                if not os.path.isfile(source):
                    fail("%s is neither a file nor a folder" % source)
                files.append((prefix + os.path.relpath(source, top).replace(os.sep, "/"), source))
    return files, label


def refuse_what_windows_would_not_see(files):
    seen = {}
    for path, source in files + [(SUMS, "the list of sums")]:
        parts = path.split("/")
        for depth, name in enumerate(parts):
            here = "/".join(parts[:depth + 1])
            mine = (here, source if depth == len(parts) - 1 else "the folder " + here)
            why = unholdable(name)
            if why:
                fail("%s (%s on the medium): the name %s" % (mine[1], here, why))
            if len(here) + 1 > PATH_MAX:
                fail("%s (%s on the medium): the path is longer than Joliet's %d characters"
                     % (mine[1], here, PATH_MAX))
            other = seen.setdefault(here.upper(), mine)
            if other != mine:
                fail("%s and %s would both be %s on the medium: Windows would see only one of them"
                     % (other[1], mine[1], here))


def make(medium):
    image = medium + ".iso"
    if os.path.exists(medium) and not os.path.exists(os.path.join(medium, SUMS)):
        fail("%s exists and is no medium made before: choose a new folder" % medium)
    # An image left from before must not pass for this one.
    remove(medium)
    if os.path.exists(image):
        os.remove(image)
    files, label = plan()
    refuse_what_windows_would_not_see(files)
    sums = []
    for path, source in files:
        target = os.path.join(medium, *path.split("/"))
        os.makedirs(os.path.dirname(target), exist_ok=True)
        if isinstance(source, bytes):
            with open(target, "wb") as f:
                f.write(source)
        else:
            shutil.copyfile(source, target)
        sums.append("%s  %s\n" % (digest(target), path))
    with open(os.path.join(medium, SUMS), "w", encoding="utf-8") as f:
        f.writelines(sorted(sums, key=lambda line: line[66:]))
    print("medium: %s: %d files and %s" % (medium, len(files), SUMS))
    # Level 3 for files of 4 GiB or more; Joliet for Windows; Rock Ridge with
    # plain owners and modes for everyone else.
    done = subprocess.run(["xorriso", "-as", "mkisofs", "-quiet", "-input-charset", "UTF-8", "-iso-level", "3",
                           "-J", "-r", "-V", label, "-o", image, medium],
                          env=XORRISO_ENV, capture_output=True, text=True)
    if done.returncode:
        fail("xorriso could not make %s:\n%s" % (image, done.stderr[-2000:]))
    print("image: %s, %d bytes, label %r" % (image, os.path.getsize(image), label))
    # What xorriso left out or changed without a word shows here.
    return report(image, check(image, None))


def digest(path):
    h = hashlib.sha256()
    with open(path, "rb") as f:
        for block in iter(lambda: f.read(1 << 20), b""):
            h.update(block)
    return h.hexdigest()


def check(image, keep):
    """Returns the list of what is wrong with image, as Windows would read it."""
    if not os.path.exists(image):
        return ["no %s" % image]
    if keep and os.path.exists(keep):
        return ["%s exists: the tree goes to a new folder" % keep]
    tree = keep or os.path.join(tempfile.mkdtemp(prefix="medium-check."), "tree")
    # norock: the Joliet names, else the plain ISO 9660 ones, as Windows.
    done = subprocess.run(["xorriso", "-abort_on", "FAILURE", "-read_fs", "norock", "-indev", image, "-toc",
                           "-osirrox", "on", "-extract", "/", tree],
                          env=XORRISO_ENV, capture_output=True, text=True)
    try:
        if done.returncode:
            return ["xorriso cannot read %s:\n%s" % (image, done.stderr[-1000:])]
        joliet = "ISO loaded   : Joliet" in done.stdout + done.stderr
        return ([] if joliet else ["no Joliet tree: Windows shows the plain ISO 9660 names"]) + compare(tree)
    finally:
        if not keep:
            remove(os.path.dirname(tree))


def compare(tree):
    found = sorted(os.path.relpath(os.path.join(d, f), tree).replace(os.sep, "/")
                   for d, _, fs in os.walk(tree) for f in fs)
    if SUMS not in found:
        return ["no %s in the image; Windows shows: %s" % (SUMS, ", ".join(found[:8]))]
    problems = []
    listed = {}
    with open(os.path.join(tree, SUMS), encoding="utf-8", errors="replace") as f:
        for line in f:
            listed[line[66:].rstrip("\n")] = line[:64]
    for path in ("setup.exe", "autorun.inf", TOOL):
        if path not in listed:
            problems.append("%s names no %s" % (SUMS, path))
    for path, wanted in sorted(listed.items()):
        if path not in found:
            problems.append("%s is not where setup.exe and Windows look" % path)
        elif digest(os.path.join(tree, path)) != wanted:
            problems.append("%s differs from its sum" % path)
    problems += ["%s is in the image but not in %s" % (p, SUMS) for p in found if p not in listed and p != SUMS]
    return problems


def remove(path):
    if os.path.exists(path):
        subprocess.run(["chmod", "-R", "u+w", path])
        shutil.rmtree(path)


def report(image, problems):
    for p in problems:
        print("FAIL " + p)
    if problems:
        return 1
    print("ok   %s: setup.exe, autorun.inf, .setup_args if any and the tool lie where setup.exe looks, "
          "with the bytes of %s" % (image, SUMS))
    return 0


def main():
    args = sys.argv[1:]
    if args[:1] == ["make"] and len(args) <= 2:
        return make(os.path.abspath(args[1]) if len(args) > 1 else os.path.join(BUILD, "medium"))
    if args[:1] == ["check"] and len(args) <= 4:
        keep = None
        if "--extract" in args:
            at = args.index("--extract")
            keep = args[at + 1]
            del args[at:at + 2]
        image = args[1] if len(args) > 1 else IMAGE
        return report(image, check(image, keep))
    sys.exit(__doc__)


if __name__ == "__main__":
    sys.exit(main())
