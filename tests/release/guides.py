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
    return [[re.sub(r"^`([^`]*)`$", r"\1", c.strip()) for c in row.strip(" |").split(" | ")] for row in rows]
