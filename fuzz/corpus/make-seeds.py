#!/usr/bin/env python3
"""Writes the fuzz targets' seed corpora: small BMP, JPEG and ICO files made from scratch, and
the small PNG, GIF and TIFF pictures of the codec tests (tests/toolkit/codecs/pillow_pictures.py,
good and damaged ones).

    fuzz/corpus/make-seeds.py          (needs cjpeg from libjpeg-turbo-progs for the JPEGs and
                                        python3-pil for the PNG, GIF and TIFF pictures)
"""
import os
import struct
import subprocess
import tempfile
import zlib

HERE = os.path.dirname(os.path.abspath(__file__))
W, H = 13, 7  # odd sizes exercise the row padding


def pixel(x, y):
    return (x * 19) % 256, (y * 37) % 256, ((x + y) * 11) % 256  # r, g, b


def palette(n):
    return [((i * 53) % 256, (i * 91) % 256, (i * 17) % 256) for i in range(n)]


def bmp(info, palette_bytes, pixels, extra=b""):
    off = 14 + len(info) + len(extra) + len(palette_bytes)
    head = b"BM" + struct.pack("<IHHI", off + len(pixels), 0, 0, off)
    return head + info + extra + palette_bytes + pixels


def info40(w, h, bits, compression=0, size=0, used=0):
    return struct.pack("<IiiHHIIiiII", 40, w, h, 1, bits, compression, size, 2835, 2835, used, 0)


def rows(w, h, bits, value):
    out = b""
    for y in range(h - 1, -1, -1):
        bitbuf, nbits, row = 0, 0, bytearray()
        for x in range(w):
            v = value(x, y)
            if bits < 8:
                bitbuf = (bitbuf << bits) | v
                nbits += bits
                if nbits == 8:
                    row.append(bitbuf)
                    bitbuf, nbits = 0, 0
            elif bits == 8:
                row.append(v)
            elif bits == 16:
                row += struct.pack("<H", v)
            elif bits == 24:
                row += bytes(v)
            else:
                row += struct.pack("<I", v)
        if nbits:
            row.append(bitbuf << (8 - nbits))
        while len(row) % 4:
            row.append(0)
        out += row
    return out


def pal_bytes(n, entry=4):
    return b"".join(bytes((b, g, r) + ((0,) if entry == 4 else ())) for r, g, b in palette(n))


def rle8(w, h):
    out = bytearray()
    for y in range(h - 1, -1, -1):
        if y == 3:
            out += bytes((0, 2, 2, 0, w - 2, 1, 0, 0))  # delta: skip two pixels, then a run
            continue
        out += bytes((5, y * 2))  # a run
        out += bytes((0, 4, 1, 2, 3, 4))  # four literal pixels
        out += bytes((w - 9, 7))
        out += bytes((0, 0))  # end of line
    out += bytes((0, 1))
    return bytes(out)


def rle4(w, h):
    out = bytearray()
    for y in range(h - 1, -1, -1):
        out += bytes((6, 0x12))
        out += bytes((0, 3, 0x34, 0x50))  # three literal pixels, padded
        out += bytes((w - 9, 0x77))
        out += bytes((0, 0))
    out += bytes((0, 1))
    return bytes(out)


def write(folder, name, data):
    os.makedirs(os.path.join(HERE, folder), exist_ok=True)
    with open(os.path.join(HERE, folder, name), "wb") as f:
        f.write(data)


def make_bmps():
    for bits in (1, 4, 8):
        n = 1 << bits
        px = rows(W, H, bits, lambda x, y, n=n: (x + y) % n)
        write("bmp", f"pal{bits}.bmp", bmp(info40(W, H, bits, used=n), pal_bytes(n), px))
    px = rows(W, H, 8, lambda x, y: (x * y) % 16)
    write("bmp", "pal8-topdown-short-palette.bmp",
          bmp(info40(W, -H, 8, used=16), pal_bytes(16), px))
    write("bmp", "rgb24.bmp", bmp(info40(W, H, 24), b"", rows(W, H, 24, lambda x, y: pixel(x, y)[::-1])))
    write("bmp", "rgb16-555.bmp", bmp(info40(W, H, 16), b"",
                                      rows(W, H, 16, lambda x, y: (x << 10) | (y << 5) | (x + y))))
    masks = struct.pack("<III", 0xF800, 0x07E0, 0x001F)
    write("bmp", "rgb16-565.bmp", bmp(info40(W, H, 16, 3), b"",
                                      rows(W, H, 16, lambda x, y: (x << 11) | (y << 6) | x), masks))
    masks = struct.pack("<III", 0x3FF00000, 0x000FFC00, 0x000003FF)
    write("bmp", "rgb32-101010.bmp", bmp(info40(W, H, 32, 3), b"",
                                         rows(W, H, 32, lambda x, y: (x << 24) | (y << 14) | x), masks))
    write("bmp", "rgb32.bmp", bmp(info40(W, H, 32), b"",
                                  rows(W, H, 32, lambda x, y: (x << 16) | (y << 8) | 0x80)))
    data = rle8(W, H)
    write("bmp", "rle8.bmp", bmp(info40(W, H, 8, 1, len(data), 16), pal_bytes(16), data))
    data = rle4(W, H)
    write("bmp", "rle4.bmp", bmp(info40(W, H, 4, 2, len(data), 16), pal_bytes(16), data))
    os2 = struct.pack("<IHHHH", 12, W, H, 1, 8)
    write("bmp", "os2v1.bmp", bmp(os2, pal_bytes(256, 3), rows(W, H, 8, lambda x, y: x * y % 256)))
    v5 = struct.pack("<IiiHHIIiiII", 124, W, H, 1, 32, 3, 0, 0, 0, 0, 0)
    v5 += struct.pack("<IIII", 0xFF0000, 0xFF00, 0xFF, 0xFF000000) + b"BGRs" + bytes(124 - 60)
    write("bmp", "v5-alpha.bmp", bmp(v5, b"", rows(W, H, 32, lambda x, y: (y * 30) << 24 | x * 9)))


