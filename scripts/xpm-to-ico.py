#!/usr/bin/env python3
"""Writes the Windows icon (win32/dialog/pellomatic.ico) from the desktop
tool's two pictures (gui/res/pellomatic32.xpm and pellomatic16.xpm): one icon
group, 32 x 32 and 16 x 16, 16 colours (4 bits per pixel) with a 1-bit mask.
    scripts/xpm-to-ico.py OUT.ico IN32.xpm IN16.xpm"""
import re
import struct
import sys


def read_xpm(path):
    rows = re.findall(r'"([^"]*)"', open(path).read())
    width, height, colours, _ = (int(v) for v in rows[0].split())
    table = {}
    for line in rows[1:1 + colours]:
        key, _, value = line[0], line[1:].split()[0], line.split()[-1]
        table[key] = None if value.lower() == 'none' else tuple(int(value[i:i + 2], 16) for i in (1, 3, 5))
    pixels = [[table[c] for c in row] for row in rows[1 + colours:1 + colours + height]]
    return width, height, pixels


def image(width, height, pixels):
    palette = sorted({p for row in pixels for p in row if p is not None})
    if len(palette) > 16:
        sys.exit('more than 16 colours')
    palette += [(0, 0, 0)] * (16 - len(palette))
    header = struct.pack('<IiiHHIIiiII', 40, width, height * 2, 1, 4, 0, 0, 0, 0, 16, 0)
    colours = b''.join(struct.pack('<BBBB', b, g, r, 0) for r, g, b in palette)
    xor = b''
    and_ = b''
    for row in reversed(pixels):  # bottom-up rows
        line = bytearray()
        for x in range(0, width, 2):
            hi = palette.index(row[x]) if row[x] is not None else 0
            lo = palette.index(row[x + 1]) if row[x + 1] is not None else 0
            line.append(hi << 4 | lo)
        xor += bytes(line) + b'\0' * (-len(line) % 4)
        mask = bytearray((width + 7) // 8)
        for x, p in enumerate(row):
            if p is None:
                mask[x // 8] |= 0x80 >> (x % 8)
        and_ += bytes(mask) + b'\0' * (-len(mask) % 4)
    return header + colours + xor + and_


def main():
    out, *inputs = sys.argv[1:]
    images = [(w, h, image(w, h, p)) for w, h, p in (read_xpm(path) for path in inputs)]
    data = struct.pack('<HHH', 0, 1, len(images))
    offset = 6 + 16 * len(images)
    for w, h, blob in images:
        data += struct.pack('<BBBBHHII', w, h, 16, 0, 1, 4, len(blob), offset)
        offset += len(blob)
    data += b''.join(blob for _, _, blob in images)
    open(out, 'wb').write(data)


main()
