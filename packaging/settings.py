"""The operator's VELMORA_SIGN_* settings, read from the environment when the release runs. A
file a setting names is read relative to the checkout, where CMakeUserPresets.json is: the same
folder whether or not the build configured again from its own folder."""

import os
from pathlib import Path

from commands import Refused, git

FILES = ("VELMORA_SIGN_PKCS11_MODULE", "VELMORA_SIGN_CERT", "VELMORA_SIGN_PFX", "VELMORA_SIGN_PASSWORD_FILE",
         "VELMORA_SIGN_CA_FILE")


def read(checkout):
    """The settings that are set, file names made absolute. A file inside the checkout that git
    would add is refused: a key, PIN or password there is one `git add` away from the repository."""
    found = {k: v for k, v in os.environ.items() if k.startswith("VELMORA_SIGN_") and v}
    for name in (n for n in FILES if n in found):
        path = found[name] = str(Path(checkout, found[name]))
        if not os.access(path, os.R_OK):
            raise Refused(f"{name} names {path}, which cannot be read.")
        real, top = Path(path).resolve(), Path(checkout).resolve()
        if real.is_relative_to(top) and git(top, "rev-parse").returncode == 0 and \
                git(top, "check-ignore", "-q", "--", real.relative_to(top)).returncode != 0:
            raise Refused(f"{name} names {path}, inside this checkout, where git would add it to the repository: "
                          "move it out of the checkout, or ignore it in .gitignore.")
    text = found.setdefault("VELMORA_SIGN_TIMESTAMP_WAIT", "30")
    try:
        positive = float(text) > 0
    except ValueError:
        positive = False
    if not positive:
        raise Refused(f"VELMORA_SIGN_TIMESTAMP_WAIT is {text!r}: it must be a number of seconds above 0.")
    return found
