"""Finishes the release: signs the programs when asked to, writes one zip for each build, with
both programs and that build's user README, and the sums a user can check where the files end
up (SHA256SUMS of the zips beside them, and in each build's folder SHA256SUMS of its programs),
then puts the whole release in place of dist/.

    package.py STAGE DIST VERSION DATE_FILE README_DIR SITE_HOST START_FOLDER

STAGE holds the freshly built programs (win32/, win64/), README_DIR each build's README.txt.
Everything is made in STAGE; dist/ is replaced only by a complete release, in two renames, so
that whatever stops the run (a failure, Ctrl-C, the process killed) dist/ holds the previous
release, the new one or, between the renames, none: never unsigned programs of a release that
was to be signed.

Each zip entry is dated with the release date (seconds since 1970, in DATE_FILE) in UTC and
carries no owner, no extra times and no build machine's details, so the same files give the
same zip whenever and by whomever it is built. The signatures are dated with it too, so that
without a timestamp the same key and certificate give the same bytes. Signing settings
(VELMORA_SIGN_*, README.md) that name files are read relative to START_FOLDER, where the
release command was started."""

import hashlib
import os
import shlex
import shutil
import ssl
import subprocess
import sys
import tempfile
import time
import zipfile
from pathlib import Path

BUILDS = ("win32", "win64")
PROGRAMS = ("VelmoraPlayer.exe", "VelmoraPlayerUninstaller.exe")
PLACEHOLDER_HOST = "velmora.example"
# Any of these asks for a signed release.
WAYS = ("VELMORA_SIGN_PKCS11_MODULE", "VELMORA_SIGN_KEY", "VELMORA_SIGN_CERT", "VELMORA_SIGN_COMMAND", "VELMORA_SIGN_PFX")
FILES = ("VELMORA_SIGN_PKCS11_MODULE", "VELMORA_SIGN_CERT", "VELMORA_SIGN_PFX", "VELMORA_SIGN_PASSWORD_FILE",
         "VELMORA_SIGN_CA_FILE")
TIMESTAMPS_WAIT = 110  # seconds for all the servers together; each has VELMORA_SIGN_TIMESTAMP_WAIT (30)


class Refused(Exception):
    """Why the release cannot be signed."""


def settings(start):
    """The signing settings, file names made absolute from the start folder."""
    found = {k: v for k, v in os.environ.items() if k.startswith("VELMORA_SIGN_") and v}
    for name in FILES:
        if name in found:
            found[name] = str(Path(start, found[name]))
            if not os.access(found[name], os.R_OK):
                raise Refused(f"{name} names {found[name]}, which cannot be read.")
    return found


def signer_command(setting):
    """osslsigncode's arguments for the key, and what signs with it, or None for a sign command.
    Secrets stay in files: the command lines of every process can be read by every user."""
    ways = [w for w in ("VELMORA_SIGN_PFX", "VELMORA_SIGN_COMMAND") if w in setting]
    token = [w for w in WAYS[:3] if w in setting]
    if token:
        missing = [w for w in WAYS[:3] if w not in setting]
        if missing:
            raise Refused(f"Signing with a token needs {', '.join(WAYS[:3])}; {', '.join(missing)} is not set.")
        if "pin-value" in setting["VELMORA_SIGN_KEY"]:
            raise Refused("VELMORA_SIGN_KEY holds a PIN: put it in the file VELMORA_SIGN_PASSWORD_FILE names instead.")
        ways.append("a token")
    if len(ways) != 1:
        raise Refused(f"Set one way of signing, not {' and '.join(ways)}.")
    if "VELMORA_SIGN_COMMAND" in setting:
        return None
    password = ["-readpass", setting["VELMORA_SIGN_PASSWORD_FILE"]] if "VELMORA_SIGN_PASSWORD_FILE" in setting else []
    if token:
        return ["-pkcs11module", setting["VELMORA_SIGN_PKCS11_MODULE"], "-key", setting["VELMORA_SIGN_KEY"],
                "-certs", setting["VELMORA_SIGN_CERT"]] + password
    return ["-pkcs12", setting["VELMORA_SIGN_PFX"]] + (password or ["-pass", ""])


def why_not_signed(output, setting):
    """What osslsigncode's failure means, in the operator's terms."""
    if "PIN incorrect" in output or "PIN_INCORRECT" in output:
        return "The token refused the PIN in VELMORA_SIGN_PASSWORD_FILE: wrong PIN."
    if "mac verify failure" in output:
        return "The password in VELMORA_SIGN_PASSWORD_FILE does not open VELMORA_SIGN_PFX: wrong password."
    if "VELMORA_SIGN_PFX" in setting and "Type=PKCS12" in output:
        return f"VELMORA_SIGN_PFX names {setting['VELMORA_SIGN_PFX']}, which is not a PKCS#12 file."
    return f"osslsigncode failed:\n{output}"


