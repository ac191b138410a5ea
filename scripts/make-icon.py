#!/usr/bin/env python3
# Writes src/app/SerialTCPBridge.xpm (python3 scripts/make-icon.py > src/app/SerialTCPBridge.xpm)
# and, with --png, the same picture as the PNG that Linux desktops show
# (python3 scripts/make-icon.py --png > src/app/SerialTCPBridge.png);
# the Windows .ico is made from the XPM with ImageMagick: convert ... -define icon:auto-resize=32,16.
import struct
import sys
import zlib
# Draws the program's 32x32 icon: a serial connector above a two-way arrow.
W = H = 32
px = [['.' for _ in range(W)] for _ in range(H)]
colors = {'.': 'None', 'b': '#1F5F99', 'w': '#FFFFFF', 'o': '#F29F05', 'd': '#0B3A63'}
# rounded square
for y in range(H):
    for x in range(W):
        r = 5
        cx = min(max(x, r), W - 1 - r); cy = min(max(y, r), H - 1 - r)
        if (x - cx) ** 2 + (y - cy) ** 2 <= r * r:
            px[y][x] = 'b'
# D-sub trapezoid: top row 6..25 at y=5, bottom row 9..22 at y=14
for y in range(5, 15):
    t = (y - 5) / 9
    left = round(6 + 3 * t); right = round(25 - 3 * t)
    for x in range(left, right + 1):
        px[y][x] = 'w'
# pins
for x in (9, 13, 17, 21):
    px[8][x] = 'd'; px[8][x+1] = 'd'
for x in (11, 15, 19):
    px[11][x] = 'd'; px[11][x+1] = 'd'
# two-way arrow at y 19..27
def hline(y, x0, x1, c):
    for x in range(x0, x1 + 1): px[y][x] = c
hline(20, 8, 24, 'o'); hline(21, 8, 24, 'o')
hline(25, 7, 23, 'o'); hline(26, 7, 23, 'o')
for i in range(4):  # right head on top arrow
    for y in range(20 - i, 22 + i):
        px[y][24 - i + 3] = 'o' if 0 <= 24 - i + 3 < W else px[y][24 - i + 3]
for i in range(4):  # left head on bottom arrow
    for y in range(25 - i, 27 + i):
        px[y][7 + i - 3] = 'o'
def xpm():
    out = ['/* XPM */', 'static const char* const SerialTCPBridge_xpm[] = {', '"%d %d %d 1",' % (W, H, len(colors))]
    for k, v in colors.items():
        out.append('"%s c %s",' % (k, v))
    for row in px:
        out.append('"%s",' % ''.join(row))
    out[-1] = out[-1].rstrip(',')
    out.append('};')
    print('\n'.join(out))


def png():
    # 8-bit RGBA, no filtering: small enough at this size, and nothing beyond zlib is needed.
    def rgba(c):
        v = colors[c]
        return b'\0\0\0\0' if v == 'None' else bytes.fromhex(v[1:]) + b'\xff'
    raw = b''.join(b'\0' + b''.join(rgba(c) for c in row) for row in px)

    def chunk(kind, data):
        return struct.pack('>I', len(data)) + kind + data + struct.pack('>I', zlib.crc32(kind + data))
    sys.stdout.buffer.write(b'\x89PNG\r\n\x1a\n' + chunk(b'IHDR', struct.pack('>IIBBBBB', W, H, 8, 6, 0, 0, 0))
                            + chunk(b'IDAT', zlib.compress(raw, 9)) + chunk(b'IEND', b''))


png() if sys.argv[1:] == ['--png'] else xpm()
