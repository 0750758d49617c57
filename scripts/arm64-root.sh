#!/usr/bin/env bash
# An arm64 directory root for testing the aarch64 wheel under user-mode emulation, no binfmt_misc
# needed: Debian bookworm's arm64 CPython 3.11 and the libraries it loads, unpacked with dpkg -x
# (no maintainer scripts run), plus the pure-Python test tools in <root>/opt/site. Built once into
#   ${CORVINA_ARM64_CACHE:-~/.cache/corvina-arm64}/<hash of this script>/root
# and reused. Installs qemu-user-static if missing. Prints the root on its last line; run things in
# it with scripts/arm64-run.sh.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
cache=${CORVINA_ARM64_CACHE:-$HOME/.cache/corvina-arm64}
hash=$(sha256sum "$here/arm64-root.sh" | cut -c1-16)
work="$cache/$hash"
root="$work/root"

die() { echo "arm64-root: $*" >&2; exit 1; }

sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
if ! command -v qemu-aarch64-static >/dev/null; then
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends \
    qemu-user-static >/dev/null
fi

if [ -f "$root/.done" ]; then
  echo "$root"
  exit 0
fi
mkdir -p "$work"
exec 9>"$work/.lock"
flock 9
if [ -f "$root/.done" ]; then
  echo "$root"
  exit 0
fi

# A private apt configuration for arm64 with an empty dpkg status, so that apt resolves the whole
# dependency closure; the host's sources, lists and architectures stay as they are.
apt_dir="$work/apt"
rm -rf "$apt_dir" "$root"
mkdir -p "$apt_dir/lists/partial" "$apt_dir/archives/partial" "$apt_dir/etc/preferences.d" "$root"
: >"$apt_dir/status"
keyring=/usr/share/keyrings/debian-archive-keyring.gpg
{
  echo "deb [arch=arm64 signed-by=$keyring] http://deb.debian.org/debian bookworm main"
  echo "deb [arch=arm64 signed-by=$keyring] http://deb.debian.org/debian bookworm-updates main"
  echo "deb [arch=arm64 signed-by=$keyring] http://deb.debian.org/debian-security bookworm-security main"
} >"$apt_dir/sources.list"
apt_opts=(-o APT::Architecture=arm64 -o APT::Architectures::=arm64
  -o "Dir::Etc::SourceList=$apt_dir/sources.list" -o Dir::Etc::SourceParts=/dev/null
  -o "Dir::Etc::Preferences=/dev/null" -o "Dir::Etc::PreferencesParts=$apt_dir/etc/preferences.d"
  -o "Dir::State::Lists=$apt_dir/lists" -o "Dir::State::status=$apt_dir/status"
  -o "Dir::Cache=$apt_dir" -o "Dir::Cache::archives=$apt_dir/archives"
  -o Dir::Cache::pkgcache= -o Dir::Cache::srcpkgcache=
  -o APT::Install-Recommends=false -o APT::Sandbox::User=root -o Debug::NoLocking=true)
apt-get -qq "${apt_opts[@]}" update >"$work/apt-update.log" 2>&1 ||
  die "apt-get update failed; see $work/apt-update.log"
# libpython3.11-stdlib brings libssl3, zlib1g, libffi8, libexpat1, libbz2, liblzma5, libsqlite3,
# libncursesw6, libreadline8, libuuid1, libmpdec3 and libc6; libstdc++6 is what a manylinux C++
# extension may need besides, and ca-certificates gives ssl a store.
packages=(python3.11-minimal libpython3.11-minimal libpython3.11-stdlib libstdc++6 ca-certificates)
apt-get -y -qq "${apt_opts[@]}" install --download-only "${packages[@]}" >"$work/apt-download.log" 2>&1 ||
  die "downloading the arm64 packages failed; see $work/apt-download.log"
debs=("$apt_dir"/archives/*.deb)
[ -e "${debs[0]}" ] || die "no package downloaded; see $work/apt-download.log"
for deb in "${debs[@]}"; do
  dpkg-deb -x "$deb" "$root"
done
ls "$apt_dir"/archives/*.deb | xargs -n1 basename | sort >"$work/packages.txt"

# ca-certificates' store is normally assembled by its postinst.
mkdir -p "$root/etc/ssl/certs"
find "$root/usr/share/ca-certificates" -name '*.crt' -print0 | sort -z | xargs -0 cat \
  >"$root/etc/ssl/certs/ca-certificates.crt"
ln -sf python3.11 "$root/usr/bin/python3"

# Pure-Python test tools, resolved by the host's pip for CPython 3.11 and pure wheels only
# (--target skips the externally-managed guard, so Debian's own pip serves too).
pip=(python3 -m pip)
if ! "${pip[@]}" --version >/dev/null 2>&1; then
  /usr/bin/python3 -m pip --version >/dev/null 2>&1 || {
    $sudo apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends \
      python3-pip >/dev/null
  }
  pip=(/usr/bin/python3 -m pip)
fi
"${pip[@]}" install -q --disable-pip-version-check --no-compile --target "$root/opt/site" \
  --python-version 3.11 --implementation py --abi none --platform any --only-binary=:all: \
  pytest pytest-timeout hypothesis >"$work/pip.log" 2>&1 || die "pip failed; see $work/pip.log"
"${pip[@]}" list --path "$root/opt/site" --format=freeze 2>/dev/null >>"$work/packages.txt" || true

rm -rf "$apt_dir"  # lists and packages: only the build needs them
# Debian compiles bytecode in maintainer scripts, which dpkg -x skips; without it every start
# under emulation compiles what it imports again.
qemu-aarch64-static -L "$root" "$root/usr/bin/python3.11" -m compileall -q -j2 \
  -x 'lib2to3/tests|/test/|idlelib' "$root/usr/lib/python3.11" "$root/opt/site" \
  >"$work/compileall.log" 2>&1 || die "compileall failed; see $work/compileall.log"
qemu-aarch64-static -L "$root" "$root/usr/bin/python3.11" -c \
  'import ssl, sqlite3, ctypes, asyncio, zlib, lzma, bz2; print("arm64 python", ssl.OPENSSL_VERSION)' >&2 ||
  die "the arm64 python does not start under qemu"
touch "$root/.done"
echo "$root"
