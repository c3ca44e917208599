"""The replacement in steps: the new medium made and checked beside the old,
moved in with signals held, the old removed; and what an interrupted run
left, finished or undone.
"""
import errno
import hashlib
import os
import signal
import stat

import beside
from files import NotAFile, blocks, changed_size, open_file
from image import check, make_image, report
from lock import MARK, hold_work, own_work, remove, remove_work_folder
from names import SUMS
from record import (MADE_BY, PREVIOUS, READY, changes, checked_by_content, entries, identity, named, read_record,
                    same_file, same_image, sync_file_system, sync_folder, write_record)
from say import fail, progress, step, tell

# While a run moves the old medium aside and the new one in, these wait.
STOPPING = {signal.SIGINT, signal.SIGTERM, signal.SIGHUP}


def medium_as_recorded(medium, record, by_content=False):
    """Whether medium is absent, or the folder that record describes."""
    return not os.path.lexists(medium) or (os.path.isdir(medium) and not os.path.islink(medium) and
                                           not changes(medium, record.get("medium", {}), by_content))


def image_as_recorded(image, record, by_content=False):
    """Whether image is absent, or the file that record describes."""
    return not os.path.lexists(image) or (record.get("image") is not None and os.path.isfile(image) and
                                          not os.path.islink(image) and
                                          same_image(image, record["image"], by_content))


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
        tell("medium: %s and %s are as an interrupted run left them, whose work folder was removed since; "
              "their record says so now" % (medium, image))
    return made


def opened(source):
    """The file that the plan saw, opened once (files.open_file): not
    through a link where the plan found none (nor a link put at a followed
    link's target since), without waiting on a FIFO, and on no kernel file
    system; refused, naming it, where what is open is not the regular file
    of the plan's device, inode and size. The copy and the sum come from
    this descriptor."""
    through = ", to which the link %s leads" % source.name if source.followed else ""
    stays = ": nothing is copied from it, the last good medium stays"
    try:
        fd, seen = open_file(source.path)
    except NotAFile as e:
        if str(e) == "is a link":
            fail("%s became a link after this run looked at it%s%s; run make medium again" % (
                source.path, through, stays))
        if "kernel" in str(e):
            fail("%s%s %s: make medium copies files, not the kernel's state%s" % (source.path, through, e, stays))
        fail("%s is not the file that this run looked at (it was replaced by something that %s since)%s%s; "
             "run make medium again" % (source.path, e, through, stays))
    if (seen.st_dev, seen.st_ino) != (source.device, source.inode):
        os.close(fd)
        fail("%s is not the file that this run looked at (it was replaced since)%s%s; run make medium again" % (
            source.path, through, stays))
    change = changed_size(seen.st_size, source.size)
    if change:
        os.close(fd)
        fail("%s %s since this run looked at it%s%s; run make medium again once it is done" % (
            source.path, change, through, stays))
    return fd, seen


def lay_out(folder, files):
    """Copies each file and takes its sum. Returns the sums by name, and
    each source's identity as it was opened: the copy and the sum are of one
    content only where it is the same at the end."""
    sums, read = {}, {}
    progress.start("copying", len(files), sum(len(source) if isinstance(source, bytes) else source.size
                                              for _, source in files))
    for path, source in files:
        target = os.path.join(folder, *path.split("/"))
        h = hashlib.sha256()
        try:
            os.makedirs(os.path.dirname(target), exist_ok=True)
            with open(target, "wb") as out:
                if isinstance(source, bytes):
                    out.write(source)
                    h.update(source)
                    progress.add(len(source))
                else:
                    # The kernel copies while this thread hashes; a source
                    # that changes meanwhile fails the run (below).
                    fd, seen = opened(source)
                    step("opened")
                    with open(fd, "rb") as f:
                        read[source] = seen_as(seen)
                        copied = beside.copy(f.fileno(), out.fileno())
                        try:
                            for block in blocks(f.fileno(), source.size):
                                h.update(block)
                                progress.add(len(block))
                            change = None
                        except NotAFile as e:
                            change = str(e)
                        change = change or changed_size(copied.result(), source.size)
                        if change:
                            fail("%s %s while this run copied it: the new medium is discarded, the last good one "
                                 "kept; run make medium again once it is done" % (source.name, change))
        except OSError as e:
            raise OSError(e.errno, e.strerror, e.filename or target) from e
        sums[path] = h.hexdigest()
        progress.file(path)
        step("making")
    listing = "".join("%s  %s\n" % (sums[path], path) for path in sorted(sums)).encode("utf-8", "surrogateescape")
    with named(os.path.join(folder, SUMS)):
        with open(os.path.join(folder, SUMS), "wb") as f:
            f.write(listing)
    sums[SUMS] = hashlib.sha256(listing).hexdigest()
    progress.end()
    return sums, read


def seen_as(s):
    """What a change to a file changes: its inode, size and times."""
    return s.st_dev, s.st_ino, s.st_size, s.st_mtime_ns, s.st_ctime_ns


