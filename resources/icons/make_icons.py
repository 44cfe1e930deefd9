#!/usr/bin/env python3
"""Draws Kalvenor's icons and writes them as .ico files next to this script.

Each picture is described with simple shapes on a 32-unit design grid and
rasterised separately for every size, so outlines stay one pixel wide and the
small images remain legible instead of being scaled down from a large one.
Every icon also carries 48 and 64 px images in 32-bit colour with an alpha
channel, which Windows picks at 150 % and 200 % display scaling. Those are
stored as PNG, as Windows Vista and later read them: a tenth of the bytes of
the same image as a bitmap.

Usage: python3 make_icons.py
"""
import math
import os
import struct
import zlib

# The 16 colours every Windows display can show; 4 bpp images use exactly these.
BLACK, MAROON, GREEN, OLIVE = (0, 0, 0), (128, 0, 0), (0, 128, 0), (128, 128, 0)
NAVY, PURPLE, TEAL, SILVER = (0, 0, 128), (128, 0, 128), (0, 128, 128), (192, 192, 192)
GRAY, RED, LIME, YELLOW = (128, 128, 128), (255, 0, 0), (0, 255, 0), (255, 255, 0)
BLUE, FUCHSIA, AQUA, WHITE = (0, 0, 255), (255, 0, 255), (0, 255, 255), (255, 255, 255)
BASIC = [BLACK, MAROON, GREEN, OLIVE, NAVY, PURPLE, TEAL, SILVER,
         GRAY, RED, LIME, YELLOW, BLUE, FUCHSIA, AQUA, WHITE]

CLEAR = None      # transparent pixel
KEEP = object()   # "leave the interior as it is" when only outlining a shape


def palette(bpp):
    if bpp == 4:
        return list(BASIC)
    # The basic 16 first, then a 6x6x6 colour cube and 24 grays that fall between
    # the cube's own: 256 entries.
    levels = range(0, 256, 51)
    cube = [(r, g, b) for r in levels for g in levels for b in levels]
    return BASIC + cube + [(v, v, v) for v in range(5, 245, 10)]


# ---- shapes: predicates over design coordinates (0..32 on both axes) ----

def rect(x0, y0, x1, y1):
    return lambda x, y: x0 <= x < x1 and y0 <= y < y1


def ellipse(cx, cy, rx, ry=None):
    ry = rx if ry is None else ry
    return lambda x, y: ((x - cx) / rx) ** 2 + ((y - cy) / ry) ** 2 <= 1


def poly(*pts):
    def inside(x, y):
        hit = False
        for (ax, ay), (bx, by) in zip(pts, pts[1:] + pts[:1]):
            if (ay > y) != (by > y) and x < ax + (y - ay) * (bx - ax) / (by - ay):
                hit = not hit
        return hit
    return inside


def gear(cx, cy, outer, inner, teeth):
    """Gear outline with trapezoid teeth between radii inner and outer."""
    pts = []
    for k in range(teeth):
        for r, frac in ((inner, -0.3), (outer, -0.18), (outer, 0.18), (inner, 0.3)):
            t = 2 * math.pi * (k + frac) / teeth
            pts.append((cx + r * math.cos(t), cy + r * math.sin(t)))
    return poly(*pts)


def union(*shapes):
    return lambda x, y: any(f(x, y) for f in shapes)


def both(a, b):
    return lambda x, y: a(x, y) and b(x, y)


def arrow(tail, tip, y, shaft, head, head_len):
    """Horizontal arrow from x=tail to x=tip; half-widths of shaft and head."""
    back = tip - head_len if tip > tail else tip + head_len
    return poly((tail, y - shaft), (back, y - shaft), (back, y - head), (tip, y),
                (back, y + head), (back, y + shaft), (tail, y + shaft))


