#!/usr/bin/env python3
"""Draws tessaly's pictures: action and tree icons, splash bitmaps, logos, title-bar buttons
and the program icon. Standard library only; the output is committed beside this script.

    python3 resources/make_assets.py [--check]

--check redraws into memory and fails when a committed file differs.
"""

import math
import os
import struct
import sys
import zlib

HERE = os.path.dirname(os.path.abspath(__file__))

# Colours (r, g, b, a), 0..255.
WHITE = (255, 255, 255, 255)
BLACK = (20, 20, 24, 255)
INK = (45, 45, 55, 255)
GREY = (140, 140, 150, 255)
LIGHT = (215, 215, 222, 255)
PAPER = (250, 250, 246, 255)
RED = (196, 24, 24, 255)
DARKRED = (120, 0, 0, 255)
GREEN = (40, 150, 60, 255)
DARKGREEN = (20, 95, 35, 255)
BLUE = (40, 100, 200, 255)
DARKBLUE = (20, 55, 125, 255)
GOLD = (230, 180, 40, 255)
DARKGOLD = (160, 115, 10, 255)
AMBER = (235, 150, 20, 255)
TEAL = (20, 140, 150, 255)


def lerp(a, b, t):
    return tuple(int(round(a[i] + (b[i] - a[i]) * t)) for i in range(4))


def vgradient(top, bottom, y0, y1):
    def paint(x, y):
        t = 0.0 if y1 == y0 else min(1.0, max(0.0, (y - y0) / (y1 - y0)))
        return lerp(top, bottom, t)
    return paint


class Canvas:
    """RGBA picture drawn with supersampled coverage; coordinates in output pixels."""

    def __init__(self, w, h, ss=4, background=(0, 0, 0, 0), scale=1):
        # Drawn in the picture's own units; scale 2 gives the @2x picture of the same drawing.
        self.w, self.h, self.ss = w * scale, h * scale, ss
        self.k = ss * scale
        self.W, self.H = self.w * ss, self.h * ss
        n = self.W * self.H
        a = background[3] / 255.0
        self.r = [background[0] / 255.0 * a] * n
        self.g = [background[1] / 255.0 * a] * n
        self.b = [background[2] / 255.0 * a] * n
        self.a = [a] * n

    # A shape is a list of polygons, filled together (non-zero union of even-odd parts).
    def fill(self, polygons, paint):
        mask = bytearray(self.W * self.H)
        box = [self.W, self.H, 0, 0]
        for poly in polygons:
            self._scan(poly, mask, box)
        self._blend(mask, box, paint)

    def _scan(self, poly, mask, box):
        ss, W = self.k, self.W
        ys = [p[1] for p in poly]
        j0 = max(0, int(math.floor(min(ys) * ss - 0.5)))
        j1 = min(self.H - 1, int(math.ceil(max(ys) * ss)))
        n = len(poly)
        for j in range(j0, j1 + 1):
            y = (j + 0.5) / ss
            xs = []
            for k in range(n):
                x0, y0 = poly[k]
                x1, y1 = poly[(k + 1) % n]
                if (y0 <= y < y1) or (y1 <= y < y0):
                    xs.append(x0 + (y - y0) * (x1 - x0) / (y1 - y0))
            xs.sort()
            for k in range(0, len(xs) - 1, 2):
                i0 = max(0, int(math.ceil(xs[k] * ss - 0.5)))
                i1 = min(W, int(math.ceil(xs[k + 1] * ss - 0.5)))
                if i1 > i0:
                    mask[j * W + i0:j * W + i1] = b"\x01" * (i1 - i0)
                    box[0] = min(box[0], i0)
                    box[2] = max(box[2], i1)
                    box[1] = min(box[1], j)
                    box[3] = max(box[3], j + 1)

    def _blend(self, mask, box, paint):
        ss, W = self.k, self.W
        solid = not callable(paint)
        if solid:
            ca = paint[3] / 255.0
            cr, cg, cb = paint[0] / 255.0 * ca, paint[1] / 255.0 * ca, paint[2] / 255.0 * ca
        r, g, b, a = self.r, self.g, self.b, self.a
        for j in range(box[1], box[3]):
            row = j * W
            for i in range(box[0], box[2]):
                k = row + i
                if not mask[k]:
                    continue
                if not solid:
                    c = paint((i + 0.5) / ss, (j + 0.5) / ss)
                    ca = c[3] / 255.0
                    cr, cg, cb = c[0] / 255.0 * ca, c[1] / 255.0 * ca, c[2] / 255.0 * ca
                keep = 1.0 - ca
                r[k] = cr + r[k] * keep
                g[k] = cg + g[k] * keep
                b[k] = cb + b[k] * keep
                a[k] = ca + a[k] * keep

    def pixels(self):
        """Rows of (r, g, b, a) byte tuples, averaged over the samples."""
        ss, W = self.ss, self.W
        n = ss * ss
        out = []
        for y in range(self.h):
            row = []
            for x in range(self.w):
                sr = sg = sb = sa = 0.0
                for dj in range(ss):
                    base = (y * ss + dj) * W + x * ss
                    for di in range(ss):
                        k = base + di
                        sr += self.r[k]
                        sg += self.g[k]
                        sb += self.b[k]
                        sa += self.a[k]
                sa /= n
                if sa <= 0.0:
                    row.append((0, 0, 0, 0))
                    continue
                f = 1.0 / (n * sa)
                row.append((min(255, int(round(sr * f * 255))), min(255, int(round(sg * f * 255))),
                            min(255, int(round(sb * f * 255))), min(255, int(round(sa * 255)))))
            out.append(row)
        return out

    # Shapes ----------------------------------------------------------------------------------

    def rect(self, x, y, w, h, paint):
        self.fill([[(x, y), (x + w, y), (x + w, y + h), (x, y + h)]], paint)

    def rounded(self, x, y, w, h, rad, paint):
        self.fill([rounded_poly(x, y, w, h, rad)], paint)

    def framed(self, x, y, w, h, rad, edge, body, width=1.0):
        self.rounded(x, y, w, h, rad, edge)
        self.rounded(x + width, y + width, w - 2 * width, h - 2 * width, max(0.0, rad - width), body)

    def circle(self, cx, cy, rad, paint):
        self.fill([ellipse_poly(cx, cy, rad, rad)], paint)

    def ring(self, cx, cy, rad, width, paint, a0=0.0, a1=360.0):
        self.stroke(arc_points(cx, cy, rad, a0, a1), width, paint)

    def polygon(self, pts, paint):
        self.fill([pts], paint)

    def stroke(self, pts, width, paint, closed=False):
        """A polyline of the given width with round joins and caps, painted once."""
        hw = width / 2.0
        polys = []
        pts = list(pts) + ([pts[0]] if closed else [])
        for k in range(len(pts) - 1):
            (x0, y0), (x1, y1) = pts[k], pts[k + 1]
            dx, dy = x1 - x0, y1 - y0
            ln = math.hypot(dx, dy)
            if ln == 0:
                continue
            nx, ny = -dy / ln * hw, dx / ln * hw
            polys.append([(x0 + nx, y0 + ny), (x1 + nx, y1 + ny), (x1 - nx, y1 - ny), (x0 - nx, y0 - ny)])
        for p in pts:
            polys.append(ellipse_poly(p[0], p[1], hw, hw, 16))
        self.fill(polys, paint)


