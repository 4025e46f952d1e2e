#!/usr/bin/env python3
"""Makes the demo product's icon, byte for byte the same on every run:

  examples/demo/quorvane.ico   the brand mark (a ring with a tail) on a
                               rounded square of the window's background

Five images, as Windows expects an application icon: 16, 24, 32 and 48
pixels as 32-bit bitmaps (BGRA rows bottom-up, then the 1-bit mask), and 256
pixels as a PNG. Edges are drawn with 4 x 4 supersampling into the alpha.

Usage: make-demo-icon.py [OUTPUT_FOLDER]   (default: examples/demo)
Standard library only.
"""
import os
import struct
import sys
import zlib

BACKGROUND = (0x1E, 0x2A, 0x3A)  # the demo window's BKColour
ACCENT = (0x3F, 0xA7, 0xD6)
SUPERSAMPLE = 4
SIZES = (16, 24, 32, 48, 256)


def shapes(x, y):
    """What covers the point (x, y) of a unit square: 2 for the mark, 1 for
    the rounded background, 0 for nothing."""
    cx, cy = 0.44, 0.44
    d2 = (x - cx) ** 2 + (y - cy) ** 2
    ring = 0.20 ** 2 <= d2 <= 0.29 ** 2
    u, v = (x - cx) * 0.7071 + (y - cy) * 0.7071, (x - cx) * 0.7071 - (y - cy) * 0.7071
    tail = 0.18 <= u <= 0.50 and abs(v) <= 0.045
    if ring or tail:
        return 2
    r = 0.18  # corner radius
    qx, qy = min(max(x, r + 0.02), 0.98 - r), min(max(y, r + 0.02), 0.98 - r)
    return 1 if (x - qx) ** 2 + (y - qy) ** 2 <= r * r else 0


def pixels(size):
    """Top-down rows of (r, g, b, a)."""
    rows = []
    area = SUPERSAMPLE * SUPERSAMPLE
    for py in range(size):
        row = []
        for px in range(size):
            counts = [0, 0, 0]
            for sy in range(SUPERSAMPLE):
                for sx in range(SUPERSAMPLE):
                    x = (px + (sx + 0.5) / SUPERSAMPLE) / size
                    y = (py + (sy + 0.5) / SUPERSAMPLE) / size
                    counts[shapes(x, y)] += 1
            covered = counts[1] + counts[2]
            if covered == 0:
                row.append((0, 0, 0, 0))
                continue
            colour = tuple((b * counts[1] + a * counts[2] + covered // 2) // covered for b, a in zip(BACKGROUND, ACCENT))
            row.append(colour + ((covered * 255 + area // 2) // area,))
        rows.append(row)
    return rows


def bitmap_image(size, rows):
    header = struct.pack("<IiiHHIIiiII", 40, size, size * 2, 1, 32, 0, 0, 0, 0, 0, 0)
    colour = b"".join(bytes((b, g, r, a)) for row in reversed(rows) for (r, g, b, a) in row)
    stride = (size + 31) // 32 * 4
    mask = bytearray()
    for row in reversed(rows):
        line = bytearray(stride)
        for x, (_, _, _, a) in enumerate(row):
            if a == 0:
                line[x // 8] |= 0x80 >> (x % 8)
        mask += line
    return header + colour + bytes(mask)


def png_image(size, rows):
    def chunk(kind, data):
        return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data))

    raw = b"".join(b"\x00" + bytes(v for p in row for v in p) for row in rows)
    return (
        b"\x89PNG\r\n\x1a\n"
        + chunk(b"IHDR", struct.pack(">IIBBBBB", size, size, 8, 6, 0, 0, 0))
        + chunk(b"IDAT", zlib.compress(raw, 9))
        + chunk(b"IEND", b"")
    )


def icon_file():
    images = []
    for size in SIZES:
        rows = pixels(size)
        images.append((size, png_image(size, rows) if size == 256 else bitmap_image(size, rows)))
    directory = struct.pack("<HHH", 0, 1, len(images))
    offset = 6 + 16 * len(images)
    for size, data in images:
        directory += struct.pack("<BBBBHHII", size % 256, size % 256, 0, 0, 1, 32, len(data), offset)
        offset += len(data)
    return directory + b"".join(data for _, data in images)


def main():
    folder = sys.argv[1] if len(sys.argv) > 1 else os.path.join(os.path.dirname(__file__), "..", "examples", "demo")
    os.makedirs(folder, exist_ok=True)
    with open(os.path.join(folder, "quorvane.ico"), "wb") as out:
        out.write(icon_file())


if __name__ == "__main__":
    main()
