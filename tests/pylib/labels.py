"""Label pictures for the print bench, and what ghostscript makes of a
captured job: PNG and JPEG files written with the standard library (and
ImageMagick for JPEG), the captured PostScript rendered at the printer
DC's own resolution and turned to the landscape page as the label would
come out of the printer."""

import os
import re
import struct
import subprocess
import tempfile
import zlib


def png(width, height, pixel, alpha=False):
    """A PNG of width x height; pixel(x, y) gives (r, g, b) or (r, g, b, a)."""
    rows = bytearray()
    for y in range(height):
        rows.append(0)
        for x in range(width):
            rows.extend(pixel(x, y))
    header = struct.pack(">IIBBBBB", width, height, 8, 6 if alpha else 2, 0, 0, 0)

    def chunk(kind, data):
        return (struct.pack(">I", len(data)) + kind + data +
                struct.pack(">I", zlib.crc32(kind + data) & 0xFFFFFFFF))

    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", header) +
            chunk(b"IDAT", zlib.compress(bytes(rows))) + chunk(b"IEND", b""))


def jpeg(png_bytes):
    """The same picture as a JPEG (ImageMagick)."""
    with tempfile.TemporaryDirectory() as folder:
        source = os.path.join(folder, "in.png")
        target = os.path.join(folder, "out.jpg")
        with open(source, "wb") as f:
            f.write(png_bytes)
        subprocess.run(["/usr/bin/convert", source, "-quality", "95", target],
                       check=True, stdin=subprocess.DEVNULL, timeout=60)
        with open(target, "rb") as f:
            return f.read()


class Page:
    """A rendered sheet in gray levels, row by row from the top, seen the
    way the landscape label reads: Wine's PostScript driver draws landscape
    pages a quarter turn round, the label's x running up the portrait sheet
    and its y to the right. Coordinates below are the landscape ones."""

    def __init__(self, width, height, gray):
        self.sheet_width, self.sheet_height, self.gray = width, height, gray
        self.width, self.height = height, width

    def at(self, x, y):
        return self.gray[(self.sheet_height - 1 - x) * self.sheet_width + y]

    def dark_box(self, threshold=128):
        """Bounding box (left, top, right, bottom) of the dark pixels, or None."""
        rows = []
        left, right = self.sheet_width, -1
        for row in range(self.sheet_height):
            line = self.gray[row * self.sheet_width:(row + 1) * self.sheet_width]
            if min(line) < threshold:
                rows.append(row)
                dark = [x for x, v in enumerate(line) if v < threshold]
                left, right = min(left, dark[0]), max(right, dark[-1])
        if not rows:
            return None
        return self.sheet_height - 1 - rows[-1], left, self.sheet_height - rows[0], right + 1


def resolution(postscript):
    """The DC's resolution, from the driver's '72 R div' page scale."""
    found = re.search(rb"72 (\d+) div 72 (\d+) div scale", postscript)
    if not found:
        raise ValueError("no device scale in the captured PostScript")
    return int(found.group(1)), int(found.group(2))


def page_size_mm(postscript):
    """The first page's size in millimetres to 0.1, width first, as the
    page reads (a landscape document's sheet turned a quarter round), from
    ghostscript's own page at the DC's resolution."""
    page = render(postscript)
    dpi_x, dpi_y = resolution(postscript)
    width, height = page.sheet_width * 25.4 / dpi_x, page.sheet_height * 25.4 / dpi_y
    if b"%%Orientation: Landscape" in postscript:
        width, height = height, width
    return round(width, 1), round(height, 1)


def render(postscript):
    """Renders the first page with ghostscript at the DC's resolution,
    without anti-aliasing, and returns a Page."""
    dpi_x, dpi_y = resolution(postscript)
    with tempfile.TemporaryDirectory() as folder:
        source = os.path.join(folder, "job.ps")
        target = os.path.join(folder, "page.pgm")
        with open(source, "wb") as f:
            f.write(postscript)
        subprocess.run(["gs", "-q", "-dSAFER", "-dBATCH", "-dNOPAUSE", "-sDEVICE=pgmraw",
                        "-r%dx%d" % (dpi_x, dpi_y), "-dTextAlphaBits=1", "-dGraphicsAlphaBits=1",
                        "-dFirstPage=1", "-dLastPage=1", "-o", target, source],
                       check=True, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, timeout=120)
        with open(target, "rb") as f:
            data = f.read()
    tokens = []
    for line in data.split(b"\n"):
        if not line.startswith(b"#"):
            tokens.extend(line.split())
        if len(tokens) >= 4:
            break
    if tokens[0] != b"P5":
        raise ValueError("not a PGM page")
    width, height = int(tokens[1]), int(tokens[2])
    return Page(width, height, data[-width * height:])
