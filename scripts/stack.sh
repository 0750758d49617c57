#!/usr/bin/env bash
# Builds the network stack every build of the Core links statically: libcurl with OpenSSL,
# nghttp2, ngtcp2 + nghttp3 (HTTP/3 over OpenSSL's QUIC API), libidn2 and the zlib, brotli and
# zstd codecs, and the Boost headers of Asio and Beast, each from the upstream tarball of the
# Debian source package pinned in scripts/stack.lock, with the patches of patches/<part>/
# applied in order (each says what it changes, why, whether it suits upstream, and its test). The tarball's URL comes from the archive's Sources index (a private apt
# configuration: the system's sources stay as they are) and its sha256 must match the lock.
# Everything is static and position-independent, built once into
#   ${CORVINA_STACK_CACHE:-~/.cache/corvina-stack}/<hash of the lock, the patches and this script>/prefix
# which is outside the tree, so a fresh clone reuses it. Verified tarballs are kept in
# <cache>/tarballs, as the mirror is not always complete. Each part's build log is kept in
# <cache>/<hash>/logs. Prints the prefix on its last line.
#
# CORVINA_STACK_TARGET=<arch>-linux-gnu.<glibc> (x86_64-linux-gnu.2.17, aarch64-linux-gnu.2.17)
# builds it with zig (build/venv's ziglang) for that CPU and glibc instead of the host's
# compilers, for the manylinux wheels. The prefix then holds the toolchain too (toolchain/cc,
# c++, ar, ranlib and toolchain.cmake) with which the Core and the module are built.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
lock="$root/scripts/stack.lock"
jobs=${JOBS:-2}
cache=${CORVINA_STACK_CACHE:-$HOME/.cache/corvina-stack}
target=${CORVINA_STACK_TARGET:-}
zig=
if [ -n "$target" ]; then
  zig=$("$root/build/venv/bin/python" -c 'import os, ziglang; print(os.path.dirname(ziglang.__file__))')/zig
  [ -x "$zig" ] || { echo "stack: no zig in build/venv (scripts/venv.sh installs it)" >&2; exit 1; }
fi
patches() { # part: its patch files, in the order they apply
  find "$root/patches/$1" -maxdepth 1 -name '*.patch' 2>/dev/null | sort
}
hash=$( (cat "$lock" "$root/scripts/stack.sh"; find "$root/patches" -name '*.patch' | sort |
  xargs -r cat; [ -z "$target" ] || echo "$target $("$zig" version)") | sha256sum | cut -c1-16)
work="$cache/$hash"
prefix="$work/prefix"

die() { echo "stack: $*" >&2; exit 1; }

if [ -f "$prefix/.done" ]; then
  echo "$prefix"
  exit 0
fi
mkdir -p "$work" "$cache/tarballs"
# Two builds started at once (the suite and the wheel, say) share one stack build.
exec 9>"$work/.lock"
flock 9
if [ -f "$prefix/.done" ]; then
  echo "$prefix"
  exit 0
fi

declare -A suite version tarball sha256
parts=()
while read -r pkg s v t h; do
  case $pkg in '' | '#'*) continue ;; esac
  parts+=("$pkg")
  suite[$pkg]=$s version[$pkg]=$v tarball[$pkg]=$t sha256[$pkg]=$h
done <"$lock"

apt_dir="$cache/apt"
keyring=/usr/share/keyrings/debian-archive-keyring.gpg
apt_opts=(-o "Dir::Etc::SourceList=$apt_dir/sources.list" -o Dir::Etc::SourceParts=/dev/null
  -o "Dir::State::Lists=$apt_dir/lists" -o Dir::Cache::pkgcache= -o Dir::Cache::srcpkgcache=
  -o APT::Sandbox::User=root)
