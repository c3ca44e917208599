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
checked beside the old one, in .FOLDER.work, made durable, and recorded
there (READY); then, with INT, TERM and HUP held, the old one is compared
with its record once more, the new one moved in and recorded, and the old
one removed. A run that finds what an interrupted one left finishes or
undoes it. An existing FOLDER or FOLDER.iso is replaced only where
FOLDER.made, the record of every name and of each file's size and sum,
proves it make's own and unchanged since.
"""
import ctypes
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
import time

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
# What setup.exe takes: 32,766 UTF-16 units, of which the shortest head
# ("X:\" twice, the tool's path, " --source=" and the blank) takes 62.
ARGS_MAX_UNITS = 32766 - 62
XORRISO_ENV = dict(os.environ, LC_ALL="C.UTF-8")


def fail(message):
    progress.end()
    sys.exit("medium: " + message)


def describe(error):
    """An OS error in words, naming its file."""
    return "%s: %s" % (error.filename, error.strerror) if error.filename else error.strerror or str(error)


class Progress:
    """One line on a terminal's standard error while a long step runs: the
    step, and the files and bytes done of how many. Nothing where standard
    error is not a terminal."""

    def __init__(self):
        self.on = sys.stderr.isatty()
        self.start("")

    def start(self, what, files=0, size=0):
        self.what, self.files, self.size, self.done_files, self.done_size, self.shown = what, files, size, 0, 0, 0
        if what:
            self.show()

    def add(self, size):
        self.done_size += size
        self.show()

    def file(self, name, size=0):
        self.done_files += 1
        self.add(size)

    def show(self):
        if not self.on or time.monotonic() - self.shown < 0.2:
            return
        self.shown = time.monotonic()
        done = []
        if self.files or self.done_files:
            done.append("%d%s files" % (self.done_files, " of %d" % self.files if self.files else ""))
        if self.size or self.done_size:
            done.append("%.1f%s MB" % (self.done_size / 1e6, " of %.1f" % (self.size / 1e6) if self.size else ""))
        line = self.what + (": " + ", ".join(done) if done else "")
        sys.stderr.write("\r\x1b[K" + line)
        sys.stderr.flush()

    def end(self):
        if self.on and self.shown:
            sys.stderr.write("\r\x1b[K")
            sys.stderr.flush()
        self.shown = 0


progress = Progress()


def windows_upper(name):
    """name as Windows compares it: each character through a table of one
    character to one, so that ß, ﬀ and the dotless ı stay as they are."""
    out = []
    for c in name:
        upper = c.upper()
        out.append(upper if len(upper) == 1 and (upper.isascii() == c.isascii()) else c)
    return "".join(out)


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


def label_problem(label):
    """Why Joliet cannot hold label as a volume's name, else None. A label
    is no file: a device name is one like any other."""
    if not label:
        return "is empty"
    if any(0xD800 <= ord(c) <= 0xDFFF or ord(c) > 0xFFFF for c in label):
        return "has a character beyond Joliet's UCS-2"
    if FORBIDDEN & set(label):
        return "has a character that Joliet forbids (* / : ; ? \\ \" < > | or a control character)"
    if len(label) > LABEL_MAX:
        return "is longer than Joliet's %d characters" % LABEL_MAX
    return None


def tree_files(top, prefix, files):
    """Adds every file under top to files; follows links, refusing those that
    lead nowhere or back up the tree. Returns how many it followed."""
    followed = 0

    def visit(folder, above):
        nonlocal followed
        names = sorted(os.listdir(folder))
        if not names and folder != top:
            fail("%s is an empty folder: SHA256SUMS lists files alone, so no check could tell it from one "
                 "added by hand; put a file in it, or remove it" % folder)
        for name in names:
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


def refuse_what_setup_exe_would_change(text):
    """setup.exe stops reading .setup_args at a zero byte or a Ctrl-Z, reads
    CR LF as a line feed and drops the line feeds at its end, and refuses
    (206) a command line longer than Windows takes, whatever its folder."""
    for c, what in (("\0", "a zero byte"), ("\x1a", "a Ctrl-Z"), ("\r\n", "a CR LF")):
        if c in text:
            fail("MEDIUM_ARGS holds %s, where setup.exe would %s" % (
                what, "read CR LF as a line feed" if c == "\r\n" else "stop reading"))
    if text.endswith("\n"):
        fail("MEDIUM_ARGS ends in a line feed, which setup.exe drops")
    units = len(text.encode("utf-16-le", "surrogatepass")) // 2
    if units > ARGS_MAX_UNITS:
        fail("MEDIUM_ARGS is %d characters long: with the shortest folder, the tool's command line would "
             "be longer than the 32,766 that Windows takes, and setup.exe would refuse it (status 206); "
             "at most %d fit" % (units, ARGS_MAX_UNITS))


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
        refuse_what_setup_exe_would_change(raw.decode())
        return raw, "%r, %d bytes of ASCII" % (raw.decode(), len(raw))
    if page is None and utf16:
        try:
            text = raw.decode("utf-8")
        except UnicodeDecodeError:
            fail("MEDIUM_ARGS is not UTF-8 text")
        refuse_what_setup_exe_would_change(text)
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
    refuse_what_setup_exe_would_change(text)
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
    why = label_problem(label)
    if why:
        fail("MEDIUM_LABEL is %r: it %s" % (label, why))
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
    """Names that Windows cannot hold, and two that it would take for one,
    among them the kit's own: SHA256SUMS, and .setup_args whether or not
    MEDIUM_ARGS asks for one, so that the summary always tells the truth."""
    seen = {}
    own = [(SUMS, b""), (".setup_args", b"")]
    for path, source in files + [f for f in own if f[0] not in dict(files)]:
        parts = path.split("/")
        for depth, name in enumerate(parts):
            here = "/".join(parts[:depth + 1])
            named = "make medium's own " + path if isinstance(source, bytes) else source
            mine = (here, named if depth == len(parts) - 1 else "the folder " + here)
            why = unholdable(name)
            if why:
                fail("%s (%s on the medium): the name %s" % (mine[1], here, why))
            if len(here) + 1 > PATH_MAX:
                fail("%s (%s on the medium): the path is longer than Joliet's %d characters"
                     % (mine[1], here, PATH_MAX))
            other = seen.setdefault(windows_upper(here), mine)
            if other != mine:
                fail("%s and %s would both be %s on the medium: Windows would see only one of them"
                     % (other[1], mine[1], here))


def identity(path):
    """What a hand edit of a file cannot keep: its change time, which nothing
    sets back, with its inode, size and modification time."""
    s = os.lstat(path)
    return [s.st_ino, s.st_size, s.st_mtime_ns, s.st_ctime_ns]


def entries(folder, sums):
    """Every name under folder, as SHA256SUMS spells them: a folder, a link,
    or a file with its identity and its sum (from sums, by name)."""
    found = {}
    for d, dirs, names in os.walk(folder):
        for name in dirs + names:
            path = os.path.join(d, name)
            mode = os.lstat(path).st_mode
            here = os.path.relpath(path, folder).replace(os.sep, "/")
            found[here] = ("link" if stat.S_ISLNK(mode) else "folder" if stat.S_ISDIR(mode)
                           else identity(path) + [sums[here]])
    return found


def same_file(path, recorded, by_content=False):
    """Whether path holds what recorded says: at once where nothing about it
    changed (unless by_content); else by its size and sum, so that a copy, a
    link, a new mode or a time set back is still the same file. (A record of
    an earlier kit holds no sum: any change counts.)"""
    now = identity(path)
    if now == recorded[:4] and not by_content:
        return True
    return len(recorded) > 4 and now[1] == recorded[1] and digest(path) == recorded[4]


def same_image(path, recorded, by_content=False):
    """Whether path is the image that recorded says: at once where nothing
    about it changed (unless by_content); else by its size and sum, which
    its check reads in the same pass."""
    now = identity(path)
    if now == recorded[:4] and not by_content:
        return True
    seen = {}
    return len(recorded) > 4 and now[1] == recorded[1] and not check(path, None, seen) and \
        seen.get("image") == recorded[4]


def changes(folder, recorded, by_content=False):
    """How folder differs from the record of it: a few names, or none."""
    now = {}
    for d, dirs, names in os.walk(folder):
        for name in dirs + names:
            mode = os.lstat(os.path.join(d, name)).st_mode
            now[os.path.relpath(os.path.join(d, name), folder).replace(os.sep, "/")] = (
                "link" if stat.S_ISLNK(mode) else "folder" if stat.S_ISDIR(mode) else "file")
    differ = sorted(set(now) ^ set(recorded))
    progress.start("comparing %s with its record" % folder, len(now))
    for name in sorted(set(now) & set(recorded)):
        kept = recorded[name]
        if now[name] == "file" and isinstance(kept, list):
            progress.file(name)
            if not same_file(os.path.join(folder, *name.split("/")), kept, by_content):
                differ.append(name)
        elif now[name] != kept:
            differ.append(name)
    progress.end()
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


def sync_folder(folder):
    fd = os.open(folder, os.O_RDONLY)
    try:
        os.fsync(fd)
    finally:
        os.close(fd)


def write_record(path, record):
    """Written whole, or not at all; on the disk when this returns."""
    part = path + ".part"
    with open(part, "w", encoding="utf-8") as f:
        json.dump(record, f)
        f.flush()
        os.fsync(f.fileno())
    os.replace(part, path)
    sync_folder(os.path.dirname(path))


LIBC = ctypes.CDLL(None, use_errno=True)


def sync_file_system(folder):
    """Everything written to folder's file system reaches the disk: the new
    medium's files and folders and the image, before READY says they are
    whole (syncfs)."""
    fd = os.open(folder, os.O_RDONLY)
    try:
        if LIBC.syncfs(fd):
            number = ctypes.get_errno()
            raise OSError(number, os.strerror(number), folder)
    finally:
        os.close(fd)
    step("synced")


def holder(path):
    """Who holds the lock, as it wrote: read once the lock was refused, and
    only while that process still runs."""
    try:
        with open(path, encoding="utf-8", errors="replace") as f:
            text = f.read()[len(LOCK_MARK):].strip()
        pid = int(text.split()[1].rstrip(","))
        os.kill(pid, 0)
        return text
    except (OSError, ValueError, IndexError):
        return "it has only just begun"


def locked(medium):
    """Holds FOLDER.lock, beside the folder, until the run ends; refuses,
    naming it, a run that holds it already. The lock file stays: removed, a
    run that had just opened it would lock a file nobody else sees."""
    path = medium + ".lock"
    while True:
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
                 % (medium, holder(path)))
        # Removed and made anew meanwhile, the file locked is no one's lock.
        try:
            if os.path.samestat(os.fstat(f.fileno()), os.stat(path)):
                break
        except FileNotFoundError:
            pass
        f.close()
    f.seek(0)
    f.truncate()
    f.write(LOCK_MARK + "process %d, %s\n" % (os.getpid(), " ".join(sys.argv)))
    f.flush()
    return f


def hold_work(work, medium):
    """Locks the work folder itself for this run: a run whose FOLDER.lock
    was removed under it must not take another's work for an interrupted
    one's."""
    fd = os.open(work, os.O_RDONLY)
    try:
        fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
    except BlockingIOError:
        os.close(fd)
        fail("another make medium is making %s in %s (%s, whose lock was removed): run this one again when "
             "it has ended" % (medium, work, holder(medium + ".lock")))
    return fd


