#!/usr/bin/env python3
"""Draws the wizard's two pictures and writes them for both front-ends.

    python3 wizard/gtk/pictures/make_pictures.py [OUTPUT_DIR]

SidePicture.xpm (158 x 286, 256 colours) stands at the left of the wizard's
pages; WindowIcon.xpm (256 x 256, 210 colours and transparent corners, 211
palette entries) is the window icon. The Windows program gets the same two
pictures: SidePicture.bmp (158 x 286, 8 bits per pixel, the XPM's palette) and
Setup.ico (16, 32, 40 and 48 pixels with 32 and, but for 40, 8 bits per
pixel, and 256 pixels as PNG). All are drawn here from simple shapes with
supersampling (4 x 4 at full size, 8 x 8 for the small icons), so they can be
remade or restyled by editing this file; the output is deterministic.

Without OUTPUT_DIR the XPMs go beside this file and the Windows pictures to
wizard/win/pictures; with it, all four go there.
"""
import math
import os
import struct
import sys
import zlib

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


def render_rgba(width, height, pixel, samples=SAMPLES, scale=1.0):
    """Rows of (colour, coverage); the colour is None where nothing is drawn.
    `scale` maps the picture's pixels onto the drawing's coordinates, so a
    small icon is the large one drawn again, not shrunk."""
    image = []
    for py in range(height):
        row = []
        for px in range(width):
            r = g = b = a = 0.0
            for sy in range(samples):
                for sx in range(samples):
                    colour, alpha = pixel((px + (sx + 0.5) / samples) * scale, (py + (sy + 0.5) / samples) * scale)
                    r += colour[0] * alpha
                    g += colour[1] * alpha
                    b += colour[2] * alpha
                    a += alpha
            n = samples * samples
            if a == 0:
                row.append((None, 0.0))
            else:
                row.append(((round(r / a), round(g / a), round(b / a)), a / n))
        image.append(row)
    return image


def opaque(rgba):
    """XPM and the 8-bit icons know only fully transparent pixels."""
    return [[None if alpha < 0.5 else colour for colour, alpha in row] for row in rgba]


def render(width, height, pixel):
    return opaque(render_rgba(width, height, pixel))


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


def colour_counts(image):
    counts = {}
    for row in image:
        for c in row:
            if c is not None:
                counts[c] = counts.get(c, 0) + 1
    return counts


def quantize(image, colours):
    """The palette (sorted) and the mapping of every drawn colour onto it."""
    mapping = exact_palette(colour_counts(image), colours)
    return sorted(set(mapping.values())), mapping


def write_xpm(path, name, image, colours):
    palette, mapping = quantize(image, colours)
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


def bmp_rows(image, bytes_per_pixel_row):
    """Rows bottom-up, each padded to a multiple of four bytes."""
    out = bytearray()
    for row in reversed(image):
        data = bytes_per_pixel_row(row)
        out += data + bytes(-len(data) % 4)
    return bytes(out)


