#!/usr/bin/env python3
"""What each object file and library member adds to a program, from the linker map the
Windows build writes beside each .exe (build/windows-*/<program>/<program>.map)."""

import collections
import re
import sys


def contributions(map_path):
    sizes = collections.Counter()
    section = None  # a section name printed alone, its address and size on the next line
    for line in open(map_path, errors="replace"):
        whole = re.match(r"^ (\.\S+)\s+0x([0-9a-f]+)\s+0x([0-9a-f]+)\s+(\S.*)$", line)
        wrapped = re.match(r"^\s+0x([0-9a-f]+)\s+0x([0-9a-f]+)\s+(\S.*)$", line)
        if whole and int(whole.group(2), 16):
            sizes[whole.group(4).rsplit("/", 1)[-1]] += int(whole.group(3), 16)
        elif wrapped and section:
            sizes[wrapped.group(3).rsplit("/", 1)[-1]] += int(wrapped.group(2), 16)
        section = re.match(r"^ \.\S+\s*$", line)
    return sizes


def main():
    sizes = contributions(sys.argv[1])
    for name, size in sizes.most_common(int(sys.argv[2]) if len(sys.argv) > 2 else 20):
        print(f"{size:9,d}  {name}")
    print(f"{sum(sizes.values()):9,d}  in all (before alignment and headers)")


if __name__ == "__main__":
    main()
