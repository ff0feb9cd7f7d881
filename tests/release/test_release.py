"""Checks of what ships: the programs' PE files themselves, the packages, and that the same
sources always build the same bytes."""

import hashlib
import os
import re
import shutil
import subprocess
import tempfile
import xml.etree.ElementTree as ET
import zipfile
from pathlib import Path

import pefile
import pytest

ROOT = Path(__file__).resolve().parents[2]
DIST = ROOT / "dist"
VERSION = re.search(r"project\(VelmoraPlayer VERSION (\S+)", (ROOT / "CMakeLists.txt").read_text())[1]
PROGRAMS = ["VelmoraPlayer.exe", "VelmoraPlayerUninstaller.exe"]
BUILDS = {"win32": pefile.MACHINE_TYPE["IMAGE_FILE_MACHINE_I386"],
          "win64": pefile.MACHINE_TYPE["IMAGE_FILE_MACHINE_AMD64"]}
# user32.dll is loaded only to show a message box, from the system folder.
SYSTEM_DLLS = {"kernel32.dll", "advapi32.dll", "msvcrt.dll"}
SIZE_BUDGET = 28 * 1024  # 20 to 25 KiB now

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
    path = DIST / build / program
    assert path.stat().st_size <= SIZE_BUDGET
    pe = pefile.PE(str(path))
    header = pe.OPTIONAL_HEADER
    assert pe.FILE_HEADER.Machine == BUILDS[build]
    assert pe.FILE_HEADER.TimeDateStamp == 0
    assert header.Subsystem == pefile.SUBSYSTEM_TYPE["IMAGE_SUBSYSTEM_WINDOWS_GUI"]

    # ASLR needs the relocations as well as the flag.
    assert header.DllCharacteristics & 0x0040, "DYNAMIC_BASE"
    assert header.DllCharacteristics & 0x0100, "NX_COMPAT"
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
    assert {WINDOWS_7, WINDOWS_10} <= supported

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


def test_each_package_holds_the_programs_and_the_readme_and_the_sums_check_where_users_put_them(tmp_path):
    for build in BUILDS:
        with zipfile.ZipFile(DIST / f"VelmoraPlayer-{VERSION}-{build}.zip") as package:
            assert sorted(package.namelist()) == ["README.txt"] + PROGRAMS
            for program in PROGRAMS:
                assert package.read(program) == (DIST / build / program).read_bytes()
            readme = package.read("README.txt").decode()
            assert "VelmoraPlayer.exe" in readme and "\r\n" in readme
        subprocess.run(["sha256sum", "--quiet", "-c", "SHA256SUMS"], cwd=DIST / build, check=True)
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


def test_a_clean_build_elsewhere_later_in_another_zone_by_another_user_gives_the_same_bytes():
    # The test command builds dist/ from the last commit's date; here the same date comes
    # from SOURCE_DATE_EPOCH, in a folder with a blank in its path, as nobody if we can.
    epoch = subprocess.run(["git", "log", "-1", "--format=%ct"], cwd=ROOT, capture_output=True, text=True).stdout
    top = Path(tempfile.mkdtemp())
    folder = top / "second build" / "elsewhere"
    copy_sources(folder)
    os.chmod(top, 0o755)
    user = []
    if os.geteuid() == 0:
        subprocess.run(["chown", "-R", "nobody:nogroup", top], check=True)
        user = ["setpriv", "--reuid=nobody", "--regid=nogroup", "--clear-groups"]
    try:
        done = subprocess.run(user + ["cmake", "--workflow", "--preset", "release"], cwd=folder, capture_output=True,
                              text=True, env=dict(os.environ, SOURCE_DATE_EPOCH=epoch.strip(), TZ="Asia/Tokyo",
                                                  HOME=str(top)))
        assert done.returncode == 0, done.stdout + done.stderr
        dists = [{str(p.relative_to(d)): p.read_bytes() for p in d.rglob("*") if p.is_file()}
                 for d in (DIST, folder / "dist")]
    finally:
        shutil.rmtree(top, ignore_errors=True)
    assert len(dists[0]) == 2 * 3 + 2 + 1
    assert dists[0] == dists[1]


@pytest.mark.parametrize("epoch", [None, "", "yesterday", "0"])
def test_a_release_without_a_usable_date_stops_before_touching_dist(tmp_path, epoch):
    copy_sources(tmp_path)  # no .git here: no commit date either
    (tmp_path / "dist").mkdir()
    (tmp_path / "dist" / "keep").write_text("an earlier release")
    done = release(tmp_path, **({} if epoch is None else {"SOURCE_DATE_EPOCH": epoch}))
    assert done.returncode != 0 and "SOURCE_DATE_EPOCH" in done.stderr
    assert [p.name for p in (tmp_path / "dist").iterdir()] == ["keep"]
