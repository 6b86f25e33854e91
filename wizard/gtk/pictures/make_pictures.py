#!/usr/bin/env python3
"""Draws the wizard's two pictures and writes them as XPM sources.

    python3 wizard/gtk/pictures/make_pictures.py [OUTPUT_DIR]

SidePicture.xpm (158 x 286, 256 colours) stands at the left of the wizard's
pages; WindowIcon.xpm (256 x 256, 210 colours and transparent corners, 211
palette entries) is the window icon. Both are drawn here from simple shapes
with 4 x 4 supersampling, so they can be remade or restyled by editing this
file; the output is deterministic.
"""
import math
import os
import sys

SAMPLES = 4  # per axis

# A calm palette: deep slate blue into teal, with soft light accents.
TOP = (0x1d, 0x33, 0x52)
BOTTOM = (0x2a, 0x7c, 0x82)
PAPER = (0xf6, 0xf8, 0xfa)
PAPER_SHADE = (0xd9, 0xe3, 0xea)
ACCENT = (0x58, 0xc4, 0xb0)
LINE = (0x9f, 0xb4, 0xc6)


def mix(a, b, t):
    return tuple(a[i] + (b[i] - a[i]) * t for i in range(3))


def smooth(t):
    t = min(1.0, max(0.0, t))
    return t * t * (3 - 2 * t)


# Signed distances: negative inside.
def rounded_rect(x, y, x0, y0, x1, y1, r):
    cx, cy = (x0 + x1) / 2, (y0 + y1) / 2
    hx, hy = (x1 - x0) / 2 - r, (y1 - y0) / 2 - r
    dx, dy = abs(x - cx) - hx, abs(y - cy) - hy
    outside = math.hypot(max(dx, 0), max(dy, 0))
    return outside + min(max(dx, dy), 0) - r


def circle(x, y, cx, cy, r):
    return math.hypot(x - cx, y - cy) - r


def segment(x, y, ax, ay, bx, by, half_width):
    px, py, vx, vy = x - ax, y - ay, bx - ax, by - ay
    t = max(0.0, min(1.0, (px * vx + py * vy) / (vx * vx + vy * vy)))
    return math.hypot(px - vx * t, py - vy * t) - half_width


def over(base, colour, alpha):
    return mix(base, colour, alpha)


def document(x, y, ox, oy, w, h, fold, colour, base, scale=1.0, lines=True):
    """A sheet with a folded top-right corner and, on top, three text lines."""
    if rounded_rect(x, y, ox, oy, ox + w, oy + h, 3 * scale) > 0:
        return base, False
    # The folded corner is cut off the sheet and drawn as a darker triangle.
    fx, fy = x - (ox + w - fold), y - oy
    if fx > 0 and fy < fold and fx > fy:
        return base, False
    c = colour
    if fx > 0 and fy < fold:
        c = PAPER_SHADE
    for i, length in enumerate((0.62, 0.74, 0.48) if lines else ()):
        ly = oy + h * (0.38 + 0.16 * i)
        if segment(x, y, ox + w * 0.18, ly, ox + w * (0.18 + length * 0.64), ly, 2.2 * scale) < 0:
            c = LINE
    return c, True


def side_pixel(x, y):
    w, h = 158.0, 286.0
    t = y / h
    c = mix(TOP, BOTTOM, smooth(t * 1.1 - 0.05))
    # Large soft light discs give depth without drawing attention.
    for cx, cy, r, a in ((150, 40, 95, 0.07), (10, 250, 120, 0.06), (120, 300, 70, 0.08)):
        d = circle(x, y, cx, cy, r)
        if d < 0:
            c = over(c, (255, 255, 255), a * smooth(-d / 30))
    # Two gentle waves near the foot.
    for base, amp, phase, a in ((236, 7, 0.0, 0.10), (252, 9, 1.7, 0.07)):
        wy = base + amp * math.sin(x / w * 2 * math.pi * 0.9 + phase)
        if y > wy:
            c = over(c, (255, 255, 255), a)
    # The emblem: two template sheets and a download mark.
    c, _ = document(x, y, 44, 62, 56, 72, 14, PAPER_SHADE, c, lines=False)
    c, _ = document(x, y, 56, 74, 56, 72, 14, PAPER, c)
    c = download_badge(x, y, c, 108, 146, 19, (-11, 9, 8, 2, 10), 2.4, 2.5, 0.35)
    return c, 1.0


def download_badge(x, y, c, cx, cy, r, arrow, width, ring, ring_mix):
    """The accent disc at (cx, cy) with a downward arrow, over colour c.
    arrow = (stem top, stem bottom, head spread, head top, tip), each
    relative to the centre; a thin ring around the disc blends towards TOP."""
    top, bottom, spread, head, tip = arrow
    d = circle(x, y, cx, cy, r)
    if d < 0:
        shape = min(segment(x, y, cx, cy + top, cx, cy + bottom, width),
                    segment(x, y, cx - spread, cy + head, cx, cy + tip, width),
                    segment(x, y, cx + spread, cy + head, cx, cy + tip, width))
        return PAPER if shape < 0 else ACCENT
    if d < ring:
        return mix(c, TOP, ring_mix)
    return c


