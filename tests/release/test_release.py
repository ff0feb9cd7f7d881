"""Checks of what ships: the programs' PE files, the packages, that the same sources always
build the same bytes, and a site operator's release: its settings, signing and outputs."""

import contextlib
import fcntl
import hashlib
import io
import json
import os
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import time
import xml.etree.ElementTree as ET
import zipfile
from pathlib import Path

import pefile
import pytest

import guides
import keys
import package
import release
import settings
import signature
import signing as signing_module
import verification
from certificates import make_certificate, make_token, timestamp_servers
from commands import Refused
from release_date import checked_date
from winehost import DIST, OUTPUT

ROOT = Path(__file__).resolve().parents[2]
version_of = lambda checkout: re.search(r"project\(VelmoraPlayer VERSION (\S+)", (checkout / "CMakeLists.txt").read_text())[1]
VERSION = version_of(ROOT)
# Root runs as an operator does: as an unprivileged user.
OPERATOR = ["setpriv", "--reuid=nobody", "--regid=nogroup", "--clear-groups"] if os.geteuid() == 0 else []
PUBLIC = ["http://timestamp.digicert.com", "http://timestamp.sectigo.com"]  # no network here
PROGRAMS = ["VelmoraPlayer.exe", "VelmoraPlayerUninstaller.exe"]
BUILDS = {"win32": pefile.MACHINE_TYPE["IMAGE_FILE_MACHINE_I386"], "win64": pefile.MACHINE_TYPE["IMAGE_FILE_MACHINE_AMD64"]}
# Windows 7, 8, 8.1, 10 and 11.
SUPPORTED_OS = {"{35138b9a-5d96-4fbd-8e2d-a2440225f93a}", "{4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38}",
                "{1f676c76-80e1-4239-95bb-83d0f6d0da78}", "{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}"}


def resources(pe, kind):
    return [(name.id, pe.get_data(language.data.struct.OffsetToData, language.data.struct.Size))
            for entry in pe.DIRECTORY_ENTRY_RESOURCE.entries if entry.id == pefile.RESOURCE_TYPE[kind]
            for name in entry.directory.entries for language in name.directory.entries]


def version_strings(pe):
    """As Explorer's Details tab reads them: from the string table the translation entry names."""
    [translation] = [v.entry[b"Translation"].split() for i in pe.FileInfo[0] for v in getattr(i, "Var", [])]
    named = "".join(f"{int(x, 16):04x}" for x in translation)
    [table] = [t for i in pe.FileInfo[0] for t in getattr(i, "StringTable", []) if t.LangID.decode().lower() == named]
    return {k.decode(): v.decode() for k, v in table.entries.items()}


# At most 32 KiB unsigned, icon included; ASLR (with its relocations), DEP, Terminal Server
# aware, no link time; only the system DLLs every program has (user32.dll comes only for a
# box); the manifest, version resource and icon Explorer shows.
@pytest.mark.parametrize("build", BUILDS)
@pytest.mark.parametrize("program", PROGRAMS)
def test_the_pe_file_is_what_we_ship(build, program):
    path = DIST / build / program
    pe = pefile.PE(str(path))
    header = pe.OPTIONAL_HEADER
    flags = header.DllCharacteristics
    assert path.stat().st_size - header.DATA_DIRECTORY[4].Size <= 32 * 1024
    assert (pe.FILE_HEADER.Machine, pe.FILE_HEADER.TimeDateStamp, header.Subsystem) == (BUILDS[build], 0, 2)
    assert flags & 0x8140 == 0x8140 and (build == "win32" or flags & 0x20)
    assert not pe.FILE_HEADER.Characteristics & 0x0001 and header.DATA_DIRECTORY[5].Size > 0
    assert {entry.dll.decode().lower() for entry in pe.DIRECTORY_ENTRY_IMPORT} <= {"kernel32.dll", "advapi32.dll",
                                                                                  "msvcrt.dll"}
    [(manifest_id, manifest)] = resources(pe, "RT_MANIFEST")
    found = lambda tag, attribute=None: [e.get(attribute) if attribute else e.text
                                         for e in ET.fromstring(manifest).iter() if e.tag.endswith("}" + tag)]
    assert manifest_id == 1 and found("requestedExecutionLevel", "level") == ["asInvoker"]
    assert found("requestedExecutionLevel", "uiAccess") == ["false"] and found("activeCodePage") == ["UTF-8"]
    assert found("assemblyIdentity", "name") == ["Microsoft.Windows.Common-Controls"]
    assert set(found("supportedOS", "Id")) == SUPPORTED_OS and found("dpiAware") == ["true/pm"]
    assert found("dpiAwareness") == ["PerMonitorV2, PerMonitor"]
    strings, fixed = version_strings(pe), pe.VS_FIXEDFILEINFO[0]
    assert strings["ProductName"] == "Velmora Player" and strings["FileDescription"]
    assert strings["FileVersion"] == strings["ProductVersion"] == VERSION and strings["OriginalFilename"] == program
    assert f"{fixed.FileVersionMS >> 16}.{fixed.FileVersionMS & 0xFFFF}.{fixed.FileVersionLS >> 16}" == VERSION
    [(group_id, group)] = resources(pe, "RT_GROUP_ICON")
    sizes = [group[6 + 14 * i] or 256 for i in range(int.from_bytes(group[4:6], "little"))]
    assert group_id == 1 and sizes == [16, 24, 32, 48, 64, 256] and len(resources(pe, "RT_ICON")) == len(sizes)


