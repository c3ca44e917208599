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

Everything given is checked before anything is written. One run at a time
makes FOLDER: FOLDER.lock refuses a second one. The new medium is made and
checked beside the old one, in .FOLDER.work, which it replaces only when
whole: the old moved aside, the new moved in, the record written, the old
removed. A run that finds what an interrupted one left finishes or undoes it.
An existing FOLDER or FOLDER.iso is replaced only where FOLDER.made, the
record of every name, size and change time, proves it make's own and
unchanged since.
"""
import fcntl
import hashlib
import json
import os
import re
import shlex
import shutil
import signal
import stat
import subprocess
import sys

import setup_exe

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
# Windows opens these devices for the name, whatever its extension; it takes
# the superscript digits of ISO 8859-1 for digits there.
RESERVED = {"CON", "PRN", "AUX", "NUL"} | {d + n for d in ("COM", "LPT") for n in "123456789\u00b9\u00b2\u00b3"}
# The ANSI code pages of Windows, by the names Python gives them.
CODE_PAGES = {n: "cp%d" % n for n in (874, 932, 949, 950, *range(1250, 1259))}
CODE_PAGES.update({936: "gbk", 65001: "utf-8"})
SETTINGS = ("MEDIUM_TOOL", "MEDIUM_ARGS", "MEDIUM_ARGS_CODE_PAGE", "MEDIUM_EXTRA", "MEDIUM_LABEL", "MEDIUM_ISO")
MADE_BY = "make medium"
LOCK_MARK = "make medium lock\n"
READY = "ready"  # in the work folder: the record of a new medium that is whole
# While a run moves the old medium aside and the new one in, these wait.
STOPPING = {signal.SIGINT, signal.SIGTERM, signal.SIGHUP}
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
        return "is a device name that Windows reserves (CON, PRN, AUX, NUL, COM1 to COM9, LPT1 to LPT9, " \
               "COM\u00b9 to COM\u00b3, LPT\u00b9 to LPT\u00b3)"
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
    try:
        utf16, has_icon = setup_exe.describe(setup)
    except (OSError, setup_exe.NotAProgram) as e:
        fail("%s is not a setup.exe that make builds: %s" % (setup, e))
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
    """What a hand edit of a file cannot keep: its change time, which nothing
    sets back, with its inode, size and modification time."""
    s = os.lstat(path)
    return [s.st_ino, s.st_size, s.st_mtime_ns, s.st_ctime_ns]


def entries(folder):
    """Every name under folder, as SHA256SUMS spells them: a folder, a link,
    or a file with its identity."""
    found = {}
    for d, dirs, names in os.walk(folder):
        for name in dirs + names:
            path = os.path.join(d, name)
            mode = os.lstat(path).st_mode
            found[os.path.relpath(path, folder).replace(os.sep, "/")] = (
                "link" if stat.S_ISLNK(mode) else "folder" if stat.S_ISDIR(mode) else identity(path))
    return found


def changes(folder, recorded):
    """How folder differs from the record of it: a few names, or none."""
    now = entries(folder)
    differ = sorted(set(now) ^ set(recorded)) + sorted(n for n in now if n in recorded and now[n] != recorded[n])
    return ", ".join(differ[:5]) + (" and %d more" % (len(differ) - 5) if len(differ) > 5 else "")


def read_record(path):
    """A record that make wrote, or None."""
    try:
        with open(path, encoding="utf-8") as f:
            record = json.load(f)
    except (OSError, ValueError):
        return None
    ok = isinstance(record, dict) and record.get("made by") == MADE_BY and isinstance(record.get("medium"), dict)
    return record if ok else None


def write_record(path, record, work):
    """Written whole, or not at all."""
    part = os.path.join(work, "record.part")
    with open(part, "w", encoding="utf-8") as f:
        json.dump(record, f)
        f.flush()
        os.fsync(f.fileno())
    os.replace(part, path)


def locked(medium):
    """Holds FOLDER.lock, beside the folder, until the run ends; refuses,
    naming it, a run that holds it already. The lock file stays: removed, a
    run that had just opened it would lock a file nobody else sees."""
    path = medium + ".lock"
    try:
        f = open(path, "a+", encoding="utf-8")
    except OSError as e:
        fail("%s cannot be opened: %s" % (path, e.strerror))
    f.seek(0)
    text = f.read()
    if text and not text.startswith(LOCK_MARK):
        fail("%s is not a lock of make medium: it is left as it is; choose another folder" % path)
    try:
        fcntl.flock(f.fileno(), fcntl.LOCK_EX | fcntl.LOCK_NB)
    except BlockingIOError:
        fail("another make medium is making %s (%s): run this one again when it has ended"
             % (medium, text[len(LOCK_MARK):].strip() or "it has only just begun"))
    f.seek(0)
    f.truncate()
    f.write(LOCK_MARK + "process %d, %s\n" % (os.getpid(), " ".join(sys.argv)))
    f.flush()
    return f


def refuse_what_is_not_mine(medium, image, marker):
    """Refuses, naming it, an existing output that the record does not prove
    make's own and unchanged since; returns the record."""
    made = read_record(marker)
    if os.path.lexists(marker) and not made:
        fail("%s is not a record that make medium wrote: it, %s and %s are left as they are; "
             "choose another folder" % (marker, medium, image))
    if os.path.islink(medium):
        fail("%s is a link: name the folder itself" % medium)
    if os.path.lexists(medium):
        if not made or not os.path.isdir(medium):
            fail("%s exists and is not a medium that make medium made: it is left as it is; "
                 "choose another folder, or remove it yourself" % medium)
        changed = changes(medium, made["medium"])
        if changed:
            fail("%s was changed since make medium made it (%s): it is left as it is; "
                 "remove it yourself, or choose another folder" % (medium, changed))
    if os.path.lexists(image) and (not made or identity(image) != made.get("image")):
        fail("%s exists and is not the image that make medium made with %s, or it was changed since: "
             "it is left as it is; remove it yourself, or choose another folder" % (image, medium))
    return made


