#!/usr/bin/env python3
"""Plants the slips of a fault list one at a time in a copy of the checkout, and runs a command
against each: a slip the command does not fail for is one no test guards against.

    scripts/plant_faults.py tests/faults.txt -- scripts/test.sh
    scripts/plant_faults.py tests/faults.txt --only "code page" -- scripts/test.sh
    scripts/plant_faults.py tests/faults.txt --check

--only takes the slips whose names hold its words; --check only says whether each slip still
applies in the checkout. The list holds one slip a paragraph, blank lines between them; a line starting with #
is a note:

    name: what the slip is, in words
    file: the file it goes in, from the checkout's top
    find: a Python regular expression that matches exactly once in that file (across lines)
    replace: what the match becomes, as re.sub reads it (\\n a new line, \\g<1> a group)

The copy, build/faults/, is a git worktree of HEAD with the checkout's changes and new files
laid over it. It is kept between runs, so that builds there stay incremental; the checkout
itself is never touched."""

import argparse
import re
import shutil
import subprocess
import sys
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
COPY = ROOT / "build" / "faults"


def read(path):
    """Each slip of the list as {name, file, find, replace}."""
    for paragraph in Path(path).read_text().split("\n\n"):
        lines = [line for line in paragraph.splitlines() if line and not line.startswith("#")]
        if lines:
            yield {key: value[1:] if value.startswith(" ") else value
                   for key, _, value in (line.partition(":") for line in lines)}


def git(*args, cwd=ROOT):
    return subprocess.run(["git", *args], cwd=cwd, check=True, capture_output=True, text=True).stdout


def make_copy():
    if not (COPY / ".git").exists():
        shutil.rmtree(COPY, ignore_errors=True)
        git("worktree", "prune")
        git("worktree", "add", "-q", "--detach", str(COPY), "HEAD")
    git("checkout", "-q", "-f", "--detach", git("rev-parse", "HEAD").strip(), cwd=COPY)
    git("clean", "-q", "-f", "-d", "-e", "/build", cwd=COPY)
    for name in git("ls-files", "-z", "--modified", "--others", "--exclude-standard").split("\0"):
        if name and (ROOT / name).is_file():
            (COPY / name).parent.mkdir(parents=True, exist_ok=True)
            shutil.copy2(ROOT / name, COPY / name)
    for name in git("ls-files", "-z", "--deleted").split("\0"):
        if name:
            (COPY / name).unlink(missing_ok=True)


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("faults")
    parser.add_argument("--only", default="")
    parser.add_argument("--check", action="store_true")
    arguments = sys.argv[1:]
    split = arguments.index("--") if "--" in arguments else len(arguments)
    options, command = parser.parse_args(arguments[:split]), arguments[split + 1:]
    if not options.check and not command:
        parser.error("give a command after --, or --check")
    # A check reads the checkout itself: the copy may be serving another run.
    top = ROOT if options.check else COPY
    if not options.check:
        make_copy()
    results = []
    for fault in read(options.faults):
        if options.only not in fault["name"]:
            continue
        path = top / fault["file"]
        text = path.read_text() if path.is_file() else ""
        if len(re.findall(fault["find"], text, re.DOTALL)) != 1:
            result = "stale"
        elif options.check:
            result = "applies"
        else:
            path.write_text(re.sub(fault["find"], fault["replace"], text, flags=re.DOTALL))
            started = time.monotonic()
            try:
                ran = subprocess.run(command, cwd=COPY, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            finally:
                path.write_text(text)
            result = f"{'caught' if ran.returncode else 'SURVIVED'} ({time.monotonic() - started:.0f} s)"
        results.append(result.split()[0])
        print(f"{result:>18}  {fault['name']}", flush=True)
    print(", ".join(f"{results.count(r)} {r.lower()}" for r in sorted(set(results))), f"of {len(results)}")
    return 1 if {"stale", "SURVIVED"} & set(results) else 0


if __name__ == "__main__":
    sys.exit(main())
