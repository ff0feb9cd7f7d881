"""Makes a release: builds both Windows builds' programs, each in a folder of its own inside
this release's build folder, then finishes them (package.py) into DIST. It holds DIST's lock
from start to end, so that a second release into the same DIST, or from the same build folder,
waits for the first instead of mixing with it.

    release.py SOURCE BINARY DIST VERSION SITE_HOST START_FOLDER"""

import fcntl
import os
import shutil
import subprocess
import sys
from concurrent.futures import ThreadPoolExecutor
from pathlib import Path

import package
from release_date import checked_date

ARCHITECTURES = {"win32": "x86", "win64": "x64"}


def place(dist):
    """The folder the release replaces: DIST itself, or the folder DIST names when it is a
    symbolic link (into a web server's folder, say), which stays and goes on naming the release.
    A release is put together beside that folder and put in its place whole, so it cannot be a
    mount point and the folder that holds it must be one this user can write: both are checked
    before anything is built."""
    real = Path(os.path.realpath(dist))
    if os.path.ismount(real):
        sys.exit(f"{dist} is a mount point, which a release cannot replace whole: make it a symbolic link to a "
                 "folder inside the mounted file system, or a folder of that file system's own, and start again.")
    if not (real.parent.is_dir() and os.access(real.parent, os.W_OK | os.X_OK)):
        sys.exit(f"A release is put together beside {real}, in {real.parent}, which this user cannot write: make it "
                 "writable for this user, or set VELMORA_DIST to a folder whose parent it can write.")
    return real


def lock(dist):
    """DIST's lock, held until this process ends, however it ends."""
    held = open(dist.with_name(dist.name + ".lock"), "w")
    try:
        fcntl.flock(held, fcntl.LOCK_EX | fcntl.LOCK_NB)
    except BlockingIOError:
        print(f"Another release into {dist} is under way: this one waits for it to end.", flush=True)
        fcntl.flock(held, fcntl.LOCK_EX)
    return held


def build(source, binary, stage, site_host, folder):
    """One build's programs, configured every time (a folder removed by hand is made again) and
    installed into the stage; what failed, or None."""
    sub = binary / f"windows-{ARCHITECTURES[folder]}"
    for command in (["cmake", "-S", source, "-B", sub, "--preset", sub.name, f"-DVELMORA_SITE_HOST={site_host}"],
                    ["cmake", "--build", sub, "--target", "VelmoraPlayer", "VelmoraPlayerUninstaller"],
                    ["cmake", "--install", sub, "--prefix", stage / folder]):
        done = subprocess.run(command, stdin=subprocess.DEVNULL, capture_output=True, text=True)
        if done.returncode != 0:
            return f"{done.stdout}{done.stderr}The {folder} build failed: {' '.join(map(str, command))}"
    return None


def main(source, binary, dist, version, site_host, start):
    source, binary, dist = Path(source), Path(binary), place(Path(dist))
    held = lock(dist)
    package.recover(dist)
    stage = binary / "stage"
    shutil.rmtree(stage, ignore_errors=True)
    with ThreadPoolExecutor() as pool:
        failed = [f for f in pool.map(lambda f: build(source, binary, stage, site_host, f), ARCHITECTURES) if f]
    if failed:
        sys.exit("\n".join(failed) + f"; {dist} is left as it was.")
    package.main(stage, dist, version, checked_date(source), binary / "readme", site_host, start, source)
    held.close()


if __name__ == "__main__":
    try:
        main(*sys.argv[1:])
    except KeyboardInterrupt:
        sys.exit(f"The release was stopped; {sys.argv[3]} is left as it was.")
