"""The fuzzer's seed corpus of hostile links, all delivered at once to the real launcher of
each build under Wine, each from a folder of its own, held to the fuzzer's own oracle: refused,
or the client sees exactly the ten arguments the oracle expects, both through
CommandLineToArgvW and through the C runtime's split of its narrow command line in Wine's
default 1252 code page, where best-fit conversion has had its say."""

import json
import subprocess

from winehost import MB_ICONERROR, MB_ICONINFORMATION, ROOT, client_records, site_host, starts

CORPUS = ROOT / "tests" / "fuzz" / "corpus"
ORACLE = ROOT / "build" / "host" / "tests" / "fuzz" / "link_oracle"
PLATFORM_FORM = '"C:\\Program Files (x86)\\Velmora \u00dc\\VelmoraPlayer.exe" "'
LINES = {p.name: p.read_bytes().decode("utf-8", "replace") for p in sorted(CORPUS.iterdir())}
# The entries shaped the way the platform builds a command line, as the link it delivers.
ENTRIES = {name: line[len(PLATFORM_FORM):-1] for name, line in LINES.items()
           if line.startswith(PLATFORM_FORM) and line.endswith('"')}


def test_every_corpus_link_is_refused_or_reaches_the_client_whole(wine, build):
    answers = subprocess.run([str(ORACLE), *(str(CORPUS / name) for name in ENTRIES)], check=True,
                             capture_output=True, text=True).stdout.splitlines()
    expected = dict(zip(ENTRIES, map(json.loads, answers)))
    assert len(ENTRIES) >= 25 and {e["refused"] for e in expected.values() if e["hasLink"]} == {True, False}
    folders = {name: wine.install("Program Files (x86)", "Velmora \u00dc", name, build=build) for name in ENTRIES}
    run = wine.run(*[f'"{folders[name][0]}VelmoraPlayer.exe" "{link}"' for name, link in ENTRIES.items()])
    for (name, e), code, calls in zip(expected.items(), run.exit_codes, run.traces):
        folder, unix = folders[name]
        boxes = [(text, style) for _, text, _, style in run.message_boxes(calls)]
        if not e["hasLink"]:  # the scheme is matched case by case, like every search here
            outcome = (0, [MB_ICONINFORMATION], [])
        elif e["refused"]:
            outcome = (1, [("Invalid launch URL.", MB_ICONERROR)], [])
        else:
            arguments = [folder + "OlvanePlayerBetaRaw.exe", "--authenticationUrl",
                         f"http://{site_host()}/Login/Negotiate.ashx",
                         "--authenticationTicket", bytes.fromhex(e["ticket"]).decode(),
                         "--joinScriptUrl", bytes.fromhex(e["joinScriptUrl"]).decode(),
                         "--content", folder + "content", "--play"]
            outcome = (0, [], [(arguments, [a.encode("cp1252") for a in arguments])])
        assert starts(calls) == len(outcome[2]), name
        records = [(r["argv"], r["ansiArgv"]) for r in client_records(unix, len(outcome[2]))]
        seen = (code, [s for _, s in boxes] if not e["hasLink"] else boxes, records)
        assert seen == outcome, name