def medium_as_recorded(medium, record):
    """Whether medium is absent, or the folder that record describes."""
    return not os.path.lexists(medium) or (os.path.isdir(medium) and not os.path.islink(medium) and
                                           not changes(medium, record.get("medium", {})))


def image_as_recorded(image, record):
    """Whether image is absent, or the file that record describes."""
    return not os.path.lexists(image) or (record.get("image") is not None and os.path.isfile(image) and
                                          not os.path.islink(image) and same_image(image, record["image"]))


def refuse_what_is_not_mine(medium, image, marker):
    """Refuses, naming it, an existing output that the record does not prove
    make's own and unchanged since; returns the record. A record that names
    a next medium (the work folder of a run that moved it in was removed
    since) is brought up to date with what stands."""
    made = read_record(marker)
    if os.path.lexists(marker) and not made:
        fail("%s is not a record that make medium wrote: it, %s and %s are left as they are; "
             "choose another folder" % (marker, medium, image))
    if os.path.islink(medium):
        fail("%s is a link: name the folder itself" % medium)
    if os.path.lexists(medium) and (not made or not os.path.isdir(medium)):
        fail("%s exists and is not a medium that make medium made: it is left as it is; "
             "choose another folder, or remove it yourself" % medium)
    if os.path.lexists(image) and not made:
        fail("%s exists and is not the image that make medium made with %s: it is left as it is; "
             "remove it yourself, or choose another folder" % (image, medium))
    if not made:
        return None
    following = made.get("next") or {}
    old = medium_as_recorded(medium, made), image_as_recorded(image, made)
    new = (medium_as_recorded(medium, following), image_as_recorded(image, following)) if following else (False,) * 2
    if not (old[0] or new[0]):
        fail("%s was changed since make medium made it (%s): it is left as it is; "
             "remove it yourself, or choose another folder" % (medium, changes(medium, made["medium"])))
    if not (old[1] or new[1]):
        fail("%s is not the image that make medium made with %s, or it was changed since: "
             "it is left as it is; remove it yourself, or choose another folder" % (image, medium))
    if made.get("next"):
        made = {"made by": MADE_BY, "medium": (made if old[0] else made["next"])["medium"],
                "image": (made if old[1] else made["next"]).get("image")}
        write_record(marker, made)
        print("medium: %s and %s are as an interrupted run left them, whose work folder was removed since; "
              "their record says so now" % (medium, image))
    return made


