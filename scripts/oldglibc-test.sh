#!/usr/bin/env bash
# Runs the x86_64 wheel on an old glibc: a Debian 11 (bullseye, glibc 2.31) root made from
# Debian's packages (apt with a private configuration, then dpkg -x: no maintainer scripts), with
# a CPython 3.11 built inside it from Debian's source package, as bullseye's own Python (3.9) is
# older than the wheel's 3.10. In a chroot there: the scripted suite against the wheel, with the
# scripted Core of the wheel's toolchain, then the short end-to-end check of
# tests/wheel/aarch64_smoke.py (servers on the host's 127.0.0.1). Needs root (chroot, mknod,
# mount). The root is built once into ${CORVINA_OLDGLIBC_CACHE:-~/.cache/corvina-oldglibc}/<hash>.
#   scripts/oldglibc-test.sh [--wheel W]
set -euo pipefail
root_dir=$(cd "$(dirname "$0")/.." && pwd)
cd "$root_dir"
wheel=$(ls dist/corvina_native-*-cp310-abi3-*manylinux*_x86_64.whl)
[ "${1:-}" != "--wheel" ] || wheel=$2
cache=${CORVINA_OLDGLIBC_CACHE:-$HOME/.cache/corvina-oldglibc}
work="$cache/$(sha256sum "$0" | cut -c1-16)"
root="$work/root"
py=/opt/py/bin/python3.11
die() { echo "oldglibc: $*" >&2; exit 1; }

if [ ! -f "$root/.done" ]; then
  rm -rf "$work" && mkdir -p "$work/apt/lists/partial" "$work/apt/archives/partial" "$root"
  keyring=/usr/share/keyrings/debian-archive-keyring.gpg
  printf 'deb [arch=amd64 signed-by=%s] http://deb.debian.org/debian bullseye main\n' "$keyring" \
    >"$work/apt/sources.list"
  printf 'deb-src [signed-by=%s] http://deb.debian.org/debian bookworm main\n' "$keyring" \
    >>"$work/apt/sources.list"
  : >"$work/apt/status"
  a=(-o APT::Architecture=amd64 -o APT::Architectures::=amd64
    -o "Dir::Etc::SourceList=$work/apt/sources.list" -o Dir::Etc::SourceParts=/dev/null
    -o Dir::Etc::Preferences=/dev/null -o Dir::Etc::PreferencesParts=/dev/null
    -o "Dir::State::Lists=$work/apt/lists" -o "Dir::State::status=$work/apt/status"
    -o "Dir::Cache=$work/apt" -o "Dir::Cache::archives=$work/apt/archives"
    -o Dir::Cache::pkgcache= -o Dir::Cache::srcpkgcache= -o APT::Install-Recommends=false
    -o APT::Sandbox::User=root -o Debug::NoLocking=true)
  apt-get -qq "${a[@]}" update >"$work/apt.log" 2>&1 || die "apt-get update failed; see $work/apt.log"
  # What CPython's build needs; the essential tools are not pulled in by dependencies.
  apt-get -qq "${a[@]}" install --download-only -y bash coreutils dash sed grep gawk diffutils \
    findutils tar xz-utils gzip make gcc libc6-dev libffi-dev zlib1g-dev binutils \
    >>"$work/apt.log" 2>&1 || die "apt-get install failed; see $work/apt.log"
  for deb in "$work"/apt/archives/*.deb; do dpkg -x "$deb" "$root"; done
  # Links that maintainer scripts or alternatives would make, and the devices a build uses.
  ln -sf gawk "$root/usr/bin/awk" && ln -sf gcc "$root/usr/bin/cc"
  for d in null:3 zero:5 urandom:9; do rm -f "$root/dev/${d%:*}"; mknod -m 666 "$root/dev/${d%:*}" c 1 "${d#*:}"; done
  mkdir -p "$root/tmp" "$root/src" && chmod 1777 "$root/tmp"
  (cd "$work" && apt-get -qq "${a[@]}" --download-only source python3.11 >>"$work/apt.log" 2>&1) ||
    die "apt-get source failed; see $work/apt.log"
  tar -xzf "$work"/python3.11_*.orig.tar.gz -C "$root/src"
  chroot "$root" /bin/bash -c "export PATH=/usr/bin:/bin; cd /src/Python-3.11.* &&
    ./configure --prefix=/opt/py --without-ensurepip && make -j${JOBS:-2} && make install" \
    >"$work/python.log" 2>&1 || die "CPython's build failed; see $work/python.log"
  python3 -m pip install -q --disable-pip-version-check --no-compile --target "$root/opt/site" \
    --python-version 3.11 --implementation py --abi none --platform any --only-binary=:all: \
    pytest pytest-timeout hypothesis >>"$work/apt.log" 2>&1 || die "pip failed; see $work/apt.log"
  touch "$root/.done"
fi
chroot "$root" /usr/bin/ldd --version 2>/dev/null | head -1 || true

# The wheel, the wheel toolchain's scripted Core and the tests, at the same paths inside.
scripted_core=$(scripts/wheel-test.sh --scripted-core | tail -1)
rm -rf "$root/opt/wheel" "$root/opt/core" "$root$root_dir"
python3 -m zipfile -e "$wheel" "$root/opt/wheel"
mkdir -p "$root/opt/core" "$root$root_dir" && cp "$scripted_core" "$root/opt/core/"
cp -r tests pyproject.toml "$root$root_dir/" && mkdir -p "$root$root_dir/bindings/python"
cp -r bindings/python/stubs "$root$root_dir/bindings/python/"
mkdir -p "$root/usr/share/unicode" # the host's Unicode data, as the tests read it
cp /usr/share/unicode/DerivedCoreProperties.txt /usr/share/unicode/UnicodeData.txt "$root/usr/share/unicode/"
mount -t proc proc "$root/proc"
trap 'umount "$root/proc"' EXIT
run_in() { chroot "$root" /usr/bin/env -i PATH=/usr/bin:/bin HOME=/tmp \
  PYTHONPATH=/opt/wheel:/opt/site CORVINA_SCRIPTED_CORE=/opt/core/libkestrin.so "$@"; }
run_in "$py" -c 'import platform, corvina_native as cn; print(platform.libc_ver(), cn.__file__, cn.PyEngine.core_version())'
run_in /bin/sh -c "cd $root_dir/tests && $py -m pytest -q -rs -p no:cacheprovider scripted"
# The smoke client reads its configuration from a temporary directory the host makes: bound
# at the same path inside.
xfer=$(mktemp -d /tmp/corvina-oldglibc.XXXXXX)
mkdir -p "$root$xfer" && mount --bind "$xfer" "$root$xfer"
trap 'umount "$root$xfer"; umount "$root/proc"; rm -rf "$xfer"; rmdir "$root$xfer"' EXIT
TMPDIR="$xfer" build/venv/bin/python tests/wheel/aarch64_smoke.py --smoke --client \
  "chroot $root /usr/bin/env -i PATH=/usr/bin:/bin HOME=/tmp PYTHONPATH=/opt/wheel $py"
