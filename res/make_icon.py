#!/usr/bin/env python3
"""Draws the executable's icon and writes it as a .ico file.

The icon shows a cardboard box with a green arrow pointing down into it.
It holds twelve images, in this order: 48, 32, 24 and 16 pixels square at
16 colours, the same four sizes at 256 colours, then at 32-bit colour with
an alpha channel. windres numbers the icon images 1 to 12 in file order.

Usage: make_icon.py OUTPUT.ico

The output depends on nothing but this script, so it is the same on every
build.
"""

import struct
import sys

SIZES = (48, 32, 24, 16)
BIT_COUNTS = (4, 8, 32)

# The standard 16-colour palette.
VGA16 = [
    (0, 0, 0), (128, 0, 0), (0, 128, 0), (128, 128, 0),
    (0, 0, 128), (128, 0, 128), (0, 128, 128), (192, 192, 192),
    (128, 128, 128), (255, 0, 0), (0, 255, 0), (255, 255, 0),
    (0, 0, 255), (255, 0, 255), (0, 255, 255), (255, 255, 255),
]


def palette_256():
    """The 16 standard colours, a 6x6x6 colour cube and 24 greys."""
    colours = list(VGA16)
    steps = (0, 51, 102, 153, 204, 255)
    colours += [(r, g, b) for r in steps for g in steps for b in steps]
    colours += [(8 + 10 * i, 8 + 10 * i, 8 + 10 * i) for i in range(24)]
    assert len(colours) == 256
    return colours


BOX = (196, 140, 72)
BOX_TOP = (160, 108, 50)
BOX_EDGE = (96, 60, 24)
ARROW = (36, 170, 60)
ARROW_EDGE = (16, 96, 32)


def in_arrow(x, y, grow=0.0):
    """The arrow: a shaft from the top and a head whose point lies in the box."""
    shaft = 0.39 - grow <= x <= 0.61 + grow and 0.04 - grow <= y <= 0.40
    top, tip = 0.34 - grow, 0.72 + grow
    if top <= y <= tip:
        half = 0.30 * (tip - y) / (tip - top) + grow * 0.5
        if abs(x - 0.5) <= half:
            return True
    return shaft


def colour_at(x, y):
    """RGBA of the picture at a point of the unit square (y grows downwards)."""
    if in_arrow(x, y):
        return ARROW + (255,)
    if in_arrow(x, y, grow=0.05):
        return ARROW_EDGE + (255,)
    if 0.08 <= x <= 0.92 and 0.46 <= y <= 0.94:
        if x < 0.13 or x > 0.87 or y > 0.89 or y < 0.51:
            return BOX_EDGE + (255,)
        if y < 0.60:
            return BOX_TOP + (255,)
        return BOX + (255,)
    return (0, 0, 0, 0)


def render(size, samples):
    """Rows of RGBA pixels, top row first, each averaged over samples x samples
    points (1: the pixel's centre, so that only the picture's own colours occur)."""
    n = samples
    rows = []
    for py in range(size):
        row = []
        for px in range(size):
            acc = [0, 0, 0, 0]
            for sy in range(n):
                for sx in range(n):
                    r, g, b, a = colour_at((px + (sx + 0.5) / n) / size,
                                           (py + (sy + 0.5) / n) / size)
                    acc[0] += r * a
                    acc[1] += g * a
                    acc[2] += b * a
                    acc[3] += a
            if acc[3] == 0:
                row.append((0, 0, 0, 0))
            else:
                row.append((acc[0] // acc[3], acc[1] // acc[3], acc[2] // acc[3],
                            acc[3] // (n * n)))
        rows.append(row)
    return rows


# At 16 colours the picture's colours are given their own palette entries
# rather than the nearest ones, which would merge the arrow with its edge.
INK_16 = {ARROW: 10, ARROW_EDGE: 2, BOX: 11, BOX_TOP: 3, BOX_EDGE: 1}


def nearest(palette, rgb):
    return min(range(len(palette)),
               key=lambda i: sum((palette[i][c] - rgb[c]) ** 2 for c in range(3)))


def padded(data):
    return data + b"\0" * (-len(data) % 4)


def and_mask(rows, size):
    """One bit per pixel, set where the pixel is transparent; bottom row first."""
    out = b""
    for row in reversed(rows):
        bits = bytearray((size + 7) // 8)
        for x, (_, _, _, a) in enumerate(row):
            if a < 128:
                bits[x // 8] |= 0x80 >> (x % 8)
        out += padded(bytes(bits))
    return out


def icon_image(size, bit_count):
    """One icon image: a BITMAPINFOHEADER, the palette, the colour bits, the mask."""
    rows = render(size, 4 if bit_count == 32 else 1)
    if bit_count == 32:
        palette = []
        xor = b"".join(bytes(b for (r, g, bl, a) in row for b in (bl, g, r, a))
                       for row in reversed(rows))
    else:
        palette = VGA16 if bit_count == 4 else palette_256()
        xor = b""
        for row in reversed(rows):
            if bit_count == 4:
                indices = [INK_16[p[:3]] if p[3] >= 128 else 0 for p in row]
            else:
                indices = [nearest(palette, p[:3]) if p[3] >= 128 else 0 for p in row]
            if bit_count == 4:
                indices += [0] * (len(indices) % 2)
                line = bytes((indices[i] << 4) | indices[i + 1]
                             for i in range(0, len(indices), 2))
            else:
                line = bytes(indices)
            xor += padded(line)
    mask = and_mask(rows, size)
    header = struct.pack("<IiiHHIIiiII", 40, size, size * 2, 1, bit_count, 0,
                         len(xor) + len(mask), 0, 0, len(palette), 0)
    colours = b"".join(bytes((b, g, r, 0)) for (r, g, b) in palette)
    return header + colours + xor + mask


def write_icon(path):
    images = [(size, bits, icon_image(size, bits))
              for bits in BIT_COUNTS for size in SIZES]
    offset = 6 + 16 * len(images)
    directory = struct.pack("<HHH", 0, 1, len(images))
    for size, bits, data in images:
        colour_count = 16 if bits == 4 else 0
        directory += struct.pack("<BBBBHHII", size, size, colour_count, 0, 1, bits,
                                 len(data), offset)
        offset += len(data)
    with open(path, "wb") as f:
        f.write(directory)
        for _, _, data in images:
            f.write(data)


if __name__ == "__main__":
    if len(sys.argv) != 2:
        sys.exit("usage: make_icon.py OUTPUT.ico")
    write_icon(sys.argv[1])
