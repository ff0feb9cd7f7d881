"""Wine's relay and module traces of a run, read back: each program's own calls to the Windows
API, in order, with their arguments and results, and the modules it loaded."""

import re

from driver import text


def unescape(text):
    """Wine's escaped narrow string in a trace, back to its bytes, read as UTF-8."""
    raw, out, i = text.encode("latin-1", "backslashreplace"), bytearray(), 0
    while i < len(raw):
        if raw[i] == 0x5C and raw[i + 1:i + 2] == b"x":
            out.append(int(raw[i + 2:i + 4], 16))
            i += 4
        elif raw[i] == 0x5C:
            out += {b"n": b"\n", b"r": b"\r", b"t": b"\t"}.get(raw[i + 1:i + 2], raw[i + 1:i + 2])
            i += 2
        else:
            out.append(raw[i])
            i += 1
    return out.decode("utf-8", "replace")


TRACE = re.compile(r'^([0-9a-f]+):[0-9a-f]+:(Call|Ret ) \w+\.(\w+)\((.*?)\)(?: retval=([0-9a-f]+))? ret=([0-9a-f]+)$', re.M)
LOADED = re.compile(r'^([0-9a-f]+):[0-9a-f]+:trace:loaddll:\w+ Loaded L"([^"]+)"', re.M)
# Wine shortens a long string to its start and "...".
ARGUMENT = re.compile(r'([0-9a-f]+)(?: "((?:[^"\\]|\\.)*)"(?:\.\.\.)?)?(?:,|$)')


def ours(address):
    """A return address inside the program's own image: the 32-bit and 64-bit default bases."""
    return address < 0x10000000 or 0x140000000 <= address < 0x150000000


def since_start(stderr, pid):
    """The trace from the start of the process that has this id now: Wine gives an ended process's
    id to the next one, so lines before it may be another's (each process loads its .exe first)."""
    starts = [m.start() for m in re.finditer(rf'^{pid:04x}:[0-9a-f]+:trace:loaddll:\w+ Loaded L"[^"]*\.exe"', stderr,
                                             re.M | re.I)]
    return stderr[starts[-1] if starts else 0:]


def trace_calls(stderr, pid):
    """The traced Windows calls one process made from its own code, in order, each as
    (function, arguments, result): a quoted argument as its text, any other as a number."""
    calls, pending = [], {}
    for m in TRACE.finditer(since_start(stderr, pid)):
        if int(m[1], 16) != pid or not ours(int(m[6], 16)):
            continue
        if m[2] == "Call":
            # Numbers are read as 32 bits: a 64-bit trace shows whole registers, and the
            # predefined roots sign-extended.
            arguments = [unescape(a[2]) if a[2] is not None else int(a[1], 16) & 0xFFFFFFFF
                         for a in ARGUMENT.finditer(m[4])]
            pending.setdefault((m[3], m[6]), []).append(len(calls))
            calls.append([m[3], arguments, None])
        else:
            calls[pending[(m[3], m[6])].pop()][2] = int(m[5], 16)
    return calls


class Run:
    """What one start of programs gave: the boxes shown and the exit codes, and for each program
    the modules it loaded (their Windows paths, in lower case) and the calls it made from its
    own code."""

    def __init__(self, event, stderr):
        assert "exitCodes" in event, event
        self.boxes = [{"caption": text(c), "text": text(t), "yesNo": y} for c, t, y in event["boxes"]]
        self.exit_codes = event["exitCodes"]
        self.traces = [trace_calls(stderr, pid) for pid in event["pids"]]
        self.modules = [{m[2].lower().replace("\\\\", "\\") for m in LOADED.finditer(since_start(stderr, pid))
                         if int(m[1], 16) == pid} for pid in event["pids"]]
        self.calls = self.traces[0] if len(self.traces) == 1 else None

    def message_boxes(self, calls=None):
        """(owner, text, caption, style) of each MessageBoxA call."""
        return [tuple(a[:4]) for f, a, _ in (calls or self.calls) if f == "MessageBoxA"]


def starts(calls):
    """How many processes a program started, from its own trace."""
    return sum(1 for f, _, r in calls if f == "CreateProcessA" and r)
