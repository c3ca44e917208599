#!/usr/bin/env python3
"""The installation medium around setup.exe, and a check of an image of one.

    medium.py make [FOLDER] [--setup EXE]
                              FOLDER (build/medium) and FOLDER.iso from
                              MEDIUM_TOOL (required), MEDIUM_ARGS,
                              MEDIUM_ARGS_CODE_PAGE, MEDIUM_EXTRA and
                              MEDIUM_LABEL, around EXE (build/win32/setup.exe)
    medium.py check [IMAGE] [--extract DIR]
                              reads IMAGE's Joliet tree, what Windows shows, and
                              checks it against its SHA256SUMS; keeps the tree
                              in DIR, a new folder, when asked

Everything given is checked before anything is written. The new medium is
made and checked beside the old one, which it replaces only when whole; an
existing FOLDER or FOLDER.iso is replaced only when FOLDER.made, the record
that make writes, proves it an earlier output of make.
"""
import hashlib
import json
import os
import re
import shutil
import signal
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
# Windows opens these devices for the name, whatever its extension.
RESERVED = {"CON", "PRN", "AUX", "NUL"} | {"%s%d" % (d, n) for d in ("COM", "LPT") for n in range(1, 10)}
# The ANSI code pages of Windows, by the names Python gives them.
CODE_PAGES = {n: "cp%d" % n for n in (874, 932, 949, 950, *range(1250, 1259))}
CODE_PAGES.update({936: "gbk", 65001: "utf-8"})
SETTINGS = ("MEDIUM_TOOL", "MEDIUM_ARGS", "MEDIUM_ARGS_CODE_PAGE", "MEDIUM_EXTRA", "MEDIUM_LABEL", "MEDIUM_ISO")
MADE_BY = "make medium"
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
    if name.split(".")[0].rstrip(" ").upper() in RESERVED:
        return "is a device name that Windows reserves (CON, PRN, AUX, NUL, COM1 to COM9, LPT1 to LPT9)"
    return None


def tree_files(top, prefix, files):
    """Adds every file under top to files; follows links, refusing those that
    lead nowhere or back up the tree. Returns how many it followed."""
    followed = 0

    def visit(folder, above):
        nonlocal followed
        for name in sorted(os.listdir(folder)):
            source = os.path.join(folder, name)
            if os.path.islink(source):
                try:
                    real = os.path.realpath(source, strict=True)
                except OSError as e:
                    fail("%s is a link that %s" % (source, "goes round in a loop" if e.errno == 40
                                                   else "leads nowhere"))
                followed += 1
            else:
                real = os.path.realpath(source)
            if os.path.isdir(source):
                if real in above:
                    fail("%s is a link to %s, a folder that holds it: a loop" % (source, real))
                visit(source, above | {real})
            elif os.path.isfile(source):
                files.append((prefix + os.path.relpath(source, top).replace(os.sep, "/"), source))
            else:
                fail("%s is neither a file nor a folder" % source)

    visit(top, {os.path.realpath(top)})
    return followed


def argument_bytes(utf16):
    """The bytes of .setup_args, None for none, and what the summary says of
    them, for a setup.exe that passes a UTF-16 command line on, or not."""
    page = os.environ.get("MEDIUM_ARGS_CODE_PAGE")
    if page is not None and not (page.isdigit() and int(page) in CODE_PAGES):
        fail("MEDIUM_ARGS_CODE_PAGE is %r: it takes a Windows ANSI code page, one of %s"
             % (page, ", ".join(str(n) for n in sorted(CODE_PAGES))))
    if "MEDIUM_ARGS" not in os.environ:
        return None, "unset: no .setup_args, so the tool gets --dvd"
    raw = os.environb[b"MEDIUM_ARGS"]
    if raw.isascii():
        return raw, "%r, %d bytes of ASCII" % (raw.decode(), len(raw))
    if page is None and utf16:
        try:
            text = raw.decode("utf-8")
        except UnicodeDecodeError:
            fail("MEDIUM_ARGS is not UTF-8 text")
        data = b"\xef\xbb\xbf" + raw
        return data, "%r, %d bytes in UTF-8 with the byte-order mark, which this setup.exe reads on " \
                     "every Windows" % (text, len(data))
    if page is None:
        fail("MEDIUM_ARGS is not ASCII: setup.exe reads .setup_args in the ANSI code page of the Windows "
             "it runs on, so MEDIUM_ARGS_CODE_PAGE must say which one to write it in (1252 for Western "
             "European Windows, 932 for Japanese, ...)")
    try:
        text = raw.decode("utf-8")
    except UnicodeDecodeError:
        fail("MEDIUM_ARGS is not UTF-8 text")
    for c in text:
        try:
            c.encode(CODE_PAGES[int(page)])
        except UnicodeEncodeError:
            fail("MEDIUM_ARGS has %r (U+%04X), which code page %s cannot hold" % (c, ord(c), page))
    data = text.encode(CODE_PAGES[int(page)])
    return data, "%r, %d bytes in code page %s" % (text, len(data), page)