def rounded_poly(x, y, w, h, rad, steps=6):
    rad = min(rad, w / 2.0, h / 2.0)
    if rad <= 0:
        return [(x, y), (x + w, y), (x + w, y + h), (x, y + h)]
    pts = []
    for cx, cy, a0 in ((x + w - rad, y + rad, -90), (x + w - rad, y + h - rad, 0),
                       (x + rad, y + h - rad, 90), (x + rad, y + rad, 180)):
        for s in range(steps + 1):
            a = math.radians(a0 + 90.0 * s / steps)
            pts.append((cx + rad * math.cos(a), cy + rad * math.sin(a)))
    return pts


def ellipse_poly(cx, cy, rx, ry, n=48):
    return [(cx + rx * math.cos(2 * math.pi * k / n), cy + ry * math.sin(2 * math.pi * k / n)) for k in range(n)]


def arc_points(cx, cy, rad, a0, a1, n=None):
    """Degrees, clockwise on screen (y down), 0 = east."""
    n = n or max(4, int(abs(a1 - a0) / 8))
    return [(cx + rad * math.cos(math.radians(a0 + (a1 - a0) * k / n)),
             cy + rad * math.sin(math.radians(a0 + (a1 - a0) * k / n))) for k in range(n + 1)]


# Stroke font on a 4 x 6 grid, y down.
GLYPHS = {
    "A": [[(0, 6), (2, 0), (4, 6)], [(0.7, 4), (3.3, 4)]],
    "C": [[(4, 1), (3, 0), (1, 0), (0, 1), (0, 5), (1, 6), (3, 6), (4, 5)]],
    "D": [[(0, 0), (0, 6), (2.5, 6), (4, 4.5), (4, 1.5), (2.5, 0), (0, 0)]],
    "E": [[(4, 0), (0, 0), (0, 6), (4, 6)], [(0, 3), (3, 3)]],
    "G": [[(4, 1), (3, 0), (1, 0), (0, 1), (0, 5), (1, 6), (3, 6), (4, 5), (4, 3.5), (2.2, 3.5)]],
    "I": [[(2, 0), (2, 6)], [(1, 0), (3, 0)], [(1, 6), (3, 6)]],
    "K": [[(0, 0), (0, 6)], [(4, 0), (0, 3.8)], [(1.4, 2.5), (4, 6)]],
    "L": [[(0, 0), (0, 6), (4, 6)]],
    "M": [[(0, 6), (0, 0), (2, 3.5), (4, 0), (4, 6)]],
    "N": [[(0, 6), (0, 0), (4, 6), (4, 0)]],
    "O": [[(1, 0), (3, 0), (4, 1), (4, 5), (3, 6), (1, 6), (0, 5), (0, 1), (1, 0)]],
    "P": [[(0, 6), (0, 0), (3, 0), (4, 1), (4, 2.2), (3, 3.2), (0, 3.2)]],
    "R": [[(0, 6), (0, 0), (3, 0), (4, 1), (4, 2), (3, 3), (0, 3)], [(2, 3), (4, 6)]],
    "S": [[(4, 1), (3, 0), (1, 0), (0, 1), (0, 2), (1, 3), (3, 3), (4, 4), (4, 5), (3, 6), (1, 6), (0, 5)]],
    "T": [[(0, 0), (4, 0)], [(2, 0), (2, 6)]],
    "V": [[(0, 0), (2, 6), (4, 0)]],
    "W": [[(0, 0), (1, 6), (2, 2.5), (3, 6), (4, 0)]],
    "Y": [[(0, 0), (2, 3), (4, 0)], [(2, 3), (2, 6)]],
    "0": [[(1, 0), (3, 0), (4, 1), (4, 5), (3, 6), (1, 6), (0, 5), (0, 1), (1, 0)]],
    "1": [[(1, 1), (2, 0), (2, 6)], [(1, 6), (3, 6)]],
    "2": [[(0, 1), (1, 0), (3, 0), (4, 1), (4, 2), (0, 6), (4, 6)]],
    "?": [[(0.3, 1.3), (1.3, 0), (2.8, 0), (4, 1), (4, 2), (2, 3.4), (2, 4.3)], [(2, 5.9), (2, 6)]],
    ".": [[(2, 5.9), (2, 6)]],
    "*": [[(2, 1), (2, 5)], [(0.3, 2), (3.7, 4)], [(0.3, 4), (3.7, 2)]],
    " ": [],
}


