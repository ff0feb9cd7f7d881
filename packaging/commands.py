"""The outside commands the release runs, and the refusal that stops it."""

import subprocess


class Refused(Exception):
    """Why the release cannot be signed."""


def run(command, **options):
    return subprocess.run([str(c) for c in command], stdin=subprocess.DEVNULL, capture_output=True, text=True,
                          **options)


def git(source, *args):
    """git in a checkout, even one another user owns (a build farm building as root), which git
    refuses to read unless told it is safe: it is, for reading, with nothing of the repository's
    own configuration run (no file-system monitor, no pager)."""
    return run(["git", "-c", f"safe.directory={source.resolve()}", "-c", "core.fsmonitor=false", "--no-pager", *args],
               cwd=source)
