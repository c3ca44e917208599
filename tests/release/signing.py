"""make sign: its refusals, signals and a killed run leave the file as it
was; each kind of certificate signs, and the record matches the file.
"""
import calendar
import fcntl
import filecmp
import glob
import hashlib
import http.server
import os
import re
import shutil
import signal
import socket
import subprocess
import sys
import threading
import time

from common import (BUILD, CHECK, LISTS, ROOT, SETUP, STOPPING, expect, gone, has_what_it_needs, medium_holding, run,
                    wait_for)

sys.path.insert(0, os.path.join(ROOT, "tools", "medium"))
import authenticode  # noqa: E402

SOFTHSM = "/usr/lib/softhsm/libsofthsm2.so"
# The test authority's clock runs this far behind the machine's, and the
# test certificates begin before that.
AUTHORITY_BEHIND = "-4d"

def signed_as_recorded(exe):
    """Whether exe.signed holds the digest of exe, as make sign writes it."""
    try:
        with open(exe + ".signed") as f, open(exe, "rb") as signed:
            return f.read() == "# make sign\n%s\n" % hashlib.sha256(signed.read()).hexdigest()
    except OSError:
        return False


def certificates(work):
    """A test CA, a code-signing certificate from it (valid from five days
    ago for ten days) and one that expired three days ago (valid for two),
    each with its key, made with the clock set back by faketime."""
    paths = {name: os.path.join(work, name) for name in ("ca.pem", "ca.key", "signer.pem", "signer.key",
                                                          "expired.pem", "expired.key", "extensions")}
    with open(paths["extensions"], "w") as f:
        f.write("extendedKeyUsage = codeSigning\nbasicConstraints = CA:false\n")
    back = ["faketime", "-f", "-5d"]
    run(back + ["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "3650", "-subj", "/CN=Test CA",
                "-keyout", paths["ca.key"], "-out", paths["ca.pem"]])
    for name, days in (("signer", "10"), ("expired", "2")):
        request = os.path.join(work, name + ".csr")
        run(["openssl", "req", "-newkey", "rsa:2048", "-nodes", "-subj", "/CN=Test %s" % name,
             "-keyout", paths[name + ".key"], "-out", request])
        done = run(back + ["openssl", "x509", "-req", "-in", request, "-CA", paths["ca.pem"], "-CAkey",
                           paths["ca.key"], "-CAcreateserial", "-days", days, "-extfile", paths["extensions"],
                           "-out", paths[name + ".pem"]])
        expect("openssl makes the test certificate of %s" % name, done.returncode == 0, done.stderr[-300:])
    return paths


def token(work, paths):
    """A PKCS#11 token in software (SoftHSM 2) in a folder of its own, with
    the signer's key and certificate; its settings, and its PIN in a file."""
    folder = os.path.join(work, "token")
    os.makedirs(os.path.join(folder, "objects"))
    conf = os.path.join(folder, "softhsm2.conf")
    with open(conf, "w") as f:
        f.write("directories.tokendir = %s\nobjectstore.backend = file\nlog.level = ERROR\n"
                % os.path.join(folder, "objects"))
    env = dict(os.environ, SOFTHSM2_CONF=conf)
    pin = os.path.join(folder, "pin")
    with open(pin, "w") as f:
        f.write("4711\n")
    key8 = os.path.join(folder, "key8.pem")
    der = os.path.join(folder, "signer.der")
    run(["openssl", "pkcs8", "-topk8", "-nocrypt", "-in", paths["signer.key"], "-out", key8])
    run(["openssl", "x509", "-in", paths["signer.pem"], "-outform", "DER", "-out", der])
    steps = [["softhsm2-util", "--init-token", "--free", "--label", "Test token", "--so-pin", "87654321",
              "--pin", "4711"],
             ["softhsm2-util", "--import", key8, "--token", "Test token", "--label", "signer", "--id", "01",
              "--pin", "4711"],
             ["pkcs11-tool", "--module", SOFTHSM, "--login", "--pin", "4711", "--write-object", der, "--type",
              "cert", "--id", "01", "--label", "signer"]]
    done = None
    for argv in steps:
        done = run(argv, env=env)
        if done.returncode:
            break
    expect("SoftHSM holds the test key and certificate on a token", done.returncode == 0,
           (done.stdout + done.stderr)[-300:])
    return conf, pin


