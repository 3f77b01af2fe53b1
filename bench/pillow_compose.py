"""The same work as tapestrix-compose with Pillow: decode, BOX resize, paste, save BMP.

    pillow_compose.py WIDTH HEIGHT FOREGROUND BACKGROUND OUTPUT
"""
import sys

from PIL import Image


def main():
    width, height = int(sys.argv[1]), int(sys.argv[2])
    foreground, background, output = sys.argv[3], sys.argv[4], sys.argv[5]
    with Image.open(background) as bg:
        out = bg.convert("RGB").resize((width, height), Image.BOX)
    with Image.open(foreground) as fg:
        fg = fg.convert("RGB")
        scale = min(width / fg.width, height / fg.height)
        fw, fh = round(fg.width * scale), round(fg.height * scale)  # halves to even
        scaled = fg.resize((fw, fh), Image.BOX)
    out.paste(scaled, (round((width - fw) / 2), round((height - fh) / 2)))
    out.save(output, "BMP")


if __name__ == "__main__":
    main()
