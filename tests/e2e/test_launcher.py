"""The real VelmoraPlayer.exe, both builds, under Wine: registry, link delivery, client start
and message boxes as a user's machine sees them, read from outside through the registry, the
stand-in client and Wine's relay trace of the program's own calls."""

import re
import shutil
import subprocess

import pytest

from calls import masked, system_library
from driver import client_records
from programs import legacy_code_page_copy, seam_program
from traces import starts
from winehost import CLASS_KEY, COMMAND_KEY, DIST, MACHINE_KEY, site_host

import guides
from certificates import make_certificate
from outcome import MB_ICONERROR, MB_ICONINFORMATION, MB_ICONWARNING, outcome, seen
from play_links import as_firefox_on_windows, characters, encoded, kept, play_links, seed_links

HKCU, KEY_WRITE, REG_SZ = 0x80000001, 0x20006, 1
FOLDER = ("Velmora Games", "Player Folder")
# Where Windows keeps the system's code pages: "Use Unicode UTF-8 for worldwide language support"
# sets ACP to 65001, while the system locale's own default stays its legacy code page.
NLS = r"SYSTEM\CurrentControlSet\Control\Nls\CodePage"
TICKET = "8C1F5E0A-77B2/sessionToken%3D%3D"
JOIN_URL = "https://www.velmora.example/Game/PlaceLauncher.ashx?request=RequestGame&placeId=1818"
LINK = f"velmor-player:1+launchmode:play+gameinfo:{TICKET}+launchtime:1700000000+placelauncherurl:{JOIN_URL}"
NOTICE = (f"Velmora Player has been installed.\nYou can now play games on {site_host()}", MB_ICONINFORMATION)
INVALID = ("Invalid launch URL.", MB_ICONERROR)
FAILED = ("Failed to launch Velmora Player client.", MB_ICONERROR)
NOT_HERE = ("Velmora Player cannot work from this folder: Windows cannot pass its path on to the game as it is."
            "\n\nMove the folder to a path of plain letters, such as %LOCALAPPDATA%\\Programs\\Velmora Player, and "
            "start VelmoraPlayer.exe there once.", MB_ICONERROR)
PERCENT = ("Velmora Player could not be set up to open play links from this folder: its path holds a %, which "
           "Windows would read as part of the command.\n\nMove the folder to a path without %, such as "
           "%LOCALAPPDATA%\\Programs\\Velmora Player, and start VelmoraPlayer.exe there once.", MB_ICONWARNING)
OTHER_ACCOUNT = ("Velmora Player was set up for the account Ivan, which it was started as, not for the account "
                 "signed in to Windows.\n\nStart VelmoraPlayer.exe again without \"Run as administrator\".",
                 MB_ICONWARNING)


def launcher(folder):
    return f'"{folder}VelmoraPlayer.exe"'


def client_argv(folder, link=LINK):
    """What the client must get: each value from the first "key:" anywhere in the link to the next +."""
    value = lambda key: encoded(link.split(key + ":", 1)[1].split("+")[0] if key + ":" in link else "")
    return [folder + "OlvanePlayerBetaRaw.exe", "--authenticationUrl", f"http://{site_host()}/Login/Negotiate.ashx",
            "--authenticationTicket", value("gameinfo"), "--joinScriptUrl", value("placelauncherurl"), "--content",
            folder + "content", "--play"]


def client_line(folder, link=LINK):
    return " ".join(f'"{a}"' if i % 2 == 0 and i < 9 else a for i, a in enumerate(client_argv(folder, link)))


def client(folder, link=LINK, code_page="cp1252"):
    """What a client started from folder for link gets: its command line byte for byte, its split
    (in Unicode, and in its legacy code page as a legacy client's runtime splits it, unless
    code_page is None) and its current folder."""
    line, argv = client_line(folder, link), client_argv(folder, link)
    return dict(commandLine=line, argv=argv, currentDirectory=folder.rstrip("\\"),
                ansiCommandLine=line.encode(code_page) if code_page else ...,
                ansiArgv=[a.encode(code_page) for a in argv] if code_page else ...)


