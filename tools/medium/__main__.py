"""The installation medium around setup.exe, and a check of an image of one.

    python3 tools/medium make [FOLDER] [--setup EXE]
                              FOLDER (build/medium) and FOLDER.iso from
                              MEDIUM_TOOL (required), MEDIUM_ARGS,
                              MEDIUM_ARGS_CODE_PAGE, MEDIUM_EXTRA and
                              MEDIUM_LABEL, around EXE (build/win32/setup.exe)
    python3 tools/medium check [IMAGE] [--extract DIR]
                              reads IMAGE's Joliet tree, what Windows shows, and
                              checks it against its SHA256SUMS; keeps the tree
                              in DIR, a new folder, when asked

Everything given is checked before anything is written. One run at a time
makes FOLDER: FOLDER.lock refuses a second one. The new medium is made and
checked beside the old one, in .FOLDER.work (marked as the kit's own), its
sources compared with what was read, made durable, and recorded there
(READY); then, with INT, TERM and HUP held, the old one is moved aside and
compared with its record (put back where it changed), the new one moved in
and recorded, and the old one compared once more and removed (kept beside,
where it changed). A run that finds what an interrupted one left finishes or
undoes it. An existing FOLDER or FOLDER.iso is replaced only where
FOLDER.made, the record of every name and of each file's size and sum,
proves it make's own and unchanged since.
"""
import os
import signal
import sys

import setup_exe
from image import check, report
from lock import hold_work, locked, make_work, remove_work_folder
from names import SUMS
from plan import plan, refuse_what_windows_would_not_see, work_folder
from record import READY, write_record
from replace import (STOPPING, commit, hold_signals, keep_previous, make_new, recover, refuse_what_is_not_mine,
                     release_signals, remove_work, seen_as)
from say import describe, fail, step, tell

ROOT = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", ".."))
BUILD = os.path.join(ROOT, "build")
IMAGE = os.path.join(BUILD, "medium.iso")


def make(medium, setup):
    """Checks everything given, takes the lock, finishes what an interrupted
    run left, refuses what is not its own; makes the new medium and image
    beside the old ones, moves them in and removes the old."""
    image, marker = medium + ".iso", medium + ".made"
    work = work_folder(medium)
    planned = plan(setup, medium)
    files, label = planned.files, planned.label
    refuse_what_windows_would_not_see(files)
    os.makedirs(os.path.dirname(medium), exist_ok=True)
    # Before the lock, which would stay beside the link.
    if os.path.islink(medium):
        fail("%s is a link: name the folder itself" % medium)
    lock = locked(medium)
    recover(work, medium, image, marker)
    refuse_what_is_not_mine(medium, image, marker)
    step("planned")

    # Made and checked beside the old medium, which stays until the new one is whole.
    make_work(work, medium)
    hold_work(work, medium)
    try:
        ready = make_new(work, files, label)
    except BaseException as e:
        remove_work_folder(work)
        if isinstance(e, OSError):
            fail("could not make the new medium (%s); %s and %s are left as they were" % (describe(e), medium,
                                                                                            image))
        raise
    held = hold_signals()
    keep_previous(work, marker)
    write_record(os.path.join(work, READY), ready)
    step("ready")
    looked = commit(work, medium, image, marker, ready)
    remove_work(work, medium, image, looked)
    release_signals(held)
    lock.close()
    tell("medium: %s: %d files and %s" % (medium, len(files), SUMS))
    for line in planned.summary:
        tell("  " + line)
    tell("image: %s, %d bytes, label %r" % (image, os.path.getsize(image), label))
    warning = planned.warning
    if not same_as_read(setup, planned.setup_read):
        warning = "%s changed during this run: the medium holds the one that was read at its start, which the " \
                  "summary describes; run make medium again to ship the new one" % setup
    return report(image, [], warning)


def same_as_read(path, then):
    try:
        return seen_as(os.stat(path)) == seen_as(then)
    except OSError:
        return False


def resolved(path):
    """path with its parent folder's links resolved: one folder, one name,
    for its lock, its work folder's mark and its record."""
    path = os.path.abspath(path)
    return os.path.join(os.path.realpath(os.path.dirname(path)), os.path.basename(path))


def option(args, name, default):
    """The value of --name in args, taken out of them."""
    if name not in args:
        return default
    at = args.index(name)
    if at + 1 == len(args):
        sys.exit("medium: %s takes a value\n%s" % (name, __doc__))
    value = args[at + 1]
    del args[at:at + 2]
    return value


def main():
    # Paths are bytes that need not be UTF-8: said as they are, whatever the locale.
    for stream in (sys.stdout, sys.stderr):
        stream.reconfigure(errors="surrogateescape")
    # A signal (Ctrl-C too) leaves the old medium as it was and nothing beside it.
    for number in STOPPING:
        signal.signal(number, lambda n, _: sys.exit(128 + n))
    try:
        return run(sys.argv[1:])
    except BrokenPipeError:
        # A reader that has had enough (| head): quiet, as a shell's own commands.
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return 128 + signal.SIGPIPE
    except OSError as e:
        fail("%s. Mend that (free space, unmount the folder, lift its protection) and run it again: it finishes "
             "or undoes what this run left" % describe(e))


def run(args):
    if args[:1] == ["make"]:
        setup = os.path.abspath(option(args, "--setup", os.path.join(BUILD, "win32", "setup.exe")))
        if len(args) <= 2:
            return make(resolved(args[1] if len(args) > 1 else os.path.join(BUILD, "medium")), setup)
    if args[:1] == ["check"]:
        keep = option(args, "--extract", None)
        if len(args) <= 2:
            image = args[1] if len(args) > 1 else IMAGE
            kept = {}
            problems = check(image, keep, kept=kept)
            if problems or "setup.exe" not in kept:
                return report(image, problems)
            if setup_exe.built_for_tests(kept["setup.exe"]):
                return report(image, [setup_exe.TEST_ONLY % "its setup.exe"])
            try:
                found = setup_exe.signatures(kept["setup.exe"])
            except setup_exe.NoVerifier:
                fail("openssl is missing (make deps): it checks setup.exe's signatures")
            except setup_exe.NotAProgram as e:
                return report(image, ["its setup.exe: %s" % e])
            problem = setup_exe.signature_problem("its setup.exe", found)
            if problem:
                return report(image, [problem])
            said, warning = setup_exe.signature_said(found)
            tell("ok   setup.exe: %s" % said)
            return report(image, [], warning)
    sys.exit(__doc__)


if __name__ == "__main__":
    sys.exit(main())
