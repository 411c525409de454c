#!/usr/bin/python3
"""How far apart two renderings of the same view are, channel by channel:
prints the largest difference in levels (0-255), the share of channels that
differ at all and the share that differ by more than one level.

usage: image_levels.py FIRST.png SECOND.png
Exit status 0, or 2 on bad input (unreadable files, other sizes).
"""
import sys

import numpy as np

from frame_compare import load


def main():
    if len(sys.argv) != 3:
        print(__doc__.strip(), file=sys.stderr)
        return 2
    try:
        a = load(sys.argv[1]).astype(int)
        b = load(sys.argv[2]).astype(int)
    except ValueError as e:
        print(f"image_levels: {e}", file=sys.stderr)
        return 2
    if a.shape != b.shape:
        print(f"image_levels: sizes differ: {a.shape} and {b.shape}", file=sys.stderr)
        return 2
    d = np.abs(a - b)
    print(f"largest difference {d.max()} levels, {100.0 * (d > 0).mean():.2f}% of channels differ,"
          f" {100.0 * (d > 1).mean():.2f}% by more than one level")
    return 0


if __name__ == "__main__":
    sys.exit(main())