def signature(setup):
    """Who signed setup, or that nobody did; refuses a setup.exe that is no
    longer the one make sign signed, or whose signature does not match it."""
    record = setup + ".signed"
    if os.path.lexists(record):
        with open(record, encoding="utf-8", errors="replace") as f:
            signed = f.read().split()
        if digest(setup) not in signed:
            fail("%s is no longer the file that make sign signed: it was rebuilt or changed since. "
                 "Sign it again (make sign), or remove %s to ship it unsigned" % (setup, record))
    try:
        done = subprocess.run(["osslsigncode", "verify", "-in", setup], capture_output=True, text=True,
                              errors="replace")
    except FileNotFoundError:
        fail("osslsigncode is missing (make deps): it tells whether setup.exe is signed")
    out = done.stdout + done.stderr
    if "No signature found" in out:
        return "NOT signed"
    current = re.findall(r"Current message digest\s*: (\S+)", out)
    if not current or current != re.findall(r"Calculated message digest\s*: (\S+)", out):
        fail("%s carries a signature that does not match its bytes: sign it again (make sign)" % setup)
    subject = re.search(r"Signer's certificate:.*?Subject: ([^\n]*)", out, re.S)
    digests = re.findall(r"Message digest algorithm\s+: (\S+)", out)
    return "signed by %s (%s)" % (subject.group(1) if subject else "an unknown subject", " and ".join(digests))


def plan(setup):
    """Every file of the medium, as (path on the medium, source file or
    bytes), the label, and the lines of the summary."""
    unknown = sorted(k for k in os.environ if k.startswith("MEDIUM_") and k not in SETTINGS)
    if unknown:
        fail("%s: not a setting of make medium (%s)" % (", ".join(unknown), ", ".join(SETTINGS[:-1])))
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
    if not os.path.isfile(setup):
        fail("no %s: build it first (make)" % setup)
    args_file = os.path.join(os.path.dirname(setup), "check_exe.args")
    if not os.path.isfile(args_file):
        fail("no %s beside setup.exe: the build writes it" % args_file)
    with open(args_file) as f:
        build = f.read().split()
    has_icon, utf16 = "--icon" in build, "--command-line=utf16" in build
    signed = signature(setup)
    label = os.environ.get("MEDIUM_LABEL", "Setup")
    why = unholdable(label) if label else "is empty"
    if why or len(label) > LABEL_MAX:
        fail("MEDIUM_LABEL is %r: it %s" % (label, why or "is longer than Joliet's %d characters" % LABEL_MAX))
    autorun = "[autorun]\r\nopen=setup.exe\r\n" + ("icon=setup.exe,0\r\n" if has_icon else "")
    # autorun.inf is ANSI text: a label it cannot hold is left to the volume's.
    if label.isascii():
        autorun += "label=%s\r\n" % label
    files = [("setup.exe", setup), ("autorun.inf", autorun.encode("ascii"))]
    args, args_said = argument_bytes(utf16)
    if args is not None:
        files.append((".setup_args", args))
    extra = os.environ.get("MEDIUM_EXTRA")
    followed = 0
    for prefix, top in [("vorald_installer/", tool)] + ([("", extra)] if extra else []):
        if not os.path.isdir(top):
            fail("%s is not a folder" % top)
        followed += tree_files(top, prefix, files)
    summary = ["setup.exe             %s, %s, for a tool that reads its command line in %s"
               % (setup, signed, "UTF-16" if utf16 else "the ANSI code page"),
               "MEDIUM_TOOL           %s" % tool,
               "MEDIUM_ARGS           %s" % args_said,
               "MEDIUM_ARGS_CODE_PAGE %s" % os.environ.get("MEDIUM_ARGS_CODE_PAGE", "unset"),
               "MEDIUM_EXTRA          %s" % (extra or "unset"),
               "MEDIUM_LABEL          %r%s" % (label, "" if "MEDIUM_LABEL" in os.environ else " (unset: the default)"),
               "links followed        %d" % followed]
    return files, label, summary


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


def identity(path):
    s = os.lstat(path)
    return [s.st_dev, s.st_ino, s.st_size, s.st_mtime_ns]


def listed(folder):
    """The names SHA256SUMS lists in folder, and its own digest; None where
    folder is no plain folder with such a list."""
    sums = os.path.join(folder, SUMS)
    if os.path.islink(folder) or not os.path.isdir(folder) or not os.path.isfile(sums):
        return None
    with open(sums, encoding="utf-8", errors="surrogateescape") as f:
        return sorted([line[66:].rstrip("\n") for line in f] + [SUMS]), digest(sums)


def files_in(folder):
    """Every name under folder, links and folders too, as SHA256SUMS spells them."""
    return sorted(os.path.relpath(os.path.join(d, n), folder).replace(os.sep, "/")
                  for d, dirs, names in os.walk(folder) for n in names + [x for x in dirs if os.path.islink(
                      os.path.join(d, x))])


