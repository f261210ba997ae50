"""The table of damaged label images that both printgates must refuse, made
from good images of every format the job reads: each cut inside its header,
inside its image data and one byte short of its end; a flipped byte in a
PNG's compressed data and in one of its CRCs, and a chunk type that is no
text; a GIF without its trailer; a BMP whose pixel array is short; a TIFF
whose directory lies past its end (no image: nothing a decoder can start
on); a GIF whose screen claims more pixels than printgate decodes and a BMP
whose colour table claims billions of entries, both found by the image fuzz
target. Rows that must still print: the good images,
and a baseline JPEG without (part of) its end marker, which viewers show
whole. The native suite (tests/cups/) and the Wine bench run the same rows;
`python3 -m pylib.damaged_images FOLDER` writes them as fuzz seeds.
"""

import json
import os
import subprocess

from pylib import httpapi

WIDTH, HEIGHT = 200, 120
BLACK, WHITE = (0, 0, 0), (255, 255, 255)
REFUSED = (415, "damaged-image")
# Cut before its size and layout are known, no decoder can start on it: its
# refusal stays the decoder's own, as for any bytes that are no image.
NOT_AN_IMAGE = (415, "not-an-image")
PRINTED = (200, None)
# Judged on its header's word before any decoder sees it.
TOO_LARGE = (422, "image-too-large-for-paper")
# What the legacy route's job says when it stops at its load step, whatever
# the reason (no image, or one too large).
LEGACY_REFUSED = b"; nothing printed.\n"
# 93 bytes whose screen claims 39578 x 12585 pixels: a decoder that takes
# it at its word holds 2 GB of pixels before it finds the frame broken.
FUZZED_GIF = ("R0lGODdhmpopMZoqfgAAIQsLCwsLCwsLCyEzAQCAYAAACwsLCywLCwsLCwsLCwsLCwsLCwsLCwsLAQBgsAAABQAa"
              "YBCAAAoLCgsLCwsLCwsLCwsLCwsLCwsLC2rI")
# 59 bytes whose colour count gdk-pixbuf's loader multiplied into a 2.8 GB
# buffer: no image, as a header cut.
FUZZED_BMP = "Qk12GQEAAAAAADYAAAAoAAAAyAAAADoAAAAAAAgAAQAAAEAZAQByAAAAAAAAAAAAAOoACgAjDQMAAQE="
# 142 bytes whose directory gives the width twice, 39202 and then 200:
# libtiff reads the first and gdk-pixbuf's loader took 1.5 GB for it.
FUZZED_TIFF = ("SUkqAAgAAAAKAAABAwABAAAAIplg7TTKiRTLB2mmVEimWDtNMqJFMsHaaZUSKZYO00wUXyAAAAAKAAABAwABAAAAyAAAAAEB"
               "AwABAAAAeCYAAEQBAwADAAAAhgAAAAOwYAAADwAAAAAAAAByAAAA/wAAAAAAAAAAf5gLAPBhAAAAAAAAAAAAAAAAAAAAAA==")


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
    images_first = tiff_directory_first()
    for name, suffix, options, media in FORMATS:
        path = os.path.join(folder, name.replace(" ", "-") + "." + suffix)
        prefix = "BMP3:" if suffix == "bmp" else ""
        subprocess.run(["/usr/bin/convert", ppm] + options + [prefix + path], check=True,
                       stdin=subprocess.DEVNULL, timeout=60)
        with open(path, "rb") as f:
            images[name] = (f.read(), media)
    images["tiff, directory first"] = (images_first, "image/tiff")
    return images


