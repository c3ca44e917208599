"""The replacement in steps: each interruption (a signal, KILL), an edit
before, during or after it, a full disk, a mount point and a protected
folder leave a state that the next run finishes or undoes, and nothing of
the author's is lost.
"""
import hashlib
import json
import os
import re
import shutil

from common import BUILD, SETUP, args_of, expect, finished, one_line, rewrite, replaced, run, snapshot, stopped_at
from medium_record import rewrite_in_time, swap as made_anew


def digest(path):
    with open(path, "rb") as f:
        return hashlib.sha256(f.read()).hexdigest()


def rewrite_json(path, change):
    """Changes a record as a disk that lost data would show it: its bytes,
    not its metadata, which the record of it does not hold."""
    with open(path) as f:
        record = json.load(f)
    change(record)
    with open(path, "w") as f:
        json.dump(record, f)


def interruptions(m):
    """Each step stopped by a signal or KILL; the next run goes on."""
    work, script, good, again = m.work, m.script, m.good, m.again
    # Each interruption of a run that replaces a medium: a signal, or the
    # machine's end (KILL). The next run finds a whole medium, says what it
    # finished or undid, and goes on.
    for signal_name, at in (("TERM", "making"), ("INT", "making"), ("KILL", "ready"), ("KILL", "medium aside"),
                            ("TERM", "medium aside"),
                            ("KILL", "medium in"),
                            ("KILL", "image aside"), ("KILL", "image in"), ("KILL", "recorded"),
                            ("TERM", "removing the old")):
        folder = os.path.join(work, "interrupted")
        run(["rm", "-rf", folder, folder + ".iso", folder + ".made", os.path.join(work, ".interrupted.work")])
        run(script + ["make", folder], env=good)
        before = snapshot(folder)
        stopped = run(script + ["make", folder], env=dict(again, KIT_TEST_SIGNAL=signal_name + ":" + at))
        # A signal waits while the new medium is moved in.
        kept = snapshot(folder) == before if at == "making" else signal_name == "KILL" or os.path.isdir(folder)
        done = run(script + ["make", folder], env=again)
        with open(os.path.join(folder, ".setup_args"), "rb") as f:
            args = f.read()
        expect("%s at the step %r: %s, and the next make medium makes the new medium" % (
                   signal_name, at, "the last good one kept" if at == "making" else "the replacement finished"
                   if signal_name == "KILL" else "the run finishes the replacement before it stops"),
               stopped.returncode != 0 and kept and done.returncode == 0 and args == b"--again" and
               (at == "making" or signal_name != "KILL" or "interrupted run" in done.stdout) and
               "Traceback" not in stopped.stderr,
               stopped.stderr[-300:] + done.stderr[-300:])

    # A work folder loses its mark last: whatever a run stopped while it
    # removed one left, the next run knows for the kit's own.
    folder = os.path.join(work, "interrupted")
    for what, first, second in (
            ("KILL while the next run removes what a stopped run left", "KILL:synced", "KILL:removing leftovers"),
            ("Ctrl-C, and again while the run removes its work folder", "INT:making,INT:removing leftovers", None)):
        run(["rm", "-rf", folder, folder + ".iso", folder + ".made", os.path.join(work, ".interrupted.work")])
        run(script + ["make", folder], env=good)
        stopped = run(script + ["make", folder], env=dict(again, KIT_TEST_SIGNAL=first))
        if second:
            stopped = run(script + ["make", folder], env=dict(again, KIT_TEST_SIGNAL=second))
        done = run(script + ["make", folder], env=again)
        expect("%s: the next run takes the work folder for its own and ends ok" % what,
               stopped.returncode != 0 and done.returncode == 0 and args_of(folder) == b"--again" and
               "\nok   " in done.stdout, stopped.stderr[-300:] + done.stderr[-300:])


