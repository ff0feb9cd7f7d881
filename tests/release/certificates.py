"""Throwaway code-signing certificates, made with openssl for one test run: nothing secret is
kept in the repo. A root CA issues an intermediate CA, which issues the signers and a timestamp
authority; each signer's PKCS#12 file carries the signer and the intermediate, not the root, as
a CA delivers them. A second root, which nothing trusts, issues a timestamp authority of its
own. Also a SoftHSM2 token holding the signer's key, and timestamp servers on loopback."""

import base64
import datetime
import hashlib
import http.server
import socket
import ssl
import subprocess
import threading
import time
from pathlib import Path

from asn1crypto import cms, core, tsp
from asn1crypto import x509 as asn1x509
from cryptography.hazmat.primitives import hashes, serialization
from cryptography.hazmat.primitives.asymmetric import padding

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
CA = "basicConstraints=critical,CA:TRUE\nkeyUsage=critical,keyCertSign\n"
NOW = datetime.datetime.now(datetime.timezone.utc)
STAMP = "%Y%m%d%H%M%SZ"
# By name: the issuer, valid from, valid until, and what for. The signer's end date is its own
# (the release names it); "fresh" is issued now, after any commit; "brief" expires in six hours;
# the rest are what Windows refuses.
SIGNERS = {"intermediate": ("ca", "20000101000000Z", "20991231000000Z", None),
           "signer": ("intermediate", "20000101000000Z", "20971231000000Z", "codeSigning"),
           "fresh": ("intermediate", NOW.strftime(STAMP), "20991231000000Z", "codeSigning"),
           "brief": ("intermediate", "20000101000000Z", (NOW + datetime.timedelta(hours=6)).strftime(STAMP), "codeSigning"),
           "tsa": ("intermediate", "20000101000000Z", "20991231000000Z", "critical,timeStamping"),
           "expired": ("intermediate", "20000101000000Z", "20010101000000Z", "codeSigning"),
           "not-yet-valid": ("intermediate", "20900101000000Z", "20991231000000Z", "codeSigning"),
           "server-only": ("intermediate", "20000101000000Z", "20991231000000Z", "serverAuth"),
           "untrusted-tsa": ("untrusted", "20000101000000Z", "20991231000000Z", "critical,timeStamping")}


def make_certificate(folder):
    """Writes into folder: ca.pem (the trusted root), password, NAME.pem and NAME.pfx for each of
    SIGNERS, certs.pem (the signer, its intermediate and two certificates unrelated to its
    chain, one expired), fresh-first.pem (another certificate before those), damaged.pem (certs.pem
    with one byte of the expired certificate's signature changed), empty.pfx (the signer's, with an
    empty password), unreadable (a password file this user cannot read), and bundle.pem (the
    system's roots and ca.pem, as a system that trusts the root holds them)."""
    folder.mkdir(exist_ok=True)
    run = lambda *args: subprocess.run(["openssl", *args], cwd=folder, check=True, capture_output=True)
    (folder / "ca.cnf").write_text(CA_CONFIG)
    (folder / "index.txt").write_text("")
    (folder / "serial").write_text("01\n")
    (folder / "password").write_text("correct horse\n")
    (folder / "other-password").write_text("battery staple\n")
    (folder / "ca.ext").write_text(CA)
    for root in ("ca", "untrusted"):
        run("req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", f"{root}.key", "-out", f"{root}.pem", "-days",
            "30", "-subj", f"/CN=Velmora Test {root}", "-addext", "basicConstraints=critical,CA:TRUE", "-addext",
            "keyUsage=critical,keyCertSign")
    for name, (issuer, start, end, usage) in SIGNERS.items():
        (folder / f"{name}.ext").write_text(SIGNER.format(usage) if usage else CA)
        run("req", "-newkey", "rsa:2048", "-nodes", "-keyout", f"{name}.key", "-out", f"{name}.csr",
            "-subj", f"/CN=Velmora Test {name}")
        run("ca", "-batch", "-config", "ca.cnf", "-cert", f"{issuer}.pem", "-keyfile", f"{issuer}.key", "-in",
            f"{name}.csr", "-out", f"{name}.pem", "-startdate", start, "-enddate", end, "-extfile", f"{name}.ext",
            "-notext")
        run("pkcs12", "-export", "-out", f"{name}.pfx", "-inkey", f"{name}.key", "-in", f"{name}.pem",
            "-certfile", "intermediate.pem", "-passout", "file:password")
    # The format older Windows exports write (RC2 and 3DES).
    run("pkcs12", "-export", "-legacy", "-out", "legacy.pfx", "-inkey", "signer.key", "-in", "signer.pem",
        "-certfile", "intermediate.pem", "-passout", "file:password")
    text = lambda *names: "".join((folder / f"{n}.pem").read_text() for n in names)
    run("pkcs12", "-export", "-out", "empty.pfx", "-inkey", "signer.key", "-in", "signer.pem", "-certfile",
        "intermediate.pem", "-passout", "pass:")
    (folder / "certs.pem").write_text(text("signer", "intermediate", "fresh", "expired"))
    end = text("signer", "intermediate", "fresh", "expired").rindex("\n-----END") - 8
    damaged = text("signer", "intermediate", "fresh", "expired")
    (folder / "damaged.pem").write_text(damaged[:end] + ("A" if damaged[end] != "A" else "B") + damaged[end + 1:])
    (folder / "unreadable").write_text("correct horse\n")
    (folder / "unreadable").chmod(0)
    (folder / "fresh-first.pem").write_text(text("fresh", "signer", "intermediate"))
    (folder / "bundle.pem").write_text(Path(ssl.get_default_verify_paths().openssl_cafile).read_text() + text("ca"))
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


