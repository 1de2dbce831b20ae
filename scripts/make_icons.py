#!/usr/bin/env python3
"""Draws the application icon and the window's banner strip and writes them to app/resources/.

The icon is a blue rounded square with a white arrow pointing up over an amber bar: firmware going
up into the interface. Written out:

  zolt-<size>.png  16, 24, 32, 48, 64, 128 and 256 pixels, RGBA (the Linux icon theme sizes)
  zolt.ico         13 images: 48, 32, 24, 16 at 16 and at 256 colours, and 256, 48, 32, 24, 16 at
                   32 bits; all BMP entries except the 256-pixel one, which is PNG
  banner.bmp       476 x 9 pixels, 24 bits per pixel, every pixel red 235, green 232, blue 215

Standard library only. The output is the same on every run, so the files are kept in the
repository and this script only needs to run again when the drawing changes.
"""

import os
import struct
import sys
import zlib

# --- the drawing, in coordinates from 0 to 1 across the icon ------------------------------------

BACK_TOP = (58, 128, 222)
BACK_BOTTOM = (20, 60, 136)
ARROW = (255, 255, 255)
BAR = (255, 196, 36)


def in_rounded_rect(x, y, x0, y0, x1, y1, r):
    if x < x0 or x > x1 or y < y0 or y > y1:
        return False
    dx = max(x0 + r - x, 0.0, x - (x1 - r))
    dy = max(y0 + r - y, 0.0, y - (y1 - r))
    return dx * dx + dy * dy <= r * r


def in_triangle(x, y, a, b, c):
    def side(p, q):
        return (q[0] - p[0]) * (y - p[1]) - (q[1] - p[1]) * (x - p[0])

    s1, s2, s3 = side(a, b), side(b, c), side(c, a)
    return (s1 >= 0 and s2 >= 0 and s3 >= 0) or (s1 <= 0 and s2 <= 0 and s3 <= 0)


def sample(x, y, gradient):
    """The colour at one point, or None outside the icon."""
    if in_triangle(x, y, (0.5, 0.16), (0.22, 0.46), (0.78, 0.46)):
        return ARROW
    if 0.39 <= x <= 0.61 and 0.44 <= y <= 0.66:
        return ARROW
    if in_rounded_rect(x, y, 0.22, 0.72, 0.78, 0.83, 0.04):
        return BAR
    if in_rounded_rect(x, y, 0.04, 0.04, 0.96, 0.96, 0.2):
        if not gradient:
            return BACK_BOTTOM
        t = (y - 0.04) / 0.92
        return tuple(round(a + (b - a) * t) for a, b in zip(BACK_TOP, BACK_BOTTOM))
    return None


def render_rgba(size, grid=4):
    """Anti-aliased RGBA rows, top row first: each pixel the average of grid x grid samples."""
    rows = []
    n = grid * grid
    for py in range(size):
        row = []
        for px in range(size):
            r = g = b = covered = 0
            for sy in range(grid):
                for sx in range(grid):
                    c = sample((px + (sx + 0.5) / grid) / size, (py + (sy + 0.5) / grid) / size, True)
                    if c is not None:
                        r += c[0]
                        g += c[1]
                        b += c[2]
                        covered += 1
            if covered == 0:
                row.append((0, 0, 0, 0))
            else:
                row.append((round(r / covered), round(g / covered), round(b / covered),
                            round(255 * covered / n)))
        rows.append(row)
    return rows


def render_flat(size, palette_colours):
    """Crisp pixels for the palette images: one sample at each pixel's centre, the nearest of the
    given colours; None where the icon is transparent."""
    rows = []
    for py in range(size):
        row = []
        for px in range(size):
            c = sample((px + 0.5) / size, (py + 0.5) / size, palette_colours is None)
            row.append(c)
        rows.append(row)
    return rows


# --- palettes --------------------------------------------------------------------------------------

# The classic 16-colour palette in its usual order.
PALETTE16 = [
    (0, 0, 0), (128, 0, 0), (0, 128, 0), (128, 128, 0), (0, 0, 128), (128, 0, 128), (0, 128, 128),
    (192, 192, 192), (128, 128, 128), (255, 0, 0), (0, 255, 0), (255, 255, 0), (0, 0, 255),
    (255, 0, 255), (0, 255, 255), (255, 255, 255),
]

# The drawing's colours as the 16-colour images show them.
FLAT16 = {BACK_BOTTOM: (0, 0, 255), ARROW: (255, 255, 255), BAR: (255, 255, 0)}


def nearest(palette, colour):
    best, best_d = 0, None
    for i, p in enumerate(palette):
        d = sum((a - b) * (a - b) for a, b in zip(p, colour))
        if best_d is None or d < best_d:
            best, best_d = i, d
    return best


def palette256_for(rows):
    """Index 0 is black for the transparent pixels; then the image's own colours, or, should there
    be more than 255 of them, the averages of the most common 4-bit-per-channel buckets."""
    counts = {}
    for row in rows:
        for c in row:
            if c is not None:
                counts[c] = counts.get(c, 0) + 1
    colours = sorted(counts, key=lambda c: (-counts[c], c))
    if len(colours) <= 255:
        return [(0, 0, 0)] + colours
    buckets = {}
    for c, k in counts.items():
        key = (c[0] >> 4, c[1] >> 4, c[2] >> 4)
        s = buckets.setdefault(key, [0, 0, 0, 0])
        for i in range(3):
            s[i] += c[i] * k
        s[3] += k
    best = sorted(buckets.items(), key=lambda kv: (-kv[1][3], kv[0]))[:255]
    return [(0, 0, 0)] + [tuple(round(s[i] / s[3]) for i in range(3)) for _, s in best]


