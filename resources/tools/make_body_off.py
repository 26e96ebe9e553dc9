#!/usr/bin/env python3
"""Draws body_off.png, the background of the program's windows: a dark brushed-metal mixer
panel with a bevelled edge, corner screws and a row of vent slots. Standard library only;
the output is the same on every run.

    python3 resources/tools/make_body_off.py [output.png]
"""

import math
import os
import sys

sys.dont_write_bytecode = True  # no cache folder next to the scripts
from pngfile import write_png  # noqa: E402

WIDTH, HEIGHT = 720, 450


class Lcg:
    """A small deterministic pseudo-random source, so the picture never changes between runs."""

    def __init__(self, seed):
        self.state = seed

    def next(self):
        self.state = (self.state * 1103515245 + 12345) & 0x7FFFFFFF
        return self.state / 0x7FFFFFFF


def panel():
    rng = Lcg(42)
    # Brushed metal: each row has its own slight brightness, drifting slowly across the row.
    row_tone = []
    tone = 0.0
    for _ in range(HEIGHT):
        tone = 0.8 * tone + 0.2 * (rng.next() - 0.5) * 10
        row_tone.append(tone + (rng.next() - 0.5) * 3)
    pixels = [[None] * WIDTH for _ in range(HEIGHT)]
    for y in range(HEIGHT):
        # Light from above: the panel is a little lighter at the top.
        base = 52 - 18 * (y / HEIGHT)
        for x in range(WIDTH):
            streak = 2.0 * math.sin(x * 0.013 + y * 0.7) * math.sin(x * 0.0021)
            v = base + row_tone[y] + streak
            pixels[y][x] = [v, v + 1, v + 4]  # a faint blue cast, like anodised aluminium
    return pixels


def bevel(pixels, width=6):
    for y in range(HEIGHT):
        for x in range(WIDTH):
            d = min(x, y, WIDTH - 1 - x, HEIGHT - 1 - y)
            if d >= width:
                continue
            light = (y < width and y <= x and y <= WIDTH - 1 - x) or (x < width and x <= y and x <= HEIGHT - 1 - y)
            shade = (width - d) * (7 if light else -9)
            pixels[y][x] = [c + shade for c in pixels[y][x]]


def screw(pixels, cx, cy, r=6):
    for y in range(cy - r - 2, cy + r + 3):
        for x in range(cx - r - 2, cx + r + 3):
            dx, dy = x - cx, y - cy
            dist = math.hypot(dx, dy)
            if dist <= r:
                # Domed head lit from the upper left, with a cross slot.
                v = 150 - 60 * (dist / r) - 35 * (dx + dy) / (2 * r)
                if (abs(dx) <= 1 or abs(dy) <= 1) and dist < r - 1.5:
                    v = 45
                pixels[y][x] = [v, v, v + 3]
            elif dist <= r + 2:
                pixels[y][x] = [c - 18 for c in pixels[y][x]]  # the countersink's shadow


def vents(pixels):
    # A row of slots along the bottom, like the cooling slots of a console's rear panel; low and
    # short, so that the windows keep the room above them for their controls.
    top, bottom = HEIGHT - 24, HEIGHT - 14
    count, slot, gap = 24, 8, 14
    start = (WIDTH - (count * slot + (count - 1) * gap)) // 2
    for i in range(count):
        x0 = start + i * (slot + gap)
        for y in range(top, bottom):
            for x in range(x0, x0 + slot):
                edge = y == top or x == x0
                pixels[y][x] = [c - 30 if edge else 12 for c in pixels[y][x]]
            pixels[y][x0 + slot] = [c + 14 for c in pixels[y][x0 + slot]]
        for x in range(x0, x0 + slot + 1):
            pixels[bottom][x] = [c + 14 for c in pixels[bottom][x]]


def main():
    here = os.path.dirname(os.path.abspath(__file__))
    out = sys.argv[1] if len(sys.argv) > 1 else os.path.join(here, "..", "body_off.png")
    pixels = panel()
    bevel(pixels)
    # Close to the corners: a window's controls may come as near as 30 pixels to its edges.
    for cx, cy in ((13, 13), (WIDTH - 14, 13), (13, HEIGHT - 14), (WIDTH - 14, HEIGHT - 14)):
        screw(pixels, cx, cy)
    vents(pixels)
    write_png(out, pixels)


if __name__ == "__main__":
    main()
