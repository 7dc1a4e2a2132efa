#!/usr/bin/env python3
"""Draws the Windows programs' icons and writes them as .ico files.

    make_icons.py [FOLDER]     (default: the icons folder beside this script)

Each icon is drawn from a few shapes on a 256 x 256 grid and rendered at
16, 24, 32, 48 and 256 pixels (smoothed by sampling each pixel several
times); the small sizes are stored as 32-bit bitmaps, the large one as PNG,
as Windows expects. The drop targets must be told apart at a glance in
Explorer: Encrypt a closed padlock, Decrypt an open one, Open a page with a
padlock, Status a gauge; the program itself a key, the key drive tool a
drive with a key, the archive tool a box, the file manager a folder with a
padlock. The .ico files are kept in the source tree; run this script again
after changing a drawing.
"""
import math
import os
import struct
import sys
import zlib

SIZES = (16, 24, 32, 48, 256)


# ---------------------------------------------------------------- shapes
# Each shape is a signed distance on the 256-unit grid: negative inside.

def rounded_box(cx, cy, half_w, half_h, radius):
    def distance(x, y):
        qx = abs(x - cx) - half_w + radius
        qy = abs(y - cy) - half_h + radius
        outside = math.hypot(max(qx, 0.0), max(qy, 0.0))
        return outside + min(max(qx, qy), 0.0) - radius
    return distance


def circle(cx, cy, r):
    return lambda x, y: math.hypot(x - cx, y - cy) - r


def segment(x1, y1, x2, y2, half_width):
    dx, dy = x2 - x1, y2 - y1
    length2 = dx * dx + dy * dy

    def distance(x, y):
        t = 0.0 if length2 == 0 else max(0.0, min(1.0, ((x - x1) * dx + (y - y1) * dy) / length2))
        return math.hypot(x - (x1 + t * dx), y - (y1 + t * dy)) - half_width
    return distance


def arc(cx, cy, r, half_width, start_deg, end_deg):
    """A stroke along a circle from start to end (degrees, counterclockwise
    from +x with y pointing up), with round ends."""
    a0, a1 = math.radians(start_deg), math.radians(end_deg)
    ends = [(cx + r * math.cos(a), cy - r * math.sin(a)) for a in (a0, a1)]

    def distance(x, y):
        angle = math.atan2(-(y - cy), x - cx)
        rel = (angle - a0) % (2 * math.pi)
        if rel <= (a1 - a0) % (2 * math.pi) or abs(a1 - a0) >= 2 * math.pi:
            return abs(math.hypot(x - cx, y - cy) - r) - half_width
        return min(math.hypot(x - ex, y - ey) for ex, ey in ends) - half_width
    return distance


def polygon(points):
    def distance(x, y):
        inside = False
        best = float("inf")
        n = len(points)
        for i in range(n):
            (x1, y1), (x2, y2) = points[i], points[(i + 1) % n]
            if (y1 > y) != (y2 > y) and x < x1 + (y - y1) * (x2 - x1) / (y2 - y1):
                inside = not inside
            best = min(best, segment(x1, y1, x2, y2, 0)(x, y))
        return -best if inside else best
    return distance


def union(*shapes):
    return lambda x, y: min(s(x, y) for s in shapes)


def minus(shape, *holes):
    return lambda x, y: max(shape(x, y), *(-h(x, y) for h in holes))


# ---------------------------------------------------------------- drawings
# A drawing is a list of (shape, fill colour, outline colour): each shape is
# painted over the ones before it, with a dark outline that keeps it
# apart at 16 pixels.

def padlock_body(colour, dark, cx=128, cy=166, half=82):
    body = rounded_box(cx, cy, half, half * 0.78, half * 0.22)
    hole = union(circle(cx, cy - half * 0.16, half * 0.2),
                 segment(cx, cy - half * 0.1, cx, cy + half * 0.34, half * 0.09))
    return [(minus(body, hole), colour, dark)]


def closed_padlock(colour, dark, cx=128, cy=166, half=82):
    shackle = arc(cx, cy - half * 0.78, half * 0.56, half * 0.17, 0, 180)
    legs = union(segment(cx - half * 0.56, cy - half * 0.78, cx - half * 0.56, cy - half * 0.2, half * 0.17),
                 segment(cx + half * 0.56, cy - half * 0.78, cx + half * 0.56, cy - half * 0.2, half * 0.17))
    return [(union(shackle, legs), GREY, GREY_DARK)] + padlock_body(colour, dark, cx, cy, half)