def icon_pixel(x, y):
    if rounded_rect(x, y, 8, 8, 248, 248, 52) > 0:
        return (0, 0, 0), 0.0
    t = (x + y) / 512.0
    c = mix(TOP, BOTTOM, smooth(t * 1.2 - 0.1))
    d = circle(x, y, 220, 30, 150)
    if d < 0:
        c = over(c, (255, 255, 255), 0.07 * smooth(-d / 40))
    c, _ = document(x, y, 62, 46, 104, 134, 26, PAPER_SHADE, c, 2.0, lines=False)
    c, _ = document(x, y, 84, 68, 104, 134, 26, PAPER, c, 2.0)
    c = download_badge(x, y, c, 178, 188, 40, (-24, 18, 18, 2, 20), 5.5, 5, 0.4)
    return c, 1.0


def render(width, height, pixel):
    image = []
    for py in range(height):
        row = []
        for px in range(width):
            r = g = b = a = 0.0
            for sy in range(SAMPLES):
                for sx in range(SAMPLES):
                    colour, alpha = pixel(px + (sx + 0.5) / SAMPLES, py + (sy + 0.5) / SAMPLES)
                    r += colour[0] * alpha
                    g += colour[1] * alpha
                    b += colour[2] * alpha
                    a += alpha
            n = SAMPLES * SAMPLES
            if a / n < 0.5:
                row.append(None)  # XPM knows only fully transparent pixels
            else:
                row.append((round(r / a), round(g / a), round(b / a)))
        image.append(row)
    return image


def median_cut(colours, limit):
    """Reduces a {colour: count} map to at most `limit` colours."""
    boxes = [list(colours.items())]
    while len(boxes) < limit:
        # Split the box with the widest channel range, weighted by its pixels.
        best, best_score, best_channel = None, 0, 0
        for i, box in enumerate(boxes):
            if len(box) < 2:
                continue
            for ch in range(3):
                values = [c[ch] for c, _ in box]
                score = (max(values) - min(values)) * sum(n for _, n in box)
                if score > best_score:
                    best, best_score, best_channel = i, score, ch
        if best is None:
            break
        box = sorted(boxes.pop(best), key=lambda item: item[0][best_channel])
        total = sum(n for _, n in box)
        acc, cut = 0, 1
        for j, (_, n) in enumerate(box):
            acc += n
            if acc * 2 >= total:
                cut = max(1, min(len(box) - 1, j + 1))
                break
        boxes += [box[:cut], box[cut:]]
    mapping = {}
    for box in boxes:
        total = sum(n for _, n in box)
        mean = tuple(round(sum(c[ch] * n for c, n in box) / total) for ch in range(3))
        for c, _ in box:
            mapping[c] = mean
    return mapping


CHARS = "".join(ch for ch in map(chr, range(35, 127)) if ch not in '"\\')


def exact_palette(counts, colours):
    """A mapping onto exactly `colours` distinct colours. Boxes of the median
    cut can share a mean, so more boxes are cut until the distinct means
    number exactly `colours`."""
    if len(counts) < colours:
        raise SystemExit('only %d colours drawn, %d wanted' % (len(counts), colours))
    for boxes in range(colours, 2 * colours):
        mapping = median_cut(counts, boxes)
        if len(set(mapping.values())) == colours:
            return mapping
    raise SystemExit('no cut gives exactly %d colours' % colours)


def write_xpm(path, name, image, colours):
    counts = {}
    for row in image:
        for c in row:
            if c is not None:
                counts[c] = counts.get(c, 0) + 1
    mapping = exact_palette(counts, colours)
    palette = sorted(set(mapping.values()))
    codes = {}
    for i, colour in enumerate(palette):
        codes[colour] = CHARS[i // len(CHARS)] + CHARS[i % len(CHARS)]
    transparent = "  "
    has_transparent = any(c is None for row in image for c in row)
    lines = ['%d %d %d 2' % (len(image[0]), len(image), len(palette) + has_transparent)]
    if has_transparent:
        lines.append(transparent + ' c None')
    for colour in palette:
        lines.append('%s c #%02X%02X%02X' % ((codes[colour],) + colour))
    for row in image:
        lines.append(''.join(transparent if c is None else codes[mapping[c]] for c in row))
    with open(path, 'w', encoding='ascii') as out:
        out.write('/* XPM */\n')
        out.write('/* Drawn by make_pictures.py beside this file; edit that, not this. */\n')
        out.write('static const char* %s[] = {\n' % name)
        out.write(',\n'.join('"%s"' % line for line in lines))
        out.write('};\n')
    return len(palette)


def main():
    out = sys.argv[1] if len(sys.argv) > 1 else os.path.dirname(os.path.abspath(__file__))
    n = write_xpm(os.path.join(out, 'SidePicture.xpm'), 'side_picture_xpm', render(158, 286, side_pixel), 256)
    print('SidePicture.xpm: 158 x 286, %d colours' % n)
    n = write_xpm(os.path.join(out, 'WindowIcon.xpm'), 'window_icon_xpm', render(256, 256, icon_pixel), 210)
    print('WindowIcon.xpm: 256 x 256, %d colours and transparency' % n)


if __name__ == '__main__':
    main()
