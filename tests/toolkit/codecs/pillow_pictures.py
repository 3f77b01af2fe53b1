#!/usr/bin/python3
"""Writes the PNG, GIF and TIFF pictures of the codec tests into a folder, each with the pixels it
must decode to, for the tests to compare with.

    pillow_pictures.py FORMAT FOLDER        (FORMAT: png, gif or tiff)

Pillow writes the usual kinds; the kinds Pillow cannot write (PNG with 2, 4 or 16 bits or
interlaced, GIF frames smaller than the screen or with a local colour table, TIFF tiles,
separate planes, 16-bit colour, white as 0) are written here chunk by chunk, and their expected
pixels follow from the sample values they were made of. For every picture <file> there is
<file>.rgba (width and height as 32-bit little-endian numbers, then the upright picture as
straight red, green, blue and alpha bytes) and a line "<file> <alpha 0/1> <orientation>" in
manifest.txt.
"""
import io
import os
import struct
import sys
import zlib

from PIL import Image

# Profiles are handed over as they are; these bytes are no valid one, so that the pixels stay.
PROFILE = b"not a real ICC profile, " * 20

# Where a stored picture goes for each orientation, as Pillow's transposes say it.
UPRIGHT = {2: Image.FLIP_LEFT_RIGHT, 3: Image.ROTATE_180, 4: Image.FLIP_TOP_BOTTOM,
           5: Image.TRANSPOSE, 6: Image.ROTATE_270, 7: Image.TRANSVERSE, 8: Image.ROTATE_90}


class Folder:
    def __init__(self, path):
        self.path = path
        self.manifest = open(os.path.join(path, "manifest.txt"), "w")
        self.refused = open(os.path.join(path, "refused.txt"), "w")

    def add(self, name, data, expected, alpha, orientation=1, icc=None):
        """expected: the stored picture as a Pillow RGBA image; icc: the profile the header
        must give (written to <file>.icc)."""
        with open(os.path.join(self.path, name), "wb") as f:
            f.write(data)
        if icc:
            with open(os.path.join(self.path, name + ".icc"), "wb") as f:
                f.write(icc)
        if orientation in UPRIGHT:
            expected = expected.transpose(UPRIGHT[orientation])
        with open(os.path.join(self.path, name + ".rgba"), "wb") as f:
            f.write(struct.pack("<II", *expected.size) + expected.tobytes())
        self.manifest.write("%s %d %d\n" % (name, alpha, orientation))

    def refuse(self, name, data, error, text):
        """A file that must raise error ("invalid" or "large") with a message ending in text."""
        with open(os.path.join(self.path, name), "wb") as f:
            f.write(data)
        self.refused.write("%s %s %s\n" % (name, error, text))


def saved(image, fmt, **options):
    out = io.BytesIO()
    image.save(out, fmt, **options)
    return out.getvalue()


def rgba(w, h, pixels):
    """An RGBA image from a list of (r, g, b, a) rows."""
    return Image.frombytes("RGBA", (w, h), bytes(v for row in pixels for p in row for v in p))


def photo(w, h):
    """A picture with gradients and edges, like a small photograph."""
    return Image.merge("RGB", (Image.effect_mandelbrot((w, h), (-2.1, -1.2, 0.9, 1.2), 60),
                               Image.linear_gradient("L").resize((w, h)),
                               Image.radial_gradient("L").resize((w, h))))


def with_alpha(image):
    a = Image.linear_gradient("L").rotate(90).resize(image.size)
    out = image.convert("RGBA")
    out.putalpha(a)
    return out


def to8(v, bits):
    return v >> 8 if bits == 16 else v * 255 // ((1 << bits) - 1)


def wide(v, x, y, bits):
    """An 8-bit value v as a sample of bits bits: 16-bit ones get a low byte that rounding would
    notice."""
    return v << 8 | (x * 37 + y * 11) & 255 if bits == 16 else v