def check_release(folder, said=None, host="velmora.example", version=VERSION, guide=ROOT / "docs/players.md"):
    """A release read back from its files, against what it was asked for and, when given, what it
    printed: exactly its own files; each zip its build's programs, deflated (what Explorer opens),
    and a README that is the player guide's text for its version, build, Windows and host; each
    program naming the host and version, and signed and timestamped as the release said; and
    sha256sum's check of each folder's sums."""
    dist, zips = files(folder), [f"VelmoraPlayer-{version}-{b}.zip" for b in BUILDS]
    assert set(dist) == {f"{b}/{n}" for b in BUILDS for n in PROGRAMS + ["SHA256SUMS"]} | {*zips, "SHA256SUMS"}
    text = [line for line in Path(guide).read_text().splitlines()[1:]
            if not line.startswith(("```", "| the box says", "| ---"))]
    words = lambda text: text.translate({ord("`"): None, ord("*"): None, ord("|"): " ", ord("#"): " "}).split()
    for (build, windows), name in zip(package.BUILDS.items(), zips):
        with zipfile.ZipFile(io.BytesIO(dist[name])) as packed:
            assert sorted(packed.namelist()) == ["README.txt"] + PROGRAMS
            assert {i.compress_type for i in packed.infolist()} == {zipfile.ZIP_DEFLATED}
            assert [packed.read(p) for p in PROGRAMS] == [dist[f"{build}/{p}"] for p in PROGRAMS]
            readme = packed.read("README.txt").decode()
        lines = readme.split("\r\n")
        assert lines[:3] == [f"Velmora Player {version} for {windows}", "", f"Opens the game client when you press "
                             f"Play on {host}."] and "\n" not in readme.replace("\r\n", "") and max(map(len, lines)) <= 78
        said_there = "\n".join(text).replace("<version>", version).replace("<build>", build)
        assert words("\n".join(lines[3:])) == words(said_there)
        for step in re.findall(r"^(?:\d+\.|-) \S+", "\n".join(text), re.M):  # steps and items stay apart
            assert any(line.lstrip().startswith(step) for line in lines), step
        for program in PROGRAMS:
            data = dist[f"{build}/{program}"]
            assert version_strings(pefile.PE(data=data))["FileVersion"] == version
            assert {h for h in {host, "velmora.example"} if f"\0{h}\0".encode() in data} == {host}
            try:
                stamps = signature.read(data).timestamps
                assert said is None or ("; signed" in said and (bool(stamps) or "timestamped" not in said))
            except signature.Unreadable:
                assert said is None or said.endswith("; not signed.\n")
    for where, names in (("", zips), *((b, PROGRAMS) for b in BUILDS)):
        subprocess.run(["sha256sum", "--strict", "--quiet", "-c", "SHA256SUMS"], cwd=folder / where, check=True)
        assert [line[66:] for line in (folder / where / "SHA256SUMS").read_text().splitlines()] == names
    assert said is None or f"Release {version} in {folder.resolve()}: for the web site {host}" in said


# The test command's own release, checked whole; and the player guide's sums checks: run as written
# where a player downloaded one zip and the sums, and on Windows what certutil prints (the SHA-1
# of the file unless the command names another algorithm) found in SHA256SUMS.
def test_each_package_holds_the_programs_and_the_players_guide_and_the_sums_check_where_players_put_them(tmp_path):
    check_release(DIST)
    [check] = guides.blocks("players.md", "sh")
    for build in BUILDS:
        (tmp_path / build).mkdir()
        for name in ["SHA256SUMS", f"VelmoraPlayer-{VERSION}-{build}.zip"]:
            shutil.copy(DIST / name, tmp_path / build)
        said = subprocess.run(check, shell=True, cwd=tmp_path / build, capture_output=True, text=True, check=True)
        assert said.stdout == f"VelmoraPlayer-{VERSION}-{build}.zip: OK\n"
        certutil = re.search(r"`(certutil [^`]*)`", (ROOT / "docs/players.md").read_text())[1].split()
        named = certutil[2].replace("<version>", VERSION).replace("<build>", build)
        assert hashlib.new((certutil[3:] or ["sha1"])[0], (DIST / named).read_bytes()).hexdigest() in (DIST / "SHA256SUMS").read_text()


def copy_sources(folder):
    """The working tree's files, as git sees them, in a folder of their own."""
    listed = subprocess.run(["git", "ls-files", "--cached", "--others", "--exclude-standard", "-z"],
                            cwd=ROOT, capture_output=True, check=True).stdout.decode().split("\0")
    for name in filter(lambda n: (ROOT / n).is_file(), filter(None, listed)):
        (folder / name).parent.mkdir(parents=True, exist_ok=True)
        shutil.copy(ROOT / name, folder / name)


def files(dist):
    return {str(p.relative_to(dist)): p.read_bytes() for p in dist.rglob("*") if p.is_file()}


def commit_date():
    return subprocess.run(["git", "log", "-1", "--format=%ct"], cwd=ROOT, capture_output=True, text=True).stdout.strip()