def edits_and_steps(m):
    """Edits made while a run replaces the medium are kept; the steps come in
    their order."""
    work, good, again = m.work, m.good, m.again
    folder, make, fresh = replaced(m)
    trace = os.path.join(work, "trace")

    def edit_old():
        with open(os.path.join(folder, "NOTES.txt"), "w") as f:
            f.write("mine\n")
        rewrite(os.path.join(folder, "autorun.inf"))

    def edits_kept(noted=True):
        return os.path.exists(os.path.join(folder, "NOTES.txt")) == noted and args_of(folder) == b'--from-medium "a b"'

    aside = os.path.join(work, ".replaced.work", "old.medium")
    image_aside = os.path.join(work, ".replaced.work", "old.image")
    seen = {}

    def rewrite_image_aside():
        rewrite_in_time(image_aside)
        seen["image"] = digest(image_aside)

    def note_in_aside():
        # As through a shell whose current folder is inside the medium.
        with open(os.path.join(aside, "NOTES.txt"), "w") as f:
            f.write("mine\n")

    # An edit made at any moment of a run is never lost.
    for what, at, edit, kept, *first in (
            ("during a run", "synced", edit_old, edits_kept),
            ("of the image during a run", "synced", lambda: rewrite(folder + ".iso"),
             lambda: digest(folder + ".iso") == edited and edits_kept(False)),
            ("right after the old medium was moved aside", "medium aside", note_in_aside, edits_kept),
            ("at the last moment, before the old medium is removed", "removing the old", note_in_aside,
             lambda: os.path.exists(os.path.join(folder + ".changed", "NOTES.txt")) and args_of(folder) == b"--again"),
            ("while the old medium is removed", "removing the old medium", note_in_aside,
             lambda: os.path.exists(os.path.join(folder + ".changed", "NOTES.txt")) and args_of(folder) == b"--again"),
            ("while the old medium is removed, a file not yet removed rewritten", "removing the old medium",
             lambda: rewrite(os.path.join(aside, "autorun.inf")),
             lambda: os.path.exists(os.path.join(folder + ".changed", "autorun.inf")) and args_of(folder) == b"--again"),
            ("while the old medium is removed, an empty file not yet removed made a FIFO, never waited on",
             "removing the old medium", lambda: made_anew(os.path.join(aside, ".setup_args"), os.mkfifo),
             lambda: os.path.lexists(os.path.join(folder + ".changed", ".setup_args")) and args_of(folder) == b"--again",
             dict(good, MEDIUM_ARGS="")),
            ("of the image aside, its size and modification time kept", "image aside", rewrite_image_aside,
             lambda: digest(folder + ".iso") == seen["image"] and edits_kept(False))):
        fresh(*first)
        running = stopped_at(make, again, at)
        edit()
        edited = digest(folder + ".iso") if os.path.exists(folder + ".iso") else None
        status, error = finished(running)
        expect("an edit of the old medium %s: kept, said, and the run ends non-zero" % what,
               status != 0 and "changed while this run" in error and kept() and "Traceback" not in error and
               not os.path.exists(os.path.join(work, ".replaced.work")), error[-300:])
        run(["rm", "-rf", folder + ".changed"])

    # What the summary says is what ships: sources changed during the copy
    # fail the run, setup.exe too.
    tool = os.path.join(work, "tool-copy")
    run(["cp", "-r", m.tool, tool])
    signed = os.path.join(work, "signed-copy")
    os.makedirs(signed, exist_ok=True)
    for name in ("setup.exe", "setup.exe.signed"):
        run(["cp", os.path.join(BUILD, "signed", name), signed])
    # What is copied is what was looked at: a file swapped after the plan for
    # a link into the kernel's pseudo-files, or a FIFO, is refused by what is
    # open, not by its name.
    extra = os.path.join(work, "extra-copy")
    run(["cp", "-r", m.extra, extra])
    notes = os.path.join(extra, "docs", "Łódź 表.txt")

    def swap(to):
        os.remove(notes)
        os.symlink(to, notes) if to else os.mkfifo(notes)

    for what, at, env, change, says in (
            ("a file of the tool changed once it was copied", "copied", dict(again, MEDIUM_TOOL=tool),
             lambda: run(["sh", "-c", "echo x >> " + os.path.join(tool, "bin", "vorald_installer_cmd.exe")]),
             "changed while this run copied it"),
            ("a file of the tool rewritten once it was copied, its size kept", "copied", dict(again, MEDIUM_TOOL=tool),
             lambda: rewrite(os.path.join(tool, "bin", "vorald_installer_cmd.exe")), "changed while this run copied it"),
            ("a file of the tool that grew once it was opened", "opened", dict(again, MEDIUM_TOOL=tool),
             lambda: open(os.path.join(tool, "bin", "vorald_installer_cmd.exe"), "a").write("x"),
             "grew while this run copied it"),
            ("a file swapped for a link to /proc/self/environ after the plan", "planned",
             dict(again, MEDIUM_EXTRA=extra), lambda: swap("/proc/self/environ"), notes + " became a link"),
            ("a file swapped for a FIFO after the plan", "planned", dict(again, MEDIUM_EXTRA=extra),
             lambda: swap(None), notes + " is not the file that this run looked at"),
            ("a file that grew after the plan", "planned", dict(again, MEDIUM_EXTRA=extra),
             lambda: open(notes, "a").write("more\n"), notes + " grew since this run looked at it")):
        fresh()
        running = stopped_at(make, env, at)
        change()
        status, error = finished(running)
        expect("%s: the run fails, naming it, and the last good medium stays" % what,
               status != 0 and says in error and len(error.strip().splitlines()) == 1 and
               args_of(folder) == b'--from-medium "a b"', error[-300:])
        run(["rm", "-rf", extra])
        run(["cp", "-r", m.extra, extra])
    # setup.exe is read once: built again as soon as it was read, the medium
    # ships the signed bytes that the summary speaks of, and says so.
    fresh()
    running = stopped_at(make + ["--setup", os.path.join(signed, "setup.exe")], again, "setup.exe read")
    run(["cp", SETUP, os.path.join(signed, "setup.exe")])
    status, error = finished(running)
    output = running.output
    expect("a signed setup.exe built again once it was read: the medium ships the signed bytes that the summary "
           "names as signed, and a warning says it changed",
           status == 0 and digest(os.path.join(folder, "setup.exe")) == digest(os.path.join(BUILD, "signed",
                                                                                            "setup.exe")) and
           "signed by /CN=Test signer" in output and "changed during this run" in error, output[-300:] + error[-300:])

    # The steps in order: on the disk before READY, a second look before
    # the old one goes aside.
    fresh()
    done = run(make, env=dict(again, KIT_TEST_TRACE=trace))
    with open(trace) as f:
        steps = [line for line in f.read().split() if line in ("synced", "ready", "looked", "medium")]
    os.remove(trace)
    expect("the new medium reaches the disk before READY, and the old is looked at again before it goes aside",
           done.returncode == 0 and steps[:2] == ["synced", "ready"], steps)

    # Durable, as strace sees it: the file system synced before READY; each
    # record written, synced, renamed into place, and then its folder synced;
    # the new medium moved in before the new image.
    fresh()
    log = os.path.join(work, "strace")
    done = run(["strace", "-f", "-qq", "-o", log, "-e", "trace=syncfs,fsync,rename,renameat,renameat2"] + make,
               env=again)
    with open(log) as f:
        calls = [line.split(None, 1)[1].strip() for line in f if "(" in line and "resumed" not in line]
    os.remove(log)
    targets = {i: re.findall(r'"([^"]*)"', c)[-1] for i, c in enumerate(calls) if c.startswith("rename")}
    parts = [i for i, c in enumerate(calls) if c.startswith("rename") and '.part", ' in c]
    ready = [i for i in parts if targets[i].endswith("/ready")]
    moved = [os.path.basename(t) for t in targets.values() if t in (folder, folder + ".iso")]
    expect("the file system synced before READY, each record synced before its rename and its folder after, "
           "the medium moved in before the image",
           done.returncode == 0 and ready and any(c.startswith("syncfs") for c in calls[:ready[0]]) and
           all(calls[i - 1].startswith("fsync") and calls[i + 1].startswith("fsync") for i in parts) and
           moved == ["replaced", "replaced.iso"], "\n".join(calls[-30:]))

    # From READY on, a signal waits: the run finishes and leaves no READY.
    fresh()
    stopped = run(make, env=dict(again, KIT_TEST_SIGNAL="TERM:ready"))
    expect("TERM once READY is written: the run finishes the replacement and leaves no work folder",
           args_of(folder) == b"--again" and not os.path.exists(os.path.join(work, ".replaced.work")),
           stopped.stderr[-300:])

    # What an interrupted run left is checked before anything moves.
    fresh()
    run(make, env=dict(again, KIT_TEST_SIGNAL="KILL:ready"))
    edit_old()
    done = run(make, env=good)
    expect("an edit of the old medium after a run was stopped at READY is kept; the new medium is discarded",
           done.returncode != 0 and "changed while" in done.stderr and edits_kept(), done.stderr[-300:])
    # A disk may lose data its metadata still claims: the next run compares
    # what an interrupted one left by content, and leaves a medium and an
    # image of one run.
    ready = os.path.join(work, ".replaced.work", "ready")
    for what, at, damage in (
            ("a file of the new medium rewritten", "medium aside",
             lambda: rewrite(os.path.join(work, ".replaced.work", "medium", "autorun.inf"))),
            ("a file's sum in READY changed, its metadata as recorded", "medium aside",
             lambda: rewrite_json(ready, lambda r: r["medium"]["autorun.inf"].__setitem__(4, "0" * 64))),
            ("the image's sum in READY changed, its metadata as recorded", "medium aside",
             lambda: rewrite_json(ready, lambda r: r["image"].__setitem__(4, "0" * 64))),
            ("the new image damaged after the new medium was moved in", "medium in",
             lambda: rewrite(os.path.join(work, ".replaced.work", "medium.iso")))):
        fresh()
        image_before = digest(folder + ".iso")
        run(make, env=dict(again, KIT_TEST_SIGNAL="KILL:" + at))
        damage()
        done = run(make, env=good)
        expect("KILL, then %s: the new medium is discarded and the old medium and image are back, a pair" % what,
               done.returncode != 0 and "not what it recorded" in done.stderr and "last good ones again" in
               done.stderr and args_of(folder) == b'--from-medium "a b"' and digest(folder + ".iso") == image_before
               and run(make, env=again).returncode == 0, done.stderr[-300:])
    fresh()
    run(make, env=dict(again, KIT_TEST_SIGNAL="KILL:making", MEDIUM_EXTRA=os.path.join(work, "tool")))
    done = run(make, env=good)
    expect("what a run stopped before READY left never reaches the next medium",
           done.returncode == 0 and "interrupted run left unfinished" in done.stdout and
           not os.path.exists(os.path.join(folder, "bin")) and args_of(folder) == b'--from-medium "a b"',
           done.stderr[-300:])