def tiff_directory_first():
    """The label as an uncompressed RGB TIFF whose directory comes before its
    strips (ImageMagick writes it after them), so that a cut inside the
    strips leaves the directory whole."""
    import struct
    pixels = bytes(c for y in range(HEIGHT) for x in range(WIDTH) for c in label_pixel(x, y))
    rows_per_strip = 8
    strips = (HEIGHT + rows_per_strip - 1) // rows_per_strip
    entries = [(256, 3, 1, WIDTH), (257, 3, 1, HEIGHT), (258, 3, 3, None), (259, 3, 1, 1), (262, 3, 1, 2),
               (273, 4, strips, None), (277, 3, 1, 3), (278, 3, 1, rows_per_strip), (279, 4, strips, None),
               (284, 3, 1, 1)]
    directory_size = 2 + 12 * len(entries) + 4
    extra_at = 8 + directory_size  # bits per sample, then offsets, then counts
    offsets_at = extra_at + 6
    counts_at = offsets_at + 4 * strips
    data_at = counts_at + 4 * strips
    strip_bytes = rows_per_strip * WIDTH * 3
    out = b"II*\0" + struct.pack("<I", 8) + struct.pack("<H", len(entries))
    values = {258: extra_at, 273: offsets_at, 279: counts_at}
    for tag, kind, count, value in entries:
        value = values.get(tag, value)
        packed = struct.pack("<HH", value, 0) if kind == 3 and count == 1 else struct.pack("<I", value)
        out += struct.pack("<HHI", tag, kind, count) + packed
    out += struct.pack("<I", 0) + struct.pack("<HHH", 8, 8, 8)
    out += b"".join(struct.pack("<I", data_at + i * strip_bytes) for i in range(strips))
    out += b"".join(struct.pack("<I", min(strip_bytes, len(pixels) - i * strip_bytes)) for i in range(strips))
    return out + pixels


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
    """[(row name, bytes, media type, expected v2 (status, code))]; a row
    refused on v2 prints nothing on the legacy route either."""
    images = good_images(folder)
    table = []
    for name, (data, media) in images.items():
        table.append((name + " whole", data, media, PRINTED))
    header_cuts = {"png": 20, "gif": 9, "bmp": 20, "tiff": 6, "tiff, directory first": 60}
    for name, (data, media) in images.items():
        if "jpeg" in name:
            header = _scan_start(data) // 2
            middle = (_scan_start(data) + len(data)) // 2
        else:
            header = header_cuts[name]
            middle = len(data) // 2
        table.append((name + " cut inside its header", data[:header], media, NOT_AN_IMAGE))
        # ImageMagick writes a TIFF's directory after its strips: cut in the
        # middle, it has lost its header.
        table.append((name + " cut inside its image data", data[:middle], media,
                      NOT_AN_IMAGE if name == "tiff" else REFUSED))
        short = name + (" without its trailer" if name == "gif" else " one byte short")
        if name == "bmp":
            short = "bmp with a short pixel array (one byte short)"
        if name == "jpeg":
            table.append(("jpeg one byte short (no end marker's last byte)", data[:-1], media, PRINTED))
            table.append(("jpeg without its end marker", data[:-2], media, PRINTED))
        elif name == "progressive jpeg":
            table.append(("progressive jpeg without its end marker", data[:-2], media, REFUSED))
        else:
            # ...and one byte short, the next directory's offset that ends
            # it: its header again.
            table.append((short, data[:-1], media, NOT_AN_IMAGE if name == "tiff" else REFUSED))
    # Pixels said to start past the end: a decoder that believes it asks
    # for gigabytes.
    bmp, media = images["bmp"]
    table.append(("bmp whose pixels start past its end", bmp[:10] + (0x7f000036).to_bytes(4, "little") + bmp[14:],
                  media, NOT_AN_IMAGE))
    png, media = images["png"]
    idat, length = _png_chunk(png, b"IDAT")
    table.append(("png with a flipped byte in its compressed data", _flip(png, idat + length // 2), media, REFUSED))
    table.append(("png with a flipped byte in its IDAT CRC", _flip(png, idat + length + 1), media, REFUSED))
    # A chunk type byte that is no text: the answer quotes the type and must
    # stay UTF-8 (print_v2 reads it as strict JSON).
    iend = png.rindex(b"IEND")
    table.append(("png whose IEND type has a byte 0xBB", png[:iend + 3] + b"\xbb" + png[iend + 4:], media, REFUSED))
    # A directory said to lie past the end is the header itself missing: no
    # decoder can start, so it is no image, as a cut inside the header.
    tiff, media = images["tiff, directory first"]
    table.append(("tiff whose directory lies past its end",
                  tiff[:4] + (len(tiff) + 64).to_bytes(4, "little") + tiff[8:], media, NOT_AN_IMAGE))
    import base64
    table.append(("gif whose screen claims 39578 x 12585 pixels", base64.b64decode(FUZZED_GIF), "image/gif",
                  TOO_LARGE))
    table.append(("bmp whose colour table claims 0xEA000000 entries", base64.b64decode(FUZZED_BMP), "image/bmp",
                  NOT_AN_IMAGE))
    table.append(("tiff whose width is given twice, 39202 first", base64.b64decode(FUZZED_TIFF), "image/tiff",
                  TOO_LARGE))
    return table


def print_v2(name, data, media, expected, failures):
    """Posts one row to printgate's v2 print route; returns its (status,
    error code) and adds to failures what differs from expected, or a
    damaged-image answer that names no fault."""
    got, _, raw = httpapi.http("POST", "/vqapi/v2/print?printer=VELQ", body=data,
                               headers={"Content-Type": media})
    # Strict: an answer that is not UTF-8 is no JSON text, whatever it says.
    answer = json.loads(raw.decode("utf-8"))
    v2 = (got, answer.get("error"))
    if v2 != expected:
        failures.append("%s: v2 %r, wanted %r (%s)" % (name, v2, expected, answer.get("message")))
    if v2 == REFUSED and "; nothing was printed" not in answer["message"]:
        failures.append("%s: the message names no fault: %r" % (name, answer["message"]))
    return v2


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