def step(name):
    """A point between two steps of a run. The tests send a signal here
    (KIT_TEST_SIGNAL=SIGNAL:STEP) to show what each interruption leaves, and
    list the steps in order (KIT_TEST_TRACE=FILE)."""
    trace = os.environ.get("KIT_TEST_TRACE")
    if trace:
        with open(trace, "a") as f:
            f.write(name + "\n")
    wanted = os.environ.get("KIT_TEST_SIGNAL", "").split(":", 1)
    if wanted[1:] == [name]:
        os.kill(os.getpid(), getattr(signal, "SIG" + wanted[0]))


def lay_out(folder, files):
    """Copies each file, reading it once: its sum comes from the same read.
    Returns the sums by name."""
    sums = {}
    progress.start("copying", len(files), sum(len(source) if isinstance(source, bytes) else os.path.getsize(source)
                                              for _, source in files))
    for path, source in files:
        target = os.path.join(folder, *path.split("/"))
        os.makedirs(os.path.dirname(target), exist_ok=True)
        h = hashlib.sha256()
        with open(target, "wb") as out:
            if isinstance(source, bytes):
                out.write(source)
                h.update(source)
                progress.add(len(source))
            else:
                with open(source, "rb") as f:
                    for block in iter(lambda: f.read(1 << 20), b""):
                        out.write(block)
                        h.update(block)
                        progress.add(len(block))
        sums[path] = h.hexdigest()
        progress.file(path)
        step("making")
    listing = "".join("%s  %s\n" % (sums[path], path) for path in sorted(sums)).encode("utf-8")
    with open(os.path.join(folder, SUMS), "wb") as f:
        f.write(listing)
    sums[SUMS] = hashlib.sha256(listing).hexdigest()
    progress.end()
    return sums


