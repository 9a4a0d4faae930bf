#!/usr/bin/env python3
"""Redraw the images: logo.ico (3 x 16x16, 32 bpp) and quorvane.png, embedded in the
program, and proxymanager-16.png / proxymanager-48.png, the installed desktop icons.

Standard library only and fully deterministic, so rerunning it reproduces the
checked-in files byte for byte. Usage: python3 generate_images.py
"""

import math
import os
import struct
import zlib

HERE = os.path.dirname(os.path.abspath(__file__))

# Supersampling grid per pixel axis; 4x4 gives smooth edges at low cost.
SS = 4

NAVY = (0x1B, 0x2A, 0x4A)
BLUE = (0x25, 0x6E, 0xE8)
WHITE = (0xFF, 0xFF, 0xFF)


# --- primitives: each has a bounding box and an inside(x, y) test ----------


class Capsule:
    """Line segment stroked with round caps (also used for dots and stems)."""

    def __init__(self, x0, y0, x1, y1, width):
        self.p0, self.p1, self.r = (x0, y0), (x1, y1), width / 2.0
        self.bbox = (min(x0, x1) - self.r, min(y0, y1) - self.r,
                     max(x0, x1) + self.r, max(y0, y1) + self.r)

    def inside(self, x, y):
        (ax, ay), (bx, by) = self.p0, self.p1
        dx, dy = bx - ax, by - ay
        length2 = dx * dx + dy * dy
        t = 0.0 if length2 == 0 else ((x - ax) * dx + (y - ay) * dy) / length2
        t = max(0.0, min(1.0, t))
        px, py = ax + t * dx - x, ay + t * dy - y
        return px * px + py * py <= self.r * self.r


class Arc:
    """Stroked circular arc; angles in degrees, counter-clockwise, 0 = east."""

    def __init__(self, cx, cy, radius, width, a0=0.0, a1=360.0):
        self.c, self.radius, self.r = (cx, cy), radius, width / 2.0
        self.a0, self.span = a0 % 360.0, a1 - a0
        ext = radius + self.r
        self.bbox = (cx - ext, cy - ext, cx + ext, cy + ext)
        # Endpoints get round caps, matching Capsule.
        self.ends = [(cx + radius * math.cos(math.radians(a)),
                      cy - radius * math.sin(math.radians(a))) for a in (a0, a1)]

    def inside(self, x, y):
        cx, cy = self.c
        if self.span < 360.0:
            # Screen y grows downwards, so flip it to get the usual angle.
            ang = math.degrees(math.atan2(cy - y, x - cx))
            if (ang - self.a0) % 360.0 > self.span:
                return any((x - ex) ** 2 + (y - ey) ** 2 <= self.r * self.r
                           for ex, ey in self.ends)
        return abs(math.hypot(x - cx, y - cy) - self.radius) <= self.r


class Polygon:
    """Filled polygon, even-odd rule."""

    def __init__(self, points):
        self.points = points
        xs, ys = [p[0] for p in points], [p[1] for p in points]
        self.bbox = (min(xs), min(ys), max(xs), max(ys))

    def inside(self, x, y):
        result = False
        pts = self.points
        j = len(pts) - 1
        for i in range(len(pts)):
            (xi, yi), (xj, yj) = pts[i], pts[j]
            if (yi > y) != (yj > y) and x < (xj - xi) * (y - yi) / (yj - yi) + xi:
                result = not result
            j = i
        return result


# --- canvas ---------------------------------------------------------------


class Canvas:
    """Straight (non-premultiplied) RGBA floats in 0..1, row-major."""

    def __init__(self, width, height):
        self.width, self.height = width, height
        self.px = [[0.0, 0.0, 0.0, 0.0] for _ in range(width * height)]

    def fill(self, shapes, color, opacity=1.0):
        """Composite the union of shapes, anti-aliased, over the canvas."""
        x0 = max(0, int(math.floor(min(s.bbox[0] for s in shapes))))
        y0 = max(0, int(math.floor(min(s.bbox[1] for s in shapes))))
        x1 = min(self.width, int(math.ceil(max(s.bbox[2] for s in shapes))))
        y1 = min(self.height, int(math.ceil(max(s.bbox[3] for s in shapes))))
        offsets = [(k + 0.5) / SS for k in range(SS)]
        for py in range(y0, y1):
            for px in range(x0, x1):
                # Only test primitives that can touch this pixel.
                near = [s for s in shapes
                        if s.bbox[0] <= px + 1 and s.bbox[2] >= px
                        and s.bbox[1] <= py + 1 and s.bbox[3] >= py]
                if not near:
                    continue
                hits = sum(1 for oy in offsets for ox in offsets
                           if any(s.inside(px + ox, py + oy) for s in near))
                if hits:
                    self._blend(px, py, color, opacity * hits / (SS * SS))

    def _blend(self, x, y, color, alpha):
        dst = self.px[y * self.width + x]
        out_a = alpha + dst[3] * (1.0 - alpha)
        for i in range(3):
            src = color[i] / 255.0
            dst[i] = (src * alpha + dst[i] * dst[3] * (1.0 - alpha)) / out_a
        dst[3] = out_a

    def rgba_rows(self):
        """Rows of 8-bit (r, g, b, a) tuples; fully transparent pixels are zeroed."""
        rows = []
        for y in range(self.height):
            row = []
            for r, g, b, a in self.px[y * self.width:(y + 1) * self.width]:
                a8 = int(round(a * 255))
                if a8 == 0:
                    row.append((0, 0, 0, 0))
                else:
                    row.append(tuple(int(round(c * 255)) for c in (r, g, b)) + (a8,))
            rows.append(row)
        return rows


