"""The image: made by xorriso, and checked as Windows reads it (its Joliet
tree against its SHA256SUMS), as is a folder that holds a medium.
"""
import hashlib
import os
import re
import shlex
import subprocess
import sys

import beside
from files import NotAFile, blocks, open_file
from names import SUMS, TOOL, unholdable, windows_upper
from say import fail, one_line, progress, tell

XORRISO_ENV = dict(os.environ, LC_ALL="C.UTF-8")


def make_image(folder, image, label):
    """Level 3 for files of 4 GiB or more; Joliet for Windows; Rock Ridge
    with plain owners and modes for everyone else."""
    progress.start("making the image")
    done = subprocess.run(["xorriso", "-as", "mkisofs", "-quiet", "-input-charset", "UTF-8", "-iso-level", "3",
                           "-J", "-r", "-V", label, "-o", image, folder],
                          env=XORRISO_ENV, capture_output=True, text=True)
    progress.end()
    if done.returncode:
        fail("xorriso could not make the image %s; the last medium and image are left as they were. xorriso "
             "said last: %s" % (image, last_line(done.stderr)))


def last_line(text):
    lines = [line.strip() for line in text.splitlines() if line.strip()]
    return lines[-1] if lines else "nothing"


def check(image, keep, seen=None, kept=None):
    """Returns the list of what is wrong with image, as Windows would read it;
    keeps its tree in keep, a new folder, when asked. A folder is checked as
    the tree it holds. seen, where given, gets the sum of its SHA256SUMS
    ("sums") and of the whole image ("image"), which then comes from the same
    one read as every file's; kept, the bytes of setup.exe as they were
    checked."""
    if not os.path.exists(image):
        return ["no %s" % image]
    if os.path.isdir(image):
        return check_folder(image, kept)
    if keep and os.path.lexists(keep):
        return ["%s exists: the tree goes to a new folder" % keep]
    # norock: the Joliet names, else the plain ISO 9660 ones, as Windows;
    # where each file's data lies, so that the image is read once. A disc or
    # another block device is read as a file of blocks (stdio:).
    # The image as opened here is what xorriso reads too (/dev/fd), and no
    # other that its name may lead to meanwhile.
    try:
        fd, _ = open_file(image, follow=True, block_device=True)
    except NotAFile as e:
        return ["%s %s: make check-medium reads an image or a disc" % (image, e)]
    with open(fd, "rb") as f:
        argv = ["xorriso", "-abort_on", "FAILURE", "-read_fs", "norock", "-indev", "stdio:/dev/fd/%d" % fd, "-toc",
                "-find", "/", "-type", "f", "-exec", "report_lba", "--", "-find", "/", "-type", "d", "--"]
        done = subprocess.run(argv + (["-osirrox", "on", "-extract", "/", keep] if keep else []), pass_fds=(fd,),
                              env=XORRISO_ENV, capture_output=True, text=True, errors="surrogateescape")
        if done.returncode:
            return ["xorriso cannot read %s: %s" % (image, last_line(done.stderr))]
        extents, folders = extents_of(done.stdout)
        joliet = "ISO loaded   : Joliet" in done.stdout + done.stderr
        problems = [] if joliet else ["no Joliet tree: Windows shows the plain ISO 9660 names"]
        problems += cut_short(f)
        sums = None
        if seen is not None:
            sums, seen["image"] = one_pass(f, extents)
        return problems + compare(extents, folders, lambda path: read_extents(f, extents[path]), sums, seen, kept)


def extents_of(toc):
    """Where each file's data lies, as (block, bytes) of each extent, and the
    folders, from xorriso's report. A file of 4 GiB or more has several
    extents, each reported with the whole file's size: all but the last are
    full blocks."""
    parts, folders = {}, set()
    # Lines end in line feeds alone: a name may hold U+2028, U+2029 or U+0085.
    for line in toc.split("\n"):
        if line.startswith("File data lba:"):
            fields = line[len("File data lba:"):].split(",", 4)
            number, block, blocks, size = (int(f) for f in fields[:4])
            parts.setdefault(shlex.split(fields[4])[0].lstrip("/"), []).append((number, block, blocks, size))
        elif line.startswith("'/") and line.endswith("'"):
            folders.add(shlex.split(line)[0].strip("/"))
    folders.discard("")
    extents = {}
    for path, pieces in parts.items():
        left = pieces[0][3]
        for _, block, blocks, _ in sorted(pieces):
            extents.setdefault(path, []).append((block, min(blocks * 2048, left)))
            left -= extents[path][-1][1]
    return extents, folders


