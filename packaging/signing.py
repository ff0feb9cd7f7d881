"""Signs the release's programs with the operator's key, in one of three ways (README.md): a
token's PKCS#11 library, a PKCS#12 file, or a signing service's command; timestamps them; and
then, once the last is signed, verifies every one as Windows will before any of them is
packaged. Settings are the VELMORA_SIGN_* variables; files they name are read relative to the
folder the release command was started in."""

import os
import re
import shlex
import shutil
import ssl
import subprocess
import sys
import tempfile
import time
from datetime import datetime
from pathlib import Path

from cryptography import x509
from cryptography.hazmat.primitives.serialization import Encoding
from cryptography.x509.oid import ExtendedKeyUsageOID

import signature
from release_date import git

WAYS = ("VELMORA_SIGN_PKCS11_MODULE", "VELMORA_SIGN_KEY", "VELMORA_SIGN_CERT", "VELMORA_SIGN_COMMAND", "VELMORA_SIGN_PFX")
TOKEN = WAYS[:3]
FILES = ("VELMORA_SIGN_PKCS11_MODULE", "VELMORA_SIGN_CERT", "VELMORA_SIGN_PFX", "VELMORA_SIGN_PASSWORD_FILE",
         "VELMORA_SIGN_CA_FILE")
TIMESTAMPS_WAIT = 110  # seconds for all the servers together; each has VELMORA_SIGN_TIMESTAMP_WAIT (30)


class Refused(Exception):
    """Why the release cannot be signed."""


def asked():
    return any(os.environ.get(way) for way in WAYS)


def run(command, **options):
    return subprocess.run([str(c) for c in command], stdin=subprocess.DEVNULL, capture_output=True, text=True,
                          **options)


def settings(start, source):
    """The signing settings, file names made absolute from the start folder. A file inside this
    checkout that git would add is refused: a key, PIN or password there is one `git add` away
    from the repository."""
    found = {k: v for k, v in os.environ.items() if k.startswith("VELMORA_SIGN_") and v}
    for name in FILES:
        if name not in found:
            continue
        path = found[name] = str(Path(start, found[name]))
        if not os.access(path, os.R_OK):
            raise Refused(f"{name} names {path}, which cannot be read.")
        real, checkout = Path(path).resolve(), Path(source).resolve()
        if real.is_relative_to(checkout) and git(checkout, "rev-parse").returncode == 0 and \
                git(checkout, "check-ignore", "-q", "--", real.relative_to(checkout)).returncode != 0:
            raise Refused(f"{name} names {path}, inside this checkout, where git would add it to the repository: "
                          "move it out of the checkout, or ignore it in .gitignore.")
    text = found.setdefault("VELMORA_SIGN_TIMESTAMP_WAIT", "30")
    try:
        positive = float(text) > 0
    except ValueError:
        positive = False
    if not positive:
        raise Refused(f"VELMORA_SIGN_TIMESTAMP_WAIT is {text!r}: it must be a number of seconds above 0.")
    return found


def pem_certificates(text):
    return [x509.load_pem_x509_certificate(block.encode()) for block in
            re.findall(r"-----BEGIN CERTIFICATE-----.+?-----END CERTIFICATE-----", text, re.S)]


def der(certificate):
    return certificate.public_bytes(Encoding.DER)


class Token:
    """A key on a USB token or HSM, through its PKCS#11 library; its certificate first in
    VELMORA_SIGN_CERT, its intermediates after it."""

    def __init__(self, setting):
        missing = [w for w in TOKEN if w not in setting]
        if missing:
            raise Refused(f"Signing with a token needs {', '.join(TOKEN)}; {', '.join(missing)} is not set.")
        if "pin-value" in setting["VELMORA_SIGN_KEY"]:
            raise Refused("VELMORA_SIGN_KEY holds a PIN: put it in the file VELMORA_SIGN_PASSWORD_FILE names instead.")
        self.arguments = ["-pkcs11module", setting["VELMORA_SIGN_PKCS11_MODULE"], "-key", setting["VELMORA_SIGN_KEY"],
                          "-certs", setting["VELMORA_SIGN_CERT"]] + password(setting)
        self.named = "VELMORA_SIGN_CERT's first certificate"
        self.certificate = pem_certificates(Path(setting["VELMORA_SIGN_CERT"]).read_text(errors="replace"))[:1]


