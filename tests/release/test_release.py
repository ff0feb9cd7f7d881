"""Checks of what ships: the programs' PE files themselves, the packages, and that the same
sources always build the same bytes."""

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

from certificates import make_certificate, make_token, timestamp_servers

ROOT = Path(__file__).resolve().parents[2]
DIST = ROOT / "dist"
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
            (folder / name).write_bytes((ROOT / name).read_bytes())


def release(folder, **env):
    environment = {k: v for k, v in os.environ.items() if k != "SOURCE_DATE_EPOCH"}
    return subprocess.run(["cmake", "--workflow", "--preset", "release"], cwd=folder, capture_output=True,
                          text=True, env=dict(environment, **env))


@pytest.fixture(scope="module")
def elsewhere():
    """The sources copied to a folder with a blank in its path, owned by nobody if we can, and
    a release workflow there, later, in another time zone, with the test command's date (the
    last commit's) from SOURCE_DATE_EPOCH; then the dist/ it built."""
    epoch = subprocess.run(["git", "log", "-1", "--format=%ct"], cwd=ROOT, capture_output=True, text=True).stdout
    top = Path(tempfile.mkdtemp())
    folder = top / "second build" / "elsewhere"
    copy_sources(folder)
    make_certificate(top)
    os.chmod(top, 0o755)
    user = []
    if os.geteuid() == 0:
        subprocess.run(["chown", "-R", "nobody:nogroup", top], check=True)
        user = ["setpriv", "--reuid=nobody", "--regid=nogroup", "--clear-groups"]

    def workflow(*command, **signing):
        # A build farm's own flags, which must not reach the Windows builds.
        flags = dict(CFLAGS="-O0 -g", CXXFLAGS="-O0 -g -DVELMORA_SITE_HOST=\\\"x\\\"", CPPFLAGS="-DNDEBUG=0",
                     LDFLAGS="-Wl,-z,relro", SOURCE_DATE_EPOCH=epoch.strip())
        env = dict(os.environ, TZ="Asia/Tokyo", HOME=str(top), **dict(flags, **signing))
        done = subprocess.run(user + list(command or ["cmake", "--workflow", "--preset", "release"]), cwd=folder,
                              env=env, capture_output=True, text=True)
        dist = folder / "dist"
        return done, {str(p.relative_to(dist)): p.read_bytes() for p in dist.rglob("*") if p.is_file()}

    yield top, workflow
    shutil.rmtree(top, ignore_errors=True)


# A site's own settings, kept where CMake keeps a machine's own: the host and a token to sign
# with, in CMakeUserPresets.json; they hold after --fresh and after the build folder is removed.
def test_a_sites_settings_survive_fresh_and_a_removed_build_folder(elsewhere):
    top, workflow = elsewhere
    folder = top / "second build" / "elsewhere"
    # The certificate and the PIN named relative to the folder the release command is started in.
    token = {k: v if k.startswith(("SOFTHSM", "VELMORA_SIGN_PKCS11", "VELMORA_SIGN_KEY")) else os.path.relpath(top / v, folder)
             for k, v in make_token(top).items()}
    subprocess.run(["chown", "-R", "nobody:nogroup", top], check=os.geteuid() == 0)
    (folder / "CMakeUserPresets.json").write_text(json.dumps({
        "version": 6, "configurePresets": [{"name": "site", "inherits": "release", "environment": dict(
            token, VELMORA_SIGN_CA_FILE="../../ca.pem"), "cacheVariables": {"VELMORA_SITE_HOST": "play.example.com"}}],
        "buildPresets": [{"name": "site", "configurePreset": "site"}],
        "workflowPresets": [{"name": "site", "steps": [{"type": "configure", "name": "site"},
                                                       {"type": "build", "name": "site"}]}]}))
    for command in (["cmake", "--workflow", "--preset", "site", "--fresh"], ["sh", "-c", "rm -rf build/site && cmake --workflow --preset site"]):
        done, dist = workflow(*command)
        assert done.returncode == 0, done.stdout + done.stderr
        assert "for the web site play.example.com; signed without a timestamp" in done.stdout
        assert b"play.example.com" in dist["win32/VelmoraPlayer.exe"]
        assert b"Velmora Test signer" in dist["win64/VelmoraPlayerUninstaller.exe"]
    (folder / "CMakeUserPresets.json").unlink()


def test_a_clean_build_elsewhere_later_in_another_zone_by_another_user_gives_the_same_bytes(elsewhere):
    done, dist = elsewhere[1]()
    assert done.returncode == 0, done.stdout + done.stderr
    assert len(dist) == 2 * 3 + 2 + 1
    assert dist == {str(p.relative_to(DIST)): p.read_bytes() for p in DIST.rglob("*") if p.is_file()}


SECRETS = ("4321", "correct horse")


