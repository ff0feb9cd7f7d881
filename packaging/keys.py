"""The ways an operator's key signs, each a type with the same face: chosen once from the
settings, it signs one program in place and names the certificate it signs with (`named` None
where it cannot know: a signing service's). A new way is a type here and a row in the guide."""

import os
import shlex
import ssl
import subprocess
from pathlib import Path

from asn1crypto import pkcs12 as pkcs12_form
from cryptography.hazmat.primitives.serialization import Encoding, pkcs12

import signature
from commands import Refused, run


def password(settings):
    """The PIN or password stays in its file: every user of the machine can read command lines."""
    return ["-readpass", settings["VELMORA_SIGN_PASSWORD_FILE"]] if "VELMORA_SIGN_PASSWORD_FILE" in settings else []


class Osslsigncode:
    """A key osslsigncode signs with itself, SHA-256, dated with the release."""
    said = "signed"

    def sign(self, program, name, epoch, work):
        done = run(["osslsigncode", "sign", *self.arguments, "-h", "sha256", "-time", epoch, "-in", program,
                    "-out", work / "signed.exe"])
        if done.returncode != 0:  # a token's refusal of the PIN comes back only in its PKCS#11 library's words
            output = done.stdout + done.stderr
            raise Refused("The token refused the PIN in VELMORA_SIGN_PASSWORD_FILE: wrong PIN." if "PIN incorrect"
                          in output or "PIN_INCORRECT" in output else f"osslsigncode failed:\n{output}")
        os.replace(work / "signed.exe", program)


class Token(Osslsigncode):
    """A key on a USB token or HSM, through its PKCS#11 library; its certificate first in
    VELMORA_SIGN_CERT, its intermediates after it."""
    way, needs = "a token", ("VELMORA_SIGN_PKCS11_MODULE", "VELMORA_SIGN_KEY", "VELMORA_SIGN_CERT")
    named = "VELMORA_SIGN_CERT's first certificate"

    def __init__(self, settings, checkout):
        missing = [w for w in self.needs if w not in settings]
        if missing:
            raise Refused(f"Signing with a token needs {', '.join(self.needs)}; {', '.join(missing)} is not set.")
        if "pin-value" in settings["VELMORA_SIGN_KEY"]:
            raise Refused("VELMORA_SIGN_KEY holds a PIN: put it in the file VELMORA_SIGN_PASSWORD_FILE names instead.")
        self.arguments = ["-pkcs11module", settings["VELMORA_SIGN_PKCS11_MODULE"], "-key", settings["VELMORA_SIGN_KEY"],
                          "-certs", settings["VELMORA_SIGN_CERT"]] + password(settings)
        path = settings["VELMORA_SIGN_CERT"]
        try:
            certificates = [signature.certificate(ssl.PEM_cert_to_DER_cert(b)) for b in signature.pem_blocks(path)]
        except Exception as error:  # cryptography reads less than OpenSSL: a bad extension, version or date
            raise Refused(f"VELMORA_SIGN_CERT names {path}, which holds a certificate that cannot be read: {error}") \
                from error
        self.certificate = certificates[0] if certificates else None


class Pfx(Osslsigncode):
    """A key and its certificates in a PKCS#12 file, of the current format or the legacy one,
    with a password or with none."""
    way = "VELMORA_SIGN_PFX"
    needs, named = (way,), "the certificate of VELMORA_SIGN_PFX's key"

    def __init__(self, settings, checkout):
        path = settings[self.way]
        data = Path(path).read_bytes()
        try:
            pkcs12_form.Pfx.load(data, strict=True).native
        except Exception as error:
            raise Refused(f"VELMORA_SIGN_PFX names {path}, which is not a PKCS#12 file.") from error
        # osslsigncode reads the password file's first line, as this does.
        given = Path(settings["VELMORA_SIGN_PASSWORD_FILE"]).read_bytes().split(b"\n")[0].rstrip(b"\r") \
            if "VELMORA_SIGN_PASSWORD_FILE" in settings else None
        for secret in ([given] if given is not None else [None, b""]):
            try:
                found = pkcs12.load_key_and_certificates(data, secret)[1]
                break
            except ValueError:
                continue
        else:
            raise Refused("The password in VELMORA_SIGN_PASSWORD_FILE does not open VELMORA_SIGN_PFX: wrong password."
                          if given is not None else f"VELMORA_SIGN_PFX names {path}, which needs a password: "
                          "VELMORA_SIGN_PASSWORD_FILE names the file that holds it.")
        try:
            self.certificate = signature.certificate(found.public_bytes(Encoding.DER)) if found else None
        except Exception as error:
            raise Refused(f"VELMORA_SIGN_PFX names {path}, whose certificate cannot be read: {error}") from error
        self.arguments = ["-pkcs12", path] + (password(settings) or ["-pass", ""])


class Command:
    """A signing service's command, run from the checkout for each program with its path
    appended; it signs the file in place."""
    way = "VELMORA_SIGN_COMMAND"
    needs, named, certificate, said = (way,), None, None, "signed by VELMORA_SIGN_COMMAND"

    def __init__(self, settings, checkout):
        self.words, self.checkout = shlex.split(settings[self.way]), checkout

    def sign(self, program, name, epoch, work):
        try:
            done = run(self.words + [program], cwd=self.checkout, timeout=600)
        except (OSError, subprocess.TimeoutExpired) as error:
            raise Refused(f"VELMORA_SIGN_COMMAND could not sign {name}: {error}") from error
        if done.returncode != 0:
            raise Refused(f"VELMORA_SIGN_COMMAND failed on {name}:\n{done.stdout}{done.stderr}")


WAYS = (Pfx, Command, Token)


def asked(environment):
    return any(environment.get(setting) for way in WAYS for setting in way.needs)


def chosen(settings, checkout):
    ways = [way for way in WAYS if any(setting in settings for setting in way.needs)]
    if len(ways) != 1:
        raise Refused(f"Set one way of signing, not {' and '.join(way.way for way in ways)}.")
    return ways[0](settings, checkout)
