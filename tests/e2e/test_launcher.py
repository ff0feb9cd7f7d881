"""The real VelmoraPlayer.exe, both builds, under Wine: registry, link delivery, client start
and message boxes as a user's machine sees them, read from outside through the registry, the
stand-in client and Wine's relay trace of the program's own calls. Refused links are in
test_hostile_links.py."""

import shutil
import subprocess

import pytest

from winehost import (CLASS_KEY, COMMAND_KEY, MACHINE_KEY, MB_ICONERROR, MB_ICONINFORMATION, MB_ICONWARNING, ROOT,
                      client_records, legacy_code_page_copy, masked, seam_program, site_host, system_library)

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
    # The shell hears of the new association. user32.dll comes only now, and only from the system
    # folder, by its full path (Windows 7 without its loader update knows no search flags).
    expected = registration_calls(folder) + [system_library("wtsapi32.dll"), system_library("shell32.dll"),
                                             ["SHChangeNotify", [0x08000000, 0, 0, 0], ...], system_library("user32.dll"),
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


def install_for_the_shell(wine, build):
    """An install whose registration is mirrored where Wine routes links: its machine-wide classes."""
    folder, unix = wine.install(*FOLDER, build=build)
    wine.run(launcher(folder))
    for path, values in wine.dump("HKCU", CLASS_KEY).items():
        wine.plant("HKLM", "\\".join(filter(None, [MACHINE_KEY, path])), {k: v.rstrip("\0") for k, (_, v) in values.items()})
    return folder, unix


def test_wines_own_url_dispatcher_reads_the_open_command_and_delivers_the_link(wine, build):
    folder, unix = install_for_the_shell(wine, build)
    assert wine.run(f'C:\\windows\\system32\\start.exe /wait "{LINK}"').exit_codes == [0]
    expect_started(unix, folder)


def test_firefox_and_chrome_forms_of_a_link_give_the_client_the_same_encoded_values(wine, build):
    # Firefox hands the platform a link with its non-ASCII escapes decoded; Chrome keeps them
    # and quotes the link. Either way the client sees the values encoded, in every code page.
    folder, unix = install_for_the_shell(wine, build)
    raw = "velmor-player:gameinfo:\u0416\u0438\u0437\u043d\u044c\uff02x+placelauncherurl:https://h/\u4e2d\uff3c"
    encoded = ("velmor-player:gameinfo:%D0%96%D0%B8%D0%B7%D0%BD%D1%8C%EF%BC%82x"
               "+placelauncherurl:https://h/%E4%B8%AD%EF%BC%BC")
    for link in (raw, f'"{encoded}"'):
        assert wine.run(link, shell=True).exit_codes == [0]
    records = client_records(unix, 2)
    assert records[0]["commandLine"] == records[1]["commandLine"]
    for record in records:
        assert record["argv"][4:7] == ["%D0%96%D0%B8%D0%B7%D0%BD%D1%8C%EF%BC%82x", "--joinScriptUrl",
                                       "https://h/%E4%B8%AD%EF%BC%BC"]
        assert record["ansiArgv"] == [a.encode("cp1252") for a in record["argv"]]


# Its UTF-8 form passes 65,535 bytes, where Wine's narrow command line wraps around (and Windows'
# is missing): the values still reach the client whole. One whose client command line would pass
# what Windows takes is refused.
@pytest.mark.parametrize("filler, ticket, started", [
    ("\u6f22" * 21900, TICKET, True),
    ("", "\u0416" * 5500, False),
], ids=["long link", "too long for the client"])
def test_a_long_link_is_read_whole(wine, build, filler, ticket, started):
    folder, unix = wine.install(*FOLDER, build=build)
    link = LINK.replace("launchmode:play", "launchmode:" + filler).replace(TICKET, ticket)
    run = wine.run(f'{launcher(folder)} "{link}"')
    assert run.exit_codes == [0 if started else 1]
    if started:
        assert len(link.encode()) > 65535
        expect_started(unix, folder)
    else:
        assert run.message_boxes() == [(0, "Invalid launch URL.", "Velmora Player", MB_ICONERROR)]
        assert client_records(unix, 0) == []


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
    # Started by hand, it says it could not be set up, instead of the installed notice.
    run = wine.run(launcher(folder))
    assert run.exit_codes == [0] and run.message_boxes() == [(
        0, "Velmora Player could not be set up to open play links from this folder: its path holds a %, which "
        "Windows would read as part of the command.\n\nMove the folder to a path without %, such as "
        "%LOCALAPPDATA%\\Programs\\Velmora Player, and start VelmoraPlayer.exe there once.", "Velmora Player", MB_ICONWARNING)]
    expect_registration(wine, first)


# The test-only build, like Windows 7 without its loader update, refuses DLL search flags: the
# box shows all the same. Started as another account than the signed-in user's, it says so.
@pytest.mark.parametrize("account, text, style", [
    ("", f"Velmora Player has been installed.\nYou can now play games on {site_host()}", MB_ICONINFORMATION),
    ("Administrator", "Velmora Player was set up for the account Administrator, which it was started as, not for the "
     "account signed in to Windows.\n\nStart VelmoraPlayer.exe again without \"Run as administrator\".", MB_ICONWARNING),
], ids=["signed-in user", "another account"])
def test_what_a_start_by_hand_says(wine, build, account, text, style):
    folder, _ = wine.install(*FOLDER, build=build, programs={"VelmoraPlayer.exe": seam_program(build, "VelmoraPlayer")})
    run = wine.run(launcher(folder), env={"VELMORA_SEAM_ACCOUNT": account})
    assert run.exit_codes == [0] and run.message_boxes() == [(0, text, "Velmora Player", style)]


NOT_HERE = ("Velmora Player cannot work from this folder: Windows cannot pass its path on to the game as it is."
            "\n\nMove the folder to a path of plain letters, such as %LOCALAPPDATA%\\Programs\\Velmora Player, and start "
            "VelmoraPlayer.exe there once.")


# Folders the launcher cannot name whole, as itself or as a legacy-code-page client reads it: a
# fullwidth letter that Windows before 10 1903 best-fits to another folder's name (a copy without
# the UTF-8 code page, beside that other folder's install), a fullwidth quote that would end the
# client's quoted path, a name that cannot be read at all (the test-only build). Opened by a
# link or by hand, each leaves the registration as the first install left it, starts nothing
# and says why in one box; exit 1 for the link, 0 by hand.
def test_a_folder_it_cannot_name_starts_and_registers_nothing(wine, build, tmp_path):
    first, first_unix = wine.install("Games", "Velmora", build=build)
    wine.run(launcher(first))
    legacy = legacy_code_page_copy(ROOT / "dist" / build / "VelmoraPlayer.exe", tmp_path / "VelmoraPlayer.exe")
    folders = [wine.install(*folders, build=build, programs={"VelmoraPlayer.exe": program}) for folders, program in [
        (("Games", "\uff36elmora"), legacy),
        (("Games", "Velmora \uff02Q\uff02"), ROOT / "dist" / build / "VelmoraPlayer.exe"),
        (("Games", "Velmora Seam"), seam_program(build, "VelmoraPlayer"))]]
    run = wine.run(*[launcher(folder) + end for folder, _ in folders for end in ("", f' "{LINK}"')],
                   env={"VELMORA_SEAM_MODULE_NAME": "<fail>"})
    assert run.exit_codes == [0, 1] * 3
    for calls in run.traces:
        assert run.message_boxes(calls) == [(0, NOT_HERE, "Velmora Player", MB_ICONERROR)]
        assert not [f for f, _, _ in calls if f in ("RegCreateKeyExA", "CreateProcessA")]
    expect_registration(wine, first)
    assert all(client_records(unix, 0, settle=not i) == [] for i, (_, unix) in enumerate(folders + [(first, first_unix)]))


# The test-only build, for what Wine cannot produce: a name without a folder gives bare names
# and an empty current folder.
@pytest.mark.parametrize("module_name, registered, client, directory", [
    ("VelmoraPlayer.exe", "VelmoraPlayer.exe", '"OlvanePlayerBetaRaw.exe"', ""),
    ("C:/VP/x.exe", "C:/VP/VelmoraPlayer.exe", '"C:/VP/OlvanePlayerBetaRaw.exe"', "C:/VP/"),
], ids=["bare name", "forward slashes"])
def test_module_file_names_wine_cannot_give(wine, build, module_name, registered, client, directory):
    seam = seam_program(build, "VelmoraPlayer")
    folder, _ = wine.install(*FOLDER, programs={"VelmoraPlayer.exe": seam})
    wine.plant("HKCU", COMMAND_KEY, {"": "old"})
    run = wine.run(f'{launcher(folder)} "{LINK}"', env={"VELMORA_SEAM_MODULE_NAME": module_name})
    assert run.exit_codes == [1]
    [start] = [a for f, a, _ in run.calls if f == "CreateProcessA"]
    assert start[1].startswith(client + " --authenticationUrl ")
    assert start[7] == directory  # an empty string, never a null pointer
    assert wine.dump("HKCU", COMMAND_KEY)[""][""][1] == f'"{registered}" "%1"\0'


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
