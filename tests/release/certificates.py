"""A throwaway code-signing certificate and the CA that issued it, made with openssl for one
test run: nothing secret is kept in the repo."""

import subprocess

SIGNER_EXTENSIONS = "basicConstraints=CA:FALSE\nkeyUsage=critical,digitalSignature\nextendedKeyUsage=codeSigning\n"


def make_certificate(folder):
    """Writes ca.pem, signer.pfx and password (the pfx's password) into folder."""
    run = lambda *args: subprocess.run(["openssl", *args], cwd=folder, check=True, capture_output=True)
    run("req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", "ca.key", "-out", "ca.pem", "-days", "30",
        "-subj", "/CN=Velmora Test CA", "-addext", "basicConstraints=critical,CA:TRUE",
        "-addext", "keyUsage=critical,keyCertSign")
    run("req", "-newkey", "rsa:2048", "-nodes", "-keyout", "signer.key", "-out", "signer.csr",
        "-subj", "/CN=Velmora Test Signer")
    (folder / "signer.ext").write_text(SIGNER_EXTENSIONS)
    run("x509", "-req", "-in", "signer.csr", "-CA", "ca.pem", "-CAkey", "ca.key", "-CAcreateserial",
        "-out", "signer.pem", "-days", "30", "-extfile", "signer.ext")
    (folder / "password").write_text("correct horse\n")
    run("pkcs12", "-export", "-out", "signer.pfx", "-inkey", "signer.key", "-in", "signer.pem",
        "-certfile", "ca.pem", "-passout", "file:password")
    return folder