def text(cv, s, x, y, size, width, paint, spacing=1.6):
    """Draws s with its top-left at (x, y); size is the glyph height. Returns the end x."""
    k = size / 6.0
    polys = []
    for ch in s:
        for line in GLYPHS[ch]:
            polys.append([(x + px * k, y + py * k) for px, py in line])
        x += (4 + spacing) * k
    for line in polys:
        cv.stroke(line, width, paint)
    return x - spacing * k


def text_width(s, size, spacing=1.6):
    k = size / 6.0
    return len(s) * (4 + spacing) * k - spacing * k


# Icon parts (drawn in a 32 x 32 box, scaled by s) ---------------------------------------------

class Icon:
    def __init__(self, size):
        self.size = size
        self.k = size / 32.0
        self.cv = Canvas(size, size, ss=8 if size <= 16 else 4)

    def P(self, pts):
        return [(x * self.k, y * self.k) for x, y in pts]

    def rounded(self, x, y, w, h, r, paint):
        k = self.k
        self.cv.rounded(x * k, y * k, w * k, h * k, r * k, paint)

    def framed(self, x, y, w, h, r, edge, body, width=1.4):
        k = self.k
        self.cv.framed(x * k, y * k, w * k, h * k, r * k, edge, body, max(1.0, width * k))

    def circle(self, cx, cy, r, paint):
        self.cv.circle(cx * self.k, cy * self.k, r * self.k, paint)

    def stroke(self, pts, w, paint, closed=False):
        self.cv.stroke(self.P(pts), max(1.1, w * self.k), paint, closed)

    def polygon(self, pts, paint):
        self.cv.polygon(self.P(pts), paint)

    def ring(self, cx, cy, r, w, paint, a0=0, a1=360):
        self.stroke([(x / self.k, y / self.k) for x, y in
                     arc_points(cx * self.k, cy * self.k, r * self.k, a0, a1)], w, paint)

    def text(self, s, x, y, size, w, paint):
        text(self.cv, s, x * self.k, y * self.k, size * self.k, max(1.1, w * self.k), paint)


def card(ic, x, y, w=22, h=15, body=BLUE, edge=DARKBLUE, chip=True):
    ic.framed(x, y, w, h, 2.5, edge, body)
    ic.rounded(x + 1.6, y + h - 4.2, w - 3.2, 1.6, 0.6, (255, 255, 255, 90))
    if chip:
        cw, ch = w * 0.28, h * 0.34
        cx, cy = x + w * 0.16, y + h * 0.28
        ic.framed(cx, cy, cw, ch, 1.0, DARKGOLD, GOLD, 0.9)
        ic.stroke([(cx + cw / 2, cy + 0.6), (cx + cw / 2, cy + ch - 0.6)], 0.8, DARKGOLD)
        ic.stroke([(cx + 0.6, cy + ch / 2), (cx + cw - 0.6, cy + ch / 2)], 0.8, DARKGOLD)


def reader(ic, with_card=None):
    # A desk reader: dark body, slot on top; the card stands in the slot.
    if with_card:
        ic.framed(9, 2, 14, 18, 2.0, with_card[1], with_card[0])
        ic.framed(11.5, 5, 5, 4.5, 0.8, DARKGOLD, GOLD, 0.8)
    ic.framed(3, 16, 26, 13, 3.0, BLACK, (75, 78, 90, 255))
    ic.rounded(6, 17.6, 20, 2.4, 1.0, BLACK)
    ic.circle(24.5, 25, 1.7, GREEN if with_card else (110, 110, 120, 255))


def key(ic, x, y, s, body, edge):
    """A key with its bow at (x, y), pointing right, scaled by s."""
    def P(pts):
        return [(x + px * s, y + py * s) for px, py in pts]
    ic.circle(x, y, 5.2 * s, edge)
    ic.circle(x, y, 4.0 * s, body)
    ic.circle(x - 1.2 * s, y, 1.5 * s, edge)
    ic.polygon(P([(3.5, -1.8), (17, -1.8), (19, 0), (17, 1.8), (15.5, 1.8), (15.5, 5), (13, 5), (13, 1.8),
                  (11.5, 1.8), (11.5, 4), (9, 4), (9, 1.8), (3.5, 1.8)]), edge)
    ic.polygon(P([(4.5, -0.7), (16.6, -0.7), (17.6, 0), (16.6, 0.7), (14.4, 0.7), (14.4, 3.9), (14.1, 3.9),
                  (14.1, 0.7), (10.4, 0.7), (10.4, 2.9), (10.1, 2.9), (10.1, 0.7), (4.5, 0.7)]), body)


def document(ic, x=5, y=2, w=19, h=26, body=PAPER, edge=INK, lines=True):
    fold = 5
    ic.polygon([(x, y), (x + w - fold, y), (x + w, y + fold), (x + w, y + h), (x, y + h)], edge)
    ic.polygon([(x + 1.3, y + 1.3), (x + w - fold - 0.5, y + 1.3), (x + w - 1.3, y + fold + 0.5),
                (x + w - 1.3, y + h - 1.3), (x + 1.3, y + h - 1.3)], body)
    ic.polygon([(x + w - fold, y), (x + w - fold, y + fold), (x + w, y + fold)], LIGHT)
    ic.stroke([(x + w - fold, y + 0.5), (x + w - fold, y + fold), (x + w - 0.5, y + fold)], 1.0, edge)
    if lines:
        for k in range(3):
            ly = y + 7 + k * 3.3
            ic.stroke([(x + 3.5, ly), (x + w - 4.5 - (k == 2) * 4, ly)], 1.3, GREY)