def png(w, h):
    raw = b"".join(b"\0" + b"".join(bytes(pixel(x, y) + ((x * 20) % 256,)) for x in range(w))
                   for y in range(h))

    def chunk(kind, body):
        return struct.pack(">I", len(body)) + kind + body + struct.pack(">I", zlib.crc32(kind + body))

    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", w, h, 8, 6, 0, 0, 0)) +
            chunk(b"IDAT", zlib.compress(raw)) + chunk(b"IEND", b""))


def ico_dib(w, h, bits):
    n = 1 << bits if bits <= 8 else 0
    head = struct.pack("<IiiHHIIiiII", 40, w, 2 * h, 1, bits, 0, 0, 0, 0, 0, 0)
    if bits <= 8:
        px = rows(w, h, bits, lambda x, y: (x + 2 * y) % n)
    elif bits == 24:
        px = rows(w, h, 24, lambda x, y: pixel(x, y)[::-1])
    else:
        px = rows(w, h, 32, lambda x, y: ((x * 16) % 256) << 24 | (y * 20) << 8 | x * 5)
    mask = rows(w, h, 1, lambda x, y: 1 if (x + y) % 5 == 0 else 0)
    return head + (pal_bytes(n) if n else b"") + px + mask


def ico(images):
    out = struct.pack("<HHH", 0, 1, len(images))
    offset = 6 + 16 * len(images)
    body = b""
    for w, h, bits, data in images:
        out += struct.pack("<BBBBHHII", w % 256, h % 256, 0, 0, 1, bits, len(data), offset + len(body))
        body += data
    return out + body


def make_icos():
    write("ico", "bmp-depths.ico", ico([(8, 8, b, ico_dib(8, 8, b)) for b in (1, 4, 8, 24, 32)]))
    write("ico", "odd-size.ico", ico([(W, H, 4, ico_dib(W, H, 4))]))
    write("ico", "png.ico", ico([(12, 10, 32, png(12, 10)), (6, 6, 24, ico_dib(6, 6, 24))]))


def make_jpegs():
    with tempfile.TemporaryDirectory() as tmp:
        ppm = os.path.join(tmp, "in.ppm")
        w, h = 40, 24
        with open(ppm, "wb") as f:
            f.write(b"P6\n%d %d\n255\n" % (w, h))
            f.write(b"".join(bytes(pixel(x, y)) for y in range(h) for x in range(w)))
        variants = {
            "baseline.jpg": [],
            "progressive.jpg": ["-progressive"],
            "arithmetic.jpg": ["-arithmetic"],
            "gray.jpg": ["-grayscale"],
            "restart-444.jpg": ["-restart", "1", "-sample", "1x1"],
        }
        for name, args in variants.items():
            out = os.path.join(HERE, "jpeg", name)
            os.makedirs(os.path.dirname(out), exist_ok=True)
            subprocess.run(["cjpeg", "-quality", "60"] + args + ["-outfile", out, ppm], check=True)


def make_test_pictures(max_bytes=3072):
    import shutil
    import sys
    sys.dont_write_bytecode = True
    sys.path.insert(0, os.path.join(HERE, "..", "..", "tests", "toolkit", "codecs"))
    import pillow_pictures
    for kind, folder in (("png", "png"), ("gif", "gif"), ("tiff", "tiff")):
        with tempfile.TemporaryDirectory() as tmp:
            getattr(pillow_pictures, "make_" + kind)(pillow_pictures.Folder(tmp))
            for name in sorted(os.listdir(tmp)):
                path = os.path.join(tmp, name)
                if name.endswith((".rgba", ".icc", ".txt")) or os.path.getsize(path) > max_bytes:
                    continue
                with open(path, "rb") as f:
                    write(folder, name, f.read())


if __name__ == "__main__":
    make_bmps()
    make_icos()
    make_jpegs()
    make_test_pictures()