@pytest.fixture(scope="module")
def elsewhere():
    """An operator's machine: the sources in a git checkout owned by nobody if we can, in a folder
    with a blank in its path, committed at the test command's release date (authored long before);
    a home holding the operator guide's files and a git identity; and a way to run a command there,
    later, in another time zone, with Debian 12's osslsigncode and a build farm's own flags."""
    top = Path(tempfile.mkdtemp())
    folder, home = top / "second build" / "elsewhere", top / "home"
    copy_sources(folder)
    dated = dict(os.environ, GIT_AUTHOR_DATE="@1000000000", GIT_COMMITTER_DATE=f"@{commit_date()}")
    for command in (["init", "-q"], ["add", "-A"], ["-c", "user.name=x", "-c", "user.email=x@x", "commit", "-qm", "x"]):
        subprocess.run(["git", *command], cwd=folder, env=dated, check=True)
    keys = make_certificate(top / "keys")
    token, servers = make_token(keys), timestamp_servers(keys)
    (home / "velmora-signing").mkdir(parents=True)
    for theirs, ours in {"codesign-chain.pem": "certs.pem", "pin": "pin", "codesign.pfx": "signer.pfx",
                         "pfx-password": "password", "roots.pem": "ca.pem"}.items():
        shutil.copy(keys / ours, home / "velmora-signing" / theirs)
    (home / ".gitconfig").write_text("[user]\n\tname = Operator\n\temail = operator@example.com\n")
    os.chmod(top, 0o755)
    if OPERATOR:
        subprocess.run(["chown", "-R", "nobody:nogroup", top], check=True)

    def run(command, wait=True, **env):
        flags = dict(CFLAGS="-O0 -g", CXXFLAGS="-O0 -g -DVELMORA_SITE_HOST=\\\"x\\\"", CPPFLAGS="-DNDEBUG=0",
                     LDFLAGS="-Wl,-z,relro", RCFLAGS="-l 0x407")
        env = dict({k: v for k, v in os.environ.items() if k != "SOURCE_DATE_EPOCH"}, TZ="Asia/Tokyo", HOME=str(home),
                   SOFTHSM2_CONF=token["SOFTHSM2_CONF"], PATH=f"{debian12_osslsigncode().parent}:{os.environ['PATH']}",
                   **dict(flags, **env))
        command = OPERATOR + ["bash", "-euo", "pipefail", "-c", command]
        if not wait:  # the caller ends it
            return subprocess.Popen(command, cwd=folder, env=env, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                                    text=True, start_new_session=True)
        done = subprocess.run(command, cwd=folder, env=env, capture_output=True, text=True)
        assert done.returncode == 0, done.stdout + done.stderr
        return done

    yield dict(top=top, folder=folder, run=run, servers=servers)
    shutil.rmtree(top, ignore_errors=True)


def write_preset(elsewhere, environment=None, relative=False):
    """The operator guide's CMakeUserPresets.json, with another of its ways of signing when given,
    its files named relative to the checkout when asked, and the local timestamp server for the
    public ones."""
    preset = json.loads(guides.blocks("operators.md", "json")[0])
    if environment:
        preset["configurePresets"][0]["environment"] = json.loads("{%s}" % environment)["environment"]
    text = re.sub("|".join(map(re.escape, PUBLIC)), elsewhere["servers"]["stamping"], json.dumps(preset))
    (elsewhere["folder"] / "CMakeUserPresets.json").write_text(text.replace("$env{HOME}/", "../../home/") if relative
                                                               else text)


# The operator guide as written, with Debian 12's osslsigncode: its commands in order, its settings
# with each way of signing (the others' files named relative to the checkout), each release
# checked whole and as the guide says; its export builds the test command's bytes; and its
# version bump, after the player guide changed, reaches the programs and the zips with a .pfx
# named relative to the checkout, though the bump's build configures again from its own folder.
def test_the_operator_guide_as_written(elsewhere):
    run, folder = elsewhere["run"], elsewhere["folder"]
    install, service_tool, build, check, export, bump = guides.blocks("operators.md", "sh")
    _, *others = guides.blocks("operators.md", "json")
    run(install)
    run(service_tool)
    assert run("osslsigncode --version").stdout.startswith("osslsigncode 2.5")
    for number, environment in enumerate([None, *others]):
        write_preset(elsewhere, environment, relative=number > 0)
        (folder / "shared/program.manifest").write_text(manifest := (ROOT / "shared/program.manifest").read_text()
                                                         + f"<!-- {number} -->\n")
        said = run(build).stdout
        check_release(folder / "dist", said, "play.example.com", version_of(folder), folder / "docs/players.md")
        assert "timestamped by http://127.0.0.1" in said, said
        checked = run(check).stdout
        assert checked.count(": OK\n") == 6 and checked.count("\nSignature verification: ok") == 4, checked
        assert checked.count("Timestamp Server Signature verification: ok") == 4
        assert manifest.encode() in (folder / "dist/win64/VelmoraPlayerUninstaller.exe").read_bytes()
        dated = lambda dist: zipfile.ZipFile(dist / f"VelmoraPlayer-{VERSION}-win32.zip").infolist()[0].date_time
        assert dated(folder / "dist") == dated(DIST)  # the commit's date, not its author's
    said = run(export).stdout
    assert "name velmora.example, a placeholder; set VELMORA_SITE_HOST" in said
    check_release(folder.parent / "velmora-export" / "dist", said)
    assert files(folder.parent / "velmora-export" / "dist") == files(DIST)
    write_preset(elsewhere, others[0], relative=True)
    with open(folder / "docs/players.md", "a") as guide:
        guide.write("\nA line a site added to the player guide.\n")
    said = run(bump).stdout
    check_release(folder / "dist", said, "play.example.com", "1.0.1", folder / "docs/players.md")
    pe = pefile.PE(data=(folder / "dist/win64/VelmoraPlayerUninstaller.exe").read_bytes())
    assert pe.VS_FIXEDFILEINFO[0].FileVersionMS == 1 << 16