def rosette(ic, cx, cy, r=4.6, colour=RED, edge=DARKRED):
    ic.polygon([(cx - r * 0.8, cy), (cx - r * 1.1, cy + r * 2.1), (cx - r * 0.3, cy + r * 1.6),
                (cx + r * 0.1, cy + r * 2.3), (cx + r * 0.3, cy + r * 0.4)], edge)
    ic.polygon([(cx + r * 0.8, cy), (cx + r * 1.1, cy + r * 2.1), (cx + r * 0.3, cy + r * 1.6),
                (cx - r * 0.1, cy + r * 2.3), (cx - r * 0.3, cy + r * 0.4)], colour)
    ic.circle(cx, cy, r, edge)
    ic.circle(cx, cy, r - 1.1, colour)
    ic.circle(cx, cy, r * 0.38, GOLD)


def certificate(ic):
    document(ic, 4, 2, 20, 26)
    rosette(ic, 19, 20)


def arrow(ic, pts_from, pts_to, colour, edge, width=4.2, head=6.0):
    (x0, y0), (x1, y1) = pts_from, pts_to
    dx, dy = x1 - x0, y1 - y0
    ln = math.hypot(dx, dy)
    ux, uy = dx / ln, dy / ln
    nx, ny = -uy, ux
    bx, by = x1 - ux * head, y1 - uy * head
    hw = width / 2
    shape = [(x0 + nx * hw, y0 + ny * hw), (bx + nx * hw, by + ny * hw), (bx + nx * head * 0.85, by + ny * head * 0.85),
             (x1, y1), (bx - nx * head * 0.85, by - ny * head * 0.85), (bx - nx * hw, by - ny * hw),
             (x0 - nx * hw, y0 - ny * hw)]
    ic.polygon(shape, edge)
    # Inner body, inset by about one pixel.
    c = 1.0
    inner = [(x0 + nx * (hw - c) + ux * c, y0 + ny * (hw - c) + uy * c),
             (bx + nx * (hw - c) - ux * 0.2, by + ny * (hw - c) - uy * 0.2),
             (bx + nx * (head * 0.85 - 1.8) + ux * 0.6, by + ny * (head * 0.85 - 1.8) + uy * 0.6),
             (x1 - ux * 1.6, y1 - uy * 1.6),
             (bx - nx * (head * 0.85 - 1.8) + ux * 0.6, by - ny * (head * 0.85 - 1.8) + uy * 0.6),
             (bx - nx * (hw - c) - ux * 0.2, by - ny * (hw - c) - uy * 0.2),
             (x0 - nx * (hw - c) + ux * c, y0 - ny * (hw - c) + uy * c)]
    ic.polygon(inner, colour)


def badge(ic, colour, edge, cx=16, cy=16, r=14):
    ic.circle(cx, cy, r, edge)
    ic.circle(cx, cy, r - 1.5, colour)
    ic.cv.fill([ellipse_poly(cx * ic.k, (cy - r * 0.35) * ic.k, (r - 3.5) * ic.k, (r * 0.5) * ic.k)],
               (255, 255, 255, 50))


def padlock(ic, x, y, body, edge, open_=False):
    # Shackle first, then the body over its feet.
    if open_:
        ic.stroke(arc_points(x + 13, y + 7, 5, 180, 360) + [(x + 18, y + 9)], 3.6, GREY)
        ic.stroke([(x + 8, y + 7), (x + 8, y + 10)], 3.6, GREY)
    else:
        ic.stroke([(x + 8, y + 13)] + arc_points(x + 13, y + 8, 5, 180, 360) + [(x + 18, y + 13)], 3.6, GREY)
    ic.framed(x + 4, y + 12, 18, 14, 2.5, edge, body)
    ic.circle(x + 13, y + 18, 2.0, edge)
    ic.stroke([(x + 13, y + 18), (x + 13, y + 22.5)], 1.8, edge)


def gear(ic, cx, cy, r_out, r_in, teeth, body, edge):
    pts = []
    n = teeth * 4
    for k in range(n):
        a = 2 * math.pi * k / n
        r = r_out if (k % 4) in (1, 2) else r_in
        pts.append((cx + r * math.cos(a), cy + r * math.sin(a)))
    ic.polygon(pts, edge)
    inner = []
    for k in range(n):
        a = 2 * math.pi * k / n
        r = (r_out - 1.3) if (k % 4) in (1, 2) else (r_in - 1.3)
        inner.append((cx + r * math.cos(a), cy + r * math.sin(a)))
    ic.polygon(inner, body)
    ic.circle(cx, cy, r_in * 0.42, edge)
    ic.circle(cx, cy, r_in * 0.42 - 1.2, PAPER)


def door(ic, open_side):
    ic.framed(15, 3, 14, 26, 1.5, (90, 60, 30, 255), (180, 130, 70, 255))
    ic.rounded(17.5, 5.5, 9, 21, 1.0, (150, 105, 55, 255))
    ic.circle(19.5, 16.5, 1.3, GOLD)


# The icons, by resource name ---------------------------------------------------------------

def icon_smartcard(ic):
    card(ic, 3, 7, 26, 18)


def icon_empty_reader(ic):
    reader(ic)


def icon_reader_with_card(ic):
    reader(ic, (BLUE, DARKBLUE))


def icon_unidentified_card(ic):
    reader(ic, ((150, 150, 160, 255), INK))
    ic.circle(22, 9, 7.5, AMBER)
    ic.circle(22, 9, 6.3, (255, 205, 90, 255))
    ic.text("?", 20.1, 5, 8.5, 2.0, BLACK)


def icon_certificate(ic):
    certificate(ic)


def icon_cert_with_keys(ic):
    document(ic, 2, 1, 19, 24)
    rosette(ic, 16, 17, 4.0)
    key(ic, 9, 25, 0.95, GOLD, DARKGOLD)


def icon_cert_not_decoded(ic):
    document(ic, 4, 2, 20, 26, body=(225, 225, 225, 255), edge=GREY)
    ic.stroke([(10, 13), (24, 27)], 4.2, RED)
    ic.stroke([(24, 13), (10, 27)], 4.2, RED)


