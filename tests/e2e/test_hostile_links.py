"""The fuzzer's seed corpus of hostile links, delivered to the real 32-bit launcher under
Wine, held to the fuzzer's own oracle: refused, or the client sees exactly the ten arguments
the oracle expects, both through CommandLineToArgvW and through the C runtime's split of its
narrow command line in Wine's default 1252 code page."""

import json
import subprocess
from pathlib import Path

import pytest

from winehost import MB_ICONERROR, MB_ICONINFORMATION, ROOT, client_records

CORPUS = ROOT / "tests" / "fuzz" / "corpus"
ORACLE = ROOT / "build" / "host" / "tests" / "fuzz" / "link_oracle"
FOLDER = ("Program Files (x86)", "Velmora \u00dc")  # the install folder the oracle assumes
PLATFORM_FORM = '"C:\\Program Files (x86)\\Velmora \u00dc\\VelmoraPlayer.exe" "'


def deliverable(path):
    """The link in a corpus entry shaped the way the platform builds a command line."""
    try:
        line = path.read_bytes().decode("utf-8")
    except UnicodeDecodeError:
        return None
    if line.startswith(PLATFORM_FORM) and line.endswith('"'):
        return line[len(PLATFORM_FORM):-1]
    return None


ENTRIES = sorted(p for p in CORPUS.iterdir() if deliverable(p) is not None)


@pytest.fixture(scope="module")
def expectations():
    lines = subprocess.run([str(ORACLE), *map(str, ENTRIES)], check=True, capture_output=True,
                           text=True).stdout.splitlines()
    return {Path(e["file"]).name: e for e in map(json.loads, lines)}


def test_the_batch_has_both_outcomes(expectations):
    outcomes = {e["refused"] for e in expectations.values()}
    assert len(ENTRIES) >= 20 and outcomes == {True, False}


@pytest.mark.parametrize("entry", ENTRIES, ids=[p.name for p in ENTRIES])
def test_a_corpus_link_under_wine(wine, expectations, entry):
    folder, unix = wine.install(*FOLDER)
    wine.run(f'"{folder}VelmoraPlayer.exe"')
    expected = expectations[entry.name]
    run = wine.open_links(deliverable(entry))
    if not expected["hasLink"]:  # the scheme is matched case by case, like every search here
        assert run.exit_codes == [0]
        assert [c["style"] for c in run.calls] == [MB_ICONINFORMATION]
        assert client_records(unix, 0) == []
    elif expected["refused"]:
        assert run.exit_codes == [1]
        assert [(c["text"], c["style"]) for c in run.calls] == [("Invalid launch URL.", MB_ICONERROR)]
        assert client_records(unix, 0) == []
    else:
        assert run.exit_codes == [0] and run.calls == []
        [record] = client_records(unix, 1)
        arguments = [bytes.fromhex(a).decode("utf-8") for a in expected["clientArguments"]]
        assert record["argv"] == arguments
        # A client in the legacy code page reads the line through best-fit conversion.
        assert [bytes.fromhex(a) for a in record["ansiArgv"]] == [a.encode("cp1252") for a in arguments]
