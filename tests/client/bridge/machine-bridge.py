#!/usr/bin/env python3
"""Test equipment, never shipped: the Linux end of the Wine forwarding driver (ZelkoFwd.sys).

Starts `zelkovd-host machine` (the unmodified driver in the host kernel) with \\??\\PhysicalDrive0
mapped to a local disk image, listens on 127.0.0.1, and answers each request line of the
forwarding driver:

  zelkovd <code> <outLen> <inHex>  -> an "ioctl" request to the machine, its status and output
  disk    <code> <outLen> <inHex>  -> what Windows' disk stack answers for PhysicalDrive0
  volume  <code> <outLen> <inHex>  -> what the volume manager answers for C: (the MBR's NTFS
                                      partition of the same image)

Usage: machine-bridge.py --host-runner PATH --disk IMAGE --port-file FILE [--log FILE]
                         [--read-delay-ms N] [-- machine options...]
"""
import argparse
import json
import os
import socket
import struct
import subprocess
import sys
import threading
import time

IOCTL_DISK_GET_LENGTH_INFO = 0x0007405C
IOCTL_STORAGE_GET_DEVICE_NUMBER = 0x002D1080
IOCTL_VOLUME_GET_VOLUME_DISK_EXTENTS = 0x00560000
IOCTL_ZELKO_READ_LOCAL = 0x81002034
IOCTL_ZELKO_WRITE_DISK = 0x81002038
STATUS_SUCCESS = 0
STATUS_INVALID_DEVICE_REQUEST = 0xC0000010
STATUS_BUFFER_TOO_SMALL = 0xC0000023
FILE_DEVICE_DISK = 7


def ntfs_partition(image):
    """(number, start, length) of the first NTFS (type 7) primary partition of the MBR."""
    with open(image, 'rb') as f:
        mbr = f.read(512)
    if mbr[510:512] != b'\x55\xaa':
        raise SystemExit('machine-bridge: %s has no MBR' % image)
    for i in range(4):
        e = mbr[446 + 16 * i:446 + 16 * (i + 1)]
        ptype, lba, sectors = e[4], struct.unpack_from('<I', e, 8)[0], struct.unpack_from('<I', e, 12)[0]
        if ptype == 0x07:
            return i + 1, lba * 512, sectors * 512
    raise SystemExit('machine-bridge: no NTFS partition in %s' % image)