def icon_cert_view(ic):
    document(ic, 3, 2, 19, 26)
    rosette(ic, 16, 19, 3.6)
    ic.stroke([(22.5, 22.5), (29, 29)], 4.0, INK)
    ic.circle(18, 18, 7.5, INK)
    ic.circle(18, 18, 5.8, (200, 225, 255, 230))
    ic.cv.fill([ellipse_poly(16.5 * ic.k, 16 * ic.k, 2.5 * ic.k, 1.6 * ic.k)], (255, 255, 255, 170))


def icon_public_key(ic):
    key(ic, 8, 16, 1.25, (110, 205, 120, 255), DARKGREEN)


def icon_private_key(ic):
    key(ic, 8, 13, 1.25, (240, 120, 100, 255), DARKRED)
    padlock_small(ic, 17, 17)


def padlock_small(ic, x, y):
    ic.stroke([(x + 3, y + 6)] + arc_points(x + 6.5, y + 4.5, 3.5, 180, 360) + [(x + 10, y + 6)], 2.4, INK)
    ic.framed(x + 1, y + 5, 11, 9, 1.5, INK, GOLD, 1.1)
    ic.circle(x + 6.5, y + 9, 1.3, INK)


def icon_reload(ic):
    ic.ring(16, 16, 10, 4.2, DARKBLUE, -60, 230)
    ic.ring(16, 16, 10, 2.0, (110, 170, 240, 255), -60, 226)
    a = math.radians(-60)
    tip = (16 + 10 * math.cos(a), 16 + 10 * math.sin(a))
    ic.polygon([(tip[0] - 6.5, tip[1] - 3.0), (tip[0] + 4.5, tip[1] - 4.5), (tip[0] + 2.5, tip[1] + 6.5)],
               DARKBLUE)


def icon_exit(ic):
    badge(ic, RED, DARKRED)
    ic.ring(16, 17, 7.2, 2.8, WHITE, -55, 235)
    ic.stroke([(16, 6.5), (16, 15.5)], 2.8, WHITE)


def icon_preferences(ic):
    gear(ic, 16, 16, 14, 10.5, 8, (170, 175, 190, 255), INK)


def icon_about(ic):
    badge(ic, BLUE, DARKBLUE)
    ic.circle(16, 9, 2.3, WHITE)
    ic.stroke([(13.5, 14), (16.2, 14), (16.2, 23.5)], 3.2, WHITE)
    ic.stroke([(12.5, 24), (19.5, 24)], 2.6, WHITE)


def icon_change_pin(ic):
    ic.framed(1, 8, 30, 14, 3.0, INK, PAPER)
    for k in range(3):
        ic.text("*", 4.5 + k * 7.3, 10.5, 9, 1.9, INK)
    # A pencil over the field, writing.
    ic.polygon([(29, 19), (31, 21), (19, 31), (16, 31.5), (16.5, 28.5)], DARKGOLD)
    ic.polygon([(29, 20.2), (29.9, 21.1), (19, 30.2), (17.4, 30.4), (17.6, 28.8)], GOLD)
    ic.polygon([(16, 31.5), (16.5, 28.5), (18.6, 30.6)], INK)


def icon_unblock_pin(ic):
    padlock(ic, 2, 3, (110, 205, 120, 255), DARKGREEN, open_=True)


def icon_login(ic):
    door(ic, "in")
    arrow(ic, (1, 16), (17, 16), (110, 205, 120, 255), DARKGREEN, 5, 8)


def icon_logout(ic):
    door(ic, "out")
    arrow(ic, (17, 16), (1, 16), (240, 120, 100, 255), DARKRED, 5, 8)


def icon_import(ic):
    card(ic, 3, 14, 26, 16)
    arrow(ic, (18, 0), (18, 15.5), (110, 205, 120, 255), DARKGREEN, 5, 7.5)


def icon_export(ic):
    document(ic, 2, 5, 17, 24)
    arrow(ic, (11, 17), (31, 17), (110, 170, 240, 255), DARKBLUE, 5, 8)


def icon_request_cert(ic):
    document(ic, 3, 5, 18, 25)
    rosette(ic, 15, 22, 3.4)
    arrow(ic, (25, 20), (25, 1), (110, 170, 240, 255), DARKBLUE, 5, 8)


def icon_download_cert(ic):
    document(ic, 3, 5, 18, 25)
    rosette(ic, 15, 22, 3.4)
    arrow(ic, (25, 1), (25, 22), (110, 205, 120, 255), DARKGREEN, 5, 8)


def icon_delete(ic):
    # A bin: lid, handle, body with ribs.
    ic.rounded(12, 2, 8, 4, 1.5, INK)
    ic.rounded(13.5, 3.4, 5, 2.6, 0.5, (0, 0, 0, 0))
    ic.framed(4, 5, 24, 4.5, 1.5, INK, (200, 205, 215, 255), 1.2)
    ic.polygon([(6, 10), (26, 10), (24, 30), (8, 30)], INK)
    ic.polygon([(7.4, 11.3), (24.6, 11.3), (22.8, 28.7), (9.2, 28.7)], (200, 205, 215, 255))
    for x0, x1 in ((11.5, 12.3), (16, 16), (20.5, 19.7)):
        ic.stroke([(x0, 14), (x1, 26)], 1.8, (120, 125, 140, 255))


def icon_test(ic):
    # A clipboard with ticks: the card, key or certificate is put through its checks.
    ic.framed(4, 4, 24, 27, 2.5, (90, 60, 30, 255), (190, 145, 85, 255))
    ic.rounded(7, 7, 18, 21.5, 1.0, PAPER)
    ic.framed(11, 1.5, 10, 5, 1.5, INK, GREY, 1.0)
    for k in range(3):
        y = 11.5 + k * 6
        ic.stroke([(9, y), (10.7, y + 1.8), (13.8, y - 1.6)], 1.9, GREEN)
        ic.stroke([(16, y), (22.5, y)], 1.6, GREY)


