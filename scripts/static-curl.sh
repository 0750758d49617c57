#!/usr/bin/env bash
# Builds the libcurl the wheel's Core links statically, from Debian's pinned sources of the
# libcurl the normal build uses, configured with only what the Core uses (HTTP/1.1, HTTP/2,
# OpenSSL, HTTP/HTTPS/SOCKS proxies, zlib, brotli, zstd). nghttp2 is built too: Debian's
# libnghttp2.a is not position-independent. Its libssl.a, libcrypto.a, libbrotli*.a, libz.a and
# the parts of libzstd.a that libcurl uses are, and are linked as they are. Built once, cached
# under build/static-curl. Prints the install prefix on its last line.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
curl_version=7.88.1-10+deb12u15
nghttp2_version=1.52.0-1+deb12u3
work="$root/build/static-curl"
prefix="$work/prefix-curl$curl_version-nghttp2$nghttp2_version"
jobs=${JOBS:-2}

if [ -f "$prefix/.done" ]; then
  echo "$prefix"
  exit 0
fi
mkdir -p "$work"

# A private apt configuration with deb-src entries: the system's sources stay as they are.
apt_dir="$work/apt"
keyring=/usr/share/keyrings/debian-archive-keyring.gpg
apt_opts=(-o "Dir::Etc::SourceList=$apt_dir/sources.list" -o Dir::Etc::SourceParts=/dev/null
  -o "Dir::State::Lists=$apt_dir/lists" -o Dir::Cache::pkgcache= -o Dir::Cache::srcpkgcache=
  -o APT::Sandbox::User=root)
fetch() { # source package, version; prints the unpacked tree
  local dir="$work/src/$1-$2"
  if [ ! -f "$dir/.done" ]; then
    if [ ! -d "$apt_dir/lists" ]; then
      mkdir -p "$apt_dir/lists/partial"
      printf 'deb-src [signed-by=%s] http://deb.debian.org/debian%s main\n' \
        "$keyring" " bookworm" "$keyring" "-security bookworm-security" >"$apt_dir/sources.list"
      apt-get -qq "${apt_opts[@]}" update
    fi
    rm -rf "$dir" && mkdir -p "$dir"
    (cd "$dir" && apt-get -qq "${apt_opts[@]}" source "$1=$2" >/dev/null) ||
      { echo "static-curl: cannot fetch Debian's source of $1 $2" >&2; exit 1; }
    touch "$dir/.done"
  fi
  find "$dir" -mindepth 1 -maxdepth 1 -type d | head -1
}

configure() { # source dir, build dir, cmake args...
  local src=$1 dir=$2; shift 2
  rm -rf "$dir"
  cmake -S "$src" -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX="$prefix" \
    -DCMAKE_INSTALL_LIBDIR=lib -DCMAKE_POSITION_INDEPENDENT_CODE=ON \
    -DCMAKE_POLICY_VERSION_MINIMUM=3.5 -DCMAKE_PREFIX_PATH="$prefix" -Wno-dev -Wno-deprecated "$@" >/dev/null
  cmake --build "$dir" -j"$jobs" >/dev/null
  cmake --install "$dir" >/dev/null
}

src=$(fetch nghttp2 "$nghttp2_version") || exit 1
configure "$src" "$work/build-nghttp2" -DENABLE_LIB_ONLY=ON -DENABLE_STATIC_LIB=ON \
  -DENABLE_SHARED_LIB=OFF -DENABLE_DOC=OFF -DWITH_LIBXML2=OFF -DWITH_JEMALLOC=OFF
src=$(fetch curl "$curl_version") || exit 1
configure "$src" "$work/build-curl" -DCMAKE_C_FLAGS="-DCURL_PATCHSTAMP=\\\"$curl_version\\\"" \
  -DBUILD_SHARED_LIBS=OFF -DBUILD_CURL_EXE=OFF -DBUILD_TESTING=OFF -DENABLE_MANUAL=OFF \
  -DHTTP_ONLY=ON -DCURL_DISABLE_LDAP=ON -DCURL_DISABLE_LDAPS=ON \
  -DCURL_USE_OPENSSL=ON -DUSE_NGHTTP2=ON -DCURL_ZLIB=ON -DCURL_BROTLI=ON -DCURL_ZSTD=ON \
  -DNGHTTP2_INCLUDE_DIR="$prefix/include" -DNGHTTP2_LIBRARY="$prefix/lib/libnghttp2.a" \
  -DCURL_USE_LIBSSH2=OFF -DCURL_USE_LIBSSH=OFF -DCURL_USE_GSSAPI=OFF -DUSE_LIBIDN2=OFF \
  -DUSE_LIBRTMP=OFF -DENABLE_THREADED_RESOLVER=ON \
  -DCURL_CA_BUNDLE=/etc/ssl/certs/ca-certificates.crt -DCURL_CA_PATH=/etc/ssl/certs
touch "$prefix/.done"
echo "$prefix"
