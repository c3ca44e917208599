"""What a run says: a refusal in one sentence, its progress on a terminal,
and the steps it passes (for the tests).
"""
import os
import signal
import sys
import time


# What would break a line, or be read as its end: control characters, and
# the separators of lines and paragraphs that some readers take for one.
BREAKING = {c for c in range(32)} | {0x7F, 0x85, 0x2028, 0x2029}


def one_line(text):
    """text with each character that would break its line escaped, as
    Python writes it (a name with a line feed shows as \\n)."""
    return "".join(c.encode("unicode_escape").decode() if ord(c) in BREAKING else c for c in text)


def tell(text):
    """A line on standard output, on one line whatever the names in it."""
    print(one_line(text))


def fail(message):
    progress.end()
    sys.exit("medium: " + one_line(message))


def describe(error):
    """An OS error in words, naming its file."""
    return "%s: %s" % (error.filename, error.strerror) if error.filename else error.strerror or str(error)


class Progress:
    """One line on a terminal's standard error while a long step runs: the
    step, and the files and bytes done of how many. Nothing where standard
    error is not a terminal."""

    def __init__(self):
        self.on = sys.stderr.isatty()
        self.start("")

    def start(self, what, files=0, size=0):
        self.what, self.files, self.size, self.done_files, self.done_size, self.shown = what, files, size, 0, 0, 0
        if what:
            self.show()

    def add(self, size):
        self.done_size += size
        self.show()

    def file(self, name, size=0):
        self.done_files += 1
        self.add(size)

    def show(self):
        if not self.on or time.monotonic() - self.shown < 0.2:
            return
        self.shown = time.monotonic()
        done = []
        if self.files or self.done_files:
            done.append("%d%s files" % (self.done_files, " of %d" % self.files if self.files else ""))
        if self.size or self.done_size:
            done.append("%.1f%s MB" % (self.done_size / 1e6, " of %.1f" % (self.size / 1e6) if self.size else ""))
        line = self.what + (": " + ", ".join(done) if done else "")
        sys.stderr.write("\r\x1b[K" + line)
        sys.stderr.flush()

    def end(self):
        if self.on and self.shown:
            sys.stderr.write("\r\x1b[K")
            sys.stderr.flush()
        self.shown = 0


progress = Progress()


def step(name):
    """A point between two steps of a run. The tests send a signal here
    (KIT_TEST_SIGNAL=SIGNAL:STEP, several with commas) to show what each interruption leaves, and
    list the steps in order (KIT_TEST_TRACE=FILE)."""
    trace = os.environ.get("KIT_TEST_TRACE")
    if trace:
        with open(trace, "a") as f:
            f.write(name + "\n")
    for wanted in os.environ.get("KIT_TEST_SIGNAL", "").split(","):
        wanted = wanted.split(":", 1)
        if wanted[1:] == [name] and name not in signalled:
            signalled.add(name)  # at a step passed again and again, once
            os.kill(os.getpid(), getattr(signal, "SIG" + wanted[0]))


signalled = set()