def icon_switch_style(ic):
    # A painter's palette.
    pal = [(16 + 14 * math.cos(math.radians(a)), 16 + 11.5 * math.sin(math.radians(a))) for a in range(0, 360, 10)]
    ic.polygon(pal, (120, 80, 40, 255))
    pal2 = [(16 + 12.7 * math.cos(math.radians(a)), 16 + 10.2 * math.sin(math.radians(a))) for a in range(0, 360, 10)]
    ic.polygon(pal2, (235, 205, 150, 255))
    ic.circle(21.5, 20.5, 3.0, (120, 80, 40, 255))
    ic.circle(21.5, 20.5, 2.0, (0, 0, 0, 0))
    for (x, y), c in zip([(9, 13), (14, 9), (20.5, 9.5), (25, 14), (10.5, 20)], [RED, GOLD, GREEN, BLUE, (150, 60, 170, 255)]):
        ic.circle(x, y, 2.5, c)


def icon_brannick(ic):
    card(ic, 2, 9, 24, 17, body=(235, 235, 240, 255), edge=INK)
    # A spark: the card is made new.
    cx, cy = 24, 8
    star = []
    for k in range(8):
        r = 7.5 if k % 2 == 0 else 2.4
        a = math.radians(-90 + 45 * k)
        star.append((cx + r * math.cos(a), cy + r * math.sin(a)))
    ic.polygon(star, DARKGOLD)
    star2 = []
    for k in range(8):
        r = 6.0 if k % 2 == 0 else 1.7
        a = math.radians(-90 + 45 * k)
        star2.append((cx + r * math.cos(a), cy + r * math.sin(a)))
    ic.polygon(star2, (255, 220, 60, 255))


def icon_approved(ic):
    badge(ic, GREEN, DARKGREEN)
    ic.stroke([(9, 16.5), (14, 21.5), (23.5, 10.5)], 3.6, WHITE)


def icon_rejected(ic):
    badge(ic, RED, DARKRED)
    ic.stroke([(10.5, 10.5), (21.5, 21.5)], 3.6, WHITE)
    ic.stroke([(21.5, 10.5), (10.5, 21.5)], 3.6, WHITE)


def icon_pending(ic):
    badge(ic, AMBER, DARKGOLD)
    ic.circle(16, 16, 9.5, WHITE)
    for k in range(12):
        a = math.radians(30 * k)
        ic.stroke([(16 + 7.8 * math.cos(a), 16 + 7.8 * math.sin(a)), (16 + 8.6 * math.cos(a), 16 + 8.6 * math.sin(a))],
                  1.0, INK)
    ic.stroke([(16, 16), (16, 9.5)], 2.0, INK)
    ic.stroke([(16, 16), (20.5, 18.5)], 2.0, INK)
    ic.circle(16, 16, 1.4, INK)


def icon_unknown(ic):
    badge(ic, (150, 150, 160, 255), INK)
    ic.text("?", 12, 7, 17, 3.2, WHITE)


def app_icon(ic):
    # The program: a Veskora-red card with a gold chip and a white T.
    card(ic, 1, 5, 30, 22, body=RED, edge=DARKRED, chip=False)
    ic.framed(4, 10, 8, 7, 1.2, DARKGOLD, GOLD, 0.9)
    ic.stroke([(8, 10.5), (8, 16.5)], 0.8, DARKGOLD)
    ic.stroke([(16, 10.5), (27, 10.5)], 3.4, WHITE)
    ic.stroke([(21.5, 10.5), (21.5, 23)], 3.4, WHITE)


ICONS = {
    "About": icon_about, "Approved": icon_approved, "Brannick": icon_brannick,
    "CertNotDecoded": icon_cert_not_decoded, "CertView": icon_cert_view, "CertWithKeys": icon_cert_with_keys,
    "Certificate": icon_certificate, "ChangePin": icon_change_pin, "Delete": icon_delete,
    "DownloadCert": icon_download_cert, "EmptyReader": icon_empty_reader, "Exit": icon_exit,
    "Export": icon_export, "Import": icon_import, "Login": icon_login, "Logout": icon_logout,
    "Pending": icon_pending, "Preferences": icon_preferences, "PrivateKey": icon_private_key,
    "PublicKey": icon_public_key, "ReaderWithCard": icon_reader_with_card, "Rejected": icon_rejected,
    "Reload": icon_reload, "RequestCert": icon_request_cert, "SmartCard": icon_smartcard,
    "SwitchStyle": icon_switch_style, "Test": icon_test, "UnblockPin": icon_unblock_pin,
    "UnidentifiedCard": icon_unidentified_card, "Unknown": icon_unknown,
}


# Bitmaps -----------------------------------------------------------------------------------

def emblem(cv, x, y, h, colour, edge=None):
    """The maker's mark: a bold V in a rounded shield, height h, top-left (x, y)."""
    w = h * 0.86
    cv.fill([rounded_poly(x, y, w, h, h * 0.18)], edge or colour)
    inset = h * 0.06
    if edge:
        cv.fill([rounded_poly(x + inset, y + inset, w - 2 * inset, h - 2 * inset, h * 0.14)], colour)
    cv.fill([[(x + w * 0.18, y + h * 0.2), (x + w * 0.36, y + h * 0.2), (x + w * 0.5, y + h * 0.62),
              (x + w * 0.64, y + h * 0.2), (x + w * 0.82, y + h * 0.2), (x + w * 0.58, y + h * 0.82),
              (x + w * 0.42, y + h * 0.82)]], WHITE)
    return x + w


