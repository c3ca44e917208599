"""The replacement in steps: the new medium made and checked beside the old,
moved in with signals held, the old removed; and what an interrupted run
left, finished or undone.
"""
import hashlib
import os
import shutil
import signal
import subprocess

from image import check, make_image, report
from lock import hold_work
from names import SUMS
from record import (MADE_BY, READY, changes, entries, identity, read_record, same_image, sync_file_system,
                    write_record)
from say import fail, progress, step

# While a run moves the old medium aside and the new one in, these wait.
STOPPING = {signal.SIGINT, signal.SIGTERM, signal.SIGHUP}


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


def remove(path):
    if os.path.isdir(path) and not os.path.islink(path):
        subprocess.run(["chmod", "-R", "u+w", path])
        shutil.rmtree(path)
    elif os.path.lexists(path):
        os.remove(path)
