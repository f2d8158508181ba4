#!/usr/bin/env python3
"""Draws the six skins of the Command button into src/ui/skins/ as 64 x 25, 24-bit PNG files.

Only the 4-pixel frame is ever copied onto a button (corners as they are, edges stretched), so the
frame bands are uniform along their length; the middle gets the button's gradient so that a skin
looks like a button when viewed on its own. Run from anywhere: python3 scripts/make-skins.py
"""

import os
import struct
import zlib

WIDTH, HEIGHT, FRAME = 64, 25, 4
WHITE = (255, 255, 255)
LAVENDER = (198, 197, 215)
# What a rounded corner blends into: a pale tone that sits well on light and dark forms.
CORNER_BACK = (236, 236, 244)


def mix(a, b, t):
    """a moved towards b by the fraction t."""
    return tuple(round(x + (y - x) * t) for x, y in zip(a, b))


def gradient(y):
    return mix(WHITE, LAVENDER, y / (HEIGHT - 1))


# Per look: outline, ring 1 on the top/left side, ring 1 on the bottom/right side, and the tint of
# rings 2 and 3 on each side.
LOOKS = {
    "Normal": dict(outline=(84, 92, 138), light=(255, 255, 255), shade=(168, 166, 196),
                   tint_light=(246, 246, 251), tint_shade=(212, 210, 228)),
    "HighLight": dict(outline=(214, 128, 24), light=(255, 242, 208), shade=(238, 186, 104),
                      tint_light=(255, 248, 232), tint_shade=(236, 214, 196)),
    "Selected": dict(outline=(36, 80, 172), light=(216, 230, 255), shade=(118, 148, 212),
                     tint_light=(240, 244, 255), tint_shade=(200, 206, 232)),
    "HighLightSelect": dict(outline=(36, 80, 172), light=(255, 196, 84), shade=(255, 196, 84),
                            tint_light=(255, 236, 190), tint_shade=(240, 214, 180)),
    # Sunken: the bevel turns round and the frame darkens.
    "Pressed": dict(outline=(52, 56, 96), light=(140, 138, 172), shade=(250, 250, 255),
                    tint_light=(196, 194, 218), tint_shade=(222, 220, 236)),
    "Disable": dict(outline=(164, 164, 172), light=(246, 246, 246), shade=(208, 208, 212),
                    tint_light=(238, 238, 240), tint_shade=(222, 222, 226)),
}


def pixel(look, x, y):
    right, bottom = WIDTH - 1 - x, HEIGHT - 1 - y
    ring = min(x, y, right, bottom)
    if ring >= FRAME:
        return gradient(y)
    # Split the corners on the diagonal so the bevel meets cleanly.
    light_side = min(x, y) <= min(right, bottom)
    if ring == 0:
        if (x in (0, WIDTH - 1)) and (y in (0, HEIGHT - 1)):
            return mix(look["outline"], CORNER_BACK, 0.6)
        return look["outline"]
    if ring == 1:
        return look["light"] if light_side else look["shade"]
    tint = look["tint_light"] if light_side else look["tint_shade"]
    if ring == 2:
        return mix(look["light"] if light_side else look["shade"], tint, 0.5)
    return tint


def png(rows):
    def chunk(kind, data):
        body = kind + data
        return struct.pack(">I", len(data)) + body + struct.pack(">I", zlib.crc32(body) & 0xFFFFFFFF)

    raw = b"".join(b"\x00" + bytes(c for p in row for c in p) for row in rows)
    header = struct.pack(">IIBBBBB", WIDTH, HEIGHT, 8, 2, 0, 0, 0)  # 8-bit RGB
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", header) + chunk(b"IDAT", zlib.compress(raw, 9))
            + chunk(b"IEND", b""))


def main():
    out = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "src", "ui", "skins")
    os.makedirs(out, exist_ok=True)
    for name, look in LOOKS.items():
        rows = [[pixel(look, x, y) for x in range(WIDTH)] for y in range(HEIGHT)]
        with open(os.path.join(out, name + ".png"), "wb") as f:
            f.write(png(rows))


if __name__ == "__main__":
    main()
