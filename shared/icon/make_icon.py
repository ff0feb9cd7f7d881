#!/usr/bin/env python3
"""Draws velmora.ico from velmora.svg, for when the drawing changes: every usual size from 16
to 256 pixels, each stored as a PNG of 16 colours, which keeps the programs small. Needs
rsvg-convert, pngquant and zopflipng (Debian packages librsvg2-bin, pngquant, zopfli); the
build itself only reads the checked-in .ico."""

import struct
import subprocess
import tempfile
from pathlib import Path

HERE = Path(__file__).resolve().parent
SIZES = (16, 24, 32, 48, 64, 256)



def draw(size):
    drawn = subprocess.run(["rsvg-convert", "-w", str(size), "-h", str(size), str(HERE / "velmora.svg")],
                           check=True, capture_output=True).stdout
    # The flat colours need no more than 16, and no dithering.
    quantized = subprocess.run(["pngquant", "--nofs", "--speed", "1", "16", "-"], input=drawn,
                               check=True, capture_output=True).stdout
    with tempfile.TemporaryDirectory() as work:
        (Path(work) / "in.png").write_bytes(quantized)
        subprocess.run(["zopflipng", "-y", "-m", "in.png", "out.png"], cwd=work, check=True, capture_output=True)
        return (Path(work) / "out.png").read_bytes()


images = [draw(s) for s in SIZES]
header = struct.pack("<HHH", 0, 1, len(SIZES))
offset = len(header) + 16 * len(SIZES)
entries = b""
for size, image in zip(SIZES, images):
    entries += struct.pack("<BBBBHHII", size % 256, size % 256, 0, 0, 1, 32, len(image), offset)
    offset += len(image)
(HERE / "velmora.ico").write_bytes(header + entries + b"".join(images))
