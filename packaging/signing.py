"""Signs the programs with the operator's key (keys.py), adds timestamps from the operator's
servers where the key left none, then verifies every one (verification.py)."""

import os
import shutil
import ssl
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import keys
import signature
from commands import Refused, run
from verification import timestamp_problems, verify

TIMESTAMPS_WAIT = 110  # seconds for all the servers together; each has VELMORA_SIGN_TIMESTAMP_WAIT (30)


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
        if why is None:
            try:
                found = signature.read(stamped.read_bytes())
                why = timestamp_problems(found, authorities, work) if found.timestamps else "it carries no timestamp"
            except signature.Unreadable as error:
                why = f"what it gave cannot be read: {error}"
        if why is None:
            os.replace(stamped, program)
            return server
        print(f"The timestamp server {server} is not used: {why}.", file=sys.stderr)
        servers.pop(0)
    raise Refused("No timestamp server in VELMORA_SIGN_TIMESTAMP_URL gave a timestamp Windows accepts.")


def sign(programs, epoch, settings, checkout):
    """Signs the programs ({name: path}) in place, then verifies them all. Returns the bytes it
    verified, by name, and what the release should say of its signatures; raises Refused."""
    if not shutil.which("osslsigncode"):
        raise Refused("Signing needs osslsigncode (Debian package osslsigncode).")
    key = keys.chosen(settings, checkout)
    servers = settings.get("VELMORA_SIGN_TIMESTAMP_URL", "").split()
    wait, stampers = float(settings["VELMORA_SIGN_TIMESTAMP_WAIT"]), []
    deadline = time.monotonic() + TIMESTAMPS_WAIT
    system = ssl.get_default_verify_paths().cafile
    with tempfile.TemporaryDirectory() as folder:
        work = Path(folder)
        authorities = work / "authorities.pem"
        authorities.write_text((Path(system).read_text() if system else "") +
                               (Path(settings["VELMORA_SIGN_CA_FILE"]).read_text() if "VELMORA_SIGN_CA_FILE" in settings else ""))
        for name, program in programs.items():
            key.sign(program, name, epoch, work)
            try:  # a signature that cannot be read is left to the verification, which says why
                if servers and not signature.read(program.read_bytes()).timestamps:
                    stampers.append(stamp(program, servers, wait, deadline, authorities, work))
            except signature.Unreadable:
                pass
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
    if all(stamped):
        by = f" by {' and '.join(dict.fromkeys(stampers))}" if stampers else ""
        return verified, f"{key.said} with a certificate valid until {until}, timestamped{by}"
    return verified, (f"{key.said} without a timestamp: Windows accepts the signatures until {until}, when the "
                      "certificate expires (VELMORA_SIGN_TIMESTAMP_URL makes them outlast it)")