class Pfx:
    """A key and its certificates in a PKCS#12 file, of the current format or the legacy one."""

    def __init__(self, setting):
        self.arguments = ["-pkcs12", setting["VELMORA_SIGN_PFX"]] + (password(setting) or ["-pass", ""])
        self.named = "the certificate of VELMORA_SIGN_PFX's key"
        secret = f"file:{setting['VELMORA_SIGN_PASSWORD_FILE']}" if "VELMORA_SIGN_PASSWORD_FILE" in setting else "pass:"
        for legacy in ([], ["-legacy"]):
            shown = run(["openssl", "pkcs12", "-in", setting["VELMORA_SIGN_PFX"], "-nokeys", "-clcerts", "-passin", secret,
                         *legacy])
            if shown.returncode == 0:
                break
        self.certificate = pem_certificates(shown.stdout)[:1]


class Command:
    """A signing service's command, run for each program with its path appended; it signs the
    file in place."""

    def __init__(self, setting, start):
        self.words, self.start = shlex.split(setting["VELMORA_SIGN_COMMAND"]), start
        self.named, self.certificate = None, []

    def sign(self, program, name):
        try:
            done = run(self.words + [program], cwd=self.start, timeout=600)
        except (OSError, subprocess.TimeoutExpired) as error:
            raise Refused(f"VELMORA_SIGN_COMMAND could not sign {name}: {error}") from error
        if done.returncode != 0:
            raise Refused(f"VELMORA_SIGN_COMMAND failed on {name}:\n{done.stdout}{done.stderr}")


def password(setting):
    """The PIN or password stays in its file: every user of the machine can read command lines."""
    return ["-readpass", setting["VELMORA_SIGN_PASSWORD_FILE"]] if "VELMORA_SIGN_PASSWORD_FILE" in setting else []


def key_source(setting, start):
    ways = [w for w in ("VELMORA_SIGN_PFX", "VELMORA_SIGN_COMMAND") if w in setting]
    ways += ["a token"] if any(w in setting for w in TOKEN) else []
    if len(ways) != 1:
        raise Refused(f"Set one way of signing, not {' and '.join(ways)}.")
    return {"VELMORA_SIGN_PFX": Pfx, "VELMORA_SIGN_COMMAND": lambda s: Command(s, start), "a token": Token}[ways[0]](setting)


def why_not_signed(output, setting):
    """What osslsigncode's failure means, in the operator's terms."""
    if "PIN incorrect" in output or "PIN_INCORRECT" in output:
        return "The token refused the PIN in VELMORA_SIGN_PASSWORD_FILE: wrong PIN."
    if "mac verify failure" in output:
        return "The password in VELMORA_SIGN_PASSWORD_FILE does not open VELMORA_SIGN_PFX: wrong password."
    if "VELMORA_SIGN_PFX" in setting and "Type=PKCS12" in output:
        return f"VELMORA_SIGN_PFX names {setting['VELMORA_SIGN_PFX']}, which is not a PKCS#12 file."
    return f"osslsigncode failed:\n{output}"


def read_signature(program, work):
    """The program's signature, read, or None when it has none."""
    extracted = work / "signature.der"
    extracted.unlink(missing_ok=True)
    if run(["osslsigncode", "extract-signature", "-in", program, "-out", extracted]).returncode != 0:
        return None
    try:
        return signature.read(extracted.read_bytes())
    except (ValueError, IndexError):
        return None