class Canvas:
    def __init__(self, n, bpp):
        self.n, self.bpp, self.s = n, bpp, n / 32
        self.small = n <= 16
        # Nested parts get their own outline only where there is room for it.
        self.detail = None if self.small else BLACK
        self.px = [[CLEAR] * n for _ in range(n)]

    def tone(self, rich, basic):
        """A nicer shade where 256 or more colours are available, a basic one otherwise."""
        return rich if self.bpp >= 8 else basic

    def fill(self, inside, color, outline=BLACK):
        s, n = self.s, self.n
        cells = {(x, y) for y in range(n) for x in range(n)
                 if inside((x + 0.5) / s, (y + 0.5) / s)}
        for x, y in cells:
            edge = any((x + dx, y + dy) not in cells
                       for dx, dy in ((1, 0), (-1, 0), (0, 1), (0, -1)))
            c = outline if edge and outline is not None else color
            if c is not KEEP:
                self.px[y][x] = c
        return cells

    def line(self, x0, y0, x1, y1, color):
        p = lambda v: min(self.n - 1, max(0, int(v * self.s)))
        self.line_px(p(x0), p(y0), p(x1), p(y1), color)

    def line_px(self, x0, y0, x1, y1, color):
        dx, dy = abs(x1 - x0), -abs(y1 - y0)
        sx, sy = (1 if x1 > x0 else -1), (1 if y1 > y0 else -1)
        err = dx + dy
        while True:
            self.px[y0][x0] = color
            if (x0, y0) == (x1, y1):
                return
            e2 = 2 * err
            if e2 >= dy:
                err, x0 = err + dy, x0 + sx
            if e2 <= dx:
                err, y0 = err + dx, y0 + sy


# ---- shared picture parts ----

def paper(c, x0, y0, x1, y1):
    c.fill(rect(x0, y0, x1, y1), WHITE)
    if not c.small:
        for y in range(int(y0) + 3, int(y1) - 2, 3):
            c.line(x0 + 2, y, x1 - 3, y, GRAY)


def folder(c, x0, y0, x1, y1):
    c.fill(rect(x0 + 1, y0, x0 + 7, y0 + 4), OLIVE)
    c.fill(rect(x0, y0 + 2, x1, y1), YELLOW)
    c.line(x0 + 1, y0 + 5, x1 - 2, y0 + 5, OLIVE)


def computer(c, x0, y0, x1, y1):
    mid = (x0 + x1) / 2
    c.fill(rect(mid - 3, y1 - 1, mid + 3, y1 + 2), GRAY)
    c.fill(rect(mid - 7, y1 + 2, mid + 7, y1 + 5), SILVER)
    c.fill(rect(x0, y0, x1, y1), SILVER)
    m = max(3, 2 / c.s)
    c.fill(rect(x0 + m, y0 + m, x1 - m, y1 - m), c.tone((0, 51, 153), NAVY), c.detail)
    if not c.small:
        c.line(x0 + 4.5, y0 + 4.5, x0 + 7, y0 + 4.5, AQUA)


def box(c, x0, y0, x1, y1, d):
    """A closed cardboard box in perspective: front, top and right side."""
    c.fill(rect(x0, y0, x1, y1), c.tone((255, 204, 102), YELLOW), c.detail)
    c.fill(poly((x0, y0 + 0.5), (x0 + d, y0 - d), (x1 + d, y0 - d), (x1 - 0.5, y0 + 0.5)),
           c.tone((255, 230, 153), WHITE), c.detail)
    c.fill(poly((x1 - 0.5, y0 + 0.5), (x1 + d, y0 - d), (x1 + d, y1 - d), (x1 - 0.5, y1)),
           c.tone((204, 153, 51), OLIVE), c.detail)
    c.fill(poly((x0, y0), (x0 + d, y0 - d), (x1 + d, y0 - d), (x1 + d, y1 - d), (x1, y1), (x0, y1)),
           KEEP)


def disc(c, cx, cy, r):
    edge = ellipse(cx, cy, r)
    c.fill(edge, c.tone((224, 224, 224), SILVER))
    if not c.small:  # two glints on the surface, clipped to the disc
        glint = lambda k: both(edge, poly((cx, cy), (cx + k * r, cy - k * r), (cx + k * r, cy)))
        c.fill(glint(1), c.tone((153, 204, 255), AQUA), None)
        c.fill(glint(-1), c.tone((255, 204, 255), WHITE), None)
        c.fill(edge, KEEP)
    hole = max(r * 0.2, 0.7 / c.s)
    c.fill(ellipse(cx, cy, hole + (1 if c.small else 1.6) / c.s), GRAY, c.detail)
    c.fill(ellipse(cx, cy, hole), CLEAR, None)


