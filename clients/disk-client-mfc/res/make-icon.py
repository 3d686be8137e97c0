#!/usr/bin/env python3
"""Draws the program's icon (a blue tile with a white stack of disks and a "Z") and writes it
as a Windows .ico with 16, 32 and 48 pixel images (32-bit BGRA DIBs with an AND mask).

    make-icon.py OUT.ico
"""
import struct
import sys


def inside_round_rect(x, y, n, r):
    cx = min(max(x, r), n - r)
    cy = min(max(y, r), n - r)
    return (x - cx) ** 2 + (y - cy) ** 2 <= r * r


def pixel(n, px, py):
    # Sample 4x4 per pixel for smooth edges; coordinates in a unit square.
    acc = [0.0, 0.0, 0.0, 0.0]
    for sy in range(4):
        for sx in range(4):
            u = (px + (sx + 0.5) / 4) / n
            v = (py + (sy + 0.5) / 4) / n
            if not inside_round_rect(u, v, 1.0, 0.18):
                continue
            # Background: the login banner's gradient, top to bottom.
            r, g, b = 30 + 29 * v, 58 + 72 * v, 138 + 108 * v
            # Three stacked disk platters (ellipses) on the left half...
            for k in range(3):
                ey = 0.30 + k * 0.20
                if ((u - 0.36) / 0.22) ** 2 + ((v - ey) / 0.075) ** 2 <= 1.0:
                    r, g, b = 255, 255, 255
                elif ((u - 0.36) / 0.22) ** 2 + ((v - ey - 0.03) / 0.075) ** 2 <= 1.0:
                    r, g, b = 190, 210, 240
            # ...and a bold "Z" on the right half.
            zx0, zx1, zy0, zy1, t = 0.58, 0.86, 0.26, 0.74, 0.085
            if zx0 <= u <= zx1 and (zy0 <= v <= zy0 + t or zy1 - t <= v <= zy1):
                r, g, b = 255, 255, 255
            elif zy0 + t < v < zy1 - t:
                # diagonal from top right to bottom left
                f = (v - zy0 - t) / (zy1 - zy0 - 2 * t)
                xc = zx1 - t / 2 - f * (zx1 - zx0 - t)
                if abs(u - xc) <= t * 0.75:
                    r, g, b = 255, 255, 255
            acc[0] += b
            acc[1] += g
            acc[2] += r
            acc[3] += 255
    cov = acc[3] / 255 / 16
    if cov == 0:
        return (0, 0, 0, 0)
    return tuple(int(c / 16 / cov) for c in acc[:3]) + (int(cov * 255),)


def image(n):
    rows = []
    for py in range(n - 1, -1, -1):  # DIBs are stored bottom-up
        rows.append(b"".join(struct.pack("4B", *pixel(n, px, py)) for px in range(n)))
    xor = b"".join(rows)
    mask_row = ((n + 31) // 32) * 4
    mask = bytes(mask_row * n)  # alpha carries the shape; the AND mask stays clear
    header = struct.pack("<IiiHHIIiiII", 40, n, 2 * n, 1, 32, 0, len(xor) + len(mask), 0, 0, 0, 0)
    return header + xor + mask


def main():
    sizes = [16, 32, 48]
    blobs = [image(n) for n in sizes]
    out = struct.pack("<HHH", 0, 1, len(sizes))
    offset = 6 + 16 * len(sizes)
    for n, blob in zip(sizes, blobs):
        out += struct.pack("<BBBBHHII", n, n, 0, 0, 1, 32, len(blob), offset)
        offset += len(blob)
    out += b"".join(blobs)
    with open(sys.argv[1], "wb") as f:
        f.write(out)


if __name__ == "__main__":
    main()