def timestamp_problem(found, authorities, work):
    """Why Windows would reject a signature's timestamp, or None: its token must be signed by a
    certificate for time stamping that chains to a trusted root, and stamp this signature."""
    if not found or not found.timestamp:
        return "it carries no timestamp"
    (work / "token.der").write_bytes(found.timestamp)
    (work / "stamped.bin").write_bytes(found.value)
    checked = run(["openssl", "ts", "-verify", "-token_in", "-in", work / "token.der", "-data", work / "stamped.bin",
                   "-CAfile", authorities])
    if checked.returncode == 0:
        return None
    errors = [line.split(":", 5)[-1] for line in checked.stderr.splitlines() if ":error:" in line]
    return "; ".join(errors) or checked.stdout.strip()


def stamp(program, servers, wait, deadline, authorities, work):
    """Adds a timestamp from the first server that gives one Windows accepts: a server that does
    not is named, with why, and not asked again. Each remaining server gets its share of what
    is left of the time all have together. Returns the server."""
    while servers:
        server, left = servers[0], deadline - time.monotonic()
        turn = min(wait, left / len(servers))
        if turn < 1:
            raise Refused(f"The timestamp servers had {TIMESTAMPS_WAIT} s in all; not tried: {', '.join(servers)}.")
        stamped = work / "stamped.exe"
        stamped.unlink(missing_ok=True)
        try:
            done = run(["osslsigncode", "add", "-ts", server, "-in", program, "-out", stamped], timeout=turn)
            why = None if done.returncode == 0 else f"it gave no timestamp ({done.stderr.strip() or done.stdout.strip()})"
        except subprocess.TimeoutExpired:
            why = f"it did not answer within {turn:.0f} s"
        why = why or timestamp_problem(read_signature(stamped, work), authorities, work)
        if why is None:
            os.replace(stamped, program)
            return server
        print(f"The timestamp server {server} is not used: {why}.", file=sys.stderr)
        servers.pop(0)
    raise Refused("No timestamp server in VELMORA_SIGN_TIMESTAMP_URL gave a timestamp Windows accepts.")


def missing_issuer(signer, carried, authorities):
    """The issuer that the signer's chain, through the certificates it carries, does not reach
    among the trusted roots, or None."""
    trusted = {c.subject for c in pem_certificates(Path(authorities).read_text(errors="replace"))}
    by_subject = {c.subject: c for c in carried}
    certificate, seen = signer, set()
    while certificate.issuer not in trusted:
        if certificate.issuer in seen or certificate.issuer not in by_subject:
            return certificate.issuer.rfc4514_string()
        seen.add(certificate.issuer)
        certificate = by_subject[certificate.issuer]
    return None


def unusable(certificate, now):
    """Why Windows would reject signatures by this certificate now, or None."""
    if now < certificate.not_valid_before:
        return f"The certificate is not yet valid: it is valid from {certificate.not_valid_before} UTC."
    if now > certificate.not_valid_after:
        return f"The certificate has expired: it was valid until {certificate.not_valid_after} UTC."
    try:
        usages = certificate.extensions.get_extension_for_class(x509.ExtendedKeyUsage).value
    except x509.ExtensionNotFound:
        return None
    if ExtendedKeyUsageOID.CODE_SIGNING not in usages:
        return "The certificate is not for code signing: its extended key usage lacks Code Signing."
    return None


