"""Checks of what ships: the programs' PE files themselves, the packages, that the same sources
always build the same bytes, and a site operator's release: its settings, its signing, its
outputs."""

import hashlib
import io
import json
import os
import re
import shutil
import signal
import subprocess
import tempfile
import time
import xml.etree.ElementTree as ET
import zipfile
from pathlib import Path

import pefile
import pytest

import signing as signing_module
from certificates import make_certificate, make_token, timestamp_servers
from release_date import checked_date
from winehost import DIST, OUTPUT

ROOT = Path(__file__).resolve().parents[2]
VERSION = re.search(r"project\(VelmoraPlayer VERSION (\S+)", (ROOT / "CMakeLists.txt").read_text())[1]
PROGRAMS = ["VelmoraPlayer.exe", "VelmoraPlayerUninstaller.exe"]
BUILDS = {"win32": pefile.MACHINE_TYPE["IMAGE_FILE_MACHINE_I386"],
          "win64": pefile.MACHINE_TYPE["IMAGE_FILE_MACHINE_AMD64"]}
# user32.dll is loaded only to show a message box, from the system folder.
SYSTEM_DLLS = {"kernel32.dll", "advapi32.dll", "msvcrt.dll"}
SIZE_BUDGET = 32 * 1024  # icon included, signature not

ASM_V1 = "{urn:schemas-microsoft-com:asm.v1}"
ASM_V3 = "{urn:schemas-microsoft-com:asm.v3}"
WINDOWS_7 = "{35138b9a-5d96-4fbd-8e2d-a2440225f93a}"
WINDOWS_10 = "{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}"


def resources(pe, type_id):
    for entry in pe.DIRECTORY_ENTRY_RESOURCE.entries:
        if entry.id == type_id:
            for name in entry.directory.entries:
                for language in name.directory.entries:
                    data = language.data.struct
                    yield name.id, pe.get_data(data.OffsetToData, data.Size)


@pytest.mark.parametrize("build", BUILDS)
@pytest.mark.parametrize("program", PROGRAMS)
def test_the_pe_file_is_what_we_ship(build, program):
    check_pe(DIST / build / program, build, program)


def check_pe(path, build, program):
    pe = pefile.PE(str(path))
    header = pe.OPTIONAL_HEADER
    assert path.stat().st_size - header.DATA_DIRECTORY[4].Size <= SIZE_BUDGET
    assert pe.FILE_HEADER.Machine == BUILDS[build]
    assert pe.FILE_HEADER.TimeDateStamp == 0
    assert header.Subsystem == pefile.SUBSYSTEM_TYPE["IMAGE_SUBSYSTEM_WINDOWS_GUI"]

    # ASLR needs the relocations as well as the flag.
    assert header.DllCharacteristics & 0x0040, "DYNAMIC_BASE"
    assert header.DllCharacteristics & 0x0100, "NX_COMPAT"
    assert header.DllCharacteristics & 0x8000, "TERMINAL_SERVER_AWARE"
    assert not pe.FILE_HEADER.Characteristics & 0x0001, "relocations stripped"
    assert header.DATA_DIRECTORY[5].Size > 0
    if build == "win64":
        assert header.DllCharacteristics & 0x0020, "HIGH_ENTROPY_VA"

    imports = {entry.dll.decode().lower() for entry in pe.DIRECTORY_ENTRY_IMPORT}
    assert imports <= SYSTEM_DLLS

    [(manifest_id, manifest)] = list(resources(pe, pefile.RESOURCE_TYPE["RT_MANIFEST"]))
    assert manifest_id == 1
    xml = ET.fromstring(manifest)
    assert [e.get("level") for e in xml.iter(ASM_V3 + "requestedExecutionLevel")] == ["asInvoker"]
    assert [e.text for e in xml.iter() if e.tag.endswith("}activeCodePage")] == ["UTF-8"]
    assert {(e.get("name"), e.get("version")) for e in xml.iter(ASM_V1 + "assemblyIdentity")} == {
        ("Microsoft.Windows.Common-Controls", "6.0.0.0")}
    supported = {e.get("Id") for e in xml.iter() if e.tag.endswith("}supportedOS")}
    assert {WINDOWS_7, WINDOWS_10} <= supported and len(supported) == 4  # 7, 8, 8.1, 10 and 11
    assert [e.text for e in xml.iter() if e.tag.endswith("}dpiAwareness")] == ["PerMonitorV2, PerMonitor"]
    assert [e.get("uiAccess") for e in xml.iter(ASM_V3 + "requestedExecutionLevel")] == ["false"]

    strings = {}
    for info in pe.FileInfo[0]:
        for table in getattr(info, "StringTable", []):
            strings.update({k.decode(): v.decode() for k, v in table.entries.items()})
    assert strings["ProductName"] == "Velmora Player"
    assert strings["FileVersion"] == strings["ProductVersion"] == VERSION
    assert strings["OriginalFilename"] == program
    assert strings["FileDescription"]
    fixed = pe.VS_FIXEDFILEINFO[0]
    assert [fixed.FileVersionMS >> 16, fixed.FileVersionMS & 0xFFFF, fixed.FileVersionLS >> 16] == [
        int(p) for p in VERSION.split(".")]

    [(group_id, group)] = list(resources(pe, pefile.RESOURCE_TYPE["RT_GROUP_ICON"]))
    count = int.from_bytes(group[4:6], "little")
    sizes = [group[6 + 14 * i] or 256 for i in range(count)]
    assert group_id == 1 and sizes == [16, 24, 32, 48, 64, 256]
    assert len(list(resources(pe, pefile.RESOURCE_TYPE["RT_ICON"]))) == count


