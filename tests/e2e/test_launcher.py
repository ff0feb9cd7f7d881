"""The real VelmoraPlayer.exe, both builds, under Wine: registry, link delivery, client start
and message boxes as a user's machine sees them, read from outside through the registry, the
stand-in client and Wine's relay trace of the program's own calls. Refused links are in
test_hostile_links.py."""

import shutil
import subprocess

import pytest

from winehost import (CLASS_KEY, COMMAND_KEY, DIST, MACHINE_KEY, MB_ICONERROR, MB_ICONINFORMATION, MB_ICONWARNING,
                      client_records, legacy_code_page_copy, masked, seam_program, site_host, starts, system_library)

from certificates import make_certificate

HKCU, KEY_WRITE, REG_SZ = 0x80000001, 0x20006, 1
FOLDER = ("Velmora Games", "Player Folder")
TICKET = "8C1F5E0A-77B2/sessionToken%3D%3D"
JOIN_URL = "https://www.velmora.example/Game/PlaceLauncher.ashx?request=RequestGame&placeId=1818"
LINK = f"velmor-player:1+launchmode:play+gameinfo:{TICKET}+launchtime:1700000000+placelauncherurl:{JOIN_URL}"
NOTICE = f"Velmora Player has been installed.\nYou can now play games on {site_host()}"
NOT_HERE = ("Velmora Player cannot work from this folder: Windows cannot pass its path on to the game as it is."
            "\n\nMove the folder to a path of plain letters, such as %LOCALAPPDATA%\\Programs\\Velmora Player, and start "
            "VelmoraPlayer.exe there once.")


def launcher(folder):
    return f'"{folder}VelmoraPlayer.exe"'


def client_line(folder, ticket=TICKET):
    return (f'"{folder}OlvanePlayerBetaRaw.exe" --authenticationUrl "http://{site_host()}/Login/Negotiate.ashx" '
            f'--authenticationTicket "{ticket}" --joinScriptUrl "{JOIN_URL}" --content "{folder}content" --play')


def expect_started(unix, folder, ticket=TICKET, code_page="cp1252"):
    """The client in unix started as from folder: its command line byte for byte, its split
    (in Unicode, and in its legacy code page as a legacy client's runtime splits it) and its
    current folder."""
    [record] = client_records(unix, 1)
    argv = [folder + "OlvanePlayerBetaRaw.exe", "--authenticationUrl", f"http://{site_host()}/Login/Negotiate.ashx",
            "--authenticationTicket", ticket, "--joinScriptUrl", JOIN_URL, "--content", folder + "content", "--play"]
    assert record["commandLine"] == client_line(folder, ticket) and record["argv"] == argv
    assert code_page is None or record["ansiArgv"] == [a.encode(code_page) for a in argv]
    assert record["currentDirectory"] == folder.rstrip("\\")


def told(wine, folder, code_page="cp1252"):
    """The folder as a client reading its command line in a legacy code page must be told it: as
    it is where that code page spells it, else its short name."""
    try:
        folder.encode(code_page)
        return folder
    except UnicodeEncodeError:
        short = wine.short_path(folder)
        assert short.isascii() and short != folder
        return short


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
    # A DLL that the system's user32.dll imports, planted beside the program (a Downloads folder).
    shutil.copy(wine.drive_c() / "windows" / "system32" / "version.dll", unix)
    run = wine.run(launcher(folder))
    assert run.exit_codes == [0]
    assert run.boxes == [{"caption": "Velmora Player", "text": NOTICE, "yesNo": False}]
    # The shell hears of the new association. user32.dll comes only now, from the system folder
    # by its full path (Windows 7 without its loader update knows no search flags), and the
    # DLLs it imports come from there too: nothing is loaded from the program's folder.
    expected = registration_calls(folder) + [system_library("wtsapi32.dll"), system_library("shell32.dll"),
                                             ["SHChangeNotify", [0x08000000, 0, 0, 0], ...], system_library("user32.dll"),
                                             ["MessageBoxA", [0, NOTICE, "Velmora Player", MB_ICONINFORMATION], 1]]
    assert masked(run.calls, expected) == expected
    assert "c:\\windows\\system32\\version.dll" in run.modules[0]
    assert [m for m in run.modules[0] if m.startswith(folder.lower())] == [folder.lower() + "velmoraplayer.exe"]
    # Each key's values go through the handle that created it, which is then closed.
    assert len({tuple(a[:1]) for f, a, _ in run.calls[1:4]}) == len({tuple(a[:1]) for f, a, _ in run.calls[5:7]}) == 1
    expect_registration(wine, folder)
    assert starts(run.calls) == 0


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
    # No user32.dll on the way, unless a box is to be shown.
    assert not [m for m in run.modules[0] if m.endswith("\\user32.dll")]


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


