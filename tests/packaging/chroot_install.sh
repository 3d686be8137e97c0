#!/usr/bin/env bash
# Installs zelko-server into a fresh Debian 12 chroot and runs the demo's checks against the
# installed servers, started by hand with the installed configuration (no systemd in a chroot):
# the maintainer scripts' users, directories, link secret and first administrator; login,
# image and PC through the API; prepare-disk with the chroot's own mkntfs; the driver's lookup
# and the super-user token for the PC's address only; and, when the host runner is built, a
# handshake and the MBR and NTFS boot sector read through the driver's protocol code. Then
# SIGTERM for both servers and a purge of the package.
#
#   chroot_install.sh PACKAGE-DIR [ZELKOVD-HOST]
#
# The servers run in a network namespace of their own (the package's configuration listens on
# 0.0.0.0), inside a private mount namespace that takes the chroot's /proc and /dev with it.
# The base system is made by debootstrap from the mirror apt uses here, once, and kept as a
# tarball next to the package (ZELKO_CHROOT_CACHE to put it elsewhere). Needs root.
set -euo pipefail
pkgdir=$(realpath "$1")
hosttool=${2:-}
deb=$(ls "$pkgdir"/zelko-server_*.deb 2>/dev/null | head -1)
[ -n "$deb" ] || { echo "no package in $pkgdir"; exit 1; }
[ "$(id -u)" -eq 0 ] || { echo "needs root (debootstrap, chroot, namespaces)"; exit 77; }
command -v debootstrap >/dev/null || { echo "debootstrap is not installed (scripts/install-deps.sh)"; exit 77; }

