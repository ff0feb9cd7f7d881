"""Runs the real Windows programs under Wine: one private prefix and one X server per test
run, a wineserver kept alive between programs, and the wintest helper inside Wine as the
tests' hands (registry reads and writes, link delivery, answering message boxes)."""

import json
import os
import re
import shutil
import subprocess
import tempfile
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parents[2]
DIST = ROOT / "dist" / "win32"
HELPERS = ROOT / "build" / "windows-x86" / "tests" / "wine"

CLASS_KEY = r"Software\Classes\velmor-player"
COMMAND_KEY = CLASS_KEY + r"\shell\open\command"
LEGACY_KEY = CLASS_KEY + "-old"
MACHINE_KEY = CLASS_KEY  # under HKLM: Wine's HKEY_CLASSES_ROOT is HKLM\Software\Classes

IDYES, IDNO = 6, 7
MB_ICONERROR, MB_ICONQUESTION, MB_ICONWARNING, MB_ICONINFORMATION, MB_YESNO = 0x10, 0x20, 0x30, 0x40, 0x4


def site_host():
    cache = (ROOT / "build" / "windows-x86" / "CMakeCache.txt").read_text()
    return re.search(r"^VELMORA_SITE_HOST:STRING=(.*)$", cache, re.M).group(1)


def _hex(text):
    return text.encode("utf-8").hex()


_RELAY_CALL = re.compile(
    r'Call user32\.MessageBoxA\(([0-9a-f]+),[0-9a-f]+ "(.*)",[0-9a-f]+ "(.*)",([0-9a-f]+)\)')


def _unescape(text):
    """Reverses Wine's escaping of the narrow strings in its traces."""
    out = bytearray()
    i = 0
    raw = text.encode("latin-1", "backslashreplace")
    while i < len(raw):
        if raw[i] == 0x5C and i + 1 < len(raw):
            c = chr(raw[i + 1])
            if c == "x":
                out.append(int(raw[i + 2:i + 4], 16))
                i += 4
                continue
            out += {"n": b"\n", "r": b"\r", "t": b"\t"}.get(c, c.encode())
            i += 2
            continue
        out.append(raw[i])
        i += 1
    return out.decode("utf-8", "replace")


class Run:
    """What one delivery or start gave: the boxes shown, their MessageBoxA calls, exit codes."""

    def __init__(self, events, stderr):
        self.boxes = [e["box"] for e in events if "box" in e]
        ends = [e for e in events if "exitCodes" in e]
        assert ends, f"no exit codes: {events}"
        self.exit_codes = ends[0]["exitCodes"]
        self.calls = [
            {"owner": int(m[1], 16), "text": _unescape(m[2]), "caption": _unescape(m[3]),
             "style": int(m[4], 16)}
            for m in _RELAY_CALL.finditer(stderr)
        ]


