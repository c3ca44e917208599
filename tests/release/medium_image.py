"""The check of an image as Windows reads it (make check-medium): it passes
on make medium's image and folder, and fails on each kind of damage.
"""
import hashlib
import os
import shutil
import sys

from common import BUILD, ROOT, TOOL, expect, run

sys.path.insert(0, os.path.join(ROOT, "tools", "medium"))
import image  # noqa: E402


def damaged(work, medium, remove=None, write=None, listed=False, folder=None, junk=None, cut=0, whole=False,
            twice=None):
    """What make check-medium says of an image of a copy of medium with the
    file remove gone, or with write added or appended to; with the line of
    either in the list (listed) or not; with an empty folder added, a junk
    line in the list, a line with a wrong sum for twice before its own, or
    cut blocks cut from the image's end; of the copy itself when whole."""
    copy = os.path.join(work, "damaged")
    shutil.rmtree(copy, ignore_errors=True)
    shutil.copytree(medium, copy)
    sums = os.path.join(copy, "SHA256SUMS")
    with open(sums) as f:
        lines = [line for line in f if listed or not line.endswith("  %s\n" % remove)]
    if remove:
        os.remove(os.path.join(copy, *remove.split("/")))
    if write:
        with open(os.path.join(copy, write), "a") as f:
            f.write("x")
        lines += ["%s  %s\n" % (hashlib.sha256(b"x").hexdigest(), write)] if listed else []
    if folder:
        os.mkdir(os.path.join(copy, folder))
    with open(sums, "w") as f:
        f.writelines(["%s  %s\n" % ("0" * 64, twice)] if twice else [])
        f.writelines(lines + ([junk + "\n"] if junk else []))
    run(["xorriso", "-as", "mkisofs", "-J", "-r", "-o", copy + ".iso", copy])
    if cut:
        os.truncate(copy + ".iso", os.path.getsize(copy + ".iso") - cut * 2048)
    return run([sys.executable, os.path.join(ROOT, "tools", "medium"), "check", copy if whole else copy + ".iso"])


def checks(m):
    work, out, script = m.work, m.out, m.script
    joliet = os.path.join(BUILD, "medium-joliet")
    run(["chmod", "-R", "u+w", joliet])
    shutil.rmtree(joliet, ignore_errors=True)
    done = run(script + ["check", out + ".iso", "--extract", joliet])
    expect("the check passes on the image", done.returncode == 0, done.stdout[-800:])
    done = run(script + ["check", out])
    expect("the check passes on the medium's folder", done.returncode == 0, done.stdout[-800:])
    # A reader gone before the check says ok: quiet, with a shell's status.
    done = run(["bash", "-c", 'set -o pipefail; "$@" | (exec 0<&-; true)', "check"] + script + ["check", out + ".iso"])
    expect("check-medium into a closed pipe: nothing said, status 141", done.returncode == 141 and not done.stderr,
           "%d %s" % (done.returncode, done.stderr[-300:]))
    level1 = os.path.join(work, "level1.iso")
    run(["xorriso", "-as", "mkisofs", "-iso-level", "1", "-o", level1, out])
    done = run(script + ["check", level1])
    expect("the check fails on a level-1 image of the same folder",
           done.returncode != 0 and "no Joliet tree" in done.stdout, done.stdout[-300:])

    for what, change, says in (
            ("a byte more in a listed file", dict(write="autorun.inf"), "autorun.inf differs from its sum"),
            ("a file the list does not name", dict(write="extra.txt"), "extra.txt is in the image but not in"),
            ("no setup.exe, nor its line in the list", dict(remove="setup.exe"), "names no setup.exe"),
            ("no tool, its line kept", dict(remove=TOOL, listed=True), TOOL + " is not where"),
            ("a file named nul, listed", dict(write="nul", listed=True), "nul: Windows cannot open it"),
            ("a file named COM\u00b2, listed", dict(write="COM\u00b2", listed=True), "COM\u00b2: Windows cannot open it"),
            ("AUTORUN.INF beside autorun.inf, both listed", dict(write="AUTORUN.INF", listed=True),
             "differ only in case"),
            ("an empty folder", dict(folder="extra"), "extra is in the image but holds nothing"),
            ("a line in the list that is no sum", dict(junk="not a sum"), "is not a sum and a name: 'not a sum'"),
            ("a name listed twice, a wrong sum first", dict(twice="autorun.inf"), "lists autorun.inf twice"),
            ("its last 150 blocks cut off", dict(cut=150), "cut short"),
            ("a byte more in a listed file, checked as a folder", dict(write="autorun.inf", whole=True),
             "autorun.inf differs from its sum")):
        done = damaged(work, out, **change)
        expect("the check fails on an image with %s" % what, done.returncode != 0 and says in done.stdout,
               done.stdout[-500:])

    # A copy of the medium whose autorun.inf is a FIFO: said, never waited on.
    fifo = os.path.join(work, "fifo-copy")
    shutil.copytree(out, fifo)
    os.chmod(fifo, 0o755)
    os.remove(os.path.join(fifo, "autorun.inf"))
    os.mkfifo(os.path.join(fifo, "autorun.inf"))
    done = run(script + ["check", fifo], timeout=120)
    expect("the check fails on a copy of the medium whose autorun.inf is a FIFO, which it does not wait on",
           done.returncode != 0 and "autorun.inf is a FIFO" in done.stdout, done.stdout[-500:])
    shutil.rmtree(fifo)

    # A file of 4 GiB or more lies in several extents, each reported with
    # the whole file's size.
    toc = ("File data lba:  0 ,       34 ,  2097151 , 4718592000 , '/big.bin'\n"
           "File data lba:  1 ,  2097185 ,   206849 , 4718592000 , '/big.bin'\n")
    expect("the check reads a file of two extents as xorriso reports them",
           image.extents_of(toc)[0] == {"big.bin": [(34, 2097151 * 2048), (2097185, 4718592000 - 2097151 * 2048)]},
           repr(image.extents_of(toc)))
    free = shutil.disk_usage(work).free
    if free < 12 * 10**9:
        print("skip a medium with a file of 4.3 GB: %.1f GB free, 12 needed" % (free / 1e9))
    else:
        big = os.path.join(work, "big")
        os.makedirs(big)
        with open(os.path.join(big, "big.bin"), "wb") as f:
            f.truncate(4300 * 10**6)
        folder = os.path.join(work, "big-medium")
        done = run(script + ["make", folder], env=dict(m.good, MEDIUM_EXTRA=big))
        expect("a medium with a file of 4.3 GB: made, and its image checked extent by extent",
               done.returncode == 0 and run(script + ["check", folder + ".iso"]).returncode == 0, done.stderr[-300:])
        run(["rm", "-rf", big, folder, folder + ".iso", folder + ".made"])

    # A disc, or another block device: a loop device over the image.
    if os.getuid() != 0:
        print("skip check-medium of a block device: it takes root to make a loop device")
    else:
        device = run(["losetup", "--find", "--show", "--read-only", out + ".iso"]).stdout.strip()
        done = run(script + ["check", device])
        run(["losetup", "-d", device])
        expect("check-medium reads a block device (a loop device over the image)",
               device and done.returncode == 0, device + done.stdout[-300:] + done.stderr[-300:])