apt_updated=
apt_update() {
  [ -z "$apt_updated" ] || return 0
  mkdir -p "$apt_dir/lists/partial"
  printf 'deb-src [signed-by=%s] http://deb.debian.org/debian %s main\n' \
    "$keyring" bookworm "$keyring" trixie "$keyring" trixie-backports "$keyring" sid \
    >"$apt_dir/sources.list"
  apt-get -qq "${apt_opts[@]}" update >"$work/apt-update.log" 2>&1 ||
    die "apt-get update failed; see $work/apt-update.log"
  apt_updated=1
}

offered() { # package, suite: the versions of the package that suite's Sources index lists
  local f
  for f in "$apt_dir"/lists/*_dists_"$2"_main_source_Sources*; do
    [ -e "$f" ] && /usr/lib/apt/apt-helper cat-file "$f"
  done | awk -v p="$1" '/^Package: /{ok = ($2 == p)} ok && /^Version: /{print $2}'
}

fetch() { # package: the verified upstream tarball, from the cache or the archive
  local pkg=$1 file="$cache/tarballs/${tarball[$1]}" line url size idx now
  if [ -f "$file" ] && echo "${sha256[$pkg]}  $file" | sha256sum -c --status; then
    return 0
  fi
  apt_update
  if ! offered "$pkg" "${suite[$pkg]}" | grep -qxF "${version[$pkg]}"; then
    now=$(offered "$pkg" "${suite[$pkg]}" | sort -V | tail -1)
    die "$pkg ${version[$pkg]} has left ${suite[$pkg]}, which now offers ${now:-no $pkg}"
  fi
  line=$(apt-get -qq "${apt_opts[@]}" --print-uris source "$pkg=${version[$pkg]}" 2>/dev/null |
    awk -v t="${tarball[$pkg]}" '$2 == t') || true
  [ -n "$line" ] || die "$pkg ${version[$pkg]}: no ${tarball[$pkg]} in the Sources index"
  read -r url _ size idx <<<"$line"
  url=${url//\'/}
  [ "$idx" = "SHA256:${sha256[$pkg]}" ] ||
    die "$pkg ${version[$pkg]}: the index gives ${tarball[$pkg]} as $idx, the lock as ${sha256[$pkg]}"
  curl -fsSL --retry 3 -o "$file.part" "$url" || die "cannot download $url"
  echo "${sha256[$pkg]}  $file.part" | sha256sum -c --status ||
    die "${tarball[$pkg]}: sha256 mismatch (expected ${sha256[$pkg]}, got $(sha256sum <"$file.part" | cut -c1-64))"
  [ "$(stat -c %s "$file.part")" = "$size" ] || die "${tarball[$pkg]}: not $size bytes"
  mv "$file.part" "$file"
}

for pkg in "${parts[@]}"; do fetch "$pkg"; done

# A part that built stays built: a failed or interrupted run resumes at the part that failed.
mkdir -p "$work/src" "$work/build" "$work/logs" "$work/parts" "$prefix/lib/pkgconfig"
export PKG_CONFIG_LIBDIR="$prefix/lib/pkgconfig" # only the stack's own .pc files
export CFLAGS="-O2 -fPIC" CXXFLAGS="-O2 -fPIC"
arch=$(uname -m)
host_args=()   # autotools: --host when cross-building
cmake_args=()  # cmake: the toolchain file
if [ -n "$target" ]; then
  arch=${target%%-*}
  tc="$prefix/toolchain"
  mkdir -p "$tc"
  for tool in cc c++; do
    printf '#!/bin/sh\nexec "%s" %s -target %s "$@"\n' "$zig" "$tool" "$target" >"$tc/$tool"
  done
  for tool in ar ranlib; do
    printf '#!/bin/sh\nexec "%s" %s "$@"\n' "$zig" "$tool" >"$tc/$tool"
  done
  chmod +x "$tc"/*
  # Another CPU is a cross build; the stack is searched before anything of the host's.
  cross=""
  [ "$arch" = "$(uname -m)" ] || cross="set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR $arch)"
  cat >"$tc/toolchain.cmake" <<TOOLCHAIN
$cross
set(CMAKE_C_COMPILER $tc/cc)
set(CMAKE_CXX_COMPILER $tc/c++)
set(CMAKE_AR $tc/ar CACHE FILEPATH "")
set(CMAKE_RANLIB $tc/ranlib CACHE FILEPATH "")
set(CMAKE_FIND_ROOT_PATH $prefix)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
TOOLCHAIN
  export CC="$tc/cc" CXX="$tc/c++" AR="$tc/ar" RANLIB="$tc/ranlib"
  [ "$arch" = "$(uname -m)" ] || host_args=(--host="$arch-linux-gnu")
  cmake_args=(-DCMAKE_TOOLCHAIN_FILE="$tc/toolchain.cmake")
fi
src=""
log=""

run() { # command...: appended to the current part's log; a failure shows its tail
  if ! "$@" >>"$log" 2>&1; then
    tail -25 "$log" >&2
    die "building $(basename "$log" .log) failed; see $log"
  fi
}

cmake_part() { # cmake args...
  local dir="$work/build/$pkg"
  run cmake -S "$src" -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_INSTALL_PREFIX="$prefix" -DCMAKE_INSTALL_LIBDIR=lib -DCMAKE_PREFIX_PATH="$prefix" \
    -DCMAKE_POSITION_INDEPENDENT_CODE=ON -DBUILD_SHARED_LIBS=OFF -DBUILD_TESTING=OFF \
    -DOPENSSL_ROOT_DIR="$prefix" -DOPENSSL_USE_STATIC_LIBS=ON \
    -DCMAKE_POLICY_VERSION_MINIMUM=3.5 -Wno-dev "${cmake_args[@]}" "$@"
  run cmake --build "$dir" -j"$jobs"
  run cmake --install "$dir"
}

# Header-only: the Boost libraries that Asio and Beast reach, each whole, from the release's
# modular tree (libs/<library>/include). The compilers that build the Core say which (the
# host's, and zig's for a wheel target: each reaches a few headers of its own).
build_boost() {
  local probe="$work/build/boost-probe.cpp" deps="$work/build/boost.deps" incs=() dir cxx lib
  mkdir -p "$work/build"
  printf '#include <boost/%s>\n' asio.hpp asio/ssl.hpp beast.hpp beast/ssl.hpp \
    beast/websocket.hpp beast/websocket/ssl.hpp system.hpp version.hpp >"$probe"
  for dir in "$src"/libs/*/include "$src"/libs/*/*/include; do
    if [ -d "$dir/boost" ]; then incs+=(-I"$dir"); fi
  done
  : >"$deps"
  for cxx in c++ ${CXX:+"$CXX"}; do
    run "$cxx" -std=c++20 -M -MF "$deps.part" "${incs[@]}" -I"$prefix/include" "$probe"
    cat "$deps.part" >>"$deps"
  done
  rm -rf "$prefix/include/boost"
  for lib in $(tr ' \\' '\n\n' <"$deps" | sed -n "s|^$src/libs/\(.*\)/include/boost/.*|\1|p" |
    sort -u); do
    echo "boost: $lib" >>"$log"
    cp -r "$src/libs/$lib/include/boost" "$prefix/include/"
  done
  [ -f "$prefix/include/boost/beast/websocket.hpp" ] || die "no Beast among the Boost headers"
}

