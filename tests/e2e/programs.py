"""The programs as only the tests run them: the test-only builds with the seam, and copies as
Windows before 10 1903 runs them."""

from winehost import BUILDS, OUTPUT


def seam_program(build, program):
    """The test-only build of a program, with the seam, for the given build."""
    return OUTPUT / BUILDS[build] / "tests" / "wine" / f"{program}Seam.exe"


def legacy_code_page_copy(program, copy):
    """The program as Windows before 10 1903 runs it, which ignores the manifest's UTF-8 code
    page: here, with that element commented out in place."""
    element = b'<activeCodePage xmlns="http://schemas.microsoft.com/SMI/2019/WindowsSettings">UTF-8</activeCodePage>'
    data = program.read_bytes()
    assert data.count(element) == 1
    copy.write_bytes(data.replace(element, b"<!--" + element[4:-3] + b"-->"))
    return copy
