"""One run at a time: a second run is refused, naming the first, also
where the lock file was removed during the first.
"""
import os
import signal
import subprocess

from common import args_of, expect, finished, lay_files, replaced, run, stopped_at, stopped_process, wait_for


def one_run_at_a_time(m):
    script, good, again = m.script, m.good, m.again
    folder = os.path.join(m.work, "interrupted")
    first = subprocess.Popen(script + ["make", folder], env=dict(good, KIT_TEST_SIGNAL="STOP:ready"),
                             stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    waited = wait_for(lambda: stopped_process(first.pid), 60)
    second = run(script + ["make", folder], env=again)
    os.kill(first.pid, signal.SIGCONT)
    expect("a second make medium of the same folder is refused, naming the first, which goes on",
           waited and second.returncode != 0 and "process %d" % first.pid in second.stderr and
           first.wait(timeout=60) == 0, second.stderr[-300:])


    folder, make, fresh = replaced(m)
    # A lock removed during a run: the second run still keeps out.
    fresh()
    running = stopped_at(make, again, "synced")
    os.remove(folder + ".lock")
    second = run(make, env=good)
    status, error = finished(running)
    expect("a lock file removed during a run: a second run is refused, the first goes on",
           second.returncode != 0 and "another make medium" in second.stderr and status == 0 and
           args_of(folder) == b"--again", second.stderr[-300:] + error[-300:])

    # A folder of the author's with the work folder's name is not the kit's.
    fresh()
    work_folder = os.path.join(m.work, ".replaced.work")
    lay_files(work_folder, ["mine.txt"])
    done = run(make, env=m.again)
    expect("a folder named like the work folder, without the kit's mark: refused, named and kept",
           done.returncode != 0 and work_folder in done.stderr and
           os.path.exists(os.path.join(work_folder, "mine.txt")) and args_of(folder) == b'--from-medium "a b"',
           done.stderr[-300:])
    run(["rm", "-rf", work_folder])

    # One folder, one name: a run stopped through one link to its parent is
    # finished through another.
    links = [os.path.join(m.work, name) for name in ("l", "l2")]
    for link in links:
        os.symlink(m.work, link)
    spelled = [os.path.join(link, os.path.basename(folder)) for link in links]
    run(m.script + ["make", spelled[0]], env=dict(again, KIT_TEST_SIGNAL="KILL:medium aside"))
    done = run(m.script + ["make", spelled[1]], env=good)
    expect("a run stopped through one link to the folder's parent is finished through another",
           done.returncode == 0 and "interrupted run" in done.stdout and args_of(folder) == b'--from-medium "a b"',
           done.stderr[-300:])
    for link in links:
        os.remove(link)