# dist/ is the operator's, often a link to a web server's folder. Two releases into it, of two
# presets, by the guide's command: each waits for the lock, and the folder the link names ends
# with one release whole, the link kept. Ctrl-C while one signs (SIGINT to its process group)
# ends all of it, leaves dist/ as it was, and the command exits with another status than 0.
def test_the_operators_dist_is_theirs_alone(elsewhere):
    top, folder, run = elsewhere["top"], elsewhere["folder"], elsewhere["run"]
    build = guides.blocks("operators.md", "sh")[2]
    write_preset(elsewhere)
    shutil.rmtree(folder / "dist", ignore_errors=True)
    shutil.rmtree(top / "web root", ignore_errors=True)
    (top / "web root").mkdir()
    (folder / "dist").symlink_to(top / "web root", target_is_directory=True)
    with open(top / "web root.lock", "w") as held:  # held here until both wait for it
        os.chmod(held.name, 0o666)
        fcntl.flock(held, fcntl.LOCK_EX)
        releases = [run(build.replace("site", preset), wait=False) for preset in ("site", "release")]
        assert all(any("this one waits for it to end" in line for line in r.stdout) for r in releases)
    said = [release.communicate()[0] for release in releases]
    assert [r.returncode for r in releases] == [0, 0], said
    dist = files(folder / "dist")
    assert (folder / "dist").is_symlink() and files(top / "web root") == dist
    assert [p.name for p in top.glob("web root.*")] == ["web root.lock"]
    host = "play.example.com" if b"\0play.example.com\0" in dist["win32/VelmoraPlayer.exe"] else "velmora.example"
    check_release(folder / "dist", said[host == "velmora.example"], host, version_of(folder), folder / "docs/players.md")
    release = run(build.replace("site", "release"), wait=False,
                  VELMORA_SIGN_COMMAND=f"sh -c 'touch {top / 'signing'}; sleep 60' x")
    deadline = time.monotonic() + 120
    while not (top / "signing").exists():
        assert time.monotonic() < deadline and release.poll() is None, release.communicate()[0]
        time.sleep(0.1)
    with open(top / "web root.lock") as lock, pytest.raises(BlockingIOError):  # held while it signs, to its end
        fcntl.flock(lock, fcntl.LOCK_EX | fcntl.LOCK_NB)
    os.killpg(release.pid, signal.SIGINT)
    assert release.wait() != 0
    with pytest.raises(ProcessLookupError):
        while time.monotonic() < deadline:
            os.killpg(release.pid, 0)
            time.sleep(0.1)
    assert files(folder / "dist") == dist


# Where dist/ is, and what a killed release left beside it. A mount point, or a folder whose parent
# cannot be written, is refused before anything is built. Killed between the two renames that
# put a release in place, the previous release is beside dist/ and comes back at the next start,
# however early that one fails; a half-written dist.new is never published into. SIGTERM or SIGHUP
# between the two renames waits for the second.
@pytest.mark.parametrize("where, left, says", [
    ("/proc", None, "/proc is a mount point, which a release cannot replace whole: make it a symbolic link"),
    ("missing/dist", None, "missing, which this user cannot write: make it writable"),
    ("dist", "dist.old", "The win32 build failed"), ("dist", "dist.new", None), ("dist", "dist", None),
    ("dist", "dist", "SIGTERM"), ("dist", "dist", "SIGHUP")])
def test_what_is_where_dist_is(tmp_path, capsys, monkeypatch, where, left, says):
    dist = tmp_path / where
    if left:
        (tmp_path / left / "win32").mkdir(parents=True)
        (tmp_path / left / "win32" / "VelmoraPlayer.exe").write_text(left)
    if says in ("SIGTERM", "SIGHUP"):
        code = ("import os, signal, sys, package; from pathlib import Path; real = os.rename\n"
                f"os.rename = lambda a, b: (real(a, b), a.name == 'dist' and os.kill(os.getpid(), signal.{says}))\n"
                "package.publish({'win32/SHA256SUMS': b'new'}, Path(sys.argv[1]))")
        subprocess.run([sys.executable, "-c", code, dist], env=dict(os.environ, PYTHONPATH=ROOT / "packaging"), check=True)
        assert files(tmp_path) == {"dist/win32/SHA256SUMS": b"new"}
        return
    if says is None:  # with a previous release, killed at the last rename
        real, _ = os.rename, monkeypatch.setattr(signal, "signal", lambda *_: None)
        monkeypatch.setattr(os, "rename", lambda a, b: sys.exit() if left == "dist" and a.name == "dist.new" else real(a, b))
        with pytest.raises(SystemExit) if left == "dist" else contextlib.nullcontext():
            package.publish({"win32/SHA256SUMS": b"new"}, dist)
        package.recover(dist)
        assert files(tmp_path) == ({"dist/win32/VelmoraPlayer.exe": b"dist", "dist.new/win32/SHA256SUMS": b"new"}
                                   if left == "dist" else {"dist/win32/SHA256SUMS": b"new"})
        return
    with pytest.raises(SystemExit) as stopped:
        release.main(["--source", str(tmp_path / "no sources"), "--build", str(tmp_path / "build"), "--dist", str(dist),
                      "--version", VERSION, "--site-host", "velmora.example"])
    assert says in str(stopped.value) + capsys.readouterr().out and not (tmp_path / "build").exists()
    if left:
        assert files(tmp_path) == {"dist/win32/VelmoraPlayer.exe": b"dist.old", "dist.lock": b""}


def debian12_osslsigncode():
    """The osslsigncode of Debian 12's main archive (2.5), which a site operator's stock Debian 12
    has, unpacked into the test command's build folder: nothing is installed."""
    folder, fetch = OUTPUT / "osslsigncode-2.5", "apt-get download osslsigncode=2.5-4"
    if not (folder / "usr/bin/osslsigncode").exists():  # the package lists may be older than the package
        subprocess.run(f"{fetch} || (apt-get update -qq && {fetch})", shell=True, cwd=OUTPUT, capture_output=True,
                       check=True)
        subprocess.run(["dpkg", "-x", next(OUTPUT.glob("osslsigncode_2.5-4_*.deb")), folder], check=True)
    return folder / "usr/bin/osslsigncode"