def test_each_package_holds_the_programs_and_the_readme_and_the_sums_check_where_users_put_them(tmp_path):
    for build in BUILDS:
        with zipfile.ZipFile(DIST / f"VelmoraPlayer-{VERSION}-{build}.zip") as package:
            assert sorted(package.namelist()) == ["README.txt"] + PROGRAMS
            # Deflate: what Explorer's own zip folders open.
            assert {i.compress_type for i in package.infolist()} == {zipfile.ZIP_DEFLATED}
            for program in PROGRAMS:
                assert package.read(program) == (DIST / build / program).read_bytes()
            # Its own README: its own zip to check, its Windows, and how to update.
            readme = package.read("README.txt").decode()
            windows = {"win32": "for Windows 7 SP1 to Windows 11, 32-bit or 64-bit",
                       "win64": "for 64-bit Windows 7 SP1 to Windows 11 only"}[build]
            assert readme.count(f"VelmoraPlayer-{VERSION}-") == 1 and f"VelmoraPlayer-{VERSION}-{build}.zip" in readme
            assert windows in readme.splitlines()[0] and "\r\n" in readme
            assert "Update\r\n  1. Close the game.\r\n  2. Put the new VelmoraPlayer.exe" in readme
            assert "Start VelmoraPlayer.exe once." in readme
        assert (DIST / build / "SHA256SUMS").read_text() == "".join(
            f"{hashlib.sha256((DIST / build / p).read_bytes()).hexdigest()}  {p}\n" for p in PROGRAMS)
    # A user's download folder: the zips and their sums, nothing else.
    for name in ["SHA256SUMS"] + [f"VelmoraPlayer-{VERSION}-{b}.zip" for b in BUILDS]:
        (tmp_path / name).write_bytes((DIST / name).read_bytes())
    subprocess.run(["sha256sum", "--quiet", "-c", "SHA256SUMS"], cwd=tmp_path, check=True)


def copy_sources(folder):
    """The working tree's files, as git sees them, in a folder of their own."""
    files = subprocess.run(["git", "ls-files", "--cached", "--others", "--exclude-standard", "-z"],
                           cwd=ROOT, capture_output=True, check=True).stdout.decode().split("\0")
    for name in filter(None, files):
        if (ROOT / name).is_file():
            (folder / name).parent.mkdir(parents=True, exist_ok=True)
            shutil.copy(ROOT / name, folder / name)


def files(dist):
    return {str(p.relative_to(dist)): p.read_bytes() for p in dist.rglob("*") if p.is_file()}


def commit_date():
    return subprocess.run(["git", "log", "-1", "--format=%ct"], cwd=ROOT, capture_output=True, text=True).stdout.strip()


