"""The replacement in steps: each interruption (a signal, KILL), an edit
before, during or after it, a full disk, a mount point and a protected
folder leave a state that the next run finishes or undoes, and nothing of
the author's is lost.
"""
import os

from common import args_of, expect, finished, one_line, rewrite, replaced, run, snapshot, stopped_at


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

    def edits_kept():
        return os.path.exists(os.path.join(folder, "NOTES.txt")) and args_of(folder) == b'--from-medium "a b"'

    # An edit made while a run makes the new medium is never lost.
    fresh()
    running = stopped_at(make, again, "synced")
    edit_old()
    status, error = finished(running)
    expect("an edit of the old medium during a run: the new medium is discarded, the edit kept",
           status != 0 and "changed while this run" in error and edits_kept() and
           not os.path.exists(os.path.join(work, ".replaced.work")), error[-300:])

    # The steps in order: on the disk before READY, a second look before
    # the old one goes aside.
    fresh()
    done = run(make, env=dict(again, KIT_TEST_TRACE=trace))
    with open(trace) as f:
        steps = [line for line in f.read().split() if line in ("synced", "ready", "looked", "medium")]
    os.remove(trace)
    expect("the new medium reaches the disk before READY, and the old is looked at again before it goes aside",
           done.returncode == 0 and steps[:2] == ["synced", "ready"], steps)

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
    fresh()
    run(make, env=dict(again, KIT_TEST_SIGNAL="KILL:medium aside"))
    rewrite(os.path.join(work, ".replaced.work", "medium", "autorun.inf"))
    done = run(make, env=good)
    expect("a new medium that is not what READY says (a power loss) is not moved in; the old one is put back",
           done.returncode != 0 and "not what it recorded" in done.stderr and
           args_of(folder) == b'--from-medium "a b"' and run(make, env=again).returncode == 0, done.stderr[-300:])
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
        run(["mount", "--bind", folder, folder])
        busy = run(make, env=good)
        run(["umount", folder])
        done = run(make, env=good)
        expect("a medium folder that is a mount point: one line, and the next run finishes the replacement",
               one_line(busy) and "busy" in busy.stderr and done.returncode == 0 and
               "interrupted run" in done.stdout, busy.stderr[-300:] + done.stderr[-300:])
    finally:
        run(["umount", disk])
    protected = os.path.join(work, "protected")
    os.makedirs(protected)
    run(["chattr", "+i", protected])
    done = run(script + ["make", os.path.join(protected, "m")], env=good)
    run(["chattr", "-i", protected])
    expect("a protected folder: one line, nothing made", one_line(done) and os.listdir(protected) == [],
           done.stderr[-300:])