def refuse_changed_sources(read, new):
    """A source changed while it was copied, or since, or its name leads to
    another file now: the new medium would not be what was read, so it is
    not used."""
    for source, then in read.items():
        try:
            now = seen_as(os.stat(source.path) if source.followed else os.lstat(source.path))
        except OSError:
            now = None
        if now != then:
            fail("%s changed while this run copied it: the new medium is discarded, the last good one kept; "
                 "run make medium again once it is done" % source.name)


def make_new(work, files, label):
    """The new medium and image in work, checked and on the disk; returns
    their record, for READY."""
    new, new_image = os.path.join(work, "medium"), os.path.join(work, "medium.iso")
    sums, read = lay_out(new, files)
    step("copied")
    make_image(new, new_image, label)
    # What xorriso left out or changed without a word shows here.
    seen = {}
    problems = check(new_image, None, seen)
    if problems:
        report(new_image, problems)
        fail("the image is not what Windows must see; the last medium and image are left as they were")
    record = {"made by": MADE_BY, "medium": entries(new, sums), "image": identity(new_image) + [seen["image"]]}
    sync_file_system(work)
    refuse_changed_sources(read, new)
    return record


def hold_signals():
    """INT, TERM and HUP wait until release_signals: from READY on, a run
    finishes the replacement, the old one removed, before it takes one."""
    return signal.pthread_sigmask(signal.SIG_BLOCK, STOPPING)


def release_signals(held):
    signal.pthread_sigmask(signal.SIG_SETMASK, held)


def discard(work, why):
    remove_work_folder(work)
    fail(why)


EMPTY = {"made by": MADE_BY, "medium": {}, "image": None}


def keep_previous(work, marker):
    write_record(os.path.join(work, PREVIOUS), read_record(marker) or EMPTY)
def image_aside_as_recorded(image, record):
    """Whether an image moved aside is still the one that record describes:
    by its sum, as the rename changed its change time. Its identity as it
    was read, which the last look before its removal compares; True where
    there is none."""
    if not os.path.lexists(image):
        return True
    return bool(record.get("image")) and os.path.isfile(image) and not os.path.islink(image) and \
        checked_by_content(image, record["image"])


# Each kind of output: its new one and its old one in work, how the old one
# is compared with its record in place, and once moved aside. Renaming the
# folder leaves its files as they were; renaming the image changes its
# change time, so it is looked at before too.
KINDS = (("medium", "medium", "old.medium", None, medium_as_recorded),
         ("image", "medium.iso", "old.image", image_as_recorded, image_aside_as_recorded))


def places(medium, image):
    return {"medium": medium, "image": image}


def put_back(work, medium, image, marker, made):
    """Undoes a replacement half done: whatever new one was moved in goes
    back into work, the old one in its place, so that the medium and the
    image are again a pair of one run; and the record says so."""
    for kind, new, old, _, _ in KINDS:
        place, new, old = places(medium, image)[kind], os.path.join(work, new), os.path.join(work, old)
        if not os.path.lexists(new) and os.path.lexists(place):
            os.rename(place, new)
        if os.path.lexists(old):
            os.rename(old, place)
    write_record(marker, made)


def commit(work, medium, image, marker, ready):
    """With signals held: FOLDER.made names both mediums; each old one is
    moved aside, then compared with its record, so that an edit made up to
    that moment is seen: where one changed, the old ones go back, untouched,
    and the new are discarded; else
    the new one is moved in. At last the record names the new alone. Each
    step is done once, so that a run after an interruption finishes what is
    left."""
    made = read_record(os.path.join(work, PREVIOUS)) or EMPTY
    write_record(marker, dict(made, next=ready))
    looked = {}
    for kind, new, old, in_place, aside in KINDS:
        place, new, old = places(medium, image)[kind], os.path.join(work, new), os.path.join(work, old)
        if not os.path.lexists(new):
            continue
        unchanged = not in_place or in_place(place, made)
        if unchanged and os.path.lexists(place):
            os.rename(place, old)
            step(kind + " aside")
        looked[kind] = unchanged and aside(old, made)
        if not looked[kind]:
            what = changes(old, made["medium"]) if kind == "medium" else "its bytes"
            put_back(work, medium, image, marker, made)
            discard(work, "%s was changed while this run made the new medium (%s): the new one is discarded and "
                          "%s and %s are left as they are" % (place, what, medium, image))
        step("looked again")
        os.rename(new, place)
        step(kind + " in")
    # The image's identity changed as it was moved in; its bytes did not.
    write_record(marker, {"made by": MADE_BY, "medium": ready["medium"],
                          "image": identity(image) + ready["image"][4:]})
    step("recorded")
    return looked


def kept_beside(place, kind):
    """A free name beside place for an old one that changed during the run."""
    for n in range(1, 1000):
        suffix = ".changed" + ("" if n == 1 else "-%d" % n)
        name = place[:-len(".iso")] + suffix + ".iso" if kind == "image" else place + suffix
        if not os.path.lexists(name):
            return name
    fail("no free name beside %s to keep it" % place)


