"""Runs the real Windows programs under Wine, for the demonstration, the benchmark and the
tests: one private prefix and one X server a run, a wineserver kept alive between programs,
and the wintest driver inside Wine (registry reads and writes, starting programs, answering
message boxes). Every program runs with Wine's relay trace of its own calls to the Windows
API and its module trace.

Some machines cannot run 32-bit programs at all (their kernel refuses i386 executables, so
Wine's 32-bit loader never starts). Each run finds out by trying the driver's 32-bit build;
where that fails, or where VELMORA_WINE_64BIT_ONLY is set, only the 64-bit programs run,
through Wine's 64-bit loader, with the 64-bit builds of the driver and the stand-in client."""

import json
import os
import re
import select
import shutil
import subprocess
import tempfile
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
# The release the demonstration, the benchmark or the tests built for themselves
# (scripts/own-release.sh): never the operator's dist/.
OUTPUT = Path(os.environ.get("VELMORA_OUTPUT") or ROOT / "build" / "test")
DIST = OUTPUT / "dist"
BUILDS = {"win32": "windows-x86", "win64": "windows-x64"}
WINE64 = "/usr/lib/wine/wine64"
FORCE_64BIT = "VELMORA_WINE_64BIT_ONLY"

CLASS_KEY = r"Software\Classes\velmor-player"
COMMAND_KEY = CLASS_KEY + r"\shell\open\command"
LEGACY_KEY = CLASS_KEY + "-old"
MACHINE_KEY = CLASS_KEY  # under HKLM: Wine's HKEY_CLASSES_ROOT is HKLM\Software\Classes

IDYES, IDNO = 6, 7
MB_ICONERROR, MB_ICONQUESTION, MB_ICONWARNING, MB_ICONINFORMATION, MB_YESNO = 0x10, 0x20, 0x30, 0x40, 0x4

TRACED = ("user32.MessageBoxA advapi32.RegCreateKeyExA advapi32.RegSetValueExA advapi32.RegCloseKey "
          "advapi32.RegOpenKeyExA advapi32.RegEnumKeyExA advapi32.RegDeleteKeyA kernel32.CreateProcessA "
          "kernel32.CloseHandle kernel32.LoadLibraryExA shell32.SHChangeNotify")


def seam_program(build, program):
    """The test-only build of a program, with the seam, for the given build."""
    return OUTPUT / BUILDS[build] / "tests" / "wine" / f"{program}Seam.exe"


def legacy_code_page_copy(program, copy):
    """The program as Windows before 10 1903 runs it, which ignores the manifest's UTF-8 code
    page: here, with that element commented out in place."""
    element = b'<activeCodePage xmlns="http://schemas.microsoft.com/SMI/2019/WindowsSettings">UTF-8</activeCodePage>'
    data = program.read_bytes()
    assert data.count(element) == 1
    copy.write_bytes(data.replace(element, b"<!--" + element[4:-3] + b"-->"))
    return copy


def site_host():
    cache = (OUTPUT / "CMakeCache.txt").read_text()
    return re.search(r"^VELMORA_SITE_HOST:STRING=(.*)$", cache, re.M).group(1)


def _hex(text):
    return text.encode("utf-16-le", "surrogatepass").hex()


def _text(hex_digits):
    return bytes.fromhex(hex_digits).decode("utf-8")


def _unescape(text):
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


_TRACE = re.compile(r'^([0-9a-f]+):[0-9a-f]+:(Call|Ret ) \w+\.(\w+)\((.*?)\)(?: retval=([0-9a-f]+))? ret=([0-9a-f]+)$', re.M)
_LOADED = re.compile(r'^([0-9a-f]+):[0-9a-f]+:trace:loaddll:\w+ Loaded L"([^"]+)"', re.M)
# Wine shortens a long string to its start and "...".
_ARGUMENT = re.compile(r'([0-9a-f]+)(?: "((?:[^"\\]|\\.)*)"(?:\.\.\.)?)?(?:,|$)')


def _ours(address):
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
    for m in _TRACE.finditer(since_start(stderr, pid)):
        if int(m[1], 16) != pid or not _ours(int(m[6], 16)):
            continue
        if m[2] == "Call":
            # Numbers are read as 32 bits: a 64-bit trace shows whole registers, and the
            # predefined roots sign-extended.
            arguments = [_unescape(a[2]) if a[2] is not None else int(a[1], 16) & 0xFFFFFFFF
                         for a in _ARGUMENT.finditer(m[4])]
            pending.setdefault((m[3], m[6]), []).append(len(calls))
            calls.append([m[3], arguments, None])
        else:
            calls[pending[(m[3], m[6])].pop()][2] = int(m[5], 16)
    return calls


