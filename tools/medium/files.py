"""Reading a file that anyone but this run may have put there: opened once,
never through a final link and never waiting on a FIFO, and judged by what
is open, not by a name looked at before: a regular file, not on a kernel
file system wherever that is mounted, read to the size it had when it was
opened.
"""
import ctypes
import errno
import os
import stat

# The kernel's own file systems, as fstatfs tells them: a file there is the
# machine's state (a process's environment, say), whatever its path.
KERNEL = {0x9FA0: "proc", 0x62656572: "sysfs", 0x64626720: "debugfs", 0x73636673: "securityfs",
          0x27E0EB: "cgroup", 0x63677270: "cgroup2", 0x74726163: "tracefs", 0x62656570: "configfs",
          0xDE5E81E4: "efivarfs", 0xCAFE4A11: "bpf", 0x1CD1: "devpts", 0x6165676C: "pstore"}
# devtmpfs is a tmpfs to fstatfs; its mount tells it apart.
TMPFS = 0x01021994

LIBC = ctypes.CDLL(None, use_errno=True)


class Statfs(ctypes.Structure):
    _fields_ = [("f_type", ctypes.c_long), ("rest", ctypes.c_byte * 256)]


class NotAFile(Exception):
    """What is open is not a file that the kit reads: the words follow its
    name."""


def mount_type(fd):
    """The type of the file system that the open file lies on, as its mount
    says (/proc/self/fdinfo, /proc/self/mountinfo), or None."""
    try:
        with open("/proc/self/fdinfo/%d" % fd) as f:
            mount = next(line.split()[1] for line in f if line.startswith("mnt_id:"))
        with open("/proc/self/mountinfo") as f:
            for line in f:
                fields = line.split()
                if fields[0] == mount:
                    return fields[fields.index("-") + 1]
    except (OSError, StopIteration, ValueError, IndexError):
        pass
    return None


def kernel_file_system(fd):
    """The name of the kernel file system that the open file lies on, or None."""
    found = Statfs()
    if LIBC.fstatfs(fd, ctypes.byref(found)):
        number = ctypes.get_errno()
        raise OSError(number, os.strerror(number))
    kind = found.f_type & 0xFFFFFFFF
    if kind in KERNEL:
        return KERNEL[kind]
    if kind == TMPFS and mount_type(fd) == "devtmpfs":
        return "devtmpfs"
    return None


def kind_of(mode):
    return ("a folder" if stat.S_ISDIR(mode) else "a FIFO" if stat.S_ISFIFO(mode) else "a device"
            if stat.S_ISCHR(mode) or stat.S_ISBLK(mode) else "a socket" if stat.S_ISSOCK(mode) else "no file")


def open_file(path, follow=False, block_device=False):
    """(descriptor, its stat) of path, opened for reading without waiting
    on a FIFO; through a final link only where follow. Raises NotAFile where
    it is a link, anything but a regular file (a block device may be, where
    block_device), or a file on a kernel file system; OSError else."""
    flags = os.O_RDONLY | os.O_NONBLOCK | os.O_CLOEXEC | (0 if follow else os.O_NOFOLLOW)
    try:
        fd = os.open(path, flags)
    except OSError as e:
        if e.errno == errno.ELOOP and not follow:
            raise NotAFile("is a link")
        raise OSError(e.errno, e.strerror, path) from e
    try:
        seen = os.fstat(fd)
        if stat.S_ISBLK(seen.st_mode) and block_device:
            return fd, seen
        if not stat.S_ISREG(seen.st_mode):
            raise NotAFile("is %s" % kind_of(seen.st_mode))
        kernel = kernel_file_system(fd)
        if kernel:
            raise NotAFile("lies on the kernel's file system %s" % kernel)
        return fd, seen
    except BaseException:
        os.close(fd)
        raise


def changed_size(read, size):
    """"grew" or "shrank", where read bytes are not the size it had; else None."""
    return None if read == size else "grew" if read > size else "shrank"


def blocks(fd, size, block=1 << 20):
    """The open file's bytes, a block at a time from where it stands; raises
    NotAFile ("grew" or "shrank") where they are not size bytes."""
    read = 0
    while True:
        data = os.read(fd, block)
        if not data:
            break
        read += len(data)
        if read > size:
            break
        yield data
    change = changed_size(read, size)
    if change:
        raise NotAFile(change)


def read_whole(path, limit=1 << 20):
    """The bytes of a small file that the kit wrote (a record, a mark), or
    None where it is missing, no regular file or larger than limit."""
    try:
        fd, seen = open_file(path)
    except (NotAFile, OSError):
        return None
    try:
        if seen.st_size > limit:
            return None
        return b"".join(blocks(fd, seen.st_size))
    except (NotAFile, OSError):
        return None
    finally:
        os.close(fd)
