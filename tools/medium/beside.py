"""A second thread that copies or hashes while the first reads and hashes:
hashlib and the kernel's copy let go of Python's lock, so the two overlap on
two cores.
"""
import errno
import os
import signal
from concurrent.futures import ThreadPoolExecutor

# Signals go to the first thread alone, which holds them while it replaces a
# medium.
_thread = ThreadPoolExecutor(1, initializer=signal.pthread_sigmask,
                             initargs=(signal.SIG_BLOCK, {signal.SIGINT, signal.SIGTERM, signal.SIGHUP}))
# Where the kernel cannot copy between these two files.
_NO_KERNEL_COPY = {errno.EXDEV, errno.ENOSYS, errno.EINVAL, errno.EOPNOTSUPP}


def update(hasher, data):
    """Starts hasher.update(data) in the second thread; result() waits."""
    return _thread.submit(hasher.update, data)


def copy(source, target):
    """Starts copying the file open as source into the one open as target
    (descriptors) in the second thread; result() waits and gives the number
    of bytes copied, or raises."""
    return _thread.submit(_copy, source, target)


def _copy(source, target):
    at = 0
    try:
        while True:
            done = os.copy_file_range(source, target, 1 << 24, at, at)
            if not done:
                return at
            at += done
    except OSError as e:
        if e.errno not in _NO_KERNEL_COPY:
            raise
    while True:
        block = os.pread(source, 1 << 20, at)
        if not block:
            return at
        while block:
            done = os.pwrite(target, block, at)
            at += done
            block = block[done:]
