"""Whether Windows would accept a program's signature now, by the rules docs/operators.md lists:
osslsigncode checks the signature itself, openssl the chains and timestamps, this the rest."""

import hashlib
import time
from datetime import datetime

from cryptography import x509
from cryptography.hazmat.primitives.serialization import Encoding
from cryptography.x509.oid import ExtendedKeyUsageOID

import signature
from commands import Refused, run


def chain(certificate, found, authorities, work, *options):
    """openssl's check of the certificate's chain to a trusted root, through the certificates
    the signature carries, with the digests Windows takes (SHA-1 among them)."""
    (work / "carried.pem").write_bytes(b"".join(c.public_bytes(Encoding.PEM) for c in found.certificates))
    (work / "certificate.pem").write_bytes(certificate.public_bytes(Encoding.PEM))
    return run(["openssl", "verify", "-auth_level", "0", *options, "-CAfile", authorities, "-untrusted",
                work / "carried.pem", work / "certificate.pem"])


def top_issuer(signer, carried):
    """The issuer at the top of the signer's chain through the certificates it carries."""
    by_subject = {c.subject: c for c in carried if c.subject != c.issuer}
    for _ in carried:
        signer = by_subject.get(signer.issuer, signer)
    return signer.issuer.rfc4514_string()


def unusable(certificate, now):
    """Why Windows would reject signatures by this certificate at `now` (UTC), or None."""
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


def openssl_errors(done):
    errors = [line.split(":", 5)[-1] for line in done.stderr.splitlines() if ":error:" in line]
    return "; ".join(errors) or done.stdout.strip() or done.stderr.strip()


def countersignature_problem(stamp, found, authorities, work):
    """Why an Authenticode countersignature would be rejected, or None."""
    if stamp.digest not in hashlib.algorithms_available or \
            stamp.stamped != hashlib.new(stamp.digest, found.value).digest():
        return "its Authenticode timestamp stamps another signature (message imprint mismatch)"
    checked = run(["openssl", "cms", "-verify", "-binary", "-inform", "DER", "-in", work / "token.der", "-content",
                   work / "stamped.bin", "-purpose", "timestampsign", "-auth_level", "0", "-CAfile", authorities,
                   "-out", "/dev/null"])
    return None if checked.returncode == 0 else f"its Authenticode timestamp does not verify: {openssl_errors(checked)}"


def timestamp_problem(stamp, found, authorities, work):
    """Why Windows would reject this timestamp of the signature found, or None."""
    (work / "token.der").write_bytes(stamp.token)
    (work / "stamped.bin").write_bytes(found.value)
    if stamp.kind == "RFC 3161":
        checked = run(["openssl", "ts", "-verify", "-token_in", "-in", work / "token.der", "-data",
                       work / "stamped.bin", "-CAfile", authorities])
        why = None if checked.returncode == 0 else openssl_errors(checked)
    else:
        why = countersignature_problem(stamp, found, authorities, work)
    signer = found.signer
    if why is None and not signer.not_valid_before <= stamp.time <= signer.not_valid_after:
        why = (f"its {stamp.kind} timestamp gives {stamp.time:%Y-%m-%d %H:%M:%S} UTC, when the signer's certificate "
               f"was not valid (it is valid from {signer.not_valid_before:%Y-%m-%d %H:%M:%S} to "
               f"{signer.not_valid_after:%Y-%m-%d %H:%M:%S} UTC)")
    return why


def timestamp_problems(found, authorities, work):
    """Why Windows would reject the signature's timestamps: each kind it carries is checked."""
    return "; ".join(filter(None, (timestamp_problem(s, found, authorities, work) for s in found.timestamps))) or None


def verify(program, name, key, authorities, work):
    """Stops the release (Refused) unless Windows would accept the program's signature now;
    returns the signer's certificate and whether it is timestamped."""
    now = int(time.time())
    try:
        found = signature.read(program.read_bytes())
    except signature.Unreadable as error:
        raise Refused(f"The signature of {name} does not verify: {error}.") from error
    signer = found.signer
    if signer is None:
        raise Refused(f"The signature of {name} does not verify: it does not carry the certificate that signed it.")
    if key.named and (key.certificate is None or signer.public_bytes(Encoding.DER) != key.certificate.public_bytes(Encoding.DER)):
        wanted = key.certificate.subject.rfc4514_string() if key.certificate else "none it could read"
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
        hint = (f": its chain needs {top_issuer(signer, found.certificates)}, which is not among the trusted roots "
                "here; VELMORA_SIGN_CA_FILE adds it (as Microsoft's Trusted Signing needs Microsoft Identity "
                "Verification Root Certificate Authority 2020)"
                if chain(signer, found, authorities, work, "-no_check_time").returncode else "")
        raise Refused(f"The signature of {name} does not verify{hint}:\n{verified.stdout}{verified.stderr}")
    problem = timestamp_problems(found, authorities, work)
    if problem:
        raise Refused(f"The timestamp of {name} would not be accepted: {problem}.")
    # Every certificate it carries, even one the chain need not use: one byte changed in it.
    broken = next((c for c in found.certificates if chain(c, found, authorities, work, "-no_check_time").returncode),
                  None)
    if broken:
        raise Refused(f"The signature of {name} carries a certificate that is damaged or of no known issuer: "
                      f"{broken.subject.rfc4514_string()}, issued by {broken.issuer.rfc4514_string()}.")
    return signer, bool(found.timestamps)
