#!/usr/bin/env python3
"""Draws the nine bezel pictures of the themed progress bar, pi_topLeft.png ... pi_bottomRight.png:
a rounded track recessed into the dark brushed panel of body_off.png, with a dark rim along the
top and the sides, a lit lip along the bottom edge and a dark trough. Standard library only; the
output is the same on every run.

The bar draws the corners at their natural size and stretches the edges and the centre, so the
pictures are cut from one track drawn at the bar's usual height of 20 pixels. The trough is
exactly the region the bar fills: 1 pixel in from the left, top and right edges and 2 pixels up
from the bottom edge, with corners of radius 3.

    python3 resources/tools/make_progress_bezel.py [output folder]
"""

import os
import sys

sys.dont_write_bytecode = True  # no cache folder next to the scripts
from pngfile import write_png  # noqa: E402

WIDTH, HEIGHT = 24, 20
LEFT, RIGHT, TOP, BOTTOM = 4, 4, 4, 5  # the corner sizes: the rows and columns cut off whole

OUTER_RADIUS = 4.0
TROUGH = (1.0, 1.0, WIDTH - 2.0, HEIGHT - 3.0)  # x, y, width, height
TROUGH_RADIUS = 3.0

RIM = (6, 6, 8, 235)  # the recess's shadowed wall
LIP = (104, 107, 116, 190)  # the bottom edge catching the light from above
TROUGH_TOP = (10, 11, 13)
TROUGH_BOTTOM = (30, 31, 36)


def inside_rounded(px, py, rect, radius):
    x, y, w, h = rect
    if px < x or py < y or px > x + w or py > y + h:
        return False
    cx = min(max(px, x + radius), x + w - radius)
    cy = min(max(py, y + radius), y + h - radius)
    return (px - cx) ** 2 + (py - cy) ** 2 <= radius * radius


def coverage(px, py, rect, radius, samples=4):
    """The share of the pixel (px, py) that lies inside the rounded rectangle."""
    hits = 0
    for sy in range(samples):
        for sx in range(samples):
            if inside_rounded(px + (sx + 0.5) / samples, py + (sy + 0.5) / samples, rect, radius):
                hits += 1
    return hits / (samples * samples)


def mix(a, b, t):
    return tuple(a[i] + (b[i] - a[i]) * t for i in range(len(a)))


def over(top, alpha, under):
    """Straight-alpha colour `top` with coverage `alpha` laid over the RGBA colour `under`."""
    r, g, b, a = under
    out_a = alpha + a * (1 - alpha)
    if out_a == 0:
        return (0, 0, 0, 0)
    blend = [(top[i] * alpha + (r, g, b)[i] * a * (1 - alpha)) / out_a for i in range(3)]
    return (blend[0], blend[1], blend[2], out_a)


def track():
    pixels = [[(0, 0, 0, 0)] * WIDTH for _ in range(HEIGHT)]
    outer = (0.0, 0.0, float(WIDTH), float(HEIGHT))
    for y in range(HEIGHT):
        for x in range(WIDTH):
            shell = coverage(x, y, outer, OUTER_RADIUS)
            if shell == 0:
                continue
            # The rim: dark, except the bottom row, which is the lit lip.
            rim = LIP if y == HEIGHT - 1 else RIM
            pixel = (rim[0], rim[1], rim[2], shell * rim[3] / 255)
            inner = coverage(x, y, TROUGH, TROUGH_RADIUS)
            if inner > 0:
                # The trough: darkest under the top rim, where the recess's wall shades it.
                t = (y + 0.5 - TROUGH[1]) / TROUGH[3]
                colour = mix(TROUGH_TOP, TROUGH_BOTTOM, t)
                if y == int(TROUGH[1]):
                    colour = mix(colour, (0, 0, 0), 0.35)
                pixel = over(colour, inner, pixel)
            pixels[y][x] = pixel
    return pixels


def cut(pixels, x0, y0, x1, y1):
    return [row[x0:x1] for row in pixels[y0:y1]]


def main():
    here = os.path.dirname(os.path.abspath(__file__))
    folder = sys.argv[1] if len(sys.argv) > 1 else os.path.join(here, "..")
    pixels = track()
    # The top and bottom edges and the centre are one pixel wide: they are stretched across.
    # The middle band keeps its full height, so that the trough's shading stretches with it.
    mx = WIDTH // 2
    cols = {"left": (0, LEFT), "center": (mx, mx + 1), "right": (WIDTH - RIGHT, WIDTH)}
    rows = {"top": (0, TOP), "middle": (TOP, HEIGHT - BOTTOM), "bottom": (HEIGHT - BOTTOM, HEIGHT)}
    names = {
        ("top", "left"): "pi_topLeft",
        ("top", "center"): "pi_topFill",
        ("top", "right"): "pi_topRight",
        ("middle", "left"): "pi_leftFill",
        ("middle", "center"): "pi_centerFill",
        ("middle", "right"): "pi_rightFill",
        ("bottom", "left"): "pi_bottomLeft",
        ("bottom", "center"): "pi_bottomFill",
        ("bottom", "right"): "pi_bottomRight",
    }
    for (row, col), name in names.items():
        (y0, y1), (x0, x1) = rows[row], cols[col]
        part = [[(r, g, b, a * 255) for r, g, b, a in row] for row in cut(pixels, x0, y0, x1, y1)]
        write_png(os.path.join(folder, name + ".png"), part)


if __name__ == "__main__":
    main()