def make_image(folder, image, label):
    """Level 3 for files of 4 GiB or more; Joliet for Windows; Rock Ridge
    with plain owners and modes for everyone else."""
    progress.start("making the image")
    done = subprocess.run(["xorriso", "-as", "mkisofs", "-quiet", "-input-charset", "UTF-8", "-iso-level", "3",
                           "-J", "-r", "-V", label, "-o", image, folder],
                          env=XORRISO_ENV, capture_output=True, text=True)
    progress.end()
    if done.returncode:
        fail("xorriso could not make the image:\n%s" % done.stderr[-2000:])


def make_new(work, files, label):
    """The new medium and image in work, checked and on the disk; returns
    their record, for READY."""
    new, new_image = os.path.join(work, "medium"), os.path.join(work, "medium.iso")
    sums = lay_out(new, files)
    make_image(new, new_image, label)
    # What xorriso left out or changed without a word shows here.
    seen = {}
    problems = check(new_image, None, seen)
    if problems:
        report(new_image, problems)
        fail("the image is not what Windows must see; the last medium and image are left as they were")
    record = {"made by": MADE_BY, "medium": entries(new, sums), "image": identity(new_image) + [seen["image"]]}
    sync_file_system(work)
    return record


def hold_signals():
    """INT, TERM and HUP wait until release_signals: from READY on, a run
    finishes the replacement, the old one removed, before it takes one."""
    return signal.pthread_sigmask(signal.SIG_BLOCK, STOPPING)