@pytest.fixture(scope="module", params=["installed", "debian12"])
def signing(request):
    """Keys and certificates in a git checkout that ignores all but one password, holding the player
    guide, committed at the test command's release date; a SoftHSM2 token, timestamp servers, and
    shims that log every openssl and osslsigncode command line (the installed osslsigncode, or
    Debian 12's). And a way to release the test command's built programs (--built) into a copy of
    its dist/, as an operator, far west of UTC, started outside the checkout, which returns what it
    printed, its folder, and the copy before and after, having checked that no secret was shown."""
    top = Path(tempfile.mkdtemp())
    keys = make_certificate(top / "keys")
    (top / "velmora-signing").mkdir()  # where the operator guide keeps the roots
    shutil.copy(keys / "ca.pem", top / "velmora-signing" / "roots.pem")
    token, servers = make_token(keys), dict(timestamp_servers(keys), keys=keys)
    (keys / ".gitignore").write_text("*\n!committed-password\n")
    shutil.copy(keys / "password", keys / "committed-password")
    (keys / "docs").mkdir()
    shutil.copy(ROOT / "docs/players.md", keys / "docs")
    dated = dict(os.environ, GIT_COMMITTER_DATE=f"@{commit_date()}")
    for command in (["init", "-q"], ["-c", "user.name=x", "-c", "user.email=x@x", "commit", "-q", "--allow-empty", "-mx"]):
        subprocess.run(["git", *command], cwd=keys, env=dated, check=True)
    (keys / "sign-service.sh").write_text(  # a signing service's tool, signing in place, leaving a backup
        'case "$1" in *"${ONLY:-}"*) ;; *) TS= ;; esac; '
        'cp "$1" "$1.bak" && osslsigncode sign -pkcs12 ${PFX:-signer.pfx} -readpass password -h ${HASH:-sha256} '
        '${TS:+${KIND:--ts} $TS} -in "$1" -out "$1.new" && mv "$1.new" "$1"\n')
    (keys / "meddling.sh").write_text(  # one that breaks the program it signed before
        'sh sign-service.sh "$1" && { [ ! -f last ] || printf x | dd of="$(cat last)" bs=1 seek=1024 conv=notrunc; }'
        ' 2>/dev/null; echo "$1" > last\n')
    (top / "shims").mkdir()
    tools = {"openssl": "/usr/bin/openssl", "osslsigncode": "/usr/bin/osslsigncode" if request.param == "installed"
             else debian12_osslsigncode()}
    for tool, path in tools.items():
        (top / "shims" / tool).write_text(f'#!/bin/sh\necho "{tool} $*" >> "{top}/commands.log"\nexec {path} "$@"\n')
        (top / "shims" / tool).chmod(0o755)
    version = lambda tool: subprocess.run([tool, "--version"], capture_output=True, text=True).stdout.split(",")[0]
    assert version(top / "shims/osslsigncode") == ("osslsigncode 2.5" if request.param == "debian12" else
                                                  version("/usr/bin/osslsigncode"))
    if OPERATOR:
        subprocess.run(["chown", "-R", "nobody:nogroup", top], check=True)

    def package(name, **settings):
        work = top / "runs" / name
        shutil.copytree(OUTPUT / "stage", work / "stage")
        shutil.copytree(DIST, work / "dist")
        (work / "elsewhere").mkdir()
        before = files(work / "dist")
        (top / "commands.log").write_text("")
        (keys / "last").unlink(missing_ok=True)
        if OPERATOR:
            subprocess.run(["chown", "-R", "nobody:nogroup", work, top / "commands.log"], check=True)
        env = {k: v for k, v in os.environ.items() if not k.startswith("VELMORA_SIGN_")}
        env.update(PATH=f"{top / 'shims'}:{env['PATH']}", TZ="Etc/GMT+12", **settings)
        # Bounded: a release that hangs (on a silent timestamp server, say) fails the test.
        done = subprocess.run(OPERATOR + [sys.executable, ROOT / "packaging/release.py", "--source", keys, "--build",
                                          work / "build", "--dist", work / "dist", "--version", VERSION, "--site-host",
                                          "velmora.example", "--built", work / "stage"],
                              cwd=work / "elsewhere", env=env, capture_output=True, text=True, timeout=120)
        shown = (top / "commands.log").read_text() + done.stdout + done.stderr
        assert "4321" not in shown and "correct horse" not in shown
        return done, work, before, files(work / "dist")

    yield dict(token=token, servers=servers, package=package, keys=keys, version=request.param)
    shutil.rmtree(top, ignore_errors=True)