# --- file formats --------------------------------------------------------------------------------


def png_bytes(rows):
    height = len(rows)
    width = len(rows[0])
    raw = bytearray()
    for row in rows:
        raw.append(0)  # filter: none
        for r, g, b, a in row:
            raw += bytes((r, g, b, a))

    def chunk(kind, data):
        body = kind + data
        return struct.pack(">I", len(data)) + body + struct.pack(">I", zlib.crc32(body) & 0xFFFFFFFF)

    header = struct.pack(">IIBBBBB", width, height, 8, 6, 0, 0, 0)  # 8-bit RGBA
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", header) + chunk(b"IDAT", zlib.compress(bytes(raw), 9))
            + chunk(b"IEND", b""))


def padded(row_bytes):
    return row_bytes + b"\0" * (-len(row_bytes) % 4)


def and_mask(transparent_rows):
    """The 1-bit mask, bottom row first: 1 where the pixel is transparent."""
    out = bytearray()
    for row in reversed(transparent_rows):
        bits = bytearray((len(row) + 7) // 8)
        for x, clear in enumerate(row):
            if clear:
                bits[x // 8] |= 0x80 >> (x % 8)
        out += padded(bytes(bits))
    return bytes(out)


def info_header(size, bits, image_bytes, colours):
    # BITMAPINFOHEADER; the height counts the colour image and the mask together.
    return struct.pack("<IiiHHIIiiII", 40, size, size * 2, 1, bits, 0, image_bytes, 0, 0, colours, 0)


def ico_bmp_palette(size, bits):
    if bits == 4:
        rows = render_flat(size, FLAT16)
        rows = [[None if c is None else FLAT16[c] for c in row] for row in rows]
        palette = PALETTE16
    else:
        rows = render_flat(size, None)
        palette = palette256_for(rows)
    index_rows = [[0 if c is None else nearest(palette, c) for c in row] for row in rows]
    pixels = bytearray()
    for row in reversed(index_rows):
        if bits == 4:
            packed = bytearray((size + 1) // 2)
            for x, i in enumerate(row):
                packed[x // 2] |= i << (4 if x % 2 == 0 else 0)
            pixels += padded(bytes(packed))
        else:
            pixels += padded(bytes(row))
    mask = and_mask([[c is None for c in row] for row in rows])
    table = b"".join(struct.pack("<BBBB", b, g, r, 0) for r, g, b in palette)
    table += b"\0" * (4 * ((1 << bits) - len(palette)))
    return info_header(size, bits, len(pixels) + len(mask), 1 << bits) + table + bytes(pixels) + mask


def ico_bmp_32(rows):
    size = len(rows)
    pixels = bytearray()
    for row in reversed(rows):
        for r, g, b, a in row:
            pixels += bytes((b, g, r, a))
    mask = and_mask([[p[3] == 0 for p in row] for row in rows])
    return info_header(size, 32, len(pixels) + len(mask), 0) + bytes(pixels) + mask


def ico_bytes(entries):
    """entries: (size, bits, image bytes). The directory, then the images in the same order."""
    out = struct.pack("<HHH", 0, 1, len(entries))
    offset = 6 + 16 * len(entries)
    directory = b""
    for size, bits, data in entries:
        colour_count = 16 if bits == 4 else 0
        directory += struct.pack("<BBBBHHII", size % 256, size % 256, colour_count, 0, 1, bits,
                                 len(data), offset)
        offset += len(data)
    return out + directory + b"".join(data for _, _, data in entries)


def banner_bytes(width=476, height=9, rgb=(235, 232, 215)):
    row = padded(bytes((rgb[2], rgb[1], rgb[0])) * width)
    pixels = row * height
    info = struct.pack("<IiiHHIIiiII", 40, width, height, 1, 24, 0, len(pixels), 2835, 2835, 0, 0)
    header = struct.pack("<2sIHHI", b"BM", 14 + len(info) + len(pixels), 0, 0, 14 + len(info))
    return header + info + pixels


def main():
    root = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    out_dir = os.path.join(root, "app", "resources")
    if len(sys.argv) > 1:
        out_dir = sys.argv[1]
    os.makedirs(out_dir, exist_ok=True)

    rgba = {size: render_rgba(size, 3 if size >= 128 else 4) for size in (16, 24, 32, 48, 64, 128, 256)}
    for size, rows in rgba.items():
        with open(os.path.join(out_dir, "zolt-%d.png" % size), "wb") as f:
            f.write(png_bytes(rows))

    entries = []
    for bits in (4, 8):
        for size in (48, 32, 24, 16):
            entries.append((size, bits, ico_bmp_palette(size, bits)))
    entries.append((256, 32, png_bytes(rgba[256])))
    for size in (48, 32, 24, 16):
        entries.append((size, 32, ico_bmp_32(rgba[size])))
    with open(os.path.join(out_dir, "zolt.ico"), "wb") as f:
        f.write(ico_bytes(entries))

    with open(os.path.join(out_dir, "banner.bmp"), "wb") as f:
        f.write(banner_bytes())
    print("make_icons: wrote %d PNGs, zolt.ico (%d images) and banner.bmp to %s"
          % (len(rgba), len(entries), out_dir))


if __name__ == "__main__":
    main()
