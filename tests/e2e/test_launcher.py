"""The real 32-bit VelmoraPlayer.exe under Wine: registry, link delivery, client start and
message boxes, as a user's machine would see them. Refused links, missing and empty values
and the injection shapes among them, are in test_hostile_links.py."""

import pytest

from winehost import (CLASS_KEY, MB_ICONERROR, MB_ICONINFORMATION,
                      client_records, site_host)

FOLDER = ("Velmora Games", "Player Folder")
TICKET = "8C1F5E0A-77B2/sessionToken%3D%3D"
JOIN_URL = "https://www.velmora.example/Game/PlaceLauncher.ashx?request=RequestGame&placeId=1818"


def play_link(ticket=TICKET, join_url=JOIN_URL):
    return f"velmor-player:1+launchmode:play+gameinfo:{ticket}+launchtime:1700000000+placelauncherurl:{join_url}"


def launcher(folder):
    return f'"{folder}VelmoraPlayer.exe"'


def expected_argv(folder, ticket=TICKET, join_url=JOIN_URL):
    return [folder + "OlvanePlayerBetaRaw.exe",
            "--authenticationUrl", f"http://{site_host()}/Login/Negotiate.ashx",
            "--authenticationTicket", ticket,
            "--joinScriptUrl", join_url,
            "--content", folder + "content",
            "--play"]


def expect_box(run, text, icon):
    assert [b["text"] for b in run.boxes] == [text]
    assert run.calls == [{"owner": 0, "text": text, "caption": "Velmora Player", "style": icon}]
    assert run.boxes[0]["caption"] == "Velmora Player" and not run.boxes[0]["yesNo"]


def expect_registration(wine, folder):
    open_command = f'"{folder}VelmoraPlayer.exe" "%1"'
    assert wine.dump("HKCU", CLASS_KEY) == {
        "": {"": (1, 2 * 28, "URL:Velmora Player Protocol\0"), "URL Protocol": (1, 2, "\0")},
        "shell": {},
        r"shell\open": {},
        r"shell\open\command": {"": (1, 2 * (len(open_command) + 1), open_command + "\0")},
    }


def test_start_without_a_link_registers_and_shows_the_notice(wine):
    folder, unix = wine.install(*FOLDER)
    run = wine.run(launcher(folder))
    assert run.exit_codes == [0]
    expect_box(run, f"Velmora Player has been installed.\nYou can now play games on {site_host()}",
               MB_ICONINFORMATION)
    expect_registration(wine, folder)
    assert client_records(unix, 0) == []


def test_a_play_link_reaches_the_client_with_its_values(wine):
    folder, unix = wine.install(*FOLDER)
    wine.run(launcher(folder))
    run = wine.open_links(play_link())
    assert run.exit_codes == [0] and run.boxes == [] and run.calls == []
    [record] = client_records(unix, 1)
    assert record["argv"] == expected_argv(folder)
    assert record["commandLine"] == (
        f'"{folder}OlvanePlayerBetaRaw.exe" --authenticationUrl "http://{site_host()}/Login/Negotiate.ashx" '
        f'--authenticationTicket "{TICKET}" --joinScriptUrl "{JOIN_URL}" --content "{folder}content" --play')
    assert record["currentDirectory"] == folder.rstrip("\\")
    expect_registration(wine, folder)


def test_a_missing_client_is_reported(wine):
    folder, _ = wine.install(*FOLDER, client=False)
    wine.run(launcher(folder))
    run = wine.open_links(play_link())
    assert run.exit_codes == [1]
    expect_box(run, "Failed to launch Velmora Player client.", MB_ICONERROR)


def test_a_start_from_a_second_folder_repoints_the_scheme(wine):
    first, first_unix = wine.install("Velmora Old")
    second, second_unix = wine.install("Velmora New", "Player")
    wine.run(launcher(first))
    wine.run(launcher(second))
    expect_registration(wine, second)
    assert wine.open_links(play_link()).exit_codes == [0]
    assert [r["argv"] for r in client_records(second_unix, 1)] == [expected_argv(second)]
    assert client_records(first_unix, 0) == []


@pytest.mark.parametrize("folders", [
    ("Игры Velmora", "玩家 フォルダー"),
    # Each CJK letter takes three bytes in UTF-8: well over 260 bytes, well under the
    # platform's 260-character path limit.
    ("長い名前のフォルダー" * 4, "玩家文件夹的名字很长" * 4, "プレイヤー" * 4),
], ids=["cyrillic and cjk", "over 260 bytes"])
def test_folders_outside_the_legacy_code_page(wine, folders):
    folder, unix = wine.install(*folders)
    if len(folders) > 2:
        assert len(folder.encode("utf-8")) > 260 and len(folder) < 200
    run = wine.run(launcher(folder))
    assert run.exit_codes == [0] and len(run.boxes) == 1
    expect_registration(wine, folder)
    assert wine.open_links(play_link()).exit_codes == [0]
    [record] = client_records(unix, 1)
    assert record["argv"] == expected_argv(folder)
    assert record["currentDirectory"] == folder.rstrip("\\")


def test_a_name_cut_at_a_character_boundary_is_not_taken_for_whole(wine):
    # 294 bytes: a 260-byte buffer takes 258 of them, ending in the parent folder's name,
    # without an error; the parent holds a client of its own that must not start.
    parent, parent_unix = wine.install("A", "\u6f22" * 80)
    folder, unix = wine.install("A", "\u6f22" * 80, "\u6f22" * 10)
    assert len((folder + "VelmoraPlayer.exe").encode("utf-8")) == 294
    wine.run(launcher(folder))
    expect_registration(wine, folder)
    assert wine.open_links(play_link()).exit_codes == [0]
    assert [r["argv"] for r in client_records(unix, 1)] == [expected_argv(folder)]
    assert client_records(parent_unix, 0) == []


def test_a_percent_in_the_folder_leaves_the_registration_alone(wine):
    # The platform would read the %1 in the open command as the link itself.
    first, _ = wine.install(*FOLDER)
    wine.run(launcher(first))
    folder, unix = wine.install("Velmora%1")
    run = wine.run(f'{launcher(folder)} "{play_link()}"')
    assert run.exit_codes == [0] and run.boxes == []
    assert [r["argv"] for r in client_records(unix, 1)] == [expected_argv(folder)]
    expect_registration(wine, first)


def test_several_links_at_once_each_start_their_client(wine):
    folder, unix = wine.install(*FOLDER)
    wine.run(launcher(folder))
    tickets = [f"ticket{i}" for i in range(5)]
    run = wine.open_links(*[play_link(ticket=t) for t in tickets])
    assert run.exit_codes == [0] * 5 and run.boxes == []
    records = client_records(unix, 5)
    assert sorted(r["argv"][4] for r in records) == tickets
    assert all(r["argv"] == expected_argv(folder, ticket=r["argv"][4]) for r in records)
    expect_registration(wine, folder)