PFX = {"VELMORA_SIGN_PFX": "signer.pfx", "VELMORA_SIGN_PASSWORD_FILE": "password"}
TOKEN = {"token": "the token's settings"}
URL, WAIT = "VELMORA_SIGN_TIMESTAMP_URL", "VELMORA_SIGN_TIMESTAMP_WAIT"
SERVICE = {"VELMORA_SIGN_COMMAND": "env KIND=-t TS={stamping} sh sign-service.sh"}
# What the release says for each way operators sign: rows named "RULE: case" break exactly that
# one of the rules Windows applies, as the operator guide lists them. File names are relative to
# the checkout (the keys' folder), the root trusted through VELMORA_SIGN_CA_FILE unless a row says
# otherwise. Signed: a chain file with certificates besides the chain (one expired); a command that
# leaves backups; a legacy .pfx whose root only the system trusts; one with an empty password; one
# issued now, after servers that fail each way, each named with why; one a service stamped the
# Authenticode way, and one it stamped in part. Refused, quickly, dist/ as it was.
SIGNING = {
    "token": (TOKEN, ["signed without a timestamp: Windows accepts the signatures until 2097-12-31 00:00 UTC"]),
    "sign command": ({"VELMORA_SIGN_COMMAND": "sh sign-service.sh"}, ["signed by VELMORA_SIGN_COMMAND without a timestamp"]),
    "legacy pfx": ({"VELMORA_SIGN_PFX": "legacy.pfx", "VELMORA_SIGN_PASSWORD_FILE": "password",
                    "SSL_CERT_FILE": "{keys}/bundle.pem", "VELMORA_SIGN_CA_FILE": ""}, ["signed without a timestamp"]),
    "pfx without a password": ({"VELMORA_SIGN_PFX": "empty.pfx"}, ["signed without a timestamp"]),
    "timestamped": ({"VELMORA_SIGN_PFX": "fresh.pfx", "VELMORA_SIGN_PASSWORD_FILE": "password", WAIT: "3",
                     URL: "{silent} {behind} {ahead} {untrusted} {replaying} {stamping}"},
                    ["signed with a certificate valid until 2099-12-31 00:00 UTC, timestamped by {replaying} and {stamping}.",
                     "{silent} is not used: it did not answer within 3 s", "{untrusted} is not used: ",
                     "unable to get local issuer", "{behind} is not used: its RFC 3161 timestamp gives",
                     "when the signer's certificate was not valid", "{ahead} is not used: what it gave cannot be read",
                     "{replaying} is not used: ", "message imprint mismatch"]),
    "sign command, stamped as Authenticode": (SERVICE, ["signed by VELMORA_SIGN_COMMAND with a certificate valid until "
                                                        "2097-12-31 00:00 UTC, timestamped."]),
    "sign command, some programs stamped": ({"VELMORA_SIGN_COMMAND": "env ONLY=Uninstaller " + SERVICE["VELMORA_SIGN_COMMAND"][4:]},
                                            ["signed by VELMORA_SIGN_COMMAND without a timestamp"]),
    "wrong PIN": (dict(TOKEN, VELMORA_SIGN_PASSWORD_FILE="password"), ["wrong PIN"]),
    "PIN in the key's URI": (dict(TOKEN, VELMORA_SIGN_KEY="pkcs11:token=velmora;object=signer;pin-value=4321"),
                             ["VELMORA_SIGN_KEY holds a PIN"]),
    "token without its certificate": (dict(TOKEN, VELMORA_SIGN_CERT=""), ["VELMORA_SIGN_CERT is not set"]),
    "wrong password": (dict(PFX, VELMORA_SIGN_PASSWORD_FILE="other-password"), ["wrong password"]),
    "password file unreadable": (dict(PFX, VELMORA_SIGN_PASSWORD_FILE="unreadable"), ["unreadable, which cannot be read"]),
    "not a pfx": ({"VELMORA_SIGN_PFX": "ca.pem"}, ["not a PKCS#12 file"]),
    "password file git would add": (dict(PFX, VELMORA_SIGN_PASSWORD_FILE="committed-password"),
                                    ["VELMORA_SIGN_PASSWORD_FILE names", "committed-password, inside this checkout",
                                     "move it out of the checkout, or ignore it"]),
    "wait not a number": (dict(PFX, **{WAIT: "abc"}), ["VELMORA_SIGN_TIMESTAMP_WAIT is 'abc'"]),
    "two ways": (dict(PFX, VELMORA_SIGN_COMMAND="true"), ["one way"]),
    "valid now: expired": (dict(PFX, VELMORA_SIGN_PFX="expired.pfx"),
                           ["The certificate has expired: it was valid until 2001-01-01"]),
    "valid now: not yet valid": (dict(PFX, VELMORA_SIGN_PFX="not-yet-valid.pfx"),
                                 ["The certificate is not yet valid: it is valid from 2090"]),
    "for code signing: server only": (dict(PFX, VELMORA_SIGN_PFX="server-only.pfx"), ["The certificate is not for code signing"]),
    "SHA-256: command signs with SHA-1": ({"VELMORA_SIGN_COMMAND": "env HASH=sha1 sh sign-service.sh"},
                                          ["not signed with SHA-256"]),
    "the named signer: token signing with another key": (
        dict(TOKEN, VELMORA_SIGN_CERT="fresh-first.pem"), ["not with VELMORA_SIGN_CERT's first certificate (CN=Velmora Test fresh)"]),
    "unchanged: command breaks another program": ({"VELMORA_SIGN_COMMAND": "sh meddling.sh"},
                                                  ["win32/VelmoraPlayer.exe does not verify"]),
    "a trusted chain: root not trusted": (dict(PFX, VELMORA_SIGN_CA_FILE=""), [
        "its chain needs CN=Velmora Test ca, which is not among the trusted roots here; VELMORA_SIGN_CA_FILE adds it"]),
    "read whole: command signs nothing": ({"VELMORA_SIGN_COMMAND": "true"}, ["win32/VelmoraPlayer.exe does not verify"]),
    "read whole: an RFC 3161 timestamp without its authority's certificate": (
        dict(PFX, **{URL: "{bare}"}), ["{bare} is not used: what it gave cannot be read: its RFC 3161 token does not "
                                       "carry the certificate of its signer"]),
    "known issuers: a damaged certificate carried": (dict(TOKEN, VELMORA_SIGN_CERT="damaged.pem"),
                                                     ["carries a certificate that is damaged or of no known issuer: "
                                                      "CN=Velmora Test expired"]),
    "a trusted timestamp authority: command's Authenticode timestamp untrusted": (
        {"VELMORA_SIGN_COMMAND": "env KIND=-t TS={untrusted} sh sign-service.sh"},
        ["The timestamp of win32/VelmoraPlayer.exe would not be accepted", "Authenticode", "unable to get local issuer"]),
    "for time stamping: RFC 3161 timestamp by a code signer": (
        dict(PFX, **{URL: "{codesigner}"}), ["{codesigner} is not used: ", "unsuitable certificate purpose"]),
    "for time stamping: Authenticode timestamp by a code signer": (
        {"VELMORA_SIGN_COMMAND": "env KIND=-t TS={codesigner} sh sign-service.sh"},
        ["would not be accepted: its Authenticode timestamp does not verify", "unsuitable certificate purpose"]),
    "this very signature: command's Authenticode timestamp replayed": (
        {"VELMORA_SIGN_COMMAND": "env KIND=-t TS={replaying} sh sign-service.sh"},
        ["The timestamp of win32/VelmoraPlayerUninstaller.exe would not be accepted", "message imprint mismatch"]),
    "at a valid time: command's Authenticode timestamp before the certificate": (
        {"VELMORA_SIGN_COMMAND": "env PFX=fresh.pfx KIND=-t TS={behind} sh sign-service.sh"},
        ["would not be accepted: its Authenticode timestamp gives", "when the signer's certificate was not valid"]),
    "at a valid time: RFC 3161 timestamp after the certificate expired": (
        {"VELMORA_SIGN_PFX": "brief.pfx", "VELMORA_SIGN_PASSWORD_FILE": "password", URL: "{later}"},
        ["{later} is not used: its RFC 3161 timestamp gives", "when the signer's certificate was not valid"]),
    "at a valid time: Authenticode timestamp after the certificate expired": (
        {"VELMORA_SIGN_COMMAND": "env PFX=brief.pfx KIND=-t TS={later} sh sign-service.sh"},
        ["The signature of win32/VelmoraPlayer.exe does not verify", "certificate has expired"]),
}


