"""Makes a release: builds both Windows builds' programs in folders of its own, signs them when
the VELMORA_SIGN_* settings ask for it, packages them, and only then puts them in place of DIST,
holding DIST's lock throughout. Settings, player guide and date are read when it runs.

    release.py --source CHECKOUT --build FOLDER --dist DIST --version VERSION --site-host HOST
               [--built FOLDER]   (programs built already, in FOLDER/win32 and FOLDER/win64)"""

import argparse
import fcntl
import os
import shutil
import subprocess
import sys
from concurrent.futures import ThreadPoolExecutor
from pathlib import Path

import keys
import package
import settings
import signing
from commands import Refused
from readme import readme
from release_date import checked_date

PRESETS = {"win32": "windows-x86", "win64": "windows-x64"}
PLACEHOLDER_HOST = "velmora.example"


def options(arguments):
    parser = argparse.ArgumentParser(prog="release.py", usage=__doc__.split("\n\n")[1])
    for name in ("--source", "--build", "--dist", "--built"):
        parser.add_argument(name, type=Path, required=name != "--built")
    for name in ("--version", "--site-host"):
        parser.add_argument(name, required=True)
    return parser.parse_args(arguments)


def place(dist):
    """The folder the release replaces: DIST, or the folder it links to (a web server's, say),
    which is replaced whole from beside it; checked before anything is built."""
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


def build(given, stage, folder):
    """One build's programs, configured every time (a folder removed by hand is made again) and
    installed into the stage; what failed, or None."""
    sub = given.build / PRESETS[folder]
    for command in (["cmake", "-S", given.source, "-B", sub, "--preset", sub.name, f"-DVELMORA_SITE_HOST={given.site_host}"],
                    ["cmake", "--build", sub, "--target", "VelmoraPlayer", "VelmoraPlayerUninstaller"],
                    ["cmake", "--install", sub, "--prefix", stage / folder]):
        done = subprocess.run(command, stdin=subprocess.DEVNULL, capture_output=True, text=True)
        if done.returncode != 0:
            return f"{done.stdout}{done.stderr}The {folder} build failed: {' '.join(map(str, command))}"
    return None


def main(arguments):
    given = options(arguments)
    dist = place(given.dist)
    held = lock(dist)
    package.recover(dist)
    stage = given.built or given.build / "stage"
    if not given.built:
        shutil.rmtree(stage, ignore_errors=True)
        with ThreadPoolExecutor() as pool:
            failed = [f for f in pool.map(lambda f: build(given, stage, f), PRESETS) if f]
        if failed:
            sys.exit("\n".join(failed) + f"; {dist} is left as it was.")
    built, epoch = {f"{b}/{p}": stage / b / p for b in package.BUILDS for p in package.PROGRAMS}, checked_date(given.source)
    made, signed = {name: path.read_bytes() for name, path in built.items()}, "not signed"
    if keys.asked(os.environ):
        try:
            made, signed = signing.sign(built, epoch, settings.read(given.source), given.source)
        except Refused as error:
            sys.exit(f"The release is not signed, and {dist} is left as it was: {error}")
    guide = (given.source / "docs" / "players.md").read_text()
    readmes = {b: readme(guide, given.version, b, windows, given.site_host) for b, windows in package.BUILDS.items()}
    package.publish(package.package(given.version, epoch, made, readmes), dist)
    placeholder = (f": its links and messages name {PLACEHOLDER_HOST}, a placeholder; set VELMORA_SITE_HOST for your "
                   "site (docs/operators.md)") if given.site_host == PLACEHOLDER_HOST else ""
    print(f"Release {given.version} in {dist}: for the web site {given.site_host}{placeholder}; {signed}.")
    held.close()


if __name__ == "__main__":
    try:
        main(sys.argv[1:])
    except KeyboardInterrupt:
        sys.exit(f"The release was stopped; {options(sys.argv[1:]).dist} is left as it was.")
