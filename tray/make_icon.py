#!/usr/bin/env python3
"""Draws the notification-area icon: one 32 x 32 image with 32 bits per pixel
(a blue disc with a white arrow down into a tray), written as an .ico file."""
import struct
import sys

SIZE = 32
SAMPLES = 4  # per axis, for smooth edges


def inside_disc(x, y):
    return (x - 16) ** 2 + (y - 16) ** 2 <= 15.2 ** 2


def inside_glyph(x, y):
    # arrow shaft, arrow head, and a tray under it
    if 13.5 <= x <= 18.5 and 6 <= y <= 15:
        return True
    if 15 <= y <= 21 and abs(x - 16) <= (21 - y) * 1.2:
        return True
    if 22.5 <= y <= 25.5 and 8 <= x <= 24:
        return True
    if 18 <= y <= 25.5 and (8 <= x <= 10.5 or 21.5 <= x <= 24):
        return True
    return False


def pixel(px, py):
    disc = glyph = 0
    for sy in range(SAMPLES):
        for sx in range(SAMPLES):
            x = px + (sx + 0.5) / SAMPLES
            y = py + (sy + 0.5) / SAMPLES
            if inside_disc(x, y):
                disc += 1
                if inside_glyph(x, y):
                    glyph += 1
    total = SAMPLES * SAMPLES
    if disc == 0:
        return (0, 0, 0, 0)
    # blend white over the disc's blue, then weight by coverage
    g = glyph / disc
    blue = (200, 100, 30)  # B, G, R
    b, gr, r = (round(c * (1 - g) + 255 * g) for c in blue)
    return (b, gr, r, round(255 * disc / total))


def main(out):
    rows = []
    mask_rows = []
    for py in reversed(range(SIZE)):  # bottom-up, as a DIB
        row = b""
        mask = 0
        for px in range(SIZE):
            b, g, r, a = pixel(px, py)
            row += struct.pack("BBBB", b, g, r, a)
            mask = (mask << 1) | (1 if a == 0 else 0)
        rows.append(row)
        mask_rows.append(struct.pack(">I", mask))
    header = struct.pack("<IiiHHIIiiII", 40, SIZE, SIZE * 2, 1, 32, 0, 0, 0, 0, 0, 0)
    image = header + b"".join(rows) + b"".join(mask_rows)
    directory = struct.pack("<HHH", 0, 1, 1)
    entry = struct.pack("<BBBBHHII", SIZE, SIZE, 0, 0, 1, 32, len(image), 6 + 16)
    with open(out, "wb") as f:
        f.write(directory + entry + image)


if __name__ == "__main__":
    main(sys.argv[1])
