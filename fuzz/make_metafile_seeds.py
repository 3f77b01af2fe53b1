#!/usr/bin/env python3
"""Writes the small hand-made seed inputs of the emf and wmf fuzz targets.

    fuzz/make_metafile_seeds.py            (rewrites fuzz/corpus/emf and fuzz/corpus/wmf)

Each seed is a valid picture that exercises one group of records, so that mutations start
from every part of the players.
"""
import os
import struct

ROOT = os.path.dirname(os.path.abspath(__file__))


def u32(*values):
    return b"".join(struct.pack("<I", v & 0xFFFFFFFF) for v in values)


def u16(*values):
    return b"".join(struct.pack("<H", v & 0xFFFF) for v in values)


def f32(*values):
    return b"".join(struct.pack("<f", v) for v in values)


# --------------------------------------------------------------------------------------------
# EMF


def emf(records, frame=(0, 0, 2000, 2000), handles=8):
    body = b""
    count = 1
    for rtype, payload in records + [(14, u32(0, 16, 20))]:
        payload += b"\0" * (-len(payload) % 4)
        body += u32(rtype, 8 + len(payload)) + payload
        count += 1
    header = u32(1, 108) + u32(0, 0, 100, 100) + u32(*frame) + u32(0x464D4520, 0x10000)
    header += u32(108 + len(body), count) + u16(handles, 0) + u32(0, 0, 0)
    header += u32(1000, 1000, 100, 100) + u32(0, 0, 0) + u32(100000, 100000)
    return header + body


def dib(width, height, bits, table, rows, compression=0):
    return u32(40, width, height) + u16(1, bits) + u32(compression, len(rows), 0, 0,
                                                        len(table), 0) + u32(*table) + rows


def stretchdibits(dest, packed, info_size, src_w, src_h, rop=0x00CC0020):
    x, y, w, h = dest
    fixed = u32(0, 0, 0, 0, x, y, 0, 0, src_w, src_h, 80, info_size, 80 + info_size,
                len(packed) - info_size, 0, rop, w, h)
    return (81, fixed + packed)


def blt(rtype, dest, rop, packed=b"", info_size=0, src=(0, 0), src_size=None):
    x, y, w, h = dest
    fixed = u32(0, 0, 0, 0, x, y, w, h, rop, src[0], src[1]) + f32(1, 0, 0, 1, 0, 0)
    extra = u32(*src_size) if src_size else b""
    base = 100 + len(extra)
    if packed:
        fixed += u32(0xFFFFFF, 0, base, info_size, base + info_size, len(packed) - info_size)
    else:
        fixed += u32(0xFFFFFF, 0, 0, 0, 0, 0)
    return (rtype, fixed + extra + packed)


def logfont(index, height, face, escapement=0, weight=400, italic=0, charset=0):
    name = face.encode("utf-16-le")[:64].ljust(64, b"\0")
    return (82, u32(index, height & 0xFFFFFFFF, 0, escapement, escapement, weight) +
            bytes([italic, 0, 0, charset, 0, 0, 0, 0]) + name)


def text_w(x, y, text, options=0, rect=(0, 0, 0, 0), dx=None):
    chars = text.encode("utf-16-le")
    off_string = 76
    off_dx = off_string + len(chars) + (-len(chars) % 4) if dx else 0
    payload = u32(0, 0, 0, 0, 1) + f32(1, 1) + u32(x, y, len(text), off_string, options, *rect,
                                                    off_dx)
    payload += chars + b"\0" * (-len(chars) % 4)
    if dx:
        payload += u32(*dx)
    return (84, payload)


