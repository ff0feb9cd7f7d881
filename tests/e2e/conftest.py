import os
import shutil

import pytest

from winehost import CLASS_KEY, LEGACY_KEY, MACHINE_KEY, Wine, make_workdir


class CheckedWine(Wine):
    """Every program run in a test must close each key and handle it opened."""

    def run(self, *command_lines, **options):
        run = super().run(*command_lines, **options)
        for calls in run.traces:
            count = lambda name, result=None: sum(1 for f, _, r in calls if f == name and result in (None, r))
            opened = count("RegCreateKeyExA", 0) + count("RegOpenKeyExA", 0)
            assert count("RegCloseKey", 0) == count("RegCloseKey") == opened, calls
            assert count("CloseHandle", 1) == count("CloseHandle") == 2 * count("CreateProcessA", 1), calls
        return run


ran = []


@pytest.fixture(scope="session")
def wine():
    workdir = make_workdir()
    with CheckedWine(workdir) as host:
        ran.append(host)
        yield host
    if "VELMORA_WINE_DIR" not in os.environ:
        shutil.rmtree(workdir, ignore_errors=True)


# Every end-to-end test runs against both shipped builds, where the machine can run them.
@pytest.fixture(params=["win32", "win64"])
def build(request, wine):
    if request.param not in wine.builds:
        pytest.skip(f"{request.param} not run: {wine.why}")
    return request.param


def pytest_terminal_summary(terminalreporter):
    for host in ran:
        terminalreporter.write_line(f"Under Wine: {' and '.join(host.builds)}, since {host.why}")


@pytest.fixture(autouse=True)
def clean_registration(wine):
    wine.remove("HKCU", CLASS_KEY, "HKCU", LEGACY_KEY, "HKLM", MACHINE_KEY)

