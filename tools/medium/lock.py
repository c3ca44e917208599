"""One run at a time: FOLDER.lock, and the work folder, marked as the kit's
own when it is made and held by the run that makes it.
"""
import fcntl
import os
import sys
import time

from say import fail

LOCK_MARK = "make medium lock\n"
WORK_MARK = "make medium work folder\n"
MARK = "made-by"  # in the work folder


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
    run: only a folder with it is ever taken for the kit's own."""
    os.mkdir(work)
    with open(os.path.join(work, MARK), "w", encoding="utf-8", errors="surrogateescape") as f:
        f.write(WORK_MARK + "medium: %s\nrun: process %d, %s\n" % (medium, os.getpid(), time.ctime()))
        f.flush()
        os.fsync(f.fileno())


def own_work(work, medium):
    """Whether work is a work folder that make medium made for medium."""
    try:
        with open(os.path.join(work, MARK), encoding="utf-8", errors="surrogateescape") as f:
            text = f.read()
    except OSError:
        return False
    return text.startswith(WORK_MARK + "medium: %s\n" % medium)