def pack(values, bits, order=">"):
    """Samples as a byte-padded row, most significant bits first."""
    if bits == 16:
        return struct.pack(order + "%dH" % len(values), *values)
    if bits == 8:
        return bytes(values)
    n = 0
    for v in values:
        n = n << bits | v
    pad = -len(values) * bits % 8
    return (n << pad).to_bytes((len(values) * bits + pad) // 8, "big")


# ---------------------------------------------------------------------------------------------
# PNG

ADAM7 = [(0, 0, 8, 8), (4, 0, 8, 8), (0, 4, 4, 8), (2, 0, 4, 4), (0, 2, 2, 4), (1, 0, 2, 2),
         (0, 1, 1, 2)]


def chunk(kind, body):
    return struct.pack(">I", len(body)) + kind + body + struct.pack(">I", zlib.crc32(kind + body))


def png(w, h, bits, ctype, px, plte=None, trns=None, interlace=False, extra=b""):
    """px[y][x]: the tuple of samples of a pixel at full depth."""
    raw = b""
    for x0, y0, dx, dy in ADAM7 if interlace else [(0, 0, 1, 1)]:
        for y in range(y0, h, dy):
            row = [v for x in range(x0, w, dx) for v in px[y][x]]
            if row:
                raw += b"\0" + pack(row, bits)
    body = chunk(b"IHDR", struct.pack(">IIBBBBB", w, h, bits, ctype, 0, 0, int(interlace))) + extra
    if plte:
        body += chunk(b"PLTE", bytes(v for c in plte for v in c))
    if trns is not None:
        body += chunk(b"tRNS", trns)
    return b"\x89PNG\r\n\x1a\n" + body + chunk(b"IDAT", zlib.compress(raw)) + chunk(b"IEND", b"")


def png_expected(bits, ctype, px, plte=None, key=None, alphas=b""):
    def one(p):
        if ctype == 3:
            i = p[0]
            return tuple(plte[i]) + (alphas[i] if i < len(alphas) else 255,)
        colour = p[:3] if ctype in (2, 6) else p[:1] * 3
        a = to8(p[-1], bits) if ctype in (4, 6) else 0 if p == key else 255
        return tuple(to8(v, bits) for v in colour) + (a,)
    return rgba(len(px[0]), len(px), [[one(p) for p in row] for row in px])


def make_png(folder):
    w, h = 13, 11  # odd sizes: partial bytes and interlace passes
    for bits in (1, 2, 4, 8, 16):
        top = (1 << bits) - 1
        grey = [[((x * 7 + y * 3) * 37 % (top + 1),) for x in range(w)] for y in range(h)]
        for interlace in (False, True):
            name = "grey%d%s.png" % (bits, "-interlaced" if interlace else "")
            folder.add(name, png(w, h, bits, 0, grey, interlace=interlace),
                       png_expected(bits, 0, grey), 0)
        key = grey[2][3]
        folder.add("grey%d-trns.png" % bits, png(w, h, bits, 0, grey, trns=struct.pack(">H", *key)),
                   png_expected(bits, 0, grey, key=key), 1)
        if bits <= 8:
            n = 1 << bits
            plte = [((i * 97) % 256, (i * 31 + 40) % 256, (255 - i * 13) % 256) for i in range(n)]
            alphas = bytes((i * 77) % 256 for i in range(max(1, n // 2)))  # a short tRNS
            folder.add("palette%d-trns-interlaced.png" % bits, png(w, h, bits, 3, grey, plte, alphas, True),
                       png_expected(bits, 3, grey, plte, alphas=alphas), 1)
        if bits >= 8:
            rgb = [[(wide(x * 19, x, y, bits), wide(y * 23, x, y, bits),
                     wide((x + y) * 9, x, y, bits)) for x in range(w)] for y in range(h)]
            rgba_ = [[p + (wide(x * y * 7 % 256, x, y, bits),) for x, p in enumerate(row)]
                     for y, row in enumerate(rgb)]
            ga = [[(p[0], p[3]) for p in row] for row in rgba_]
            key = rgb[4][5]
            folder.add("rgb%d-trns.png" % bits,
                       png(w, h, bits, 2, rgb, trns=struct.pack(">HHH", *key)),
                       png_expected(bits, 2, rgb, key=key), 1)
            folder.add("rgba%d-interlaced.png" % bits, png(w, h, bits, 6, rgba_, interlace=True),
                       png_expected(bits, 6, rgba_), 1)
            folder.add("grey-alpha%d.png" % bits, png(w, h, bits, 4, ga),
                       png_expected(bits, 4, ga), 1)
    tiny = [[(200, 100, 50, 25)]]
    folder.add("one-pixel-interlaced.png", png(1, 1, 8, 6, tiny, interlace=True),
               png_expected(8, 6, tiny), 1)

    # Pillow's own files.
    picture = photo(40, 30)
    folder.add("pillow-rgb.png", saved(picture, "PNG"), picture.convert("RGBA"), 0)
    translucent = with_alpha(picture)
    folder.add("pillow-rgba.png", saved(translucent, "PNG", optimize=True), translucent, 1)
    palette = saved(picture.quantize(16), "PNG", transparency=3)
    folder.add("pillow-palette.png", palette, Image.open(io.BytesIO(palette)).convert("RGBA"), 1)
    # An animation: its default image, the first frame.
    frames = [picture, picture.rotate(90), picture.transpose(Image.FLIP_LEFT_RIGHT)]
    folder.add("animated.png", saved(frames[0], "PNG", save_all=True, append_images=frames[1:]),
               picture.convert("RGBA"), 0)
    # Orientations from the eXIf chunk; an sRGB chunk leaves the pixels as stored.
    for orientation in range(1, 9):
        exif = Image.Exif()
        exif[0x0112] = orientation
        folder.add("exif%d.png" % orientation, saved(picture, "PNG", exif=exif.tobytes()),
                   picture.convert("RGBA"), 0, orientation)
    folder.add("profile.png", saved(picture, "PNG", icc_profile=PROFILE), picture.convert("RGBA"),
               0, icc=PROFILE)
    srgb = png(2, 1, 8, 2, [[(1, 2, 3), (4, 5, 6)]], extra=chunk(b"sRGB", b"\0"))
    folder.add("srgb.png", srgb, rgba(2, 1, [[(1, 2, 3, 255), (4, 5, 6, 255)]]), 0)

    def header_only(w, h, bits, ctype):
        return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", w, h, bits, ctype, 0, 0, 0))
                + chunk(b"IEND", b""))
    folder.refuse("too-wide.png", header_only(70000, 1, 8, 2), "large", "(70000 x 1 pixels)")
    folder.refuse("too-many-pixels.png", header_only(20000, 20000, 1, 0), "large",
                  "(20000 x 20000 pixels)")
    folder.refuse("too-many-bytes.png", header_only(12000, 12000, 16, 6), "large",
                  "(12000 x 12000 pixels)")
    rgb = [[(x * 19, y * 23, (x + y) * 9) for x in range(w)] for y in range(h)]
    good = png(w, h, 8, 2, rgb)
    idat = good.index(b"IDAT")
    # The header's checksum (the data's own is Adler-32, checked as the last row is decoded).
    folder.refuse("bad-checksum.png", good[:32] + bytes([good[32] ^ 1]) + good[33:],
                  "invalid", "a chunk's checksum is wrong")
    stream = zlib.compress(b"".join(b"\0" + pack([v for p in row for v in p], 8) for row in rgb))
    for name, data, why in (("bad-deflate.png", stream[:20] + bytes(40) + stream[60:],
                             "the data is damaged (IDAT stream error)"),
                            ("short-data.png", stream[:len(stream) // 2], "the file is truncated")):
        folder.refuse(name, good[:idat - 4] + chunk(b"IDAT", data) + chunk(b"IEND", b""),
                      "invalid", why)
    folder.refuse("not-a-png.png", b"a text file, long enough for a PNG header" * 2, "invalid",
                  "the file does not start with a PNG signature")


# ---------------------------------------------------------------------------------------------
# GIF

def lzw(indices):
    """Each index a 9-bit literal code, a clear code before every 254 of them (so the code size
    never grows), least significant bits first."""
    codes = []
    for i, v in enumerate(indices):
        if i % 254 == 0:
            codes.append(256)
        codes.append(v)
    codes.append(257)
    n = sum(c << (9 * i) for i, c in enumerate(codes))
    data = n.to_bytes((9 * len(codes) + 7) // 8, "little")
    return bytes([8]) + b"".join(bytes([len(data[i:i + 255])]) + data[i:i + 255]
                                 for i in range(0, len(data), 255)) + b"\0"


def colour_table(colours):
    bits = max(1, (len(colours) - 1).bit_length())
    table = list(colours) + [(0, 0, 0)] * ((1 << bits) - len(colours))
    return bits, bytes(v for c in table for v in c)


def gif(screen, box, idx, global_map=None, local_map=None, transparent=None, interlace=False):
    out = b"GIF89a"
    bits, table = colour_table(global_map) if global_map else (1, b"")
    out += struct.pack("<HHBBB", screen[0], screen[1], (0x80 | bits - 1) if global_map else 0, 0,
                       0) + table
    out += b"!\xff\x0bNETSCAPE2.0\x03\x01\x00\x00\x00"  # an extension to step over
    if transparent is not None:
        out += b"!\xf9\x04\x01\x00\x00" + bytes([transparent, 0])
    x, y, w, h = box
    bits, table = colour_table(local_map) if local_map else (1, b"")
    flags = (0x80 | bits - 1 if local_map else 0) | (0x40 if interlace else 0)
    out += b"," + struct.pack("<HHHHB", x, y, w, h, flags) + table
    order = [r for start, step in ((0, 8), (4, 8), (2, 4), (1, 2)) for r in range(start, h, step)]
    out += lzw([i for r in (order if interlace else range(h)) for i in idx[r]])
    return out + b";"


def gif_expected(screen, box, idx, colours, transparent=None):
    x0, y0, w, h = box
    W, H = max(screen[0], x0 + w), max(screen[1], y0 + h)
    rows = [[(0, 0, 0, 0)] * W for _ in range(H)]
    for y in range(h):
        for x in range(w):
            i = idx[y][x]
            c = tuple(colours[i]) if i < len(colours) else (0, 0, 0)
            rows[y0 + y][x0 + x] = (0, 0, 0, 0) if i == transparent else c + (255,)
    return rgba(W, H, rows)


def make_gif(folder):
    colours = [((i * 67) % 256, (i * 29) % 256, (i * 151) % 256) for i in range(20)]
    w, h = 21, 19
    idx = [[(x * 3 + y * 5) % 22 for x in range(w)] for y in range(h)]  # some beyond the table
    whole = (0, 0, w, h)
    for interlace in (False, True):
        suffix = "-interlaced" if interlace else ""
        folder.add("global%s.gif" % suffix,
                   gif((w, h), whole, idx, colours[:16], interlace=interlace),
                   gif_expected((w, h), whole, idx, colours[:16]), 0)
        folder.add("local-transparent%s.gif" % suffix,
                   gif((w, h), whole, idx, colours[::-1], colours, 7, interlace),
                   gif_expected((w, h), whole, idx, colours, 7), 1)
    # A frame at an offset on a larger screen; a frame reaching beyond the screen.
    for name, screen, box, alpha in (("offset.gif", (30, 25), (4, 3, w, h), 1),
                                     ("beyond-screen.gif", (10, 10), (5, 2, w, h), 1),
                                     ("no-screen.gif", (0, 0), (0, 0, w, h), 0)):
        folder.add(name, gif(screen, box, idx, colours), gif_expected(screen, box, idx, colours),
                   alpha)

    # Pillow's own files, against Pillow's decoding of them (it may reorder the palette).
    picture = photo(40, 30).quantize(32)
    frames = [picture, picture.rotate(90), picture.transpose(Image.FLIP_TOP_BOTTOM)]
    for name, options, alpha in (("pillow-interlaced.gif", {}, 0),
                                 ("pillow-transparent.gif", dict(transparency=5), 1),
                                 ("animated.gif", dict(save_all=True, append_images=frames[1:]), 0)):
        options.setdefault("interlace", "interlaced" in name)
        data = saved(picture, "GIF", **options)
        folder.add(name, data, Image.open(io.BytesIO(data)).convert("RGBA"), alpha)

    one = [[1]]
    folder.refuse("too-large.gif", gif((65535, 65535), (0, 0, 1, 1), one, colours), "large",
                  "(65535 x 65535 pixels)")
    folder.refuse("no-picture.gif", b"GIF89a" + struct.pack("<HHBBB", 4, 4, 0, 0, 0) + b";",
                  "invalid", "the file holds no picture")
    folder.refuse("no-colour-table.gif", gif((4, 4), (0, 0, 1, 1), one), "invalid",
                  "the picture has no colour table")
    good = gif((w, h), whole, idx, colours)
    # A code for a table entry not made yet.
    folder.refuse("bad-codes.gif", good[:-40] + b"\xff" * 4 + good[-36:], "invalid",
                  "the data is damaged (Image is defective, decoding aborted)")


# ---------------------------------------------------------------------------------------------
# TIFF

def tiff(w, h, bits, planes, photometric, order="<", tile=None, separate=False, deflate=False,
         tags=(), claim=None):
    """planes: one list of rows of samples per sample of a pixel; tags: (tag, type, values);
    claim: the size the header states instead of w x h."""
    spp = len(planes)

    def block(x0, y0, bw, bh, ps):
        rows = []
        for y in range(y0, y0 + bh):
            rows.append(pack([p[y][x] if y < h and x < w else 0
                              for x in range(x0, x0 + bw) for p in ps], bits, order))
        data = b"".join(rows)
        return zlib.compress(data) if deflate else data

    groups = [[p] for p in planes] if separate else [planes]
    if tile:
        blocks = [block(x, y, tile[0], tile[1], g) for g in groups
                  for y in range(0, h, tile[1]) for x in range(0, w, tile[0])]
    else:
        rows = 3
        blocks = [block(0, y, w, min(rows, h - y), g) for g in groups for y in range(0, h, rows)]
    data = b"".join(blocks)
    offsets, at = [], 8
    for b in blocks:
        offsets.append(at)
        at += len(b)
    entries = [(256, 4, [(claim or (w, h))[0]]), (257, 4, [(claim or (w, h))[1]]), (258, 3, [bits] * spp), (259, 3, [8 if deflate else 1]),
               (262, 3, [photometric]), (277, 3, [spp]), (284, 3, [2 if separate else 1])]
    if tile:
        entries += [(322, 4, [tile[0]]), (323, 4, [tile[1]]), (324, 4, offsets),
                    (325, 4, [len(b) for b in blocks])]
    else:
        entries += [(273, 4, offsets), (278, 4, [3]), (279, 4, [len(b) for b in blocks])]
    entries = sorted(entries + list(tags))
    ifd = at + (at & 1)
    body = struct.pack(order + "H", len(entries))
    extra_at = ifd + 2 + 12 * len(entries) + 4
    extra = b""
    for tag, kind, values in entries:
        fmt = {1: "B", 3: "H", 4: "I", 7: "B"}[kind]
        value = struct.pack(order + "%d%s" % (len(values), fmt), *values)
        if len(value) <= 4:
            body += struct.pack(order + "HHI", tag, kind, len(values)) + value.ljust(4, b"\0")
        else:
            body += struct.pack(order + "HHII", tag, kind, len(values), extra_at + len(extra))
            extra += value + b"\0" * (len(value) & 1)
    head = (b"II*\0" if order == "<" else b"MM\0*") + struct.pack(order + "I", ifd)
    return head + data + b"\0" * (ifd - at) + body + b"\0\0\0\0" + extra


def make_tiff(folder):
    w, h = 23, 10  # odd width: padded rows of small samples; 3 rows per strip, 16 x 16 tiles
    for bits in (1, 2, 4, 8, 16):
        top = (1 << bits) - 1
        grey = [[(x * 11 + y * 5) * 31 % (top + 1) for x in range(w)] for y in range(h)]
        level = [[to8(v, bits) for v in row] for row in grey]
        black = rgba(w, h, [[(v, v, v, 255) for v in row] for row in level])
        white = rgba(w, h, [[(255 - v,) * 3 + (255,) for v in row] for row in level])
        folder.add("grey%d.tif" % bits, tiff(w, h, bits, [grey], 1, order=">"), black, 0)
        folder.add("white%d-tiles.tif" % bits, tiff(w, h, bits, [grey], 0, tile=(16, 16)), white,
                   0)
        if bits <= 8:
            n = 1 << bits
            cmap = [[(i * 97 % 256) * 257 for i in range(n)], [(i * 31 % 256) * 257 for i in range(n)],
                    [(255 - i * 13 % 256) * 257 for i in range(n)]]
            pal = rgba(w, h, [[(cmap[0][v] >> 8, cmap[1][v] >> 8, cmap[2][v] >> 8, 255)
                               for v in row] for row in grey])
            folder.add("palette%d.tif" % bits,
                       tiff(w, h, bits, [grey], 3, deflate=True, tags=[(320, 3, sum(cmap, []))]),
                       pal, 0)
        if bits >= 8:
            r, g, b, a = ([[wide(f(x, y), x, y, bits) for x in range(w)] for y in range(h)] for f in (
                lambda x, y: x * 11, lambda x, y: y * 25, lambda x, y: (x + y) * 7,
                lambda x, y: (x * y * 13) % 256))
            straight = rgba(w, h, [[(to8(r[y][x], bits), to8(g[y][x], bits), to8(b[y][x], bits),
                                     to8(a[y][x], bits)) for x in range(w)] for y in range(h)])
            for order, layout in (("<", dict()), (">", dict(separate=True)),
                                  ("<", dict(tile=(16, 16), separate=True, deflate=True))):
                name = "rgba%d-%s.tif" % (bits, "-".join(sorted(layout)) or "strips")
                folder.add(name, tiff(w, h, bits, [r, g, b, a], 2, order, tags=[(338, 3, [2])],
                                      **layout), straight, 1)
            # Associated alpha: colour premultiplied; the decoded rows are straight again.
            pre = [[[c[y][x] * a[y][x] // top for x in range(w)] for y in range(h)]
                   for c in (r, g, b)]

            def straighten(v, al):
                v8, a8 = to8(v, bits), to8(al, bits)
                return 0 if a8 == 0 else min(255, (v8 * 255 + a8 // 2) // a8)
            folder.add("associated%d-tiles.tif" % bits,
                       tiff(w, h, bits, pre + [a], 2, tile=(16, 16), tags=[(338, 3, [1])]),
                       rgba(w, h, [[tuple(straighten(c[y][x], a[y][x]) for c in pre) +
                                    (to8(a[y][x], bits),) for x in range(w)] for y in range(h)]),
                       1)
            c, m, y_, k = r, g, b, a
            folder.add("cmyk%d.tif" % bits, tiff(w, h, bits, [c, m, y_, k], 5),
                       rgba(w, h, [[tuple(((255 - to8(ink[yy][x], bits)) *
                                           (255 - to8(k[yy][x], bits)) + 127) // 255
                                          for ink in (c, m, y_)) + (255,)
                                    for x in range(w)] for yy in range(h)]), 0)

    def refuse(name, error, text, bits=8, spp=1, photometric=1, **options):
        planes = [[[0] * 16 for _ in range(16)]] * spp
        folder.refuse(name, tiff(16, 16, bits, planes, photometric, **options), error, text)
    refuse("too-wide.tif", "large", "(70000 x 1 pixels)", claim=(70000, 1))
    refuse("too-many-bytes.tif", "large", "(12000 x 12000 pixels)", claim=(12000, 12000),
           bits=16, spp=4, photometric=2, tags=[(338, 3, [2])])
    refuse("float.tif", "invalid", "the sample format 3 is not supported", tags=[(339, 3, [3])])
    refuse("twelve-bits.tif", "invalid", "a sample size of 12 bits is not supported", bits=12)
    refuse("many-bands.tif", "invalid", "a picture of 17 samples per pixel is not supported",
           spp=17, separate=True)
    refuse("lab.tif", "invalid", "the colour model 8 is not supported", spp=3, photometric=8)
    refuse("huge-tiles.tif", "invalid", "the tile size 2048 x 2048 does not suit the picture",
           tile=(2048, 2048))

    picture = photo(40, 30)
    # Tiles in two bands of rows, the last tiles partly beyond the picture.
    planes = [[[picture.getpixel((x, y))[c] for x in range(40)] for y in range(30)]
              for c in range(3)]
    folder.add("rgb8-bands-of-16x16.tif", tiff(40, 30, 8, planes, 2, ">", (16, 16), deflate=True),
               picture.convert("RGBA"), 0)
    for compression in ("raw", "tiff_lzw", "tiff_adobe_deflate", "packbits", "jpeg"):
        folder.add("pillow-%s.tif" % compression, saved(picture, "TIFF", compression=compression),
                   Image.open(io.BytesIO(saved(picture, "TIFF", compression=compression)))
                   .convert("RGBA"), 0)
    # A JPEG strip whose byte count says it ends halfway: libjpeg's warning is an error here.
    jpeg = bytearray(saved(picture, "TIFF", compression="jpeg", rowsperstrip=30))
    ifd = struct.unpack("<I", jpeg[4:8])[0]
    for at in range(ifd + 2, ifd + 2 + 12 * struct.unpack("<H", jpeg[ifd:ifd + 2])[0], 12):
        if struct.unpack("<HHI", jpeg[at:at + 8]) == (279, 4, 1):
            jpeg[at + 8:at + 12] = struct.pack("<I", struct.unpack("<I", jpeg[at + 8:at + 12])[0] // 2)
    folder.refuse("short-jpeg-strip.tif", bytes(jpeg), "invalid", "Premature end of JPEG file")
    for sampling in ((1, 1), (2, 1)):
        ycc = saved(picture.convert("YCbCr"), "TIFF", compression="jpeg",
                    tiffinfo={530: sampling})
        folder.add("pillow-ycbcr%d%d-jpeg.tif" % sampling, ycc,
                   Image.open(io.BytesIO(ycc)).convert("RGBA"), 0)
    for mode, alpha in (("RGBA", 1), ("LA", 1), ("CMYK", 0), ("P", 0), ("1", 0)):
        image = with_alpha(picture).convert(mode) if alpha else picture.convert(mode)
        folder.add("pillow-%s.tif" % mode, saved(image, "TIFF"), image.convert("RGBA"), alpha)
    folder.add("profile.tif", saved(picture, "TIFF", icc_profile=PROFILE),
               picture.convert("RGBA"), 0, icc=PROFILE)
    for orientation in range(1, 9):
        folder.add("orientation%d.tif" % orientation,
                   saved(picture, "TIFF", tiffinfo={274: orientation}), picture.convert("RGBA"),
                   0, orientation)


if __name__ == "__main__":
    kind, path = sys.argv[1], sys.argv[2]
    os.makedirs(path, exist_ok=True)
    {"png": make_png, "gif": make_gif, "tiff": make_tiff}[kind](Folder(path))
