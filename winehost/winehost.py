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
import shutil
import subprocess
import tempfile
import time
from pathlib import Path

from driver import Driver, hex_text, text
from traces import Run

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

TRACED = ("user32.MessageBoxA advapi32.RegCreateKeyExA advapi32.RegSetValueExA advapi32.RegCloseKey "
          "advapi32.RegOpenKeyExA advapi32.RegEnumKeyExA advapi32.RegDeleteKeyA kernel32.CreateProcessA "
          "kernel32.CloseHandle kernel32.LoadLibraryExA shell32.SHChangeNotify")


def site_host():
    cache = (OUTPUT / "CMakeCache.txt").read_text()
    return re.search(r"^VELMORA_SITE_HOST:STRING=(.*)$", cache, re.M).group(1)


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
            tried = subprocess.run(["wine", str(self.helpers / "wintest.exe"), "dump", "HKCU", hex_text(CLASS_KEY)],
                                   env=self.env, capture_output=True, timeout=120)
            if tried.stdout.startswith(b"{"):
                return
            said = tried.stderr.decode("utf-8", "replace").strip().splitlines()
            why = f"this machine cannot run 32-bit Windows programs ({said[-1] if said else 'no output'})"
        self.builds, self.why = ("win64",), why
        self.loader, self.helpers = WINE64, OUTPUT / BUILDS["win64"] / "winehost"

    def stop(self):
        for driver in self.drivers.values():
            driver.kill()
        if self.prefix.exists():
            subprocess.run(["wineserver", "-k"], env=self.env, capture_output=True)
        if self.xvfb:
            self.xvfb.terminate()
            self.xvfb.wait()

    def drive_c(self):
        return self.prefix / "drive_c"

    def helper(self, *args, on_event=None, timeout=600, locale=None):
        """One command to the wintest driver. Wine takes a process's code page from the Unix
        locale it starts in, and its children inherit it: a locale (ja_JP.UTF-8, say) gets a
        driver of its own."""
        if locale not in self.drivers:
            self.drivers[locale] = Driver([self.loader, str(self.helpers / "wintest.exe"), "serve"],
                                          dict(self.env, LC_ALL=locale or "C.UTF-8"))
        try:
            return self.drivers[locale].ask(*args, on_event=on_event, timeout=timeout)
        except TimeoutError:
            self.drivers.pop(locale).kill()
            raise

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
        events, _ = self.helper("dump", root, hex_text(path))
        decode = lambda t, d: bytes.fromhex(d).decode("utf-16-le") if t == 1 else bytes.fromhex(d)
        return {text(k): {text(n): (t, decode(t, d)) for n, (t, d) in values.items()}
                for k, values in events[0].items()}

    def plant(self, root, path, values=None):
        pairs = [hex_text(x) for item in (values or {}).items() for x in item]
        assert self.helper("plant", root, hex_text(path), *pairs)[0][0]["result"] == 0

    def protect(self, root, path, sddl):
        assert self.helper("protect", root, hex_text(path), sddl)[0][0]["result"] == 0

    def remove(self, *roots_and_paths):
        """Deletes key trees, each given as a root and a path."""
        self.helper("remove", *[x if i % 2 == 0 else hex_text(x) for i, x in enumerate(roots_and_paths)])

    def link(self, path, target):
        """Makes HKCU\\path a registry link to HKCU\\target."""
        assert self.helper("link", hex_text(path), hex_text(target))[0][0]["result"] == 0

    def short_path(self, path):
        return text(self.helper("short", hex_text(path))[0][0]["path"])

    def verify(self, path):
        """What WinVerifyTrust says of a file's signature: 0 when it holds."""
        return self.helper("verify", hex_text(path))[0][0]["result"]

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
        args += [x for name, value in (env or {}).items() for x in ("--env", f"{name}={hex_text(value)}")]
        if screenshots:
            args += ["--hold", "1500"]
        on_event = (lambda e: "box" in e and (time.sleep(0.5), self.screenshot(screenshots()))) if screenshots else None
        events, stderr = self.helper("run", *args, *map(hex_text, command_lines), on_event=on_event, locale=locale,
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


def make_workdir():
    """The test command's own folder, where it has made the prefix already, or a new one."""
    return os.environ.get("VELMORA_WINE_DIR") or tempfile.mkdtemp(prefix="velmora-wine-")


if __name__ == "__main__":  # winehost.py DIR: make a prefix in DIR ahead of the tests
    Wine(os.sys.argv[1]).make_prefix()

