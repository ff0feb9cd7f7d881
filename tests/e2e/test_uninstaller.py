"""The real VelmoraPlayerUninstaller.exe, both builds, under Wine, its message boxes answered:
what it removes and leaves, what it tells the user, and its calls from the relay trace."""

import pytest

from calls import masked
from outcome import MB_ICONINFORMATION, MB_ICONQUESTION, MB_ICONWARNING, MB_YESNO, PLACES, outcome, registrations, seen
from programs import legacy_code_page_copy, seam_program
from winehost import CLASS_KEY, DIST, IDNO, IDYES, LEGACY_KEY, MACHINE_KEY, site_host

CAPTION = "Velmora Player Uninstaller"
HKCR, HKCU, ACCESS, OPEN_LINK = 0x80000000, 0x80000001, 0x2001F, 0x8
# Everything but KEY_SET_VALUE: the removal's access is refused, reading is not.
NO_SET_VALUE = "D:(A;OICI;0xf003d;;;WD)"
# A deny rule on writing, as a standard user meets on a machine-wide key.
DENY_WRITE = "D:(D;OICI;0x6;;;WD)(A;OICI;KA;;;WD)"
DEEP = CLASS_KEY + r"\shell" + "".join("\\" + c * 60 for c in "abcd")  # a full path over 260


CONFIRM = ("This will uninstall Velmora Player and remove the protocol handler.\n\n"
           f"After uninstalling, download a fresh copy from {site_host()}/download\n\nContinue?", MB_YESNO | MB_ICONQUESTION)
REMOVED = ("Velmora Player has been uninstalled successfully.\n\nProtocol handler registry entries have been removed.\n\n"
           f"You can now delete this folder and download a fresh copy\nfrom {site_host()}/download", MB_ICONINFORMATION)
NOTHING_FOUND = ("No Velmora Player installation was found in the registry.\n\n"
                 f"You can safely delete this folder and download a fresh copy\nfrom {site_host()}/download",
                 MB_ICONINFORMATION)


def incomplete(user, machine):
    return ("The protocol handler could not be removed completely.\n\n"
            + ("Your user account's registration remains: close any running games and try again.\n\n" if user else "")
            + ("The machine-wide registration remains: run this uninstaller as an administrator.\n\n" if machine else "")
            + "Keep this folder until the uninstaller reports success.", MB_ICONWARNING)


USER_REMAINS, MACHINE_REMAINS = incomplete(True, False), incomplete(False, True)


def uninstall(wine, build, answers=(IDYES,), program=None, env=None):
    """A run of the uninstaller, or of the given copy, or with env of the test-only build: the
    registrations before it, what it did as `seen` tells, and the run."""
    program = seam_program(build, "VelmoraPlayerUninstaller") if env else program
    folder, unix = wine.install("Velmora Games", "Player Folder", build=build,
                                programs=program and {"VelmoraPlayerUninstaller.exe": program})
    before = registrations(wine)
    run = wine.run(f'"{folder}VelmoraPlayerUninstaller.exe"', answers=answers, env=env)
    return before, seen(wine, run, unix), run


def removed(before, *boxes, stays=(), told=1, left=None):
    """An uninstaller run's outcome: the boxes, the places in stays as they were before and the
    rest gone but what left keeps of a place (its keys that stayed), and whether the shell was
    told (whenever a removal was tried on what it found)."""
    registry = {p: before[p] for p in stays} | {p: {k: before[p][k] for k in keys} for p, keys in (left or {}).items()}
    return outcome(boxes=boxes, caption=CAPTION, registry=registry, told=told)


def plant_registration(wine, root, path):
    wine.plant(root, path, {"": "URL:Velmora Player Protocol", "URL Protocol": ""})
    wine.plant(root, path + r"\shell\open\command", {"": '"C:\\V\\VelmoraPlayer.exe" "%1"'})


