"""A zip's README.txt, made from the player guide when the release runs, so that the two never
say different things: plain text for Notepad (CRLF, lines of at most 78 characters), headed by
what the zip is for."""

import re
import textwrap

WIDTH = 78


def plain(text, version, build):
    text = re.sub(r"\[([^]]*)\]\([^)]*\)", r"\1", text).replace("`", "").replace("**", "")
    return text.replace("<version>", version).replace("<build>", build)


def blocks(guide):
    """The guide's blocks after its title: headings, paragraphs, list items, table rows, code."""
    lines, block, code = guide.splitlines()[1:], [], False
    for line in lines + [""]:
        if line.startswith("```"):
            code = not code
            continue
        starts = code or not line.strip() or re.match(r"(#+ |\d+\. |- |\|)", line)
        if starts and block:
            yield " ".join(block)
            block = []
        if code:
            yield "    " + line
        elif line.strip():
            block.append(line.strip())


def render(block):
    if block.startswith("    "):
        return [block]
    if block.startswith("#"):
        return [block.lstrip("# ")]
    if block.startswith("|"):
        cells = [c.strip() for c in block.strip("|").split("|")]
        return textwrap.wrap(cells[0], WIDTH, initial_indent="  ", subsequent_indent="  ") + textwrap.wrap(
            cells[1], WIDTH, initial_indent="      ", subsequent_indent="      ")
    item = re.match(r"(\d+\. |- )", block)
    indent = "  " + " " * len(item[1]) if item else ""
    return textwrap.wrap(block, WIDTH, initial_indent="  " if item else "", subsequent_indent=indent)


def kind(block):
    """What a block is: blocks of one kind in a row (list items, table rows, code lines) stay
    together; each paragraph and heading is a kind of its own."""
    kinds = {"code": " {4}", "row": r"\|", "item": r"\d+\. |- "}
    return next((k for k, pattern in kinds.items() if re.match(pattern, block)), block)


def readme(guide, version, build, windows, site_host):
    lines = [f"Velmora Player {version} for {windows}", "",
             f"Opens the game client when you press Play on {site_host}."]
    last, found = None, list(blocks(guide))
    # A table's header and the rule under it are for the guide's reader alone.
    rule = lambda b: re.fullmatch(r"[|\s-]+", b)
    for block in (b for i, b in enumerate(found) if not rule(b) and not (i + 1 < len(found) and rule(found[i + 1]))):
        shown = render(plain(block, version, build))
        if shown and kind(block) != last:
            lines.append("")
        lines += shown
        last = kind(block) if shown else last
    return ("\r\n".join(lines) + "\r\n").encode()
