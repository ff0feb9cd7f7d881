"""Timestamps, as Windows checks them: an RFC 3161 token and the older Authenticode
countersignature alike must come from an authority that chains to a trusted root and is for
time stamping, stamp this very signature, and give a time at which the signer's certificate was
valid (Windows checks the certificate at that time). And the adding of timestamps from the
operator's servers, each held to the same rules before it is used."""

import hashlib
import os
import subprocess
import sys
import time

from cryptography.hazmat.primitives.serialization import Encoding

import signature

TIMESTAMPS_WAIT = 110  # seconds for all the servers together; each has VELMORA_SIGN_TIMESTAMP_WAIT (30)


class Refused(Exception):
    """Why the release cannot be signed."""


def run(command, **options):
    return subprocess.run([str(c) for c in command], stdin=subprocess.DEVNULL, capture_output=True, text=True,
                          **options)


def openssl_errors(done):
    errors = [line.split(":", 5)[-1] for line in done.stderr.splitlines() if ":error:" in line]
    return "; ".join(errors) or done.stdout.strip() or done.stderr.strip()


def countersignature_problem(stamp, found, authorities, work):
    """Why an Authenticode countersignature would be rejected, or None."""
    if stamp.authority is None:
        return "its Authenticode timestamp does not carry its authority's certificate"
    if stamp.digest not in hashlib.algorithms_available or \
            stamp.stamped != hashlib.new(stamp.digest, found.value).digest():
        return "its Authenticode timestamp stamps another signature (message imprint mismatch)"
    if not signature.verifies(stamp.authority.public_key(), stamp.value, stamp.signed, stamp.digest):
        return "its Authenticode timestamp's own signature does not verify"
    (work / "authority.pem").write_bytes(stamp.authority.public_bytes(Encoding.PEM))
    (work / "carried.pem").write_bytes(b"".join(c.public_bytes(Encoding.PEM) for c in found.certificates))
    checked = run(["openssl", "verify", "-purpose", "timestampsign", "-CAfile", authorities, "-untrusted",
                   work / "carried.pem", work / "authority.pem"])
    lines = [line for line in checked.stderr.splitlines() if "authority.pem" not in line]
    return None if checked.returncode == 0 else f"its Authenticode timestamp's authority: {' '.join(lines)}"


def problem(stamp, found, authorities, work):
    """Why Windows would reject this timestamp of the signature found, or None."""
    if stamp.kind == "RFC 3161":
        (work / "token.der").write_bytes(stamp.token)
        (work / "stamped.bin").write_bytes(found.value)
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


def problems(found, authorities, work):
    """Why Windows would reject the signature's timestamps: each kind it carries is checked."""
    return "; ".join(filter(None, (problem(s, found, authorities, work) for s in found.timestamps))) or None


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
                why = problems(found, authorities, work) if found.timestamps else "it carries no timestamp"
            except signature.Unreadable as error:
                why = f"what it gave cannot be read: {error}"
        if why is None:
            os.replace(stamped, program)
            return server
        print(f"The timestamp server {server} is not used: {why}.", file=sys.stderr)
        servers.pop(0)
    raise Refused("No timestamp server in VELMORA_SIGN_TIMESTAMP_URL gave a timestamp Windows accepts.")
