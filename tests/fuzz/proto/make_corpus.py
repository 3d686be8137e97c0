#!/usr/bin/env python3
"""Seeds and dictionaries of the protocol fuzzers, built from the wire format the way the
protocol tests' peers answer (tests/driver/protocol/PeerServer.h and SessionTest.cpp).

    tests/fuzz/proto/make_corpus.py tests/fuzz

Rewrites corpus/proto_session, corpus/proto_decompress, corpus/proto_udp and their .dict files.
"""
import os
import shutil
import struct
import sys

MAGIC = 0x44504B5A
OK, ERR, PONG, NEG = 0x40, 0x41, 0x42, 0x21
DATA, COMP = 0x01, 0x02
END = 0xFFFFFFFFFFFFFFFF

# Operation kinds of SessionFuzz.cpp
READ, WRITE, BATCHREAD, BATCHWRITE, PING, EXITSU, MIGRATION, NEGOTIATE, PATHDEREG, HANDSHAKE, READREMOTE, BATCHROOMY = range(12)


def hdr(op, flags=0, seq=1, offset=0, length=0, magic=MAGIC, version=1):
    return struct.pack('<IHBBIQI', magic, version, op, flags, seq, offset, length)


def handshake_answer(sid=7, size=1 << 30, bs=512, flags=0, ver=4, server=1):
    return hdr(OK, length=32) + struct.pack('<IIHHQIII', server, 0, sid, 0, size, bs, flags, ver)


def literals(data):
    """The compressed format with literal runs only (what the worst case is made of)."""
    out = b''
    for i in range(0, len(data), 15):
        run = data[i:i + 15]
        out += bytes([len(run) << 4]) + run
    return out


def repeat(byte, n):
    """One literal then matches of distance 1: n bytes of `byte` (n >= 5 + 1)."""
    out = bytes([0x10]) + bytes([byte])
    left = n - 1
    while left >= 4:
        m = min(left, 19)
        if left - m in (1, 2, 3):
            m = left - 4 if left - 4 >= 4 else m
        out += bytes([m - 4]) + struct.pack('<H', 1)
        left -= m
    for _ in range(left):
        out += bytes([0x10, byte])
    return out


def session_input(mode, ops, script):
    b = bytes([mode, len(ops) - 1])
    for kind, a, length in ops:
        b += struct.pack('<BBH', kind, a, length)
    return b + script


def segments(a, length):
    count = (a & 7) + 1
    return [(i * 4096, (length + 977 * i) % 9000 + 1) for i in range(count)]


def batch_answer(segs, upto=None, end=True):
    out = b''
    for i, (off, n) in enumerate(segs[:upto]):
        out += hdr(OK, DATA, offset=off, length=n) + bytes((off + k) & 0xFF for k in range(n))
    return out + (hdr(OK, 0, offset=END) if end else b'')


def session_seeds():
    seeds = {}
    hs = handshake_answer()
    seeds['handshake'] = session_input(0, [(PING, 0, 0)], hs + hdr(PONG))
    seeds['handshake-version-change'] = session_input(0, [(HANDSHAKE, 0, 0)], hs + handshake_answer(ver=9, flags=3))
    seeds['handshake-bad-magic'] = session_input(0, [(READ, 0, 511)], hdr(OK, length=32, magic=0x11223344))
    seeds['handshake-server-v2'] = session_input(0, [(READ, 0, 511)], handshake_answer(server=2))
    seeds['handshake-error'] = session_input(0, [(READ, 0, 511)], hdr(ERR, length=3))
    data = bytes(range(256)) * 2
    seeds['read-plain'] = session_input(1, [(READ, 1, 511)], hdr(OK, DATA, length=512) + data)
    seeds['read-compressed'] = session_input(1, [(READ, 1, 511)], hdr(OK, DATA | COMP, length=len(literals(data))) + literals(data))
    rep = repeat(0x5A, 4096)
    seeds['read-compressed-matches'] = session_input(1, [(READ, 0, 4095)], hdr(OK, DATA | COMP, length=len(rep)) + rep)
    seeds['read-no-data-flag'] = session_input(1, [(READ, 0, 99), (PING, 0, 0)], hdr(OK, 0, length=100) + hdr(PONG))
    seeds['read-error-0'] = session_input(1, [(READ, 0, 15)], hdr(ERR, DATA, length=0) + hdr(OK, DATA, length=16) + bytes(16))
    seeds['read-chunked'] = session_input(1 | (3 << 4), [(READ, 1, 511)], hdr(OK, DATA, length=512) + data)
    seeds['write'] = session_input(1, [(WRITE, 3, 1023)], hdr(OK, length=1024))
    seeds['write-protected'] = session_input(1, [(WRITE, 3, 1023)], hdr(ERR, length=7))
    segs = segments(2, 4095)
    seeds['batch'] = session_input(1, [(BATCHREAD, 2, 4095)], batch_answer(segs))
    seeds['batch-early-end'] = session_input(1, [(BATCHREAD, 4, 100)], batch_answer(segments(4, 100), upto=2))
    seeds['batch-chunked'] = session_input(1 | (9 << 4), [(BATCHREAD, 3, 511)], batch_answer(segments(3, 511)))
    seeds['batch-error'] = session_input(1, [(BATCHREAD, 2, 300)], batch_answer(segments(2, 300), upto=1, end=False) + hdr(ERR, length=7))
    seeds['batch-roomy'] = session_input(1, [(BATCHROOMY, 0x21, 200)], batch_answer(segments(0x21, 200)))
    seeds['batchwrite'] = session_input(1, [(BATCHWRITE, 1, 1000)], hdr(OK))
    seeds['ping'] = session_input(1, [(PING, 0, 0), (PING, 0, 0)], hdr(PONG) + hdr(ERR, length=1))
    seeds['exit-super-user'] = session_input(1 | 2, [(EXITSU, 1, 0)], hdr(OK, length=16) + struct.pack('<QQ', 12, 49152))
    seeds['migration'] = session_input(1, [(MIGRATION, 0, 0)], hdr(OK, length=48) + struct.pack('<IIIIQQQQ', 1, 2, 3, 4, 5, 6, 7, 8))
    seeds['negotiate'] = session_input(1, [(NEGOTIATE, 0, 0)], hdr(NEG, length=24) + struct.pack('<IIIIQ', 3, 9502, 0, 1400, 0))
    seeds['path-deregister'] = session_input(1 | 8, [(PATHDEREG, 0, 0)], hdr(OK) + hdr(OK))
    seeds['mixed'] = session_input(0 | (5 << 4), [(READ, 2, 511), (BATCHREAD, 1, 4095), (WRITE, 0, 9), (PING, 0, 0), (NEGOTIATE, 0, 0)],
                                   hs + hdr(OK, DATA, length=512) + data + batch_answer(segments(1, 4095)) + hdr(OK, length=10) +
                                   hdr(PONG) + hdr(OK, length=24) + struct.pack('<IIIIQ', 1, 0, 0, 0, 0))
    return seeds


