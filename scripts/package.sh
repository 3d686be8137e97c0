#!/usr/bin/env bash
# Builds the Debian package zelko-server (both servers, their systemd units, configuration and
# manual pages) from the CMake install rules, with dpkg-deb.
#   scripts/package.sh [OUTPUT-DIR (default build/package)]
# Prints the path of the .deb. An optimised build lives in build/package/build.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
out=$(realpath -m "${1:-$top/build/package}")
build="$out/build"
stage="$out/stage"
mkdir -p "$out"

launcher=()
if command -v ccache >/dev/null; then
  launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache -DCMAKE_C_COMPILER_LAUNCHER=ccache)
  export CCACHE_NOHASHDIR=1 CCACHE_BASEDIR="$top"
fi
# Debian's hardening flags (fortified functions, stack protector, full RELRO, PIE): these two
# programs face every PC of the café.
export DEB_BUILD_MAINT_OPTIONS=hardening=+all
cxxflags="$(dpkg-buildflags --get CPPFLAGS) $(dpkg-buildflags --get CXXFLAGS)"
ldflags=$(dpkg-buildflags --get LDFLAGS)
cmake -S "$top" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX=/usr \
  -DBUILD_TESTING=OFF -DCMAKE_CXX_FLAGS="$cxxflags" -DCMAKE_EXE_LINKER_FLAGS="$ldflags" \
  "${launcher[@]}" >/dev/null
cmake --build "$build" --target zelko-mgmtd zelko-diskd -j"${ZELKO_JOBS:-2}" >/dev/null

rm -rf "$stage"
DESTDIR="$stage" cmake --install "$build" --strip >/dev/null

version=$(sed -n 's/^ZELKO_VERSION:INTERNAL=//p' "$build/CMakeCache.txt")
arch=$(dpkg --print-architecture)
doc="$stage/usr/share/doc/zelko-server"
# A native package (the project builds it from its own tree): its changelog is changelog.gz.
sed "s/@VERSION@/$version/" "$top/packaging/debian/changelog" | gzip -9n >"$doc/changelog.gz"
gzip -9nf "$stage"/usr/share/man/man8/*.8

# Shared-library dependencies as dpkg-shlibdeps finds them (it wants a debian/control to sit in).
shl=$(mktemp -d)
trap 'rm -rf "$shl"' EXIT
mkdir -p "$shl/debian"
printf 'Source: zelko\n\nPackage: zelko-server\nArchitecture: any\n' >"$shl/debian/control"
shlibs=$(cd "$shl" && dpkg-shlibdeps -O -e"$stage/usr/sbin/zelko-mgmtd" -e"$stage/usr/sbin/zelko-diskd" 2>/dev/null |
  sed -n 's/^shlibs:Depends=//p')

mkdir -p "$stage/DEBIAN"
size=$(du -sk --exclude=DEBIAN "$stage" | cut -f1)
sed -e "s/@VERSION@/$version/" -e "s/@ARCH@/$arch/" -e "s/@SIZE@/$size/" -e "s/@SHLIBS@/$shlibs/" \
  "$top/packaging/debian/control.in" >"$stage/DEBIAN/control"
install -m 0755 "$top/packaging/debian/postinst" "$top/packaging/debian/prerm" "$top/packaging/debian/postrm" \
  "$stage/DEBIAN/"
(cd "$stage" && find etc -type f | sed 's|^|/|' | sort) >"$stage/DEBIAN/conffiles"
(cd "$stage" && find . -path ./DEBIAN -prune -o -type f -printf '%P\0' | sort -z | xargs -0 md5sum) \
  >"$stage/DEBIAN/md5sums"
chmod 0644 "$stage/DEBIAN/control" "$stage/DEBIAN/conffiles" "$stage/DEBIAN/md5sums"

deb="$out/zelko-server_${version}_${arch}.deb"
dpkg-deb --root-owner-group -Zxz --build "$stage" "$deb" >/dev/null
echo "$deb"
