#!/usr/bin/env python3
"""Writes the installer's icon file: a golden key on a blue badge, in five sizes (256, 48, 32, 24 and
16 pixels) and two colour depths each (32-bit with alpha, and 8-bit with a palette). The 256-pixel
images are PNG, the others DIBs with an AND mask, as the shell expects.

Usage: make-icons.py OUTPUT.ico
"""
import struct
import sys
import zlib

SIZES = (256, 48, 32, 24, 16)
TRANSPARENT, BLUE, GOLD = 0, 1, 2
COLOURS = {BLUE: (30, 80, 160), GOLD: (240, 190, 40)}


def inside_rounded_square(u, v, low=0.06, high=0.94, radius=0.18):
    if not (low <= u <= high and low <= v <= high):
        return False
    cu = min(max(u, low + radius), high - radius)
    cv = min(max(v, low + radius), high - radius)
    return (u - cu) ** 2 + (v - cv) ** 2 <= radius ** 2


def in_rect(u, v, u0, u1, v0, v1):
    return u0 <= u <= u1 and v0 <= v <= v1


def shape_at(u, v):
    """Which colour covers the point (u, v) of the unit square, v growing downwards."""
    ring = (u - 0.35) ** 2 + (v - 0.42) ** 2
    if 0.09 ** 2 <= ring <= 0.21 ** 2:
        return GOLD
    if (in_rect(u, v, 0.52, 0.86, 0.38, 0.46) or in_rect(u, v, 0.70, 0.76, 0.46, 0.58)
            or in_rect(u, v, 0.80, 0.86, 0.46, 0.64)):
        return GOLD
    if inside_rounded_square(u, v):
        return BLUE
    return TRANSPARENT


def rgba_image(size, samples=3):
    """Rows top-down of (r, g, b, a), edges smoothed by supersampling."""
    rows = []
    for y in range(size):
        row = []
        for x in range(size):
            acc = [0, 0, 0, 0]
            for sy in range(samples):
                for sx in range(samples):
                    shape = shape_at((x + (sx + 0.5) / samples) / size, (y + (sy + 0.5) / samples) / size)
                    if shape != TRANSPARENT:
                        r, g, b = COLOURS[shape]
                        acc[0] += r
                        acc[1] += g
                        acc[2] += b
                        acc[3] += 1
            n = samples * samples
            if acc[3] == 0:
                row.append((0, 0, 0, 0))
            else:
                row.append((acc[0] // acc[3], acc[1] // acc[3], acc[2] // acc[3], 255 * acc[3] // n))
        rows.append(row)
    return rows


def indexed_image(size):
    """Rows top-down of palette indices, sampled at pixel centres."""
    return [[shape_at((x + 0.5) / size, (y + 0.5) / size) for x in range(size)] for y in range(size)]


def palette():
    entries = [(0, 0, 0)] * 256
    for index, rgb in COLOURS.items():
        entries[index] = rgb
    return entries


def png_chunk(kind, data):
    return struct.pack('>I', len(data)) + kind + data + struct.pack('>I', zlib.crc32(kind + data) & 0xFFFFFFFF)


def png(size, rows, colour_type, extra_chunks=()):
    raw = b''.join(b'\x00' + row for row in rows)
    header = struct.pack('>IIBBBBB', size, size, 8, colour_type, 0, 0, 0)
    return (b'\x89PNG\r\n\x1a\n' + png_chunk(b'IHDR', header) + b''.join(extra_chunks)
            + png_chunk(b'IDAT', zlib.compress(raw, 9)) + png_chunk(b'IEND', b''))


def png_rgba(size):
    rows = [bytes(c for px in row for c in px) for row in rgba_image(size)]
    return png(size, rows, 6)


def png_indexed(size):
    rows = [bytes(row) for row in indexed_image(size)]
    plte = png_chunk(b'PLTE', b''.join(bytes(rgb) for rgb in palette()[:3]))
    trns = png_chunk(b'tRNS', b'\x00')
    return png(size, rows, 3, (plte, trns))


def and_mask(size, transparent):
    """1-bit mask, bottom-up, rows padded to 32 bits; a set bit lets the background through."""
    stride = (size + 31) // 32 * 4
    out = bytearray()
    for y in reversed(range(size)):
        row = bytearray(stride)
        for x in range(size):
            if transparent(x, y):
                row[x // 8] |= 0x80 >> (x % 8)
        out += row
    return bytes(out)


def dib_header(size, bits, image_bytes):
    return struct.pack('<IiiHHIIiiII', 40, size, size * 2, 1, bits, 0, image_bytes, 0, 0, 0, 0)


def dib_rgba(size):
    rows = rgba_image(size)
    pixels = b''.join(bytes((b, g, r, a)) for row in reversed(rows) for (r, g, b, a) in row)
    mask = and_mask(size, lambda x, y: rows[y][x][3] == 0)
    return dib_header(size, 32, len(pixels) + len(mask)) + pixels + mask


def dib_indexed(size):
    rows = indexed_image(size)
    stride = (size + 3) // 4 * 4
    pixels = b''.join(bytes(row) + bytes(stride - size) for row in reversed(rows))
    mask = and_mask(size, lambda x, y: rows[y][x] == TRANSPARENT)
    colours = b''.join(bytes((b, g, r, 0)) for (r, g, b) in palette())
    return dib_header(size, 8, len(pixels) + len(mask)) + colours + pixels + mask


def icon_file():
    images = []
    for bits in (32, 8):
        for size in SIZES:
            if size == 256:
                data = png_rgba(size) if bits == 32 else png_indexed(size)
            else:
                data = dib_rgba(size) if bits == 32 else dib_indexed(size)
            images.append((size, bits, data))
    offset = 6 + 16 * len(images)
    directory = struct.pack('<HHH', 0, 1, len(images))
    for size, bits, data in images:
        directory += struct.pack('<BBBBHHII', size % 256, size % 256, 0, 0, 1, bits, len(data), offset)
        offset += len(data)
    return directory + b''.join(data for _, _, data in images)


def main():
    if len(sys.argv) != 2:
        sys.exit(__doc__)
    with open(sys.argv[1], 'wb') as out:
        out.write(icon_file())


if __name__ == '__main__':
    main()