@pytest.fixture(scope="module")
def elsewhere():
    """The sources copied to a folder with a blank in its path, owned by nobody if we can, with
    a site's settings beside them as the README shows (host, and a token whose files lie
    outside the checkout); and a way to run a release command there, later, in another time
    zone, with a build farm's own flags and the test command's date (the last commit's) from
    SOURCE_DATE_EPOCH. It returns what the command gave and what dist/ then holds."""
    top = Path(tempfile.mkdtemp())
    folder = top / "second build" / "elsewhere"
    copy_sources(folder)
    token = make_token(make_certificate(top))
    token = {k: os.path.relpath(top / v, folder) if k.endswith(("_CERT", "_FILE")) else v for k, v in token.items()}
    (folder / "CMakeUserPresets.json").write_text(json.dumps({
        "version": 6, "configurePresets": [{"name": "site", "inherits": "release", "environment": dict(
            token, VELMORA_SIGN_CA_FILE="../../ca.pem"), "cacheVariables": {"VELMORA_SITE_HOST": "play.example.com"}}],
        "buildPresets": [{"name": "site", "configurePreset": "site"}],
        "workflowPresets": [{"name": "site", "steps": [{"type": "configure", "name": "site"},
                                                       {"type": "build", "name": "site"}]}]}))
    os.chmod(top, 0o755)
    user = []
    if os.geteuid() == 0:
        subprocess.run(["chown", "-R", "nobody:nogroup", top], check=True)
        user = ["setpriv", "--reuid=nobody", "--regid=nogroup", "--clear-groups"]

    def workflow(*command, wait=True, **env):
        # A build farm's own flags, which must not reach the Windows builds.
        flags = dict(CFLAGS="-O0 -g", CXXFLAGS="-O0 -g -DVELMORA_SITE_HOST=\\\"x\\\"", CPPFLAGS="-DNDEBUG=0",
                     LDFLAGS="-Wl,-z,relro", RCFLAGS="-l 0x407", SOURCE_DATE_EPOCH=commit_date())
        env = dict(os.environ, TZ="Asia/Tokyo", HOME=str(top), **dict(flags, **env))
        command = user + list(command or ["cmake", "--workflow", "--preset", "release"])
        if not wait:  # the caller ends it
            return subprocess.Popen(command, cwd=folder, env=env, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                                    text=True, start_new_session=True)
        done = subprocess.run(command, cwd=folder, env=env, capture_output=True, text=True)
        return done, files(folder / "dist")

    yield top, folder, workflow
    shutil.rmtree(top, ignore_errors=True)


# A site's own settings hold after --fresh and after its build folder is removed.
def test_a_sites_settings_survive_fresh_and_a_removed_build_folder(elsewhere):
    _, _, workflow = elsewhere
    for command in (["cmake", "--workflow", "--preset", "site", "--fresh"],
                    ["sh", "-c", "rm -rf build/site && cmake --workflow --preset site"]):
        done, dist = workflow(*command)
        assert done.returncode == 0, done.stdout + done.stderr
        assert "for the web site play.example.com; signed without a timestamp" in done.stdout
        assert b"play.example.com" in dist["win32/VelmoraPlayer.exe"]
        assert b"Velmora Test signer" in dist["win64/VelmoraPlayerUninstaller.exe"]


def test_a_clean_build_elsewhere_later_in_another_zone_by_another_user_gives_the_same_bytes(elsewhere):
    done, dist = elsewhere[2]()
    assert done.returncode == 0, done.stdout + done.stderr
    assert len(dist) == 2 * 3 + 2 + 1
    assert dist == files(DIST)


