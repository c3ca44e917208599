"""FOLDER.made and READY: the record of a medium and its image (each name;
each file's identity and sum), compared, read and written durably.
"""
import contextlib
import ctypes
import errno
import hashlib
import json
import os
import stat

from files import NotAFile, blocks, open_file, read_whole
from image import check
from say import progress, step

MADE_BY = "make medium"
READY = "ready"  # in the work folder: the record of a new medium that is whole
# In the work folder, from READY on until the old medium is removed: the
# record of the old medium and image, which they are compared with.
PREVIOUS = "previous"


@contextlib.contextmanager
def named(path):
    """An OS error inside names path, where the call did not: a write or a
    sync that fails for a full disk says which file."""
    try:
        yield
    except OSError as e:
        if e.filename:
            raise
        raise OSError(e.errno, e.strerror, path) from e


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


def changes(folder, recorded, by_content=False, gone_ok=False):
    """How folder differs from the record of it: a few names, or none; a name
    gone counts not where gone_ok (what a removal already took)."""
    now = {}
    for d, dirs, names in os.walk(folder):
        for name in dirs + names:
            mode = os.lstat(os.path.join(d, name)).st_mode
            now[os.path.relpath(os.path.join(d, name), folder).replace(os.sep, "/")] = (
                "link" if stat.S_ISLNK(mode) else "folder" if stat.S_ISDIR(mode) else "file"
                if stat.S_ISREG(mode) else "no file")  # a FIFO or a device: never opened
    differ = sorted(set(now) - set(recorded) if gone_ok else set(now) ^ set(recorded))
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
        record = json.loads(read_whole(path, 1 << 30) or b"")
    except ValueError:
        return None
    ok = isinstance(record, dict) and record.get("made by") == MADE_BY and isinstance(record.get("medium"), dict)
    return record if ok else None


def sync_folder(folder):
    with named(folder):
        fd = os.open(folder, os.O_RDONLY)
        try:
            os.fsync(fd)
        finally:
            os.close(fd)


def write_new(path, data):
    """data into path, durably; through no link, and over nothing but a
    regular file (what an interrupted run left)."""
    with named(path):
        fd = os.open(path, os.O_WRONLY | os.O_CREAT | os.O_TRUNC | os.O_NOFOLLOW | os.O_NONBLOCK | os.O_CLOEXEC,
                     0o644)
        with open(fd, "wb") as f:
            if not stat.S_ISREG(os.fstat(fd).st_mode):
                raise OSError(errno.EEXIST, "is no file that make medium wrote")
            f.write(data)
            f.flush()
            os.fsync(fd)


def write_record(path, record):
    """Written whole, or not at all; on the disk when this returns."""
    part = path + ".part"
    write_new(part, json.dumps(record).encode())
    with named(part):
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


def digest(path):
    """The sum of the regular file at path, by what is open; None where it
    is none, or changed size as it was read."""
    h = hashlib.sha256()
    try:
        fd, seen = open_file(path)
    except NotAFile:
        return None
    try:
        for block in blocks(fd, seen.st_size):
            h.update(block)
    except NotAFile:
        return None
    finally:
        os.close(fd)
    return h.hexdigest()


def checked_by_content(path, recorded):
    """Whether path holds the bytes that recorded says, by their sum; and, if
    so, its identity as it stood through the whole read, which a later
    write would change (its change time moves on), else None."""
    try:
        fd, seen = open_file(path)
    except NotAFile:
        return None
    try:
        before = [seen.st_ino, seen.st_size, seen.st_mtime_ns, seen.st_ctime_ns]
        progress.start("comparing %s with its record" % path, size=before[1])
        h = hashlib.sha256()
        for block in blocks(fd, seen.st_size):
            h.update(block)
            progress.add(len(block))
        progress.end()
        after = os.fstat(fd)
    except NotAFile:
        return None
    finally:
        os.close(fd)
    same = len(recorded) > 4 and before[1] == recorded[1] and h.hexdigest() == recorded[4]
    unchanged = [after.st_ino, after.st_size, after.st_mtime_ns, after.st_ctime_ns] == before == identity(path)
    return before if same and unchanged else None