def release_signals(held):
    signal.pthread_sigmask(signal.SIG_SETMASK, held)


def discard(work, why):
    remove(work)
    fail(why)


def commit(work, medium, image, marker, ready):
    """With signals held: looks once more at the old medium and image, and
    discards the new ones where they changed since their record (an edit
    made during the run is never lost); else moves the old aside and the new
    in, the record naming both until it names the new alone. Each step is
    done once, so that a run after an interruption finishes what is left."""
    made = read_record(marker) or {"made by": MADE_BY, "medium": {}, "image": None}
    if os.path.lexists(os.path.join(work, "medium")) and not medium_as_recorded(medium, made):
        discard(work, "%s was changed while this run made the new medium (%s): the new one is discarded and %s "
                      "is left as it is" % (medium, changes(medium, made["medium"]), medium))
    if os.path.lexists(os.path.join(work, "medium.iso")) and not image_as_recorded(image, made):
        discard(work, "%s was changed while this run made the new medium: the new one is discarded and %s is "
                      "left as it is" % (image, image))
    step("looked again")
    write_record(marker, dict(made, next=ready))
    for kind, place in (("medium", medium), ("image", image)):
        new = os.path.join(work, "medium.iso" if kind == "image" else "medium")
        if not os.path.lexists(new):
            continue
        if os.path.lexists(place):
            os.rename(place, os.path.join(work, "old." + kind))
            step(kind + " aside")
        os.rename(new, place)
        step(kind + " in")
    # The image's identity changed as it was moved in; its bytes did not.
    write_record(marker, {"made by": MADE_BY, "medium": ready["medium"],
                          "image": identity(image) + ready["image"][4:]})
    step("recorded")


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
    hold_work(work, medium)
    held = hold_signals()
    ready = read_record(os.path.join(work, READY))
    if not ready:
        remove(work)
        release_signals(held)
        print("medium: removed %s, which an interrupted run left unfinished; %s was not touched"
              % (work, medium))
        return
    # A disk may lose data that its metadata still claims: nothing is moved
    # in whose bytes are not those READY records.
    new, new_image = os.path.join(work, "medium"), os.path.join(work, "medium.iso")
    broken = [p for p, ok in ((new, not os.path.lexists(new) or not changes(new, ready["medium"], True)),
                              (new_image, not os.path.lexists(new_image) or
                               same_image(new_image, ready["image"], True)))
              if not ok]
    if broken:
        for kind, place in (("medium", medium), ("image", image)):
            old = os.path.join(work, "old." + kind)
            if os.path.lexists(old) and not os.path.lexists(place):
                os.rename(old, place)
        discard(work, "an interrupted run left %s, which is not what it recorded: it is discarded, and %s and %s "
                      "are as they were; run make medium again" % (" and ".join(broken), medium, image))
    # Where the new one is in already, it must be as READY says.
    wrong = [p for p, w, as_recorded in ((medium, new, medium_as_recorded), (image, new_image, image_as_recorded))
             if not os.path.lexists(w) and not as_recorded(p, ready)]
    if wrong:
        fail("an interrupted run left %s, but %s changed since: everything is left as it is; "
             "remove them yourself" % (work, " and ".join(wrong)))
    commit(work, medium, image, marker, ready)
    remove_work(work)
    release_signals(held)
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
    hold_work(work, medium)
    try:
        ready = make_new(work, files, label)
    except BaseException as e:
        remove(work)
        if isinstance(e, OSError):
            fail("could not make the new medium (%s); %s and %s are left as they were" % (describe(e), medium,
                                                                                            image))
        raise
    held = hold_signals()
    write_record(os.path.join(work, READY), ready)
    step("ready")
    commit(work, medium, image, marker, ready)
    remove_work(work)
    release_signals(held)
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