# The limits of a link, each at both sides. The client's command line at the most Windows takes
# (32,766 characters and the zero) and one more, counted as the client gets the values: encoded.
# A link whose UTF-8 form passes 65,535 bytes, where Wine's narrow command line wraps around
# (and Windows' is missing), and a folder over 260 bytes are read whole.
@pytest.mark.parametrize("client_length, filler, started", [
    (32766, "", True),
    (32767, "", False),
    (None, "\u6f22" * 21900, True),
], ids=["longest client command line", "one character longer", "link over 65,535 bytes"])
def test_the_limits_of_a_link(wine, build, client_length, filler, started):
    folder, unix = wine.install(*FOLDER, build=build)
    ticket = TICKET
    if client_length:  # each Ж reaches the client as %D0%96
        missing = client_length - len(client_line(folder, ""))
        ticket = "\u0416" * (missing // 6) + "x" * (missing % 6)
    link = LINK.replace("launchmode:play", "launchmode:" + filler).replace(TICKET, ticket)
    run = wine.run(f'{launcher(folder)} "{link}"')
    assert run.exit_codes == [0 if started else 1]
    assert client_length or len(link.encode()) > 65535
    encoded = ticket.replace("\u0416", "%D0%96")
    if started:
        expect_started(unix, folder, encoded)
        assert client_length is None or len(client_line(folder, encoded)) == client_length
    else:
        assert run.message_boxes() == [(0, "Invalid launch URL.", "Velmora Player", MB_ICONERROR)]
        assert starts(run.calls) == 0


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
    run = wine.open_links(LINK)
    assert run.exit_codes == [0] and starts(run.calls) == 1
    expect_started(unix, told(wine, folder))


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


# A game client reading its command line in the legacy code page (1252 here) is told a folder it
# can read, for its program, its content and its current folder: the folder as it is where 1252
# spells it, else its short name, never a look-alike (Ｖelmora best-fits to the Velmora beside it)
# nor a '?' nor a quote. The platform is told the folder as it is, except by Windows before 10
# 1903 (a copy without the UTF-8 code page), whose own narrow name is not whole either. There,
# in a double-byte code page, a character of the program's own name may end in the byte of a
# backslash (表 in 932, 乗 in 936): the folder is still its own. The legacy code page is the
# system's, which the test-only build can set apart from the locale's: 1251 spells Игры, and a
# system running every program in UTF-8 spells everything. Without a short name (the test-only
# build, as on a volume that makes none) or any name at all, nothing is registered or started
# and one box says why: exit 1 by link, 0 by hand.
@pytest.mark.parametrize("name, kind, program, env, code_page", [
    ("Velmora Player", "shipped", "VelmoraPlayer.exe", {}, "cp1252"),
    ("\uff36elmora", "shipped", "VelmoraPlayer.exe", {}, "cp1252"),
    ("Игры", "shipped", "VelmoraPlayer.exe", {}, "cp1252"),
    ("Velmora \uff02Q\uff02", "shipped", "VelmoraPlayer.exe", {}, "cp1252"),
    ("\uff36elmora", "legacy", "VelmoraPlayer.exe", {}, "cp1252"),
    ("ren2", "legacy", "VelmoraPlayer\u8868\u793a.exe", {"LC_ALL": "ja_JP.UTF-8"}, "cp932"),
    ("ren2", "legacy", "VelmoraPlayer\u4e57.exe", {"LC_ALL": "zh_CN.UTF-8"}, "cp936"),
    ("Игры", "seam", "VelmoraPlayer.exe", {"VELMORA_SEAM_ACP": "1251"}, "cp1251"),
    ("Игры", "seam", "VelmoraPlayer.exe", {"VELMORA_SEAM_ACP": "65001"}, "utf-8"),
    ("Игры", "seam", "VelmoraPlayer.exe", {"VELMORA_SEAM_NO_SHORT_NAMES": "1"}, None),
    ("Velmora Seam", "seam", "VelmoraPlayer.exe", {"VELMORA_SEAM_MODULE_NAME": "<fail>"}, None),
], ids=["plain", "fullwidth letter", "cyrillic", "fullwidth quote", "before 1903", "932 name", "936 name",
        "system 1251", "system utf-8", "no short name", "no name"])
def test_the_client_is_told_a_folder_it_can_read(wine, build, tmp_path, name, kind, program, env, code_page):
    first, first_unix = wine.install("Games", "Velmora", build=build)
    wine.run(launcher(first))
    shipped = DIST / build / "VelmoraPlayer.exe"
    copy = {"shipped": shipped, "legacy": legacy_code_page_copy(shipped, tmp_path / "VelmoraPlayer.exe"),
            "seam": seam_program(build, "VelmoraPlayer")}[kind]
    folder, unix = wine.install("Games", name, build=build, programs={"VelmoraPlayer.exe": copy, program: copy})
    env = dict(env)
    locale = env.pop("LC_ALL", None)
    started = f'"{folder}{program}"'
    run = wine.run(f'{started} "{LINK}"', started, env=env, locale=locale)
    if not code_page:
        assert run.exit_codes == [1, 0]
        for calls in run.traces:
            assert run.message_boxes(calls) == [(0, NOT_HERE, "Velmora Player", MB_ICONERROR)]
            assert not [f for f, _, _ in calls if f in ("RegCreateKeyExA", "CreateProcessA")]
        expect_registration(wine, first)
        return
    assert run.exit_codes == [0, 0] and [b["text"] for b in run.boxes] == [NOTICE]
    assert [starts(calls) for calls in run.traces] == [1, 0]
    # A client of the test-only build's made-up system code page runs in Wine's own.
    expect_started(unix, told(wine, folder, code_page), code_page=None if env else code_page)
    expect_registration(wine, told(wine, folder, code_page) if kind == "legacy" else folder)
    assert not list(first_unix.glob("client-*.json"))


# The test-only build, like Windows 7 without its loader update, refuses DLL search flags: the
# box shows all the same. Started as another account than the session's user it says so, the
# names compared in Unicode without regard to case, also by a copy in the legacy code page:
# there Иван and ИВАН are one account, and Ｉvan is not Ivan though both read "Ivan" in 1252
# (which is how its box spells the name). In session 0, where nobody sees a box, it shows none.
@pytest.mark.parametrize("session_user, account, session, text, style", [
    (None, None, None, NOTICE, MB_ICONINFORMATION),
    ("Иван", "ИВАН", None, NOTICE, MB_ICONINFORMATION),
    ("Ivan", "\uff29van", None, "Velmora Player was set up for the account Ivan, which it was started as, not for the "
     "account signed in to Windows.\n\nStart VelmoraPlayer.exe again without \"Run as administrator\".", MB_ICONWARNING),
    (None, None, "0", None, None),
], ids=["signed-in user", "same account in another case", "another account", "session 0"])
def test_what_a_start_by_hand_says(wine, build, tmp_path, session_user, account, session, text, style):
    program = legacy_code_page_copy(seam_program(build, "VelmoraPlayer"), tmp_path / "VelmoraPlayer.exe")
    folder, _ = wine.install(*FOLDER, build=build, programs={"VelmoraPlayer.exe": program})
    env = {"VELMORA_SEAM_SESSION_USER": session_user, "VELMORA_SEAM_ACCOUNT": account, "VELMORA_SEAM_SESSION": session}
    run = wine.run(launcher(folder), env={k: v for k, v in env.items() if v})
    assert run.exit_codes == [0] and run.message_boxes() == ([(0, text, "Velmora Player", style)] if text else [])


# The test-only build, for what Wine cannot produce: a name without a folder gives bare names
# and an empty current folder; in session 0 a link still starts the client or is refused,
# without a box. Its start is refused unless its STARTUPINFOA is zero but for its size.
@pytest.mark.parametrize("env, link, exit_code, registered, client, directory", [
    ({}, LINK, 0, FOLDER, None, None),
    ({"VELMORA_SEAM_MODULE_NAME": "VelmoraPlayer.exe"}, LINK, 1, "", '"OlvanePlayerBetaRaw.exe"', ""),
    ({"VELMORA_SEAM_MODULE_NAME": "C:/VP/x.exe"}, LINK, 1, "C:/VP/", '"C:/VP/OlvanePlayerBetaRaw.exe"', "C:/VP/"),
    ({"VELMORA_SEAM_SESSION": "0"}, LINK, 0, FOLDER, None, None),
    ({"VELMORA_SEAM_SESSION": "0"}, "velmor-player:gameinfo:x", 1, FOLDER, None, None),
], ids=["plain", "bare name", "forward slashes", "session 0", "session 0, refused"])
def test_starts_wine_cannot_give(wine, build, env, link, exit_code, registered, client, directory):
    folder, unix = wine.install(*FOLDER, build=build, programs={"VelmoraPlayer.exe": seam_program(build, "VelmoraPlayer")})
    wine.plant("HKCU", COMMAND_KEY, {"": "old"})
    run = wine.run(f'{launcher(folder)} "{link}"', env=env)
    assert run.exit_codes == [exit_code]
    registered = folder if registered == FOLDER else registered
    assert wine.dump("HKCU", COMMAND_KEY)[""][""][1] == f'"{registered}VelmoraPlayer.exe" "%1"\0'
    if client:
        [start] = [a for f, a, _ in run.calls if f == "CreateProcessA"]
        assert start[1].startswith(client + " --authenticationUrl ")
        assert start[7] == directory  # an empty string, never a null pointer
    elif exit_code == 0:
        expect_started(unix, folder)
    if "VELMORA_SEAM_SESSION" in env:
        assert run.boxes == [] and "MessageBoxA" not in [f for f, _, _ in run.calls]


def test_a_signed_launcher_still_starts_the_client(wine, build, tmp_path):
    make_certificate(tmp_path)
    signed = tmp_path / "VelmoraPlayer.exe"
    subprocess.run(["osslsigncode", "sign", "-pkcs12", tmp_path / "signer.pfx", "-readpass", tmp_path / "password",
                    "-h", "sha256", "-in", DIST / build / "VelmoraPlayer.exe", "-out", signed],
                   check=True, capture_output=True)
    folder, unix = wine.install(*FOLDER, build=build, programs={"VelmoraPlayer.exe": signed})
    assert wine.run(f'{launcher(folder)} "{LINK}"').exit_codes == [0]
    expect_started(unix, folder)
    # Windows' own check: the signature holds, and breaks with one byte changed. (Wine's does
    # not ask whether the signer's CA is trusted.)
    shutil.copy(DIST / build / "VelmoraPlayer.exe", unix / "unsigned.exe")
    tampered = bytearray(signed.read_bytes())
    tampered[0x400] ^= 1
    (unix / "tampered.exe").write_bytes(tampered)
    assert [wine.verify(folder + name) for name in ("VelmoraPlayer.exe", "tampered.exe", "unsigned.exe")] == [
        0, 0x80096010, 0x800B0100]  # TRUST_E_BAD_DIGEST, TRUST_E_NOSIGNATURE
