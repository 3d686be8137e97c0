#!/usr/bin/env python3
"""Figures of zelko-mgmtd's HTTP front on loopback (no assertions: the tests check behaviour).

  front_bench.py ZELKO_MGMTD [--pcs 500] [--idle 256] [--rounds 3]

  burst      N PCs connect from N loopback addresses and send their by-MAC lookup at once:
             latency of each answer from the moment all requests were sent (p50, p99, max) and
             how many were answered within 60 s; once in the client program's form (a read),
             once in the driver's form for N registered PCs (a boot: each one is a write)
  keep-alive four lookups on one connection, repeated: latency of the first and of the 2nd-4th
  idle       lookups while M connections are open and silent: latency (p50, max) and answered
"""
import argparse, json, os, select, socket, subprocess, tempfile, time


def start(binary, work, extra=()):
    ready = os.path.join(work, "ready.json")
    if os.path.exists(ready):
        os.unlink(ready)
    env = dict(os.environ, ZELKO_ADMIN_PASSWORD="bench password", ZELKO_LINK_SECRET="bench")
    p = subprocess.Popen([binary, "serve", "--data-dir", os.path.join(work, "data"),
                          "--client-listen", "127.0.0.1:0", "--driver-listen", "127.0.0.1:0",
                          "--ready-file", ready, *extra],
                         env=env, stdout=subprocess.DEVNULL, stderr=open(os.path.join(work, "log"), "a"))
    for _ in range(200):
        if os.path.exists(ready):
            return p, json.load(open(ready))["driverPort"]
        time.sleep(0.05)
    raise SystemExit("server did not start")


def admin(binary, work, *args):
    base = [binary, "admin", "--data-dir", os.path.join(work, "data")]
    r = subprocess.run(base + list(args), capture_output=True)
    if r.returncode != 0 and b"no database" in r.stderr:  # servers before --create
        r = subprocess.run(base + ["--create"] + list(args), capture_output=True)
    if r.returncode != 0:
        raise SystemExit("admin %s: %s" % (args, r.stderr.decode()))


LOOKUP = b"GET /api/disk/clients/by-mac/AA-BB-CC-00-11-22 HTTP/1.1\r\nHost: x\r\n%s\r\n"


def connect(port, source):
    s = socket.socket()
    s.bind((source, 0))
    s.connect(("127.0.0.1", port))
    return s


