#!/usr/bin/env python3
"""Screenshots of an X display as PNG without ImageMagick: xwd's dump converted here.
Usage: screenshot.py DISPLAY OUT.png [X Y W H]   (a region of the root window, or all of it)
As a module: grab(display) -> (width, height, rows of (r, g, b) tuples)."""
import struct
import subprocess
import sys
import zlib


def grab(display):
    data = subprocess.run(["xwd", "-root", "-silent", "-display", display], capture_output=True, check=True).stdout
    f = struct.unpack(">25I", data[:100])
    header_size, width, height, bits_per_pixel, bytes_per_line, colours = f[0], f[4], f[5], f[11], f[12], f[19]
    step = bits_per_pixel // 8
    offset = header_size + colours * 12
    rows = []
    for y in range(height):
        row = data[offset + y * bytes_per_line: offset + y * bytes_per_line + width * step]
        rows.append([(row[i + 2], row[i + 1], row[i]) for i in range(0, width * step, step)])
    return width, height, rows


def write_png(path, rows):
    height, width = len(rows), len(rows[0])
    raw = b"".join(b"\0" + bytes(c for p in row for c in p) for row in rows)

    def chunk(kind, body):
        return struct.pack(">I", len(body)) + kind + body + struct.pack(">I", zlib.crc32(kind + body) & 0xFFFFFFFF)

    with open(path, "wb") as f:
        f.write(b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", width, height, 8, 2, 0, 0, 0)) +
                chunk(b"IDAT", zlib.compress(raw)) + chunk(b"IEND", b""))


if __name__ == "__main__":
    _, _, rows = grab(sys.argv[1])
    if len(sys.argv) == 7:
        x, y, w, h = map(int, sys.argv[3:7])
        rows = [r[x:x + w] for r in rows[y:y + h]]
    write_png(sys.argv[2], rows)