# dist/ is the operator's. Two releases into it at once, of two presets, each in build folders
# of its own: the second waits for the first, and dist/ ends with the programs of one host.
# The test command, the demonstration and the benchmark build a release of their own
# (scripts/own-release.sh) and leave dist/ as it was, byte for byte, as does a release stopped
# while it signs by a signal to its process group, which ends every process of it.
def test_the_operators_dist_is_theirs_alone(elsewhere):
    top, folder, workflow = elsewhere
    releases = [workflow("cmake", "--workflow", "--preset", preset, wait=False) for preset in ("site", "release")]
    said = [release.communicate()[0] for release in releases]
    assert [r.returncode for r in releases] == [0, 0], said
    assert "this one waits for it to end" in "".join(said)
    dist = files(folder / "dist")
    hosts = {host for name, data in dist.items() if name.endswith(".exe")
             for host in (b"play.example.com", b"velmora.example") if host in data}
    assert len(hosts) == 1 and (b"Velmora Test signer" in dist["win32/VelmoraPlayer.exe"]) == (hosts == {b"play.example.com"})
    assert workflow("scripts/own-release.sh", "demo")[0].returncode == 0 and (folder / "build/demo/dist/SHA256SUMS").exists()
    marker = top / "signing"
    release = workflow("cmake", "--workflow", "--preset", "release", wait=False,
                       VELMORA_SIGN_COMMAND=f"sh -c 'touch {marker}; sleep 60' x")
    deadline = time.monotonic() + 120
    while not marker.exists():
        assert time.monotonic() < deadline and release.poll() is None, release.communicate()[0]
        time.sleep(0.1)
    os.killpg(release.pid, signal.SIGTERM)
    release.wait()
    with pytest.raises(ProcessLookupError):
        while time.monotonic() < deadline:
            os.killpg(release.pid, 0)
            time.sleep(0.1)
    assert files(folder / "dist") == dist


SECRETS = ("4321", "correct horse")


@pytest.fixture(scope="module")
def signing():
    """Keys and certificates in a folder of their own (the folder the release is started in,
    and a git checkout that ignores all but the PIN), a SoftHSM2 token, timestamp servers, and
    shims that log every openssl and osslsigncode command line; and a way to finish the test
    command's built programs alone (package.py), with the test command's release as dist/: it
    returns what that printed, and dist/ before and after, having checked that no secret was in
    a command line or the output."""
    top = Path(tempfile.mkdtemp())
    (top / "keys").mkdir()
    keys = make_certificate(top / "keys")
    token = make_token(keys)
    servers = timestamp_servers(keys)
    subprocess.run(["git", "init", "-q", keys], check=True)
    (keys / ".gitignore").write_text("*\n!pin\n")
    (keys / "sign-service.sh").write_text(  # a signing service's tool, signing in place, leaving a backup
        'cp "$1" "$1.bak" && osslsigncode sign -pkcs12 signer.pfx -readpass password -h ${HASH:-sha256} -in "$1" '
        '-out "$1.new" && mv "$1.new" "$1"\n')
    (keys / "meddling.sh").write_text(  # one that breaks the program it signed before
        'sh sign-service.sh "$1" && { [ ! -f last ] || printf x | dd of="$(cat last)" bs=1 seek=1024 conv=notrunc; }'
        ' 2>/dev/null; echo "$1" > last\n')
    shims = top / "shims"
    shims.mkdir()
    for tool in ("openssl", "osslsigncode"):
        (shims / tool).write_text(f'#!/bin/sh\necho "{tool} $*" >> "{top}/commands.log"\nexec /usr/bin/{tool} "$@"\n')
        (shims / tool).chmod(0o755)

    def package(tmp_path, source=ROOT, **settings):
        stage, dist = tmp_path / "stage", tmp_path / "dist"
        shutil.copytree(OUTPUT / "stage", stage)
        shutil.copytree(DIST, dist)
        before = files(dist)
        (top / "commands.log").write_text("")
        (keys / "last").unlink(missing_ok=True)
        env = {k: v for k, v in os.environ.items() if not k.startswith("VELMORA_SIGN_")}
        env.update(PATH=f"{shims}:{env['PATH']}", **settings)
        # Bounded: a release that hangs (on a silent timestamp server, say) fails the test.
        done = subprocess.run(["python3", ROOT / "packaging" / "package.py", stage, dist, VERSION, commit_date(),
                               OUTPUT / "readme", "velmora.example", keys, source], cwd=keys, env=env,
                              capture_output=True, text=True, timeout=120)
        log = (top / "commands.log").read_text()
        assert not [secret for secret in SECRETS if secret in log + done.stdout + done.stderr]
        return done, before, files(dist)

    yield dict(token=token, servers=servers, package=package, keys=keys)
    shutil.rmtree(top, ignore_errors=True)


