#!/usr/bin/python3
"""What a medium's author does with setup.exe before shipping it.

    release_test.py branding   bad SETUP_* values stop the configure step; a
                               branded build carries what it was given; two
                               builds in two folders give the same bytes
    release_test.py signing    make sign refuses to run without a certificate;
                               signs with a throw-away one (PEM, then PKCS#12);
                               the signature verifies and the executable checks
                               still pass; leaves build/signed/setup.exe for the
                               end-to-end tables
"""
import filecmp
import os
import shutil
import struct
import subprocess
import sys

ROOT = os.path.abspath(os.path.join(os.path.dirname(__file__), ".."))
BUILD = os.path.join(ROOT, "build")
SETUP = os.path.join(BUILD, "win32", "setup.exe")
CHECK = [sys.executable, os.path.join(ROOT, "tests", "check_exe.py")]
LISTS = os.path.join(ROOT, "tests", "win2000")
BRANDING = {"SETUP_COMPANY": "Łódź Media \"Works\" Ltd.", "SETUP_PRODUCT": "Example Suite 表",
            "SETUP_VERSION": "2.5.0.65535", "SETUP_COPYRIGHT": "© 2026 Łódź Media",
            "SETUP_DESCRIPTION": "Example Suite Setup", "SETUP_EXECUTION_LEVEL": "requireAdministrator"}
failures = []


def expect(what, ok, detail=""):
    print("%s %s%s" % ("ok  " if ok else "FAIL", what, "" if ok else ": " + detail))
    if not ok:
        failures.append(what)


def run(argv, **kw):
    return subprocess.run(argv, capture_output=True, text=True, errors="replace", **kw)


def write_icon(path):
    """A 32 x 32 icon, 32 bits a pixel, as Windows 2000 reads them."""
    pixels = b"".join(struct.pack("<I", 0xFF000000 | (x * 8 << 16) | (y * 8 << 8) | 0x80)
                      for y in range(32) for x in range(32))
    image = struct.pack("<IiiHHIIiiII", 40, 32, 64, 1, 32, 0, len(pixels), 0, 0, 0, 0) + pixels + bytes(128)
    with open(path, "wb") as f:
        f.write(struct.pack("<HHH", 0, 1, 1) + struct.pack("<BBBBHHII", 32, 32, 0, 0, 1, 32, len(image), 22) + image)


def build(folder, options):
    """Builds setup.exe alone into build/FOLDER; returns its path."""
    directory = os.path.join(BUILD, folder)
    shutil.rmtree(directory, ignore_errors=True)
    done = run(["cmake", "-S", ROOT, "-B", directory, "-DCMAKE_BUILD_TYPE=MinSizeRel",
                "-DCMAKE_TOOLCHAIN_FILE=" + os.path.join(ROOT, "cmake", "i686-w64-mingw32.cmake")] +
               ["-D%s=%s" % kv for kv in options.items()])
    if done.returncode == 0:
        done = run(["cmake", "--build", directory, "--target", "setup", "--parallel", str(os.cpu_count())])
    if done.returncode:
        raise RuntimeError("building %s failed:\n%s%s" % (folder, done.stdout[-2000:], done.stderr[-2000:]))
    return os.path.join(directory, "setup.exe")


