"""make sign: its refusals, signals and a killed run leave the file as it
was; each kind of certificate signs, and the record matches the file.
"""
import filecmp
import glob
import hashlib
import os
import re
import shutil
import signal
import subprocess
import sys

from common import BUILD, CHECK, LISTS, ROOT, SETUP, STOPPING, expect, gone, run, wait_for

def signed_as_recorded(exe):
    """Whether exe.signed holds the digest of exe, as make sign writes it."""
    try:
        with open(exe + ".signed") as f, open(exe, "rb") as signed:
            return f.read() == "# make sign\n%s\n" % hashlib.sha256(signed.read()).hexdigest()
    except OSError:
        return False


def signing():
    work = os.path.join(BUILD, "signed")
    shutil.rmtree(work, ignore_errors=True)
    os.makedirs(work)
    cert, key, locked = (os.path.join(work, name) for name in ("cert.pem", "key.pem", "key-locked.pem"))
    pkcs12, password = os.path.join(work, "cert.p12"), os.path.join(work, "password")
    done = run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2", "-subj",
                "/CN=Throw-away test signer", "-addext", "extendedKeyUsage=codeSigning",
                "-keyout", key, "-out", cert])
    expect("openssl makes a throw-away certificate", done.returncode == 0, done.stderr[-500:])
    with open(password, "w") as f:
        f.write("secret\n")
    run(["openssl", "pkcs12", "-export", "-in", cert, "-inkey", key, "-passout", "file:" + password, "-out", pkcs12])
    run(["openssl", "pkey", "-in", key, "-aes256", "-passout", "file:" + password, "-out", locked])

    sign = os.path.join(ROOT, "tools", "sign.sh")
    unsigned = os.path.join(work, "unsigned.exe")
    shutil.copy(SETUP, unsigned)
    os.symlink("unsigned.exe", os.path.join(work, "link.exe"))
    files = sorted(os.listdir(work))
    untouched = lambda: filecmp.cmp(SETUP, unsigned, shallow=False) and sorted(os.listdir(work)) == files
    bare = {k: v for k, v in os.environ.items() if not k.startswith("SIGN_")}
    pem = dict(bare, SIGN_CERT=cert, SIGN_KEY=key)
    for what, env, says, exe in (("no certificate", bare, "no certificate", unsigned),
                                 ("a missing key", dict(pem, SIGN_KEY=os.path.join(work, "no-key.pem")), "", unsigned),
                                 ("SIGN_DIGESTS=md5", dict(pem, SIGN_DIGESTS="md5"), "SIGN_DIGESTS", unsigned),
                                 ("a link", pem, "unsigned.exe", os.path.join(work, "link.exe"))):
        done = run([sign, exe], env=env)
        expect("sign with %s fails, leaving the file as it was and nothing beside it" % what,
               done.returncode != 0 and says in done.stderr and untouched(), done.stderr[-300:])
    foreign = unsigned + ".signed"
    with open(foreign, "w") as f:
        f.write("notes of my own\n")
    done = run([sign, unsigned], env=pem)
    with open(foreign) as f:
        kept = f.read() == "notes of my own\n"
    os.remove(foreign)
    expect("sign refuses a .signed file that it did not write, leaving both as they were",
           done.returncode != 0 and "not a record of make sign" in done.stderr and kept and untouched(),
           done.stderr[-300:])

    # A stand-in for osslsigncode writes part of its output and waits for a
    # signal to reach make sign, which must stop it.
    fake_bin = os.path.join(BUILD, "fake-signer")
    os.makedirs(fake_bin, exist_ok=True)
    pid_file = os.path.join(fake_bin, "pid")
    with open(os.path.join(fake_bin, "osslsigncode"), "w") as f:
        f.write('#!/bin/sh\nfor arg; do [ "${last:-}" = -out ] && out=$arg; last=$arg; done\n'
                'echo $$ > %s\necho partial > "$out"\nexec sleep 60\n' % pid_file)
    os.chmod(os.path.join(fake_bin, "osslsigncode"), 0o755)
    for name in ("SIGINT", "SIGTERM", "SIGHUP"):
        # Each signal at its default, as a shell cannot trap one that was
        # ignored when it started (under nohup, HUP is).
        process = subprocess.Popen([sign, unsigned], env=dict(pem, PATH=fake_bin + ":" + os.environ["PATH"]),
                                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                                   preexec_fn=lambda: [signal.signal(s, signal.SIG_DFL) for s in STOPPING])
        started = wait_for(lambda: glob.glob(os.path.join(work, ".unsigned.exe.signing.*", "*.exe")), 20)
        process.send_signal(getattr(signal, name))
        try:
            status = process.wait(timeout=20)
        except subprocess.TimeoutExpired:
            process.kill()
            status = None
        with open(pid_file) as f:
            signer = int(f.read())
        stopped = wait_for(lambda: gone(signer), 10)
        expect("%s while signing stops the signer and leaves the file as it was and nothing beside it" % name,
               started and stopped and status not in (0, None) and untouched(),
               "status %s, signer stopped %s, files %s" % (status, stopped, os.listdir(work)))
    # A second run beside a live one leaves the live one's folder; KILL
    # leaves its folder, and the next run removes it.
    process = subprocess.Popen([sign, unsigned], env=dict(pem, PATH=fake_bin + ":" + os.environ["PATH"]),
                               stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    wait_for(lambda: glob.glob(os.path.join(work, ".unsigned.exe.signing.*", "*.exe")), 20)
    live = glob.glob(os.path.join(work, ".unsigned.exe.signing.*"))
    done = run([sign, unsigned], env=pem)
    expect("a second make sign leaves the folder of one that still runs",
           done.returncode == 0 and live and all(os.path.isdir(folder) for folder in live), done.stderr[-300:])
    shutil.copy(SETUP, unsigned)
    os.remove(unsigned + ".signed")
    process.kill()
    process.wait()
    with open(pid_file) as f:
        os.kill(int(f.read()), signal.SIGKILL)
    left = glob.glob(os.path.join(work, ".unsigned.exe.signing.*"))
    done = run([sign, unsigned], env=pem)
    expect("a folder that a killed make sign left is removed by the next, which signs",
           left and done.returncode == 0 and not glob.glob(os.path.join(work, ".unsigned.exe.signing.*")) and
           signed_as_recorded(unsigned), done.stderr[-300:])
    shutil.copy(SETUP, unsigned)
    os.remove(unsigned + ".signed")

    for kind, env, digests in (("a PEM certificate", pem, ["SHA256"]),
                               ("a PKCS#12 file", dict(bare, SIGN_PKCS12=pkcs12, SIGN_PASSWORD_FILE=password),
                                ["SHA256"]),
                               ("an encrypted PEM key", dict(pem, SIGN_KEY=locked, SIGN_PASSWORD_FILE=password),
                                ["SHA256"]),
                               ("SHA-1 and a nested SHA-256", dict(pem, SIGN_DIGESTS="sha1+sha256"),
                                ["SHA1", "SHA256"])):
        signed = os.path.join(work, "setup.exe")  # the last one stays, for the end-to-end tables
        shutil.copy(SETUP, signed)
        os.chmod(signed, 0o751)
        done = run([sign, signed], env=env)
        expect("make sign with %s, keeping the file's mode, and records what it signed" % kind,
               done.returncode == 0 and os.stat(signed).st_mode & 0o7777 == 0o751 and signed_as_recorded(signed),
               done.stderr[-500:])
        done = run(["osslsigncode", "verify", "-CAfile", cert, "-in", signed])
        found = re.findall(r"Message digest algorithm  : (\S+)", done.stdout)
        expect("osslsigncode verifies the signatures made with %s: %s" % (kind, " and ".join(digests)),
               done.returncode == 0 and found == digests and
               "Number of verified signatures: %d" % len(digests) in done.stdout, (done.stdout + done.stderr)[-800:])
        done = run(CHECK + [signed, LISTS])
        print(done.stdout, end="")
        expect("the executable checks pass on the signed file", done.returncode == 0)
    # A signal between the signed file's rename and its record's waits for both.
    again = os.path.join(work, "again.exe")
    shutil.copy(SETUP, again)
    done = run([sign, again], env=dict(pem, KIT_TEST_SIGNAL="TERM:signed in"))
    expect("TERM between the renames of make sign: the signed file goes in with its record",
           done.returncode == 143 and signed_as_recorded(again), done.stderr[-300:])
    # KILL between them: the file is in, signed, and its record is the
    # earlier one, which make medium names as not this file's. (Other
    # digests: a signature made in the same second would be the same bytes.)
    shutil.copy(SETUP, again)
    run([sign, again], env=dict(pem, SIGN_DIGESTS="sha1+sha256", KIT_TEST_SIGNAL="KILL:signed in"))
    verified = run(["osslsigncode", "verify", "-CAfile", cert, "-in", again]).returncode == 0
    tool = os.path.join(work, "tool")
    os.makedirs(os.path.join(tool, "bin"))
    shutil.copy(os.path.join(BUILD, "win32", "fake_tool.exe"), os.path.join(tool, "bin", "vorald_installer_cmd.exe"))
    medium = run([sys.executable, os.path.join(ROOT, "tools", "medium"), "make", os.path.join(work, "again-medium"),
                  "--setup", again], env=dict({k: v for k, v in pem.items() if not k.startswith("MEDIUM_")},
                                              MEDIUM_TOOL=tool))
    expect("KILL between the renames of make sign: the signed file is in first, and make medium says it is not "
           "the file recorded",
           verified and signed_as_recorded(again) is False and medium.returncode != 0 and
           "is not the file that make sign recorded" in medium.stderr, medium.stderr[-300:])
    shutil.copy(SETUP, os.path.join(work, "-setup.exe"))
    done = run([sign, "-setup.exe"], env=pem, cwd=work)
    expect("make sign signs a file whose name begins with -", done.returncode == 0 and run(
        ["osslsigncode", "verify", "-CAfile", cert, "-in", os.path.join(work, "-setup.exe")]).returncode == 0,
        done.stderr[-300:])
