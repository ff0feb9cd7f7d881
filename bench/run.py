"""The launch benchmark: under Wine, the time from a play link being opened to the client
process running, for VelmoraPlayer.exe against a baseline that only starts the same client.
Run it with bench/run.sh; it prints medians over RUNS alternating runs, their ratio and the
program sizes."""

import shutil
import statistics
import sys
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
sys.path.insert(0, str(ROOT / "winehost"))
from winehost import BUILDS, DIST, OUTPUT, Wine, make_workdir, site_host  # noqa: E402

TICKET = "BENCH-TICKET-0001"
JOIN_URL = "https://www.velmora.example/Game/PlaceLauncher.ashx?placeId=1818"
LINK = f"velmor-player:1+launchmode:play+gameinfo:{TICKET}+placelauncherurl:{JOIN_URL}"


def main():
    runs = int(sys.argv[1]) if len(sys.argv) > 1 else 40
    workdir = make_workdir()
    try:
        with Wine(workdir) as wine:
            # The 32-bit build is the one to ship, and measured wherever the machine runs it.
            build = wine.builds[0]
            bench = OUTPUT / BUILDS[build] / "bench"
            folder, unix = wine.install("Games", "Velmora Player", build=build)
            shutil.copy(bench / "baseline.exe", unix)
            wine.run(f'"{folder}VelmoraPlayer.exe"')  # registers the scheme
            client = (f'"{folder}OlvanePlayerBetaRaw.exe" --authenticationUrl "http://{site_host()}/Login/Negotiate.ashx" '
                      f'--authenticationTicket "{TICKET}" --joinScriptUrl "{JOIN_URL}" --content "{folder}content" --play')
            [times], _ = wine.execute(bench / "bench.exe", str(runs), LINK, client, timeout=600)
    finally:
        shutil.rmtree(workdir, ignore_errors=True)

    failed = [name for name, values in times.items() if min(values) < 0]
    if failed:
        sys.exit(f"the client did not start under: {', '.join(failed)}")
    launcher, baseline = statistics.median(times["launcher"]), statistics.median(times["baseline"])
    print(f"build: {build}" + ("" if build == "win32" else f" ({wine.why})"))
    print(f"runs: {runs} of each, alternating")
    print(f"launcher median: {launcher:.1f} ms (min {min(times['launcher']):.1f}, max {max(times['launcher']):.1f})")
    print(f"baseline median: {baseline:.1f} ms (min {min(times['baseline']):.1f}, max {max(times['baseline']):.1f})")
    print(f"ratio launcher / baseline: {launcher / baseline:.2f}")
    for program in ("VelmoraPlayer.exe", "VelmoraPlayerUninstaller.exe"):
        print(f"size {program}: win32 {(DIST / 'win32' / program).stat().st_size:,} bytes, "
              f"win64 {(DIST / 'win64' / program).stat().st_size:,} bytes")


if __name__ == "__main__":
    main()
