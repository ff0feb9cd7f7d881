import shutil

import pytest

from winehost import CLASS_KEY, LEGACY_KEY, MACHINE_KEY, Wine, make_workdir


@pytest.fixture(scope="session")
def wine():
    workdir = make_workdir()
    host = Wine(workdir).start()
    yield host
    host.stop()
    shutil.rmtree(workdir, ignore_errors=True)


@pytest.fixture(autouse=True)
def clean_registration(wine):
    wine.remove("HKCU", CLASS_KEY)
    wine.remove("HKCU", LEGACY_KEY)
    wine.remove("HKLM", MACHINE_KEY)
    yield