build_zlib() {
  cd "$src" && run ./configure --static --prefix="$prefix" && run make -j"$jobs" install
}

build_brotli() {
  cmake_part -DBROTLI_DISABLE_TESTS=ON
}

build_libzstd() {
  run make -C "$src/lib" -j"$jobs" PREFIX="$prefix" CFLAGS="-O3 -fPIC" CC="${CC:-cc}" AR="${AR:-ar}" \
    install-static install-includes install-pc
}

build_libunistring() {
  cd "$src" && run ./configure --prefix="$prefix" --disable-shared --enable-static --with-pic \
    --disable-rpath "${host_args[@]}" && run make -j"$jobs" && run make install
}

# The tarball is a snapshot of the repository, whose build system needs gnulib's bootstrap; the
# library itself is a dozen files over libunistring, built here directly.
build_libidn2() {
  local b="$work/build/libidn2" lib="$src/lib" v=${version[libidn2]%%-*} major minor patch f c
  local objs=()
  IFS=. read -r major minor patch <<<"$v"
  mkdir -p "$b" && cd "$b"
  printf '%s\n' '#define _GNU_SOURCE 1' '#define HAVE_LIBUNISTRING 1' \
    '#define _GL_ATTRIBUTE_CONST __attribute__ ((__const__))' \
    '#define _GL_ATTRIBUTE_PURE __attribute__ ((__pure__))' >config.h
  echo 'extern const char version_etc_copyright[];' >version-etc.h
  sed -e "s/@VERSION@/$v/" -e "s/@MAJOR_VERSION@/$major/" -e "s/@MINOR_VERSION@/$minor/" \
    -e "s/@PATCH_VERSION@/$patch/" \
    -e "s/@NUMBER_VERSION@/$(printf '0x%02x%02x%04x' "$major" "$minor" "$patch")/" \
    "$lib/idn2.h.in" >idn2.h
  run cc -O2 -I. -I"$lib" -DSRCDIR="\"$lib\"" "$lib/gendata.c" -o gendata
  run cc -O2 -I. -I"$lib" -DSRCDIR="\"$lib\"" "$lib/gentr46map.c" -o gentr46map
  ./gendata <"$lib/Idna2008.txt" >data.c
  ./gentr46map >tr46map_data.c
  for f in idna lookup decode register bidi version error punycode free tr46map tables context \
    "$b/data"; do
    case $f in /*) c=$f.c ;; *) c=$lib/$f.c ;; esac
    run "${CC:-cc}" $CFLAGS -DIDN2_BUILDING -DHAVE_VISIBILITY=1 -fvisibility=hidden -I. -I"$lib" \
      -I"$prefix/include" -c "$c" -o "$(basename "$f").o"
    objs+=("$(basename "$f").o")
  done
  rm -f "$prefix/lib/libidn2.a"
  run "${AR:-ar}" rcs "$prefix/lib/libidn2.a" "${objs[@]}"
  cp idn2.h "$prefix/include/"
  printf '%s\n' "prefix=$prefix" 'libdir=${prefix}/lib' 'includedir=${prefix}/include' '' \
    'Name: libidn2' 'Description: IDNA2008 and TR46 host name conversion' "Version: $v" \
    'Cflags: -I${includedir}' 'Libs: -L${libdir} -lidn2 -lunistring' \
    >"$prefix/lib/pkgconfig/libidn2.pc"
}

# OPENSSLDIR is Debian's, as with the libssl the system-libcurl build uses; CA certificates
# are found by the Core itself (KESTRIN_PORTABLE_CA).
build_openssl() {
  cd "$src" && run ./Configure "linux-$arch" --prefix="$prefix" --libdir=lib \
    --openssldir=/usr/lib/ssl no-shared no-docs no-tests no-apps -fPIC &&
    run make -j"$jobs" build_libs && run make install_dev
}

build_nghttp2() {
  cmake_part -DENABLE_LIB_ONLY=ON -DBUILD_STATIC_LIBS=ON -DENABLE_DOC=OFF -DWITH_LIBXML2=OFF \
    -DWITH_JEMALLOC=OFF -DENABLE_HTTP3=OFF
}

build_nghttp3() {
  cmake_part -DENABLE_LIB_ONLY=ON -DENABLE_SHARED_LIB=OFF -DENABLE_STATIC_LIB=ON
}

build_ngtcp2() {
  cmake_part -DENABLE_LIB_ONLY=ON -DENABLE_SHARED_LIB=OFF -DENABLE_STATIC_LIB=ON \
    -DENABLE_OPENSSL=ON -DENABLE_GNUTLS=OFF -DENABLE_BORINGSSL=OFF -DENABLE_PICOTLS=OFF \
    -DENABLE_WOLFSSL=OFF
  [ -f "$prefix/lib/libngtcp2_crypto_ossl.a" ] || die "ngtcp2 built without its OpenSSL backend"
}

# HTTP only, as the Core uses it; the curl tool too, as a reference for measurements (not for
# another CPU, where its features are read from curl-config instead of running it). The
# tool's link names OpenSSL before the QUIC crypto library that needs it: OpenSSL and ngtcp2
# come again at the end of every link line.
build_curl() {
  local l="$prefix/lib" feature native=ON
  [ "$arch" = "$(uname -m)" ] || native=OFF
  cmake_part -DBUILD_STATIC_LIBS=ON -DBUILD_CURL_EXE=$native -DBUILD_STATIC_CURL=ON \
    -DCMAKE_C_STANDARD_LIBRARIES="$l/libngtcp2.a $l/libssl.a $l/libcrypto.a -ldl -lpthread" \
    -DBUILD_LIBCURL_DOCS=OFF -DBUILD_MISC_DOCS=OFF -DENABLE_CURL_MANUAL=OFF -DBUILD_EXAMPLES=OFF \
    -DCURL_USE_PKGCONFIG=ON -DHTTP_ONLY=ON -DCURL_DISABLE_LDAP=ON -DCURL_DISABLE_LDAPS=ON \
    -DCURL_USE_OPENSSL=ON -DUSE_NGHTTP2=ON -DUSE_NGTCP2=ON -DUSE_LIBIDN2=ON \
    -DCURL_ZLIB=ON -DCURL_BROTLI=ON -DCURL_ZSTD=ON -DCURL_USE_LIBPSL=OFF \
    -DCURL_USE_LIBSSH2=OFF -DCURL_USE_LIBSSH=OFF -DCURL_USE_GSSAPI=OFF -DUSE_LIBRTMP=OFF \
    -DENABLE_ARES=OFF -DENABLE_THREADED_RESOLVER=ON \
    -DCURL_CA_BUNDLE=/etc/ssl/certs/ca-certificates.crt -DCURL_CA_PATH=/etc/ssl/certs
  if [ $native = ON ]; then
    run "$prefix/bin/curl" --version
  else
    echo "Features: $("$prefix/bin/curl-config" --features | tr '\n' ' ')" >>"$log"
  fi
  for feature in HTTP2 HTTP3 IDN brotli zstd libz threadsafe; do
    grep -q "^Features:.* $feature\b" "$log" || die "the built libcurl lacks $feature; see $log"
  done
}

for pkg in "${parts[@]}"; do
  [ ! -f "$work/parts/$pkg" ] || continue
  rm -rf "${work:?}/src/$pkg" "$work/build/$pkg"
  mkdir -p "$work/src/$pkg"
  log="$work/logs/$pkg.log"
  : >"$log"
  echo "stack: $pkg ${version[$pkg]}" >&2
  tar -xf "$cache/tarballs/${tarball[$pkg]}" -C "$work/src/$pkg"
  src=$(find "$work/src/$pkg" -mindepth 1 -maxdepth 1 -type d | head -1)
  part=$pkg
  case $pkg in boost1.*) part=boost ;; esac
  for patch in $(patches "$part"); do
    echo "patch: $(basename "$patch")" >>"$log"
    run patch -d "$src" -p1 --forward --batch -i "$patch"
  done
  (build_"$part")
  touch "$work/parts/$pkg"
done

rm -rf "$work/src" "$work/build"
touch "$prefix/.done"
echo "$prefix"