PFX = {"VELMORA_SIGN_PFX": "signer.pfx", "VELMORA_SIGN_PASSWORD_FILE": "password"}
TOKEN = {"token": "the token's settings"}
URL, WAIT = "VELMORA_SIGN_TIMESTAMP_URL", "VELMORA_SIGN_TIMESTAMP_WAIT"


# What the release says, or why it refuses, for each way operators sign, every file name
# relative to the folder the release command was started in, the root trusted through
# VELMORA_SIGN_CA_FILE unless the row says otherwise. Signed: a token whose chain file carries
# certificates besides the signer's chain (one expired); a signing service's command, leaving
# backups; a .pfx in the format older Windows exports write, its root only among the system's,
# inside a checkout that ignores it; one issued after the last commit, timestamped after servers
# that never answer, chain to no trusted root, or replay an earlier stamp, each named with why.
# Refused, leaving dist/ as it was: everything Windows would not accept.
@pytest.mark.parametrize("settings, says", [
    (TOKEN, ["signed without a timestamp: Windows accepts the signatures until 2097-12-31 00:00 UTC"]),
    ({"VELMORA_SIGN_COMMAND": "sh sign-service.sh"}, ["signed by VELMORA_SIGN_COMMAND without a timestamp"]),
    ({"VELMORA_SIGN_PFX": "legacy.pfx", "VELMORA_SIGN_PASSWORD_FILE": "password", "SSL_CERT_FILE": "bundle.pem",
      "VELMORA_SIGN_CA_FILE": "", "source": "keys"}, ["signed without a timestamp"]),
    ({"VELMORA_SIGN_PFX": "fresh.pfx", "VELMORA_SIGN_PASSWORD_FILE": "password", WAIT: "3",
      URL: "{silent} {untrusted} {replaying} {stamping}"},
     ["signed with a certificate valid until 2099-12-31 00:00 UTC, timestamped by {replaying} and {stamping}.",
      "{silent} is not used: it did not answer within 3 s", "{untrusted} is not used: ", "unable to get local issuer",
      "{replaying} is not used: ", "message imprint mismatch"]),
    (dict(TOKEN, VELMORA_SIGN_PASSWORD_FILE="password"), ["wrong PIN"]),
    (dict(TOKEN, VELMORA_SIGN_CERT=""), ["VELMORA_SIGN_CERT is not set"]),
    (dict(TOKEN, VELMORA_SIGN_CERT="fresh-first.pem"), ["not with VELMORA_SIGN_CERT's first certificate (CN=Velmora Test fresh)"]),
    (dict(PFX, VELMORA_SIGN_PASSWORD_FILE="pin"), ["wrong password"]),
    ({"VELMORA_SIGN_PFX": "ca.pem"}, ["not a PKCS#12 file"]),
    ({"VELMORA_SIGN_PFX": "missing.pfx"}, ["cannot be read"]),
    (dict(PFX, VELMORA_SIGN_PFX="expired.pfx"), ["has expired"]),
    (dict(PFX, VELMORA_SIGN_PFX="not-yet-valid.pfx"), ["not yet valid"]),
    (dict(PFX, VELMORA_SIGN_PFX="server-only.pfx"), ["not for code signing"]),
    (dict(PFX, VELMORA_SIGN_CA_FILE=""), ["its chain needs CN=Velmora Test ca, which is not among the trusted roots "
                                          "here; VELMORA_SIGN_CA_FILE adds it"]),
    (dict(PFX, VELMORA_SIGN_PASSWORD_FILE="pin", source="keys"),
     ["VELMORA_SIGN_PASSWORD_FILE names", "pin, inside this checkout", "move it out of the checkout, or ignore it"]),
    (dict(PFX, **{URL: "{untrusted} {replaying}", WAIT: "2"}), ["No timestamp server"]),
    (dict(PFX, **{WAIT: "abc"}), ["VELMORA_SIGN_TIMESTAMP_WAIT is 'abc'"]),
    (dict(PFX, VELMORA_SIGN_COMMAND="true"), ["one way"]),
    ({"VELMORA_SIGN_COMMAND": "true"}, ["win32/VelmoraPlayer.exe does not verify"]),
    ({"VELMORA_SIGN_COMMAND": "sh meddling.sh"}, ["win32/VelmoraPlayer.exe does not verify"]),
    ({"VELMORA_SIGN_COMMAND": "env HASH=sha1 sh sign-service.sh"}, ["not signed with SHA-256"]),
], ids=["token", "sign command", "legacy pfx", "timestamped", "wrong PIN", "token without its certificate",
        "token signing with another key", "wrong password", "not a pfx", "no pfx", "expired", "not yet valid",
        "server only", "root not trusted", "password file git would add", "no valid timestamp", "wait not a number",
        "two ways", "command signs nothing", "command breaks another program", "command signs with SHA-1"])
