#!/usr/bin/env bash
# Installs, idempotently, every Debian 12 package the builds, tests and the demo need.
# Components list their packages below; a package already installed costs nothing.
set -euo pipefail

packages=(
  # build
  build-essential cmake ninja-build pkg-config git googletest
  # Windows cross build of driver and client
  g++-mingw-w64-x86-64-posix gcc-mingw-w64-x86-64-posix mingw-w64-tools binutils-mingw-w64-x86-64
  # client tests under Wine, screenshots
  wine wine64 xvfb xauth x11-apps x11-utils xdotool imagemagick fonts-wqy-microhei
  # servers
  libcpp-httplib-dev nlohmann-json3-dev libargon2-dev libsqlite3-dev sqlite3 libssl-dev
  liburing-dev ntfs-3g fdisk libfdisk-dev
  # the server package and its checks (scripts/package.sh, tests/packaging)
  dpkg-dev fakeroot lintian debootstrap systemd
  # test and demo tooling
  qemu-utils nbdkit-plugin-dev libnbd-bin fio curl jq python3 procps iproute2 xxd
  # the web console's browser test (tests/servers/mgmtd/console_browser_test.py)
  chromium chromium-driver python3-selenium
  # the fuzzing preset (libFuzzer)
  clang libclang-rt-14-dev
  # the comparison in scripts/bench-servers.sh (not used by any test)
  nbdkit
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done
[ ${#missing[@]} -eq 0 ] && exit 0

SUDO=""
[ "$(id -u)" -ne 0 ] && SUDO="sudo"
echo "install-deps: installing ${missing[*]}" >&2
$SUDO apt-get update -qq
DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq "${missing[@]}" >&2
