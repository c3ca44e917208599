"""One run at a time: FOLDER.lock, and the work folder, marked as the kit's
own when it is made, held by the run that makes it, known again by the next
one whatever a stopped run left of it, and removed with its mark last.
"""
import fcntl
import os
import shutil
import stat
import subprocess
import sys
import time

from files import read_whole
from record import PREVIOUS, READY, named, read_record, sync_folder
from say import fail, step

LOCK_MARK = "make medium lock\n"
WORK_MARK = "make medium work folder\n"
MARK = "made-by"  # in the work folder
# All that the kit writes into a work folder, .part the records half written.
WORK_NAMES = {MARK, MARK + ".part", READY, READY + ".part", PREVIOUS, PREVIOUS + ".part", "medium", "medium.iso",
              "old.medium", "old.image"}


def holder(path):
    """Who holds the lock, as it wrote: read once the lock was refused, and
    only while that process still runs."""
    try:
        text = (read_whole(path) or b"").decode("utf-8", "replace")[len(LOCK_MARK):].strip()
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
        # Through no link, and without waiting on a FIFO: a lock is a file.
        try:
            fd = os.open(path, os.O_RDWR | os.O_CREAT | os.O_NOFOLLOW | os.O_NONBLOCK | os.O_CLOEXEC, 0o644)
        except OSError as e:
            fail("%s cannot be opened: %s" % (path, e.strerror))
        f = open(fd, "r+", encoding="utf-8", errors="replace")
        if not stat.S_ISREG(os.fstat(fd).st_mode):
            fail("%s is no file, so no lock of make medium: it is left as it is; choose another folder" % path)
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
    with named(path):
        f.seek(0)
        f.truncate()
        f.write(LOCK_MARK + "process %d, %s\n" % (os.getpid(), " ".join(sys.argv).encode(
            errors="surrogateescape").decode(errors="replace")))
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


def make_work(work, medium):
    """Makes the work folder with its mark, which names the medium and the
    run. The mark is written whole beside its name and then renamed: a full
    disk leaves a folder that holds nothing but the kit's own names."""
    with named(work):
        os.mkdir(work)
    mark = os.path.join(work, MARK)
    step("marking")
    with named(mark + ".part"):
        with open(mark + ".part", "w", encoding="utf-8", errors="surrogateescape") as f:
            f.write(WORK_MARK + "medium: %s\nrun: process %d, %s\n" % (medium, os.getpid(), time.ctime()))
            f.flush()
            os.fsync(f.fileno())
    with named(mark):
        os.rename(mark + ".part", mark)
    sync_folder(work)


def own_work(work, medium):
    """Whether work is a work folder that make medium made for medium: its
    mark says so. Where the mark is lost or empty (a run stopped while it
    wrote or removed it, a full disk), the folder is still the kit's if it
    holds nothing but what the kit writes there, a record of its own among
    it or only the mark's remains."""
    try:
        names = set(os.listdir(work))
    except OSError:
        return False
    text = read_whole(os.path.join(work, MARK))
    if text is None and MARK in names:
        return False  # no file that the kit wrote
    text = (text or b"").decode("utf-8", "surrogateescape")
    if text:
        return text.startswith(WORK_MARK + "medium: %s\n" % medium)
    if not names <= WORK_NAMES:
        return False
    records = [n for n in (READY, PREVIOUS) if n in names]
    return any(read_record(os.path.join(work, n)) for n in records) or names <= {MARK, MARK + ".part"}


def remove(path):
    """Removes what the kit made; an error names the whole path."""
    def whole(function, name, error):
        raise OSError(error[1].errno, error[1].strerror, name) from error[1]

    if os.path.isdir(path) and not os.path.islink(path):
        subprocess.run(["chmod", "-R", "u+w", path], stderr=subprocess.DEVNULL)  # what it cannot, rmtree names
        shutil.rmtree(path, onerror=whole)
    elif os.path.lexists(path):
        with named(path):
            os.remove(path)


def remove_work_folder(work):
    """Removes the work folder, its mark last: a run stopped meanwhile leaves
    a folder that the next one still knows for the kit's own."""
    for name in sorted(os.listdir(work), reverse=True):
        if name != MARK:
            remove(os.path.join(work, name))
            step("removing leftovers")
    remove(os.path.join(work, MARK))
    with named(work):
        os.rmdir(work)
