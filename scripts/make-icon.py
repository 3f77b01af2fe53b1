#!/usr/bin/env python3
"""Draws the program's icon: a screen whose wallpaper is a woven, tiled background with a
picture centred on it. Writes src/resources/icons/tapestrix.svg and PNGs at 16, 48 and 256
pixels (the 16-pixel one is a simpler drawing that stays legible in a notification area).

    python3 scripts/make-icon.py        (needs python3-pil)
"""
import math
import os
import sys

from PIL import Image, ImageDraw

OUT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "src", "resources", "icons")

FRAME = (46, 52, 64)
STAND = (76, 86, 106)
TILE_A = (181, 82, 59)
TILE_B = (217, 164, 65)
SKY_TOP = (79, 160, 222)
SKY_BOTTOM = (205, 235, 250)
SUN = (255, 211, 77)
HILL_BACK = (79, 157, 74)
HILL_FRONT = (52, 120, 58)
WHITE = (255, 255, 255)


def layout(small):
    """Shapes in a 256-unit square."""
    if small:
        return dict(body=(0, 20, 256, 236, 28), screen=(22, 42, 234, 214), tile=64,
                    photo=(64, 70, 192, 186), border=12, sun=None, stand=None)
    return dict(body=(12, 32, 244, 200, 16), screen=(24, 44, 232, 188), tile=26,
                photo=(78, 66, 178, 166), border=6, sun=(150, 96, 12),
                stand=((114, 200, 142, 216), (80, 214, 176, 228, 6)))


def hills(photo):
    x0, y0, x1, y1 = photo
    w, h = x1 - x0, y1 - y0
    back = [(x0, y1), (x0, y0 + 0.62 * h), (x0 + 0.35 * w, y0 + 0.42 * h),
            (x0 + 0.7 * w, y0 + 0.66 * h), (x1, y0 + 0.55 * h), (x1, y1)]
    front = [(x0, y1), (x0, y0 + 0.8 * h), (x0 + 0.45 * w, y0 + 0.68 * h),
             (x1, y0 + 0.86 * h), (x1, y1)]
    return back, front


def diamonds(screen, tile):
    """Centres of the woven pattern's diamonds, two colours alternating."""
    x0, y0, x1, y1 = screen
    half = tile / 2
    row = 0
    y = y0
    while y - half <= y1:
        x = x0 + (half if row % 2 else 0)
        while x - half <= x1:
            yield (x, y, half, row % 2)
            x += tile
        y += half
        row += 1


def draw_png(size, small):
    scale = 16 if size < 64 else 8
    s = size * scale / 256.0
    img = Image.new("RGBA", (size * scale, size * scale), (0, 0, 0, 0))
    d = ImageDraw.Draw(img)
    L = layout(small)

    def box(r):
        return [r[0] * s, r[1] * s, r[2] * s - 1, r[3] * s - 1]

    bx0, by0, bx1, by1, radius = L["body"]
    if L["stand"]:
        neck, base = L["stand"]
        d.rectangle(box(neck), fill=STAND)
        d.rounded_rectangle(box(base[:4]), radius=base[4] * s, fill=FRAME)
    d.rounded_rectangle(box((bx0, by0, bx1, by1)), radius=radius * s, fill=FRAME)

    screen = L["screen"]
    tiles = Image.new("RGBA", img.size, TILE_A + (255,))
    td = ImageDraw.Draw(tiles)
    for cx, cy, half, odd in diamonds(screen, L["tile"]):
        color = TILE_B if odd else TILE_A
        td.polygon([((cx) * s, (cy - half) * s), ((cx + half) * s, cy * s),
                    (cx * s, (cy + half) * s), ((cx - half) * s, cy * s)], fill=color)
    mask = Image.new("L", img.size, 0)
    ImageDraw.Draw(mask).rectangle(box(screen), fill=255)
    img.paste(tiles, (0, 0), mask)

    px0, py0, px1, py1 = L["photo"]
    d.rectangle(box((px0, py0, px1, py1)), fill=WHITE)
    b = L["border"]
    inner = (px0 + b, py0 + b, px1 - b, py1 - b)
    ix0, iy0, ix1, iy1 = [v * s for v in inner]
    for y in range(int(iy0), int(iy1)):
        t = (y - iy0) / max(1.0, iy1 - iy0)
        color = tuple(int(SKY_TOP[i] + (SKY_BOTTOM[i] - SKY_TOP[i]) * t) for i in range(3))
        d.line([(ix0, y), (ix1 - 1, y)], fill=color)
    if L["sun"]:
        sx, sy, r = L["sun"]
        d.ellipse([(sx - r) * s, (sy - r) * s, (sx + r) * s, (sy + r) * s], fill=SUN)
    back, front = hills(inner)
    d.polygon([(x * s, y * s) for x, y in back], fill=HILL_BACK)
    d.polygon([(x * s, y * s) for x, y in front], fill=HILL_FRONT)
    return img.resize((size, size), Image.LANCZOS)


