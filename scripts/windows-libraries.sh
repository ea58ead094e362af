#!/usr/bin/env bash
# Builds JsonCpp and libmicrohttpd for 64-bit Windows from Debian's source
# packages, with Debian's mingw-w64, into one install folder:
#   windows-libraries.sh <install folder>      (e.g. build-windows/third-party)
# The folder ends up with include/, lib/ (libjsoncpp.a, the libmicrohttpd
# import library), bin/ (the libmicrohttpd DLL) and notices/ (what travels
# with the programs in the release zip: licences, versions, libmicrohttpd's
# source). A stamp file,
# written last, names the versions and this script's checksum; when it is
# there and names them, nothing is done. Fetched sources and builds stay under the build
# tree and are never committed.
#
# Integrity: `apt-get source` takes the .dsc and the tarballs from the archive
# only after checking each file's size and SHA-256 against the Sources index,
# whose hashes are in the Release file that apt verified against Debian's
# archive keyring (the Signed-By of the sources entry). dpkg-source checks the
# tarballs once more against the .dsc's own checksums before unpacking. Any
# mismatch fails the download or the unpacking, and so this script. (That
# dpkg-source cannot check the .dsc's own signature, for want of the Debian
# developers' keyring, is only a warning: apt has checked the file already.)
set -euo pipefail

jsoncpp_version=1.9.5-4
mhd_version=0.9.75-6
triple=x86_64-w64-mingw32