def open_padlock(colour, dark):
    # The shackle lifted and swung open to the right.
    cx, cy, half = 112, 166, 82
    shackle = arc(cx + half * 0.56 * 2, cy - half * 1.05, half * 0.56, half * 0.17, 0, 180)
    leg = segment(cx + half * 0.56, cy - half * 1.05, cx + half * 0.56, cy - half * 0.2, half * 0.17)
    free = segment(cx + half * 1.68, cy - half * 1.05, cx + half * 1.68, cy - half * 0.75, half * 0.17)
    return [(union(shackle, leg, free), GREY, GREY_DARK)] + padlock_body(colour, dark, cx, cy, half)


def page():
    outline = polygon([(44, 14), (166, 14), (212, 60), (212, 242), (44, 242)])
    fold = polygon([(166, 14), (166, 60), (212, 60)])
    lines = union(*(segment(76, y, 180, y, 7) for y in (86, 116, 146)))
    return [(outline, WHITE, GREY_DARK), (fold, PAPER_FOLD, GREY_DARK), (lines, GREY, None)]


def gauge():
    dial = circle(128, 140, 108)
    ticks = union(*(segment(128 + 78 * math.cos(math.radians(a)), 140 - 78 * math.sin(math.radians(a)),
                            128 + 96 * math.cos(math.radians(a)), 140 - 96 * math.sin(math.radians(a)), 7)
                    for a in (150, 115, 90, 65, 30)))
    used = arc(128, 140, 87, 12, 90, 160)
    needle = segment(128, 140, 128 + 84 * math.cos(math.radians(60)), 140 - 84 * math.sin(math.radians(60)), 11)
    hub = circle(128, 140, 20)
    base = rounded_box(128, 224, 70, 18, 10)
    return [(dial, WHITE, PURPLE_DARK), (ticks, GREY_DARK, None), (used, PURPLE, None),
            (needle, PURPLE_DARK, None), (hub, PURPLE_DARK, None), (base, PURPLE, PURPLE_DARK)]


def key(colour, dark, scale=1.0, dx=0.0, dy=0.0):
    def at(x, y):
        return dx + 128 + (x - 128) * scale, dy + 128 + (y - 128) * scale
    bow = minus(circle(*at(80, 96), 62 * scale), circle(*at(68, 84), 20 * scale))
    shaft = segment(*at(120, 138), *at(222, 240), 20 * scale)
    bit1 = segment(*at(196, 214), *at(170, 240), 16 * scale)
    bit2 = segment(*at(172, 190), *at(150, 212), 16 * scale)
    return [(union(bow, shaft, bit1, bit2), colour, dark)]


def drive():
    stick = rounded_box(128, 150, 76, 96, 22)
    plug = rounded_box(128, 36, 46, 34, 6)
    return [(plug, GREY, GREY_DARK), (stick, TEAL, TEAL_DARK)] + key(GOLD, GOLD_DARK, 0.52, 0, 24)


def archive_box():
    lid = rounded_box(128, 62, 114, 34, 10)
    box = rounded_box(128, 162, 98, 78, 10)
    handle = rounded_box(128, 120, 34, 10, 8)
    return [(box, BROWN, BROWN_DARK), (lid, BROWN_LIGHT, BROWN_DARK), (handle, BROWN_DARK, None)]


def folder():
    tab = rounded_box(76, 56, 56, 24, 12)
    back = rounded_box(128, 132, 116, 88, 14)
    front = polygon([(12, 234), (34, 100), (250, 100), (232, 234)])
    return [(tab, FOLDER_BACK, FOLDER_DARK), (back, FOLDER_BACK, FOLDER_DARK), (front, FOLDER, FOLDER_DARK)]


WHITE = (250, 250, 250)
PAPER_FOLD = (214, 218, 224)
GREY = (150, 156, 166)
GREY_DARK = (60, 64, 72)
GOLD = (232, 170, 36)
GOLD_DARK = (120, 80, 10)
GREEN = (52, 168, 83)
GREEN_DARK = (20, 84, 40)
BLUE = (48, 112, 210)
BLUE_DARK = (18, 50, 110)
PURPLE = (124, 92, 214)
PURPLE_DARK = (58, 36, 120)
TEAL = (32, 132, 140)
TEAL_DARK = (12, 64, 70)
BROWN = (176, 122, 70)
BROWN_LIGHT = (204, 152, 96)
BROWN_DARK = (92, 58, 28)
FOLDER = (244, 196, 72)
FOLDER_BACK = (220, 168, 48)
FOLDER_DARK = (128, 92, 16)

