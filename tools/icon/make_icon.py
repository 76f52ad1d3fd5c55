#!/usr/bin/env python3
"""Draws the program's icon (resource 1): a green power symbol on the window's dark ground, in
the page's palette, at 16, 32, 48 and 256 pixels. Writes a Windows .ico (32-bit BMP images).
Usage: make_icon.py OUT.ico"""
import math
import struct
import sys

GROUND = (11, 14, 18)
GREEN = (52, 224, 138)  # #34E08A


def pixel(size, x, y):
    """Colour and coverage at pixel (x, y) of an image of this size, by 4x4 supersampling."""
    hits_ground = hits_mark = 0
    c = (size - 1) / 2.0
    radius = size * 0.47
    ring_outer, ring_inner = size * 0.33, size * 0.23
    bar_half = size * 0.055
    for sy in range(4):
        for sx in range(4):
            px = x + (sx + 0.5) / 4 - 0.5
            py = y + (sy + 0.5) / 4 - 0.5
            dx, dy = px - c, py - c
            d = math.hypot(dx, dy)
            if d > radius:
                continue
            hits_ground += 1
            angle = math.degrees(math.atan2(dx, -dy))  # 0 at the top
            on_ring = ring_inner <= d <= ring_outer and abs(angle) > 35
            on_bar = abs(dx) <= bar_half and -size * 0.40 <= dy <= -size * 0.02
            if on_ring or on_bar:
                hits_mark += 1
    if hits_ground == 0:
        return (0, 0, 0, 0)
    t = hits_mark / hits_ground
    rgb = tuple(round(GROUND[i] * (1 - t) + GREEN[i] * t) for i in range(3))
    return rgb + (round(255 * hits_ground / 16),)


def bmp_image(size):
    rows = []
    for y in range(size - 1, -1, -1):  # bottom-up
        row = b""
        for x in range(size):
            r, g, b, a = pixel(size, x, y)
            row += bytes((b, g, r, a))
        rows.append(row)
    mask_row = b"\0" * (((size + 31) // 32) * 4)
    header = struct.pack("<IiiHHIIiiII", 40, size, size * 2, 1, 32, 0, 0, 0, 0, 0, 0)
    return header + b"".join(rows) + mask_row * size


def main():
    sizes = [16, 32, 48, 256]
    images = [bmp_image(s) for s in sizes]
    out = struct.pack("<HHH", 0, 1, len(sizes))
    offset = 6 + 16 * len(sizes)
    for s, img in zip(sizes, images):
        out += struct.pack("<BBBBHHII", s % 256, s % 256, 0, 0, 1, 32, len(img), offset)
        offset += len(img)
    with open(sys.argv[1], "wb") as f:
        f.write(out + b"".join(images))


if __name__ == "__main__":
    main()
