"""Writes a PNG file from rows of pixels, for the scripts that draw the program's pictures.
Standard library only."""

import struct
import zlib


def clamp(v):
    return 0 if v < 0 else 255 if v > 255 else int(v)


def write_png(path, pixels):
    """Writes 8-bit RGB pixels (r, g, b) or RGBA pixels (r, g, b, a), each component 0 to 255
    (clamped, fractions dropped), one list of pixels per row, top row first."""
    height, width = len(pixels), len(pixels[0])
    channels = len(pixels[0][0])
    raw = bytearray()
    for row in pixels:
        raw.append(0)  # no filter
        for pixel in row:
            raw += bytes(clamp(v) for v in pixel)

    def chunk(kind, data):
        body = kind + data
        return struct.pack(">I", len(data)) + body + struct.pack(">I", zlib.crc32(body) & 0xFFFFFFFF)

    colour_type = 6 if channels == 4 else 2
    header = struct.pack(">IIBBBBB", width, height, 8, colour_type, 0, 0, 0)
    with open(path, "wb") as out:
        out.write(b"\x89PNG\r\n\x1a\n")
        out.write(chunk(b"IHDR", header))
        out.write(chunk(b"IDAT", zlib.compress(bytes(raw), 9)))
        out.write(chunk(b"IEND", b""))
