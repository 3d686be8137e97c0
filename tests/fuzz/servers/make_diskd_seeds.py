#!/usr/bin/env python3
# Writes the seed streams of diskd_tcp and diskd_udp: request sequences as the driver sends
# them (handshake first), the same messages as in tests/servers/diskd.
import os, struct, sys

MAGIC, VER = 0x44504B5A, 1
IQN, IQN_RO, TOKEN = b"iqn.2026-01.fuzz:disk", b"iqn.2026-01.fuzz:ro", b"fuzz-super-token"
OP = dict(hs=1, read=2, write=3, bread=4, bwrite=5, ping=8, exit=0x0C, mig=0x13, ack=0x15, neg=0x20, dereg=0x26)

def hdr(op, flags=0, seq=1, off=0, length=0):
    return struct.pack("<IHBBIQI", MAGIC, VER, OP[op], flags, seq, off, length)

def text(s):
    return struct.pack("<H", len(s)) + s

def handshake(iqn=IQN, client=b"pc-01", token=None, flags=0):
    rec = struct.pack("<III", 1, 0, 0) + text(iqn) + text(client) + (text(token) if token is not None else b"")
    return hdr("hs", flags | (0x40 if token is not None else 0), 1, 0, len(rec) - 12) + rec

def write(off, data, seq=3):
    return hdr("write", 0, seq, off, len(data)) + data

def bread(segs, seq=4):
    t = b"".join(struct.pack("<QI", o, l) for o, l in segs)
    return hdr("bread", 0, seq, len(segs), len(t)) + t

def bwrite(segs, seq=5):
    t = b"".join(struct.pack("<QI", o, len(d)) for o, d in segs)
    return hdr("bwrite", 0, seq, len(segs), sum(len(d) for _, d in segs)) + t + b"".join(d for _, d in segs)

tcp = {
    "handshake_read": handshake() + hdr("read", 0, 2, 0, 4096) + hdr("read", 0, 3, 8192, 512),
    "handshake_ro": handshake(IQN_RO, b"pc-02") + hdr("read", 0, 2, 4096, 8192) + write(0, b"x" * 512),
    "write_read": handshake() + write(4096, bytes(range(256)) * 4) + hdr("read", 0, 4, 4096, 1024),
    "batch": handshake() + bread([(0, 512), (65536, 4096)]) + bwrite([(0, b"a" * 512), (8192, b"b" * 4096)]),
    "ping_misc": handshake() + hdr("ping", 0, 2) + hdr("mig", 0, 3, 0, 32) + b"k" * 32 +
                 hdr("neg", 0, 4, 0, 16) + struct.pack("<IIII", 3, 0, 0, 1) +
                 hdr("dereg", 0, 5, 0, 12) + struct.pack("<III", 1, 2, 0),
    "super_commit": handshake(token=TOKEN) + write(0, b"s" * 4096) + hdr("exit", 0, 4, 0, 1) + b"\x01",
    "super_discard": handshake(token=TOKEN) + write(12288, b"d" * 4096) + hdr("exit", 0, 4, 0, 1) + b"\x00",
    "no_handshake": hdr("read", 0, 1, 0, 512) + hdr("ping", 0, 2),
    "bad_version": struct.pack("<IHBBIQI", MAGIC, 2, 2, 0, 1, 0, 512),
    "huge_write": handshake() + hdr("write", 0, 2, 0, 0x7fffffff),
    "partial_frame": handshake() + hdr("write", 0, 2, 0, 4096) + b"p" * 100,
}
udp = {
    "read": b"\x00" + b"".join(struct.pack("<H", len(d)) + d for d in [hdr("read", 0, 9, 0, 4096), hdr("ping", 0, 10)]),
    "write": b"\x00" + b"".join(struct.pack("<H", len(d)) + d for d in [hdr("write", 0, 9, 4096, 512) + b"w" * 512,
                                                                       hdr("read", 0, 10, 4096, 512), hdr("ack", 0, 11, 0, 0)]),
    "ro_write": b"\x01" + b"".join(struct.pack("<H", len(d)) + d for d in [hdr("write", 0, 9, 0, 512) + b"w" * 512]),
    "super_read": b"\x02" + b"".join(struct.pack("<H", len(d)) + d for d in [hdr("read", 0, 9, 258048, 4096)]),
}
root = sys.argv[1]
for name, seeds in (("diskd_tcp", tcp), ("diskd_udp", udp)):
    d = os.path.join(root, "corpus", name)
    os.makedirs(d, exist_ok=True)
    for k, v in seeds.items():
        open(os.path.join(d, k), "wb").write(v)