def emf_seeds():
    seeds = {}
    pen_brush = [(38, u32(1, 0, 3, 0, 0x0000FF)), (39, u32(2, 0, 0x00FF00, 0)), (37, u32(1)),
                 (37, u32(2))]
    seeds["shapes"] = emf(pen_brush + [
        (43, u32(2, 2, 40, 30)), (42, u32(50, 5, 90, 45)), (44, u32(5, 50, 45, 90, 10, 10)),
        (45, u32(50, 50, 90, 90, 70, 50, 90, 70)), (46, u32(100, 5, 140, 45, 120, 5, 100, 25)),
        (47, u32(100, 50, 140, 90, 140, 70, 120, 50)),
        (86, u32(0, 0, 0, 0, 4) + u16(150, 10, 190, 10, 170, 40, 150, 10)),
        (87, u32(0, 0, 0, 0, 3) + u16(150, 50, 190, 60, 160, 90)),
        (2, u32(0, 0, 0, 0, 4, 10, 150, 40, 100, 60, 190, 90, 150)),
        (8, u32(0, 0, 0, 0, 2, 8, 4, 4, 100, 100, 160, 100, 160, 160, 100, 160, 110, 110, 150,
                110, 150, 150, 110, 150)),
        (27, u32(5, 190)), (54, u32(60, 190)), (41, u32(100, 190, 20) + f32(0, 270)),
        (15, u32(195, 195, 0x0000FF)),
    ])
    seeds["mapping"] = emf([
        (17, u32(8)), (9, u32(100, 100)), (11, u32(200, 150)), (10, u32(10, 10)),
        (12, u32(5, 5)), (31, u32(2, 1, 3, 2)), (32, u32(1, 2, 1, 1)), (43, u32(10, 10, 60, 60)),
        (33, b""), (17, u32(2)), (43, u32(10, -10, 60, -60)), (34, u32(-1)), (17, u32(7)),
        (35, f32(0.7, 0.7, -0.7, 0.7, 50, 0)), (36, f32(1, 0, 0.5, 1, 0, 0) + u32(2)),
        (42, u32(10, 10, 60, 40)), (36, f32(1, 0, 0, 1, 0, 0) + u32(1)), (17, u32(6)),
        (43, u32(100, -100, 1000, -1000)),
    ])
    seeds["objects"] = emf([
        (95, u32(1, 0, 0, 0, 0, 0x12200 | 7, 8, 0, 0xFF0000, 0, 2, 6, 3)),
        (39, u32(2, 2, 0x0000FF, 5)), (37, u32(1)), (37, u32(2)), (18, u32(2)),
        (25, u32(0x00FFFF)), (43, u32(10, 10, 100, 100)), (40, u32(2)), (37, u32(0x80000001)),
        (37, u32(0x80000007)), (20, u32(7)), (42, u32(50, 50, 150, 150)), (20, u32(13)),
        (19, u32(2)), (37, u32(0x80000008)), (37, u32(0x80000005)), (43, u32(0, 0, 5, 5)),
        (57, u32(2)), (58, u32(4)), (40, u32(1)), (37, u32(1)),
        (49, u32(3) + u16(0x300, 2) + u32(0x0000FF, 0x00FF00)), (48, u32(3)),
        (39, u32(4, 0, 0x01000001, 0)), (37, u32(4)), (43, u32(150, 150, 190, 190)),
    ])
    seeds["text"] = emf([
        logfont(1, -24, "Arial"), (37, u32(1)), (24, u32(0x0000FF)), (22, u32(24)),
        text_w(10, 40, "Hello", 0, dx=[14, 12, 6, 6, 12]), logfont(2, 20, "Times New Roman", 900,
                                                                   700, 1),
        (37, u32(2)), (22, u32(1)), (27, u32(20, 180)), text_w(0, 0, "Up"),
        text_w(0, 0, "CP", 6, (100, 100, 190, 140)),
        (83, u32(0, 0, 0, 0, 1) + f32(1, 1) + u32(10, 100, 3, 76, 0, 0, 0, 0, 0, 0) + b"abc\0"),
        (108, u32(40, 150, 4, 0x300, 1) + f32(1, 1) + b"ansi"),
    ])
    # Symbol fonts: codes of the symbol character set in ANSI and Unicode text, the private area,
    # and pictures outside the basic plane with a spacing array.
    seeds["symbols"] = emf([
        logfont(1, -24, "Symbol", charset=2), (37, u32(1)),
        (83, u32(0, 0, 0, 0, 1) + f32(1, 1) + u32(10, 10, 4, 76, 0, 0, 0, 0, 0, 80) +
         b"Dx\xf2\xe5" + u32(14, 12, 10, 16)),
        text_w(10, 50, "\uf044\uf078Dx", dx=[12, 12, 12, 12]),
        logfont(2, -24, "Wingdings", charset=1), (37, u32(2)),
        (83, u32(0, 0, 0, 0, 1) + f32(1, 1) + u32(10, 100, 3, 76, 0, 0, 0, 0, 0, 80) +
         b"!J\xfc\0" + u32(30, 30, 30)),
        logfont(3, -24, "Webdings"), (37, u32(3)), text_w(10, 150, "\uf061\uf0ff\uf020a"),
    ])
    seeds["paths"] = emf([
        (59, b""), (27, u32(10, 10)), (6, u32(0, 0, 0, 0, 2, 90, 10, 90, 90)), (61, b""),
        (42, u32(20, 20, 60, 60)), (60, b""), (63, u32(0, 0, 0, 0)), (59, b""),
        (43, u32(100, 100, 180, 180)), (60, b""), (67, u32(5)), (39, u32(1, 0, 0xFF, 0)),
        (37, u32(1)), (43, u32(0, 0, 200, 200)), (75, u32(0, 5)), (30, u32(10, 10, 150, 150)),
        (29, u32(20, 20, 40, 40)), (26, u32(5, 5)), (28, b""),
        (75, u32(64, 1) + u32(32, 1, 2, 32, 0, 0, 50, 50, 0, 0, 50, 20, 0, 20, 50, 50)),
        (42, u32(0, 0, 200, 200)), (59, b""), (43, u32(10, 10, 30, 30)), (66, b""),
        (64, u32(0, 0, 0, 0)), (59, b""), (54, u32(5, 5)), (68, b""),
    ])
    rows24 = b"\x00\x00\xff\x00\xff\x00\x00\x00" + b"\xff\x00\x00\x00\x00\x00\x00\x00"
    mono = b"\x80\x00\x00\x00\x40\x00\x00\x00"
    rle8 = b"\x02\x01\x00\x00\x00\x03\x00\x01\x01\x00\x00\x02\x01\x00\x00\x01"
    rle4 = b"\x03\x12\x00\x00\x00\x03\x12\x30\x00\x01"
    fields = u32(0xF800, 0x07E0, 0x001F)
    seeds["bitmaps"] = emf([
        stretchdibits((0, 0, 50, 50), dib(2, 2, 24, [], rows24), 40, 2, 2),
        stretchdibits((50, 0, 50, 50), dib(2, -2, 1, [0xFF0000, 0xFF], mono), 48, 2, 2),
        stretchdibits((100, 0, 50, 50), dib(3, 2, 8, [0, 0xFFFFFF], rle8, 1), 48, 3, 2),
        stretchdibits((150, 0, 50, 50), dib(3, 2, 4, [0, 0xFF, 0xFF00, 0xFF0000], rle4, 2), 56,
                      3, 2),
        stretchdibits((0, 50, 50, 50), u32(40, 2, 1) + u16(1, 16) + u32(3, 4, 0, 0, 0, 0) +
                      fields + b"\x00\xf8\xe0\x07", 52, 2, 1, 0x00660046),
        blt(76, (50, 50, 50, 50), 0x00F00021),
        blt(76, (100, 50, 20, 20), 0x00CC0020, dib(2, 2, 24, [], rows24), 40),
        blt(77, (120, 50, 60, 30), 0x008800C6, dib(2, 2, 24, [], rows24), 40, (0, 0), (2, 2)),
        blt(114, (0, 100, 50, 50), 0x01800000, dib(1, 1, 32, [], b"\x10\x20\x30\x80"), 40,
            (0, 0), (1, 1)),
        blt(116, (50, 100, 50, 50), 0x00FFFFFF, dib(2, 2, 24, [], rows24), 40, (0, 0), (2, 2)),
        (94, u32(1, 0, 24, 48, 72, 8) + dib(2, 2, 1, [0xFF, 0xFF00], mono)),
        (93, u32(2, 0, 24, 48, 72, 8) + dib(2, 2, 1, [0, 0xFFFFFF], mono)),
        (37, u32(1)), (43, u32(100, 100, 150, 150)), (37, u32(2)), (43, u32(150, 100, 200, 150)),
        (80, u32(0, 0, 0, 0, 10, 160, 0, 0, 2, 2, 76, 40, 116, 16, 0, 0, 2) +
         dib(2, 2, 24, [], rows24)),
    ])
    rgn = u32(32, 1, 2, 32, 0, 0, 50, 50, 0, 0, 50, 20, 0, 20, 30, 50)
    seeds["regions"] = emf([
        (39, u32(1, 2, 0xFF, 4)), (71, u32(0, 0, 0, 0, len(rgn), 1) + rgn),
        (72, u32(0, 0, 0, 0, len(rgn), 0x80000004, 2, 2) + rgn),
        (73, u32(0, 0, 0, 0, len(rgn)) + rgn), (74, u32(0, 0, 0, 0, len(rgn)) + rgn),
        (118, u32(0, 0, 0, 0, 3, 1, 2) + u32(10, 100) + u16(0xFF00, 0, 0, 0) + u32(190, 190) +
         u16(0, 0, 0xFF00, 0) + u32(10, 190) + u16(0, 0xFF00, 0, 0) + u32(0, 1, 2)),
        (118, u32(0, 0, 0, 0, 2, 1, 0) + u32(100, 10) + u16(0xFF00, 0, 0, 0) + u32(190, 90) +
         u16(0, 0, 0xFF00, 0) + u32(0, 1)),
        (70, u32(12) + b"EMF+" + u32(0x4001, 28)),
    ])
    return seeds