def full_disk(m):
    """A small file system of its own: full while the record is written,
    then freed; a folder that is a mount point; a protected parent."""
    script, work, good, again = m.script, m.work, m.good, m.again
    disk = os.path.join(work, "disk")
    os.makedirs(disk)
    run(["mount", "-t", "tmpfs", "-o", "size=24m", "tmpfs", disk])
    try:
        folder = os.path.join(disk, "m")
        make = script + ["make", folder]
        filler = os.path.join(disk, "filler")
        for free_by in ("the filler removed", "the work folder removed"):
            run(["rm", "-rf", folder, folder + ".iso", folder + ".made", filler, os.path.join(disk, ".m.work")])
            first = run(make, env=good)
            running = stopped_at(make, again, "medium in")
            run(["dd", "if=/dev/zero", "of=" + filler, "bs=64k"])
            status, error = finished(running)
            full = status != 0 and "No space left" in error and "Traceback" not in error and \
                len(error.strip().splitlines()) == 1
            run(["rm", "-rf", filler if free_by == "the filler removed" else os.path.join(disk, ".m.work")])
            done = run(make, env=again)
            if free_by == "the work folder removed":
                run(["rm", "-f", filler])
                done = run(make, env=again)
            expect("a full disk while the record is written: one line; with %s, the next run takes its own medium "
                   "and makes the new one" % free_by,
                   first.returncode == 0 and full and done.returncode == 0 and args_of(folder) == b"--again" and
                   "changed since" not in done.stderr, error[-300:] + done.stderr[-300:])
        # A full disk as the work folder's mark is written: the error names
        # it, and the next run takes what is left for the kit's own.
        running = stopped_at(make, again, "marking")
        run(["dd", "if=/dev/zero", "of=" + filler, "bs=64k"])
        status, error = finished(running)
        run(["rm", "-f", filler])
        done = run(make, env=again)
        expect("a full disk as the mark is written: one sentence naming it; the next run ends ok",
               status != 0 and os.path.join(disk, ".m.work", "made-by") in error and
               len(error.strip().splitlines()) == 1 and done.returncode == 0 and args_of(folder) == b"--again",
               error[-300:] + done.stderr[-300:])
        # A full disk while the new medium is copied, and while xorriso
        # writes the image: one sentence naming the path each time.
        allocated = int(run(["du", "-s", "--block-size=1", folder]).stdout.split()[0])
        for what, leave, says in (("while the new medium is copied", 32 * 1024, "No space left"),
                                  ("while xorriso writes the image", allocated + 64 * 1024, "xorriso said last")):
            before = args_of(folder)
            run(["fallocate", "-l", str(shutil.disk_usage(disk).free - leave), filler])
            done = run(make, env=good)
            kept = args_of(folder) == before
            run(["rm", "-f", filler])
            after = run(make, env=good)
            expect("a full disk %s: one sentence naming the path, the last good medium kept, and the next run "
                   "makes the new one" % what,
                   one_line(done) and says in done.stderr and os.path.join(disk, ".m.work") in done.stderr and
                   kept and after.returncode == 0, done.stderr[-400:] + after.stderr[-300:])
        run(["mount", "--bind", folder, folder])
        busy = run(make, env=good)
        run(["umount", folder])
        done = run(make, env=good)
        expect("a medium folder that is a mount point: one line, and the next run finishes the replacement",
               one_line(busy) and "busy" in busy.stderr and done.returncode == 0 and
               "interrupted run" in done.stdout, busy.stderr[-300:] + done.stderr[-300:])
    finally:
        run(["umount", disk])
    # An immutable file in the old medium: the error names its whole path.
    folder = os.path.join(work, "immutable")
    make = script + ["make", folder]
    run(make, env=good)
    run(["chattr", "+i", os.path.join(folder, "autorun.inf")])
    done = run(make, env=again)
    stuck = os.path.join(work, ".immutable.work", "old.medium", "autorun.inf")
    run(["chattr", "-i", stuck])
    after = run(make, env=again)
    expect("an immutable file in the old medium: one sentence naming its whole path, and the next run finishes",
           one_line(done) and stuck in done.stderr and after.returncode == 0 and "interrupted run" in after.stdout and
           args_of(folder) == b"--again", done.stderr[-300:] + after.stderr[-300:])
    protected = os.path.join(work, "protected")
    os.makedirs(protected)
    run(["chattr", "+i", protected])
    done = run(script + ["make", os.path.join(protected, "m")], env=good)
    run(["chattr", "-i", protected])
    expect("a protected folder: one line, nothing made", one_line(done) and os.listdir(protected) == [],
           done.stderr[-300:])
