#!/usr/bin/env bash
# Builds a free-threaded CPython (--disable-gil, no PGO) for the module's free-threaded build and
# its tests: the newest of scripts/freethreaded.lock whose tarball Debian's archive serves, checked
# against the lock's sha256. Built once into
#   ${CORVINA_PYTHON_CACHE:-~/.cache/corvina-python}/<hash>-<flavour>/prefix
# outside the tree, so a fresh clone reuses it; verified tarballs are kept in <cache>/tarballs.
# Prints the interpreter's path on its last line.
#
#   scripts/freethreaded.sh         the interpreter
#   scripts/freethreaded.sh tsan    the same, built with ThreadSanitizer (--with-thread-sanitizer)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
lock="$root/scripts/freethreaded.lock"
flavour=${1:-plain}
jobs=${JOBS:-2}
cache=${CORVINA_PYTHON_CACHE:-$HOME/.cache/corvina-python}
pool=http://deb.debian.org/debian/pool/main/p
die() { echo "freethreaded: $*" >&2; exit 1; }

case $flavour in
plain) extra=() ;;
tsan) extra=(--with-thread-sanitizer) ;;
*) die "unknown flavour $flavour (plain or tsan)" ;;
esac

mkdir -p "$cache/tarballs"
# The first line whose tarball is here or can be had: the archive lists versions before it
# serves them, and the script moves up by itself once it does.
chosen=
while read -r pkg ver tarball sha; do
  case $pkg in '' | '#'*) continue ;; esac
  file="$cache/tarballs/$tarball"
  if ! { [ -f "$file" ] && echo "$sha  $file" | sha256sum -c --status; }; then
    curl -fsSL --retry 2 -o "$file.part" "$pool/$pkg/$tarball" 2>/dev/null || { rm -f "$file.part"; continue; }
    echo "$sha  $file.part" | sha256sum -c --status ||
      die "$tarball: sha256 mismatch (expected $sha, got $(sha256sum <"$file.part" | cut -c1-64))"
    mv "$file.part" "$file"
  fi
  chosen="$ver $tarball $sha"
  break
done <"$lock"
[ -n "$chosen" ] || die "the archive serves none of the tarballs in $lock"
read -r ver tarball sha <<<"$chosen"

hash=$( (echo "$chosen $flavour"; cat "$root/scripts/freethreaded.sh") | sha256sum | cut -c1-16)
work="$cache/$hash-$flavour"
prefix="$work/prefix"
python="$prefix/bin/python${ver%.*}t"
if [ -f "$prefix/.done" ]; then
  echo "$python"
  exit 0
fi
mkdir -p "$work"
exec 9>"$work/.lock"
flock 9
if [ -f "$prefix/.done" ]; then
  echo "$python"
  exit 0
fi

rm -rf "$work/src" "$prefix"
mkdir -p "$work/src"
tar -xJf "$cache/tarballs/$tarball" -C "$work/src" --strip-components=1
log="$work/build.log"
echo "freethreaded: building CPython $ver ($flavour) into $prefix; log in $log" >&2
(
  cd "$work/src"
  ./configure --prefix="$prefix" --disable-gil --with-ensurepip=install "${extra[@]}" &&
    make -j"$jobs" &&
    make install
) >"$log" 2>&1 || die "CPython $ver failed to build; see $log"
"$python" -c 'import sys, ssl, ctypes, asyncio; assert not sys._is_gil_enabled()' ||
  die "the built interpreter is not free-threaded or lacks ssl, ctypes or asyncio"
rm -rf "$work/src"
touch "$prefix/.done"
echo "$python"