def countersignature(query, folder, authority, when):
    """An Authenticode timestamp server's reply: a SignedData whose signer countersigns, at
    `when`, the signature value it was sent; base64, as such servers answer."""
    value = cms.ContentInfo.load(core.Sequence.load(base64.b64decode(query))[1].dump())["content"].native
    key = serialization.load_pem_private_key((folder / f"{authority}.key").read_bytes(), None)
    # Its own certificate: the intermediate it shares with the signers is in the signature already.
    certificates = [asn1x509.Certificate.load(ssl.PEM_cert_to_DER_cert((folder / f"{authority}.pem").read_text()))]
    attributes = cms.CMSAttributes([
        {"type": "content_type", "values": ["data"]},
        {"type": "signing_time", "values": [cms.Time(name="utc_time", value=when)]},
        {"type": "message_digest", "values": [hashlib.sha256(value).digest()]}])
    signer = {"version": "v1", "sid": {"issuer_and_serial_number": {
        "issuer": certificates[0].issuer, "serial_number": certificates[0].serial_number}},
        "digest_algorithm": {"algorithm": "sha256"}, "signed_attrs": attributes,
        "signature_algorithm": {"algorithm": "rsassa_pkcs1v15"},
        "signature": key.sign(attributes.dump(), padding.PKCS1v15(), hashes.SHA256())}
    return base64.b64encode(cms.ContentInfo({"content_type": "signed_data", "content": {
        "version": "v1", "digest_algorithms": [{"algorithm": "sha256"}], "encap_content_info": {"content_type": "data"},
        "certificates": certificates, "signer_infos": [signer]}}).dump())


def signed_again(reply, folder, authority, bare=False):
    """An RFC 3161 reply whose token the authority signs anew, carrying no certificate when bare:
    openssl ts signs with time-stamping authorities alone, and always adds its own certificate."""
    response = tsp.TimeStampResp.load(reply)
    info = response["time_stamp_token"]["content"]["encap_content_info"]["content"].parsed.dump()
    token = subprocess.run(["openssl", "cms", "-sign", "-binary", "-nodetach", "-outform", "DER", "-nosmimecap",
                            "-econtent_type", "id-smime-ct-TSTInfo", "-md", "sha256", "-signer", f"{authority}.pem",
                            "-inkey", f"{authority}.key", *(["-nocerts"] if bare else ["-certfile", "intermediate.pem"])],
                           input=info, cwd=folder,
                           capture_output=True, check=True).stdout
    return tsp.TimeStampResp({"status": response["status"], "time_stamp_token": cms.ContentInfo.load(token)}).dump()