def decompress_seeds():
    def inp(want, comp):
        return struct.pack('<H', want) + comp
    data = bytes(range(64))
    return {
        'literals': inp(64, literals(data)),
        'four': inp(4, bytes([0x40]) + b'abcd'),
        'four-asked-five': inp(5, bytes([0x40]) + b'abcd'),
        'overlap': inp(6, bytes([0x11]) + b'x' + struct.pack('<H', 1)),
        'distance-too-far': inp(5, bytes([0x01]) + struct.pack('<H', 1)),
        'run': inp(4096, repeat(0x33, 4096)),
        'empty': inp(0, b''),
    }


def udp_seeds():
    # UdpFuzz.cpp: byte 0 = capacity selector, then datagrams as (u16 length, flags byte, bytes);
    # flag 1 puts the pending request's seq into the datagram's seq field.
    def dg(body, match=True):
        return struct.pack('<HB', len(body), 1 if match else 0) + body
    block = bytes((i * 7) & 0xFF for i in range(4096))
    return {
        'answer': bytes([4]) + dg(hdr(OK, DATA, length=512) + bytes(512)),
        'answer-short': bytes([4]) + dg(hdr(OK, DATA, length=512) + bytes(100)),
        'answer-error': bytes([4]) + dg(hdr(ERR, length=5)),
        'late-duplicate': bytes([2]) + dg(hdr(OK, DATA, length=16) + bytes(16)) + dg(hdr(OK, DATA, length=16) + bytes(16)),
        'push': bytes([1]) + dg(hdr(0x14, DATA, seq=99, offset=8192, length=4096) + block, match=False),
        'push-length-lie': bytes([1]) + dg(hdr(0x14, DATA, seq=99, offset=8192, length=8192) + block, match=False),
        'push-past-end': bytes([1]) + dg(hdr(0x14, DATA, seq=99, offset=1 << 40, length=4096) + block, match=False),
        'bad-magic': bytes([1]) + dg(hdr(OK, DATA, length=4, magic=0x5A4B5044) + bytes(4)),
        'runt': bytes([1]) + dg(b'ZKPD\x01\x00'),
    }


DICTS = {
    'proto_session': ['"ZKPD"', '"\\x01\\x00"', '"\\x40"', '"\\x41"', '"\\x42"', '"\\x21"', '"\\x40\\x01"', '"\\x40\\x03"',
                      '"\\xff\\xff\\xff\\xff\\xff\\xff\\xff\\xff"', '"\\x20\\x00\\x00\\x00"', '"\\x30\\x00\\x00\\x00"',
                      '"\\x18\\x00\\x00\\x00"', '"\\x01\\x00\\x00\\x00"', '"\\x00\\x10\\x00\\x00"', '"\\x01\\x00"'],
    'proto_decompress': ['"\\xf0"', '"\\x0f"', '"\\x01\\x00"', '"\\x10"', '"\\x1f\\x01\\x00"', '"\\xff\\xff"'],
    'proto_udp': ['"ZKPD"', '"\\x01\\x00"', '"\\x40\\x01"', '"\\x41"', '"\\x14\\x01"', '"\\x14\\x00"', '"\\x00\\x10\\x00\\x00"',
                  '"\\x18\\x10"', '"\\xff\\xff"'],
}


def main():
    root = sys.argv[1] if len(sys.argv) > 1 else os.path.join(os.path.dirname(__file__), '..')
    for name, seeds in (('proto_session', session_seeds()), ('proto_decompress', decompress_seeds()), ('proto_udp', udp_seeds())):
        d = os.path.join(root, 'corpus', name)
        shutil.rmtree(d, ignore_errors=True)
        os.makedirs(d)
        for k, v in seeds.items():
            with open(os.path.join(d, k), 'wb') as f:
                f.write(v)
        os.makedirs(os.path.join(root, 'dict'), exist_ok=True)
        with open(os.path.join(root, 'dict', name + '.dict'), 'w') as f:
            f.write('# %s: tokens of the disk server protocol (made by proto/make_corpus.py)\n' % name)
            for i, t in enumerate(DICTS[name]):
                f.write('t%d=%s\n' % (i, t))


if __name__ == '__main__':
    main()
