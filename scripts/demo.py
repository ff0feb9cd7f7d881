"""Shows the release at work under Wine: the launcher registers and shows its notice, a play
link is opened the way the platform opens it, the command line the stand-in client received
is printed, and the uninstaller removes the registration again. Each message box is saved as
a PNG in demo-output/."""

import shutil
import struct
import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "winehost"))
from driver import client_records  # noqa: E402
from winehost import CLASS_KEY, COMMAND_KEY, IDYES, Wine, make_workdir  # noqa: E402

OUTPUT = Path(__file__).resolve().parents[1] / "demo-output"
LINK = ("velmor-player:1+launchmode:play+gameinfo:DEMO-TICKET-1234"
        "+placelauncherurl:https://www.velmora.example/Game/PlaceLauncher.ashx?placeId=1818")


def show(run, shots):
    for box, path in zip(run.boxes, shots[-len(run.boxes):] if run.boxes else []):
        print(f"  message box \"{box['caption']}\": {box['text']!r} -> {path.relative_to(OUTPUT.parent)}")
    print(f"  exit code {run.exit_codes[0]}")


def main():
    shutil.rmtree(OUTPUT, ignore_errors=True)
    OUTPUT.mkdir()
    shots = []

    def shot():
        path = OUTPUT / f"box-{len(shots) + 1}.png"
        shots.append(path)
        return path

    workdir = make_workdir()
    try:
        with Wine(workdir) as wine:
            build = wine.builds[0]
            if build != "win32":
                print(f"Showing the 64-bit programs (dist/win64): {wine.why}.")
            # Where the player guide tells players to put it: %LOCALAPPDATA%\Programs\Velmora Player.
            [user] = [d.name for d in (wine.drive_c() / "users").iterdir() if d.name != "Public"]
            folder, unix = wine.install("users", user, "AppData", "Local", "Programs", "Velmora Player", build=build)
            print(f"1. Starting {folder}VelmoraPlayer.exe once, as a user does after unpacking it")
            run = wine.run(f'"{folder}VelmoraPlayer.exe"', screenshots=shot)
            show(run, shots)
            command = wine.dump("HKCU", COMMAND_KEY)[""][""][1].rstrip("\0")
            print(f"2. Registered open command: {command}")
            print(f"3. Opening the link {LINK}")
            run = wine.open_links(LINK, screenshots=shot)
            show(run, shots)
            [record] = client_records(unix, expected=1)
            print("4. The client received this command line:")
            print(f"  {record['commandLine']}")
            print("  which splits into:")
            for argument in record["argv"]:
                print(f"    {argument}")
            print(f"  in the folder {record['currentDirectory']}")
            print(f"5. Running {folder}VelmoraPlayerUninstaller.exe and answering Yes")
            run = wine.run(f'"{folder}VelmoraPlayerUninstaller.exe"', answers=[IDYES], screenshots=shot)
            show(run, shots)
            left = wine.dump("HKCU", CLASS_KEY)
            print(f"6. HKEY_CURRENT_USER\\{CLASS_KEY} is {'still there: ' + str(left) if left else 'gone'}")
    finally:
        shutil.rmtree(workdir, ignore_errors=True)
    print(f"Screenshots: {', '.join(str(p.relative_to(OUTPUT.parent)) for p in shots)}")
    # The programs' icon: its largest picture, which the .ico holds as a PNG.
    icon = (OUTPUT.parent / "shared" / "icon" / "velmora.ico").read_bytes()
    size, offset = struct.unpack_from("<II", icon, 6 + 16 * (icon[4] - 1) + 8)
    (OUTPUT / "icon-256.png").write_bytes(icon[offset:offset + size])
    print("Icon: demo-output/icon-256.png")


if __name__ == "__main__":
    main()
