"""What a user can see of one program's run, whole, so that every test holds all of it: the
exit code; every message box, as the program asked for it and as it was shown; the
registration in each of its three places; how often the shell was told of a changed
association; the folders the program tried to start a client in; and the stand-in clients it
started, from any of the folders given (their command lines, in Unicode and in their legacy
code page, and their current folders)."""

from driver import client_records
from winehost import CLASS_KEY, LEGACY_KEY, MACHINE_KEY

MB_ICONERROR, MB_ICONQUESTION, MB_ICONWARNING, MB_ICONINFORMATION, MB_YESNO = 0x10, 0x20, 0x30, 0x40, 0x4
PLACES = {"user": ("HKCU", CLASS_KEY), "legacy": ("HKCU", LEGACY_KEY), "machine": ("HKLM", MACHINE_KEY)}
TOLD = ["SHChangeNotify", [0x08000000, 0, 0, 0]]


def registrations(wine):
    return {place: wine.dump(*key) for place, key in PLACES.items()}


def seen(wine, run, *client_folders, ansi=True):
    [calls], [code] = run.traces, run.exit_codes
    boxes = run.message_boxes(calls)
    shown = [(0, b["text"], b["caption"], style) for b, (_, _, _, style) in zip(run.boxes, boxes)]
    tried = [a[7] for f, a, _ in calls if f == "CreateProcessA"]
    started = sum(1 for f, _, r in calls if f == "CreateProcessA" and r)
    clients = client_records(*client_folders, expected=started)
    return dict(exit=code, boxes=boxes, shown=shown if len(run.boxes) == len(boxes) else run.boxes,
                registry=registrations(wine), told=sum(1 for c in calls if c[:2] == TOLD), tried=tried,
                clients=[r if ansi else dict(r, ansiCommandLine=..., ansiArgv=...) for r in clients])


def outcome(exit=0, boxes=(), caption="", registry=None, told=0, tried=(), clients=()):
    """The expected outcome, in the form `seen` gives: boxes as (text, style) without an owner,
    registry as the places that hold anything."""
    boxes = [(0, text, caption, style) for text, style in boxes]
    return dict(exit=exit, boxes=boxes, shown=boxes, registry={place: {} for place in PLACES} | (registry or {}),
                told=told, tried=list(tried), clients=list(clients))
