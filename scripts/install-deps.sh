#!/usr/bin/env bash
# System packages for building and testing; installs only what is missing. The network stack
# the builds link comes from scripts/stack.sh (perl, xz-utils, patch and curl build and fetch it);
# libcurl4-openssl-dev and libssl-dev serve the check that the Core still builds against the
# system's libcurl, and the codecs' -dev packages the tests that compress bodies. libffi-dev
# gives the free-threaded CPython of scripts/freethreaded.sh its ctypes, which the tests use;
# libnss-wrapper a test its own hosts file, for a name with two addresses; caddy a second
# HTTP/3 server (quic-go) beside hypercorn.
set -euo pipefail
packages=(
  build-essential g++-multilib cmake ninja-build pkg-config perl xz-utils patch
  libcurl4-openssl-dev libssl-dev zlib1g-dev libbrotli-dev libzstd-dev
  libffi-dev libboost1.81-dev libgtest-dev googletest unicode-data
  nginx-light tinyproxy dante-server openssl curl nodejs node-ws libnss-wrapper caddy clang-14 libclang-rt-14-dev
)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ "${#missing[@]}" -gt 0 ]; then
  sudo=""
  [ "$(id -u)" -eq 0 ] || sudo="sudo"
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