def sign_one(command, program, epoch, setting, servers, deadline):
    """Signs one program in place with osslsigncode, timestamped by the first server that answers
    in time; servers that did not answer are dropped for the programs after it."""
    while True:
        timestamp = ["-ts", servers[0]] if servers else []
        each = float(setting.get("VELMORA_SIGN_TIMESTAMP_WAIT", 30))
        wait = max(1, min(each, deadline - time.monotonic())) if servers else None
        out = program.with_suffix(".signed")
        try:
            done = subprocess.run(["osslsigncode", "sign"] + command + ["-h", "sha256", "-time", epoch] + timestamp +
                                  ["-in", str(program), "-out", str(out)], stdin=subprocess.DEVNULL,
                                  capture_output=True, text=True, timeout=wait)
        except subprocess.TimeoutExpired:
            done = None
        if done and done.returncode == 0:
            os.replace(out, program)
            return
        out.unlink(missing_ok=True)
        output = done.stdout + done.stderr if done else ""
        if not servers or (done and servers[0] not in output and "timestamp" not in output.lower()):
            raise Refused(why_not_signed(output, setting))
        said = f"did not answer within {wait:.0f} s" if done is None else "failed"
        print(f"The timestamp server {servers[0]} {said}.", file=sys.stderr)
        servers.pop(0)
        if not servers or time.monotonic() >= deadline:
            raise Refused("No timestamp server in VELMORA_SIGN_TIMESTAMP_URL answered: nothing was signed.")


def certificates(pem):
    """The PEM blocks of a file's text."""
    end = "-----END CERTIFICATE-----"
    return [block + end + "\n" for block in pem.split(end) if "-----BEGIN CERTIFICATE-----" in block]


def x509(pem, *options):
    return subprocess.run(["openssl", "x509", "-noout", *options], input=pem, capture_output=True, text=True).stdout


def unusable(pem, now):
    """Why Windows would reject signatures by this certificate now, or None."""
    shown = x509(pem, "-startdate", "-enddate", "-ext", "extendedKeyUsage")
    dates = dict(line.split("=", 1) for line in shown.splitlines() if line.startswith(("notBefore=", "notAfter=")))
    if now < ssl.cert_time_to_seconds(dates["notBefore"]):
        return f"The certificate is not yet valid: it is valid from {dates['notBefore']}."
    if now > ssl.cert_time_to_seconds(dates["notAfter"]):
        return f"The certificate has expired: it was valid until {dates['notAfter']}."
    if "Extended Key Usage" in shown and "Code Signing" not in shown:
        return "The certificate is not for code signing: its extended key usage lacks Code Signing."
    return None


def signer_of(program, work):
    """The certificate a program's signature was made with: of the certificates it carries, the
    one that issued none of the others."""
    signature = work / "signature.pem"
    subprocess.run(["osslsigncode", "extract-signature", "-pem", "-in", str(program), "-out", str(signature)],
                   capture_output=True, check=True)
    carried = certificates(subprocess.run(["openssl", "pkcs7", "-print_certs", "-in", str(signature)],
                                          capture_output=True, text=True).stdout)
    issuers = {x509(c, "-issuer").split("=", 1)[-1] for c in carried}
    leaves = [c for c in carried if x509(c, "-subject").split("=", 1)[-1] not in issuers or len(carried) == 1]
    signature.unlink()
    return leaves[0] if leaves else None


def check(program, authorities, work):
    """Stops the release unless Windows would accept the program's signature now: a chain from
    the system's trusted roots (and VELMORA_SIGN_CA_FILE), a code-signing certificate valid now.
    Returns that certificate."""
    name = f"{program.parent.name}/{program.name}"
    now = str(int(time.time()))
    try:
        signer = signer_of(program, work)
    except subprocess.CalledProcessError:
        signer = None
    error = unusable(signer, int(now)) if signer else None
    if error:
        raise Refused(f"{name}: {error}")
    verified = subprocess.run(["osslsigncode", "verify", "-CAfile", authorities, "-TSA-CAfile", authorities,
                               "-time", now, "-in", str(program)], capture_output=True, text=True)
    if not signer or verified.returncode != 0:
        raise Refused(f"The signature of {name} does not verify:\n{verified.stdout}{verified.stderr}")
    return signer