def check(image, keep, seen=None):
    """Returns the list of what is wrong with image, as Windows would read it;
    keeps its tree in keep, a new folder, when asked. A folder is checked as
    the tree it holds. seen, where given, gets the sum of its SHA256SUMS
    ("sums") and of the whole image ("image"), which then comes from the same
    one read as every file's."""
    if not os.path.exists(image):
        return ["no %s" % image]
    if os.path.isdir(image):
        return check_folder(image)
    if keep and os.path.lexists(keep):
        return ["%s exists: the tree goes to a new folder" % keep]
    # norock: the Joliet names, else the plain ISO 9660 ones, as Windows;
    # where each file's data lies, so that the image is read once.
    argv = ["xorriso", "-abort_on", "FAILURE", "-read_fs", "norock", "-indev", image, "-toc",
            "-find", "/", "-type", "f", "-exec", "report_lba", "--", "-find", "/", "-type", "d", "--"]
    done = subprocess.run(argv + (["-osirrox", "on", "-extract", "/", keep] if keep else []),
                          env=XORRISO_ENV, capture_output=True, text=True)
    if done.returncode:
        return ["xorriso cannot read %s:\n%s" % (image, done.stderr[-1000:])]
    extents, folders = {}, set()
    for line in done.stdout.splitlines():
        if line.startswith("File data lba:"):
            fields = line.split(",", 4)
            extents.setdefault(shlex.split(fields[4])[0].lstrip("/"), []).append((int(fields[1]), int(fields[3])))
        elif line.startswith("'/") and line.endswith("'"):
            folders.add(shlex.split(line)[0].strip("/"))
    folders.discard("")
    joliet = "ISO loaded   : Joliet" in done.stdout + done.stderr
    with open(image, "rb") as f:
        problems = [] if joliet else ["no Joliet tree: Windows shows the plain ISO 9660 names"]
        problems += cut_short(f)
        sums = None
        if seen is not None:
            sums, seen["image"] = one_pass(f, extents)
        return problems + compare(extents, folders, lambda path: read_extents(f, extents[path]), sums, seen)


def one_pass(image, extents):
    """Each file's sum and the whole image's, from one read from start to
    end; where a file's data is not laid out in order, without it, and the
    image's own sum from a read of its own."""
    pieces = sorted((block * 2048, size, path) for path, parts in extents.items() for block, size in parts)
    in_order = all(a[0] < b[0] for parts in extents.values() for a, b in zip(parts, parts[1:])) and \
        all(a[0] + a[1] <= b[0] for a, b in zip(pieces, pieces[1:]))
    hashers = {path: hashlib.sha256() for path in extents} if in_order else {}
    whole, at, next_piece = hashlib.sha256(), 0, 0
    image.seek(0)
    progress.start("reading the image", size=os.fstat(image.fileno()).st_size)
    for chunk in iter(lambda: image.read(1 << 20), b""):
        whole.update(chunk)
        start, at = at, at + len(chunk)
        k = next_piece
        while hashers and k < len(pieces) and pieces[k][0] < at:
            offset, size, path = pieces[k]
            hashers[path].update(chunk[max(offset, start) - start:min(offset + size, at) - start])
            if offset + size <= at:
                next_piece = k + 1
            k += 1
        progress.add(len(chunk))
    progress.end()
    return {path: h.hexdigest() for path, h in hashers.items()} or None, whole.hexdigest()


