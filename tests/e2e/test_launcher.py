"""The real VelmoraPlayer.exe, both builds, under Wine: registry, link delivery, client start
and message boxes as a user's machine sees them, read from outside through the registry, the
stand-in client and Wine's relay trace of the program's own calls. Refused links are in
test_hostile_links.py."""

import shutil
import subprocess

import pytest

from winehost import (CLASS_KEY, COMMAND_KEY, MACHINE_KEY, MB_ICONERROR, MB_ICONINFORMATION, ROOT,
                      client_records, masked, seam_program, site_host)

from certificates import make_certificate

HKCU, KEY_WRITE, REG_SZ = 0x80000001, 0x20006, 1
FOLDER = ("Velmora Games", "Player Folder")
TICKET = "8C1F5E0A-77B2/sessionToken%3D%3D"
JOIN_URL = "https://www.velmora.example/Game/PlaceLauncher.ashx?request=RequestGame&placeId=1818"
LINK = f"velmor-player:1+launchmode:play+gameinfo:{TICKET}+launchtime:1700000000+placelauncherurl:{JOIN_URL}"


def launcher(folder):
    return f'"{folder}VelmoraPlayer.exe"'


def client_line(folder):
    return (f'"{folder}OlvanePlayerBetaRaw.exe" --authenticationUrl "http://{site_host()}/Login/Negotiate.ashx" '
            f'--authenticationTicket "{TICKET}" --joinScriptUrl "{JOIN_URL}" --content "{folder}content" --play')


def expected_argv(folder):
    return [folder + "OlvanePlayerBetaRaw.exe", "--authenticationUrl", f"http://{site_host()}/Login/Negotiate.ashx",
            "--authenticationTicket", TICKET, "--joinScriptUrl", JOIN_URL, "--content", folder + "content", "--play"]


def expect_started(unix, folder, others=()):
    [record] = client_records(unix, 1)
    assert record["argv"] == expected_argv(folder) and record["commandLine"] == client_line(folder)
    assert record["currentDirectory"] == folder.rstrip("\\")
    assert all(client_records(other, 0) == [] for other in others)


def registration_calls(folder):
    """The registration's calls, exactly: keys, access, options, types and byte counts."""
    command = f'"{folder}VelmoraPlayer.exe" "%1"'
    create = lambda path: ["RegCreateKeyExA", [HKCU, path, 0, 0, 0, KEY_WRITE, 0, ..., 0], 0]
    set_value = lambda name, size: ["RegSetValueExA", [..., name, 0, REG_SZ, ..., size], 0]
    return [create(CLASS_KEY), set_value(0, 28), set_value("URL Protocol", 1), ["RegCloseKey", [...], 0],
            create(COMMAND_KEY), set_value(0, len(command.encode()) + 1), ["RegCloseKey", [...], 0]]


def expect_registration(wine, folder):
    assert wine.dump("HKCU", CLASS_KEY) == {
        "": {"": (REG_SZ, "URL:Velmora Player Protocol\0"), "URL Protocol": (REG_SZ, "\0")},
        "shell": {}, r"shell\open": {},
        r"shell\open\command": {"": (REG_SZ, f'"{folder}VelmoraPlayer.exe" "%1"\0')},
    }


def test_a_start_without_a_link_registers_and_shows_the_notice(wine, build):
    folder, unix = wine.install(*FOLDER, build=build)
    run = wine.run(launcher(folder))
    notice = f"Velmora Player has been installed.\nYou can now play games on {site_host()}"
    assert run.exit_codes == [0]
    assert run.boxes == [{"caption": "Velmora Player", "text": notice, "yesNo": False}]
    # user32.dll comes only now, and only from the system folder (LOAD_LIBRARY_SEARCH_SYSTEM32).
    expected = registration_calls(folder) + [["LoadLibraryExA", ["user32.dll", 0, 0x800], ...],
                                             ["MessageBoxA", [0, notice, "Velmora Player", MB_ICONINFORMATION], 1]]
    assert masked(run.calls, expected) == expected
    # Each key's values go through the handle that created it, which is then closed.
    assert len({tuple(a[:1]) for f, a, _ in run.calls[1:4]}) == len({tuple(a[:1]) for f, a, _ in run.calls[5:7]}) == 1
    expect_registration(wine, folder)
    assert client_records(unix, 0) == []


