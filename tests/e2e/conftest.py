import os
import shutil

import pytest

from winehost import CLASS_KEY, LEGACY_KEY, MACHINE_KEY, Wine, make_workdir


@pytest.fixture(scope="session")
def wine():
    workdir = make_workdir()
    host = Wine(workdir).start()
    yield host
    host.stop()
    if "VELMORA_WINE_DIR" not in os.environ:
        shutil.rmtree(workdir, ignore_errors=True)


# Every end-to-end test runs against both shipped builds.
@pytest.fixture(params=["win32", "win64"])
def build(request):
    return request.param


@pytest.fixture(autouse=True)
def clean_registration(wine):
    wine.remove("HKCU", CLASS_KEY, LEGACY_KEY)
    wine.remove("HKLM", MACHINE_KEY)
