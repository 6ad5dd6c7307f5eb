#!/usr/bin/env python3
"""Draw Moravel's icons and write them as Windows .ico files.

    python3 tools/make-icons.py                   # writes ui/res/*.ico
    python3 tools/make-icons.py --preview /tmp/p  # also writes PNG previews

The artwork is drawn from the shapes below with nothing but the standard
library; every run writes the same bytes.

  moravel.ico  the program: a new sheet copied over an older one (blue arrow)
  idle.ico     notification area, nothing queued: the sheets, green check
  pending.ico  notification area, copies waiting: the sheets, amber clock

Every file holds 16x16, 32x32 and 48x48 images, each a 32-bit BGRA DIB with
a 1-bit AND mask for displays that ignore alpha.  Each size has its own
layout on the pixel grid, so that straight edges stay crisp; everything is
rendered with 8x8 supersampling for smooth diagonals and curves.
"""

import argparse
import math
import os
import struct
import sys
import zlib

SUPERSAMPLE = 8
SIZES = (16, 32, 48)

# Palette (R, G, B).
INK = (0x3E, 0x4C, 0x5E)          # outlines
PAPER = (0xFF, 0xFF, 0xFF)        # the sheet in front (the new file)
PAPER_OLD = (0xD2, 0xE1, 0xF3)    # the sheet behind (the file being replaced)
FOLD = (0xC2, 0xCE, 0xDB)         # dog-ear on the front sheet
FOLD_OLD = (0xA6, 0xBE, 0xDC)     # dog-ear on the sheet behind
TEXT = (0xA9, 0xB8, 0xC9)         # lines of "text" on the front sheet
BLUE = (0x1F, 0x6F, 0xE0)         # the copy arrow
GREEN = (0x1E, 0x9E, 0x52)        # idle badge
AMBER = (0xF5, 0x9B, 0x0B)        # pending badge
WHITE = (0xFF, 0xFF, 0xFF)

CLEAR = None                      # paints transparency (knock-out gaps)


# --------------------------------------------------------------------------
# Shapes: signed distance functions in pixel units (negative inside), each
# with the box it occupies so that painting only visits nearby samples.

class Shape:
    def __init__(self, sdf, box):
        self.sdf = sdf
        self.box = box  # (x0, y0, x1, y1)

    def grow(self, d):
        """The shape widened by d pixels (narrowed if d is negative)."""
        f = self.sdf
        x0, y0, x1, y1 = self.box
        return Shape(lambda x, y: f(x, y) - d,
                     (x0 - d, y0 - d, x1 + d, y1 + d))

    def __and__(self, other):
        f, g = self.sdf, other.sdf
        a, b = self.box, other.box
        return Shape(lambda x, y: max(f(x, y), g(x, y)),
                     (max(a[0], b[0]), max(a[1], b[1]),
                      min(a[2], b[2]), min(a[3], b[3])))


def rect(x0, y0, x1, y1):
    cx, cy = (x0 + x1) / 2, (y0 + y1) / 2
    hx, hy = (x1 - x0) / 2, (y1 - y0) / 2

    def sdf(x, y):
        dx = abs(x - cx) - hx
        dy = abs(y - cy) - hy
        if dx > 0 and dy > 0:
            return math.hypot(dx, dy)
        return max(dx, dy)
    return Shape(sdf, (x0, y0, x1, y1))


def circle(cx, cy, r):
    return Shape(lambda x, y: math.hypot(x - cx, y - cy) - r,
                 (cx - r, cy - r, cx + r, cy + r))


def polygon(points):
    """Any simple polygon (exact distance, sign by the even-odd rule)."""
    pts = list(points)
    edges = []
    for i, (ax, ay) in enumerate(pts):
        bx, by = pts[i - 1]
        ex, ey = bx - ax, by - ay
        edges.append((ax, ay, ex, ey, ex * ex + ey * ey))

    def sdf(x, y):
        best = float("inf")
        inside = False
        for ax, ay, ex, ey, ee in edges:
            wx, wy = x - ax, y - ay
            t = (wx * ex + wy * ey) / ee
            t = 0.0 if t < 0 else 1.0 if t > 1 else t
            dx, dy = wx - ex * t, wy - ey * t
            d = dx * dx + dy * dy
            if d < best:
                best = d
            by = ay + ey
            if (ay > y) != (by > y) and x < ax + ex * (y - ay) / ey:
                inside = not inside
        d = math.sqrt(best)
        return -d if inside else d
    xs = [p[0] for p in pts]
    ys = [p[1] for p in pts]
    return Shape(sdf, (min(xs), min(ys), max(xs), max(ys)))