ICONS = {
    "encrypt": closed_padlock(GOLD, GOLD_DARK),
    "decrypt": open_padlock(GREEN, GREEN_DARK),
    "open": page() + closed_padlock(BLUE, BLUE_DARK, cx=176, cy=192, half=56),
    "status": gauge(),
    "velkin": key(GOLD, GOLD_DARK),
    "keydrive": drive(),
    "bkgui": archive_box() + closed_padlock(GOLD, GOLD_DARK, cx=176, cy=196, half=52),
    "bkfm": folder() + closed_padlock(GOLD, GOLD_DARK, cx=170, cy=192, half=56),
}


# ---------------------------------------------------------------- rendering

def render(drawing, size):
    """RGBA rows, top to bottom."""
    samples = 4 if size <= 48 else 2
    unit = 256.0 / size
    # The outline is at least one pixel wide, whatever the size.
    outline_width = max(unit, 5.0)
    pixels = [[(0.0, 0.0, 0.0, 0.0)] * size for _ in range(size)]
    offsets = [(i + 0.5) / samples for i in range(samples)]
    for shape, fill, dark in drawing:
        for py in range(size):
            row = pixels[py]
            for px in range(size):
                inside = edge = 0
                for oy in offsets:
                    for ox in offsets:
                        d = shape((px + ox) * unit, (py + oy) * unit)
                        if d < 0:
                            if dark is not None and d > -outline_width:
                                edge += 1
                            else:
                                inside += 1
                total = samples * samples
                for count, colour in ((inside, fill), (edge, dark)):
                    if not count:
                        continue
                    a = count / total
                    r, g, b, alpha = row[px]
                    out = a + alpha * (1 - a)
                    mix = [(c * a + pc * alpha * (1 - a)) / out for c, pc in zip(colour, (r, g, b))]
                    row[px] = (mix[0], mix[1], mix[2], out)
    return [[(round(r), round(g), round(b), round(a * 255)) for r, g, b, a in row] for row in pixels]


def bitmap_image(rows):
    size = len(rows)
    header = struct.pack("<IiiHHIIiiII", 40, size, size * 2, 1, 32, 0, 0, 0, 0, 0, 0)
    colour = b"".join(bytes((b, g, r, a)) for row in reversed(rows) for r, g, b, a in row)
    mask_row = ((size + 31) // 32) * 4
    mask = bytearray()
    for row in reversed(rows):
        bits = bytearray(mask_row)
        for x, (_, _, _, a) in enumerate(row):
            if a == 0:
                bits[x // 8] |= 0x80 >> (x % 8)
        mask += bits
    return header + colour + bytes(mask)


def png_image(rows):
    size = len(rows)

    def chunk(kind, data):
        return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data))
    raw = b"".join(b"\0" + bytes(v for pixel in row for v in pixel) for row in rows)
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", size, size, 8, 6, 0, 0, 0))
            + chunk(b"IDAT", zlib.compress(raw, 9)) + chunk(b"IEND", b""))


def ico(drawing):
    images = [(size, png_image(render(drawing, size)) if size >= 256 else bitmap_image(render(drawing, size)))
              for size in SIZES]
    directory = struct.pack("<HHH", 0, 1, len(images))
    offset = 6 + 16 * len(images)
    entries = b""
    for size, data in images:
        entries += struct.pack("<BBBBHHII", size % 256, size % 256, 0, 0, 1, 32, len(data), offset)
        offset += len(data)
    return directory + entries + b"".join(data for _, data in images)


def main():
    folder = sys.argv[1] if len(sys.argv) > 1 else os.path.join(os.path.dirname(os.path.abspath(__file__)), "icons")
    os.makedirs(folder, exist_ok=True)
    for name, drawing in ICONS.items():
        with open(os.path.join(folder, name + ".ico"), "wb") as f:
            f.write(ico(drawing))
        print(name + ".ico")


if __name__ == "__main__":
    main()