def branding():
    not_icon = os.path.join(BUILD, "not-an-icon.ico")
    icon = os.path.join(BUILD, "example.ico")
    with open(not_icon, "w") as f:
        f.write("hello\n")
    write_icon(icon)
    bad = [("SETUP_VERSION", "1.2.3"), ("SETUP_VERSION", "1.2.3.65536"), ("SETUP_VERSION", "1.2.3.x"),
           ("SETUP_EXECUTION_LEVEL", "admin"), ("SETUP_ICON", os.path.join(BUILD, "missing.ico")),
           ("SETUP_ICON", not_icon), ("SETUP_COMPANY", "two\nlines"), ("SETUP_PRODUCT", "not UTF-8 \udcff")]
    for variable, value in bad:
        done = run(["cmake", "-D%s=%s" % (variable, value), "-DBRANDING_DIR=" + os.path.join(BUILD, "bad-branding"),
                    "-P", os.path.join(ROOT, "win32", "branding.cmake")])
        expect("configure stops for %s=%r, naming it" % (variable, value),
               done.returncode != 0 and variable in done.stderr, done.stderr.strip()[-300:])

    options = dict(BRANDING, SETUP_ICON=icon)
    branded = build("branded", options)
    texts = {"CompanyName": BRANDING["SETUP_COMPANY"], "ProductName": BRANDING["SETUP_PRODUCT"],
             "LegalCopyright": BRANDING["SETUP_COPYRIGHT"], "FileDescription": BRANDING["SETUP_DESCRIPTION"]}
    done = run(CHECK + [branded, LISTS, "--level", "requireAdministrator", "--icon",
                        "--version", BRANDING["SETUP_VERSION"]] + ["--text=%s=%s" % kv for kv in texts.items()])
    print(done.stdout, end="")
    expect("the branded setup.exe carries its name, version, icon and execution level", done.returncode == 0)

    # Other folders, later: the same bytes, and no trace of either folder.
    again = build("branded-again", options)
    expect("two branded builds give the same bytes", filecmp.cmp(branded, again, shallow=False))
    expect("two default builds give the same bytes",
           filecmp.cmp(build("default", {}), build("default-again", {}), shallow=False))
    with open(again, "rb") as f:
        data = f.read()
    expect("no build folder named inside", ROOT.encode() not in data and b"branded-again" not in data)


def signing():
    work = os.path.join(BUILD, "signed")
    shutil.rmtree(work, ignore_errors=True)
    os.makedirs(work)
    cert, key = os.path.join(work, "cert.pem"), os.path.join(work, "key.pem")
    pkcs12, password = os.path.join(work, "cert.p12"), os.path.join(work, "password")
    done = run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2", "-subj",
                "/CN=Throw-away test signer", "-addext", "extendedKeyUsage=codeSigning",
                "-keyout", key, "-out", cert])
    expect("openssl makes a throw-away certificate", done.returncode == 0, done.stderr[-500:])
    with open(password, "w") as f:
        f.write("secret\n")
    run(["openssl", "pkcs12", "-export", "-in", cert, "-inkey", key, "-passout", "file:" + password, "-out", pkcs12])

    sign = os.path.join(ROOT, "tools", "sign.sh")
    unsigned = os.path.join(work, "unsigned.exe")
    shutil.copy(SETUP, unsigned)
    bare = {k: v for k, v in os.environ.items() if not k.startswith("SIGN_")}
    done = run([sign, unsigned], env=bare)
    expect("sign refuses to run without a certificate, leaving the file as it was",
           done.returncode != 0 and "no certificate" in done.stderr and filecmp.cmp(SETUP, unsigned, shallow=False))
    done = run([sign, unsigned], env=dict(bare, SIGN_CERT=cert, SIGN_KEY=os.path.join(work, "no-key.pem")))
    expect("a failed signing leaves the file as it was and nothing beside it",
           done.returncode != 0 and filecmp.cmp(SETUP, unsigned, shallow=False) and
           sorted(os.listdir(work)) == ["cert.p12", "cert.pem", "key.pem", "password", "unsigned.exe"])

    for kind, env in (("PEM", dict(bare, SIGN_CERT=cert, SIGN_KEY=key)),
                      ("PKCS#12", dict(bare, SIGN_PKCS12=pkcs12, SIGN_PASSWORD_FILE=password))):
        signed = os.path.join(work, "setup.exe")
        shutil.copy(SETUP, signed)
        done = run([sign, signed], env=env)
        expect("make sign with a %s certificate" % kind, done.returncode == 0, done.stderr[-500:])
        done = run(["osslsigncode", "verify", "-CAfile", cert, "-in", signed])
        expect("osslsigncode verifies the %s signature" % kind, done.returncode == 0 and "SHA256" in done.stdout,
               (done.stdout + done.stderr)[-800:])
        done = run(CHECK + [signed, LISTS])
        print(done.stdout, end="")
        expect("the executable checks pass on the signed file", done.returncode == 0)


def main():
    {"branding": branding, "signing": signing}[sys.argv[1]]()
    print("%d failed" % len(failures))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