# --- the glyph: a shield carrying a forwarding arrow ----------------------


def shield_outline(left, top, right, bottom, corner, steps=16):
    """Rounded top corners, straight sides, curved taper to a bottom point."""
    cx = (left + right) / 2.0
    shoulder = top + (bottom - top) * 0.45
    pts = []
    for i in range(steps + 1):  # top-left corner
        a = math.radians(180 - 90 * i / steps)
        pts.append((left + corner + corner * math.cos(a), top + corner - corner * math.sin(a)))
    for i in range(steps + 1):  # top-right corner
        a = math.radians(90 - 90 * i / steps)
        pts.append((right - corner + corner * math.cos(a), top + corner - corner * math.sin(a)))
    # Quadratic curves from each shoulder down to the point.
    for side, sx in ((1, right), (-1, left)):
        ctrl = (sx - side * 0.1 * (right - left), bottom - 0.12 * (bottom - top))
        start, end = (sx, shoulder), (cx, bottom)
        if side < 0:
            start, end = end, start
        for i in range(1, 2 * steps + 1):
            t = i / (2.0 * steps)
            u = 1.0 - t
            pts.append((u * u * start[0] + 2 * u * t * ctrl[0] + t * t * end[0],
                        u * u * start[1] + 2 * u * t * ctrl[1] + t * t * end[1]))
    return Polygon(pts)


def draw_glyph(canvas, ox, oy, scale):
    """Draw the glyph in a 16-unit design box placed at (ox, oy)."""

    def p(x, y):
        return (ox + x * scale, oy + y * scale)

    def shield(inset):
        l, t = p(1.0 + inset, inset)
        r, b = p(15.0 - inset, 15.8 - inset * 1.5)
        return shield_outline(l, t, r, b, (3.0 - inset) * scale)

    canvas.fill([shield(0.0)], NAVY)
    canvas.fill([shield(1.0)], BLUE)
    # Whole-pixel edges at 16 px so the arrow stays crisp in the icon.
    shaft = Polygon([p(3.5, 6.0), p(8.0, 6.0), p(8.0, 8.0), p(3.5, 8.0)])
    head = Polygon([p(7.5, 2.5), p(12.0, 7.0), p(7.5, 11.5)])
    canvas.fill([shaft, head], WHITE)


# --- lettering: geometric round-capped strokes -----------------------------


def word_shapes(text, x, baseline, x_height, cap_height, stroke, gap):
    """Primitives for `text` (only the letters of the brand), and its width."""
    w, X, H, B = stroke, x_height, cap_height, baseline
    R = (X - w) / 2.0          # bowl radius to the stroke centre
    cy = B - X / 2.0           # bowl centre line
    top, bot = B - X + w / 2.0, B - w / 2.0
    shapes = []
    for ch in text:
        if ch == 'Q':
            rq = (H - w) / 2.0
            qx, qy = x + H / 2.0, B - H / 2.0
            shapes += [Arc(qx, qy, rq, w),
                       Capsule(qx + 0.22 * H, qy + 0.22 * H, qx + 0.5 * H, B + 0.5 * w, w)]
            adv = H
        elif ch == 'o':
            shapes.append(Arc(x + X / 2.0, cy, R, w))
            adv = X
        elif ch == 'u':
            bx = x + w / 2.0 + R
            shapes += [Capsule(x + w / 2.0, top, x + w / 2.0, cy, w),
                       Arc(bx, cy, R, w, 180, 360),
                       Capsule(bx + R, top, bx + R, bot, w)]
            adv = X
        elif ch == 'n':
            bx = x + w / 2.0 + R
            shapes += [Capsule(x + w / 2.0, top, x + w / 2.0, bot, w),
                       Arc(bx, cy, R, w, 0, 180),
                       Capsule(bx + R, cy, bx + R, bot, w)]
            adv = X
        elif ch == 'r':
            bx = x + w / 2.0 + R
            shapes += [Capsule(x + w / 2.0, top, x + w / 2.0, bot, w),
                       Arc(bx, cy, R, w, 70, 180)]
            adv = w / 2.0 + R + R * math.cos(math.radians(70)) + w / 2.0
        elif ch == 'v':
            shapes += [Capsule(x + w / 2.0, top, x + X / 2.0, bot, w),
                       Capsule(x + X / 2.0, bot, x + X - w / 2.0, top, w)]
            adv = X
        elif ch == 'a':
            bx = x + w / 2.0 + R
            shapes += [Arc(bx, cy, R, w),
                       Capsule(bx + R, top, bx + R, bot, w)]
            adv = X
        elif ch == 'e':
            ex = x + X / 2.0
            # Open at the lower right, just under the bar.
            shapes += [Arc(ex, cy, R, w, 0, 320),
                       Capsule(ex - R, cy, ex + R, cy, w)]
            adv = X
        else:
            raise ValueError('no drawing for letter %r' % ch)
        x += adv + gap
    return shapes, x - gap