@pytest.fixture(scope="module")
def signing():
    """Keys and certificates in a folder of their own (the folder the release is started in),
    a SoftHSM2 token, timestamp servers, and shims that log every openssl and osslsigncode
    command line; and a way to run the packaging step alone on a copy of the release's stage,
    with the current release in dist/: it returns what the step printed, and dist/ before and
    after, having checked that no secret was in a command line or the output."""
    top = Path(tempfile.mkdtemp())
    (top / "keys").mkdir()
    keys = make_certificate(top / "keys")
    token = make_token(keys)
    stamping, silent = timestamp_servers(keys)
    (keys / "sign-service.sh").write_text(  # a signing service's tool, signing in place
        'osslsigncode sign -pkcs12 signer.pfx -readpass password -h sha256 -in "$1" -out "$1.new" && mv "$1.new" "$1"\n')
    shims = top / "shims"
    shims.mkdir()
    for tool in ("openssl", "osslsigncode"):
        (shims / tool).write_text(f'#!/bin/sh\necho "{tool} $*" >> "{top}/commands.log"\nexec /usr/bin/{tool} "$@"\n')
        (shims / tool).chmod(0o755)

    def package(tmp_path, start=keys, wait=False, **settings):
        stage, dist = tmp_path / "stage", tmp_path / "dist"
        shutil.copytree(ROOT / "build" / "release" / "stage", stage)
        shutil.copytree(DIST, dist)
        files = lambda: {str(p.relative_to(dist)): p.read_bytes() for p in dist.rglob("*") if p.is_file()}
        before = files()
        (top / "commands.log").write_text("")
        env = {k: v for k, v in os.environ.items() if not k.startswith("VELMORA_SIGN_")}
        env.update(PATH=f"{shims}:{env['PATH']}", **settings)
        command = ["python3", ROOT / "packaging" / "package.py", stage, dist, VERSION,
                   ROOT / "build" / "release" / "release-date", ROOT / "build" / "release" / "readme",
                   "velmora.example", start]
        if wait:  # the caller ends it
            return subprocess.Popen(command, env=env, start_new_session=True), files
        # Bounded: a release that hangs (on a silent timestamp server, say) fails the test.
        done = subprocess.run(command, env=env, capture_output=True, text=True, timeout=120)
        log = (top / "commands.log").read_text()
        assert not [secret for secret in SECRETS if secret in log + done.stdout + done.stderr]
        return done, before, files()

    yield dict(token=token, stamping=stamping, silent=silent, package=package, keys=keys)
    shutil.rmtree(top, ignore_errors=True)


# The three ways operators sign, every file name relative to the folder the release command was
# started in: a token's PKCS#11 library, a signing service's command, a .pfx (in the format older
# Windows exports write). A certificate issued after the last commit signs; a timestamp server
# that never answers is named and the next one used. The root is trusted through
# VELMORA_SIGN_CA_FILE; the files carry only the signer and its intermediate.
@pytest.mark.parametrize("way", ["token", "sign command", "legacy pfx", "issued after the commit, timestamped"])
def test_every_way_of_signing_gives_a_release_windows_accepts(signing, tmp_path, way):
    settings = {"token": signing["token"], "sign command": {"VELMORA_SIGN_COMMAND": "sh sign-service.sh"},
                "legacy pfx": {"VELMORA_SIGN_PFX": "legacy.pfx", "VELMORA_SIGN_PASSWORD_FILE": "password"},
                "issued after the commit, timestamped": {
                    "VELMORA_SIGN_PFX": "fresh.pfx", "VELMORA_SIGN_PASSWORD_FILE": "password",
                    "VELMORA_SIGN_TIMESTAMP_URL": f"{signing['silent']} {signing['stamping']}",
                    "VELMORA_SIGN_TIMESTAMP_WAIT": "3"}}[way]
    settings = dict(settings, VELMORA_SIGN_CA_FILE="ca.pem")
    done, _, dist = signing["package"](tmp_path, **settings)
    assert done.returncode == 0, done.stdout + done.stderr
    for build in BUILDS:
        for program in PROGRAMS:
            path = tmp_path / program
            path.write_bytes(dist[f"{build}/{program}"])
            shown = subprocess.run(["osslsigncode", "verify", "-CAfile", signing["keys"] / "ca.pem", "-TSA-CAfile",
                                    signing["keys"] / "ca.pem", "-in", path], capture_output=True, text=True).stdout
            assert "Signature verification: ok" in shown and "Message digest algorithm: SHA256" in shown
            assert ("Timestamp time:" in shown) == ("TIMESTAMP_URL" in str(settings))
            with zipfile.ZipFile(io.BytesIO(dist[f"VelmoraPlayer-{VERSION}-{build}.zip"])) as package:
                assert package.read(program) == dist[f"{build}/{program}"]
        assert dist[f"{build}/SHA256SUMS"].decode() == "".join(
            f"{hashlib.sha256(dist[f'{build}/{p}']).hexdigest()}  {p}\n" for p in PROGRAMS)
    if "TIMESTAMP_URL" in str(settings):
        assert signing["silent"] in done.stderr and f"timestamped by {signing['stamping']}" in done.stdout
    elif way != "sign command":
        assert "until Dec 31 00:00:00 2099 GMT" in done.stdout
        # The same tree, key and certificate without a timestamp give the same bytes.
        assert signing["package"](tmp_path / "again", **settings)[2] == dist


