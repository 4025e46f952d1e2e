#!/usr/bin/env python3
"""Makes the demo product's window bitmaps, byte for byte the same on every run:

  examples/demo/brand.bmp           the brand mark and name, top of the window
  examples/demo/installingtext.bmp  "INSTALLING QUORVANE", above the bar

Both are what the packages carry: 8-bit palettized, BI_RGB, biClrUsed 0, a
full 256-entry colour table and the pixels at offset 1078, rows bottom-up.
They are drawn on the demo's window background, #1E2A3A in the manifest
(BKColour = #1E2A3A), so that they sit on the window without a seam.

Usage: make-demo-bitmaps.py [OUTPUT_FOLDER]   (default: examples/demo)
Standard library only; shapes are drawn with 4 x 4 supersampling and their
coverage is mapped to 16 shades of each ink.
"""
import os
import struct
import sys

BACKGROUND = (0x1E, 0x2A, 0x3A)
INKS = [(0xF2, 0xF5, 0xF8), (0x3F, 0xA7, 0xD6), (0xA8, 0xB8, 0xC8)]  # text, accent, quiet
SHADES = 16
SUPERSAMPLE = 4

# 5 x 7 capitals, one string of five columns per row, top row first.
GLYPHS = {
    "A": ["01110", "10001", "10001", "11111", "10001", "10001", "10001"],
    "C": ["01110", "10001", "10000", "10000", "10000", "10001", "01110"],
    "E": ["11111", "10000", "10000", "11110", "10000", "10000", "11111"],
    "G": ["01110", "10001", "10000", "10111", "10001", "10001", "01111"],
    "I": ["01110", "00100", "00100", "00100", "00100", "00100", "01110"],
    "L": ["10000", "10000", "10000", "10000", "10000", "10000", "11111"],
    "N": ["10001", "11001", "10101", "10011", "10001", "10001", "10001"],
    "O": ["01110", "10001", "10001", "10001", "10001", "10001", "01110"],
    "P": ["11110", "10001", "10001", "11110", "10000", "10000", "10000"],
    "Q": ["01110", "10001", "10001", "10001", "10101", "10010", "01101"],
    "R": ["11110", "10001", "10001", "11110", "10100", "10010", "10001"],
    "S": ["01111", "10000", "10000", "01110", "00001", "00001", "11110"],
    "T": ["11111", "00100", "00100", "00100", "00100", "00100", "00100"],
    "U": ["10001", "10001", "10001", "10001", "10001", "10001", "01110"],
    "V": ["10001", "10001", "10001", "10001", "10001", "01010", "00100"],
    " ": ["00000"] * 7,
}