def cut_short(image):
    """An image shorter than its volume says: its end is missing."""
    image.seek(16 * 2048 + 80)
    field = image.read(8)
    blocks = int.from_bytes(field[:4], "little") if len(field) == 8 else 0
    size = os.fstat(image.fileno()).st_size
    return ["the image is cut short: %d bytes, where its volume says %d" % (size, blocks * 2048)] \
        if size < blocks * 2048 else []


def check_folder(folder):
    """A medium's folder, as its image would be checked."""
    files, folders = {}, set()
    for d, dirs, names in os.walk(folder):
        for name in dirs:
            folders.add(os.path.relpath(os.path.join(d, name), folder).replace(os.sep, "/"))
        for name in names:
            files[os.path.relpath(os.path.join(d, name), folder).replace(os.sep, "/")] = os.path.join(d, name)

    def read(path):
        with open(files[path], "rb") as f:
            yield from iter(lambda: f.read(1 << 20), b"")

    return compare(files, folders, read)


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


SUM_LINE = re.compile(r"^([0-9a-f]{64})  (.+)$")


def compare(found, folders, read, sums=None, seen=None):
    """What is wrong with a tree of the files found (read(path) gives each
    one's data, unless sums has its sum already) and folders, against its
    SHA256SUMS, whose sum goes to seen."""
    if SUMS not in found:
        return ["no %s in the image; Windows shows: %s" % (SUMS, ", ".join(sorted(found)[:8]))]
    problems = []
    listed = {}
    listing = b"".join(read(SUMS))
    if seen is not None:
        seen["sums"] = hashlib.sha256(listing).hexdigest()
    for number, line in enumerate(listing.decode("utf-8", "replace").splitlines(), 1):
        match = SUM_LINE.match(line)
        if not match:
            problems.append("%s line %d is not a sum and a name: %r" % (SUMS, number, line[:80]))
            continue
        listed[match.group(2)] = match.group(1)
    cased, clashes = {}, set()
    for path in sorted(listed):
        parts = path.split("/")
        for depth in range(len(parts)):
            here = "/".join(parts[:depth + 1])
            other = cased.setdefault(windows_upper(here), here)
            if other != here:
                clashes.add("%s and %s differ only in case: Windows sees one of them" % (other, here))
    problems += sorted(clashes)
    for path in ("setup.exe", "autorun.inf", TOOL):
        if path not in listed:
            problems.append("%s names no %s" % (SUMS, path))
    progress.start("checking", len(listed))
    for path, wanted in sorted(listed.items()):
        why = next(filter(None, map(unholdable, path.split("/"))), None)
        if why:
            problems.append("%s: Windows cannot open it, as the name %s" % (path, why))
        if path not in found:
            problems.append("%s is not where setup.exe and Windows look" % path)
            continue
        if sums and path in sums:
            got = sums[path]
        else:
            h = hashlib.sha256()
            for data in read(path):
                h.update(data)
                progress.add(len(data))
            got = h.hexdigest()
        progress.file(path)
        if got != wanted:
            problems.append("%s differs from its sum" % path)
    progress.end()
    problems += ["%s is in the image but not in %s" % (p, SUMS) for p in sorted(found) if p not in listed and p != SUMS]
    holding = {"/".join(p.split("/")[:depth]) for p in listed for depth in range(1, p.count("/") + 1)}
    problems += ["the folder %s is in the image but holds nothing that %s names" % (f, SUMS)
                 for f in sorted(folders) if f not in holding]
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
    # A signal (Ctrl-C too) leaves the old medium as it was and nothing beside it.
    for number in STOPPING:
        signal.signal(number, lambda n, _: sys.exit(128 + n))
    try:
        return run(sys.argv[1:])
    except OSError as e:
        fail("%s. Mend that (free space, unmount the folder, lift its protection) and run it again: it finishes "
             "or undoes what this run left" % describe(e))


def run(args):
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