class Authority:
    """An RFC 3161 time-stamp authority on 127.0.0.1, openssl ts behind a
    small HTTP server in a thread, its clock behind the machine's; it
    answers answers requests (all, where None), then fails the rest."""

    def __init__(self, work):
        self.folder = os.path.join(work, "authority")
        os.makedirs(self.folder)
        self.files = {name: os.path.join(self.folder, name) for name in ("ca.pem", "ca.key", "tsa.pem", "tsa.key",
                                                                         "tsa.cnf", "serial")}
        with open(self.files["tsa.cnf"], "w") as f:
            f.write("[ tsa ]\ndefault_tsa = tsa_config\n[ tsa_config ]\nserial = %s\ncrypto_device = builtin\n"
                    "signer_digest = sha256\ndefault_policy = 1.2.3.4.1\nother_policies = 1.2.3.4.2\n"
                    "digests = sha1, sha256\naccuracy = secs:1\nordering = yes\ntsa_name = yes\n"
                    "ess_cert_id_chain = no\ness_cert_id_alg = sha256\n[ v3_tsa ]\n"
                    "extendedKeyUsage = critical,timeStamping\nbasicConstraints = CA:false\n"
                    "keyUsage = critical,digitalSignature\n" % self.files["serial"])
        with open(self.files["serial"], "w") as f:
            f.write("01\n")
        back = ["faketime", "-f", "-10d"]
        run(back + ["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "3650", "-subj",
                    "/CN=Test time-stamp CA", "-keyout", self.files["ca.key"], "-out", self.files["ca.pem"]])
        request = os.path.join(self.folder, "tsa.csr")
        run(["openssl", "req", "-newkey", "rsa:2048", "-nodes", "-subj", "/CN=Test time-stamp authority",
             "-keyout", self.files["tsa.key"], "-out", request])
        run(back + ["openssl", "x509", "-req", "-in", request, "-CA", self.files["ca.pem"], "-CAkey",
                    self.files["ca.key"], "-CAcreateserial", "-days", "3650", "-extfile", self.files["tsa.cnf"],
                    "-extensions", "v3_tsa", "-out", self.files["tsa.pem"]])
        self.answers = None
        authority = self

        class Handler(http.server.BaseHTTPRequestHandler):
            def do_POST(self):
                query = self.rfile.read(int(self.headers.get("Content-Length", 0)))
                if authority.answers is not None:
                    if authority.answers <= 0:
                        try:
                            self.send_error(503)
                        except BrokenPipeError:  # the client has given up
                            pass
                        return
                    authority.answers -= 1
                reply = subprocess.run(["faketime", "-f", AUTHORITY_BEHIND, "openssl", "ts", "-reply", "-config",
                                        authority.files["tsa.cnf"], "-queryfile", "/dev/stdin", "-inkey",
                                        authority.files["tsa.key"], "-signer", authority.files["tsa.pem"],
                                        "-chain", authority.files["ca.pem"]], input=query, capture_output=True)
                self.send_response(200 if reply.returncode == 0 else 500)
                self.send_header("Content-Type", "application/timestamp-reply")
                self.end_headers()
                self.wfile.write(reply.stdout)

            def log_message(self, *_):
                pass

        self.server = http.server.HTTPServer(("127.0.0.1", 0), Handler)
        self.url = "http://127.0.0.1:%d/" % self.server.server_address[1]
        threading.Thread(target=self.server.serve_forever, daemon=True).start()

    def stop(self):
        self.server.shutdown()
        self.server.server_close()


def run_sign(sign, exe, env):
    """make sign of exe, which must end within two minutes."""
    try:
        return run([sign, exe], env=env, timeout=120)
    except subprocess.TimeoutExpired:
        return subprocess.CompletedProcess([], None, "", "still running after 120 s")


def silent_authority():
    """An address that takes a connection and never answers: its URL."""
    listener = socket.socket()
    listener.bind(("127.0.0.1", 0))
    listener.listen(8)
    taken = []
    threading.Thread(target=lambda: taken.extend(listener.accept() for _ in range(8)), daemon=True).start()
    return "http://127.0.0.1:%d/" % listener.getsockname()[1]


def spoilt(exe, out, stamp=False, index=0):
    """A copy of exe with one bit flipped in the value of signature index
    (0 the outer one, 1 the one nested in it), or of its stamp."""
    with open(exe, "rb") as f:
        data = f.read()
    signer = authenticode.signed_data(authenticode.signature_blob(data))[3]
    for _ in range(index):
        unsigned = authenticode.attributes(authenticode.tagged(signer.items(), 0xA1))
        signer = authenticode.signed_data(unsigned[authenticode.NESTED][0].whole)[3]
    if stamp:
        unsigned = authenticode.attributes(authenticode.tagged(signer.items(), 0xA1))
        signer = authenticode.signed_data(unsigned[authenticode.RFC3161][0].whole)[3]
    value = authenticode.tagged(signer.items()[3:], 0x04).body
    at = data.index(value) + len(value) // 2
    with open(out, "wb") as f:
        f.write(data[:at] + bytes([data[at] ^ 1]) + data[at + 1:])