def svg():
    L = layout(False)
    hexc = lambda c: "#%02X%02X%02X" % c
    bx0, by0, bx1, by1, radius = L["body"]
    neck, base = L["stand"]
    sx0, sy0, sx1, sy1 = L["screen"]
    tile = L["tile"]
    px0, py0, px1, py1 = L["photo"]
    b = L["border"]
    inner = (px0 + b, py0 + b, px1 - b, py1 - b)
    back, front = hills(inner)
    pts = lambda p: " ".join("%g,%g" % (round(x, 2), round(y, 2)) for x, y in p)
    sun = L["sun"]
    half = tile / 2
    return f"""<?xml version="1.0" encoding="UTF-8"?>
<svg xmlns="http://www.w3.org/2000/svg" width="256" height="256" viewBox="0 0 256 256">
  <title>Tapestrix</title>
  <defs>
    <pattern id="weave" x="{sx0}" y="{sy0 - half}" width="{tile}" height="{tile}" patternUnits="userSpaceOnUse">
      <rect width="{tile}" height="{tile}" fill="{hexc(TILE_A)}"/>
      <polygon points="{half},0 {tile},{half} {half},{tile} 0,{half}" fill="{hexc(TILE_B)}"/>
    </pattern>
    <linearGradient id="sky" x1="0" y1="0" x2="0" y2="1">
      <stop offset="0" stop-color="{hexc(SKY_TOP)}"/>
      <stop offset="1" stop-color="{hexc(SKY_BOTTOM)}"/>
    </linearGradient>
  </defs>
  <rect x="{neck[0]}" y="{neck[1]}" width="{neck[2] - neck[0]}" height="{neck[3] - neck[1]}" fill="{hexc(STAND)}"/>
  <rect x="{base[0]}" y="{base[1]}" width="{base[2] - base[0]}" height="{base[3] - base[1]}" rx="{base[4]}" fill="{hexc(FRAME)}"/>
  <rect x="{bx0}" y="{by0}" width="{bx1 - bx0}" height="{by1 - by0}" rx="{radius}" fill="{hexc(FRAME)}"/>
  <rect x="{sx0}" y="{sy0}" width="{sx1 - sx0}" height="{sy1 - sy0}" fill="url(#weave)"/>
  <rect x="{px0}" y="{py0}" width="{px1 - px0}" height="{py1 - py0}" fill="#FFFFFF"/>
  <rect x="{inner[0]}" y="{inner[1]}" width="{inner[2] - inner[0]}" height="{inner[3] - inner[1]}" fill="url(#sky)"/>
  <circle cx="{sun[0]}" cy="{sun[1]}" r="{sun[2]}" fill="{hexc(SUN)}"/>
  <polygon points="{pts(back)}" fill="{hexc(HILL_BACK)}"/>
  <polygon points="{pts(front)}" fill="{hexc(HILL_FRONT)}"/>
</svg>
"""


def main():
    os.makedirs(OUT, exist_ok=True)
    with open(os.path.join(OUT, "tapestrix.svg"), "w") as f:
        f.write(svg())
    for size in (16, 48, 256):
        draw_png(size, size <= 16).save(os.path.join(OUT, "tapestrix-%d.png" % size), optimize=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
