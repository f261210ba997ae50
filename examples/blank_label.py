"""Writes a blank (white) PNG of WIDTH x HEIGHT pixels to standard output,
one bit a pixel, so that sizes past what image tools allow stay small:

    python3 examples/blank_label.py 1 26214 > tall.png

The docs use it to show printgate's answer for labels too large to print."""

import struct
import sys
import zlib


def chunk(kind, data):
    return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data) & 0xFFFFFFFF)


def blank_png(width, height):
    row = b"\0" + b"\xff" * ((width + 7) // 8)  # filter byte, then white pixels
    packer = zlib.compressobj(9)
    data = b"".join(packer.compress(row) for _ in range(height)) + packer.flush()
    header = struct.pack(">IIBBBBB", width, height, 1, 0, 0, 0, 0)
    return b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", header) + chunk(b"IDAT", data) + chunk(b"IEND", b"")


if __name__ == "__main__":
    if len(sys.argv) != 3:
        sys.exit("usage: blank_label.py WIDTH HEIGHT")
    sys.stdout.buffer.write(blank_png(int(sys.argv[1]), int(sys.argv[2])))