# Answered No, or shown where nobody can answer it (session 0, the test-only build): the
# confirmation removes nothing and shows nothing more.
@pytest.mark.parametrize("answers, env", [((IDNO,), None), ((), {"VELMORA_SEAM_SESSION": "0"})], ids=["no", "session 0"])
def test_no_answer_removes_nothing(wine, build, answers, env):
    plant_registration(wine, "HKCU", CLASS_KEY)
    before, after, run = uninstall(wine, build, answers=answers, env=env)
    if env:
        assert after == removed(before, stays=PLACES, told=0)
    else:
        assert after == removed(before, CONFIRM, stays=PLACES, told=0)


def as_administrator(wine, build, answers=(IDYES,), **env):
    return uninstall(wine, build, answers=answers, env=dict(env, VELMORA_SEAM_ACCOUNT="Administrator",
                                                            VELMORA_SEAM_MERGED="1"))


STARTED_AS = "This uninstaller was started as the account Administrator, not as the account signed in to Windows"


# A standard user's way to success: the machine-wide registration stays for the user, who is
# told to run the uninstaller as an administrator; that elevates as another account, whose own
# registration is not the user's: it offers to remove the machine-wide one alone, and leaves
# that account's keys. Run once more as the user, it reports success.
def test_a_standard_user_reaches_success_through_an_administrator(wine, build):
    plant_registration(wine, "HKCU", CLASS_KEY)
    plant_registration(wine, "HKLM", MACHINE_KEY)
    wine.protect("HKLM", MACHINE_KEY, DENY_WRITE)
    before, after, _ = uninstall(wine, build)
    assert after == removed(before, CONFIRM, MACHINE_REMAINS, stays=("machine",))
    wine.protect("HKLM", MACHINE_KEY, "D:(A;OICI;KA;;;WD)")  # what an administrator may
    plant_registration(wine, "HKCU", CLASS_KEY)  # the administrator's own, in Wine's one hive
    offer = (STARTED_AS + ". As Administrator it can remove the machine-wide registration, which every account of "
             "this PC shares, but not your own.\n\nRemove the machine-wide registration?", MB_YESNO | MB_ICONQUESTION)
    stays = ("The machine-wide registration could not be removed, not even as the account Administrator.\n\nAsk an "
             "administrator of this PC to run this uninstaller. Keep this folder until the uninstaller reports success.",
             MB_ICONWARNING)
    gone = ("The machine-wide registration has been removed.\n\nRun this uninstaller once more, without \"Run as "
            "administrator\": it removes your own registration if any is left, and tells you when you can delete this "
            "folder.", MB_ICONINFORMATION)
    # Without a machine-wide registration there is nothing it may do for the user.
    nothing = (STARTED_AS + ", and would remove that account's registration instead of yours. Nothing was removed.\n\n"
               "Start it again without \"Run as administrator\".", MB_ICONWARNING)
    for answers, env, boxes, kept, told in [((IDNO,), {}, (offer,), PLACES, 0),
                                            ((IDYES,), {"VELMORA_SEAM_UNDELETABLE": "velmor-player"}, (offer, stays),
                                             ("user",), 1),
                                            ((IDYES,), {}, (offer, gone), ("user",), 1),
                                            ((IDYES,), {}, (nothing,), ("user",), 0)]:
        before, after, _ = as_administrator(wine, build, answers, **env)
        left = {"machine": [""]} if env else None  # its subkeys went
        assert after == removed(before, *boxes, stays=kept, told=told, left=left), boxes
    before, after, _ = uninstall(wine, build)
    assert after == removed(before, CONFIRM, REMOVED)


# The test-only build keeps the contract of the calls it stands in for: with nothing to do, or
# merging over user classes that hold no registration, it removes as the shipped build does.
@pytest.mark.parametrize("env", [{"VELMORA_SEAM_VANISHES": "none such"}, {"VELMORA_SEAM_MERGED": "1"}],
                         ids=["unset", "merged view"])
def test_the_test_only_build_answers_as_wine_does(wine, build, env):
    plant_registration(wine, "HKLM", MACHINE_KEY)
    before, after, _ = uninstall(wine, build, env=env)
    assert after == removed(before, CONFIRM, REMOVED)