def splash_screen(scale=1):
    w, h = 480, 300
    cv = Canvas(w, h, ss=2, scale=scale)
    cv.rect(0, 0, w, h, vgradient((252, 252, 252, 255), (222, 222, 228, 255), 0, h))
    cv.rect(0, 0, w, 86, vgradient((88, 0, 0, 255), (184, 0, 0, 255), 0, 86))
    cv.rect(0, 86, w, 3, GOLD)
    end = emblem(cv, 24, 14, 58, RED, WHITE)
    text(cv, "VESKORA", end + 18, 32, 24, 4.0, WHITE)
    text(cv, "TESSALY", 30, 118, 40, 6.4, DARKRED)
    text(cv, "SMART CARD MANAGER", 32, 176, 12, 2.0, INK)
    text(cv, "2.1", 32 + text_width("SMART CARD MANAGER", 12) + 12, 176, 12, 2.0, GREY)
    # A card, tilted, on the right.
    ang = math.radians(-12)
    cx, cy, cw, ch = 398, 178, 124, 80

    def rot(pts):
        return [(cx + (px - cx) * math.cos(ang) - (py - cy) * math.sin(ang),
                 cy + (px - cx) * math.sin(ang) + (py - cy) * math.cos(ang)) for px, py in pts]
    x0, y0 = cx - cw / 2, cy - ch / 2
    cv.fill([rot(rounded_poly(x0 + 5, y0 + 7, cw, ch, 10))], (0, 0, 0, 60))
    cv.fill([rot(rounded_poly(x0, y0, cw, ch, 10))], DARKBLUE)
    cv.fill([rot(rounded_poly(x0 + 2.5, y0 + 2.5, cw - 5, ch - 5, 8))], vgradient((70, 130, 220, 255), BLUE, y0, y0 + ch))
    cv.fill([rot(rounded_poly(x0 + 15, y0 + 22, 28, 23, 4))], DARKGOLD)
    cv.fill([rot(rounded_poly(x0 + 16.5, y0 + 23.5, 25, 20, 3))], GOLD)
    for seg in ([(x0 + 29, y0 + 23.5), (x0 + 29, y0 + 43.5)], [(x0 + 16.5, y0 + 33.5), (x0 + 41.5, y0 + 33.5)]):
        cv.stroke(rot(seg), 1.6, DARKGOLD)
    cv.fill([rot(rounded_poly(x0 + 10, y0 + ch - 18, cw - 20, 6, 3))], (255, 255, 255, 90))
    cv.rect(24, 214, w - 48, 1.5, LIGHT)
    return cv


def progress(scale=1):
    w, h = 320, 120
    cv = Canvas(w, h, ss=2, scale=scale)
    cv.rect(0, 0, w, h, vgradient((252, 252, 252, 255), (225, 225, 230, 255), 0, h))
    cv.rect(0, 0, w, 6, vgradient((88, 0, 0, 255), (184, 0, 0, 255), 0, 6))
    cv.fill([rounded_poly(24, 22, 72, 46, 6)], DARKBLUE)
    cv.fill([rounded_poly(26, 24, 68, 42, 5)], BLUE)
    cv.fill([rounded_poly(33, 34, 17, 14, 2)], DARKGOLD)
    cv.fill([rounded_poly(34, 35, 15, 12, 2)], GOLD)
    # Dots fading in: work going on.
    for k in range(6):
        a = int(60 + 195 * (k + 1) / 6)
        cv.circle(122 + k * 28, 45, 8, (184, 0, 0, a))
    cv.rect(16, 84, w - 32, 1, LIGHT)
    return cv


def logo_red(w, h, scale=1):
    cv = Canvas(w, h, ss=4, scale=scale)
    eh = h * 0.62
    emblem(cv, (w - eh * 0.86) / 2, 2, eh, RED, DARKRED)
    size = h * 0.16
    tw = text_width("VESKORA", size)
    text(cv, "VESKORA", (w - tw) / 2, h - size - 4, size, max(1.6, size / 5.5), DARKRED)
    return cv


def header_logo(scale=1):
    # Sits on the title bar's red gradient: white on transparent.
    w, h = 176, 56
    cv = Canvas(w, h, ss=4, scale=scale)
    end = emblem(cv, 8, 8, 40, RED, WHITE)
    text(cv, "VESKORA", end + 10, 20, 16, 2.8, WHITE)
    return cv


def title_button(glyph, pressed, scale=1):
    w, h = 25, 24
    cv = Canvas(w, h, ss=4, background=(120, 0, 0, 255), scale=scale)
    top, bottom = ((70, 0, 0, 255), (120, 10, 10, 255)) if pressed else ((200, 40, 40, 255), (130, 0, 0, 255))
    cv.fill([rounded_poly(1, 1, w - 2, h - 2, 4)], (60, 0, 0, 255))
    cv.fill([rounded_poly(2, 2, w - 4, h - 4, 3)], vgradient(top, bottom, 2, h - 2))
    d = 1 if pressed else 0
    if glyph == "minimize":
        cv.stroke([(8 + d, 16 + d), (17 + d, 16 + d)], 2.4, WHITE)
    elif glyph == "maximize":
        cv.stroke([(7.5 + d, 7.5 + d), (17.5 + d, 7.5 + d), (17.5 + d, 16.5 + d), (7.5 + d, 16.5 + d)], 1.6, WHITE, closed=True)
        cv.stroke([(7.5 + d, 8.5 + d), (17.5 + d, 8.5 + d)], 2.2, WHITE)
    elif glyph == "restore":
        # Two windows, the front one lower left: what a maximised window goes back to.
        cv.stroke([(10.5 + d, 5.5 + d), (18.5 + d, 5.5 + d), (18.5 + d, 12.5 + d)], 1.6, WHITE)
        cv.stroke([(10.5 + d, 6.3 + d), (18.5 + d, 6.3 + d)], 1.6, WHITE)
        cv.stroke([(6.5 + d, 9.5 + d), (14.5 + d, 9.5 + d), (14.5 + d, 17.5 + d), (6.5 + d, 17.5 + d)], 1.6, WHITE,
                  closed=True)
        cv.stroke([(6.5 + d, 10.5 + d), (14.5 + d, 10.5 + d)], 2.2, WHITE)
    else:
        cv.stroke([(8 + d, 7.5 + d), (17 + d, 16.5 + d)], 2.4, WHITE)
        cv.stroke([(17 + d, 7.5 + d), (8 + d, 16.5 + d)], 2.4, WHITE)
    return cv