def test_a_play_link_starts_the_client_from_the_install_folder(wine, build):
    folder, unix = wine.install(*FOLDER, build=build)
    wine.run(launcher(folder))
    run = wine.open_links(LINK)
    assert run.exit_codes == [0] and run.boxes == []
    # The client's record shows the whole command line; the trace, only its start.
    start = [["CreateProcessA", [0, ..., 0, 0, 0, 0, 0, folder, ..., ...], 1],
             ["CloseHandle", [...], 1], ["CloseHandle", [...], 1]]
    assert masked(run.calls, registration_calls(folder) + start) == registration_calls(folder) + start
    assert run.calls[-1][1] != run.calls[-2][1]
    expect_started(unix, folder)
    expect_registration(wine, folder)
    # No user32.dll on the way, unless a box is to be shown: then only the system's.
    assert "advapi32.dll" in run.modules[0] and "user32.dll" not in run.modules[0]
    assert "user32.dll" in wine.run(launcher(folder)).modules[0]


def test_wines_own_url_dispatcher_reads_the_open_command_and_delivers_the_link(wine, build):
    # Wine routes links only through its machine-wide classes: the registration is mirrored there.
    folder, unix = wine.install(*FOLDER, build=build)
    wine.run(launcher(folder))
    for path, values in wine.dump("HKCU", CLASS_KEY).items():
        wine.plant("HKLM", "\\".join(filter(None, [MACHINE_KEY, path])), {k: v.rstrip("\0") for k, (_, v) in values.items()})
    assert wine.run(f'C:\\windows\\system32\\start.exe /wait "{LINK}"').exit_codes == [0]
    expect_started(unix, folder)


def test_a_missing_client_is_reported(wine, build):
    folder, _ = wine.install(*FOLDER, build=build, client=False)
    run = wine.run(f'{launcher(folder)} "{LINK}"')
    assert run.exit_codes == [1] and [b["text"] for b in run.boxes] == ["Failed to launch Velmora Player client."]
    assert run.message_boxes() == [(0, "Failed to launch Velmora Player client.", "Velmora Player", MB_ICONERROR)]


def test_a_class_key_that_cannot_be_written_stops_neither_the_command_nor_the_client(wine, build):
    folder, unix = wine.install(*FOLDER, build=build)
    wine.plant("HKCU", COMMAND_KEY, {"": "old"})
    wine.protect("HKCU", CLASS_KEY, "D:(A;OICI;0xf003d;;;WD)")  # everything but setting values
    run = wine.run(f'{launcher(folder)} "{LINK}"')
    assert run.exit_codes == [0]
    assert [(f, r) for f, _, r in run.calls[:2]] == [("RegCreateKeyExA", 5), ("RegCreateKeyExA", 0)]
    assert wine.dump("HKCU", COMMAND_KEY)[""][""] == (REG_SZ, f'"{folder}VelmoraPlayer.exe" "%1"\0')
    expect_started(unix, folder)


# The parent folder holds an install of its own, started first: the later start points the
# scheme at its own folder, whose name has letters outside the legacy code page, is over 260
# bytes in UTF-8, or is 294 bytes, whose first 258 end in the parent's name.
@pytest.mark.parametrize("folders", [
    ("Velmora Old", "Player"),
    ("Игры Velmora", "玩家 フォルダー"),
    ("長い名前のフォルダー" * 4, "玩家文件夹的名字很长" * 4, "プレイヤー" * 4),
    ("A", "漢" * 80, "漢" * 10),
], ids=["plain", "cyrillic and cjk", "over 260 bytes", "cut at a character"])
def test_a_start_from_another_folder_points_the_scheme_there(wine, build, folders):
    parent, parent_unix = wine.install(*folders[:-1], build=build)
    folder, unix = wine.install(*folders, build=build)
    assert len((folder + "VelmoraPlayer.exe").encode()) > 260 or len(folders) == 2
    wine.run(launcher(parent))
    wine.run(launcher(folder))
    expect_registration(wine, folder)
    assert wine.open_links(LINK).exit_codes == [0]
    expect_started(unix, folder, others=[parent_unix])