def step(name):
    """A point between two steps of a run. The tests send a signal here
    (KIT_TEST_SIGNAL=SIGNAL:STEP) to show what each interruption leaves."""
    wanted = os.environ.get("KIT_TEST_SIGNAL", "").split(":", 1)
    if wanted[1:] == [name]:
        os.kill(os.getpid(), getattr(signal, "SIG" + wanted[0]))


def lay_out(folder, files):
    """Copies each file, reading it once: its sum comes from the same read."""
    sums = []
    for path, source in files:
        target = os.path.join(folder, *path.split("/"))
        os.makedirs(os.path.dirname(target), exist_ok=True)
        h = hashlib.sha256()
        with open(target, "wb") as out:
            if isinstance(source, bytes):
                out.write(source)
                h.update(source)
            else:
                with open(source, "rb") as f:
                    for block in iter(lambda: f.read(1 << 20), b""):
                        out.write(block)
                        h.update(block)
        sums.append("%s  %s\n" % (h.hexdigest(), path))
        step("making")
    with open(os.path.join(folder, SUMS), "w", encoding="utf-8") as f:
        f.writelines(sorted(sums, key=lambda line: line[66:]))


def make_image(folder, image, label):
    """Level 3 for files of 4 GiB or more; Joliet for Windows; Rock Ridge
    with plain owners and modes for everyone else."""
    done = subprocess.run(["xorriso", "-as", "mkisofs", "-quiet", "-input-charset", "UTF-8", "-iso-level", "3",
                           "-J", "-r", "-V", label, "-o", image, folder],
                          env=XORRISO_ENV, capture_output=True, text=True)
    if done.returncode:
        fail("xorriso could not make the image:\n%s" % done.stderr[-2000:])


def make_new(work, files, label):
    """The new medium and image in work, checked; then its record, READY."""
    new, new_image = os.path.join(work, "medium"), os.path.join(work, "medium.iso")
    lay_out(new, files)
    make_image(new, new_image, label)
    # What xorriso left out or changed without a word shows here.
    problems = check(new_image, None)
    if problems:
        report(new_image, problems)
        fail("the image is not what Windows must see; the last medium and image are left as they were")
    # The image's identity but for its change time, which moving it in sets.
    write_record(os.path.join(work, READY), {"made by": MADE_BY, "medium": entries(new),
                                              "image": identity(new_image)}, work)
    step("ready")


def commit(work, medium, image, marker):
    """Moves the old medium and image aside and the new ones in, then writes
    the record. Each step is done once, so that a run after an interruption
    finishes what is left; signals wait for the few renames this takes."""
    record = read_record(os.path.join(work, READY))
    blocked = signal.pthread_sigmask(signal.SIG_BLOCK, STOPPING)
    try:
        for kind, place in (("medium", medium), ("image", image)):
            new = os.path.join(work, "medium.iso" if kind == "image" else "medium")
            if not os.path.lexists(new):
                continue
            if os.path.lexists(place):
                os.rename(place, os.path.join(work, "old." + kind))
                step(kind + " aside")
            os.rename(new, place)
            step(kind + " in")
        record["image"] = identity(image)
        write_record(marker, record, work)
        step("recorded")
    finally:
        signal.pthread_sigmask(signal.SIG_SETMASK, blocked)


def remove_work(work):
    """The old medium and image first, the record of the new one last: a work
    folder without it holds nothing that anyone needs."""
    step("removing the old")
    for name in os.listdir(work):
        if name != READY:
            remove(os.path.join(work, name))
    remove(work)