def refuse_what_is_not_mine(medium, image, marker):
    """Refuses, naming it, an existing output that make cannot prove its own."""
    made = None
    if os.path.lexists(marker):
        try:
            with open(marker, encoding="utf-8") as f:
                made = json.load(f)
        except (OSError, ValueError):
            pass
        if not isinstance(made, dict) or made.get("made by") != MADE_BY:
            fail("%s is not a record that make medium wrote: it, %s and %s are left as they are; "
                 "choose another folder" % (marker, medium, image))
    if os.path.islink(medium):
        fail("%s is a link: name the folder itself" % medium)
    if os.path.lexists(medium):
        folder = listed(medium)
        if not made or not folder or folder[1] != made.get("sums") or folder[0] != files_in(medium):
            fail("%s exists and is not a medium that make medium made, or it was changed since: "
                 "it is left as it is; choose another folder, or remove it yourself" % medium)
    if os.path.lexists(image) and (not made or identity(image) != made.get("image")):
        fail("%s exists and is not the image that make medium made with %s, or it was changed since: "
             "it is left as it is; remove it yourself, or choose another folder" % (image, medium))


def lay_out(folder, files):
    sums = []
    for path, source in files:
        target = os.path.join(folder, *path.split("/"))
        os.makedirs(os.path.dirname(target), exist_ok=True)
        if isinstance(source, bytes):
            with open(target, "wb") as f:
                f.write(source)
        else:
            shutil.copyfile(source, target)
        sums.append("%s  %s\n" % (digest(target), path))
    with open(os.path.join(folder, SUMS), "w", encoding="utf-8") as f:
        f.writelines(sorted(sums, key=lambda line: line[66:]))


def make(medium, setup):
    image, marker = medium + ".iso", medium + ".made"
    files, label, summary = plan(setup)
    refuse_what_windows_would_not_see(files)
    refuse_what_is_not_mine(medium, image, marker)

    # Made and checked beside the old medium, which stays until the new one is whole.
    os.makedirs(os.path.dirname(medium), exist_ok=True)
    work = tempfile.mkdtemp(prefix=".%s.making." % os.path.basename(medium), dir=os.path.dirname(medium))
    try:
        new, new_image = os.path.join(work, "medium"), os.path.join(work, "medium.iso")
        lay_out(new, files)
        # Level 3 for files of 4 GiB or more; Joliet for Windows; Rock Ridge
        # with plain owners and modes for everyone else.
        done = subprocess.run(["xorriso", "-as", "mkisofs", "-quiet", "-input-charset", "UTF-8", "-iso-level", "3",
                               "-J", "-r", "-V", label, "-o", new_image, new],
                              env=XORRISO_ENV, capture_output=True, text=True)
        if done.returncode:
            fail("xorriso could not make the image:\n%s" % done.stderr[-2000:])
        # What xorriso left out or changed without a word shows here.
        problems = check(new_image, None)
        if problems:
            report(new_image, problems)
            fail("the image is not what Windows must see; %s and %s are left as they were" % (medium, image))
        remove(medium)
        os.rename(new, medium)
        os.replace(new_image, image)
        with open(os.path.join(work, "made"), "w", encoding="utf-8") as f:
            json.dump({"made by": MADE_BY, "sums": digest(os.path.join(medium, SUMS)), "image": identity(image)}, f)
        os.replace(os.path.join(work, "made"), marker)
    finally:
        remove(work)
    print("medium: %s: %d files and %s" % (medium, len(files), SUMS))
    for line in summary:
        print("  " + line)
    print("image: %s, %d bytes, label %r" % (image, os.path.getsize(image), label))
    return report(image, [])


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
    if keep and os.path.lexists(keep):
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
        why = next(filter(None, map(unholdable, path.split("/"))), None)
        if why:
            problems.append("%s: Windows cannot open it, as the name %s" % (path, why))
        if path not in found:
            problems.append("%s is not where setup.exe and Windows look" % path)
        elif digest(os.path.join(tree, path)) != wanted:
            problems.append("%s differs from its sum" % path)
    problems += ["%s is in the image but not in %s" % (p, SUMS) for p in found if p not in listed and p != SUMS]
    return problems


def remove(path):
    if os.path.lexists(path):
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


def option(args, name, default):
    """The value of --name in args, taken out of them."""
    if name not in args:
        return default
    at = args.index(name)
    if at + 1 == len(args):
        sys.exit("medium: %s takes a value\n%s" % (name, __doc__))
    value = args[at + 1]
    del args[at:at + 2]
    return value


def main():
    # A signal leaves the old medium as it was and nothing beside it.
    for number in (signal.SIGTERM, signal.SIGHUP):
        signal.signal(number, lambda n, _: sys.exit(128 + n))
    args = sys.argv[1:]
    if args[:1] == ["make"]:
        setup = os.path.abspath(option(args, "--setup", os.path.join(BUILD, "win32", "setup.exe")))
        if len(args) <= 2:
            medium = os.path.abspath(args[1]) if len(args) > 1 else os.path.join(BUILD, "medium")
            return make(medium, setup)
    if args[:1] == ["check"]:
        keep = option(args, "--extract", None)
        if len(args) <= 2:
            image = args[1] if len(args) > 1 else IMAGE
            return report(image, check(image, keep))
    sys.exit(__doc__)


if __name__ == "__main__":
    sys.exit(main())
