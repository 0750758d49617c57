#!/usr/bin/env bash
# Builds pycurl from source into a venv, linked statically against the pinned network stack
# (the same libcurl, OpenSSL, nghttp2 and QUIC libraries as the Core), so S1 compares the two
# clients on one libcurl. Usage: bench/pycurl-on-stack.sh <venv> [pycurl version]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
venv=$(cd "${1:?venv}" && pwd)
version=${2:-7.49.0}
stack=$("$root/scripts/stack.sh" | tail -1)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
libs=""
for l in curl idn2 unistring ssl crypto z brotlidec brotlicommon zstd nghttp2 ngtcp2_crypto_ossl \
  ngtcp2 nghttp3; do
  libs+="${libs:+,}$stack/lib/lib$l.a"
done
# pycurl takes its link line from curl-config --libs and adds -lssl -lcrypto itself: the -L
# makes those the stack's archives too, and the hidden, self-bound symbols keep the system's
# OpenSSL out of it.
cat >"$work/curl-config" <<CFG
#!/bin/sh
if [ "\$1" = "--libs" ]; then
  echo "-L$stack/lib -Wl,--start-group,$libs,--end-group -Wl,-Bsymbolic -Wl,--exclude-libs,ALL -lpthread -ldl"
  exit 0
fi
exec "$stack/bin/curl-config" "\$@"
CFG
chmod +x "$work/curl-config"
"$venv/bin/pip" download -q --no-deps --no-binary :all: "pycurl==$version" -d "$work"
tar xzf "$work/pycurl-$version.tar.gz" -C "$work"
(cd "$work/pycurl-$version" && PYCURL_CURL_CONFIG="$work/curl-config" PYCURL_SSL_LIBRARY=openssl \
  "$venv/bin/pip" install -q --force-reinstall --no-deps .)
"$venv/bin/python" -c "import pycurl; print(pycurl.version)"