class Machine:
    def __init__(self, argv, log):
        self.log = log
        self.proc = subprocess.Popen(argv, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                     stderr=log, bufsize=1 << 20)
        self.next_id = 1
        while True:
            line = self.proc.stdout.readline()
            if not line:
                raise SystemExit('machine-bridge: zelkovd-host machine ended before loading')
            ev = json.loads(line)
            if ev.get('event') == 'loaded':
                if ev.get('status') != '0x00000000':
                    raise SystemExit('machine-bridge: driver load failed: %s' % line)
                break

    def ioctl(self, code, inp, out_len):
        rid = self.next_id
        self.next_id += 1
        req = {'op': 'ioctl', 'code': '0x%08X' % code, 'in': inp.hex(), 'outLen': out_len, 'id': rid}
        self.proc.stdin.write((json.dumps(req) + '\n').encode())
        self.proc.stdin.flush()
        while True:
            line = self.proc.stdout.readline()
            if not line:
                raise SystemExit('machine-bridge: zelkovd-host machine ended')
            ans = json.loads(line)
            if ans.get('id') == rid:
                break
        if 'error' in ans:
            raise SystemExit('machine-bridge: bad request: %s' % line)
        out = bytes.fromhex(ans.get('out', ''))
        return int(ans['status'], 16), int(ans.get('information', 0)), out

    def stop(self):
        try:
            self.proc.stdin.write(b'{"op":"stop"}\n')
            self.proc.stdin.flush()
            self.proc.stdin.close()
        except OSError:
            pass
        rest = self.proc.stdout.read().decode(errors='replace')
        rc = self.proc.wait()
        return rc, rest


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument('--host-runner', required=True)
    ap.add_argument('--disk', required=True)
    ap.add_argument('--port-file', required=True)
    ap.add_argument('--log', default=None)
    ap.add_argument('--read-delay-ms', type=int, default=0)
    ap.add_argument('machine_args', nargs='*')
    a = ap.parse_args()

    log = open(a.log, 'ab', buffering=0) if a.log else sys.stderr.buffer
    disk_size = os.path.getsize(a.disk)
    part_no, c_start, c_len = ntfs_partition(a.disk)
    machine = Machine([a.host_runner, 'machine', '--object', '\\??\\PhysicalDrive0=' + a.disk] + a.machine_args, log)
    counts = {}
    lock = threading.Lock()

    def local(device, code, out_len):
        if code == IOCTL_STORAGE_GET_DEVICE_NUMBER:
            out = struct.pack('<III', FILE_DEVICE_DISK, 0, part_no if device == 'volume' else 0)
        elif device == 'disk' and code == IOCTL_DISK_GET_LENGTH_INFO:
            out = struct.pack('<q', disk_size)
        elif device == 'volume' and code == IOCTL_VOLUME_GET_VOLUME_DISK_EXTENTS:
            out = struct.pack('<I4xI4xqq', 1, 0, c_start, c_len)
        else:
            return STATUS_INVALID_DEVICE_REQUEST, 0, b''
        if out_len < len(out):
            return STATUS_BUFFER_TOO_SMALL, 0, b''
        return STATUS_SUCCESS, len(out), out

    def serve(conn):
        # A request the machine cannot answer (it stopped) closes the connection, so the
        # forwarding driver fails the caller's request instead of waiting for ever.
        try:
            serve_lines(conn)
        finally:
            conn.close()

    def serve_lines(conn):
        f = conn.makefile('rb')
        while True:
            line = f.readline()
            if not line:
                return
            parts = line.decode().rstrip('\n').split(' ')
            device, code, out_len = parts[0], int(parts[1], 16), int(parts[2])
            inp = bytes.fromhex(parts[3]) if len(parts) > 3 else b''
            if device == 'zelkovd':
                if code == IOCTL_ZELKO_READ_LOCAL and a.read_delay_ms:
                    time.sleep(a.read_delay_ms / 1000.0)  # a slow disk, for cancelling mid-way
                # Windows copies nothing back to a caller that gave no output buffer, whatever
                # byte count the driver reports (WRITE_DISK reports the bytes written); the host
                # kernel's I/O manager insists on room for the count, so the request to it gets
                # that room and the caller still gets no bytes.
                room = out_len
                if code == IOCTL_ZELKO_WRITE_DISK and out_len == 0 and len(inp) > 16:
                    room = len(inp) - 16
                with lock:
                    status, info, out = machine.ioctl(code, inp, room)
            else:
                status, info, out = local(device, code, out_len)
            key = '%s 0x%08X 0x%08X' % (device, code, status)
            counts[key] = counts.get(key, 0) + 1
            out = out[:min(info, out_len)]
            conn.sendall(('%x %d %s\n' % (status, info, out.hex())).encode())

    srv = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    srv.bind(('127.0.0.1', 0))
    srv.listen(4)
    tmp = a.port_file + '.tmp'
    with open(tmp, 'w') as f:
        f.write('%d\n' % srv.getsockname()[1])
    os.rename(tmp, a.port_file)

    done = threading.Event()

    def on_term(*_):
        done.set()
        srv.close()
    import signal
    signal.signal(signal.SIGTERM, on_term)
    signal.signal(signal.SIGINT, on_term)
    while not done.is_set():
        try:
            conn, _ = srv.accept()
        except OSError:
            break
        threading.Thread(target=serve, args=(conn,), daemon=True).start()
    rc, rest = machine.stop()
    log.write(('machine-bridge: requests %s\n' % json.dumps(counts, sort_keys=True)).encode())
    log.write(('machine-bridge: machine exit %d %s\n' % (rc, rest.strip())).encode())
    sys.exit(0 if rc == 0 else 1)


if __name__ == '__main__':
    main()
