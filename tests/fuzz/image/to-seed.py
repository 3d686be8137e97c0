#!/usr/bin/env python3
"""Turns an image file into an input of the image_* fuzz targets (layout in image_fuzz.cpp):
the file's size, a few requests, and the file's non-zero pieces. Usage: to-seed.py IMAGE OUT"""
import struct
import sys

src, out = sys.argv[1], sys.argv[2]
data = open(src, "rb").read()

# Requests every seed carries: a read at the start, a write and its read-back in the first
# blocks, writes at the disk's end and in its middle (all sectors taken modulo the disk's size).
ops = [(0, 0, 8), (1, 2048, 8), (0, 2048, 16), (1, 0xFFFFFFF0, 4), (1, 0x7FFFF, 1), (0, 100, 64)]

pieces = []
i, n = 0, len(data)
while i < n:
    if data[i] == 0:
        i += 1
        continue
    # A piece ends at the first run of 32 zero bytes: short gaps cost less kept than re-headed.
    j = i
    while j < n:
        if data[j] == 0:
            k = j
            while k < n and k - j < 32 and data[k] == 0:
                k += 1
            if k - j >= 32 or k == n:
                break
            j = k
        else:
            j += 1
    while j > i:
        pieces.append((i, data[i:min(j, i + 0xFFFF)]))
        i = min(j, i + 0xFFFF)
    i = j

blob = bytearray()
blob += struct.pack("<BIB", 0, len(data), len(ops))
for kind, sector, count in ops:
    blob += struct.pack("<BIB", kind, sector, count - 1)
for off, piece in pieces:
    blob += struct.pack("<IH", off, len(piece)) + piece
open(out, "wb").write(blob)