def verify(program, name, key, authorities, work):
    """Stops the release unless Windows would accept the program's signature now: SHA-256, by
    the certificate the settings name, valid now and for code signing, chained to a trusted root
    with the intermediates it carries, and a timestamp, if it has one, that stamps it. Returns
    the signer's certificate and whether it is timestamped."""
    now = int(time.time())
    found = read_signature(program, work)
    if found is None or not found.signer:
        raise Refused(f"The signature of {name} does not verify: it has none, or none that names its certificate.")
    signer = x509.load_der_x509_certificate(found.signer)
    if key.named and (not key.certificate or found.signer != der(key.certificate[0])):
        wanted = key.certificate[0].subject.rfc4514_string() if key.certificate else "none it could read"
        raise Refused(f"{name} was signed with the certificate of {signer.subject.rfc4514_string()}, not with "
                      f"{key.named} ({wanted}). A token holding more than one key under that name signs with the "
                      "first it finds: name the key by its id in VELMORA_SIGN_KEY.")
    error = unusable(signer, datetime.utcfromtimestamp(now))
    if error:
        raise Refused(f"{name}: {error}")
    if (found.file_digest, found.signer_digest) != (signature.SHA256, signature.SHA256):
        raise Refused(f"{name} is not signed with SHA-256 alone, which Windows 10 and 11 require.")
    verified = run(["osslsigncode", "verify", "-CAfile", authorities, "-TSA-CAfile", authorities, "-time", now,
                    "-in", program])
    if verified.returncode != 0:
        carried = [x509.load_der_x509_certificate(c) for c in found.certificates]
        issuer = missing_issuer(signer, carried, authorities)
        hint = (f": its chain needs {issuer}, which is not among the trusted roots here; VELMORA_SIGN_CA_FILE adds "
                "it (as Microsoft's Trusted Signing needs Microsoft Identity Verification Root Certificate Authority "
                "2020)" if issuer else "")
        raise Refused(f"The signature of {name} does not verify{hint}:\n{verified.stdout}{verified.stderr}")
    problem = found.timestamp and timestamp_problem(found, authorities, work)
    if problem:
        raise Refused(f"The timestamp of {name} would not be accepted: {problem}.")
    return signer, bool(found.timestamp)


def sign(programs, epoch, start, source):
    """Signs the programs ({name: path}) in place, then verifies them all. Returns the bytes it
    verified, by name, and what the release should say of its signatures; raises Refused."""
    setting = settings(start, source)
    if not shutil.which("osslsigncode"):
        raise Refused("Signing needs osslsigncode (Debian package osslsigncode).")
    key = key_source(setting, start)
    servers = setting.get("VELMORA_SIGN_TIMESTAMP_URL", "").split()
    wait, deadline, stampers = float(setting["VELMORA_SIGN_TIMESTAMP_WAIT"]), time.monotonic() + TIMESTAMPS_WAIT, []
    system = ssl.get_default_verify_paths().cafile
    with tempfile.TemporaryDirectory() as folder:
        work = Path(folder)
        authorities = work / "authorities.pem"
        authorities.write_text((Path(system).read_text() if system else "") +
                               (Path(setting["VELMORA_SIGN_CA_FILE"]).read_text() if "VELMORA_SIGN_CA_FILE" in setting else ""))
        for name, program in programs.items():
            if isinstance(key, Command):
                key.sign(program, name)
                continue
            done = run(["osslsigncode", "sign", *key.arguments, "-h", "sha256", "-time", epoch, "-in", program,
                        "-out", work / "signed.exe"])
            if done.returncode != 0:
                raise Refused(why_not_signed(done.stdout + done.stderr, setting))
            os.replace(work / "signed.exe", program)
            if servers:
                stampers.append(stamp(program, servers, wait, deadline, authorities, work))
        # Only now, whoever signed them and whatever a sign command did to the others meanwhile:
        # exactly the bytes checked here are packaged.
        verified, signers, stamped = {}, [], []
        for name, program in programs.items():
            checked = work / "checked.exe"
            checked.write_bytes(program.read_bytes())
            signer, timestamped = verify(checked, name, key, authorities, work)
            verified[name] = checked.read_bytes()
            signers.append(signer)
            stamped.append(timestamped)
    until = f"{min(s.not_valid_after for s in signers):%Y-%m-%d %H:%M} UTC"
    how = "signed by VELMORA_SIGN_COMMAND" if isinstance(key, Command) else "signed"
    if all(stamped):
        by = f" by {' and '.join(dict.fromkeys(stampers))}" if stampers else ""
        return verified, f"{how} with a certificate valid until {until}, timestamped{by}"
    return verified, (f"{how} without a timestamp: Windows accepts the signatures until {until}, when the "
                      "certificate expires (VELMORA_SIGN_TIMESTAMP_URL makes them outlast it)")
