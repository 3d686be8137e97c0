#!/usr/bin/env bash
# zelkovd-host machine with image-file LUNs: IOCTL_ZELKO_CREATE_LUN with \??\ names that --object
# maps to a QCOW2 and a dynamic VHD made and filled by qemu; SCSI READs return qemu's data, the
# bus rescan shows each container's virtual size, WRITEs land where qemu reads them back,
# IOCTL_ZELKO_REMOVE_LUN closes the files (qemu-img check clean afterwards), the unload is clean.
#   zelkovd_host_image_lun_test.sh ZELKOVD_HOST
set -euo pipefail
host=$1
dir=$(mktemp -d)
trap '[ -n "${KEEP:-}" ] || rm -rf "$dir"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

qemu-img create -q -f qcow2 -o compat=1.1,cluster_size=65536 "$dir/a.qcow2" 4M
qemu-io -f qcow2 -c 'write -P 0x3c 64k 128k' "$dir/a.qcow2" >/dev/null
qemu-img create -q -f vpc -o subformat=dynamic,force_size=on "$dir/b.vhd" 6M
qemu-io -f vpc -c 'write -P 0x7e 2M 4k' "$dir/b.vhd" >/dev/null

python3 - >"$dir/requests.jsonl" <<'PY'
import json, struct
def create(name, fmt):
    rec = bytearray(1328)
    path = name.encode("utf-16-le")
    rec[800:800 + len(path)] = path
    struct.pack_into("<I", rec, 1320, fmt)
    return {"op": "ioctl", "id": "create-" + name[-1], "code": "0x81002040", "in": rec.hex(), "outLen": 152}
def remove(ident):
    return {"op": "ioctl", "id": "remove-%d" % ident, "code": "0x81002044", "in": struct.pack("<I", ident).hex()}
reqs = [
    create("\\??\\ImageA", 99),
    create("\\??\\ImageB", 1),
    {"op": "rescan", "id": "rescan"},
    {"op": "scsi", "id": "readA", "lun": 1, "cdb": "88000000000000000080000000800000", "in": 65536},
    {"op": "scsi", "id": "readB", "lun": 2, "cdb": "88000000000000001000000000080000", "in": 4096},
    {"op": "scsi", "id": "writeA", "lun": 1, "cdb": "8a000000000000001ff0000000100000", "out": "a5" * 8192},
    {"op": "scsi", "id": "writeB", "lun": 2, "cdb": "8a000000000000002800000000080000", "out": "c3" * 4096},
    # SCSI requests are answered when they complete, not in order: let the writes finish
    # before the LUNs go (a removal fails what is still in flight).
    {"op": "wait", "ms": 5000},
    remove(2), remove(3),
    {"op": "stop"},
]
for r in reqs:
    print(json.dumps(r))
PY

"$host" machine --param AutoActivate=0 --object "\\??\\ImageA=$dir/a.qcow2" --object "\\??\\ImageB=$dir/b.vhd" \
  <"$dir/requests.jsonl" >"$dir/out.jsonl" 2>"$dir/err.log" \
  || fail "exit code $?: $(cat "$dir/out.jsonl") $(tail -5 "$dir/err.log")"

python3 - "$dir" <<'PY'
import json, struct, sys
d = sys.argv[1]
lines = [json.loads(l) for l in open(d + "/out.jsonl")]
by_id = {l.get("id"): l for l in lines if "id" in l}
for name, lun, size in (("A", 1, 4 << 20), ("B", 2, 6 << 20)):
    c = by_id["create-" + name]
    assert c["status"] == "0x00000000", c
    out = bytes.fromhex(c["out"])
    assert out[:128].decode("utf-16-le").rstrip("\0") == "\\\\.\\ZelkoVd_LUN%d" % lun, out[:40]
    assert struct.unpack_from("<Q", out, 136)[0] == size and struct.unpack_from("<I", out, 144)[0] == 512, c
at = lines.index(by_id["rescan"])   # the rescan's bus event comes right before its answer
bus = [l for l in lines[:at] if l.get("event") == "bus"][-1]
assert by_id["rescan"]["luns"] == 3, by_id["rescan"]
caps = {l["lun"]: l["capacity"] for l in bus["luns"]}
assert caps.get(1) == 4 << 20 and caps.get(2) == 6 << 20, bus
a = by_id["readA"]
assert a["srbStatus"] == "0x01", a
data = bytes.fromhex(a["data"])
assert data[:0x10000] == b"\x3c" * 0x10000, data[:16]
b = by_id["readB"]
assert b["srbStatus"] == "0x01" and bytes.fromhex(b["data"]) == b"\x7e" * 4096, b["srbStatus"]
for w in ("writeA", "writeB"):
    assert by_id[w]["srbStatus"] == "0x01", by_id[w]
assert by_id["remove-2"]["status"] == "0x00000000" and by_id["remove-3"]["status"] == "0x00000000", by_id
assert lines[-1] == {"event": "unloaded", "leaks": []}, lines[-1]
PY

qemu-img check "$dir/a.qcow2" >"$dir/check.txt" 2>&1 || fail "qemu-img check: $(cat "$dir/check.txt")"
grep -q "No errors were found" "$dir/check.txt" || fail "qemu-img check: $(cat "$dir/check.txt")"
qemu-io -f qcow2 -c 'read -P 0xa5 4186112 8192' "$dir/a.qcow2" | grep -q "read 8192/8192" \
  || fail "qcow2 write not where qemu reads it"
qemu-io -f vpc -c 'read -P 0xc3 5M 4096' "$dir/b.vhd" | grep -q "read 4096/4096" || fail "vhd write not where qemu reads it"
qemu-io -f vpc -c 'read -P 0x7e 2M 4096' "$dir/b.vhd" | grep -q "read 4096/4096" || fail "vhd data lost"
echo PASS
