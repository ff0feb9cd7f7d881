"""Throwaway code-signing certificates, made with openssl for one test run: nothing secret is
kept in the repo. A root CA issues an intermediate CA, which issues the signers; each signer's
PKCS#12 file carries the chain."""

import subprocess

CA_CONFIG = """[ca]
default_ca = issuer
[issuer]
database = index.txt
new_certs_dir = .
serial = serial
default_md = sha256
policy = anything
unique_subject = no
[anything]
commonName = supplied
"""
SIGNER = "basicConstraints=CA:FALSE\nkeyUsage=critical,digitalSignature\nextendedKeyUsage={}\n"
INTERMEDIATE = "basicConstraints=critical,CA:TRUE\nkeyUsage=critical,keyCertSign\n"
# Valid from 2000 to 2099, expired in 2001, valid only from 2090, or for web servers only.
SIGNERS = {"signer": ("20000101000000Z", "20991231000000Z", "codeSigning"),
           "expired": ("20000101000000Z", "20010101000000Z", "codeSigning"),
           "not-yet-valid": ("20900101000000Z", "20991231000000Z", "codeSigning"),
           "server-only": ("20000101000000Z", "20991231000000Z", "serverAuth")}


def make_certificate(folder):
    """Writes ca.pem (the root), password, and NAME.pfx for each of SIGNERS into folder."""
    run = lambda *args: subprocess.run(["openssl", *args], cwd=folder, check=True, capture_output=True)
    (folder / "ca.cnf").write_text(CA_CONFIG)
    (folder / "index.txt").write_text("")
    (folder / "serial").write_text("01\n")
    issue = lambda csr, out, issuer, start, end, extensions: run(
        "ca", "-batch", "-config", "ca.cnf", "-cert", f"{issuer}.pem", "-keyfile", f"{issuer}.key", "-in", csr,
        "-out", out, "-startdate", start, "-enddate", end, "-extfile", extensions, "-notext")
    run("req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", "ca.key", "-out", "ca.pem", "-days", "30",
        "-subj", "/CN=Velmora Test CA", "-addext", "basicConstraints=critical,CA:TRUE",
        "-addext", "keyUsage=critical,keyCertSign")
    (folder / "intermediate.ext").write_text(INTERMEDIATE)
    run("req", "-newkey", "rsa:2048", "-nodes", "-keyout", "intermediate.key", "-out", "intermediate.csr",
        "-subj", "/CN=Velmora Test Intermediate CA")
    issue("intermediate.csr", "intermediate.pem", "ca", "20000101000000Z", "20991231000000Z", "intermediate.ext")
    (folder / "chain.pem").write_text((folder / "intermediate.pem").read_text() + (folder / "ca.pem").read_text())
    (folder / "password").write_text("correct horse\n")
    for name, (start, end, usage) in SIGNERS.items():
        (folder / f"{name}.ext").write_text(SIGNER.format(usage))
        run("req", "-newkey", "rsa:2048", "-nodes", "-keyout", f"{name}.key", "-out", f"{name}.csr",
            "-subj", f"/CN=Velmora Test {name}")
        issue(f"{name}.csr", f"{name}.pem", "intermediate", start, end, f"{name}.ext")
        run("pkcs12", "-export", "-out", f"{name}.pfx", "-inkey", f"{name}.key", "-in", f"{name}.pem",
            "-certfile", "chain.pem", "-passout", "file:password")
    return folder
