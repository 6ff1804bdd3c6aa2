#!/usr/bin/env python3
"""Draws the program's icons as 16-colour .ico files.

usage: mkicons.py OUTPUT_DIR

Writes icon128.ico (32x32 only), icon139.ico, icon140.ico and icon141.ico
(32x32 and 16x16 each). The pictures are computed from simple shapes, so the
files are the same byte for byte on every run.
"""
import os
import struct
import sys

# The standard 16-colour palette (RGB).
PALETTE = [
    (0x00, 0x00, 0x00), (0x80, 0x00, 0x00), (0x00, 0x80, 0x00), (0x80, 0x80, 0x00),
    (0x00, 0x00, 0x80), (0x80, 0x00, 0x80), (0x00, 0x80, 0x80), (0xC0, 0xC0, 0xC0),
    (0x80, 0x80, 0x80), (0xFF, 0x00, 0x00), (0x00, 0xFF, 0x00), (0xFF, 0xFF, 0x00),
    (0x00, 0x00, 0xFF), (0xFF, 0x00, 0xFF), (0x00, 0xFF, 0xFF), (0xFF, 0xFF, 0xFF),
]
BLACK, DARK_RED, GREY, RED, YELLOW, BLUE, WHITE = 0, 1, 8, 9, 11, 12, 15
CLEAR = None  # transparent


def program_icon(x, y, s):
    """Blue square in a dark-red frame with white tick marks along its edges."""
    frame = max(2, s // 8)
    edge = min(x, y, s - 1 - x, s - 1 - y)
    if edge >= frame:
        return BLUE
    # Tick marks: short white strokes across the frame, every fourth pixel.
    along = y if min(x, s - 1 - x) == edge else x
    if 1 <= edge < frame and along % 4 == 2 and frame <= along < s - frame:
        return WHITE
    return DARK_RED


def warning_icon(x, y, s):
    """Yellow warning triangle with a black exclamation mark."""
    top, bottom = 1, s - 2
    cx = (s - 1) / 2.0
    if y < top or y > bottom:
        return CLEAR
    half = (y - top + 0.5) / (bottom - top + 1) * (s / 2.0 - 0.5)
    dx = abs(x - cx)
    if dx > half + 0.5:
        return CLEAR
    if dx > half - 1.0 or y == bottom:
        return BLACK  # outline
    bar = 1.0 if s >= 32 else 0.5
    if dx <= bar:
        if s * 0.34 <= y <= s * 0.66:
            return BLACK
        if s * 0.75 <= y <= s * 0.84:
            return BLACK
    return YELLOW


def disc(x, y, s):
    """Distance of the pixel centre from the icon's centre, relative to the radius."""
    c = (s - 1) / 2.0
    r = s / 2.0 - 0.5
    return (((x - c) ** 2 + (y - c) ** 2) ** 0.5) / r, x - c, y - c, r


def error_icon(x, y, s):
    """Red disc with a white cross."""
    d, dx, dy, r = disc(x, y, s)
    if d > 1.0:
        return CLEAR
    if d > 1.0 - 1.2 / r:
        return DARK_RED  # rim
    w = 1.6 if s >= 32 else 0.9
    if max(abs(dx), abs(dy)) <= r * 0.5 and (abs(dx - dy) <= w or abs(dx + dy) <= w):
        return WHITE
    return RED


def finish_icon(x, y, s):
    """Yellow smiling face."""
    d, dx, dy, r = disc(x, y, s)
    if d > 1.0:
        return CLEAR
    if d > 1.0 - 1.2 / r:
        return BLACK  # outline
    u, v = dx / r, dy / r
    # Eyes.
    for ex in (-0.35, 0.35):
        if ((u - ex) / 0.12) ** 2 + ((v + 0.3) / 0.2) ** 2 <= 1.0:
            return BLACK
    # Smile: a band of a circle below the centre.
    m = ((u) ** 2 + (v + 0.05) ** 2) ** 0.5
    band = 0.09 if s >= 32 else 0.13
    if v > 0.15 and abs(m - 0.55) <= band and abs(u) < 0.55:
        return BLACK
    return YELLOW


def icon_image(draw, s):
    """One 4-bit icon image (BITMAPINFOHEADER, palette, XOR and AND masks)."""
    pixels = [[draw(x, y, s) for x in range(s)] for y in range(s)]
    xor_row = ((s * 4 + 31) // 32) * 4
    and_row = ((s + 31) // 32) * 4
    xor = bytearray()
    mask = bytearray()
    for y in reversed(range(s)):  # bottom-up rows
        row = bytearray(xor_row)
        bits = bytearray(and_row)
        for x in range(s):
            c = pixels[y][x]
            if c is None:
                bits[x // 8] |= 0x80 >> (x % 8)
                c = 0
            row[x // 2] |= c << 4 if x % 2 == 0 else c
        xor += row
        mask += bits
    header = struct.pack('<IiiHHIIiiII', 40, s, 2 * s, 1, 4, 0, len(xor) + len(mask), 0, 0, 16, 0)
    palette = b''.join(struct.pack('<BBBB', b, g, r, 0) for (r, g, b) in PALETTE)
    return header + palette + bytes(xor) + bytes(mask)


def ico_file(draw, sizes):
    images = [icon_image(draw, s) for s in sizes]
    out = struct.pack('<HHH', 0, 1, len(images))
    offset = 6 + 16 * len(images)
    for s, img in zip(sizes, images):
        out += struct.pack('<BBBBHHII', s, s, 16, 0, 1, 4, len(img), offset)
        offset += len(img)
    return out + b''.join(images)


ICONS = {
    128: (program_icon, [32]),
    139: (warning_icon, [32, 16]),
    140: (error_icon, [32, 16]),
    141: (finish_icon, [32, 16]),
}


def main(argv):
    if len(argv) != 2:
        sys.stderr.write('usage: mkicons.py OUTPUT_DIR\n')
        return 2
    out_dir = argv[1]
    os.makedirs(out_dir, exist_ok=True)
    for number, (draw, sizes) in sorted(ICONS.items()):
        path = os.path.join(out_dir, 'icon%d.ico' % number)
        data = ico_file(draw, sizes)
        tmp = path + '.tmp'
        with open(tmp, 'wb') as f:
            f.write(data)
        os.replace(tmp, path)
    return 0


if __name__ == '__main__':
    sys.exit(main(sys.argv))