# A release that cannot be signed as Windows would accept it stops, says why, and leaves dist/
# as it was, without waiting on a silent server beyond its time.
@pytest.mark.parametrize("settings, says", [
    ({"VELMORA_SIGN_PASSWORD_FILE": "password"}, "wrong PIN"),
    ({"VELMORA_SIGN_PFX": "signer.pfx", "VELMORA_SIGN_PASSWORD_FILE": "pin"}, "wrong password"),
    ({"VELMORA_SIGN_PFX": "ca.pem"}, "not a PKCS#12 file"),
    ({"VELMORA_SIGN_PFX": "missing.pfx"}, "cannot be read"),
    ({"VELMORA_SIGN_PFX": "expired.pfx", "VELMORA_SIGN_PASSWORD_FILE": "password"}, "has expired"),
    ({"VELMORA_SIGN_PFX": "not-yet-valid.pfx", "VELMORA_SIGN_PASSWORD_FILE": "password"}, "not yet valid"),
    ({"VELMORA_SIGN_PFX": "server-only.pfx", "VELMORA_SIGN_PASSWORD_FILE": "password"}, "not for code signing"),
    ({"VELMORA_SIGN_PFX": "signer.pfx", "VELMORA_SIGN_PASSWORD_FILE": "password", "VELMORA_SIGN_CA_FILE": ""},
     "does not verify"),
    ({"VELMORA_SIGN_COMMAND": "true"}, "does not verify"),
    ({"VELMORA_SIGN_PFX": "signer.pfx", "VELMORA_SIGN_PASSWORD_FILE": "password", "VELMORA_SIGN_TIMESTAMP_URL": "silent",
      "VELMORA_SIGN_TIMESTAMP_WAIT": "2"}, "No timestamp server"),
    ({"VELMORA_SIGN_CERT": ""}, "VELMORA_SIGN_CERT is not set"),
    ({"VELMORA_SIGN_PFX": "signer.pfx", "VELMORA_SIGN_COMMAND": "true"}, "one way"),
], ids=["wrong PIN", "wrong password", "not a pfx", "no pfx", "expired", "not yet valid", "server only",
        "root not trusted", "command signs nothing", "no timestamp server answers", "token without its certificate",
        "two ways"])
def test_a_release_that_cannot_be_signed_leaves_dist_as_it_was(signing, tmp_path, settings, says):
    token = {} if "VELMORA_SIGN_PFX" in settings or "VELMORA_SIGN_COMMAND" in settings else signing["token"]
    settings = dict(dict(token, VELMORA_SIGN_CA_FILE="ca.pem"), **settings)
    settings = {k: signing["silent"] if v == "silent" else v for k, v in settings.items() if v}
    started = time.monotonic()
    done, before, after = signing["package"](tmp_path, **settings)
    assert done.returncode != 0 and says in done.stderr and "dist/ is left as it was" in done.stderr, done.stderr
    assert after == before and time.monotonic() - started < 30


def test_a_release_killed_while_signing_leaves_dist_as_it_was(signing, tmp_path):
    # The signing service's tool is still at work on the first program when the release is killed.
    started = tmp_path / "signing"
    release, files = signing["package"](tmp_path, wait=True, VELMORA_SIGN_COMMAND=f"sh -c 'touch {started}; sleep 60' x")
    before = files()
    deadline = time.monotonic() + 60
    while not started.exists():
        assert time.monotonic() < deadline and release.poll() is None, "the sign command never started"
        time.sleep(0.05)
    os.killpg(release.pid, signal.SIGKILL)
    release.wait()
    assert files() == before


