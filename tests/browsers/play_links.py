"""The play links the browser lane opens, and what browsers handed over for each."""

import json
import re
from pathlib import Path

import guides

ROOT = Path(__file__).resolve().parents[2]
KEPT = Path(__file__).with_name("handed-over.json")
# How the fuzzer's seed links stand in a command line: the launcher's path, then the link quoted.
CORPUS_FORM = '"C:\\Program Files (x86)\\Velmora \u00dc\\VelmoraPlayer.exe" "'
# Inputs the web guide's playLink() must carry through every browser unchanged, beside its own.
HARD_CALLS = [
    r'''playLink("Жё\t\"\\'%zz%4", "https://play.example.com/p'a|t^h/%7e{x}?a=%C3(&b=\\&c=`&d=%ZZ#f")''',
    r'''playLink("~!*()$[]", "https://Пример.example/путь?q=a+b|c&r=x%2by")''',
]


def seed_links():
    """The fuzzer's seed links, by the name of their file, as the open command quotes them."""
    lines = {p.name: p.read_bytes().decode("utf-8", "replace") for p in sorted((ROOT / "tests/fuzz/corpus").iterdir())}
    return {name: line[len(CORPUS_FORM):-1] for name, line in lines.items()
            if line.startswith(CORPUS_FORM) and line.endswith('"')}


def characters(cell):
    """The characters a cell of the web guide's character table names."""
    return {"a blank": [" "], "a tab": ["\t"]}.get(cell) or guides.code_spans(cell) or [cell]


def character_link(row):
    """A link for a row of the web guide's character table: the characters written as it says in
    the ticket, as they are in the join URL's query."""
    raw = characters(row[0])
    written = raw if row[1] == "as it is" else [] if row[1] == "leave it out" else characters(row[1])
    return f"velmor-player:gameinfo:x{''.join(written)}y+placelauncherurl:h/?x{''.join(raw)}y"


def play_links():
    """Every play link the web guide shows, and the fuzzer's seed links: (name, "link", the link)
    or (name, "call", a playLink(...) call that makes it)."""
    calls = [row[0] for row in guides.table("web.md", "`playLink(ticket, joinUrl)`")] + HARD_CALLS
    return [*[(f"example {i}", "link", row[0]) for i, row in enumerate(guides.table("web.md", "link"), 1)],
            *[(f"playLink {i}", "call", call) for i, call in enumerate(calls, 1)],
            *[(f"character {i}", "link", character_link(row))
              for i, row in enumerate(guides.table("web.md", "in a value"), 1)],
            *[(f"seed {name}", "link", link) for name, link in seed_links().items()]]


def kept():
    """What each browser handed over for each link, by its name, and the browser's version."""
    return json.loads(KEPT.read_text())


def encoded(value):
    """A link's value as the client gets it: every byte outside ASCII percent-encoded."""
    return "".join(c if c.isascii() else "".join(f"%{b:02X}" for b in c.encode()) for c in value)


def as_firefox_on_windows(link):
    """Firefox on Windows decodes the escapes of bytes 0x80-0xFF before it hands a link to the
    shell, where the link then reads as UTF-8 (nsMIMEInfoWin::LoadUriInternal); else none."""
    decoded = re.sub(rb"%([89A-Fa-f][0-9A-Fa-f])", lambda m: bytes([int(m[1], 16)]), link.encode())
    try:
        return decoded.decode("utf-8")
    except UnicodeDecodeError:
        return link
