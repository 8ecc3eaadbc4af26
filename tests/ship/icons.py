"""Small .ico files for the branding tests, made at test time: bitmap images
(what every Windows reads) or only PNG images (Vista's 256-pixel format)."""
import struct
import zlib


def _dib(size, rgba):
    """A 32-bit bitmap image as an icon holds it: the header states twice the
    height, for the colour rows and the AND mask that follows them."""
    header = struct.pack("<IiiHHIIiiII", 40, size, size * 2, 1, 32, 0, 0, 0, 0, 0, 0)
    pixels = bytes(rgba[2::-1] + rgba[3:]) * (size * size)
    mask_row = ((size + 31) // 32) * 4
    return header + pixels + bytes(mask_row * size)


def _png(size, rgba):
    def chunk(kind, data):
        return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data))
    rows = b"".join(b"\0" + bytes(rgba) * size for _ in range(size))
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", size, size, 8, 6, 0, 0, 0))
            + chunk(b"IDAT", zlib.compress(rows)) + chunk(b"IEND", b""))


def ico(images):
    """An .ico of (size, "bmp" or "png") images, each one plain colour."""
    blobs = [(_dib if kind == "bmp" else _png)(size, (200, 40, 40, 255)) for size, kind in images]
    out = struct.pack("<HHH", 0, 1, len(images))
    offset = 6 + 16 * len(images)
    for (size, kind), blob in zip(images, blobs):
        out += struct.pack("<BBBBHHII", size % 256, size % 256, 0, 0, 1, 32, len(blob), offset)
        offset += len(blob)
    return out + b"".join(blobs)


BITMAPS = ((16, "bmp"), (32, "bmp"))
PNG_ONLY = ((256, "png"),)
