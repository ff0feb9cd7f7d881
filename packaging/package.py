"""Finishes the release from its built programs: signs them when asked to, writes one zip for
each build, with both programs and that build's user README, and the sums a user can check
where the files end up (SHA256SUMS of the zips beside them, and in each build's folder
SHA256SUMS of its programs), then puts the release, and nothing else, in place of DIST.

    package.py STAGE DIST VERSION EPOCH README_DIR SITE_HOST START_FOLDER SOURCE

STAGE holds the built programs (win32/, win64/), README_DIR each build's README.txt, EPOCH the
release date in seconds since 1970. Signing settings (VELMORA_SIGN_*, docs/operators.md) that name files
are read relative to START_FOLDER, where the release command was started; SOURCE is the
checkout they must not lie in unignored.

Each zip entry is dated with the release date in UTC and carries no owner, no extra times and
no build machine's details, so the same files give the same zip whenever and by whomever it is
built. The signatures are dated with it too, so that without a timestamp the same key and
certificate give the same bytes."""

import hashlib
import io
import os
import shutil
import signal
import sys
import time
import zipfile
from pathlib import Path

import signing

BUILDS = ("win32", "win64")
PROGRAMS = ("VelmoraPlayer.exe", "VelmoraPlayerUninstaller.exe")
PLACEHOLDER_HOST = "velmora.example"


def sums(files):
    return "".join(f"{hashlib.sha256(data).hexdigest()}  {name}\n" for name, data in files.items()).encode()


def package(version, epoch, programs, readmes):
    """The release's files, by name, from the programs' bytes."""
    release, zips = {}, {}
    for build in BUILDS:
        own = {p: programs[f"{build}/{p}"] for p in PROGRAMS}
        release.update({f"{build}/{p}": data for p, data in own.items()})
        release[f"{build}/SHA256SUMS"] = sums(own)
        packed = io.BytesIO()
        with zipfile.ZipFile(packed, "w") as archive:
            for entry, data in {"README.txt": Path(readmes, build, "README.txt").read_bytes(), **own}.items():
                info = zipfile.ZipInfo(entry, time.gmtime(int(epoch))[:6])
                info.compress_type = zipfile.ZIP_DEFLATED
                info.external_attr = 0o644 << 16
                archive.writestr(info, data, compresslevel=9)
        zips[f"VelmoraPlayer-{version}-{build}.zip"] = packed.getvalue()
    return {**release, **zips, "SHA256SUMS": sums(zips)}


def recover(dist):
    """A release killed between the two renames that put it in place left the previous release
    as dist.old, and no dist/: it comes back when the next release starts, whatever that one
    does afterwards."""
    old = dist.with_name(dist.name + ".old")
    if old.exists() and not dist.exists():
        os.rename(old, dist)


def publish(release, dist):
    """The release is written beside dist/ (never into what a killed release left there) and put
    in its place in two renames, which no signal divides: whatever stops the release, dist/ holds
    the previous one or the new one."""
    new, old = dist.with_name(dist.name + ".new"), dist.with_name(dist.name + ".old")
    for leftover in (new, old):
        shutil.rmtree(leftover, ignore_errors=True)
    for name, data in release.items():
        (new / name).parent.mkdir(parents=True, exist_ok=True)
        (new / name).write_bytes(data)
    handlers = {s: signal.signal(s, signal.SIG_IGN) for s in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP)}
    if dist.exists():
        os.rename(dist, old)
    os.rename(new, dist)
    for number, handler in handlers.items():
        signal.signal(number, handler)
    shutil.rmtree(old, ignore_errors=True)


def main(stage, dist, version, epoch, readmes, site_host, start, source):
    stage, dist = Path(stage), Path(dist)
    files = {f"{b}/{p}": stage / b / p for b in BUILDS for p in PROGRAMS}
    programs, signed = {name: path.read_bytes() for name, path in files.items()}, "not signed"
    if signing.asked():
        try:
            programs, signed = signing.sign(files, epoch, start, source)
        except signing.Refused as error:
            sys.exit(f"The release is not signed, and {dist} is left as it was: {error}")
    publish(package(version, epoch, programs, readmes), dist)
    placeholder = (f": its links and messages name {PLACEHOLDER_HOST}, a placeholder; set VELMORA_SITE_HOST for your "
                   "site (docs/operators.md)") if site_host == PLACEHOLDER_HOST else ""
    print(f"Release {version} in {dist}: for the web site {site_host}{placeholder}; {signed}.")


if __name__ == "__main__":
    main(*sys.argv[1:])
