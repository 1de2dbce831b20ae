#!/usr/bin/env python3
"""Writes stand-ins for the application icon and the banner strip into a build directory, for
builds of a tree that does not carry app/resources/zolt.ico and app/resources/banner.bmp:

  zolt.ico    13 images: 48, 32, 24, 16 pixels at 16 and at 256 colours, and 256, 48, 32, 24, 16
              pixels at 32 bits (plain BMP entries, a blue square)
  banner.bmp  476 x 9 pixels, 24 bits per pixel, every pixel red 235, green 232, blue 215

    make_placeholder_resources.py OUTPUT_DIR
"""
import os
import struct
import sys

BLUE = (36, 90, 180)  # r, g, b


def icon_image(size, bits):
    """One icon entry in BMP form: header, palette, colour rows, mask rows."""
    colours = {4: 16, 8: 256}.get(bits, 0)
    header = struct.pack("<IiiHHIIiiII", 40, size, 2 * size, 1, bits, 0, 0, 0, 0, colours, 0)
    palette = b""
    if colours:
        palette = struct.pack("<BBBB", BLUE[2], BLUE[1], BLUE[0], 0)
        palette += b"\0\0\0\0" * (colours - 1)
    row_bytes = (size * bits + 31) // 32 * 4
    if bits == 32:
        row = struct.pack("<BBBB", BLUE[2], BLUE[1], BLUE[0], 255) * size
    else:
        row = b""  # palette index 0 everywhere
    row = row.ljust(row_bytes, b"\0")
    mask_row = b"\0" * ((size + 31) // 32 * 4)  # every pixel opaque
    return header + palette + row * size + mask_row * size


def write_icon(path):
    images = [(s, b) for b in (4, 8) for s in (48, 32, 24, 16)]
    images += [(s, 32) for s in (256, 48, 32, 24, 16)]
    blobs = [icon_image(s, b) for s, b in images]
    out = struct.pack("<HHH", 0, 1, len(images))
    offset = 6 + 16 * len(images)
    for (size, bits), blob in zip(images, blobs):
        colours = {4: 16}.get(bits, 0)
        out += struct.pack("<BBBBHHII", size % 256, size % 256, colours, 0, 1, bits, len(blob),
                           offset)
        offset += len(blob)
    with open(path, "wb") as f:
        f.write(out + b"".join(blobs))


def write_banner(path, width=476, height=9, rgb=(235, 232, 215)):
    row = bytes((rgb[2], rgb[1], rgb[0])) * width
    row = row.ljust((width * 3 + 3) // 4 * 4, b"\0")
    pixels = row * height
    info = struct.pack("<IiiHHIIiiII", 40, width, height, 1, 24, 0, len(pixels), 2835, 2835, 0, 0)
    header = struct.pack("<2sIHHI", b"BM", 14 + len(info) + len(pixels), 0, 0, 14 + len(info))
    with open(path, "wb") as f:
        f.write(header + info + pixels)


def main():
    out = sys.argv[1]
    os.makedirs(out, exist_ok=True)
    write_icon(os.path.join(out, "zolt.ico"))
    write_banner(os.path.join(out, "banner.bmp"))


if __name__ == "__main__":
    main()