def remove_as_recorded(folder, recorded):
    """Removes an old medium moved aside, each file compared with its record
    immediately before it goes. A file changed or added, or a folder that
    gains one meanwhile, stops it there: returns that name, the rest left in
    place; None once all is gone."""
    for d, dirs, _ in os.walk(folder):
        # Writable, so that what they hold can go; a folder's own times are
        # not recorded.
        mode = os.lstat(d).st_mode
        if not mode & stat.S_IWUSR:
            with named(d):
                os.chmod(d, stat.S_IMODE(mode) | stat.S_IRWXU)
    for d, dirs, names in os.walk(folder, topdown=False):
        for name in names:
            path = os.path.join(d, name)
            here = os.path.relpath(path, folder).replace(os.sep, "/")
            kept = recorded.get(here)
            if not isinstance(kept, list) or stat.S_ISLNK(os.lstat(path).st_mode) or not same_file(path, kept):
                return here
            with named(path):
                os.remove(path)
            step("removing the old medium")
        here = os.path.relpath(d, folder).replace(os.sep, "/")
        try:
            os.rmdir(d)
        except OSError as e:
            if e.errno != errno.ENOTEMPTY:
                raise OSError(e.errno, e.strerror, d) from e
            return here if here != "." else sorted(os.listdir(d))[0]
    return None


def remove_work(work, medium, image, looked=None):
    """The old medium and image, each compared with its record once more,
    and each of the old medium's files again immediately before it goes;
    the image with what it was when its bytes were last read (looked, this
    run's; else they are read again). One edited meanwhile (through a shell
    whose current folder is inside it, or a file held open) is kept beside
    the new one, what is left of it, named, and the run ends non-zero. Then
    the rest, READY and the mark last: a work folder without READY holds
    nothing that anyone needs."""
    step("removing the old")
    previous = read_record(os.path.join(work, PREVIOUS))
    kept = []
    for kind, _, old, _, as_recorded in KINDS:
        old, place = os.path.join(work, old), places(medium, image)[kind]
        if not previous or not os.path.lexists(old):
            continue
        if kind == "medium":
            # A file gone is one that a removal, this run's or a stopped one's, took.
            what = changes(old, previous["medium"], gone_ok=True) or remove_as_recorded(old, previous["medium"])
        else:
            seen = (looked or {}).get(kind)
            seen = seen if isinstance(seen, list) else as_recorded(old, previous)
            what = "its bytes" if not isinstance(seen, list) or identity(old) != seen else None
            if not what:
                with named(old):
                    os.remove(old)
        if what:
            name = kept_beside(place, kind)
            with named(old):
                os.rename(old, name)
            kept.append("%s (%s) as %s" % (place, what, name))
    if previous is not None:
        with named(os.path.join(work, PREVIOUS)):
            os.remove(os.path.join(work, PREVIOUS))
        sync_folder(work)
    for name in os.listdir(work):
        if name not in (READY, MARK):
            remove(os.path.join(work, name))
    for name in (READY, MARK):
        remove(os.path.join(work, name))
    with named(work):
        os.rmdir(work)
    if kept:
        fail("the old %s changed while this run replaced it: what is left of it is kept beside the new one, "
             "which is in place; look at it, and remove it yourself" % " and ".join(kept))


def recover(work, medium, image, marker):
    """Finishes or undoes what an interrupted run left in work, and says so.
    A folder of that name without the kit's mark is not touched."""
    if not os.path.lexists(work):
        return
    if not own_work(work, medium):
        if os.path.isdir(work) and not os.path.islink(work) and not os.listdir(work):
            os.rmdir(work)  # holds nothing: a run stopped as it made it
        else:
            fail("%s is not a work folder that make medium made for %s (it has no mark of it): it is left as it "
                 "is; move it away yourself" % (work, medium))
    if not os.path.lexists(work):
        return
    hold_work(work, medium)
    held = hold_signals()
    ready = read_record(os.path.join(work, READY))
    if not ready:
        remove_work_folder(work)
        release_signals(held)
        tell("medium: removed %s, which an interrupted run left unfinished; %s was not touched"
              % (work, medium))
        return
    made = read_record(os.path.join(work, PREVIOUS))
    # A disk may lose data that its metadata still claims: nothing is taken
    # for the new one whose bytes are not those READY records.
    new, new_image = os.path.join(work, "medium"), os.path.join(work, "medium.iso")
    broken = [p for p, ok in ((new, medium_as_recorded(new, ready, True)),
                              (new_image, image_as_recorded(new_image, ready, True)),
                              (medium, os.path.lexists(new) or medium_as_recorded(medium, ready, True)),
                              (image, os.path.lexists(new_image) or image_as_recorded(image, ready, True)))
              if not ok]
    if broken:
        put_back(work, medium, image, marker, made or read_record(marker) or EMPTY)
        undone = "%s and %s are the last good ones again" % (medium, image) if os.path.lexists(medium) else \
            "no medium is left of it"
        discard(work, "an interrupted run left %s, which is not what it recorded: the new medium is discarded, "
                      "and %s; run make medium again" % (" and ".join(broken), undone))
    looked = commit(work, medium, image, marker, ready)
    remove_work(work, medium, image, looked)
    release_signals(held)
    tell("medium: finished replacing %s and %s, which an interrupted run left half done" % (medium, image))
