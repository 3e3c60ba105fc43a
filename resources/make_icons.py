#!/usr/bin/env python3
"""Draws the two application icons (32x32, 16 colours) and writes them as .ico files.

Run it from anywhere: python3 resources/make_icons.py [--png DIR]
The .ico files it writes are kept in the repository, so a build needs no Python.
"""
import math
import os
import struct
import sys
import zlib

# The standard 16-colour palette, in the order Windows uses for 4-bit bitmaps.
PALETTE = [
    (0, 0, 0), (128, 0, 0), (0, 128, 0), (128, 128, 0),
    (0, 0, 128), (128, 0, 128), (0, 128, 128), (192, 192, 192),
    (128, 128, 128), (255, 0, 0), (0, 255, 0), (255, 255, 0),
    (0, 0, 255), (255, 0, 255), (0, 255, 255), (255, 255, 255),
]
BLACK, MAROON, GREEN, OLIVE, NAVY, PURPLE, TEAL, SILVER = range(8)
GREY, RED, LIME, YELLOW, BLUE, FUCHSIA, AQUA, WHITE = range(8, 16)
CLEAR = None  # transparent pixel
SIZE = 32


def canvas():
    return [[CLEAR] * SIZE for _ in range(SIZE)]


def rect(img, x0, y0, x1, y1, colour):
    for y in range(y0, y1 + 1):
        for x in range(x0, x1 + 1):
            img[y][x] = colour


def line(img, x0, y0, x1, y1, colour):
    steps = max(abs(x1 - x0), abs(y1 - y0))
    for i in range(steps + 1):
        img[round(y0 + (y1 - y0) * i / steps)][round(x0 + (x1 - x0) * i / steps)] = colour


def stopwatch():
    img = canvas()
    cx, cy = 15.5, 18.5
    rect(img, 13, 1, 18, 2, GREY)      # crown
    rect(img, 15, 3, 16, 5, GREY)      # stem
    line(img, 23, 7, 26, 4, GREY)      # lap button
    line(img, 24, 7, 26, 5, GREY)
    rect(img, 26, 3, 27, 4, GREY)
    for y in range(SIZE):
        for x in range(SIZE):
            r = math.hypot(x - cx, y - cy)
            if r <= 12.6:
                img[y][x] = BLACK if r > 11.4 else (RED if r > 9.8 else WHITE)
    for angle in range(0, 360, 30):    # hour ticks, long ones at the quarters
        a = math.radians(angle)
        inner = 6.8 if angle % 90 == 0 else 8.2
        for r in (inner, 8.9, 9.4):
            img[round(cy - r * math.cos(a) - 0.5)][round(cx + r * math.sin(a) - 0.5)] = BLACK
    line(img, 15, 18, 15, 10, BLACK)   # minute hand at twelve
    line(img, 16, 18, 21, 13, RED)     # second hand
    rect(img, 15, 18, 16, 19, NAVY)    # hub
    return img


def console():
    img = canvas()
    rect(img, 1, 3, 28, 25, BLACK)     # frame
    rect(img, 2, 4, 27, 7, NAVY)       # title bar
    rect(img, 22, 5, 23, 6, SILVER)
    rect(img, 25, 5, 26, 6, RED)
    rect(img, 2, 8, 27, 24, BLACK)     # text area
    line(img, 4, 10, 6, 12, SILVER)    # prompt ">"
    line(img, 6, 12, 4, 14, SILVER)
    rect(img, 8, 14, 11, 14, LIME)     # cursor
    rect(img, 4, 17, 13, 17, GREY)     # earlier output
    rect(img, 4, 20, 10, 20, GREY)
    # A document being dropped on the window.
    behind = [row[:] for row in img]
    rect(img, 17, 13, 28, 29, BLACK)
    rect(img, 18, 14, 27, 28, WHITE)
    for i in range(4):                 # folded corner
        for x in range(25 + i, 29):
            img[13 + i][x] = behind[13 + i][x]
    line(img, 24, 13, 28, 17, BLACK)
    line(img, 24, 13, 24, 17, BLACK)
    line(img, 24, 17, 28, 17, BLACK)
    for y in (19, 21, 23, 25):
        rect(img, 20, y, 25, y, TEAL)
    return img


def to_ico(img):
    """One 4-bit image with its AND mask, in the ICO container."""
    rows_xor, rows_and = [], []
    for y in reversed(range(SIZE)):    # bitmaps are stored bottom-up
        row = img[y]
        xor = bytearray()
        for x in range(0, SIZE, 2):
            hi, lo = (c if c is not None else 0 for c in row[x:x + 2])
            xor.append(hi << 4 | lo)
        mask = 0
        for x in range(SIZE):
            mask = mask << 1 | (row[x] is None)
        rows_xor.append(bytes(xor))
        rows_and.append(mask.to_bytes(4, "big"))
    header = struct.pack("<IiiHHIIiiII", 40, SIZE, SIZE * 2, 1, 4, 0,
                         len(rows_xor) * 16 + len(rows_and) * 4, 0, 0, 16, 0)
    palette = b"".join(struct.pack("<BBBB", b, g, r, 0) for r, g, b in PALETTE)
    image = header + palette + b"".join(rows_xor) + b"".join(rows_and)
    directory = struct.pack("<HHH", 0, 1, 1) + struct.pack(
        "<BBBBHHII", SIZE, SIZE, 16, 0, 1, 4, len(image), 6 + 16)
    return directory + image


def to_png(img, scale=8):
    """A magnified preview, for looking at the drawing."""
    raw = bytearray()
    for y in range(SIZE * scale):
        raw.append(0)
        for x in range(SIZE * scale):
            c = img[y // scale][x // scale]
            raw.extend(PALETTE[c] if c is not None else (224, 224, 224))

    def chunk(kind, data):
        body = kind + data
        return struct.pack(">I", len(data)) + body + struct.pack(">I", zlib.crc32(body))

    side = SIZE * scale
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", side, side, 8, 2, 0, 0, 0))
            + chunk(b"IDAT", zlib.compress(bytes(raw))) + chunk(b"IEND", b""))


def main():
    here = os.path.dirname(os.path.abspath(__file__))
    png_dir = sys.argv[sys.argv.index("--png") + 1] if "--png" in sys.argv else None
    for name, draw in (("buildtimer", stopwatch), ("consoledemo", console)):
        img = draw()
        with open(os.path.join(here, name + ".ico"), "wb") as f:
            f.write(to_ico(img))
        if png_dir:
            with open(os.path.join(png_dir, name + ".png"), "wb") as f:
                f.write(to_png(img))


if __name__ == "__main__":
    main()
