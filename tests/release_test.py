#!/usr/bin/python3
"""What a medium's author does with setup.exe before shipping it.

    release_test.py branding   bad SETUP_* values and SOURCE_DATE_EPOCH stop
                               the configure step; a branded build carries
                               what it was given; two builds in two folders
                               give the same bytes; a test option never
                               reaches a shipped build; leaves build/tool-status/,
                               build/utf16/ and the builds for the tests alone,
                               build/elevation/ and build/elevation-utf16/,
                               for the end-to-end tables
    release_test.py signing    make sign refuses what it cannot sign, and
                               leaves nothing behind when it fails or is
                               interrupted; signs with throw-away keys (PEM,
                               PKCS#12, an encrypted key, a SoftHSM token),
                               SHA-1 with a nested SHA-256, stamped by an
                               RFC 3161 authority of its own, silent ones
                               among them; every signature and stamp verifies,
                               and a spoilt one is refused; leaves the
                               dual-signed build/signed/setup.exe for the
                               end-to-end tables
    release_test.py medium     make medium refuses what Windows would not see
                               whole, and what it did not make or was edited
                               since; makes a medium and its image, which the
                               check passes and whose level-1 twin it fails;
                               is stopped at each step of a replacement, which
                               the next run finishes; takes one run at a time;
                               leaves the image's Joliet tree in
                               build/medium-joliet/ for the end-to-end tables
    release_test.py flow       runs the worked flow of docs/medium-authors.md
                               as it stands, in a copy of this tree
"""
import os
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "release"))
import branding  # noqa: E402
import flow  # noqa: E402
import medium_image  # noqa: E402
import medium_lock  # noqa: E402
import medium_plan  # noqa: E402
import medium_record  # noqa: E402
import medium_replace  # noqa: E402
import signing  # noqa: E402
from common import failures, has_what_it_needs, medium_setup  # noqa: E402


def medium():
    """The medium's tables, one a concern, in the order their media need:
    refusals before any medium exists, the good medium, its image, then
    replacements of it."""
    if not has_what_it_needs("medium", ["branding", "signing"]):
        return
    m = medium_setup()
    medium_plan.refusals(m)
    medium_plan.made(m)
    medium_image.checks(m)
    medium_record.refused(m)
    medium_replace.interruptions(m)
    medium_lock.one_run_at_a_time(m)
    medium_replace.edits_and_steps(m)
    medium_record.content_counts(m)
    medium_replace.full_disk(m)
    medium_plan.from_setup_exe(m)


def main():
    {"branding": branding.branding, "signing": signing.signing, "medium": medium, "flow": flow.flow}[sys.argv[1]]()
    print("%d failed" % len(failures))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
