#!/usr/bin/env python3
# Writes tovix.ico (16x16 and 32x32, 32-bit BGRA with an empty AND mask): a
# teal disc with a white "T". The checked-in icon was made with this script.
import struct
import sys


def image(n):
    rows = []
    for y in range(n):
        row = b''
        for x in range(n):
            c = (n - 1) / 2
            inside = ((x - c) ** 2 + (y - c) ** 2) ** 0.5 <= n / 2 - 0.5
            yy = n - 1 - y  # bitmap rows run bottom-up
            bar = n * 0.25 <= yy <= n * 0.38 and n * 0.22 <= x <= n * 0.78
            stem = n * 0.25 <= yy <= n * 0.78 and n * 0.43 <= x <= n * 0.57
            if not inside:
                row += bytes([0, 0, 0, 0])
            elif bar or stem:
                row += bytes([255, 255, 255, 255])
            else:
                row += bytes([0x8a, 0x7a, 0x10, 255])
        rows.append(row)
    header = struct.pack('<IiiHHIIiiII', 40, n, 2 * n, 1, 32, 0, 0, 0, 0, 0, 0)
    mask = bytes(((n + 31) // 32) * 4 * n)
    return header + b''.join(rows) + mask


sizes = (16, 32)
images = [image(n) for n in sizes]
out = struct.pack('<HHH', 0, 1, len(images))
offset = 6 + 16 * len(images)
for n, img in zip(sizes, images):
    out += struct.pack('<BBBBHHII', n, n, 0, 0, 1, 32, len(img), offset)
    offset += len(img)
out += b''.join(images)
open(sys.argv[1] if len(sys.argv) > 1 else 'tovix.ico', 'wb').write(out)
