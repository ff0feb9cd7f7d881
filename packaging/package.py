"""Writes the release packages beside the programs: one zip for each build, with both programs
and the user README, and the sums a user can check where the files end up: SHA256SUMS of the
zips beside them, and in each build's folder SHA256SUMS of its programs.

    package.py DIST VERSION EPOCH README

Each zip entry is dated EPOCH in UTC and carries no owner, no extra times and no build
machine's details, so the same files give the same zip whenever and by whomever it is built."""

import hashlib
import sys
import time
import zipfile
from pathlib import Path

PROGRAMS = ("VelmoraPlayer.exe", "VelmoraPlayerUninstaller.exe")


def write_sums(folder, names):
    lines = [f"{hashlib.sha256((folder / n).read_bytes()).hexdigest()}  {n}\n" for n in names]
    (folder / "SHA256SUMS").write_text("".join(lines), newline="\n")


def main(dist, version, epoch, readme):
    dist, date = Path(dist), time.gmtime(int(epoch))[:6]
    for old in dist.glob("*.zip"):
        old.unlink()
    zips = []
    for build in ("win32", "win64"):
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