def launched(registered, kind="link", client_folder=None, link=LINK, code_page="cp1252", exit=0, boxes=None,
             narrow="utf-8"):
    """A launcher run's outcome: started by hand, it shows the installed notice and tells the
    shell; for a link it starts the client from client_folder, where one is given, and shows
    nothing. The folder it tries is named in its narrow code page, as its trace reads."""
    hand = kind == "hand"
    boxes = ((NOTICE,) if hand else ()) if boxes is None else boxes
    tried = [client_folder] if client_folder is not None and not hand else []
    named = [f.encode(narrow).decode("utf-8", "replace") for f in tried]
    return outcome(exit=exit, boxes=boxes, caption="Velmora Player", told=int(hand and boxes in ((NOTICE,), ())),
                   registry={"user": registration(registered)} if registered is not None else {}, tried=named,
                   clients=[client(client_folder, link, code_page)] if tried and exit == 0 else [])


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


def registration(folder):
    return {"": {"": (REG_SZ, "URL:Velmora Player Protocol\0"), "URL Protocol": (REG_SZ, "\0")},
            "shell": {}, r"shell\open": {},
            r"shell\open\command": {"": (REG_SZ, f'"{folder}VelmoraPlayer.exe" "%1"\0')}}


def long_link(length):
    """A link whose client command line, from a folder, is `length` UTF-16 characters: each Ж of
    its ticket reaches the client as the six characters %D0%96."""
    def link(folder):
        missing = length - len(client_line(folder, LINK.replace(TICKET, "")))
        made = LINK.replace(TICKET, "\u0416" * (missing // 6) + "x" * (missing % 6))
        assert len(client_line(folder, made)) == length
        return made
    return link


def case(id, **row):
    return pytest.param(dict(dict(
        folder=FOLDER, first=("Games", "Velmora"), program="shipped", name="VelmoraPlayer.exe", env={}, locale=None,
        client=True, link=LINK, runs=("link", "hand"), exits=(0, 0), boxes=((), (NOTICE,)), registered="here",
        started="here", code_page="cp1252", ansi=True, acp=None), **row), id=id)


ALONE = dict(runs=("link",), exits=(1,), boxes=((INVALID,),), started=None)
BY_HAND = dict(program="legacy seam", runs=("hand",), exits=(0,), boxes=((NOTICE,),), started=None)
NOWHERE = dict(program="seam", exits=(1, 0), boxes=((NOT_HERE,), (NOT_HERE,)), registered="first", started=None)


# Starts by link and by hand after another folder's install was registered, each run held whole
# to what it must give (exit code, boxes, the registration's three places, the shell told, the
# clients tried and started, from either folder).
# - The client line at the most Windows takes, counted as the client gets the values (Ж as
#   %D0%96) in characters (Ü); a link past 65,535 bytes; one UTF-8 cannot carry.
# - Another folder takes the scheme, also over 260 bytes or cut at MAX_PATH; a % of any kind
#   (%1, %L, %V, %2, a lone one) stays out, since the platform would read it.
# - A legacy client, and the platform before Windows 10 1903 (a copy without the UTF-8 code
#   page), are told the folder as it is where their code page spells it (é in 1252, kana in
#   932), else its short name, never a look-alike, a '?' or a quote; the program's own name may
#   end in a backslash's byte (表 in 932, 乗 in 936). The code page is the system's, as the
#   registry holds it (1251, or 65001 for UTF-8, under a 1252 locale).
# - Another account than the process's session's is told, names compared in Unicode without
#   regard to case. In session 0 no box is shown; in session 2 they are. A crash ends the run.
@pytest.mark.parametrize("row", [
    case("plain"),
    case("no client", client=False, runs=("link",), exits=(1,), boxes=((FAILED,),)),
    case("longest client line", folder=("Velmora \u00dc",), link=long_link(32766), runs=("link",), exits=(0,),
         boxes=((),)),
    case("one character longer", folder=("Velmora \u00dc",), link=long_link(32767), **ALONE),
    case("link over 65,535 bytes", link=LINK.replace("launchmode:play", "launchmode:" + "\u6f22" * 21900),
         runs=("link",), exits=(0,), boxes=((),)),
    case("lone surrogate", link=LINK.replace("1+", "\ud800+"), **ALONE),
    case("another folder", folder=("Velmora Old", "Player"), first=("Velmora Old",), runs=("hand", "open"),
         boxes=((NOTICE,), ()), started="told"),
    case("cyrillic and cjk", folder=("Игры Velmora", "玩家 フォルダー"), first=("Игры Velmora",),
         runs=("hand", "open"), boxes=((NOTICE,), ()), started="told"),
    case("over 260 bytes", folder=("長い名前のフォルダー" * 4, "玩家文件夹的名字很长" * 4, "プレイヤー" * 4),
         first=("長い名前のフォルダー" * 4, "玩家文件夹的名字很长" * 4), runs=("hand", "open"), boxes=((NOTICE,), ()),
         started="told"),
    case("cut at a character", folder=("A", "漢" * 80, "漢" * 10), first=("A", "漢" * 80), runs=("hand", "open"),
         boxes=((NOTICE,), ()), started="told"),
    *[case(f"percent {p}", folder=(f"Velmora{p}",), first=FOLDER, boxes=((), (PERCENT,)), registered="first")
      for p in ("%1", " %L", "%V", "%2", " 100%")],
    case("fullwidth letter", folder=("Games", "\uff36elmora"), started="told"),
    case("cyrillic", folder=("Games", "Игры"), started="told"),
    case("fullwidth quote", folder=("Games", "Velmora \uff02Q\uff02"), started="told"),
    case("before 1903", folder=("Games", "\uff36elmora"), program="legacy", registered="told", started="told"),
    case("before 1903, spelled", folder=("Games", "Caf\u00e9"), program="legacy"),
    case("before 1903, kana", folder=("Games", "\u30b2\u30fc\u30e0"), program="legacy", locale="ja_JP.UTF-8", code_page="cp932"),
    case("932 name", folder=("Games", "ren2"), program="legacy", name="VelmoraPlayer\u8868\u793a.exe",
         locale="ja_JP.UTF-8", code_page="cp932"),
    case("936 name", folder=("Games", "ren2"), program="legacy", name="VelmoraPlayer\u4e57.exe",
         locale="zh_CN.UTF-8", code_page="cp936"),
    case("system 1251", folder=("Games", "Игры"), acp="1251", code_page="cp1251", ansi=False),
    case("system utf-8", folder=("Games", "Игры"), acp="65001", code_page="utf-8", ansi=False),
    case("crash", program="seam", env={"VELMORA_SEAM_MODULE_NAME": "<crash>"}, runs=("link",), exits=(0xC0000005,),
         boxes=((),), registered="first", started=None),
    case("no short name", folder=("Games", "Игры"), env={"VELMORA_SEAM_NO_SHORT_NAMES": "1"}, **NOWHERE),
    case("no name", env={"VELMORA_SEAM_MODULE_NAME": "<fail>"}, **NOWHERE),
    case("signed-in user", **BY_HAND),
    case("no session user", env={"VELMORA_SEAM_SESSION_USER": "-", "VELMORA_SEAM_ACCOUNT": "Ivan"}, **BY_HAND),
    case("same account in another case", env={"VELMORA_SEAM_SESSION_USER": "Иван", "VELMORA_SEAM_ACCOUNT": "ИВАН"},
         **BY_HAND),
    case("another account", **dict(BY_HAND, env={"VELMORA_SEAM_SESSION_USER": "Ivan", "VELMORA_SEAM_ACCOUNT": "\uff29van"},
                                   boxes=((OTHER_ACCOUNT,),))),
    case("session 0 by hand", **dict(BY_HAND, env={"VELMORA_SEAM_SESSION": "0"}, boxes=((),))),
    case("session 2", **dict(BY_HAND, env={"VELMORA_SEAM_SESSION": "2", "VELMORA_SEAM_SESSION_USER": "Ivan",
                                           "VELMORA_SEAM_ACCOUNT": "Ivan"})),
    case("session 0, refused", **dict(ALONE, program="seam", env={"VELMORA_SEAM_SESSION": "0"},
                                      link="velmor-player:gameinfo:x", boxes=((),))),
    case("bare name", program="seam", env={"VELMORA_SEAM_MODULE_NAME": "VelmoraPlayer.exe"}, runs=("link",),
         exits=(1,), boxes=((FAILED,),), registered="", started=""),
    case("forward slashes", program="seam", env={"VELMORA_SEAM_MODULE_NAME": "C:/VP/x.exe"}, runs=("link",),
         exits=(1,), boxes=((FAILED,),), registered="C:/VP/", started="C:/VP/"),
])
def test_what_a_start_does(wine, build, tmp_path, row):
    first, first_unix = wine.install(*row["first"], build=build)
    wine.run(launcher(first))
    shipped, seam = DIST / build / "VelmoraPlayer.exe", seam_program(build, "VelmoraPlayer")
    program = {"shipped": shipped, "seam": seam, "legacy": legacy_code_page_copy(shipped, tmp_path / "legacy.exe"),
               "legacy seam": legacy_code_page_copy(seam, tmp_path / "legacy.exe")}[row["program"]]
    folder, unix = wine.install(*row["folder"], build=build, client=row["client"],
                                programs={"VelmoraPlayer.exe": program, row["name"]: program})
    link = row["link"](folder) if callable(row["link"]) else row["link"]
    system_code_page = wine.dump("HKLM", NLS)[""]["ACP"][1].rstrip("\0")
    if row["acp"]:  # Wine writes its own at every start, unless it may not
        wine.plant("HKLM", NLS, {"ACP": row["acp"]})
        wine.protect("HKLM", NLS, "D:(A;OICI;KR;;;WD)")
    where = {"here": folder, "first": first, "told": told(wine, folder, row["code_page"])}
    registered, started = (where.get(row[k], row[k]) for k in ("registered", "started"))
    options = dict(env=row["env"], locale=row["locale"])
    narrow = row["code_page"] if row["program"].startswith("legacy") else "utf-8"
    try:
        for kind, exit, boxes in zip(row["runs"], row["exits"], row["boxes"]):
            run = (wine.open_links(link, **options) if kind == "open" else
                   wine.run(f'"{folder}{row["name"]}"' + (f' "{link}"' if kind == "link" else ""), **options))
            assert seen(wine, run, unix, first_unix, ansi=row["ansi"]) == launched(
                registered, kind, started, link, row["ansi"] and row["code_page"], exit, boxes, narrow), kind
    finally:
        wine.protect("HKLM", NLS, "D:(A;OICI;KA;;;WD)")
        wine.plant("HKLM", NLS, {"ACP": system_code_page})


def worked_out(link):
    """What the launcher must do with a link, worked out apart from its code: the values the
    client gets, "refused" (a value empty, ending in a backslash or holding a quote or a control
    character once encoded), or "by hand" where there is no link (the scheme matched case by case)."""
    if "velmor-player:" not in link:
        return "by hand"
    values = tuple(client_argv("", link[link.find("velmor-player:"):])[4:7:2])
    return "refused" if any(not v or v.endswith("\\") or re.search('["\x00-\x1f\x7f]', v) for v in values) else values


def guide_says(name, browser):
    """What the web guide says the client receives from a browser for one of its links: the two
    values, "refused", None where no client starts, or ... where it does not say."""
    kind, number = name.rsplit(" ", 1)
    rows = {"example": guides.table("web.md", "link"), "playLink": guides.table("web.md", "`playLink(ticket, joinUrl)`"),
            "character": guides.table("web.md", "in a value")}.get(kind, [])
    if not number.isdigit() or int(number) > len(rows):
        return ...
    row = rows[int(number) - 1]
    if kind != "character":
        return "refused" if row[1] == "refused" else tuple(row[1:])
    raw, written, got = characters(row[0]), row[1], row[2 if browser == "chromium" else 3]
    written = raw if written == "as it is" else [] if written == "leave it out" else characters(written)
    join = {"the same": raw, "nothing: dropped": []}.get(got, guides.code_spans(got)[:len(raw)] or [got])
    if got.startswith("no client"):
        return None
    return f"x{''.join(written)}y", "h/?x" + ("" if got.startswith("nothing more") else "".join(join) + "y")


# Every link of the web guide and every seed link of the fuzzer as each browser handed it over
# (kept by the browser lane, which holds the browsers to it), Firefox's also as Firefox on
# Windows hands it over, and the seed links as they stand, as other programs may hand them over:
# each delivered through the open command from a folder of its own. For its own links, the client
# receives what the web guide says; for all, what the link gives worked out apart from the code,
# in Unicode and as a 1252 client splits its line.
def test_links_reach_the_client_as_browsers_hand_them_over_and_as_the_web_guide_says(wine, build):
    record, expected = kept(), {}
    for name, _, link in play_links():
        for browser, form in (("chromium", str), ("firefox-esr", str), ("firefox-esr", as_firefox_on_windows)):
            handed, said = record[browser]["handed over"][name], guide_says(name, browser)
            assert (handed is None) == (said is None), (name, browser, handed)
            as_on_linux = browser == "firefox-esr" and form is str
            if handed is not None:
                expected.setdefault(form(handed), set()).add(worked_out(form(handed)) if as_on_linux or said is ... else said)
    for link in seed_links().values():
        expected.setdefault(link, set()).add(worked_out(link))
    assert not {k: v for k, v in expected.items() if len(v) > 1}
    installs = [wine.install("Program Files (x86)", "Velmora \u00dc", str(i), build=build) for i in range(len(expected))]
    commands = [f'{launcher(folder)} "{link}"' for (folder, _), link in zip(installs, expected)]
    runs = [wine.run(*commands[i:i + 60]) for i in range(0, len(commands), 60)]  # Windows waits for 64 at most
    codes, traces = sum((r.exit_codes for r in runs), []), sum((r.traces for r in runs), [])
    boxes = [b for r in runs for calls in r.traces for b in [r.message_boxes(calls)]]
    for (link, [values]), (folder, unix), code, calls, shown in zip(expected.items(), installs, codes, traces, boxes):
        argv = client_argv(folder, f"velmor-player:gameinfo:{values[0]}+placelauncherurl:{values[1]}")
        must = {"by hand": (0, [NOTICE], []), "refused": (1, [INVALID], [])}.get(
            values, (0, [], [(argv, [a.encode("cp1252") for a in argv])]))
        records = [(r["argv"], r["ansiArgv"]) for r in client_records(unix, expected=starts(calls))]
        assert (code, [(text, style) for _, text, _, style in shown], records) == must, link


# Exactly the calls the launcher makes, by hand and for a link, and the modules it loads. Beside
# it waits a DLL that user32.dll imports (a Downloads folder): user32.dll comes only for a box, by
# its full path (Windows 7 knows no search flags), its imports from the system folder too. Each
# key's values go through the handle that created it, then closed; the shell hears of it.
def test_the_launchers_own_calls(wine, build):
    folder, unix = wine.install(*FOLDER, build=build)
    shutil.copy(wine.drive_c() / "windows" / "system32" / "version.dll", unix)
    run = wine.run(launcher(folder))
    expected = registration_calls(folder) + [system_library("wtsapi32.dll"), system_library("shell32.dll"),
                                             ["SHChangeNotify", [0x08000000, 0, 0, 0], ...], system_library("user32.dll"),
                                             ["MessageBoxA", [0, NOTICE[0], "Velmora Player", MB_ICONINFORMATION], 1]]
    assert masked(run.calls, expected) == expected
    assert "c:\\windows\\system32\\version.dll" in run.modules[0]
    assert [m for m in run.modules[0] if m.startswith(folder.lower())] == [folder.lower() + "velmoraplayer.exe"]
    assert len({tuple(a[:1]) for f, a, _ in run.calls[1:4]}) == len({tuple(a[:1]) for f, a, _ in run.calls[5:7]}) == 1
    run = wine.open_links(LINK)
    start = [["CreateProcessA", [0, ..., 0, 0, 0, 0, 0, folder, ..., ...], 1],
             ["CloseHandle", [...], 1], ["CloseHandle", [...], 1]]
    assert masked(run.calls, registration_calls(folder) + start) == registration_calls(folder) + start
    assert run.calls[-1][1] != run.calls[-2][1]
    assert not [m for m in run.modules[0] if m.endswith("\\user32.dll")]
    assert seen(wine, run, unix) == launched(folder, "link", folder)


# Wine's own shell reads the open command, mirrored where Wine routes links (its machine-wide
# classes): its start command delivers a link; links handed to ShellExecuteExW as they stand, as
# other programs than browsers may hand them over, are refused as the web guide says.
def test_the_platform_reads_the_open_command(wine, build):
    folder, unix = wine.install(*FOLDER, build=build)
    wine.run(launcher(folder))
    for path, values in wine.dump("HKCU", CLASS_KEY).items():
        wine.plant("HKLM", "\\".join(filter(None, [MACHINE_KEY, path])), {k: v.rstrip("\0") for k, (_, v) in values.items()})
    assert wine.run(f'C:\\windows\\system32\\start.exe /wait "{LINK}"').exit_codes == [0]
    assert client_records(unix, expected=1) == [client(folder)]
    for link, said in guides.table("web.md", "opened as it stands"):
        run = wine.run(link, shell=True)
        assert (said, run.exit_codes, [b["text"] for b in run.boxes]) == ("refused", [1], [INVALID[0]]), link


# The test-only build keeps the contract of each call it stands in for: unset, or set to what Wine
# itself answers, it runs as the shipped build does, by hand and for a link.
@pytest.mark.parametrize("env", [{}, {"VELMORA_SEAM_MODULE_NAME": "{folder}VelmoraPlayer.exe", "VELMORA_SEAM_SESSION": "1",
                                      "VELMORA_SEAM_SESSION_USER": "Ivan", "VELMORA_SEAM_ACCOUNT": "ivan"}],
                         ids=["unset", "as wine answers"])
def test_the_test_only_build_answers_as_wine_does(wine, build, env):
    folder, unix = wine.install(*FOLDER, build=build, programs={"VelmoraPlayer.exe": seam_program(build, "VelmoraPlayer")})
    options = dict(env={k: v.format(folder=folder) for k, v in env.items()})
    for link, expected in (("", launched(folder, "hand")), (f' "{LINK}"', launched(folder, "link", folder))):
        assert seen(wine, wine.run(launcher(folder) + link, **options), unix) == expected


def test_a_class_key_that_cannot_be_written_stops_neither_the_command_nor_the_client(wine, build):
    folder, unix = wine.install(*FOLDER, build=build)
    wine.plant("HKCU", COMMAND_KEY, {"": "old"})
    wine.protect("HKCU", CLASS_KEY, "D:(A;OICI;0xf003d;;;WD)")  # everything but setting values
    run = wine.run(f'{launcher(folder)} "{LINK}"')
    expected = launched(folder, "link", folder)
    expected["registry"]["user"][""] = {}
    assert seen(wine, run, unix) == expected


def test_a_signed_launcher_still_starts_the_client(wine, build, tmp_path):
    make_certificate(tmp_path)
    signed = tmp_path / "VelmoraPlayer.exe"
    subprocess.run(["osslsigncode", "sign", "-pkcs12", tmp_path / "signer.pfx", "-readpass", tmp_path / "password",
                    "-h", "sha256", "-in", DIST / build / "VelmoraPlayer.exe", "-out", signed],
                   check=True, capture_output=True)
    folder, unix = wine.install(*FOLDER, build=build, programs={"VelmoraPlayer.exe": signed})
    assert seen(wine, wine.run(f'{launcher(folder)} "{LINK}"'), unix) == launched(folder, "link", folder)
    assert wine.verify(folder + "VelmoraPlayer.exe") == 0  # what Windows' own check says of the signature