# No date, or one a zip cannot hold (milliseconds, past 2107), stops the release before anything
# in dist/ changes.
@pytest.mark.parametrize("epoch", [None, "", "yesterday", "0", "315532799", "1796611329000", "4354819200"])
def test_a_release_without_a_usable_date_stops_before_touching_dist(tmp_path, epoch):
    copy_sources(tmp_path)  # no .git here, and no exported commit date: no date at all
    env = {k: v for k, v in os.environ.items() if k != "SOURCE_DATE_EPOCH"}
    done = subprocess.run(["python3", ROOT / "packaging" / "release_date.py", tmp_path, tmp_path / "date"],
                          env=dict(env, **({} if epoch is None else {"SOURCE_DATE_EPOCH": epoch})),
                          capture_output=True, text=True)
    assert done.returncode != 0 and "SOURCE_DATE_EPOCH" in done.stderr and not (tmp_path / "date").exists()
    if epoch == "1796611329000":  # the whole release, once
        (tmp_path / "dist").mkdir()
        (tmp_path / "dist" / "keep").write_text("an earlier release")
        done = release(tmp_path, SOURCE_DATE_EPOCH=epoch)
        assert done.returncode != 0 and "SOURCE_DATE_EPOCH" in done.stdout + done.stderr
        assert [p.name for p in (tmp_path / "dist").iterdir()] == ["keep"]


def zip_dates(dist):
    return {zipfile.ZipFile(dist / f"VelmoraPlayer-{VERSION}-{b}.zip").infolist()[0].date_time for b in BUILDS}


# The date is the project's own, read when the packages are written: its commit's in a
# checkout of it, else SOURCE_DATE_EPOCH (not the date of a repository it was unpacked into),
# else the commit date a git archive export carries.
def test_the_release_date_is_the_projects_own_and_read_at_build_time(elsewhere, tmp_path):
    top, workflow = elsewhere
    done, dist = workflow("cmake", "--build", "--preset", "release", SOURCE_DATE_EPOCH="1000000000")
    assert done.returncode == 0, done.stdout + done.stderr
    assert zip_dates(top / "second build" / "elsewhere" / "dist") == {(2001, 9, 9, 1, 46, 40)}

    def date(source, **env):
        subprocess.run(["python3", ROOT / "packaging" / "release_date.py", source, tmp_path / "date"], check=True,
                       env=dict({k: v for k, v in os.environ.items() if k != "SOURCE_DATE_EPOCH"}, **env))
        return (tmp_path / "date").read_text()

    def git(*args, cwd=ROOT):
        return subprocess.run(["git", *args], cwd=cwd, check=True, capture_output=True, text=True).stdout.strip()

    assert date(ROOT, SOURCE_DATE_EPOCH="1000000000") == git("log", "-1", "--format=%ct")
    outer = tmp_path / "outer"
    outer.mkdir()
    git("init", "-q", cwd=outer)
    copy_sources(outer / "velmora")
    git("-c", "user.name=x", "-c", "user.email=x@x", "commit", "-q", "--allow-empty", "-m", "x", "--date=@1000000000",
        cwd=outer)
    assert date(outer / "velmora", SOURCE_DATE_EPOCH="1500000000") == "1500000000"
    # A checkout another user owns, read as root, gives its commit's date, not SOURCE_DATE_EPOCH.
    if os.geteuid() == 0:
        owned = tmp_path / "owned"
        git("clone", "-q", str(ROOT), str(owned))
        subprocess.run(["chown", "-R", "nobody:nogroup", owned], check=True)
        assert date(owned, SOURCE_DATE_EPOCH="1500000000") == git("log", "-1", "--format=%ct")
    exported = tmp_path / "exported"
    exported.mkdir()
    subprocess.run(f"git archive HEAD | tar -x -C '{exported}'", shell=True, cwd=ROOT, check=True)
    assert date(exported) == git("log", "-1", "--format=%ct")


# A rebuild after a version bump carries the new version, and a rebuild after bumping it back
# gives exactly the bytes of the clean build.
def test_an_incremental_build_after_a_version_bump_is_a_clean_build(elsewhere):
    top, workflow = elsewhere
    cmake_lists = top / "second build" / "elsewhere" / "CMakeLists.txt"
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
# 0, 65535 and 65536; and what was never a host name.
def test_the_site_host_must_be_a_host_name_a_browser_can_reach(tmp_path):
    long_name = ".".join(["a" * 63] * 3 + ["b" * 61])
    hosts = {"velmora.example": True, "play.example.com:8080": True, "a" * 63 + ".b": True, "a" * 64 + ".b": False,
             long_name: True, long_name + "b": False, "h:1": True, "h:0": False, "h:65535": True, "h:65536": False,
             "a..b": False, "-a.b": False, "a-.b": False, "a_b": False, "h:": False, "": False, "a/b": False,
             'a"b': False, "\u0436.ru": False}
    configure = lambda host: subprocess.run(["cmake", "-S", ROOT, "-B", tmp_path, "-G", "Ninja",
                                             f"-DVELMORA_SITE_HOST={host}"], capture_output=True, text=True)
    assert {host: configure(host).returncode == 0 for host in hosts} == hosts
    assert "1 to 63 letters, digits and inner hyphens, at most 253" in " ".join(configure("a" * 64).stderr.split())
