"""Finishes the release in dist/: signs the programs when a certificate is given, then writes
one zip for each build, with both programs and the user README, and the sums a user can check
where the files end up: SHA256SUMS of the zips beside them, and in each build's folder
SHA256SUMS of its programs.

    package.py DIST VERSION DATE_FILE README SITE_HOST

Each zip entry is dated with the release date (seconds since 1970, in DATE_FILE) in UTC and
carries no owner, no extra times and no build machine's details, so the same files give the
same zip whenever and by whomever it is built. Signing (VELMORA_SIGN_PFX,
VELMORA_SIGN_PASSWORD_FILE, VELMORA_SIGN_TIMESTAMP_URL, VELMORA_SIGN_CA_FILE) dates the
signature with it too, so that without a timestamp the same certificate gives the same bytes.
A certificate Windows would reject signs nothing, and every signature made is verified."""

import hashlib
import os
import ssl
import shutil
import subprocess
import sys
import tempfile
import time
import zipfile
from pathlib import Path

BUILDS = ("win32", "win64")
PROGRAMS = ("VelmoraPlayer.exe", "VelmoraPlayerUninstaller.exe")


def sign(dist, epoch, site_host):
    """Signs every program, or none: on any failure the fresh programs are removed, so that no
    unsigned or half-signed release is left to ship. Returns an error message, or None."""
    certificate, password = os.environ["VELMORA_SIGN_PFX"], os.environ.get("VELMORA_SIGN_PASSWORD_FILE")
    for variable, path in (("VELMORA_SIGN_PFX", certificate), ("VELMORA_SIGN_PASSWORD_FILE", password),
                           ("VELMORA_SIGN_CA_FILE", os.environ.get("VELMORA_SIGN_CA_FILE"))):
        if path is not None and not os.access(path, os.R_OK):
            return f"{variable} names {path!r}, which cannot be read."
    if not shutil.which("osslsigncode"):
        return "Signing needs osslsigncode (Debian package osslsigncode)."
    pkcs12 = ["openssl", "pkcs12", "-in", certificate, "-nokeys", "-passin", f"file:{password}" if password else "pass:"]
    signer = subprocess.run(pkcs12 + ["-clcerts"], capture_output=True, text=True)
    if signer.returncode != 0:
        return f"The certificate cannot be read (wrong password?):\n{signer.stderr}"
    error = unusable(signer.stdout, int(epoch))
    if error:
        return error
    command = ["osslsigncode", "sign", "-pkcs12", certificate, "-h", "sha256", "-n", "Velmora Player",
               "-i", f"https://{site_host}/", "-time", epoch]
    command += ["-readpass", password] if password else []
    timestamp = os.environ.get("VELMORA_SIGN_TIMESTAMP_URL")
    command += ["-ts", timestamp] if timestamp else []
    with tempfile.TemporaryDirectory() as staging:
        # The chain the signature must lead to: the operator's CA file, else the certificates
        # that came with the signer's, else the system's trusted ones.
        authorities = os.environ.get("VELMORA_SIGN_CA_FILE")
        if not authorities:
            chain = subprocess.run(pkcs12 + ["-cacerts"], capture_output=True, text=True).stdout
            if "BEGIN CERTIFICATE" in chain:
                authorities = str(Path(staging) / "chain.pem")
                Path(authorities).write_text(chain)
        verify = ["osslsigncode", "verify"] + (["-CAfile", authorities] if authorities else [])
        signed = []
        for build in BUILDS:
            for program in PROGRAMS:
                out = Path(staging) / f"{build}-{program}"
                done = subprocess.run(command + ["-in", str(dist / build / program), "-out", str(out)],
                                      stdin=subprocess.DEVNULL, capture_output=True, text=True)
                if done.returncode != 0:
                    return (f"Signing {build}/{program} failed (wrong password, unusable certificate or "
                            f"timestamp server?):\n{done.stdout}{done.stderr}")
                checked = subprocess.run(verify + ["-in", str(out)], capture_output=True, text=True)
                if checked.returncode != 0:
                    return f"The signature of {build}/{program} does not verify:\n{checked.stdout}{checked.stderr}"
                signed.append((out, dist / build / program))
        for out, program in signed:
            shutil.copyfile(out, program)
    return None


def unusable(pem, epoch):
    """Why Windows would reject signatures by this certificate made at epoch, or None."""
    shown = subprocess.run(["openssl", "x509", "-noout", "-startdate", "-enddate", "-ext", "extendedKeyUsage"],
                           input=pem, capture_output=True, text=True).stdout
    dates = dict(line.split("=", 1) for line in shown.splitlines() if line.startswith(("notBefore=", "notAfter=")))
    if epoch < ssl.cert_time_to_seconds(dates["notBefore"]):
        return f"The certificate is not yet valid at the signing time: it is valid from {dates['notBefore']}."
    if epoch > ssl.cert_time_to_seconds(dates["notAfter"]):
        return f"The certificate has expired by the signing time: it was valid until {dates['notAfter']}."
    if "Extended Key Usage" in shown and "Code Signing" not in shown:
        return "The certificate is not for code signing: its extended key usage lacks Code Signing."
    return None


def write_sums(folder, names):
    lines = [f"{hashlib.sha256((folder / n).read_bytes()).hexdigest()}  {n}\n" for n in names]
    (folder / "SHA256SUMS").write_text("".join(lines), newline="\n")


def main(dist, version, date_file, readme, site_host):
    epoch = Path(date_file).read_text().strip()
    dist, date = Path(dist), time.gmtime(int(epoch))[:6]
    for old in [*dist.glob("*.zip"), dist / "SHA256SUMS"]:
        old.unlink(missing_ok=True)
    if os.environ.get("VELMORA_SIGN_PFX"):
        error = sign(dist, epoch, site_host)
        if error:
            for build in BUILDS:
                shutil.rmtree(dist / build, ignore_errors=True)
            sys.exit(f"The release is not signed, and dist/ holds no programs: {error}")
    zips = []
    for build in BUILDS:
        write_sums(dist / build, PROGRAMS)
        name = f"VelmoraPlayer-{version}-{build}.zip"
        with zipfile.ZipFile(dist / name, "w") as package:
            for entry, data in [("README.txt", Path(readme).read_bytes())] + [
                    (p, (dist / build / p).read_bytes()) for p in PROGRAMS]:
                info = zipfile.ZipInfo(entry, date)
                info.compress_type = zipfile.ZIP_DEFLATED
                info.external_attr = 0o644 << 16
                package.writestr(info, data, compresslevel=9)
        zips.append(name)
    write_sums(dist, zips)


if __name__ == "__main__":
    main(*sys.argv[1:])