def recover(work, medium, image, marker):
    """Finishes or undoes what an interrupted run left in work, and says so."""
    if not os.path.lexists(work):
        return
    ready = read_record(os.path.join(work, READY))
    if not ready:
        remove(work)
        print("medium: removed %s, which an interrupted run left unfinished; %s was not touched"
              % (work, medium))
        return
    # Where the new one is not moved in yet, the old one must be as the
    # record says; where it is, the new one as ready says.
    made = read_record(marker) or {"medium": {}}
    wrong = []
    if not os.path.lexists(os.path.join(work, "medium")):
        if not os.path.isdir(medium) or changes(medium, ready["medium"]):
            wrong.append(medium)
    elif os.path.lexists(medium) and changes(medium, made["medium"]):
        wrong.append(medium)
    if not os.path.lexists(os.path.join(work, "medium.iso")):
        if not os.path.isfile(image) or identity(image)[:3] != ready["image"][:3]:
            wrong.append(image)
    elif os.path.lexists(image) and identity(image) != made.get("image"):
        wrong.append(image)
    if wrong:
        fail("an interrupted run left %s, but %s changed since: everything is left as it is; "
             "remove them yourself" % (work, " and ".join(wrong)))
    commit(work, medium, image, marker)
    remove_work(work)
    print("medium: finished replacing %s and %s, which an interrupted run left half done" % (medium, image))


def make(medium, setup):
    image, marker = medium + ".iso", medium + ".made"
    work = os.path.join(os.path.dirname(medium), ".%s.work" % os.path.basename(medium))
    files, label, summary = plan(setup)
    refuse_what_windows_would_not_see(files)
    os.makedirs(os.path.dirname(medium), exist_ok=True)
    lock = locked(medium)
    recover(work, medium, image, marker)
    refuse_what_is_not_mine(medium, image, marker)

    # Made and checked beside the old medium, which stays until the new one is whole.
    os.mkdir(work)
    try:
        make_new(work, files, label)
    except BaseException as e:
        remove(work)
        if isinstance(e, OSError):
            fail("could not make the new medium (%s); %s and %s are left as they were" % (e, medium, image))
        raise
    commit(work, medium, image, marker)
    remove_work(work)
    lock.close()
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
    """Returns the list of what is wrong with image, as Windows would read it;
    keeps its tree in keep, a new folder, when asked."""
    if not os.path.exists(image):
        return ["no %s" % image]
    if keep and os.path.lexists(keep):
        return ["%s exists: the tree goes to a new folder" % keep]
    # norock: the Joliet names, else the plain ISO 9660 ones, as Windows;
    # where each file's data lies, so that the image is read once.
    argv = ["xorriso", "-abort_on", "FAILURE", "-read_fs", "norock", "-indev", image, "-toc",
            "-find", "/", "-type", "f", "-exec", "report_lba", "--"]
    done = subprocess.run(argv + (["-osirrox", "on", "-extract", "/", keep] if keep else []),
                          env=XORRISO_ENV, capture_output=True, text=True)
    if done.returncode:
        return ["xorriso cannot read %s:\n%s" % (image, done.stderr[-1000:])]
    extents = {}
    for line in done.stdout.splitlines():
        if line.startswith("File data lba:"):
            fields = line.split(",", 4)
            extents.setdefault(shlex.split(fields[4])[0].lstrip("/"), []).append((int(fields[1]), int(fields[3])))
    joliet = "ISO loaded   : Joliet" in done.stdout + done.stderr
    with open(image, "rb") as f:
        return ([] if joliet else ["no Joliet tree: Windows shows the plain ISO 9660 names"]) + compare(f, extents)


def read_extents(image, extents):
    """The data of a file in the image, a block at a time."""
    for block, size in extents:
        image.seek(block * 2048)
        while size > 0:
            data = image.read(min(size, 1 << 20))
            if not data:
                return
            size -= len(data)
            yield data


def compare(image, extents):
    found = sorted(extents)
    if SUMS not in found:
        return ["no %s in the image; Windows shows: %s" % (SUMS, ", ".join(found[:8]))]
    problems = []
    listed = {}
    for line in b"".join(read_extents(image, extents[SUMS])).decode("utf-8", "replace").splitlines():
        listed[line[66:]] = line[:64]
    cased, clashes = {}, set()
    for path in sorted(listed):
        parts = path.split("/")
        for depth in range(len(parts)):
            here = "/".join(parts[:depth + 1])
            other = cased.setdefault(here.upper(), here)
            if other != here:
                clashes.add("%s and %s differ only in case: Windows sees one of them" % (other, here))
    problems += sorted(clashes)
    for path in ("setup.exe", "autorun.inf", TOOL):
        if path not in listed:
            problems.append("%s names no %s" % (SUMS, path))
    for path, wanted in sorted(listed.items()):
        why = next(filter(None, map(unholdable, path.split("/"))), None)
        if why:
            problems.append("%s: Windows cannot open it, as the name %s" % (path, why))
        if path not in extents:
            problems.append("%s is not where setup.exe and Windows look" % path)
            continue
        h = hashlib.sha256()
        for data in read_extents(image, extents[path]):
            h.update(data)
        if h.hexdigest() != wanted:
            problems.append("%s differs from its sum" % path)
    problems += ["%s is in the image but not in %s" % (p, SUMS) for p in found if p not in listed and p != SUMS]
    return problems


def remove(path):
    if os.path.isdir(path) and not os.path.islink(path):
        subprocess.run(["chmod", "-R", "u+w", path])
        shutil.rmtree(path)
    elif os.path.lexists(path):
        os.remove(path)


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