def stroke(points, width):
    """A polyline drawn with round caps and joins."""
    pts = list(points)
    r = width / 2
    segs = []
    for (ax, ay), (bx, by) in zip(pts, pts[1:]):
        ex, ey = bx - ax, by - ay
        segs.append((ax, ay, ex, ey, ex * ex + ey * ey or 1.0))

    def sdf(x, y):
        best = float("inf")
        for ax, ay, ex, ey, ee in segs:
            wx, wy = x - ax, y - ay
            t = (wx * ex + wy * ey) / ee
            t = 0.0 if t < 0 else 1.0 if t > 1 else t
            dx, dy = wx - ex * t, wy - ey * t
            best = min(best, dx * dx + dy * dy)
        return math.sqrt(best) - r
    xs = [p[0] for p in pts]
    ys = [p[1] for p in pts]
    return Shape(sdf, (min(xs) - r, min(ys) - r, max(xs) + r, max(ys) + r))


# --------------------------------------------------------------------------
# Canvas: opaque paint (or CLEAR) into a grid of subsamples, then averaged.

class Canvas:
    def __init__(self, size):
        self.size = size
        self.n = size * SUPERSAMPLE
        self.samples = [None] * (self.n * self.n)

    def fill(self, shape, colour):
        n, s = self.n, SUPERSAMPLE
        x0, y0, x1, y1 = shape.box
        i0 = max(0, int(math.floor(x0 * s)))
        i1 = min(n, int(math.ceil(x1 * s)))
        j0 = max(0, int(math.floor(y0 * s)))
        j1 = min(n, int(math.ceil(y1 * s)))
        f = shape.sdf
        buf = self.samples
        for j in range(j0, j1):
            y = (j + 0.5) / s
            row = j * n
            for i in range(i0, i1):
                if f((i + 0.5) / s, y) <= 0:
                    buf[row + i] = colour

    def pixels(self):
        """Rows top to bottom of (r, g, b, a) with straight (not
        premultiplied) alpha."""
        s, n, size = SUPERSAMPLE, self.n, self.size
        buf = self.samples
        total = s * s
        rows = []
        for py in range(size):
            row = []
            for px in range(size):
                r = g = b = count = 0
                for j in range(py * s, py * s + s):
                    base = j * n + px * s
                    for c in buf[base:base + s]:
                        if c is not None:
                            r += c[0]
                            g += c[1]
                            b += c[2]
                            count += 1
                if count == 0:
                    row.append((0, 0, 0, 0))
                else:
                    row.append(((2 * r + count) // (2 * count),
                                (2 * g + count) // (2 * count),
                                (2 * b + count) // (2 * count),
                                (255 * count * 2 + total) // (2 * total)))
            rows.append(row)
        return rows


# --------------------------------------------------------------------------
# Artwork.  Each size has its own layout, in whole pixels where edges run
# straight.

def convex(points, radius):
    """A convex polygon (listed clockwise on screen) with rounded corners."""
    lines = []
    n = len(points)
    for i in range(n):
        (ax, ay), (bx, by) = points[i], points[(i + 1) % n]
        length = math.hypot(bx - ax, by - ay)
        nx, ny = -(by - ay) / length, (bx - ax) / length  # inward normal
        lines.append((nx, ny, nx * ax + ny * ay + radius))
    inset = []
    for i in range(n):
        a1, b1, c1 = lines[i - 1]
        a2, b2, c2 = lines[i]
        det = a1 * b2 - a2 * b1
        inset.append(((c1 * b2 - c2 * b1) / det, (a1 * c2 - a2 * c1) / det))
    return polygon(inset).grow(radius)


def pixel(c, x, y, colour, w=1):
    c.fill(rect(x, y, x + w, y + 1), colour)


def draw_sheet(c, box, fold, line, paper, ear, text_rows=()):
    """A sheet of paper with its top right corner folded down."""
    x0, y0, x1, y1 = box
    if line == 1:
        # Drawn pixel by pixel so that the fold is a clean staircase.
        e = x1 - fold                      # the fold's vertical edge
        for y in range(y0, y1):
            k = y - y0
            if k == 0 or y == y1 - 1:
                pixel(c, x0, y, INK, (e + 1 if k == 0 else x1) - x0)
            elif k < fold:
                pixel(c, x0, y, INK)
                pixel(c, x0 + 1, y, paper, e - x0 - 1)
                pixel(c, e, y, INK)
                pixel(c, e + 1, y, ear, k - 1)
                pixel(c, e + k, y, INK)
            elif k == fold:
                pixel(c, x0, y, INK)
                pixel(c, x0 + 1, y, paper, e - x0 - 1)
                pixel(c, e, y, INK, x1 - e)
            else:
                pixel(c, x0, y, INK)
                pixel(c, x0 + 1, y, paper, x1 - x0 - 2)
                pixel(c, x1 - 1, y, INK)
    else:
        outer = convex([(x0, y0), (x1 - fold, y0), (x1, y0 + fold),
                        (x1, y1), (x0, y1)], line)
        c.fill(outer, INK)
        c.fill(outer.grow(-line), paper)
        dogear = polygon([(x1 - fold, y0), (x1 - fold, y0 + fold),
                          (x1, y0 + fold)])
        c.fill(dogear.grow(line / 2) & outer, INK)
        c.fill(dogear.grow(-line / 2), ear)
    for tx0, ty0, tx1, ty1 in text_rows:
        c.fill(rect(tx0, ty0, tx1, ty1), TEXT)


def draw_sheets(c, L):
    draw_sheet(c, L["back"][0], L["back"][1], L["line"], PAPER_OLD, FOLD_OLD)
    draw_sheet(c, L["front"][0], L["front"][1], L["line"], PAPER, FOLD,
               L["text"])


def arrow_shape(x0, x1, y, shaft, head, head_len):
    hx = x1 - head_len
    return polygon([(x0, y - shaft / 2), (hx, y - shaft / 2),
                    (hx, y - head / 2), (x1, y), (hx, y + head / 2),
                    (hx, y + shaft / 2), (x0, y + shaft / 2)])


# The program icon, per size: the sheet behind and the sheet in front
# (box, fold), the outline width, lines of text on the front sheet, and the
# arrow with the transparent gap around it.
PROGRAM = {
    48: dict(back=((17, 3, 43, 35), 10), front=((5, 13, 31, 45), 10), line=2,
             text=[(10, 22, 26, 24), (10, 38, 22, 40)],
             arrow=dict(x0=12, x1=47, y=31, shaft=8, head=18, head_len=9),
             gap=2),
    32: dict(back=((11, 2, 29, 24), 6), front=((3, 8, 21, 30), 6), line=1,
             text=[(6, 13, 16, 14), (6, 26, 13, 27)],
             arrow=dict(x0=8, x1=31, y=21, shaft=6, head=12, head_len=6),
             gap=1),
    16: dict(back=((6, 0, 16, 11), 3), front=((0, 4, 10, 16), 3), line=1,
             text=[],
             arrow=dict(x0=3, x1=16, y=11, shaft=2, head=8, head_len=4),
             gap=1),
}


def draw_program(size):
    L = PROGRAM[size]
    c = Canvas(size)
    draw_sheets(c, L)
    arrow = arrow_shape(**L["arrow"])
    c.fill(arrow.grow(L["gap"]), CLEAR)
    c.fill(arrow, BLUE)
    return c.pixels()


# The status icons: the two sheets up and to the left, and a round badge
# (centre, radius) in the bottom right corner with a gap around it.
STATUS = {
    48: dict(back=((15, 2, 41, 32), 9), front=((4, 10, 30, 42), 9), line=2,
             text=[(9, 19, 25, 21), (9, 24, 25, 26), (9, 29, 18, 31)],
             badge=(35.5, 35.5, 12.5), gap=2),
    32: dict(back=((10, 1, 27, 21), 6), front=((3, 6, 20, 28), 6), line=1,
             text=[(6, 11, 15, 12), (6, 14, 15, 15), (6, 17, 11, 18)],
             badge=(23, 23, 9), gap=1.5),
    16: dict(back=((5, 0, 14, 10), 3), front=((1, 3, 10, 14), 3), line=1,
             text=[], badge=(11.5, 11.5, 4.5), gap=1),
}


def draw_status(size, glyph):
    L = STATUS[size]
    c = Canvas(size)
    draw_sheets(c, L)
    cx, cy, r = L["badge"]
    badge = circle(cx, cy, r)
    c.fill(badge.grow(L["gap"]), CLEAR)
    glyph(c, size, cx, cy, r, badge)
    return c.pixels()


# The check mark at 16x16, drawn by hand on the pixel grid (the top left
# pixel of the art goes at CHECK_16_AT).
CHECK_16_AT = (9, 9)
CHECK_16 = """
.....#
....##
#..##.
####..
.##...
"""


def check_glyph(c, size, cx, cy, r, badge):
    c.fill(badge, GREEN)
    if size == 16:
        x0, y0 = CHECK_16_AT
        for y, line in enumerate(CHECK_16.split()):
            for x, ch in enumerate(line):
                if ch == "#":
                    pixel(c, x0 + x, y0 + y, WHITE)
        return
    k = r / 4.5
    w = {32: 2.4, 48: 3.4}[size]
    c.fill(stroke([(cx - 2.2 * k, cy + 0.1 * k), (cx - 0.6 * k, cy + 1.7 * k),
                   (cx + 2.3 * k, cy - 1.4 * k)], w), WHITE)


def clock_glyph(c, size, cx, cy, r, badge):
    c.fill(badge, AMBER)
    if size == 16:
        # Hands one pixel wide along the pixel grid through the centre.
        c.fill(rect(11, 8, 12, 12), WHITE)
        c.fill(rect(11, 11, 14, 12), WHITE)
        return
    w = {32: 2.0, 48: 3.0}[size]
    k = r / 4.5
    c.fill(stroke([(cx, cy - 2.9 * k), (cx, cy), (cx + 2.2 * k, cy)], w), WHITE)


ICONS = {
    "moravel": draw_program,
    "idle": lambda size: draw_status(size, check_glyph),
    "pending": lambda size: draw_status(size, clock_glyph),
}


# --------------------------------------------------------------------------
# .ico files.

def dib(rows):
    """A 32-bit BGRA DIB with its AND mask, as stored in an .ico file."""
    h, w = len(rows), len(rows[0])
    stride = (w + 31) // 32 * 4
    header = struct.pack("<IiiHHIIiiII", 40, w, 2 * h, 1, 32, 0,
                         h * w * 4 + h * stride, 0, 0, 0, 0)
    colour = bytearray()
    mask = bytearray()
    for row in reversed(rows):
        bits = bytearray(stride)
        for x, (r, g, b, a) in enumerate(row):
            if a == 0:
                colour += b"\0\0\0\0"
                bits[x >> 3] |= 0x80 >> (x & 7)
            else:
                colour += bytes((b, g, r, a))
        mask += bits
    return header + bytes(colour) + bytes(mask)


def ico(images):
    """An .ico file from {size: rows}."""
    sizes = sorted(images)
    blobs = [dib(images[s]) for s in sizes]
    out = bytearray(struct.pack("<HHH", 0, 1, len(blobs)))
    offset = 6 + 16 * len(blobs)
    for s, blob in zip(sizes, blobs):
        out += struct.pack("<BBBBHHII", s % 256, s % 256, 0, 0, 1, 32,
                           len(blob), offset)
        offset += len(blob)
    for blob in blobs:
        out += blob
    return bytes(out)


def check_ico(data, sizes):
    """Reads an .ico back and fails loudly unless it is what we meant."""
    reserved, kind, count = struct.unpack_from("<HHH", data, 0)
    assert (reserved, kind, count) == (0, 1, len(sizes)), "bad icon header"
    end = 6 + 16 * count
    for i, size in enumerate(sorted(sizes)):
        w, h, colours, _, planes, bpp, length, offset = struct.unpack_from(
            "<BBBBHHII", data, 6 + 16 * i)
        assert (w, h, colours, planes, bpp) == (size, size, 0, 1, 32), \
            "bad directory entry for %dx%d" % (size, size)
        assert offset == end and offset + length <= len(data), "bad offsets"
        (hsize, bw, bh, bplanes, bbits, comp, _, _, _, _, _) = \
            struct.unpack_from("<IiiHHIIiiII", data, offset)
        assert (hsize, bw, bh, bplanes, bbits, comp) == \
            (40, size, 2 * size, 1, 32, 0), "bad DIB header"
        stride = (size + 31) // 32 * 4
        assert length == 40 + size * size * 4 + size * stride, "bad length"
        end = offset + length
    assert end == len(data), "trailing bytes"


# --------------------------------------------------------------------------
# PNG previews: each icon at 8x on a light and on a dark taskbar colour,
# with a strip of the icons at their real size below.

LIGHT = (0xF3, 0xF3, 0xF3)
DARK = (0x1F, 0x1F, 0x1F)


def png(rows):
    def chunk(kind, body):
        return (struct.pack(">I", len(body)) + kind + body +
                struct.pack(">I", zlib.crc32(kind + body) & 0xFFFFFFFF))
    raw = b"".join(b"\0" + bytes(v for px in row for v in px) for row in rows)
    return (b"\x89PNG\r\n\x1a\n" +
            chunk(b"IHDR", struct.pack(">IIBBBBB", len(rows[0]), len(rows),
                                       8, 2, 0, 0, 0)) +
            chunk(b"IDAT", zlib.compress(raw, 9)) +
            chunk(b"IEND", b""))


def over(px, bg):
    r, g, b, a = px
    return tuple((v * a + w * (255 - a) + 127) // 255
                 for v, w in zip((r, g, b), bg))


def preview(images, scale=8, pad=16):
    """The sizes enlarged side by side, then each again at its real size;
    once on a light and once on a dark background."""
    sizes = sorted(images)
    width = pad + sum(s * scale + pad for s in sizes)
    band = pad + max(sizes) * scale + pad + max(sizes) + pad
    canvas = []
    for bg in (LIGHT, DARK):
        top = len(canvas)
        canvas += [[bg] * width for _ in range(band)]
        x = small_x = pad
        for s in sizes:
            rows = images[s]
            for y in range(s * scale):
                line = canvas[top + pad + y]
                src = rows[y // scale]
                for i in range(s * scale):
                    line[x + i] = over(src[i // scale], bg)
            for y in range(s):
                line = canvas[top + band - pad - max(sizes) + y]
                for i in range(s):
                    line[small_x + i] = over(rows[y][i], bg)
            x += s * scale + pad
            small_x += s + pad
    return png(canvas)


def tray(icons, size=16, scales=(1, 2, 4), pad=8):
    """The icons of one size in a row at a few zooms, light then dark."""
    names = list(icons)
    width = pad + sum(len(names) * (size * k + pad) + pad for k in scales)
    band = pad + size * max(scales) + pad
    canvas = []
    for bg in (LIGHT, DARK):
        top = len(canvas)
        canvas += [[bg] * width for _ in range(band)]
        x = pad
        for k in scales:
            for name in names:
                rows = icons[name][size]
                for y in range(size * k):
                    line = canvas[top + pad + y]
                    for i in range(size * k):
                        line[x + i] = over(rows[y // k][i // k], bg)
                x += size * k + pad
            x += pad
    return png(canvas)


# --------------------------------------------------------------------------

def main():
    here = os.path.dirname(os.path.abspath(__file__))
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--out", default=os.path.join(here, "..", "ui", "res"),
                    help="where the .ico files go (default: ui/res)")
    ap.add_argument("--preview", metavar="DIR",
                    help="also write enlarged PNG previews into DIR")
    args = ap.parse_args()

    os.makedirs(args.out, exist_ok=True)
    if args.preview:
        os.makedirs(args.preview, exist_ok=True)
    drawn = {}
    for name, draw in ICONS.items():
        images = drawn[name] = {size: draw(size) for size in SIZES}
        data = ico(images)
        check_ico(data, SIZES)
        path = os.path.join(args.out, name + ".ico")
        with open(path, "wb") as f:
            f.write(data)
        print("wrote", os.path.normpath(path))
        if args.preview:
            path = os.path.join(args.preview, name + ".png")
            with open(path, "wb") as f:
                f.write(preview(images))
            print("wrote", path)
    if args.preview:
        for size in SIZES:
            path = os.path.join(args.preview, "all-%d.png" % size)
            with open(path, "wb") as f:
                f.write(tray(drawn, size))
            print("wrote", path)
    return 0


if __name__ == "__main__":
    sys.exit(main())
