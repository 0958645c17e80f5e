#!/usr/bin/python3
"""Converts PGM images (P2 or P5, 8- or 16-bit) to one grey-scale PNG,
side by side when there are several:

    /usr/bin/python3 doc/pgm2png.py IN.pgm [IN2.pgm ...] OUT.png

16-bit images are scaled down to 8 bits. Needs nothing beyond Python.
"""

import struct
import sys
import zlib


def read_pgm(path):
    data = open(path, "rb").read()
    fields, pos = [], 2
    while len(fields) < 3:
        while data[pos:pos + 1].isspace():
            pos += 1
        if data[pos:pos + 1] == b"#":
            pos = data.index(b"\n", pos)
            continue
        start = pos
        while not data[pos:pos + 1].isspace():
            pos += 1
        fields.append(int(data[start:pos]))
    width, height, maxval = fields
    if data[:2] == b"P5":
        size = 2 if maxval > 255 else 1
        raw = data[pos + 1:pos + 1 + width * height * size]
        samples = [int.from_bytes(raw[i:i + size], "big") for i in range(0, len(raw), size)]
    elif data[:2] == b"P2":
        samples = [int(t) for t in data[pos:].split()][:width * height]
    else:
        sys.exit(f"{path}: not a PGM image")
    rows = [[s * 255 // maxval for s in samples[y * width:(y + 1) * width]] for y in range(height)]
    return width, height, rows


def write_png(path, width, height, rows):
    def chunk(kind, body):
        return (struct.pack(">I", len(body)) + kind + body
                + struct.pack(">I", zlib.crc32(kind + body) & 0xFFFFFFFF))
    raw = b"".join(b"\x00" + bytes(row) for row in rows)
    with open(path, "wb") as out:
        out.write(b"\x89PNG\r\n\x1a\n")
        out.write(chunk(b"IHDR", struct.pack(">IIBBBBB", width, height, 8, 0, 0, 0, 0)))
        out.write(chunk(b"IDAT", zlib.compress(raw, 9)))
        out.write(chunk(b"IEND", b""))


def main(argv):
    if len(argv) < 3:
        sys.exit(__doc__.strip())
    images = [read_pgm(p) for p in argv[1:-1]]
    gap = 8
    height = max(h for _, h, _ in images)
    rows = []
    for y in range(height):
        row = []
        for i, (w, h, pixels) in enumerate(images):
            row += (pixels[y] if y < h else [255] * w) + ([255] * gap if i < len(images) - 1 else [])
        rows.append(row)
    write_png(argv[-1], len(rows[0]), height, rows)


if __name__ == "__main__":
    main(sys.argv)