def check_box(c, x, y, size, checked):
    cells = c.fill(rect(x, y, x + size, y + size), WHITE)
    if checked:
        # The tick is laid out on the box's actual pixels so it stays crisp at every size.
        left, top = min(cells)[0] + 1, min(row for _, row in cells) + 1
        w = max(cells)[0] - left
        b = (left + w // 3, top + w - 1)
        for k in range(max(1, int(1.4 * c.s))):
            c.line_px(left, b[1] - w // 3 - k, b[0], b[1] - k, BLACK)
            c.line_px(b[0], b[1] - k, left + w - 1, max(top, b[1] - (w - 1 - w // 3) - k), BLACK)


# ---- the pictures ----

def draw_setup(c):
    computer(c, 1, 0, 23, 16)
    box(c, 18, 20, 28, 31, 3.5)
    disc(c, 9, 23, 8.4 if c.small else 7.2)


def draw_exit(c):
    c.fill(rect(10, 1, 30, 31), MAROON)
    c.fill(rect(13, 4, 26, 31), BLACK, None)
    # The door leaf swings towards the viewer, so its free edge looks taller.
    c.fill(poly((13, 4), (2, 0), (2, 32), (13, 31)), OLIVE)
    c.fill(ellipse(4.5, 17.5, 1.5), YELLOW, None)
    big = 1 + 0.3 * max(0, 32 - c.n) / 16  # a bolder arrow on the smaller images
    c.fill(arrow(32, 15, 17, 2.5 * big, 6.5 * big, 8), LIME)


def draw_overwrite(c):
    folder(c, 0, 9, 13, 21)
    folder(c, 19, 9, 32, 21)
    paper(c, 9, 0, 20, 13)
    paper(c, 12, 2, 23, 16)
    c.fill(arrow(2, 31.5, 26, 2.5, 6, 6), RED)


def draw_remove(c):
    paper(c, 7, 1, 17, 14)
    c.fill(ellipse(21, 7, 6, 4.5), WHITE)  # a crumpled sheet
    c.line(18, 5, 21, 8, GRAY)
    c.line(21, 8, 24, 6, GRAY)
    c.fill(poly((4, 9), (28, 9), (25, 31), (7, 31)), SILVER)
    for x in (10.5, 16, 21.5):
        c.line(x, 13, 16 + (x - 16) * 0.75, 28, GRAY)
    c.fill(rect(2, 8, 30, 12), GRAY)


def draw_manual(c):
    paper(c, 12, 1, 26, 19)
    paper(c, 16, 4, 30, 22)
    c.fill(rect(0, 17, 5, 31), BLUE)
    c.fill(rect(4, 18, 12, 31), WHITE)
    c.fill(union(rect(10, 18, 25, 22), ellipse(25, 20, 2)), WHITE)
    # Curled fingers overlap by one row so neighbours share a single outline.
    for i, end in enumerate((16, 15, 14)):
        y = 21 + 3 * i
        c.fill(union(rect(9, y, end, y + 4), ellipse(end, y + 2, 2)), WHITE)
    c.fill(rect(5, 19, 11, 30), WHITE, None)  # the back of the hand hides the finger roots


def draw_automatic(c):
    window = rect(0, 0, 28, 32)
    c.fill(window, SILVER)
    c.fill(rect(0, 0, 28, 5), c.tone((0, 0, 153), NAVY), None)
    c.fill(window, KEEP)
    c.line(0, 5, 27, 5, BLACK)
    rows, size = ((8, 20), 10) if c.small else ((7, 15, 23), 7)
    for i, y in enumerate(rows):
        check_box(c, 4 if c.small else 3, y, size, i != 1)
        c.line(12, y + size / 2, 22, y + size / 2, GRAY)
    g = (23, 23, 9.5, 6.5) if c.small else (24, 24, 8, 6)
    c.fill(gear(*g, 6 if c.n < 48 else 8), c.tone((102, 102, 153), GRAY))
    c.fill(ellipse(g[0], g[1], 2.5 if c.n > 16 else 1.2), CLEAR, c.detail)


# Appended after the older images so those keep their place and their bytes.
HIGH_DPI = [(48, 32), (64, 32)]

ICONS = {
    'setup.ico': (draw_setup, [(16, 8), (32, 8)] + HIGH_DPI),
    'install.ico': (draw_setup, [(32, 4)] + HIGH_DPI),
    'exit.ico': (draw_exit, [(16, 4), (24, 4), (32, 4)] + HIGH_DPI),
    'overwrite.ico': (draw_overwrite, [(32, 4)] + HIGH_DPI),
    'remove.ico': (draw_remove, [(32, 4)] + HIGH_DPI),
    'manual.ico': (draw_manual, [(32, 4)] + HIGH_DPI),
    'automatic.ico': (draw_automatic,
                      [(32, 4), (16, 4), (48, 4), (32, 8), (48, 8), (16, 8)] + HIGH_DPI),
}


# ---- file format ----

_nearest = {}


def nearest(pal, color, bpp):
    key = (bpp, color)
    if key not in _nearest:
        if color in pal:
            _nearest[key] = pal.index(color)
        elif bpp == 4:
            # A silent approximation here would muddy a 16-colour picture; fix the drawing instead.
            raise ValueError(f'{color} is not one of the 16 basic colours')
        else:
            _nearest[key] = min(range(len(pal)),
                                key=lambda i: sum((a - b) ** 2 for a, b in zip(pal[i], color)))
    return _nearest[key]


def bitmap(c):
    """BITMAPINFOHEADER, colour table, XOR rows and AND mask, rows bottom-up."""
    n, bpp = c.n, c.bpp
    pal = palette(bpp)
    xor_stride, and_stride = (n * bpp + 31) // 32 * 4, (n + 31) // 32 * 4
    xor, mask = bytearray(), bytearray()
    for row in reversed(c.px):
        pixels, bits = bytearray(xor_stride), bytearray(and_stride)
        for x, color in enumerate(row):
            if color is CLEAR:
                bits[x // 8] |= 0x80 >> (x % 8)
                continue
            i = nearest(pal, color, bpp)
            if bpp == 8:
                pixels[x] = i
            else:
                pixels[x // 2] |= i << (0 if x % 2 else 4)
        xor += pixels
        mask += bits
    header = struct.pack('<IiiHHIIiiII', 40, n, 2 * n, 1, bpp, 0, len(xor) + len(mask), 0, 0, 0, 0)
    colours = b''.join(struct.pack('4B', b, g, r, 0) for r, g, b in pal)
    return header + colours + bytes(xor) + bytes(mask)


def png(c):
    """An 8-bit RGBA PNG of the canvas; rows top-down, each with filter type 0."""
    rows = bytearray()
    for row in c.px:
        rows.append(0)
        for color in row:
            rows += bytes((0, 0, 0, 0)) if color is CLEAR else bytes((*color, 255))

    def chunk(kind, data):
        return (struct.pack('>I', len(data)) + kind + data +
                struct.pack('>I', zlib.crc32(kind + data)))
    header = struct.pack('>IIBBBBB', c.n, c.n, 8, 6, 0, 0, 0)
    return (b'\x89PNG\r\n\x1a\n' + chunk(b'IHDR', header) +
            chunk(b'IDAT', zlib.compress(bytes(rows), 9)) + chunk(b'IEND', b''))


def write_icon(path, draw, formats):
    images = []
    for n, bpp in formats:
        c = Canvas(n, bpp)
        draw(c)
        images.append((n, bpp, png(c) if bpp == 32 else bitmap(c)))
    out = bytearray(struct.pack('<HHH', 0, 1, len(images)))
    offset = 6 + 16 * len(images)
    for n, bpp, data in images:
        out += struct.pack('<BBBBHHII', n, n, 16 if bpp == 4 else 0, 0, 1, bpp, len(data), offset)
        offset += len(data)
    for _, _, data in images:
        out += data
    with open(path, 'wb') as f:
        f.write(out)


def main():
    here = os.path.dirname(os.path.abspath(__file__))
    for name, (draw, formats) in ICONS.items():
        write_icon(os.path.join(here, name), draw, formats)
        print(name, ' '.join(f'{n}x{n}@{bpp}' for n, bpp in formats))


if __name__ == '__main__':
    main()
