#!/usr/bin/env python3
"""Draws the four button bitmaps as 24-bit BMP files.

    tools/make-glyphs.py [DIR...]     (default: imag and example/imag of the repository)

glossyicon.bmp  24x24  green plus ("add line", for the 31x34 button)
delete.bmp      24x24  red cross ("delete line", same button size)
play.bmp        20x20  green triangle pointing right (for the 34x26 start/stop button)
stop.bmp        20x20  dark red square

Each shape is filled with a vertical gradient and a glossy upper half, ringed by a one-pixel
darker outline, and anti-aliased by 8x8 supersampling onto the light grey of a button face, which
is also the colour of the lower-left pixel (the usual transparent colour of button glyphs).
Only the standard library is used, so the files can be regenerated anywhere.
"""

import math
import os
import struct
import sys

FACE = (240, 240, 240)  # light grey button face
SUPERSAMPLE = 8


def capsule(ax, ay, bx, by, radius):
    """Signed distance to a thick line with round ends."""
    def sd(x, y):
        dx, dy = bx - ax, by - ay
        t = max(0.0, min(1.0, ((x - ax) * dx + (y - ay) * dy) / (dx * dx + dy * dy)))
        return math.hypot(x - ax - t * dx, y - ay - t * dy) - radius
    return sd


def rounded_box(x0, y0, x1, y1, radius):
    """Signed distance to an axis-aligned rectangle with rounded corners."""
    cx, cy = (x0 + x1) / 2, (y0 + y1) / 2
    hx, hy = (x1 - x0) / 2 - radius, (y1 - y0) / 2 - radius

    def sd(x, y):
        qx, qy = abs(x - cx) - hx, abs(y - cy) - hy
        outside = math.hypot(max(qx, 0.0), max(qy, 0.0))
        return outside + min(max(qx, qy), 0.0) - radius
    return sd


def convex_polygon(points):
    """Signed distance (exact inside, slightly low near outer corners) to a convex polygon given
    clockwise in screen coordinates."""
    edges = []
    for (ax, ay), (bx, by) in zip(points, points[1:] + points[:1]):
        length = math.hypot(bx - ax, by - ay)
        # Outward normal of a clockwise (screen) polygon.
        edges.append((ax, ay, (by - ay) / length, -(bx - ax) / length))

    def sd(x, y):
        return max((x - ax) * nx + (y - ay) * ny for ax, ay, nx, ny in edges)
    return sd


def union(*shapes):
    return lambda x, y: min(s(x, y) for s in shapes)


def mix(a, b, t):
    return tuple(p + (q - p) * t for p, q in zip(a, b))


def render(size, shape, light, dark, outline, top, bottom):
    """Returns rows of RGB tuples, top row first. top/bottom: the shape's vertical extent, for
    the gradient and the gloss."""
    rows = []
    for py in range(size):
        row = []
        for px in range(size):
            acc = [0.0, 0.0, 0.0]
            for sy in range(SUPERSAMPLE):
                for sx in range(SUPERSAMPLE):
                    x = px + (sx + 0.5) / SUPERSAMPLE
                    y = py + (sy + 0.5) / SUPERSAMPLE
                    d = shape(x, y)
                    if d < -0.0:
                        t = min(1.0, max(0.0, (y - top) / (bottom - top)))
                        colour = mix(light, dark, t)
                        if t < 0.45:  # gloss: the upper part reflects more light
                            colour = mix(colour, (255, 255, 255), 0.35 * (1 - t / 0.45))
                    elif d < 1.1:
                        colour = outline
                    else:
                        colour = FACE
                    for i in range(3):
                        acc[i] += colour[i]
            n = SUPERSAMPLE * SUPERSAMPLE
            row.append(tuple(int(round(c / n)) for c in acc))
        rows.append(row)
    # The lower-left pixel is the button face colour, whatever the shape does.
    rows[-1][0] = FACE
    return rows


def bmp_bytes(rows):
    """A BITMAPINFOHEADER 24-bit BMP, bottom-up, rows padded to four bytes."""
    height, width = len(rows), len(rows[0])
    stride = (width * 3 + 3) & ~3
    pixels = bytearray()
    for row in reversed(rows):
        line = bytearray()
        for r, g, b in row:
            line += bytes((b, g, r))
        pixels += line + bytes(stride - len(line))
    header = struct.pack("<2sIHHI", b"BM", 14 + 40 + len(pixels), 0, 0, 14 + 40)
    info = struct.pack("<IiiHHIIiiII", 40, width, height, 1, 24, 0, len(pixels), 2835, 2835, 0, 0)
    return header + info + bytes(pixels)


GREEN = dict(light=(120, 220, 90), dark=(30, 140, 30), outline=(20, 90, 20))
RED = dict(light=(245, 110, 100), dark=(190, 25, 25), outline=(120, 15, 15))
DARK_RED = dict(light=(215, 85, 75), dark=(150, 20, 20), outline=(95, 10, 10))

GLYPHS = {
    "glossyicon.bmp": (24, union(rounded_box(3, 9.5, 21, 14.5, 1.2), rounded_box(9.5, 3, 14.5, 21, 1.2)),
                       GREEN, 3, 21),
    "delete.bmp": (24, union(capsule(6, 6, 18, 18, 2.6), capsule(18, 6, 6, 18, 2.6)), RED, 3.4, 20.6),
    "play.bmp": (20, convex_polygon([(5.5, 3), (16.5, 10), (5.5, 17)]), GREEN, 3, 17),
    "stop.bmp": (20, rounded_box(4.5, 4.5, 15.5, 15.5, 1.5), DARK_RED, 4.5, 15.5),
}


def main(argv):
    here = os.path.dirname(os.path.abspath(__file__))
    top = os.path.dirname(here)
    dirs = argv[1:] or [os.path.join(top, "imag"), os.path.join(top, "example", "imag")]
    for d in dirs:
        os.makedirs(d, exist_ok=True)
        for name, (size, shape, colours, y0, y1) in GLYPHS.items():
            with open(os.path.join(d, name), "wb") as f:
                f.write(bmp_bytes(render(size, shape, top=y0, bottom=y1, **colours)))
        print("make-glyphs: wrote", ", ".join(GLYPHS), "to", d)


if __name__ == "__main__":
    main(sys.argv)