class Wine:
    def __init__(self, workdir):
        self.workdir = Path(workdir)
        self.prefix = self.workdir / "prefix"
        # Wine takes its locale from these: C.UTF-8, on every Debian, gives US English with
        # the 1252 code page, the legacy code page a stand-in client runs in.
        self.env = {k: v for k, v in os.environ.items() if not k.startswith("LC_")}
        self.env.update(LANG="C.UTF-8", WINEPREFIX=str(self.prefix), WINEDEBUG="-all",
                        WINEDLLOVERRIDES="mscoree,mshtml=")
        self.xvfb = None

    def start(self):
        read, write = os.pipe()
        self.xvfb = subprocess.Popen(
            ["Xvfb", "-displayfd", str(write), "-screen", "0", "1024x768x24", "-nolisten", "tcp"],
            pass_fds=[write], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        os.close(write)
        with os.fdopen(read) as pipe:
            self.env["DISPLAY"] = ":" + pipe.readline().strip()
        subprocess.run(["wineboot", "-i"], env=self.env, check=True, capture_output=True, timeout=300)
        subprocess.run(["wineserver", "-p"], env=self.env, check=True,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        # Traces only MessageBoxA, so that a run shows each box's owner, strings and style.
        self.plant("HKCU", r"Software\Wine\Debug", {"RelayInclude": "user32.MessageBoxA"})
        # No window manager runs here; Wine would wait two seconds for one at every closing
        # message box unless its windows are unmanaged.
        self.plant("HKCU", r"Software\Wine\X11 Driver", {"Managed": "N"})
        return self

    def stop(self):
        subprocess.run(["wineserver", "-k"], env=self.env, capture_output=True)
        if self.xvfb:
            self.xvfb.terminate()
            self.xvfb.wait()

    def drive_c(self):
        return self.prefix / "drive_c"

    def helper(self, *args, on_event=None, timeout=120):
        """Runs wintest.exe; see execute."""
        return self.execute(HELPERS / "wintest.exe", *args, on_event=on_event, timeout=timeout)

    def execute(self, program, *args, on_event=None, timeout=120):
        """Runs a Windows console program that prints JSON lines; returns them and its
        stderr (where traces go). on_event, if given, sees each line as it comes."""
        # Files, not pipes: Wine's own background processes inherit the output handles and
        # outlive the helper, so a pipe would never reach its end.
        with tempfile.TemporaryFile() as out, tempfile.TemporaryFile() as err:
            process = subprocess.Popen(["wine", str(program), *args], env=self.env,
                                       stdin=subprocess.DEVNULL, stdout=out, stderr=err)
            deadline = time.monotonic() + timeout
            seen = 0
            while True:
                done = process.poll() is not None
                out.seek(0)
                events = [json.loads(l) for l in out.read().decode().splitlines() if l.startswith("{")]
                for event in events[seen:]:
                    if on_event:
                        on_event(event)
                seen = len(events)
                if done:
                    break
                if time.monotonic() > deadline:
                    process.kill()
                    raise TimeoutError(f"{program.name} {args[0]} took over {timeout} s")
                time.sleep(0.02)
            err.seek(0)
            return events, err.read().decode("utf-8", "replace")

    def screenshot(self, path):
        """The screen, cut to what is on it (the message boxes), as a PNG."""
        subprocess.run(["import", "-display", self.env["DISPLAY"], "-window", "root", "-trim",
                        "+repage", str(path)], check=True, capture_output=True)

    # --- registry ---
    def dump(self, root, path):
        """The key tree as {relative path: {value name: (type, size in bytes, data)}}."""
        events, _ = self.helper("dump", root, _hex(path))
        return {k["path"]: {v["name"]: (v["type"], v["size"], v["data"]) for v in k["values"]}
                for k in events[0]["keys"]}

    def plant(self, root, path, values=None):
        args = []
        for name, data in (values or {}).items():
            args += [_hex(name), _hex(data)]
        events, _ = self.helper("plant", root, _hex(path), *args)
        assert events[0]["result"] == 0

    def protect(self, root, path, sddl):
        events, _ = self.helper("protect", root, _hex(path), sddl)
        assert events[0]["result"] == 0

    def remove(self, root, path):
        self.helper("remove", root, _hex(path))

    # --- programs ---
    def open_links(self, *urls, answers=(), screenshots=None):
        return self._serve("open", urls, answers, screenshots)

    def run(self, *command_lines, answers=(), screenshots=None):
        return self._serve("run", command_lines, answers, screenshots)

    def _serve(self, verb, items, answers, screenshots):
        """screenshots, if given, is called with each box and returns where to save its picture."""
        args = ["--relay"]
        if answers:
            args += ["--answers", ",".join(str(a) for a in answers)]
        on_event = None
        if screenshots:
            args += ["--hold", "1500"]

            def on_event(event):
                if "box" in event:
                    time.sleep(0.5)
                    self.screenshot(screenshots(event["box"]))
        events, stderr = self.helper(verb, *args, *[_hex(i) for i in items], on_event=on_event)
        return Run(events, stderr)

    def install(self, *folders, client=True):
        """Copies both programs (and the stand-in client) into C:\\<folders>; returns the
        Windows path of the folder, with its trailing backslash, and the Unix one."""
        unix = self.drive_c().joinpath(*folders)
        if unix.exists():
            shutil.rmtree(unix)
        unix.mkdir(parents=True)
        shutil.copy(DIST / "VelmoraPlayer.exe", unix)
        shutil.copy(DIST / "VelmoraPlayerUninstaller.exe", unix)
        if client:
            shutil.copy(HELPERS / "OlvanePlayerBetaRaw.exe", unix)
        return "C:\\" + "\\".join(folders) + "\\", unix


def client_records(folder, expected, timeout=15.0):
    """The stand-in client's records in a folder, once `expected` of them exist; with 0,
    after a pause long enough for a wrongly started client to have written its record."""
    deadline = time.monotonic() + timeout
    while len(list(folder.glob("client-*.json"))) < expected and time.monotonic() < deadline:
        time.sleep(0.05)
    if expected == 0:
        time.sleep(0.5)
    return [json.loads(r.read_text()) for r in sorted(folder.glob("client-*.json"))]


def make_workdir():
    return tempfile.mkdtemp(prefix="velmora-wine-")