def sign(stage, epoch, start):
    """Signs every program in the stage, or raises Refused. Returns what the release should say
    of its signatures."""
    setting = settings(start)
    if not shutil.which("osslsigncode"):
        raise Refused("Signing needs osslsigncode (Debian package osslsigncode).")
    command = signer_command(setting)
    servers = setting.get("VELMORA_SIGN_TIMESTAMP_URL", "").split()
    deadline = time.monotonic() + TIMESTAMPS_WAIT
    system = Path(ssl.get_default_verify_paths().openssl_cafile)
    with tempfile.TemporaryDirectory() as work:
        authorities = Path(work) / "authorities.pem"
        authorities.write_text((system.read_text() if system.is_file() else "") +
                               (Path(setting["VELMORA_SIGN_CA_FILE"]).read_text() if "VELMORA_SIGN_CA_FILE" in setting else ""))
        for build in BUILDS:
            for name in PROGRAMS:
                program = stage / build / name
                if command is None:
                    words = shlex.split(setting["VELMORA_SIGN_COMMAND"]) + [str(program)]
                    try:
                        done = subprocess.run(words, cwd=start, stdin=subprocess.DEVNULL, capture_output=True,
                                              text=True, timeout=600)
                    except (OSError, subprocess.TimeoutExpired) as error:
                        raise Refused(f"VELMORA_SIGN_COMMAND could not sign {build}/{name}: {error}") from error
                    if done.returncode != 0:
                        raise Refused(f"VELMORA_SIGN_COMMAND failed on {build}/{name}:\n{done.stdout}{done.stderr}")
                else:
                    sign_one(command, program, epoch, setting, servers, deadline)
                signer = check(program, str(authorities), Path(work))
    if command is None:
        return "signed by VELMORA_SIGN_COMMAND, every signature verified"
    if servers:
        return f"signed, timestamped by {servers[0]}"
    until = x509(signer, "-enddate").strip().split("=", 1)[-1]
    return (f"signed without a timestamp: Windows accepts the signatures until {until}, when the certificate "
            "expires (VELMORA_SIGN_TIMESTAMP_URL makes them outlast it)")


def write_sums(folder, names):
    lines = [f"{hashlib.sha256((folder / n).read_bytes()).hexdigest()}  {n}\n" for n in names]
    (folder / "SHA256SUMS").write_text("".join(lines), newline="\n")


def publish(stage, dist):
    """dist/ becomes the stage in two renames on dist/'s own file system."""
    new, old = dist.with_name(dist.name + ".new"), dist.with_name(dist.name + ".old")
    for leftover in (new, old):
        shutil.rmtree(leftover, ignore_errors=True)
    shutil.copytree(stage, new)
    if dist.exists():
        os.rename(dist, old)
    os.rename(new, dist)
    shutil.rmtree(old, ignore_errors=True)


def main(stage, dist, version, date_file, readmes, site_host, start):
    epoch = Path(date_file).read_text().strip()
    stage, date = Path(stage), time.gmtime(int(epoch))[:6]
    for old in [*stage.glob("*.zip"), stage / "SHA256SUMS"]:
        old.unlink(missing_ok=True)
    signed = "not signed"
    if any(os.environ.get(way) for way in WAYS):
        try:
            signed = sign(stage, epoch, start)
        except Refused as error:
            sys.exit(f"The release is not signed, and dist/ is left as it was: {error}")
    zips = []
    for build in BUILDS:
        write_sums(stage / build, PROGRAMS)
        name = f"VelmoraPlayer-{version}-{build}.zip"
        with zipfile.ZipFile(stage / name, "w") as package:
            for entry, data in [("README.txt", Path(readmes, build, "README.txt").read_bytes())] + [
                    (p, (stage / build / p).read_bytes()) for p in PROGRAMS]:
                info = zipfile.ZipInfo(entry, date)
                info.compress_type = zipfile.ZIP_DEFLATED
                info.external_attr = 0o644 << 16
                package.writestr(info, data, compresslevel=9)
        zips.append(name)
    write_sums(stage, zips)
    publish(stage, Path(dist))
    placeholder = (f": its links and messages name {PLACEHOLDER_HOST}, a placeholder; set VELMORA_SITE_HOST for your "
                   "site (README.md)") if site_host == PLACEHOLDER_HOST else ""
    print(f"Release {version} in {dist}: for the web site {site_host}{placeholder}; {signed}.")


if __name__ == "__main__":
    main(*sys.argv[1:])
