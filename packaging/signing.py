"""Signs the release's programs with the operator's key, in one of three ways (docs/operators.md): a
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
import tempfile
import time
from datetime import datetime
from pathlib import Path

from asn1crypto import pkcs12 as pkcs12_form
from cryptography import x509
from cryptography.hazmat.primitives.serialization import Encoding, pkcs12
from cryptography.x509.oid import ExtendedKeyUsageOID

import signature
import timestamps
from release_date import git
from timestamps import Refused, run

WAYS = ("VELMORA_SIGN_PKCS11_MODULE", "VELMORA_SIGN_KEY", "VELMORA_SIGN_CERT", "VELMORA_SIGN_COMMAND", "VELMORA_SIGN_PFX")
TOKEN = WAYS[:3]
FILES = ("VELMORA_SIGN_PKCS11_MODULE", "VELMORA_SIGN_CERT", "VELMORA_SIGN_PFX", "VELMORA_SIGN_PASSWORD_FILE",
         "VELMORA_SIGN_CA_FILE")


def asked():
    return any(os.environ.get(way) for way in WAYS)


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


def pem_blocks(path):
    return re.findall(r"-----BEGIN CERTIFICATE-----.+?-----END CERTIFICATE-----", Path(path).read_text(errors="replace"),
                      re.S)


def pem_certificates(path, setting):
    """The certificates a PEM file holds, each read whole; one that cannot be read is refused."""
    try:
        return [signature.certificate(ssl.PEM_cert_to_DER_cert(block)) for block in pem_blocks(path)]
    except Exception as error:  # cryptography reads less than OpenSSL: a bad extension, version or date
        raise Refused(f"{setting} names {path}, which holds a certificate that cannot be read: {error}") from error


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
        self.certificate = pem_certificates(setting["VELMORA_SIGN_CERT"], "VELMORA_SIGN_CERT")[:1]


class Pfx:
    """A key and its certificates in a PKCS#12 file, of the current format or the legacy one."""

    def __init__(self, setting):
        self.arguments = ["-pkcs12", setting["VELMORA_SIGN_PFX"]] + (password(setting) or ["-pass", ""])
        self.named = "the certificate of VELMORA_SIGN_PFX's key"
        path = setting["VELMORA_SIGN_PFX"]
        data = Path(path).read_bytes()
        try:
            pkcs12_form.Pfx.load(data, strict=True).native
        except Exception as error:
            raise Refused(f"VELMORA_SIGN_PFX names {path}, which is not a PKCS#12 file.") from error
        # osslsigncode reads the password file's first line, as this does.
        given = Path(setting["VELMORA_SIGN_PASSWORD_FILE"]).read_bytes().split(b"\n")[0].rstrip(b"\r") \
            if "VELMORA_SIGN_PASSWORD_FILE" in setting else None
        for secret in ([given] if given is not None else [None, b""]):
            try:
                certificate = pkcs12.load_key_and_certificates(data, secret)[1]
                break
            except ValueError:
                continue
        else:
            raise Refused("The password in VELMORA_SIGN_PASSWORD_FILE does not open VELMORA_SIGN_PFX: wrong password."
                          if given is not None else f"VELMORA_SIGN_PFX names {path}, which needs a password: "
                          "VELMORA_SIGN_PASSWORD_FILE names the file that holds it.")
        try:
            self.certificate = [signature.certificate(certificate.public_bytes(Encoding.DER))] if certificate else []
        except Exception as error:
            raise Refused(f"VELMORA_SIGN_PFX names {path}, whose certificate cannot be read: {error}") from error


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


def why_not_signed(output):
    """What osslsigncode's failure means, in the operator's terms: a token's refusal of the PIN
    comes back only as the PKCS#11 library's own words."""
    if "PIN incorrect" in output or "PIN_INCORRECT" in output:
        return "The token refused the PIN in VELMORA_SIGN_PASSWORD_FILE: wrong PIN."
    return f"osslsigncode failed:\n{output}"


def trusted_roots(authorities):
    trusted = []
    for block in pem_blocks(authorities):
        try:
            trusted.append(x509.load_pem_x509_certificate(block.encode()))
        except ValueError:  # a root cryptography cannot read issues nothing here
            continue
    return trusted


def damaged(carried, authorities):
    """A certificate the signature carries that none of its possible issuers (carried, or
    trusted) signed, or whose issuer is neither, or None: one byte changed in it, even in one the
    chain need not use. A chain file from a CA holds the signer's chain, whose last issuer is a
    trusted root."""
    issuers = carried + trusted_roots(authorities)
    for certificate in carried:
        candidates = [i for i in issuers if i.subject == certificate.issuer]
        try:
            digest = certificate.signature_hash_algorithm.name
        except Exception:  # an algorithm cryptography does not know
            return certificate
        if not any(signature.verifies(i.public_key(), certificate.signature,
                                                     certificate.tbs_certificate_bytes, digest) for i in candidates):
            return certificate
    return None