def timestamp_servers(folder):
    """Starts a server on loopback for this process's life, which stamps in both kinds: an RFC 3161
    token (openssl ts -reply) or an Authenticode countersignature, as the client asks. Returns
    URLs by kind: one that stamps what it is sent; one whose clock is two days behind, one two
    days ahead, one a century ahead; one that answers every request with its reply to the first (a
    stamp of another signature); one whose authority chains to the root nobody trusts; one whose
    authority is not for time stamping (a code signer); one whose token carries no certificate; one
    that takes 1.5 s to answer; and one that accepts connections and never answers."""
    for authority in ("tsa", "untrusted-tsa"):
        (folder / f"{authority}.cnf").write_text(f"""[tsa]
default_tsa = stamps
[stamps]
serial = {folder / 'tsa-serial'}
signer_cert = {folder / authority}.pem
signer_key = {folder / authority}.key
certs = {folder / 'intermediate.pem'}
default_policy = 1.2.3.4.1
digests = sha256
signer_digest = sha256
ess_cert_id_chain = no
""")
    (folder / "tsa-serial").write_text("01\n")
    replies = {}

    class Stamp(http.server.BaseHTTPRequestHandler):
        def do_POST(self):  # the path: /AUTHORITY/CLOCK/, /AUTHORITY/CLOCK/replay or /AUTHORITY/CLOCK/slow
            _, authority, clock, how = self.path.split("/")
            query = self.rfile.read(int(self.headers["Content-Length"]))
            legacy = self.headers["Content-Type"] != "application/timestamp-query"
            time.sleep(1.5 if how == "slow" else 0)
            if not (how == "replay" and (self.path, legacy) in replies):
                if legacy:  # a clock of whole days only
                    days = datetime.timedelta(days=int(clock[:-1]) if clock != "now" else 0)
                    when = datetime.datetime.now(datetime.timezone.utc) + days
                    replies[self.path, legacy] = countersignature(query, folder, authority, when)
                else:
                    replies[self.path, legacy] = subprocess.run(
                        (["faketime", "-f", clock] if clock != "now" else []) +
                        ["openssl", "ts", "-reply", "-config", str(folder / f"{authority.replace('signer', 'tsa')}.cnf"),
                         "-queryfile", "/dev/stdin", "-out", "/dev/stdout"], input=query, capture_output=True).stdout
                    if authority == "signer" or how == "bare":
                        replies[self.path, legacy] = signed_again(replies[self.path, legacy], folder, authority,
                                                                  how == "bare")
            reply = replies[self.path, legacy]
            self.send_response(200)
            self.send_header("Content-Type", "application/octet-stream" if legacy else "application/timestamp-reply")
            self.send_header("Content-Length", str(len(reply)))
            self.end_headers()
            self.wfile.write(reply)

        def log_message(self, *_):
            pass

    server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Stamp)
    threading.Thread(target=server.serve_forever, daemon=True).start()
    silent = socket.create_server(("127.0.0.1", 0))  # the kernel accepts; nobody answers
    timestamp_servers.kept = [server, silent]
    at = f"http://127.0.0.1:{server.server_address[1]}"
    return {"stamping": f"{at}/tsa/now/", "behind": f"{at}/tsa/-2d/", "later": f"{at}/tsa/+2d/",
            "ahead": f"{at}/tsa/+100y/", "codesigner": f"{at}/signer/now/", "bare": f"{at}/tsa/now/bare",
            "replaying": f"{at}/tsa/now/replay", "untrusted": f"{at}/untrusted-tsa/now/",
            "slow": f"{at}/tsa/now/slow", "silent": f"http://127.0.0.1:{silent.getsockname()[1]}/"}
