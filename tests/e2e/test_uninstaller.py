"""The real 32-bit VelmoraPlayerUninstaller.exe under Wine, its message boxes answered."""

import pytest

from winehost import (CLASS_KEY, IDNO, IDYES, LEGACY_KEY, MACHINE_KEY, MB_ICONINFORMATION,
                      MB_ICONQUESTION, MB_ICONWARNING, MB_YESNO, site_host)

CAPTION = "Velmora Player Uninstaller"


def confirm_text():
    return ("This will uninstall Velmora Player and remove the protocol handler.\n\n"
            f"After uninstalling, download a fresh copy from {site_host()}/download\n\nContinue?")


def removed_text():
    return ("Velmora Player has been uninstalled successfully.\n\n"
            "Protocol handler registry entries have been removed.\n\n"
            f"You can now delete this folder and download a fresh copy\nfrom {site_host()}/download")


def nothing_found_text():
    return ("No Velmora Player installation was found in the registry.\n\n"
            f"You can safely delete this folder and download a fresh copy\nfrom {site_host()}/download")


def incomplete_text(user, machine):
    return ("The protocol handler could not be removed completely.\n\n"
            + ("Your user account's registration remains: close any running games and try again.\n\n" if user else "")
            + ("The machine-wide registration remains: run this uninstaller as an administrator.\n\n" if machine else "")
            + "Keep this folder until the uninstaller reports success.")


# Everything but KEY_SET_VALUE: the removal's access is refused, reading is not.
NO_SET_VALUE = "D:(A;;0xf003d;;;WD)"
# A deny rule on writing, as a standard user meets on a machine-wide key.
DENY_WRITE = "D:(D;;0x6;;;WD)(A;;KA;;;WD)"


def uninstall(wine, answers=(IDYES,)):
    folder, _ = wine.install("Velmora Games", "Player Folder")
    run = wine.run(f'"{folder}VelmoraPlayerUninstaller.exe"', answers=answers)
    assert run.exit_codes == [0]
    return run


def expect_boxes(run, *expected):
    assert [(c["owner"], c["caption"], c["text"], c["style"]) for c in run.calls] == [
        (0, CAPTION, text, style) for text, style in expected]
    assert [(b["caption"], b["text"]) for b in run.boxes] == [(CAPTION, text) for text, _ in expected]


def plant_tree(wine, root, path):
    """A registration as the launcher leaves it, plus a wide and deep tree with values."""
    wine.plant(root, path, {"": "URL:Velmora Player Protocol", "URL Protocol": ""})
    wine.plant(root, path + r"\shell\open\command", {"": '"C:\\V\\VelmoraPlayer.exe" "%1"'})
    for i in range(6):
        wine.plant(root, path + rf"\wide{i}", {"v": str(i)})
    wine.plant(root, path + r"\deep\a\b\c\d\e\f\g", {"": "deepest", "x": "y"})
    wine.plant(root, path + r"\deep\a\b", {"level": "b"})


def test_no_removes_nothing(wine):
    folder, _ = wine.install("Velmora Games", "Player Folder")
    wine.run(f'"{folder}VelmoraPlayer.exe"')
    before = wine.dump("HKCU", CLASS_KEY)
    run = uninstall(wine, answers=(IDNO,))
    expect_boxes(run, (confirm_text(), MB_YESNO | MB_ICONQUESTION))
    assert wine.dump("HKCU", CLASS_KEY) == before != {}


def test_after_a_launcher_start_the_whole_class_key_goes(wine):
    folder, _ = wine.install("Velmora Games", "Player Folder")
    wine.run(f'"{folder}VelmoraPlayer.exe"')
    assert wine.dump("HKCU", CLASS_KEY)
    run = uninstall(wine)
    expect_boxes(run, (confirm_text(), MB_YESNO | MB_ICONQUESTION), (removed_text(), MB_ICONINFORMATION))
    assert wine.dump("HKCU", CLASS_KEY) == {}


def test_nothing_registered_says_nothing_was_found(wine):
    run = uninstall(wine)
    expect_boxes(run, (confirm_text(), MB_YESNO | MB_ICONQUESTION), (nothing_found_text(), MB_ICONINFORMATION))


