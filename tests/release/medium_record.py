"""What make medium takes for its own: only what FOLDER.made proves it made
and unchanged since, by content; an edit by hand of any kind is refused.
"""
import os
import stat

from common import BUILD, TOOL, args_of, expect, lay_files, lay_script, replaced, rewrite, run, snapshot


def rewrite_in_time(path):
    """A hand edit that keeps the file's size and modification time: only
    its change time tells."""
    before = os.stat(path)
    rewrite(path)
    os.utime(path, ns=(before.st_atime_ns, before.st_mtime_ns))


def swap(path, make):
    """path made anew by make(path): no file the record knows."""
    os.chmod(os.path.dirname(path), 0o755)
    os.remove(path)
    make(path)


def refused(m):
    """Outputs that are not its own, or were edited by hand, are left as they were."""
    work, out, script, good, tool = m.work, m.out, m.script, m.good, m.tool
    # Only what make medium made is replaced; a refusal leaves everything as it was.
    vendor, lone = (os.path.join(work, name) for name in ("vendor", "lone"))
    lay_files(vendor, ["SHA256SUMS", "bin/vorald_installer_cmd.exe"])
    lay_files(lone + ".iso", ["x"])
    edits = {"a file added": lambda m: lay_files(os.path.join(m, "new"), ["x"]),
             "an empty folder added": lambda m: os.mkdir(os.path.join(m, "empty")),
             "autorun.inf rewritten, its size kept": lambda m: rewrite(os.path.join(m, "autorun.inf")),
             "the tool rewritten, its size kept": lambda m: rewrite(os.path.join(m, TOOL)),
             "the tool rewritten, its size and modification time kept": lambda m: rewrite_in_time(
                 os.path.join(m, TOOL)),
             "its image rewritten, its size kept": lambda m: rewrite(m + ".iso"),
             "autorun.inf made a FIFO": lambda m: swap(os.path.join(m, "autorun.inf"), os.mkfifo),
             "autorun.inf made a device that never ends (/dev/zero's)": lambda m: swap(
                 os.path.join(m, "autorun.inf"), lambda p: os.mknod(p, stat.S_IFCHR | 0o644, os.makedev(1, 5))),
             "its record rewritten": lambda m: rewrite(m + ".made", "make medium", "someone")}
    changed = []
    for what, edit in edits.items():
        folder = os.path.join(work, "edited-%d" % len(changed))
        run(script + ["make", folder], env=good)
        edit(folder)
        changed.append(("a medium with %s by hand" % what, folder, good,
                        "not a record" if "record" in what else "changed since"))
    broken_xorriso = dict(good, PATH=os.path.join(BUILD, "fake-xorriso") + ":" + os.environ["PATH"])
    lay_script(os.path.join(BUILD, "fake-xorriso", "xorriso"),
               '# Leaves out the Joliet tree.\nfor a; do shift; [ "$a" = -J ] || set -- "$@" "$a"; done\n'
               'exec /usr/bin/xorriso "$@"\n')
    for what, folder, env, says in [
            ("a misspelt MEDIUM_TOOL, keeping the last good medium", out, dict(good, MEDIUM_TOOL=tool + "x"), "no "),
            ("an image without Joliet from xorriso, keeping the last good medium", out, broken_xorriso,
             "not what Windows must see"),
            ("a folder with a SHA256SUMS that it did not make", vendor, good, "not a medium"),
            ("an image that it did not make", lone, good, "not the image")] + changed:
        before = snapshot(folder)
        done = run(script + ["make", folder], env=env, timeout=120)  # reading a FIFO or a device, it would hang
        expect("make medium refuses %s, and leaves it as it was" % what,
               done.returncode != 0 and says in done.stderr and snapshot(folder) == before, done.stderr[-300:])


def content_counts(m):
    """Modes, links, times and a moved image do not make a medium another's."""
    folder, make, fresh = replaced(m)
    again = m.again
    # Only the content counts: modes, links, times and a moved image do not.
    fresh()
    run(["chmod", "-R", "a-w", folder])
    run(["touch", "-d", "2001-01-01", os.path.join(folder, "setup.exe")])
    run(["cp", "-al", folder, folder + ".copy"])
    os.rename(folder + ".iso", folder + ".moved")
    os.rename(folder + ".moved", folder + ".iso")
    done = run(make, env=again)
    run(["rm", "-rf", folder + ".copy"])
    expect("make medium takes its own medium back after chmod -R a-w, cp -al, a time set and the image moved",
           done.returncode == 0 and args_of(folder) == b"--again", done.stderr[-300:])