def test_what_each_signing_setting_gives(signing, tmp_path, settings, says):
    settings = {**(signing["token"] if settings.get("token") else {}), "VELMORA_SIGN_CA_FILE": "ca.pem", **settings}
    source = signing["keys"] if settings.pop("source", None) else ROOT
    settings = {k: v.format(**signing["servers"]) for k, v in settings.items() if v and k != "token"}
    says = [s.format(**signing["servers"]) for s in says]
    started = time.monotonic()
    done, before, after = signing["package"](tmp_path, source=source, **settings)
    assert not [s for s in says if s not in done.stdout + done.stderr], done.stdout + done.stderr
    if done.returncode:
        assert f"{tmp_path / 'dist'} is left as it was" in done.stderr and after == before
        assert time.monotonic() - started < 30
        return
    assert set(after) == set(before)  # the release's own files, no backup a sign command left
    for build in BUILDS:
        for program in PROGRAMS:
            (tmp_path / program).write_bytes(after[f"{build}/{program}"])
            shown = subprocess.run(["osslsigncode", "verify", "-CAfile", signing["keys"] / "ca.pem", "-TSA-CAfile",
                                    signing["keys"] / "ca.pem", "-in", tmp_path / program], capture_output=True,
                                   text=True).stdout
            assert "Signature verification: ok" in shown and "Message digest algorithm: SHA256" in shown
            assert ("Timestamp time:" in shown) == (URL in settings)
            with zipfile.ZipFile(io.BytesIO(after[f"VelmoraPlayer-{VERSION}-{build}.zip"])) as package:
                assert package.read(program) == after[f"{build}/{program}"]
        assert after[f"{build}/SHA256SUMS"].decode() == "".join(
            f"{hashlib.sha256(after[f'{build}/{p}']).hexdigest()}  {p}\n" for p in PROGRAMS)
    if "VELMORA_SIGN_KEY" in settings:
        # The same tree, key and certificate without a timestamp give the same bytes.
        assert signing["package"](tmp_path / "again", **settings)[2] == after


# Servers that never answer, each allowed 10 s, within a bound of 6 s for all: each has its
# share, and a clock set back by an hour at every reading changes nothing.
def test_every_timestamp_server_has_its_turn_within_the_bound(signing, tmp_path, monkeypatch, capsys):
    shutil.copytree(OUTPUT / "stage", tmp_path / "stage")
    programs = {f"{b}/{p}": tmp_path / "stage" / b / p for b in BUILDS for p in PROGRAMS}
    for name, value in dict(PFX, **{WAIT: "10", URL: " ".join([signing["servers"]["silent"]] * 3)}).items():
        monkeypatch.setenv(name, value)
    monkeypatch.setattr(signing_module, "TIMESTAMPS_WAIT", 6)
    readings = iter(range(1, 10 ** 6))
    real = time.time
    monkeypatch.setattr(time, "time", lambda: real() - 3600 * next(readings))
    started = time.monotonic()
    with pytest.raises(signing_module.Refused, match="No timestamp server"):
        signing_module.sign(programs, commit_date(), signing["keys"], ROOT)
    assert time.monotonic() - started < 9
    assert capsys.readouterr().err.count("did not answer within 2 s") == 3


# No date, or one a zip cannot hold (milliseconds, past 2107), stops the release.
@pytest.mark.parametrize("epoch", [None, "", "yesterday", "0", "315532799", "1796611329000", "4354819200"])
def test_a_release_without_a_usable_date_stops(tmp_path, monkeypatch, epoch):
    # Here: no git checkout, and no exported commit date.
    monkeypatch.delenv("SOURCE_DATE_EPOCH", raising=False)
    if epoch is not None:
        monkeypatch.setenv("SOURCE_DATE_EPOCH", epoch)
    with pytest.raises(SystemExit, match="SOURCE_DATE_EPOCH"):
        checked_date(tmp_path)