def all_verified(out, stamps):
    """Whether osslsigncode verify passed every signature (and, where stamps,
    its stamp against the authority's CA)."""
    blocks = re.split(r"\nSignature Index: ", out)[1:]
    return bool(blocks) and all("Signature verification: ok" in b and (
        not stamps or "Timestamp Server Signature verification: ok" in b) for b in blocks)


def signing():
    if not has_what_it_needs("signing", ["branding"]):
        return
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
    test_only = os.path.join(work, "test-only.exe")
    shutil.copy(os.path.join(BUILD, "elevation", "setup.exe"), test_only)  # release_test.py branding makes it
    os.symlink("unsigned.exe", os.path.join(work, "link.exe"))
    files = sorted(os.listdir(work))
    untouched = lambda: filecmp.cmp(SETUP, unsigned, shallow=False) and sorted(os.listdir(work)) == files and \
        filecmp.cmp(os.path.join(BUILD, "elevation", "setup.exe"), test_only, shallow=False)
    bare = {k: v for k, v in os.environ.items() if not k.startswith("SIGN_")}
    pem = dict(bare, SIGN_CERT=cert, SIGN_KEY=key)
    # A key on a token (SoftHSM), and a time-stamp authority of the test's own.
    paths = certificates(work)
    conf, pin = token(work, paths)
    authority = Authority(work)
    wrong_pin = os.path.join(work, "wrong-pin")
    with open(wrong_pin, "w") as f:
        f.write("1111\n")
    signer_key = "pkcs11:token=Test%20token;object=signer;type=private"
    p11 = dict(bare, SOFTHSM2_CONF=conf, SIGN_PKCS11_MODULE=SOFTHSM, SIGN_PKCS11_KEY=signer_key,
               SIGN_PASSWORD_FILE=pin)
    stamped = dict(bare, SIGN_CERT=paths["signer.pem"], SIGN_KEY=paths["signer.key"],
                   SIGN_TIMESTAMP_URL=authority.url)
    silent = silent_authority()
    open(os.path.join(work, "empty"), "w").close()
    # osslsigncode, and then one bit of each signature it makes flipped.
    spoiling = os.path.join(work, "spoiling")
    os.makedirs(spoiling)
    with open(os.path.join(spoiling, "osslsigncode"), "w") as f:
        f.write('#!/bin/sh\n%s "$@" || exit\nfor arg; do [ "${last:-}" = -out ] && out=$arg; last=$arg; done\n'
                '[ "$1" != sign ] || exec /usr/bin/python3 -c "import sys; sys.path.insert(0, sys.argv[1]); '
                'import signing; signing.spoilt(sys.argv[2], sys.argv[2])" %s "$out"\n'
                % (shutil.which("osslsigncode"), os.path.dirname(os.path.abspath(__file__))))
    os.chmod(os.path.join(spoiling, "osslsigncode"), 0o755)
    files = sorted(os.listdir(work))
    # what, environment, what it says, the file, one sentence alone, the authority's answers
    for what, env, says, exe, *one in (
            ("no certificate", bare, "no certificate", unsigned),
            ("a missing key", dict(pem, SIGN_KEY=os.path.join(work, "no-key.pem")), "", unsigned),
            ("SIGN_DIGESTS=md5", dict(pem, SIGN_DIGESTS="md5"), "SIGN_DIGESTS", unsigned),
            ("a link", pem, "unsigned.exe", os.path.join(work, "link.exe")),
            ("a wrong PIN", dict(p11, SIGN_PASSWORD_FILE=wrong_pin), "refused the PIN in " + wrong_pin, unsigned,
             True),
            ("a URI that names no key on the token", dict(p11, SIGN_PKCS11_KEY=signer_key.replace("signer", "nobody"),
                                                          SIGN_CERT=paths["signer.pem"]),
             "holds no key pkcs11:token=Test%20token;object=nobody", unsigned, True),
            ("a URI that names no certificate on the token",
             dict(p11, SIGN_PKCS11_KEY=signer_key.replace("signer", "nobody")),
             "no certificate for the key pkcs11:token=Test%20token;object=nobody", unsigned, True),
            ("a token that is not there", dict(p11, SIGN_PKCS11_KEY=signer_key.replace("Test", "Lost")),
             "no token that pkcs11:token=Lost%20token", unsigned, True),
            ("a key on a token and a key file", dict(p11, SIGN_KEY=key), "both name a key", unsigned, True),
            ("a build for the tests alone", pem, test_only + " is a build for the tests alone", test_only, True),
            ("an authority that does not answer", dict(pem, SIGN_TIMESTAMP_URL="http://127.0.0.1:9/"),
             "http://127.0.0.1:9/ gave no time stamp", unsigned, True),
            ("an authority that takes the request and never answers", dict(pem, SIGN_TIMESTAMP_URL=silent,
                                                                           SIGN_TIMESTAMP_TIMEOUT="2"),
             silent + " did not answer within 2 s", unsigned, True),
            ("a time limit that is no number", dict(stamped, SIGN_TIMESTAMP_TIMEOUT="1m"), "SIGN_TIMESTAMP_TIMEOUT",
             unsigned, True),
            ("a password file that does not exist", dict(pem, SIGN_PASSWORD_FILE=os.path.join(work, "none")),
             "which does not exist", unsigned, True),
            ("a password file that is empty", dict(pem, SIGN_PASSWORD_FILE=os.path.join(work, "empty")),
             "which is empty", unsigned, True),
            ("a password file that is a folder", dict(pem, SIGN_PASSWORD_FILE=work), "a folder", unsigned, True),
            ("a certificate that is not the key's", dict(pem, SIGN_CERT=paths["signer.pem"]),
             "is not the one of the key", unsigned, True),
            ("a signer whose signature does not verify", dict(pem, PATH=spoiling + ":" + os.environ["PATH"]),
             "SHA256 signature does not verify with its certificate's key", unsigned, True),
            ("an authority that stamps the SHA-1 signature and stops", dict(stamped, SIGN_DIGESTS="sha1+sha256"),
             "gave no time stamp", unsigned, True, 1)):
        authority.answers = one[1] if len(one) > 1 else None
        done = run_sign(sign, exe, env)
        expect("sign with %s fails, leaving the file as it was and nothing beside it%s" % (
                   what, ", in one sentence naming it" if one else ""),
               done.returncode != 0 and says in done.stderr and untouched() and
               (not one or len(done.stderr.strip().splitlines()) == 1), done.stderr[-300:])
    authority.answers = None
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

    def signer_started():
        try:
            return os.path.getsize(pid_file) > 0
        except OSError:
            return False

    for name in ("SIGINT", "SIGTERM", "SIGHUP"):
        # Each signal at its default, as a shell cannot trap one that was
        # ignored when it started (under nohup, HUP is).
        if os.path.exists(pid_file):
            os.remove(pid_file)
        process = subprocess.Popen([sign, unsigned], env=dict(pem, PATH=fake_bin + ":" + os.environ["PATH"]),
                                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                                   preexec_fn=lambda: [signal.signal(s, signal.SIG_DFL) for s in STOPPING])
        started = wait_for(signer_started, 20)
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
    os.remove(pid_file)
    process = subprocess.Popen([sign, unsigned], env=dict(pem, PATH=fake_bin + ":" + os.environ["PATH"]),
                               stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    wait_for(signer_started, 20)
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
    # A run is alive while it holds its folder's lock, whatever its process
    # number says: one in another PID namespace, or another user's, tells
    # nothing here.
    held = os.path.join(work, ".unsigned.exe.signing.999999.held")
    unheld = os.path.join(work, ".unsigned.exe.signing.%d.unheld" % os.getpid())
    os.makedirs(held)
    os.makedirs(unheld)
    holder = os.open(held, os.O_RDONLY)
    fcntl.flock(holder, fcntl.LOCK_EX)
    done = run([sign, unsigned], env=pem)
    os.close(holder)
    expect("make sign leaves the folder of a live run whose process number means nothing here, and removes one "
           "that no run holds though its number is a live process's",
           done.returncode == 0 and os.path.isdir(held) and not os.path.exists(unheld), done.stderr[-300:])
    shutil.rmtree(held)
    shutil.copy(SETUP, unsigned)
    os.remove(unsigned + ".signed")

    # osslsigncode as make sign runs it, each command line recorded: the PIN
    # is never on one, which anyone's ps shows.
    wrapped = os.path.join(work, "wrapped")
    os.makedirs(wrapped)
    command_lines = os.path.join(work, "command-lines")
    with open(os.path.join(wrapped, "osslsigncode"), "w") as f:
        f.write('#!/bin/sh\nprintf "%%s\\n" "$*" >> %s\nexec %s "$@"\n' % (command_lines, shutil.which("osslsigncode")))
    os.chmod(os.path.join(wrapped, "osslsigncode"), 0o755)
    on_token = dict(p11, PATH=wrapped + ":" + os.environ["PATH"])
    for kind, env, digests, ca, stamps in (
            ("a PEM certificate", pem, ["SHA256"], cert, False),
            ("a PKCS#12 file", dict(bare, SIGN_PKCS12=pkcs12, SIGN_PASSWORD_FILE=password), ["SHA256"], cert, False),
            ("an encrypted PEM key", dict(pem, SIGN_KEY=locked, SIGN_PASSWORD_FILE=password), ["SHA256"], cert,
             False),
            ("a key on a token, its certificate on the token", on_token, ["SHA256"], paths["ca.pem"], False),
            ("a key on a token, its certificate from SIGN_CERT", dict(on_token, SIGN_CERT=paths["signer.pem"]),
             ["SHA1", "SHA256"], paths["ca.pem"], False),
            ("a certificate that has expired, stamped while it was valid",
             dict(stamped, SIGN_CERT=paths["expired.pem"], SIGN_KEY=paths["expired.key"]), ["SHA256"],
             paths["ca.pem"], True),
            ("an authority that never answers, then one that stamps",
             dict(stamped, SIGN_TIMESTAMP_URL=silent + " " + authority.url, SIGN_TIMESTAMP_TIMEOUT="2"), ["SHA256"],
             paths["ca.pem"], True),
            ("SHA-1 and a nested SHA-256, each stamped", dict(stamped, SIGN_DIGESTS="sha1+sha256"),
             ["SHA1", "SHA256"], paths["ca.pem"], True)):
        signed = os.path.join(work, "setup.exe")  # the last one stays, for the end-to-end tables
        shutil.copy(SETUP, signed)
        os.chmod(signed, 0o751)
        if os.path.exists(command_lines):
            os.remove(command_lines)
        env = dict(env, SIGN_DIGESTS="+".join(digests).lower())
        signed_at = time.time()
        done = run_sign(sign, signed, env)
        expect("make sign with %s, keeping the file's mode, and records what it signed; says who signed and, "
               "where asked, who stamped" % kind,
               done.returncode == 0 and os.stat(signed).st_mode & 0o7777 == 0o751 and signed_as_recorded(signed) and
               "signed by /CN=" in done.stdout and
               (not stamps or done.stdout.rstrip().endswith("the stamps from " + authority.url)),
               done.stdout[-300:] + done.stderr[-500:])
        if env.get("SIGN_PKCS11_KEY"):
            with open(command_lines) as f:
                lines = f.read()
            expect("make sign with %s asks the token for the key, never with the PIN on a command line" % kind,
                   "4711" not in lines and "-pkcs11module %s" % SOFTHSM in lines and "-key " + signer_key in lines,
                   lines[-500:])
        done = run(["osslsigncode", "verify", "-CAfile", ca, "-TSA-CAfile", authority.files["ca.pem"], "-in",
                    signed])
        found = re.findall(r"Message digest algorithm  : (\S+)", done.stdout)
        expect("osslsigncode verifies the signatures made with %s against its CA: %s" % (kind, " and ".join(digests)),
               done.returncode == 0 and found == digests and all_verified(done.stdout, stamps) and
               "Number of verified signatures: %d" % len(digests) in done.stdout, (done.stdout + done.stderr)[-800:])
        if stamps:
            # The stamp's time is the authority's, days behind the machine's,
            # which signed it; the certificate is checked at that time.
            stamped_at = [calendar.timegm(time.strptime(" ".join(t.split()), "%b %d %H:%M:%S %Y GMT"))
                          for t in re.findall(r"Timestamp time: ([^\n]*)", done.stdout)]
            expect("each signature made with %s carries the authority's stamp, of its time" % kind,
                   len(stamped_at) == len(digests) and
                   all(abs(signed_at - 4 * 86400 - t) < 600 for t in stamped_at), done.stdout[-800:])
        if "expired" in kind:
            bare_verify = run(["osslsigncode", "verify", "-CAfile", ca, "-ignore-timestamp", "-in", signed])
            expect("without its stamp, the signature made with %s would not verify today" % kind,
                   not all_verified(bare_verify.stdout, False), bare_verify.stdout[-500:])
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
    # What make medium and check-medium say of the signatures: who signed,
    # and when each was stamped; one that is not stamped is a warning.
    plain = os.path.join(work, "plain.exe")
    shutil.copy(SETUP, plain)
    run([sign, plain], env=pem)
    # A pair whose nested SHA-256 signature alone is stamped.
    half = os.path.join(work, "half.exe")
    keys = ["-certs", paths["signer.pem"], "-key", paths["signer.key"]]
    run(["osslsigncode", "sign", "-h", "sha1"] + keys + ["-in", SETUP, "-out", half + ".1"])
    run(["osslsigncode", "sign", "-nest", "-h", "sha256"] + keys + ["-in", half + ".1", "-out", half + ".2"])
    run(["osslsigncode", "add", "-index", "1", "-ts", authority.url, "-in", half + ".2", "-out", half])
    medium_env = dict({k: v for k, v in bare.items() if not k.startswith("MEDIUM_")}, MEDIUM_TOOL=tool)
    for exe, says in ((signed, "signed by /CN=Test signer (SHA1, stamped %s; SHA256, stamped %s)"),
                      (plain, "signed by /CN=Throw-away test signer (SHA256, NOT stamped)"),
                      (half, "signed by /CN=Test signer (SHA1, NOT stamped; SHA256, stamped %s)")):
        folder = os.path.join(work, os.path.basename(exe) + "-medium")
        made = run([sys.executable, os.path.join(ROOT, "tools", "medium"), "make", folder, "--setup", exe],
                   env=medium_env)
        checked = run([sys.executable, os.path.join(ROOT, "tools", "medium"), "check", folder + ".iso"])
        day = time.strftime("%Y-%m-%d", time.gmtime(time.time() - 4 * 86400))
        pattern = re.escape(says).replace("%s", day + r" \d\d:\d\d:\d\d UTC")
        warned = [l for l in made.stderr.splitlines() + checked.stderr.splitlines() if "warning" in l]
        expect("make medium and check-medium name the signer of %s and say %s" % (
                   os.path.basename(exe), "when each signature was stamped" if exe == signed else
                   "which is not stamped, warning once each"),
               made.returncode == 0 and checked.returncode == 0 and re.search(pattern, made.stdout) and
               re.search("ok   setup.exe: " + pattern, checked.stdout) and
               len(warned) == (0 if exe == signed else 2) and all("no time stamp" in w for w in warned),
               made.stdout[-400:] + made.stderr[-300:] + checked.stdout[-300:])
    # One bit flipped in a signature's value, or in a stamp's: no medium, and
    # a copy of one that holds such a setup.exe fails its check.
    good = os.path.join(work, "setup.exe-medium")
    for what, stamp, index, says in (("SHA-1 signature", False, 0, "SHA1 signature does not verify"),
                                     ("nested SHA-256 signature", False, 1, "SHA256 signature does not verify"),
                                     ("SHA-1 signature's stamp", True, 0,
                                      "the time stamp of %s's SHA1 signature does not verify")):
        bad = os.path.join(work, "spoilt-%d-%d.exe" % (stamp, index))
        spoilt(signed, bad, stamp, index)
        folder = os.path.join(work, "spoilt-medium")
        made = run([sys.executable, os.path.join(ROOT, "tools", "medium"), "make", folder, "--setup", bad],
                   env=medium_env)
        copy = medium_holding(good, bad, os.path.join(work, "spoilt-copy-%d-%d" % (stamp, index)))
        checked = run([sys.executable, os.path.join(ROOT, "tools", "medium"), "check", copy])
        expect("make medium refuses a setup.exe whose %s does not verify, and check-medium fails it, each in a "
               "sentence naming it" % what,
               made.returncode != 0 and (says % bad if "%s" in says else says) in made.stderr and
               not os.path.exists(folder) and checked.returncode != 0 and
               (says % "its setup.exe" if "%s" in says else says) in checked.stdout and "ok " not in checked.stdout,
               made.stderr[-300:] + checked.stdout[-300:])
    shutil.copy(SETUP, os.path.join(work, "-setup.exe"))
    done = run([sign, "-setup.exe"], env=pem, cwd=work)
    expect("make sign signs a file whose name begins with -", done.returncode == 0 and run(
        ["osslsigncode", "verify", "-CAfile", cert, "-in", os.path.join(work, "-setup.exe")]).returncode == 0,
        done.stderr[-300:])
    authority.stop()