# Each rule the guide lists has its rows, and each row's rule is the guide's.
def test_each_rule_windows_applies_has_a_row_that_breaks_it():
    assert {row[0] for row in guides.table("operators.md", "rule")} == {i.split(": ")[0] for i in SIGNING if ": " in i}


@pytest.mark.parametrize("settings, says", SIGNING.values(), ids=SIGNING.keys())
def test_what_each_signing_setting_gives(signing, tmp_path, settings, says):
    settings = {**(signing["token"] if settings.get("token") else {}), "VELMORA_SIGN_CA_FILE": "ca.pem", **settings}
    settings = {k: v.format(**signing["servers"]) for k, v in settings.items() if k != "token"}
    started = time.monotonic()
    done, work, before, after = signing["package"](tmp_path.name, **settings)
    assert not [s for s in says if s.format(**signing["servers"]) not in done.stdout + done.stderr], done.stdout + done.stderr
    if done.returncode:
        assert f"{work / 'dist'} is left as it was" in done.stderr and after == before
        assert time.monotonic() - started < 30
        return
    check_release(work / "dist", done.stdout)  # and the operator guide's check, as written
    shown = subprocess.run(["bash", "-c", guides.blocks("operators.md", "sh")[3]], cwd=work, capture_output=True,
                           env=dict(os.environ, HOME=str(signing["keys"].parent)), text=True).stdout
    assert shown.count("\nSignature verification: ok") == shown.count("Message digest algorithm: SHA256") == 4, shown
    assert "timestamped" not in says[0] or shown.count("Timestamp Server Signature verification: ok") == 4, shown
    if "VELMORA_SIGN_KEY" in settings:  # the same tree, key and certificate without a timestamp: the same bytes
        assert signing["package"](tmp_path.name + " again", **settings)[3] == after


# Servers that never answer, each allowed 10 s, within a bound of 6 s for all: each has its
# share, and a clock set back by an hour at every reading changes nothing. The bound is the whole
# release's: a server that takes 1.5 s for each of four programs passes a bound of 4 s.
def test_every_timestamp_server_has_its_turn_within_the_bound(signing, tmp_path, monkeypatch, capsys):
    for name, value in dict(PFX, **{WAIT: "10", URL: " ".join([signing["servers"]["silent"]] * 3)}).items():
        monkeypatch.setenv(name, value)
    monkeypatch.setattr(signing_module, "TIMESTAMPS_WAIT", 6)
    readings, real = iter(range(1, 10 ** 6)), time.time
    monkeypatch.setattr(time, "time", lambda: real() - 3600 * next(readings))
    for stage, bound in (("silent", 9), ("slow", 5)):
        shutil.copytree(OUTPUT / "stage", tmp_path / stage)
        started = time.monotonic()
        with pytest.raises(Refused, match="No timestamp server|had 4 s in all"):
            signing_module.sign({f"{b}/{p}": tmp_path / stage / b / p for b in BUILDS for p in PROGRAMS},
                                commit_date(), settings.read(signing["keys"]), signing["keys"])
        assert time.monotonic() - started < bound
        monkeypatch.setenv(URL, signing["servers"]["slow"])
        monkeypatch.setenv("VELMORA_SIGN_CA_FILE", "ca.pem")
        monkeypatch.setattr(signing_module, "TIMESTAMPS_WAIT", 4)
    assert capsys.readouterr().err.count("did not answer within 2 s") == 3


