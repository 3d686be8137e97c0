#!/usr/bin/env python3
# Writes the seeds of mgmtd_link: the disk server's replies as its admin listener sends them
# (servers/LINK.md), in the order the management server asks. Byte 0 the operation (0 flush,
# 2 prepare-disk, 3 console state, 4 reload), byte 1 the image; replies separated by NUL, each
# led by its status byte (1 = 200, 4 = 404, 5 = 409, 6 = 500, 9 = not reached).
import json, os, sys

OK, NOTFOUND, BUSY, FAIL, DOWN = 1, 4, 5, 6, 9

def reply(status, body=None):
    return bytes([status]) + (json.dumps(body, separators=(",", ":")).encode() if body is not None else b"")

def status(iqn_no, layers, version=3):
    return {"code": 0, "iqn": "iqn.2024-01.net.zelko:image.%d" % iqn_no, "version": version,
            "sizeBytes": 1048576, "readOnly": False, "superLayers": layers, "normalOverlays": 2,
            "snapshots": 1, "mergePending": False}

def layer(key, sessions=0, idle=0, blocks=12, merging=False):
    return {"clientKey": key, "blocks": blocks, "sessions": sessions, "idleSeconds": idle, "merging": merging}

merged = {"code": 0, "blocks": 12, "bytes": 49152, "version": 4}
seeds = {
    "flush_ok": (0, 0, [reply(OK, status(1, [layer("client-1"), layer("client-3", sessions=1)])), reply(OK, merged),
                        reply(OK, status(2, [layer("client-2", idle=900), layer("upload-1")])), reply(OK, merged),
                        reply(OK, {"code": 0})]),
    "flush_busy": (1, 0, [reply(OK, status(1, [layer("client-1", sessions=1)])),
                          reply(BUSY, {"code": 15, "message": "a session is attached to the layer"}),
                          reply(OK, status(2, [layer("client-2", idle=5)])),
                          reply(FAIL, {"code": 5, "message": "merge failed"})]),
    "flush_gone": (0, 1, [reply(NOTFOUND, {"code": 4, "message": "unknown image"}), reply(OK, status(2, [])),
                          reply(NOTFOUND, {"code": 4, "message": "unknown image"})]),
    "flush_down": (0, 0, [reply(DOWN), reply(DOWN), reply(DOWN)]),
    "prepare_ok": (2, 1, [reply(OK, status(1, [layer("client-1")])), reply(OK, merged),
                          reply(OK, status(2, [layer("client-2", idle=900)])), reply(OK, merged),
                          reply(OK, {"code": 0}), reply(OK, {"code": 0, "version": 8})]),
    "prepare_busy": (2, 1, [reply(OK, status(1, [])), reply(OK, status(2, [])), reply(OK, {"code": 0}),
                            reply(BUSY, {"code": 15, "message": "a super-user layer exists"})]),
    "console": (3, 0, [reply(OK, status(1, [layer("client-1"), layer("client-3", sessions=1, merging=True)])),
                       reply(OK, dict(status(2, [dict(layer("upload-1", sessions=1), upload=True, writtenBytes=4096,
                                                      writtenEnd=8192)]),
                                      merge={"clientKey": "client-2", "phase": "apply", "blocksDone": 3,
                                             "blocksTotal": 12}))]),
    "console_refused": (3, 0, [reply(7, {"code": 401, "message": "link secret mismatch"}), reply(OK, "[]")]),
    "reload": (4, 0, [reply(OK, {"code": 0})]),
}
out = sys.argv[1] if len(sys.argv) > 1 else os.path.join(os.path.dirname(__file__), "../corpus/mgmtd_link")
os.makedirs(out, exist_ok=True)
for name, (op, image, replies) in seeds.items():
    with open(os.path.join(out, name), "wb") as f:
        f.write(bytes([op, image]) + b"\0".join(replies))