def system_library(name):
    """The expected call that loads a system DLL by its full path, and its own imports from
    the system folder too (LOAD_WITH_ALTERED_SEARCH_PATH)."""
    return ["LoadLibraryExA", ["C:\\windows\\system32\\" + name, 0, 0x8], ...]


def masked(calls, expected):
    """The calls, with every argument and result that the expected list gives as ... masked the
    same way."""
    if len(calls) != len(expected):
        return calls
    return [[f, [... if e is ... else x for x, e in zip(a, ea)] if len(a) == len(ea) else a, ... if er is ... else r]
            for (f, a, r), (_, ea, er) in zip(calls, expected)]


class Run:
    """What one start of programs gave: the boxes shown and the exit codes, and for each program
    the modules it loaded (their Windows paths, in lower case) and the calls it made from its
    own code."""

    def __init__(self, event, stderr):
        assert "exitCodes" in event, event
        self.boxes = [{"caption": _text(c), "text": _text(t), "yesNo": y} for c, t, y in event["boxes"]]
        self.exit_codes = event["exitCodes"]
        self.traces = [trace_calls(stderr, pid) for pid in event["pids"]]
        self.modules = [{m[2].lower().replace("\\\\", "\\") for m in _LOADED.finditer(since_start(stderr, pid))
                         if int(m[1], 16) == pid} for pid in event["pids"]]
        self.calls = self.traces[0] if len(self.traces) == 1 else None

    def message_boxes(self, calls=None):
        """(owner, text, caption, style) of each MessageBoxA call."""
        return [tuple(a[:4]) for f, a, _ in (calls or self.calls) if f == "MessageBoxA"]