[[ $# -eq 1 ]] || { echo "usage: $0 <install folder>" >&2; exit 2; }
root=$(cd "$(dirname "$0")/.." && pwd)
mkdir -p "$1"
prefix=$(cd "$1" && pwd)
stamp="$prefix/.complete"
want="libjsoncpp $jsoncpp_version, libmicrohttpd $mhd_version, by script $(sha256sum <"$0" | cut -c1-12)"
if [[ -f $stamp && $(cat "$stamp") == "$want" ]]; then
  echo "Windows libraries: $want already built in $prefix"
  exit 0
fi
rm -rf "$prefix"/{include,lib,bin,notices}
mkdir -p "$prefix"/{include,lib,bin,notices}
work="$prefix.work"
rm -rf "$work"
mkdir -p "$work"
cd "$work"
trap 'echo "Windows libraries: build failed; its logs:" >&2; tail -n 25 "$work"/*.log >&2 2>/dev/null' ERR

# apt-get source needs deb-src entries. Debian 12 images carry only "deb"
# ones (deb822 files in sources.list.d, or one-line entries in sources.list):
# add the same archives, suites and keys as deb-src, once.
has_deb_src() {
  grep -Eqs '^[[:space:]]*(deb-src[[:space:]]|Types:.*deb-src)' /etc/apt/sources.list /etc/apt/sources.list.d/*.list \
    /etc/apt/sources.list.d/*.sources
}
if ! has_deb_src; then
  [[ $(id -u) -eq 0 ]] || { echo "no deb-src entries in apt's sources; run once as root to add them" >&2; exit 1; }
  added=/etc/apt/sources.list.d/vantrel-deb-src
  for f in /etc/apt/sources.list.d/*.sources; do
    [[ -f $f ]] && grep -Eq '^URIs:.*debian' "$f" || continue
    sed -e 's/^Types:[[:space:]]*deb[[:space:]]*$/Types: deb-src/' "$f"
    echo
  done >"$work/deb-src.sources"
  mv "$work/deb-src.sources" "$added.sources"
  grep -Eh '^[[:space:]]*deb[[:space:]].*debian' /etc/apt/sources.list 2>/dev/null |
    sed -e 's/^[[:space:]]*deb /deb-src /' >"$added.list" || true
  [[ -s $added.list ]] || rm -f "$added.list"
  grep -q '^Types: deb-src' "$added.sources" || rm -f "$added.sources"
  has_deb_src || { echo "could not add deb-src entries for Debian's archive" >&2; exit 1; }
  echo "Added deb-src entries for Debian's archive"
  apt-get update -q
fi
known=$(apt-cache showsrc libjsoncpp libmicrohttpd 2>/dev/null | grep '^Version:' || true)
if ! grep -qx "Version: $jsoncpp_version" <<<"$known" || ! grep -qx "Version: $mhd_version" <<<"$known"; then
  apt-get update -q
fi

echo "Fetching libjsoncpp $jsoncpp_version and libmicrohttpd $mhd_version (source packages)"
apt-get source -q --download-only "libjsoncpp=$jsoncpp_version" "libmicrohttpd=$mhd_version"
jsoncpp_src=jsoncpp-${jsoncpp_version%-*}
mhd_src=libmicrohttpd-${mhd_version%-*}
dpkg-source -x "libjsoncpp_${jsoncpp_version}.dsc" "$jsoncpp_src" >/dev/null
dpkg-source -x "libmicrohttpd_${mhd_version}.dsc" "$mhd_src" >/dev/null

jobs=$(nproc)
echo "Building JsonCpp for $triple"
cmake -S "$jsoncpp_src" -B jsoncpp-build -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-x86_64.cmake" \
  -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX="$prefix" \
  -DBUILD_SHARED_LIBS=OFF -DBUILD_STATIC_LIBS=ON -DBUILD_OBJECT_LIBS=OFF \
  -DJSONCPP_WITH_TESTS=OFF -DJSONCPP_WITH_POST_BUILD_UNITTEST=OFF \
  -DJSONCPP_WITH_PKGCONFIG_SUPPORT=OFF -DJSONCPP_WITH_CMAKE_PACKAGE=OFF >jsoncpp-configure.log
cmake --build jsoncpp-build -j"$jobs" >jsoncpp-build.log
cmake --install jsoncpp-build >/dev/null

# No TLS: the monitor's web interface speaks plain HTTP. Windows threads, so
# the DLL needs no threads library of its own; the C runtime support linked
# in statically, so it needs no MinGW DLL either.
echo "Building libmicrohttpd for $triple"
(
  cd "$mhd_src"
  ./configure -q --host=$triple --prefix="$prefix" --disable-https --with-threads=auto \
    --enable-shared --disable-static --disable-doc --disable-examples --disable-curl \
    --disable-nls CC=$triple-gcc-win32 CFLAGS=-O2 LDFLAGS=-static-libgcc >../mhd-configure.log
  make -j"$jobs" -C src/microhttpd >../mhd-build.log
  make -C src/microhttpd install >/dev/null
  make -C src/include install >/dev/null
)

# What travels with the programs in the release zip: the licence texts of
# everything linked in or shipped beside them, and libmicrohttpd's complete
# source (the source package as fetched), as its licence (LGPL-2.1) asks of
# whoever hands on the DLL.
notices="$prefix/notices"
cp "$jsoncpp_src/LICENSE" "$notices/jsoncpp-LICENSE.txt"
cp "$mhd_src/COPYING" "$notices/libmicrohttpd-COPYING.txt"
cp /usr/share/doc/mingw-w64-x86-64-dev/copyright "$notices/mingw-w64-runtime-copyright.txt"
cp /usr/share/doc/gcc-mingw-w64-base/copyright "$notices/gcc-runtime-copyright.txt"
mkdir "$notices/libmicrohttpd-source"
cp libmicrohttpd_"${mhd_version}".dsc libmicrohttpd_"${mhd_version%-*}".orig.tar.* \
  libmicrohttpd_"${mhd_version}".debian.tar.* "$notices/libmicrohttpd-source/"
gcc_version=$(dpkg-query -W -f='${Version}' gcc-mingw-w64-base)
runtime_version=$(dpkg-query -W -f='${Version}' mingw-w64-x86-64-dev)
cat >"$notices/SOURCES.txt" <<EOF
Third-party software in this package

libmicrohttpd $mhd_version (Debian 12 source package; LGPL-2.1 or later, see
libmicrohttpd-COPYING.txt): the file libmicrohttpd-12.dll, built from that
source as it stands (Debian's patches applied) with
  ./configure --host=$triple --disable-https
Its complete source is in libmicrohttpd-source/ (unpack with
"dpkg-source -x libmicrohttpd_$mhd_version.dsc"). You may replace the DLL
with your own build of the library.

JsonCpp $jsoncpp_version (Debian 12 source package libjsoncpp; MIT, see
jsoncpp-LICENSE.txt): linked into the programs.

The MinGW-w64 runtime and winpthreads (Debian package mingw-w64-x86-64-dev
$runtime_version; see mingw-w64-runtime-copyright.txt) and GCC's libgcc and
libstdc++ (Debian package gcc-mingw-w64-base $gcc_version,
GPL-3 with the GCC Runtime Library Exception; see gcc-runtime-copyright.txt):
linked into the programs.
EOF

cd "$prefix"
rm -rf "$work"
echo "$want" >"$stamp"
echo "Windows libraries: $want built in $prefix"