# --- file writers ----------------------------------------------------------


def write_png(path, canvas):
    def chunk(kind, data):
        body = kind + data
        return struct.pack('>I', len(data)) + body + struct.pack('>I', zlib.crc32(body) & 0xFFFFFFFF)

    raw = bytearray()
    for row in canvas.rgba_rows():
        raw.append(0)  # filter type: none
        for px in row:
            raw.extend(px)
    ihdr = struct.pack('>IIBBBBB', canvas.width, canvas.height, 8, 6, 0, 0, 0)
    data = (b'\x89PNG\r\n\x1a\n' + chunk(b'IHDR', ihdr)
            + chunk(b'IDAT', zlib.compress(bytes(raw), 9)) + chunk(b'IEND', b''))
    with open(path, 'wb') as f:
        f.write(data)


def dib_entry(canvas):
    """Classic ICO image: BITMAPINFOHEADER, bottom-up BGRA, then the AND mask."""
    w, h = canvas.width, canvas.height
    rows = canvas.rgba_rows()
    xor = bytearray()
    for row in reversed(rows):
        for r, g, b, a in row:
            xor.extend((b, g, r, a))
    mask_stride = ((w + 31) // 32) * 4
    mask = bytearray()
    for row in reversed(rows):
        line = bytearray(mask_stride)
        for x, px in enumerate(row):
            if px[3] == 0:  # set bit = transparent, for readers ignoring alpha
                line[x // 8] |= 0x80 >> (x % 8)
        mask.extend(line)
    header = struct.pack('<IiiHHIIiiII', 40, w, h * 2, 1, 32, 0,
                         len(xor) + len(mask), 0, 0, 0, 0)
    return header + bytes(xor) + bytes(mask)


def write_ico(path, images):
    count = len(images)
    out = struct.pack('<HHH', 0, 1, count)
    offset = 6 + 16 * count
    for canvas, data in images:
        out += struct.pack('<BBBBHHII', canvas.width % 256, canvas.height % 256,
                           0, 0, 1, 32, len(data), offset)
        offset += len(data)
    for _, data in images:
        out += data
    with open(path, 'wb') as f:
        f.write(out)


# --- the images -------------------------------------------------------------


def make_icon(size=16):
    canvas = Canvas(size, size)
    # Whole multiples of 16 keep the arrow's edges on pixel boundaries.
    draw_glyph(canvas, 0.0, 0.0, size / 16.0)
    return canvas


def make_banner():
    canvas = Canvas(295, 52)
    glyph = 44.0
    shapes, end = word_shapes('Quorvane', 0.0, 0.0, 22.0, 32.0, 5.0, 5.5)
    spacing = 12.0
    # Centre glyph + word horizontally; the word sits on the glyph's centre line.
    left = (canvas.width - (glyph * 14.0 / 16.0 + spacing + end)) / 2.0
    draw_glyph(canvas, left - glyph / 16.0, 4.0, glyph / 16.0)
    text_x = left + glyph * 14.0 / 16.0 + spacing
    baseline = 26.0 + 32.0 / 2.0
    shapes, _ = word_shapes('Quorvane', text_x, baseline, 22.0, 32.0, 5.0, 5.5)
    canvas.fill(shapes, NAVY)
    return canvas


def main():
    icon = make_icon()
    entry = dib_entry(icon)
    # Three identical entries: the consumer expects exactly this layout.
    write_ico(os.path.join(HERE, 'logo.ico'), [(icon, entry)] * 3)
    write_png(os.path.join(HERE, 'quorvane.png'), make_banner())
    # Desktop icon themes (hicolor) take PNG only.
    write_png(os.path.join(HERE, 'proxymanager-16.png'), icon)
    write_png(os.path.join(HERE, 'proxymanager-48.png'), make_icon(48))


if __name__ == '__main__':
    main()
