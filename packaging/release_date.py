"""The release's date, in seconds since 1970, the project's own: the last commit's in a git
checkout of this project (not a folder inside another repository), else SOURCE_DATE_EPOCH, else
the commit date `git archive` wrote into packaging/commit-date. A zip holds 1980 to 2107 only."""

import os
import sys
from pathlib import Path

from commands import git

FIRST, LAST = 315532800, 4354819198  # 1980-01-01 and the end of 2107, in whole seconds


def release_date(source):
    top = git(source, "rev-parse", "--show-toplevel")
    if top.returncode == 0 and Path(top.stdout.strip()).resolve() == source.resolve():
        return git(source, "log", "-1", "--format=%ct").stdout.strip(), "the last commit's date"
    if "SOURCE_DATE_EPOCH" in os.environ:
        return os.environ["SOURCE_DATE_EPOCH"], "SOURCE_DATE_EPOCH"
    carried = source / "packaging" / "commit-date"
    return (carried.read_text().strip() if carried.exists() else ""), "packaging/commit-date"


def checked_date(source):
    """The release date, or the process stops saying why there is none."""
    epoch, origin = release_date(Path(source))
    if not epoch.isdigit() or not FIRST <= int(epoch) <= LAST:
        sys.exit(f"The packages need a date in seconds since 1970, from 1980 to 2107, and {origin} gives "
                 f"{epoch!r}. Outside a git checkout of this project and a git archive export of it, set "
                 "SOURCE_DATE_EPOCH to the sources' commit date, for example in the checkout they came "
                 "from: SOURCE_DATE_EPOCH=$(git log -1 --format=%ct).")
    return epoch
