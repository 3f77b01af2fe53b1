#!/usr/bin/env python3
"""Writes the fuzz targets' seed corpora: small BMP, JPEG, ICO and SVG files and EXIF blocks
made from scratch (some JPEGs with an EXIF orientation and an ICC profile), the small PNG, GIF and
TIFF pictures of the codec tests (tests/toolkit/codecs/pillow_pictures.py, good and damaged ones),
and WebP, AVIF, HEIF and JPEG XL files made by the formats' own encoders.

    fuzz/corpus/make-seeds.py          (needs cjpeg from libjpeg-turbo-progs for the JPEGs,
                                        python3-pil for the PNG, GIF and TIFF pictures, and webp,
                                        libavif-bin, libheif-examples and libjxl-tools)
"""
import os
import struct
import subprocess
import gzip
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


def png(w, h, alpha=True, depth=8, extra=b""):
    """RGB or RGBA, 8 or 16 bits; extra: chunks put before the pixel data."""
    def sample(v):
        return bytes((v,)) if depth == 8 else struct.pack(">H", v * 257)

    def px(x, y):
        return b"".join(sample(v) for v in pixel(x, y) + (((x * 20) % 256,) if alpha else ()))

    raw = b"".join(b"\0" + b"".join(px(x, y) for x in range(w)) for y in range(h))
    head = struct.pack(">IIBBBBB", w, h, depth, 6 if alpha else 2, 0, 0, 0)
    return (b"\x89PNG\r\n\x1a\n" + png_chunk(b"IHDR", head) + extra +
            png_chunk(b"IDAT", zlib.compress(raw)) + png_chunk(b"IEND", b""))


def png_chunk(kind, body):
    return struct.pack(">I", len(body)) + kind + body + struct.pack(">I", zlib.crc32(kind + body))


def exif_orientation(orientation):
    """A big-endian TIFF block with one entry, the orientation."""
    return tiff(True, [(0x0112, 3, 1, orientation)])


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


def encode(folder, name, tool, args, inputs):
    """Runs an encoder on PNG inputs (name: bytes) written to a temporary folder; args name them
    and the output as {name} and {out}."""
    with tempfile.TemporaryDirectory() as tmp:
        paths = {}
        for input_name, data in inputs.items():
            paths[input_name] = os.path.join(tmp, input_name + ".png")
            with open(paths[input_name], "wb") as f:
                f.write(data)
        out = os.path.join(HERE, folder, name)
        os.makedirs(os.path.dirname(out), exist_ok=True)
        subprocess.run([tool] + [a.format(out=out, **paths) for a in args], check=True,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)