def test_only_the_legacy_key_with_a_subtree(wine):
    plant_tree(wine, "HKCU", LEGACY_KEY)
    run = uninstall(wine)
    expect_boxes(run, (confirm_text(), MB_YESNO | MB_ICONQUESTION), (removed_text(), MB_ICONINFORMATION))
    assert wine.dump("HKCU", LEGACY_KEY) == {}


def test_a_machine_wide_registration_goes_through_the_class_view(wine):
    plant_tree(wine, "HKLM", MACHINE_KEY)
    assert wine.dump("HKCR", "velmor-player")
    run = uninstall(wine)
    expect_boxes(run, (confirm_text(), MB_YESNO | MB_ICONQUESTION), (removed_text(), MB_ICONINFORMATION))
    assert wine.dump("HKLM", MACHINE_KEY) == {}


def test_wide_deep_trees_go_and_similar_names_stay(wine):
    neighbours = [r"Software\Classes\velmor-player2", r"Software\Classes\velmor-playe",
                  r"Software\Classes\velmor-player.old", r"Software\Classes\xvelmor-player",
                  r"Software\Classes\velmor-player-old2", r"Software\velmor-player"]
    for path in neighbours:
        wine.plant("HKCU", path + r"\shell\open\command", {"": "keep"})
    wine.plant("HKLM", r"Software\Classes\velmor-player-old\shell", {"": "keep"})
    plant_tree(wine, "HKCU", CLASS_KEY)
    plant_tree(wine, "HKCU", LEGACY_KEY)

    uninstall(wine)
    assert wine.dump("HKCU", CLASS_KEY) == {} and wine.dump("HKCU", LEGACY_KEY) == {}
    for path in neighbours:
        assert wine.dump("HKCU", path)[r"shell\open\command"] == {"": (1, 10, "keep\0")}
        wine.remove("HKCU", path)
    assert wine.dump("HKLM", r"Software\Classes\velmor-player-old")["shell"] == {"": (1, 10, "keep\0")}
    wine.remove("HKLM", r"Software\Classes\velmor-player-old")


def test_a_long_non_ascii_key_name_is_removed(wine):
    # 200 letters of two bytes each in the uninstaller's UTF-8 code page.
    plant_tree(wine, "HKCU", CLASS_KEY)
    wine.plant("HKCU", CLASS_KEY + "\\shell\\" + "\u00e9" * 200, {"": "x"})
    run = uninstall(wine)
    expect_boxes(run, (confirm_text(), MB_YESNO | MB_ICONQUESTION), (removed_text(), MB_ICONINFORMATION))
    assert wine.dump("HKCU", CLASS_KEY) == {}


def deep_path(base):
    """A tree below base whose full path passes 260 characters."""
    return base + "".join("\\" + c * 60 for c in "abcd")


# What stays is held against what was planted: (root, path) of every tree, and the user's
# and the machine-wide part of the warning.
@pytest.mark.parametrize("plant, protect, user, machine", [
    ([("HKCU", CLASS_KEY), ("HKLM", MACHINE_KEY)], ("HKLM", MACHINE_KEY, DENY_WRITE), False, True),
    ([("HKCU", CLASS_KEY)], ("HKCU", CLASS_KEY + r"\DefaultIcon", NO_SET_VALUE), True, False),
    ([("HKCU", CLASS_KEY), ("HKCU", LEGACY_KEY)], ("HKCU", CLASS_KEY + r"\DefaultIcon", NO_SET_VALUE), True, False),
    ([("HKCU", CLASS_KEY), ("HKCU", deep_path(CLASS_KEY + r"\shell"))], None, True, False),
], ids=["machine-wide denied", "subkey refuses", "subkey refuses, legacy key goes", "path over 260"])
def test_a_removal_that_fails_is_reported_as_such(wine, plant, protect, user, machine):
    for root, path in plant:
        wine.plant(root, path, {"URL Protocol": ""})
    if protect:
        wine.plant(protect[0], protect[1], {"": "icon"})
        wine.protect(*protect)
    run = uninstall(wine)
    expect_boxes(run, (confirm_text(), MB_YESNO | MB_ICONQUESTION),
                 (incomplete_text(user, machine), MB_ICONWARNING))
    assert bool(wine.dump("HKCU", CLASS_KEY)) == user
    assert bool(wine.dump("HKLM", MACHINE_KEY)) == machine
    assert wine.dump("HKCU", LEGACY_KEY) == {}