def test_a_tree_goes_depth_first_by_full_path_and_its_neighbours_stay(wine, build):
    neighbours = [CLASS_KEY + "2", CLASS_KEY[:-1], CLASS_KEY + ".old", r"Software\velmor-player"]
    for path in neighbours:
        wine.plant("HKCU", path, {"": "keep"})
    for child in (r"b\c", "a", r"shell\open\command"):
        wine.plant("HKCU", CLASS_KEY + "\\" + child, {"v": child})
    before, after, run = uninstall(wine, build)
    assert after == removed(before, CONFIRM, REMOVED)
    # Each level: open, list index 0 until none is left, close, then delete by full path.
    order = ["a", r"b\c", "b", r"shell\open\command", r"shell\open", "shell", ""]
    path = lambda p: CLASS_KEY + ("\\" + p if p else "")
    deletes = [["RegDeleteKeyA", [HKCU, path(p)], 0] for p in order]
    assert [c for c in run.calls if c[0] == "RegDeleteKeyA"] == deletes
    # Each key is opened as itself, never as what it may link to.
    opened = [c for c in run.calls if c[0] == "RegOpenKeyExA" and c[1][3] == ACCESS]
    keys = [(HKCU, CLASS_KEY, 0)] + [(HKCU, path(p), 0) for p in ("a", "b", r"b\c", "shell", r"shell\open",
                                                                    r"shell\open\command")]
    expected = [["RegOpenKeyExA", [root, p, OPEN_LINK, ACCESS, ...], r]
                for root, p, r in keys + [(HKCR, "velmor-player", 2), (HKCU, LEGACY_KEY, 2)]]
    assert masked(opened, expected) == expected
    assert {(a[1], *a[4:]) for f, a, _ in run.calls if f == "RegEnumKeyExA"} == {(0, 0, 0, 0, 0)}
    for before, after in zip(run.calls, run.calls[1:]):
        if after[0] == "RegDeleteKeyA":
            assert before[0] == "RegCloseKey"
    for path in neighbours:
        assert wine.dump("HKCU", path) == {"": {"": (1, "keep\0")}}
        wine.remove("HKCU", path)
    # The shell hears that the association is gone, once it is.
    notified = [c[:2] for c in run.calls].index(["SHChangeNotify", [0x08000000, 0, 0, 0]])  # returns nothing
    assert notified > max(i for i, c in enumerate(run.calls) if c[0] == "RegDeleteKeyA")


KEEP = r"Software\Velmora Test Keep"
USER, MACHINE, OLD = ("HKCU", CLASS_KEY), ("HKLM", MACHINE_KEY), ("HKCU", LEGACY_KEY)
PLACE = {USER: "user", MACHINE: "machine", OLD: "legacy"}
ICON = ("HKCU", CLASS_KEY + r"\DefaultIcon")