def make_webps():
    rgba, rgb = {"in": png(16, 12)}, {"in": png(16, 12, alpha=False)}
    encode("webp", "lossy.webp", "cwebp", ["-q", "40", "{in}", "-o", "{out}"], rgb)
    encode("webp", "lossy-alpha.webp", "cwebp", ["-q", "40", "-alpha_q", "50", "{in}", "-o", "{out}"], rgba)
    encode("webp", "lossless-alpha.webp", "cwebp", ["-lossless", "{in}", "-o", "{out}"], rgba)
    encode("webp", "animation.webp", "img2webp",
           ["-lossy", "{a}", "-lossless", "{b}", "-o", "{out}"], {"a": png(16, 12), "b": png(16, 12, alpha=False)})
    with tempfile.TemporaryDirectory() as tmp:
        for name, data in (("p.icc", b"ICC profile bytes " * 4), ("e.exif", exif_orientation(6))):
            with open(os.path.join(tmp, name), "wb") as f:
                f.write(data)
        out = os.path.join(HERE, "webp", "icc-exif.webp")
        subprocess.run(["webpmux", "-set", "icc", os.path.join(tmp, "p.icc"),
                        os.path.join(HERE, "webp", "lossy.webp"), "-o", out], check=True,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        subprocess.run(["webpmux", "-set", "exif", os.path.join(tmp, "e.exif"), out, "-o", out],
                       check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)


def make_avifs():
    rgba, rgb = {"in": png(16, 12)}, {"in": png(16, 12, alpha=False)}
    fast = ["-s", "10", "--min", "40", "--max", "50"]
    encode("avif", "yuv420.avif", "avifenc", fast + ["-y", "420", "{in}", "{out}"], rgb)
    encode("avif", "yuv444-10bit-alpha.avif", "avifenc", fast + ["-y", "444", "-d", "10", "{in}", "{out}"], rgba)
    encode("avif", "premultiplied-12bit.avif", "avifenc", fast + ["-p", "-d", "12", "{in}", "{out}"], rgba)
    encode("avif", "rotated-mirrored.avif", "avifenc", fast + ["--irot", "1", "--imir", "0", "{in}", "{out}"], rgb)
    encode("avif", "sequence.avif", "avifenc", fast + ["{a}", "{b}", "{out}"],
           {"a": png(16, 12, alpha=False), "b": png(16, 12, alpha=False)})


def make_heifs():
    encode("heif", "depth8.heic", "heif-enc", ["-q", "30", "{in}", "-o", "{out}"], {"in": png(16, 12, alpha=False)})
    encode("heif", "alpha-thumbnail.heic", "heif-enc", ["-q", "30", "-t", "8", "{in}", "-o", "{out}"],
           {"in": png(16, 12)})
    encode("heif", "depth10.heic", "heif-enc", ["-q", "30", "-b", "10", "{in}", "-o", "{out}"],
           {"in": png(16, 12, alpha=False, depth=16)})


def make_jxls():
    rgba = {"in": png(16, 12)}
    encode("jxl", "lossless-alpha.jxl", "cjxl", ["--quiet", "-d", "0", "{in}", "{out}"], rgba)
    encode("jxl", "lossy.jxl", "cjxl", ["--quiet", "-d", "3", "{in}", "{out}"], {"in": png(16, 12, alpha=False)})
    encode("jxl", "lossless-16bit.jxl", "cjxl", ["--quiet", "-d", "0", "{in}", "{out}"],
           {"in": png(16, 12, alpha=False, depth=16)})
    exif = png_chunk(b"eXIf", exif_orientation(7))
    encode("jxl", "orientation-container.jxl", "cjxl", ["--quiet", "-d", "1", "{in}", "{out}"],
           {"in": png(16, 12, extra=exif)})


def make_test_pictures(max_bytes=3072):
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


def tiff(big, entries, next_ifd=0):
    """A TIFF block whose first directory (at 8) holds entries of (tag, type, count, value)."""
    e = ">" if big else "<"
    out = (b"MM" if big else b"II") + struct.pack(e + "HI", 42, 8) + struct.pack(e + "H", len(entries))
    for tag, kind, count, value in entries:
        packed = struct.pack(e + "HH", value, 0) if kind == 3 else struct.pack(e + "I", value)
        out += struct.pack(e + "HHI", tag, kind, count) + packed
    return out + struct.pack(e + "I", next_ifd)


def exif(orientation, big=False):
    return b"Exif\0\0" + tiff(big, [(0x010F, 2, 4, 0), (0x0112, 3, 1, orientation),
                                     (0x8769, 4, 1, 0)])


def icc_profile(gamma=2.2):
    """A version 2 RGB display profile: Adobe RGB (1998)'s D50 colorants and a pure gamma."""
    def xyz(x, y, z):
        return b"XYZ \0\0\0\0" + struct.pack(">iii", *(round(v * 65536) for v in (x, y, z)))
    curve = b"curv\0\0\0\0" + struct.pack(">IH", 1, round(gamma * 256)) + b"\0\0"
    tags = [(b"wtpt", xyz(0.9642, 1.0, 0.8249)), (b"rXYZ", xyz(0.6097, 0.3111, 0.0195)),
            (b"gXYZ", xyz(0.2053, 0.6257, 0.0609)), (b"bXYZ", xyz(0.1492, 0.0632, 0.7446)),
            (b"rTRC", curve), (b"gTRC", curve), (b"bTRC", curve)]
    offset = 128 + 4 + 12 * len(tags)
    table, body = struct.pack(">I", len(tags)), b""
    for sig, data in tags:
        table += sig + struct.pack(">II", offset + len(body), len(data))
        body += data
    size = offset + len(body)
    header = struct.pack(">I4sI4s4s4s", size, b"none", 0x02100000, b"mntr", b"RGB ", b"XYZ ")
    header += bytes(12) + b"acsp" + bytes(24) + struct.pack(">I", 0)
    header += struct.pack(">iii", round(0.9642 * 65536), 65536, round(0.8249 * 65536))
    header += bytes(128 - len(header))
    return header + table + body


def app(marker, payload):
    return bytes((0xFF, marker)) + struct.pack(">H", len(payload) + 2) + payload


def icc_markers(profile, pieces):
    step = -(-len(profile) // pieces)
    chunks = [profile[i:i + step] for i in range(0, len(profile), step)]
    return b"".join(app(0xE2, b"ICC_PROFILE\0" + bytes((i + 1, len(chunks))) + c)
                    for i, c in enumerate(chunks))


def make_exif_and_profiles():
    write("exif", "little-6.exif", exif(6))
    write("exif", "big-8.exif", exif(8, big=True))
    write("exif", "bare-3.tiff", tiff(False, [(0x0112, 3, 1, 3)], next_ifd=26))
    write("exif", "long-5.tiff", tiff(True, [(0x0100, 4, 1, 640), (0x0112, 4, 1, 5)]))
    with open(os.path.join(HERE, "jpeg", "baseline.jpg"), "rb") as f:
        jpeg = f.read()
    write("jpeg", "exif-icc.jpg", jpeg[:2] + app(0xE1, exif(6)) + icc_markers(icc_profile(), 1) + jpeg[2:])
    write("jpeg", "icc-two-markers.jpg", jpeg[:2] + icc_markers(icc_profile(1.8), 2) + jpeg[2:])
    write("jpeg", "exif-big-8.jpg", jpeg[:2] + app(0xE1, exif(8, big=True)) + jpeg[2:])


SVG_NS = 'xmlns="http://www.w3.org/2000/svg" xmlns:xlink="http://www.w3.org/1999/xlink"'


def make_svgs():
    def svg(attributes, body):
        return f"<svg {SVG_NS} {attributes}>{body}</svg>".encode()

    shapes = ('<rect x="1" y="2" width="8" height="5" rx="2" fill="#c33" stroke="#000"/>'
              '<circle cx="12" cy="6" r="3" fill="#36c" fill-opacity="0.5"/>'
              '<path d="M1 9 C 4 1, 8 12, 15 3 Z" fill="none" stroke="#3a3" stroke-dasharray="1 2"/>')
    paint = ('<defs><linearGradient id="g"><stop offset="0" stop-color="red"/>'
             '<stop offset="1" stop-color="blue" stop-opacity="0"/></linearGradient>'
             '<radialGradient id="r" cx="0.3"><stop offset="0" stop-color="#ff0"/>'
             '<stop offset="1" stop-color="#0f0"/></radialGradient>'
             '<pattern id="p" width="4" height="4" patternUnits="userSpaceOnUse">'
             '<rect width="2" height="2" fill="#000"/></pattern>'
             '<clipPath id="c"><circle cx="8" cy="5" r="5"/></clipPath>'
             '<mask id="m"><rect width="16" height="10" fill="url(#g)"/></mask>'
             '<filter id="f"><feGaussianBlur stdDeviation="1"/><feOffset dx="1"/></filter></defs>'
             '<rect width="16" height="10" fill="url(#r)" clip-path="url(#c)"/>'
             '<rect width="16" height="10" fill="url(#p)" mask="url(#m)" filter="url(#f)"/>'
             '<g transform="rotate(10 8 5)" opacity="0.7"><use xlink:href="#c"/></g>')
    png = ("iVBORw0KGgoAAAANSUhEUgAAAAIAAAACCAYAAABytg0kAAAAFklEQVQI12P4z8DwHwyBjP8MDAwMDAA2WQQB"
           "xaX3WQAAAABJRU5ErkJggg==")  # 2 x 2, red, green, transparent
    seeds = {
        "shapes.svg": svg('width="16" height="10"', shapes),
        "paint.svg": svg('width="16mm" height="1cm" viewBox="0 0 16 10"', paint),
        "viewbox.svg": svg('viewBox="0 0 16 10" preserveAspectRatio="xMinYMax slice"', shapes),
        "extents.svg": svg("", shapes),
        "text.svg": svg('width="40" height="12"', '<text x="1" y="10" font-size="9" '
                        'font-family="sans-serif">Ab<tspan dy="-2" fill="red">c</tspan></text>'),
        "image.svg": svg('width="8" height="8"', '<image width="8" height="8" '
                         f'xlink:href="data:image/png;base64,{png}"/>'),
        "entities.svg": b'<?xml version="1.0"?><!DOCTYPE svg [<!ENTITY s "<rect width=\'3\' '
                        b'height=\'3\'/>">]>' + svg('width="4" height="4"', "&s;&s;"),
        "style.svg": svg('width="6" height="6"', "<style>rect{fill:#0c0} .a{stroke:red}</style>"
                         '<rect class="a" width="5" height="5"/>'),
    }
    for name, data in seeds.items():
        write("svg", name, data)
    write("svg", "shapes.svgz", gzip.compress(seeds["shapes.svg"], mtime=0))


if __name__ == "__main__":
    make_bmps()
    make_icos()
    make_jpegs()
    make_test_pictures()
    make_exif_and_profiles()
    make_svgs()
    make_webps()
    make_avifs()
    make_heifs()
    make_jxls()