# A signature damaged anywhere (one byte in 13, or cut short) is
# refused, saying what is wrong, never taken and never a traceback: its certificate table, the
# PKCS#7 in it, the certificates it carries (some the chain does not need), the RFC 3161 token or
# Authenticode countersignature it holds.
@pytest.mark.parametrize("kind", ["-ts", "-t"])
def test_a_damaged_signature_is_refused(signing, tmp_path, kind):
    if signing["version"] != "installed":
        pytest.skip("the reading of signatures does not depend on the osslsigncode that wrote them")
    folder = signing["keys"]
    subprocess.run(["osslsigncode", "sign", "-certs", folder / "certs.pem", "-key", folder / "signer.key", "-h",
                    "sha256", kind, signing["servers"]["stamping"], "-in", OUTPUT / "stage/win32/VelmoraPlayer.exe",
                    "-out", tmp_path / "signed.exe"], check=True, capture_output=True)
    signed, start = (tmp_path / "signed.exe").read_bytes(), (OUTPUT / "stage/win32/VelmoraPlayer.exe").stat().st_size
    key = keys.Pfx({"VELMORA_SIGN_PFX": folder / "signer.pfx", "VELMORA_SIGN_PASSWORD_FILE": folder / "password"}, folder)
    damaged = [signed[:at] + bytes([signed[at] ^ 0x41]) + signed[at + 1:] for at in range(start, len(signed), 13)]
    for data in [signed] + damaged + [signed[:start + cut] for cut in (4, 100, 1000, len(signed) - start - 9)]:
        (tmp_path / "checked.exe").write_bytes(data)
        try:
            verification.verify(tmp_path / "checked.exe", "win32/VelmoraPlayer.exe", key, folder / "ca.pem", tmp_path)
            assert data == signed, f"taken with byte {next(i for i, b in enumerate(data) if b != signed[i])} damaged"
        except Refused as refused:
            assert data != signed and "win32/VelmoraPlayer.exe" in str(refused)


# The date is the project's own, read when the packages are written: its commit's (not its
# author's) in a checkout of it (also one another user owns, read as root), else SOURCE_DATE_EPOCH (not the date of a
# repository it was unpacked into), else the commit date a git archive export carries. Without
# any, or with one a zip cannot hold (milliseconds, past 2107), the release stops.
def test_the_release_date_is_the_projects_own_and_read_at_build_time(elsewhere, tmp_path, monkeypatch):
    git = lambda *args, cwd=ROOT: subprocess.run(["git", *args], cwd=cwd, check=True, capture_output=True)
    monkeypatch.setenv("SOURCE_DATE_EPOCH", "1500000000")
    git("init", "-q", cwd=tmp_path)
    copy_sources(tmp_path / "velmora")
    git("-c", "user.name=x", "-c", "user.email=x@x", "commit", "-q", "--allow-empty", "-m", "x", cwd=tmp_path)
    assert checked_date(tmp_path / "velmora") == "1500000000"
    assert int(checked_date(elsewhere["folder"])) >= int(commit_date())  # another user's checkout
    monkeypatch.delenv("SOURCE_DATE_EPOCH")
    for epoch in (None, "", "yesterday", "0", "315532799", "1796611329000", "4354819200"):
        if epoch is not None:
            monkeypatch.setenv("SOURCE_DATE_EPOCH", epoch)
        with pytest.raises(SystemExit, match="SOURCE_DATE_EPOCH"):
            checked_date(tmp_path / "velmora" / "packaging")  # no checkout of this project, no exported date


# Each limit at both sides: a label of 63 and 64 characters, a name of 253 and 254, ports 1 and
# 0, 65535 and 65536, numbers of an address 255 and 256; a last label all digits, and what was
# never a host name. git ignores a site's settings; install-deps.sh names each tool's package.
def test_a_sites_host_and_settings(tmp_path):
    long_name = ".".join(["a" * 63] * 3 + ["b" * 61])
    hosts = {"velmora.example": True, "play.example.com:8080": True, "a" * 63 + ".b": True, "a" * 64 + ".b": False,
             long_name: True, long_name + "b": False, "h:1": True, "h:0": False, "h:65535": True, "h:65536": False,
             "255.0.10.199": True, "256.0.0.1": False, "010.0.0.1": False, "1.2.3": False, "0x7f.1": False,
             "999.999.999.999": False, "a.b7": True, "a..b": False, "-a.b": False, "a-.b": False, "a_b": False,
             "h:": False, "": False, "a/b": False, 'a"b': False, "\u0436.ru": False}
    configure = lambda host: subprocess.run(["cmake", "-S", ROOT, "-B", tmp_path, "-G", "Ninja",
                                             f"-DVELMORA_SITE_HOST={host}"], capture_output=True, text=True)
    assert {host: configure(host).returncode == 0 for host in hosts} == hosts
    assert "the last not all digits, or a dotted IPv4 address" in " ".join(configure("1.2.3").stderr.split())
    assert subprocess.run(["git", "check-ignore", "-q", "CMakeUserPresets.json"], cwd=ROOT).returncode == 0
    used = ["/usr/lib/x86_64-linux-gnu/engines-3/pkcs11.so",
            *map(shutil.which, "osslsigncode node softhsm2-util chromium firefox-esr xdotool xdg-open".split())]
    owners = subprocess.run(["dpkg", "-S", *used], capture_output=True, text=True, check=True).stdout.splitlines()
    assert {o.split(":")[0] for o in owners} <= set((ROOT / "scripts/install-deps.sh").read_text().split())