def zip_dates(dist):
    return {zipfile.ZipFile(dist / f"VelmoraPlayer-{VERSION}-{b}.zip").infolist()[0].date_time for b in BUILDS}


# The date is the project's own, read when the packages are written: its commit's in a
# checkout of it, else SOURCE_DATE_EPOCH (not the date of a repository it was unpacked into),
# else the commit date a git archive export carries.
def test_the_release_date_is_the_projects_own_and_read_at_build_time(elsewhere, tmp_path, monkeypatch):
    _, folder, workflow = elsewhere
    done, dist = workflow("cmake", "--build", "--preset", "release", SOURCE_DATE_EPOCH="1000000000")
    assert done.returncode == 0, done.stdout + done.stderr
    assert zip_dates(folder / "dist") == {(2001, 9, 9, 1, 46, 40)}

    def git(*args, cwd=ROOT):
        return subprocess.run(["git", *args], cwd=cwd, check=True, capture_output=True, text=True).stdout.strip()

    monkeypatch.setenv("SOURCE_DATE_EPOCH", "1500000000")
    assert checked_date(ROOT) == commit_date()
    outer = tmp_path / "outer"
    outer.mkdir()
    git("init", "-q", cwd=outer)
    copy_sources(outer / "velmora")
    git("-c", "user.name=x", "-c", "user.email=x@x", "commit", "-q", "--allow-empty", "-m", "x", "--date=@1000000000",
        cwd=outer)
    assert checked_date(outer / "velmora") == "1500000000"
    # A checkout another user owns, read as root, gives its commit's date, not SOURCE_DATE_EPOCH.
    if os.geteuid() == 0:
        owned = tmp_path / "owned"
        git("clone", "-q", str(ROOT), str(owned))
        subprocess.run(["chown", "-R", "nobody:nogroup", owned], check=True)
        assert checked_date(owned) == commit_date()
    exported = tmp_path / "exported"
    exported.mkdir()
    subprocess.run(f"git archive HEAD | tar -x -C '{exported}'", shell=True, cwd=ROOT, check=True)
    monkeypatch.delenv("SOURCE_DATE_EPOCH")
    assert checked_date(exported) == commit_date()


# A rebuild after a version bump carries the new version, and a rebuild after bumping it back
# gives exactly the bytes of the clean build.
def test_an_incremental_build_after_a_version_bump_is_a_clean_build(elsewhere):
    _, folder, workflow = elsewhere
    cmake_lists = folder / "CMakeLists.txt"
    original = cmake_lists.read_text()
    done, clean = workflow()  # built already when the tests run in order
    assert done.returncode == 0, done.stdout + done.stderr
    cmake_lists.write_text(original.replace(f"VERSION {VERSION} ", "VERSION 9.8.7 "))
    done, bumped = workflow()
    assert done.returncode == 0, done.stdout + done.stderr
    for build in BUILDS:
        for program in PROGRAMS:
            pe = pefile.PE(data=bumped[f"{build}/{program}"])
            strings = {k.decode(): v.decode() for info in pe.FileInfo[0] for table in getattr(info, "StringTable", [])
                       for k, v in table.entries.items()}
            assert strings["FileVersion"] == "9.8.7" and pe.VS_FIXEDFILEINFO[0].FileVersionMS == 9 << 16 | 8
    cmake_lists.write_text(original)
    assert workflow()[1] == clean


# Each limit at both sides: a label of 63 and 64 characters, a name of 253 and 254, ports 1 and
# 0, 65535 and 65536, numbers of an address 255 and 256; a last label all digits, and what was
# never a host name. git ignores a site's settings, and the README's example keeps its files
# outside the checkout.
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
    example = json.loads(re.search(r"```json\n(.*?)```", (ROOT / "README.md").read_text(), re.S)[1])
    named = [v for k, v in example["configurePresets"][0]["environment"].items() if k in signing_module.FILES]
    assert len(named) == 3 and all(v.startswith(("$env{HOME}/", "/usr/")) for v in named)