def missing_issuer(signer, carried, authorities):
    """The issuer that the signer's chain, through the certificates it carries, does not reach
    among the trusted roots, or None."""
    trusted = {c.subject for c in trusted_roots(authorities)}
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
    with the intermediates it carries, its timestamps of either kind as Windows checks them, and
    every certificate it carries signed by a known issuer. Returns
    the signer's certificate and whether it is timestamped."""
    now = int(time.time())
    try:
        found = signature.read(program.read_bytes())
    except signature.Unreadable as error:
        raise Refused(f"The signature of {name} does not verify: {error}.") from error
    signer = found.signer
    if signer is None:
        raise Refused(f"The signature of {name} does not verify: it does not carry the certificate that signed it.")
    if key.named and (not key.certificate or der(signer) != der(key.certificate[0])):
        wanted = key.certificate[0].subject.rfc4514_string() if key.certificate else "none it could read"
        raise Refused(f"{name} was signed with the certificate of {signer.subject.rfc4514_string()}, not with "
                      f"{key.named} ({wanted}). A token holding more than one key under that name signs with the "
                      "first it finds: name the key by its id in VELMORA_SIGN_KEY.")
    error = unusable(signer, datetime.utcfromtimestamp(now))
    if error:
        raise Refused(f"{name}: {error}")
    if (found.file_digest, found.signer_digest) != ("sha256", "sha256"):
        raise Refused(f"{name} is not signed with SHA-256 alone, which Windows 10 and 11 require.")
    verified = run(["osslsigncode", "verify", "-CAfile", authorities, "-TSA-CAfile", authorities, "-time", now,
                    "-in", program])
    if verified.returncode != 0:
        issuer = missing_issuer(signer, found.certificates, authorities)
        hint = (f": its chain needs {issuer}, which is not among the trusted roots here; VELMORA_SIGN_CA_FILE adds "
                "it (as Microsoft's Trusted Signing needs Microsoft Identity Verification Root Certificate Authority "
                "2020)" if issuer else "")
        raise Refused(f"The signature of {name} does not verify{hint}:\n{verified.stdout}{verified.stderr}")
    problem = timestamps.problems(found, authorities, work)
    if problem:
        raise Refused(f"The timestamp of {name} would not be accepted: {problem}.")
    broken = damaged(found.certificates, authorities)
    if broken:
        raise Refused(f"The signature of {name} carries a certificate that is damaged or of no known issuer: "
                      f"{broken.subject.rfc4514_string()}, issued by {broken.issuer.rfc4514_string()}.")
    return signer, bool(found.timestamps)


def unstamped(program):
    """Whether a program is signed without a timestamp; one whose signature cannot be read is
    left to the verification, which says why."""
    try:
        return not signature.read(program.read_bytes()).timestamps
    except signature.Unreadable:
        return False


def sign(programs, epoch, start, source):
    """Signs the programs ({name: path}) in place, then verifies them all. Returns the bytes it
    verified, by name, and what the release should say of its signatures; raises Refused."""
    setting = settings(start, source)
    if not shutil.which("osslsigncode"):
        raise Refused("Signing needs osslsigncode (Debian package osslsigncode).")
    key = key_source(setting, start)
    servers = setting.get("VELMORA_SIGN_TIMESTAMP_URL", "").split()
    wait, stampers = float(setting["VELMORA_SIGN_TIMESTAMP_WAIT"]), []
    deadline = time.monotonic() + timestamps.TIMESTAMPS_WAIT
    system = ssl.get_default_verify_paths().cafile
    with tempfile.TemporaryDirectory() as folder:
        work = Path(folder)
        authorities = work / "authorities.pem"
        authorities.write_text((Path(system).read_text() if system else "") +
                               (Path(setting["VELMORA_SIGN_CA_FILE"]).read_text() if "VELMORA_SIGN_CA_FILE" in setting else ""))
        for name, program in programs.items():
            if isinstance(key, Command):
                key.sign(program, name)
            else:
                done = run(["osslsigncode", "sign", *key.arguments, "-h", "sha256", "-time", epoch, "-in", program,
                            "-out", work / "signed.exe"])
                if done.returncode != 0:
                    raise Refused(why_not_signed(done.stdout + done.stderr))
                os.replace(work / "signed.exe", program)
            if servers and unstamped(program):
                stampers.append(timestamps.stamp(program, servers, wait, deadline, authorities, work))
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
