"""Calls expected in a program's trace, where the calls themselves are what a test holds."""


def system_library(name):
    """The expected call that loads a system DLL by its full path, and its own imports from
    the system folder too (LOAD_WITH_ALTERED_SEARCH_PATH)."""
    return ["LoadLibraryExA", ["C:\\windows\\system32\\" + name, 0, 0x8], ...]


def masked(calls, expected):
    """The calls, with every argument and result that the expected list gives as ... masked the
    same way."""
    if len(calls) != len(expected):
        return calls
    return [[f, [... if e is ... else x for x, e in zip(a, ea)] if len(a) == len(ea) else a, ... if er is ... else r]
            for (f, a, r), (_, ea, er) in zip(calls, expected)]
