"""What the guides in docs/ show, read the way the tests run it: their fenced blocks and tables."""

import re
from pathlib import Path

DOCS = Path(__file__).resolve().parents[2] / "docs"


def blocks(guide, kind):
    """The guide's fenced blocks of one kind (sh, json, js), in order."""
    return re.findall(rf"^```{kind}\n(.*?)^```$", (DOCS / guide).read_text(), re.M | re.S)


def table(guide, header):
    """The rows of the guide's table whose header starts with `header`: each cell the text of its
    one code span, or its own text."""
    text = (DOCS / guide).read_text()
    rows = text[text.index(f"| {header} |"):].split("\n\n")[0].splitlines()[2:]
    return [[re.sub(r"^(`+) ?((?:(?!\1).)*?) ?\1$", r"\2", c.strip()).replace("\\|", "|")
             for c in row.strip(" |").split(" | ")] for row in rows]


def code_spans(cell):
    """The text of each code span in a table's cell."""
    return [m[2].replace("\\|", "|") for m in re.finditer(r"(`+) ?((?:(?!\1).)+?) ?\1(?!`)", cell)]
