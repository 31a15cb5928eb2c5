#!/usr/bin/env python3
"""Draws the twelve LED images of the port LED as 15x15 BMP files with a
16-colour palette (4 bits per pixel) into portselect/images/.

Each image is a round lamp with a grey and white bevel and a black inner ring
on a background colour that fills the corners; the LED draws that colour
transparent (it reads it from the bottom-left pixel). Run it again after a
change and commit the images it writes.
"""
import math
import os
import struct
import sys

# The 16-colour palette, in the usual order of the standard 16 colours.
PALETTE = [
    (0, 0, 0), (128, 0, 0), (0, 128, 0), (128, 128, 0),
    (0, 0, 128), (128, 0, 128), (0, 128, 128), (128, 128, 128),
    (192, 192, 192), (255, 0, 0), (0, 255, 0), (255, 255, 0),
    (0, 0, 255), (255, 0, 255), (0, 255, 255), (255, 255, 255),
]
BLACK, GREY, WHITE = (0, 0, 0), (128, 128, 128), (255, 255, 255)
OLIVE, PURPLE = (128, 128, 0), (128, 0, 128)

SIZE = 15
CENTRE = 7
LAMP_RADIUS = 5.5
RING_RADIUS = 6.5
BEVEL_RADIUS = 7.5
HIGHLIGHT = {(4, 4), (5, 4), (4, 5)}

# name stem: (background, dark lamp, bright lamp)
PAIRS = {
    "RED": (OLIVE, (128, 0, 0), (255, 0, 0)),
    "GREEN": (OLIVE, (0, 128, 0), (0, 255, 0)),
    "BLUE": (OLIVE, (0, 0, 128), (0, 0, 255)),
    # The dark yellow lamp is olive itself, so this pair sits on purple.
    "YELLOW": (PURPLE, (128, 128, 0), (255, 255, 0)),
    "PURPLE": (OLIVE, (128, 0, 128), (255, 0, 255)),
    "BULB": (OLIVE, (255, 255, 255), (255, 255, 0)),
}


def draw(background, lamp, highlights):
    """Rows top to bottom, each a list of RGB triples."""
    rows = []
    for y in range(SIZE):
        row = []
        for x in range(SIZE):
            d = math.hypot(x - CENTRE, y - CENTRE)
            if d <= LAMP_RADIUS:
                colour = WHITE if highlights and (x, y) in HIGHLIGHT else lamp
            elif d <= RING_RADIUS:
                colour = BLACK
            elif d <= BEVEL_RADIUS:
                # Shadow above and left, light below and right: a sunken rim.
                colour = GREY if x + y < 2 * CENTRE else WHITE
            else:
                colour = background
            row.append(colour)
        rows.append(row)
    return rows


def write_bmp4(path, rows):
    height = len(rows)
    width = len(rows[0])
    stride = ((width * 4 + 31) // 32) * 4
    pixels = bytearray()
    for row in reversed(rows):  # BMP rows run bottom to top
        indices = [PALETTE.index(c) for c in row]
        if len(indices) % 2:
            indices.append(0)
        line = bytes((indices[i] << 4) | indices[i + 1] for i in range(0, len(indices), 2))
        pixels += line + bytes(stride - len(line))
    palette = b"".join(struct.pack("<BBBB", b, g, r, 0) for (r, g, b) in PALETTE)
    offset = 14 + 40 + len(palette)
    header = struct.pack("<2sIHHI", b"BM", offset + len(pixels), 0, 0, offset)
    info = struct.pack("<IiiHHIIiiII", 40, width, height, 1, 4, 0, len(pixels),
                       2835, 2835, 16, 16)
    with open(path, "wb") as f:
        f.write(header + info + palette + bytes(pixels))


def main():
    here = os.path.dirname(os.path.abspath(__file__))
    out = sys.argv[1] if len(sys.argv) > 1 else os.path.join(here, "..", "portselect", "images")
    for stem, (background, dark, bright) in PAIRS.items():
        write_bmp4(os.path.join(out, f"LED{stem}OFF.bmp"), draw(background, dark, False))
        write_bmp4(os.path.join(out, f"LED{stem}ON.bmp"), draw(background, bright, True))


if __name__ == "__main__":
    main()