class Wine:
    """Used as a context manager: whatever happens inside, its X server and its Wine processes
    end with it."""

    def __init__(self, workdir):
        self.workdir = Path(workdir)
        self.prefix = self.workdir / "prefix"
        # Wine takes its locale from these: C.UTF-8, on every Debian, gives US English with
        # the 1252 code page, the legacy code page a stand-in client runs in.
        self.env = {k: v for k, v in os.environ.items() if not k.startswith("LC_")}
        # Wine answers a changed association by starting winemenubuilder, which would inherit a
        # run's relay trace and write into it under a process id the next run's program may get
        # once it ends: it never starts here. Nor does its debugger, whose crash dialog would hold a
        # crashed program's run for minutes: the program ends at once, with its exception's code.
        self.env.update(LANG="C.UTF-8", WINEPREFIX=str(self.prefix), WINEDEBUG="-all",
                        WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d;winedbg.exe=d")
        self.xvfb = None
        self.drivers = {}  # one a locale
        self.builds, self.why = ("win32", "win64"), "this machine runs 32-bit Windows programs"
        self.loader, self.helpers = "wine", OUTPUT / BUILDS["win32"] / "winehost"

    def __enter__(self):
        try:
            return self.start()
        except BaseException:
            self.stop()
            raise

    def __exit__(self, *_):
        self.stop()

    def start(self):
        read, write = os.pipe()
        self.xvfb = subprocess.Popen(
            ["Xvfb", "-displayfd", str(write), "-screen", "0", "1024x768x24", "-nolisten", "tcp"],
            pass_fds=[write], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        os.close(write)
        with os.fdopen(read) as pipe:
            self.env["DISPLAY"] = ":" + pipe.readline().strip()
        if not self.prefix.exists():
            self.make_prefix()
        self.choose_builds()
        subprocess.run(["wineserver", "-p"], env=self.env, check=True,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        self.plant("HKCU", r"Software\Wine\Debug", {"RelayInclude": TRACED.replace(" ", ";")})
        # No window manager runs here; Wine would wait two seconds for one at every closing
        # message box unless its windows are unmanaged.
        self.plant("HKCU", r"Software\Wine\X11 Driver", {"Managed": "N"})
        return self

    def make_prefix(self):
        """A fresh prefix takes a while: the test command makes it while it builds. Where the
        32-bit loader cannot even be started (exit 126), the 64-bit one makes it."""
        self.workdir.mkdir(parents=True, exist_ok=True)
        env = {k: v for k, v in self.env.items() if k != "DISPLAY"}
        for loader in ("wine", WINE64):
            made = subprocess.run([loader, "wineboot", "-i"], env=env, capture_output=True, timeout=300)
            if made.returncode != 126:
                break
        made.check_returncode()

    def choose_builds(self):
        """Runs the driver's 32-bit build once: where it answers, both builds run as they are;
        otherwise only the 64-bit ones, and `why` says so."""
        if os.environ.get(FORCE_64BIT):
            why = f"{FORCE_64BIT} is set"
        else:
            tried = subprocess.run(["wine", str(self.helpers / "wintest.exe"), "dump", "HKCU", _hex(CLASS_KEY)],
                                   env=self.env, capture_output=True, timeout=120)
            if tried.stdout.startswith(b"{"):
                return
            said = tried.stderr.decode("utf-8", "replace").strip().splitlines()
            why = f"this machine cannot run 32-bit Windows programs ({said[-1] if said else 'no output'})"
        self.builds, self.why = ("win64",), why
        self.loader, self.helpers = WINE64, OUTPUT / BUILDS["win64"] / "winehost"

    def stop(self):
        for driver, _ in self.drivers.values():
            driver.kill()
            driver.wait()
        if self.prefix.exists():
            subprocess.run(["wineserver", "-k"], env=self.env, capture_output=True)
        if self.xvfb:
            self.xvfb.terminate()
            self.xvfb.wait()

    def drive_c(self):
        return self.prefix / "drive_c"

    def helper(self, *args, on_event=None, timeout=600, locale=None):
        """One command to the wintest driver, which serves the whole run from one process: its
        JSON lines (on_event sees each as it comes) and what Wine wrote to stderr meanwhile,
        where the traces go. Wine takes a process's code page from the Unix locale it starts
        in, and its children inherit it: a locale (ja_JP.UTF-8, say) gets a driver of its own."""
        if locale not in self.drivers:
            err = tempfile.TemporaryFile()
            self.drivers[locale] = subprocess.Popen(
                [self.loader, str(self.helpers / "wintest.exe"), "serve"], env=dict(self.env, LC_ALL=locale or "C.UTF-8"),
                stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=err), err
        driver, err = self.drivers[locale]
        start = os.fstat(err.fileno()).st_size
        driver.stdin.write((" ".join(args) + "\n").encode())
        driver.stdin.flush()
        deadline, events, pending = time.monotonic() + timeout, [], b""
        while True:
            if not select.select([driver.stdout], [], [], max(0.0, deadline - time.monotonic()))[0]:
                driver.kill()
                del self.drivers[locale]
                raise TimeoutError(f"waited {timeout} s for the Wine driver to finish {args[0]}")
            chunk = os.read(driver.stdout.fileno(), 65536)
            if not chunk:
                raise RuntimeError(f"wintest ended during {args[0]}")
            *lines, pending = (pending + chunk).split(b"\n")
            # The console programs it starts may write to its output too.
            for line in lines:
                if line == b"END":
                    size = os.fstat(err.fileno()).st_size
                    return events, os.pread(err.fileno(), size - start, start).decode("utf-8", "replace")
                if line.startswith(b"{"):
                    events.append(json.loads(line))
                    if on_event:
                        on_event(events[-1])

    def execute(self, program, *args, on_event=None, timeout=120):
        """Runs a Windows console program: its JSON lines (on_event sees each as it comes) and
        its stderr, where the traces go. Files, not pipes: Wine's own background processes
        inherit the output handles and outlive the helper, so a pipe would never reach its end."""
        with tempfile.TemporaryFile() as out, tempfile.TemporaryFile() as err:
            process = subprocess.Popen([self.loader, str(program), *args], env=self.env,
                                       stdin=subprocess.DEVNULL, stdout=out, stderr=err)
            deadline, seen = time.monotonic() + timeout, 0
            while True:
                done = process.poll() is not None
                out.seek(0)
                events = [json.loads(line) for line in out.read().decode().splitlines() if line.startswith("{")]
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
        """The key tree as {relative path: {value name: (type, data)}}, REG_SZ data as text."""
        events, _ = self.helper("dump", root, _hex(path))
        decode = lambda t, d: bytes.fromhex(d).decode("utf-16-le") if t == 1 else bytes.fromhex(d)
        return {_text(k): {_text(n): (t, decode(t, d)) for n, (t, d) in values.items()}
                for k, values in events[0].items()}

    def plant(self, root, path, values=None):
        pairs = [_hex(x) for item in (values or {}).items() for x in item]
        assert self.helper("plant", root, _hex(path), *pairs)[0][0]["result"] == 0

    def protect(self, root, path, sddl):
        assert self.helper("protect", root, _hex(path), sddl)[0][0]["result"] == 0

    def remove(self, *roots_and_paths):
        """Deletes key trees, each given as a root and a path."""
        self.helper("remove", *[x if i % 2 == 0 else _hex(x) for i, x in enumerate(roots_and_paths)])

    def link(self, path, target):
        """Makes HKCU\\path a registry link to HKCU\\target."""
        assert self.helper("link", _hex(path), _hex(target))[0][0]["result"] == 0

    def short_path(self, path):
        return _text(self.helper("short", _hex(path))[0][0]["path"])

    def verify(self, path):
        """What WinVerifyTrust says of a file's signature: 0 when it holds."""
        return self.helper("verify", _hex(path))[0][0]["result"]

    # --- programs ---
    def open_links(self, *urls, **options):
        """Delivers links the way the platform does: the registered open command, %1 replaced."""
        command = self.dump("HKCU", COMMAND_KEY)[""][""][1].rstrip("\0")
        return self.run(*[command.replace("%1", url) for url in urls], **options)

    def run(self, *command_lines, answers=(), screenshots=None, env=None, shell=False, locale=None, timeout=60):
        """screenshots, if given, is called for each box and returns where to save its picture;
        with shell, the command lines are links, opened through ShellExecuteExW; with a locale,
        the programs run in its code page. A run that has not ended in timeout seconds fails."""
        args = ["--answers", ",".join(map(str, answers))] if answers else []
        args += ["--shell"] if shell else []
        args += [x for name, value in (env or {}).items() for x in ("--env", f"{name}={_hex(value)}")]
        if screenshots:
            args += ["--hold", "1500"]
        on_event = (lambda e: "box" in e and (time.sleep(0.5), self.screenshot(screenshots()))) if screenshots else None
        events, stderr = self.helper("run", *args, *map(_hex, command_lines), on_event=on_event, locale=locale,
                                     timeout=timeout)
        return Run(events[-1], stderr)

    def install(self, *folders, build="win32", client=True, programs=None):
        """Copies both programs (or the given {name: path}) and the stand-in client into
        C:\\<folders>; returns the Windows path of the folder, with its trailing backslash,
        and the Unix one."""
        unix = self.drive_c().joinpath(*folders)
        shutil.rmtree(unix, ignore_errors=True)
        unix.mkdir(parents=True)
        dist = DIST / build
        for name, source in (programs or {p: dist / p for p in ("VelmoraPlayer.exe", "VelmoraPlayerUninstaller.exe")}).items():
            shutil.copy(source, unix / name)
        if client:
            shutil.copy(self.helpers / "OlvanePlayerBetaRaw.exe", unix)
        return "C:\\" + "\\".join(folders) + "\\", unix


def client_records(*folders, expected, timeout=30.0):
    """The stand-in client's records in the folders, once `expected` of them exist, each taken
    away as it is read: a client is a process of its own, which nothing waits for. Whether a
    client was started at all is told by the launcher's own trace (`starts`), not by waiting
    for a record."""
    deadline, found = time.monotonic() + timeout, []
    while len(found := sorted(f for folder in folders for f in folder.glob("client-*.json"))) < expected:
        if time.monotonic() > deadline:
            raise TimeoutError(f"waited {timeout:.0f} s for {expected} client record(s) in {folders}")
        time.sleep(0.05)
    records = [json.loads(r.read_text()) for r in found]
    for record, path in zip(records, found):
        path.unlink()
        record.update(commandLine=_text(record["commandLine"]), argv=[_text(a) for a in record["argv"]],
                      currentDirectory=_text(record["currentDirectory"]),
                      ansiCommandLine=bytes.fromhex(record["ansiCommandLine"]),
                      ansiArgv=[bytes.fromhex(a) for a in record["ansiArgv"]])
    return records


def starts(calls):
    """How many processes a program started, from its own trace."""
    return sum(1 for f, _, r in calls if f == "CreateProcessA" and r)


def make_workdir():
    """The test command's own folder, where it has made the prefix already, or a new one."""
    return os.environ.get("VELMORA_WINE_DIR") or tempfile.mkdtemp(prefix="velmora-wine-")


if __name__ == "__main__":  # winehost.py DIR: make a prefix in DIR ahead of the tests
    Wine(os.sys.argv[1]).make_prefix()

