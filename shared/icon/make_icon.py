#!/usr/bin/env python3
"""Draws velmora.ico from velmora.svg, for when the drawing changes: every usual size from 16
to 256 pixels, each stored as PNG, which keeps the programs small. Needs rsvg-convert (Debian
package librsvg2-bin); the build itself only reads the checked-in .ico."""

import struct
import subprocess
from pathlib import Path

HERE = Path(__file__).resolve().parent
SIZES = (16, 24, 32, 48, 64, 256)

images = [subprocess.run(["rsvg-convert", "-w", str(s), "-h", str(s), str(HERE / "velmora.svg")],
                         check=True, capture_output=True).stdout for s in SIZES]
header = struct.pack("<HHH", 0, 1, len(SIZES))
offset = len(header) + 16 * len(SIZES)
entries = b""
for size, image in zip(SIZES, images):
    entries += struct.pack("<BBBBHHII", size % 256, size % 256, 0, 0, 1, 32, len(image), offset)
    offset += len(image)
(HERE / "velmora.ico").write_bytes(header + entries + b"".join(images))