def check_mark(scale=1):
    # The tick of the skin's check boxes: dark on their white box, whatever the palette.
    w = h = 13
    cv = Canvas(w, h, ss=4, scale=scale)
    cv.stroke([(3.0, 6.8), (5.5, 9.3), (10.0, 3.8)], 2.0, INK)
    return cv


def radio_dot(scale=1):
    w = h = 13
    cv = Canvas(w, h, ss=4, scale=scale)
    cv.circle(6.5, 6.5, 3.0, INK)
    return cv


# File formats ------------------------------------------------------------------------------

def png_bytes(rows):
    h, w = len(rows), len(rows[0])
    raw = bytearray()
    for row in rows:
        raw.append(0)
        for px in row:
            raw.extend(px)

    def chunk(tag, data):
        return struct.pack(">I", len(data)) + tag + data + struct.pack(">I", zlib.crc32(tag + data) & 0xFFFFFFFF)
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", w, h, 8, 6, 0, 0, 0)) +
            chunk(b"IDAT", zlib.compress(bytes(raw), 9)) + chunk(b"IEND", b""))


def bmp_bytes(rows):
    """24-bit, bottom-up; the pictures are opaque."""
    h, w = len(rows), len(rows[0])
    stride = (w * 3 + 3) & ~3
    data = bytearray()
    for row in reversed(rows):
        line = bytearray()
        for r, g, b, a in row:
            line.extend((b, g, r))
        line.extend(b"\0" * (stride - len(line)))
        data.extend(line)
    header = struct.pack("<IiiHHIIiiII", 40, w, h, 1, 24, 0, len(data), 2835, 2835, 0, 0)
    return b"BM" + struct.pack("<IHHI", 14 + len(header) + len(data), 0, 0, 14 + len(header)) + header + bytes(data)


def ico_bytes(images):
    """Classic icon entries (32-bit DIB with an all-clear AND mask), one per size."""
    blobs = []
    for rows in images:
        h, w = len(rows), len(rows[0])
        pixels = bytearray()
        for row in reversed(rows):
            for r, g, b, a in row:
                pixels.extend((b, g, r, a))
        mask_stride = ((w + 31) // 32) * 4
        mask = b"\0" * (mask_stride * h)
        header = struct.pack("<IiiHHIIiiII", 40, w, h * 2, 1, 32, 0, len(pixels) + len(mask), 0, 0, 0, 0)
        blobs.append((w, h, header + bytes(pixels) + mask))
    out = struct.pack("<HHH", 0, 1, len(blobs))
    offset = 6 + 16 * len(blobs)
    for w, h, blob in blobs:
        out += struct.pack("<BBBBHHII", w % 256, h % 256, 0, 0, 1, 32, len(blob), offset)
        offset += len(blob)
    for _, _, blob in blobs:
        out += blob
    return out


def at2x(path):
    """The name Qt looks for at twice the size: "@2x" before the suffix, if there is one."""
    head, tail = os.path.split(path)
    base, dot, suffix = tail.rpartition(".")
    name = base + "@2x" + dot + suffix if dot else tail + "@2x"
    return os.path.join(head, name)


def outputs():
    """(relative path, bytes) of every picture."""
    files = []
    for name, draw in sorted(ICONS.items()):
        for size, rel in ((32, "icons/%s.png" % name), (64, at2x("icons/%s.png" % name))):
            ic = Icon(size)
            draw(ic)
            files.append((rel, png_bytes(ic.cv.pixels())))
    sizes = []
    for s in (16, 32, 48):
        ic = Icon(s)
        app_icon(ic)
        sizes.append(ic.cv.pixels())
        # The same pictures for the desktop's icon theme.
        files.append(("hicolor/%dx%d/apps/tessaly.png" % (s, s), png_bytes(ic.cv.pixels())))
    files.append(("res/tessaly.ico", ico_bytes(sizes)))
    files.append(("print/VeskoraLogo.png", png_bytes(logo_red(200, 136).pixels())))
    # The pictures shown on screen come twice: Qt takes the @2x one above 100 %.
    for scale in (1, 2):
        def name(rel):
            return rel if scale == 1 else at2x(rel)
        files.append((name("bitmaps/SplashScreen.png"), png_bytes(splash_screen(scale).pixels())))
        files.append((name("bitmaps/Progress.png"), png_bytes(progress(scale).pixels())))
        files.append((name("bitmaps/VeskoraLogoRed.png"), png_bytes(logo_red(135, 92, scale).pixels())))
        files.append((name("skin/HeaderLogo.png"), png_bytes(header_logo(scale).pixels())))
        for glyph in ("minimize", "maximize", "restore", "close"):
            files.append((name("skin/res/button_%s.bmp" % glyph), bmp_bytes(title_button(glyph, False, scale).pixels())))
            files.append((name("skin/res/button_%s_push.bmp" % glyph),
                          bmp_bytes(title_button(glyph, True, scale).pixels())))
        files.append((name("skin/res/check.png"), png_bytes(check_mark(scale).pixels())))
        files.append((name("skin/res/radio.png"), png_bytes(radio_dot(scale).pixels())))
    return files


def main():
    check = "--check" in sys.argv[1:]
    stale = []
    for rel, data in outputs():
        path = os.path.join(HERE, rel)
        if check:
            try:
                with open(path, "rb") as f:
                    if f.read() != data:
                        stale.append(rel)
            except OSError:
                stale.append(rel)
            continue
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb") as f:
            f.write(data)
    if stale:
        print("out of date: " + ", ".join(stale), file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