def length_of(f):
    """The length of an image, or of a disc or another block device, whose
    own size is 0."""
    at = f.tell()
    length = f.seek(0, os.SEEK_END)
    f.seek(at)
    return length


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
    progress.start("reading the image", size=length_of(image))
    for chunk in iter(lambda: image.read(1 << 20), b""):
        hashed = beside.update(whole, chunk)
        start, at = at, at + len(chunk)
        k = next_piece
        while hashers and k < len(pieces) and pieces[k][0] < at:
            offset, size, path = pieces[k]
            hashers[path].update(chunk[max(offset, start) - start:min(offset + size, at) - start])
            if offset + size <= at:
                next_piece = k + 1
            k += 1
        hashed.result()
        progress.add(len(chunk))
    progress.end()
    return {path: h.hexdigest() for path, h in hashers.items()} or None, whole.hexdigest()


def cut_short(image):
    """An image shorter than its volume says: its end is missing."""
    image.seek(16 * 2048 + 80)
    field = image.read(8)
    blocks = int.from_bytes(field[:4], "little") if len(field) == 8 else 0
    size = length_of(image)
    return ["the image is cut short: %d bytes, where its volume says %d" % (size, blocks * 2048)] \
        if size < blocks * 2048 else []


def check_folder(folder, kept=None):
    """A medium's folder, as its image would be checked: its regular files,
    each read by what is open; no disc holds a link, a FIFO or a device."""
    files, folders, problems = {}, set(), []
    for d, dirs, names in os.walk(folder):
        for name in dirs:
            folders.add(os.path.relpath(os.path.join(d, name), folder).replace(os.sep, "/"))
        for name in names:
            files[os.path.relpath(os.path.join(d, name), folder).replace(os.sep, "/")] = os.path.join(d, name)

    def read(path):
        try:
            fd, seen = open_file(files[path])
        except NotAFile as e:
            problems.append("%s %s, which no disc holds" % (path, e))
            return
        try:
            yield from blocks(fd, seen.st_size)
        except NotAFile as e:
            problems.append("%s %s while it was read" % (path, e))
        finally:
            os.close(fd)

    return compare(files, folders, read, kept=kept) + problems


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


def compare(found, folders, read, sums=None, seen=None, kept=None):
    """What is wrong with a tree of the files found (read(path) gives each
    one's data, unless sums has its sum already) and folders, against its
    SHA256SUMS, whose sum goes to seen; setup.exe's bytes, as read, to kept."""
    if SUMS not in found:
        return ["no %s in the image; Windows shows: %s" % (SUMS, ", ".join(sorted(found)[:8]))]
    problems = []
    listed = {}
    listing = b"".join(read(SUMS))
    if seen is not None:
        seen["sums"] = hashlib.sha256(listing).hexdigest()
    lines = listing.decode("utf-8", "replace").split("\n")
    # As sha256sum -c reads it: lines end in line feeds alone.
    for number, line in enumerate(lines[:-1] if lines[-1] == "" else lines, 1):
        match = SUM_LINE.match(line)
        if not match:
            problems.append("%s line %d is not a sum and a name: %r" % (SUMS, number, line[:80]))
            continue
        if match.group(2) in listed:
            problems.append("%s lists %s twice (line %d), which sha256sum -c fails" % (SUMS, match.group(2), number))
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
                if kept is not None and path == "setup.exe":
                    kept[path] = kept.get(path, b"") + data
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


def report(image, problems, warning=None):
    for p in problems:
        print("FAIL " + one_line(p))
    if problems:
        return 1
    tell("ok   %s: setup.exe, autorun.inf, .setup_args if any and the tool lie where setup.exe looks, "
          "with the bytes of %s" % (image, SUMS))
    if warning:
        print("medium: warning: " + one_line(warning), file=sys.stderr)
    return 0