def test_a_percent_in_the_folder_leaves_the_registration_alone(wine, build):
    # The platform would read the %1 in the open command as the link itself.
    first, _ = wine.install(*FOLDER, build=build)
    wine.run(launcher(first))
    folder, unix = wine.install("Velmora%1", build=build)
    run = wine.run(f'{launcher(folder)} "{LINK}"')
    assert run.exit_codes == [0] and run.boxes == []
    assert [f for f, _, _ in run.calls] == ["CreateProcessA", "CloseHandle", "CloseHandle"]
    expect_started(unix, folder)
    expect_registration(wine, first)


# The test-only build, for what Wine cannot produce: an unreadable module file name leaves the
# registration alone; a name without a folder gives bare names and an empty current folder.
@pytest.mark.parametrize("module_name, registered, client, directory", [
    ("<fail>", None, '"OlvanePlayerBetaRaw.exe"', ""),
    ("VelmoraPlayer.exe", "VelmoraPlayer.exe", '"OlvanePlayerBetaRaw.exe"', ""),
    ("C:/VP/x.exe", "C:/VP/VelmoraPlayer.exe", '"C:/VP/OlvanePlayerBetaRaw.exe"', "C:/VP/"),
], ids=["unreadable", "bare name", "forward slashes"])
def test_module_file_names_wine_cannot_give(wine, build, module_name, registered, client, directory):
    seam = seam_program(build, "VelmoraPlayer")
    folder, _ = wine.install(*FOLDER, programs={"VelmoraPlayer.exe": seam})
    wine.plant("HKCU", COMMAND_KEY, {"": "old"})
    run = wine.run(f'{launcher(folder)} "{LINK}"', env={"VELMORA_SEAM_MODULE_NAME": module_name})
    assert run.exit_codes == [1]
    [start] = [a for f, a, _ in run.calls if f == "CreateProcessA"]
    assert start[1].startswith(client + " --authenticationUrl ")
    assert start[7] == directory  # an empty string, never a null pointer
    command = wine.dump("HKCU", COMMAND_KEY)[""][""][1]
    assert command == (f'"{registered}" "%1"\0' if registered else "old\0")


def test_the_test_build_starts_the_client_like_the_shipped_one(wine, build):
    # The test-only build refuses a start whose STARTUPINFOA is not zero but for its size.
    seam = seam_program(build, "VelmoraPlayer")
    folder, unix = wine.install(*FOLDER, programs={"VelmoraPlayer.exe": seam})
    assert wine.run(f'{launcher(folder)} "{LINK}"').exit_codes == [0]
    expect_started(unix, folder)


def test_a_signed_launcher_still_starts_the_client(wine, build, tmp_path):
    make_certificate(tmp_path)
    signed = tmp_path / "VelmoraPlayer.exe"
    subprocess.run(["osslsigncode", "sign", "-pkcs12", tmp_path / "signer.pfx", "-readpass", tmp_path / "password",
                    "-h", "sha256", "-in", ROOT / "dist" / build / "VelmoraPlayer.exe", "-out", signed],
                   check=True, capture_output=True)
    folder, unix = wine.install(*FOLDER, build=build, programs={"VelmoraPlayer.exe": signed})
    assert wine.run(f'{launcher(folder)} "{LINK}"').exit_codes == [0]
    expect_started(unix, folder)
    # Windows' own check: the signature holds, and breaks with one byte changed. (Wine's does
    # not ask whether the signer's CA is trusted.)
    shutil.copy(ROOT / "dist" / build / "VelmoraPlayer.exe", unix / "unsigned.exe")
    tampered = bytearray(signed.read_bytes())
    tampered[0x400] ^= 1
    (unix / "tampered.exe").write_bytes(tampered)
    assert [wine.verify(folder + name) for name in ("VelmoraPlayer.exe", "tampered.exe", "unsigned.exe")] == [
        0, 0x80096010, 0x800B0100]  # TRUST_E_BAD_DIGEST, TRUST_E_NOSIGNATURE