# What is planted, what then stays, and what the user is told; another tree of the user's stays.
# The longest key name (255 characters of three UTF-8 bytes) is listed whole, but Wine's narrow
# API opens no path over 260. Keys that will not open, or refuse their removal or their subkeys'
# (the test-only build, for what Wine cannot refuse). Registry links, never gone through: inside
# the tree, or as the class key, to keys with subkeys, without, or to nothing; a value named as a
# link's that is none. A subkey name a legacy code page cannot spell. The user's key in the merged
# class root is not the machine-wide one. A subkey another uninstaller removed just after this one
# listed it is gone, as wanted.
@pytest.mark.parametrize("plant, links, protect, env, stays, message", [
    ([], [], None, None, [], NOTHING_FOUND),
    ([OLD], [], None, None, [], REMOVED),
    ([MACHINE], [], None, None, [], REMOVED),
    ([("HKCU", CLASS_KEY + "\\shell\\" + "\u00e9" * 200)], [], None, None, [], REMOVED),
    ([("HKCU", CLASS_KEY + "\\shell\\" + "\u6f22" * 255)], [], None, None, [USER], USER_REMAINS),
    ([USER], [], (*USER, "D:(A;;WD;;;WD)"), None, [USER], USER_REMAINS),
    ([MACHINE], [], (*MACHINE, DENY_WRITE), None, [MACHINE], MACHINE_REMAINS),
    ([ICON], [], (*ICON, NO_SET_VALUE), None, [USER], USER_REMAINS),
    ([OLD, ICON, MACHINE], [], (*ICON, NO_SET_VALUE), None, [USER], USER_REMAINS),
    ([("HKCU", DEEP)], [], None, None, [USER], USER_REMAINS),
    ([("HKCU", LEGACY_KEY + r"\shell")], [], None, {"VELMORA_SEAM_UNDELETABLE": r"-old\shell"}, [(OLD, ["", "shell"])],
     USER_REMAINS),
    ([MACHINE], [], None, {"VELMORA_SEAM_UNDELETABLE": "velmor-player"}, [(MACHINE, [""])], MACHINE_REMAINS),
    ([USER], [], None, {"VELMORA_SEAM_UNDELETABLE": r"\command", "VELMORA_SEAM_MERGED": "1"}, [USER], USER_REMAINS),
    ([USER], [], None, {"VELMORA_SEAM_VANISHES": r"\open\command"}, [], REMOVED),
    ([USER], [(CLASS_KEY + r"\shell\ln", KEEP + r"\sub")], None, None, [USER], USER_REMAINS),
    ([], [(CLASS_KEY, KEEP)], None, None, [USER], USER_REMAINS),
    ([USER], [(CLASS_KEY + r"\shell\ln", KEEP + r"\none")], None, None, [USER], USER_REMAINS),
    ([], [(CLASS_KEY, KEEP + r"\none")], None, None, [], USER_REMAINS),
    ([(*USER, {"SymbolicLinkValue": "not a link"})], [], None, None, [], REMOVED),
    ([("HKCU", CLASS_KEY + "\\DefaultIcon\\\u0417\u043d\u0430\u0447\u043e\u043a"), OLD], [], None, "legacy", [USER],
     USER_REMAINS),
], ids=["nothing", "legacy", "machine-wide", "long name", "longest name", "will not open", "machine-wide denied",
        "subkey refuses", "subkey refuses, others go", "path over 260", "legacy will not go", "machine-wide will not go",
        "merged view", "subkey vanishes", "link inside", "class key a link", "dangling link", "class key a dangling link",
        "named like a link", "name outside the legacy code page"])
def test_the_outcome_tells_what_stays(wine, build, tmp_path, plant, links, protect, env, stays, message):
    wine.plant("HKCU", KEEP + r"\sub", {"": "keep"})
    keep = wine.dump("HKCU", KEEP)
    for root, path, *values in plant:
        plant_registration(wine, root, path)
        wine.plant(root, path, *values)
    for path, target in links:
        wine.link(path, target)
    if protect:
        wine.protect(*protect)
    program = DIST / build / "VelmoraPlayerUninstaller.exe"
    before, after, run = uninstall(wine, build, env=env if isinstance(env, dict) else None,
                                   program=env == "legacy" and legacy_code_page_copy(program, tmp_path / program.name))
    assert {r for f, _, r in run.calls if f == "RegEnumKeyExA"} <= {0, 259}  # a subkey, or no more
    if protect:
        wine.protect(protect[0], protect[1], "D:(A;OICI;KA;;;WD)")
    left = {PLACE[key]: keys for key, keys in stays if isinstance(keys, list)}
    assert after == removed(before, CONFIRM, message, stays=[PLACE[key] for key in stays if not isinstance(key[1], list)],
                            told=int(message != NOTHING_FOUND), left=left)
    assert wine.dump("HKCU", KEEP) == keep
    wine.remove("HKCU", KEEP)


def test_a_subkey_that_will_not_go_stops_the_removal(wine, build):
    for child in "abc":
        wine.plant("HKCU", CLASS_KEY + "\\" + child + r"\leaf")
    wine.protect("HKCU", CLASS_KEY + r"\b\leaf", NO_SET_VALUE)
    before, after, run = uninstall(wine, build)
    assert [a[1] for f, a, _ in run.calls if f == "RegDeleteKeyA"] == [CLASS_KEY + r"\a\leaf", CLASS_KEY + r"\a"]
    expected = removed(before, CONFIRM, USER_REMAINS)
    expected["registry"]["user"] = {k: v for k, v in before["user"].items() if not k.startswith("a")}
    assert after == expected
