"""The table of damaged label images that both printgates must refuse, made
from good images of every format the job reads: each cut inside its header,
inside its image data and one byte short of its end; a flipped byte in a
PNG's compressed data and in one of its CRCs; a GIF without its trailer; a
BMP whose pixel array is short. Rows that must still print: the good images,
and a baseline JPEG without (part of) its end marker, which viewers show
whole. The native suite (tests/cups/) and the Wine bench run the same rows.
"""

import os
import subprocess

WIDTH, HEIGHT = 200, 120
BLACK, WHITE = (0, 0, 0), (255, 255, 255)
REFUSED = (415, "damaged-image")
PRINTED = (200, None)


def label_pixel(x, y):
    """Bars and a frame, black on white: every row of the label differs
    from grey, so a half-decoded image can't pass for a whole one."""
    bars = 10 <= y < HEIGHT - 10 and 10 <= x < WIDTH - 10 and (x // 4) % 3 != 2
    frame = x < 3 or y < 3 or x >= WIDTH - 3 or y >= HEIGHT - 3
    return BLACK if bars or frame else WHITE


FORMATS = [  # name, file suffix, ImageMagick options, media type
    ("png", "png", ["-type", "TrueColor"], "image/png"),
    ("jpeg", "jpg", ["-type", "TrueColor", "-quality", "92", "-interlace", "none"], "image/jpeg"),
    ("progressive jpeg", "jpg", ["-type", "TrueColor", "-quality", "92", "-interlace", "JPEG"], "image/jpeg"),
    ("gif", "gif", [], "image/gif"),
    ("bmp", "bmp", ["-type", "TrueColor"], "image/bmp"),
    ("tiff", "tif", ["-type", "TrueColor", "-compress", "None"], "image/tiff"),
]


def good_images(folder):
    """{format name: (bytes, media type)} of the label, written by ImageMagick."""
    ppm = os.path.join(folder, "label.ppm")
    with open(ppm, "wb") as f:
        f.write(b"P6 %d %d 255\n" % (WIDTH, HEIGHT))
        f.write(bytes(c for y in range(HEIGHT) for x in range(WIDTH) for c in label_pixel(x, y)))
    images = {}
    for name, suffix, options, media in FORMATS:
        path = os.path.join(folder, name.replace(" ", "-") + "." + suffix)
        prefix = "BMP3:" if suffix == "bmp" else ""
        subprocess.run(["/usr/bin/convert", ppm] + options + [prefix + path], check=True,
                       stdin=subprocess.DEVNULL, timeout=60)
        with open(path, "rb") as f:
            images[name] = (f.read(), media)
    return images


def _png_chunk(data, kind):
    """Offset of a PNG chunk's data and its length."""
    at = 8
    while at < len(data):
        length = int.from_bytes(data[at:at + 4], "big")
        if data[at + 4:at + 8] == kind:
            return at + 8, length
        at += 12 + length
    raise ValueError("no %r chunk" % kind)


def _flip(data, at):
    return data[:at] + bytes([data[at] ^ 0x10]) + data[at + 1:]


def _scan_start(jpeg):
    """Offset of the first scan's entropy-coded data."""
    at = jpeg.index(b"\xff\xda")
    return at + 2 + int.from_bytes(jpeg[at + 2:at + 4], "big")


def rows(folder):
    """[(row name, bytes, media type, expected (status, code))]."""
    images = good_images(folder)
    table = []
    for name, (data, media) in images.items():
        table.append((name + " whole", data, media, PRINTED))
    header_cuts = {"png": 20, "gif": 9, "bmp": 20, "tiff": 6}
    for name, (data, media) in images.items():
        if "jpeg" in name:
            header = _scan_start(data) // 2
            middle = (_scan_start(data) + len(data)) // 2
        else:
            header = header_cuts[name]
            middle = len(data) // 2
        table.append((name + " cut inside its header", data[:header], media, REFUSED))
        table.append((name + " cut inside its image data", data[:middle], media, REFUSED))
        short = name + (" without its trailer" if name == "gif" else " one byte short")
        if name == "bmp":
            short = "bmp with a short pixel array (one byte short)"
        if name == "jpeg":
            table.append(("jpeg one byte short (no end marker's last byte)", data[:-1], media, PRINTED))
            table.append(("jpeg without its end marker", data[:-2], media, PRINTED))
        elif name == "progressive jpeg":
            table.append(("progressive jpeg without its end marker", data[:-2], media, REFUSED))
        else:
            table.append((short, data[:-1], media, REFUSED))
    png, media = images["png"]
    idat, length = _png_chunk(png, b"IDAT")
    table.append(("png with a flipped byte in its compressed data", _flip(png, idat + length // 2), media, REFUSED))
    table.append(("png with a flipped byte in its IDAT CRC", _flip(png, idat + length + 1), media, REFUSED))
    return table


def format_table(observed):
    """observed: [(row name, v2 (status, code), legacy jobs)] as a text table."""
    lines = ["%-52s %-22s %s" % ("row", "v2", "legacy jobs")]
    for name, (status, code), jobs in observed:
        lines.append("%-52s %-22s %d" % (name, "%d %s" % (status, code or ""), jobs))
    return "\n".join(lines)


def write_seeds(folder):
    """Every row's bytes as one file each, for the image-loading fuzz target."""
    import tempfile
    with tempfile.TemporaryDirectory() as scratch:
        for index, (_, data, _, _) in enumerate(rows(scratch)):
            with open(os.path.join(folder, "row-%02d" % index), "wb") as f:
                f.write(data)


if __name__ == "__main__":
    import sys
    write_seeds(sys.argv[1])