# --------------------------------------------------------------------------------------------
# WMF


def wmf(records, placeable=True, box=(0, 0, 200, 200), inch=96, objects=8):
    body = b""
    largest = 3
    for function, payload in records + [(0, b"")]:
        payload += b"\0" * (len(payload) % 2)
        words = 3 + len(payload) // 2
        largest = max(largest, words)
        body += u32(words) + u16(function) + payload
    header = u16(1, 9, 0x300) + u32((18 + len(body)) // 2) + u16(objects) + u32(largest) + u16(0)
    out = header + body
    if placeable:
        head = u32(0x9AC6CDD7) + u16(0, *box, inch) + u32(0)
        checksum = 0
        for i in range(10):
            checksum ^= struct.unpack_from("<H", head, 2 * i)[0]
        out = head + u16(checksum) + out
    return out


def wmf_seeds():
    seeds = {}
    seeds["shapes"] = wmf([
        (0x02FA, u16(0, 3, 0) + u32(0x0000FF)), (0x02FC, u16(0) + u32(0x00FF00) + u16(0)),
        (0x012D, u16(0)), (0x012D, u16(1)), (0x041B, u16(40, 60, 5, 5)),
        (0x0418, u16(90, 90, 50, 50)), (0x061C, u16(10, 10, 190, 190, 100, 100)),
        (0x0817, u16(100, 150, 50, 100, 150, 150, 50, 50)),
        (0x081A, u16(120, 200, 100, 150, 200, 200, 100, 100)),
        (0x0830, u16(5, 150, 5, 190, 40, 190, 5, 150)),
        (0x0324, u16(3, 10, 150, 40, 190, 10, 190)), (0x0325, u16(3, 50, 150, 90, 190, 60, 160)),
        (0x0538, u16(2, 4, 3, 100, 100, 140, 100, 140, 140, 100, 140, 110, 110, 130, 110, 120,
                     130)),
        (0x0214, u16(195, 5)), (0x0213, u16(195, 100)), (0x041F, u32(0xFF) + u16(10, 10)),
    ])
    seeds["mapping"] = wmf([
        (0x020C, u16(200, 200)), (0x0103, u16(8)), (0x020B, u16(0, 0)), (0x020E, u16(150, 200)),
        (0x020D, u16(5, 5)), (0x020F, u16(2, 2)), (0x0211, u16(1, 1)), (0x0410, u16(1, 2, 1, 1)),
        (0x0412, u16(2, 3, 1, 2)), (0x041B, u16(60, 60, 10, 10)), (0x001E, b""),
        (0x0103, u16(2)), (0x041B, u16(-60, 60, -10, 10)), (0x0127, u16(-1)), (0x0103, u16(7)),
        (0x0418, u16(90, 90, 10, 10)), (0x0103, u16(6)), (0x041B, u16(-1000, 1000, -100, 100)),
    ], placeable=False)
    face = b"Arial".ljust(32, b"\0")
    seeds["text"] = wmf([
        (0x02FB, u16(-24, 0, 0, 0, 400) + bytes([0, 1, 0, 0, 0, 0, 0, 0]) + face),
        (0x012D, u16(0)), (0x0209, u32(0xFF)), (0x012E, u16(24)), (0x0102, u16(2)),
        (0x0201, u32(0xFFFF00)), (0x0521, u16(5) + b"Hello\0" + u16(40, 10)),
        (0x0A32, u16(80, 10, 4, 6, 5, 60, 100, 100) + b"Text" + u16(12, 12, 12, 12)),
        (0x0A32, u16(120, 10, 3, 0) + b"abc\0"), (0x0108, u16(3)),
        (0x02FB, u16(20, 0, 900, 900, 700) + bytes([1, 0, 1, 238, 0, 0, 0, 0]) + face),
        (0x012D, u16(1)), (0x012E, u16(1)), (0x0214, u16(180, 20)),
        (0x0521, u16(3) + b"\x8a\x9a\xe9\0" + u16(0, 0)),
    ])
    seeds["symbols"] = wmf([
        (0x02FB, u16(-24, 0, 0, 0, 400) + bytes([0, 0, 0, 2, 0, 0, 0, 0]) +
         b"Symbol".ljust(32, b"\0")), (0x012D, u16(0)),
        (0x0521, u16(4) + b"Dx\xf2\xe5" + u16(10, 10)),
        (0x02FB, u16(-24, 0, 0, 0, 400) + bytes([0, 0, 0, 1, 0, 0, 0, 0]) +
         b"Wingdings 2".ljust(32, b"\0")), (0x012D, u16(1)),
        (0x0A32, u16(50, 10, 3, 0) + b"!R\xfa\0" + u16(30, 30, 30)), (0x0108, u16(2)),
        (0x0A32, u16(100, 10, 3, 0) + b"pqr\0"),
    ])
    rows24 = b"\x00\x00\xff\x00\xff\x00\x00\x00" + b"\xff\x00\x00\x00\x00\x00\x00\x00"
    mono = b"\x80\x00\x00\x00\x40\x00\x00\x00"
    packed24 = dib(2, 2, 24, [], rows24)
    seeds["bitmaps"] = wmf([
        (0x0F43, u32(0x00CC0020) + u16(0, 2, 2, 0, 0, 50, 50, 0, 0) + packed24),
        (0x0B41, u32(0x00CC0020) + u16(2, 2, 0, 0, 50, 50, 0, 50) + packed24),
        (0x0940, u32(0x00660046) + u16(0, 0, 2, 2, 100, 0) + packed24),
        (0x0D33, u16(0, 2, 0, 0, 0, 2, 2, 100, 50) + packed24),
        (0x0940, u32(0x00F00021) + u16(0, 0, 0, 40, 40, 150, 0)),
        (0x0B41, u32(0x00550009) + u16(2, 2, 0, 0, 0, 40, 40, 150, 50)),
        (0x061D, u32(0x005A0049) + u16(30, 30, 160, 160)),
        (0x0922, u32(0x00CC0020) + u16(0, 0, 2, 2, 120, 120) + u16(0, 2, 2, 4) +
         bytes([1, 1]) + mono),
        (0x0142, u16(5, 0) + dib(2, 2, 1, [0xFF, 0xFF00], mono)), (0x012D, u16(0)),
        (0x041B, u16(200, 100, 100, 0)),
        (0x01F9, u16(0, 8, 8, 2, 0x0101, 0, 0) + b"\0" * 18 + b"\xaa\0\x55\0" * 4),
        (0x012D, u16(1)), (0x041B, u16(200, 200, 100, 100)),
    ])
    scans = u16(2, 0, 20, 0, 30, 2) + u16(4, 20, 40, 0, 10, 20, 30, 4)
    region = u16(0, 6) + u32(0) + u16(22 + len(scans), 2, 4, 0, 0, 30, 40) + scans
    seeds["regions"] = wmf([
        (0x06FF, region), (0x02FC, u16(2) + u32(0xFF) + u16(3)),
        (0x0228, u16(0, 1)), (0x0429, u16(0, 1, 2, 2)), (0x012A, u16(0)), (0x012B, u16(0)),
        (0x012C, u16(0)), (0x041B, u16(200, 200, 0, 0)), (0x0416, u16(150, 150, 50, 50)),
        (0x0415, u16(100, 100, 80, 80)), (0x0220, u16(5, 5)), (0x0418, u16(190, 190, 10, 10)),
        (0x00F7, u16(0x300, 2) + u32(0xFF, 0xFF00)), (0x0234, u16(2)), (0x0035, b""),
        (0x0037, u16(0, 1) + u32(0xFF0000)), (0x0626, u16(15, 4) + b"abcd"),
    ])
    return seeds


def write(folder, extension, seeds):
    path = os.path.join(ROOT, "corpus", folder)
    os.makedirs(path, exist_ok=True)
    for name, data in seeds.items():
        with open(os.path.join(path, name + "." + extension), "wb") as f:
            f.write(data)


if __name__ == "__main__":
    write("emf", "emf", emf_seeds())
    write("wmf", "wmf", wmf_seeds())
