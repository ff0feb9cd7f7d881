"""The release's files and their publishing in place of DIST: one zip for each build, with both
programs and its README, and the sums users check where the files end up. Zip entries carry the
release date in UTC and nothing of the build machine: the same files give the same zip."""

import hashlib
import io
import os
import shutil
import signal
import time
import zipfile

BUILDS = {"win32": "Windows 7 SP1 to Windows 11, 32-bit or 64-bit", "win64": "64-bit Windows 7 SP1 to Windows 11 only"}
PROGRAMS = ("VelmoraPlayer.exe", "VelmoraPlayerUninstaller.exe")


def sums(files):
    return "".join(f"{hashlib.sha256(data).hexdigest()}  {name}\n" for name, data in files.items()).encode()


def package(version, epoch, programs, readmes):
    """The release's files, by name, from the programs' bytes and each build's README."""
    release, zips = {}, {}
    for build in BUILDS:
        own = {p: programs[f"{build}/{p}"] for p in PROGRAMS}
        release.update({f"{build}/{p}": data for p, data in own.items()})
        release[f"{build}/SHA256SUMS"] = sums(own)
        packed = io.BytesIO()
        with zipfile.ZipFile(packed, "w") as archive:
            for entry, data in {"README.txt": readmes[build], **own}.items():
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