if [ "${ZELKO_IN_NAMESPACE:-}" != 1 ]; then
  # ---- outside: the base system, then everything else in fresh namespaces ----
  # The package's dependencies go into the base system, so the cached tarball is all the
  # installation needs (the namespace has no way out to the mirror).
  deps=$(dpkg-deb -f "$deb" Depends | tr ',' '\n' | sed -E 's/\(.*\)//; s/\|.*//; s/ //g' | grep -v '^$' | sort -u | paste -sd,)
  cache=${ZELKO_CHROOT_CACHE:-$pkgdir/chroot-cache}
  mkdir -p "$cache"
  key=$(echo "bookworm minbase $deps" | sha256sum | cut -c1-16)
  tarball="$cache/bookworm-$key.tar.gz"
  mirror=$(sed -n 's/^URIs: *//p' /etc/apt/sources.list.d/debian.sources 2>/dev/null | grep -v security | head -1)
  mirror=${mirror:-http://deb.debian.org/debian}
  work=$(mktemp -d /tmp/zelko-chroot.XXXXXX)
  cleanup() { rm -rf --one-file-system "$work"; }
  trap cleanup EXIT
  root="$work/root"
  if [ ! -s "$tarball" ]; then
    echo "== debootstrap bookworm (minbase + $deps) from $mirror"
    debootstrap --variant=minbase --include="$deps" bookworm "$root" "$mirror" >"$work/debootstrap.log" 2>&1 ||
      { tail -30 "$work/debootstrap.log"; exit 1; }
    tar -C "$root" -czf "$tarball.tmp" . && mv "$tarball.tmp" "$tarball"
  else
    echo "== base system from $tarball"
    mkdir -p "$root"
    tar -C "$root" -xzf "$tarball"
  fi
  ZELKO_IN_NAMESPACE=1 unshare --mount --net --fork "$0" "$pkgdir" "$hosttool" "$root"
  exit $?
fi

# ---- inside: private mounts and network ----
root=$3
ip link set lo up
mount --make-rprivate /
mount -t proc proc "$root/proc"
mount --rbind /dev "$root/dev"
pids=()
stop_all() {
  for pid in "${pids[@]}"; do kill -TERM "$pid" 2>/dev/null || true; done
  for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null || true; done
  umount -R "$root/dev" 2>/dev/null || true
  umount "$root/proc" 2>/dev/null || true
}
trap stop_all EXIT
fail() { echo "FAIL: $*"; for f in "$root"/tmp/*.log; do [ -f "$f" ] && { echo "--- $f"; tail -20 "$f"; }; done; exit 1; }
# Owners as the chroot names them (the host's user and group tables are another matter).
owner() { chroot "$root" stat -c "$1" "$2"; }

echo "== dpkg -i $(basename "$deb")"
cp "$deb" "$root/tmp/zelko-server.deb"
chroot "$root" dpkg -i /tmp/zelko-server.deb 2>&1 | tail -5
chroot "$root" dpkg -s zelko-server | grep -q '^Status: install ok installed' || fail "package not installed"

echo "== what the maintainer scripts made"
chroot "$root" getent passwd zelko-mgmtd zelko-diskd >/dev/null || fail "service users missing"
[ "$(owner '%a %U %G' /etc/zelko/link-secret)" = "640 root zelko" ] || fail "link secret: $(owner '%a %U %G' /etc/zelko/link-secret)"
[ "$(wc -c <"$root/etc/zelko/link-secret")" -ge 64 ] || fail "link secret too short"
[ "$(owner '%a %U %G' /var/lib/zelko/images)" = "2770 zelko-mgmtd zelko" ] || fail "image directory"
[ "$(owner '%a %U' /etc/zelko/initial-admin-password)" = "600 root" ] || fail "admin password file"
password=$(sed -n 's/^password //p' "$root/etc/zelko/initial-admin-password")
[ -n "$password" ] || fail "no first administrator"
chroot "$root" dpkg-query -W -f='${Conffiles}\n' zelko-server | grep -q /etc/zelko/mgmtd.json || fail "conffiles"

echo "== starting both servers by hand with the installed configuration"
ids() { chroot "$root" id -u "$1"; }
umask 0007  # as the units' UMask=: image files are shared through the group
gid=$(chroot "$root" getent group zelko | cut -d: -f3)
chroot --userspec="$(ids zelko-mgmtd):$gid" "$root" /usr/sbin/zelko-mgmtd serve --config /etc/zelko/mgmtd.json \
  --link-secret-file /etc/zelko/link-secret >"$root/tmp/mgmtd.out" 2>"$root/tmp/mgmtd.log" &
pids+=($!)
chroot --userspec="$(ids zelko-diskd):$gid" "$root" /usr/sbin/zelko-diskd --config /etc/zelko/diskd.json \
  --link-secret-file /etc/zelko/link-secret 2>"$root/tmp/diskd.log" &
pids+=($!)
api=5000 drv=9500 disk=9501
for _ in $(seq 100); do curl -sf "http://127.0.0.1:$api/api/health" >/dev/null && break; sleep 0.1; done
for _ in $(seq 100); do (exec 3<>/dev/tcp/127.0.0.1/$disk) 2>/dev/null && break; sleep 0.1; done

post() { curl -sS -X POST "http://127.0.0.1:$api$1" -H 'Content-Type: application/json' ${token:+-H "Authorization: Bearer $token"} --data-binary "$2"; }
get() { curl -sS "http://127.0.0.1:$api$1" ${token:+-H "Authorization: Bearer $token"}; }

echo "== the demo's checks"
token=$(post /api/auth/disk/login "$(jq -cn --arg p "$password" '{username:"admin",password:$p}')" | jq -r .accessToken)
[ -n "$token" ] && [ "$token" != null ] || fail "login with the installed administrator"
image=$(post /api/disk/images '{"name":"win10-games","sizeBytes":67108864}')
image_id=$(echo "$image" | jq -r .id)
iqn=$(echo "$image" | jq -r .iqn)
[ "$(echo "$image" | jq -r .path)" = "/var/lib/zelko/images/$image_id.img" ] || fail "image: $image"
[ "$(owner '%a %U %G' "/var/lib/zelko/images/$image_id.img")" = "660 zelko-mgmtd zelko" ] ||
  fail "image file: $(owner '%a %U %G' "/var/lib/zelko/images/$image_id.img")"
post /api/disk/clients "{\"macAddress\":\"AA-BB-CC-00-11-22\",\"name\":\"pc01\",\"ipAddress\":\"127.0.0.1\",\"imageId\":$image_id}" |
  jq -e '.code == 0' >/dev/null || fail "client add"
get "/api/disk/images?page=1&pageSize=100" | jq -e "[.items[] | .name] == [\"win10-games\"]" >/dev/null || fail "image list"
post "/api/disk/images/$image_id/prepare-disk" '' | jq -e '.code == 0' >/dev/null || fail "prepare-disk"
lookup=$(curl -sS "http://127.0.0.1:$drv/api/disk/clients/by-mac/aabbcc001122")
echo "$lookup" | jq -e ".code == 0 and .imageIqn == \"$iqn\" and .macAddress == \"AA-BB-CC-00-11-22\"" >/dev/null ||
  fail "driver lookup: $lookup"
post /api/disk/clients/1/super '{"isSuperClient":true}' | jq -e '.code == 0' >/dev/null || fail "super on"
super_token=$(curl -sS "http://127.0.0.1:$drv/api/disk/clients/by-mac/aabbcc001122" | jq -r .superUserToken)
[ ${#super_token} -ge 32 ] || fail "no super-user token for the PC"
other=$(curl -sS --interface 127.0.0.2 "http://127.0.0.1:$drv/api/disk/clients/by-mac/aabbcc001122" | jq -r .superUserToken)
[ -z "$other" ] || fail "token given to another address"
echo "login, image, PC, prepare-disk, lookup and super-user token: ok"

if [ -x "$hosttool" ]; then
  # The disk server learns new images from the management server every few seconds.
  for _ in $(seq 100); do
    "$hosttool" session --server "127.0.0.1:$disk" --iqn "$iqn" --client-id aabbcc001122 \
      --super-user "$super_token" connect handshake read 0 512 "$root/tmp/sector0" read 1048576 512 "$root/tmp/boot" \
      disconnect >"$root/tmp/session.json" 2>"$root/tmp/session.log" && break
    sleep 0.2
  done
  jq -se '[.[] | select(.op == "handshake")][0].superUser == true' "$root/tmp/session.json" >/dev/null ||
    fail "super-user handshake: $(cat "$root/tmp/session.json" "$root/tmp/session.log")"
  python3 - "$root/tmp/sector0" "$root/tmp/boot" <<'PY' || fail "the disk is not what a PC needs"
import struct, sys
mbr, boot = open(sys.argv[1], "rb").read(), open(sys.argv[2], "rb").read()
hidden, = struct.unpack_from("<I", boot, 28)
ok = mbr[510:512] == b"\x55\xaa" and mbr[446 + 4] == 7 and mbr[446] == 0x80 and boot[3:11] == b"NTFS    " and hidden == 2048
sys.exit(0 if ok else 1)
PY
  rm -f "$root/tmp/sector0" "$root/tmp/boot" "$root/tmp/session.json" "$root/tmp/session.log"
  echo "super-user handshake and an MBR disk with an active NTFS partition through the driver's code: ok"
else
  echo "(zelkovd-host not built: the protocol checks are left out)"
fi

echo "== SIGTERM and purge"
for pid in "${pids[@]}"; do kill -TERM "$pid"; done
for pid in "${pids[@]}"; do wait "$pid" || fail "a server did not stop cleanly (pid $pid)"; done
pids=()
chroot "$root" dpkg --purge zelko-server >/dev/null 2>&1 || fail "purge"
[ ! -e "$root/etc/zelko/link-secret" ] || fail "secret left after purge"
[ -e "$root/var/lib/zelko/images/$image_id.img" ] || fail "purge removed the images"
echo "chroot install: all checks passed"