def mask_rows(image):
    """The AND mask of an icon image: 1 where the picture is transparent."""
    def row_bits(row):
        bits = bytearray((len(row) + 7) // 8)
        for x, c in enumerate(row):
            if c is None:
                bits[x // 8] |= 0x80 >> (x % 8)
        return bytes(bits)
    return bmp_rows(image, row_bits)


def info_header(width, height, bits, colours_used, image_size):
    return struct.pack('<IiiHHIIiiII', 40, width, height, 1, bits, 0, image_size, 0, 0, colours_used, 0)


def palette_bytes(palette, entries=256):
    out = b''.join(struct.pack('<BBBB', b, g, r, 0) for r, g, b in palette)
    return out + bytes(4 * (entries - len(palette)))


def indexed(image, palette, mapping):
    index = {colour: i for i, colour in enumerate(palette)}
    return lambda row: bytes(0 if c is None else index[mapping[c]] for c in row)


def write_bmp(path, image, colours):
    """An 8-bit bitmap with exactly the palette the XPM of `image` gets."""
    palette, mapping = quantize(image, colours)
    pixels = bmp_rows(image, indexed(image, palette, mapping))
    header = info_header(len(image[0]), len(image), 8, len(palette), len(pixels)) + palette_bytes(palette)
    offset = 14 + len(header)
    with open(path, 'wb') as out:
        out.write(b'BM' + struct.pack('<IHHI', offset + len(pixels), 0, 0, offset))
        out.write(header + pixels)


def icon_dib_32(rgba):
    size = len(rgba)
    def row_bytes(row):
        return b''.join(bytes((0, 0, 0, 0)) if c is None else bytes((c[2], c[1], c[0], round(a * 255)))
                        for c, a in row)
    pixels = bmp_rows(rgba, row_bytes)
    mask = mask_rows([[None if c is None or round(a * 255) == 0 else c for c, a in row] for row in rgba])
    return info_header(size, 2 * size, 32, 0, len(pixels) + len(mask)) + pixels + mask


def icon_dib_8(rgba):
    size = len(rgba)
    image = opaque(rgba)
    counts = colour_counts(image)
    mapping = median_cut(counts, 256) if len(counts) > 256 else {c: c for c in counts}
    palette = sorted(set(mapping.values()))
    pixels = bmp_rows(image, indexed(image, palette, mapping))
    mask = mask_rows(image)
    return info_header(size, 2 * size, 8, 0, len(pixels) + len(mask)) + palette_bytes(palette) + pixels + mask


def png(rgba):
    size = len(rgba)
    raw = b''.join(b'\0' + b''.join(bytes((0, 0, 0, 0)) if c is None else bytes(c) + bytes((round(a * 255),))
                                     for c, a in row) for row in rgba)
    def chunk(kind, data):
        return struct.pack('>I', len(data)) + kind + data + struct.pack('>I', zlib.crc32(kind + data))
    return (b'\x89PNG\r\n\x1a\n' + chunk(b'IHDR', struct.pack('>IIBBBBB', size, size, 8, 6, 0, 0, 0))
            + chunk(b'IDAT', zlib.compress(raw, 9)) + chunk(b'IEND', b''))


def write_ico(path, images):
    """images: (size, bits, data) in directory order."""
    directory = struct.pack('<HHH', 0, 1, len(images))
    offset = 6 + 16 * len(images)
    body = b''
    for size, bits, data in images:
        side = 0 if size >= 256 else size
        directory += struct.pack('<BBBBHHII', side, side, 0, 0, 1, bits, len(data), offset + len(body))
        body += data
    with open(path, 'wb') as out:
        out.write(directory + body)


def main():
    here = os.path.dirname(os.path.abspath(__file__))
    out = sys.argv[1] if len(sys.argv) > 1 else here
    win_out = sys.argv[1] if len(sys.argv) > 1 else os.path.join(here, '..', '..', 'win', 'pictures')
    side = render(158, 286, side_pixel)
    n = write_xpm(os.path.join(out, 'SidePicture.xpm'), 'side_picture_xpm', side, 256)
    print('SidePicture.xpm: 158 x 286, %d colours' % n)
    write_bmp(os.path.join(win_out, 'SidePicture.bmp'), side, 256)
    print('SidePicture.bmp: 158 x 286, 8 bits per pixel')
    icon = render_rgba(256, 256, icon_pixel)
    n = write_xpm(os.path.join(out, 'WindowIcon.xpm'), 'window_icon_xpm', opaque(icon), 210)
    print('WindowIcon.xpm: 256 x 256, %d colours and transparency' % n)
    images = []
    for size in (16, 32, 40, 48):
        small = render_rgba(size, size, icon_pixel, samples=8, scale=256 / size)
        images.append((size, 32, icon_dib_32(small)))
        if size != 40:
            images.append((size, 8, icon_dib_8(small)))
    images.append((256, 32, png(icon)))
    write_ico(os.path.join(win_out, 'Setup.ico'), images)
    print('Setup.ico: %s' % ', '.join('%d px %d bits' % (s, b) for s, b, _ in images))


if __name__ == '__main__':
    main()