def source(i):
    return "127.0.%d.%d" % (10 + i // 250, 1 + i % 250)


def read_reply(s):
    data = b""
    while b"\r\n\r\n" not in data:
        chunk = s.recv(65536)
        if not chunk:
            return None
        data += chunk
    head, _, body = data.partition(b"\r\n\r\n")
    length = 0
    for line in head.split(b"\r\n"):
        if line.lower().startswith(b"content-length:"):
            length = int(line.split(b":")[1])
    while len(body) < length:
        chunk = s.recv(65536)
        if not chunk:
            return None
        body += chunk
    return head, body


def pct(values, p):
    if not values:
        return float("nan")
    values = sorted(values)
    return values[min(len(values) - 1, int(len(values) * p / 100))]


def mac(i):
    return "0200000%05x" % i


def burst(port, n, driver=False):
    socks = [connect(port, source(i)) for i in range(n)]
    t0 = time.monotonic()
    for i, s in enumerate(socks):
        if driver:
            s.sendall(b"GET /api/disk/clients/by-mac/%s HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n" % mac(i).encode())
        else:
            s.sendall(LOOKUP % b"Connection: close\r\n")
    pending = {s.fileno(): s for s in socks}
    got = {}
    lat = []
    deadline = t0 + 60
    while pending and time.monotonic() < deadline:
        r, _, _ = select.select(list(pending.values())[:1000], [], [], 1)
        for s in r:
            chunk = s.recv(65536)
            got[s.fileno()] = got.get(s.fileno(), b"") + chunk
            if not chunk:
                if got[s.fileno()].startswith(b"HTTP/1.1 200"):
                    lat.append(time.monotonic() - t0)
                del pending[s.fileno()]
    for s in socks:
        s.close()
    return lat


def keepalive(port, rounds=50):
    first, later = [], []
    for _ in range(rounds):
        s = connect(port, "127.0.0.1")
        s.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        for k in range(4):
            t = time.monotonic()
            s.sendall(LOOKUP % b"")
            if read_reply(s) is None:
                break
            (first if k == 0 else later).append(time.monotonic() - t)
        s.close()
    return first, later


def idle(port, m, lookups=20):
    held = []
    for i in range(m):
        try:
            held.append(connect(port, source(i // 8)))
        except OSError:
            break
    lat, answered = [], 0
    for _ in range(lookups):
        s = connect(port, "127.0.0.1")
        s.settimeout(15)
        t = time.monotonic()
        try:
            s.sendall(LOOKUP % b"Connection: close\r\n")
            if read_reply(s):
                answered += 1
                lat.append(time.monotonic() - t)
        except OSError:
            pass
        s.close()
    for s in held:
        s.close()
    return lat, answered, lookups


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("binary")
    ap.add_argument("--pcs", type=int, default=500)
    ap.add_argument("--idle", type=int, default=256)
    ap.add_argument("--rounds", type=int, default=3)
    a = ap.parse_args()
    import resource
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    resource.setrlimit(resource.RLIMIT_NOFILE, (hard, hard))
    with tempfile.TemporaryDirectory(prefix="mgmtd-bench-") as work:
        admin(a.binary, work, "image", "add", "--name", "win10", "--size", "1M")
        admin(a.binary, work, "client", "add", "--mac", "AA-BB-CC-00-11-22", "--name", "pc01", "--image", "1")
        p, port = start(a.binary, work)
        try:
            for r in range(a.rounds):
                lat = burst(port, a.pcs)
                print("burst %d (lookups): %d/%d answered; latency p50 %.0f ms, p99 %.0f ms, max %.0f ms" % (
                    r + 1, len(lat), a.pcs, pct(lat, 50) * 1e3, pct(lat, 99) * 1e3, max(lat or [0]) * 1e3))
                time.sleep(1)
            # The driver's form of the lookup is a boot: it raises the PC's boot count (a write).
            p.terminate()
            p.wait()
            with open(os.path.join(work, "clients.sql"), "w") as f:
                f.write("BEGIN;\n")
                for i in range(a.pcs):
                    f.write("INSERT INTO clients(name, mac, image_id) VALUES('pc%d', '%s', 1);\n" % (i, mac(i)))
                f.write("COMMIT;\n")
            subprocess.run(["sqlite3", os.path.join(work, "data", "mgmtd.db")], stdin=open(os.path.join(work, "clients.sql")),
                           check=True, capture_output=True)
            p, port = start(a.binary, work)
            for r in range(a.rounds):
                lat = burst(port, a.pcs, driver=True)
                print("burst %d (boots):   %d/%d answered; latency p50 %.0f ms, p99 %.0f ms, max %.0f ms" % (
                    r + 1, len(lat), a.pcs, pct(lat, 50) * 1e3, pct(lat, 99) * 1e3, max(lat or [0]) * 1e3))
                time.sleep(1)
            first, later = keepalive(port)
            print("keep-alive: 1st request p50 %.2f ms; 2nd-4th p50 %.2f ms, p99 %.2f ms" % (
                pct(first, 50) * 1e3, pct(later, 50) * 1e3, pct(later, 99) * 1e3))
            lat, answered, n = idle(port, a.idle)
            print("with %d idle connections: %d/%d lookups answered; latency p50 %.1f ms, max %.1f ms" % (
                a.idle, answered, n, pct(lat, 50) * 1e3, max(lat or [0]) * 1e3))
        finally:
            p.terminate()
            p.wait()


if __name__ == "__main__":
    main()
