"""Throwaway code-signing certificates, made with openssl for one test run: nothing secret is
kept in the repo. A root CA issues an intermediate CA, which issues the signers and a timestamp
authority; each signer's PKCS#12 file carries the signer and the intermediate, not the root, as
a CA delivers them. Also a SoftHSM2 token holding the signer's key, and RFC 3161 timestamp
servers on loopback: one answering with `openssl ts -reply`, one that never answers."""

import datetime
import http.server
import socket
import subprocess
import threading

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
TODAY = datetime.datetime.now(datetime.timezone.utc).strftime("%Y%m%d000000Z")
# Valid from 2000 to 2099, from today on (issued after any commit), expired in 2001, valid only
# from 2090, for web servers only, or a timestamp authority.
SIGNERS = {"signer": ("20000101000000Z", "20991231000000Z", "codeSigning"),
           "fresh": (TODAY, "20991231000000Z", "codeSigning"),
           "tsa": ("20000101000000Z", "20991231000000Z", "critical,timeStamping"),
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
    (folder / "password").write_text("correct horse\n")
    for name, (start, end, usage) in SIGNERS.items():
        (folder / f"{name}.ext").write_text(SIGNER.format(usage))
        run("req", "-newkey", "rsa:2048", "-nodes", "-keyout", f"{name}.key", "-out", f"{name}.csr",
            "-subj", f"/CN=Velmora Test {name}")
        issue(f"{name}.csr", f"{name}.pem", "intermediate", start, end, f"{name}.ext")
        run("pkcs12", "-export", "-out", f"{name}.pfx", "-inkey", f"{name}.key", "-in", f"{name}.pem",
            "-certfile", "intermediate.pem", "-passout", "file:password")
    # The format older Windows exports write (RC2 and 3DES).
    run("pkcs12", "-export", "-legacy", "-out", "legacy.pfx", "-inkey", "signer.key", "-in", "signer.pem",
        "-certfile", "intermediate.pem", "-passout", "file:password")
    (folder / "certs.pem").write_text((folder / "signer.pem").read_text() + (folder / "intermediate.pem").read_text())
    return folder


def make_token(folder):
    """A SoftHSM2 token holding the signer's key, its PIN in the file pin; returns its settings
    (SOFTHSM2_CONF and the VELMORA_SIGN_* of the token)."""
    (folder / "tokens").mkdir()
    (folder / "softhsm2.conf").write_text(f"directories.tokendir = {folder / 'tokens'}\n")
    env = {"SOFTHSM2_CONF": str(folder / "softhsm2.conf")}
    (folder / "pin").write_text("4321")
    run = lambda *args: subprocess.run(["softhsm2-util", *args], cwd=folder, check=True, capture_output=True,
                                       env=dict(env, PATH="/usr/bin:/bin"))
    subprocess.run(["openssl", "pkcs8", "-topk8", "-nocrypt", "-in", "signer.key", "-out", "signer.p8"], cwd=folder,
                   check=True)
    run("--init-token", "--free", "--label", "velmora", "--so-pin", "98765", "--pin", "4321")
    run("--import", "signer.p8", "--token", "velmora", "--label", "signer", "--id", "01", "--pin", "4321")
    return dict(env, VELMORA_SIGN_PKCS11_MODULE="/usr/lib/softhsm/libsofthsm2.so",
                VELMORA_SIGN_KEY="pkcs11:token=velmora;object=signer", VELMORA_SIGN_CERT="certs.pem",
                VELMORA_SIGN_PASSWORD_FILE="pin")


def timestamp_servers(folder):
    """Starts two servers on loopback for this process's life: the URL of one that stamps what it
    is sent, and of one that accepts connections and never answers."""
    (folder / "tsa.cnf").write_text(f"""[tsa]
default_tsa = stamps
[stamps]
serial = {folder / 'tsa-serial'}
signer_cert = {folder / 'tsa.pem'}
signer_key = {folder / 'tsa.key'}
certs = {folder / 'intermediate.pem'}
default_policy = 1.2.3.4.1
digests = sha256
signer_digest = sha256
ess_cert_id_chain = no
""")
    (folder / "tsa-serial").write_text("01\n")

    class Stamp(http.server.BaseHTTPRequestHandler):
        def do_POST(self):
            query = self.rfile.read(int(self.headers["Content-Length"]))
            reply = subprocess.run(["openssl", "ts", "-reply", "-config", str(folder / "tsa.cnf"), "-queryfile",
                                    "/dev/stdin", "-out", "/dev/stdout"], input=query, capture_output=True).stdout
            self.send_response(200)
            self.send_header("Content-Type", "application/timestamp-reply")
            self.send_header("Content-Length", str(len(reply)))
            self.end_headers()
            self.wfile.write(reply)

        def log_message(self, *_):
            pass

    stamping = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Stamp)
    threading.Thread(target=stamping.serve_forever, daemon=True).start()
    silent = socket.create_server(("127.0.0.1", 0))  # the kernel accepts; nobody answers
    timestamp_servers.kept = [stamping, silent]
    return f"http://127.0.0.1:{stamping.server_port}/", f"http://127.0.0.1:{silent.getsockname()[1]}/"
