#!/usr/bin/env python3
"""Writes a made-up map picture (PNG, 8-bit RGB) of WIDTH x HEIGHT pixels for
measuring `veldra-pack make`: blocks of 120 pixels with streets, a main road
every tenth street and buildings whose colours vary from block to block, so
that tiles differ as on a town map.

Usage: make_picture.py OUTPUT.png WIDTH HEIGHT
"""
import struct
import sys
import zlib

out_path, width, height = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])
BLOCK = 120
BACKGROUND = bytes((0xf7, 0xf5, 0xf0))
STREET, CASING, MAIN = bytes((255, 255, 255)), bytes((0xb4, 0xad, 0xa3)), bytes((0xf7, 0xb5, 0x9a))


def building(bx, by):
    h = (bx * 73856093 ^ by * 19349663) & 0xffffff
    return bytes((0xd0 + (h & 15), 0xc8 + ((h >> 4) & 15), 0xc0 + ((h >> 8) & 15)))


def row(y):
    by, dy = divmod(y, BLOCK)
    parts = []
    for bx in range((width + BLOCK - 1) // BLOCK):
        if dy < 14:  # a street across, its casing at the edges
            road = MAIN if by % 10 == 0 else STREET
            parts.append((CASING if dy in (0, 13) else road) * BLOCK)
            continue
        street = MAIN if bx % 10 == 0 else STREET
        cells = [CASING, street * 12, CASING]
        if 20 <= dy < 110 and (bx + by) % 25:  # buildings in a row, a park now and then
            b = building(bx, by + (dy > 64))
            cells += [BACKGROUND * 6] + [b * 18 + BACKGROUND * 4] * 4 + [BACKGROUND * 12]
        else:
            cells += [(bytes((0xc9, 0xe6, 0xae)) if (bx + by) % 25 == 0 else BACKGROUND) * 106]
        parts.append(b"".join(cells))
    line = b"".join(parts)[: 3 * width]
    assert len(line) == 3 * width
    return b"\0" + line


def chunk(kind, data):
    return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data))


with open(out_path, "wb") as out:
    out.write(b"\x89PNG\r\n\x1a\n")
    out.write(chunk(b"IHDR", struct.pack(">IIBBBBB", width, height, 8, 2, 0, 0, 0)))
    packer = zlib.compressobj(1)
    cache = {}
    data = bytearray()
    for y in range(height):
        key = (y // BLOCK, y % BLOCK if y % BLOCK < 20 or y % BLOCK >= 110 else (y % BLOCK > 64) + 200)
        if key not in cache:
            cache = {key: row(y)} if len(cache) > 64 else {**cache, key: row(y)}
        data += packer.compress(cache[key])
        if len(data) > 1 << 20:
            out.write(chunk(b"IDAT", bytes(data)))
            data.clear()
    data += packer.flush()
    out.write(chunk(b"IDAT", bytes(data)))
    out.write(chunk(b"IEND", b""))