def palette():
    """Index 0 is the background; ink k has indices 1 + k*16 .. 16 + k*16,
    from 1/16 to full coverage. The rest of the 256 entries stay black."""
    colours = [BACKGROUND]
    for ink in INKS:
        for shade in range(1, SHADES + 1):
            colours.append(
                tuple((b * (SHADES - shade) + i * shade + SHADES // 2) // SHADES for b, i in zip(BACKGROUND, ink))
            )
    return colours + [(0, 0, 0)] * (256 - len(colours))


class Canvas:
    """Coverage per ink, sampled SUPERSAMPLE x SUPERSAMPLE times a pixel."""

    def __init__(self, width, height):
        self.width, self.height = width, height
        self.samples = [[0] * (width * SUPERSAMPLE) for _ in range(height * SUPERSAMPLE)]

    def fill(self, ink, inside):
        """Marks every sample whose centre (in pixels) satisfies inside(x, y)."""
        for sy, row in enumerate(self.samples):
            y = (sy + 0.5) / SUPERSAMPLE
            for sx in range(len(row)):
                if inside((sx + 0.5) / SUPERSAMPLE, y):
                    row[sx] = ink + 1

    def text(self, ink, left, top, scale, words, spacing=1):
        for n, char in enumerate(words):
            glyph = GLYPHS[char]
            x0 = left + n * (5 + spacing) * scale
            for gy, bits in enumerate(glyph):
                for gx, bit in enumerate(bits):
                    if bit == "1":
                        self.square(ink, x0 + gx * scale, top + gy * scale, scale)

    def square(self, ink, left, top, size):
        for sy in range(top * SUPERSAMPLE, (top + size) * SUPERSAMPLE):
            row = self.samples[sy]
            for sx in range(left * SUPERSAMPLE, (left + size) * SUPERSAMPLE):
                row[sx] = ink + 1

    def indices(self):
        """Top-down rows of palette indices: the majority ink of a pixel,
        shaded by its coverage."""
        rows = []
        area = SUPERSAMPLE * SUPERSAMPLE
        for y in range(self.height):
            row = []
            for x in range(self.width):
                counts = [0] * (len(INKS) + 1)
                for sy in range(y * SUPERSAMPLE, (y + 1) * SUPERSAMPLE):
                    line = self.samples[sy]
                    for sx in range(x * SUPERSAMPLE, (x + 1) * SUPERSAMPLE):
                        counts[line[sx]] += 1
                ink = max(range(1, len(INKS) + 1), key=lambda k: (counts[k], -k))
                covered = counts[ink]
                shade = (covered * SHADES + area // 2) // area
                row.append(0 if shade == 0 else 1 + (ink - 1) * SHADES + shade - 1)
            rows.append(row)
        return rows


def bmp_bytes(width, height, rows, colours):
    stride = (width + 3) // 4 * 4
    pixels = bytearray()
    for row in reversed(rows):  # bottom-up
        pixels += bytes(row) + bytes(stride - width)
    table = b"".join(struct.pack("<BBBB", b, g, r, 0) for r, g, b in colours)
    offset = 14 + 40 + len(table)
    info = struct.pack("<IiiHHIIiiII", 40, width, height, 1, 8, 0, len(pixels), 2835, 2835, 0, 0)
    header = struct.pack("<2sIHHI", b"BM", offset + len(pixels), 0, 0, offset)
    return header + info + table + bytes(pixels)


def brand():
    """A ring with a tail (the mark), the name beside it and a rule under it."""
    width, height = 480, 112
    canvas = Canvas(width, height)
    cx, cy, outer, inner = 56, 52, 38, 27

    def ring(x, y):
        d2 = (x - cx) ** 2 + (y - cy) ** 2
        return inner * inner <= d2 <= outer * outer

    def tail(x, y):  # a bar leaving the ring toward the lower right
        u, v = (x - cx) * 0.7071 + (y - cy) * 0.7071, (x - cx) * 0.7071 - (y - cy) * 0.7071
        return 22 <= u <= 56 and abs(v) <= 5.5

    canvas.fill(1, lambda x, y: ring(x, y) or tail(x, y))
    canvas.text(0, 120, 24, 6, "QUORVANE")
    canvas.fill(1, lambda x, y: 120 <= x <= 120 + 47 * 6 and 76 <= y <= 79)
    return width, height, canvas.indices()


def installing_text():
    words = "INSTALLING QUORVANE"
    scale = 3
    width = (len(words) * 6 - 1) * scale + 8
    height = 7 * scale + 8
    canvas = Canvas(width, height)
    canvas.text(2, 4, 4, scale, words)
    return width, height, canvas.indices()


def main():
    folder = sys.argv[1] if len(sys.argv) > 1 else os.path.join(os.path.dirname(__file__), "..", "examples", "demo")
    os.makedirs(folder, exist_ok=True)
    colours = palette()
    for name, (width, height, rows) in (("brand.bmp", brand()), ("installingtext.bmp", installing_text())):
        with open(os.path.join(folder, name), "wb") as out:
            out.write(bmp_bytes(width, height, rows, colours))


if __name__ == "__main__":
    main()
